// Every supported rate × every mode × a spread of bitrate indices (repaired
// ones included) × buffer sizes from a fraction of a frame to many frames:
// the frame count is exactly the whole frames the bytes allow, every frame
// passes the independent frame reader, and the header carries the expected
// rate, mode and bitrate.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "ZuvoMPAEncoder.h"
#include "support/frame_reader.h"

namespace {

std::vector<char> noise_pcm(std::size_t bytes, std::uint32_t seed) {
    std::vector<char> pcm(bytes);
    for (std::size_t i = 0; i + 1 < bytes; i += 2) {
        seed = seed * 1664525u + 1013904223u;
        const auto sample = static_cast<std::uint16_t>(static_cast<std::int16_t>(static_cast<std::int32_t>(seed) >> 19));
        pcm[i] = static_cast<char>(sample & 0xFF);
        pcm[i + 1] = static_cast<char>(sample >> 8);
    }
    return pcm;
}

// Header bitrate index the library writes for a configured index.
int expected_header_index(int mode, int index) {
    if (index <= 0 || index >= 15) index = 11;
    if (mode != 3) return index;
    static const int mono[15] = {1, 1, 1, 1, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    return mono[index > 10 ? 10 : index];
}

}  // namespace

TEST(ConfigurationMatrix, WholeFramesThatPassTheReader) {
    const int rates[] = {32000, 44100, 48000};
    const int indices[] = {0, 1, 4, 8, 10, 14, 15, -3};
    const std::size_t buffers[] = {1000, 4607, 4608, 6000, 38400, 100000};
    const std::size_t total_bytes = 100000 + 3 * 4608;  // at least one buffer, not a whole frame count

    for (int rate : rates) {
        for (int mode = 0; mode <= 3; ++mode) {
            for (int index : indices) {
                for (std::size_t buffer : buffers) {
                    SCOPED_TRACE(testing::Message() << rate << " Hz, mode " << mode << ", index " << index
                                                    << ", buffers of " << buffer);
                    void* context = ZuvoCreateAudioContext();
                    ZuvoMPAEncoderParams params{mode, index, rate};
                    ASSERT_EQ(ZuvoInitAudioEncoder(context, &params), 1);

                    const std::vector<char> pcm = noise_pcm(total_bytes, static_cast<std::uint32_t>(rate + mode));
                    std::vector<unsigned char> stream;
                    for (std::size_t at = 0; at < pcm.size(); at += buffer) {
                        const std::size_t n = std::min(buffer, pcm.size() - at);
                        wavehdr_tag header{};
                        header.lpData = const_cast<char*>(pcm.data() + at);
                        header.dwBufferLength = static_cast<std::uint32_t>(n);
                        const int bound = ZuvoMaxOutputBytes(context, header.dwBufferLength);
                        std::vector<unsigned char> out(static_cast<std::size_t>(bound) + 1, 0xEE);
                        int length = -1;
                        ASSERT_EQ(ZuvoCompressAudioFrame(context, &header, out.data(), &length), 1);
                        ASSERT_GE(length, 0);
                        ASSERT_LE(length, bound);
                        EXPECT_EQ(out[static_cast<std::size_t>(bound)], 0xEE) << "wrote past the bound";
                        stream.insert(stream.end(), out.begin(), out.begin() + length);
                    }
                    EXPECT_EQ(ZuvoFinishAudio(context), 1);
                    ZuvoDeleteAudioContext(context);

                    const std::size_t frame_bytes = mode == 3 ? 2304 : 4608;
                    const zuvo_test::StreamReport report = zuvo_test::read_layer2_stream(stream);
                    ASSERT_TRUE(report.ok()) << report.describe();
                    ASSERT_EQ(report.frames.size(), total_bytes / frame_bytes);
                    for (const auto& frame : report.frames) {
                        EXPECT_EQ(frame.sampling_rate, rate);
                        EXPECT_EQ(frame.bitrate_index, expected_header_index(mode, index));
                        if (mode == 1) {
                            EXPECT_TRUE(frame.mode == 0 || frame.mode == 1);
                        } else {
                            EXPECT_EQ(frame.mode, mode);
                        }
                    }
                }
            }
        }
    }
}
