#pragma once
// Logging targets. One spdlog logger per module path ("orvane::decode", ...), all writing to stderr.
// Levels come from SPDLOG_LEVEL (e.g. "info" or "orvane::decode=debug"); with nothing set only errors are
// shown.

#include <spdlog/spdlog.h>

namespace orvane::log {

// Initialises the backend from the environment, once per process. Safe to call repeatedly.
void init_from_env();

// The logger of a target, created on first use (existing loggers of that name are kept).
spdlog::logger& target(const char* name);

inline spdlog::logger& decode() {
    static spdlog::logger& l = target("orvane::decode");
    return l;
}
inline spdlog::logger& moe() {
    static spdlog::logger& l = target("orvane::moe");
    return l;
}
inline spdlog::logger& weights() {
    static spdlog::logger& l = target("orvane::weights");
    return l;
}
inline spdlog::logger& numa() {
    static spdlog::logger& l = target("orvane::numa");
    return l;
}
inline spdlog::logger& syscheck() {
    static spdlog::logger& l = target("orvane::syscheck");
    return l;
}

}  // namespace orvane::log
