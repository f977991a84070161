// Group quantization (INT4 / INT8 with BF16 scales) against a scalar reference of its arithmetic, bit for
// bit, and the Marlin repacking: the permutation tables, hand-derived word and byte placement on small
// shapes, exact recovery of every level and scale through the inverse permutations, preconditions, index
// checks and the throttled timing log.

#include <gtest/gtest.h>
#include <spdlog/sinks/ringbuffer_sink.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/errors.hpp"
#include "core/logging.hpp"
#include "weights/marlin.hpp"
#include "support.hpp"

namespace orvane::weights::marlin {
namespace {

using orvane::test_support::eq_text;
using orvane::test_support::error_of;



// BF16 helpers written out here so the reference does not lean on the code under test.
float widen(uint16_t b) { return std::bit_cast<float>(static_cast<uint32_t>(b) << 16); }
uint16_t narrow(float f) {
    const uint32_t x = std::bit_cast<uint32_t>(f);
    return static_cast<uint16_t>((x + 0x7FFFu + ((x >> 16) & 1u)) >> 16);
}
uint16_t bf(float f) { return narrow(f); }  // exact for the test constants used below

constexpr uint16_t kNaN = 0x7FC0;
constexpr uint16_t kNegNaN = 0xFFC1;
constexpr uint16_t kInf = 0x7F80;

// ---------------------------------------------------------------------------------------------------------
// Scalar reference of the quantizer: amax over non-NaN |x|, scale = amax / qmax (1.0 for amax = 0) rounded
// to BF16, inv = 1 / stored scale (0 for a zero scale), level = clamp(round half away from zero), NaN → 0.

struct RefQuantized {
    std::vector<int> levels;  // [rows][cols]
    std::vector<uint16_t> scales;
};

RefQuantized ref_quantize(const std::vector<uint16_t>& x, std::size_t rows, std::size_t cols, std::size_t gs,
                          int bits) {
    const float qmax = bits == 4 ? 7.0f : 127.0f;
    const float lo = bits == 4 ? -8.0f : -128.0f;
    const float hi = qmax;
    RefQuantized r{std::vector<int>(rows * cols), std::vector<uint16_t>(rows * (cols / gs))};
    for (std::size_t n = 0; n < rows; ++n) {
        for (std::size_t g = 0; g < cols / gs; ++g) {
            const std::size_t base = n * cols + g * gs;
            float amax = 0.0f;
            for (std::size_t i = 0; i < gs; ++i) {
                const float v = widen(x[base + i]);
                if (!std::isnan(v)) amax = std::max(amax, std::fabs(v));
            }
            const uint16_t stored = narrow(amax != 0.0f ? amax / qmax : 1.0f);
            r.scales[n * (cols / gs) + g] = stored;
            const float s = widen(stored);
            const float inv = s != 0.0f ? 1.0f / s : 0.0f;
            for (std::size_t i = 0; i < gs; ++i) {
                const float p = widen(x[base + i]) * inv;
                r.levels[base + i] = std::isnan(p) ? 0 : static_cast<int>(std::clamp(std::round(p), lo, hi));
            }
        }
    }
    return r;
}

// Nibble of (n, k) in a row-major INT4 matrix: word n × K/8 + k/8, bits 4 (k mod 8) upwards.
int nibble_at(const std::vector<uint32_t>& packed, std::size_t cols, std::size_t n, std::size_t k) {
    return static_cast<int>((packed[n * (cols / 8) + k / 8] >> (4 * (k % 8))) & 0xF);
}

// Random BF16 data, group by group of one of several kinds: ordinary values over a wide range of
// magnitudes, raw bit patterns (NaN, infinities, subnormals included), all zeros, exact halves of a scale-1
// group, values sprinkled with NaN and signed zeros, tiny magnitudes whose scale underflows.
std::vector<uint16_t> random_bf16(std::size_t rows, std::size_t cols, std::size_t gs, int bits, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::uniform_int_distribution<int> kind_of(0, 7);
    std::uniform_int_distribution<int> exponent(-40, 40);
    std::uniform_int_distribution<uint32_t> raw(0, 0xFFFF);
    std::vector<uint16_t> x(rows * cols);
    const float qmax = bits == 4 ? 7.0f : 127.0f;
    for (std::size_t start = 0; start < x.size(); start += gs) {
        const int kind = kind_of(rng);
        const float magnitude = std::ldexp(1.0f, exponent(rng));
        for (std::size_t i = start; i < start + gs; ++i) {
            switch (kind) {
                case 0:
                case 1:
                    x[i] = narrow(normal(rng) * magnitude);
                    break;
                case 2:
                    x[i] = static_cast<uint16_t>(raw(rng));
                    break;
                case 3:
                    x[i] = (i % 3 == 0) ? 0x8000 : 0x0000;
                    break;
                case 4: {  // amax = qmax gives scale 1.0: multiples of 0.5 hit every rounding tie
                    const int halves = static_cast<int>(raw(rng) % static_cast<uint32_t>(4 * qmax + 1)) -
                                       static_cast<int>(2 * qmax);
                    x[i] = (i == start) ? bf(qmax) : bf(0.5f * static_cast<float>(halves));
                    break;
                }
                case 5: {
                    const uint32_t r = raw(rng) % 8;
                    x[i] = r == 0 ? kNaN : r == 1 ? kNegNaN : r == 2 ? 0x8000 : narrow(normal(rng) * magnitude);
                    break;
                }
                case 6:  // subnormal BF16 magnitudes: the scale can round to zero
                    x[i] = static_cast<uint16_t>((raw(rng) & 0x8000) | (raw(rng) % 4));
                    break;
                default:  // near the top of the range
                    x[i] = narrow(normal(rng) * 1e37f);
                    break;
            }
        }
    }
    return x;
}

// ---------------------------------------------------------------------------------------------------------
// Quantizers

struct QuantCase {
    std::size_t rows, cols, gs;
};

TEST(QuantizeInt4, MatchesScalarReferenceBitForBit) {
    const QuantCase cases[] = {{4, 256, 32}, {3, 512, 64}, {5, 1024, 128}, {2, 7168, 128}, {3, 96, 24},
                               {3, 48, 12},  {2, 40, 5},   {2, 32, 32},   {1, 8, 8}};
    uint32_t seed = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.rows << "x" << c.cols << " gs=" << c.gs);
        const auto x = random_bf16(c.rows, c.cols, c.gs, 4, seed++);
        const auto ref = ref_quantize(x, c.rows, c.cols, c.gs, 4);
        const QuantizedInt4 q = quantize_int4(x, c.rows, c.cols, c.gs);
        EXPECT_EQ(q.rows, c.rows);
        EXPECT_EQ(q.cols, c.cols);
        EXPECT_EQ(q.group_size, c.gs);
        EXPECT_EQ(q.scales, ref.scales);
        ASSERT_EQ(q.packed.size(), c.rows * c.cols / 8);
        std::vector<uint32_t> want(c.rows * c.cols / 8, 0);
        for (std::size_t i = 0; i < ref.levels.size(); ++i) {
            want[i / 8] |= static_cast<uint32_t>(ref.levels[i] + 8) << (4 * (i % 8));
        }
        EXPECT_EQ(q.packed, want);
    }
}

TEST(QuantizeInt8, MatchesScalarReferenceBitForBit) {
    const QuantCase cases[] = {{4, 256, 32}, {3, 512, 64}, {5, 1024, 128}, {2, 7168, 128}, {3, 96, 24},
                               {3, 30, 6},   {2, 40, 5},   {2, 12, 4},    {1, 8, 8}};
    uint32_t seed = 100;
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.rows << "x" << c.cols << " gs=" << c.gs);
        const auto x = random_bf16(c.rows, c.cols, c.gs, 8, seed++);
        const auto ref = ref_quantize(x, c.rows, c.cols, c.gs, 8);
        const QuantizedInt8 q = quantize_int8(x, c.rows, c.cols, c.gs);
        EXPECT_EQ(q.rows, c.rows);
        EXPECT_EQ(q.cols, c.cols);
        EXPECT_EQ(q.group_size, c.gs);
        EXPECT_EQ(q.scales, ref.scales);
        ASSERT_EQ(q.data.size(), c.rows * c.cols);
        std::vector<int8_t> want(ref.levels.begin(), ref.levels.end());
        EXPECT_EQ(q.data, want);
    }
}

// One hand-worked row: amax 7 (INT4) gives scale 1.0, so levels are the rounded values; 2.5 → 3, −2.5 → −3,
// ±0.5 → ±1, 6.5 → 7, NaN and −0 → 0. Nibbles are level + 8, k = 8j + i in bits 4i of word j.
TEST(QuantizeInt4, HandWorkedRowAndNibblePlacement) {
    const float v[16] = {7, -7, 1, 2, 3, -1, 0, 2.5f, -2.5f, 0.5f, -0.5f, 6.5f, -6.5f, 3.5f, 0, 0};
    std::vector<uint16_t> x(16);
    for (int i = 0; i < 16; ++i) x[i] = bf(v[i]);
    x[14] = kNaN;
    x[15] = 0x8000;
    const QuantizedInt4 q = quantize_int4(x, 1, 16, 16);
    EXPECT_EQ(q.scales, std::vector<uint16_t>{0x3F80});
    // levels 7,-7,1,2,3,-1,0,3 | -3,1,-1,7,-7,4,0,0 → nibbles F,1,9,A,B,7,8,B | 5,9,7,F,1,C,8,8
    EXPECT_EQ(q.packed, (std::vector<uint32_t>{0xB87BA91Fu, 0x88C1F795u}));
}

TEST(QuantizeInt8, HandWorkedRow) {
    // Group 0: amax 127 gives scale 1.0; 2.5 → 3, −2.5 → −3, 126.5 → 127, NaN → 0.
    // Group 1: zeros of both signs and a NaN: scale 1.0, every level 0.
    const float v[8] = {127, -127, 2.5f, -2.5f, 126.5f, -0.5f, 0, 0};
    std::vector<uint16_t> x(16, 0);
    for (int i = 0; i < 8; ++i) x[i] = bf(v[i]);
    x[6] = kNaN;
    x[9] = 0x8000;
    x[12] = kNegNaN;
    const QuantizedInt8 q = quantize_int8(x, 1, 16, 8);
    EXPECT_EQ(q.scales, (std::vector<uint16_t>{0x3F80, 0x3F80}));
    EXPECT_EQ(q.data, (std::vector<int8_t>{127, -127, 3, -3, 127, -1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

// Groups of special content, each with the stored scale and levels worked out by hand.
TEST(QuantizeInt4, SpecialGroups) {
    struct Case {
        const char* name;
        std::array<uint16_t, 8> x;
        uint16_t scale;
        std::array<int, 8> levels;
    };
    const Case cases[] = {
        {"all zero", {0, 0x8000, 0, 0, 0, 0, 0x8000, 0}, 0x3F80, {0, 0, 0, 0, 0, 0, 0, 0}},
        {"all NaN", {kNaN, kNegNaN, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN}, 0x3F80, {0, 0, 0, 0, 0, 0, 0, 0}},
        {"NaN ignored by the maximum",
         {kNaN, bf(7), bf(-3.5f), 0, kNegNaN, bf(1), bf(-7), bf(0.25f)},
         0x3F80,
         {0, 7, -4, 0, 0, 1, -7, 0}},
        // amax 14 → scale 2.0; 3 → 1.5 → 2, −5 → −2.5 → −3
        {"scale two", {bf(14), bf(3), bf(-5), bf(1), bf(-1), bf(-14), bf(0.5f), 0}, 0x4000,
         {7, 2, -3, 1, -1, -7, 0, 0}},
        // an infinity gives an infinite scale and a zero multiplier: every level is 0 (inf × 0 is NaN)
        {"infinity", {kInf, bf(1), bf(-2), 0, 0, 0, 0, 0}, 0x7F80, {0, 0, 0, 0, 0, 0, 0, 0}},
        // the smallest subnormal: amax / 7 rounds to a zero BF16 scale, so the multiplier is 0
        {"scale rounds to zero", {0x0001, 0x8001, 0, 0, 0, 0, 0, 0}, 0x0000, {0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint16_t> x(c.x.begin(), c.x.end());
        const QuantizedInt4 q = quantize_int4(x, 1, 8, 8);
        EXPECT_EQ(q.scales, std::vector<uint16_t>{c.scale});
        for (std::size_t k = 0; k < 8; ++k) EXPECT_EQ(nibble_at(q.packed, 8, 0, k), c.levels[k] + 8) << k;
    }
}

TEST(QuantizePreconditions, MessagesInOrder) {
    const std::vector<uint16_t> x16(16), x10(10), x12(12);
    struct Case {
        const char* name;
        const std::vector<uint16_t>* x;
        uint64_t rows, cols, gs;
        std::string int4, int8;
    };
    const Case cases[] = {
        {"length first", &x10, 2, 8, 0, eq_text(10, 16), eq_text(10, 16)},
        {"group size zero", &x16, 2, 8, 0, "assertion failed: group_size != 0", "assertion failed: group_size != 0"},
        {"group divisibility", &x12, 1, 12, 5, "cols (12) must be divisible by group_size (5)",
         "cols (12) must be divisible by group_size (5)"},
        {"INT4 word width", &x12, 1, 12, 4, "cols (12) must be divisible by 8", "<no error>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(error_of([&] { (void)quantize_int4(*c.x, c.rows, c.cols, c.gs); }), c.int4);
        EXPECT_EQ(error_of([&] { (void)quantize_int8(*c.x, c.rows, c.cols, c.gs); }), c.int8);
    }
    // A shape whose element count overflows 64 bits is refused, never wrapped into a match.
    EXPECT_NE(error_of([&] { (void)quantize_int4(x16, uint64_t{1} << 62, 16, 8); }), "<no error>");
}

// ---------------------------------------------------------------------------------------------------------
// Permutation tables

template <std::size_t N>
bool is_permutation_of_range(const std::array<uint16_t, N>& t) {
    std::vector<bool> seen(N, false);
    for (uint16_t v : t) {
        if (v >= N || seen[v]) return false;
        seen[v] = true;
    }
    return true;
}

template <std::size_t N>
std::vector<uint16_t> head(const std::array<uint16_t, N>& t, std::size_t count) {
    return {t.begin(), t.begin() + static_cast<std::ptrdiff_t>(count)};
}

TEST(MarlinTables, PublishedEntriesAndPermutationProperty) {
    EXPECT_EQ(head(base_perm(), 8), (std::vector<uint16_t>{0, 16, 128, 144, 8, 24, 136, 152}));
    EXPECT_EQ(head(perm4(), 16),
              (std::vector<uint16_t>{0, 128, 8, 136, 16, 144, 24, 152, 256, 384, 264, 392, 272, 400, 280, 408}));
    EXPECT_EQ(head(perm8(), 16),
              (std::vector<uint16_t>{0, 128, 16, 144, 8, 136, 24, 152, 256, 384, 272, 400, 264, 392, 280, 408}));
    EXPECT_EQ(head(scale_perm(), 10), (std::vector<uint16_t>{0, 8, 16, 24, 32, 40, 48, 56, 1, 9}));
    EXPECT_EQ(scale_perm()[63], 63);
    EXPECT_EQ(head(scale_perm_single(), 12), (std::vector<uint16_t>{0, 1, 8, 9, 16, 17, 24, 25, 2, 3, 10, 11}));
    EXPECT_EQ(scale_perm_single()[30], 30);
    EXPECT_EQ(scale_perm_single()[31], 31);

    EXPECT_TRUE(is_permutation_of_range(base_perm()));
    EXPECT_TRUE(is_permutation_of_range(perm4()));
    EXPECT_TRUE(is_permutation_of_range(perm8()));
    EXPECT_TRUE(is_permutation_of_range(scale_perm()));
    EXPECT_TRUE(is_permutation_of_range(scale_perm_single()));
    // Built once: the same object on every call.
    EXPECT_EQ(&perm4(), &perm4());
}

// ---------------------------------------------------------------------------------------------------------
// Marlin placement on small shapes

// An INT4 matrix whose nibble at (n, k) is f(n, k), with the given scales.
QuantizedInt4 int4_matrix(std::size_t n, std::size_t k, std::size_t gs, const std::function<int(std::size_t, std::size_t)>& f) {
    QuantizedInt4 q;
    q.rows = n;
    q.cols = k;
    q.group_size = gs;
    q.packed.assign(n * k / 8, 0);
    for (std::size_t r = 0; r < n; ++r) {
        for (std::size_t c = 0; c < k; ++c) {
            q.packed[r * (k / 8) + c / 8] |= static_cast<uint32_t>(f(r, c) & 0xF) << (4 * (c % 8));
        }
    }
    q.scales.assign(n * (k / gs), 0x3F80);
    return q;
}

QuantizedInt8 int8_matrix(std::size_t n, std::size_t k, std::size_t gs, const std::function<int(std::size_t, std::size_t)>& f) {
    QuantizedInt8 q;
    q.rows = n;
    q.cols = k;
    q.group_size = gs;
    q.data.resize(n * k);
    for (std::size_t r = 0; r < n; ++r) {
        for (std::size_t c = 0; c < k; ++c) q.data[r * k + c] = static_cast<int8_t>(f(r, c));
    }
    q.scales.assign(n * (k / gs), 0x3F80);
    return q;
}

using Source = std::pair<std::size_t, std::size_t>;  // (n, k)

// For every nibble of a Marlin INT4 result, the (n, k) it came from, found by repacking three matrices that
// encode k mod 16, n mod 16 and n / 16 (k / 16 is the Marlin row).
std::vector<Source> int4_sources(std::size_t n, std::size_t k, std::size_t gs) {
    const MarlinRepacked by_k = marlin_repack(int4_matrix(n, k, gs, [](auto, auto c) { return int(c % 16); }));
    const MarlinRepacked by_nj = marlin_repack(int4_matrix(n, k, gs, [](auto r, auto) { return int(r % 16); }));
    const MarlinRepacked by_nt = marlin_repack(int4_matrix(n, k, gs, [](auto r, auto) { return int(r / 16); }));
    std::vector<Source> out;
    const std::size_t row_words = 2 * n;
    for (std::size_t w = 0; w < by_k.packed.size(); ++w) {
        for (unsigned i = 0; i < 8; ++i) {
            auto nib = [&](const MarlinRepacked& m) { return (m.packed[w] >> (4 * i)) & 0xF; };
            out.emplace_back(16 * nib(by_nt) + nib(by_nj), 16 * (w / row_words) + nib(by_k));
        }
    }
    return out;
}

std::vector<Source> int8_sources(std::size_t n, std::size_t k, std::size_t gs) {
    // byte = level + 128; the first matrix's byte is 16 (n mod 16) + k mod 16, the second's n / 16.
    const MarlinRepacked low =
        marlin_repack_int8(int8_matrix(n, k, gs, [](auto r, auto c) { return int(16 * (r % 16) + c % 16) - 128; }));
    const MarlinRepacked nt = marlin_repack_int8(int8_matrix(n, k, gs, [](auto r, auto) { return int(r / 16) - 128; }));
    std::vector<Source> out;
    const std::size_t row_words = 4 * n;
    for (std::size_t w = 0; w < low.packed.size(); ++w) {
        for (unsigned i = 0; i < 4; ++i) {
            const unsigned b = (low.packed[w] >> (8 * i)) & 0xFF;
            const unsigned t = (nt.packed[w] >> (8 * i)) & 0xFF;
            out.emplace_back(16 * t + b / 16, 16 * (w / row_words) + b % 16);
        }
    }
    return out;
}

void expect_bijection(const std::vector<Source>& sources, std::size_t n, std::size_t k) {
    ASSERT_EQ(sources.size(), n * k);
    std::vector<int> hits(n * k, 0);
    for (const auto& [r, c] : sources) {
        ASSERT_LT(r, n);
        ASSERT_LT(c, k);
        ++hits[r * k + c];
    }
    EXPECT_EQ(std::count(hits.begin(), hits.end(), 1), static_cast<std::ptrdiff_t>(n * k));
}

struct WordCase {
    std::size_t word;
    std::vector<Source> sources;  // (n, k) of each nibble / byte, lowest first
};

std::vector<Source> word_sources(const std::vector<Source>& all, std::size_t word, std::size_t per_word) {
    return {all.begin() + static_cast<std::ptrdiff_t>(word * per_word),
            all.begin() + static_cast<std::ptrdiff_t>((word + 1) * per_word)};
}

// Worked by hand from the tile layout: word w of a 64-column chunk takes (with j = w mod 4,
// a = (w / 4) mod 4, col = w / 16) the rows 16j + col and 16j + col + 8 at the inputs 2a, 2a + 8, 2a + 1,
// 2a + 9 of its 16-input stripe, in the order of the table's interleaving.
TEST(MarlinRepack, Int4WordPlacementN64K16) {
    const auto all = int4_sources(64, 16, 16);
    expect_bijection(all, 64, 16);
    const WordCase cases[] = {
        {0, {{0, 0}, {0, 8}, {8, 0}, {8, 8}, {0, 1}, {0, 9}, {8, 1}, {8, 9}}},
        {1, {{16, 0}, {16, 8}, {24, 0}, {24, 8}, {16, 1}, {16, 9}, {24, 1}, {24, 9}}},
        {3, {{48, 0}, {48, 8}, {56, 0}, {56, 8}, {48, 1}, {48, 9}, {56, 1}, {56, 9}}},
        {4, {{0, 2}, {0, 10}, {8, 2}, {8, 10}, {0, 3}, {0, 11}, {8, 3}, {8, 11}}},
        {17, {{17, 0}, {17, 8}, {25, 0}, {25, 8}, {17, 1}, {17, 9}, {25, 1}, {25, 9}}},
        {127, {{55, 6}, {55, 14}, {63, 6}, {63, 14}, {55, 7}, {55, 15}, {63, 7}, {63, 15}}},
    };
    for (const auto& c : cases) EXPECT_EQ(word_sources(all, c.word, 8), c.sources) << "word " << c.word;
}

TEST(MarlinRepack, Int4SecondStripeAndSecondChunk) {
    // K = 32: the second 16-input stripe is row 1 (words 128 …); N = 128: the second 64-column chunk starts
    // at word 128 of the row.
    const auto k32 = int4_sources(64, 32, 16);
    expect_bijection(k32, 64, 32);
    EXPECT_EQ(word_sources(k32, 128, 8),
              (std::vector<Source>{{0, 16}, {0, 24}, {8, 16}, {8, 24}, {0, 17}, {0, 25}, {8, 17}, {8, 25}}));
    const auto n128 = int4_sources(128, 16, 16);
    expect_bijection(n128, 128, 16);
    EXPECT_EQ(word_sources(n128, 128, 8),
              (std::vector<Source>{{64, 0}, {64, 8}, {72, 0}, {72, 8}, {64, 1}, {64, 9}, {72, 1}, {72, 9}}));
    EXPECT_EQ(word_sources(n128, 255, 8),
              (std::vector<Source>{{119, 6}, {119, 14}, {127, 6}, {127, 14}, {119, 7}, {119, 15}, {127, 7}, {127, 15}}));
}

// INT8: words of four bytes; word w takes, with h = w mod 2, j = (w / 2) mod 4, a = (w / 8) mod 4,
// col = w / 32, row 16j + col + 8h at the inputs 2a, 2a + 8, 2a + 1, 2a + 9.
TEST(MarlinRepack, Int8WordPlacementN64K16) {
    const auto all = int8_sources(64, 16, 16);
    expect_bijection(all, 64, 16);
    const WordCase cases[] = {
        {0, {{0, 0}, {0, 8}, {0, 1}, {0, 9}}},
        {1, {{8, 0}, {8, 8}, {8, 1}, {8, 9}}},
        {2, {{16, 0}, {16, 8}, {16, 1}, {16, 9}}},
        {8, {{0, 2}, {0, 10}, {0, 3}, {0, 11}}},
        {33, {{9, 0}, {9, 8}, {9, 1}, {9, 9}}},
        {255, {{63, 6}, {63, 14}, {63, 7}, {63, 15}}},
    };
    for (const auto& c : cases) EXPECT_EQ(word_sources(all, c.word, 4), c.sources) << "word " << c.word;
    const auto k32 = int8_sources(64, 32, 16);
    expect_bijection(k32, 64, 32);
    EXPECT_EQ(word_sources(k32, 256, 4), (std::vector<Source>{{0, 16}, {0, 24}, {0, 17}, {0, 25}}));
}

TEST(MarlinRepack, ShapesFieldsAndScaleChunking) {
    // group_size = K: one group per row, the 64 scales permuted as two chunks of 32.
    {
        QuantizedInt4 q = int4_matrix(64, 16, 16, [](auto, auto) { return 8; });
        for (std::size_t n = 0; n < 64; ++n) q.scales[n] = static_cast<uint16_t>(n);
        const MarlinRepacked m = marlin_repack(q);
        EXPECT_EQ(m.k, 16u);
        EXPECT_EQ(m.n, 64u);
        EXPECT_EQ(m.group_size, 16u);
        EXPECT_EQ(m.packed.size(), 128u);
        EXPECT_EQ(m.scales.size(), 64u);
        const std::vector<uint16_t> first(m.scales.begin(), m.scales.begin() + 10);
        EXPECT_EQ(first, (std::vector<uint16_t>{0, 1, 8, 9, 16, 17, 24, 25, 2, 3}));
        const std::vector<uint16_t> second(m.scales.begin() + 32, m.scales.begin() + 42);
        EXPECT_EQ(second, (std::vector<uint16_t>{32, 33, 40, 41, 48, 49, 56, 57, 34, 35}));
        EXPECT_EQ(m.scales[63], 63);
    }
    // K = 32, group_size = 16: 128 scales [N][2] transposed to [2][N], permuted as two chunks of 64.
    {
        QuantizedInt4 q = int4_matrix(64, 32, 16, [](auto, auto) { return 8; });
        for (std::size_t n = 0; n < 64; ++n) {
            for (std::size_t g = 0; g < 2; ++g) q.scales[n * 2 + g] = static_cast<uint16_t>(1000 * g + n);
        }
        const MarlinRepacked m = marlin_repack(q);
        EXPECT_EQ(m.packed.size(), 256u);
        const std::vector<uint16_t> first(m.scales.begin(), m.scales.begin() + 10);
        EXPECT_EQ(first, (std::vector<uint16_t>{0, 8, 16, 24, 32, 40, 48, 56, 1, 9}));
        const std::vector<uint16_t> second(m.scales.begin() + 64, m.scales.begin() + 74);
        EXPECT_EQ(second, (std::vector<uint16_t>{1000, 1008, 1016, 1024, 1032, 1040, 1048, 1056, 1001, 1009}));
        EXPECT_EQ(m.scales[127], 1063);
    }
    // INT8: 4N words per stripe, the same scale handling.
    {
        QuantizedInt8 q = int8_matrix(64, 32, 16, [](auto, auto) { return 0; });
        for (std::size_t i = 0; i < q.scales.size(); ++i) q.scales[i] = static_cast<uint16_t>(i);
        const MarlinRepacked m = marlin_repack_int8(q);
        EXPECT_EQ(m.k, 32u);
        EXPECT_EQ(m.n, 64u);
        EXPECT_EQ(m.packed.size(), 512u);
        const std::vector<uint16_t> first(m.scales.begin(), m.scales.begin() + 4);
        EXPECT_EQ(first, (std::vector<uint16_t>{0, 16, 32, 48}));  // St[0][8i] = scales[8i × 2]
    }
}

// An all-zero matrix: scale 1.0, nibble 8 / byte 0x80 everywhere in the Marlin form.
TEST(MarlinRepack, AllZeroMatrixEndToEnd) {
    const std::vector<uint16_t> zeros(64 * 32, 0);
    const MarlinRepacked m4 = marlin_repack(quantize_int4(zeros, 64, 32, 16));
    EXPECT_EQ(m4.packed, std::vector<uint32_t>(256, 0x88888888u));
    EXPECT_EQ(m4.scales, std::vector<uint16_t>(128, 0x3F80));
    const MarlinRepacked m8 = marlin_repack_int8(quantize_int8(zeros, 64, 32, 16));
    EXPECT_EQ(m8.packed, std::vector<uint32_t>(512, 0x80808080u));
    EXPECT_EQ(m8.scales, std::vector<uint16_t>(128, 0x3F80));
}

// ---------------------------------------------------------------------------------------------------------
// Inverse recovery: undo the packing, the chunk permutation and the tile transpose, and undo the scale
// permutation and transpose; every level and every scale must come back unchanged.

// P bytes of a Marlin result → U[n][k] by inverting the chunk permutation and the 16 × 16 tile transpose.
std::vector<uint8_t> invert_tiles(const std::vector<uint8_t>& p, std::size_t n, std::size_t k,
                                  const std::array<uint16_t, 1024>& perm) {
    std::vector<uint8_t> t(p.size());
    for (std::size_t c = 0; c < p.size(); c += 1024) {
        for (std::size_t l = 0; l < 1024; ++l) t[c + perm[l]] = p[c + l];
    }
    std::vector<uint8_t> u(n * k);
    for (std::size_t kt = 0; kt < k / 16; ++kt) {
        for (std::size_t i = 0; i < 16 * n; ++i) {
            const std::size_t nt = i / 256, ki = (i % 256) / 16, nj = i % 16;
            u[(16 * nt + nj) * k + 16 * kt + ki] = t[kt * 16 * n + i];
        }
    }
    return u;
}

std::vector<uint16_t> invert_scales(const std::vector<uint16_t>& s, std::size_t n, std::size_t groups, bool single) {
    std::vector<uint16_t> st(s.size());
    const std::size_t chunk = single ? 32 : 64;
    for (std::size_t c = 0; c < s.size(); c += chunk) {
        for (std::size_t j = 0; j < chunk; ++j) {
            st[c + (single ? scale_perm_single()[j] : scale_perm()[j])] = s[c + j];
        }
    }
    std::vector<uint16_t> out(s.size());
    for (std::size_t g = 0; g < groups; ++g) {
        for (std::size_t r = 0; r < n; ++r) out[r * groups + g] = st[g * n + r];
    }
    return out;
}

TEST(MarlinRepack, InverseRecoversEveryInt4Level) {
    const std::size_t n = 128, k = 256;
    for (std::size_t gs : {64u, 256u}) {
        SCOPED_TRACE(gs);
        std::mt19937 rng(static_cast<uint32_t>(gs));
        std::vector<uint16_t> x(n * k);
        std::normal_distribution<float> normal(0.0f, 0.02f);
        for (auto& v : x) v = narrow(normal(rng));
        const QuantizedInt4 q = quantize_int4(x, n, k, gs);
        const MarlinRepacked m = marlin_repack(q);
        ASSERT_EQ(m.packed.size(), (k / 16) * 2 * n);
        std::vector<uint8_t> p(n * k);
        for (std::size_t w = 0; w < m.packed.size(); ++w) {
            for (unsigned i = 0; i < 8; ++i) p[8 * w + i] = static_cast<uint8_t>((m.packed[w] >> (4 * i)) & 0xF);
        }
        const auto u = invert_tiles(p, n, k, perm4());
        for (std::size_t r = 0; r < n; ++r) {
            for (std::size_t c = 0; c < k; ++c) {
                ASSERT_EQ(u[r * k + c], nibble_at(q.packed, k, r, c)) << r << "," << c;
            }
        }
        EXPECT_EQ(invert_scales(m.scales, n, k / gs, gs >= k), q.scales);
    }
}

TEST(MarlinRepack, InverseRecoversEveryInt8Level) {
    const std::size_t n = 128, k = 256;
    for (std::size_t gs : {32u, 256u}) {
        SCOPED_TRACE(gs);
        std::mt19937 rng(static_cast<uint32_t>(gs) + 7);
        std::vector<uint16_t> x(n * k);
        std::normal_distribution<float> normal(0.0f, 0.02f);
        for (auto& v : x) v = narrow(normal(rng));
        const QuantizedInt8 q = quantize_int8(x, n, k, gs);
        const MarlinRepacked m = marlin_repack_int8(q);
        ASSERT_EQ(m.packed.size(), (k / 16) * 4 * n);
        std::vector<uint8_t> p(n * k);
        for (std::size_t w = 0; w < m.packed.size(); ++w) {
            for (unsigned i = 0; i < 4; ++i) p[4 * w + i] = static_cast<uint8_t>((m.packed[w] >> (8 * i)) & 0xFF);
        }
        const auto u = invert_tiles(p, n, k, perm8());
        for (std::size_t r = 0; r < n; ++r) {
            for (std::size_t c = 0; c < k; ++c) {
                ASSERT_EQ(static_cast<int>(u[r * k + c]) - 128, q.data[r * k + c]) << r << "," << c;
            }
        }
        EXPECT_EQ(invert_scales(m.scales, n, k / gs, gs >= k), q.scales);
    }
}

// ---------------------------------------------------------------------------------------------------------
// Preconditions and index checks

TEST(MarlinPreconditions, MessagesInOrderAndShortArrays) {
    struct Case {
        const char* name;
        uint64_t n, k, gs;
        bool zero_group_size;
        std::size_t drop_values, drop_scales;  // elements removed from the end of the arrays
        std::string int4, int8;
    };
    const Case cases[] = {
        {"K before N", 48, 8, 8, false, 0, 0, "K (8) must be divisible by 16", "K (8) must be divisible by 16"},
        {"N", 48, 16, 16, false, 0, 0, "N (48) must be divisible by 64 (Marlin tile constraint)",
         "N (48) must be divisible by 64 (Marlin tile constraint)"},
        {"group size zero", 64, 16, 16, true, 0, 0, "assertion failed: group_size != 0",
         "assertion failed: group_size != 0"},
        {"short scales", 64, 32, 16, false, 0, 1, "scales has 127 entries, 64 rows of 2 groups need 128",
         "scales has 127 entries, 64 rows of 2 groups need 128"},
        {"short values", 64, 32, 16, false, 1, 0, "packed has 255 words, 64 rows of 32 INT4 values need 256",
         "data has 2047 bytes, 64 rows of 32 INT8 values need 2048"},
        {"empty values", 64, 32, 16, false, SIZE_MAX, 0, "packed has 0 words, 64 rows of 32 INT4 values need 256",
         "data has 0 bytes, 64 rows of 32 INT8 values need 2048"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QuantizedInt4 q4 = int4_matrix(c.n, c.k, c.gs, [](auto, auto) { return 3; });
        QuantizedInt8 q8 = int8_matrix(c.n, c.k, c.gs, [](auto, auto) { return 3; });
        if (c.zero_group_size) q4.group_size = q8.group_size = 0;
        auto shrink = [](auto& v, std::size_t drop) { v.resize(drop >= v.size() ? 0 : v.size() - drop); };
        shrink(q4.packed, c.drop_values);
        shrink(q8.data, c.drop_values);
        shrink(q4.scales, c.drop_scales);
        shrink(q8.scales, c.drop_scales);
        EXPECT_EQ(error_of([&] { (void)marlin_repack(q4); }), c.int4);
        EXPECT_EQ(error_of([&] { (void)marlin_repack_int8(q8); }), c.int8);
    }
    // Arrays longer than the shape are accepted; only the prefix is read.
    QuantizedInt4 q4 = int4_matrix(64, 16, 16, [](auto, auto) { return 3; });
    q4.packed.push_back(0xFFFFFFFFu);
    EXPECT_EQ(marlin_repack(q4).packed, std::vector<uint32_t>(128, 0x33333333u));
}

// ---------------------------------------------------------------------------------------------------------
// Timing log: every call counts; the calls that drew a value below 5 or a multiple of 384 log one line.

class MarlinLogCapture {
public:
    MarlinLogCapture() : logger_(log::target("orvane::weights::marlin")) {
        saved_sinks_ = logger_.sinks();
        saved_level_ = logger_.level();
        ring_ = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(4096);
        ring_->set_pattern("%v");
        logger_.sinks() = {ring_};
        logger_.set_level(spdlog::level::info);
    }
    ~MarlinLogCapture() {
        logger_.sinks() = saved_sinks_;
        logger_.set_level(saved_level_);
    }
    std::vector<std::string> lines() {
        std::vector<std::string> out = ring_->last_formatted();
        for (auto& line : out) {
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        }
        return out;
    }

private:
    spdlog::logger& logger_;
    std::vector<spdlog::sink_ptr> saved_sinks_;
    spdlog::level::level_enum saved_level_;
    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> ring_;
};

std::size_t expected_lines(uint64_t first, uint64_t calls) {
    std::size_t lines = 0;
    for (uint64_t v = first; v < first + calls; ++v) lines += (v < 5 || v % 384 == 0) ? 1 : 0;
    return lines;
}

// A log line with every run of decimal digits replaced by a single 9, so that the layout of the timing
// figures (one decimal) can be compared exactly.
std::string digits_as_nines(const std::string& line) {
    std::string out;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const bool digit = line[i] >= '0' && line[i] <= '9';
        if (!digit) {
            out += line[i];
        } else if (i == 0 || !(line[i - 1] >= '0' && line[i - 1] <= '9')) {
            out += '9';
        }
    }
    return out;
}

TEST(MarlinLog, CountersThrottleTheTimingLines) {
    const QuantizedInt4 q4 = int4_matrix(64, 16, 16, [](auto, auto) { return 1; });
    const QuantizedInt8 q8 = int8_matrix(64, 16, 16, [](auto, auto) { return 1; });
    // Enough calls to pass the first five and at least one multiple of 384 whatever earlier tests drew.
    const uint64_t calls = 2 * 384 + 6;
    {
        MarlinLogCapture capture;
        const uint64_t before = REPACK_LOG_COUNT.load();
        for (uint64_t i = 0; i < calls; ++i) (void)marlin_repack(q4);
        EXPECT_EQ(REPACK_LOG_COUNT.load(), before + calls);
        const auto lines = capture.lines();
        EXPECT_EQ(lines.size(), expected_lines(before, calls));
        ASSERT_GE(lines.size(), 2u);
        for (const auto& line : lines) {
            EXPECT_EQ(digits_as_nines(line),
                      "marlin_repack [9×9] total=9.9ms: unpack=9.9 transpose=9.9 tile=9.9 pack=9.9 scales=9.9ms");
            EXPECT_EQ(line.rfind("marlin_repack [64×16] ", 0), 0u) << line;
        }
    }
    {
        MarlinLogCapture capture;
        const uint64_t before = REPACK_INT8_LOG_COUNT.load();
        for (uint64_t i = 0; i < calls; ++i) (void)marlin_repack_int8(q8);
        EXPECT_EQ(REPACK_INT8_LOG_COUNT.load(), before + calls);
        const auto lines = capture.lines();
        EXPECT_EQ(lines.size(), expected_lines(before, calls));
        ASSERT_GE(lines.size(), 2u);
        for (const auto& line : lines) {
            EXPECT_EQ(digits_as_nines(line),
                      "marlin_repack_int9 [9×9] total=9.9ms: convert=9.9 tile+perm=9.9 pack=9.9 scales=9.9ms");
            EXPECT_EQ(line.rfind("marlin_repack_int8 [64×16] ", 0), 0u) << line;
        }
    }
}

}  // namespace
}  // namespace orvane::weights::marlin
