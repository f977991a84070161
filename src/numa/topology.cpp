#include "numa/topology.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <system_error>

#include <numa.h>
#include <numaif.h>
#include <sched.h>
#include <unistd.h>

#include "core/files.hpp"
#include "core/errors.hpp"
#include "core/logging.hpp"
#include "core/thread_pool.hpp"

namespace orvane::numa {

namespace {

// Affinity sets are the fixed-size cpu_set_t: CPUs 0 .. 1023.
constexpr uint32_t kAffinityCpus = CPU_SETSIZE;

using files::read_text;
using files::under;

// An unsigned decimal with an optional leading '+', nothing else; none on overflow.
std::optional<uint64_t> parse_unsigned(std::string_view s) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty() || s.front() < '0' || s.front() > '9') return std::nullopt;
    uint64_t value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return value;
}

std::string_view trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\n\r\f\v");
    if (first == std::string_view::npos) return {};
    const auto last = s.find_last_not_of(" \t\n\r\f\v");
    return s.substr(first, last - first + 1);
}

// Free bytes from a node's meminfo: the first "MemFree:" or "MemAvailable:" line whose fourth field
// ("Node 1 MemFree: 1048576 kB") is a number, in kB. 0 when the file is unreadable or has no such line.
uint64_t read_node_free_bytes(const std::filesystem::path& root, std::size_t node) {
    const auto text = read_text(under(root, fmt::format("/sys/devices/system/node/node{}/meminfo", node)));
    if (!text) return 0;
    std::istringstream lines(*text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find("MemFree:") == std::string::npos && line.find("MemAvailable:") == std::string::npos)
            continue;
        std::istringstream fields(line);
        std::string field[4];
        if (!(fields >> field[0] >> field[1] >> field[2] >> field[3])) continue;
        if (const auto kb = parse_unsigned(field[3])) {
            constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
            return *kb > kMax / 1024 ? kMax : *kb * 1024;
        }
    }
    return 0;
}

void log_topology(const NumaTopology& t, int configured_cpus) {
    auto& log = orvane::log::numa();
    log.info("NUMA: {} nodes, {} total CPUs", t.num_nodes, configured_cpus);
    for (std::size_t n = 0; n < t.num_nodes; ++n)
        log.info("  Node {}: {} CPUs, {:.1f} GB free", n, t.node_cpus[n].size(),
                 static_cast<double>(t.node_free_bytes[n]) / 1e9);
}

}  // namespace

NumaPlatform NumaPlatform::current() {
    NumaPlatform p;
    p.numa_available = ::numa_available() >= 0;
    if (p.numa_available) {
        p.max_node = numa_max_node();
        p.configured_cpus = numa_num_configured_cpus();
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    p.online_cpus = online > 0 ? static_cast<std::size_t>(online) : 1;
    return p;
}

std::optional<std::vector<uint32_t>> parse_cpu_list(std::string_view text, uint32_t limit) {
    std::vector<uint32_t> cpus;
    text = trim(text);
    if (text.empty()) return cpus;
    auto number = [](std::string_view s) -> std::optional<uint32_t> {
        if (s.empty() || s.front() < '0' || s.front() > '9') return std::nullopt;
        uint32_t v = 0;
        const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
        if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
        return v;
    };
    while (true) {
        const auto comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        const auto dash = item.find('-');
        const auto first = number(item.substr(0, dash));
        const auto last = dash == std::string_view::npos ? first : number(item.substr(dash + 1));
        if (!first || !last || *last < *first) return std::nullopt;
        // Ids at or beyond the limit are dropped, so a huge range never turns into a huge list.
        for (uint32_t c = *first; c < limit && c <= *last; ++c) cpus.push_back(c);
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    std::sort(cpus.begin(), cpus.end());
    cpus.erase(std::unique(cpus.begin(), cpus.end()), cpus.end());
    return cpus;
}

NumaTopology NumaTopology::detect() { return detect(NumaPlatform::current(), "/"); }

NumaTopology NumaTopology::detect(const NumaPlatform& platform, const std::filesystem::path& root) {
    NumaTopology t;
    if (!platform.numa_available) {
        orvane::log::numa().info("NUMA: libnuma not available, using single-node fallback");
        t.num_nodes = 1;
        t.node_cpus.resize(1);
        for (std::size_t c = 0; c < platform.online_cpus; ++c) t.node_cpus[0].push_back(static_cast<uint32_t>(c));
        t.node_free_bytes.assign(1, 0);
        return t;
    }

    t.num_nodes = platform.max_node >= 0 ? static_cast<std::size_t>(platform.max_node) + 1 : 0;
    const uint32_t cpus = platform.configured_cpus > 0 ? static_cast<uint32_t>(platform.configured_cpus) : 0;

    // The node of every CPU, as libnuma's numa_node_of_cpu answers it: the lowest node whose CPU list holds
    // it (libnuma reads the same per-node masks). CPUs that no node lists are left out.
    constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();
    std::vector<uint32_t> node_of_cpu(cpus, kNone);
    for (std::size_t n = 0; n < t.num_nodes; ++n) {
        const auto text = read_text(under(root, fmt::format("/sys/devices/system/node/node{}/cpulist", n)));
        if (!text) continue;
        const auto list = parse_cpu_list(*text, cpus);
        if (!list) continue;
        for (uint32_t c : *list)
            if (node_of_cpu[c] == kNone) node_of_cpu[c] = static_cast<uint32_t>(n);
    }
    t.node_cpus.resize(t.num_nodes);
    for (uint32_t c = 0; c < cpus; ++c)
        if (node_of_cpu[c] != kNone) t.node_cpus[node_of_cpu[c]].push_back(c);

    t.node_free_bytes.resize(t.num_nodes);
    for (std::size_t n = 0; n < t.num_nodes; ++n) t.node_free_bytes[n] = read_node_free_bytes(root, n);

    log_topology(t, platform.configured_cpus);
    return t;
}

NumaExpertMap NumaExpertMap::round_robin(std::size_t num_layers, std::size_t num_experts, std::size_t num_nodes) {
    ORVANE_CHECK(num_nodes > 0, "expert map needs at least one node");
    NumaExpertMap map;
    map.num_nodes = num_nodes;
    map.node_of_expert.assign(num_layers, std::vector<uint32_t>(num_experts));
    for (auto& layer : map.node_of_expert)
        for (std::size_t e = 0; e < num_experts; ++e) layer[e] = static_cast<uint32_t>(e % num_nodes);
    return map;
}

std::map<uint32_t, std::vector<std::pair<std::size_t, std::size_t>>> NumaExpertMap::group_by_node(
    std::size_t layer, std::span<const std::size_t> expert_ids, std::size_t count) const {
    std::map<uint32_t, std::vector<std::pair<std::size_t, std::size_t>>> groups;
    if (layer >= node_of_expert.size()) return groups;
    ORVANE_CHECK(count <= expert_ids.size(), "slot count {} exceeds the {} expert ids given", count,
                 expert_ids.size());
    const auto& nodes = node_of_expert[layer];
    for (std::size_t slot = 0; slot < count; ++slot) {
        const std::size_t expert = expert_ids[slot];
        ORVANE_CHECK(expert < nodes.size(), "index out of bounds: the len is {} but the index is {}",
                     nodes.size(), expert);
        groups[nodes[expert]].emplace_back(slot, expert);
    }
    return groups;
}

bool set_interleave_all(std::size_t num_nodes) {
    if (numa_available() < 0) return false;
    if (num_nodes > 64) {
        orvane::log::numa().warn("set_mempolicy(INTERLEAVE) failed: {} nodes exceed a one-word node mask",
                                 num_nodes);
        return false;
    }
    const unsigned long mask = num_nodes == 64 ? ~0UL : (1UL << num_nodes) - 1;
    if (set_mempolicy(MPOL_INTERLEAVE, &mask, num_nodes + 1) != 0) {
        const int err = errno;
        orvane::log::numa().warn("set_mempolicy(INTERLEAVE) failed: {}", std::strerror(err));
        return false;
    }
    return true;
}

std::optional<uint32_t> pinned_cpu(const NumaTopology& topology, std::size_t index) {
    if (topology.num_nodes == 0) return std::nullopt;
    const std::size_t node = index % topology.num_nodes;
    ORVANE_CHECK(node < topology.node_cpus.size(), "node {} has no CPU list ({} lists)", node,
                 topology.node_cpus.size());
    const auto& cpus = topology.node_cpus[node];
    if (cpus.empty()) return std::nullopt;
    const uint32_t cpu = cpus[(index / topology.num_nodes) % cpus.size()];
    ORVANE_CHECK(cpu < kAffinityCpus, "CPU {} is beyond the {} CPUs an affinity set covers", cpu, kAffinityCpus);
    return cpu;
}

std::size_t threads_on_node(std::size_t threads, std::size_t num_nodes, std::size_t node) {
    if (num_nodes == 0 || node >= num_nodes) return 0;
    return threads / num_nodes + (node < threads % num_nodes ? 1 : 0);
}

NumaTopology build_numa_thread_pool(std::size_t threads) {
    return build_numa_thread_pool(threads, NumaPlatform::current(), "/");
}

NumaTopology build_numa_thread_pool(std::size_t threads, const NumaPlatform& platform,
                                    const std::filesystem::path& root) {
    NumaTopology topology = NumaTopology::detect(platform, root);
    if (threads == 0) threads = pool::available_cpus();
    auto& log = orvane::log::numa();

    if (topology.num_nodes <= 1) {
        pool::init(threads);  // false when the pool already exists: it stays as it is
        log.info("Thread pool: {} threads (single NUMA node, no pinning needed)", threads);
        return topology;
    }

    if (!pool::initialized()) {
        // The pool has `threads` slots. Slot 0 is reserved for the thread that hands work to the pool (the
        // host's thread, which takes part in the work it waits for); the pool's own workers occupy slots
        // 1 .. threads-1. Pool thread index i is slot i, so the per-node thread counts below describe the
        // slots. Only worker threads are pinned: an affinity set on a host thread would outlive its pool
        // work. A worker that leaves the pool and comes back may take another slot; the hook runs on every
        // entry, so the CPU always follows the slot, and a worker entering a slot without a CPU gets the
        // builder's full affinity back instead of keeping the pin of its previous slot. The CPUs are
        // computed here, on the calling thread, so that an impossible CPU id is reported to the caller
        // instead of ending a worker thread.
        std::vector<std::optional<uint32_t>> cpu_of_slot(threads);
        for (std::size_t i = 0; i < threads; ++i) cpu_of_slot[i] = pinned_cpu(topology, i);
        cpu_set_t unpinned;
        if (sched_getaffinity(0, sizeof(unpinned), &unpinned) != 0) {
            CPU_ZERO(&unpinned);
            for (uint32_t c = 0; c < kAffinityCpus; ++c) CPU_SET(c, &unpinned);
        }
        pool::set_thread_start_hook([cpu_of_slot = std::move(cpu_of_slot), unpinned](std::size_t slot,
                                                                                     bool is_worker) {
            if (!is_worker) return;
            const std::optional<uint32_t> cpu = slot < cpu_of_slot.size() ? cpu_of_slot[slot] : std::nullopt;
            if (cpu) {
                cpu_set_t set;
                CPU_ZERO(&set);
                CPU_SET(*cpu, &set);
                if (sched_setaffinity(0, sizeof(set), &set) == 0) return;
                const int err = errno;
                orvane::log::numa().debug("pinning pool thread {} to CPU {} failed: {}", slot, *cpu,
                                          std::strerror(err));
            }
            sched_setaffinity(0, sizeof(unpinned), &unpinned);
        });
        pool::init(threads);
    }
    log.info("Thread pool: {} threads across {} NUMA nodes, pinned round robin", threads, topology.num_nodes);
    for (std::size_t k = 0; k < topology.num_nodes; ++k)
        log.info("  Node {}: {} threads, {} CPUs available", k, threads_on_node(threads, topology.num_nodes, k),
                 topology.node_cpus[k].size());
    return topology;
}

}  // namespace orvane::numa
