#pragma once
// The expert weight store: every loaded MoE layer's experts in the forms the compute paths need, with the
// configuration and quantization settings they were built with. A new store is empty; one loader fills it,
// and once shared it is only read (NUMA migration, bias attachment and tiling run before compute starts).
//
// Layer arrays have one entry per loaded MoE layer; index 0 is the first loaded MoE layer.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "core/errors.hpp"
#include "weights/build_lock.hpp"
#include "weights/config.hpp"
#include "weights/experts.hpp"
#include "weights/unified.hpp"

namespace orvane::weights {

struct WeightStore {
    std::vector<std::vector<ExpertWeights>> experts;               // row-major, legacy path
    std::vector<ExpertWeights> shared_experts;                     // row-major, one per layer, legacy path
    std::vector<std::vector<UnifiedExpertWeights>> experts_cpu;    // CPU layout, one per routed expert
    std::vector<UnifiedExpertWeights> shared_experts_cpu;          // CPU layout, one per layer
    std::vector<std::vector<UnifiedExpertWeights>> experts_gpu;    // Marlin layout
    std::vector<UnifiedExpertWeights> shared_experts_gpu;          // Marlin layout, one per layer
    std::vector<std::vector<GgufExpertWeights>> experts_gguf;      // raw GGUF blocks (GGUF-native mode)
    std::vector<GgufExpertWeights> shared_experts_gguf;            // raw GGUF blocks, one per layer
    ModelConfig config;
    std::uint64_t group_size = 128;
    std::uint8_t cpu_num_bits = 4;
    std::uint8_t gpu_num_bits = 4;

    WeightStore() = default;
    WeightStore(WeightStore&&) = default;
    WeightStore& operator=(WeightStore&&) = default;
    // A store holds a whole model: copies are never wanted.
    WeightStore(const WeightStore&) = delete;
    WeightStore& operator=(const WeightStore&) = delete;

    // Moves the pages of every row-major expert to its node: node_of_expert[i][j] for MoE layer i, expert j.
    // Gate, up and down packed data and scales go in that order (empty arrays skipped); an expert counts as
    // migrated only when every call succeeds. Layers without experts are skipped. Logs the counts and the
    // elapsed time at info level and returns the number migrated. A table shorter than the layers or experts
    // throws InternalError.
    // Loads the routed and shared experts of MoE layers [start_layer, start_layer + max_layers) of a
    // HuggingFace model directory in the Marlin layout and the CPU layout, from the caches beside the model,
    // building what is missing (see hf_loader.cpp).
    static Result<WeightStore> load_from_hf(const std::filesystem::path& model_dir, std::uint64_t group_size,
                                            std::optional<std::uint64_t> max_layers,
                                            std::optional<std::uint64_t> start_layer, std::uint8_t cpu_num_bits,
                                            std::uint8_t gpu_num_bits, const BuildLockOptions& lock_options = {});

    static std::size_t migrate_numa(std::span<std::vector<ExpertWeights>> experts,
                                    std::span<const std::vector<unsigned>> node_of_expert);
};

}  // namespace orvane::weights
