// Decode weight registry benchmark: matrix-vector products through CpuDecodeStore (activation quantization
// included) on DRAM-resident weights, as a ratio to the read bandwidth measured in the same run; cache-resident
// expert-sized products serial vs parallel; the pool's fork-join overhead.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "common/bandwidth.hpp"
#include "common/timing.hpp"
#include "core/thread_pool.hpp"
#include "decode/registry.hpp"
#include "kernel/avx2/transposed.hpp"

using namespace orvane;

namespace {

using bench::mean_call_seconds;

std::vector<float> random_matrix(std::size_t count, unsigned seed) {
    std::vector<float> v(count);
    std::mt19937 rng(seed);
    std::normal_distribution<float> dist(0.0f, 1.0f);
    for (float& x : v) x = dist(rng);
    return v;
}

// Converts a registered weight to the tiled form in place (what the decode store's tiling pass does).
void tile(decode::TransposedWeight& w) {
    namespace k = kernel::avx2;
    const std::vector<uint32_t> packed = w.num_bits == 4 ? k::repack_tiled_int4_packed(w.packed, w.cols, w.rows)
                                                         : k::repack_tiled_int8_packed(w.packed, w.cols, w.rows);
    const std::vector<uint16_t> scales = k::repack_tiled_scales(w.scales, w.cols / w.group_size, w.rows);
    w.packed.assign(packed.begin(), packed.end());
    w.scales.assign(scales.begin(), scales.end());
    w.tiled = true;
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::string(argv[1]) == "--quick";
    const double min_seconds = quick ? 0.2 : 0.6;
    const std::size_t threads = pool::num_threads();
    const std::size_t llc = bench::llc_bytes();
    const bench::BandwidthProbe probe;
    const double read_all = probe.read_gbps(5);
    const double read_one = probe.read_gbps_single(3);

    fmt::print("# CpuDecodeStore matmul\n\n");
    fmt::print("threads: {}, last-level cache: {} MiB, group size 128, INT4 sums: {}\n\n", threads, llc >> 20,
               kernel::avx2::avx512_in_use() ? "AVX-512 VNNI form" : "AVX2 form");
    fmt::print("read bandwidth: {:.1f} GB/s ({} threads), {:.1f} GB/s (1 thread)\n\n", read_all, threads, read_one);

    fmt::print("## DRAM-resident products through the store (weights cycled over > 4x LLC)\n\n");
    fmt::print("Each row's ratio is to a read-bandwidth probe taken right before it (all threads).\n\n");
    fmt::print("| width | N x K | layout | copies | ms / matmul | weight GB/s | read GB/s | ratio |\n");
    fmt::print("|---|---|---|---|---|---|---|---|\n");
    struct Shape {
        std::size_t n, k;
    };
    for (const Shape s : {Shape{14336, 4096}, Shape{4096, 14336}}) {
        const std::vector<float> w = random_matrix(s.n * s.k, 7);
        const std::vector<float> x = random_matrix(s.k, 11);
        std::vector<float> y(s.n);
        for (uint8_t bits : {uint8_t{4}, uint8_t{8}}) {
            decode::CpuDecodeStore store(128, true, false);
            const std::size_t first = *store.store_weight_f32(w.data(), s.n, s.k, bits);
            const std::size_t bytes = store.weight_bytes(first);
            const std::size_t copies = std::max<std::size_t>(2, (4 * llc + bytes - 1) / bytes + 1);
            for (std::size_t c = 1; c < copies; ++c) (void)*store.store_weight_f32(w.data(), s.n, s.k, bits);
            for (bool tiled : {false, true}) {
                if (tiled)
                    for (auto& weight : store.weights) tile(weight);
                const double ref = probe.read_gbps(2);
                const double t = mean_call_seconds(
                    [&](std::size_t i) { (void)store.matmul(i % copies, x.data(), y.data()); }, copies, min_seconds);
                const double gbps = static_cast<double>(bytes) / t / 1e9;
                fmt::print("| INT{} | {} x {} | {} | {} | {:.3f} | {:.1f} | {:.1f} | {:.2f} |\n", bits, s.n, s.k,
                           tiled ? "tiled" : "plain", copies, t * 1e3, gbps, ref, gbps / ref);
                std::fflush(stdout);
            }
        }
    }

    fmt::print("\n## Cache-resident expert-sized INT4 products through the store\n\n");
    fmt::print("| N x K | weight KiB | serial us | parallel us | parallel / serial time |\n|---|---|---|---|---|\n");
    for (const Shape s : {Shape{2 * 768, 2048}, Shape{2048, 768}}) {
        const std::vector<float> w = random_matrix(s.n * s.k, 3);
        const std::vector<float> x = random_matrix(s.k, 5);
        std::vector<float> y(s.n);
        double t[2] = {};
        std::size_t bytes = 0;
        for (bool parallel : {false, true}) {
            decode::CpuDecodeStore store(128, parallel, false);
            const std::size_t id = *store.store_weight_f32(w.data(), s.n, s.k, 4);
            bytes = store.weight_bytes(id);
            t[parallel] = mean_call_seconds([&](std::size_t) { (void)store.matmul(id, x.data(), y.data()); }, 64,
                                       min_seconds / 2);
        }
        fmt::print("| {} x {} | {} | {:.1f} | {:.1f} | {:.2f} |\n", s.n, s.k, bytes / 1024, t[0] * 1e6, t[1] * 1e6,
                   t[1] / t[0]);
    }

    fmt::print("\n## Pool fork-join overhead (empty bodies)\n\n| fork-join | us |\n|---|---|\n");
    for (std::size_t chunks : {std::size_t{1}, std::size_t{2}, threads * 4}) {
        const double t = mean_call_seconds(
            [&](std::size_t) { pool::parallel_for(chunks, [](std::size_t, std::size_t) {}); }, 1000,
            min_seconds / 4);
        fmt::print("| {} chunk{} ({} columns) | {:.2f} |\n", chunks, chunks == 1 ? "" : "s", chunks * 256, t * 1e6);
    }
    return 0;
}
