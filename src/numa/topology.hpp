#pragma once
// NUMA topology, expert-to-node placement, the interleaved memory policy and the pinned process-wide pool.
//
// Detection reads the node CPU lists and per-node meminfo files under a root directory ("/" on a real
// machine; tests point it at a fabricated tree). The few facts that only the kernel can answer through
// libnuma (whether NUMA is usable at all, the highest node, the configured and online CPU counts) come in a
// `NumaPlatform` value, so every rule of detection and pinning can be exercised on invented machines.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace orvane::numa {

// What libnuma and sysconf report about the running machine.
struct NumaPlatform {
    bool numa_available = false;      // numa_available() >= 0
    int max_node = 0;                 // numa_max_node()
    int configured_cpus = 0;          // numa_num_configured_cpus()
    std::size_t online_cpus = 1;      // sysconf(_SC_NPROCESSORS_ONLN), at least 1

    // Queries libnuma and sysconf.
    static NumaPlatform current();
};

struct NumaTopology {
    std::vector<std::vector<uint32_t>> node_cpus;  // CPUs of each node, ascending
    std::vector<uint64_t> node_free_bytes;         // free memory of each node, 0 when unknown
    std::size_t num_nodes = 0;

    // Detects the running machine's topology and logs it.
    static NumaTopology detect();
    // The same from the given platform facts and the /sys tree under `root`.
    static NumaTopology detect(const NumaPlatform& platform, const std::filesystem::path& root);
};

struct NumaExpertMap {
    std::vector<std::vector<uint32_t>> node_of_expert;  // per MoE layer, per routed expert: its node
    std::size_t num_nodes = 0;

    // Every layer maps expert e to node e mod num_nodes (num_nodes must be at least 1).
    static NumaExpertMap round_robin(std::size_t num_layers, std::size_t num_experts, std::size_t num_nodes);

    // Groups the first `count` slots by the node of their expert: node -> [(slot, expert id)], slots in
    // order within a node. A layer beyond the map yields an empty grouping; an expert id beyond the
    // layer's experts, or a count beyond the ids, is an internal fault.
    std::map<uint32_t, std::vector<std::pair<std::size_t, std::size_t>>> group_by_node(
        std::size_t layer, std::span<const std::size_t> expert_ids, std::size_t count) const;
};

// Sets the calling thread's memory policy to interleave over nodes 0 .. n-1. False (with a warning) when
// the kernel refuses, when NUMA is unavailable, or when n exceeds the 64 nodes a one-word mask holds.
bool set_interleave_all(std::size_t num_nodes);

// The CPU that pool thread `index` is pinned to: node k = index mod nodes, CPU
// node_cpus[k][(index div nodes) mod |node_cpus[k]|]. None when the node has no CPUs (the thread stays
// unpinned) or the topology has no nodes. A CPU id of 1024 or above is an internal fault: the affinity set
// covers 1024 CPUs.
std::optional<uint32_t> pinned_cpu(const NumaTopology& topology, std::size_t index);

// Number of pool threads among indices 0 .. threads-1 that run on `node`.
std::size_t threads_on_node(std::size_t threads, std::size_t num_nodes, std::size_t node);

// Builds the process-wide pool with `threads` threads (0 = one per available CPU), pinned round robin over
// the NUMA nodes when there are several, and returns the detected topology. A pool that already exists is
// kept unchanged; the log lines are written all the same.
NumaTopology build_numa_thread_pool(std::size_t threads);
NumaTopology build_numa_thread_pool(std::size_t threads, const NumaPlatform& platform,
                                    const std::filesystem::path& root);

// Parses a kernel CPU list such as "0-3,8-11" (surrounding whitespace allowed, empty = no CPUs), keeping
// only ids below `limit`. None when the text is malformed.
std::optional<std::vector<uint32_t>> parse_cpu_list(std::string_view text, uint32_t limit);

}  // namespace orvane::numa
