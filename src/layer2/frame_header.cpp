// The frame header and its CRC-16 check word.
//
// The check word protects what a decoder must trust before it can read the
// rest of the frame: the header fields after the protection bit, every
// allocation field, and the scfsi of every allocated subband. Each value is
// fed (and written) cut to its field width, so a value out of range can
// never spill into the neighbouring fields.
#include "layer2/frame_header.h"

namespace zuvo {

namespace {

constexpr std::uint32_t kCrcPolynomial = 0x8005;  // x^16 + x^15 + x^2 + 1
constexpr std::uint32_t kCrcStart = 0xFFFF;

// The header fields after the protection bit: header bits 15..0.
struct HeaderField {
    std::int32_t MpaHeader::*field;
    int width;
};
constexpr HeaderField kProtectedFields[] = {
    {&MpaHeader::bitrate_index, 4}, {&MpaHeader::sampling_frequency, 2}, {&MpaHeader::padding, 1},
    {&MpaHeader::private_bit, 1},   {&MpaHeader::mode, 2},               {&MpaHeader::mode_extension, 2},
    {&MpaHeader::copyright, 1},     {&MpaHeader::original, 1},           {&MpaHeader::emphasis, 2},
};

// The check word a byte at a time: entry b is the register change that
// feeding the eight bits of b to a register whose top byte is b brings.
struct CrcByteTable {
    std::uint16_t entry[256];
};

constexpr CrcByteTable make_crc_byte_table() {
    CrcByteTable table{};
    for (std::uint32_t b = 0; b < 256; ++b) {
        std::uint32_t crc = b << 8;
        for (int i = 0; i < 8; ++i) crc = (crc & 0x8000u) != 0 ? (crc << 1) ^ kCrcPolynomial : crc << 1;
        table.entry[b] = static_cast<std::uint16_t>(crc & 0xFFFFu);
    }
    return table;
}

constexpr CrcByteTable kCrcBytes = make_crc_byte_table();

// Fields fed one after another, most significant bit first, as update_crc
// would take them: they gather in an accumulator and go through the byte
// table four bytes at a time, once 32 bits are pending (so that the short
// fields of a frame test for it once per word rather than loop per field);
// at the end the whole bytes go the same way and the last few bits go bit
// by bit.
class CrcFeed {
public:
    explicit CrcFeed(std::uint32_t crc) : crc_(crc & 0xFFFFu) {}

    void put(std::uint32_t value, int width) {
        width = clamp_int(width, 0, 32);
        if (width == 0) return;
        // Fewer than 32 bits are pending, so the accumulator holds the field.
        pending_ = (pending_ << width) | (value & (0xFFFFFFFFu >> (32 - width)));
        count_ += width;
        if (count_ >= 32) {
            for (int i = 0; i < 4; ++i) take_byte();
        }
    }

    std::uint32_t finish() {
        while (count_ >= 8) take_byte();
        if (count_ > 0) update_crc(static_cast<std::uint32_t>(pending_), count_, crc_);
        count_ = 0;
        return crc_;
    }

private:
    // The oldest pending byte through the table.
    void take_byte() {
        count_ -= 8;
        const std::uint32_t byte = static_cast<std::uint32_t>(pending_ >> count_) & 0xFFu;
        crc_ = ((crc_ << 8) ^ kCrcBytes.entry[((crc_ >> 8) ^ byte) & 0xFFu]) & 0xFFFFu;
    }

    std::uint32_t crc_;
    std::uint64_t pending_ = 0;  // the newest count_ bits are not yet in crc_
    int count_ = 0;
};

}  // namespace

void update_crc(std::uint32_t value, int width, std::uint32_t& crc) {
    width = clamp_int(width, 0, 32);
    for (int i = width - 1; i >= 0; --i) {
        const std::uint32_t bit = (value >> i) & 1u;
        const std::uint32_t carry = (crc >> 15) & 1u;
        crc <<= 1;
        if (carry != bit) crc ^= kCrcPolynomial;
    }
    crc &= 0xFFFFu;
}

void compute_crc(const CodingParams& coding, const std::int32_t (*allocation)[32], const std::int32_t (*scfsi)[32],
                 std::uint32_t& crc) {
    CrcFeed feed(kCrcStart);
    if (coding.header != nullptr) {
        for (const HeaderField& f : kProtectedFields) {
            feed.put(static_cast<std::uint32_t>(coding.header->*f.field), f.width);
        }
    }
    if (coding.alloc == nullptr || allocation == nullptr || scfsi == nullptr) {
        crc = feed.finish();
        return;
    }

    const AllocTable& alloc = *coding.alloc;
    const CodingLimits limits = coding_limits(coding);
    const int nch = limits.nch;
    const int sblimit = limits.sblimit;
    const int bound = limits.bound;

    // Allocation fields in the order they are written: one shared field per
    // subband from the bound on.
    for (int sb = 0; sb < sblimit; ++sb) {
        const int width = field_bits(alloc, sb);
        const int channels = sb < bound ? nch : 1;
        for (int ch = 0; ch < channels; ++ch) {
            feed.put(static_cast<std::uint32_t>(allocation[ch][sb]), width);
        }
    }
    // scfsi of every allocated subband of every channel, joint ones included.
    for (int sb = 0; sb < sblimit; ++sb) {
        for (int ch = 0; ch < nch; ++ch) {
            if (allocation[ch][sb] != 0) feed.put(static_cast<std::uint32_t>(scfsi[ch][sb]), 2);
        }
    }
    crc = feed.finish();
}

void write_header(const CodingParams& coding, BitWriter& writer) {
    if (coding.header == nullptr) return;
    const MpaHeader& h = *coding.header;
    writer.put_bits(0xFFF, 12);                         // sync word
    writer.put_bits(h.version & 1, 1);                  // ID: 1 = MPEG-1
    writer.put_bits((4 - h.layer) & 3, 2);              // layer code: 2 = Layer II
    writer.put_bits(h.protection == 0 ? 1 : 0, 1);      // 0 = check word follows
    writer.put_bits(h.bitrate_index & 0xF, 4);
    writer.put_bits(h.sampling_frequency & 3, 2);
    writer.put_bits(h.padding & 1, 1);
    writer.put_bits(h.private_bit & 1, 1);
    writer.put_bits(h.mode & 3, 2);
    writer.put_bits(h.mode_extension & 3, 2);
    writer.put_bits(h.copyright & 1, 1);
    writer.put_bits(h.original & 1, 1);
    writer.put_bits(h.emphasis & 3, 2);
}

void write_crc(std::uint32_t crc, BitWriter& writer) {
    writer.put_bits(static_cast<std::int32_t>(crc & 0xFFFFu), 16);
}

}  // namespace zuvo
