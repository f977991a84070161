#include "weights/build_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <thread>
#include <utility>

#include "core/logging.hpp"

namespace orvane::weights {

namespace fs = std::filesystem;

fs::path lock_path_for(const fs::path& cache_path) {
    fs::path p = cache_path;
    p.replace_extension(".bin.lock");
    return p;
}

fs::path temp_path_for(const fs::path& cache_path) {
    fs::path p = cache_path;
    p.replace_extension(".bin.tmp");
    return p;
}

namespace {

std::string errno_text(int err) { return std::strerror(err); }

// ---------------------------------------------------------------------------------------------------------
// Lock paths held by this process. A lock file naming our own PID is ours only if it is listed here; any
// other lock with our PID was left by an earlier process that had the same PID (a restarted container
// hands out the same small PIDs again), and its holder is gone.
std::mutex g_held_mutex;
std::set<std::string> g_held_locks;

bool held_by_this_process(const fs::path& lock) {
    std::lock_guard<std::mutex> guard(g_held_mutex);
    return g_held_locks.contains(lock.string());
}

// ---------------------------------------------------------------------------------------------------------
// What a lock file says about its holder.
struct LockState {
    bool present = false;      // the lock file exists
    std::string text;          // its content, white space trimmed
    std::optional<std::uint32_t> pid;  // the content as a PID, if it parses as one
    bool dead = false;         // the PID parses and that process is gone
};

std::string_view trim(std::string_view s) {
    constexpr std::string_view ws = " \t\r\n\v\f";
    const auto first = s.find_first_not_of(ws);
    if (first == std::string_view::npos) return {};
    const auto last = s.find_last_not_of(ws);
    return s.substr(first, last - first + 1);
}

std::optional<std::uint32_t> parse_pid(std::string_view text) {
    std::uint32_t pid = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, pid);
    if (text.empty() || ec != std::errc{} || ptr != end) return std::nullopt;
    return pid;
}

bool process_is_gone(std::uint32_t pid, const fs::path& lock, const BuildLockOptions& options) {
    if (pid == static_cast<std::uint32_t>(::getpid()) && options.proc_root == fs::path("/proc"))
        return !held_by_this_process(lock);
    std::error_code ec;
    const bool exists = fs::exists(options.proc_root / std::to_string(pid), ec);
    // Only a definite "no such entry" makes the holder dead; an unreadable process table keeps it alive.
    return !exists && !ec;
}

// The trimmed content of a lock file, or nothing if there is no lock file. A lock file that exists but
// cannot be read gives an empty text: a holder we cannot identify.
std::optional<std::string> read_lock_text(const fs::path& lock) {
    const int fd = ::open(lock.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return std::nullopt;
        return std::string();
    }
    std::string content;
    char buf[256];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            content.append(buf, static_cast<std::size_t>(n));
            if (content.size() > 4096) break;  // no PID is this long; the content is simply not a PID
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;
    }
    ::close(fd);
    return std::string(trim(content));
}

LockState inspect_lock(const fs::path& lock, const BuildLockOptions& options) {
    LockState state;
    auto text = read_lock_text(lock);
    if (!text) return state;
    state.present = true;
    state.text = std::move(*text);
    state.pid = parse_pid(state.text);
    state.dead = state.pid.has_value() && process_is_gone(*state.pid, lock, options);
    return state;
}

// ---------------------------------------------------------------------------------------------------------
// Exclusive hold of the cache directory (flock, released by the kernel when the process dies). It
// serialises the removal of stale locks with the other waiters: a waiter removes a lock only after it has
// re-read it under this hold and found the same dead holder, so it never removes a lock that a faster
// waiter has already replaced with its own live one. The waiter that removes a stale lock keeps the hold
// until it has tried to create its own, so other waiters never see the lock briefly missing and take it
// for a failed build.
class DirectoryHold {
public:
    explicit DirectoryHold(const fs::path& dir) {
        fd_ = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0) return;
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                ::close(fd_);
                fd_ = -1;
                return;
            }
        }
    }
    ~DirectoryHold() {
        if (fd_ >= 0) ::close(fd_);  // closing releases the flock
    }
    DirectoryHold(const DirectoryHold&) = delete;
    DirectoryHold& operator=(const DirectoryHold&) = delete;

private:
    int fd_ = -1;
};

void remove_quietly(const fs::path& p) {
    std::error_code ec;
    fs::remove(p, ec);
}

// Removes the lock and the half-written temporary file if the lock still names the same dead holder.
// Returns the directory hold, to be kept until the caller's next attempt to create the lock.
std::unique_ptr<DirectoryHold> remove_stale_lock(const CacheLockSpec& lock_spec, const fs::path& lock,
                                                 std::uint32_t dead_pid, const BuildLockOptions& options) {
    auto hold = std::make_unique<DirectoryHold>(lock.parent_path());
    const LockState now = inspect_lock(lock, options);
    if (now.present && now.dead && now.pid == dead_pid) {
        remove_quietly(lock);
        remove_quietly(temp_path_for(lock_spec.path));
    }
    return hold;
}

// ---------------------------------------------------------------------------------------------------------
// The lock this process created: on every way out (success, failure, exception) it is deleted, after the
// build's result has been published under its final name.
class HeldLock {
public:
    HeldLock(const CacheLockSpec& lock_spec, fs::path lock) : spec_(lock_spec), lock_(std::move(lock)) {
        std::lock_guard<std::mutex> guard(g_held_mutex);
        g_held_locks.insert(lock_.string());
    }
    ~HeldLock() {
        log::weights().info("Releasing {} cache build lock: {}", spec_.name, lock_.string());
        // Removed only while it is still ours: a lock that another process has taken over stays.
        if (read_lock_text(lock_) == std::to_string(::getpid())) remove_quietly(lock_);
        std::lock_guard<std::mutex> guard(g_held_mutex);
        g_held_locks.erase(lock_.string());
    }
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;

private:
    const CacheLockSpec& spec_;
    fs::path lock_;
};

bool write_all(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool exists_quietly(const fs::path& p) {
    std::error_code ec;
    return fs::exists(p, ec);
}

fs::path path_for_size(const CacheLockSpec& lock_spec, std::uint64_t gs) {
    return lock_spec.path_for ? lock_spec.path_for(gs) : lock_spec.path;
}

std::string appeared_text(const CacheLockSpec& lock_spec) {
    return fmt::format("{} cache appeared while preparing to build (another rank finished)", lock_spec.name);
}

// Runs the build while holding the lock (created as `fd`, still open and empty).
Result<std::uint64_t> build_holding_lock(const CacheLockSpec& lock_spec, const fs::path& lock, int fd,
                                         const std::function<Result<std::uint64_t>()>& build) {
    const auto pid = static_cast<std::uint32_t>(::getpid());
    const bool written = write_all(fd, std::to_string(pid));
    const int write_errno = errno;
    const bool closed = (::close(fd) == 0);
    const int close_errno = errno;
    if (!written || !closed) {
        // An empty or partial lock would pass for a live holder and stall every waiter until its timeout.
        remove_quietly(lock);
        return std::unexpected(fmt::format("Failed to create cache lock file: {} ({})",
                                           errno_text(!written ? write_errno : close_errno), lock.string()));
    }
    HeldLock held(lock_spec, lock);

    // Another process may have published the cache and released its lock between our first look and the
    // creation of this lock; building again would only repeat its work.
    if (exists_quietly(lock_spec.path)) {
        log::weights().info("{}", appeared_text(lock_spec));
        return lock_spec.group_size;
    }

    log::weights().info("Acquired {} INT{} cache build lock (PID {}), building {} MoE layers...", lock_spec.name,
                        lock_spec.width, pid, lock_spec.num_layers);
    const fs::path temp = temp_path_for(lock_spec.path);
    Result<std::uint64_t> built;
    try {
        built = build();
    } catch (...) {
        remove_quietly(temp);
        throw;
    }
    if (!built) {
        remove_quietly(temp);  // a half-written file of possibly many gigabytes is of no use to anyone
        return std::unexpected(built.error());
    }

    const std::uint64_t gs = *built;
    const fs::path final_path = path_for_size(lock_spec, gs);
    if (!exists_quietly(lock_spec.path)) {
        // The build reported success; its result must be where it said it would be.
        if (final_path != lock_spec.path && exists_quietly(final_path)) return gs;
        return std::unexpected(fmt::format("{} cache build finished but {} does not exist", lock_spec.name,
                                           lock_spec.path.string()));
    }
    if (final_path != lock_spec.path) {
        // Renamed while the lock is still held, so that no waiter ever takes the file under the requested
        // group size's name for a cache of that group size.
        std::error_code ec;
        fs::rename(lock_spec.path, final_path, ec);
        if (ec) return std::unexpected(fmt::format("Failed to rename cache: {}", ec.message()));
        log::weights().info("Renamed {} cache to {} (effective gs={})", lock_spec.name, final_path.string(), gs);
    }
    return gs;
}

// A published cache for the requested group size, or for 32, 64, 128 (in that order).
std::optional<std::uint64_t> find_published(const CacheLockSpec& lock_spec) {
    for (const std::uint64_t gs : {lock_spec.group_size, std::uint64_t{32}, std::uint64_t{64}, std::uint64_t{128}}) {
        if (exists_quietly(path_for_size(lock_spec, gs))) return gs;
    }
    return std::nullopt;
}

std::string timeout_text(const CacheLockSpec& lock_spec, std::chrono::seconds timeout) {
    if (timeout == std::chrono::seconds{7200})
        return fmt::format("Timed out waiting for {} cache build (2 hours)", lock_spec.name);
    return fmt::format("Timed out waiting for {} cache build ({}s)", lock_spec.name, timeout.count());
}

}  // namespace

Result<std::uint64_t> build_cache_locked(const CacheLockSpec& lock_spec, const std::function<Result<std::uint64_t>()>& build,
                                         const BuildLockOptions& options) {
    auto& log = log::weights();
    const fs::path lock = lock_path_for(lock_spec.path);
    const fs::path dir = lock_spec.path.parent_path();
    using Clock = std::chrono::steady_clock;

    // Kept from the removal of a stale lock until the next attempt to create the lock.
    std::unique_ptr<DirectoryHold> hold;

    for (;;) {
        if (exists_quietly(lock_spec.path)) {
            log.info("{}", appeared_text(lock_spec));
            return lock_spec.group_size;
        }

        if (!dir.empty()) {
            std::error_code ec;
            fs::create_directories(dir, ec);
            if (ec)
                return std::unexpected(
                    fmt::format("Failed to create cache directory {}: {}", dir.string(), ec.message()));
        }
        log.info("Acquiring {} INT{} cache build lock: {}", lock_spec.name, lock_spec.width, lock.string());

        const int fd = ::open(lock.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
        const int open_errno = errno;
        hold.reset();
        if (fd >= 0) return build_holding_lock(lock_spec, lock, fd, build);
        if (open_errno != EEXIST)
            return std::unexpected(
                fmt::format("Failed to create cache lock file: {} ({})", errno_text(open_errno), lock.string()));

        // Someone holds the lock, or held it and died.
        LockState first = inspect_lock(lock, options);
        // A holder creates the lock empty and writes its PID right after: give it a moment, so that the
        // waiting message can name it.
        for (int i = 0; i < 50 && first.present && first.text.empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            first = inspect_lock(lock, options);
        }
        if (!first.present) continue;  // released between our attempt and the read: try again
        if (first.dead) {
            log.warn("Stale {} cache lock detected (PID {} is dead), cleaning up...", lock_spec.name, *first.pid);
            hold = remove_stale_lock(lock_spec, lock, *first.pid, options);
            continue;
        }

        log.info("Another process (PID {}) is building {} INT{} cache, waiting... Lock: {}",
                 first.text.empty() ? std::string("unknown") : first.text, lock_spec.name, lock_spec.width, lock.string());
        const auto wait_start = Clock::now();
        std::int64_t last_minute_logged = 0;
        bool retry = false;
        while (!retry) {
            std::this_thread::sleep_for(options.poll_interval);
            const double waited = std::chrono::duration<double>(Clock::now() - wait_start).count();

            const LockState now = inspect_lock(lock, options);
            if (now.present && now.dead) {
                log.warn("Lock holder PID {} died during build, cleaning up and retrying...", *now.pid);
                hold = remove_stale_lock(lock_spec, lock, *now.pid, options);
                retry = true;
                continue;
            }
            if (!now.present) {
                // The holder is done. Its result, if any, is already under its final name.
                if (auto gs = find_published(lock_spec)) {
                    log.info("{} cache ready after {:.1f}s wait (gs={})", lock_spec.name, waited, *gs);
                    return *gs;
                }
                // A waiter cleaning up a dead holder's lock keeps the directory hold until it has taken the
                // lock itself; under the hold, a missing lock and a missing cache mean a failed build.
                DirectoryHold settle(dir);
                if (!inspect_lock(lock, options).present) {
                    if (auto gs = find_published(lock_spec)) {
                        log.info("{} cache ready after {:.1f}s wait (gs={})", lock_spec.name, waited, *gs);
                        return *gs;
                    }
                    return std::unexpected(fmt::format("{} cache build by another process failed", lock_spec.name));
                }
                // Taken over by another process: keep waiting for that one.
            }
            if (Clock::now() - wait_start > options.timeout)
                return std::unexpected(timeout_text(lock_spec, options.timeout));
            const auto minute = static_cast<std::int64_t>(waited) / 60;
            if (minute > last_minute_logged) {
                last_minute_logged = minute;
                log.info("Still waiting for {} cache build ({:.1f}s)...", lock_spec.name, waited);
            }
        }
    }
}

}  // namespace orvane::weights
