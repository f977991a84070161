// Row-major INT4/INT8 expert kernels and their row-parallel drivers, against a scalar form of the exact
// arithmetic written out below.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/bf16.hpp"
#include "core/errors.hpp"
#include "core/thread_pool.hpp"
#include "kernel/avx2/rowmajor.hpp"
#include "weights/marlin.hpp"

namespace {

using namespace orvane;
using namespace orvane::kernel::avx2;
using weights::marlin::QuantizedInt4;
using weights::marlin::QuantizedInt8;

// ---------------------------------------------------------------------------------------------------------
// Scalar reference.
//
// Per group: eight 32-bit integer lanes, lane i += w[k] q[k] + w[k+1] q[k+1] for k = g gs + 16 s + 2 i; then
// lane_f[i] = fma(float(lane_i), act_scale[g] * bf16(scale), lane_f[i]). Output: lanes 4-7 added to 0-3,
// then (a0 + a2, a1 + a3), then the last two.
float reference_row(const std::function<int32_t(std::size_t)>& level, const uint16_t* scales, const int16_t* act,
                    const float* act_scales, std::size_t k, std::size_t gs) {
    float lanes[8] = {};
    for (std::size_t g = 0; g < k / gs; ++g) {
        uint32_t sums[8] = {};  // wrap-around adds; the true sums fit in 32 bits
        for (std::size_t s = 0; s < gs / 16; ++s) {
            for (std::size_t i = 0; i < 8; ++i) {
                const std::size_t e = g * gs + 16 * s + 2 * i;
                sums[i] += static_cast<uint32_t>(level(e) * act[e] + level(e + 1) * act[e + 1]);
            }
        }
        const float f = act_scales[g] * bf16_to_f32(scales[g]);
        for (std::size_t i = 0; i < 8; ++i)
            lanes[i] = std::fma(static_cast<float>(static_cast<int32_t>(sums[i])), f, lanes[i]);
    }
    const float a0 = lanes[0] + lanes[4], a1 = lanes[1] + lanes[5], a2 = lanes[2] + lanes[6],
                a3 = lanes[3] + lanes[7];
    const float b0 = a0 + a2, b1 = a1 + a3;
    return b0 + b1;
}

int32_t int4_level(const QuantizedInt4& w, std::size_t n, std::size_t k) {
    const uint32_t word = w.packed[n * (w.cols / 8) + k / 8];
    return static_cast<int32_t>((word >> (4 * (k % 8))) & 0xF) - 8;
}

std::vector<float> reference(const QuantizedInt4& w, const std::vector<int16_t>& act,
                             const std::vector<float>& act_scales) {
    std::vector<float> out(w.rows);
    const std::size_t groups = w.cols / w.group_size;
    for (std::size_t n = 0; n < w.rows; ++n)
        out[n] = reference_row([&](std::size_t k) { return int4_level(w, n, k); }, &w.scales[n * groups],
                               act.data(), act_scales.data(), w.cols, w.group_size);
    return out;
}

std::vector<float> reference(const QuantizedInt8& w, const std::vector<int16_t>& act,
                             const std::vector<float>& act_scales) {
    std::vector<float> out(w.rows);
    const std::size_t groups = w.cols / w.group_size;
    for (std::size_t n = 0; n < w.rows; ++n)
        out[n] = reference_row([&](std::size_t k) { return int32_t{w.data[n * w.cols + k]}; },
                               &w.scales[n * groups], act.data(), act_scales.data(), w.cols, w.group_size);
    return out;
}

// ---------------------------------------------------------------------------------------------------------
// Fixtures: random matrices and activations over the full value ranges.

enum class Fill { Random, Extreme };

std::vector<uint16_t> random_scales(std::size_t count, std::mt19937& rng) {
    std::normal_distribution<float> normal(0.0f, 0.05f);
    std::vector<uint16_t> s(count);
    for (auto& v : s) v = f32_to_bf16(normal(rng));
    return s;
}

QuantizedInt4 make_int4(std::size_t rows, std::size_t cols, std::size_t gs, Fill fill, uint32_t seed) {
    std::mt19937 rng(seed);
    QuantizedInt4 w;
    w.rows = rows;
    w.cols = cols;
    w.group_size = gs;
    w.packed.resize(rows * cols / 8);
    for (auto& v : w.packed) v = fill == Fill::Random ? static_cast<uint32_t>(rng()) : 0u;  // 0: all levels -8
    w.scales = random_scales(rows * (cols / gs), rng);
    return w;
}

QuantizedInt8 make_int8(std::size_t rows, std::size_t cols, std::size_t gs, Fill fill, uint32_t seed) {
    std::mt19937 rng(seed);
    QuantizedInt8 w;
    w.rows = rows;
    w.cols = cols;
    w.group_size = gs;
    w.data.resize(rows * cols);
    for (auto& v : w.data) v = fill == Fill::Random ? static_cast<int8_t>(rng()) : int8_t{-128};
    w.scales = random_scales(rows * (cols / gs), rng);
    return w;
}

struct Activation {
    std::vector<int16_t> q;
    std::vector<float> scales;
};

Activation make_activation(std::size_t k, std::size_t gs, Fill fill, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> scale(1e-6f, 1e-3f);
    Activation a;
    a.q.resize(k);
    for (auto& v : a.q) v = fill == Fill::Random ? static_cast<int16_t>(rng()) : int16_t{-32768};
    if (fill == Fill::Random && k >= 2) {
        a.q[0] = -32768;
        a.q[1] = 32767;
    }
    a.scales.resize(k / gs);
    for (auto& v : a.scales) v = scale(rng);
    return a;
}

std::vector<uint32_t> bits(const std::vector<float>& v) {
    std::vector<uint32_t> b(v.size());
    std::transform(v.begin(), v.end(), b.begin(), [](float f) { return std::bit_cast<uint32_t>(f); });
    return b;
}

std::vector<float> run_kernel(const QuantizedInt4& w, const Activation& a) {
    std::vector<float> out(w.rows, std::numeric_limits<float>::quiet_NaN());
    expert_matmul_int4_integer(w.packed.data(), w.scales.data(), a.q.data(), a.scales.data(), out.data(), w.cols,
                               w.rows, w.group_size);
    return out;
}

std::vector<float> run_kernel(const QuantizedInt8& w, const Activation& a) {
    std::vector<float> out(w.rows, std::numeric_limits<float>::quiet_NaN());
    expert_matmul_int8_integer(w.data.data(), w.scales.data(), a.q.data(), a.scales.data(), out.data(), w.cols,
                               w.rows, w.group_size);
    return out;
}

std::vector<float> run_driver(const QuantizedInt4& w, const Activation& a) {
    std::vector<float> out(w.rows, std::numeric_limits<float>::quiet_NaN());
    matmul_int4_integer_parallel(w, a.q, a.scales, out);
    return out;
}

std::vector<float> run_driver(const QuantizedInt8& w, const Activation& a) {
    std::vector<float> out(w.rows, std::numeric_limits<float>::quiet_NaN());
    matmul_int8_integer_parallel(w, a.q, a.scales, out);
    return out;
}

std::string message_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const InternalError& e) {
        return e.what();
    }
    return "<no InternalError>";
}

// ---------------------------------------------------------------------------------------------------------
// Bit-exact agreement with the reference.

struct ShapeCase {
    std::size_t gs, n, groups;
    Fill fill;
};

// Group sizes cover every combination of 4-step blocks, a remaining pair and a remaining single step
// (16: 1 step, 32: 2, 48: 3, 64: 4, 80: 5, 96: 6, 112: 7, 128: 8); the Extreme rows put every product at
// its largest magnitude.
const ShapeCase kShapes[] = {
    {16, 1, 1, Fill::Random},    {16, 7, 5, Fill::Random},   {32, 33, 3, Fill::Random},  {48, 7, 2, Fill::Random},
    {64, 100, 4, Fill::Random},  {80, 7, 3, Fill::Random},   {96, 33, 2, Fill::Random},  {112, 1, 3, Fill::Random},
    {128, 33, 16, Fill::Random}, {128, 100, 6, Fill::Random}, {128, 7, 2, Fill::Extreme}, {48, 33, 3, Fill::Extreme},
};

TEST(RowMajorKernels, MatchScalarReference) {
    uint32_t seed = 1;
    for (const ShapeCase& c : kShapes) {
        SCOPED_TRACE("gs " + std::to_string(c.gs) + ", n " + std::to_string(c.n) + ", groups " +
                     std::to_string(c.groups));
        const std::size_t k = c.gs * c.groups;
        const Activation a = make_activation(k, c.gs, c.fill, seed++);

        const QuantizedInt4 w4 = make_int4(c.n, k, c.gs, c.fill, seed++);
        const auto expect4 = bits(reference(w4, a.q, a.scales));
        EXPECT_EQ(bits(run_kernel(w4, a)), expect4) << "INT4 kernel";
        EXPECT_EQ(bits(run_driver(w4, a)), expect4) << "INT4 driver";

        const QuantizedInt8 w8 = make_int8(c.n, k, c.gs, c.fill, seed++);
        const auto expect8 = bits(reference(w8, a.q, a.scales));
        EXPECT_EQ(bits(run_kernel(w8, a)), expect8) << "INT8 kernel";
        EXPECT_EQ(bits(run_driver(w8, a)), expect8) << "INT8 driver";
    }
}

// A group whose activation is all zero adds nothing, whatever its weights.
TEST(RowMajorKernels, ZeroActivationGroupAddsNothing) {
    const std::size_t gs = 64, k = 4 * gs, n = 9;
    Activation a = make_activation(k, gs, Fill::Random, 11);
    std::fill(a.q.begin() + 2 * gs, a.q.begin() + 3 * gs, int16_t{0});

    QuantizedInt4 w4 = make_int4(n, k, gs, Fill::Random, 12);
    QuantizedInt8 w8 = make_int8(n, k, gs, Fill::Random, 13);
    const auto before4 = bits(run_kernel(w4, a));
    const auto before8 = bits(run_kernel(w8, a));
    std::mt19937 rng(14);
    for (std::size_t row = 0; row < n; ++row) {
        for (std::size_t j = 2 * gs / 8; j < 3 * gs / 8; ++j) w4.packed[row * (k / 8) + j] = static_cast<uint32_t>(rng());
        for (std::size_t j = 2 * gs; j < 3 * gs; ++j) w8.data[row * k + j] = static_cast<int8_t>(rng());
        w4.scales[row * 4 + 2] = w8.scales[row * 4 + 2] = f32_to_bf16(1e30f);
    }
    EXPECT_EQ(bits(run_kernel(w4, a)), before4);
    EXPECT_EQ(bits(run_kernel(w8, a)), before8);
    EXPECT_EQ(bits(reference(w4, a.q, a.scales)), before4);
}

// Words 0x88888888 are all level 0 (and INT8 bytes 0): every output is exactly +0.0.
TEST(RowMajorKernels, ZeroLevelsGiveExactZero) {
    const std::size_t gs = 32, k = 3 * gs, n = 5;
    const Activation a = make_activation(k, gs, Fill::Random, 21);
    QuantizedInt4 w4 = make_int4(n, k, gs, Fill::Random, 22);
    std::fill(w4.packed.begin(), w4.packed.end(), 0x88888888u);
    QuantizedInt8 w8 = make_int8(n, k, gs, Fill::Random, 23);
    std::fill(w8.data.begin(), w8.data.end(), int8_t{0});
    const std::vector<uint32_t> zeros(n, 0u);
    EXPECT_EQ(bits(run_kernel(w4, a)), zeros);
    EXPECT_EQ(bits(run_driver(w4, a)), zeros);
    EXPECT_EQ(bits(run_kernel(w8, a)), zeros);
    EXPECT_EQ(bits(run_driver(w8, a)), zeros);
}

// Shapes with no products: n = 0 leaves the output alone; k below the group size (no complete group) and a
// group size below 16 (no complete step) write zeros without reading the weights or activations.
TEST(RowMajorKernels, ShapesWithoutProducts) {
    struct Case {
        std::size_t k, n, gs;
    };
    const Case cases[] = {{16, 4, 32}, {112, 3, 128}, {0, 2, 16}, {64, 5, 8}, {64, 3, 15}};
    const uint32_t words[64] = {};
    const int8_t bytes[512] = {};
    const uint16_t scales[64] = {};
    const int16_t act[128] = {};
    const float act_scales[16] = {};
    for (const Case& c : cases) {
        SCOPED_TRACE("k " + std::to_string(c.k) + ", n " + std::to_string(c.n) + ", gs " + std::to_string(c.gs));
        std::vector<float> out(c.n, 7.0f);
        expert_matmul_int4_integer(nullptr, nullptr, nullptr, nullptr, out.data(), c.k, c.n, c.gs);
        EXPECT_EQ(bits(out), std::vector<uint32_t>(c.n, 0u));
        std::fill(out.begin(), out.end(), 7.0f);
        expert_matmul_int8_integer(nullptr, nullptr, nullptr, nullptr, out.data(), c.k, c.n, c.gs);
        EXPECT_EQ(bits(out), std::vector<uint32_t>(c.n, 0u));
        // The same with real (zero) arrays behind the pointers.
        std::fill(out.begin(), out.end(), 7.0f);
        expert_matmul_int4_integer(words, scales, act, act_scales, out.data(), c.k, c.n, c.gs);
        EXPECT_EQ(bits(out), std::vector<uint32_t>(c.n, 0u));
        std::fill(out.begin(), out.end(), 7.0f);
        expert_matmul_int8_integer(bytes, scales, act, act_scales, out.data(), c.k, c.n, c.gs);
        EXPECT_EQ(bits(out), std::vector<uint32_t>(c.n, 0u));
    }
    float untouched = 7.0f;
    expert_matmul_int4_integer(nullptr, nullptr, nullptr, nullptr, &untouched, 128, 0, 128);
    expert_matmul_int8_integer(nullptr, nullptr, nullptr, nullptr, &untouched, 128, 0, 128);
    EXPECT_EQ(untouched, 7.0f);
    EXPECT_NE(message_of([] { expert_matmul_int4_integer(nullptr, nullptr, nullptr, nullptr, nullptr, 16, 1, 0); })
                  .find("group_size != 0"),
              std::string::npos);
    EXPECT_NE(message_of([] { expert_matmul_int8_integer(nullptr, nullptr, nullptr, nullptr, nullptr, 16, 1, 0); })
                  .find("group_size != 0"),
              std::string::npos);
}

// ---------------------------------------------------------------------------------------------------------
// Row-parallel drivers.

TEST(RowMajorParallel, ChunkCountAtTheThreshold) {
    struct Case {
        uint64_t rows, cols;
        std::size_t chunks;
    };
    const Case cases[] = {
        {1000, 8000, 1},        // 8,000,000: one call on the calling thread
        {8'000'000, 1, 1},      // 8,000,000
        {8'000'001, 1, 250'001},  // 8,000,001: chunks of 32 rows, the last shorter
        {3, 2'666'667, 1},      // 8,000,001 with fewer rows than a chunk: one chunk
        {33, 242'432, 2},       // 32 rows + 1 row
        {64, 125'001, 2},       // 8,000,064
        {0, 1'000'000'000, 1},
        {1ull << 40, 1ull << 40, (1ull << 40) / 32},  // the product overflows 64 bits: still chunked
    };
    for (const Case& c : cases)
        EXPECT_EQ(row_parallel_chunks(c.rows, c.cols), c.chunks) << c.rows << " x " << c.cols;
}

// N = 33 above the threshold runs two chunks (32 rows and 1 row) and gives the single-threaded kernel's bits.
TEST(RowMajorParallel, ChunkedEqualsSerialKernel) {
    const std::size_t n = 33, k = 242'432, gs = 128;
    ASSERT_EQ(row_parallel_chunks(n, k), 2u);
    const Activation a = make_activation(k, gs, Fill::Random, 31);
    const QuantizedInt4 w4 = make_int4(n, k, gs, Fill::Random, 32);
    const auto serial4 = bits(run_kernel(w4, a));
    EXPECT_EQ(bits(run_driver(w4, a)), serial4);
    EXPECT_EQ(bits(reference(w4, a.q, a.scales)), serial4);
    const QuantizedInt8 w8 = make_int8(n, k, gs, Fill::Random, 33);
    const auto serial8 = bits(run_kernel(w8, a));
    EXPECT_EQ(bits(run_driver(w8, a)), serial8);
    EXPECT_EQ(bits(reference(w8, a.q, a.scales)), serial8);
}

// Drivers called from inside pool tasks, several at once (the waiting callers take part in each other's
// chunks), each with its own activation: every result equals its serial twin.
TEST(RowMajorParallel, NestedConcurrentDrivers) {
    const std::size_t n = 70, k = 115'200, gs = 64;  // 8,064,000 weights: 3 chunks
    ASSERT_EQ(row_parallel_chunks(n, k), 3u);
    const QuantizedInt4 w4 = make_int4(n, k, gs, Fill::Random, 41);
    const QuantizedInt8 w8 = make_int8(n, k, gs, Fill::Random, 42);
    constexpr std::size_t kCalls = 6;
    std::vector<Activation> acts;
    for (std::size_t i = 0; i < kCalls; ++i) acts.push_back(make_activation(k, gs, Fill::Random, 43 + i));
    std::vector<std::vector<float>> out4(kCalls), out8(kCalls);
    pool::parallel_for_each(kCalls, [&](std::size_t i) {
        out4[i] = run_driver(w4, acts[i]);
        out8[i] = run_driver(w8, acts[i]);
    });
    for (std::size_t i = 0; i < kCalls; ++i) {
        EXPECT_EQ(bits(out4[i]), bits(run_kernel(w4, acts[i]))) << "call " << i;
        EXPECT_EQ(bits(out8[i]), bits(run_kernel(w8, acts[i]))) << "call " << i;
    }
}

// ---------------------------------------------------------------------------------------------------------
// Argument checks: nothing outside the given arrays is read or written.

TEST(RowMajorParallel, RejectsInconsistentArguments) {
    const std::size_t n = 5, k = 256, gs = 64;
    const Activation a = make_activation(k, gs, Fill::Random, 51);
    const QuantizedInt4 w4 = make_int4(n, k, gs, Fill::Random, 52);
    const QuantizedInt8 w8 = make_int8(n, k, gs, Fill::Random, 53);

    struct Case {
        const char* what;
        std::function<void(QuantizedInt4&, QuantizedInt8&, Activation&, std::vector<float>&)> spoil;
        const char* message;
    };
    const Case cases[] = {
        {"packed one word short, data one byte short",
         [](auto& q4, auto& q8, auto&, auto&) { q4.packed.pop_back(), q8.data.pop_back(); }, "left == right"},
        {"packed and data one row long",
         [](auto& q4, auto& q8, auto&, auto&) {
             q4.packed.resize(q4.packed.size() + q4.cols / 8), q8.data.resize(q8.data.size() + q8.cols);
         },
         "left == right"},
        {"scales one short", [](auto& q4, auto& q8, auto&, auto&) { q4.scales.pop_back(), q8.scales.pop_back(); },
         "left == right"},
        {"one row more than stored",
         [](auto& q4, auto& q8, auto&, auto& out) { ++q4.rows, ++q8.rows, out.push_back(0.0f); }, "left == right"},
        {"activation short", [](auto&, auto&, auto& act, auto&) { act.q.pop_back(); }, "left == right"},
        {"activation scales long", [](auto&, auto&, auto& act, auto&) { act.scales.push_back(1.0f); },
         "left == right"},
        {"output short", [](auto&, auto&, auto&, auto& out) { out.pop_back(); }, "left == right"},
        {"group size 24",
         [](auto& q4, auto& q8, auto&, auto&) { q4.group_size = q8.group_size = 24; },
         "Integer kernel requires group_size divisible by 16"},
        {"group size 8", [](auto& q4, auto& q8, auto&, auto&) { q4.group_size = q8.group_size = 8; },
         "Integer kernel requires group_size divisible by 16"},
        {"group size 0", [](auto& q4, auto& q8, auto&, auto&) { q4.group_size = q8.group_size = 0; },
         "group_size != 0"},
        {"k not a multiple of the group size",
         [](auto& q4, auto& q8, auto&, auto&) { q4.group_size = q8.group_size = 96; }, "k % group_size == 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QuantizedInt4 q4 = w4;
        QuantizedInt8 q8 = w8;
        Activation act = a;
        std::vector<float> out(n, 0.0f);
        c.spoil(q4, q8, act, out);
        const std::string m4 = message_of([&] { matmul_int4_integer_parallel(q4, act.q, act.scales, out); });
        const std::string m8 = message_of([&] { matmul_int8_integer_parallel(q8, act.q, act.scales, out); });
        EXPECT_NE(m4.find(c.message), std::string::npos) << m4;
        EXPECT_NE(m8.find(c.message), std::string::npos) << m8;
    }
}

TEST(RowMajorParallel, CallerCheckHelper) {
    EXPECT_NO_THROW(check_rowmajor_args(256, 2, 7, 256, 7, 128));
    EXPECT_NO_THROW(check_rowmajor_args(0, 0, 3, 0, 3, 16));
    EXPECT_EQ(message_of([] { check_rowmajor_args(256, 4, 7, 256, 7, 64 + 8); }),
              "Integer kernel requires group_size divisible by 16");
    EXPECT_EQ(message_of([] { check_rowmajor_args(255, 2, 7, 256, 7, 128); }),
              "assertion `left == right` failed\n  left: 255\n right: 256");
    EXPECT_EQ(message_of([] { check_rowmajor_args(256, 1, 7, 256, 7, 128); }),
              "assertion `left == right` failed\n  left: 1\n right: 2");
    EXPECT_EQ(message_of([] { check_rowmajor_args(256, 2, 6, 256, 7, 128); }),
              "assertion `left == right` failed\n  left: 6\n right: 7");
}

}  // namespace
