// Cache-build conversions of whole experts: BF16 -> quantized -> the CPU transposed layout and the Marlin
// layout, for one DeepSeek-V3-shaped expert (gate/up 2048 x 7168, down 7168 x 2048) and for a layer of experts
// spread over the pool's threads. Figures are GB/s of BF16 input, per thread.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "common/bandwidth.hpp"
#include "common/timing.hpp"
#include "core/bf16.hpp"
#include "core/thread_pool.hpp"
#include "weights/marlin.hpp"
#include "weights/unified.hpp"

using namespace orvane;
using namespace orvane::weights;
using bench::best_seconds;
using bench::random_bf16;

namespace {

constexpr uint64_t kHidden = 7168, kInter = 2048, kGroupSize = 128;



struct ExpertInput {
    std::vector<uint16_t> gate, up, down;
};

ExpertWeights quantize_expert(const ExpertInput& e, bool int8) {
    auto q = [&](const std::vector<uint16_t>& x, uint64_t rows, uint64_t cols) -> QuantWeight {
        if (int8) return marlin::quantize_int8(x, rows, cols, kGroupSize);
        return marlin::quantize_int4(x, rows, cols, kGroupSize);
    };
    return ExpertWeights{q(e.gate, kInter, kHidden), q(e.up, kInter, kHidden), q(e.down, kHidden, kInter)};
}

UnifiedExpertWeights to_cpu(const ExpertInput& e, bool int8) {
    const ExpertWeights q = quantize_expert(e, int8);
    return int8 ? UnifiedExpertWeights::from_expert_weights_int8(q) : UnifiedExpertWeights::from_expert_weights(q);
}

UnifiedExpertWeights to_marlin(const ExpertInput& e, bool int8) {
    return UnifiedExpertWeights::from_expert_weights_marlin(quantize_expert(e, int8), int8 ? 8 : 4);
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::string(argv[1]) == "--quick";
    const int runs = quick ? 2 : 3;
    const std::size_t threads = pool::num_threads();
    const bench::BandwidthProbe probe;
    const double read_single = probe.read_gbps_single();

    fmt::print("# Expert conversions at cache-build time (DeepSeek-V3 expert: H = {}, I = {}, group size {})\n\n",
               kHidden, kInter, kGroupSize);
    fmt::print("single-thread streaming read: {:.1f} GB/s; pool threads: {}\n\n", read_single, threads);

    const ExpertInput one{random_bf16(kInter * kHidden, 1), random_bf16(kInter * kHidden, 2),
                          random_bf16(kHidden * kInter, 3)};
    const double expert_gb = 3.0 * kInter * kHidden * 2.0 / 1e9;

    fmt::print("## One expert, one thread\n\n| conversion | ms | GB/s of BF16 input |\n|---|---:|---:|\n");
    for (bool int8 : {false, true}) {
        const char* w = int8 ? "INT8" : "INT4";
        const double q = best_seconds(runs, [&] { (void)quantize_expert(one, int8); });
        const double cpu = best_seconds(runs, [&] { (void)to_cpu(one, int8); });
        const double gpu = best_seconds(runs, [&] { (void)to_marlin(one, int8); });
        fmt::print("| quantize {} (gate, up, down) | {:.1f} | {:.2f} |\n", w, q * 1e3, expert_gb / q);
        fmt::print("| quantize {} + CPU layout | {:.1f} | {:.2f} |\n", w, cpu * 1e3, expert_gb / cpu);
        fmt::print("| quantize {} + Marlin layout | {:.1f} | {:.2f} |\n", w, gpu * 1e3, expert_gb / gpu);
    }

    // A layer of experts: the builders convert one task per expert on the pool.
    const std::size_t layer = quick ? 4 * threads : 8 * threads;
    std::vector<ExpertInput> experts;
    for (std::size_t i = 0; i < layer; ++i)
        experts.push_back({random_bf16(kInter * kHidden, 10 + 3 * static_cast<uint32_t>(i)),
                           random_bf16(kInter * kHidden, 11 + 3 * static_cast<uint32_t>(i)),
                           random_bf16(kHidden * kInter, 12 + 3 * static_cast<uint32_t>(i))});
    const double layer_gb = expert_gb * static_cast<double>(layer);
    fmt::print("\n## A layer of {} experts, INT4 quantize + CPU layout\n\n", layer);
    fmt::print("| schedule | s | GB/s of BF16 input | per thread | speed-up |\n|---|---:|---:|---:|---:|\n");
    std::vector<UnifiedExpertWeights> out(layer);
    const double serial = best_seconds(1, [&] {
        for (std::size_t i = 0; i < layer; ++i) out[i] = to_cpu(experts[i], false);
    });
    const double parallel = best_seconds(1, [&] {
        pool::parallel_for_each(layer, [&](std::size_t i) { out[i] = to_cpu(experts[i], false); });
    });
    fmt::print("| serial, 1 thread | {:.2f} | {:.2f} | {:.2f} | 1.00 |\n", serial, layer_gb / serial, layer_gb / serial);
    fmt::print("| pool, {} threads | {:.2f} | {:.2f} | {:.2f} | {:.2f} |\n", threads, parallel, layer_gb / parallel,
               layer_gb / parallel / static_cast<double>(threads), serial / parallel);
    return 0;
}
