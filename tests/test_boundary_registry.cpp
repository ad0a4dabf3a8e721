// The context registry: handle numbering, lookup, removal and the wrapped counter.
#include <gtest/gtest.h>

#include "boundary/context_registry.h"

using zuvo::ContextRegistry;
using zuvo::MpaEncoder;

namespace {

void* as_handle(std::uintptr_t value) { return reinterpret_cast<void*>(value); }

std::uint32_t add(ContextRegistry& registry, MpaEncoder* encoder = nullptr) {
    bool wrapped = false;
    const std::uint32_t handle = registry.add(encoder, wrapped);
    EXPECT_FALSE(wrapped);
    return handle;
}

}  // namespace

TEST(ContextRegistry, NumbersFromOneAndReusesOnlyTheNewest) {
    ContextRegistry registry;
    EXPECT_EQ(add(registry), 1u);
    EXPECT_EQ(add(registry), 2u);
    registry.remove(as_handle(1));
    registry.remove(as_handle(2));
    EXPECT_EQ(add(registry), 1u) << "numbering restarts once the registry is empty";

    EXPECT_EQ(add(registry), 2u);
    EXPECT_EQ(add(registry), 3u);
    registry.remove(as_handle(3));
    EXPECT_EQ(add(registry), 3u) << "deleting the newest context frees its number";
    registry.remove(as_handle(2));
    EXPECT_EQ(add(registry), 4u) << "deleting an older context does not";
}

TEST(ContextRegistry, LookupAndRemovalOfUnknownHandles) {
    ContextRegistry registry;
    bool found = true;
    EXPECT_EQ(registry.find(as_handle(1), found), nullptr);
    EXPECT_FALSE(found);

    auto* encoder = new MpaEncoder();
    const std::uint32_t handle = add(registry, encoder);
    EXPECT_EQ(registry.find(as_handle(handle), found), encoder);
    EXPECT_TRUE(found);

    // Handles beyond 32 bits, 0 and never-issued numbers change nothing.
    registry.remove(nullptr);
    registry.remove(as_handle(77));
    if (sizeof(void*) > 4) {
        EXPECT_EQ(registry.find(as_handle(static_cast<std::uintptr_t>((std::uint64_t{1} << 32) + handle)), found), nullptr);
        EXPECT_FALSE(found);
    }
    EXPECT_EQ(registry.find(as_handle(handle), found), encoder);

    registry.remove(as_handle(handle));
    EXPECT_EQ(registry.find(as_handle(handle), found), nullptr);
    EXPECT_FALSE(found);
    registry.remove(as_handle(handle));  // twice: nothing happens
}

TEST(ContextRegistry, EntryWithoutEncoderIsFoundButEmpty) {
    ContextRegistry registry;
    const std::uint32_t handle = add(registry, nullptr);
    bool found = false;
    EXPECT_EQ(registry.find(as_handle(handle), found), nullptr);
    EXPECT_TRUE(found);
    registry.remove(as_handle(handle));
    EXPECT_FALSE((registry.find(as_handle(handle), found), found));
}

TEST(ContextRegistry, WrappedCounterLeavesNothingRegistered) {
    ContextRegistry registry;
    EXPECT_EQ(add(registry), 1u);
    registry.tail_for_testing()->handle = 0xFFFFFFFFu;

    bool wrapped = false;
    EXPECT_EQ(registry.add(new MpaEncoder(), wrapped), 0u);
    EXPECT_TRUE(wrapped);
    bool found = true;
    registry.find(nullptr, found);
    EXPECT_FALSE(found) << "the entry with handle 0 must not stay registered";
    EXPECT_EQ(registry.tail_for_testing()->handle, 0xFFFFFFFFu);
}
