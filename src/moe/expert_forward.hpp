#pragma once
// Expert forward compute: one MoE layer for one token on the CPU.
//
// A token's BF16 hidden state is quantized to INT16 once; every chosen expert runs its gate/up product,
// activation (SiLU-gated, or clamped SwiGLU when the model sets a limit), INT16 re-quantization and down
// product; the outputs are summed with their routing weights in slot order, and the layer's shared expert
// is added last (out = routed · routed_scaling_factor + shared).
//
// Three schedules, all giving the same bits for the same slot order:
//   parallel    one pool task per slot, each with its own scratch, inner products parallel;
//   NUMA        the parallel schedule run node by node, each task moved onto the node holding its expert;
//   sequential  slot after slot on the calling thread with serial products, prefetching the next expert.
//
// Scratch buffers are made at load time; the layer routine allocates nothing except the NUMA grouping table.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "weights/experts.hpp"
#include "weights/store.hpp"
#include "weights/unified.hpp"

namespace orvane::numa {
struct NumaExpertMap;
}

namespace orvane::moe {

// Working memory of one expert evaluation. All buffers zero-initialised.
struct ExpertScratch {
    std::vector<float> gate;             // [inter] per-projection path: gate product
    std::vector<float> up;               // [inter] per-projection path: up product
    std::vector<float> output;           // [hidden] the expert's down-projection output
    std::vector<std::int16_t> act_int16; // [hidden] the token's activation as INT16
    std::vector<float> act_scales;       // [hidden / group_size] its group scales
    std::vector<std::int16_t> mid_int16; // [inter] activated intermediate as INT16
    std::vector<float> mid_scales;       // [inter / group_size] its group scales
    std::vector<float> gate_up;          // [2 × inter] unified path: gate half, then up half
    std::uint64_t group_size = 0;        // the group size the buffers were sized for (non-zero)

    // Buffers for experts of this hidden and intermediate size. A zero group size throws InternalError.
    static ExpertScratch create(std::size_t hidden, std::size_t inter, std::size_t group_size);

    std::size_t hidden() const { return output.size(); }
    std::size_t inter() const { return mid_int16.size(); }
};

// σ(alpha · min(g, limit)) · min(g, limit) · (clamp(u, −limit, limit) + 1) in single precision with
// separate multiplies and adds and one division (the clamped SwiGLU of models with a swiglu limit).
float clamped_swiglu(float gate, float up, float limit, float alpha);

// One unified (transposed-layout) expert: gate_up = W13 · act (+ gate/up biases), the activation into the
// first half of gate_up, its INT16 quantization into mid_int16 / mid_scales, output = W2 · mid (+ down
// bias). `swiglu_limit` > 0 selects the clamped SwiGLU, otherwise SiLU(gate) · up. The kernels follow the
// expert's widths and tiled flag and the `parallel` flag. The scratch must be sized for the expert (its
// hidden and intermediate sizes and group size) and the arrays for its shape and layout; anything else,
// or a width other than 4 and 8, throws InternalError.
void expert_forward_unified(const weights::UnifiedExpertWeights& expert, std::span<const std::int16_t> act,
                            std::span<const float> act_scales, ExpertScratch& scratch, float swiglu_limit,
                            float swiglu_alpha, bool parallel);

// One per-projection (row-major) expert: gate and up into scratch.gate / scratch.up, SiLU(gate) · up and
// its INT16 quantization, down into scratch.output. Row-parallel products when `parallel`.
void expert_forward_integer(const weights::ExpertWeights& expert, std::span<const std::int16_t> act,
                            std::span<const float> act_scales, ExpertScratch& scratch, bool parallel);

// Everything one call of the layer routine reads and writes.
struct MoeLayerCall {
    const weights::WeightStore* store = nullptr;
    std::size_t layer = 0;                        // MoE layer index into the store's arrays
    std::span<const std::uint16_t> activation{};    // [hidden] BF16 token hidden state
    std::span<const std::size_t> expert_ids{};      // one routed expert per slot
    std::span<const float> weights{};               // one routing weight per slot
    std::span<float> output{};                      // [hidden] result accumulator (overwritten)
    ExpertScratch* scratch = nullptr;             // main scratch: receives the quantized token
    std::span<ExpertScratch> scratch_pool{};        // one scratch per slot for the parallel schedules
    ExpertScratch* shared_scratch = nullptr;      // sized for the shared expert; null = no shared expert
    bool parallel = true;
    const numa::NumaExpertMap* numa_map = nullptr;  // node of each expert; two or more nodes: NUMA schedule
};

// The layer routine on the unified experts (experts_cpu). The store must hold CPU-layout experts: the
// Marlin-layout GPU arrays are not computable here and are refused. Preconditions (InternalError): store
// and scratch given, as many weights as ids, activation and output of the store's hidden size, layer and
// expert ids in range, scratches sized for the experts.
void moe_forward_unified(const MoeLayerCall& call);

// The layer routine on the per-projection records (experts, shared_experts).
void moe_forward(const MoeLayerCall& call);

// Converts every untiled expert of experts_cpu to the tiled layout (w13 and w2 packed words by width, their
// scales), sets its tiled flag and returns the number converted. Shared experts and GPU arrays are left
// as they are. Needs exclusive access to the store.
std::size_t repack_experts_to_tiled(weights::WeightStore& store);

}  // namespace orvane::moe
