// Internal header: included by the bit writer and the encoder.
//
// OverflowStore — a write-only sink for output bytes the bit writer can no
// longer hold (its buffer filling before a drain, or bytes left at the end of
// a stream). Bytes go first into two in-memory blocks of 1,000,000 data bytes
// each, then into a chain of temporary spill files. Nothing reads them back;
// with one drain per frame the store is never written to in normal operation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace zuvo {

constexpr std::uint32_t kBlockCapacity = 1000000;  // data bytes per memory block
constexpr std::uint32_t kSpillFileCapacity = 1000000;  // data bytes per spill file stay below this
constexpr std::size_t kSpillHeaderBytes = 12;  // little-endian: data bytes, 0, 0

// 1,000,012 bytes: `used`, a reserved word, an append counter, then the data
// area from byte 9.
struct MemoryBlock {
    std::uint32_t used;
    std::uint32_t reserved;
    std::uint8_t appends;
    std::uint8_t data[kBlockCapacity + 3];
};

struct SpillFile {
    char name[kTempNameCapacity];
    TempFileHandle file;
    SpillFile* next;
};

struct SpillChain {
    SpillFile* closed_head = nullptr;
    SpillFile* closed_tail = nullptr;
    SpillFile* current = nullptr;
    std::uint32_t spilled = 0;
    std::uint32_t file_header[3] = {0, 0, 0};
};

class OverflowStore {
public:
    OverflowStore() = default;
    ~OverflowStore();
    OverflowStore(const OverflowStore&) = delete;
    OverflowStore& operator=(const OverflowStore&) = delete;

    // Allocates both blocks. Returns false when they cannot be allocated; the
    // store then drops whatever is appended to it.
    bool create();
    // Appends 1 .. 999,999 bytes; always reports success (true).
    bool append(const std::uint8_t* data, std::uint32_t length);
    // Frees both blocks, closes and deletes the spill file being written and
    // every closed spill file. Safe to call more than once.
    void release();

    // Read-only views for tests.
    const MemoryBlock* block1() const { return block1_; }
    const MemoryBlock* block2() const { return block2_; }
    const SpillChain& spill() const { return spill_; }

private:
    bool append_to_block(MemoryBlock* block, const std::uint8_t* data, std::uint32_t length);
    void append_to_spill(const std::uint8_t* data, std::uint32_t length);

    MemoryBlock* block1_ = nullptr;
    MemoryBlock* block2_ = nullptr;
    SpillChain spill_;
};

}  // namespace zuvo
