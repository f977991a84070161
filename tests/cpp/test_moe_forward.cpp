// The MoE layer routine and the expert routines: results against float64 references computed from the
// dequantized weights (INT4, INT8, mixed widths, SiLU-gated and clamped SwiGLU with biases, sizes that take the
// scalar SiLU path), bit-identical schedules (sequential, parallel, NUMA-grouped, tiled and untiled), the
// combination with the routing weights and the shared expert, the clamped SwiGLU arithmetic against numpy
// float32, the tiled repack of the CPU experts, and every precondition as an InternalError.
//
// Checkpoints and references come from tests/fixtures/make_moe.py, found under $ORVANE_TEST_FIXTURES/moe.
// The experts are loaded and quantized by the ordinary loaders and converted to the CPU layout.

#include <gtest/gtest.h>

#include <sched.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/errors.hpp"
#include "core/logging.hpp"
#include "kernel/avx2/activation.hpp"
#include "kernel/avx2/transposed.hpp"
#include "moe/expert_forward.hpp"
#include "numa/topology.hpp"
#include "support.hpp"
#include "weights/experts.hpp"
#include "weights/safetensors_io.hpp"
#include "weights/store.hpp"
#include "weights/unified.hpp"

namespace {

namespace fs = std::filesystem;
namespace st = orvane::weights::safetensors_io;
using namespace orvane;
using namespace orvane::weights;
using moe::ExpertScratch;
using moe::MoeLayerCall;
using nlohmann::json;

// ---------------------------------------------------------------------------------------------------------
// Fixtures.

fs::path fixtures() { return orvane::test_support::fixture_dir("moe"); }

const json& expected() {
    static const json doc = [] {
        std::ifstream in(fixtures() / "expected.json");
        return in ? json::parse(in) : json::object();
    }();
    return doc;
}

template <class T>
std::vector<T> values(const json& array) {
    std::vector<T> out;
    for (const json& v : array) out.push_back(v.get<T>());
    return out;
}

// The row-major experts of a checkpoint, loaded and quantized once per width.
struct Checkpoint {
    std::vector<std::vector<ExpertWeights>> experts;  // [layer][expert]
    std::vector<ExpertWeights> shared;                // one per layer, or none
};

const Checkpoint& checkpoint(const std::string& name, std::uint8_t bits) {
    static std::map<std::pair<std::string, int>, Checkpoint> cache;
    const auto key = std::make_pair(name, int{bits});
    if (auto it = cache.find(key); it != cache.end()) return it->second;
    const json& e = expected()[name];
    const fs::path dir = fixtures() / name;
    auto index = st::read_safetensors_index(dir);
    if (!index) throw std::runtime_error(index.error());
    ShardMap shards;
    for (const auto& [tensor, shard] : index->weight_map) {
        if (shards.contains(shard)) continue;
        auto file = st::MmapSafetensors::open(dir / shard);
        if (!file) throw std::runtime_error(file.error().message());
        shards.emplace(shard, std::move(*file));
    }
    const auto gs = e["group_size"].get<std::uint64_t>();
    auto load = [&](const std::string& prefix) {
        auto ew = load_and_quantize_expert(prefix, index->weight_map, shards, gs, bits);
        if (!ew) throw std::runtime_error(ew.error());
        return std::move(*ew);
    };
    Checkpoint c;
    for (std::uint64_t layer = 0; layer < e["layers"].get<std::uint64_t>(); ++layer) {
        c.experts.emplace_back();
        for (std::uint64_t x = 0; x < e["experts"].get<std::uint64_t>(); ++x)
            c.experts.back().push_back(load(routed_expert_prefix("model", layer, x)));
        if (e["shared_inter"].get<std::uint64_t>() != 0) c.shared.push_back(load(shared_expert_prefix("model", layer)));
    }
    return cache.emplace(key, std::move(c)).first->second;
}

// CPU-layout expert of the given widths (w13, w2).
UnifiedExpertWeights unified(const ExpertWeights& int4, const ExpertWeights& int8, std::uint8_t w13_bits,
                             std::uint8_t w2_bits) {
    UnifiedExpertWeights a =
        w13_bits == 4 ? UnifiedExpertWeights::from_expert_weights(int4) : UnifiedExpertWeights::from_expert_weights_int8(int8);
    if (w2_bits != w13_bits) {
        UnifiedExpertWeights b = w2_bits == 4 ? UnifiedExpertWeights::from_expert_weights(int4)
                                              : UnifiedExpertWeights::from_expert_weights_int8(int8);
        a.w2_packed = std::move(b.w2_packed);
        a.w2_scales = std::move(b.w2_scales);
        a.w2_bits = w2_bits;
    }
    return a;
}

struct Width {
    const char* name;
    std::uint8_t w13_bits;
    std::uint8_t w2_bits;
};
constexpr Width kWidths[] = {{"int4", 4, 4}, {"int8", 8, 8}, {"mixed", 4, 8}};

// A store for one checkpoint and width: experts_cpu / shared_experts_cpu, and (uniform widths) the
// per-projection records. Biases from the fixture are attached to the CPU experts.
WeightStore make_store(const std::string& name, const Width& width) {
    const json& e = expected()[name];
    WeightStore store;
    store.config.hidden_size = e["hidden"].get<std::uint64_t>();
    store.config.moe_intermediate_size = e["inter"].get<std::uint64_t>();
    store.config.n_routed_experts = e["experts"].get<std::uint64_t>();
    store.config.n_shared_experts = e["shared_inter"].get<std::uint64_t>() / store.config.moe_intermediate_size;
    store.config.routed_scaling_factor = e["routed_scaling_factor"].get<float>();
    store.config.swiglu_limit = e["swiglu_limit"].get<float>();
    store.config.swiglu_alpha = e["swiglu_alpha"].get<float>();
    store.group_size = e["group_size"].get<std::uint64_t>();
    const bool has_int4 = name != "odd";
    const Checkpoint& c8 = checkpoint(name, 8);
    const Checkpoint& c4 = has_int4 ? checkpoint(name, 4) : c8;
    for (std::size_t layer = 0; layer < c8.experts.size(); ++layer) {
        store.experts_cpu.emplace_back();
        for (std::size_t x = 0; x < c8.experts[layer].size(); ++x) {
            UnifiedExpertWeights u =
                unified(c4.experts[layer][x], c8.experts[layer][x], width.w13_bits, width.w2_bits);
            if (e.contains("biases")) {
                const json& b = e["biases"][layer][x];
                u.gate_bias = values<float>(b["gate"]);
                u.up_bias = values<float>(b["up"]);
                u.down_bias = values<float>(b["down"]);
            }
            store.experts_cpu.back().push_back(std::move(u));
        }
        if (layer < c8.shared.size())
            store.shared_experts_cpu.push_back(
                unified(c4.shared[layer], c8.shared[layer], width.w13_bits, width.w2_bits));
    }
    if (width.w13_bits == width.w2_bits) {
        const Checkpoint& c = width.w13_bits == 4 ? c4 : c8;
        store.experts = c.experts;
        store.shared_experts = c.shared;
    }
    return store;
}

struct Token {
    std::size_t layer;
    std::vector<std::uint16_t> activation;
    std::vector<std::size_t> ids;
    std::vector<float> weights;
    const json* ref;
};

std::vector<Token> tokens(const std::string& name) {
    std::vector<Token> out;
    for (const json& t : expected()[name]["tokens"])
        out.push_back({t["layer"].get<std::size_t>(), values<std::uint16_t>(t["activation"]),
                       values<std::size_t>(t["ids"]), values<float>(t["weights"]), &t});
    return out;
}

// The engine's working set for one store: main scratch, one scratch per slot, shared scratch, output.
struct Engine {
    ExpertScratch scratch;
    std::vector<ExpertScratch> pool;
    std::optional<ExpertScratch> shared;
    std::vector<float> output;

    explicit Engine(const WeightStore& s, std::size_t slots = 8) {
        const std::size_t h = s.config.hidden_size, i = s.config.moe_intermediate_size, gs = s.group_size;
        scratch = ExpertScratch::create(h, i, gs);
        for (std::size_t k = 0; k < slots; ++k) pool.push_back(ExpertScratch::create(h, i, gs));
        if (s.config.n_shared_experts != 0) shared = ExpertScratch::create(h, i * s.config.n_shared_experts, gs);
        output.assign(h, -1.0f);
    }

    enum class Family { Unified, PerProjection };

    std::vector<float> run(const WeightStore& s, const Token& t, bool parallel, bool with_shared = true,
                           const numa::NumaExpertMap* map = nullptr, Family family = Family::Unified) {
        const MoeLayerCall call{.store = &s,
                                .layer = t.layer,
                                .activation = t.activation,
                                .expert_ids = t.ids,
                                .weights = t.weights,
                                .output = output,
                                .scratch = &scratch,
                                .scratch_pool = pool,
                                .shared_scratch = with_shared && shared ? &*shared : nullptr,
                                .parallel = parallel,
                                .numa_map = map};
        if (family == Family::Unified) {
            moe::moe_forward_unified(call);
        } else {
            moe::moe_forward(call);
        }
        return output;
    }
};

// The reference of a token: Σ w·expert (float64), times routed_scaling_factor plus the shared expert when
// the shared expert is computed.
std::vector<double> reference(const std::string& name, const Token& t, const char* width, bool with_shared) {
    std::vector<double> ref = values<double>((*t.ref)["routed"][width]);
    if (with_shared && (*t.ref)["shared"].contains(width)) {
        const double factor = expected()[name]["routed_scaling_factor"].get<double>();
        const std::vector<double> shared = values<double>((*t.ref)["shared"][width]);
        for (std::size_t j = 0; j < ref.size(); ++j) ref[j] = ref[j] * factor + shared[j];
    }
    return ref;
}

// The computed output differs from the float64 reference by the INT16 quantization of the activation and of
// the intermediate (half a step of 1/32767 of each group's largest value per element), the single-precision
// accumulation and the polynomial exponential (relative error near 1e-7). On these fixtures the worst error
// is below 1e-4 of the largest reference value; 5e-4 of it leaves a margin while any wrong expert, weight,
// bias, clamp or scaling moves outputs by whole percents.
void expect_close(const std::vector<float>& got, const std::vector<double>& ref, const std::string& what) {
    ASSERT_EQ(got.size(), ref.size()) << what;
    double scale = 0.0;
    for (double r : ref) scale = std::max(scale, std::abs(r));
    const double tol = 5e-4 * scale;
    double worst = 0.0;
    std::size_t at = 0;
    for (std::size_t j = 0; j < got.size(); ++j) {
        const double err = std::abs(static_cast<double>(got[j]) - ref[j]);
        if (!(err <= worst)) {
            worst = err;
            at = j;
        }
    }
    EXPECT_LE(worst, tol) << what << ": worst error at " << at << " (got " << got[at] << ", reference " << ref[at]
                          << ", scale " << scale << ")";
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

std::string describe(const std::string& name, const char* width, std::size_t token) {
    return name + "/" + width + "/token " + std::to_string(token);
}

// ---------------------------------------------------------------------------------------------------------
// Results against the float64 references.

TEST(MoeForward, UnifiedMatchesFloat64ReferenceForEveryWidth) {
    for (const Width& w : kWidths) {
        const WeightStore store = make_store("model", w);
        Engine engine(store);
        const auto toks = tokens("model");
        for (std::size_t t = 0; t < toks.size(); ++t) {
            for (const bool with_shared : {false, true}) {
                for (const bool parallel : {false, true}) {
                    const std::string what = describe("model", w.name, t) + (with_shared ? " +shared" : "") +
                                             (parallel ? " parallel" : " sequential");
                    expect_close(engine.run(store, toks[t], parallel, with_shared),
                                 reference("model", toks[t], w.name, with_shared), what);
                }
            }
        }
    }
}

TEST(MoeForward, PerProjectionMatchesFloat64Reference) {
    for (const Width& w : {kWidths[0], kWidths[1]}) {
        const WeightStore store = make_store("model", w);
        Engine engine(store);
        const auto toks = tokens("model");
        for (std::size_t t = 0; t < toks.size(); ++t) {
            for (const bool parallel : {false, true}) {
                const auto a = engine.run(store, toks[t], parallel, true, nullptr, Engine::Family::PerProjection);
                expect_close(a, reference("model", toks[t], w.name, true), describe("model", w.name, t));
                const auto b = engine.run(store, toks[t], parallel, false, nullptr, Engine::Family::PerProjection);
                expect_close(b, reference("model", toks[t], w.name, false), describe("model", w.name, t));
            }
        }
    }
}

TEST(MoeForward, ClampedSwigluWithBiasesMatchesReference) {
    for (const Width& w : {kWidths[0], kWidths[1]}) {
        WeightStore store = make_store("swiglu", w);
        ASSERT_EQ(store.config.swiglu_limit, 7.0f);
        Engine engine(store);
        const auto toks = tokens("swiglu");
        for (std::size_t t = 0; t < toks.size(); ++t) {
            const auto ref = reference("swiglu", toks[t], w.name, false);
            for (const bool parallel : {false, true})
                expect_close(engine.run(store, toks[t], parallel), ref, describe("swiglu", w.name, t));
        }
        // The fixture's values cross the clamps (it checks so): without the limit the result must move.
        store.config.swiglu_limit = 0.0f;
        const auto unclamped = engine.run(store, toks[0], false);
        const auto ref = reference("swiglu", toks[0], w.name, false);
        double worst = 0.0;
        for (std::size_t j = 0; j < ref.size(); ++j) worst = std::max(worst, std::abs(unclamped[j] - ref[j]));
        EXPECT_GT(worst, 0.1) << "the clamped SwiGLU made no difference";
    }
}

TEST(MoeForward, OddSizesTakeTheScalarActivationPath) {
    // I = 36 and group size 12 are not multiples of 8: the scalar SiLU pass, then the f32 quantizer.
    const WeightStore store = make_store("odd", kWidths[1]);
    Engine engine(store);
    const auto toks = tokens("odd");
    for (std::size_t t = 0; t < toks.size(); ++t) {
        const auto seq = engine.run(store, toks[t], false);
        expect_close(seq, reference("odd", toks[t], "int8", false), describe("odd", "int8", t));
        EXPECT_TRUE(same_bits(seq, engine.run(store, toks[t], true))) << t;
    }
}

// ---------------------------------------------------------------------------------------------------------
// Schedules and layouts give the same bits for the same slot order.

TEST(MoeForward, SchedulesAndLayoutsGiveIdenticalBits) {
    for (const Width& w : kWidths) {
        const WeightStore plain = make_store("model", w);
        WeightStore tiled = make_store("model", w);
        ASSERT_EQ(moe::repack_experts_to_tiled(tiled), 16u);
        Engine engine(plain);
        Engine no_pool(plain, 0);  // too few scratches: the sequential schedule even when parallel is asked
        const numa::NumaExpertMap two_nodes = numa::NumaExpertMap::round_robin(2, 8, 2);
        numa::NumaExpertMap skewed = two_nodes;  // node 1 first in slot order for some tokens
        for (auto& layer : skewed.node_of_expert)
            for (std::size_t e = 0; e < layer.size(); ++e) layer[e] = e < 3 ? 1 : 0;
        const auto toks = tokens("model");
        for (std::size_t t = 0; t < toks.size(); ++t) {
            const std::string what = describe("model", w.name, t);
            const auto base = engine.run(plain, toks[t], false);
            EXPECT_TRUE(same_bits(base, engine.run(plain, toks[t], true))) << what << " parallel";
            EXPECT_TRUE(same_bits(base, no_pool.run(plain, toks[t], true))) << what << " small pool";
            EXPECT_TRUE(same_bits(base, engine.run(plain, toks[t], true, true, &two_nodes))) << what << " numa";
            EXPECT_TRUE(same_bits(base, engine.run(plain, toks[t], true, true, &skewed))) << what << " numa skewed";
            EXPECT_TRUE(same_bits(base, engine.run(tiled, toks[t], false))) << what << " tiled sequential";
            EXPECT_TRUE(same_bits(base, engine.run(tiled, toks[t], true))) << what << " tiled parallel";
            EXPECT_TRUE(same_bits(base, engine.run(tiled, toks[t], true, true, &two_nodes))) << what << " tiled numa";
            if (w.w13_bits == w.w2_bits) {
                const auto pp = engine.run(plain, toks[t], false, true, nullptr, Engine::Family::PerProjection);
                EXPECT_TRUE(same_bits(pp, engine.run(plain, toks[t], true, true, nullptr,
                                                     Engine::Family::PerProjection)))
                    << what << " per-projection";
                EXPECT_TRUE(same_bits(pp, engine.run(plain, toks[t], true, true, &two_nodes,
                                                     Engine::Family::PerProjection)))
                    << what << " per-projection numa";
            }
        }
    }
}

TEST(MoeForward, NumaScheduleRestoresTheCallingThreadsCpuSet) {
    // Node 1 does not exist on a one-node machine: moving there fails and the task runs where it is. Either
    // way the calling thread (which takes part in the work) keeps the CPUs it had.
    const WeightStore store = make_store("model", kWidths[0]);
    Engine engine(store);
    const numa::NumaExpertMap map = numa::NumaExpertMap::round_robin(2, 8, 2);
    cpu_set_t before, after;
    ASSERT_EQ(sched_getaffinity(0, sizeof(before), &before), 0);
    for (const Token& t : tokens("model")) (void)engine.run(store, t, true, true, &map);
    ASSERT_EQ(sched_getaffinity(0, sizeof(after), &after), 0);
    EXPECT_TRUE(CPU_EQUAL(&before, &after));
}

TEST(MoeForward, NumaMapWithoutTheLayerFallsBackToTheParallelSchedule) {
    const WeightStore store = make_store("model", kWidths[0]);
    Engine engine(store);
    const numa::NumaExpertMap one_layer = numa::NumaExpertMap::round_robin(1, 8, 2);  // layer 1 not mapped
    for (const Token& t : tokens("model")) {
        if (t.layer != 1 || t.ids.size() < 2) continue;
        const auto ref = engine.run(store, t, false);
        // Poison the pool's outputs: a schedule that ran no task would accumulate them.
        for (auto& s : engine.pool) std::fill(s.output.begin(), s.output.end(), 1e6f);
        EXPECT_TRUE(same_bits(ref, engine.run(store, t, true, true, &one_layer)));
    }
}

// ---------------------------------------------------------------------------------------------------------
// Combination with routing weights and the shared expert.

TEST(MoeForward, OneExpertWithWeightOneReturnsItsOutputExactly) {
    for (const Width& w : kWidths) {
        const WeightStore store = make_store("model", w);
        Engine engine(store);
        const Token t = tokens("model")[0];
        ASSERT_EQ(t.ids.size(), 1u);
        ASSERT_EQ(t.weights[0], 1.0f);
        ExpertScratch direct = ExpertScratch::create(256, 128, 64);
        kernel::avx2::quantize_activation_int16(t.activation, 64, direct.act_int16, direct.act_scales);
        moe::expert_forward_unified(store.experts_cpu[t.layer][t.ids[0]], direct.act_int16, direct.act_scales,
                                    direct, 0.0f, 0.0f, false);
        for (const bool parallel : {false, true})
            EXPECT_TRUE(same_bits(engine.run(store, t, parallel, false), direct.output)) << w.name;
    }
}

TEST(MoeForward, SharedExpertAddsToTheScaledRoutedSum) {
    const WeightStore store = make_store("model", kWidths[0]);
    ASSERT_EQ(store.config.routed_scaling_factor, 2.5f);
    Engine engine(store);
    for (const Token& t : tokens("model")) {
        for (const bool parallel : {false, true}) {
            const auto routed = engine.run(store, t, parallel, false);
            const auto combined = engine.run(store, t, parallel, true);
            ExpertScratch s = ExpertScratch::create(256, 256, 64);
            kernel::avx2::quantize_activation_int16(t.activation, 64, s.act_int16, s.act_scales);
            moe::expert_forward_unified(store.shared_experts_cpu[t.layer], s.act_int16, s.act_scales, s, 0.0f, 0.0f,
                                        parallel);
            std::vector<float> want(routed.size());
            for (std::size_t j = 0; j < want.size(); ++j) want[j] = routed[j] * 2.5f + s.output[j];
            EXPECT_TRUE(same_bits(combined, want));
        }
    }
    // A layer without a shared expert leaves the routed sum unscaled even when a shared scratch is given.
    WeightStore no_shared = make_store("model", kWidths[0]);
    no_shared.shared_experts_cpu.resize(1);  // layer 1 loses its shared expert
    const Token t = tokens("model")[2];
    ASSERT_EQ(t.layer, 1u);
    EXPECT_TRUE(same_bits(engine.run(no_shared, t, true, true), engine.run(store, t, true, false)));
}

// ---------------------------------------------------------------------------------------------------------
// The clamped SwiGLU arithmetic.

TEST(ExpertForward, ClampedSwigluMatchesFloat32Arithmetic) {
    const json& table = expected()["swiglu_table"];
    const auto g = values<std::uint32_t>(table["gate"]);
    const auto u = values<std::uint32_t>(table["up"]);
    const auto h = values<std::uint32_t>(table["h"]);
    const float limit = table["limit"].get<float>(), alpha = table["alpha"].get<float>();
    ASSERT_EQ(g.size(), h.size());
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < g.size(); ++i) {
        const float got = moe::clamped_swiglu(std::bit_cast<float>(g[i]), std::bit_cast<float>(u[i]), limit, alpha);
        if (std::bit_cast<std::uint32_t>(got) != h[i]) {
            if (++mismatches <= 5)
                ADD_FAILURE() << "g=" << std::bit_cast<float>(g[i]) << " u=" << std::bit_cast<float>(u[i])
                              << ": got " << got << ", numpy " << std::bit_cast<float>(h[i]);
        }
    }
    EXPECT_EQ(mismatches, 0u);
}

// ---------------------------------------------------------------------------------------------------------
// Scratch.

TEST(ExpertScratch, CreateSizesEveryBuffer) {
    struct Case {
        std::size_t hidden, inter, gs, act_groups, mid_groups;
    };
    for (const Case c : {Case{256, 128, 64, 4, 2}, Case{48, 36, 12, 4, 3}, Case{32, 16, 64, 0, 0},
                         Case{100, 30, 7, 14, 4}}) {
        const ExpertScratch s = ExpertScratch::create(c.hidden, c.inter, c.gs);
        EXPECT_EQ(s.gate.size(), c.inter);
        EXPECT_EQ(s.up.size(), c.inter);
        EXPECT_EQ(s.output.size(), c.hidden);
        EXPECT_EQ(s.act_int16.size(), c.hidden);
        EXPECT_EQ(s.act_scales.size(), c.act_groups);
        EXPECT_EQ(s.mid_int16.size(), c.inter);
        EXPECT_EQ(s.mid_scales.size(), c.mid_groups);
        EXPECT_EQ(s.gate_up.size(), 2 * c.inter);
        EXPECT_EQ(s.group_size, c.gs);
        EXPECT_TRUE(std::all_of(s.gate_up.begin(), s.gate_up.end(), [](float v) { return v == 0.0f; }));
    }
    EXPECT_THROW(ExpertScratch::create(256, 128, 0), InternalError);
}

// ---------------------------------------------------------------------------------------------------------
// Preconditions.

TEST(MoeForward, InvalidCallsAreInternalErrors) {
    const WeightStore store = make_store("model", kWidths[0]);
    const Token good = tokens("model")[1];  // layer 0, eight slots
    struct Case {
        const char* what;
        void (*mutate)(Token&, MoeLayerCall&, Engine&);
    };
    const Case cases[] = {
        {"expert id = expert count", [](Token& t, MoeLayerCall&, Engine&) { t.ids[5] = 8; }},
        {"huge expert id", [](Token& t, MoeLayerCall&, Engine&) { t.ids[0] = static_cast<std::size_t>(-1); }},
        {"layer id = layer count", [](Token&, MoeLayerCall& c, Engine&) { c.layer = 2; }},
        {"more weights than ids", [](Token& t, MoeLayerCall&, Engine&) { t.weights.push_back(0.5f); }},
        {"short activation", [](Token& t, MoeLayerCall&, Engine&) { t.activation.pop_back(); }},
        {"short output", [](Token&, MoeLayerCall&, Engine& e) { e.output.resize(255); }},
        {"no store", [](Token&, MoeLayerCall& c, Engine&) { c.store = nullptr; }},
        {"no scratch", [](Token&, MoeLayerCall& c, Engine&) { c.scratch = nullptr; }},
        {"pool scratch of another size",
         [](Token&, MoeLayerCall&, Engine& e) { e.pool[3] = ExpertScratch::create(256, 64, 64); }},
        {"main scratch of another group size",
         [](Token&, MoeLayerCall&, Engine& e) { e.scratch = ExpertScratch::create(256, 128, 32); }},
        {"shared scratch of the routed size",
         [](Token&, MoeLayerCall&, Engine& e) { e.shared = ExpertScratch::create(256, 128, 64); }},
    };
    for (const Case& c : cases) {
        for (const bool parallel : {false, true}) {
            // The sequential schedule never touches the pool's scratches.
            if (!parallel && std::string(c.what) == "pool scratch of another size") continue;
            for (const bool per_projection : {false, true}) {
                Token t = good;
                Engine engine(store);
                MoeLayerCall call{.store = &store, .layer = t.layer, .parallel = parallel};
                c.mutate(t, call, engine);
                call.activation = t.activation;
                call.expert_ids = t.ids;
                call.weights = t.weights;
                call.output = engine.output;
                if (call.scratch == nullptr && std::string(c.what) != "no scratch") call.scratch = &engine.scratch;
                call.scratch_pool = engine.pool;
                call.shared_scratch = engine.shared ? &*engine.shared : nullptr;
                if (per_projection) {
                    EXPECT_THROW(moe::moe_forward(call), InternalError) << c.what;
                } else {
                    EXPECT_THROW(moe::moe_forward_unified(call), InternalError) << c.what;
                }
            }
        }
    }
}

TEST(MoeForward, BrokenExpertRecordsAreInternalErrors) {
    const Token t = tokens("model")[1];
    struct Case {
        const char* what;
        void (*mutate)(WeightStore&);
    };
    const Case cases[] = {
        {"width 5", [](WeightStore& s) { s.experts_cpu[0][2].w2_bits = 5; }},
        {"short w13", [](WeightStore& s) { s.experts_cpu[0][0].w13_packed.pop_back(); }},
        {"short w2 scales", [](WeightStore& s) { s.experts_cpu[0][7].w2_scales.pop_back(); }},
        {"short gate bias", [](WeightStore& s) { s.experts_cpu[0][1].gate_bias = std::vector<float>(127, 0.0f); }},
        {"long down bias", [](WeightStore& s) { s.experts_cpu[0][1].down_bias = std::vector<float>(257, 0.0f); }},
        {"only Marlin-layout experts",
         [](WeightStore& s) {
             s.experts_gpu = std::move(s.experts_cpu);
             s.shared_experts_gpu = std::move(s.shared_experts_cpu);
             s.experts_cpu.clear();
             s.shared_experts_cpu.clear();
         }},
    };
    for (const Case& c : cases) {
        WeightStore store = make_store("model", kWidths[0]);
        c.mutate(store);
        Engine engine(store);
        for (const bool parallel : {false, true})
            EXPECT_THROW((void)engine.run(store, t, parallel), InternalError) << c.what;
    }
}

// ---------------------------------------------------------------------------------------------------------
// Tiled repack.

TEST(MoeRepack, TilesEveryUntiledCpuExpertByWidth) {
    namespace k = kernel::avx2;
    WeightStore store = make_store("model", kWidths[2]);  // w13 INT4, w2 INT8
    store.experts_cpu[1][3] = UnifiedExpertWeights{};  // replaced below by an already tiled expert
    {
        WeightStore one = make_store("model", kWidths[2]);
        one.experts_cpu.resize(1);
        ASSERT_EQ(moe::repack_experts_to_tiled(one), 8u);
        store.experts_cpu[1][3] = one.experts_cpu[0][3];
    }
    store.experts_gpu = {{store.experts_cpu[0][0]}};
    store.shared_experts_gpu = {store.shared_experts_cpu[0]};
    const WeightStore before = make_store("model", kWidths[2]);
    const UnifiedExpertWeights already = store.experts_cpu[1][3];

    orvane::test_support::LogCapture log(orvane::log::moe());
    EXPECT_EQ(moe::repack_experts_to_tiled(store), 15u);
    const std::string text = log.text();
    const std::string head = "info|Repacked 15 experts to tiled layout in ";
    ASSERT_EQ(text.rfind(head, 0), 0u) << text;
    const std::string secs = text.substr(head.size());
    // One decimal: "<digits>.<digit>s\n".
    const auto dot = secs.find('.');
    ASSERT_NE(dot, std::string::npos) << text;
    EXPECT_EQ(secs.substr(dot + 2), "s\n") << text;

    for (std::size_t layer = 0; layer < 2; ++layer) {
        for (std::size_t e = 0; e < 8; ++e) {
            const UnifiedExpertWeights& got = store.experts_cpu[layer][e];
            EXPECT_EQ(got.tiled, 1);
            if (layer == 1 && e == 3) {
                EXPECT_EQ(got, already);  // converted once only
                continue;
            }
            const UnifiedExpertWeights& src = before.experts_cpu[layer][e];
            const auto w13 = k::repack_tiled_int4_packed(src.w13_packed, 256, 256);
            const auto w2 = k::repack_tiled_int8_packed(src.w2_packed, 128, 256);
            EXPECT_TRUE(std::equal(got.w13_packed.begin(), got.w13_packed.end(), w13.begin(), w13.end()));
            EXPECT_TRUE(std::equal(got.w2_packed.begin(), got.w2_packed.end(), w2.begin(), w2.end()));
            const auto s13 = k::repack_tiled_scales(src.w13_scales, 4, 256);
            const auto s2 = k::repack_tiled_scales(src.w2_scales, 2, 256);
            EXPECT_TRUE(std::equal(got.w13_scales.begin(), got.w13_scales.end(), s13.begin(), s13.end()));
            EXPECT_TRUE(std::equal(got.w2_scales.begin(), got.w2_scales.end(), s2.begin(), s2.end()));
        }
    }
    // Shared experts and the GPU arrays are never tiled.
    EXPECT_EQ(store.shared_experts_cpu[0], before.shared_experts_cpu[0]);
    EXPECT_EQ(store.shared_experts_cpu[1], before.shared_experts_cpu[1]);
    EXPECT_EQ(store.experts_gpu[0][0], before.experts_cpu[0][0]);
    EXPECT_EQ(store.shared_experts_gpu[0], before.shared_experts_cpu[0]);
    EXPECT_EQ(moe::repack_experts_to_tiled(store), 0u);
}

TEST(MoeRepack, RefusesARecordWhoseArraysDoNotMatchItsShape) {
    WeightStore store = make_store("model", kWidths[0]);
    store.experts_cpu[0][5].w2_scales.pop_back();
    const UnifiedExpertWeights broken = store.experts_cpu[0][5];
    EXPECT_THROW(moe::repack_experts_to_tiled(store), InternalError);
    EXPECT_EQ(store.experts_cpu[0][5], broken);  // left as it was
}

}  // namespace
