#include "moe/routing.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include <fmt/format.h>

#include "core/bf16.hpp"
#include "core/errors.hpp"
#include "core/logging.hpp"

namespace orvane::moe {

namespace {

constexpr float kNegInf = -std::numeric_limits<float>::infinity();

// The greatest value, NaN ignored; −∞ when there is none.
float max_ignoring_nan(std::span<const float> values) {
    float m = kNegInf;
    for (const float v : values)
        if (v > m) m = v;
    return m;
}

std::optional<std::uint64_t> checked_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r = 0;
    if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
    return r;
}

}  // namespace

void router_logits(std::span<const std::uint16_t> gate, std::span<const std::uint16_t> x, std::span<float> logits) {
    const std::size_t hidden = x.size();
    const std::size_t experts = logits.size();
    ORVANE_CHECK(hidden == 0 ? gate.empty() : gate.size() % hidden == 0 && gate.size() / hidden == experts,
                 "router gate holds {} values, expected {} × {}", gate.size(), experts, hidden);

    // Eight experts at a time: eight independent sums, each in ascending j (the order is per expert, so
    // interleaving the experts changes nothing but the speed).
    constexpr std::size_t kBlock = 8;
    std::size_t e = 0;
    for (; e + kBlock <= experts; e += kBlock) {
        float sum[kBlock] = {};
        const std::uint16_t* rows = gate.data() + e * hidden;
        for (std::size_t j = 0; j < hidden; ++j) {
            const float xj = bf16_to_f32(x[j]);
            for (std::size_t l = 0; l < kBlock; ++l) sum[l] = sum[l] + bf16_to_f32(rows[l * hidden + j]) * xj;
        }
        for (std::size_t l = 0; l < kBlock; ++l) logits[e + l] = sum[l];
    }
    for (; e < experts; ++e) {
        float sum = 0.0f;
        const std::uint16_t* row = gate.data() + e * hidden;
        for (std::size_t j = 0; j < hidden; ++j) sum = sum + bf16_to_f32(row[j]) * bf16_to_f32(x[j]);
        logits[e] = sum;
    }
}

void choose_topk(std::span<const float> values, std::size_t k, std::span<std::uint8_t> taken,
                 std::vector<std::size_t>& chosen) {
    ORVANE_ASSERT_EQ(taken.size(), values.size());
    if (k == 0) return;
    ORVANE_CHECK(!values.empty(), "routing with no experts: the fallback expert 0 does not exist (topk {})", k);
    std::fill(taken.begin(), taken.end(), std::uint8_t{0});
    for (std::size_t round = 0; round < k; ++round) {
        std::size_t best = 0;
        float best_value = kNegInf;
        bool found = false;
        for (std::size_t e = 0; e < values.size(); ++e) {
            if (taken[e] == 0 && values[e] > best_value) {
                best_value = values[e];
                best = e;
                found = true;
            }
        }
        if (!found) best = 0;
        taken[best] = 1;
        chosen.push_back(best);
    }
}

void softmax_in_place(std::span<float> values) {
    const float m = max_ignoring_nan(values);
    float sum = 0.0f;
    for (float& v : values) {
        v = std::exp(v - m);
        sum = sum + v;
    }
    for (float& v : values) v = v / sum;
}

// ---------------------------------------------------------------------------------------------------------
// Router.

void Router::configure(RoutingConfig config, std::uint64_t num_moe_layers) {
    const std::size_t experts = config.n_experts;
    log::moe().info("Routing config set: scoring={}, norm_topk={}, topk={}, n_experts={}, hidden={}",
                    config.scoring_func, config.norm_topk_prob, config.topk, config.n_experts, config.hidden_size);
    layers_.assign(num_moe_layers, std::nullopt);
    logits_.assign(experts, 0.0f);
    scores_.assign(experts, 0.0f);
    values_.assign(experts, 0.0f);
    taken_.assign(experts, 0);
    config_ = std::move(config);
}

CallResult<void> Router::set_weights(std::uint64_t layer, std::span<const std::uint8_t> gate_bf16,
                                     std::optional<std::span<const std::uint8_t>> correction_bias_f32) {
    if (!config_) return runtime_error("Call set_routing_config first");
    const RoutingConfig& c = *config_;

    // A product beyond 64 bits cannot be matched by any buffer; it is reported by its factors rather than
    // wrapped (a wrapped size would let a short gate through and the router read past its end).
    const auto values = checked_mul(c.n_experts, c.hidden_size);
    const auto gate_bytes = values ? checked_mul(*values, 2) : std::nullopt;
    if (!gate_bytes)
        return value_error(fmt::format("Expected {} × {} × 2 gate bytes, got {}", c.n_experts, c.hidden_size,
                                       gate_bf16.size()));
    if (gate_bf16.size() != *gate_bytes)
        return value_error(fmt::format("Expected {} gate bytes, got {}", *gate_bytes, gate_bf16.size()));

    if (correction_bias_f32) {
        const auto bias_bytes = checked_mul(c.n_experts, 4);
        if (!bias_bytes || correction_bias_f32->size() != *bias_bytes)
            return value_error(bias_bytes ? fmt::format("Expected {} bias bytes, got {}", *bias_bytes,
                                                        correction_bias_f32->size())
                                          : fmt::format("Expected {} × 4 bias bytes, got {}", c.n_experts,
                                                        correction_bias_f32->size()));
    }
    if (layer >= layers_.size())
        return value_error(fmt::format("moe_layer_idx {} >= num_moe_layers {}", layer, layers_.size()));

    LayerRouting entry;
    entry.gate_weight.resize(*values);
    if (!gate_bf16.empty()) std::memcpy(entry.gate_weight.data(), gate_bf16.data(), gate_bf16.size());
    if (correction_bias_f32) {
        entry.correction_bias.emplace(c.n_experts);
        if (!correction_bias_f32->empty())
            std::memcpy(entry.correction_bias->data(), correction_bias_f32->data(), correction_bias_f32->size());
    }
    layers_[layer] = std::move(entry);
    return {};
}

const LayerRouting* Router::layer(std::uint64_t layer) const {
    if (layer >= layers_.size() || !layers_[layer]) return nullptr;
    return &*layers_[layer];
}

CallResult<void> Router::route(std::uint64_t layer, std::span<const std::uint16_t> activation, float swiglu_limit,
                               RoutingChoice& choice) {
    if (!config_) return runtime_error("Routing config not set");
    const LayerRouting* entry = this->layer(layer);
    if (entry == nullptr) return runtime_error(fmt::format("Routing weights not set for layer {}", layer));
    const RoutingConfig& c = *config_;
    ORVANE_ASSERT_EQ(activation.size(), c.hidden_size);

    const std::size_t experts = c.n_experts;
    const std::size_t k = c.topk;
    choice.ids.clear();
    choice.weights.clear();

    router_logits(entry->gate_weight, activation, logits_);
    const std::vector<float>* bias = entry->correction_bias ? &*entry->correction_bias : nullptr;

    if (swiglu_limit > 0.0f) {
        // Top-k of the biased logits, then the softmax of the chosen ones.
        for (std::size_t e = 0; e < experts; ++e) values_[e] = bias ? logits_[e] + (*bias)[e] : logits_[e];
        choose_topk(values_, k, taken_, choice.ids);
        choice.weights.resize(choice.ids.size());
        for (std::size_t i = 0; i < choice.ids.size(); ++i) choice.weights[i] = values_[choice.ids[i]];
        softmax_in_place(choice.weights);
        return {};
    }

    if (c.sigmoid()) {
        for (std::size_t e = 0; e < experts; ++e) scores_[e] = 1.0f / (1.0f + std::exp(-logits_[e]));
    } else {
        std::copy(logits_.begin(), logits_.end(), scores_.begin());
        softmax_in_place(scores_);
    }
    for (std::size_t e = 0; e < experts; ++e) values_[e] = bias ? scores_[e] + (*bias)[e] : scores_[e];
    choose_topk(values_, k, taken_, choice.ids);
    choice.weights.resize(choice.ids.size());
    for (std::size_t i = 0; i < choice.ids.size(); ++i) choice.weights[i] = scores_[choice.ids[i]];
    if (c.norm_topk_prob) {
        float sum = 0.0f;
        for (const float w : choice.weights) sum = sum + w;
        if (sum > 0.0f)
            for (float& w : choice.weights) w = w / sum;
    }
    return {};
}

// ---------------------------------------------------------------------------------------------------------
// The routed layer call.

CallResult<void> forward_moe_routed(const weights::WeightStore* store, Router& router, std::uint64_t layer,
                                    std::span<const std::uint16_t> activation, std::span<std::uint16_t> output,
                                    const RoutedForwardContext& context) {
    if (store == nullptr) return runtime_error("Model not loaded");
    RoutingChoice choice;
    if (auto routed = router.route(layer, activation, store->config.swiglu_limit, choice); !routed)
        return std::unexpected(routed.error());

    ORVANE_ASSERT_EQ(output.size(), router.config()->hidden_size);
    std::fill(output.begin(), output.end(), std::uint16_t{0});
    if (context.scratch == nullptr) return runtime_error("Scratch not initialized");

    std::fill(context.accumulator.begin(), context.accumulator.end(), 0.0f);
    MoeLayerCall call;
    call.store = store;
    call.layer = layer;
    call.activation = activation;
    call.expert_ids = choice.ids;
    call.weights = choice.weights;
    call.output = context.accumulator;
    call.scratch = context.scratch;
    call.scratch_pool = context.scratch_pool;
    call.shared_scratch = context.shared_scratch;
    call.parallel = context.parallel;
    call.numa_map = context.numa_map;
    if (context.run_layer) {
        context.run_layer(call);
    } else {
        ORVANE_CHECK(store->experts_gguf.empty(), "GGUF-native experts need the engine's GGUF layer runner");
        if (!store->experts_cpu.empty() || !store->experts_gpu.empty())
            moe_forward_unified(call);
        else
            moe_forward(call);
    }

    ORVANE_ASSERT_EQ(context.accumulator.size(), output.size());
    for (std::size_t j = 0; j < output.size(); ++j) output[j] = f32_to_bf16(context.accumulator[j]);
    return {};
}

}  // namespace orvane::moe
