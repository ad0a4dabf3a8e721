// Buffers longer than 2^31 bytes: dwBufferLength is unsigned, so a host may
// describe up to 4 GiB - 1 bytes in one call (and the C interface more).
// Staging must treat such lengths as the large positive numbers they are,
// never as negative ones, and keep its offsets exact across 2^31 and up to the
// very last byte.
//
// The buffers are anonymous MAP_NORESERVE mappings: only the pages the test
// writes a pattern into (around 2^31 and at the tail) are ever backed by
// memory. Encoding the whole buffer would take minutes, so the staging skips
// to offsets near the interesting boundaries, exactly where a real call would
// have got to.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstdint>
#include <string>
#include <cstring>
#include <vector>

#include "encoder/mpa_encoder.h"
#include "support/frame_reader.h"

using zuvo::InputStaging;
using zuvo::MpaEncoder;

namespace {

constexpr std::uint64_t kTwoGiB = std::uint64_t{1} << 31;
constexpr std::uint64_t kFrameBytes = 4608;  // one stereo frame of 16-bit PCM

// Pseudo-random byte for absolute offset `at`: any misplaced offset shows.
std::uint8_t pattern(std::uint64_t at) {
    std::uint64_t x = at * 0x9E3779B97F4A7C15ull;
    x ^= x >> 29;
    return static_cast<std::uint8_t>(x >> 17);
}

std::int16_t sample_at(std::uint64_t at) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(pattern(at) | (pattern(at + 1) << 8)));
}

class HugeMapping {
public:
    explicit HugeMapping(std::uint64_t length) : length_(length) {
        void* p = mmap(nullptr, static_cast<std::size_t>(length), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        data_ = p == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(p);
    }
    ~HugeMapping() {
        if (data_ != nullptr) munmap(data_, static_cast<std::size_t>(length_));
    }
    HugeMapping(const HugeMapping&) = delete;
    HugeMapping& operator=(const HugeMapping&) = delete;

    bool ok() const { return data_ != nullptr; }
    std::uint8_t* data() const { return data_; }
    std::uint64_t length() const { return length_; }

    // Writes the pattern into [from, to): these pages become real memory.
    void fill(std::uint64_t from, std::uint64_t to) {
        for (std::uint64_t at = from; at < to && at < length_; ++at) data_[at] = pattern(at);
    }

private:
    std::uint64_t length_;
    std::uint8_t* data_ = nullptr;
};

void start_stereo(MpaEncoder& e) {
    ASSERT_TRUE(e.configure(0, 11, 44100));
    ASSERT_TRUE(e.start());
}

// Staging over `mapping` as a real call leaves it after `frames_done` frames
// read in place (nothing carried at the start of the call).
void mid_call(InputStaging& staging, const HugeMapping& mapping, std::uint64_t frames_done) {
    staging.begin(mapping.data(), mapping.length());
    staging.skip(frames_done * kFrameBytes);
}

#define SKIP_WITHOUT(mapping)                                                        \
    do {                                                                             \
        if (sizeof(void*) < 8) GTEST_SKIP() << "needs a 64-bit address space";       \
        if (!(mapping).ok()) GTEST_SKIP() << "could not reserve the address space"; \
    } while (0)

}  // namespace

TEST(HugeBuffers, StagingCrossesTwoGiBAndCarriesTheTail) {
    // 2^31 + 4608 k + 3 bytes, and the largest length a header can carry.
    for (const std::uint64_t length : {kTwoGiB + kFrameBytes * 1000 + 3, std::uint64_t{0xFFFFFFFFu}}) {
        SCOPED_TRACE("buffer of " + std::to_string(length) + " bytes");
        HugeMapping mapping(length);
        SKIP_WITHOUT(mapping);
        const std::uint64_t straddling = kTwoGiB / kFrameBytes;  // this frame contains byte 2^31
        ASSERT_LT(straddling * kFrameBytes, kTwoGiB);
        ASSERT_GT((straddling + 1) * kFrameBytes, kTwoGiB);
        const std::uint64_t whole = length / kFrameBytes;  // frames the buffer holds
        const std::uint64_t tail = length % kFrameBytes;   // bytes carried at its end
        mapping.fill((straddling - 2) * kFrameBytes, (straddling + 3) * kFrameBytes);
        mapping.fill((whole - 2) * kFrameBytes, length);

        InputStaging e;
        const auto frame_bytes = static_cast<std::int32_t>(kFrameBytes);

        // Frames in place, around 2^31: each read where it lies, no copy.
        mid_call(e, mapping, straddling - 2);
        for (std::uint64_t frame = straddling - 2; frame < straddling + 3; ++frame) {
            EXPECT_EQ(e.take(frame_bytes), mapping.data() + frame * kFrameBytes) << "frame " << frame;
            EXPECT_EQ(e.position(), (frame + 1) * kFrameBytes);
            EXPECT_EQ(e.length(), length);
            EXPECT_EQ(e.carried(), 0);
            EXPECT_TRUE(e.more());
        }

        // The last whole frames, then the tail goes to the carry buffer.
        mid_call(e, mapping, whole - 2);
        ASSERT_NE(e.take(frame_bytes), nullptr);
        EXPECT_EQ(e.take(frame_bytes), mapping.data() + (whole - 1) * kFrameBytes);
        EXPECT_EQ(e.position(), whole * kFrameBytes);
        EXPECT_EQ(e.take(frame_bytes), nullptr);
        EXPECT_FALSE(e.more());
        EXPECT_EQ(e.length(), 0u);
        EXPECT_EQ(e.position(), 0u);
        ASSERT_EQ(static_cast<std::uint64_t>(e.carried()), tail);
        for (std::uint64_t i = 0; i < tail; ++i) {
            ASSERT_EQ(e.carried_data()[i], pattern(whole * kFrameBytes + i)) << "carried byte " << i;
        }

        // The next buffer completes the carried frame.
        std::vector<std::uint8_t> next(kFrameBytes);
        for (std::uint64_t i = 0; i < next.size(); ++i) next[i] = static_cast<std::uint8_t>(i * 7 + 1);
        e.begin(next.data(), next.size());
        const std::uint8_t* joined = e.take(frame_bytes);
        ASSERT_NE(joined, nullptr);
        std::int16_t pcm_frame[2][1152];
        zuvo::deinterleave_frame(joined, 2, pcm_frame);
        EXPECT_EQ(e.position(), kFrameBytes - tail);
        EXPECT_EQ(e.carried(), 0);
        // Sample pairs straddling the old tail and the new buffer are joined byte-exactly.
        for (int i = 0; i < 1152; ++i) {
            for (int ch = 0; ch < 2; ++ch) {
                const std::uint64_t at = 4u * static_cast<std::uint64_t>(i) + 2u * static_cast<std::uint64_t>(ch);
                const auto byte = [&](std::uint64_t k) -> std::uint8_t {
                    return k < tail ? pattern(whole * kFrameBytes + k) : next[k - tail];
                };
                const auto expected = static_cast<std::int16_t>(static_cast<std::uint16_t>(byte(at) | (byte(at + 1) << 8)));
                ASSERT_EQ(pcm_frame[ch][i], expected) << "sample " << i << " channel " << ch;
            }
        }
    }
}

TEST(HugeBuffers, FrameReadAcrossTwoGiBDeinterleavesTheRightBytes) {
    HugeMapping mapping(kTwoGiB + kFrameBytes * 4 + 3);
    SKIP_WITHOUT(mapping);
    const std::uint64_t straddling = kTwoGiB / kFrameBytes;
    mapping.fill(straddling * kFrameBytes, (straddling + 1) * kFrameBytes);

    InputStaging staging;
    mid_call(staging, mapping, straddling);
    const std::uint8_t* frame = staging.take(static_cast<std::int32_t>(kFrameBytes));
    ASSERT_NE(frame, nullptr);
    std::int16_t pcm_frame[2][1152];
    zuvo::deinterleave_frame(frame, 2, pcm_frame);
    const std::uint64_t base = straddling * kFrameBytes;
    for (int i = 0; i < 1152; ++i) {
        ASSERT_EQ(pcm_frame[0][i], sample_at(base + 4u * static_cast<std::uint64_t>(i))) << i;
        ASSERT_EQ(pcm_frame[1][i], sample_at(base + 4u * static_cast<std::uint64_t>(i) + 2)) << i;
    }
}

TEST(HugeBuffers, FramesBeyondTwoGiBEqualTheSameBytesInASmallBuffer) {
    // Five frames around 2^31 of one huge buffer, encoded from there, must be
    // the stream a small buffer holding the same bytes gives.
    HugeMapping mapping(kTwoGiB + kFrameBytes * 8 + 3);
    SKIP_WITHOUT(mapping);
    const std::uint64_t first = kTwoGiB / kFrameBytes - 2;
    const std::uint64_t count = 5;
    mapping.fill(first * kFrameBytes, (first + count) * kFrameBytes);

    MpaEncoder huge;
    start_stereo(huge);
    huge.begin_input(mapping.data(), mapping.length());
    huge.skip_input(first * kFrameBytes);
    std::vector<std::uint8_t> from_huge(count * 1800);
    std::size_t total = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        ASSERT_TRUE(huge.encode_frame());
        const int n = huge.drain(from_huge.data() + total);
        ASSERT_GT(n, 0);
        total += static_cast<std::size_t>(n);
    }
    from_huge.resize(total);
    EXPECT_EQ(huge.staging().position(), (first + count) * kFrameBytes);
    huge.end_input();
    huge.finish_stream();

    std::vector<std::uint8_t> small(mapping.data() + first * kFrameBytes,
                                    mapping.data() + (first + count) * kFrameBytes);
    MpaEncoder reference;
    start_stereo(reference);
    std::vector<std::uint8_t> from_small(count * 1800);
    const std::int64_t length = reference.compress(small.data(), small.size(), 0, from_small.data());
    ASSERT_GT(length, 0);
    from_small.resize(static_cast<std::size_t>(length));
    reference.finish_stream();

    EXPECT_EQ(from_huge, from_small);
    const auto report = zuvo_test::read_layer2_stream(from_huge);
    EXPECT_TRUE(report.ok()) << report.describe();
    EXPECT_EQ(report.frames.size(), count);
}

TEST(HugeBuffers, OutputBoundOfHugeLengthsIsPositiveAndExact) {
    MpaEncoder e;
    start_stereo(e);
    const std::uint64_t frame_bound = static_cast<std::uint64_t>(e.slots_per_frame()) + 1;
    for (const std::uint64_t length : {kTwoGiB - 1, kTwoGiB, kTwoGiB + 3, std::uint64_t{0xFFFFFFFFu}}) {
        EXPECT_EQ(e.max_output_bytes(length), length / kFrameBytes * frame_bound) << length;
    }
    // With bytes carried, the carry counts towards the frames.
    const std::vector<std::uint8_t> short_buffer(kFrameBytes - 1);
    std::vector<std::uint8_t> out(4096);
    ASSERT_EQ(e.compress(short_buffer.data(), 4000, 0, out.data()), 0);
    EXPECT_EQ(e.max_output_bytes(0xFFFFFFFFu), (0xFFFFFFFFull + 4000) / kFrameBytes * frame_bound);
    e.finish_stream();

    // The most any single call can produce (384 kbit/s at 32 kHz, 4 GiB - 1 bytes
    // plus a carried frame's worth) still fits the int the exports return.
    MpaEncoder widest;
    ASSERT_TRUE(widest.configure(0, 14, 32000));
    ASSERT_TRUE(widest.start());
    ASSERT_EQ(widest.compress(short_buffer.data(), short_buffer.size(), 0, out.data()), 0);
    EXPECT_LE(widest.max_output_bytes(0xFFFFFFFFu), static_cast<std::uint64_t>(INT32_MAX));
    widest.finish_stream();
}
