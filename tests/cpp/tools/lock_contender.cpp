// A process that competes for a cache build lock, for the build-lock tests.
//
//   orvane_lock_contender DIR NAME GS MODE [key=value ...]
//
// Runs build_cache_locked for the cache of group size GS in DIR ("Marlin" or "CPU" names the cache and its
// file names) with a fake build chosen by MODE:
//   ok     write the cache through the temporary file and return the group size `built` (default GS)
//   fail   write part of the temporary file, then return the error "fake build failed"
//   hang   write part of the temporary file, then wait until killed
// Keys: marker=FILE (the build appends this PID and a newline to FILE as it starts), release=FILE (the build
// waits until FILE exists before finishing), built=N, poll_ms=N, timeout_s=N.
// Prints "ok <group size>" or "error <text>" on stdout; logs of orvane::weights go to stderr at info level.

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include <fmt/format.h>

#include "core/logging.hpp"
#include "weights/build_lock.hpp"

namespace fs = std::filesystem;
using orvane::weights::BuildLockOptions;
using orvane::weights::CacheLockSpec;

namespace {

void append_line(const std::string& file, const std::string& line) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) return;
    const std::string text = line + "\n";
    [[maybe_unused]] const ssize_t n = ::write(fd, text.data(), text.size());
    ::close(fd);
}

void wait_for_file(const std::string& file) {
    if (file.empty()) return;
    while (!fs::exists(file)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s DIR NAME GS MODE [key=value ...]\n", argv[0]);
        return 2;
    }
    const fs::path dir = argv[1];
    const std::string name = argv[2];
    const std::uint64_t gs = std::stoull(argv[3]);
    const std::string mode = argv[4];
    std::map<std::string, std::string> opts;
    for (int i = 5; i < argc; ++i) {
        const std::string kv = argv[i];
        const auto eq = kv.find('=');
        if (eq == std::string::npos) return 2;
        opts[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    auto opt = [&](const std::string& key, const std::string& fallback) {
        const auto it = opts.find(key);
        return it == opts.end() ? fallback : it->second;
    };

    orvane::log::weights().set_level(spdlog::level::info);

    CacheLockSpec lock_spec;
    lock_spec.name = name;
    lock_spec.width = 4;
    lock_spec.group_size = gs;
    lock_spec.num_layers = 3;
    lock_spec.path_for = [dir, name](std::uint64_t g) {
        return dir / (name == "CPU" ? fmt::format("experts_cpu_int4_g{}.bin", g)
                                    : fmt::format("experts_marlin_g{}.bin", g));
    };
    lock_spec.path = lock_spec.path_for(gs);

    BuildLockOptions options;
    options.poll_interval = std::chrono::milliseconds(std::stoll(opt("poll_ms", "10")));
    options.timeout = std::chrono::seconds(std::stoll(opt("timeout_s", "10")));

    const std::string marker = opt("marker", "");
    const std::string release = opt("release", "");
    const std::uint64_t built = std::stoull(opt("built", std::to_string(gs)));

    auto fake_build = [&]() -> orvane::Result<std::uint64_t> {
        if (!marker.empty()) append_line(marker, std::to_string(::getpid()));
        const fs::path temp = orvane::weights::temp_path_for(lock_spec.path);
        std::ofstream(temp, std::ios::binary) << "partial";
        if (mode == "hang") {
            for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        wait_for_file(release);
        if (mode == "fail") return std::unexpected(std::string("fake build failed"));
        std::ofstream(temp, std::ios::binary | std::ios::app) << " complete g" << built;
        fs::rename(temp, lock_spec.path);
        return built;
    };

    const auto result = orvane::weights::build_cache_locked(lock_spec, fake_build, options);
    if (result)
        std::printf("ok %llu\n", static_cast<unsigned long long>(*result));
    else
        std::printf("error %s\n", result.error().c_str());
    std::fflush(stdout);
    orvane::log::weights().flush();
    return 0;
}
