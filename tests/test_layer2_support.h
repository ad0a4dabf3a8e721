// Shared by the Layer II coding tests: allocation tables built by hand from
// their runs of quantizer steps (independent of the embedded table text), and
// a reader of the bits a BitWriter produced.
#pragma once

#include <cstdint>
#include <vector>

#include "layer2/coding_params.h"
#include "output/bit_writer.h"

namespace zuvo_test {

// The entry of the quantizer with `steps` steps.
inline zuvo::AllocEntry entry_for_steps(int steps) {
    switch (steps) {
        case 3: return {3, 5, 1, 0};
        case 5: return {5, 7, 1, 1};
        case 7: return {7, 3, 3, 2};
        case 9: return {9, 10, 1, 3};
        default: {
            int c = 0;
            while ((1 << c) - 1 < steps) ++c;
            return {steps, c, 3, c};
        }
    }
}

struct Run {
    int first;
    int last;
    int nbal;
    std::vector<int> steps;  // of indices 1, 2, ...
};

inline void fill_runs(zuvo::AllocTable& table, const std::vector<Run>& runs) {
    for (auto& row : table)
        for (auto& e : row) e = {0, 0, 0, 0};
    for (const Run& r : runs) {
        for (int s = r.first; s <= r.last; ++s) {
            table[s][0] = {0, r.nbal, 0, 0};
            for (std::size_t i = 0; i < r.steps.size(); ++i) table[s][i + 1] = entry_for_steps(r.steps[i]);
        }
    }
}

// The 27-subband table of the higher bitrates at 48 kHz.
inline void make_table_27(zuvo::AllocTable& table) {
    fill_runs(table, {
        {0, 2, 4, {3, 7, 15, 31, 63, 127, 255, 511, 1023, 2047, 4095, 8191, 16383, 32767, 65535}},
        {3, 10, 4, {3, 5, 7, 9, 15, 31, 63, 127, 255, 511, 1023, 2047, 4095, 8191, 65535}},
        {11, 22, 3, {3, 5, 7, 9, 15, 31, 65535}},
        {23, 26, 2, {3, 5, 65535}},
    });
}

// The 8-subband table of the low bitrates.
inline void make_table_8(zuvo::AllocTable& table) {
    fill_runs(table, {
        {0, 1, 4, {3, 5, 9, 15, 31, 63, 127, 255, 511, 1023, 2047, 4095, 8191, 16383, 32767}},
        {2, 7, 3, {3, 5, 9, 15, 31, 63, 127}},
    });
}

// The bits a writer holds, and a cursor over them.
class WrittenBits {
public:
    explicit WrittenBits(zuvo::BitWriter& writer) {
        count_ = static_cast<std::size_t>(writer.length()) * 8 + static_cast<std::size_t>(64 - writer.free_bits());
        bytes_.resize(static_cast<std::size_t>(writer.pending_bytes()) + 8);
        int n = 0;
        writer.drain(bytes_.data(), n);
        bytes_.resize(static_cast<std::size_t>(n));
    }
    std::size_t count() const { return count_; }
    std::size_t position() const { return position_; }
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    std::uint32_t bit(std::size_t i) const { return (bytes_[i / 8] >> (7 - i % 8)) & 1u; }
    std::uint32_t read(int width) {
        std::uint32_t v = 0;
        for (int i = 0; i < width; ++i) v = (v << 1) | bit(position_++);
        return v;
    }

private:
    std::vector<std::uint8_t> bytes_;
    std::size_t count_ = 0;
    std::size_t position_ = 0;
};

}  // namespace zuvo_test
