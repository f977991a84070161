#include "kernel/avx2/rowmajor.hpp"

#include <immintrin.h>

#include <algorithm>
#include <vector>

#include "core/bf16.hpp"
#include "core/cpu_features.hpp"
#include "core/errors.hpp"
#include "core/thread_pool.hpp"

namespace orvane::kernel::avx2 {

namespace {

// Software prefetch distance along the row being summed, in bytes. Rows are summed one at a time so that a
// matrix is read as one sequential stream (measured faster than interleaving several rows).
constexpr std::size_t kPrefetchInt4 = 2048;
constexpr std::size_t kPrefetchInt8 = 512;

// Adds one group's eight integer lanes into the f32 accumulator: lane = fma(float(int lane), f, lane) with
// f = act_scale * bf16(scale).
inline __m256 apply_group(__m256i lanes, float act_scale, uint16_t scale, __m256 acc) {
    const float f = act_scale * bf16_to_f32(scale);
    return _mm256_fmadd_ps(_mm256_cvtepi32_ps(lanes), _mm256_set1_ps(f), acc);
}

// ((l0 + l4) + (l2 + l6)) + ((l1 + l5) + (l3 + l7)).
inline float reduce_lanes(__m256 acc) {
    const __m128 t = _mm_add_ps(_mm256_castps256_ps128(acc), _mm256_extractf128_ps(acc, 1));
    const __m128 u = _mm_add_ps(t, _mm_movehl_ps(t, t));
    return _mm_cvtss_f32(_mm_add_ss(u, _mm_shuffle_ps(u, u, 1)));
}

inline __m256i load256(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
inline __m128i load128(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
inline void store256(void* p, __m256i v) { _mm256_storeu_si256(static_cast<__m256i*>(p), v); }

// ---------------------------------------------------------------------------------------------------------
// INT4.
//
// The eight bytes of a 16-input step hold the nibble pairs (2i, 2i+1) of integer lane i in byte i. The
// nibbles are used unsigned (v = level + 8) and the group sum is corrected once: sum((v - 8) q) =
// sum(v q) - 8 sum(q), per lane, modulo 2^32 (exact, since the true sums fit in 32 bits).
//
// Four steps (32 bytes) are summed at once. One in-lane byte shuffle gives, in each 128-bit half (steps
// 2H and 2H+1) and each 32-bit slot j = 0..3, the bytes (b_j, b_{j+4}) of step 2H and the same of step 2H+1.
// Masking the slot's two 16-bit words with 0x000F after shifts of 0, 4, 8 and 12 yields the inputs 2j, 2j+1,
// 2j+8 and 2j+9 of both steps, as 16-bit values multiplied pairwise (VPMADDWD) with an activation that is
// rearranged to match once per call. Shifts 0 and 4 belong to integer lane j, shifts 8 and 12 to lane j + 4:
// they go to two accumulators X and Y whose halves are folded once per group, lanes = (X.lo + X.hi,
// Y.lo + Y.hi). Two remaining steps run the same on one 128-bit half; a last single step as a pair whose
// second step is zero (zero weights and zero activations).
//
// Rearranged activation of one group (roundup(steps, 2) * 16 values):
//   per 4-step block, 4 vectors A_t (t = shift / 4) of 16 values: A_t[8H + 2j + w] =
//     q[16 (2H + w) + 2j + (t & 1) + 8 (t >> 1)];
//   then per remaining pair of steps, 4 vectors of 8 values, the H = 0 half of the same (the second step of a
//   final odd step reads as zero).
// Correction of one group: 8 integer lanes, lane i = 8 sum_s (q[16s + 2i] + q[16s + 2i + 1]).

inline __m256i int4_slot_shuffle() {
    return _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15, 0, 4, 8, 12, 1, 5, 9, 13, 2, 6,
                            10, 14, 3, 7, 11, 15);
}

struct Int4Shape {
    std::size_t groups, group_bytes, steps, blocks, pair, odd, prepared_stride, row_words;

    Int4Shape(std::size_t k, std::size_t group_size)
        : groups(k / group_size),
          group_bytes(group_size / 2),
          steps(group_size / 16),
          blocks(steps / 4),
          pair((steps % 4) / 2),
          odd(steps % 2),
          prepared_stride((steps + 1) / 2 * 32),
          row_words(k / 8) {}
};

// The rearranged activation and the per-group corrections, built once per call (or per run of chunks).
struct Int4Prepared {
    const int16_t* act;    // groups * prepared_stride values
    const int32_t* corr;   // groups * 8 lanes
};

// Pair-of-steps form (the H = 0 half): 32 values from steps s0 and s1 (s1 may be null: zeros).
void prepare_pair(const int16_t* s0, const int16_t* s1, int16_t* out) {
    for (std::size_t t = 0; t < 4; ++t) {
        const std::size_t e = (t & 1) + 8 * (t >> 1);
        for (std::size_t j = 0; j < 4; ++j) {
            out[8 * t + 2 * j] = s0[2 * j + e];
            out[8 * t + 2 * j + 1] = s1 != nullptr ? s1[2 * j + e] : int16_t{0};
        }
    }
}

// Four-step form: 64 values from the 64 consecutive activations q.
inline void prepare_block(const int16_t* q, int16_t* out) {
    // Per 128-bit half: the even-indexed words, then the odd-indexed ones.
    const __m256i split = _mm256_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, 2, 3, 6, 7, 10, 11, 14, 15, 0, 1, 4, 5, 8, 9,
                                           12, 13, 2, 3, 6, 7, 10, 11, 14, 15);
    const __m256i s0 = _mm256_shuffle_epi8(load256(q), split);
    const __m256i s1 = _mm256_shuffle_epi8(load256(q + 16), split);
    const __m256i s2 = _mm256_shuffle_epi8(load256(q + 32), split);
    const __m256i s3 = _mm256_shuffle_epi8(load256(q + 48), split);
    const __m256i u01 = _mm256_unpacklo_epi16(s0, s1);  // (A_0 | A_2) of H = 0
    const __m256i v01 = _mm256_unpackhi_epi16(s0, s1);  // (A_1 | A_3) of H = 0
    const __m256i u23 = _mm256_unpacklo_epi16(s2, s3);
    const __m256i v23 = _mm256_unpackhi_epi16(s2, s3);
    store256(out, _mm256_permute2x128_si256(u01, u23, 0x20));
    store256(out + 16, _mm256_permute2x128_si256(v01, v23, 0x20));
    store256(out + 32, _mm256_permute2x128_si256(u01, u23, 0x31));
    store256(out + 48, _mm256_permute2x128_si256(v01, v23, 0x31));
}

// Thread-private scratch for the rearranged activation. Only ever used between two statements that do not
// enter the pool, so a thread never reuses it while it is still being read.
struct Int4Scratch {
    std::vector<int16_t> act;
    std::vector<int32_t> corr;
};

Int4Prepared prepare_int4(const int16_t* q, const Int4Shape& s, std::size_t group_size) {
    thread_local Int4Scratch scratch;
    if (scratch.act.size() < s.groups * s.prepared_stride) scratch.act.resize(s.groups * s.prepared_stride);
    if (scratch.corr.size() < s.groups * 8) scratch.corr.resize(s.groups * 8);
    const __m256i eight = _mm256_set1_epi16(8);
    for (std::size_t g = 0; g < s.groups; ++g) {
        const int16_t* src = q + g * group_size;
        int16_t* dst = scratch.act.data() + g * s.prepared_stride;
        std::size_t step = 0;
        for (std::size_t b = 0; b < s.blocks; ++b, step += 4) prepare_block(src + 16 * step, dst + 16 * step);
        if (s.pair != 0) {
            prepare_pair(src + 16 * step, src + 16 * (step + 1), dst + 16 * step);
            step += 2;
        }
        if (s.odd != 0) prepare_pair(src + 16 * step, nullptr, dst + 16 * step);
        __m256i corr = _mm256_setzero_si256();
        for (std::size_t i = 0; i < s.steps; ++i)
            corr = _mm256_add_epi32(corr, _mm256_madd_epi16(load256(src + 16 * i), eight));
        store256(scratch.corr.data() + 8 * g, corr);
    }
    return {scratch.act.data(), scratch.corr.data()};
}

// One row: `words` and `scales` point at its packed words and its scales.
float int4_row(const Int4Prepared& p, const Int4Shape& s, const uint32_t* words, const uint16_t* scales,
               const float* act_scales) {
    const __m256i shuffle = int4_slot_shuffle();
    const __m256i mask = _mm256_set1_epi16(0x000F);
    const __m128i shuffle128 = _mm256_castsi256_si128(shuffle);
    const __m128i mask128 = _mm256_castsi256_si128(mask);
    const uint8_t* row = reinterpret_cast<const uint8_t*>(words);

    __m256 acc = _mm256_setzero_ps();
    for (std::size_t g = 0; g < s.groups; ++g) {
        const int16_t* a = p.act + g * s.prepared_stride;
        __m256i x = _mm256_setzero_si256(), y = _mm256_setzero_si256();
        std::size_t off = g * s.group_bytes;
        for (std::size_t b = 0; b < s.blocks; ++b, a += 64, off += 32) {
            _mm_prefetch(reinterpret_cast<const char*>(row + off + kPrefetchInt4), _MM_HINT_T0);
            const __m256i w = _mm256_shuffle_epi8(load256(row + off), shuffle);
            const __m256i n0 = _mm256_and_si256(w, mask);
            const __m256i n1 = _mm256_and_si256(_mm256_srli_epi16(w, 4), mask);
            const __m256i n2 = _mm256_and_si256(_mm256_srli_epi16(w, 8), mask);
            const __m256i n3 = _mm256_srli_epi16(w, 12);
            x = _mm256_add_epi32(x, _mm256_add_epi32(_mm256_madd_epi16(n0, load256(a)),
                                                     _mm256_madd_epi16(n1, load256(a + 16))));
            y = _mm256_add_epi32(y, _mm256_add_epi32(_mm256_madd_epi16(n2, load256(a + 32)),
                                                     _mm256_madd_epi16(n3, load256(a + 48))));
        }
        __m128i x4 = _mm_add_epi32(_mm256_castsi256_si128(x), _mm256_extracti128_si256(x, 1));
        __m128i y4 = _mm_add_epi32(_mm256_castsi256_si128(y), _mm256_extracti128_si256(y, 1));
        // Remaining steps: a pair, then an odd step (loaded alone, its partner bytes zero).
        for (std::size_t tail = 0; tail < s.pair + s.odd; ++tail, a += 32, off += 16) {
            const __m128i raw = tail == s.pair ? _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + off))
                                               : load128(row + off);
            const __m128i w = _mm_shuffle_epi8(raw, shuffle128);
            const __m128i n0 = _mm_and_si128(w, mask128);
            const __m128i n1 = _mm_and_si128(_mm_srli_epi16(w, 4), mask128);
            const __m128i n2 = _mm_and_si128(_mm_srli_epi16(w, 8), mask128);
            const __m128i n3 = _mm_srli_epi16(w, 12);
            x4 = _mm_add_epi32(x4, _mm_add_epi32(_mm_madd_epi16(n0, load128(a)), _mm_madd_epi16(n1, load128(a + 8))));
            y4 = _mm_add_epi32(y4, _mm_add_epi32(_mm_madd_epi16(n2, load128(a + 16)),
                                                 _mm_madd_epi16(n3, load128(a + 24))));
        }
        const __m256i lanes = _mm256_sub_epi32(_mm256_set_m128i(y4, x4), load256(p.corr + 8 * g));
        acc = apply_group(lanes, act_scales[g], scales[g], acc);
    }
    return reduce_lanes(acc);
}

void int4_range(const Int4Prepared& p, const Int4Shape& s, const uint32_t* packed, const uint16_t* scales,
                const float* act_scales, float* output, std::size_t n) {
    for (std::size_t r = 0; r < n; ++r)
        output[r] = int4_row(p, s, packed + r * s.row_words, scales + r * s.groups, act_scales);
}

// ---------------------------------------------------------------------------------------------------------
// INT8: each step sign-extends 16 bytes to 16-bit values and multiplies them pairwise with the 16
// activations, so integer lane i takes inputs 2i and 2i+1 directly. Steps run two at a time, then a final
// single step when the count is odd.

struct Int8Shape {
    std::size_t k, groups, steps;
    Int8Shape(std::size_t k_, std::size_t group_size) : k(k_), groups(k_ / group_size), steps(group_size / 16) {}
};

inline __m256i int8_step(const int8_t* w, __m256i a) {
    return _mm256_madd_epi16(_mm256_cvtepi8_epi16(load128(w)), a);
}

// One row: `data` and `scales` point at its bytes and its scales.
float int8_row(const Int8Shape& s, std::size_t group_size, const int8_t* data, const uint16_t* scales,
               const int16_t* act, const float* act_scales) {
    __m256 acc = _mm256_setzero_ps();
    for (std::size_t g = 0; g < s.groups; ++g) {
        __m256i sum = _mm256_setzero_si256();
        const std::size_t k0 = g * group_size;
        std::size_t i = 0;
        for (; i + 2 <= s.steps; i += 2) {
            const std::size_t k = k0 + 16 * i;
            _mm_prefetch(reinterpret_cast<const char*>(data + k + kPrefetchInt8), _MM_HINT_T0);
            sum = _mm256_add_epi32(sum, _mm256_add_epi32(int8_step(data + k, load256(act + k)),
                                                         int8_step(data + k + 16, load256(act + k + 16))));
        }
        if (i < s.steps) {
            const std::size_t k = k0 + 16 * i;
            sum = _mm256_add_epi32(sum, int8_step(data + k, load256(act + k)));
        }
        acc = apply_group(sum, act_scales[g], scales[g], acc);
    }
    return reduce_lanes(acc);
}

void int8_range(const Int8Shape& s, std::size_t group_size, const int8_t* data, const uint16_t* scales,
                const int16_t* act, const float* act_scales, float* output, std::size_t n) {
    for (std::size_t r = 0; r < n; ++r)
        output[r] = int8_row(s, group_size, data + r * s.k, scales + r * s.groups, act, act_scales);
}

// ---------------------------------------------------------------------------------------------------------
// Shared by both kernels: the cases that read nothing.

// True (with the output written) when no products are formed: n = 0, no complete group, or no 16-input step.
bool trivial_output(float* output, std::size_t k, std::size_t n, std::size_t group_size) {
    ORVANE_ASSERT(group_size != 0);
    if (n == 0) return true;
    if (k < group_size || group_size < 16) {
        std::fill(output, output + n, 0.0f);
        return true;
    }
    return false;
}

uint64_t checked_mul(uint64_t a, uint64_t b) {
    uint64_t r = 0;
    ORVANE_CHECK(!__builtin_mul_overflow(a, b, &r), "matrix size overflows: {} x {}", a, b);
    return r;
}

// Matrix arrays against the shape: the kernels read exactly rows * row_elems entries and rows * groups scales.
void check_matrix(std::size_t data_len, uint64_t data_per_row, std::size_t scales_len, uint64_t rows,
                  uint64_t cols, uint64_t group_size) {
    ORVANE_ASSERT_EQ(static_cast<uint64_t>(data_len), checked_mul(rows, data_per_row));
    ORVANE_ASSERT_EQ(static_cast<uint64_t>(scales_len), checked_mul(rows, cols / group_size));
}

}  // namespace

std::size_t row_parallel_chunks(uint64_t rows, uint64_t cols) {
    uint64_t elements = 0;
    if (!__builtin_mul_overflow(rows, cols, &elements) && elements <= ROW_PARALLEL_THRESHOLD) return 1;
    return static_cast<std::size_t>((rows + ROW_CHUNK - 1) / ROW_CHUNK);
}

void check_rowmajor_args(std::size_t act_len, std::size_t act_scales_len, std::size_t output_len, std::size_t k,
                         std::size_t n, std::size_t group_size) {
    ORVANE_ASSERT(group_size != 0);
    ORVANE_CHECK(group_size % 16 == 0, "Integer kernel requires group_size divisible by 16");
    ORVANE_CHECK(k % group_size == 0, "assertion failed: k % group_size == 0");
    ORVANE_ASSERT_EQ(act_len, k);
    ORVANE_ASSERT_EQ(act_scales_len, k / group_size);
    ORVANE_ASSERT_EQ(output_len, n);
    require_avx2_fma();
}

void expert_matmul_int4_integer(const uint32_t* packed, const uint16_t* scales, const int16_t* act,
                                const float* act_scales, float* output, std::size_t k, std::size_t n,
                                std::size_t group_size) {
    if (trivial_output(output, k, n, group_size)) return;
    const Int4Shape shape(k, group_size);
    const Int4Prepared prepared = prepare_int4(act, shape, group_size);
    int4_range(prepared, shape, packed, scales, act_scales, output, n);
}

void expert_matmul_int8_integer(const int8_t* data, const uint16_t* scales, const int16_t* act,
                                const float* act_scales, float* output, std::size_t k, std::size_t n,
                                std::size_t group_size) {
    if (trivial_output(output, k, n, group_size)) return;
    int8_range(Int8Shape(k, group_size), group_size, data, scales, act, act_scales, output, n);
}

void matmul_int4_integer_parallel(const weights::marlin::QuantizedInt4& w, std::span<const int16_t> act,
                                  std::span<const float> act_scales, std::span<float> output) {
    check_rowmajor_args(act.size(), act_scales.size(), output.size(), w.cols, w.rows, w.group_size);
    check_matrix(w.packed.size(), w.cols / 8, w.scales.size(), w.rows, w.cols, w.group_size);
    const std::size_t k = w.cols, n = w.rows, gs = w.group_size;
    const std::size_t chunks = row_parallel_chunks(n, k);
    if (chunks <= 1) {
        expert_matmul_int4_integer(w.packed.data(), w.scales.data(), act.data(), act_scales.data(), output.data(),
                                   k, n, gs);
        return;
    }
    const Int4Shape shape(k, gs);
    pool::parallel_for(chunks, [&](std::size_t begin, std::size_t end) {
        // One rearranged activation per run of chunks; the chunks below never enter the pool.
        const Int4Prepared prepared = prepare_int4(act.data(), shape, gs);
        for (std::size_t c = begin; c < end; ++c) {
            const std::size_t row = c * ROW_CHUNK;
            int4_range(prepared, shape, w.packed.data() + row * shape.row_words, w.scales.data() + row * shape.groups,
                       act_scales.data(), output.data() + row, std::min(ROW_CHUNK, n - row));
        }
    });
}

void matmul_int8_integer_parallel(const weights::marlin::QuantizedInt8& w, std::span<const int16_t> act,
                                  std::span<const float> act_scales, std::span<float> output) {
    check_rowmajor_args(act.size(), act_scales.size(), output.size(), w.cols, w.rows, w.group_size);
    check_matrix(w.data.size(), w.cols, w.scales.size(), w.rows, w.cols, w.group_size);
    const std::size_t k = w.cols, n = w.rows, gs = w.group_size;
    const std::size_t chunks = row_parallel_chunks(n, k);
    if (chunks <= 1) {
        expert_matmul_int8_integer(w.data.data(), w.scales.data(), act.data(), act_scales.data(), output.data(), k,
                                   n, gs);
        return;
    }
    const std::size_t groups = k / gs;
    pool::parallel_for(chunks, [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) {
            const std::size_t row = c * ROW_CHUNK;
            expert_matmul_int8_integer(w.data.data() + row * k, w.scales.data() + row * groups, act.data(),
                                       act_scales.data(), output.data() + row, k, std::min(ROW_CHUNK, n - row), gs);
        }
    });
}

}  // namespace orvane::kernel::avx2
