#pragma once
// Row-major INT4/INT8 expert matrices times INT16 activations.
//
// Notation: N = output rows, K = inputs per row, gs = group size, G = K / gs.
// INT4 packed: word n * (K/8) + j holds W[n][8j .. 8j+7], nibble i = level + 8 of k = 8j + i.
// INT8 data: byte n * K + k is the signed level of W[n][k].
// Scales: BF16, index n * G + g. Activation: K INT16 values with G f32 group scales.
//
// Arithmetic, per row: an 8-lane f32 accumulator starts at zero. Per group, eight exact 32-bit integer sums
// are formed, lane i holding the products of the inputs 16s + 2i and 16s + 2i + 1 of every 16-input step s of
// the group; each lane is then added with one fused multiply-add,
// lane = fma(float(int lane), act_scale[g] * bf16(scale[n][g]), lane). The output is the lane sum
// ((l0 + l4) + (l2 + l6)) + ((l1 + l5) + (l3 + l7)). Every driver gives the same bits as the raw kernel.

#include <cstddef>
#include <cstdint>
#include <span>

#include "weights/marlin.hpp"

namespace orvane::kernel::avx2 {

// The row-parallel drivers run on the calling thread up to this many weights (N x K) and above it cut the
// output into chunks of ROW_CHUNK rows, one pool task each.
inline constexpr uint64_t ROW_PARALLEL_THRESHOLD = 8'000'000;
inline constexpr std::size_t ROW_CHUNK = 32;

// Number of chunks the row-parallel drivers cut a rows x cols product into: 1 (one call on the calling
// thread) up to the threshold, ceil(rows / ROW_CHUNK) above it.
std::size_t row_parallel_chunks(uint64_t rows, uint64_t cols);

// Checks a caller does before a row-major kernel: act_len == k, act_scales_len == k / group_size,
// output_len == n, a non-zero group size dividing k and divisible by 16 ("Integer kernel requires group_size
// divisible by 16"), and a processor with AVX2 and FMA ("AVX2 + FMA required"). Throws InternalError.
void check_rowmajor_args(std::size_t act_len, std::size_t act_scales_len, std::size_t output_len, std::size_t k,
                         std::size_t n, std::size_t group_size);

// Raw kernels: output[0 .. n). Callers guarantee the extents (n rows of packed words / bytes and scales, k
// activations, k / group_size activation scales) and the checks above; the kernels check only
// group_size != 0. n = 0 returns at once; k < group_size writes n zeros; a group size below 16 contributes no
// products (all outputs 0.0); inputs beyond the last full 16-input step of a group are not read.
void expert_matmul_int4_integer(const uint32_t* packed, const uint16_t* scales, const int16_t* act,
                                const float* act_scales, float* output, std::size_t k, std::size_t n,
                                std::size_t group_size);
void expert_matmul_int8_integer(const int8_t* data, const uint16_t* scales, const int16_t* act,
                                const float* act_scales, float* output, std::size_t k, std::size_t n,
                                std::size_t group_size);

// Row-parallel drivers. They run check_rowmajor_args and check the matrix arrays against rows and cols, so
// that nothing outside the given arrays is ever read or written.
void matmul_int4_integer_parallel(const weights::marlin::QuantizedInt4& w, std::span<const int16_t> act,
                                  std::span<const float> act_scales, std::span<float> output);
void matmul_int8_integer_parallel(const weights::marlin::QuantizedInt8& w, std::span<const int16_t> act,
                                  std::span<const float> act_scales, std::span<float> output);

}  // namespace orvane::kernel::avx2
