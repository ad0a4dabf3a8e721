// The context registry: handles, lookup and teardown under one lock.
#include "boundary/context_registry.h"

#include <new>

namespace zuvo {

namespace {

// Handles are numbers passed as opaque pointers; values beyond 32 bits are
// never issued and never match.
bool matches(const ContextEntry* entry, const void* handle) {
    return static_cast<std::uintptr_t>(entry->handle) == reinterpret_cast<std::uintptr_t>(handle);
}

}  // namespace

std::uint32_t ContextRegistry::add(MpaEncoder* encoder, bool& wrapped) {
    wrapped = false;
    ContextEntry* entry = new (std::nothrow) ContextEntry{encoder, nullptr, 0};
    if (entry == nullptr) {
        delete encoder;
        return 0;
    }
    {
        LockGuard guard(lock_);
        if (head_ == nullptr) {
            entry->handle = 1;
            head_ = tail_ = entry;
        } else {
            entry->handle = tail_->handle + 1;
            tail_->next = entry;
            tail_ = entry;
        }
    }
    if (entry->handle == 0) {
        // The 32-bit counter wrapped: the entry would be unreachable.
        wrapped = true;
        {
            LockGuard guard(lock_);
            ContextEntry* previous = nullptr;
            for (ContextEntry* e = head_; e != nullptr; previous = e, e = e->next) {
                if (e == entry) {
                    if (previous == nullptr) head_ = e->next; else previous->next = e->next;
                    if (tail_ == e) tail_ = previous;
                    break;
                }
            }
        }
        delete entry->encoder;
        delete entry;
        return 0;
    }
    return entry->handle;
}

MpaEncoder* ContextRegistry::find(const void* handle, bool& found) {
    LockGuard guard(lock_);
    for (ContextEntry* e = head_; e != nullptr; e = e->next) {
        if (matches(e, handle)) {
            found = true;
            return e->encoder;
        }
    }
    found = false;
    return nullptr;
}

void ContextRegistry::remove(const void* handle) {
    if (handle == nullptr) {
        return;
    }
    LockGuard guard(lock_);
    ContextEntry* previous = nullptr;
    ContextEntry* entry = head_;
    while (entry != nullptr && !matches(entry, handle)) {
        previous = entry;
        entry = entry->next;
    }
    if (entry == nullptr) {
        return;
    }
    if (previous == nullptr) {
        head_ = entry->next;
    } else {
        previous->next = entry->next;
    }
    if (tail_ == entry) {
        tail_ = previous;
    }
    delete entry->encoder;
    delete entry;
}

void ContextRegistry::destroy_all() {
    LockGuard guard(lock_);
    while (head_ != nullptr) {
        ContextEntry* entry = head_;
        head_ = entry->next;
        delete entry->encoder;
        delete entry;
    }
    tail_ = nullptr;
}

}  // namespace zuvo
