// The test-side Layer II frame reader, checked on frames built by hand here.
// Every other stream test trusts this reader, so each check it makes is shown
// to fire on a frame that breaks exactly that rule, and to stay quiet on a
// frame that keeps it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "support/frame_reader.h"

using namespace zuvo_test;

namespace {

class BitPacker {
public:
    void put(std::uint32_t value, int width) {
        for (int i = width - 1; i >= 0; --i) {
            if (bits_ % 8 == 0) bytes_.push_back(0);
            if ((value >> i) & 1u) bytes_.back() |= static_cast<std::uint8_t>(0x80u >> (bits_ % 8));
            ++bits_;
        }
    }
    std::size_t bits() const { return bits_; }
    std::vector<std::uint8_t>& bytes() { return bytes_; }

private:
    std::vector<std::uint8_t> bytes_;
    std::size_t bits_ = 0;
};

// Everything a frame carries; the builder lays it out in stream order.
struct FrameSpec {
    int id = 1;
    int layer_code = 2;
    int protection_bit = 0;
    int bitrate_index = 10; // 192 kbit/s
    int sampling_index = 1; // 48 kHz
    int padding = 0;
    int mode = 0;
    int mode_extension = 0;
    int emphasis = 0;
    int allocation[2][32] = {};
    int scfsi[2][32] = {};
    int scale_factor = 20;
    // Code of one codeword: (channel, subband, granule, codeword in granule).
    std::function<std::uint32_t(int, int, int, int)> code;
    std::uint32_t fill_pattern = 0; // written repeatedly into the fill bits
    int length_adjust = 0;          // bytes added to (or removed from) the frame
};

struct Layout {
    int table;
    int sblimit;
    int nch;
    int bound;
};

Layout layout_of(const FrameSpec& f) {
    Layout l{};
    l.nch = f.mode == 3 ? 1 : 2;
    l.table = layer2_alloc_table(layer2_bitrate_kbps(f.bitrate_index), l.nch, layer2_sampling_rate(f.sampling_index));
    l.sblimit = layer2_sblimit(l.table);
    l.bound = f.mode == 1 ? std::min(4 * (f.mode_extension + 1), l.sblimit) : l.sblimit;
    return l;
}

std::vector<std::uint8_t> build_frame(const FrameSpec& f, std::size_t* payload_bits = nullptr) {
    const Layout l = layout_of(f);
    const std::uint32_t low16 = (std::uint32_t(f.bitrate_index) << 12) | (std::uint32_t(f.sampling_index) << 10) |
                                (std::uint32_t(f.padding) << 9) | (std::uint32_t(f.mode) << 6) |
                                (std::uint32_t(f.mode_extension) << 4) | std::uint32_t(f.emphasis);
    // Check word from the field values (the reader recomputes it from raw bits).
    std::uint16_t crc = crc16_update(0xFFFF, low16, 16);
    for (int sb = 0; sb < l.sblimit; ++sb)
        for (int ch = 0; ch < (sb < l.bound ? l.nch : 1); ++ch)
            crc = crc16_update(crc, std::uint32_t(f.allocation[ch][sb]), layer2_nbal(l.table, sb));
    for (int sb = 0; sb < l.sblimit; ++sb)
        for (int ch = 0; ch < l.nch; ++ch)
            if (f.allocation[sb < l.bound ? ch : 0][sb]) crc = crc16_update(crc, std::uint32_t(f.scfsi[ch][sb]), 2);

    BitPacker out;
    out.put(0xFFF, 12);
    out.put(std::uint32_t(f.id), 1);
    out.put(std::uint32_t(f.layer_code), 2);
    out.put(std::uint32_t(f.protection_bit), 1);
    out.put(low16, 16);
    if (f.protection_bit == 0) out.put(crc, 16);
    for (int sb = 0; sb < l.sblimit; ++sb)
        for (int ch = 0; ch < (sb < l.bound ? l.nch : 1); ++ch)
            out.put(std::uint32_t(f.allocation[ch][sb]), layer2_nbal(l.table, sb));
    auto alloc_of = [&](int ch, int sb) { return f.allocation[sb < l.bound ? ch : 0][sb]; };
    for (int sb = 0; sb < l.sblimit; ++sb)
        for (int ch = 0; ch < l.nch; ++ch)
            if (alloc_of(ch, sb)) out.put(std::uint32_t(f.scfsi[ch][sb]), 2);
    for (int sb = 0; sb < l.sblimit; ++sb)
        for (int ch = 0; ch < l.nch; ++ch)
            if (alloc_of(ch, sb)) {
                const int count = f.scfsi[ch][sb] == 0 ? 3 : f.scfsi[ch][sb] == 2 ? 1 : 2;
                for (int i = 0; i < count; ++i) out.put(std::uint32_t(f.scale_factor), 6);
            }
    for (int gr = 0; gr < 12; ++gr)
        for (int sb = 0; sb < l.sblimit; ++sb)
            for (int ch = 0; ch < (sb < l.bound ? l.nch : 1); ++ch) {
                if (!f.allocation[ch][sb]) continue;
                const Quantizer q = layer2_quantizer(l.table, sb, f.allocation[ch][sb]);
                const int words = q.grouped ? 1 : 3;
                for (int w = 0; w < words; ++w) {
                    const std::uint32_t middle = q.grouped ? std::uint32_t(q.steps * q.steps * q.steps / 2)
                                                           : std::uint32_t(q.steps / 2);
                    out.put(f.code ? f.code(ch, sb, gr, w) : middle, q.bits);
                }
            }
    if (payload_bits) *payload_bits = out.bits();
    const std::size_t length =
        layer2_frame_bytes(layer2_bitrate_kbps(f.bitrate_index), layer2_sampling_rate(f.sampling_index), f.padding) +
        static_cast<std::size_t>(f.length_adjust);
    int shift = 31;
    while (out.bits() < length * 8) {
        out.put((f.fill_pattern >> shift) & 1u, 1);
        shift = shift == 0 ? 31 : shift - 1;
    }
    std::vector<std::uint8_t> bytes = out.bytes();
    bytes.resize(length);
    return bytes;
}

std::vector<std::uint8_t> concat(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

bool any_error_contains(const StreamReport& r, const std::string& needle) {
    for (const auto& e : r.errors)
        if (e.find(needle) != std::string::npos) return true;
    for (const auto& f : r.frames)
        for (const auto& e : f.errors)
            if (e.find(needle) != std::string::npos) return true;
    return false;
}

// A frame in which every coded subband uses a different quantizer, joint
// stereo with bound 8: exercises grouping, shared allocations and scfsi.
FrameSpec busy_joint_frame() {
    FrameSpec f;
    f.bitrate_index = 12; // 256 kbit/s at 48 kHz: table a, 27 subbands
    f.mode = 1;
    f.mode_extension = 1; // bound 8
    for (int sb = 0; sb < 27; ++sb) {
        const int max_index = (1 << layer2_nbal(0, sb)) - 1;
        f.allocation[0][sb] = sb % 5 == 4 ? 0 : 1 + sb % 3;
        f.allocation[1][sb] = sb < 8 ? (sb % 3 == 0 ? 0 : 1 + (sb * 7) % max_index) : f.allocation[0][sb];
        f.scfsi[0][sb] = sb % 4;
        f.scfsi[1][sb] = (sb + 1) % 4;
    }
    // Codes vary with position so that a misplaced read shows up as a range error.
    f.code = [f](int ch, int sb, int gr, int w) {
        const Quantizer q = layer2_quantizer(0, sb, f.allocation[sb < 8 ? ch : 0][sb]);
        const std::uint32_t limit = std::uint32_t(q.grouped ? q.steps * q.steps * q.steps : q.steps);
        return std::uint32_t(ch * 131 + sb * 17 + gr * 5 + w) % limit;
    };
    return f;
}

} // namespace

TEST(FrameReaderTables, Crc16MatchesKnownCheckValues) {
    std::uint16_t crc = 0xFFFF;
    for (const char* p = "123456789"; *p; ++p) crc = crc16_update(crc, std::uint8_t(*p), 8);
    EXPECT_EQ(crc, 0xAEE7);
    // Header bits 15..0 = 0xA000 (bitrate index 10, 44.1 kHz, nothing else set).
    EXPECT_EQ(crc16_update(0xFFFF, 0xA000, 16), 0x4007);
    // Feeding bit by bit is the same as feeding a word.
    std::uint16_t bitwise = 0xFFFF;
    for (int i = 15; i >= 0; --i) bitwise = crc16_update(bitwise, (0xA000u >> i) & 1u, 1);
    EXPECT_EQ(bitwise, 0x4007);
}

TEST(FrameReaderTables, FrameLengthAndTableChoice) {
    EXPECT_EQ(layer2_frame_bytes(192, 44100, 0), 626u);
    EXPECT_EQ(layer2_frame_bytes(192, 44100, 1), 627u);
    EXPECT_EQ(layer2_frame_bytes(192, 48000, 0), 576u);
    EXPECT_EQ(layer2_frame_bytes(384, 32000, 0), 1728u);
    EXPECT_EQ(layer2_frame_bytes(32, 44100, 0), 104u);

    EXPECT_EQ(layer2_alloc_table(192, 2, 44100), 1);  // 96 per channel
    EXPECT_EQ(layer2_alloc_table(96, 2, 44100), 2);   // 48 per channel
    EXPECT_EQ(layer2_alloc_table(112, 2, 48000), 0);  // 56 per channel
    EXPECT_EQ(layer2_alloc_table(384, 2, 48000), 0);
    EXPECT_EQ(layer2_alloc_table(384, 2, 44100), 1);
    EXPECT_EQ(layer2_alloc_table(160, 2, 32000), 0);
    EXPECT_EQ(layer2_alloc_table(48, 1, 32000), 3);
    EXPECT_EQ(layer2_alloc_table(96, 1, 32000), 1);
    EXPECT_EQ(layer2_alloc_table(96, 1, 48000), 0);
    EXPECT_EQ(layer2_alloc_table(32, 1, 48000), 2);
    EXPECT_EQ(layer2_sblimit(0), 27);
    EXPECT_EQ(layer2_sblimit(1), 30);
    EXPECT_EQ(layer2_sblimit(2), 8);
    EXPECT_EQ(layer2_sblimit(3), 12);
}

TEST(FrameReaderTables, AllocationFieldsAndQuantizers) {
    // Field widths by subband run, and nothing at or above the sblimit.
    const int nbal_a[27] = {4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 2, 2, 2, 2};
    for (int sb = 0; sb < 27; ++sb) EXPECT_EQ(layer2_nbal(0, sb), nbal_a[sb]) << sb;
    EXPECT_EQ(layer2_nbal(0, 27), 0);
    EXPECT_EQ(layer2_nbal(1, 29), 2);
    EXPECT_EQ(layer2_nbal(1, 30), 0);
    EXPECT_EQ(layer2_nbal(2, 1), 4);
    EXPECT_EQ(layer2_nbal(2, 7), 3);
    EXPECT_EQ(layer2_nbal(2, 8), 0);
    EXPECT_EQ(layer2_nbal(3, 11), 3);

    struct Case {
        int table, sb, index, steps, bits;
        bool grouped;
    };
    const Case cases[] = {
        {0, 0, 1, 3, 5, true},        {0, 0, 2, 7, 3, false},      {0, 0, 15, 65535, 16, false},
        {0, 3, 2, 5, 7, true},        {0, 3, 4, 9, 10, true},      {0, 10, 14, 8191, 13, false},
        {0, 10, 15, 65535, 16, false}, {0, 22, 7, 65535, 16, false}, {0, 26, 2, 5, 7, true},
        {1, 29, 3, 65535, 16, false}, {2, 0, 3, 9, 10, true},      {2, 1, 15, 32767, 15, false},
        {2, 7, 7, 127, 7, false},     {3, 11, 4, 15, 4, false},
    };
    for (const Case& c : cases) {
        const Quantizer q = layer2_quantizer(c.table, c.sb, c.index);
        EXPECT_EQ(q.steps, c.steps) << c.table << "/" << c.sb << "/" << c.index;
        EXPECT_EQ(q.bits, c.bits) << c.table << "/" << c.sb << "/" << c.index;
        EXPECT_EQ(q.grouped, c.grouped) << c.table << "/" << c.sb << "/" << c.index;
    }
    EXPECT_EQ(layer2_quantizer(0, 0, 0).steps, 0);
    EXPECT_EQ(layer2_quantizer(0, 23, 4).steps, 0); // beyond a 2-bit field
    EXPECT_EQ(layer2_quantizer(2, 8, 1).steps, 0);  // beyond the sblimit
}

TEST(FrameReaderValid, SilentFrameParsesWithExpectedFill) {
    FrameSpec f; // 48 kHz, 192 kbit/s stereo, nothing allocated
    const auto bytes = build_frame(f);
    ASSERT_EQ(bytes.size(), 576u);
    const StreamReport r = read_layer2_stream(bytes);
    ASSERT_TRUE(r.ok()) << r.describe();
    ASSERT_EQ(r.frames.size(), 1u);
    const FrameInfo& fr = r.frames[0];
    EXPECT_EQ(fr.length, 576u);
    EXPECT_EQ(fr.bitrate_kbps, 192);
    EXPECT_EQ(fr.sampling_rate, 48000);
    EXPECT_EQ(fr.table, 0);
    EXPECT_EQ(fr.bound, 27);
    EXPECT_EQ(fr.channels, 2);
    // 48 header and check-word bits, 2 x 88 allocation bits, the rest fill.
    EXPECT_EQ(fr.payload_bits, 48u + 176u);
    EXPECT_EQ(fr.fill_bits, 576u * 8 - 224u);
    EXPECT_EQ(fr.crc_stored, fr.crc_computed);
    EXPECT_TRUE(fr.warnings.empty());
}

TEST(FrameReaderValid, BusyFramesInEveryLayout) {
    // Joint stereo with shared allocations above the bound.
    FrameSpec joint = busy_joint_frame();
    std::size_t joint_payload = 0;
    const auto joint_bytes = build_frame(joint, &joint_payload);

    // Single channel, table c at 44.1 kHz and 32 kbit/s: short padded frames.
    FrameSpec mono;
    mono.mode = 3;
    mono.bitrate_index = 1;
    mono.sampling_index = 0;
    mono.padding = 1;
    mono.allocation[0][0] = 3;
    mono.allocation[0][5] = 1;
    mono.scfsi[0][0] = 2;
    std::size_t mono_payload = 0;
    const auto mono_bytes = build_frame(mono, &mono_payload);

    // Dual channel, table b at 44.1 kHz with the highest legal codes.
    FrameSpec dual;
    dual.mode = 2;
    dual.sampling_index = 0;
    dual.bitrate_index = 14; // 384 kbit/s: 1253.88 bytes a frame
    dual.padding = 1;
    for (int sb = 0; sb < 30; ++sb) {
        dual.allocation[0][sb] = 1;
        dual.allocation[1][sb] = layer2_nbal(1, sb) == 2 ? 2 : 4;
    }
    dual.allocation[1][29] = 3; // 65535 steps in a 2-bit field
    dual.allocation[1][0] = 14; // 32767 steps in 15 bits
    dual.allocation[1][3] = 15; // 65535 steps in 16 bits
    dual.allocation[1][25] = 0;
    dual.allocation[0][2] = 2; // 7 steps, ungrouped 3-bit codes
    dual.code = [&dual](int ch, int sb, int, int) {
        const Quantizer q = layer2_quantizer(1, sb, dual.allocation[ch][sb]);
        return std::uint32_t(q.grouped ? q.steps * q.steps * q.steps - 1 : q.steps - 1);
    };
    std::size_t dual_payload = 0;
    auto dual_bytes = build_frame(dual, &dual_payload);

    const StreamReport r = read_layer2_stream(concat({joint_bytes, mono_bytes, dual_bytes}));
    // The three frames change bitrate and rate, so the mean-rate check restarts each time.
    ASSERT_EQ(r.frames.size(), 3u) << r.describe();
    EXPECT_TRUE(r.frames[0].ok()) << r.describe();
    EXPECT_TRUE(r.frames[1].ok()) << r.describe();
    EXPECT_TRUE(r.frames[2].ok()) << r.describe();

    const FrameInfo& j = r.frames[0];
    EXPECT_EQ(j.mode, 1);
    EXPECT_EQ(j.bound, 8);
    EXPECT_EQ(j.payload_bits, joint_payload);
    for (int sb = 0; sb < 27; ++sb) {
        EXPECT_EQ(j.allocation[0][sb], joint.allocation[0][sb]) << sb;
        EXPECT_EQ(j.allocation[1][sb], joint.allocation[1][sb]) << sb;
    }
    EXPECT_EQ(r.frames[1].table, 2);
    EXPECT_EQ(r.frames[1].channels, 1);
    EXPECT_EQ(r.frames[1].length, 105u);
    EXPECT_EQ(r.frames[1].payload_bits, mono_payload);
    EXPECT_EQ(r.frames[2].table, 1);
    EXPECT_EQ(r.frames[2].payload_bits, dual_payload);
    EXPECT_EQ(r.frames[2].fill_bits, 1254u * 8 - dual_payload);
}

TEST(FrameReaderValid, JointBoundIsLimitedBySblimit) {
    FrameSpec f;
    f.bitrate_index = 8; // 128 kbit/s at 44.1 kHz: 64 per channel, table a
    f.sampling_index = 0;
    f.mode = 1;
    f.mode_extension = 3;
    FrameSpec small = f;
    small.bitrate_index = 6; // 96 kbit/s: table c, 8 subbands, bound 16 -> 8
    small.padding = 1;
    const StreamReport r = read_layer2_stream(concat({build_frame(f), build_frame(small)}));
    ASSERT_EQ(r.frames.size(), 2u);
    EXPECT_EQ(r.frames[0].bound, 16);
    EXPECT_EQ(r.frames[1].sblimit, 8);
    EXPECT_EQ(r.frames[1].bound, 8);
}

TEST(FrameReaderErrors, CheckWordCoversHeaderAllocationAndScfsi) {
    FrameSpec f = busy_joint_frame();
    const auto good = build_frame(f);
    ASSERT_TRUE(read_layer2_stream(good).ok());

    auto stored = good;
    stored[5] ^= 0x01; // the check word itself
    EXPECT_TRUE(any_error_contains(read_layer2_stream(stored), "CRC mismatch"));

    auto header = good;
    header[3] ^= 0x08; // copyright bit: covered
    EXPECT_TRUE(any_error_contains(read_layer2_stream(header), "CRC mismatch"));

    auto alloc = good;
    alloc[6] ^= 0x10; // inside the allocation fields
    EXPECT_TRUE(any_error_contains(read_layer2_stream(alloc), "CRC mismatch"));

    // Flipping a sample bit leaves the check word valid (it covers no samples).
    auto sample = good;
    sample[sample.size() / 2] ^= 0x01;
    EXPECT_FALSE(any_error_contains(read_layer2_stream(sample), "CRC mismatch"));
}

TEST(FrameReaderErrors, WrongLengthLosesSync) {
    FrameSpec f;
    const auto good = build_frame(f);
    FrameSpec shorter = f;
    shorter.length_adjust = -1;
    StreamReport r = read_layer2_stream(concat({build_frame(shorter), good}));
    EXPECT_TRUE(any_error_contains(r, "no sync word at offset 576")) << r.describe();
    EXPECT_TRUE(any_error_contains(r, "1 bytes earlier")) << r.describe();

    FrameSpec longer = f;
    longer.length_adjust = 2;
    r = read_layer2_stream(concat({build_frame(longer), good}));
    EXPECT_TRUE(any_error_contains(r, "2 bytes later")) << r.describe();

    // Cut short at the end of the stream.
    auto cut = concat({good, good});
    cut.resize(cut.size() - 10);
    r = read_layer2_stream(cut);
    EXPECT_EQ(r.frames.size(), 2u);
    EXPECT_TRUE(any_error_contains(r, "truncated frame at offset 576")) << r.describe();

    auto stray = good;
    stray.push_back(0);
    EXPECT_TRUE(any_error_contains(read_layer2_stream(stray), "stray bytes"));
}

TEST(FrameReaderErrors, PaddingMustKeepTheMeanRate) {
    // 44.1 kHz at 192 kbit/s: 626.94 bytes on average, so nearly every frame is padded.
    FrameSpec f;
    f.sampling_index = 0;
    std::vector<std::uint8_t> unpadded, padded;
    for (int i = 0; i < 20; ++i) {
        const auto a = build_frame(f);
        unpadded.insert(unpadded.end(), a.begin(), a.end());
        FrameSpec p = f;
        p.padding = (i % 16 == 15) ? 0 : 1; // 15 padded frames, then one without
        const auto b = build_frame(p);
        padded.insert(padded.end(), b.begin(), b.end());
    }
    EXPECT_TRUE(any_error_contains(read_layer2_stream(unpadded), "padding bits wrong"));
    const StreamReport good = read_layer2_stream(padded);
    EXPECT_TRUE(good.ok()) << good.describe();

    // 48 kHz frames have a whole number of bytes: a padded one is wrong.
    FrameSpec p48;
    p48.padding = 1;
    EXPECT_TRUE(any_error_contains(read_layer2_stream(build_frame(p48)), "padding bits wrong"));
}

TEST(FrameReaderErrors, FillBitsMustBeZero) {
    FrameSpec f;
    f.fill_pattern = 0x00000001; // one set bit every 32 fill bits
    StreamReport r = read_layer2_stream(build_frame(f));
    EXPECT_TRUE(any_error_contains(r, "fill bit 31 of")) << r.describe();

    // Only the very last bit of the frame set.
    FrameSpec g;
    auto bytes = build_frame(g);
    bytes.back() |= 0x01;
    r = read_layer2_stream(bytes);
    EXPECT_TRUE(any_error_contains(r, "is not zero")) << r.describe();
}

TEST(FrameReaderErrors, ScaleFactor63IsInvalid) {
    FrameSpec f;
    f.allocation[0][0] = 1;
    f.scale_factor = 62;
    EXPECT_TRUE(read_layer2_stream(build_frame(f)).ok());
    f.scale_factor = 63;
    const StreamReport r = read_layer2_stream(build_frame(f));
    EXPECT_TRUE(any_error_contains(r, "scale factor 63")) << r.describe();
}

TEST(FrameReaderErrors, SampleCodesOutOfRange) {
    struct Case {
        int subband, index;
        std::uint32_t code;
        bool valid;
    };
    // Table a at 48 kHz stereo: subband 0 index 1 = 3 steps grouped (27 codes
    // in 5 bits), subband 3 index 2 = 5 steps grouped (125 in 7 bits), index 4
    // = 9 steps grouped (729 in 10 bits); subband 0 index 3 = 15 steps in 4
    // bits; index 2 = 7 steps in 3 bits; subband 0 index 15 = 65535 in 16 bits.
    const Case cases[] = {
        {0, 1, 26, true},    {0, 1, 27, false},    {0, 1, 31, false},  {3, 2, 124, true},
        {3, 2, 125, false},  {3, 4, 728, true},    {3, 4, 729, false}, {0, 3, 14, true},
        {0, 3, 15, false},   {0, 2, 6, true},      {0, 2, 7, false},   {0, 15, 65534, true},
        {0, 15, 65535, false},
    };
    for (const Case& c : cases) {
        FrameSpec f;
        f.allocation[1][c.subband] = c.index;
        f.code = [&c](int ch, int, int gr, int w) {
            return ch == 1 && gr == 11 && w == 0 ? c.code : 0u;
        };
        const StreamReport r = read_layer2_stream(build_frame(f));
        EXPECT_EQ(r.ok(), c.valid) << "subband " << c.subband << " index " << c.index << " code " << c.code
                                   << ": " << r.describe();
    }
}

TEST(FrameReaderErrors, HeaderFields) {
    struct Case {
        const char* name;
        std::function<void(FrameSpec&)> change;
        const char* message;
    };
    const Case cases[] = {
        {"emphasis 2", [](FrameSpec& f) { f.emphasis = 2; }, "emphasis 2"},
        {"free format", [](FrameSpec& f) { f.bitrate_index = 0; }, "bitrate index 0"},
        {"bitrate 15", [](FrameSpec& f) { f.bitrate_index = 15; }, "bitrate index 15"},
        {"rate 3", [](FrameSpec& f) { f.sampling_index = 3; }, "sampling frequency index 3"},
        {"layer I", [](FrameSpec& f) { f.layer_code = 3; }, "not Layer II"},
        {"layer III", [](FrameSpec& f) { f.layer_code = 1; }, "not Layer II"},
    };
    for (const Case& c : cases) {
        FrameSpec f;
        FrameSpec changed = f;
        c.change(changed);
        // Frames whose length is unknown are built at the valid frame's length.
        if (changed.bitrate_index == 0 || changed.bitrate_index == 15 || changed.sampling_index == 3) {
            auto bytes = build_frame(f);
            const std::uint32_t low = (std::uint32_t(changed.bitrate_index) << 12) |
                                      (std::uint32_t(changed.sampling_index) << 10);
            bytes[2] = std::uint8_t(low >> 8);
            const StreamReport r = read_layer2_stream(bytes);
            EXPECT_TRUE(any_error_contains(r, c.message)) << c.name << ": " << r.describe();
            continue;
        }
        if (changed.layer_code != 2 || changed.id != 1) {
            auto bytes = build_frame(f);
            bytes[1] = std::uint8_t(0xF0 | (changed.id << 3) | (changed.layer_code << 1));
            const StreamReport r = read_layer2_stream(bytes);
            EXPECT_TRUE(any_error_contains(r, c.message)) << c.name << ": " << r.describe();
            continue;
        }
        const StreamReport r = read_layer2_stream(build_frame(changed));
        EXPECT_TRUE(any_error_contains(r, c.message)) << c.name << ": " << r.describe();
    }

    // A frame without a check word is legal and read through.
    FrameSpec nocrc;
    nocrc.protection_bit = 1;
    nocrc.allocation[0][1] = 4;
    const StreamReport r = read_layer2_stream(build_frame(nocrc));
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_TRUE(r.ok()) << r.describe();
    EXPECT_EQ(r.frames[0].warnings.size(), 1u);
    EXPECT_EQ(r.frames[0].allocation[0][1], 4);
}

TEST(FrameReaderErrors, GarbageNeverCrashes) {
    std::mt19937 rng(1234);
    const auto good = build_frame(busy_joint_frame());
    for (int round = 0; round < 300; ++round) {
        auto bytes = good;
        const int flips = 1 + int(rng() % 20);
        for (int i = 0; i < flips; ++i) bytes[rng() % bytes.size()] ^= std::uint8_t(1u << (rng() % 8));
        bytes.resize(rng() % (bytes.size() + 1));
        const StreamReport r = read_layer2_stream(bytes);
        (void)r.describe();
    }
    EXPECT_TRUE(read_layer2_stream(nullptr, 0).ok());
    EXPECT_TRUE(read_layer2_stream(nullptr, 0).frames.empty());
}

TEST(FrameReaderWarnings, UnusualButLegal) {
    FrameSpec stereo48;
    stereo48.bitrate_index = 2; // 48 kbit/s stereo
    StreamReport r = read_layer2_stream(build_frame(stereo48));
    EXPECT_TRUE(r.ok()) << r.describe();
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.frames[0].warnings.size(), 1u);

    FrameSpec mono384;
    mono384.mode = 3;
    mono384.bitrate_index = 14;
    r = read_layer2_stream(build_frame(mono384));
    EXPECT_TRUE(r.ok()) << r.describe();
    EXPECT_EQ(r.frames[0].warnings.size(), 1u);
}
