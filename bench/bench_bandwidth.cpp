// The machine's memory-bandwidth limits as one JSON line, for the Python benchmark and the demo to report
// their figures against: streaming read by all pool threads, streaming read by one thread, and memcpy by all
// pool threads (bytes copied per second), in GB/s (1e9 bytes), plus the thread count, the last-level cache
// size and the probe buffer size in bytes.
//
// Usage: bench_bandwidth [MIB]   (probe buffer size in MiB; default: the probe's own, the larger of 1 GiB and
// 8 x the last-level cache)

#include <cstddef>
#include <cstdlib>
#include <string>

#include <fmt/format.h>

#include "common/bandwidth.hpp"
#include "core/thread_pool.hpp"

int main(int argc, char** argv) {
    std::size_t bytes = 0;
    if (argc > 1) {
        bytes = static_cast<std::size_t>(std::strtoull(argv[1], nullptr, 10)) << 20;
    }
    const orvane::bench::BandwidthProbe probe(bytes);
    const double read_all = probe.read_gbps(5);
    const double read_one = probe.read_gbps_single(3);
    const double copy = probe.memcpy_gbps(3);
    fmt::print(
        "{{\"read_gbps\": {:.3f}, \"read_gbps_single\": {:.3f}, \"memcpy_gbps\": {:.3f}, \"threads\": {}, "
        "\"llc_bytes\": {}, \"probe_bytes\": {}}}\n",
        read_all, read_one, copy, orvane::pool::num_threads(), orvane::bench::llc_bytes(), probe.bytes());
    return 0;
}
