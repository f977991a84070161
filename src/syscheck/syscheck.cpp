#include "syscheck/syscheck.hpp"

#include <charconv>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <system_error>

#include <sys/prctl.h>

#include "core/files.hpp"
#include "core/logging.hpp"

namespace orvane::syscheck {

namespace {

constexpr std::string_view kGovernor = "/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor";
constexpr std::string_view kThpEnabled = "/sys/kernel/mm/transparent_hugepage/enabled";
constexpr std::string_view kHugepages1G = "/sys/kernel/mm/hugepages/hugepages-1048576kB/nr_hugepages";
constexpr std::string_view kHugepages2M = "/sys/kernel/mm/hugepages/hugepages-2048kB/nr_hugepages";
constexpr std::string_view kMeminfo = "/proc/meminfo";
constexpr std::string_view kSelfStatus = "/proc/self/status";
constexpr std::string_view kNodeDir = "/sys/devices/system/node";

using files::read_text;
using files::under;

std::string_view trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\n\r\f\v");
    if (first == std::string_view::npos) return {};
    const auto last = s.find_last_not_of(" \t\n\r\f\v");
    return s.substr(first, last - first + 1);
}

// An unsigned decimal of type T with an optional leading '+', nothing else; none on overflow.
template <class T>
std::optional<T> parse_unsigned(std::string_view s) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty() || s.front() < '0' || s.front() > '9') return std::nullopt;
    T value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return value;
}

// The value (kB) of the first line starting with `key` in a meminfo-style text; 0 when missing.
uint64_t field_kb(std::string_view text, std::string_view key) {
    while (!text.empty()) {
        const auto eol = text.find('\n');
        const std::string_view line = text.substr(0, eol);
        if (line.starts_with(key)) return parse_meminfo_value(line).value_or(0);
        if (eol == std::string_view::npos) break;
        text.remove_prefix(eol + 1);
    }
    return 0;
}

double kb_to_gib(uint64_t kb) { return static_cast<double>(kb) / 1024.0 / 1024.0; }

void check_governor(spdlog::logger& log, const std::filesystem::path& root) {
    const auto text = read_text(under(root, kGovernor));
    if (!text) {
        log.info("CPU governor: could not read (may not be available in this environment)");
        return;
    }
    const std::string_view governor = trim(*text);
    if (governor == "performance")
        log.info("CPU governor: performance ✓");
    else
        log.warn("CPU governor is '{}' — set to 'performance' for best throughput: sudo cpupower "
                 "frequency-set -g performance",
                 governor);
}

void check_thp(spdlog::logger& log, const std::filesystem::path& root) {
    const auto text = read_text(under(root, kThpEnabled));
    if (!text) {
        log.info("Transparent hugepages: could not read");
        return;
    }
    // Only the bracketed entry is the active mode.
    if (text->find("[never]") != std::string::npos)
        log.warn("⚠ Transparent hugepages DISABLED system-wide — expect 15-20% slower decode! Model weights "
                 "span 20+ GB across millions of 4K pages, causing constant TLB misses. Fix: echo madvise | "
                 "sudo tee {}",
                 kThpEnabled);
    else if (text->find("[always]") != std::string::npos || text->find("[madvise]") != std::string::npos)
        log.info("Transparent hugepages: enabled ✓");
    else
        log.info("Transparent hugepages: unknown state ({})", trim(*text));
}

void check_process_thp(spdlog::logger& log, int thp_disable) {
    if (thp_disable == 1)
        log.warn("⚠ THP disabled for this process (PR_SET_THP_DISABLE=1, often inherited from tmux). "
                 "OrvaneEngine::new() will re-enable it automatically, but if you see this warning from a "
                 "standalone script, call orvane.system_check() after creating the engine.");
}

void check_hugepages(spdlog::logger& log, const std::filesystem::path& root) {
    if (const auto text = read_text(under(root, kHugepages1G))) {
        const uint64_t count = parse_unsigned<uint64_t>(trim(*text)).value_or(0);
        if (count > 0)
            log.info("1GB hugepages: {} allocated ({} GB) ✓", count, count);
        else
            log.info("1GB hugepages: none allocated (optional — can improve TLB for large models)");
    }
    if (const auto text = read_text(under(root, kHugepages2M))) {
        const uint64_t count = parse_unsigned<uint64_t>(trim(*text)).value_or(0);
        if (count > 0)
            log.info("2MB hugepages: {} allocated ({:.1f} GB)", count, static_cast<double>(count) * 2.0 / 1024.0);
    }
}

void check_memory(spdlog::logger& log, const std::filesystem::path& root, double model_gb) {
    const auto text = read_text(under(root, kMeminfo));
    if (!text) {
        log.info("Memory info: could not read /proc/meminfo");
        return;
    }
    const double total = kb_to_gib(field_kb(*text, "MemTotal:"));
    const double available = kb_to_gib(field_kb(*text, "MemAvailable:"));
    log.info("System memory: {:.1f} GB total, {:.1f} GB available", total, available);
    if (!(model_gb > 0)) return;
    const double headroom = available - model_gb;
    if (headroom < 0)
        log.warn("INSUFFICIENT MEMORY: model needs {:.1f} GB but only {:.1f} GB available. System may OOM or "
                 "swap heavily.",
                 model_gb, available);
    else if (headroom < 32)
        log.warn("Low memory headroom: model needs {:.1f} GB, {:.1f} GB available ({:.1f} GB free). Consider "
                 "closing other applications.",
                 model_gb, available, headroom);
    else
        log.info("Memory budget: {:.1f} GB for model, {:.1f} GB headroom ✓", model_gb, headroom);
}

void check_numa(spdlog::logger& log, const std::filesystem::path& root) {
    const std::filesystem::path dir = under(root, kNodeDir);
    std::error_code ec;
    if (!std::filesystem::exists(dir, ec)) {
        log.info("NUMA info: not available");
        return;
    }
    std::size_t nodes = 0;
    std::filesystem::directory_iterator it(dir, ec);
    for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.starts_with("node") && parse_unsigned<uint32_t>(std::string_view(name).substr(4))) ++nodes;
    }
    if (nodes > 1)
        log.info("NUMA: {} nodes detected — future: NUMA-aware expert pinning", nodes);
    else
        log.info("NUMA: single node (no NUMA-aware pinning needed)");
}

void check_cpu(spdlog::logger& log, const CpuFeatures& cpu) {
    if (cpu.avx2 && cpu.fma && cpu.avx512f)
        log.info("CPU features: AVX2 + FMA + AVX-512 ✓");
    else if (cpu.avx2 && cpu.fma)
        log.info("CPU features: AVX2 + FMA ✓ (no AVX-512, using AVX2 kernel)");
    else
        log.warn("CPU features: AVX2={}, FMA={} — both required for INT4 matmul!", cpu.avx2, cpu.fma);
}

}  // namespace

Environment Environment::current() {
    Environment env;
    env.cpu = cpu_features();
    env.thp_disable = prctl(PR_GET_THP_DISABLE, 0, 0, 0, 0);
    return env;
}

std::optional<uint64_t> parse_meminfo_value(std::string_view line) {
    constexpr std::string_view kSpace = " \t\n\r\f\v";
    const auto first_end = line.find_first_of(kSpace, line.find_first_not_of(kSpace));
    if (first_end == std::string_view::npos) return std::nullopt;
    const auto second = line.find_first_not_of(kSpace, first_end);
    if (second == std::string_view::npos) return std::nullopt;
    const auto second_end = line.find_first_of(kSpace, second);
    return parse_unsigned<uint64_t>(line.substr(second, second_end - second));
}

void run_startup_checks(double model_gb) { run_startup_checks(model_gb, Environment::current()); }

void run_startup_checks(double model_gb, const Environment& env) {
    spdlog::logger& log = orvane::log::syscheck();
    check_governor(log, env.root);
    check_thp(log, env.root);
    check_process_thp(log, env.thp_disable);
    check_hugepages(log, env.root);
    check_memory(log, env.root, model_gb);
    check_numa(log, env.root);
    check_cpu(log, env.cpu);
}

void log_memory_usage(std::string_view label) { log_memory_usage(label, "/"); }

void log_memory_usage(std::string_view label, const std::filesystem::path& root) {
    spdlog::logger& log = orvane::log::syscheck();
    if (!log.should_log(spdlog::level::info)) return;  // the figures are only read for the line
    const std::string status = read_text(under(root, kSelfStatus)).value_or(std::string());
    const std::string meminfo = read_text(under(root, kMeminfo)).value_or(std::string());
    log.info("{}: process RSS={:.1f} GiB, VSZ={:.1f} GiB | system avail={:.1f}/{:.1f} GiB, page_cache={:.1f} GiB",
             label, kb_to_gib(field_kb(status, "VmRSS:")), kb_to_gib(field_kb(status, "VmSize:")),
             kb_to_gib(field_kb(meminfo, "MemAvailable:")), kb_to_gib(field_kb(meminfo, "MemTotal:")),
             kb_to_gib(field_kb(meminfo, "Cached:") + field_kb(meminfo, "Buffers:")));
}

}  // namespace orvane::syscheck
