// Start-up system checks and memory logging, run against fabricated /sys and /proc trees, with the log
// records of the `orvane::syscheck` target captured.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <spdlog/sinks/base_sink.h>

#include "support.hpp"
#include "core/logging.hpp"
#include "syscheck/syscheck.hpp"

namespace {

// A fresh directory standing in for "/".
using FakeRoot = orvane::test_support::TempDir;

namespace fs = std::filesystem;
using spdlog::level::level_enum;
using Record = std::pair<level_enum, std::string>;
constexpr level_enum kInfo = spdlog::level::info;
constexpr level_enum kWarn = spdlog::level::warn;


class CaptureSink : public spdlog::sinks::base_sink<std::mutex> {
public:
    std::vector<Record> records;

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        records.emplace_back(msg.level, std::string(msg.payload.data(), msg.payload.size()));
    }
    void flush_() override {}
};

// Routes the syscheck logger into a capture sink at the given level; restores its sinks and level after.
class LogCapture {
public:
    explicit LogCapture(level_enum level = spdlog::level::trace)
        : logger_(orvane::log::syscheck()), saved_sinks_(logger_.sinks()), saved_level_(logger_.level()) {
        logger_.sinks() = {sink_};
        logger_.set_level(level);
    }
    ~LogCapture() {
        logger_.sinks() = saved_sinks_;
        logger_.set_level(saved_level_);
    }
    const std::vector<Record>& records() const { return sink_->records; }

private:
    spdlog::logger& logger_;
    std::shared_ptr<CaptureSink> sink_ = std::make_shared<CaptureSink>();
    std::vector<spdlog::sink_ptr> saved_sinks_;
    level_enum saved_level_;
};

constexpr uint64_t kGiBinKb = 1024 * 1024;

std::string meminfo(uint64_t total_kb, uint64_t available_kb) {
    return "MemTotal:       " + std::to_string(total_kb) + " kB\nMemFree:         1000 kB\nMemAvailable:   " +
           std::to_string(available_kb) + " kB\n";
}

orvane::syscheck::Environment env_at(const FakeRoot& root) {
    orvane::syscheck::Environment env;
    env.root = root.path();
    env.cpu.avx2 = true;
    env.cpu.fma = true;
    return env;
}

// The records produced by the checks on a tree that `fill` prepares, with the given model size.
template <class Fill>
std::vector<Record> run_checks(Fill&& fill, double model_gb = 0.0,
                               std::optional<orvane::syscheck::Environment> base = std::nullopt) {
    FakeRoot root;
    fill(root);
    auto env = base.value_or(env_at(root));
    env.root = root.path();
    LogCapture capture;
    orvane::syscheck::run_startup_checks(model_gb, env);
    return capture.records();
}

std::vector<Record> one(level_enum level, const std::string& text) { return {Record(level, text)}; }

std::vector<Record> with_prefix(const std::vector<Record>& records, const std::string& prefix) {
    std::vector<Record> out;
    for (const auto& r : records)
        if (r.second.starts_with(prefix)) out.push_back(r);
    return out;
}

}  // namespace

TEST(Syscheck, HealthyMachineReportsEveryCheckInOrder) {
    const auto records = run_checks([](const FakeRoot& r) {
        r.write("/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor", "performance\n");
        r.write("/sys/kernel/mm/transparent_hugepage/enabled", "always [madvise] never\n");
        r.write("/sys/kernel/mm/hugepages/hugepages-1048576kB/nr_hugepages", "2\n");
        r.write("/sys/kernel/mm/hugepages/hugepages-2048kB/nr_hugepages", "5120\n");
        r.write("/proc/meminfo", meminfo(200 * kGiBinKb, 100 * kGiBinKb));
        r.mkdir("/sys/devices/system/node/node0");
        r.mkdir("/sys/devices/system/node/node1");
        r.write("/sys/devices/system/node/possible", "0-1\n");
    });
    const std::vector<Record> expected = {
        {kInfo, "CPU governor: performance ✓"},
        {kInfo, "Transparent hugepages: enabled ✓"},
        {kInfo, "1GB hugepages: 2 allocated (2 GB) ✓"},
        {kInfo, "2MB hugepages: 5120 allocated (10.0 GB)"},
        {kInfo, "System memory: 200.0 GB total, 100.0 GB available"},
        {kInfo, "NUMA: 2 nodes detected — future: NUMA-aware expert pinning"},
        {kInfo, "CPU features: AVX2 + FMA ✓ (no AVX-512, using AVX2 kernel)"},
    };
    EXPECT_EQ(records, expected);
}

TEST(Syscheck, EmptyTreeReportsWhatCouldNotBeRead) {
    const auto records = run_checks([](const FakeRoot&) {});
    const std::vector<Record> expected = {
        {kInfo, "CPU governor: could not read (may not be available in this environment)"},
        {kInfo, "Transparent hugepages: could not read"},
        {kInfo, "Memory info: could not read /proc/meminfo"},
        {kInfo, "NUMA info: not available"},
        {kInfo, "CPU features: AVX2 + FMA ✓ (no AVX-512, using AVX2 kernel)"},
    };
    EXPECT_EQ(records, expected);
}

TEST(Syscheck, GovernorIsTrimmedAndAnythingElseWarns) {
    const std::vector<std::pair<std::string, Record>> cases = {
        {"performance\n", {kInfo, "CPU governor: performance ✓"}},
        {"  performance \t\n", {kInfo, "CPU governor: performance ✓"}},
        {"powersave\n",
         {kWarn, "CPU governor is 'powersave' — set to 'performance' for best throughput: sudo cpupower "
                 "frequency-set -g performance"}},
        {"performance2",
         {kWarn, "CPU governor is 'performance2' — set to 'performance' for best throughput: sudo cpupower "
                 "frequency-set -g performance"}},
    };
    for (const auto& [content, expected] : cases) {
        const auto records = run_checks(
            [&](const FakeRoot& r) { r.write("/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor", content); });
        ASSERT_FALSE(records.empty());
        EXPECT_EQ(records.front(), expected) << content;
    }
}

TEST(Syscheck, OnlyTheBracketedThpModeCounts) {
    const Record disabled = {
        kWarn, "⚠ Transparent hugepages DISABLED system-wide — expect 15-20% slower decode! Model weights span "
               "20+ GB across millions of 4K pages, causing constant TLB misses. Fix: echo madvise | sudo tee "
               "/sys/kernel/mm/transparent_hugepage/enabled"};
    const Record enabled = {kInfo, "Transparent hugepages: enabled ✓"};
    const std::vector<std::pair<std::string, Record>> cases = {
        {"always madvise [never]\n", disabled},
        {"always [madvise] never\n", enabled},
        {"[always] madvise never\n", enabled},
        {"always madvise never\n", {kInfo, "Transparent hugepages: unknown state (always madvise never)"}},
        {"\n", {kInfo, "Transparent hugepages: unknown state ()"}},
    };
    for (const auto& [content, expected] : cases) {
        const auto records = run_checks(
            [&](const FakeRoot& r) { r.write("/sys/kernel/mm/transparent_hugepage/enabled", content); });
        EXPECT_EQ(with_prefix(records, expected.second.substr(0, 12)), std::vector<Record>{expected}) << content;
    }
}

TEST(Syscheck, ProcessThpFlagWarnsOnlyWhenSet) {
    const std::string prefix = "⚠ THP disabled for this process";
    for (int flag : {-1, 0, 1}) {
        orvane::syscheck::Environment env;
        env.thp_disable = flag;
        const auto records = run_checks([](const FakeRoot&) {}, 0.0, env);
        const auto found = with_prefix(records, prefix);
        if (flag != 1) {
            EXPECT_TRUE(found.empty()) << flag;
            continue;
        }
        const std::vector<Record> expected = {
            {kWarn, "⚠ THP disabled for this process (PR_SET_THP_DISABLE=1, often inherited from tmux). "
                    "OrvaneEngine::new() will re-enable it automatically, but if you see this warning from a "
                    "standalone script, call orvane.system_check() after creating the engine."}};
        EXPECT_EQ(found, expected);
        // Reported right after the system-wide THP line.
        ASSERT_GE(records.size(), 3u);
        EXPECT_EQ(records[2], expected[0]);
    }
}

TEST(Syscheck, ReservedHugePages) {
    const std::string none1g = "1GB hugepages: none allocated (optional — can improve TLB for large models)";
    struct Case {
        std::optional<std::string> one_gb, two_mb;  // nullopt: file absent
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"abc\n", std::nullopt, {none1g}},
        {"0\n", std::nullopt, {none1g}},
        {"-3\n", std::nullopt, {none1g}},
        {" 4 \n", std::nullopt, {"1GB hugepages: 4 allocated (4 GB) ✓"}},
        {std::nullopt, "5120\n", {"2MB hugepages: 5120 allocated (10.0 GB)"}},
        {std::nullopt, "1\n", {"2MB hugepages: 1 allocated (0.0 GB)"}},
        {std::nullopt, "0\n", {}},
        {std::nullopt, "many\n", {}},
        {std::nullopt, std::nullopt, {}},
    };
    for (const auto& c : cases) {
        const auto records = run_checks([&](const FakeRoot& r) {
            if (c.one_gb) r.write("/sys/kernel/mm/hugepages/hugepages-1048576kB/nr_hugepages", *c.one_gb);
            if (c.two_mb) r.write("/sys/kernel/mm/hugepages/hugepages-2048kB/nr_hugepages", *c.two_mb);
        });
        std::vector<Record> expected;
        for (const auto& text : c.expected) expected.emplace_back(kInfo, text);
        auto found = with_prefix(records, "1GB hugepages");
        for (auto& r : with_prefix(records, "2MB hugepages")) found.push_back(r);
        EXPECT_EQ(found, expected) << c.one_gb.value_or("<none>") << " / " << c.two_mb.value_or("<none>");
    }
}

TEST(Syscheck, MemoryBudgetAgainstAvailableMemory) {
    struct Case {
        double model_gb;
        std::vector<Record> budget;  // records after the "System memory" line
    };
    const std::vector<Case> cases = {
        {0.0, {}},
        {-5.0, {}},
        {70.0,
         {{kWarn, "Low memory headroom: model needs 70.0 GB, 100.0 GB available (30.0 GB free). Consider closing "
                  "other applications."}}},
        {60.0, {{kInfo, "Memory budget: 60.0 GB for model, 40.0 GB headroom ✓"}}},
        {68.0, {{kInfo, "Memory budget: 68.0 GB for model, 32.0 GB headroom ✓"}}},
        {100.0,
         {{kWarn, "Low memory headroom: model needs 100.0 GB, 100.0 GB available (0.0 GB free). Consider closing "
                  "other applications."}}},
        {120.5,
         {{kWarn, "INSUFFICIENT MEMORY: model needs 120.5 GB but only 100.0 GB available. System may OOM or swap "
                  "heavily."}}},
    };
    for (const auto& c : cases) {
        const auto records =
            run_checks([](const FakeRoot& r) { r.write("/proc/meminfo", meminfo(128 * kGiBinKb, 100 * kGiBinKb)); },
                       c.model_gb);
        std::size_t at = 0;
        while (at < records.size() && !records[at].second.starts_with("System memory:")) ++at;
        ASSERT_LT(at, records.size()) << c.model_gb;
        EXPECT_EQ(records[at], Record(kInfo, "System memory: 128.0 GB total, 100.0 GB available"));
        const std::vector<Record> after(records.begin() + at + 1, records.end() - 2);  // before NUMA and CPU lines
        EXPECT_EQ(after, c.budget) << c.model_gb;
    }
}

TEST(Syscheck, MissingMeminfoLinesCountAsZero) {
    const auto records = run_checks([](const FakeRoot& r) { r.write("/proc/meminfo", "MemFree: 12 kB\nMemTotal: x kB\n"); },
                                    10.0);
    EXPECT_EQ(with_prefix(records, "System memory"),
              one(kInfo, "System memory: 0.0 GB total, 0.0 GB available"));
    EXPECT_EQ(with_prefix(records, "INSUFFICIENT"),
              one(kWarn, "INSUFFICIENT MEMORY: model needs 10.0 GB but only 0.0 GB available. "
                                          "System may OOM or swap heavily."));
}

TEST(Syscheck, NumaNodeDirectoriesAreCounted) {
    const std::string single = "NUMA: single node (no NUMA-aware pinning needed)";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"node0", "node1", "possible"}, "NUMA: 2 nodes detected — future: NUMA-aware expert pinning"},
        {{"node0", "node1", "node7", "has_cpu", "online"}, "NUMA: 3 nodes detected — future: NUMA-aware expert pinning"},
        {{"node0"}, single},
        {{}, single},
        {{"node0", "node", "nodeX", "node4294967296", "xnode1"}, single},
        {{"node0", "node4294967295"}, "NUMA: 2 nodes detected — future: NUMA-aware expert pinning"},
    };
    for (const auto& [entries, expected] : cases) {
        const auto records = run_checks([&](const FakeRoot& r) {
            r.mkdir("/sys/devices/system/node");
            for (const auto& e : entries) r.mkdir("/sys/devices/system/node/" + e);
        });
        EXPECT_EQ(with_prefix(records, "NUMA"), one(kInfo, expected)) << entries.size();
    }
}

TEST(Syscheck, CpuFeatureLine) {
    struct Case {
        bool avx2, fma, avx512f;
        Record expected;
    };
    const std::vector<Case> cases = {
        {true, true, true, {kInfo, "CPU features: AVX2 + FMA + AVX-512 ✓"}},
        {true, true, false, {kInfo, "CPU features: AVX2 + FMA ✓ (no AVX-512, using AVX2 kernel)"}},
        {true, false, true, {kWarn, "CPU features: AVX2=true, FMA=false — both required for INT4 matmul!"}},
        {false, true, false, {kWarn, "CPU features: AVX2=false, FMA=true — both required for INT4 matmul!"}},
        {false, false, false, {kWarn, "CPU features: AVX2=false, FMA=false — both required for INT4 matmul!"}},
    };
    for (const auto& c : cases) {
        orvane::syscheck::Environment env;
        env.cpu.avx2 = c.avx2;
        env.cpu.fma = c.fma;
        env.cpu.avx512f = c.avx512f;
        const auto records = run_checks([](const FakeRoot&) {}, 0.0, env);
        ASSERT_FALSE(records.empty());
        EXPECT_EQ(records.back(), c.expected);
    }
}

TEST(Syscheck, ParseMeminfoValue) {
    const std::vector<std::pair<std::string, std::optional<uint64_t>>> cases = {
        {"MemTotal:       65862344 kB", 65862344},
        {"MemTotal:\t65862344\tkB", 65862344},
        {"  VmRSS: 12", 12},
        {"HugePages_Total:       0", 0},
        {"MemTotal: +7 kB", 7},
        {"MemTotal: 18446744073709551615 kB", 18446744073709551615ULL},
        {"MemTotal: 18446744073709551616 kB", std::nullopt},
        {"MemTotal: -7 kB", std::nullopt},
        {"MemTotal: + kB", std::nullopt},
        {"MemTotal: 12kB", std::nullopt},
        {"MemTotal:", std::nullopt},
        {"MemTotal:   ", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [line, expected] : cases) EXPECT_EQ(orvane::syscheck::parse_meminfo_value(line), expected) << line;
}

TEST(Syscheck, MemoryUsageLine) {
    FakeRoot root;
    root.write("/proc/self/status", "Name:\tpython\nVmSize:\t 4194304 kB\nVmRSS:\t 2097152 kB\n");
    root.write("/proc/meminfo", "MemTotal: 209715200 kB\nMemAvailable: 104857600 kB\nBuffers: 524288 kB\n"
                                "SwapCached: 999999999 kB\nCached: 1048576 kB\n");
    {
        LogCapture capture;
        orvane::syscheck::log_memory_usage("after load", root.path());
        EXPECT_EQ(capture.records(),
                  one(kInfo, "after load: process RSS=2.0 GiB, VSZ=4.0 GiB | system "
                                              "avail=100.0/200.0 GiB, page_cache=1.5 GiB"));
    }
    {
        FakeRoot empty;
        LogCapture capture;
        orvane::syscheck::log_memory_usage("start", empty.path());
        EXPECT_EQ(capture.records(),
                  one(kInfo, "start: process RSS=0.0 GiB, VSZ=0.0 GiB | system avail=0.0/0.0 GiB, "
                                              "page_cache=0.0 GiB"));
    }
    {
        LogCapture capture(spdlog::level::warn);
        orvane::syscheck::log_memory_usage("quiet", root.path());
        EXPECT_TRUE(capture.records().empty());
    }
}

TEST(Syscheck, RunsOnTheRealMachine) {
    LogCapture capture;
    orvane::syscheck::run_startup_checks(0.0);
    orvane::syscheck::log_memory_usage("now");
    EXPECT_EQ(with_prefix(capture.records(), "CPU features:").size(), 1u);
    EXPECT_TRUE(with_prefix(capture.records(), "Memory budget").empty());
    EXPECT_EQ(with_prefix(capture.records(), "now: process RSS=").size(), 1u);
}
