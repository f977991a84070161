#include "core/logging.hpp"

#include <mutex>

#include <spdlog/cfg/env.h>
#include <spdlog/sinks/stdout_color_sinks.h>

namespace orvane::log {

namespace {
std::mutex g_mutex;

spdlog::sink_ptr shared_sink() {
    static spdlog::sink_ptr sink = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
    return sink;
}
}  // namespace

void init_from_env() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Errors only unless the environment says otherwise; named levels apply to loggers created later.
        spdlog::set_level(spdlog::level::err);
        spdlog::cfg::load_env_levels();
    });
}

spdlog::logger& target(const char* name) {
    init_from_env();
    std::lock_guard<std::mutex> lock(g_mutex);
    std::shared_ptr<spdlog::logger> logger = spdlog::get(name);
    if (!logger) {
        logger = std::make_shared<spdlog::logger>(name, shared_sink());
        spdlog::initialize_logger(logger);  // applies the level configured for this name
    }
    // Loggers live for the whole process; the registry keeps the owning reference.
    return *logger;
}

}  // namespace orvane::log
