// The Windows platform layer: heap memory, the critical-section lock, and the
// overflow store's spill files through _tempnam and the Win32 file functions.
//
// The runtime's _tempnam takes the directory from TMP when that is set (Wine
// sets it for every process), so most cases point TMP at a fresh directory.
// The cases about c:\tmp itself clear TMP and share that directory with no
// other test (RESOURCE_LOCK in windows/CMakeLists.txt).
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#  define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "output/overflow_store.h"
#include "platform/platform.h"

namespace fs = std::filesystem;
using namespace zuvo;

namespace {

constexpr std::uint32_t kChunk = 262144;

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Same directory, compared the way Windows compares paths.
bool same_directory(const fs::path& a, const fs::path& b) {
    return lower(fs::weakly_canonical(a).string()) == lower(fs::weakly_canonical(b).string());
}

std::string read_file(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string header_of(std::uint32_t count) {
    return {char(count & 0xFF), char((count >> 8) & 0xFF), char((count >> 16) & 0xFF), char(count >> 24),
            0, 0, 0, 0, 0, 0, 0, 0};
}

void set_tmp(const std::string& value) {
    // _putenv_s with an empty value removes the variable; the runtime's own
    // environment is what _tempnam reads.
    ASSERT_EQ(_putenv_s("TMP", value.c_str()), 0);
}

// TMP points at a fresh, empty directory for the test's lifetime.
class TmpDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("TMP");
        had_old_ = old != nullptr;
        if (had_old_) old_ = old;
        dir_ = fs::temp_directory_path() / ("zuvo-win-" + std::to_string(GetCurrentProcessId()));
        fs::remove_all(dir_);
        ASSERT_TRUE(fs::create_directories(dir_));
        set_tmp(dir_.string());
    }
    void TearDown() override {
        set_tmp(had_old_ ? old_ : "");
        fs::remove_all(dir_);
    }
    std::size_t files() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
    }
    fs::path dir_;
    std::string old_;
    bool had_old_ = false;
};

void append_filled(OverflowStore& store, std::uint32_t length, std::uint8_t fill) {
    std::vector<std::uint8_t> bytes(length, fill);
    EXPECT_TRUE(store.append(bytes.data(), length));
}

}  // namespace

TEST(WindowsServices, HeapMemoryIsZeroFilledAndTheLockSerialisesThreads) {
    auto* bytes = static_cast<unsigned char*>(allocate(1 << 20, "test"));
    ASSERT_NE(bytes, nullptr);
    for (int i = 0; i < (1 << 20); i += 4093) ASSERT_EQ(bytes[i], 0) << i;
    bytes[0] = 1;
    release(bytes);
    release(nullptr);
    void* empty = allocate(0, "empty");
    EXPECT_NE(empty, nullptr);
    release(empty);

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

TEST_F(TmpDirTest, TempFilesAreUniqueSharedForReadingAndDeleted) {
    EXPECT_TRUE(same_directory(temp_directory(), dir_)) << temp_directory();
    char a[kTempNameCapacity], b[kTempNameCapacity];
    const TempFileHandle fa = temp_file_create(a);
    const TempFileHandle fb = temp_file_create(b);
    ASSERT_NE(fa, kNoTempFile);
    ASSERT_NE(fb, kNoTempFile);
    EXPECT_NE(lower(a), lower(b));
    EXPECT_TRUE(same_directory(fs::path(a).parent_path(), dir_)) << a;
    EXPECT_EQ(lower(fs::path(a).filename().string()).rfind("zuv", 0), 0u) << a;

    // The spill chain's pattern: write, rewrite the start, continue at the end.
    EXPECT_TRUE(temp_file_write(fa, "hello world", 11));
    EXPECT_TRUE(temp_file_seek_start(fa));
    EXPECT_TRUE(temp_file_write(fa, "J", 1));
    EXPECT_TRUE(temp_file_seek_end(fa));
    EXPECT_TRUE(temp_file_write(fa, "!", 1));

    // Others may read the open file but not write it.
    EXPECT_EQ(read_file(a), "Jello world!");
    const HANDLE writer = CreateFileA(a, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
    if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);

    temp_file_close(fa);
    temp_file_close(fb);
    temp_file_delete(a);
    temp_file_delete(b);
    EXPECT_EQ(files(), 0u);

    EXPECT_FALSE(temp_file_write(kNoTempFile, "x", 1));
    EXPECT_FALSE(temp_file_seek_start(kNoTempFile));
    EXPECT_FALSE(temp_file_seek_end(kNoTempFile));
    temp_file_close(kNoTempFile);
    temp_file_delete(nullptr);
    temp_file_delete("");
}

TEST_F(TmpDirTest, SpillFilesKeepTheirHeaderCurrentAndSplitBelowTheLimit) {
    OverflowStore store;
    ASSERT_TRUE(store.create());
    for (std::uint8_t i = 1; i <= 6; ++i) append_filled(store, kChunk, i);  // both blocks
    EXPECT_EQ(files(), 0u);
    append_filled(store, kChunk, 7);  // the first spill file
    ASSERT_NE(store.spill().current, nullptr);
    const std::string first = store.spill().current->name;
    EXPECT_TRUE(same_directory(fs::path(first).parent_path(), dir_)) << first;

    // 0x40102 data bytes: every header byte differs. Read while still open.
    append_filled(store, 0x0102, 8);
    std::string file = read_file(first);
    ASSERT_EQ(file.size(), 12u + kChunk + 0x0102);
    EXPECT_EQ(file.substr(0, 12), header_of(kChunk + 0x0102));
    EXPECT_EQ(file[12], 7);
    EXPECT_EQ(file.back(), 8);

    // 786,690 + 262,144 would pass 1,000,000: the file is closed as it is and
    // the append lands in a second file.
    append_filled(store, kChunk, 9);
    append_filled(store, kChunk, 10);
    EXPECT_EQ(store.spill().closed_head, nullptr);
    append_filled(store, kChunk, 11);
    ASSERT_NE(store.spill().closed_head, nullptr);
    EXPECT_EQ(std::string(store.spill().closed_head->name), first);
    const std::string second = store.spill().current->name;
    EXPECT_NE(lower(second), lower(first));
    file = read_file(first);
    EXPECT_EQ(file.size(), 12u + 3 * kChunk + 0x0102);
    EXPECT_EQ(file.substr(0, 12), header_of(3 * kChunk + 0x0102));
    file = read_file(second);
    EXPECT_EQ(file.size(), 12u + kChunk);
    EXPECT_EQ(file.substr(0, 12), header_of(kChunk));
    EXPECT_EQ(file[12], 11);
    EXPECT_EQ(files(), 2u);

    store.release();  // the closed file and the one being written
    EXPECT_EQ(files(), 0u);
}

TEST_F(TmpDirTest, AStoreDestroyedWhileSpillingLeavesNoFile) {
    {
        OverflowStore store;
        ASSERT_TRUE(store.create());
        for (int i = 0; i < 3; ++i) append_filled(store, 999999, 1);  // the third spills
        append_filled(store, 999999, 2);                                // closes it, opens another
        EXPECT_EQ(files(), 2u);
    }
    EXPECT_EQ(files(), 0u);
}

// c:\tmp: used when TMP is not set, created when missing, and replaced by the
// system's temporary directory when it cannot be created.
class CTmpTest : public TmpDirTest {
protected:
    void SetUp() override {
        TmpDirTest::SetUp();
        set_tmp("");
        ASSERT_EQ(std::getenv("TMP"), nullptr);
        const DWORD attributes = GetFileAttributesA("c:\\tmp");
        existed_ = attributes != INVALID_FILE_ATTRIBUTES;
        if (existed_ && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            foreign_file_ = true;
            GTEST_SKIP() << "c:\\tmp is a file here";
        }
    }
    void TearDown() override {
        if (foreign_file_) return TmpDirTest::TearDown();
        DeleteFileA("c:\\tmp");  // a file put there by a case
        if (existed_) {
            CreateDirectoryA("c:\\tmp", nullptr);
        } else {
            RemoveDirectoryA("c:\\tmp");
        }
        TmpDirTest::TearDown();
    }
    bool existed_ = false;
    bool foreign_file_ = false;
};

TEST_F(CTmpTest, SpillFilesGoToCTmpCreatedWhenMissing) {
    RemoveDirectoryA("c:\\tmp");  // only succeeds when it is empty
    char name[kTempNameCapacity];
    const TempFileHandle file = temp_file_create(name);
    ASSERT_NE(file, kNoTempFile);
    EXPECT_EQ(lower(fs::path(name).parent_path().string()), "c:\\tmp") << name;
    EXPECT_EQ(lower(temp_directory()), "c:\\tmp");
    temp_file_close(file);
    temp_file_delete(name);
    EXPECT_EQ(GetFileAttributesA(name), INVALID_FILE_ATTRIBUTES);
}

TEST_F(CTmpTest, SystemTemporaryDirectoryWhenCTmpCannotBeMade) {
    if (existed_ && !RemoveDirectoryA("c:\\tmp")) GTEST_SKIP() << "c:\\tmp is in use here";
    // A file of that name: the directory cannot be created.
    const HANDLE blocker = CreateFileA("c:\\tmp", GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(blocker, INVALID_HANDLE_VALUE);
    CloseHandle(blocker);

    char system_temp[MAX_PATH + 1];
    ASSERT_GT(GetTempPathA(sizeof system_temp, system_temp), 0u);
    char name[kTempNameCapacity];
    const TempFileHandle file = temp_file_create(name);
    ASSERT_NE(file, kNoTempFile);
    EXPECT_TRUE(same_directory(fs::path(name).parent_path(), system_temp)) << name << " vs " << system_temp;
    EXPECT_TRUE(same_directory(temp_directory(), system_temp)) << temp_directory();
    temp_file_close(file);
    temp_file_delete(name);
    EXPECT_EQ(GetFileAttributesA(name), INVALID_FILE_ATTRIBUTES);
}
