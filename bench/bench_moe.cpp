// MoE layer benchmark: one token through moe_forward_unified with DRAM-resident INT4 experts (fresh random
// choice of experts per token over a set far larger than the last-level cache), for the sequential and the
// parallel schedules on plain and tiled weights. Reported as time per token-layer and as the ratio of the
// chosen experts' weight bytes per second to the read bandwidth measured in the same run.
//
// Shapes: a 128-expert top-8 model with H = 2048, I = 768 (enough layers of random experts to exceed 4x the
// last-level cache) and the DeepSeek-V3 expert shape H = 7168, I = 2048 (32 distinct experts, 8 chosen per
// token). Group size 128. `--quick` shortens every measurement.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "common/bandwidth.hpp"
#include "common/timing.hpp"
#include "core/bf16.hpp"
#include "core/thread_pool.hpp"
#include "kernel/avx2/transposed.hpp"
#include "moe/expert_forward.hpp"
#include "weights/store.hpp"
#include "weights/unified.hpp"

using namespace orvane;
using bench::Clock;

namespace {

using bench::seconds_since;

// Cheap deterministic random words (xorshift64*).
struct Rng {
    std::uint64_t s;
    std::uint64_t next() {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        return s * 0x2545F4914F6CDD1DULL;
    }
};

template <class V>
void fill_words(V& v, Rng& rng) {
    for (auto& w : v) w = static_cast<typename V::value_type>(rng.next());
}

template <class V>
void fill_scales(V& v, Rng& rng) {
    for (auto& s : v) s = f32_to_bf16(0.002f + 0.004f * static_cast<float>(rng.next() >> 40) / 16777216.0f);
}

// A random INT4 expert in the CPU (transposed) layout.
weights::UnifiedExpertWeights random_expert(std::size_t h, std::size_t i, std::size_t gs, Rng& rng) {
    weights::UnifiedExpertWeights e;
    e.hidden_size = h;
    e.intermediate_size = i;
    e.group_size = gs;
    e.w13_packed.resize((h / 8) * 2 * i);
    e.w13_scales.resize((h / gs) * 2 * i);
    e.w2_packed.resize((i / 8) * h);
    e.w2_scales.resize((i / gs) * h);
    fill_words(e.w13_packed, rng);
    fill_scales(e.w13_scales, rng);
    fill_words(e.w2_packed, rng);
    fill_scales(e.w2_scales, rng);
    return e;
}

struct Shape {
    const char* name;
    std::size_t hidden, inter, experts_per_layer, layers, top_k;
};

void run_shape(const Shape& shape, const bench::BandwidthProbe& probe, double min_seconds) {
    constexpr std::size_t gs = 128;
    weights::WeightStore store;
    store.config.hidden_size = shape.hidden;
    store.config.moe_intermediate_size = shape.inter;
    store.group_size = gs;
    Rng rng{0x9E3779B97F4A7C15ULL ^ shape.hidden};
    const auto t_build = Clock::now();
    for (std::size_t l = 0; l < shape.layers; ++l) {
        store.experts_cpu.emplace_back();
        for (std::size_t e = 0; e < shape.experts_per_layer; ++e)
            store.experts_cpu.back().push_back(random_expert(shape.hidden, shape.inter, gs, rng));
    }
    const std::uint64_t expert_bytes = weights::cpu_expert_byte_sizes(shape.hidden, shape.inter, gs, 4).total();
    const std::size_t total_experts = shape.layers * shape.experts_per_layer;
    fmt::print("\n## {}: H = {}, I = {}, top-{} of {} experts per layer, {} layer{} resident\n\n", shape.name,
               shape.hidden, shape.inter, shape.top_k, shape.experts_per_layer, shape.layers,
               shape.layers == 1 ? "" : "s");
    fmt::print("expert: {:.2f} MB, resident set: {:.0f} MB ({:.1f}x last-level cache), built in {:.1f}s; "
               "{:.1f} MB of chosen experts per token\n\n",
               static_cast<double>(expert_bytes) / 1e6, static_cast<double>(expert_bytes * total_experts) / 1e6,
               static_cast<double>(expert_bytes * total_experts) / static_cast<double>(bench::llc_bytes()),
               seconds_since(t_build), static_cast<double>(expert_bytes * shape.top_k) / 1e6);

    moe::ExpertScratch scratch = moe::ExpertScratch::create(shape.hidden, shape.inter, gs);
    std::vector<moe::ExpertScratch> pool;
    for (std::size_t i = 0; i < shape.top_k; ++i)
        pool.push_back(moe::ExpertScratch::create(shape.hidden, shape.inter, gs));
    std::vector<std::uint16_t> act(shape.hidden);
    for (auto& a : act) a = f32_to_bf16(static_cast<float>(static_cast<std::int64_t>(rng.next() % 2001) - 1000) / 500.0f);
    std::vector<float> out(shape.hidden);
    std::vector<std::size_t> ids(shape.top_k);
    std::vector<float> weights(shape.top_k, 1.0f / static_cast<float>(shape.top_k));
    std::vector<std::size_t> all(shape.experts_per_layer);
    std::mt19937_64 pick(1234);

    fmt::print("| schedule | layout | ms / token-layer | chosen-expert GB/s | read GB/s | ratio |\n");
    fmt::print("|---|---|---|---|---|---|\n");
    for (const bool tiled : {false, true}) {
        if (tiled) {
            const auto t0 = Clock::now();
            const std::size_t n = moe::repack_experts_to_tiled(store);
            fmt::print("| (tiled repack of {} experts: {:.1f}s) | | | | | |\n", n, seconds_since(t0));
        }
        for (const bool parallel : {false, true}) {
            const auto token = [&] {
                const std::size_t layer = pick() % shape.layers;
                std::iota(all.begin(), all.end(), std::size_t{0});
                for (std::size_t i = 0; i < shape.top_k; ++i) {
                    std::swap(all[i], all[i + pick() % (all.size() - i)]);
                    ids[i] = all[i];
                }
                moe::moe_forward_unified({.store = &store,
                                          .layer = layer,
                                          .activation = act,
                                          .expert_ids = ids,
                                          .weights = weights,
                                          .output = out,
                                          .scratch = &scratch,
                                          .scratch_pool = pool,
                                          .shared_scratch = nullptr,
                                          .parallel = parallel,
                                          .numa_map = nullptr});
            };
            const double ref = probe.read_gbps(2);
            for (int i = 0; i < 2; ++i) token();
            std::size_t calls = 0;
            const auto t0 = Clock::now();
            do {
                token();
                ++calls;
            } while (seconds_since(t0) < min_seconds || calls < 4);
            const double t = seconds_since(t0) / static_cast<double>(calls);
            const double gbps = static_cast<double>(expert_bytes * shape.top_k) / t / 1e9;
            fmt::print("| {} | {} | {:.2f} | {:.1f} | {:.1f} | {:.2f} |\n", parallel ? "parallel" : "sequential",
                       tiled ? "tiled" : "plain", t * 1e3, gbps, ref, gbps / ref);
            std::fflush(stdout);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::string(argv[1]) == "--quick";
    const double min_seconds = quick ? 0.3 : 1.5;
    const std::size_t threads = pool::num_threads();
    const std::size_t llc = bench::llc_bytes();
    const bench::BandwidthProbe probe;
    const double read_all = probe.read_gbps(5);
    const double read_one = probe.read_gbps_single(3);

    fmt::print("# MoE layer (moe_forward_unified), INT4 experts, group size 128\n\n");
    fmt::print("threads: {}, last-level cache: {} MiB, INT4 sums: {}\n\n", threads, llc >> 20,
               kernel::avx2::avx512_in_use() ? "AVX-512 VNNI form" : "AVX2 form");
    fmt::print("read bandwidth: {:.1f} GB/s ({} threads), {:.1f} GB/s (1 thread)\n\n", read_all, threads, read_one);
    fmt::print("Each token takes a random layer and {} distinct random experts of it; the ratio is the chosen "
               "experts' weight bytes per second over a read-bandwidth probe taken right before the row.\n",
               8);

    // 128-expert top-8 model: as many layers as needed for more than 4x the last-level cache.
    const std::uint64_t small_expert = weights::cpu_expert_byte_sizes(2048, 768, 128, 4).total();
    const std::size_t layers = std::max<std::size_t>(1, (4 * llc) / (128 * small_expert) + 1);
    run_shape({"128 experts, top-8", 2048, 768, 128, layers, 8}, probe, min_seconds);
    // DeepSeek-V3 expert shape: 32 distinct experts stand in for the 256 of a layer.
    run_shape({"DeepSeek-V3 expert shape", 7168, 2048, 32, 1, 8}, probe, min_seconds);
    return 0;
}
