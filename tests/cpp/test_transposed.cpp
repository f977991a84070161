// Transposed INT4/INT8 products: every product and variant against a scalar reference of the documented
// arithmetic (exact integer group sums; per group, vector columns accumulate fma(s * w, float(sum), out) and
// the last n_count % 8 columns of a range out + (w * s) * float(sum)), bit for bit.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "core/bf16.hpp"
#include "core/errors.hpp"
#include "core/thread_pool.hpp"
#include "kernel/avx2/transposed.hpp"
#include "support.hpp"

namespace orvane::kernel::avx2 {
namespace {

using orvane::test_support::eq_text;
using orvane::test_support::error_of;

// ---------------------------------------------------------------------------------------------------------
// Fixture data and the scalar reference.

struct Problem {
    std::size_t k = 0, n = 0, gs = 0;
    bool int8 = false;
    std::vector<uint32_t> packed;
    std::vector<uint16_t> scales;
    std::vector<int16_t> act;
    std::vector<float> act_scales;

    std::size_t groups() const { return k / gs; }

    // Signed level of W[col][kk] as stored.
    int level(std::size_t kk, std::size_t col) const {
        if (int8) {
            const auto* bytes = reinterpret_cast<const int8_t*>(packed.data());
            return bytes[kk * n + col];
        }
        const uint32_t word = packed[(kk / 8) * n + col];
        return static_cast<int>((word >> (4 * (kk % 8))) & 0xF) - 8;
    }
};

Problem make_problem(std::size_t k, std::size_t n, std::size_t gs, bool int8, uint32_t seed) {
    std::mt19937 rng(seed);
    Problem p;
    p.k = k;
    p.n = n;
    p.gs = gs;
    p.int8 = int8;
    p.packed.resize(int8 ? (k * n + 3) / 4 : (k / 8) * n);
    for (auto& w : p.packed) w = static_cast<uint32_t>(rng());
    if (int8 && (k * n) % 4 != 0) {
        // Bytes beyond K x N in the last word are zero.
        auto* bytes = reinterpret_cast<uint8_t*>(p.packed.data());
        for (std::size_t b = k * n; b < p.packed.size() * 4; ++b) bytes[b] = 0;
    }
    std::uniform_real_distribution<float> scale_dist(-0.05f, 0.05f);
    p.scales.resize(p.groups() * n);
    for (auto& s : p.scales) s = f32_to_bf16(scale_dist(rng));
    // Full-range activations, with the extremes made common.
    std::uniform_int_distribution<int> act_dist(-32768, 32767);
    p.act.resize(k);
    for (auto& q : p.act) {
        const int r = act_dist(rng);
        q = static_cast<int16_t>(r % 7 == 0 ? -32768 : r % 7 == 1 ? 32767 : r);
    }
    std::uniform_real_distribution<float> as_dist(1e-6f, 1e-3f);
    p.act_scales.resize(p.groups());
    for (auto& s : p.act_scales) s = as_dist(rng);
    return p;
}

// Reference of one column-range call: columns n_start .. n_start + n_count of `p` (n_count <= 256).
void reference_range(const Problem& p, std::size_t n_start, std::size_t n_count, float* out) {
    const std::size_t vector_cols = n_count / 8 * 8;
    for (std::size_t j = 0; j < n_count; ++j) {
        const std::size_t col = n_start + j;
        float acc = 0.0f;
        for (std::size_t g = 0; g < p.groups(); ++g) {
            int64_t sum = 0;
            for (std::size_t kk = g * p.gs; kk < (g + 1) * p.gs; ++kk)
                sum += static_cast<int64_t>(p.level(kk, col)) * p.act[kk];
            const float fsum = static_cast<float>(static_cast<int32_t>(sum));
            const float w = bf16_to_f32(p.scales[g * p.n + col]);
            const float s = p.act_scales[g];
            if (j < vector_cols) {
                acc = std::fma(s * w, fsum, acc);
            } else {
                const float product = (w * s) * fsum;
                acc = acc + product;
            }
        }
        out[j] = acc;
    }
}

// Reference of a whole product: ranges of 256 columns (the parallel variants' single range for N <= 64 is the
// same split).
std::vector<float> reference_product(const Problem& p) {
    std::vector<float> out(p.n);
    for (std::size_t start = 0; start < p.n; start += 256)
        reference_range(p, start, std::min<std::size_t>(256, p.n - start), out.data() + start);
    return out;
}

::testing::AssertionResult bits_equal(std::span<const float> got, std::span<const float> want) {
    if (got.size() != want.size())
        return ::testing::AssertionFailure() << "size " << got.size() << " vs " << want.size();
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (std::bit_cast<uint32_t>(got[i]) != std::bit_cast<uint32_t>(want[i]))
            return ::testing::AssertionFailure() << "column " << i << ": " << got[i] << " vs " << want[i];
    }
    return ::testing::AssertionSuccess();
}

using Product = void (*)(std::span<const uint32_t>, std::span<const uint16_t>, std::span<const int16_t>,
                         std::span<const float>, std::span<float>, std::size_t, std::size_t, std::size_t);

struct Variant {
    const char* name;
    Product int4;
    Product int8;
    bool tiled;
};

const Variant kVariants[] = {
    {"base", matmul_int4_transposed_integer, matmul_int8_transposed_integer, false},
    {"tiled", matmul_int4_transposed_integer_tiled, matmul_int8_transposed_integer_tiled, true},
    {"parallel", matmul_int4_transposed_integer_parallel, matmul_int8_transposed_integer_parallel, false},
    {"parallel_tiled", matmul_int4_transposed_integer_parallel_tiled,
     matmul_int8_transposed_integer_parallel_tiled, true},
};

constexpr float kSentinel = -12345.0f;
constexpr std::size_t kGuard = 16;

// Runs one variant; the output has a guard area after N columns that must stay untouched.
std::vector<float> run_variant(const Variant& v, const Problem& p) {
    std::vector<uint32_t> packed = p.packed;
    std::vector<uint16_t> scales = p.scales;
    if (v.tiled) {
        packed = p.int8 ? repack_tiled_int8_packed(p.packed, p.k, p.n) : repack_tiled_int4_packed(p.packed, p.k, p.n);
        scales = repack_tiled_scales(p.scales, p.groups(), p.n);
    }
    std::vector<float> out(p.n + kGuard, kSentinel);
    (p.int8 ? v.int8 : v.int4)(packed, scales, p.act, p.act_scales, std::span<float>(out.data(), p.n), p.k, p.n,
                               p.gs);
    for (std::size_t i = p.n; i < out.size(); ++i) EXPECT_EQ(out[i], kSentinel) << "written beyond N at " << i;
    out.resize(p.n);
    return out;
}

// The INT4 kernels have an AVX2 form and, where the processor has it, an AVX-512 VNNI form: INT4 tests run
// under each available one.
std::vector<bool> avx512_choices() {
    if (avx512_vnni_available()) return {false, true};
    return {false};
}

struct Avx512Choice {
    explicit Avx512Choice(bool allowed) { set_avx512_allowed(allowed); }
    ~Avx512Choice() { set_avx512_allowed(true); }
};

// ---------------------------------------------------------------------------------------------------------
// All products and variants against the reference.

struct Shape {
    std::size_t k, n, gs;
};

// Shapes for both widths: chunk splits (256 + 44 = 40 vectorised + 4 one by one), the N <= 64 parallel
// boundary, all-tail ranges, odd rows per group, multi-chunk and zero sizes.
const Shape kInt4Shapes[] = {
    {128, 300, 128}, {64, 64, 32}, {64, 65, 32}, {32, 7, 8},  {192, 21, 24}, {256, 513, 64},
    {256, 1024, 128}, {8, 1, 8},   {0, 16, 128}, {128, 0, 128}, {2048, 40, 2048},
};
const Shape kInt8Shapes[] = {
    {128, 300, 128}, {64, 64, 32}, {64, 65, 2}, {6, 5, 2},    {6, 7, 6},   {256, 513, 64},
    {96, 1024, 96},  {2, 1, 2},   {0, 16, 128}, {128, 0, 128}, {510, 19, 510}, {32, 24, 32},
};

TEST(TransposedProduct, Int4AllVariantsMatchReference) {
    for (const bool avx512 : avx512_choices()) {
        const Avx512Choice choice(avx512);
        uint32_t seed = 1;
        for (const Shape& s : kInt4Shapes) {
            const Problem p = make_problem(s.k, s.n, s.gs, false, seed++);
            const std::vector<float> want = reference_product(p);
            for (const Variant& v : kVariants) {
                SCOPED_TRACE(testing::Message() << v.name << " avx512=" << avx512 << " K=" << s.k << " N=" << s.n
                                                << " gs=" << s.gs);
                EXPECT_TRUE(bits_equal(run_variant(v, p), want));
            }
        }
    }
}

// The largest partial sums the INT4 kernels form: every nibble 15 or 0 against activations whose low byte
// is 255 or whose high byte is -128 or 127, over long groups.
TEST(TransposedProduct, Int4ExtremeNibblesAndActivations) {
    const int16_t extremes[] = {-1, 32767, -32768, -129, 255, -256, 127};
    const uint32_t words[] = {0xFFFFFFFFu, 0x00000000u, 0xF0F0F0F0u, 0x0F0F0F0Fu, 0xFF00FF00u};
    for (const bool avx512 : avx512_choices()) {
        const Avx512Choice choice(avx512);
        for (std::size_t gs : {std::size_t{8}, std::size_t{24}, std::size_t{1024}}) {
            Problem p = make_problem(3072, 37, gs, false, 3);
            for (std::size_t i = 0; i < p.act.size(); ++i) p.act[i] = extremes[(i / 8 + (i % 8 == 0)) % 7];
            for (std::size_t i = 0; i < p.packed.size(); ++i) p.packed[i] = words[(i / 37 + i % 3) % 5];
            SCOPED_TRACE(testing::Message() << "avx512=" << avx512 << " gs=" << gs);
            EXPECT_TRUE(bits_equal(run_variant(kVariants[0], p), reference_product(p)));
            std::fill(p.act.begin(), p.act.end(), int16_t{-1});
            std::fill(p.packed.begin(), p.packed.end(), 0xFFFFFFFFu);
            EXPECT_TRUE(bits_equal(run_variant(kVariants[0], p), reference_product(p)));
            std::fill(p.act.begin(), p.act.end(), int16_t{-32768});
            EXPECT_TRUE(bits_equal(run_variant(kVariants[0], p), reference_product(p)));
        }
    }
}

TEST(TransposedProduct, Int8AllVariantsMatchReference) {
    uint32_t seed = 100;
    for (const Shape& s : kInt8Shapes) {
        const Problem p = make_problem(s.k, s.n, s.gs, true, seed++);
        const std::vector<float> want = reference_product(p);
        for (const Variant& v : kVariants) {
            SCOPED_TRACE(testing::Message() << v.name << " K=" << s.k << " N=" << s.n << " gs=" << s.gs);
            EXPECT_TRUE(bits_equal(run_variant(v, p), want));
        }
    }
}

// K = 0 with a non-zero group size gives zeros; N = 0 writes nothing (checked by the guard above).
TEST(TransposedProduct, EmptyInputGivesZeros) {
    for (bool int8 : {false, true}) {
        const Problem p = make_problem(0, 20, 8, int8, 7);
        for (const Variant& v : kVariants) {
            SCOPED_TRACE(v.name);
            const std::vector<float> out = run_variant(v, p);
            for (float f : out) EXPECT_EQ(std::bit_cast<uint32_t>(f), 0u);
        }
    }
}

// Values worked out by hand, independent of the reference: nibble 0 is -8 and 15 is +7, a word 0x88888888
// adds nothing, INT8 bytes are signed.
TEST(TransposedProduct, HandComputedLevels) {
    for (const bool avx512 : avx512_choices()) {
    const Avx512Choice choice(avx512);
    const std::vector<int16_t> act = {1, 1, -32768, 32767, 0, 0, 0, 0};
    const std::vector<float> act_scales = {1.0f};
    // Column 0: nibbles 0 (-8), 15 (+7), 15 (+7), 0 (-8), rest 8 -> -8 + 7 - 229376 - 262136.
    // Column 1: all nibbles 8 -> 0, with a non-zero scale.
    // Column 2: nibble 2 = 0 (-8) -> -8 * -32768 = 262144.
    const std::vector<uint32_t> packed = {0x88880FF0u, 0x88888888u, 0x88888088u};
    const std::vector<uint16_t> scales = {f32_to_bf16(1.0f), f32_to_bf16(3.0f), f32_to_bf16(0.5f)};
    std::vector<float> out(3, kSentinel);
    matmul_int4_transposed_integer(packed, scales, act, act_scales, out, 8, 3, 8);
    EXPECT_EQ(out[0], static_cast<float>(-8 + 7 + 7 * -32768 + -8 * 32767));
    EXPECT_EQ(std::bit_cast<uint32_t>(out[1]), 0u);
    EXPECT_EQ(out[2], 131072.0f);

    // INT8, K = 2, N = 3: bytes row 0 = {-128, 127, 0}, row 1 = {1, -1, 5}.
    const std::vector<int16_t> act8 = {-32768, 3};
    const uint8_t bytes[8] = {0x80, 0x7F, 0x00, 0x01, 0xFF, 0x05, 0, 0};
    std::vector<uint32_t> packed8(2);
    std::memcpy(packed8.data(), bytes, 8);
    std::vector<float> out8(3, kSentinel);
    matmul_int8_transposed_integer(packed8, scales, act8, act_scales, out8, 2, 3, 2);
    EXPECT_EQ(out8[0], 1.0f * static_cast<float>(-128 * -32768 + 3));
    EXPECT_EQ(out8[1], 3.0f * static_cast<float>(127 * -32768 - 3));
    EXPECT_EQ(out8[2], 0.5f * 15.0f);
    }
}

// A zero activation group (scale 1.0 after quantization) adds exactly zero for that group.
TEST(TransposedProduct, ZeroActivationGroupAddsNothing) {
    for (bool int8 : {false, true}) {
        Problem p = make_problem(256, 40, 128, int8, 11);
        std::fill(p.act.begin() + 128, p.act.end(), int16_t{0});
        p.act_scales[1] = 1.0f;
        Problem first = p;  // the same product over the first group only
        first.k = 128;
        first.act.resize(128);
        first.act_scales.resize(1);
        if (int8) {
            first.packed.resize(128 * 40 / 4);
        } else {
            first.packed.resize(16 * 40);
        }
        first.scales.resize(40);
        EXPECT_TRUE(bits_equal(run_variant(kVariants[0], p), run_variant(kVariants[0], first)));
    }
}

// The column-range kernels on an interior range of a wider matrix (stride N, offset n_start).
TEST(TransposedProduct, ColumnRangeKernelsHonourStartAndStride) {
    struct Range {
        std::size_t n_start, n_count;
    };
    for (const bool avx512 : avx512_choices()) {
    const Avx512Choice choice(avx512);
    for (bool int8 : {false, true}) {
        const Problem p = make_problem(64, 300, 32, int8, 21);
        for (const Range r : {Range{8, 13}, Range{3, 256}, Range{44, 0}, Range{299, 1}, Range{17, 200}}) {
            SCOPED_TRACE(testing::Message() << "int8=" << int8 << " start=" << r.n_start << " count=" << r.n_count);
            std::vector<float> got(r.n_count + kGuard, kSentinel);
            std::vector<float> want(r.n_count);
            auto kernel = int8 ? expert_matmul_int8_transposed_integer : expert_matmul_int4_transposed_integer;
            kernel(p.packed.data(), p.scales.data(), p.act.data(), p.act_scales.data(), got.data(), p.k, p.n,
                   r.n_start, r.n_count, p.gs);
            reference_range(p, r.n_start, r.n_count, want.data());
            for (std::size_t i = r.n_count; i < got.size(); ++i) EXPECT_EQ(got[i], kSentinel);
            got.resize(r.n_count);
            EXPECT_TRUE(bits_equal(got, want));
        }
    }
    }
}

// Parallel variants called from inside pool tasks (the expert-task nesting) still equal the serial product.
TEST(TransposedProduct, NestedParallelCallsMatchSerial) {
    std::vector<Problem> problems;
    for (uint32_t i = 0; i < 6; ++i) problems.push_back(make_problem(256, 300 + 256 * i, 64, i % 2 == 1, 40 + i));
    std::vector<std::vector<float>> serial(problems.size()), nested(problems.size()), nested_tiled(problems.size());
    for (std::size_t i = 0; i < problems.size(); ++i) serial[i] = run_variant(kVariants[0], problems[i]);
    pool::parallel_for_each(problems.size(), [&](std::size_t i) {
        nested[i] = run_variant(kVariants[2], problems[i]);
        nested_tiled[i] = run_variant(kVariants[3], problems[i]);
    });
    for (std::size_t i = 0; i < problems.size(); ++i) {
        EXPECT_TRUE(bits_equal(nested[i], serial[i])) << i;
        EXPECT_TRUE(bits_equal(nested_tiled[i], serial[i])) << i;
    }
}

// ---------------------------------------------------------------------------------------------------------
// Preconditions: order and messages; a failing base product writes nothing.



struct Args {
    std::vector<uint32_t> packed;
    std::vector<uint16_t> scales;
    std::vector<int16_t> act;
    std::vector<float> act_scales;
    std::vector<float> out;
    std::size_t k, n, gs;
};

// A valid call (K = 32, N = 5, gs = 16) for either width, then one change.
Args valid_args(bool int8) {
    Args a;
    a.k = 32;
    a.n = 5;
    a.gs = 16;
    a.packed.assign(int8 ? (32 * 5 + 3) / 4 : 4 * 5, 0x88888888u);
    a.scales.assign(2 * 5, f32_to_bf16(1.0f));
    a.act.assign(32, 1);
    a.act_scales.assign(2, 1.0f);
    a.out.assign(5, kSentinel);
    return a;
}

struct BadCase {
    const char* name;
    std::function<void(Args&)> change;
    std::string int4_message;
    std::string int8_message;
};

TEST(TransposedProduct, BasePreconditionsInOrder) {
    const BadCase cases[] = {
        {"activation length", [](Args& a) { a.act.resize(31); a.gs = 0; }, eq_text(31, 32), eq_text(31, 32)},
        {"group size zero", [](Args& a) { a.gs = 0; a.out.resize(1); }, "assertion failed: group_size != 0",
         "assertion failed: group_size != 0"},
        {"activation scales", [](Args& a) { a.act_scales.resize(3); a.out.resize(1); }, eq_text(3, 2),
         eq_text(3, 2)},
        {"output length", [](Args& a) { a.out.resize(4); a.packed.clear(); }, eq_text(4, 5), eq_text(4, 5)},
        {"packed length", [](Args& a) { a.packed.pop_back(); a.scales.clear(); }, eq_text(19, 20),
         "data_u32 len mismatch: expected 40, got 39"},
        {"scales length", [](Args& a) { a.scales.push_back(0); a.gs = 12; a.act_scales.resize(2); },
         eq_text(11, 10), eq_text(11, 10)},
        // 12 breaks both group-size rules for INT4: the divisibility of K is checked first.
        {"k % group_size", [](Args& a) { a.gs = 12; }, "assertion failed: k % group_size == 0",
         "assertion failed: k % group_size == 0"},
    };
    for (bool int8 : {false, true}) {
        for (const BadCase& c : cases) {
            SCOPED_TRACE(testing::Message() << c.name << " int8=" << int8);
            Args a = valid_args(int8);
            c.change(a);
            const std::vector<float> before = a.out;
            const std::string msg = error_of([&] {
                (int8 ? matmul_int8_transposed_integer : matmul_int4_transposed_integer)(
                    a.packed, a.scales, a.act, a.act_scales, a.out, a.k, a.n, a.gs);
            });
            EXPECT_EQ(msg, int8 ? c.int8_message : c.int4_message);
            EXPECT_EQ(a.out, before);
        }
    }
}

// The group-size rule, which differs in text between the base products and the variants.
TEST(TransposedProduct, GroupSizeRuleMessages) {
    struct Case {
        bool int8;
        std::size_t gs;
        std::size_t k;
        const char* base_message;
        const char* variant_message;
    };
    const Case cases[] = {
        {false, 4, 32, "assertion failed: group_size % 8 == 0", "assertion failed: group_size % 8 == 0"},
        {false, 12, 24, "assertion failed: group_size % 8 == 0", "assertion failed: group_size % 8 == 0"},
        {true, 3, 6, "Transposed INT8 kernel requires even group_size", "assertion failed: group_size % 2 == 0"},
        {true, 5, 5, "Transposed INT8 kernel requires even group_size", "assertion failed: group_size % 2 == 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "int8=" << c.int8 << " gs=" << c.gs);
        const std::size_t n = 3, groups = c.k / c.gs;
        std::vector<uint32_t> packed(c.int8 ? (c.k * n + 3) / 4 : (c.k / 8) * n, 0x88888888u);
        std::vector<uint16_t> scales(groups * n, 0);
        std::vector<int16_t> act(c.k, 0);
        std::vector<float> act_scales(groups, 1.0f), out(n, kSentinel);
        for (const Variant& v : kVariants) {
            SCOPED_TRACE(v.name);
            const std::string msg =
                error_of([&] { (c.int8 ? v.int8 : v.int4)(packed, scales, act, act_scales, out, c.k, n, c.gs); });
            EXPECT_EQ(msg, std::string(v.int4 == matmul_int4_transposed_integer ? c.base_message : c.variant_message));
            EXPECT_EQ(out, std::vector<float>(n, kSentinel));
        }
    }
}

// Variants check the activation, group size, scales and output, but not the packed or scales lengths.
TEST(TransposedProduct, VariantPreconditionsInOrder) {
    const BadCase cases[] = {
        {"activation length", [](Args& a) { a.act.resize(30); a.gs = 0; }, eq_text(30, 32), eq_text(30, 32)},
        {"group size zero", [](Args& a) { a.gs = 0; a.out.resize(1); }, "assertion failed: group_size != 0",
         "assertion failed: group_size != 0"},
        {"activation scales", [](Args& a) { a.act_scales.resize(1); a.out.resize(1); }, eq_text(1, 2),
         eq_text(1, 2)},
        {"output length", [](Args& a) { a.out.resize(6); a.gs = 24; a.act_scales.resize(1); }, eq_text(6, 5),
         eq_text(6, 5)},
        {"k % group_size", [](Args& a) { a.gs = 12; a.act_scales.resize(2); }, "assertion failed: k % group_size == 0",
         "assertion failed: k % group_size == 0"},
    };
    for (bool int8 : {false, true}) {
        for (const Variant& v : kVariants) {
            if (v.int4 == matmul_int4_transposed_integer) continue;
            for (const BadCase& c : cases) {
                SCOPED_TRACE(testing::Message() << c.name << " " << v.name << " int8=" << int8);
                Args a = valid_args(int8);
                c.change(a);
                const std::string msg = error_of([&] {
                    (int8 ? v.int8 : v.int4)(a.packed, a.scales, a.act, a.act_scales, a.out, a.k, a.n, a.gs);
                });
                EXPECT_EQ(msg, int8 ? c.int8_message : c.int4_message);
            }
        }
    }
}

TEST(TransposedProduct, ColumnRangeKernelChecks) {
    std::vector<uint32_t> packed(8 * 300, 0x88888888u);
    std::vector<uint16_t> scales(300, 0);
    std::vector<int16_t> act(8, 0);
    std::vector<float> act_scales(1, 1.0f), out(300);
    for (auto kernel : {expert_matmul_int4_transposed_integer, expert_matmul_int8_transposed_integer}) {
        EXPECT_EQ(error_of([&] { kernel(packed.data(), scales.data(), act.data(), act_scales.data(), out.data(), 8,
                                        300, 0, 257, 8); }),
                  "assertion failed: n_count <= 256");
        EXPECT_EQ(error_of([&] { kernel(packed.data(), scales.data(), act.data(), act_scales.data(), out.data(), 8,
                                        300, 0, 8, 0); }),
                  "assertion failed: group_size != 0");
    }
}

// ---------------------------------------------------------------------------------------------------------
// Tiled repack.

TEST(TiledRepack, Int4PackedAndScalesLayout) {
    const std::size_t k = 24, n = 300, rows = k / 8;
    std::vector<uint32_t> packed(rows * n);
    for (std::size_t i = 0; i < packed.size(); ++i) packed[i] = static_cast<uint32_t>(i + 1);
    const std::vector<uint32_t> tiled = repack_tiled_int4_packed(packed, k, n);
    ASSERT_EQ(tiled.size(), rows * 2 * 256);
    for (std::size_t t = 0; t < 2; ++t)
        for (std::size_t r = 0; r < rows; ++r)
            for (std::size_t j = 0; j < 256; ++j) {
                const std::size_t col = 256 * t + j;
                const uint32_t want = col < n ? packed[r * n + col] : 0u;  // tile 1: 44 copied, 212 zero
                ASSERT_EQ(tiled[t * rows * 256 + r * 256 + j], want) << t << " " << r << " " << j;
            }

    const std::size_t groups = 3;
    std::vector<uint16_t> scales(groups * n);
    for (std::size_t i = 0; i < scales.size(); ++i) scales[i] = static_cast<uint16_t>(i + 1);
    const std::vector<uint16_t> tscales = repack_tiled_scales(scales, groups, n);
    ASSERT_EQ(tscales.size(), groups * 2 * 256);
    for (std::size_t t = 0; t < 2; ++t)
        for (std::size_t g = 0; g < groups; ++g)
            for (std::size_t j = 0; j < 256; ++j) {
                const std::size_t col = 256 * t + j;
                ASSERT_EQ(tscales[t * groups * 256 + g * 256 + j], col < n ? scales[g * n + col] : 0);
            }
}

TEST(TiledRepack, Int8ByteMatrixLayout) {
    const std::size_t k = 6, n = 261;  // K x N = 1566 bytes: not a multiple of 4
    std::vector<uint32_t> packed((k * n + 3) / 4);
    auto* bytes = reinterpret_cast<uint8_t*>(packed.data());
    for (std::size_t i = 0; i < k * n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    const std::vector<uint32_t> tiled = repack_tiled_int8_packed(packed, k, n);
    ASSERT_EQ(tiled.size(), 2 * k * 64);
    const auto* tb = reinterpret_cast<const uint8_t*>(tiled.data());
    for (std::size_t t = 0; t < 2; ++t)
        for (std::size_t kk = 0; kk < k; ++kk)
            for (std::size_t j = 0; j < 256; ++j) {
                const std::size_t col = 256 * t + j;
                ASSERT_EQ(tb[t * k * 256 + kk * 256 + j], col < n ? bytes[kk * n + col] : 0);
            }
}

TEST(TiledRepack, EmptyAndShortSources) {
    EXPECT_TRUE(repack_tiled_int4_packed({}, 64, 0).empty());
    EXPECT_TRUE(repack_tiled_int4_packed({}, 0, 300).empty());
    EXPECT_TRUE(repack_tiled_scales({}, 0, 300).empty());
    EXPECT_TRUE(repack_tiled_int8_packed({}, 0, 300).empty());
    const std::vector<uint32_t> words(10);
    const std::vector<uint16_t> halfs(10);
    EXPECT_THROW(repack_tiled_int4_packed(words, 16, 6), InternalError);
    EXPECT_THROW(repack_tiled_scales(halfs, 2, 6), InternalError);
    EXPECT_THROW(repack_tiled_int8_packed(words, 7, 6), InternalError);
    EXPECT_NO_THROW(repack_tiled_int8_packed(words, 8, 5));
}

}  // namespace
}  // namespace orvane::kernel::avx2
