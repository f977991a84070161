#pragma once
// The Marlin cache: every routed (and shared) expert of a model in the GPU Marlin layout that the host's
// prefill kernels read, one file per (model, width, group size) in <model_dir>/.orvane_cache. Layout and
// header: weights/cache_common.hpp (version 3; the width is part of the name). The build runs under the
// cross-process lock of weights/build_lock.hpp, so that of several processes loading the same model one
// builds and the others wait.
//
// Record arrays, with v = 8 values per word (INT4) or 4 (INT8) and H' = H + 64 when a routed expert's down
// matrix is padded (I = H and H not a multiple of 256), H' = H otherwise and for every shared record:
//   w13 packed 2I × (H / v) × 4, w13 scales 2I × (H / gs) × 2, w2 packed H' × (I / v) × 4,
//   w2 scales H' × (I / gs) × 2 bytes.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>

#include "core/errors.hpp"
#include "weights/build_lock.hpp"
#include "weights/cache_common.hpp"
#include "weights/config.hpp"
#include "weights/unified.hpp"

namespace orvane::weights {

// <model_dir>/.orvane_cache/experts_marlin_g{gs}.bin for INT4, experts_marlin_{width}b_g{gs}.bin otherwise.
std::filesystem::path cache_path_marlin(const std::filesystem::path& model_dir, std::uint64_t group_size,
                                        std::uint8_t width);

using MarlinExpertByteSizes = ExpertByteSizes;

// The four array sizes of one record. `padding` ByShape for routed experts, None for shared records. Widths
// other than 4 and 8, a zero group size or a size that overflows 64 bits throw InternalError.
MarlinExpertByteSizes marlin_expert_byte_sizes(std::uint64_t hidden, std::uint64_t intermediate,
                                               std::uint64_t group_size, std::uint8_t width,
                                               MarlinDownPadding padding = MarlinDownPadding::ByShape);

// 64 + L × E × P + (S > 0 ? L × P_s : 0), P_s for intermediate size S × I without padding.
std::uint64_t expected_marlin_cache_size(const ModelConfig& config, std::uint64_t group_size, std::uint8_t width,
                                         std::uint64_t num_layers);

// One record read from `bytes` at `offset` (advanced past it): both widths `width`, not tiled, no biases.
// A record running past the end throws InternalError and leaves `offset` unchanged.
UnifiedExpertWeights read_marlin_expert(std::span<const std::uint8_t> bytes, std::size_t& offset,
                                        std::uint64_t hidden, std::uint64_t intermediate, std::uint64_t group_size,
                                        std::uint8_t width, MarlinDownPadding padding = MarlinDownPadding::ByShape);

// Validates and copies MoE layers [start, start + count), as load_cpu_cache does. Failures, in order:
// "Failed to open Marlin cache: {}", "Failed to mmap Marlin cache: {}", "Marlin cache too small for header",
// "Bad magic in Marlin cache", "Cache version {}, expected 3 (Marlin)",
// "Marlin cache header mismatch: file has …, expected …", "Config hash mismatch in Marlin cache",
// "Shared expert count mismatch: cache={}, config={}", "Range [{}, {}) exceeds total MoE layers {}",
// "Marlin cache size mismatch: expected {} bytes, got {}".
Result<CacheContents> load_marlin_cache(const std::filesystem::path& path, const ModelConfig& config,
                                        std::uint64_t group_size, std::uint64_t num_layers,
                                        std::uint64_t fingerprint, std::uint64_t start, std::uint64_t count,
                                        std::uint8_t width);

// Builds the Marlin cache at `cache_path` (through "<cache>.bin.tmp"), reading the index itself and sizing the
// pool to the physical cores when no pool exists yet. Returns the group size used, or the first error; a
// failed build leaves no file behind. Meant to run under the build lock.
Result<std::uint64_t> streaming_build_marlin_cache(const std::filesystem::path& model_dir, const ModelConfig& config,
                                                   std::uint64_t group_size, std::uint64_t num_layers,
                                                   const std::filesystem::path& cache_path,
                                                   std::uint64_t fingerprint, std::uint8_t width);

// The build under the lock "<cache>.bin.lock", or the wait for another process's build. Returns the group
// size of the cache now available (after a build with another group size, the file carries that size's
// name), or an error text.
Result<std::uint64_t> build_marlin_cache_locked(const std::filesystem::path& model_dir, const ModelConfig& config,
                                                std::uint64_t group_size, const std::filesystem::path& cache_path,
                                                std::uint64_t fingerprint, std::uint64_t num_layers,
                                                std::uint8_t width, const BuildLockOptions& options = {});

}  // namespace orvane::weights
