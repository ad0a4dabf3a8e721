#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "output/bit_writer.h"

using namespace zuvo;

namespace {

std::vector<std::uint8_t> drain_all(BitWriter& w) {
    std::vector<std::uint8_t> out(kWriterBufferBytes + kWriterSpareBytes, 0xEE);
    int count = -1;
    const int n = w.drain(out.data(), count);
    EXPECT_EQ(n, count);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

using Bytes = std::vector<std::uint8_t>;

}  // namespace

TEST(BitWriter, AccumulatorWordBoundary) {
    BitWriter w;
    ASSERT_TRUE(w.init());
    // 12 + 20 + 32 bits fill the accumulator exactly: nothing stored yet.
    w.put_bits(0xABC, 12);
    w.put_bits(0xDEF01, 20);
    w.put_bits(0x23456789, 32);
    EXPECT_EQ(w.free_bits(), 0);
    EXPECT_EQ(w.length(), 0);
    EXPECT_EQ(w.pending_bytes(), 8);
    EXPECT_EQ(drain_all(w), (Bytes{0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67, 0x89}));

    // A 32-bit value with 32 bits free is taken without a flush; the next
    // value flushes the oldest word, which is the one written first.
    w.put_bits(0x11223344, 32);
    w.put_bits(static_cast<std::int32_t>(0x95667788u), 32);
    EXPECT_EQ(w.length(), 0);
    w.put_bits(0x9, 4);
    EXPECT_EQ(w.length(), 4);
    EXPECT_EQ(w.free_bits(), 28);
    EXPECT_EQ(w.pending_bytes(), 9);
    EXPECT_EQ(drain_all(w), (Bytes{0x11, 0x22, 0x33, 0x44, 0x95, 0x66, 0x77, 0x88, 0x90}));
}

TEST(BitWriter, FieldValuesAndDrainEdges) {
    BitWriter w;
    ASSERT_TRUE(w.init());

    std::uint8_t untouched[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    int count = -1;
    EXPECT_EQ(w.drain(untouched, count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(untouched[0], 0xEE);

    w.put_bits(-1, 5);  // 11111
    w.put_bits(5, 3);   // 101
    w.put_bits(0, 4);
    w.put_bits(0xFF, 4);  // wider than the field: only its low 4 bits count
    w.put_bits(1, 0);     // invalid widths write nothing
    w.put_bits(1, 33);
    EXPECT_EQ(drain_all(w), (Bytes{0xFD, 0x0F}));

    w.put_bits(0x1FFF, 13);  // 13 bits -> 2 bytes, zero tail
    EXPECT_EQ(w.pending_bytes(), 2);
    EXPECT_EQ(drain_all(w), (Bytes{0xFF, 0xF8}));
    EXPECT_EQ(w.free_bits(), 64);

    // After a drain the next bit starts a fresh byte.
    w.put_bits(1, 3);
    EXPECT_EQ(drain_all(w), (Bytes{0x20}));
    w.put_bit(1);
    EXPECT_EQ(drain_all(w), (Bytes{0x80}));

    // A null destination drops the bytes instead of crashing.
    w.put_bits(7, 8);
    EXPECT_EQ(w.drain(nullptr, count), 0);
    EXPECT_EQ(w.pending_bytes(), 0);

    // Before init and after finish nothing is written anywhere.
    BitWriter idle;
    for (int i = 0; i < 100; ++i) idle.put_bits(i, 32);
    EXPECT_EQ(idle.drain(untouched, count), 0);
    EXPECT_EQ(untouched[0], 0xEE);
}

TEST(BitWriter, FullBufferAndFinishGoToStore) {
    OverflowStore store;
    ASSERT_TRUE(store.create());
    BitWriter w;
    w.set_store(&store);
    ASSERT_TRUE(w.init());

    // 65,538 words: the flush of word 65,536 fills the buffer (262,144 bytes),
    // which goes to the store; only the last two words remain for drain.
    constexpr std::uint32_t kWords = kWriterBufferBytes / 4 + 2;
    for (std::uint32_t i = 0; i < kWords; ++i) w.put_bits(static_cast<std::int32_t>(i * 2654435761u), 32);
    ASSERT_NE(store.block1(), nullptr);
    ASSERT_EQ(store.block1()->used, static_cast<std::uint32_t>(kWriterBufferBytes));
    for (std::uint32_t i = 0; i < kWords - 2; ++i) {
        const std::uint32_t v = i * 2654435761u;
        const std::uint8_t* p = store.block1()->data + 4 * i;
        ASSERT_EQ((std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3], v) << i;
    }
    const std::uint32_t a = (kWords - 2) * 2654435761u, b = (kWords - 1) * 2654435761u;
    EXPECT_EQ(drain_all(w), (Bytes{std::uint8_t(a >> 24), std::uint8_t(a >> 16), std::uint8_t(a >> 8), std::uint8_t(a),
                                   std::uint8_t(b >> 24), std::uint8_t(b >> 16), std::uint8_t(b >> 8), std::uint8_t(b)}));

    // finish() hands the stored words to the store; pending bits are dropped.
    w.put_bits(0x01020304, 32);
    w.put_bits(0x05060708, 32);
    w.put_bits(0x3, 2);
    w.finish();
    EXPECT_FALSE(w.ready());
    EXPECT_EQ(store.block1()->used, static_cast<std::uint32_t>(kWriterBufferBytes) + 4);
    EXPECT_EQ(store.block1()->data[kWriterBufferBytes], 0x01);
    EXPECT_EQ(store.block1()->data[kWriterBufferBytes + 3], 0x04);

    // Without a store a full buffer is simply dropped.
    BitWriter lone;
    ASSERT_TRUE(lone.init());
    for (std::uint32_t i = 0; i < kWords; ++i) lone.put_bits(1, 32);
    EXPECT_EQ(drain_all(lone).size(), 8u);
}

// put_fields writes what the same fields through put_bits write: across word
// boundaries, with values wider than their field, invalid widths (0, 33)
// skipped, and through the hand-over of a full buffer to the store; so does
// put_fitted_fields with the valid fields, cut to their widths.
TEST(BitWriter, PutFieldsMatchesPutBits) {
    OverflowStore stores[2];
    BitWriter writers[2];
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(stores[i].create());
        writers[i].set_store(&stores[i]);
        ASSERT_TRUE(writers[i].init());
    }
    std::vector<std::uint32_t> values;
    std::vector<int> widths;
    std::uint32_t state = 7u;
    // 150,000 fields of 0 to 33 bits (about 300 kB): more than one buffer.
    while (values.size() < 150000) {
        state = state * 1664525u + 1013904223u;
        values.push_back(state);
        widths.push_back(static_cast<int>((state >> 8) % 34));
    }
    for (std::size_t i = 0; i < values.size(); ++i) writers[0].put_bits(static_cast<std::int32_t>(values[i]), widths[i]);
    for (std::size_t at = 0; at < values.size(); at += 61) {
        const int count = static_cast<int>(std::min<std::size_t>(61, values.size() - at));
        writers[1].put_fields(values.data() + at, widths.data() + at, count);
    }
    ASSERT_NE(stores[0].block1(), nullptr);
    ASSERT_NE(stores[1].block1(), nullptr);
    ASSERT_EQ(stores[0].block1()->used, static_cast<std::uint32_t>(kWriterBufferBytes));
    ASSERT_EQ(stores[0].block1()->used, stores[1].block1()->used);
    EXPECT_EQ(Bytes(stores[0].block1()->data, stores[0].block1()->data + stores[0].block1()->used),
              Bytes(stores[1].block1()->data, stores[1].block1()->data + stores[1].block1()->used));

    // put_fitted_fields picks its fields from a table (here in reverse
    // order), each value already within a width of 1..32.
    OverflowStore store;
    BitWriter fitted;
    ASSERT_TRUE(store.create());
    fitted.set_store(&store);
    ASSERT_TRUE(fitted.init());
    std::vector<std::uint32_t> table;
    std::vector<int> fitted_widths;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (widths[i] < 1 || widths[i] > 32) continue;
        table.push_back(values[i] & static_cast<std::uint32_t>((std::uint64_t{1} << widths[i]) - 1));
        fitted_widths.push_back(widths[i]);
    }
    constexpr int kRun = 61;
    for (std::size_t first = 0; first < table.size(); first += kRun) {
        const int count = static_cast<int>(std::min<std::size_t>(kRun, table.size() - first));
        std::uint16_t at[kRun];
        std::uint32_t reversed[kRun];
        for (int i = 0; i < count; ++i) {
            at[i] = static_cast<std::uint16_t>(count - 1 - i);
            reversed[count - 1 - i] = table[first + i];
        }
        fitted.put_fitted_fields(reversed, at, fitted_widths.data() + first, count);
    }
    ASSERT_NE(store.block1(), nullptr);
    EXPECT_EQ(Bytes(store.block1()->data, store.block1()->data + store.block1()->used),
              Bytes(stores[0].block1()->data, stores[0].block1()->data + stores[0].block1()->used));

    const Bytes tail = drain_all(writers[0]);
    EXPECT_EQ(tail, drain_all(writers[1]));
    EXPECT_EQ(tail, drain_all(fitted));
}
