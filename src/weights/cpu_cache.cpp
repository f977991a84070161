#include "weights/cpu_cache.hpp"

#include <fmt/format.h>

#include "weights/unified.hpp"

namespace orvane::weights {

namespace {

// Record sizes of a configuration; InternalError when a size does not fit in 64 bits.
RecordBytesFn cpu_record_bytes(const ModelConfig& config, std::uint8_t width) {
    return [hidden = config.hidden_size, inter = config.moe_intermediate_size, count = config.n_shared_experts,
            width](std::uint64_t group_size, bool shared) {
        return cpu_expert_byte_sizes(hidden, shared ? shared_intermediate_size(count, inter) : inter, group_size,
                                     width)
            .total();
    };
}

}  // namespace

std::filesystem::path cache_path_cpu(const std::filesystem::path& model_dir, std::uint8_t width,
                                     std::uint64_t group_size) {
    return model_dir / kCacheDirName / fmt::format("experts_cpu_int{}_g{}.bin", width, group_size);
}

std::uint64_t expected_cpu_cache_size(const ModelConfig& config, std::uint64_t group_size, std::uint8_t width,
                                      std::uint64_t num_layers, std::uint64_t shared_experts,
                                      std::uint64_t shared_intermediate) {
    const std::uint64_t record =
        cpu_expert_byte_sizes(config.hidden_size, config.moe_intermediate_size, group_size, width).total();
    const std::uint64_t shared_record =
        shared_experts > 0 ? cpu_expert_byte_sizes(config.hidden_size, shared_intermediate, group_size, width).total()
                           : 0;
    return cache_file_size(num_layers, config.n_routed_experts, record, shared_experts, shared_record);
}

Result<CacheContents> load_cpu_cache(const std::filesystem::path& path, const ModelConfig& config,
                                     std::uint64_t group_size, std::uint64_t num_layers, std::uint64_t fingerprint,
                                     std::uint64_t start, std::uint64_t count, std::uint8_t width) {
    const CacheReadRequest request{CacheKind::Cpu, path, config, group_size, num_layers,
                                   fingerprint, start, count, width};
    const std::uint64_t hidden = config.hidden_size;
    const std::uint64_t inter = config.moe_intermediate_size;
    const std::uint64_t shared_inter = config.n_shared_experts * inter;  // checked by the size arithmetic first
    return load_cache(request, cpu_record_bytes(config, width),
                      [&](std::span<const std::uint8_t> bytes, std::size_t& offset, bool shared) {
                          return read_unified_expert_cpu(bytes, offset, hidden, shared ? shared_inter : inter,
                                                         group_size, width);
                      });
}

Result<std::uint64_t> streaming_build_cpu_cache(const std::filesystem::path& model_dir,
                                                const safetensors_io::SafetensorsIndex& index,
                                                const ModelConfig& config, std::uint64_t group_size,
                                                std::uint8_t width, std::uint64_t num_layers,
                                                std::uint64_t fingerprint, const std::filesystem::path& cache_path) {
    if (width != 4 && width != 8) return std::unexpected(fmt::format("CPU cache width must be 4 or 8, got {}", width));
    if (config.n_shared_experts > 0) {
        std::uint64_t s = 0;
        if (__builtin_mul_overflow(config.n_shared_experts, config.moe_intermediate_size, &s))
            return std::unexpected(std::string("Shared expert intermediate size overflows 64 bits"));
    }
    StreamingBuildRequest request;
    request.kind = CacheKind::Cpu;
    request.model_dir = model_dir;
    request.index = &index;
    request.config = config;
    request.fingerprint = fingerprint;
    request.group_size = group_size;
    request.width = width;
    request.num_layers = num_layers;
    request.cache_path = cache_path;
    return streaming_build_cache(
        request,
        [width](const ExpertWeights& expert, bool) {
            return width == 4 ? UnifiedExpertWeights::from_expert_weights(expert)
                              : UnifiedExpertWeights::from_expert_weights_int8(expert);
        },
        cpu_record_bytes(config, width));
}

Result<std::uint64_t> build_cpu_cache_locked(const std::filesystem::path& model_dir,
                                             const safetensors_io::SafetensorsIndex& index,
                                             const ModelConfig& config, std::uint64_t group_size,
                                             const std::filesystem::path& cache_path, std::uint64_t fingerprint,
                                             std::uint64_t num_layers, std::uint8_t width,
                                             const BuildLockOptions& options) {
    const CacheLockSpec lock_spec{"CPU", width, group_size, cache_path,
                                  [model_dir, width](std::uint64_t gs) { return cache_path_cpu(model_dir, width, gs); },
                                  num_layers};
    return build_cache_locked(
        lock_spec,
        [&]() {
            return streaming_build_cpu_cache(model_dir, index, config, group_size, width, num_layers, fingerprint,
                                             cache_path);
        },
        options);
}

}  // namespace orvane::weights
