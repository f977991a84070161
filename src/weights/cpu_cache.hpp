#pragma once
// The CPU expert cache: every routed (and shared) expert of a model in the transposed CPU layout, one file
// per (model, width, group size) in <model_dir>/.orvane_cache, memory-mapped and copied out on later loads.
// Layout and header: weights/cache_common.hpp (version 4, with the width byte).

#include <cstdint>
#include <filesystem>

#include "core/errors.hpp"
#include "weights/build_lock.hpp"
#include "weights/cache_common.hpp"
#include "weights/config.hpp"
#include "weights/safetensors_io.hpp"

namespace orvane::weights {

// <model_dir>/.orvane_cache/experts_cpu_int{width}_g{group_size}.bin
std::filesystem::path cache_path_cpu(const std::filesystem::path& model_dir, std::uint8_t width,
                                     std::uint64_t group_size);

// 64 + L × E × P + (S > 0 ? L × P_s : 0) with P = cpu_expert_byte_sizes(H, I, gs, width).total() and P_s the
// same for intermediate size `shared_intermediate` (S × I). InternalError on overflow or an invalid width or
// group size.
std::uint64_t expected_cpu_cache_size(const ModelConfig& config, std::uint64_t group_size, std::uint8_t width,
                                      std::uint64_t num_layers, std::uint64_t shared_experts,
                                      std::uint64_t shared_intermediate);

// Validates the file against the configuration, the group size, all MoE layers `num_layers`, the fingerprint
// and the width, and copies MoE layers [start, start + count): E records per layer and, when the model has
// shared experts, one shared record per layer. Failures, in order: "Failed to open CPU cache: {}",
// "Failed to mmap CPU cache: {}", "CPU cache too small for header", "Bad magic in CPU cache",
// "Cache version {}, expected 4 (CPU)", "CPU cache header mismatch: file has …, expected …",
// "Config hash mismatch in CPU cache", "Shared expert count mismatch: cache={}, config={}",
// "CPU cache num_bits mismatch: cache=INT{}, expected INT{}", "Range [{}, {}) exceeds total MoE layers {}",
// "CPU cache size mismatch: expected {} bytes, got {}". Nothing stays mapped afterwards.
Result<CacheContents> load_cpu_cache(const std::filesystem::path& path, const ModelConfig& config,
                                     std::uint64_t group_size, std::uint64_t num_layers, std::uint64_t fingerprint,
                                     std::uint64_t start, std::uint64_t count, std::uint8_t width);

// Builds the CPU cache at `cache_path` (through "<cache>.bin.tmp") from the checkpoint's safetensors shards,
// one layer at a time, starting from the requested group size. Returns the group size used (a pre-quantized
// checkpoint's own, or the requested one halved until it divides the model), or the first error; a failed
// build leaves no file behind. Pre-quantized INT4 checkpoints cannot be built at width 8.
Result<std::uint64_t> streaming_build_cpu_cache(const std::filesystem::path& model_dir,
                                                const safetensors_io::SafetensorsIndex& index,
                                                const ModelConfig& config, std::uint64_t group_size,
                                                std::uint8_t width, std::uint64_t num_layers,
                                                std::uint64_t fingerprint, const std::filesystem::path& cache_path);

// The build under the cross-process lock "<cache>.bin.lock": builds, or waits for another process's build of
// the same file. When the build used another group size the file ends up under that size's name. Returns the
// group size of the cache now available, or an error text.
Result<std::uint64_t> build_cpu_cache_locked(const std::filesystem::path& model_dir,
                                             const safetensors_io::SafetensorsIndex& index,
                                             const ModelConfig& config, std::uint64_t group_size,
                                             const std::filesystem::path& cache_path, std::uint64_t fingerprint,
                                             std::uint64_t num_layers, std::uint8_t width,
                                             const BuildLockOptions& options = {});

}  // namespace orvane::weights
