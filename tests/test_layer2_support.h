// Shared by the Layer II coding tests: an allocation table built by hand from
// its runs of quantizer steps (independent of the embedded table text), and
// the bits a BitWriter produced.
#pragma once

#include <cstdint>
#include <vector>

#include "layer2/coding_params.h"
#include "output/bit_writer.h"

namespace zuvo_test {

// The 27-subband table of the higher bitrates at 48 kHz.
inline void make_table_27(zuvo::AllocTable& table) {
    struct Run {
        int first, last, nbal;
        std::vector<int> steps;  // of indices 1, 2, ...
    };
    const Run runs[] = {
        {0, 2, 4, {3, 7, 15, 31, 63, 127, 255, 511, 1023, 2047, 4095, 8191, 16383, 32767, 65535}},
        {3, 10, 4, {3, 5, 7, 9, 15, 31, 63, 127, 255, 511, 1023, 2047, 4095, 8191, 65535}},
        {11, 22, 3, {3, 5, 7, 9, 15, 31, 65535}},
        {23, 26, 2, {3, 5, 65535}},
    };
    for (auto& row : table)
        for (auto& e : row) e = {0, 0, 0, 0};
    for (const Run& r : runs)
        for (int s = r.first; s <= r.last; ++s) {
            table[s][0] = {0, r.nbal, 0, 0};
            for (std::size_t i = 0; i < r.steps.size(); ++i) {
                const int n = r.steps[i];
                int c = 0;  // 2^c - 1 steps: class c, c bits per sample
                while ((1 << c) - 1 < n) ++c;
                const zuvo::AllocEntry grouped[] = {{3, 5, 1, 0}, {5, 7, 1, 1}, {7, 3, 3, 2}, {9, 10, 1, 3}};
                table[s][i + 1] = n == 3 ? grouped[0] : n == 5 ? grouped[1] : n == 7 ? grouped[2]
                                : n == 9 ? grouped[3] : zuvo::AllocEntry{n, c, 3, c};
            }
        }
}

// The bits a writer holds (drained from it), read from the start.
class WrittenBits {
public:
    explicit WrittenBits(zuvo::BitWriter& writer)
        : count_(static_cast<std::size_t>(writer.length()) * 8 + static_cast<std::size_t>(64 - writer.free_bits())) {
        bytes_.resize(static_cast<std::size_t>(writer.pending_bytes()) + 8);
        int n = 0;
        writer.drain(bytes_.data(), n);
        bytes_.resize(static_cast<std::size_t>(n));
    }
    std::size_t count() const { return count_; }
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    std::uint32_t read(int width) {
        std::uint32_t v = 0;
        for (int i = 0; i < width; ++i, ++position_) v = (v << 1) | ((bytes_[position_ / 8] >> (7 - position_ % 8)) & 1u);
        return v;
    }

private:
    std::size_t count_;
    std::vector<std::uint8_t> bytes_;
    std::size_t position_ = 0;
};

}  // namespace zuvo_test
