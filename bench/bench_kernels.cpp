// Transposed INT4/INT8 product benchmarks, each figure next to its ratio to the read bandwidth measured in
// the same run (the machine's limit for weight streaming).
//
//   bench_kernels [--quick]
//
// Sections: the bandwidth probe; DRAM-resident products (distinct weight copies cycled so that their total
// exceeds 4x the last-level cache) in GB/s of weight bytes (packed + scales); cache-resident expert-sized
// products, serial against parallel; the pool's fork-join dispatch cost.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "common/bandwidth.hpp"
#include "common/timing.hpp"
#include "core/thread_pool.hpp"
#include "kernel/avx2/transposed.hpp"

namespace {

using namespace orvane;
using namespace orvane::kernel::avx2;
using bench::LargeBuffer;
using bench::fill_random;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kGroupSize = 128;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }


// Small positive BF16 scales (random scale bits would give infinities and NaNs).
void fill_scales(uint16_t* s, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) s[i] = static_cast<uint16_t>(0x3C00 + (i * 37) % 256);
}

struct Weights {
    LargeBuffer packed, scales;
    std::size_t words, scale_count;
};

Weights make_weights(bool int8, bool tiled, std::size_t n, std::size_t k, uint64_t seed) {
    const std::size_t cols = tiled ? (n + TILE_N - 1) / TILE_N * TILE_N : n;
    Weights w;
    w.words = int8 ? (k * cols + 3) / 4 : (k / 8) * cols;
    w.scale_count = (k / kGroupSize) * cols;
    w.packed = LargeBuffer(w.words * 4);
    w.scales = LargeBuffer(w.scale_count * 2);
    fill_random(w.packed.data(), w.words * 4, seed);
    fill_scales(w.scales.as<uint16_t>(), w.scale_count);
    return w;
}

struct Activation {
    std::vector<int16_t> q;
    std::vector<float> s;
    explicit Activation(std::size_t k) : q(k), s(k / kGroupSize, 1e-4f) {
        for (std::size_t i = 0; i < k; ++i) q[i] = static_cast<int16_t>((i * 7919) % 65536 - 32768);
    }
};

using Product = void (*)(std::span<const uint32_t>, std::span<const uint16_t>, std::span<const int16_t>,
                         std::span<const float>, std::span<float>, std::size_t, std::size_t, std::size_t);

void call(Product p, const Weights& w, const Activation& a, std::vector<float>& out, std::size_t n, std::size_t k) {
    p(std::span<const uint32_t>(w.packed.as<uint32_t>(), w.words),
      std::span<const uint16_t>(w.scales.as<uint16_t>(), w.scale_count), a.q, a.s, out, k, n, kGroupSize);
}

struct Variant {
    const char* name;
    Product int4, int8;
    bool tiled, parallel;
};

const Variant kParallel{"parallel", matmul_int4_transposed_integer_parallel, matmul_int8_transposed_integer_parallel,
                        false, true};
const Variant kParallelTiled{"parallel tiled", matmul_int4_transposed_integer_parallel_tiled,
                             matmul_int8_transposed_integer_parallel_tiled, true, true};
const Variant kSerial{"serial (base)", matmul_int4_transposed_integer, matmul_int8_transposed_integer, false, false};

// Mean seconds per call over at least `min_seconds`, after one warm-up pass.
template <class F>
double mean_call_seconds(F&& f, std::size_t warmup, double min_seconds) {
    for (std::size_t i = 0; i < warmup; ++i) f(i);
    std::size_t calls = 0;
    const auto t0 = Clock::now();
    double elapsed = 0.0;
    do {
        for (int j = 0; j < 4; ++j) f(calls++);
        elapsed = seconds(t0, Clock::now());
    } while (elapsed < min_seconds);
    return elapsed / static_cast<double>(calls);
}

// Median seconds per call of `reps` timed single calls.
template <class F>
double median_call_seconds(F&& f, std::size_t reps) {
    std::vector<double> t(reps);
    for (std::size_t i = 0; i < 16; ++i) f();
    for (std::size_t i = 0; i < reps; ++i) {
        const auto a = Clock::now();
        f();
        t[i] = seconds(a, Clock::now());
    }
    std::nth_element(t.begin(), t.begin() + reps / 2, t.end());
    return t[reps / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::string(argv[1]) == "--quick";
    const double min_seconds = quick ? 0.15 : 0.5;
    const std::size_t threads = pool::num_threads();
    const std::size_t llc = bench::llc_bytes();

    fmt::print("# Transposed integer products\n\n");
    fmt::print("threads: {}, last-level cache: {} MiB, transparent huge pages: {}, group size {}\n\n", threads,
               llc >> 20, bench::transparent_hugepages_available() ? "madvise/always" : "off", kGroupSize);

    double read_all = 0.0, read_one = 0.0, copy = 0.0;
    const bench::BandwidthProbe probe;
    {
        read_all = probe.read_gbps(quick ? 3 : 5);
        read_one = probe.read_gbps_single(quick ? 2 : 3);
        copy = probe.memcpy_gbps(quick ? 2 : 3);
        fmt::print("## Bandwidth probe ({} MiB buffer)\n\n", probe.bytes() >> 20);
        fmt::print("| measure | GB/s |\n|---|---|\n");
        fmt::print("| read, {} threads | {:.1f} |\n| read, 1 thread | {:.1f} |\n| memcpy, {} threads (bytes copied) | "
                   "{:.1f} |\n\n",
                   threads, read_all, read_one, threads, copy);
    }

    // Shared machines drift: each product row is measured right after a fresh probe, and its ratio is to that
    // adjacent figure (all-thread read for the parallel forms, single-thread read for the serial one).
    fmt::print("## DRAM-resident products (weights cycled over > 4x LLC)\n\n");
    fmt::print("INT4 integer sums: {}.\n\n", avx512_in_use() ? "AVX-512 VNNI form (AVX2 form in the `avx2` rows)"
                                                               : "AVX2 form");
    fmt::print("| width | N x K | variant | copies | ms / product | weight GB/s | adjacent read GB/s | ratio |\n");
    fmt::print("|---|---|---|---|---|---|---|---|\n");
    struct Shape {
        std::size_t n, k;
    };
    for (const Shape s : {Shape{14336, 4096}, Shape{4096, 14336}}) {
        for (bool int8 : {false, true}) {
            const std::size_t bytes =
                (int8 ? s.n * s.k : s.n * s.k / 2) + (s.k / kGroupSize) * s.n * sizeof(uint16_t);
            const std::size_t copies = std::max<std::size_t>(2, (4 * llc + bytes - 1) / bytes + 1);
            const Activation act(s.k);
            std::vector<float> out(s.n);
            struct Row {
                const Variant* v;
                bool avx2;
            };
            std::vector<Row> rows = {{&kParallel, false}, {&kParallelTiled, false}, {&kSerial, false}};
            if (!int8 && avx512_vnni_available()) {
                rows.push_back({&kParallel, true});
                rows.push_back({&kParallelTiled, true});
            }
            for (const Row& row : rows) {
                const Variant* v = row.v;
                std::vector<Weights> ws;
                for (std::size_t c = 0; c < copies; ++c) ws.push_back(make_weights(int8, v->tiled, s.n, s.k, c + 1));
                const Product p = int8 ? v->int8 : v->int4;
                const double ref = v->parallel ? probe.read_gbps(1) : probe.read_gbps_single(1);
                set_avx512_allowed(!row.avx2);
                const double t = mean_call_seconds(
                    [&](std::size_t i) { call(p, ws[i % copies], act, out, s.n, s.k); }, copies,
                    v->parallel ? min_seconds : min_seconds * 1.5);
                set_avx512_allowed(true);
                const double gbps = static_cast<double>(bytes) / t / 1e9;
                fmt::print("| INT{} | {} x {} | {}{} | {} | {:.3f} | {:.1f} | {:.1f}{} | {:.2f} |\n", int8 ? 8 : 4, s.n,
                           s.k, v->name, row.avx2 ? " (avx2)" : "", copies, t * 1e3, gbps, ref,
                           v->parallel ? "" : " (1 thread)", gbps / ref);
            }
        }
    }

    fmt::print("\n## Cache-resident expert-sized INT4 products\n\n");
    fmt::print("| N x K | weight KiB | serial us | parallel us | speed-up | serial GB/s | parallel GB/s |\n");
    fmt::print("|---|---|---|---|---|---|---|\n");
    for (const Shape s : {Shape{2 * 768, 2048}, Shape{2048, 768}}) {
        const Weights w = make_weights(false, false, s.n, s.k, 99);
        const Activation act(s.k);
        std::vector<float> out(s.n);
        const std::size_t bytes = s.n * s.k / 2 + (s.k / kGroupSize) * s.n * 2;
        const std::size_t reps = quick ? 500 : 3000;
        const double ts = median_call_seconds([&] { call(kSerial.int4, w, act, out, s.n, s.k); }, reps);
        const double tp = median_call_seconds([&] { call(kParallel.int4, w, act, out, s.n, s.k); }, reps);
        fmt::print("| {} x {} | {} | {:.1f} | {:.1f} | {:.2f} | {:.1f} | {:.1f} |\n", s.n, s.k, bytes >> 10, ts * 1e6,
                   tp * 1e6, ts / tp, bytes / ts / 1e9, bytes / tp / 1e9);
    }

    fmt::print("\n## Pool dispatch (empty fork-join)\n\n");
    fmt::print("| chunks | median us |\n|---|---|\n");
    for (std::size_t chunks : {std::size_t{1}, std::size_t{2}, threads * 4}) {
        volatile std::size_t sink = 0;
        const double t = median_call_seconds(
            [&] { pool::parallel_for(chunks, [&](std::size_t b, std::size_t e) { sink = sink + (e - b); }); },
            quick ? 2000 : 20000);
        fmt::print("| {} | {:.2f} |\n", chunks, t * 1e6);
    }
    return 0;
}
