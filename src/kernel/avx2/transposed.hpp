#pragma once
// Transposed INT4/INT8 weights and their matrix-vector products against INT16 activations.
//
// Notation: K = input length, N = output length, gs = group size, G = K / gs.
// INT4 packed: (K/8) x N words, word (r, n) holds W[n][8r .. 8r+7], nibble i = level + 8 of k = 8r + i.
// INT8 packed: the byte string of a [K][N] matrix of signed levels, in ceil(K*N/4) little-endian words.
// Scales: G x N BF16 words, index g * N + n.
// Tiled form: the N columns cut into tiles of TILE_N, each tile stored like a full matrix of N = TILE_N,
// the last one padded with zero words, bytes and scales.
//
// Inside a group the integer products are summed exactly in 32 bits; each group sum is converted to f32
// once and accumulated with one fused multiply-add by (activation scale x weight scale). Every variant gives
// the same bits as the base product, for any thread count.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace orvane::kernel::avx2 {

inline constexpr std::size_t TILE_N = 256;

// The INT4 kernels run an AVX-512 VNNI form of the same integer sums when the processor has it (bit-identical
// results). Whether it exists; allowing or refusing it (process-wide, for tests and benchmarks); whether it
// is the one in use.
bool avx512_vnni_available();
void set_avx512_allowed(bool allowed);
bool avx512_in_use();

// Column-range kernels: output[0 .. n_count) = product columns n_start .. n_start + n_count, with `n` the row
// stride of packed and scales. Raw addresses; callers guarantee the extents. n_count <= 256.
void expert_matmul_int4_transposed_integer(const uint32_t* packed, const uint16_t* scales, const int16_t* act,
                                           const float* act_scales, float* output, std::size_t k, std::size_t n,
                                           std::size_t n_start, std::size_t n_count, std::size_t group_size);
void expert_matmul_int8_transposed_integer(const uint32_t* packed, const uint16_t* scales, const int16_t* act,
                                           const float* act_scales, float* output, std::size_t k, std::size_t n,
                                           std::size_t n_start, std::size_t n_count, std::size_t group_size);

// Base products: output[0 .. n) in chunks of 256 columns, in order, on the calling thread.
void matmul_int4_transposed_integer(std::span<const uint32_t> packed, std::span<const uint16_t> scales,
                                    std::span<const int16_t> act, std::span<const float> act_scales,
                                    std::span<float> output, std::size_t k, std::size_t n, std::size_t group_size);
void matmul_int8_transposed_integer(std::span<const uint32_t> packed, std::span<const uint16_t> scales,
                                    std::span<const int16_t> act, std::span<const float> act_scales,
                                    std::span<float> output, std::size_t k, std::size_t n, std::size_t group_size);

// Variants (same arguments). Tiled: tiled weights, tiles in order on the calling thread. Parallel: one pool
// task per 256 columns (calling thread alone when n <= 64). Parallel tiled: one pool task per tile.
void matmul_int4_transposed_integer_tiled(std::span<const uint32_t> packed, std::span<const uint16_t> scales,
                                          std::span<const int16_t> act, std::span<const float> act_scales,
                                          std::span<float> output, std::size_t k, std::size_t n,
                                          std::size_t group_size);
void matmul_int8_transposed_integer_tiled(std::span<const uint32_t> packed, std::span<const uint16_t> scales,
                                          std::span<const int16_t> act, std::span<const float> act_scales,
                                          std::span<float> output, std::size_t k, std::size_t n,
                                          std::size_t group_size);
void matmul_int4_transposed_integer_parallel(std::span<const uint32_t> packed, std::span<const uint16_t> scales,
                                             std::span<const int16_t> act, std::span<const float> act_scales,
                                             std::span<float> output, std::size_t k, std::size_t n,
                                             std::size_t group_size);
void matmul_int8_transposed_integer_parallel(std::span<const uint32_t> packed, std::span<const uint16_t> scales,
                                             std::span<const int16_t> act, std::span<const float> act_scales,
                                             std::span<float> output, std::size_t k, std::size_t n,
                                             std::size_t group_size);
void matmul_int4_transposed_integer_parallel_tiled(std::span<const uint32_t> packed,
                                                   std::span<const uint16_t> scales, std::span<const int16_t> act,
                                                   std::span<const float> act_scales, std::span<float> output,
                                                   std::size_t k, std::size_t n, std::size_t group_size);
void matmul_int8_transposed_integer_parallel_tiled(std::span<const uint32_t> packed,
                                                   std::span<const uint16_t> scales, std::span<const int16_t> act,
                                                   std::span<const float> act_scales, std::span<float> output,
                                                   std::size_t k, std::size_t n, std::size_t group_size);

// Tiled repack of INT4 packed words ((k/8) x n) and of BF16 scales (groups x n).
std::vector<uint32_t> repack_tiled_int4_packed(std::span<const uint32_t> packed, std::size_t k, std::size_t n);
std::vector<uint16_t> repack_tiled_scales(std::span<const uint16_t> scales, std::size_t groups, std::size_t n);
// Tiled repack of the INT8 byte matrix ([k][n] bytes in ceil(k*n/4) words): k*256 bytes per tile.
std::vector<uint32_t> repack_tiled_int8_packed(std::span<const uint32_t> packed, std::size_t k, std::size_t n);

}  // namespace orvane::kernel::avx2
