#pragma once
// Routing on the CPU: the host declares the routing configuration once, stores each MoE layer's BF16 gate
// matrix (and optional score-correction bias), then passes only a token's hidden state; the router computes
// the gate logits, scores them, chooses the top-k experts with their weights and runs the layer routine.
//
// Arithmetic (fixed bit for bit):
//   logits[e] = (((0 + g[e][0]·x[0]) + g[e][1]·x[1]) + …) in single precision, ascending j, separate
//               multiplies and adds (this file is compiled without contraction);
//   swiglu_limit > 0   values = logits (+ bias); choose k; weights = softmax of the k chosen values;
//   otherwise          scores = sigmoid(logits) for "sigmoid", else softmax over all E logits;
//                      values = scores (+ bias); choose k; weights = the chosen scores without the bias,
//                      divided by their sum when norm_topk_prob is set and the sum is positive.
//   Softmax subtracts the maximum (NaN values ignored when finding it), exponentiates with the standard
//   single-precision exp, sums in order and divides.
//   Choosing: k rounds; each takes, among experts not yet taken, the lowest index with the strictly
//   greatest value; −∞ and NaN are never taken by comparison, and a round that finds none takes expert 0.
//
// Errors use CallError (moe/export.hpp): RuntimeError / ValueError texts for the host; InternalError for
// violated preconditions.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "moe/expert_forward.hpp"
#include "moe/export.hpp"
#include "weights/store.hpp"

namespace orvane::numa {
struct NumaExpertMap;
}

namespace orvane::moe {

struct RoutingConfig {
    std::string scoring_func;     // "sigmoid" selects sigmoid scoring, any other text softmax
    std::uint64_t topk = 0;       // experts chosen per token
    std::uint64_t n_experts = 0;  // routed experts per layer (gate rows)
    std::uint64_t hidden_size = 0;  // gate columns; the token length
    bool norm_topk_prob = false;  // renormalise the chosen weights to sum 1

    bool sigmoid() const { return scoring_func == "sigmoid"; }
};

struct LayerRouting {
    std::vector<std::uint16_t> gate_weight;               // n_experts × hidden_size BF16, row = expert
    std::optional<std::vector<float>> correction_bias;    // n_experts
};

// The experts chosen for one token, in the order of the rounds, with their routing weights.
struct RoutingChoice {
    std::vector<std::size_t> ids;
    std::vector<float> weights;
};

// logits[e] = Σ_j gate[e·H + j] · x[j] for E = logits.size(), H = x.size(), in the order above.
// gate must hold E × H values (InternalError otherwise).
void router_logits(std::span<const std::uint16_t> gate, std::span<const std::uint16_t> x, std::span<float> logits);

// k rounds of the choosing rule over `values`; `taken` (one flag per value) is working memory. Appends the
// chosen experts to `chosen`. With no values at all the fallback expert 0 does not exist: InternalError
// when k > 0.
void choose_topk(std::span<const float> values, std::size_t k, std::span<std::uint8_t> taken,
                 std::vector<std::size_t>& chosen);

// In-place softmax over `values` (subtract the maximum, exp, divide by the sum in order).
void softmax_in_place(std::span<float> values);

// The routing state of an engine: configuration, per-layer gates and the scratch of the router.
class Router {
public:
    // Stores the configuration, replaces the layers with num_moe_layers absent entries, sizes the zeroed
    // scratch for n_experts and logs "Routing config set: …" at info level. Nothing is validated.
    void configure(RoutingConfig config, std::uint64_t num_moe_layers);

    // Checks in order: no configuration → RuntimeError "Call set_routing_config first"; gate bytes
    // ≠ n_experts × hidden_size × 2 → ValueError "Expected {} gate bytes, got {}"; a bias of other than
    // n_experts × 4 bytes → ValueError "Expected {} bias bytes, got {}"; layer ≥ the layer count →
    // ValueError "moe_layer_idx {} >= num_moe_layers {}". Then stores copies (BF16 and f32 little-endian).
    CallResult<void> set_weights(std::uint64_t layer, std::span<const std::uint8_t> gate_bf16,
                                 std::optional<std::span<const std::uint8_t>> correction_bias_f32);

    const std::optional<RoutingConfig>& config() const { return config_; }
    std::size_t num_layers() const { return layers_.size(); }
    // The layer's gate, or null when absent or beyond the layers.
    const LayerRouting* layer(std::uint64_t layer) const;

    // The router for one token: no configuration → RuntimeError "Routing config not set"; a layer beyond the
    // array or without gate → RuntimeError "Routing weights not set for layer {}". `activation` must hold
    // hidden_size values (InternalError otherwise). Fills `choice` (cleared first) with the configured topk
    // experts and their weights.
    CallResult<void> route(std::uint64_t layer, std::span<const std::uint16_t> activation, float swiglu_limit,
                           RoutingChoice& choice);

    // The scratch of the last route(): the logits, and the scores (sigmoid / softmax paths).
    std::span<const float> logits() const { return logits_; }
    std::span<const float> scores() const { return scores_; }

private:
    std::optional<RoutingConfig> config_;
    std::vector<std::optional<LayerRouting>> layers_;
    std::vector<float> logits_;
    std::vector<float> scores_;
    std::vector<float> values_;       // the choice values
    std::vector<std::uint8_t> taken_;  // the choosing rule's flags
};

// The engine's objects the routed layer call reads and writes.
struct RoutedForwardContext {
    ExpertScratch* scratch = nullptr;               // null: "Scratch not initialized"
    std::span<ExpertScratch> scratch_pool{};
    ExpertScratch* shared_scratch = nullptr;        // given whenever the model has shared experts
    bool parallel = true;
    const numa::NumaExpertMap* numa_map = nullptr;
    std::span<float> accumulator{};                 // the engine's f32 output accumulator [hidden]
    // The layer routine variant. Empty: moe_forward_unified when experts_cpu or experts_gpu is non-empty,
    // else moe_forward; a store with GGUF-native experts needs a runner (InternalError otherwise).
    std::function<void(const MoeLayerCall&)> run_layer;
};

// forward_moe_routed: no store → RuntimeError "Model not loaded"; the router's checks; route; zero the
// H BF16 outputs; no scratch → RuntimeError "Scratch not initialized" (outputs already zero); run the layer
// routine on the chosen experts; narrow the accumulator to BF16 (round to nearest, ties to even) into
// `output`. `activation` and `output` hold the configured hidden_size values; a configuration that does
// not match the store fails in the layer routine as an InternalError.
CallResult<void> forward_moe_routed(const weights::WeightStore* store, Router& router, std::uint64_t layer,
                                    std::span<const std::uint16_t> activation, std::span<std::uint16_t> output,
                                    const RoutedForwardContext& context);

}  // namespace orvane::moe
