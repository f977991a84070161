#pragma once
// Allocation of large weight arrays on transparent huge pages.
//
// Weight arrays are streamed from memory on every token; on 4 KiB pages a multi-GB model costs millions of
// TLB entries. Arrays from 256 KiB up are placed in anonymous mappings aligned to 2 MiB and advised
// MADV_HUGEPAGE (effective when the system's setting is "madvise" or "always"): mid-sized ones share 64 MiB
// chunks (released when their last array goes), the largest get mappings of their own. Smaller arrays come
// from the ordinary heap.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

namespace orvane {

inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

// Raw allocation with the rule above (never null: throws std::bad_alloc).
void* huge_page_allocate(std::size_t bytes);
void huge_page_deallocate(void* p, std::size_t bytes) noexcept;

template <class T>
struct HugePageAllocator {
    using value_type = T;

    HugePageAllocator() noexcept = default;
    template <class U>
    HugePageAllocator(const HugePageAllocator<U>&) noexcept {}  // NOLINT: rebinding

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(huge_page_allocate(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { huge_page_deallocate(p, n * sizeof(T)); }

    template <class U>
    bool operator==(const HugePageAllocator<U>&) const noexcept {
        return true;
    }
};

template <class T>
using HugeVector = std::vector<T, HugePageAllocator<T>>;

}  // namespace orvane
