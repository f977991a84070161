// Loading a HuggingFace model directory into a WeightStore: the Marlin cache for the host's GPU prefill and
// the CPU cache for the CPU kernels, each read when valid (whatever group size it was built with) and built
// otherwise, with the CPU side degrading to "no CPU experts" when only its freshly built cache is unreadable.

#include <array>
#include <chrono>

#include "core/logging.hpp"
#include "weights/cpu_cache.hpp"
#include "weights/experts.hpp"
#include "weights/marlin_cache.hpp"
#include "weights/safetensors_io.hpp"
#include "weights/store.hpp"

namespace orvane::weights {

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// A cache file that failed its checks is never used; it is removed before the rebuild so that the build lock
// (which returns at once when the file exists) does not take it for a finished build.
void remove_invalid_cache(const std::filesystem::path& path, const char* name) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return;
    log::weights().info("Removing invalid {} cache {}", name, path.string());
    std::filesystem::remove(path, ec);
}

struct MarlinLoad {
    CacheContents contents;
    std::uint64_t group_size = 0;
};

}  // namespace

Result<WeightStore> WeightStore::load_from_hf(const std::filesystem::path& model_dir, std::uint64_t group_size,
                                              std::optional<std::uint64_t> max_layers,
                                              std::optional<std::uint64_t> start_layer, std::uint8_t cpu_num_bits,
                                              std::uint8_t gpu_num_bits, const BuildLockOptions& lock_options) {
    const auto t0 = Clock::now();
    spdlog::logger& log = log::weights();

    Result<LoadedModelConfig> loaded = load_model_config(model_dir);
    if (!loaded) return std::unexpected(std::move(loaded.error()));
    const ModelConfig& config = loaded->config;
    const std::uint64_t fingerprint = loaded->fingerprint;
    log.info("Model config: hidden={}, moe_intermediate={}, experts={}, top-{}, layers={}, first_dense={}, "
             "cpu_bits={}, gpu_bits={}",
             config.hidden_size, config.moe_intermediate_size, config.n_routed_experts, config.num_experts_per_tok,
             config.num_hidden_layers, config.first_k_dense_replace, cpu_num_bits, gpu_num_bits);

    // The window of MoE layers.
    const std::uint64_t total = config.total_moe_layers();
    const std::uint64_t start = start_layer.value_or(0);
    if (start >= total) return std::unexpected(fmt::format("start_layer={} >= total MoE layers={}", start, total));
    std::uint64_t count = total - start;
    if (max_layers) {
        count = std::min(count, *max_layers);
        log.info("Partial load: MoE layers [{}..{}), {}/{} total", start, start + count, count, total);
    }

    const std::optional<std::uint64_t> hint = detect_group_size_hint(model_dir, config);
    const std::uint64_t primary = hint.value_or(group_size);

    // Marlin cache: any valid file among the candidate group sizes, else build under the lock.
    auto try_marlin = [&](std::uint64_t candidate) -> Result<CacheContents> {
        const std::filesystem::path path = cache_path_marlin(model_dir, candidate, gpu_num_bits);
        if (!std::filesystem::exists(path)) return std::unexpected(std::string());
        return load_marlin_cache(path, config, candidate, total, fingerprint, start, count, gpu_num_bits);
    };
    std::optional<MarlinLoad> marlin;
    for (std::uint64_t candidate : std::array<std::uint64_t, 5>{primary, group_size, 32, 64, 128}) {
        Result<CacheContents> r = try_marlin(candidate);
        if (r) {
            log.info("Loaded GPU Marlin INT{} cache in {:.1f}s (gs={}): {} layers, {} experts (+ {} shared)",
                     gpu_num_bits, seconds_since(t0), candidate, count, config.n_routed_experts, r->shared.size());
            marlin = MarlinLoad{std::move(*r), candidate};
            break;
        }
        if (candidate == primary && !r.error().empty())
            log.warn("Marlin cache invalid (gs={}): {}", candidate, r.error());
    }
    std::uint64_t effective = 0;
    if (marlin) {
        effective = marlin->group_size;
    } else {
        log.info("No Marlin INT{} cache found, building from safetensors...", gpu_num_bits);
        const std::filesystem::path marlin_path = cache_path_marlin(model_dir, primary, gpu_num_bits);
        remove_invalid_cache(marlin_path, "Marlin");
        Result<std::uint64_t> built = build_marlin_cache_locked(model_dir, config, group_size, marlin_path,
                                                                fingerprint, total, gpu_num_bits, lock_options);
        if (!built) return std::unexpected(std::move(built.error()));
        for (std::uint64_t candidate : std::array<std::uint64_t, 6>{*built, primary, group_size, 32, 64, 128}) {
            Result<CacheContents> r = try_marlin(candidate);
            if (r) {
                log.info("Loaded GPU Marlin cache in {:.1f}s (built gs={})", seconds_since(t0), candidate);
                marlin = MarlinLoad{std::move(*r), candidate};
                break;
            }
        }
        if (marlin) {
            effective = marlin->group_size;
        } else {
            log.warn("All Marlin cache attempts failed — GPU prefill will not be available");
            effective = *built;
        }
    }

    // CPU cache at the effective group size, else built (from the requested group size) and read back.
    std::optional<CacheContents> cpu;
    std::uint64_t store_group_size = effective;
    const std::filesystem::path cpu_path = cache_path_cpu(model_dir, cpu_num_bits, effective);
    if (std::filesystem::exists(cpu_path)) {
        Result<CacheContents> r =
            load_cpu_cache(cpu_path, config, effective, total, fingerprint, start, count, cpu_num_bits);
        if (r) {
            log.info("Loaded CPU INT{} cache in {:.1f}s: {} layers, {} experts (+ {} shared)", cpu_num_bits,
                     seconds_since(t0), count, config.n_routed_experts, r->shared.size());
            cpu = std::move(*r);
        } else {
            log.warn("CPU cache invalid: {}", r.error());
            remove_invalid_cache(cpu_path, "CPU");
        }
    }
    if (!cpu) {
        log.info("No CPU INT{} cache found, building from safetensors...", cpu_num_bits);
        Result<safetensors_io::SafetensorsIndex> index = safetensors_io::read_safetensors_index(model_dir);
        if (!index) return std::unexpected(std::move(index.error()));
        Result<std::uint64_t> built = build_cpu_cache_locked(model_dir, *index, config, group_size, cpu_path,
                                                             fingerprint, total, cpu_num_bits, lock_options);
        if (!built) return std::unexpected(std::move(built.error()));
        const std::uint64_t gs_cpu = *built;
        std::filesystem::path path = cpu_path;
        if (gs_cpu != effective) {
            const std::filesystem::path renamed = cache_path_cpu(model_dir, cpu_num_bits, gs_cpu);
            if (renamed != cpu_path) {
                std::error_code ec;
                if (std::filesystem::exists(cpu_path, ec)) std::filesystem::rename(cpu_path, renamed, ec);
                if (std::filesystem::exists(renamed)) path = renamed;
            }
        }
        Result<CacheContents> r = load_cpu_cache(path, config, gs_cpu, total, fingerprint, start, count, cpu_num_bits);
        if (r) {
            log.info("Loaded CPU INT{} cache after build in {:.1f}s", cpu_num_bits, seconds_since(t0));
            cpu = std::move(*r);
            store_group_size = gs_cpu;
        } else {
            log.warn("Failed to load built CPU cache: {}", r.error());
            log.warn("CPU cache not loaded — CPU decode will use legacy path if available");
        }
    }

    WeightStore store;
    store.config = config;
    store.group_size = store_group_size;
    store.cpu_num_bits = cpu_num_bits;
    store.gpu_num_bits = gpu_num_bits;
    if (marlin) {
        store.experts_gpu = std::move(marlin->contents.layers);
        store.shared_experts_gpu = std::move(marlin->contents.shared);
    }
    if (cpu) {
        store.experts_cpu = std::move(cpu->layers);
        store.shared_experts_cpu = std::move(cpu->shared);
    }
    log.info("Dual cache loaded in {:.1f}s: {} MoE layers, GPU={} CPU=INT{}{}, gs={}", seconds_since(t0), count,
             marlin ? "Marlin" : "none", cpu_num_bits, cpu ? "" : "(none)", store.group_size);
    return store;
}

}  // namespace orvane::weights
