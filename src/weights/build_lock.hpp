#pragma once
// Cross-process build lock for cache files.
//
// Several processes (one per GPU rank) may load the same model at the same moment; the first one to create
// the lock file "<cache>.bin.lock" exclusively builds, the others wait until the cache file appears. The lock
// file holds the builder's PID; a lock whose PID no longer exists under /proc is stale and is removed
// together with the half-written "<cache>.bin.tmp". The cache file itself only appears complete, by rename.
//
// Safety rules on top of that protocol:
// - A lock whose content is not a PID counts as held by a live process. A lock naming this process's own
//   PID that this process does not hold was left by an earlier process with the same PID, and is stale.
// - Stale locks are removed under an flock of the cache directory, after re-reading them there, so a waiter
//   never removes a lock that another waiter has just taken over; the remover keeps that hold until it
//   has tried to take the lock itself.
// - The builder renames a cache built under another group size, and removes the temporary file of a failed
//   build, before releasing the lock; waiters accept a cache only once the lock is released, so they never
//   take a file that is about to be renamed. The builder removes the lock only while it still holds its PID.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "core/errors.hpp"

namespace orvane::weights {

// Timing and environment of the wait loop (injectable for tests).
struct BuildLockOptions {
    std::chrono::milliseconds poll_interval{5000};
    std::chrono::seconds timeout{7200};
    std::filesystem::path proc_root{"/proc"};
};

// One cache under the lock.
struct CacheLockSpec {
    std::string name;                // "Marlin" or "CPU": the cache named in messages
    std::uint8_t width = 4;          // bits of the cached weights
    std::uint64_t group_size = 128;  // the requested group size
    std::filesystem::path path;      // the cache file for the requested group size
    // The cache file for another group size (used after a build that adjusted the group size, and by waiters
    // that probe the requested size, then 32, 64 and 128).
    std::function<std::filesystem::path(std::uint64_t group_size)> path_for;
    std::uint64_t num_layers = 0;    // MoE layers built (for the log line)
};

// "<cache>.bin.lock" and "<cache>.bin.tmp" beside a cache file "<cache>.bin".
std::filesystem::path lock_path_for(const std::filesystem::path& cache_path);
std::filesystem::path temp_path_for(const std::filesystem::path& cache_path);

// Builds the cache under the lock, or waits for another process's build. `build` writes the temporary file,
// renames it to lock_spec.path and returns the group size it actually used. Returns the group size of the cache
// that is now available, or an error text.
Result<std::uint64_t> build_cache_locked(const CacheLockSpec& lock_spec, const std::function<Result<std::uint64_t>()>& build,
                                         const BuildLockOptions& options = {});

}  // namespace orvane::weights
