// The bit writer: fields are packed most significant bit first into a 64-bit
// accumulator whose newest bits sit at the least significant end. Whenever a
// field no longer fits, the oldest 32 pending bits go to the buffer as one
// big-endian word, so memory is touched once per 32 bits.
#include "output/bit_writer.h"

#include <cstring>

#include "platform/platform.h"

namespace zuvo {

namespace {

constexpr std::size_t kBufferAllocation = static_cast<std::size_t>(kWriterBufferBytes) + kWriterSpareBytes;

}  // namespace

BitWriter::~BitWriter() {
    release(buffer_);
    buffer_ = nullptr;
}

bool BitWriter::init() {
    if (buffer_ == nullptr) buffer_ = static_cast<std::uint8_t*>(allocate(kBufferAllocation, "bit_writer"));
    accumulator_ = 0;
    length_ = 0;
    free_ = 64;
    return buffer_ != nullptr;
}

void BitWriter::store_word(std::uint32_t word) {
    if (buffer_ == nullptr) return;  // not initialised: the bits are dropped
    std::uint8_t* out = buffer_ + length_;
    out[0] = static_cast<std::uint8_t>(word >> 24);
    out[1] = static_cast<std::uint8_t>(word >> 16);
    out[2] = static_cast<std::uint8_t>(word >> 8);
    out[3] = static_cast<std::uint8_t>(word);
    length_ += 4;
    if (length_ >= kWriterBufferBytes) {
        // The buffer filled before the frame was drained: its bytes go to the
        // overflow store and are no longer returned by drain().
        if (store_ != nullptr) store_->append(buffer_, static_cast<std::uint32_t>(length_));
        length_ = 0;
    }
}

void BitWriter::align() {
    const int k = free_ % 8;
    if (k != 0) put_bits(0, k);
}

int BitWriter::pending_bytes() const {
    return length_ + (64 - free_ + 7) / 8;
}

int BitWriter::drain(std::uint8_t* destination, int& count_out) {
    align();
    if (buffer_ == nullptr) {
        accumulator_ = 0;
        free_ = 64;
        length_ = 0;
        count_out = 0;
        return 0;
    }
    // The remaining pending bits, a whole number of bytes after align(), go
    // to the spare bytes at the end of the buffer without a hand-over check.
    while (free_ < 64) {
        buffer_[length_++] = static_cast<std::uint8_t>(accumulator_ >> (56 - free_));
        free_ += 8;
    }
    const int count = length_;
    length_ = 0;
    if (count == 0 || destination == nullptr) {
        count_out = 0;
        return 0;
    }
    std::memcpy(destination, buffer_, static_cast<std::size_t>(count));
    count_out = count;
    return count;
}

void BitWriter::finish() {
    if (buffer_ != nullptr && length_ != 0 && store_ != nullptr) {
        store_->append(buffer_, static_cast<std::uint32_t>(length_));
    }
    // Bits still pending in the accumulator are not written.
    length_ = 0;
    free_ = 64;
    release(buffer_);
    buffer_ = nullptr;
}

}  // namespace zuvo
