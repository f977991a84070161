#include "kernel/avx2/transposed.hpp"

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "core/bf16.hpp"
#include "core/cpu_features.hpp"
#include "core/errors.hpp"
#include "core/thread_pool.hpp"

namespace orvane::kernel::avx2 {

namespace {

// Accumulator capacity of one column-range call: 32 vectors of eight 32-bit sums.
constexpr std::size_t kMaxVectors = 32;
constexpr std::size_t kMaxColumns = kMaxVectors * 8;
static_assert(kMaxColumns == TILE_N);

// Software prefetch distance, in packed rows (INT4) and input rows (INT8), ahead of the row being summed.
constexpr std::size_t kPrefetchRowsInt4 = 4;
constexpr std::size_t kPrefetchRowsInt8 = 16;

inline void prefetch_range(const void* p, std::size_t bytes) {
    const char* c = static_cast<const char*>(p);
    for (std::size_t off = 0; off < bytes; off += 64) _mm_prefetch(c + off, _MM_HINT_T0);
}

// Eight BF16 words widened to f32.
inline __m256 bf16x8(const uint16_t* p) {
    const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    return _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_cvtepu16_epi32(h), 16));
}

// Lanes below `count` set.
inline __m256i lane_mask(std::size_t count) {
    const __m256i idx = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(count)), idx);
}

// Adds one group's integer sums into the float outputs: vector columns with one FMA by the combined scale,
// the partial last vector's columns one by one with a separate multiply and add.
inline void apply_group(const __m256i* acc, __m256i correction, float act_scale, const uint16_t* scale_row,
                        std::size_t full_vectors, std::size_t tail, __m256* out, float* tail_out) {
    const __m256 s = _mm256_set1_ps(act_scale);
    for (std::size_t v = 0; v < full_vectors; ++v) {
        const __m256i sum = _mm256_sub_epi32(acc[v], correction);
        const __m256 combined = _mm256_mul_ps(s, bf16x8(scale_row + 8 * v));
        out[v] = _mm256_fmadd_ps(combined, _mm256_cvtepi32_ps(sum), out[v]);
    }
    if (tail != 0) {
        alignas(32) int32_t sums[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(sums), _mm256_sub_epi32(acc[full_vectors], correction));
        for (std::size_t j = 0; j < tail; ++j) {
            const float w = bf16_to_f32(scale_row[8 * full_vectors + j]);
            const float product = (w * act_scale) * static_cast<float>(sums[j]);
            tail_out[j] = tail_out[j] + product;
        }
    }
}

inline void store_output(const __m256* out, const float* tail_out, std::size_t full_vectors, std::size_t tail,
                         float* output) {
    for (std::size_t v = 0; v < full_vectors; ++v) _mm256_storeu_ps(output + 8 * v, out[v]);
    for (std::size_t j = 0; j < tail; ++j) output[8 * full_vectors + j] = tail_out[j];
}

// ---------------------------------------------------------------------------------------------------------
// INT4.
//
// A word holds the unsigned nibbles v_0 .. v_7 (v = level + 8) of inputs 8r .. 8r+7. The group sum
// sum((v - 8) q) is formed as sum(v q) - 8 sum(q): the vector adds wrap modulo 2^32 and the true group sum
// fits in 32 bits, so the result is exact. sum(v q) in turn is split along the bytes of the activation,
// q = 256 qh + ql with qh = q >> 8 in [-128, 127] and ql = q & 255 in [0, 255]:
//
//   sum(v q) = sum(v ql) + 256 sum(v qh).
//
// Masking a word with 0x0F0F0F0F gives the bytes (v0, v2, v4, v6), masking it shifted by 4 the bytes (v1, v3,
// v5, v7); the byte products are formed by the unsigned-by-signed byte multiplies: ql (unsigned) by v (as a
// signed byte, 0..15), and v (unsigned) by qh (signed). No intermediate saturates: a 16-bit pair sum of
// VPMADDUBSW is at most 2 * 255 * 15 = 7650 (low) or 2 * 128 * 15 = 3840 (high) in magnitude, and two rows of
// low (or high) sums stay below 32767 before they are widened to 32 bits.

// Shuffle of the 8 activations (16 bytes ql0 qh0 ql1 qh1 ...) into four 32-bit lanes:
// (ql0 ql2 ql4 ql6) (ql1 ql3 ql5 ql7) (qh0 qh2 qh4 qh6) (qh1 qh3 qh5 qh7).
inline __m128i int4_act_bytes(const int16_t* q) {
    const __m128i shuffle = _mm_setr_epi8(0, 4, 8, 12, 2, 6, 10, 14, 1, 5, 9, 13, 3, 7, 11, 15);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q)), shuffle);
}

struct Int4Acts {
    __m256i ql_even, ql_odd, qh_even, qh_odd;
};

inline Int4Acts int4_acts(const int16_t* q) {
    const __m256i b = _mm256_broadcastsi128_si256(int4_act_bytes(q));
    return {_mm256_shuffle_epi32(b, 0x00), _mm256_shuffle_epi32(b, 0x55), _mm256_shuffle_epi32(b, 0xAA),
            _mm256_shuffle_epi32(b, 0xFF)};
}

// sum(q) over a group, modulo 2^32, times 8: the correction for the unsigned nibbles.
inline __m256i int4_correction(const int16_t* q, std::size_t count) {
    uint32_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum += static_cast<uint32_t>(q[i]);
    return _mm256_set1_epi32(static_cast<int>(sum * 8u));
}

// sum(v q) of one row of eight columns: 16-bit partial sums of the low and high activation bytes, widened to
// 32 bits with VPMADDWD (by 1 and by 256).
inline __m256i int4_row_avx2(__m256i w, const Int4Acts& a, __m256i mask) {
    const __m256i even = _mm256_and_si256(w, mask);
    const __m256i odd = _mm256_and_si256(_mm256_srli_epi32(w, 4), mask);
    const __m256i lo = _mm256_add_epi16(_mm256_maddubs_epi16(a.ql_even, even), _mm256_maddubs_epi16(a.ql_odd, odd));
    const __m256i hi = _mm256_add_epi16(_mm256_maddubs_epi16(even, a.qh_even), _mm256_maddubs_epi16(odd, a.qh_odd));
    return _mm256_add_epi32(_mm256_madd_epi16(lo, _mm256_set1_epi16(1)), _mm256_madd_epi16(hi, _mm256_set1_epi16(256)));
}

inline const __m256i* as_vec(const uint32_t* p) { return reinterpret_cast<const __m256i*>(p); }

inline __m256i masked_load(const uint32_t* p, __m256i mask) {
    return _mm256_maskload_epi32(reinterpret_cast<const int*>(p), mask);
}

// Shape of one INT4 column-range call. Rows are walked one at a time, so that a tile is read as one
// sequential stream; the row kPrefetchRowsInt4 ahead is prefetched one cache line per two vectors, spread
// over the row's work.
struct Int4Range {
    std::size_t full, tail, vectors, groups, rows_per_group, total_rows;

    Int4Range(std::size_t k, std::size_t n_count, std::size_t group_size)
        : full(n_count / 8),
          tail(n_count % 8),
          vectors(full + (tail != 0 ? 1 : 0)),
          groups(k / group_size),
          rows_per_group(group_size / 8),
          total_rows(groups * rows_per_group) {}

    // Address of the row to prefetch while summing row r (row r itself, harmlessly, near the end).
    const char* prefetch_row(const uint32_t* base, std::size_t r, std::size_t n) const {
        const std::size_t ahead = r + kPrefetchRowsInt4 < total_rows ? r + kPrefetchRowsInt4 : r;
        return reinterpret_cast<const char*>(base + ahead * n);
    }
};

inline void prefetch_line(const char* row, std::size_t v) {
    if ((v & 1) == 0) _mm_prefetch(row + 32 * v, _MM_HINT_T0);
}

void int4_range_avx2(const uint32_t* packed, const uint16_t* scales, const int16_t* act, const float* act_scales,
                     float* output, std::size_t k, std::size_t n, std::size_t n_start, std::size_t n_count,
                     std::size_t group_size) {
    const Int4Range shape(k, n_count, group_size);
    const std::size_t full = shape.full, tail = shape.tail;
    const __m256i mask = _mm256_set1_epi32(0x0F0F0F0F);
    const __m256i tmask = lane_mask(tail);

    __m256 out[kMaxVectors];
    float tail_out[8] = {};
    __m256i acc[kMaxVectors];
    for (std::size_t v = 0; v < full; ++v) out[v] = _mm256_setzero_ps();

    const uint32_t* base = packed + n_start;
    for (std::size_t g = 0; g < shape.groups; ++g) {
        for (std::size_t v = 0; v < shape.vectors; ++v) acc[v] = _mm256_setzero_si256();
        for (std::size_t r = g * shape.rows_per_group; r < (g + 1) * shape.rows_per_group; ++r) {
            const Int4Acts a = int4_acts(act + 8 * r);
            const uint32_t* row = base + r * n;
            const char* ahead = shape.prefetch_row(base, r, n);
            for (std::size_t v = 0; v < full; ++v) {
                prefetch_line(ahead, v);
                acc[v] = _mm256_add_epi32(acc[v], int4_row_avx2(_mm256_loadu_si256(as_vec(row + 8 * v)), a, mask));
            }
            if (tail != 0) {
                prefetch_line(ahead, full);
                acc[full] = _mm256_add_epi32(acc[full], int4_row_avx2(masked_load(row + 8 * full, tmask), a, mask));
            }
        }
        apply_group(acc, int4_correction(act + g * group_size, group_size), act_scales[g], scales + g * n + n_start,
                    full, tail, out, tail_out);
    }
    store_output(out, tail_out, full, tail, output);
}

// The same sums with the AVX-512 VNNI byte dot product (VPDPBUSD on 256-bit vectors): each instruction adds
// the four byte products of a lane straight into a 32-bit accumulator, with separate accumulators for the
// low and high activation bytes, combined as lo + (hi << 8) once per group.
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512vl,avx512vnni")

inline void int4_row_vnni(__m256i w, const Int4Acts& a, __m256i mask, __m256i& lo, __m256i& hi) {
    const __m256i even = _mm256_and_si256(w, mask);
    const __m256i odd = _mm256_and_si256(_mm256_srli_epi32(w, 4), mask);
    lo = _mm256_dpbusd_epi32(_mm256_dpbusd_epi32(lo, a.ql_even, even), a.ql_odd, odd);
    hi = _mm256_dpbusd_epi32(_mm256_dpbusd_epi32(hi, even, a.qh_even), odd, a.qh_odd);
}

void int4_range_vnni(const uint32_t* packed, const uint16_t* scales, const int16_t* act, const float* act_scales,
                     float* output, std::size_t k, std::size_t n, std::size_t n_start, std::size_t n_count,
                     std::size_t group_size) {
    const Int4Range shape(k, n_count, group_size);
    const std::size_t full = shape.full, tail = shape.tail;
    const __m256i mask = _mm256_set1_epi32(0x0F0F0F0F);
    const __m256i tmask = lane_mask(tail);

    __m256 out[kMaxVectors];
    float tail_out[8] = {};
    __m256i acc_lo[kMaxVectors];
    __m256i acc_hi[kMaxVectors];
    for (std::size_t v = 0; v < full; ++v) out[v] = _mm256_setzero_ps();

    const uint32_t* base = packed + n_start;
    for (std::size_t g = 0; g < shape.groups; ++g) {
        for (std::size_t v = 0; v < shape.vectors; ++v) acc_lo[v] = acc_hi[v] = _mm256_setzero_si256();
        for (std::size_t r = g * shape.rows_per_group; r < (g + 1) * shape.rows_per_group; ++r) {
            const Int4Acts a = int4_acts(act + 8 * r);
            const uint32_t* row = base + r * n;
            const char* ahead = shape.prefetch_row(base, r, n);
            for (std::size_t v = 0; v < full; ++v) {
                prefetch_line(ahead, v);
                int4_row_vnni(_mm256_loadu_si256(as_vec(row + 8 * v)), a, mask, acc_lo[v], acc_hi[v]);
            }
            if (tail != 0) {
                prefetch_line(ahead, full);
                int4_row_vnni(masked_load(row + 8 * full, tmask), a, mask, acc_lo[full], acc_hi[full]);
            }
        }
        for (std::size_t v = 0; v < shape.vectors; ++v)
            acc_lo[v] = _mm256_add_epi32(acc_lo[v], _mm256_slli_epi32(acc_hi[v], 8));
        apply_group(acc_lo, int4_correction(act + g * group_size, group_size), act_scales[g],
                    scales + g * n + n_start, full, tail, out, tail_out);
    }
    store_output(out, tail_out, full, tail, output);
}

#pragma GCC pop_options

std::atomic<bool> g_allow_avx512{true};

bool vnni_supported() {
    static const bool supported = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                                  __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vnni");
    return supported;
}

void int4_range(const uint32_t* packed, const uint16_t* scales, const int16_t* act, const float* act_scales,
                float* output, std::size_t k, std::size_t n, std::size_t n_start, std::size_t n_count,
                std::size_t group_size) {
    if (vnni_supported() && g_allow_avx512.load(std::memory_order_relaxed)) {
        int4_range_vnni(packed, scales, act, act_scales, output, k, n, n_start, n_count, group_size);
    } else {
        int4_range_avx2(packed, scales, act, act_scales, output, k, n, n_start, n_count, group_size);
    }
}

// ---------------------------------------------------------------------------------------------------------
// INT8. Inputs k and k+1 of sixteen columns: their bytes interleaved and sign-extended to 16 bits give, per
// 32-bit lane, (W[n][k], W[n][k+1]); VPMADDWD against the broadcast pair (q[k], q[k+1]).

void int8_range(const uint32_t* packed, const uint16_t* scales, const int16_t* act, const float* act_scales,
                float* output, std::size_t k, std::size_t n, std::size_t n_start, std::size_t n_count,
                std::size_t group_size) {
    const std::size_t full = n_count / 8;
    const std::size_t tail = n_count % 8;
    const std::size_t pairs16 = n_count / 16;
    const bool half = (full % 2) != 0;
    const std::size_t groups = k / group_size;
    const int8_t* bytes = reinterpret_cast<const int8_t*>(packed) + n_start;

    __m256 out[kMaxVectors];
    float tail_out[8] = {};
    __m256i acc[kMaxVectors];
    for (std::size_t v = 0; v < full; ++v) out[v] = _mm256_setzero_ps();

    for (std::size_t g = 0; g < groups; ++g) {
        for (std::size_t v = 0; v < full; ++v) acc[v] = _mm256_setzero_si256();
        uint32_t tail_acc[8] = {};
        const std::size_t k0 = g * group_size;
        for (std::size_t kk = k0; kk < k0 + group_size; kk += 2) {
            if (kk + kPrefetchRowsInt8 + 1 < k) {
                prefetch_range(bytes + (kk + kPrefetchRowsInt8) * n, n_count);
                prefetch_range(bytes + (kk + kPrefetchRowsInt8 + 1) * n, n_count);
            }
            const uint32_t pair = static_cast<uint32_t>(static_cast<uint16_t>(act[kk])) |
                                  (static_cast<uint32_t>(static_cast<uint16_t>(act[kk + 1])) << 16);
            const __m256i a = _mm256_set1_epi32(static_cast<int>(pair));
            const int8_t* row0 = bytes + kk * n;
            const int8_t* row1 = row0 + n;
            for (std::size_t b = 0; b < pairs16; ++b) {
                const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row0 + 16 * b));
                const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row1 + 16 * b));
                const __m256i lo = _mm256_cvtepi8_epi16(_mm_unpacklo_epi8(x0, x1));
                const __m256i hi = _mm256_cvtepi8_epi16(_mm_unpackhi_epi8(x0, x1));
                acc[2 * b] = _mm256_add_epi32(acc[2 * b], _mm256_madd_epi16(lo, a));
                acc[2 * b + 1] = _mm256_add_epi32(acc[2 * b + 1], _mm256_madd_epi16(hi, a));
            }
            if (half) {
                const __m128i x0 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row0 + 16 * pairs16));
                const __m128i x1 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row1 + 16 * pairs16));
                const __m256i lo = _mm256_cvtepi8_epi16(_mm_unpacklo_epi8(x0, x1));
                acc[full - 1] = _mm256_add_epi32(acc[full - 1], _mm256_madd_epi16(lo, a));
            }
            for (std::size_t j = 0; j < tail; ++j) {
                const std::size_t c = 8 * full + j;
                tail_acc[j] += static_cast<uint32_t>(row0[c] * act[kk] + row1[c] * act[kk + 1]);
            }
        }
        if (tail != 0) acc[full] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(tail_acc));
        apply_group(acc, _mm256_setzero_si256(), act_scales[g], scales + g * n + n_start, full, tail, out, tail_out);
    }
    store_output(out, tail_out, full, tail, output);
}

// ---------------------------------------------------------------------------------------------------------
// Preconditions.

void check_base_common(std::size_t act_len, std::size_t act_scales_len, std::size_t output_len, std::size_t k,
                       std::size_t n, std::size_t group_size) {
    ORVANE_ASSERT_EQ(act_len, k);
    ORVANE_ASSERT(group_size != 0);
    ORVANE_ASSERT_EQ(act_scales_len, k / group_size);
    ORVANE_ASSERT_EQ(output_len, n);
}

void check_variant(std::size_t act_len, std::size_t act_scales_len, std::size_t output_len, std::size_t k,
                   std::size_t n, std::size_t group_size, bool int8) {
    check_base_common(act_len, act_scales_len, output_len, k, n, group_size);
    ORVANE_CHECK(k % group_size == 0, "assertion failed: k % group_size == 0");
    if (int8) {
        ORVANE_CHECK(group_size % 2 == 0, "assertion failed: group_size % 2 == 0");
    } else {
        ORVANE_CHECK(group_size % 8 == 0, "assertion failed: group_size % 8 == 0");
    }
    require_avx2_fma();
}

using RangeKernel = void (*)(const uint32_t*, const uint16_t*, const int16_t*, const float*, float*, std::size_t,
                             std::size_t, std::size_t, std::size_t, std::size_t);

inline std::size_t num_tiles(std::size_t n) { return (n + TILE_N - 1) / TILE_N; }

// Words of one tile of packed weights.
inline std::size_t tile_words(std::size_t k, bool int8) { return int8 ? k * (TILE_N / 4) : (k / 8) * TILE_N; }

void run_chunks(RangeKernel kernel, const uint32_t* packed, const uint16_t* scales, const int16_t* act,
                const float* act_scales, float* output, std::size_t k, std::size_t n, std::size_t group_size) {
    for (std::size_t start = 0; start < n; start += TILE_N) {
        kernel(packed, scales, act, act_scales, output + start, k, n, start, std::min(TILE_N, n - start),
               group_size);
    }
}

void run_tile(RangeKernel kernel, bool int8, const uint32_t* packed, const uint16_t* scales, const int16_t* act,
              const float* act_scales, float* output, std::size_t k, std::size_t n, std::size_t group_size,
              std::size_t t) {
    const std::size_t groups = k / group_size;
    kernel(packed + t * tile_words(k, int8), scales + t * groups * TILE_N, act, act_scales, output + t * TILE_N, k,
           TILE_N, 0, std::min(TILE_N, n - t * TILE_N), group_size);
}

void run_tiled(RangeKernel kernel, bool int8, const uint32_t* packed, const uint16_t* scales, const int16_t* act,
               const float* act_scales, float* output, std::size_t k, std::size_t n, std::size_t group_size) {
    for (std::size_t t = 0; t < num_tiles(n); ++t)
        run_tile(kernel, int8, packed, scales, act, act_scales, output, k, n, group_size, t);
}

void run_parallel(RangeKernel kernel, const uint32_t* packed, const uint16_t* scales, const int16_t* act,
                  const float* act_scales, float* output, std::size_t k, std::size_t n, std::size_t group_size) {
    if (n <= 64) {
        kernel(packed, scales, act, act_scales, output, k, n, 0, n, group_size);
        return;
    }
    pool::parallel_for(num_tiles(n), [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) {
            const std::size_t start = c * TILE_N;
            kernel(packed, scales, act, act_scales, output + start, k, n, start, std::min(TILE_N, n - start),
                   group_size);
        }
    });
}

void run_parallel_tiled(RangeKernel kernel, bool int8, const uint32_t* packed, const uint16_t* scales,
                        const int16_t* act, const float* act_scales, float* output, std::size_t k, std::size_t n,
                        std::size_t group_size) {
    if (n <= 64) {
        run_tiled(kernel, int8, packed, scales, act, act_scales, output, k, n, group_size);
        return;
    }
    pool::parallel_for(num_tiles(n), [&](std::size_t begin, std::size_t end) {
        for (std::size_t t = begin; t < end; ++t)
            run_tile(kernel, int8, packed, scales, act, act_scales, output, k, n, group_size, t);
    });
}

void check_range_args(std::size_t n_count, std::size_t group_size) {
    ORVANE_ASSERT(group_size != 0);
    ORVANE_CHECK(n_count <= kMaxColumns, "assertion failed: n_count <= {}", kMaxColumns);
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Instruction-set choice.

bool avx512_vnni_available() { return vnni_supported(); }

void set_avx512_allowed(bool allowed) { g_allow_avx512.store(allowed, std::memory_order_relaxed); }

bool avx512_in_use() { return vnni_supported() && g_allow_avx512.load(std::memory_order_relaxed); }

// ---------------------------------------------------------------------------------------------------------
// Column-range kernels.

void expert_matmul_int4_transposed_integer(const uint32_t* packed, const uint16_t* scales, const int16_t* act,
                                           const float* act_scales, float* output, std::size_t k, std::size_t n,
                                           std::size_t n_start, std::size_t n_count, std::size_t group_size) {
    check_range_args(n_count, group_size);
    int4_range(packed, scales, act, act_scales, output, k, n, n_start, n_count, group_size);
}

void expert_matmul_int8_transposed_integer(const uint32_t* packed, const uint16_t* scales, const int16_t* act,
                                           const float* act_scales, float* output, std::size_t k, std::size_t n,
                                           std::size_t n_start, std::size_t n_count, std::size_t group_size) {
    check_range_args(n_count, group_size);
    int8_range(packed, scales, act, act_scales, output, k, n, n_start, n_count, group_size);
}

// ---------------------------------------------------------------------------------------------------------
// Base products.

void matmul_int4_transposed_integer(std::span<const uint32_t> packed, std::span<const uint16_t> scales,
                                    std::span<const int16_t> act, std::span<const float> act_scales,
                                    std::span<float> output, std::size_t k, std::size_t n, std::size_t group_size) {
    check_base_common(act.size(), act_scales.size(), output.size(), k, n, group_size);
    ORVANE_ASSERT_EQ(packed.size(), (k / 8) * n);
    ORVANE_ASSERT_EQ(scales.size(), (k / group_size) * n);
    ORVANE_CHECK(k % group_size == 0, "assertion failed: k % group_size == 0");
    ORVANE_CHECK(group_size % 8 == 0, "assertion failed: group_size % 8 == 0");
    require_avx2_fma();
    run_chunks(int4_range, packed.data(), scales.data(), act.data(), act_scales.data(), output.data(), k, n,
               group_size);
}

void matmul_int8_transposed_integer(std::span<const uint32_t> packed, std::span<const uint16_t> scales,
                                    std::span<const int16_t> act, std::span<const float> act_scales,
                                    std::span<float> output, std::size_t k, std::size_t n, std::size_t group_size) {
    check_base_common(act.size(), act_scales.size(), output.size(), k, n, group_size);
    const std::size_t expected_words = (n * k + 3) / 4;
    ORVANE_CHECK(packed.size() == expected_words, "data_u32 len mismatch: expected {}, got {}", expected_words,
                 packed.size());
    ORVANE_ASSERT_EQ(scales.size(), (k / group_size) * n);
    ORVANE_CHECK(k % group_size == 0, "assertion failed: k % group_size == 0");
    ORVANE_CHECK(group_size % 2 == 0, "Transposed INT8 kernel requires even group_size");
    require_avx2_fma();
    run_chunks(int8_range, packed.data(), scales.data(), act.data(), act_scales.data(), output.data(), k, n,
               group_size);
}

// ---------------------------------------------------------------------------------------------------------
// Variants.

void matmul_int4_transposed_integer_tiled(std::span<const uint32_t> packed, std::span<const uint16_t> scales,
                                          std::span<const int16_t> act, std::span<const float> act_scales,
                                          std::span<float> output, std::size_t k, std::size_t n,
                                          std::size_t group_size) {
    check_variant(act.size(), act_scales.size(), output.size(), k, n, group_size, false);
    run_tiled(int4_range, false, packed.data(), scales.data(), act.data(), act_scales.data(), output.data(), k, n,
              group_size);
}

void matmul_int8_transposed_integer_tiled(std::span<const uint32_t> packed, std::span<const uint16_t> scales,
                                          std::span<const int16_t> act, std::span<const float> act_scales,
                                          std::span<float> output, std::size_t k, std::size_t n,
                                          std::size_t group_size) {
    check_variant(act.size(), act_scales.size(), output.size(), k, n, group_size, true);
    run_tiled(int8_range, true, packed.data(), scales.data(), act.data(), act_scales.data(), output.data(), k, n,
              group_size);
}

void matmul_int4_transposed_integer_parallel(std::span<const uint32_t> packed, std::span<const uint16_t> scales,
                                             std::span<const int16_t> act, std::span<const float> act_scales,
                                             std::span<float> output, std::size_t k, std::size_t n,
                                             std::size_t group_size) {
    check_variant(act.size(), act_scales.size(), output.size(), k, n, group_size, false);
    run_parallel(int4_range, packed.data(), scales.data(), act.data(), act_scales.data(), output.data(), k, n,
                 group_size);
}

void matmul_int8_transposed_integer_parallel(std::span<const uint32_t> packed, std::span<const uint16_t> scales,
                                             std::span<const int16_t> act, std::span<const float> act_scales,
                                             std::span<float> output, std::size_t k, std::size_t n,
                                             std::size_t group_size) {
    check_variant(act.size(), act_scales.size(), output.size(), k, n, group_size, true);
    run_parallel(int8_range, packed.data(), scales.data(), act.data(), act_scales.data(), output.data(), k, n,
                 group_size);
}

void matmul_int4_transposed_integer_parallel_tiled(std::span<const uint32_t> packed,
                                                   std::span<const uint16_t> scales, std::span<const int16_t> act,
                                                   std::span<const float> act_scales, std::span<float> output,
                                                   std::size_t k, std::size_t n, std::size_t group_size) {
    check_variant(act.size(), act_scales.size(), output.size(), k, n, group_size, false);
    run_parallel_tiled(int4_range, false, packed.data(), scales.data(), act.data(), act_scales.data(),
                       output.data(), k, n, group_size);
}

void matmul_int8_transposed_integer_parallel_tiled(std::span<const uint32_t> packed,
                                                   std::span<const uint16_t> scales, std::span<const int16_t> act,
                                                   std::span<const float> act_scales, std::span<float> output,
                                                   std::size_t k, std::size_t n, std::size_t group_size) {
    check_variant(act.size(), act_scales.size(), output.size(), k, n, group_size, true);
    run_parallel_tiled(int8_range, true, packed.data(), scales.data(), act.data(), act_scales.data(),
                       output.data(), k, n, group_size);
}

// ---------------------------------------------------------------------------------------------------------
// Tiled repack.

namespace {

// Copies `rows` rows of `n` entries (row stride n) into tiles of TILE_N entries per row; `dst` is zero-filled
// and holds rows * ceil(n / TILE_N) * TILE_N entries.
template <class T>
void tile_rows(T* dst, const T* src, std::size_t rows, std::size_t n) {
    for (std::size_t t = 0; t < num_tiles(n); ++t) {
        const std::size_t cols = std::min(TILE_N, n - t * TILE_N);
        T* tile = dst + t * rows * TILE_N;
        for (std::size_t r = 0; r < rows; ++r)
            std::memcpy(tile + r * TILE_N, src + r * n + t * TILE_N, cols * sizeof(T));
    }
}

}  // namespace

std::vector<uint32_t> repack_tiled_int4_packed(std::span<const uint32_t> packed, std::size_t k, std::size_t n) {
    const std::size_t rows = k / 8;
    ORVANE_CHECK(packed.size() >= rows * n, "tiled repack: packed has {} words, {} rows of {} need {}",
                 packed.size(), rows, n, rows * n);
    std::vector<uint32_t> out(rows * num_tiles(n) * TILE_N, 0u);
    tile_rows(out.data(), packed.data(), rows, n);
    return out;
}

std::vector<uint16_t> repack_tiled_scales(std::span<const uint16_t> scales, std::size_t groups, std::size_t n) {
    ORVANE_CHECK(scales.size() >= groups * n, "tiled repack: scales has {} entries, {} rows of {} need {}",
                 scales.size(), groups, n, groups * n);
    std::vector<uint16_t> out(groups * num_tiles(n) * TILE_N, uint16_t{0});
    tile_rows(out.data(), scales.data(), groups, n);
    return out;
}

std::vector<uint32_t> repack_tiled_int8_packed(std::span<const uint32_t> packed, std::size_t k, std::size_t n) {
    ORVANE_CHECK(packed.size() * 4 >= k * n, "tiled repack: packed has {} bytes, {} rows of {} need {}",
                 packed.size() * 4, k, n, k * n);
    // k * TILE_N bytes per tile: k * TILE_N / 4 words.
    std::vector<uint32_t> out(k * (TILE_N / 4) * num_tiles(n), 0u);
    tile_rows(reinterpret_cast<uint8_t*>(out.data()), reinterpret_cast<const uint8_t*>(packed.data()), k, n);
    return out;
}

}  // namespace orvane::kernel::avx2
