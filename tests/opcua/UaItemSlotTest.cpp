// A monitored item's slot as the subscription's vector moves it.

#include "opcua/UaMonitoredItem.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

OLECHAR notFromTheHeap[8] = {};

// Hands out storage that holds, slot by slot, the bytes of a string value
// whose pointer no allocator gave out: what reused heap memory may hold.
template <typename T>
struct DirtyAllocator {
    using value_type = T;
    DirtyAllocator() = default;
    template <typename U>
    DirtyAllocator(const DirtyAllocator<U>&)
    {
    }
    T* allocate(size_t n)
    {
        auto* p = static_cast<unsigned char*>(::operator new(n * sizeof(T)));
        VARIANT stale;
        stale.vt = VT_BSTR;
        stale.bstrVal = notFromTheHeap + 2;
        for (size_t i = 0; i < n * sizeof(T); i += sizeof(stale)) std::memcpy(p + i, &stale, sizeof(stale));
        // The bytes must be there when the slots are built over them.
        asm volatile("" : : "r"(p) : "memory");
        return reinterpret_cast<T*>(p);
    }
    void deallocate(T* p, size_t) { ::operator delete(p); }
    bool operator==(const DirtyAllocator&) const { return true; }
};

// Before the fix, a slot moved into grown storage freed the stale pointer there.
TEST(UaItemSlotTest, SlotsMoveIntoReusedMemoryWithTheirValues)
{
    std::vector<ua::ItemSlot, DirtyAllocator<ua::ItemSlot>> slots;
    for (uint32_t i = 0; i < 40; ++i) {
        ua::ItemSlot& s = slots.emplace_back();
        s.clientHandle = i;
        s.value.vt = VT_BSTR;
        s.value.bstrVal = SysAllocStringUtf8(std::to_string(i));
    }
    for (uint32_t i = 0; i < slots.size(); ++i) {
        EXPECT_EQ(slots[i].clientHandle, i);
        ASSERT_EQ(slots[i].value.vt, VT_BSTR);
        EXPECT_EQ(SysStringLen(slots[i].value.bstrVal), std::to_string(i).size());
    }
}

}  // namespace
