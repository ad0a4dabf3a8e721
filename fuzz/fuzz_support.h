// Shared by the fuzz targets: a reader that turns the fuzz input into
// arguments (missing bytes read as zero) and the check that stops a run when
// an invariant breaks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define FUZZ_CHECK(condition, ...)                                        \
    do {                                                                  \
        if (!(condition)) {                                               \
            std::fprintf(stderr, "invariant broken: %s\n  ", #condition); \
            std::fprintf(stderr, __VA_ARGS__);                            \
            std::fprintf(stderr, "\n");                                   \
            std::abort();                                                 \
        }                                                                 \
    } while (0)

namespace zuvo_fuzz {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    std::uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | (u8() << 8)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(u16()) | (static_cast<std::uint32_t>(u16()) << 16); }
    // Up to `n` bytes taken as they are.
    std::size_t take(std::uint8_t* to, std::size_t n) {
        const std::size_t k = n < size_ - at_ ? n : size_ - at_;
        if (k > 0) std::memcpy(to, data_ + at_, k);
        at_ += k;
        return k;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

}  // namespace zuvo_fuzz
