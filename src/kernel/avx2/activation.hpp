#pragma once
// INT16 activation quantization: q[k] with one f32 scale per group, x[k] ~ q[k] * s[k / group_size],
// s = max|x| / 32767 (1.0 for an all-zero group).

#include <cstddef>
#include <cstdint>
#include <span>

namespace orvane::kernel::avx2 {

// From BF16 input. Halves round away from zero; NaN elements become 0 and do not change the scale.
void quantize_activation_int16(std::span<const uint16_t> input, std::size_t group_size, std::span<int16_t> output,
                               std::span<float> scales);

// From f32 input, same rules.
void quantize_activation_int16_f32(std::span<const float> input, std::size_t group_size,
                                   std::span<int16_t> output, std::span<float> scales);

// gate := SiLU(gate) * up (polynomial exponential, reciprocal estimate plus one Newton step), then its
// INT16 quantization with halves rounded to even. `len` and `group_size` are multiples of 8.
void silu_quantize_int16_avx2(float* gate, const float* up, int16_t* output, float* scales, std::size_t len,
                              std::size_t group_size);

// The scalar form for sizes that are not multiples of 8: gate := SiLU(gate) * up with the same clamp and
// polynomial and an exact division 1 / (1 + e) in place of the reciprocal estimate, then the f32 quantizer
// above (halves away from zero). floor(len / group_size) groups of exactly group_size elements each.
void silu_mul_quantize_int16_scalar(float* gate, const float* up, int16_t* output, float* scales, std::size_t len,
                                    std::size_t group_size);

}  // namespace orvane::kernel::avx2
