#include "core/huge_alloc.hpp"

#include <sys/mman.h>

namespace orvane {

namespace {
std::size_t mapped_length(std::size_t bytes) { return (bytes + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes; }
}  // namespace

void* huge_page_allocate(std::size_t bytes) {
    if (bytes < kHugePageBytes) {
        void* p = std::aligned_alloc(64, (bytes + 63) / 64 * 64 + (bytes == 0 ? 64 : 0));
        if (p == nullptr) throw std::bad_alloc();
        return p;
    }
    const std::size_t length = mapped_length(bytes);
    // Over-map by one huge page so that the array can start on a 2 MiB boundary.
    void* raw = mmap(nullptr, length + kHugePageBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto base = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (base + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
    if (aligned > base) munmap(raw, aligned - base);
    const std::uintptr_t end = base + length + kHugePageBytes;
    if (end > aligned + length) munmap(reinterpret_cast<void*>(aligned + length), end - (aligned + length));
    void* p = reinterpret_cast<void*>(aligned);
    (void)madvise(p, length, MADV_HUGEPAGE);  // advice only: a kernel without huge pages still works
    return p;
}

void huge_page_deallocate(void* p, std::size_t bytes) noexcept {
    if (p == nullptr) return;
    if (bytes < kHugePageBytes) {
        std::free(p);
        return;
    }
    munmap(p, mapped_length(bytes));
}

}  // namespace orvane
