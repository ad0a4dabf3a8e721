#include "mp2_wav.h"

namespace zuvo_tool {

namespace {

constexpr std::uint16_t kWaveFormatMpeg = 0x0050;
constexpr std::uint16_t kLayer2 = 0x0002;
// fwHeadMode by the header's mode.
constexpr std::uint16_t kHeadMode[4] = {0x0001, 0x0002, 0x0004, 0x0008};
constexpr std::uint16_t kPrivateBit = 0x0001;
constexpr std::uint16_t kCopyright = 0x0002;
constexpr std::uint16_t kOriginalHome = 0x0004;
constexpr std::uint16_t kProtectionBit = 0x0008;
constexpr std::uint16_t kIdMpeg1 = 0x0010;

constexpr std::size_t kBextFixed = 602;  // the fields before the coding history
constexpr std::size_t kFmtBytes = 40;    // WAVEFORMATEX (18) + the MPEG fields (22)
constexpr std::size_t kFactBytes = 4;
constexpr std::size_t kMextBytes = 12;

class Bytes {
public:
    void u16(std::uint32_t v) {
        out_.push_back(static_cast<std::uint8_t>(v));
        out_.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    void u32(std::uint64_t v) {
        u16(static_cast<std::uint32_t>(v & 0xFFFF));
        u16(static_cast<std::uint32_t>((v >> 16) & 0xFFFF));
    }
    void tag(const char* four) { out_.insert(out_.end(), four, four + 4); }
    // `text` cut or NUL-padded to `width` bytes.
    void text(const std::string& text, std::size_t width) {
        for (std::size_t i = 0; i < width; ++i) out_.push_back(i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0);
    }
    void zeros(std::size_t n) { out_.insert(out_.end(), n, 0); }
    std::vector<std::uint8_t>& get() { return out_; }

private:
    std::vector<std::uint8_t> out_;
};

// The coding history padded to an even length, as RIFF chunks are.
std::size_t history_bytes(const Mp2WavFacts& facts) {
    return (facts.coding_history.size() + 1) / 2 * 2;
}

std::size_t header_bytes(const Mp2WavFacts& facts) {
    return 12 + (8 + kBextFixed + history_bytes(facts)) + (8 + kFmtBytes) + (8 + kFactBytes) + (8 + kMextBytes) + 8;
}

}  // namespace

std::string coding_history_line(const Mp2WavFacts& facts, const std::string& text) {
    static const char* const kModes[4] = {"stereo", "joint-stereo", "dual-mono", "mono"};
    const int mode = facts.mode >= 0 && facts.mode <= 3 ? facts.mode : 0;
    return std::string("A=MPEG") + (facts.mpeg_version == 2 ? "2" : "1") + "L2,F=" +
           std::to_string(facts.sample_rate) + ",B=" + std::to_string(facts.bitrate_kbps) + ",M=" + kModes[mode] +
           ",T=" + text + "\r\n";
}

std::vector<std::uint8_t> mp2_wav_header(const Mp2WavFacts& facts, std::uint64_t data_bytes, std::uint64_t frames) {
    const std::uint64_t riff = header_bytes(facts) - 8 + data_bytes + (data_bytes & 1);
    const int mode = facts.mode >= 0 && facts.mode <= 3 ? facts.mode : 0;
    Bytes b;
    b.tag("RIFF");
    b.u32(riff > 0xFFFFFFFFu ? 0xFFFFFFFFu : riff);
    b.tag("WAVE");

    b.tag("bext");
    b.u32(kBextFixed + history_bytes(facts));
    b.text(facts.description, 256);
    b.text(facts.originator, 32);
    b.text(facts.originator_reference, 32);
    b.text(facts.origination_date, 10);
    b.text(facts.origination_time, 8);
    b.u32(0);  // time reference: samples since midnight, low and high word
    b.u32(0);
    b.u16(1);  // version
    b.zeros(64);   // UMID
    b.zeros(190);  // reserved
    b.text(facts.coding_history, history_bytes(facts));

    b.tag("fmt ");
    b.u32(kFmtBytes);
    b.u16(kWaveFormatMpeg);
    b.u16(mode == 3 ? 1 : 2);
    b.u32(static_cast<std::uint32_t>(facts.sample_rate));
    b.u32(static_cast<std::uint32_t>(facts.bitrate_kbps) * 125);  // bytes per second
    b.u16(facts.padded ? 1 : facts.frame_bytes);                  // block: a frame, when all are alike
    b.u16(0);                                                     // bits per sample: none for a coded stream
    b.u16(kFmtBytes - 18);
    b.u16(kLayer2);
    b.u32(static_cast<std::uint32_t>(facts.bitrate_kbps) * 1000);
    b.u16(kHeadMode[mode]);
    b.u16(mode == 1 ? 0x000F : 0);  // joint stereo: any bound, decided frame by frame
    b.u16(static_cast<std::uint32_t>(facts.emphasis) + 1);  // 1 none, 2 50/15 us, 4 CCITT J.17
    b.u16((facts.private_bit ? kPrivateBit : 0) | (facts.copyright ? kCopyright : 0) |
          (facts.original ? kOriginalHome : 0) | (facts.protection ? kProtectionBit : 0) |
          (facts.mpeg_version == 1 ? kIdMpeg1 : 0));
    b.u32(0);  // presentation time stamp, low and high word
    b.u32(0);

    b.tag("fact");
    b.u32(kFactBytes);
    const std::uint64_t samples = frames * 1152;
    b.u32(samples > 0xFFFFFFFFu ? 0xFFFFFFFFu : samples);

    b.tag("mext");
    b.u32(kMextBytes);
    // Sound information: homogeneous frames (bit 0); the padding bit is 0 in
    // every frame (bit 1) where the rate needs no padding.
    b.u16(0x0001 | (facts.padded ? 0 : 0x0002));
    b.u16(facts.frame_bytes);
    b.u16(facts.ancillary_bytes);
    b.u16(0);  // ancillary data definition: content not described
    b.zeros(4);

    b.tag("data");
    b.u32(data_bytes > 0xFFFFFFFFu ? 0xFFFFFFFFu : data_bytes);
    return std::move(b.get());
}

std::uint64_t mp2_wav_max_data(const Mp2WavFacts& facts) {
    // RIFF size = header - 8 + data (+ a pad byte when data is odd).
    return 0xFFFFFFFFull - (header_bytes(facts) - 8) - 1;
}

}  // namespace zuvo_tool
