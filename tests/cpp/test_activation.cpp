// INT16 activation quantizers and the fused SiLU-multiply quantizer against scalar references of their
// documented arithmetic, bit for bit.

#include <gtest/gtest.h>
#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "core/bf16.hpp"
#include "core/errors.hpp"
#include "kernel/avx2/activation.hpp"
#include "support.hpp"

namespace orvane::kernel::avx2 {
namespace {

using orvane::test_support::eq_text;
using orvane::test_support::error_of;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();



uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

// ---------------------------------------------------------------------------------------------------------
// Plain quantizers: per group amax over non-NaN |x|, inv = 32767 / amax, s = amax / 32767 (1.0 and inv = 0 for
// amax = 0), q = round half away from zero, saturating conversion with NaN -> 0, clamp to 16 bits.

struct Quantized {
    std::vector<int16_t> q;
    std::vector<float> s;
};

int16_t ref_round_away(float v) {
    const float r = std::round(v);
    int64_t i;
    if (std::isnan(r)) {
        i = 0;
    } else if (r >= 2147483648.0f) {
        i = INT32_MAX;
    } else if (r < -2147483648.0f) {
        i = INT32_MIN;
    } else {
        i = static_cast<int64_t>(r);
    }
    return static_cast<int16_t>(std::clamp<int64_t>(i, -32768, 32767));
}

Quantized ref_quantize(const std::vector<float>& x, std::size_t gs) {
    Quantized out{std::vector<int16_t>(x.size()), std::vector<float>(x.size() / gs)};
    for (std::size_t g = 0; g < x.size() / gs; ++g) {
        float amax = 0.0f;
        for (std::size_t i = g * gs; i < (g + 1) * gs; ++i)
            if (!std::isnan(x[i])) amax = std::max(amax, std::fabs(x[i]));
        const float inv = amax > 0.0f ? 32767.0f / amax : 0.0f;
        out.s[g] = amax > 0.0f ? amax / 32767.0f : 1.0f;
        for (std::size_t i = g * gs; i < (g + 1) * gs; ++i) out.q[i] = ref_round_away(x[i] * inv);
    }
    return out;
}

void expect_same(const Quantized& got, const Quantized& want) {
    ASSERT_EQ(got.q.size(), want.q.size());
    for (std::size_t i = 0; i < got.q.size(); ++i) EXPECT_EQ(got.q[i], want.q[i]) << "element " << i;
    ASSERT_EQ(got.s.size(), want.s.size());
    for (std::size_t g = 0; g < got.s.size(); ++g) EXPECT_EQ(bits(got.s[g]), bits(want.s[g])) << "group " << g;
}

Quantized run_f32(const std::vector<float>& x, std::size_t gs) {
    Quantized out{std::vector<int16_t>(x.size(), 999), std::vector<float>(x.size() / gs, -1.0f)};
    quantize_activation_int16_f32(x, gs, out.q, out.s);
    return out;
}

Quantized run_bf16(const std::vector<float>& x, std::size_t gs) {
    std::vector<uint16_t> b(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) b[i] = static_cast<uint16_t>(bits(x[i]) >> 16);
    Quantized out{std::vector<int16_t>(x.size(), 999), std::vector<float>(x.size() / gs, -1.0f)};
    quantize_activation_int16(b, gs, out.q, out.s);
    return out;
}

// Values that are exact in BF16 (upper 16 bits only), so the two quantizers see the same input.
std::vector<float> bf16_exact(std::vector<float> x) {
    for (float& v : x) v = std::bit_cast<float>(bits(v) & 0xFFFF0000u);
    return x;
}

struct QuantCase {
    const char* name;
    std::vector<float> x;
    std::size_t gs;
};

std::vector<QuantCase> quant_cases() {
    std::mt19937 rng(5);
    std::normal_distribution<float> normal(0.0f, 3.0f);
    std::vector<float> random(512);
    for (float& v : random) v = normal(rng);
    std::vector<float> mixed(64);
    for (float& v : mixed) v = normal(rng) * 1e-30f;  // tiny magnitudes: inv is very large
    mixed[3] = kNaN;
    mixed[40] = -kNaN;
    mixed[41] = -0.0f;
    std::vector<float> with_zero_group(96, 0.0f);
    for (std::size_t i = 32; i < 64; ++i) with_zero_group[i] = normal(rng);
    with_zero_group[70] = -0.0f;
    return {
        {"random gs=128", random, 128},
        {"random gs=32", random, 32},
        {"random odd gs=3", std::vector<float>(random.begin(), random.begin() + 99), 3},
        {"tiny values and NaNs", mixed, 16},
        {"zero groups", with_zero_group, 32},
        {"infinity", {1.0f, kInf, -2.0f, 0.0f}, 4},
        {"negative max", {-8.0f, 4.0f, -2.0f, 1.0f}, 4},
        {"empty", {}, 8},
    };
}

TEST(QuantizeActivation, F32MatchesReference) {
    for (const QuantCase& c : quant_cases()) {
        SCOPED_TRACE(c.name);
        expect_same(run_f32(c.x, c.gs), ref_quantize(c.x, c.gs));
    }
}

TEST(QuantizeActivation, Bf16MatchesReference) {
    for (const QuantCase& c : quant_cases()) {
        SCOPED_TRACE(c.name);
        const std::vector<float> x = bf16_exact(c.x);
        expect_same(run_bf16(x, c.gs), ref_quantize(x, c.gs));
    }
    // BF16 NaN patterns with either sign and payloads, next to ordinary values.
    const std::vector<uint16_t> b = {0x7FC0, 0xFFC1, 0x3F80, 0xC000, 0x7F81, 0x0000, 0x8000, 0x4040};
    std::vector<int16_t> q(8);
    std::vector<float> s(1);
    quantize_activation_int16(b, 8, q, s);
    EXPECT_EQ(q, (std::vector<int16_t>{0, 0, 10922, -21845, 0, 0, 0, 32767}));
    EXPECT_EQ(bits(s[0]), bits(3.0f / 32767.0f));
}

TEST(QuantizeActivation, DocumentedCases) {
    // All-zero group: zeros and scale 1.0.
    const Quantized zero = run_f32(std::vector<float>(8, 0.0f), 8);
    EXPECT_EQ(zero.q, std::vector<int16_t>(8, 0));
    EXPECT_EQ(zero.s, std::vector<float>{1.0f});
    // Halves round away from zero in a group whose maximum is 32767 (inv = 1).
    const Quantized halves = run_f32({32767.0f, -1.5f, 2.5f, 0.5f, -0.5f, -2.5f, 1.4999999f, 0.0f}, 8);
    EXPECT_EQ(halves.q, (std::vector<int16_t>{32767, -2, 3, 1, -1, -3, 1, 0}));
    EXPECT_EQ(halves.s, std::vector<float>{1.0f});
    // A NaN element becomes 0 and does not change the scale.
    const Quantized nan = run_f32({kNaN, 2.0f, -1.0f, kNaN}, 4);
    EXPECT_EQ(nan.q, (std::vector<int16_t>{0, 32767, -16384, 0}));
    EXPECT_EQ(bits(nan.s[0]), bits(2.0f / 32767.0f));
}

// Preconditions in order: each case also breaks every later one.
TEST(QuantizeActivation, PreconditionsInOrder) {
    struct Case {
        std::size_t in, gs, out, scales;
        std::string message;
    };
    const Case cases[] = {
        {10, 0, 9, 7, "assertion failed: group_size != 0"},
        {10, 4, 9, 7, eq_text(9, 10)},
        {10, 4, 10, 3, eq_text(3, 2)},
        {10, 4, 10, 2, "assertion failed: k % group_size == 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        std::vector<float> x(c.in, 1.0f);
        std::vector<uint16_t> b(c.in, 0x3F80);
        std::vector<int16_t> q(c.out);
        std::vector<float> s(c.scales);
        EXPECT_EQ(error_of([&] { quantize_activation_int16_f32(x, c.gs, q, s); }), c.message);
        EXPECT_EQ(error_of([&] { quantize_activation_int16(b, c.gs, q, s); }), c.message);
    }
}

// ---------------------------------------------------------------------------------------------------------
// Fused SiLU-multiply quantization: h = (x * r) * u with r ~ 1 / (1 + e), e the polynomial exponential of
// clamp(-x, -20, 20) * log2e; quantized with half-to-even rounding and signed saturation.

float f32_of(uint32_t b) { return std::bit_cast<float>(b); }

float ref_exp_neg(float x) {
    const float t = std::min(std::max(-x, -20.0f), 20.0f) * f32_of(0x3FB8AA3Bu);
    const float i = std::floor(t);
    const float f = t - i;
    float p = std::fma(f32_of(0x3AAEC3FFu), f, f32_of(0x3C1D955Bu));
    p = std::fma(p, f, f32_of(0x3D635844u));
    p = std::fma(p, f, f32_of(0x3E75FDF0u));
    p = std::fma(p, f, f32_of(0x3F317218u));
    p = std::fma(p, f, 1.0f);
    const int32_t e = static_cast<int32_t>(i) + 127;
    return p * f32_of(static_cast<uint32_t>(e) << 23);
}

// The processor's reciprocal estimate, refined by one Newton step.
float ref_rcp_newton(float d) {
    float r = _mm256_cvtss_f32(_mm256_rcp_ps(_mm256_set1_ps(d)));
    const float rd = r * d;
    r = r * (2.0f - rd);
    return r;
}

float ref_silu_mul(float x, float u, bool exact_division) {
    const float d = 1.0f + ref_exp_neg(x);
    const float r = exact_division ? 1.0f / d : ref_rcp_newton(d);
    return (x * r) * u;
}

int16_t ref_round_even(float v) {
    const long r = std::lrint(v);  // default rounding mode: half to even
    return static_cast<int16_t>(std::clamp<long>(r, -32768, 32767));
}

struct SiluResult {
    std::vector<float> h;
    std::vector<int16_t> q;
    std::vector<float> s;
};

SiluResult ref_silu_quantize(const std::vector<float>& gate, const std::vector<float>& up, std::size_t gs,
                             bool exact_division) {
    SiluResult r{gate, std::vector<int16_t>(gate.size(), 999), std::vector<float>(gate.size() / gs, -1.0f)};
    for (std::size_t g = 0; g < gate.size() / gs; ++g) {
        float amax = 0.0f;
        for (std::size_t i = g * gs; i < (g + 1) * gs; ++i) {
            r.h[i] = ref_silu_mul(gate[i], up[i], exact_division);
            amax = std::max(amax, std::fabs(r.h[i]));
        }
        const float inv = amax > 0.0f ? 32767.0f / amax : 0.0f;
        r.s[g] = amax > 0.0f ? amax / 32767.0f : 1.0f;
        // The vector form rounds halves to even; the scalar form goes through the f32 quantizer (away from zero).
        for (std::size_t i = g * gs; i < (g + 1) * gs; ++i)
            r.q[i] = exact_division ? ref_round_away(r.h[i] * inv) : ref_round_even(r.h[i] * inv);
    }
    return r;
}

using SiluFn = void (*)(float*, const float*, int16_t*, float*, std::size_t, std::size_t);

SiluResult run_silu(SiluFn fn, std::vector<float> gate, const std::vector<float>& up, std::size_t gs) {
    SiluResult r{std::move(gate), std::vector<int16_t>(up.size(), 999), std::vector<float>(up.size() / gs, -1.0f)};
    fn(r.h.data(), up.data(), r.q.data(), r.s.data(), up.size(), gs);
    return r;
}

void expect_same(const SiluResult& got, const SiluResult& want) {
    for (std::size_t i = 0; i < want.h.size(); ++i) {
        EXPECT_EQ(bits(got.h[i]), bits(want.h[i])) << "h[" << i << "] " << got.h[i] << " vs " << want.h[i];
        EXPECT_EQ(got.q[i], want.q[i]) << "q[" << i << "]";
    }
    for (std::size_t g = 0; g < want.s.size(); ++g) EXPECT_EQ(bits(got.s[g]), bits(want.s[g])) << "s[" << g << "]";
}

struct SiluForm {
    const char* name;
    SiluFn fn;
    bool exact_division;
};
const SiluForm kSiluForms[] = {{"vector", silu_quantize_int16_avx2, false},
                               {"scalar", silu_mul_quantize_int16_scalar, true}};

struct SiluCase {
    const char* name;
    std::size_t len, gs;
    bool vector_ok;  // multiples of 8, the vector form's contract
};

TEST(SiluQuantize, MatchesReference) {
    const SiluCase cases[] = {
        {"L=256 gs=128", 256, 128, true}, {"L=64 gs=8", 64, 8, true},   {"L=48 gs=48", 48, 48, true},
        {"L=40 gs=16 (tail untouched)", 40, 16, true}, {"L=30 gs=10", 30, 10, false}, {"L=27 gs=10", 27, 10, false},
        {"L=0", 0, 8, true},
    };
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> xd(-35.0f, 35.0f), ud(-4.0f, 4.0f);
    for (const SiluCase& c : cases) {
        std::vector<float> gate(c.len), up(c.len);
        for (std::size_t i = 0; i < c.len; ++i) {
            gate[i] = xd(rng);
            up[i] = ud(rng);
        }
        // Clamp boundaries and small magnitudes.
        const float special[] = {0.0f, -20.0f, 20.0f, -20.5f, 30.0f, -30.0f, 1e-3f, -1e-3f, 0.5f};
        for (std::size_t i = 0; i < std::min<std::size_t>(c.len, std::size(special)); ++i) gate[i * 3 % c.len] = special[i];
        for (const SiluForm& f : kSiluForms) {
            if (!f.exact_division && !c.vector_ok) continue;
            SCOPED_TRACE(testing::Message() << f.name << " " << c.name);
            expect_same(run_silu(f.fn, gate, up, c.gs), ref_silu_quantize(gate, up, c.gs, f.exact_division));
        }
    }
}

TEST(SiluQuantize, ZeroAndLargeNegativeInputs) {
    for (const SiluForm& f : kSiluForms) {
        SCOPED_TRACE(f.name);
        const SiluResult r = run_silu(f.fn, {0.0f, -30.0f, 0, 0, 0, 0, 0, 0}, std::vector<float>(8, 1.0f), 8);
        EXPECT_EQ(bits(r.h[0]), 0u);
        EXPECT_LT(r.h[1], 0.0f);
        EXPECT_GT(r.h[1], -1e-6f);  // -30 / (1 + ~e^20)
        EXPECT_EQ(bits(r.h[1]), bits(ref_silu_mul(-30.0f, 1.0f, f.exact_division)));
        EXPECT_EQ(r.q[1], -32767);
    }
}

// Finds gate and up values whose product h is exactly `target` under the given form's arithmetic.
std::pair<float, float> input_for(float target, bool exact_division) {
    for (int i = 0; i < 100000; ++i) {
        const float x = 1.0f + static_cast<float>(i) * 0.0137f;
        const float m = ref_silu_mul(x, 1.0f, exact_division);
        const float u = target / m;
        if (ref_silu_mul(x, u, exact_division) == target) return {x, u};
    }
    ADD_FAILURE() << "no input found for " << target;
    return {0.0f, 0.0f};
}

TEST(SiluQuantize, HalvesRoundToEvenInVectorFormAwayInScalarForm) {
    for (const SiluForm& f : kSiluForms) {
        SCOPED_TRACE(f.name);
        std::vector<float> gate(8, 0.0f), up(8, 1.0f);
        const float targets[] = {32767.0f, -1.5f, 2.5f, 0.5f, -3.5f};
        for (std::size_t i = 0; i < std::size(targets); ++i)
            std::tie(gate[i], up[i]) = input_for(targets[i], f.exact_division);
        const SiluResult r = run_silu(f.fn, gate, up, 8);
        for (std::size_t i = 0; i < std::size(targets); ++i) EXPECT_EQ(r.h[i], targets[i]);
        EXPECT_EQ(r.s, std::vector<float>{1.0f});
        if (f.exact_division) {
            EXPECT_EQ(r.q, (std::vector<int16_t>{32767, -2, 3, 1, -4, 0, 0, 0}));
        } else {
            EXPECT_EQ(r.q, (std::vector<int16_t>{32767, -2, 2, 0, -4, 0, 0, 0}));
        }
    }
}

TEST(SiluQuantize, ZeroGroupSizeIsRejected) {
    float g[8] = {}, u[8] = {}, s[1] = {};
    int16_t q[8] = {};
    for (const SiluForm& f : kSiluForms)
        EXPECT_EQ(error_of([&] { f.fn(g, u, q, s, 8, 0); }), "assertion failed: group_size != 0") << f.name;
}

}  // namespace
}  // namespace orvane::kernel::avx2
