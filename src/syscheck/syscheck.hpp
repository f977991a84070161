#pragma once
// Start-up system checks and memory-usage logging, reported through the `orvane::syscheck` log target.
//
// Nothing here fails or changes the machine: unreadable files, missing lines and unparsable numbers are
// reported or read as zero. Every file is read under a root directory ("/" on a real machine), so the
// checks can be run against a fabricated /sys and /proc tree.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

#include "core/cpu_features.hpp"

namespace orvane::syscheck {

// What the checks look at besides files.
struct Environment {
    std::filesystem::path root = "/";
    CpuFeatures cpu;          // the processor's feature flags
    int thp_disable = 0;      // prctl(PR_GET_THP_DISABLE) of the calling process

    // The running process and machine.
    static Environment current();
};

// Governor, transparent and reserved huge pages, memory budget (when model_gb > 0), NUMA nodes and CPU
// features, one log line each (as the findings call for).
void run_startup_checks(double model_gb);
void run_startup_checks(double model_gb, const Environment& env);

// "{label}: process RSS=… GiB, VSZ=… GiB | system avail=…/… GiB, page_cache=… GiB" at info level.
void log_memory_usage(std::string_view label);
void log_memory_usage(std::string_view label, const std::filesystem::path& root);

// The second whitespace-separated field of a meminfo or status line as an unsigned decimal ("MemTotal:
// 65862344 kB" -> 65862344); none when it is missing or not a number.
std::optional<uint64_t> parse_meminfo_value(std::string_view line);

}  // namespace orvane::syscheck
