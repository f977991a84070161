// The unified expert record: the CPU transposed layout built from row-major experts (word and byte
// placement on shapes where every position is checked, and products through the transposed kernels), the
// Marlin conversion with its down-matrix padding (unpacked back through the inverse permutations), the
// byte arithmetic and cache reads of the CPU layout, the weight store's defaults and NUMA page migration.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <span>
#include <vector>

#include <numa.h>
#include <spdlog/sinks/ostream_sink.h>

#include "core/bf16.hpp"
#include "core/errors.hpp"
#include "core/logging.hpp"
#include "kernel/avx2/transposed.hpp"
#include "numa/numa.hpp"
#include "weights/experts.hpp"
#include "weights/marlin.hpp"
#include "weights/store.hpp"
#include "weights/unified.hpp"
#include "support.hpp"

namespace {

using orvane::test_support::LogCapture;

using namespace orvane::weights;
using marlin::QuantizedInt4;
using marlin::QuantizedInt8;
using orvane::InternalError;


// The message of the InternalError that `f` throws ("" when it throws none).
std::string internal_error(const std::function<void()>& f) {
    try {
        f();
    } catch (const InternalError& e) {
        return e.what();
    }
    return "";
}

// Levels in [lo, hi] and BF16 scales that are powers of two (2^-3 … 2^1), so that every product below is
// exact in f32 whatever the summation order.
struct Matrix {
    std::vector<int> levels;  // [rows][cols]
    std::vector<std::uint16_t> scales;
    std::uint64_t rows, cols, gs;
};

Matrix random_matrix(std::uint64_t rows, std::uint64_t cols, std::uint64_t gs, int lo, int hi, std::mt19937& rng) {
    Matrix m{std::vector<int>(rows * cols), std::vector<std::uint16_t>(rows * (cols / gs)), rows, cols, gs};
    std::uniform_int_distribution<int> level(lo, hi);
    std::uniform_int_distribution<int> exponent(-3, 1);
    for (int& v : m.levels) v = level(rng);
    for (auto& s : m.scales) s = static_cast<std::uint16_t>((127 + exponent(rng)) << 7);
    return m;
}

QuantizedInt4 to_int4(const Matrix& m) {
    QuantizedInt4 q{std::vector<std::uint32_t>(m.rows * m.cols / 8, 0), m.scales, m.rows, m.cols, m.gs};
    for (std::uint64_t n = 0; n < m.rows; ++n)
        for (std::uint64_t k = 0; k < m.cols; ++k)
            q.packed[n * (m.cols / 8) + k / 8] |= static_cast<std::uint32_t>(m.levels[n * m.cols + k] + 8)
                                                  << (4 * (k % 8));
    return q;
}

QuantizedInt8 to_int8(const Matrix& m) {
    QuantizedInt8 q{std::vector<std::int8_t>(m.levels.begin(), m.levels.end()), m.scales, m.rows, m.cols, m.gs};
    return q;
}

struct RandomExpert {
    Matrix gate, up, down;
    ExpertWeights int4() const { return {to_int4(gate), to_int4(up), to_int4(down)}; }
    ExpertWeights int8() const { return {to_int8(gate), to_int8(up), to_int8(down)}; }
};

RandomExpert random_expert(std::uint64_t hidden, std::uint64_t inter, std::uint64_t gs, bool int4,
                           std::uint32_t seed) {
    std::mt19937 rng(seed);
    const int lo = int4 ? -8 : -128;
    const int hi = int4 ? 7 : 127;
    Matrix gate = random_matrix(inter, hidden, gs, lo, hi, rng);
    Matrix up = random_matrix(inter, hidden, gs, lo, hi, rng);
    Matrix down = random_matrix(hidden, inter, gs, lo, hi, rng);
    return {std::move(gate), std::move(up), std::move(down)};
}

float bf16(std::uint16_t w) { return orvane::bf16_to_f32(w); }

// y[n] = Σ_k level(n, k) · scale(n, k / gs) · act[k]: the product the transposed layout must reproduce.
std::vector<float> reference_product(const std::vector<const Matrix*>& stacked, const std::vector<std::int16_t>& act) {
    std::vector<float> out;
    for (const Matrix* m : stacked)
        for (std::uint64_t n = 0; n < m->rows; ++n) {
            double sum = 0;
            for (std::uint64_t k = 0; k < m->cols; ++k)
                sum += double(m->levels[n * m->cols + k]) * bf16(m->scales[n * (m->cols / m->gs) + k / m->gs]) *
                       act[k];
            out.push_back(static_cast<float>(sum));
        }
    return out;
}

std::vector<std::int16_t> random_activation(std::size_t k, std::mt19937& rng) {
    std::uniform_int_distribution<int> v(-20, 20);
    std::vector<std::int16_t> act(k);
    for (auto& a : act) a = static_cast<std::int16_t>(v(rng));
    return act;
}

// --- CPU layout -----------------------------------------------------------------------------------------

TEST(UnifiedCpuLayout, Int4WholeWordsMoveToTheirColumns) {
    // H = I = gs = 8: every row of gate, up and down is one word, so every word's destination is visible.
    const std::uint64_t H = 8, I = 8;
    QuantizedInt4 gate{{}, {}, I, H, 8}, up{{}, {}, I, H, 8}, down{{}, {}, H, I, 8};
    for (std::uint32_t j = 0; j < 8; ++j) {
        gate.packed.push_back(0x10000000u + j);
        up.packed.push_back(0x20000000u + j);
        down.packed.push_back(0x30000000u + j);
        gate.scales.push_back(static_cast<std::uint16_t>(0x100 + j));
        up.scales.push_back(static_cast<std::uint16_t>(0x200 + j));
        down.scales.push_back(static_cast<std::uint16_t>(0x300 + j));
    }
    const UnifiedExpertWeights w = UnifiedExpertWeights::from_expert_weights({gate, up, down});
    ASSERT_EQ(w.w13_packed.size(), 16u);
    ASSERT_EQ(w.w13_scales.size(), 16u);
    ASSERT_EQ(w.w2_packed.size(), 8u);
    ASSERT_EQ(w.w2_scales.size(), 8u);
    for (std::uint32_t j = 0; j < 8; ++j) {
        EXPECT_EQ(w.w13_packed[j], 0x10000000u + j) << "gate row " << j;
        EXPECT_EQ(w.w13_packed[8 + j], 0x20000000u + j) << "up row " << j;
        EXPECT_EQ(w.w2_packed[j], 0x30000000u + j) << "down row " << j;
        EXPECT_EQ(w.w13_scales[j], 0x100 + j);
        EXPECT_EQ(w.w13_scales[8 + j], 0x200 + j);
        EXPECT_EQ(w.w2_scales[j], 0x300 + j);
    }
    EXPECT_EQ(w.hidden_size, H);
    EXPECT_EQ(w.intermediate_size, I);
    EXPECT_EQ(w.group_size, 8u);
    EXPECT_EQ(w.tiled, 0);
    EXPECT_EQ(w.w13_bits, 4);
    EXPECT_EQ(w.w2_bits, 4);
    EXPECT_FALSE(w.gate_bias || w.up_bias || w.down_bias);
}

// Level (n, k) of a transposed INT4 matrix of N columns ((K/8) × N words).
int transposed_int4_level(std::span<const std::uint32_t> packed, std::uint64_t n_cols, std::uint64_t n,
                          std::uint64_t k) {
    return static_cast<int>((packed[(k / 8) * n_cols + n] >> (4 * (k % 8))) & 0xF) - 8;
}

// Level (n, k) of a transposed INT8 matrix of N columns (the [K][N] bytes).
int transposed_int8_level(std::span<const std::uint32_t> packed, std::uint64_t n_cols, std::uint64_t n,
                          std::uint64_t k) {
    std::int8_t v;
    std::memcpy(&v, reinterpret_cast<const std::uint8_t*>(packed.data()) + k * n_cols + n, 1);
    return v;
}

// Checks every level and scale of w13 (gate columns, then up columns) and w2 against the source matrices.
void expect_transposed(const UnifiedExpertWeights& w, const RandomExpert& e, bool int4) {
    const std::uint64_t H = w.hidden_size, I = w.intermediate_size, gs = w.group_size;
    auto level = int4 ? transposed_int4_level : transposed_int8_level;
    for (std::uint64_t n = 0; n < 2 * I; ++n) {
        const Matrix& src = n < I ? e.gate : e.up;
        const std::uint64_t row = n % I;
        for (std::uint64_t k = 0; k < H; ++k)
            ASSERT_EQ(level(w.w13_packed, 2 * I, n, k), src.levels[row * H + k]) << "w13 " << n << "," << k;
        for (std::uint64_t g = 0; g < H / gs; ++g)
            ASSERT_EQ(w.w13_scales[g * 2 * I + n], src.scales[row * (H / gs) + g]) << "w13 scale " << n << "," << g;
    }
    for (std::uint64_t n = 0; n < H; ++n) {
        for (std::uint64_t k = 0; k < I; ++k)
            ASSERT_EQ(level(w.w2_packed, H, n, k), e.down.levels[n * I + k]) << "w2 " << n << "," << k;
        for (std::uint64_t g = 0; g < I / gs; ++g)
            ASSERT_EQ(w.w2_scales[g * H + n], e.down.scales[n * (I / gs) + g]) << "w2 scale " << n << "," << g;
    }
    const CpuExpertByteSizes sizes = cpu_expert_byte_sizes(H, I, gs, int4 ? 4 : 8);
    EXPECT_EQ(w.w13_packed.size() * 4, sizes.w13_packed);
    EXPECT_EQ(w.w13_scales.size() * 2, sizes.w13_scales);
    EXPECT_EQ(w.w2_packed.size() * 4, sizes.w2_packed);
    EXPECT_EQ(w.w2_scales.size() * 2, sizes.w2_scales);
}

TEST(UnifiedCpuLayout, EveryLevelAndScaleLandsInItsColumn) {
    struct Shape {
        std::uint64_t H, I, gs;
        bool int4;
    };
    const Shape shapes[] = {{8, 8, 8, true},   {16, 24, 8, true}, {32, 16, 16, true}, {64, 8, 8, true},
                            {8, 1, 1, false},  {6, 1, 1, false},  {2, 1, 1, false},   {16, 8, 2, false},
                            {12, 6, 3, false}, {32, 16, 16, false}};
    std::uint32_t seed = 1;
    for (const Shape& s : shapes) {
        SCOPED_TRACE(::testing::Message() << "H=" << s.H << " I=" << s.I << " gs=" << s.gs << " int4=" << s.int4);
        const RandomExpert e = random_expert(s.H, s.I, s.gs, s.int4, seed++);
        const UnifiedExpertWeights w = s.int4 ? UnifiedExpertWeights::from_expert_weights(e.int4())
                                              : UnifiedExpertWeights::from_expert_weights_int8(e.int8());
        EXPECT_EQ(w.w13_bits, s.int4 ? 4 : 8);
        EXPECT_EQ(w.w2_bits, s.int4 ? 4 : 8);
        expect_transposed(w, e, s.int4);
        if (!s.int4) {
            // Bytes past 2I·H (and H·I) fill the last word with zeros.
            const auto* b13 = reinterpret_cast<const std::uint8_t*>(w.w13_packed.data());
            for (std::size_t i = 2 * s.I * s.H; i < w.w13_packed.size() * 4; ++i) EXPECT_EQ(b13[i], 0) << i;
            const auto* b2 = reinterpret_cast<const std::uint8_t*>(w.w2_packed.data());
            for (std::size_t i = s.H * s.I; i < w.w2_packed.size() * 4; ++i) EXPECT_EQ(b2[i], 0) << i;
        }
    }
}

TEST(UnifiedCpuLayout, Int8OneIntermediateRowIsSixteenBytesInFourWords) {
    // H = 8, I = 1: w13 bytes alternate gate(0, k), up(0, k); w2 holds the eight down levels.
    QuantizedInt8 gate{{1, 2, 3, 4, 5, 6, 7, 8}, std::vector<std::uint16_t>(8, 0x3F80), 1, 8, 1};
    QuantizedInt8 up{{-1, -2, -3, -4, -5, -6, -7, -8}, std::vector<std::uint16_t>(8, 0x3F80), 1, 8, 1};
    QuantizedInt8 down{{10, 11, 12, 13, 14, 15, 16, -128}, std::vector<std::uint16_t>(8, 0x4000), 8, 1, 1};
    const UnifiedExpertWeights w = UnifiedExpertWeights::from_expert_weights_int8({gate, up, down});
    EXPECT_EQ(std::vector<std::uint32_t>(w.w13_packed.begin(), w.w13_packed.end()), (std::vector<std::uint32_t>{0xFE02FF01u, 0xFC04FD03u, 0xFA06FB05u, 0xF808F907u}));
    EXPECT_EQ(std::vector<std::uint32_t>(w.w2_packed.begin(), w.w2_packed.end()), (std::vector<std::uint32_t>{0x0D0C0B0Au, 0x80100F0Eu}));
}

TEST(UnifiedCpuLayout, TransposedKernelsReproduceTheRowMajorProducts) {
    struct Shape {
        std::uint64_t H, I, gs;
        bool int4;
    };
    const Shape shapes[] = {{64, 32, 16, true}, {128, 96, 32, true}, {32, 24, 8, false}, {48, 10, 2, false}};
    std::mt19937 rng(99);
    for (const Shape& s : shapes) {
        SCOPED_TRACE(::testing::Message() << "H=" << s.H << " I=" << s.I << " gs=" << s.gs << " int4=" << s.int4);
        const RandomExpert e = random_expert(s.H, s.I, s.gs, s.int4, 1000 + static_cast<std::uint32_t>(s.H));
        const UnifiedExpertWeights w = s.int4 ? UnifiedExpertWeights::from_expert_weights(e.int4())
                                              : UnifiedExpertWeights::from_expert_weights_int8(e.int8());
        auto matmul = s.int4 ? orvane::kernel::avx2::matmul_int4_transposed_integer
                             : orvane::kernel::avx2::matmul_int8_transposed_integer;

        const std::vector<std::int16_t> x = random_activation(s.H, rng);
        const std::vector<float> ones_h(s.H / s.gs, 1.0f);
        std::vector<float> y13(2 * s.I);
        matmul(w.w13_packed, w.w13_scales, x, ones_h, y13, s.H, 2 * s.I, s.gs);
        EXPECT_EQ(y13, reference_product({&e.gate, &e.up}, x));

        const std::vector<std::int16_t> h = random_activation(s.I, rng);
        const std::vector<float> ones_i(s.I / s.gs, 1.0f);
        std::vector<float> y2(s.H);
        matmul(w.w2_packed, w.w2_scales, h, ones_i, y2, s.I, s.H, s.gs);
        EXPECT_EQ(y2, reference_product({&e.down}, h));
    }
}

TEST(UnifiedCpuLayout, WidthMismatchAbortsWithItsMessage) {
    const RandomExpert e = random_expert(16, 16, 16, true, 5);
    const ExpertWeights i4 = e.int4();
    const ExpertWeights i8 = random_expert(16, 16, 16, false, 6).int8();
    auto mix = [&](bool g8, bool u8, bool d8) {
        return ExpertWeights{g8 ? i8.gate : i4.gate, u8 ? i8.up : i4.up, d8 ? i8.down : i4.down};
    };
    using U = UnifiedExpertWeights;
    struct Case {
        ExpertWeights expert;
        std::function<void(const ExpertWeights&)> convert;
        std::string want;
    };
    auto cpu4 = [](const ExpertWeights& x) { U::from_expert_weights(x); };
    auto cpu8 = [](const ExpertWeights& x) { U::from_expert_weights_int8(x); };
    auto gpu4 = [](const ExpertWeights& x) { U::from_expert_weights_marlin(x, 4); };
    auto gpu8 = [](const ExpertWeights& x) { U::from_expert_weights_marlin(x, 8); };
    const Case cases[] = {
        {mix(true, true, true), cpu4, "Expected INT4 weight, got INT8"},
        {mix(false, false, true), cpu4, "Expected INT4 weight, got INT8"},
        {mix(false, false, false), cpu8, "Expected INT8 gate weight"},
        {mix(true, false, false), cpu8, "Expected INT8 up weight"},
        {mix(true, true, false), cpu8, "Expected INT8 down weight"},
        {mix(false, true, true), gpu4, "Expected INT4 weight, got INT8"},
        {mix(false, false, false), gpu8, "Expected INT8 gate for Marlin INT8"},
        {mix(true, false, true), gpu8, "Expected INT8 up for Marlin INT8"},
        {mix(true, true, false), gpu8, "Expected INT8 down for Marlin INT8"},
        {mix(false, false, false), [](const ExpertWeights& x) { U::from_expert_weights_marlin(x, 5); },
         "Marlin width must be 4 or 8 bits, got 5"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(internal_error([&] { cases[i].convert(cases[i].expert); }), cases[i].want) << "case " << i;
}

TEST(UnifiedCpuLayout, InconsistentExpertsAbortInsteadOfReadingPastArrays) {
    const RandomExpert e = random_expert(16, 8, 8, true, 7);
    std::vector<std::pair<std::string, ExpertWeights>> cases;
    {
        ExpertWeights x = e.int4();
        std::get<QuantizedInt4>(x.gate).packed.pop_back();
        cases.emplace_back("gate words short", std::move(x));
    }
    {
        ExpertWeights x = e.int4();
        std::get<QuantizedInt4>(x.down).scales.pop_back();
        cases.emplace_back("down scales short", std::move(x));
    }
    {
        ExpertWeights x = e.int4();
        std::get<QuantizedInt4>(x.up).rows = 16;
        cases.emplace_back("up rows differ", std::move(x));
    }
    {
        ExpertWeights x = e.int4();
        for (QuantWeight* q : {&x.gate, &x.up, &x.down}) std::get<QuantizedInt4>(*q).group_size = 0;
        cases.emplace_back("zero group size", std::move(x));
    }
    {
        ExpertWeights x = e.int4();
        for (QuantWeight* q : {&x.gate, &x.up, &x.down}) std::get<QuantizedInt4>(*q).group_size = 16;
        cases.emplace_back("I not a multiple of gs", std::move(x));
    }
    for (const auto& [what, x] : cases) {
        EXPECT_NE(internal_error([&] { UnifiedExpertWeights::from_expert_weights(x); }), "") << what;
        EXPECT_NE(internal_error([&] { UnifiedExpertWeights::from_expert_weights_marlin(x, 4); }), "") << what;
    }
    ExpertWeights x8 = random_expert(16, 8, 8, false, 8).int8();
    std::get<QuantizedInt8>(x8.down).data.pop_back();
    EXPECT_NE(internal_error([&] { UnifiedExpertWeights::from_expert_weights_int8(x8); }), "");
    EXPECT_NE(internal_error([&] { UnifiedExpertWeights::from_expert_weights_marlin(x8, 8); }), "");
}

// --- Marlin layout --------------------------------------------------------------------------------------

// The Marlin form read back into [n][k] unsigned codes (nibble or byte) and [n][G] scales, through the
// inverse of the tile transpose, the chunk permutation and the scale permutation.
struct Unpacked {
    std::vector<int> codes;
    std::vector<std::uint16_t> scales;
};

Unpacked unpack_marlin(std::span<const std::uint32_t> packed, std::span<const std::uint16_t> scales,
                       std::uint64_t n, std::uint64_t k, std::uint64_t gs, bool int4) {
    const auto& perm = int4 ? marlin::perm4() : marlin::perm8();
    const std::uint64_t row_bytes = 16 * n;
    const std::uint64_t words_per_row = int4 ? 2 * n : 4 * n;
    EXPECT_EQ(packed.size(), (k / 16) * words_per_row);
    Unpacked u{std::vector<int>(n * k), std::vector<std::uint16_t>(n * (k / gs))};
    std::vector<int> p(row_bytes), t(row_bytes);
    for (std::uint64_t kt = 0; kt < k / 16; ++kt) {
        for (std::uint64_t w = 0; w < words_per_row; ++w) {
            const std::uint32_t word = packed[kt * words_per_row + w];
            if (int4)
                for (int i = 0; i < 8; ++i) p[8 * w + i] = (word >> (4 * i)) & 0xF;
            else
                for (int i = 0; i < 4; ++i) p[4 * w + i] = (word >> (8 * i)) & 0xFF;
        }
        for (std::uint64_t c = 0; c < n / 64; ++c)
            for (std::size_t l = 0; l < 1024; ++l) t[1024 * c + perm[l]] = p[1024 * c + l];
        for (std::uint64_t nt = 0; nt < n / 16; ++nt)
            for (std::uint64_t ki = 0; ki < 16; ++ki)
                for (std::uint64_t nj = 0; nj < 16; ++nj)
                    u.codes[(16 * nt + nj) * k + 16 * kt + ki] = t[256 * nt + 16 * ki + nj];
    }
    const std::uint64_t groups = k / gs;
    EXPECT_EQ(scales.size(), groups * n);
    std::vector<std::uint16_t> st(scales.size());
    if (gs < k) {
        for (std::size_t c = 0; c < st.size() / 64; ++c)
            for (std::size_t j = 0; j < 64; ++j) st[64 * c + marlin::scale_perm()[j]] = scales[64 * c + j];
    } else {
        for (std::size_t c = 0; c < st.size() / 32; ++c)
            for (std::size_t j = 0; j < 32; ++j) st[32 * c + marlin::scale_perm_single()[j]] = scales[32 * c + j];
    }
    for (std::uint64_t g = 0; g < groups; ++g)
        for (std::uint64_t r = 0; r < n; ++r) u.scales[r * groups + g] = st[g * n + r];
    return u;
}

TEST(UnifiedMarlin, GateThenUpAndDownPaddedOnlyWhenSquareAndUnaligned) {
    struct Case {
        std::uint64_t H, I, gs;
        std::uint8_t bits;
        MarlinDownPadding padding;
        std::uint64_t down_rows;  // rows of the repacked down matrix
    };
    const Case cases[] = {
        {64, 64, 32, 4, MarlinDownPadding::ByShape, 128},   // I = H, 64 % 256 != 0: padded
        {64, 64, 32, 4, MarlinDownPadding::None, 64},       // a shared expert is never padded
        {256, 256, 128, 4, MarlinDownPadding::ByShape, 256},  // multiple of 256: unpadded
        {128, 64, 64, 4, MarlinDownPadding::ByShape, 128},  // I != H: unpadded
        {64, 64, 64, 8, MarlinDownPadding::ByShape, 128},   // INT8, one group per row
        {64, 64, 16, 8, MarlinDownPadding::None, 64},
        {64, 128, 32, 8, MarlinDownPadding::ByShape, 64},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "H=" << c.H << " I=" << c.I << " gs=" << c.gs << " bits=" << int(c.bits)
                                          << " padding=" << int(c.padding));
        const bool int4 = c.bits == 4;
        const RandomExpert e = random_expert(c.H, c.I, c.gs, int4, static_cast<std::uint32_t>(c.H * 7 + c.I));
        const UnifiedExpertWeights w =
            UnifiedExpertWeights::from_expert_weights_marlin(int4 ? e.int4() : e.int8(), c.bits, c.padding);
        EXPECT_EQ(w.hidden_size, c.H);
        EXPECT_EQ(w.intermediate_size, c.I);
        EXPECT_EQ(w.group_size, c.gs);
        EXPECT_EQ(w.w13_bits, c.bits);
        EXPECT_EQ(w.w2_bits, c.bits);
        EXPECT_EQ(w.tiled, 0);
        const int bias = int4 ? 8 : 128;  // stored code of a level

        const Unpacked w13 = unpack_marlin(w.w13_packed, w.w13_scales, 2 * c.I, c.H, c.gs, int4);
        for (std::uint64_t n = 0; n < 2 * c.I; ++n) {
            const Matrix& src = n < c.I ? e.gate : e.up;
            const std::uint64_t row = n % c.I;
            for (std::uint64_t k = 0; k < c.H; ++k)
                ASSERT_EQ(w13.codes[n * c.H + k] - bias, src.levels[row * c.H + k]) << "w13 " << n << "," << k;
            for (std::uint64_t g = 0; g < c.H / c.gs; ++g)
                ASSERT_EQ(w13.scales[n * (c.H / c.gs) + g], src.scales[row * (c.H / c.gs) + g]);
        }

        const Unpacked w2 = unpack_marlin(w.w2_packed, w.w2_scales, c.down_rows, c.I, c.gs, int4);
        for (std::uint64_t n = 0; n < c.down_rows; ++n) {
            for (std::uint64_t k = 0; k < c.I; ++k) {
                // Padding rows hold zero words (INT4 code 0) or zero levels (INT8 code 128), with zero scales.
                const int want = n < c.H ? e.down.levels[n * c.I + k] + bias : (int4 ? 0 : 128);
                ASSERT_EQ(w2.codes[n * c.I + k], want) << "w2 " << n << "," << k;
            }
            for (std::uint64_t g = 0; g < c.I / c.gs; ++g)
                ASSERT_EQ(w2.scales[n * (c.I / c.gs) + g], n < c.H ? e.down.scales[n * (c.I / c.gs) + g] : 0);
        }
    }
}

TEST(UnifiedMarlin, PaddingRuleFollowsTheShape) {
    const std::pair<std::pair<std::uint64_t, std::uint64_t>, bool> cases[] = {
        {{2880, 2880}, true}, {{4096, 4096}, false}, {{2880, 1440}, false}, {{64, 64}, true}, {{256, 256}, false}};
    for (const auto& [shape, padded] : cases)
        EXPECT_EQ(marlin_down_padded(shape.first, shape.second), padded) << shape.first << "x" << shape.second;
}

// --- byte sizes and cache reads -------------------------------------------------------------------------

TEST(UnifiedByteSizes, FollowTheLayoutTable) {
    struct Case {
        std::uint64_t H, I, gs;
        std::uint8_t w13_bits, w2_bits;
        CpuExpertByteSizes want;
    };
    const Case cases[] = {
        {4096, 1536, 128, 4, 4, {6291456, 196608, 3145728, 98304}},
        {4096, 1536, 128, 8, 8, {12582912, 196608, 6291456, 98304}},
        {4096, 1536, 128, 4, 8, {6291456, 196608, 6291456, 98304}},
        {4096, 1536, 128, 8, 4, {12582912, 196608, 3145728, 98304}},
        {8, 1, 1, 8, 8, {16, 32, 8, 16}},
        {6, 1, 1, 8, 8, {12, 24, 8, 12}},  // H·I = 6 rounds up to 8
        {3, 1, 1, 8, 8, {8, 12, 4, 6}},    // 2I·H = 6 rounds up to 8
        {8, 8, 8, 4, 4, {64, 32, 32, 16}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.H << "," << c.I << "," << c.gs << "," << int(c.w13_bits) << "/"
                                          << int(c.w2_bits));
        EXPECT_EQ(cpu_expert_byte_sizes_mixed(c.H, c.I, c.gs, c.w13_bits, c.w2_bits), c.want);
        if (c.w13_bits == c.w2_bits) {
            EXPECT_EQ(cpu_expert_byte_sizes(c.H, c.I, c.gs, c.w13_bits), c.want);
        }
    }
    EXPECT_EQ(cpu_expert_byte_sizes(4096, 1536, 128, 4).total(), 6291456u + 196608u + 3145728u + 98304u);
    EXPECT_NE(internal_error([] { cpu_expert_byte_sizes(64, 64, 32, 5); }), "");
    EXPECT_NE(internal_error([] { cpu_expert_byte_sizes(64, 64, 0, 4); }), "");
    EXPECT_NE(internal_error([] { cpu_expert_byte_sizes(1ull << 40, 1ull << 40, 32, 8); }), "");
}

template <class T>
void append_bytes(std::vector<std::uint8_t>& out, std::span<const T> v, std::size_t bytes) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(v.data());
    out.insert(out.end(), p, p + bytes);
}

TEST(UnifiedReadCpu, RoundTripsEveryWidthAndRefusesShortBytes) {
    struct Case {
        std::uint64_t H, I, gs;
        std::uint8_t w13_bits, w2_bits;
    };
    const Case cases[] = {{16, 8, 8, 4, 4}, {6, 1, 1, 8, 8}, {16, 8, 8, 4, 8}, {16, 8, 8, 8, 4}, {3, 1, 1, 8, 8}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.H << "," << c.I << "," << c.gs << "," << int(c.w13_bits) << "/"
                                          << int(c.w2_bits));
        // The record as the conversions build it: w13 from one width, w2 from the other.
        auto convert = [&](std::uint8_t bits, std::uint32_t seed) {
            const RandomExpert e = random_expert(c.H, c.I, c.gs, bits == 4, seed);
            return bits == 4 ? UnifiedExpertWeights::from_expert_weights(e.int4())
                             : UnifiedExpertWeights::from_expert_weights_int8(e.int8());
        };
        const UnifiedExpertWeights a = convert(c.w13_bits, 11);
        const UnifiedExpertWeights b = convert(c.w2_bits, 12);
        UnifiedExpertWeights want = a;
        want.w2_packed = b.w2_packed;
        want.w2_scales = b.w2_scales;
        want.w2_bits = c.w2_bits;

        const CpuExpertByteSizes sizes = cpu_expert_byte_sizes_mixed(c.H, c.I, c.gs, c.w13_bits, c.w2_bits);
        std::vector<std::uint8_t> bytes = {0xAA, 0xBB, 0xCC};  // an odd start
        append_bytes<std::uint32_t>(bytes, want.w13_packed, sizes.w13_packed);
        append_bytes<std::uint16_t>(bytes, want.w13_scales, sizes.w13_scales);
        append_bytes<std::uint32_t>(bytes, want.w2_packed, sizes.w2_packed);
        append_bytes<std::uint16_t>(bytes, want.w2_scales, sizes.w2_scales);
        const std::size_t end = bytes.size();
        bytes.insert(bytes.end(), {1, 2, 3, 4, 5});
        ASSERT_EQ(end - 3, sizes.total());

        std::size_t offset = 3;
        const UnifiedExpertWeights got = c.w13_bits == c.w2_bits
                                             ? read_unified_expert_cpu(bytes, offset, c.H, c.I, c.gs, c.w13_bits)
                                             : read_unified_expert_cpu_mixed(bytes, offset, c.H, c.I, c.gs,
                                                                             c.w13_bits, c.w2_bits);
        EXPECT_EQ(got, want);
        EXPECT_EQ(offset, end);

        // One byte short of the record, or an offset past the end: refused, offset unchanged.
        const std::span<const std::uint8_t> short_bytes(bytes.data(), end - 1);
        offset = 3;
        EXPECT_NE(internal_error([&] {
                      read_unified_expert_cpu_mixed(short_bytes, offset, c.H, c.I, c.gs, c.w13_bits, c.w2_bits);
                  }),
                  "");
        EXPECT_EQ(offset, 3u);
        offset = bytes.size() + 1;
        EXPECT_NE(internal_error([&] {
                      read_unified_expert_cpu_mixed(bytes, offset, c.H, c.I, c.gs, c.w13_bits, c.w2_bits);
                  }),
                  "");
    }
}

// --- the store ------------------------------------------------------------------------------------------

TEST(StoreDefaults, EmptyStoreHoldsNothingAndTheDefaultSettings) {
    const WeightStore s;
    EXPECT_TRUE(s.experts.empty() && s.shared_experts.empty() && s.experts_cpu.empty() &&
                s.shared_experts_cpu.empty() && s.experts_gpu.empty() && s.shared_experts_gpu.empty() &&
                s.experts_gguf.empty() && s.shared_experts_gguf.empty());
    EXPECT_EQ(s.config.hidden_size, 0u);
    EXPECT_EQ(s.config.moe_intermediate_size, 0u);
    EXPECT_EQ(s.config.n_routed_experts, 0u);
    EXPECT_EQ(s.config.num_experts_per_tok, 0u);
    EXPECT_EQ(s.config.num_hidden_layers, 0u);
    EXPECT_EQ(s.config.first_k_dense_replace, 0u);
    EXPECT_EQ(s.config.n_shared_experts, 0u);
    EXPECT_EQ(s.config.routed_scaling_factor, 1.0f);
    EXPECT_EQ(s.config.swiglu_limit, 0.0f);
    EXPECT_EQ(s.config.swiglu_alpha, 0.0f);
    EXPECT_EQ(s.group_size, 128u);
    EXPECT_EQ(s.cpu_num_bits, 4);
    EXPECT_EQ(s.gpu_num_bits, 4);
}

// Whether this process may bind memory to `node` (libnuma usable and the node among the allowed ones).
bool can_bind_to(unsigned node) {
    if (numa_available() < 0) return false;
    bitmask* allowed = numa_get_mems_allowed();
    const bool ok = allowed != nullptr && numa_bitmask_isbitset(allowed, node);
    if (allowed != nullptr) numa_bitmask_free(allowed);
    return ok;
}

TEST(StoreNuma, MigrateToNodeRefusesImpossibleNodesAndBindsAllowedOnes) {
    std::vector<std::uint8_t> buffer(3 * 4096 + 100, 7);
    void* inside = buffer.data() + 1234;  // not page-aligned: the range is widened down to its page
    EXPECT_FALSE(orvane::numa::migrate_to_node(inside, 5000, 64));
    EXPECT_FALSE(orvane::numa::migrate_to_node(inside, 5000, 1000));
    EXPECT_EQ(orvane::numa::migrate_to_node(inside, 5000, 0), can_bind_to(0));
    if (numa_available() >= 0 && !can_bind_to(63)) {
        LogCapture log(orvane::log::numa(), spdlog::level::debug);
        EXPECT_FALSE(orvane::numa::migrate_to_node(inside, 5000, 63));
        EXPECT_NE(log.text().find("debug|mbind to node 63 failed: "), std::string::npos) << log.text();
    }
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 7), static_cast<std::ptrdiff_t>(buffer.size()));
}

// Whether `text` holds a line `head` followed by seconds with one decimal ("0.0s").
bool has_seconds_line(const std::string& text, const std::string& head) {
    std::size_t at = text.find(head);
    if (at == std::string::npos) return false;
    at += head.size();
    const std::size_t start = at;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) ++at;
    return at > start && text.size() >= at + 4 && text[at] == '.' &&
           std::isdigit(static_cast<unsigned char>(text[at + 1])) && text.compare(at + 2, 2, "s\n") == 0;
}

TEST(StoreNuma, MigrateCountsWholeExpertsAndKeepsContents) {
    // Layer 0: two INT4 experts; layer 1: none (skipped, needs no table entry); layer 2: one INT8 expert.
    std::vector<std::vector<ExpertWeights>> experts(3);
    experts[0].push_back(random_expert(64, 32, 32, true, 21).int4());
    experts[0].push_back(random_expert(64, 32, 32, true, 22).int4());
    experts[2].push_back(random_expert(64, 32, 32, false, 23).int8());
    const auto before = experts;
    auto equal = [](const QuantWeight& a, const QuantWeight& b) {
        if (a.index() != b.index()) return false;
        if (const auto* x = std::get_if<QuantizedInt4>(&a)) {
            const auto& y = std::get<QuantizedInt4>(b);
            return x->packed == y.packed && x->scales == y.scales;
        }
        const auto& x = std::get<QuantizedInt8>(a);
        const auto& y = std::get<QuantizedInt8>(b);
        return x.data == y.data && x.scales == y.scales;
    };
    auto same = [&] {
        for (std::size_t i = 0; i < experts.size(); ++i)
            for (std::size_t j = 0; j < experts[i].size(); ++j)
                for (auto part : {&ExpertWeights::gate, &ExpertWeights::up, &ExpertWeights::down})
                    if (!equal(experts[i][j].*part, before[i][j].*part)) return false;
        return true;
    };

    struct Case {
        std::vector<std::vector<unsigned>> table;
        std::size_t migrated;
        std::size_t failed;
    };
    const std::size_t ok0 = can_bind_to(0) ? 1 : 0;
    const Case cases[] = {
        {{{0, 0}, {}, {0}}, 3 * ok0, 3 - 3 * ok0},
        {{{0, 64}, {}, {64}}, ok0, 3 - ok0},  // node 64 is refused without a system call
        {{{64, 64, 0}, {}, {64, 5}}, 0, 3},           // extra table entries are ignored
    };
    for (const Case& c : cases) {
        LogCapture log(orvane::log::weights(), spdlog::level::info);
        EXPECT_EQ(WeightStore::migrate_numa(experts, c.table), c.migrated);
        const std::string head = "info|NUMA migration (CPU experts): " + std::to_string(c.migrated) +
                                 " experts migrated, " + std::to_string(c.failed) + " failed, in ";
        EXPECT_TRUE(has_seconds_line(log.text(), head)) << log.text();
        EXPECT_TRUE(same());
    }

    // A table shorter than the layers or the experts is the caller's fault.
    const std::vector<std::vector<unsigned>> no_layer2 = {{0, 0}, {}};
    const std::vector<std::vector<unsigned>> one_expert = {{0}, {}, {0}};
    EXPECT_NE(internal_error([&] { WeightStore::migrate_numa(experts, no_layer2); }), "");
    EXPECT_NE(internal_error([&] { WeightStore::migrate_numa(experts, one_expert); }), "");
    std::vector<std::vector<ExpertWeights>> none;
    EXPECT_EQ(WeightStore::migrate_numa(none, {}), 0u);
}

}  // namespace
