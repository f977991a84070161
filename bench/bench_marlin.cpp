// Cache-build throughput of group quantization and Marlin repacking, one thread, on the matrices of one
// DeepSeek-V3-shaped expert (gate and up: 2048 × 7168, down: 7168 × 2048, group size 128) from random BF16
// input. Figures are GB/s of BF16 input (2 bytes per weight) per thread, best of several runs, next to the
// single-thread streaming read bandwidth measured in the same run.
//
//   bench_marlin [--quick]

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "common/bandwidth.hpp"
#include "common/timing.hpp"
#include "core/bf16.hpp"
#include "weights/marlin.hpp"

namespace {

using namespace orvane;
using namespace orvane::weights::marlin;
using bench::best_seconds;
using bench::random_bf16;

constexpr uint64_t kGroupSize = 128;



struct Shape {
    const char* name;
    uint64_t rows, cols;
};

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::string(argv[1]) == "--quick";
    const int runs = quick ? 2 : 5;

    const bench::BandwidthProbe probe;
    const double read_single = probe.read_gbps_single();
    fmt::print("Single-thread streaming read: {:.2f} GB/s ({} MiB buffer)\n\n", read_single, probe.bytes() >> 20);

    fmt::print("| matrix | step | ms | GB/s of BF16 input per thread | ratio to 1-thread read |\n");
    fmt::print("|---|---|---:|---:|---:|\n");
    const Shape shapes[] = {{"gate/up 2048×7168", 2048, 7168}, {"down 7168×2048", 7168, 2048}};
    for (const Shape& s : shapes) {
        const std::vector<uint16_t> x = random_bf16(s.rows * s.cols, static_cast<uint32_t>(s.rows));
        const double input_gb = static_cast<double>(x.size()) * 2.0 / 1e9;
        auto row = [&](const char* step, double sec) {
            fmt::print("| {} | {} | {:.2f} | {:.2f} | {:.2f} |\n", s.name, step, sec * 1e3, input_gb / sec,
                       input_gb / sec / read_single);
        };

        QuantizedInt4 q4;
        row("quantize_int4", best_seconds(runs, [&] { q4 = quantize_int4(x, s.rows, s.cols, kGroupSize); }));
        MarlinRepacked m4;
        row("marlin_repack", best_seconds(runs, [&] { m4 = marlin_repack(q4); }));
        row("quantize_int4 + marlin_repack", best_seconds(runs, [&] {
                m4 = marlin_repack(quantize_int4(x, s.rows, s.cols, kGroupSize));
            }));

        QuantizedInt8 q8;
        row("quantize_int8", best_seconds(runs, [&] { q8 = quantize_int8(x, s.rows, s.cols, kGroupSize); }));
        MarlinRepacked m8;
        row("marlin_repack_int8", best_seconds(runs, [&] { m8 = marlin_repack_int8(q8); }));
    }
    return 0;
}
