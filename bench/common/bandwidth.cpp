#include "common/bandwidth.hpp"

#include <immintrin.h>
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "core/thread_pool.hpp"

namespace orvane::bench {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Sums [p, p + bytes) as 64-bit lanes with four independent accumulators; bytes is a multiple of 256. With
// a prefetch distance, each 256-byte step also prefetches the four lines that far ahead.
template <std::size_t kAhead>
__attribute__((target("avx2"))) uint64_t sum_stream(const std::byte* p, std::size_t bytes) {
    __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
    const auto end = reinterpret_cast<std::uintptr_t>(p + bytes);
    for (std::size_t off = 0; off < bytes; off += 256) {
        if constexpr (kAhead != 0) {
            const auto ahead = reinterpret_cast<std::uintptr_t>(p + off) + kAhead;
            if (ahead < end) {
                const char* q = reinterpret_cast<const char*>(ahead);
                _mm_prefetch(q, _MM_HINT_T0);
                _mm_prefetch(q + 64, _MM_HINT_T0);
                _mm_prefetch(q + 128, _MM_HINT_T0);
                _mm_prefetch(q + 192, _MM_HINT_T0);
            }
        }
        const auto* v = reinterpret_cast<const __m256i*>(p + off);
        a0 = _mm256_add_epi64(a0, _mm256_add_epi64(_mm256_load_si256(v + 0), _mm256_load_si256(v + 1)));
        a1 = _mm256_add_epi64(a1, _mm256_add_epi64(_mm256_load_si256(v + 2), _mm256_load_si256(v + 3)));
        a2 = _mm256_add_epi64(a2, _mm256_add_epi64(_mm256_load_si256(v + 4), _mm256_load_si256(v + 5)));
        a3 = _mm256_add_epi64(a3, _mm256_add_epi64(_mm256_load_si256(v + 6), _mm256_load_si256(v + 7)));
    }
    const __m256i s = _mm256_add_epi64(_mm256_add_epi64(a0, a1), _mm256_add_epi64(a2, a3));
    alignas(32) uint64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), s);
    return lanes[0] + lanes[1] + lanes[2] + lanes[3];
}

using StreamFn = uint64_t (*)(const std::byte*, std::size_t);
const StreamFn kStreams[] = {sum_stream<0>, sum_stream<1024>, sum_stream<4096>, sum_stream<16384>};

volatile uint64_t g_sink;

// Splits [0, bytes) into `parts` pieces aligned to 256 bytes.
std::pair<std::size_t, std::size_t> part(std::size_t bytes, std::size_t parts, std::size_t i) {
    const std::size_t blocks = bytes / 256;
    return {blocks * i / parts * 256, blocks * (i + 1) / parts * 256};
}

}  // namespace

std::size_t llc_bytes() {
    std::size_t best = 0;
    for (int index = 0; index < 8; ++index) {
        std::ifstream f("/sys/devices/system/cpu/cpu0/cache/index" + std::to_string(index) + "/size");
        std::string s;
        if (!(f >> s) || s.empty()) continue;
        std::size_t mult = 1;
        if (s.back() == 'K') mult = std::size_t{1} << 10;
        if (s.back() == 'M') mult = std::size_t{1} << 20;
        if (mult != 1) s.pop_back();
        try {
            best = std::max(best, static_cast<std::size_t>(std::stoull(s)) * mult);
        } catch (...) {
        }
    }
    return best != 0 ? best : std::size_t{32} << 20;
}

bool transparent_hugepages_available() {
    std::ifstream f("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string s;
    std::getline(f, s);
    return s.find("[always]") != std::string::npos || s.find("[madvise]") != std::string::npos;
}

LargeBuffer::LargeBuffer(std::size_t bytes) : size_(bytes) {
    if (bytes == 0) return;
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    mapped_ = rounded + kHugePage;
    mapping_ = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping_ == MAP_FAILED) {
        mapping_ = nullptr;
        throw std::bad_alloc();
    }
    const auto addr = reinterpret_cast<std::uintptr_t>(mapping_);
    data_ = static_cast<std::byte*>(mapping_) + (kHugePage - addr % kHugePage) % kHugePage;
    madvise(data_, rounded, MADV_HUGEPAGE);
}

LargeBuffer::~LargeBuffer() {
    if (mapping_ != nullptr) munmap(mapping_, mapped_);
}

LargeBuffer& LargeBuffer::operator=(LargeBuffer&& other) noexcept {
    if (this != &other) {
        if (mapping_ != nullptr) munmap(mapping_, mapped_);
        mapping_ = std::exchange(other.mapping_, nullptr);
        mapped_ = std::exchange(other.mapped_, 0);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

BandwidthProbe::BandwidthProbe(std::size_t bytes) {
    if (bytes == 0) bytes = std::max(std::size_t{1} << 30, 8 * llc_bytes());
    bytes = bytes / 512 * 512;
    buffer_ = LargeBuffer(bytes);
    // Fault every page in with distinct contents, in parallel.
    const std::size_t parts = pool::num_threads() * 4;
    pool::parallel_for_each(parts, [&](std::size_t i) {
        const auto [b, e] = part(bytes, parts, i);
        auto* words = reinterpret_cast<uint64_t*>(buffer_.data() + b);
        for (std::size_t w = 0; w < (e - b) / 8; ++w) words[w] = (b / 8 + w) * 0x9E3779B97F4A7C15ull;
    });
}

double BandwidthProbe::read_gbps(int passes) const {
    const std::size_t parts = pool::num_threads() * 16;
    double best = 0.0;
    for (int pass = 0; pass < passes; ++pass)
    for (const StreamFn sum_stream : kStreams) {
        uint64_t total = 0;
        std::vector<uint64_t> sums(parts);
        const auto t0 = std::chrono::steady_clock::now();
        pool::parallel_for_each(parts, [&](std::size_t i) {
            const auto [b, e] = part(buffer_.size(), parts, i);
            sums[i] = sum_stream(buffer_.data() + b, e - b);
        });
        const double s = seconds_since(t0);
        for (uint64_t v : sums) total += v;
        g_sink = total;
        best = std::max(best, static_cast<double>(buffer_.size()) / s / 1e9);
    }
    return best;
}

double BandwidthProbe::read_gbps_single(int passes) const {
    double best = 0.0;
    for (int pass = 0; pass < passes; ++pass)
    for (const StreamFn sum_stream : kStreams) {
        const auto t0 = std::chrono::steady_clock::now();
        g_sink = sum_stream(buffer_.data(), buffer_.size());
        best = std::max(best, static_cast<double>(buffer_.size()) / seconds_since(t0) / 1e9);
    }
    return best;
}

double BandwidthProbe::memcpy_gbps(int passes) const {
    const std::size_t half = buffer_.size() / 2 / 256 * 256;
    const std::size_t parts = pool::num_threads() * 16;
    double best = 0.0;
    for (int pass = 0; pass < passes; ++pass) {
        const auto t0 = std::chrono::steady_clock::now();
        pool::parallel_for_each(parts, [&](std::size_t i) {
            const auto [b, e] = part(half, parts, i);
            std::memcpy(buffer_.data() + half + b, buffer_.data() + b, e - b);
        });
        best = std::max(best, static_cast<double>(half) / seconds_since(t0) / 1e9);
    }
    return best;
}

}  // namespace orvane::bench
