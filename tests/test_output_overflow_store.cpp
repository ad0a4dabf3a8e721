#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/audio_tools.h"
#include "output/overflow_store.h"

namespace fs = std::filesystem;
using namespace zuvo;

namespace {

constexpr std::uint32_t kChunk = 262144;

// Points TMPDIR at a fresh directory for the test's lifetime.
class OverflowStoreTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir_.empty()); }
    std::size_t files() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
    }
    zuvo_test::TmpdirOverride tmpdir_;
    const std::string dir_ = tmpdir_.path();
};

void append_filled(OverflowStore& store, std::uint32_t length, std::uint8_t fill) {
    std::vector<std::uint8_t> bytes(length, fill);
    EXPECT_TRUE(store.append(bytes.data(), length));
}

std::vector<std::uint8_t> read_file(const char* name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::uint8_t> header_of(std::uint32_t count) {
    return {std::uint8_t(count), std::uint8_t(count >> 8), std::uint8_t(count >> 16), std::uint8_t(count >> 24),
            0, 0, 0, 0, 0, 0, 0, 0};
}

std::vector<std::uint8_t> head(const std::vector<std::uint8_t>& v) { return {v.begin(), v.begin() + 12}; }

}  // namespace

TEST_F(OverflowStoreTest, FillingOrderBlocksThenSpill) {
    OverflowStore store;
    ASSERT_TRUE(store.create());
    for (std::uint8_t i = 1; i <= 3; ++i) append_filled(store, kChunk, i);
    EXPECT_EQ(store.block1()->used, 3 * kChunk);
    EXPECT_EQ(store.block2()->used, 0u);
    for (std::uint8_t i = 4; i <= 6; ++i) append_filled(store, kChunk, i);
    EXPECT_EQ(store.block1()->used, 3 * kChunk);
    EXPECT_EQ(store.block2()->used, 3 * kChunk);
    EXPECT_EQ(store.block1()->data[2 * kChunk], 3);
    EXPECT_EQ(store.block2()->data[0], 4);
    EXPECT_EQ(store.spill().current, nullptr);
    EXPECT_EQ(files(), 0u);

    append_filled(store, kChunk, 7);
    ASSERT_NE(store.spill().current, nullptr);
    EXPECT_EQ(store.spill().spilled, kChunk);
    EXPECT_EQ(fs::path(store.spill().current->name).parent_path(), fs::path(dir_));

    // Once spilled, a small append goes to the spill file although block1
    // still has room. 0x40102 data bytes: every header byte differs.
    append_filled(store, 0x0102, 8);
    EXPECT_EQ(store.block1()->used, 3 * kChunk);
    const auto file = read_file(store.spill().current->name);
    ASSERT_EQ(file.size(), 12u + kChunk + 0x0102);
    EXPECT_EQ(head(file), (std::vector<std::uint8_t>{0x02, 0x01, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(file[12], 7);
    EXPECT_EQ(file.back(), 8);

    store.release();
    EXPECT_EQ(files(), 0u);  // including the file still being written
    store.release();         // idempotent
    append_filled(store, 10, 1);  // dropped after release
    EXPECT_EQ(files(), 0u);
}

TEST_F(OverflowStoreTest, BlockCapacityRules) {
    OverflowStore store;
    ASSERT_TRUE(store.create());
    append_filled(store, 999999, 1);
    append_filled(store, 1, 2);  // exactly 1,000,000 is accepted
    EXPECT_EQ(store.block1()->used, 1000000u);
    EXPECT_EQ(store.block1()->data[999999], 2);
    append_filled(store, 1, 3);  // refused by block1
    EXPECT_EQ(store.block1()->used, 1000000u);
    EXPECT_EQ(store.block2()->used, 1u);

    // Once block2 holds data, block1 is never tried again.
    OverflowStore other;
    ASSERT_TRUE(other.create());
    append_filled(other, 600000, 1);
    append_filled(other, 600000, 2);
    append_filled(other, 300000, 3);
    EXPECT_EQ(other.block1()->used, 600000u);
    EXPECT_EQ(other.block2()->used, 900000u);

    // Out-of-range and null appends are ignored but still report success.
    EXPECT_TRUE(other.append(nullptr, 5));
    std::uint8_t byte = 0;
    EXPECT_TRUE(other.append(&byte, 0));
    EXPECT_TRUE(other.append(&byte, kBlockCapacity));
    EXPECT_EQ(other.block2()->used, 900000u);

    // A store whose blocks were never allocated drops everything.
    OverflowStore inert;
    append_filled(inert, 100, 1);
    EXPECT_EQ(inert.block1(), nullptr);
    EXPECT_EQ(files(), 0u);
}

TEST_F(OverflowStoreTest, SpillFilesSplitBelowTheLimit) {
    OverflowStore store;
    ASSERT_TRUE(store.create());
    for (std::uint8_t i = 1; i <= 9; ++i) append_filled(store, kChunk, i);  // spill file 1: 786,432
    const std::string first = store.spill().current->name;
    append_filled(store, kChunk, 10);  // 1,048,576 would reach the limit: file 2
    ASSERT_NE(store.spill().closed_head, nullptr);
    EXPECT_EQ(store.spill().closed_head, store.spill().closed_tail);
    EXPECT_EQ(std::string(store.spill().closed_head->name), first);
    EXPECT_NE(std::string(store.spill().current->name), first);

    const auto closed = read_file(first.c_str());
    ASSERT_EQ(closed.size(), 12u + 3 * kChunk);
    EXPECT_EQ(head(closed), header_of(3 * kChunk));
    EXPECT_EQ(closed.back(), 9);
    const auto current = read_file(store.spill().current->name);
    ASSERT_EQ(current.size(), 12u + kChunk);
    EXPECT_EQ(head(current), header_of(kChunk));
    EXPECT_EQ(current[12], 10);
    EXPECT_EQ(files(), 2u);
    store.release();
    EXPECT_EQ(files(), 0u);

    // A file holding 999,999 bytes is closed by the next append of any size.
    OverflowStore full;
    ASSERT_TRUE(full.create());
    for (int i = 0; i < 3; ++i) append_filled(full, 999999, 1);
    append_filled(full, 1, 2);
    ASSERT_NE(full.spill().closed_head, nullptr);
    EXPECT_EQ(head(read_file(full.spill().closed_head->name)), header_of(999999));
    EXPECT_EQ(head(read_file(full.spill().current->name)), header_of(1));
}

TEST_F(OverflowStoreTest, SpillFileCreationFailureDropsOnlyThatAppend) {
    OverflowStore store;
    ASSERT_TRUE(store.create());
    const std::string good = dir_;
    setenv("TMPDIR", (good + "/missing").c_str(), 1);
    for (int i = 0; i < 3; ++i) append_filled(store, 999999, 1);  // the third cannot spill
    EXPECT_EQ(store.spill().current, nullptr);
    EXPECT_EQ(store.spill().spilled, 0u);

    setenv("TMPDIR", good.c_str(), 1);
    append_filled(store, 5, 2);
    ASSERT_NE(store.spill().current, nullptr);
    EXPECT_EQ(head(read_file(store.spill().current->name)), header_of(5));
}
