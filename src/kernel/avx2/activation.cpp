#include "kernel/avx2/activation.hpp"

#include <immintrin.h>

#include <bit>
#include <cmath>
#include <cstring>

#include "core/bf16.hpp"
#include "core/errors.hpp"

namespace orvane::kernel::avx2 {

namespace {

// Shared preconditions of the two plain quantizers, in their documented order.
void check_quantize_args(std::size_t input_len, std::size_t group_size, std::size_t output_len,
                         std::size_t scales_len) {
    ORVANE_ASSERT(group_size != 0);
    ORVANE_ASSERT_EQ(output_len, input_len);
    ORVANE_ASSERT_EQ(scales_len, input_len / group_size);
    ORVANE_CHECK(input_len % group_size == 0, "assertion failed: k % group_size == 0");
}

// round(v) with halves away from zero, converted to a 32-bit integer with saturation (NaN -> 0), then
// clamped to the 16-bit range. Clamping in float first gives the same result for every input.
inline int16_t round_away_to_i16(float v) {
    const float r = std::round(v);
    if (r != r) return 0;
    if (r >= 32767.0f) return 32767;
    if (r <= -32768.0f) return -32768;
    return static_cast<int16_t>(static_cast<int32_t>(r));
}

// Quantizes one group given as a functor returning element i as f32 (the BF16 path widens on the fly).
template <class Get>
void quantize_group(Get get, std::size_t n, int16_t* out, float* scale) {
    float amax = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        const float a = std::fabs(get(i));
        if (a > amax) amax = a;  // a NaN never compares greater: ignored by the maximum
    }
    float inv = 0.0f;
    float s = 1.0f;
    if (amax > 0.0f) {
        inv = 32767.0f / amax;
        s = amax / 32767.0f;
    }
    *scale = s;
    for (std::size_t i = 0; i < n; ++i) out[i] = round_away_to_i16(get(i) * inv);
}

// Exponential pieces of the fused SiLU: constants by bit pattern.
constexpr float f32_bits(uint32_t b) { return std::bit_cast<float>(b); }

constexpr float kLog2e = f32_bits(0x3FB8AA3Bu);
constexpr float kP5 = f32_bits(0x3AAEC3FFu);
constexpr float kP4 = f32_bits(0x3C1D955Bu);
constexpr float kP3 = f32_bits(0x3D635844u);
constexpr float kP2 = f32_bits(0x3E75FDF0u);
constexpr float kP1 = f32_bits(0x3F317218u);

// Same NaN behaviour as the vector max/min: the second operand when either is NaN.
inline float vmax(float a, float b) { return a > b ? a : b; }
inline float vmin(float a, float b) { return a < b ? a : b; }

// e ~ exp(-x): clamp(-x, -20, 20) * log2e, split into floor and fraction, polynomial times 2^i.
inline float scalar_exp_neg(float x) {
    const float t = vmin(vmax(-x, -20.0f), 20.0f) * kLog2e;
    const float i = std::floor(t);
    const float f = t - i;
    float p = std::fma(kP5, f, kP4);
    p = std::fma(p, f, kP3);
    p = std::fma(p, f, kP2);
    p = std::fma(p, f, kP1);
    p = std::fma(p, f, 1.0f);
    const uint32_t pow2 = (static_cast<uint32_t>(static_cast<int32_t>(i)) << 23) + 0x3F800000u;
    return p * std::bit_cast<float>(pow2);
}

// Conversion with the processor's default rounding (half to even); NaN and out-of-range values give the
// integer indefinite value INT32_MIN, as the vector conversion does. Then signed saturation to 16 bits.
inline int16_t round_even_to_i16(float v) {
    int32_t i;
    if (v != v || !(std::fabs(v) < 2147483648.0f)) {
        i = INT32_MIN;
    } else {
        i = static_cast<int32_t>(std::nearbyint(v));
    }
    if (i > 32767) return 32767;
    if (i < -32768) return -32768;
    return static_cast<int16_t>(i);
}

inline __m256 exp_neg8(__m256 x) {
    const __m256 sign = _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int>(0x80000000u)));
    const __m256 neg = _mm256_xor_ps(x, sign);
    const __m256 t = _mm256_mul_ps(_mm256_min_ps(_mm256_max_ps(neg, _mm256_set1_ps(-20.0f)), _mm256_set1_ps(20.0f)),
                                   _mm256_set1_ps(kLog2e));
    const __m256 i = _mm256_floor_ps(t);
    const __m256 f = _mm256_sub_ps(t, i);
    __m256 p = _mm256_fmadd_ps(_mm256_set1_ps(kP5), f, _mm256_set1_ps(kP4));
    p = _mm256_fmadd_ps(p, f, _mm256_set1_ps(kP3));
    p = _mm256_fmadd_ps(p, f, _mm256_set1_ps(kP2));
    p = _mm256_fmadd_ps(p, f, _mm256_set1_ps(kP1));
    p = _mm256_fmadd_ps(p, f, _mm256_set1_ps(1.0f));
    const __m256i pow2 = _mm256_add_epi32(_mm256_slli_epi32(_mm256_cvtps_epi32(i), 23), _mm256_set1_epi32(0x3F800000));
    return _mm256_mul_ps(p, _mm256_castsi256_ps(pow2));
}

}  // namespace

void quantize_activation_int16(std::span<const uint16_t> input, std::size_t group_size, std::span<int16_t> output,
                               std::span<float> scales) {
    check_quantize_args(input.size(), group_size, output.size(), scales.size());
    const std::size_t groups = input.size() / group_size;
    for (std::size_t g = 0; g < groups; ++g) {
        const uint16_t* in = input.data() + g * group_size;
        quantize_group([in](std::size_t i) { return bf16_to_f32(in[i]); }, group_size,
                       output.data() + g * group_size, scales.data() + g);
    }
}

void quantize_activation_int16_f32(std::span<const float> input, std::size_t group_size,
                                   std::span<int16_t> output, std::span<float> scales) {
    check_quantize_args(input.size(), group_size, output.size(), scales.size());
    const std::size_t groups = input.size() / group_size;
    for (std::size_t g = 0; g < groups; ++g) {
        const float* in = input.data() + g * group_size;
        quantize_group([in](std::size_t i) { return in[i]; }, group_size, output.data() + g * group_size,
                       scales.data() + g);
    }
}

void silu_quantize_int16_avx2(float* gate, const float* up, int16_t* output, float* scales, std::size_t len,
                              std::size_t group_size) {
    ORVANE_ASSERT(group_size != 0);
    const std::size_t groups = len / group_size;
    const std::size_t steps = (group_size + 7) / 8;
    const __m256 abs_mask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF));
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 two = _mm256_set1_ps(2.0f);
    for (std::size_t g = 0; g < groups; ++g) {
        float* h = gate + g * group_size;
        const float* u = up + g * group_size;
        __m256 vmax8 = _mm256_setzero_ps();
        for (std::size_t s = 0; s < steps; ++s) {
            const __m256 x = _mm256_loadu_ps(h + 8 * s);
            const __m256 d = _mm256_add_ps(one, exp_neg8(x));
            __m256 r = _mm256_rcp_ps(d);
            r = _mm256_mul_ps(r, _mm256_sub_ps(two, _mm256_mul_ps(r, d)));
            const __m256 v = _mm256_mul_ps(_mm256_mul_ps(x, r), _mm256_loadu_ps(u + 8 * s));
            _mm256_storeu_ps(h + 8 * s, v);
            // max(|h|, amax): the second operand wins when |h| is NaN, so NaN is ignored.
            vmax8 = _mm256_max_ps(_mm256_and_ps(v, abs_mask), vmax8);
        }
        alignas(32) float lanes[8];
        _mm256_store_ps(lanes, vmax8);
        float amax = 0.0f;
        for (float l : lanes) amax = vmax(l, amax);
        float inv = 0.0f;
        float sc = 1.0f;
        if (amax > 0.0f) {
            inv = 32767.0f / amax;
            sc = amax / 32767.0f;
        }
        scales[g] = sc;
        const __m256 vinv = _mm256_set1_ps(inv);
        int16_t* q = output + g * group_size;
        for (std::size_t s = 0; s < steps; ++s) {
            const __m256i i32 = _mm256_cvtps_epi32(_mm256_mul_ps(_mm256_loadu_ps(h + 8 * s), vinv));
            const __m128i i16 = _mm_packs_epi32(_mm256_castsi256_si128(i32), _mm256_extracti128_si256(i32, 1));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(q + 8 * s), i16);
        }
    }
}

void silu_mul_quantize_int16_scalar(float* gate, const float* up, int16_t* output, float* scales, std::size_t len,
                                    std::size_t group_size) {
    ORVANE_ASSERT(group_size != 0);
    const std::size_t count = len / group_size * group_size;
    for (std::size_t i = 0; i < count; ++i) {
        const float x = gate[i];
        const float d = 1.0f + scalar_exp_neg(x);
        gate[i] = (x * (1.0f / d)) * up[i];
    }
    quantize_activation_int16_f32(std::span<const float>(gate, count), group_size, std::span<int16_t>(output, count),
                                  std::span<float>(scales, count / group_size));
}

}  // namespace orvane::kernel::avx2
