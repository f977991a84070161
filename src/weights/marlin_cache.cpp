#include "weights/marlin_cache.hpp"

#include <fmt/format.h>

namespace orvane::weights {

namespace {

std::uint64_t mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r = 0;
    ORVANE_CHECK(!__builtin_mul_overflow(a, b, &r), "Marlin record size {} × {} overflows 64 bits", a, b);
    return r;
}

RecordBytesFn marlin_record_bytes(const ModelConfig& config, std::uint8_t width) {
    return [hidden = config.hidden_size, inter = config.moe_intermediate_size, count = config.n_shared_experts,
            width](std::uint64_t group_size, bool shared) {
        if (shared)
            return marlin_expert_byte_sizes(hidden, shared_intermediate_size(count, inter), group_size, width,
                                            MarlinDownPadding::None)
                .total();
        return marlin_expert_byte_sizes(hidden, inter, group_size, width, MarlinDownPadding::ByShape).total();
    };
}

MarlinDownPadding padding_of(bool shared) { return shared ? MarlinDownPadding::None : MarlinDownPadding::ByShape; }

}  // namespace

std::filesystem::path cache_path_marlin(const std::filesystem::path& model_dir, std::uint64_t group_size,
                                        std::uint8_t width) {
    const std::string name = width == 4 ? fmt::format("experts_marlin_g{}.bin", group_size)
                                        : fmt::format("experts_marlin_{}b_g{}.bin", width, group_size);
    return model_dir / kCacheDirName / name;
}

MarlinExpertByteSizes marlin_expert_byte_sizes(std::uint64_t hidden, std::uint64_t intermediate,
                                               std::uint64_t group_size, std::uint8_t width,
                                               MarlinDownPadding padding) {
    ORVANE_CHECK(width == 4 || width == 8, "Marlin width must be 4 or 8 bits, got {}", width);
    ORVANE_CHECK(group_size != 0, "group size must not be 0");
    const std::uint64_t per_word = width == 4 ? 8 : 4;
    const std::uint64_t padded_hidden =
        padding == MarlinDownPadding::ByShape && marlin_down_padded(hidden, intermediate)
            ? hidden + kMarlinDownPadRows
            : hidden;
    const std::uint64_t rows13 = mul(2, intermediate);
    MarlinExpertByteSizes s;
    s.w13_packed = mul(mul(rows13, hidden / per_word), 4);
    s.w13_scales = mul(mul(rows13, hidden / group_size), 2);
    s.w2_packed = mul(mul(padded_hidden, intermediate / per_word), 4);
    s.w2_scales = mul(mul(padded_hidden, intermediate / group_size), 2);
    std::uint64_t total = 0;
    ORVANE_CHECK(!__builtin_add_overflow(s.w13_packed, s.w13_scales, &total) &&
                     !__builtin_add_overflow(total, s.w2_packed, &total) &&
                     !__builtin_add_overflow(total, s.w2_scales, &total),
                 "Marlin record of H={} I={} overflows 64 bits", hidden, intermediate);
    return s;
}

std::uint64_t expected_marlin_cache_size(const ModelConfig& config, std::uint64_t group_size, std::uint8_t width,
                                         std::uint64_t num_layers) {
    const RecordBytesFn bytes = marlin_record_bytes(config, width);
    const std::uint64_t shared = config.n_shared_experts;
    return cache_file_size(num_layers, config.n_routed_experts, bytes(group_size, false), shared,
                           shared > 0 ? bytes(group_size, true) : 0);
}

UnifiedExpertWeights read_marlin_expert(std::span<const std::uint8_t> bytes, std::size_t& offset,
                                        std::uint64_t hidden, std::uint64_t intermediate, std::uint64_t group_size,
                                        std::uint8_t width, MarlinDownPadding padding) {
    return read_expert_record(bytes, offset,
                              marlin_expert_byte_sizes(hidden, intermediate, group_size, width, padding), hidden,
                              intermediate, group_size, width, width);
}

Result<CacheContents> load_marlin_cache(const std::filesystem::path& path, const ModelConfig& config,
                                        std::uint64_t group_size, std::uint64_t num_layers,
                                        std::uint64_t fingerprint, std::uint64_t start, std::uint64_t count,
                                        std::uint8_t width) {
    const CacheReadRequest request{CacheKind::Marlin, path, config, group_size, num_layers,
                                   fingerprint, start, count, width};
    const std::uint64_t hidden = config.hidden_size;
    const std::uint64_t inter = config.moe_intermediate_size;
    const std::uint64_t shared_inter = config.n_shared_experts * inter;  // checked by the size arithmetic first
    return load_cache(request, marlin_record_bytes(config, width),
                      [&](std::span<const std::uint8_t> bytes, std::size_t& offset, bool shared) {
                          return read_marlin_expert(bytes, offset, hidden, shared ? shared_inter : inter, group_size,
                                                    width, padding_of(shared));
                      });
}

Result<std::uint64_t> streaming_build_marlin_cache(const std::filesystem::path& model_dir, const ModelConfig& config,
                                                   std::uint64_t group_size, std::uint64_t num_layers,
                                                   const std::filesystem::path& cache_path,
                                                   std::uint64_t fingerprint, std::uint8_t width) {
    if (width != 4 && width != 8)
        return std::unexpected(fmt::format("Marlin cache width must be 4 or 8, got {}", width));
    init_build_pool();
    StreamingBuildRequest request;
    request.kind = CacheKind::Marlin;
    request.model_dir = model_dir;
    request.index = nullptr;  // read here
    request.config = config;
    request.fingerprint = fingerprint;
    request.group_size = group_size;
    request.width = width;
    request.num_layers = num_layers;
    request.cache_path = cache_path;
    return streaming_build_cache(
        request,
        [width](const ExpertWeights& expert, bool shared) {
            return UnifiedExpertWeights::from_expert_weights_marlin(expert, width, padding_of(shared));
        },
        marlin_record_bytes(config, width));
}

Result<std::uint64_t> build_marlin_cache_locked(const std::filesystem::path& model_dir, const ModelConfig& config,
                                                std::uint64_t group_size, const std::filesystem::path& cache_path,
                                                std::uint64_t fingerprint, std::uint64_t num_layers,
                                                std::uint8_t width, const BuildLockOptions& options) {
    const CacheLockSpec lock_spec{"Marlin", width, group_size, cache_path,
                                  [model_dir, width](std::uint64_t gs) { return cache_path_marlin(model_dir, gs, width); },
                                  num_layers};
    return build_cache_locked(
        lock_spec,
        [&]() {
            return streaming_build_marlin_cache(model_dir, config, group_size, num_layers, cache_path, fingerprint,
                                                width);
        },
        options);
}

}  // namespace orvane::weights
