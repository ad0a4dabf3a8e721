// The overflow store: a write-only sink filled in one direction only, first
// block1, then block2, then spill files one after another. Each spill file
// starts with a 12-byte little-endian header (data bytes, 0, 0) that is
// rewritten after every append, so the header always states how many data
// bytes follow it.
#include "output/overflow_store.h"

#include <cstring>

namespace zuvo {

static_assert(sizeof(MemoryBlock) == 1000012, "a memory block is 12 bytes of bookkeeping plus its data area");

namespace {

void encode_header(const std::uint32_t (&header)[3], std::uint8_t (&bytes)[kSpillHeaderBytes]) {
    for (int word = 0; word < 3; ++word) {
        for (int b = 0; b < 4; ++b) {
            bytes[word * 4 + b] = static_cast<std::uint8_t>(header[word] >> (8 * b));
        }
    }
}

bool write_header(TempFileHandle file, const std::uint32_t (&header)[3]) {
    std::uint8_t bytes[kSpillHeaderBytes];
    encode_header(header, bytes);
    return temp_file_write(file, bytes, sizeof bytes);
}

}  // namespace

OverflowStore::~OverflowStore() {
    release();
}

bool OverflowStore::create() {
    if (block1_ != nullptr && block2_ != nullptr) return true;
    release();
    block1_ = static_cast<MemoryBlock*>(allocate(sizeof(MemoryBlock), "overflow_block1"));
    block2_ = static_cast<MemoryBlock*>(allocate(sizeof(MemoryBlock), "overflow_block2"));
    if (block1_ == nullptr || block2_ == nullptr) {
        // Without both blocks the store stays inert and drops what it is given.
        release();
        return false;
    }
    return true;
}

bool OverflowStore::append(const std::uint8_t* data, std::uint32_t length) {
    if (data == nullptr || length == 0 || length >= kBlockCapacity) return true;
    if (block1_ == nullptr || block2_ == nullptr) return true;  // never created, or released

    if (spill_.spilled != 0) {
        append_to_spill(data, length);
    } else if (block2_->used == 0) {
        if (!append_to_block(block1_, data, length) && !append_to_block(block2_, data, length)) {
            append_to_spill(data, length);
        }
    } else if (!append_to_block(block2_, data, length)) {
        // Once block2 holds data, block1 is not tried again.
        append_to_spill(data, length);
    }
    return true;
}

bool OverflowStore::append_to_block(MemoryBlock* block, const std::uint8_t* data, std::uint32_t length) {
    if (length > kBlockCapacity - block->used) return false;  // exactly full is accepted
    std::memcpy(block->data + block->used, data, length);
    block->used += length;
    ++block->appends;
    return true;
}

void OverflowStore::append_to_spill(const std::uint8_t* data, std::uint32_t length) {
    for (;;) {
        if (spill_.current == nullptr) {
            SpillFile* node = static_cast<SpillFile*>(allocate(sizeof(SpillFile), "spill_file"));
            if (node == nullptr) return;
            node->next = nullptr;
            node->file = temp_file_create(node->name);
            if (node->file == kNoTempFile) {
                // The bytes of this append are dropped; the next append tries
                // again with a new name.
                zuvo::release(node);
                return;
            }
            spill_.file_header[0] = spill_.file_header[1] = spill_.file_header[2] = 0;
            write_header(node->file, spill_.file_header);
            spill_.current = node;
        }

        if (spill_.file_header[0] + length < kSpillFileCapacity) {
            spill_.file_header[0] += length;
            // Only "non-zero" matters for routing; never let the total wrap to 0.
            spill_.spilled = spill_.spilled + length < spill_.spilled ? 0xFFFFFFFFu : spill_.spilled + length;
            SpillFile* file = spill_.current;
            temp_file_write(file->file, data, length);
            temp_file_seek_start(file->file);
            write_header(file->file, spill_.file_header);
            temp_file_seek_end(file->file);
            return;
        }

        // The current file would reach the limit: close it, keep it in the
        // closed list, and put the same bytes into a new file.
        SpillFile* full = spill_.current;
        temp_file_close(full->file);
        full->file = kNoTempFile;
        full->next = nullptr;
        if (spill_.closed_tail != nullptr) {
            spill_.closed_tail->next = full;
        } else {
            spill_.closed_head = full;
        }
        spill_.closed_tail = full;
        spill_.current = nullptr;
        spill_.file_header[0] = spill_.file_header[1] = spill_.file_header[2] = 0;
    }
}

void OverflowStore::release() {
    zuvo::release(block1_);
    zuvo::release(block2_);
    block1_ = nullptr;
    block2_ = nullptr;

    if (SpillFile* current = spill_.current) {
        temp_file_close(current->file);
        temp_file_delete(current->name);
        zuvo::release(current);
    }
    SpillFile* node = spill_.closed_head;
    while (node != nullptr) {
        SpillFile* next = node->next;
        temp_file_delete(node->name);
        zuvo::release(node);
        node = next;
    }
    spill_ = SpillChain{};
}

}  // namespace zuvo
