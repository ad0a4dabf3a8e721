// Internal header: included by the encoder and by the Layer II writers.
//
// BitWriter — packs fields of 1 to 32 bits most significant bit first through
// a 64-bit accumulator, storing whole 32-bit words big-endian in a byte buffer
// so memory is touched once per 32 bits. After each frame `drain` hands the
// frame's bytes to the caller's output area and leaves the writer empty.
// Should the buffer fill within a frame, its bytes go to the OverflowStore.
#pragma once

#include <cstdint>

#include "output/overflow_store.h"

namespace zuvo {

constexpr std::int32_t kWriterBufferBytes = 262144;
constexpr std::int32_t kWriterSpareBytes = 8;

class BitWriter {
public:
    BitWriter() = default;
    ~BitWriter();
    BitWriter(const BitWriter&) = delete;
    BitWriter& operator=(const BitWriter&) = delete;

    // Set once by the encoder that owns both.
    void set_store(OverflowStore* store) { store_ = store; }

    // Allocates the buffer (kept if already held) and empties the writer;
    // false when out of memory. Bits written before init are dropped.
    bool init();
    // Appends the low n bits of value (1 <= n <= 32), most significant first.
    // Only the low n bits are used (a negative value is written in two's
    // complement); a width outside 1..32 writes nothing.
    void put_bits(std::int32_t value, int n) {
        if (n < 1 || n > 32) return;
        // Keep only the low n bits: a negative value is written in two's
        // complement, and an oversized one cannot spill into older bits.
        const std::uint64_t bits = static_cast<std::uint64_t>(static_cast<std::uint32_t>(value)) &
                                   ((std::uint64_t{1} << n) - 1);
        if (free_ < n) flush_word();
        accumulator_ = (accumulator_ << n) | bits;
        free_ -= n;
    }
    void put_bit(int bit) { put_bits(bit, 1); }
    // put_bits(values[i], widths[i]) for i in 0..count-1, with the writer's
    // state held in locals for the run (the byte stores could otherwise alias
    // it and force a reload per field).
    void put_fields(const std::uint32_t* values, const int* widths, int count) {
        put_run<true>(count, [values, widths](int i, std::uint32_t& value, int& width) {
            value = values[i];
            width = widths[i];
        });
    }
    // put_bits(values[at[i]], widths[i]) for i in 0..count-1: fields picked
    // from a larger table in the order given. The caller guarantees that
    // every width is 1..32 and every value fits its width (neither is
    // checked).
    void put_fitted_fields(const std::uint32_t* values, const std::uint16_t* at, const int* widths, int count) {
        put_run<false>(count, [values, at, widths](int i, std::uint32_t& value, int& width) {
            value = values[at[i]];
            width = widths[i];
        });
    }
    // Pads with zero bits up to the next byte boundary.
    void align();
    // Aligns, copies every buffered byte to destination, stores their number
    // in count_out and returns it. Nothing is written when there is nothing
    // buffered. The writer is empty afterwards (with a null destination, or
    // before init, the bytes are dropped and 0 is returned).
    int drain(std::uint8_t* destination, int& count_out);
    // Bytes drain() would return now (whole pending bytes, rounded up), for
    // callers that bound their output.
    int pending_bytes() const;
    // End of stream: bytes still buffered go to the store; the buffer is released.
    void finish();
    bool ready() const { return buffer_ != nullptr; }

    // For tests.
    int free_bits() const { return free_; }
    int length() const { return length_; }

private:
    // The loop of put_fields: field(i, value, width) names field i; with
    // `checked` a field of a width outside 1..32 is passed over and a value
    // is cut to its width. When the buffer has room for a word per field, the
    // words go straight to it through a local pointer; otherwise each takes
    // emit_word's checks.
    template <bool checked, typename Field>
    void put_run(int count, Field field) {
        if (buffer_ != nullptr && count < (kWriterBufferBytes - length_) / 4 - 1) {
            std::uint8_t* out = buffer_ + length_;
            pack_run<checked>(count, field, [&out](std::uint32_t word) {
                out[0] = static_cast<std::uint8_t>(word >> 24);
                out[1] = static_cast<std::uint8_t>(word >> 16);
                out[2] = static_cast<std::uint8_t>(word >> 8);
                out[3] = static_cast<std::uint8_t>(word);
                out += 4;
            });
            length_ = static_cast<std::int32_t>(out - buffer_);
        } else {
            pack_run<checked>(count, field, [this](std::uint32_t word) { emit_word(word); });
        }
    }

    // Packs the fields into the accumulator (held in registers for the run),
    // handing each completed 32-bit word to store(word).
    template <bool checked, typename Field, typename Store>
    void pack_run(int count, Field field, Store store) {
        std::uint64_t accumulator = accumulator_;
        int free = free_;
        for (int i = 0; i < count; ++i) {
            std::uint32_t value;
            int n;
            field(i, value, n);
            if (checked && (n < 1 || n > 32)) continue;
            const std::uint64_t bits =
                checked ? static_cast<std::uint64_t>(value) & ((std::uint64_t{1} << n) - 1) : value;
            if (free < n) {
                store(static_cast<std::uint32_t>(accumulator >> (32 - free)));
                free += 32;
            }
            accumulator = (accumulator << n) | bits;
            free -= n;
        }
        accumulator_ = accumulator;
        free_ = free;
    }

    // Moves the oldest 32 pending bits to the buffer as one big-endian word;
    // the buffer's hand-over to the store (and a writer without a buffer)
    // take the slow path.
    void flush_word() {
        emit_word(static_cast<std::uint32_t>(accumulator_ >> (32 - free_)));
        free_ += 32;
    }
    // Appends one big-endian word to the buffer, or hands it to the slow path.
    void emit_word(std::uint32_t word) {
        if (buffer_ == nullptr || length_ + 4 >= kWriterBufferBytes) {
            store_word(word);
            return;
        }
        std::uint8_t* const out = buffer_ + length_;
        out[0] = static_cast<std::uint8_t>(word >> 24);
        out[1] = static_cast<std::uint8_t>(word >> 16);
        out[2] = static_cast<std::uint8_t>(word >> 8);
        out[3] = static_cast<std::uint8_t>(word);
        length_ += 4;
    }
    void store_word(std::uint32_t word);

    std::uint64_t accumulator_ = 0;
    std::uint8_t* buffer_ = nullptr;
    std::int32_t length_ = 0;
    std::int32_t free_ = 64;
    OverflowStore* store_ = nullptr;
};

}  // namespace zuvo
