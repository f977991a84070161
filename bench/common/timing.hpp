#pragma once
// Timing and input helpers shared by the benchmarks.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "core/bf16.hpp"
#include "core/thread_pool.hpp"

namespace orvane::bench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// The fastest of `runs` timed calls, in seconds.
inline double best_seconds(int runs, const std::function<void()>& f) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        const auto a = Clock::now();
        f();
        best = std::min(best, seconds_since(a));
    }
    return best;
}

// Mean seconds per call of f(i) over at least `min_seconds`, after `warmup` calls.
template <class F>
double mean_call_seconds(F&& f, std::size_t warmup, double min_seconds) {
    for (std::size_t i = 0; i < warmup; ++i) f(i);
    std::size_t calls = 0;
    const auto t0 = Clock::now();
    do {
        for (int j = 0; j < 4; ++j) f(calls++);
    } while (seconds_since(t0) < min_seconds);
    return seconds_since(t0) / static_cast<double>(calls);
}

// BF16 words of normally distributed values (deterministic for a seed).
inline std::vector<uint16_t> random_bf16(std::size_t count, uint32_t seed, float stddev = 0.02f) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> normal(0.0f, stddev);
    std::vector<uint16_t> x(count);
    for (auto& v : x) v = f32_to_bf16(normal(rng));
    return x;
}

// Fills `bytes` bytes with deterministic pseudo-random data (splitmix64), in parallel.
inline void fill_random(std::byte* p, std::size_t bytes, uint64_t seed) {
    const std::size_t parts = 64;
    pool::parallel_for_each(parts, [&](std::size_t i) {
        const std::size_t b = bytes * i / parts / 8 * 8;
        const std::size_t e = i + 1 == parts ? bytes : bytes * (i + 1) / parts / 8 * 8;
        uint64_t x = seed * 0x9E3779B97F4A7C15ull + i;
        for (std::size_t off = b; off + 8 <= e; off += 8) {
            x += 0x9E3779B97F4A7C15ull;
            uint64_t z = x;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            z ^= z >> 31;
            std::memcpy(p + off, &z, 8);
        }
        for (std::size_t off = std::max(b, e / 8 * 8); off < e; ++off) p[off] = std::byte{0x5A};
    });
}

}  // namespace orvane::bench
