#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "support/audio_tools.h"
#include "platform/platform.h"

namespace fs = std::filesystem;
using namespace zuvo;

namespace {

// Points TMPDIR at a fresh directory for the test's lifetime.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir_.empty()); }
    zuvo_test::TmpdirOverride tmpdir_;
    const std::string dir_ = tmpdir_.path();
};

std::string read_file(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

TEST(Platform, AllocationIsZeroFilledAndLockSerialisesThreads) {
    auto* bytes = static_cast<unsigned char*>(allocate(4096, "test"));
    ASSERT_NE(bytes, nullptr);
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(bytes[i], 0) << i;
    release(bytes);
    release(nullptr);

    PlatformLock lock;
    long counter = 0;  // deliberately not atomic: only the lock protects it
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 100000; ++i) {
                LockGuard guard(lock);
                counter = counter + 1;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counter, 400000);
}

TEST_F(TempDirTest, TempFilesAreUniqueInTmpdirAndDeleted) {
    EXPECT_EQ(std::string(temp_directory()), dir_);
    char a[kTempNameCapacity], b[kTempNameCapacity];
    TempFileHandle fa = temp_file_create(a);
    TempFileHandle fb = temp_file_create(b);
    ASSERT_NE(fa, kNoTempFile);
    ASSERT_NE(fb, kNoTempFile);
    EXPECT_NE(std::string(a), std::string(b));
    EXPECT_EQ(fs::path(a).parent_path(), fs::path(dir_));
    EXPECT_EQ(fs::path(a).filename().string().rfind("zuvo-spill-", 0), 0u);

    // The spill chain's pattern: write, rewrite the start, continue at the end.
    EXPECT_TRUE(temp_file_write(fa, "hello world", 11));
    EXPECT_TRUE(temp_file_seek_start(fa));
    EXPECT_TRUE(temp_file_write(fa, "J", 1));
    EXPECT_TRUE(temp_file_seek_end(fa));
    EXPECT_TRUE(temp_file_write(fa, "!", 1));
    temp_file_close(fa);
    temp_file_close(fb);
    EXPECT_EQ(read_file(a), "Jello world!");

    temp_file_delete(a);
    temp_file_delete(b);
    EXPECT_TRUE(fs::is_empty(dir_));

    EXPECT_FALSE(temp_file_write(kNoTempFile, "x", 1));
    EXPECT_FALSE(temp_file_seek_start(kNoTempFile));
    temp_file_delete(nullptr);
    temp_file_delete("");
}

TEST_F(TempDirTest, TempDirectoryFallbacksAndFailures) {
    setenv("TMPDIR", (dir_ + "/").c_str(), 1);  // trailing slash: no "//" in the name
    char name[kTempNameCapacity];
    TempFileHandle f = temp_file_create(name);
    ASSERT_NE(f, kNoTempFile);
    EXPECT_EQ(std::string(name).find("//"), std::string::npos);
    temp_file_close(f);
    temp_file_delete(name);

    setenv("TMPDIR", (dir_ + "/missing").c_str(), 1);
    EXPECT_EQ(temp_file_create(name), kNoTempFile);
    EXPECT_EQ(name[0], '\0');

    setenv("TMPDIR", std::string(600, 'd').c_str(), 1);  // name would not fit
    EXPECT_EQ(temp_file_create(name), kNoTempFile);

    setenv("TMPDIR", "", 1);
    EXPECT_STREQ(temp_directory(), "/tmp");
    unsetenv("TMPDIR");
    EXPECT_STREQ(temp_directory(), "/tmp");
}
