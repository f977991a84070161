// Row-major INT4/INT8 expert products streamed from DRAM, each figure next to the read bandwidth measured in
// the same run.
//
//   bench_rowmajor [--quick]
//
// Expert-sized matrices (gate/up 768 x 2048, down 2048 x 768, group size 128), as many distinct copies as
// exceed 4x the last-level cache, cycled so that every product reads its weights from DRAM. Figures are GB/s
// of weight bytes (packed words or bytes + BF16 scales), best of several passes:
//   - 1 thread: the raw kernel on the calling thread, against the single-thread streaming read;
//   - all threads: one product per pool task over the copies (the expert-parallel use), against the
//     all-thread streaming read;
//   - driver: the row-parallel driver on a product above its threshold (2048 x 7168), against the
//     all-thread read.

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
#include "core/thread_pool.hpp"
#include "kernel/avx2/rowmajor.hpp"
#include "weights/marlin.hpp"

namespace {

using namespace orvane;
using namespace orvane::kernel::avx2;
using bench::LargeBuffer;
using bench::fill_random;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kGroupSize = 128;


// Small BF16 scales of both signs (random bits would give infinities and NaNs).
void fill_scales(uint16_t* s, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) s[i] = static_cast<uint16_t>(0x3C00 + (i * 37) % 256 + (i % 3 == 0 ? 0x8000 : 0));
}

struct Activation {
    std::vector<int16_t> q;
    std::vector<float> scales;
};

Activation make_activation(std::size_t k) {
    std::mt19937 rng(7);
    Activation a;
    a.q.resize(k);
    for (auto& v : a.q) v = static_cast<int16_t>(rng());
    a.scales.assign(k / kGroupSize, 1e-4f);
    return a;
}

struct Shape {
    const char* name;
    std::size_t rows, cols;
};

// Distinct copies of one matrix shape in two large buffers.
struct Copies {
    bool int8;
    std::size_t rows, cols, count, data_bytes, scale_count;
    LargeBuffer data, scales;

    Copies(bool int8_, const Shape& s, std::size_t min_total)
        : int8(int8_),
          rows(s.rows),
          cols(s.cols),
          data_bytes(int8_ ? s.rows * s.cols : s.rows * s.cols / 2),
          scale_count(s.rows * (s.cols / kGroupSize)) {
        count = std::max<std::size_t>(2, (min_total + bytes_each() - 1) / bytes_each());
        data = LargeBuffer(count * data_bytes);
        scales = LargeBuffer(count * scale_count * 2);
        fill_random(data.data(), data.size(), rows * 31 + cols + (int8 ? 1 : 0));
        fill_scales(scales.as<uint16_t>(), count * scale_count);
    }

    std::size_t bytes_each() const { return data_bytes + scale_count * 2; }

    void product(std::size_t i, const Activation& a, float* out) const {
        const uint16_t* s = scales.as<uint16_t>() + i * scale_count;
        if (int8) {
            expert_matmul_int8_integer(data.as<int8_t>() + i * data_bytes, s, a.q.data(), a.scales.data(), out,
                                       cols, rows, kGroupSize);
        } else {
            expert_matmul_int4_integer(data.as<uint32_t>() + i * data_bytes / 4, s, a.q.data(), a.scales.data(), out,
                                       cols, rows, kGroupSize);
        }
    }
};

// Best GB/s of `passes` runs of f, each moving `bytes`.
double best_gbps(int passes, double bytes, const std::function<void()>& f) {
    double best = 1e30;
    for (int p = 0; p < passes; ++p) {
        const auto a = Clock::now();
        f();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - a).count());
    }
    return bytes / best / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::string(argv[1]) == "--quick";
    const int passes = quick ? 2 : 5;
    const std::size_t threads = pool::num_threads();

    const bench::BandwidthProbe probe;
    const double read_single = probe.read_gbps_single();
    const double read_all = probe.read_gbps();
    const std::size_t min_total = 4 * bench::llc_bytes() + bench::llc_bytes() / 2;
    fmt::print("Streaming read: {:.2f} GB/s on 1 thread, {:.2f} GB/s on {} threads ({} MiB buffer); "
               "last-level cache {} MiB\n\n",
               read_single, read_all, threads, probe.bytes() >> 20, bench::llc_bytes() >> 20);

    fmt::print("| kernel | matrix | threads | copies | µs per product | GB/s | ratio to read |\n");
    fmt::print("|---|---|---:|---:|---:|---:|---:|\n");
    const Shape shapes[] = {{"gate/up 768×2048", 768, 2048}, {"down 2048×768", 2048, 768}};
    for (const bool int8 : {false, true}) {
        for (const Shape& s : shapes) {
            const Copies w(int8, s, min_total);
            const Activation a = make_activation(s.cols);
            std::vector<float> out(w.count * s.rows);
            const double total = static_cast<double>(w.count * w.bytes_each());
            const char* kernel = int8 ? "expert_matmul_int8_integer" : "expert_matmul_int4_integer";

            const double one = best_gbps(passes, total, [&] {
                for (std::size_t i = 0; i < w.count; ++i) w.product(i, a, out.data() + i * s.rows);
            });
            fmt::print("| {} | {} | 1 | {} | {:.1f} | {:.2f} | {:.2f} |\n", kernel, s.name, w.count,
                       w.bytes_each() / one / 1e3, one, one / read_single);

            const double all = best_gbps(passes, total, [&] {
                pool::parallel_for_each(w.count, [&](std::size_t i) { w.product(i, a, out.data() + i * s.rows); });
            });
            fmt::print("| {} | {} | {} | {} | {:.1f} | {:.2f} | {:.2f} |\n", kernel, s.name, threads, w.count,
                       w.bytes_each() / all / 1e3 * static_cast<double>(threads), all, all / read_all);
        }
    }

    // The row-parallel driver above its threshold: 2048 x 7168 (14.7 M weights, 64 chunks of 32 rows).
    {
        const std::size_t rows = 2048, cols = 7168;
        const Activation a = make_activation(cols);
        std::vector<float> out(rows);
        std::mt19937 rng(3);
        for (const bool int8 : {false, true}) {
            const std::size_t each = (int8 ? rows * cols : rows * cols / 2) + rows * (cols / kGroupSize) * 2;
            const std::size_t count = std::max<std::size_t>(2, (min_total + each - 1) / each);
            std::vector<weights::marlin::QuantizedInt4> w4(int8 ? 0 : count);
            std::vector<weights::marlin::QuantizedInt8> w8(int8 ? count : 0);
            for (std::size_t i = 0; i < count; ++i) {
                std::vector<uint16_t> scales(rows * (cols / kGroupSize));
                fill_scales(scales.data(), scales.size());
                if (int8) {
                    w8[i] = {std::vector<int8_t>(rows * cols), std::move(scales), rows, cols, kGroupSize};
                    fill_random(reinterpret_cast<std::byte*>(w8[i].data.data()), w8[i].data.size(), i + 100);
                } else {
                    w4[i] = {std::vector<uint32_t>(rows * cols / 8), std::move(scales), rows, cols, kGroupSize};
                    fill_random(reinterpret_cast<std::byte*>(w4[i].packed.data()), w4[i].packed.size() * 4, i + 200);
                }
            }
            const double gbps = best_gbps(passes, static_cast<double>(count * each), [&] {
                for (std::size_t i = 0; i < count; ++i) {
                    if (int8) {
                        matmul_int8_integer_parallel(w8[i], a.q, a.scales, out);
                    } else {
                        matmul_int4_integer_parallel(w4[i], a.q, a.scales, out);
                    }
                }
            });
            fmt::print("| {} | 2048×7168 | {} | {} | {:.1f} | {:.2f} | {:.2f} |\n",
                       int8 ? "matmul_int8_integer_parallel" : "matmul_int4_integer_parallel", threads, count,
                       each / gbps / 1e3, gbps, gbps / read_all);
        }
    }
    return 0;
}
