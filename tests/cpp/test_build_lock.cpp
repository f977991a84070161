// Cross-process cache build lock: contention between real processes (one builds, the others wait for its
// result or its failure), holders that die, stale and unreadable locks, group-size renames, and the
// directory and lock-file failures.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <spdlog/sinks/ostream_sink.h>

#include "core/logging.hpp"
#include "weights/build_lock.hpp"
#include "support.hpp"

extern char** environ;

namespace {

// Records of the weights logger while in scope.
class LogCapture : public orvane::test_support::LogCapture {
public:
    LogCapture() : orvane::test_support::LogCapture(orvane::log::weights()) {}
};

namespace fs = std::filesystem;
using orvane::Result;
using orvane::weights::build_cache_locked;
using orvane::weights::BuildLockOptions;
using orvane::weights::CacheLockSpec;


// A fresh directory, removed afterwards.
class TempDir : public orvane::test_support::TempDir {
public:
    TempDir() : orvane::test_support::TempDir("orvane-lock") {}
};

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string error_of(const Result<std::uint64_t>& r) { return r ? std::string("(success)") : r.error(); }

void write_file(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

std::vector<std::string> lines_of(const fs::path& p) {
    std::vector<std::string> lines;
    std::istringstream in(read_file(p));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// File names as the contender makes them.
fs::path cache_file(const fs::path& dir, const std::string& name, std::uint64_t gs) {
    return dir / (name == "CPU" ? fmt::format("experts_cpu_int4_g{}.bin", gs)
                                : fmt::format("experts_marlin_g{}.bin", gs));
}

CacheLockSpec spec_for(const fs::path& dir, std::uint64_t gs, const std::string& name = "Marlin") {
    CacheLockSpec lock_spec;
    lock_spec.name = name;
    lock_spec.width = 4;
    lock_spec.group_size = gs;
    lock_spec.num_layers = 7;
    lock_spec.path_for = [dir, name](std::uint64_t g) { return cache_file(dir, name, g); };
    lock_spec.path = lock_spec.path_for(gs);
    return lock_spec;
}

BuildLockOptions fast_options() {
    BuildLockOptions options;
    options.poll_interval = std::chrono::milliseconds(10);
    options.timeout = std::chrono::seconds(10);  // a fault shows as a failure, not a hang
    return options;
}

// Polls a condition; false if it does not come true within a generous bound (a hang guard, not a timing).
bool eventually(const std::function<bool()>& cond) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < limit) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return cond();
}

// One orvane_lock_contender process with its stdout and stderr in files.
class Contender {
public:
    Contender(const fs::path& work, const std::string& tag, std::vector<std::string> args)
        : out_(work / (tag + ".out")), err_(work / (tag + ".err")) {
        args.insert(args.begin(), ORVANE_LOCK_CONTENDER);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) throw std::runtime_error(fmt::format("posix_spawn failed: {}", rc));
        running_ = true;
    }
    ~Contender() {
        if (running_) kill_hard();
    }
    Contender(const Contender&) = delete;
    Contender& operator=(const Contender&) = delete;

    pid_t pid() const { return pid_; }
    // Waits for a normal exit; returns what it printed on stdout (without the newline).
    std::string finish() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        running_ = false;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n" << log();
        std::string out = read_file(out_);
        if (!out.empty() && out.back() == '\n') out.pop_back();
        return out;
    }
    void kill_hard() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);  // reaped: its /proc entry is gone
        running_ = false;
    }
    std::string log() const { return read_file(err_); }

private:
    fs::path out_, err_;
    pid_t pid_ = -1;
    bool running_ = false;
};

std::string waiting_line(pid_t holder, const std::string& name) {
    return fmt::format("Another process (PID {}) is building {} INT4 cache, waiting...", holder, name);
}

// ---------------------------------------------------------------------------------------------------------
// Real processes.

class BuildLockProcesses : public ::testing::TestWithParam<std::string> {};

INSTANTIATE_TEST_SUITE_P(BuildLockCaches, BuildLockProcesses, ::testing::Values("Marlin", "CPU"));

TEST_P(BuildLockProcesses, TwoContendersBuildOnceAndBothGetTheCache) {
    const std::string name = GetParam();
    TempDir work;
    const fs::path dir = work.path() / "cache";
    const fs::path marker = work.path() / "builds", release = work.path() / "release";
    const std::vector<std::string> args = {dir.string(), name, "128", "ok", "marker=" + marker.string(),
                                           "release=" + release.string()};
    Contender a(work.path(), "a", args), b(work.path(), "b", args);

    // Exactly one is inside the build while the other waits for it.
    ASSERT_TRUE(eventually([&] {
        return fs::exists(marker) &&
               (a.log().find("is building") != std::string::npos || b.log().find("is building") != std::string::npos);
    })) << a.log() << b.log();
    write_file(release, "");
    EXPECT_EQ(a.finish(), "ok 128");
    EXPECT_EQ(b.finish(), "ok 128");

    const auto builds = lines_of(marker);
    ASSERT_EQ(builds.size(), 1u);
    const bool a_built = builds[0] == std::to_string(a.pid());
    ASSERT_TRUE(a_built || builds[0] == std::to_string(b.pid()));
    const std::string builder_log = a_built ? a.log() : b.log();
    const std::string waiter_log = a_built ? b.log() : a.log();
    const pid_t builder = static_cast<pid_t>(std::stol(builds[0]));
    EXPECT_NE(builder_log.find(fmt::format("Acquired {} INT4 cache build lock (PID {}), building 3 MoE layers...",
                                           name, builder)),
              std::string::npos) << builder_log;
    EXPECT_NE(waiter_log.find(waiting_line(builder, name)), std::string::npos) << waiter_log;
    EXPECT_NE(waiter_log.find(name + " cache ready after "), std::string::npos) << waiter_log;
    EXPECT_NE(waiter_log.find("s wait (gs=128)"), std::string::npos) << waiter_log;
    EXPECT_EQ(waiter_log.find("Acquired"), std::string::npos) << waiter_log;

    EXPECT_TRUE(fs::exists(cache_file(dir, name, 128)));
    EXPECT_FALSE(fs::exists(dir / (cache_file(dir, name, 128).filename().string() + ".lock")));
    EXPECT_FALSE(fs::exists(dir / (cache_file(dir, name, 128).filename().string() + ".tmp")));
}

TEST_P(BuildLockProcesses, FailedBuildEndsTheWaitAndFreesTheLock) {
    const std::string name = GetParam();
    TempDir work;
    const fs::path dir = work.path() / "cache";
    const fs::path marker = work.path() / "builds", release = work.path() / "release";
    Contender builder(work.path(), "builder", {dir.string(), name, "128", "fail", "marker=" + marker.string(),
                                               "release=" + release.string()});
    ASSERT_TRUE(eventually([&] { return fs::exists(marker); }));
    Contender waiter(work.path(), "waiter", {dir.string(), name, "128", "ok", "marker=" + marker.string()});
    ASSERT_TRUE(eventually([&] { return waiter.log().find("is building") != std::string::npos; })) << waiter.log();
    write_file(release, "");

    EXPECT_EQ(builder.finish(), "error fake build failed");
    EXPECT_EQ(waiter.finish(), fmt::format("error {} cache build by another process failed", name));
    EXPECT_EQ(lines_of(marker).size(), 1u);  // the waiter did not build
    const fs::path cache = cache_file(dir, name, 128);
    EXPECT_FALSE(fs::exists(cache));
    EXPECT_FALSE(fs::exists(dir / (cache.filename().string() + ".lock")));
    EXPECT_FALSE(fs::exists(dir / (cache.filename().string() + ".tmp")));  // the failed build's partial file
}

TEST(BuildLockProcesses, HolderKilledMidBuildIsCleanedUpAndTheWaiterBuilds) {
    TempDir work;
    const fs::path dir = work.path() / "cache";
    const fs::path marker = work.path() / "builds";
    Contender holder(work.path(), "holder", {dir.string(), "Marlin", "128", "hang", "marker=" + marker.string()});
    ASSERT_TRUE(eventually([&] { return fs::exists(dir / "experts_marlin_g128.bin.tmp"); }));
    Contender waiter(work.path(), "waiter", {dir.string(), "Marlin", "128", "ok", "marker=" + marker.string()});
    ASSERT_TRUE(eventually([&] { return waiter.log().find("is building") != std::string::npos; })) << waiter.log();
    EXPECT_NE(waiter.log().find(waiting_line(holder.pid(), "Marlin")), std::string::npos) << waiter.log();

    const pid_t dead = holder.pid();
    holder.kill_hard();
    EXPECT_EQ(waiter.finish(), "ok 128");
    EXPECT_NE(waiter.log().find(fmt::format("Lock holder PID {} died during build, cleaning up and retrying...", dead)),
              std::string::npos) << waiter.log();
    EXPECT_EQ(lines_of(marker), (std::vector<std::string>{std::to_string(dead), std::to_string(waiter.pid())}));
    EXPECT_EQ(read_file(dir / "experts_marlin_g128.bin"), "partial complete g128");
    EXPECT_FALSE(fs::exists(dir / "experts_marlin_g128.bin.lock"));
    EXPECT_FALSE(fs::exists(dir / "experts_marlin_g128.bin.tmp"));
}

TEST(BuildLockProcesses, WaiterFindsACacheBuiltUnderAnAdjustedGroupSize) {
    TempDir work;
    const fs::path dir = work.path() / "cache";
    const fs::path marker = work.path() / "builds", release = work.path() / "release";
    Contender builder(work.path(), "builder", {dir.string(), "Marlin", "128", "ok", "built=64",
                                               "marker=" + marker.string(), "release=" + release.string()});
    ASSERT_TRUE(eventually([&] { return fs::exists(marker); }));
    Contender waiter(work.path(), "waiter", {dir.string(), "Marlin", "128", "ok", "marker=" + marker.string()});
    ASSERT_TRUE(eventually([&] { return waiter.log().find("is building") != std::string::npos; })) << waiter.log();
    write_file(release, "");

    EXPECT_EQ(builder.finish(), "ok 64");
    EXPECT_EQ(waiter.finish(), "ok 64");
    EXPECT_NE(builder.log().find(fmt::format("Renamed Marlin cache to {} (effective gs=64)",
                                             (dir / "experts_marlin_g64.bin").string())),
              std::string::npos) << builder.log();
    EXPECT_NE(waiter.log().find("s wait (gs=64)"), std::string::npos) << waiter.log();
    EXPECT_EQ(lines_of(marker).size(), 1u);
    EXPECT_EQ(read_file(dir / "experts_marlin_g64.bin"), "partial complete g64");
    EXPECT_FALSE(fs::exists(dir / "experts_marlin_g128.bin"));
    EXPECT_FALSE(fs::exists(dir / "experts_marlin_g128.bin.lock"));
}

// ---------------------------------------------------------------------------------------------------------
// One process: the holder's own steps and the lock states a waiter meets.

// A build that writes the cache the way a real one does and counts its calls.
struct FakeBuild {
    FakeBuild(CacheLockSpec s, std::uint64_t gs) : lock_spec(std::move(s)), built_gs(gs) {}
    CacheLockSpec lock_spec;
    std::uint64_t built_gs;
    int calls = 0;
    std::string lock_seen;          // the lock file's content during the build
    bool temp_existed = false;      // a temporary file was already there when the build started
    Result<std::uint64_t> operator()() {
        ++calls;
        lock_seen = read_file(orvane::weights::lock_path_for(lock_spec.path));
        const fs::path temp = orvane::weights::temp_path_for(lock_spec.path);
        temp_existed = fs::exists(temp);
        write_file(temp, "cache");
        fs::rename(temp, lock_spec.path);
        return built_gs;
    }
};

TEST(BuildLock, HolderWritesItsPidBuildsAndReleases) {
    TempDir work;
    const CacheLockSpec lock_spec = spec_for(work.path() / "a" / "b", 128);
    FakeBuild fake{lock_spec, 128};
    LogCapture capture;
    const auto got = build_cache_locked(lock_spec, std::ref(fake), fast_options());
    ASSERT_TRUE(got.has_value()) << got.error();
    EXPECT_EQ(*got, 128u);
    EXPECT_EQ(fake.calls, 1);
    EXPECT_EQ(fake.lock_seen, std::to_string(::getpid()));  // decimal, no newline
    EXPECT_TRUE(fs::exists(lock_spec.path));
    EXPECT_FALSE(fs::exists(orvane::weights::lock_path_for(lock_spec.path)));
    const std::string log = capture.text();
    const std::string lock = (work.path() / "a" / "b" / "experts_marlin_g128.bin.lock").string();
    EXPECT_NE(log.find("info|Acquiring Marlin INT4 cache build lock: " + lock), std::string::npos) << log;
    EXPECT_NE(log.find(fmt::format("info|Acquired Marlin INT4 cache build lock (PID {}), building 7 MoE layers...",
                                   ::getpid())),
              std::string::npos) << log;
    EXPECT_NE(log.find("info|Releasing Marlin cache build lock: " + lock), std::string::npos) << log;

    // The second call finds the cache and touches no lock.
    LogCapture again;
    EXPECT_EQ(build_cache_locked(lock_spec, std::ref(fake), fast_options()).value_or(0), 128u);
    EXPECT_EQ(fake.calls, 1);
    EXPECT_EQ(again.text(), "info|Marlin cache appeared while preparing to build (another rank finished)\n");
}

TEST(BuildLock, FailingOrThrowingBuildReleasesLockAndTemporaryFile) {
    for (const bool throws : {false, true}) {
        SCOPED_TRACE(throws ? "throws" : "returns an error");
        TempDir work;
        const CacheLockSpec lock_spec = spec_for(work.path(), 128, "CPU");
        const fs::path temp = work.path() / "experts_cpu_int4_g128.bin.tmp";
        auto build = [&]() -> Result<std::uint64_t> {
            write_file(temp, "half");
            if (throws) throw std::runtime_error("boom");
            return std::unexpected(std::string("Failed to open shard.safetensors: gone"));
        };
        if (throws) {
            EXPECT_THROW((void)build_cache_locked(lock_spec, build, fast_options()), std::runtime_error);
        } else {
            const auto got = build_cache_locked(lock_spec, build, fast_options());
            EXPECT_EQ(error_of(got), "Failed to open shard.safetensors: gone");
        }
        EXPECT_FALSE(fs::exists(work.path() / "experts_cpu_int4_g128.bin.lock"));
        EXPECT_FALSE(fs::exists(temp));
        EXPECT_FALSE(fs::exists(lock_spec.path));
    }
}

TEST(BuildLock, AdjustedGroupSizeRenamesTheCache) {
    struct Case {
        const char* label;
        bool target_dir_exists;
    };
    for (const Case c : {Case{"renamed", true}, Case{"rename fails", false}}) {
        SCOPED_TRACE(c.label);
        TempDir work;
        CacheLockSpec lock_spec = spec_for(work.path(), 128);
        const fs::path target_dir = c.target_dir_exists ? work.path() : work.path() / "missing";
        const fs::path target = target_dir / "experts_marlin_g64.bin";
        lock_spec.path_for = [&](std::uint64_t gs) { return gs == 64 ? target : work.path() / fmt::format("g{}.bin", gs); };
        FakeBuild fake{lock_spec, 64};
        LogCapture capture;
        const auto got = build_cache_locked(lock_spec, std::ref(fake), fast_options());
        if (c.target_dir_exists) {
            EXPECT_EQ(got.value_or(0), 64u);
            EXPECT_TRUE(fs::exists(target));
            EXPECT_FALSE(fs::exists(lock_spec.path));
            const std::string renamed =
                fmt::format("info|Renamed Marlin cache to {} (effective gs=64)", target.string());
            EXPECT_NE(capture.text().find(renamed), std::string::npos) << capture.text();
        } else {
            ASSERT_FALSE(got.has_value());
            EXPECT_TRUE(got.error().starts_with("Failed to rename cache: ")) << got.error();
        }
        EXPECT_FALSE(fs::exists(work.path() / "experts_marlin_g128.bin.lock"));
    }
}

TEST(BuildLock, LockTakenOverDuringTheBuildIsLeftToItsNewHolder) {
    TempDir work;
    const CacheLockSpec lock_spec = spec_for(work.path(), 128);
    const fs::path lock = work.path() / "experts_marlin_g128.bin.lock";
    FakeBuild fake{lock_spec, 128};
    const auto got = build_cache_locked(lock_spec, [&] {
        fs::remove(lock);
        write_file(lock, "4242");  // another process, having judged us dead, holds the lock now
        return fake();
    }, fast_options());
    EXPECT_EQ(got.value_or(0), 128u);
    EXPECT_EQ(read_file(lock), "4242");
}

TEST(BuildLock, BuildReportingSuccessWithoutACacheIsAnError) {
    TempDir work;
    const CacheLockSpec lock_spec = spec_for(work.path(), 128);
    const auto got = build_cache_locked(lock_spec, [] { return Result<std::uint64_t>(128); }, fast_options());
    ASSERT_FALSE(got.has_value());
    EXPECT_NE(got.error().find("does not exist"), std::string::npos) << got.error();
    EXPECT_FALSE(fs::exists(work.path() / "experts_marlin_g128.bin.lock"));
}

TEST(BuildLock, LockOfADeadHolderIsRemovedWithItsTemporaryFile) {
    struct Case {
        const char* label;
        std::string content;
        bool fake_proc;  // an empty directory as the process table: every PID is dead
        std::string pid;
    };
    const std::string own = std::to_string(::getpid());
    const Case cases[] = {
        {"fake process table", "4242", true, "4242"},
        {"PID beyond any PID range", " 4294967294\n", false, "4294967294"},
        // A lock with our own PID that this process does not hold: left by an earlier process that had
        // the same PID (a restarted container).
        {"our own PID, not held by us", own, false, own},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir work;
        const CacheLockSpec lock_spec = spec_for(work.path(), 128);
        write_file(work.path() / "experts_marlin_g128.bin.lock", c.content);
        write_file(work.path() / "experts_marlin_g128.bin.tmp", "half-written");
        BuildLockOptions options = fast_options();
        if (c.fake_proc) {
            options.proc_root = work.path() / "proc";
            fs::create_directory(options.proc_root);
        }
        FakeBuild fake{lock_spec, 128};
        LogCapture capture;
        const auto got = build_cache_locked(lock_spec, std::ref(fake), options);
        EXPECT_EQ(got.value_or(0), 128u);
        EXPECT_EQ(fake.calls, 1);
        EXPECT_FALSE(fake.temp_existed);
        EXPECT_EQ(fake.lock_seen, own);
        const std::string stale =
            fmt::format("warning|Stale Marlin cache lock detected (PID {} is dead), cleaning up...", c.pid);
        EXPECT_NE(capture.text().find(stale), std::string::npos) << capture.text();
        EXPECT_FALSE(fs::exists(work.path() / "experts_marlin_g128.bin.lock"));
    }
}

TEST(BuildLock, LiveOrUnreadableHolderIsWaitedForUntilTimeout) {
    struct Case {
        std::string content;
        std::string shown;  // the holder as the waiting message names it
        const char* live_pid_in_fake_proc;  // nullptr: the real process table
        int timeout_s;
    };
    const Case cases[] = {
        {"", "unknown", nullptr, 0},
        {" \n", "unknown", nullptr, 0},
        {"abc", "abc", nullptr, 0},
        {"12x", "12x", nullptr, 0},
        {"-5", "-5", nullptr, 0},
        {"99999999999", "99999999999", nullptr, 0},  // beyond 32 bits: not a PID
        {"1", "1", nullptr, 0},                      // init is always alive
        {"777\n", "777", "777", 1},                  // alive in a fake process table; waits out a whole second
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("lock content '" + c.content + "'");
        TempDir work;
        const CacheLockSpec lock_spec = spec_for(work.path(), 128);
        const fs::path lock = work.path() / "experts_marlin_g128.bin.lock";
        write_file(lock, c.content);
        BuildLockOptions options = fast_options();
        options.timeout = std::chrono::seconds(c.timeout_s);
        if (c.live_pid_in_fake_proc) {
            options.proc_root = work.path() / "proc";
            fs::create_directories(options.proc_root / c.live_pid_in_fake_proc);
        }
        int calls = 0;
        LogCapture capture;
        auto build = [&] {
            ++calls;
            return Result<std::uint64_t>(128);
        };
        const auto got = build_cache_locked(lock_spec, build, options);
        EXPECT_EQ(error_of(got), fmt::format("Timed out waiting for Marlin cache build ({}s)", c.timeout_s));
        EXPECT_EQ(calls, 0);
        EXPECT_EQ(read_file(lock), c.content);  // never removed
        const std::string log = capture.text();
        const std::string waiting = fmt::format(
            "info|Another process (PID {}) is building Marlin INT4 cache, waiting... Lock: {}", c.shown, lock.string());
        EXPECT_NE(log.find(waiting), std::string::npos) << log;
        EXPECT_EQ(log.find("Stale"), std::string::npos) << log;
    }
}

TEST(BuildLock, UnusableCacheLocationIsReported) {
    TempDir work;
    write_file(work.path() / "plain_file", "x");
    struct Case {
        fs::path cache;
        std::string expected_prefix;
    };
    const Case cases[] = {
        {work.path() / "plain_file" / "sub" / "experts_marlin_g128.bin",
         fmt::format("Failed to create cache directory {}: ", (work.path() / "plain_file" / "sub").string())},
        {work.path() / (std::string(300, 'x') + ".bin"), "Failed to create cache lock file: File name too long"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cache.string().substr(0, 120));
        CacheLockSpec lock_spec = spec_for(work.path(), 128);
        lock_spec.path = c.cache;
        int calls = 0;
        auto build = [&] {
            ++calls;
            return Result<std::uint64_t>(128);
        };
        const auto got = build_cache_locked(lock_spec, build, fast_options());
        ASSERT_FALSE(got.has_value());
        EXPECT_TRUE(got.error().starts_with(c.expected_prefix)) << got.error();
        EXPECT_EQ(calls, 0);
    }
}

}  // namespace
