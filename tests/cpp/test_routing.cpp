// CPU routing: gate logits bit for bit against a scalar reference of the summation order, the choosing rule
// (order, ties, NaN and −∞, the expert-0 fallback) against an independent stable-sort formulation, the
// sigmoid, softmax and top-k-then-softmax paths with and without correction bias and renormalisation, the
// gate storage checks in order, and the routed layer call against the layer routine run on the same choice.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "core/bf16.hpp"
#include "core/logging.hpp"
#include "moe/expert_forward.hpp"
#include "moe/routing.hpp"
#include "support.hpp"
#include "weights/marlin.hpp"
#include "weights/store.hpp"
#include "weights/unified.hpp"

namespace {

using namespace orvane;
using namespace orvane::moe;
using orvane::test_support::error_of;
using orvane::test_support::LogCapture;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

std::uint16_t bf(float f) { return static_cast<std::uint16_t>(std::bit_cast<std::uint32_t>(f) >> 16); }
float wide(std::uint16_t b) { return std::bit_cast<float>(std::uint32_t{b} << 16); }

std::vector<std::uint16_t> random_bf16(std::size_t n, std::mt19937& rng, float scale = 1.0f) {
    std::uniform_real_distribution<float> d(-scale, scale);
    std::vector<std::uint16_t> v(n);
    for (auto& x : v) x = bf(d(rng));
    return v;
}

std::vector<std::uint8_t> as_bytes(const auto& v) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(v.data());
    return std::vector<std::uint8_t>(p, p + v.size() * sizeof(v[0]));
}

CallError value(std::string m) { return {CallError::Kind::Value, std::move(m)}; }
CallError runtime(std::string m) { return {CallError::Kind::Runtime, std::move(m)}; }

// --- references --------------------------------------------------------------------------------------------

float ref_logit(const std::vector<std::uint16_t>& gate, const std::vector<std::uint16_t>& x, std::size_t e) {
    const std::size_t h = x.size();
    float sum = 0.0f;
    std::size_t j = 0;
    for (; j + 1 < h; j += 2) sum = (sum + wide(gate[e * h + j]) * wide(x[j])) + wide(gate[e * h + j + 1]) * wide(x[j + 1]);
    if (j < h) sum = sum + wide(gate[e * h + j]) * wide(x[j]);
    return sum;
}

// The rule as a stable sort: the comparable values (neither NaN nor −∞) by descending value, lower index
// first on ties; rounds beyond them take expert 0.
std::vector<std::size_t> ref_choose(const std::vector<float>& v, std::size_t k) {
    std::vector<std::size_t> idx;
    for (std::size_t e = 0; e < v.size(); ++e)
        if (!std::isnan(v[e]) && v[e] != -kInf) idx.push_back(e);
    std::stable_sort(idx.begin(), idx.end(), [&](std::size_t a, std::size_t b) { return v[a] > v[b]; });
    idx.resize(std::min(idx.size(), k));
    while (idx.size() < k) idx.push_back(0);
    return idx;
}

std::vector<float> ref_softmax(std::vector<float> v) {
    float m = -kInf;
    for (float x : v) m = std::isnan(x) ? m : std::max(m, x);
    float s = 0.0f;
    for (float& x : v) {
        x = std::exp(x - m);
        s = s + x;
    }
    for (float& x : v) x = x / s;
    return v;
}

struct Reference {
    std::vector<std::size_t> ids;
    std::vector<float> weights;
};

Reference ref_route(const RoutingConfig& c, const std::vector<std::uint16_t>& gate, const std::optional<std::vector<float>>& bias,
                    const std::vector<std::uint16_t>& x, float swiglu_limit) {
    std::vector<float> logits(c.n_experts);
    for (std::size_t e = 0; e < c.n_experts; ++e) logits[e] = ref_logit(gate, x, e);
    Reference r;
    if (swiglu_limit > 0) {
        std::vector<float> v = logits;
        if (bias) for (std::size_t e = 0; e < v.size(); ++e) v[e] = v[e] + (*bias)[e];
        r.ids = ref_choose(v, c.topk);
        for (auto id : r.ids) r.weights.push_back(v[id]);
        r.weights = ref_softmax(r.weights);
        return r;
    }
    std::vector<float> scores(c.n_experts);
    if (c.scoring_func == "sigmoid")
        for (std::size_t e = 0; e < scores.size(); ++e) scores[e] = 1.0f / (1.0f + std::exp(-logits[e]));
    else
        scores = ref_softmax(logits);
    std::vector<float> v = scores;
    if (bias) for (std::size_t e = 0; e < v.size(); ++e) v[e] = v[e] + (*bias)[e];
    r.ids = ref_choose(v, c.topk);
    for (auto id : r.ids) r.weights.push_back(scores[id]);
    if (c.norm_topk_prob) {
        float s = 0.0f;
        for (float w : r.weights) s = s + w;
        if (s > 0) for (float& w : r.weights) w = w / s;
    }
    return r;
}

std::vector<std::uint32_t> bits(const std::vector<float>& v) {
    std::vector<std::uint32_t> b;
    for (float f : v) b.push_back(std::bit_cast<std::uint32_t>(f));
    return b;
}

// --- logits and the choosing rule --------------------------------------------------------------------------

TEST(Routing, LogitsFollowTheSummationOrderBitForBit) {
    std::mt19937 rng(1);
    for (const std::size_t experts : {1u, 7u, 8u, 13u, 16u, 33u}) {
        for (const std::size_t hidden : {1u, 2u, 37u, 256u}) {
            // Mixed magnitudes make any other order give other bits.
            std::vector<std::uint16_t> gate = random_bf16(experts * hidden, rng, 4.0f);
            std::vector<std::uint16_t> x = random_bf16(hidden, rng, 1000.0f);
            for (std::size_t j = 0; j < hidden; j += 5) x[j] = bf(wide(x[j]) * 1e-4f);
            std::vector<float> logits(experts, -1.0f);
            router_logits(gate, x, logits);
            for (std::size_t e = 0; e < experts; ++e)
                EXPECT_EQ(std::bit_cast<std::uint32_t>(logits[e]), std::bit_cast<std::uint32_t>(ref_logit(gate, x, e)))
                    << experts << "×" << hidden << " expert " << e;
        }
    }
    // 2^24 + 1 − 2^24 is 0 in ascending order (the 1 is lost), 1 in any order that adds the ends first;
    // rows 3 (inside a block of eight) and 10 (in the tail) carry it.
    const std::size_t experts = 11, hidden = 3;
    std::vector<std::uint16_t> gate(experts * hidden, bf(0.0f));
    for (const std::size_t e : {3u, 10u}) std::fill_n(gate.begin() + e * hidden, hidden, bf(1.0f));
    const std::vector<std::uint16_t> x = {bf(16777216.0f), bf(1.0f), bf(-16777216.0f)};
    std::vector<float> logits(experts);
    router_logits(gate, x, logits);
    EXPECT_EQ(logits[3], 0.0f);
    EXPECT_EQ(logits[10], 0.0f);
    EXPECT_NE(error_of([&] { router_logits(std::span(gate).first(32), x, logits); }), "<no error>");
}

TEST(Routing, ChoosingRule) {
    struct Case {
        std::vector<float> values;
        std::size_t k;
        std::vector<std::size_t> want;
    };
    const Case cases[] = {
        {{1, 3, 3, 0}, 2, {1, 2}},                   // tie: lower index first
        {{0.5f, 0.5f, 0.5f}, 3, {0, 1, 2}},
        {{2, kNaN, 5, 1}, 3, {2, 0, 3}},             // NaN never taken
        {{kNaN, 1, kNaN}, 2, {1, 0}},                // nothing left: expert 0
        {{kNaN, kNaN, kNaN}, 2, {0, 0}},             // all NaN: expert 0 every round
        {{-kInf, -kInf, 5}, 3, {2, 0, 0}},           // −∞ never taken by comparison
        {{-3, kInf, -kInf, -1}, 3, {1, 3, 0}},       // +∞ is taken
        {{4, 2}, 4, {0, 1, 0, 0}},                   // k beyond the experts
        {{-1e30f, -2e30f}, 2, {0, 1}},
        {{1, 2, 3}, 0, {}},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> taken(c.values.size(), 7);
        std::vector<std::size_t> chosen;
        choose_topk(c.values, c.k, taken, chosen);
        EXPECT_EQ(chosen, c.want);
        EXPECT_EQ(chosen, ref_choose(c.values, c.k));
    }
    std::vector<std::size_t> chosen;
    EXPECT_EQ(error_of([&] { choose_topk({}, 1, {}, chosen); }),
              "routing with no experts: the fallback expert 0 does not exist (topk 1)");
    EXPECT_EQ(error_of([&] { choose_topk({}, 0, {}, chosen); }), "<no error>");
}

// --- the router ------------------------------------------------------------------------------------------

// One-column gates make the logits the gate values themselves (x = [1.0]).
Router one_column_router(const RoutingConfig& base, const std::vector<float>& logits,
                         std::optional<std::vector<float>> bias = std::nullopt) {
    RoutingConfig c = base;
    c.n_experts = logits.size();
    c.hidden_size = 1;
    Router r;
    r.configure(c, 1);
    std::vector<std::uint16_t> gate;
    for (float l : logits) gate.push_back(bf(l));
    std::optional<std::vector<std::uint8_t>> b;
    if (bias) b = as_bytes(*bias);
    EXPECT_TRUE(r.set_weights(0, as_bytes(gate), b ? std::optional(std::span<const std::uint8_t>(*b)) : std::nullopt));
    return r;
}

RoutingChoice route(Router& r, float swiglu_limit = 0.0f) {
    RoutingChoice choice;
    const std::uint16_t one[] = {bf(1.0f)};
    EXPECT_TRUE(r.route(0, one, swiglu_limit, choice).has_value());
    return choice;
}

TEST(Routing, SoftmaxChoosesByScoreAndRenormalises) {
    RoutingConfig c{"softmax", 2, 0, 0, false};
    Router r = one_column_router(c, {1, 3, 3, 0});
    RoutingChoice got = route(r);
    const float sum = ((std::exp(1.0f - 3.0f) + std::exp(0.0f)) + std::exp(0.0f)) + std::exp(0.0f - 3.0f);
    EXPECT_EQ(got.ids, (std::vector<std::size_t>{1, 2}));
    EXPECT_EQ(bits(got.weights), bits({1.0f / sum, 1.0f / sum}));

    c.norm_topk_prob = true;
    Router n = one_column_router(c, {1, 3, 3, 0});
    got = route(n);
    EXPECT_EQ(got.weights, (std::vector<float>{0.5f, 0.5f}));
    // Any text other than "sigmoid" is softmax.
    for (const char* name : {"", "Sigmoid", "sigmoid ", "softmax"}) {
        c.scoring_func = name;
        Router s = one_column_router(c, {1, 3, 3, 0});
        EXPECT_EQ(route(s).weights, (std::vector<float>{0.5f, 0.5f})) << name;
    }
}

TEST(Routing, BiasChoosesButDoesNotWeighInSigmoidAndSoftmax) {
    const std::vector<float> logits = {0, 2, 1, -1};
    const std::vector<float> bias = {5, 0, 0, 0};
    RoutingConfig c{"sigmoid", 2, 0, 0, false};
    Router r = one_column_router(c, logits, bias);
    RoutingChoice got = route(r);
    EXPECT_EQ(got.ids, (std::vector<std::size_t>{0, 1}));
    EXPECT_EQ(bits(got.weights), bits({0.5f, 1.0f / (1.0f + std::exp(-2.0f))}));

    c.scoring_func = "softmax";
    Router s = one_column_router(c, logits, bias);
    got = route(s);
    const auto sm = ref_softmax(logits);
    EXPECT_EQ(got.ids, (std::vector<std::size_t>{0, 1}));
    EXPECT_EQ(bits(got.weights), bits({sm[0], sm[1]}));
}

TEST(Routing, TopkThenSoftmaxWeighsTheBiasedChosenLogits) {
    const std::vector<float> logits = {0, 2, 1, -1, 0.5f};
    const std::vector<float> bias = {3, 0, 0, 0, 0.25f};
    for (const char* scoring : {"sigmoid", "softmax"}) {
        for (const bool norm : {false, true}) {
            RoutingConfig c{scoring, 3, 0, 0, norm};
            Router r = one_column_router(c, logits, bias);
            const RoutingChoice got = route(r, 7.0f);
            EXPECT_EQ(got.ids, (std::vector<std::size_t>{0, 1, 2}));
            EXPECT_EQ(bits(got.weights), bits(ref_softmax({3.0f, 2.0f, 1.0f})));
            EXPECT_NEAR(got.weights[0] + got.weights[1] + got.weights[2], 1.0f, 1e-6f);
        }
    }
}

TEST(Routing, RandomRoutesMatchTheReference) {
    std::mt19937 rng(11);
    for (const char* scoring : {"sigmoid", "softmax"}) {
        for (const bool norm : {false, true}) {
            for (const bool with_bias : {false, true}) {
                for (const float limit : {0.0f, -1.0f, 7.0f}) {
                    RoutingConfig c{scoring, 6, 37, 29, norm};
                    Router r;
                    r.configure(c, 3);
                    const auto gate = random_bf16(37 * 29, rng);
                    std::optional<std::vector<float>> bias;
                    if (with_bias) {
                        bias.emplace(37);
                        for (float& b : *bias) b = std::uniform_real_distribution<float>(-0.1f, 0.1f)(rng);
                    }
                    const auto bias_bytes = bias ? as_bytes(*bias) : std::vector<std::uint8_t>{};
                    ASSERT_TRUE(r.set_weights(2, as_bytes(gate),
                                              bias ? std::optional(std::span<const std::uint8_t>(bias_bytes)) : std::nullopt));
                    for (int token = 0; token < 4; ++token) {
                        const auto x = random_bf16(29, rng, 3.0f);
                        RoutingChoice got;
                        ASSERT_TRUE(r.route(2, x, limit, got).has_value());
                        const Reference want = ref_route(c, gate, bias, x, limit);
                        EXPECT_EQ(got.ids, want.ids);
                        EXPECT_EQ(bits(got.weights), bits(want.weights));
                        for (std::size_t e = 0; e < 37; ++e)
                            EXPECT_EQ(std::bit_cast<std::uint32_t>(r.logits()[e]),
                                      std::bit_cast<std::uint32_t>(ref_logit(gate, x, e)));
                    }
                }
            }
        }
    }
}

TEST(Routing, NaNLogitsAreNeverChosenAndAllNaNTakesExpertZero) {
    RoutingConfig c{"sigmoid", 2, 0, 0, false};
    Router r = one_column_router(c, {kNaN, 1.0f, kNaN, -kInf});
    RoutingChoice got = route(r);
    EXPECT_EQ(got.ids, (std::vector<std::size_t>{1, 3}));  // σ(−∞) = 0 is comparable
    Router all = one_column_router(c, {kNaN, kNaN, kNaN});
    got = route(all);
    EXPECT_EQ(got.ids, (std::vector<std::size_t>{0, 0}));
    EXPECT_TRUE(std::isnan(got.weights[0]));
    // Softmax with one NaN logit: the maximum ignores it, every score is NaN, the rounds fall back to 0.
    c.scoring_func = "softmax";
    Router sm = one_column_router(c, {1.0f, kNaN, 2.0f});
    EXPECT_EQ(route(sm).ids, (std::vector<std::size_t>{0, 0}));
}

TEST(Routing, ConfigurationIsLogged) {
    LogCapture capture(log::moe());
    Router r;
    r.configure(RoutingConfig{"sigmoid", 8, 4, 2, true}, 3);
    EXPECT_EQ(capture.text(), "info|Routing config set: scoring=sigmoid, norm_topk=true, topk=8, n_experts=4, hidden=2\n");
    EXPECT_EQ(r.num_layers(), 3u);
    EXPECT_EQ(r.logits().size(), 4u);
}

TEST(Routing, GateStorageChecksInOrder) {
    Router r;
    const std::vector<std::uint8_t> gate(2 * 4 * 3), bias(4 * 4), short_gate(2 * 4 * 3 - 2), short_bias(12);
    auto set = [&](std::uint64_t layer, const std::vector<std::uint8_t>& g, const std::vector<std::uint8_t>* b) {
        const auto res = r.set_weights(layer, g, b ? std::optional(std::span<const std::uint8_t>(*b)) : std::nullopt);
        return res.has_value() ? CallError{CallError::Kind::Value, "<ok>"} : res.error();
    };
    EXPECT_EQ(set(9, short_gate, &short_bias), runtime("Call set_routing_config first"));
    r.configure(RoutingConfig{"softmax", 2, 4, 3, false}, 2);
    EXPECT_EQ(set(9, short_gate, &short_bias), value("Expected 24 gate bytes, got 22"));
    EXPECT_EQ(set(9, gate, &short_bias), value("Expected 16 bias bytes, got 12"));
    EXPECT_EQ(set(2, gate, &bias), value("moe_layer_idx 2 >= num_moe_layers 2"));
    EXPECT_EQ(set(1, gate, &bias), CallError(CallError::Kind::Value, "<ok>"));
    ASSERT_NE(r.layer(1), nullptr);
    EXPECT_TRUE(r.layer(1)->correction_bias.has_value());
    EXPECT_EQ(set(1, gate, nullptr), CallError(CallError::Kind::Value, "<ok>"));  // replaced, now without bias
    EXPECT_FALSE(r.layer(1)->correction_bias.has_value());
    EXPECT_EQ(r.layer(0), nullptr);

    // A gate size beyond 64 bits is reported, never wrapped into a size a short buffer could match.
    r.configure(RoutingConfig{"softmax", 1, 4, std::uint64_t{1} << 62, false}, 1);
    EXPECT_EQ(set(0, {}, nullptr), value("Expected 4 × 4611686018427387904 × 2 gate bytes, got 0"));
}

TEST(Routing, RouteRequiresConfigurationAndGate) {
    Router r;
    RoutingChoice choice;
    const std::uint16_t x[2] = {};
    auto err = [&](std::uint64_t layer) {
        const auto res = r.route(layer, x, 0.0f, choice);
        return res.has_value() ? CallError{CallError::Kind::Value, "<ok>"} : res.error();
    };
    EXPECT_EQ(err(0), runtime("Routing config not set"));
    r.configure(RoutingConfig{"softmax", 1, 3, 2, false}, 2);
    EXPECT_EQ(err(1), runtime("Routing weights not set for layer 1"));
    EXPECT_EQ(err(5), runtime("Routing weights not set for layer 5"));
    ASSERT_TRUE(r.set_weights(1, std::vector<std::uint8_t>(12), std::nullopt));
    EXPECT_EQ(err(1), CallError(CallError::Kind::Value, "<ok>"));
    r.configure(RoutingConfig{"softmax", 1, 3, 2, false}, 2);  // a new configuration drops every gate
    EXPECT_EQ(err(1), runtime("Routing weights not set for layer 1"));
    const std::uint16_t wrong[3] = {};
    ASSERT_TRUE(r.set_weights(0, std::vector<std::uint8_t>(12), std::nullopt));
    EXPECT_NE(error_of([&] { (void)r.route(0, wrong, 0.0f, choice); }), "<no error>");
}

// --- the routed layer call -------------------------------------------------------------------------------

weights::WeightStore cpu_store(std::uint64_t hidden, std::uint64_t inter, std::uint64_t gs, std::size_t experts) {
    std::mt19937 rng(77);
    auto matrix = [&](std::uint64_t rows, std::uint64_t cols) -> weights::QuantWeight {
        return weights::marlin::quantize_int4(random_bf16(rows * cols, rng, 0.5f), rows, cols, gs);
    };
    weights::WeightStore s;
    s.experts_cpu.resize(1);
    for (std::size_t e = 0; e < experts; ++e)
        s.experts_cpu[0].push_back(weights::UnifiedExpertWeights::from_expert_weights(
            weights::ExpertWeights{matrix(inter, hidden), matrix(inter, hidden), matrix(hidden, inter)}));
    s.config.hidden_size = hidden;
    s.config.moe_intermediate_size = inter;
    s.config.n_routed_experts = experts;
    s.config.num_experts_per_tok = 2;
    s.group_size = gs;
    return s;
}

TEST(Routing, RoutedForwardRunsTheLayerRoutineOnTheChoice) {
    const std::size_t H = 64, I = 32, GS = 32, E = 5;
    const weights::WeightStore store = cpu_store(H, I, GS, E);
    std::mt19937 rng(8);
    Router router;
    router.configure(RoutingConfig{"softmax", 2, E, H, true}, 1);
    const auto gate = random_bf16(E * H, rng);
    ASSERT_TRUE(router.set_weights(0, as_bytes(gate), std::nullopt));
    const auto x = random_bf16(H, rng);

    ExpertScratch scratch = ExpertScratch::create(H, I, GS);
    std::vector<ExpertScratch> pool;
    for (int i = 0; i < 2; ++i) pool.push_back(ExpertScratch::create(H, I, GS));
    std::vector<float> acc(H, 123.0f);
    RoutedForwardContext ctx{&scratch, pool, nullptr, true, nullptr, acc, {}};
    std::vector<std::uint16_t> out(H, 0xFFFF);
    ASSERT_TRUE(forward_moe_routed(&store, router, 0, x, out, ctx).has_value());

    // The same choice through the layer routine directly, narrowed.
    const Reference want = ref_route(*router.config(), gate, std::nullopt, x, 0.0f);
    ExpertScratch s2 = ExpertScratch::create(H, I, GS);
    std::vector<float> direct(H);
    MoeLayerCall call;
    call.store = &store;
    call.activation = x;
    call.expert_ids = want.ids;
    call.weights = want.weights;
    call.output = direct;
    call.scratch = &s2;
    call.parallel = false;
    moe_forward_unified(call);
    std::vector<std::uint16_t> want_out(H);
    for (std::size_t j = 0; j < H; ++j) want_out[j] = f32_to_bf16(direct[j]);
    EXPECT_EQ(out, want_out);
    EXPECT_TRUE(std::any_of(out.begin(), out.end(), [](std::uint16_t v) { return v != 0; }));

    // A runner given by the engine receives the choice.
    std::vector<std::size_t> seen_ids;
    std::vector<float> seen_weights;
    ctx.run_layer = [&](const MoeLayerCall& c) {
        seen_ids.assign(c.expert_ids.begin(), c.expert_ids.end());
        seen_weights.assign(c.weights.begin(), c.weights.end());
        std::fill(c.output.begin(), c.output.end(), 1.0f);
    };
    ASSERT_TRUE(forward_moe_routed(&store, router, 0, x, out, ctx).has_value());
    EXPECT_EQ(seen_ids, want.ids);
    EXPECT_EQ(bits(seen_weights), bits(want.weights));
    EXPECT_EQ(out, std::vector<std::uint16_t>(H, bf(1.0f)));
}

TEST(Routing, RoutedForwardErrors) {
    const std::size_t H = 64, I = 32, GS = 32, E = 5;
    const weights::WeightStore store = cpu_store(H, I, GS, E);
    Router router;
    std::vector<float> acc(H);
    RoutedForwardContext ctx{nullptr, {}, nullptr, true, nullptr, acc, {}};
    const std::vector<std::uint16_t> x(H, bf(1.0f));
    std::vector<std::uint16_t> out(H, 0xFFFF);
    auto err = [&](const weights::WeightStore* s) {
        const auto res = forward_moe_routed(s, router, 0, x, out, ctx);
        return res.has_value() ? CallError{CallError::Kind::Value, "<ok>"} : res.error();
    };
    EXPECT_EQ(err(nullptr), runtime("Model not loaded"));
    EXPECT_EQ(err(&store), runtime("Routing config not set"));
    router.configure(RoutingConfig{"sigmoid", 2, E, H, false}, 1);
    EXPECT_EQ(err(&store), runtime("Routing weights not set for layer 0"));
    EXPECT_EQ(out, std::vector<std::uint16_t>(H, 0xFFFF));  // nothing written before routing succeeded
    ASSERT_TRUE(router.set_weights(0, std::vector<std::uint8_t>(2 * E * H), std::nullopt));
    EXPECT_EQ(err(&store), runtime("Scratch not initialized"));
    EXPECT_EQ(out, std::vector<std::uint16_t>(H, 0));  // the output was zeroed first

    // A configuration that does not match the store fails in the layer routine.
    ExpertScratch scratch = ExpertScratch::create(H, I, GS);
    ctx.scratch = &scratch;
    router.configure(RoutingConfig{"sigmoid", 2, E + 3, H, false}, 1);
    ASSERT_TRUE(router.set_weights(0, std::vector<std::uint8_t>(2 * (E + 3) * H), std::nullopt));
    std::vector<float> biased(E + 3, 0.0f);
    biased[E + 1] = 1.0f;
    ASSERT_TRUE(router.set_weights(0, std::vector<std::uint8_t>(2 * (E + 3) * H), std::span<const std::uint8_t>(as_bytes(biased))));
    EXPECT_NE(error_of([&] { (void)forward_moe_routed(&store, router, 0, x, out, ctx); }), "<no error>");
}

}  // namespace
