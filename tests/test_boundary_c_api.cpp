// The C interface when its memory runs out: creation fails with
// ZUVO_MPA_ERROR_OUT_OF_MEMORY at either of its two blocks, and a reset that
// cannot get its new block leaves the running stream untouched.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "boundary/c_api.h"

namespace {

// Blocks the memory functions still hand out before they fail (test-side state).
int blocks_left = 0;

void* obtain(std::size_t size) {
    if (blocks_left <= 0) return nullptr;
    --blocks_left;
    return std::malloc(size);
}

const zuvo::HostMemory kMemory{obtain, std::free};

}  // namespace

TEST(CApiMemory, OutOfMemoryIsReportedAndLosesNothing) {
    const zuvo_mpa_settings settings{ZUVO_MPA_MONO, 96, 44100, nullptr, nullptr};
    for (int available : {0, 1}) {  // the handle's block, then the core's
        blocks_left = available;
        int error = 0;
        EXPECT_EQ(zuvo::create_c_encoder(&settings, &error, kMemory), nullptr);
        EXPECT_EQ(error, ZUVO_MPA_ERROR_OUT_OF_MEMORY);
        EXPECT_STREQ(zuvo_mpa_strerror(error), "out of memory");
    }

    blocks_left = 2;
    int error = 1;
    zuvo_mpa_encoder* encoder = zuvo::create_c_encoder(&settings, &error, kMemory);
    ASSERT_NE(encoder, nullptr);
    EXPECT_EQ(error, ZUVO_MPA_OK);
    std::vector<std::int16_t> pcm(1000, 1000);
    std::vector<unsigned char> out(4096);
    std::size_t written = 0;
    ASSERT_EQ(zuvo_mpa_encode(encoder, pcm.data(), pcm.size(), out.data(), out.size(), &written), ZUVO_MPA_OK);
    EXPECT_EQ(zuvo_mpa_reset(encoder), ZUVO_MPA_ERROR_OUT_OF_MEMORY);
    // The 1000 samples are still there: with the delay they fill two frames.
    ASSERT_EQ(zuvo_mpa_flush(encoder, out.data(), out.size(), &written), ZUVO_MPA_OK);
    EXPECT_EQ(written, 313u + 314u) << "two frames of 96 kbit/s at 44.1 kHz";
    blocks_left = 1;
    EXPECT_EQ(zuvo_mpa_reset(encoder), ZUVO_MPA_OK);
    zuvo_mpa_destroy(encoder);
}
