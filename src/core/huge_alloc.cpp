#include "core/huge_alloc.hpp"

#include <mutex>

#include <sys/mman.h>

namespace orvane {

namespace {

// Arrays from kArenaMin up to kDedicatedMin are carved out of shared 2 MiB-aligned chunks of kChunkBytes, so
// that expert-sized arrays (often 1-2 MiB) sit on huge pages without rounding each one up to whole pages;
// a chunk is returned to the system when its last array is freed. Larger arrays get their own mapping.
constexpr std::size_t kArenaMin = std::size_t{256} << 10;
constexpr std::size_t kChunkBytes = std::size_t{64} << 20;
constexpr std::size_t kDedicatedMin = kChunkBytes / 4;
constexpr std::size_t kAlign = 64;

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

// An anonymous mapping of `length` bytes (a multiple of the huge page size) starting on a 2 MiB boundary,
// advised MADV_HUGEPAGE. Null when the system refuses.
void* map_huge(std::size_t length) {
    void* raw = mmap(nullptr, length + kHugePageBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto base = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = round_up(base, kHugePageBytes);
    if (aligned > base) munmap(raw, aligned - base);
    const std::uintptr_t end = base + length + kHugePageBytes;
    if (end > aligned + length) munmap(reinterpret_cast<void*>(aligned + length), end - (aligned + length));
    void* p = reinterpret_cast<void*>(aligned);
    (void)madvise(p, length, MADV_HUGEPAGE);  // advice only: a kernel without huge pages still works
    return p;
}

struct Chunk {
    std::byte* base = nullptr;
    std::size_t used = 0;
    std::size_t live = 0;
};

// Each arena array is preceded by one aligned header naming its chunk.
struct alignas(kAlign) BlockHeader {
    Chunk* chunk;
};

std::mutex g_arena_mutex;
Chunk* g_current = nullptr;

void* arena_allocate(std::size_t bytes) {
    const std::size_t need = sizeof(BlockHeader) + round_up(bytes, kAlign);
    std::lock_guard<std::mutex> lock(g_arena_mutex);
    if (g_current == nullptr || g_current->used + need > kChunkBytes) {
        void* base = map_huge(kChunkBytes);
        if (base == nullptr) throw std::bad_alloc();
        Chunk* fresh = new Chunk{static_cast<std::byte*>(base), 0, 0};
        // The previous chunk lives on until its last array is freed.
        if (g_current != nullptr && g_current->live == 0) {
            munmap(g_current->base, kChunkBytes);
            delete g_current;
        }
        g_current = fresh;
    }
    auto* header = reinterpret_cast<BlockHeader*>(g_current->base + g_current->used);
    header->chunk = g_current;
    g_current->used += need;
    ++g_current->live;
    return header + 1;
}

void arena_deallocate(void* p) noexcept {
    Chunk* chunk = (static_cast<BlockHeader*>(p) - 1)->chunk;
    std::lock_guard<std::mutex> lock(g_arena_mutex);
    if (--chunk->live > 0) return;
    if (chunk == g_current) {
        chunk->used = 0;  // reuse the current chunk from its start
        return;
    }
    munmap(chunk->base, kChunkBytes);
    delete chunk;
}

}  // namespace

void* huge_page_allocate(std::size_t bytes) {
    if (bytes < kArenaMin) {
        void* p = std::aligned_alloc(kAlign, round_up(bytes == 0 ? 1 : bytes, kAlign));
        if (p == nullptr) throw std::bad_alloc();
        return p;
    }
    if (bytes < kDedicatedMin) return arena_allocate(bytes);
    void* p = map_huge(round_up(bytes, kHugePageBytes));
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void huge_page_deallocate(void* p, std::size_t bytes) noexcept {
    if (p == nullptr) return;
    if (bytes < kArenaMin) {
        std::free(p);
    } else if (bytes < kDedicatedMin) {
        arena_deallocate(p);
    } else {
        munmap(p, round_up(bytes, kHugePageBytes));
    }
}

}  // namespace orvane
