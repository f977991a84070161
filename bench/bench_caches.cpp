// The CPU expert cache and the Marlin cache on a synthetic BF16 checkpoint of several GB: build throughput
// (GB/s of BF16 expert input), the build's peak resident memory against one layer's working set, and the
// load from each cache (GB/s of records copied) against the machine's streaming-read and memcpy bandwidth.
//
// Usage: bench_caches [CHECKPOINT_DIR]
// Without an argument the checkpoint is build/bench_data/caches_model, written once by
// bench/make_bench_checkpoint.py (run with $ORVANE_PYTHON, default .venv/bin/python) when missing.
//
// Each build runs in a child process (this binary re-run with --child), so that its peak resident memory
// (VmHWM) is its own. The checkpoint is read through the page cache; the first build may include disk reads.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "common/bandwidth.hpp"
#include "core/thread_pool.hpp"
#include "weights/config.hpp"
#include "weights/cpu_cache.hpp"
#include "weights/marlin_cache.hpp"
#include "weights/safetensors_io.hpp"
#include "weights/unified.hpp"

using namespace orvane;
using namespace orvane::weights;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint64_t kGroupSize = 128;
constexpr std::uint8_t kWidth = 4;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// A "Vm…:" field of /proc/self/status in kB.
std::uint64_t status_kb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0) return std::strtoull(line.c_str() + key.size(), nullptr, 10);
    return 0;
}

fs::path cache_path(bool cpu, const fs::path& dir) {
    return cpu ? cache_path_cpu(dir, kWidth, kGroupSize) : cache_path_marlin(dir, kGroupSize, kWidth);
}

// The child: one build, then "RESULT seconds group_size baseline_kb peak_kb" on stdout.
int run_child(const std::string& which, const fs::path& dir) {
    const bool cpu = which == "cpu";
    const std::uint64_t baseline = status_kb("VmRSS");
    auto cfg = load_model_config(dir);
    if (!cfg) return fmt::print(stderr, "{}\n", cfg.error()), 1;
    const std::uint64_t layers = cfg->config.total_moe_layers();
    const auto t0 = Clock::now();
    Result<std::uint64_t> built;
    if (cpu) {
        auto index = safetensors_io::read_safetensors_index(dir);
        if (!index) return fmt::print(stderr, "{}\n", index.error()), 1;
        built = streaming_build_cpu_cache(dir, *index, cfg->config, kGroupSize, kWidth, layers, cfg->fingerprint,
                                          cache_path(true, dir));
    } else {
        built = streaming_build_marlin_cache(dir, cfg->config, kGroupSize, layers, cache_path(false, dir),
                                             cfg->fingerprint, kWidth);
    }
    const double seconds = seconds_since(t0);
    if (!built) return fmt::print(stderr, "build failed: {}\n", built.error()), 1;
    fmt::print("RESULT {} {} {} {}\n", seconds, *built, baseline, status_kb("VmHWM"));
    return 0;
}

struct BuildFigures {
    double seconds = 0;
    std::uint64_t baseline_kb = 0;
    std::uint64_t peak_kb = 0;
};

std::optional<BuildFigures> run_build(const char* self, bool cpu, const fs::path& dir) {
    std::error_code ec;
    fs::remove(cache_path(cpu, dir), ec);
    const std::string command = fmt::format("'{}' --child {} '{}'", self, cpu ? "cpu" : "marlin", dir.string());
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return std::nullopt;
    std::optional<BuildFigures> figures;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        BuildFigures f;
        std::uint64_t gs = 0;
        if (std::sscanf(line, "RESULT %lf %lu %lu %lu", &f.seconds, &gs, &f.baseline_kb, &f.peak_kb) == 4)
            figures = f;
    }
    if (::pclose(pipe) != 0) return std::nullopt;
    return figures;
}

fs::path ensure_checkpoint(const char* argv0, int argc, char** argv) {
    if (argc > 1) return argv[1];
    const fs::path dir = "build/bench_data/caches_model";
    if (fs::exists(dir / "model.safetensors.index.json")) return dir;
    const char* py = std::getenv("ORVANE_PYTHON");
    const std::string python = py != nullptr && *py != '\0' ? py : ".venv/bin/python";
    fs::path script = "bench/make_bench_checkpoint.py";
    if (!fs::exists(script)) script = fs::path(__FILE__).parent_path() / "make_bench_checkpoint.py";
    fmt::print("writing the benchmark checkpoint {} (once)...\n", dir.string());
    std::fflush(stdout);
    const std::string command = fmt::format("'{}' '{}' '{}'", python, script.string(), dir.string());
    if (std::system(command.c_str()) != 0) {
        fmt::print(stderr, "{}: could not write the checkpoint with: {}\n", argv0, command);
        std::exit(1);
    }
    return dir;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--child") return run_child(argv[2], argv[3]);
    const fs::path dir = ensure_checkpoint(argv[0], argc, argv);
    auto cfg = load_model_config(dir);
    if (!cfg) return fmt::print(stderr, "{}\n", cfg.error()), 1;
    const ModelConfig& c = cfg->config;
    const std::uint64_t layers = c.total_moe_layers();
    const std::uint64_t H = c.hidden_size, I = c.moe_intermediate_size, E = c.n_routed_experts;
    const std::uint64_t shared_inter = c.n_shared_experts * I;
    const double bf16_layer = 3.0 * H * I * 2 * E;
    const double bf16_total = layers * (bf16_layer + (c.n_shared_experts > 0 ? 3.0 * H * shared_inter * 2 : 0.0));

    // The build's working set of one layer: the layer's BF16 pages, its quantized experts and their records.
    const double cpu_record = static_cast<double>(cpu_expert_byte_sizes(H, I, kGroupSize, kWidth).total());
    const double marlin_record = static_cast<double>(marlin_expert_byte_sizes(H, I, kGroupSize, kWidth).total());

    fmt::print("# Expert caches: build and load (H = {}, I = {}, E = {}, {} MoE layers, {} shared, INT{}, group size {})\n\n",
               H, I, E, layers, c.n_shared_experts, kWidth, kGroupSize);
    fmt::print("checkpoint: {} ({:.2f} GB of BF16 experts, {:.0f} MB per layer); pool threads: {}\n\n", dir.string(),
               bf16_total / 1e9, bf16_layer / 1e6, pool::available_cpus());

    struct Row {
        const char* cache;
        bool cpu;
        double record;
    };
    const Row rows[] = {{"CPU INT4", true, cpu_record}, {"Marlin INT4", false, marlin_record}};
    std::vector<std::optional<BuildFigures>> builds;
    for (const Row& r : rows) builds.push_back(run_build(argv[0], r.cpu, dir));

    const bench::BandwidthProbe probe;
    const double read_gbps = probe.read_gbps();
    const double memcpy_gbps = probe.memcpy_gbps();
    fmt::print("memory bandwidth: streaming read {:.1f} GB/s, memcpy {:.1f} GB/s (all pool threads)\n\n", read_gbps,
               memcpy_gbps);

    fmt::print("| cache | build s | build GB/s (BF16 in) | build peak RSS | one layer's working set | file GB | "
               "load s | load GB/s | load / read bw | load / memcpy bw |\n");
    fmt::print("|---|---|---|---|---|---|---|---|---|---|\n");
    for (std::size_t k = 0; k < 2; ++k) {
        const Row& r = rows[k];
        const auto& b = builds[k];
        const fs::path path = cache_path(r.cpu, dir);
        if (!b || !fs::exists(path)) {
            fmt::print("| {} | build failed | | | | | | | | |\n", r.cache);
            continue;
        }
        const double file_gb = static_cast<double>(fs::file_size(path)) / 1e9;
        const double working_set = bf16_layer + 2.0 * E * r.record;
        double best = 1e30;
        for (int run = 0; run < 3; ++run) {
            const auto t0 = Clock::now();
            auto loaded = r.cpu ? load_cpu_cache(path, c, kGroupSize, layers, cfg->fingerprint, 0, layers, kWidth)
                                : load_marlin_cache(path, c, kGroupSize, layers, cfg->fingerprint, 0, layers, kWidth);
            const double s = seconds_since(t0);
            if (!loaded) return fmt::print(stderr, "load failed: {}\n", loaded.error()), 1;
            best = std::min(best, s);
        }
        const double load_gbps = file_gb / best;
        fmt::print("| {} | {:.2f} | {:.2f} | {:.0f} MB (+{:.0f} MB over start) | {:.0f} MB | {:.2f} | {:.3f} | {:.2f} | "
                   "{:.0f}% | {:.0f}% |\n",
                   r.cache, b->seconds, bf16_total / 1e9 / b->seconds, b->peak_kb / 1e3,
                   (static_cast<double>(b->peak_kb) - static_cast<double>(b->baseline_kb)) / 1e3, working_set / 1e6,
                   file_gb, best, load_gbps, 100.0 * load_gbps / read_gbps, 100.0 * load_gbps / memcpy_gbps);
    }
    fmt::print("\nBuild peak RSS is the child's VmHWM; the working set counts one layer's BF16 pages, its quantized "
               "experts and its records. Loads copy every record out of the page cache (best of 3).\n");
    return 0;
}
