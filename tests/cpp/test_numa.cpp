// NUMA topology detection on fabricated /sys trees, expert grouping, the pinning rule and the pool builder.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <spdlog/sinks/base_sink.h>

#include "support.hpp"
#include "core/errors.hpp"
#include "core/logging.hpp"
#include "core/thread_pool.hpp"
#include "numa/topology.hpp"

namespace {

namespace fs = std::filesystem;
using orvane::numa::NumaExpertMap;
using orvane::numa::NumaPlatform;
using orvane::numa::NumaTopology;
using Cpus = std::vector<uint32_t>;

// A fresh directory standing in for "/", with helpers for fabricated NUMA nodes.
class FakeRoot : public orvane::test_support::TempDir {
public:
    FakeRoot() : TempDir("orvane-numa") {}
    void node(unsigned n, const std::string& cpulist, const std::string& meminfo) const {
        write("/sys/devices/system/node/node" + std::to_string(n) + "/cpulist", cpulist);
        write("/sys/devices/system/node/node" + std::to_string(n) + "/meminfo", meminfo);
    }
};


class CaptureSink : public spdlog::sinks::base_sink<std::mutex> {
public:
    std::vector<std::string> lines;

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        lines.emplace_back(msg.payload.data(), msg.payload.size());
    }
    void flush_() override {}
};

// Routes the numa logger (info and above) into a capture sink; restores its sinks and level after.
class LogCapture {
public:
    LogCapture() : logger_(orvane::log::numa()), saved_sinks_(logger_.sinks()), saved_level_(logger_.level()) {
        logger_.sinks() = {sink_};
        logger_.set_level(spdlog::level::info);
    }
    ~LogCapture() {
        logger_.sinks() = saved_sinks_;
        logger_.set_level(saved_level_);
    }
    const std::vector<std::string>& lines() const { return sink_->lines; }

private:
    spdlog::logger& logger_;
    std::shared_ptr<CaptureSink> sink_ = std::make_shared<CaptureSink>();
    std::vector<spdlog::sink_ptr> saved_sinks_;
    spdlog::level::level_enum saved_level_;
};

NumaPlatform platform(int max_node, int configured_cpus) {
    NumaPlatform p;
    p.numa_available = true;
    p.max_node = max_node;
    p.configured_cpus = configured_cpus;
    p.online_cpus = static_cast<std::size_t>(configured_cpus);
    return p;
}

NumaTopology topology(std::vector<Cpus> node_cpus) {
    NumaTopology t;
    t.num_nodes = node_cpus.size();
    t.node_free_bytes.assign(node_cpus.size(), 0);
    t.node_cpus = std::move(node_cpus);
    return t;
}

}  // namespace

TEST(NumaDetect, WithoutLibnumaOneNodeHoldsEveryOnlineCpu) {
    NumaPlatform p;
    p.numa_available = false;
    p.online_cpus = 8;
    FakeRoot root;
    root.node(0, "0-3", "Node 0 MemFree: 100 kB\n");  // never consulted without libnuma
    LogCapture capture;
    const NumaTopology t = NumaTopology::detect(p, root.path());
    EXPECT_EQ(t.num_nodes, 1u);
    EXPECT_EQ(t.node_cpus, std::vector<Cpus>{Cpus({0, 1, 2, 3, 4, 5, 6, 7})});
    EXPECT_EQ(t.node_free_bytes, std::vector<uint64_t>{0});
    EXPECT_EQ(capture.lines(), std::vector<std::string>{"NUMA: libnuma not available, using single-node fallback"});
}

TEST(NumaDetect, TwoNodesWithRangedCpuListsAndFreeMemory) {
    FakeRoot root;
    root.node(0, "0-3,8-11\n",
              "Node 0 MemTotal:       67108864 kB\nNode 0 MemFree:         2097152 kB\nNode 0 MemUsed: 5 kB\n");
    root.node(1, "4-7,12-15\n", "Node 1 MemTotal: 67108864 kB\nNode 1 MemFree: 1048576 kB\n");
    LogCapture capture;
    const NumaTopology t = NumaTopology::detect(platform(1, 16), root.path());
    EXPECT_EQ(t.num_nodes, 2u);
    EXPECT_EQ(t.node_cpus, (std::vector<Cpus>{{0, 1, 2, 3, 8, 9, 10, 11}, {4, 5, 6, 7, 12, 13, 14, 15}}));
    EXPECT_EQ(t.node_free_bytes, (std::vector<uint64_t>{2147483648ULL, 1073741824ULL}));
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"NUMA: 2 nodes, 16 total CPUs",
                                                          "  Node 0: 8 CPUs, 2.1 GB free",
                                                          "  Node 1: 8 CPUs, 1.1 GB free"}));
}

TEST(NumaDetect, CpuMembershipFollowsTheNodeOfEachConfiguredCpu) {
    FakeRoot root;
    root.node(0, "0,2,6-7", "");
    root.node(1, "1,2,3,20-4000000000", "");  // CPU 2 belongs to the lowest node listing it; 20+ not configured
    root.node(2, "\n", "");                  // a memory-only node
    root.write("/sys/devices/system/node/node3/meminfo", "");  // no cpulist at all
    root.node(4, "4-x", "");                 // malformed: no CPUs
    root.node(5, "5", "");                   // beyond the highest node: not read
    const NumaTopology t = NumaTopology::detect(platform(4, 8), root.path());
    EXPECT_EQ(t.num_nodes, 5u);
    EXPECT_EQ(t.node_cpus, (std::vector<Cpus>{{0, 2, 6, 7}, {1, 3}, {}, {}, {}}));
    EXPECT_EQ(t.node_free_bytes, std::vector<uint64_t>(5, 0));
}

TEST(NumaDetect, FreeBytesFromTheFirstUsableMeminfoLine) {
    const std::vector<std::pair<std::optional<std::string>, uint64_t>> cases = {
        {"Node 1 MemFree: 1048576 kB\n", 1073741824ULL},
        {"Node 1 MemAvailable: 2 kB\nNode 1 MemFree: 1 kB\n", 2048},  // the first match stops the scan
        {"Node 1 MemFree:\nNode 1 MemFree: x kB\nNode 1 MemFree: 3 kB\n", 3072},  // unusable lines skipped
        {"Node 1 MemFree: +4 kB\n", 4096},
        {"Node 1 MemFree: -4 kB\n", 0},
        {"Node 1 MemTotal: 99 kB\nNode 1 MemUsed: 9 kB\n", 0},
        {"Node 1 MemFree: 18446744073709551615 kB\n", 18446744073709551615ULL},  // saturates, never wraps
        {"", 0},
        {std::nullopt, 0},  // unreadable
    };
    for (const auto& [meminfo, expected] : cases) {
        FakeRoot root;
        root.node(0, "0", "Node 0 MemFree: 1 kB\n");
        root.write("/sys/devices/system/node/node1/cpulist", "1");
        if (meminfo) root.write("/sys/devices/system/node/node1/meminfo", *meminfo);
        const NumaTopology t = NumaTopology::detect(platform(1, 2), root.path());
        ASSERT_EQ(t.node_free_bytes.size(), 2u);
        EXPECT_EQ(t.node_free_bytes[0], 1024u);
        EXPECT_EQ(t.node_free_bytes[1], expected) << meminfo.value_or("<unreadable>");
    }
}

TEST(NumaDetect, ParseCpuList) {
    const std::vector<std::tuple<std::string, uint32_t, std::optional<Cpus>>> cases = {
        {"0-3,8-11\n", 64, Cpus{0, 1, 2, 3, 8, 9, 10, 11}},
        {"5", 64, Cpus{5}},
        {" 2,0-1 \n", 64, Cpus{0, 1, 2}},
        {"", 64, Cpus{}},
        {"\n", 64, Cpus{}},
        {"0-4294967295", 4, Cpus{0, 1, 2, 3}},  // clipped to the limit, not expanded
        {"60-70", 64, Cpus{60, 61, 62, 63}},
        {"3-1", 64, std::nullopt},
        {"1,,2", 64, std::nullopt},
        {"0-", 64, std::nullopt},
        {"-1", 64, std::nullopt},
        {"a", 64, std::nullopt},
        {"0 1", 64, std::nullopt},
        {"4294967296", 64, std::nullopt},
    };
    for (const auto& [text, limit, expected] : cases)
        EXPECT_EQ(orvane::numa::parse_cpu_list(text, limit), expected) << text;
}

TEST(NumaExpertMap, GroupsSlotsByNodeInSlotOrder) {
    const NumaExpertMap map = NumaExpertMap::round_robin(3, 4, 2);
    EXPECT_EQ(map.num_nodes, 2u);
    EXPECT_EQ(map.node_of_expert, std::vector<std::vector<uint32_t>>(3, {0, 1, 0, 1}));

    using Groups = std::map<uint32_t, std::vector<std::pair<std::size_t, std::size_t>>>;
    const std::vector<std::size_t> ids = {3, 0, 2};
    EXPECT_EQ(map.group_by_node(1, ids, 3), (Groups{{0, {{1, 0}, {2, 2}}}, {1, {{0, 3}}}}));
    EXPECT_EQ(map.group_by_node(1, ids, 1), (Groups{{1, {{0, 3}}}}));  // only the first `count` slots
    EXPECT_EQ(map.group_by_node(1, ids, 0), Groups{});
    EXPECT_EQ(map.group_by_node(3, ids, 3), Groups{});  // layer beyond the map
    EXPECT_EQ(map.group_by_node(100, ids, 3), Groups{});

    const std::vector<std::size_t> bad = {1, 4};
    EXPECT_THROW(map.group_by_node(0, bad, 2), orvane::InternalError);  // expert beyond the layer
    EXPECT_THROW(map.group_by_node(0, ids, 4), orvane::InternalError);  // more slots than ids
    EXPECT_THROW(NumaExpertMap::round_robin(1, 4, 0), orvane::InternalError);
}

TEST(NumaPinning, ThreadsAlternateNodesAndWalkEachNodesCpus) {
    struct Case {
        std::vector<Cpus> nodes;
        std::size_t threads;
        std::vector<std::optional<uint32_t>> expected;
    };
    const std::vector<Case> cases = {
        {{{0, 1, 2, 3}, {4, 5, 6, 7}}, 6, {0, 4, 1, 5, 2, 6}},
        // More threads than a node has CPUs: the node's CPUs are reused from the start.
        {{{0, 1}, {8, 9, 10}}, 8, {0, 8, 1, 9, 0, 10, 1, 8}},
        {{{0}, {1}, {2}}, 7, {0, 1, 2, 0, 1, 2, 0}},
        // A node without CPUs leaves its threads unpinned.
        {{{0, 1}, {}}, 4, {0, std::nullopt, 1, std::nullopt}},
        {{{5, 1023}, {7}}, 4, {5, 7, 1023, 7}},
        {{}, 2, {std::nullopt, std::nullopt}},
    };
    for (const auto& c : cases) {
        const NumaTopology t = topology(c.nodes);
        std::vector<std::optional<uint32_t>> got;
        for (std::size_t i = 0; i < c.threads; ++i) got.push_back(orvane::numa::pinned_cpu(t, i));
        EXPECT_EQ(got, c.expected) << c.nodes.size() << " nodes, " << c.threads << " threads";
    }
}

TEST(NumaPinning, CpuBeyondTheAffinitySetIsAnInternalFault) {
    const NumaTopology t = topology({{0, 1024}, {2}});
    EXPECT_EQ(orvane::numa::pinned_cpu(t, 0), 0u);
    EXPECT_EQ(orvane::numa::pinned_cpu(t, 1), 2u);
    EXPECT_THROW(orvane::numa::pinned_cpu(t, 2), orvane::InternalError);
}

TEST(NumaPinning, ThreadsPerNode) {
    // (threads, nodes) -> count per node
    const std::vector<std::tuple<std::size_t, std::size_t, std::vector<std::size_t>>> cases = {
        {6, 2, {3, 3}}, {5, 2, {3, 2}}, {7, 3, {3, 2, 2}}, {1, 4, {1, 0, 0, 0}}, {0, 2, {0, 0}},
    };
    for (const auto& [threads, nodes, expected] : cases) {
        std::vector<std::size_t> got;
        for (std::size_t k = 0; k < nodes; ++k) got.push_back(orvane::numa::threads_on_node(threads, nodes, k));
        EXPECT_EQ(got, expected) << threads << " threads on " << nodes << " nodes";
    }
}

TEST(NumaPool, ExistingPoolIsKeptAndThePlanIsStillLogged) {
    const std::size_t before = orvane::pool::num_threads();  // the pool exists from here on
    FakeRoot root;
    root.node(0, "0-3", "Node 0 MemFree: 0 kB\n");
    root.node(1, "4-7", "Node 1 MemFree: 0 kB\n");
    LogCapture capture;
    const NumaTopology t = orvane::numa::build_numa_thread_pool(before + 4, platform(1, 8), root.path());
    EXPECT_EQ(orvane::pool::num_threads(), before);
    EXPECT_EQ(t.node_cpus, (std::vector<Cpus>{{0, 1, 2, 3}, {4, 5, 6, 7}}));
    const std::size_t n = before + 4;
    const std::vector<std::string> expected = {
        "NUMA: 2 nodes, 8 total CPUs",
        "  Node 0: 4 CPUs, 0.0 GB free",
        "  Node 1: 4 CPUs, 0.0 GB free",
        fmt::format("Thread pool: {} threads across 2 NUMA nodes, pinned round robin", n),
        fmt::format("  Node 0: {} threads, 4 CPUs available", (n + 1) / 2),
        fmt::format("  Node 1: {} threads, 4 CPUs available", n / 2),
    };
    EXPECT_EQ(capture.lines(), expected);
}

TEST(NumaPool, SingleNodeNeedsNoPinning) {
    orvane::pool::num_threads();
    NumaPlatform p;
    p.online_cpus = 4;
    FakeRoot root;
    LogCapture capture;
    const NumaTopology t = orvane::numa::build_numa_thread_pool(6, p, root.path());
    EXPECT_EQ(t.num_nodes, 1u);
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"NUMA: libnuma not available, using single-node fallback",
                                                          "Thread pool: 6 threads (single NUMA node, no pinning needed)"}));
}

TEST(NumaInterleave, MasksBeyondOneWordOrEmptyAreRefused) {
    // 65 nodes do not fit a one-word mask; an empty mask is refused by the kernel (or NUMA is unavailable).
    EXPECT_FALSE(orvane::numa::set_interleave_all(65));
    EXPECT_FALSE(orvane::numa::set_interleave_all(0));
}
