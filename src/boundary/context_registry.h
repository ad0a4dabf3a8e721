// Internal header: included by the boundary's exports and by its tests.
//
// ContextRegistry — the process-wide map from handles to encoders: a singly
// linked list in creation order under the library's one lock. A new context's
// handle is the largest live handle plus one (1 when the list is empty), so
// numbering restarts at 1 once every context is gone and deleting the newest
// context lets its number be reused.
#pragma once

#include <cstdint>

#include "encoder/mpa_encoder.h"
#include "platform/platform.h"

namespace zuvo {

struct ContextEntry {
    MpaEncoder* encoder;  // owned; null when the encoder could not be allocated
    ContextEntry* next;
    std::uint32_t handle;
};

class ContextRegistry {
public:
    ContextRegistry() = default;
    ~ContextRegistry() { destroy_all(); }
    ContextRegistry(const ContextRegistry&) = delete;
    ContextRegistry& operator=(const ContextRegistry&) = delete;

    // Registers `encoder` (ownership passes to the registry, also on failure)
    // and returns its handle. Returns 0 when no entry could be allocated or
    // the handle counter wrapped; nothing stays registered then.
    std::uint32_t add(MpaEncoder* encoder, bool& wrapped);
    // Looks a handle up under the lock. `found` tells whether an entry exists;
    // the result is its encoder (possibly null). The encoder is used after the
    // lock is left: a context must not be deleted while a call on it runs.
    MpaEncoder* find(const void* handle, bool& found);
    // Unlinks the entry and destroys its encoder under the lock. Unknown
    // handles and 0 are ignored.
    void remove(const void* handle);
    // Destroys every encoder and entry (process detach).
    void destroy_all();

    // For tests: the newest entry, whose handle decides the next one.
    ContextEntry* tail_for_testing() { return tail_; }

private:
    PlatformLock lock_;
    ContextEntry* head_ = nullptr;
    ContextEntry* tail_ = nullptr;
};

}  // namespace zuvo
