#include "weights/marlin.hpp"

#include <emmintrin.h>  // SSE2: part of baseline x86-64

#include <bit>
#include <chrono>
#include <cstring>
#include <memory>

#include "core/bf16.hpp"
#include "core/errors.hpp"
#include "core/logging.hpp"

namespace orvane::weights::marlin {

std::atomic<uint64_t> REPACK_LOG_COUNT{0};
std::atomic<uint64_t> REPACK_INT8_LOG_COUNT{0};

// ---------------------------------------------------------------------------------------------------------
// Permutation tables
// ---------------------------------------------------------------------------------------------------------

const std::array<uint16_t, 1024>& base_perm() {
    static const std::array<uint16_t, 1024> table = [] {
        std::array<uint16_t, 1024> t{};
        std::size_t out = 0;
        for (unsigned i = 0; i < 32; ++i) {
            const unsigned col = i / 4;
            const unsigned a = i % 4;
            std::array<unsigned, 8> eight{};
            std::size_t e = 0;
            for (unsigned block = 0; block < 2; ++block) {
                for (unsigned row : {2 * a, 2 * a + 1, 2 * a + 8, 2 * a + 9}) {
                    eight[e++] = 16 * row + col + 8 * block;
                }
            }
            for (unsigned j = 0; j < 4; ++j) {
                for (unsigned v : eight) t[out++] = static_cast<uint16_t>(v + 256 * j);
            }
        }
        return t;
    }();
    return table;
}

namespace {

// Reorders the base permutation within consecutive groups of order.size() entries.
template <std::size_t W>
std::array<uint16_t, 1024> interleaved(const std::array<std::size_t, W>& order) {
    const auto& base = base_perm();
    std::array<uint16_t, 1024> t{};
    for (std::size_t g = 0; g < 1024; g += W) {
        for (std::size_t i = 0; i < W; ++i) t[g + i] = base[g + order[i]];
    }
    return t;
}

}  // namespace

const std::array<uint16_t, 1024>& perm4() {
    static const std::array<uint16_t, 1024> table =
        interleaved<8>(std::array<std::size_t, 8>{0, 2, 4, 6, 1, 3, 5, 7});
    return table;
}

const std::array<uint16_t, 1024>& perm8() {
    static const std::array<uint16_t, 1024> table = interleaved<4>(std::array<std::size_t, 4>{0, 2, 1, 3});
    return table;
}

const std::array<uint16_t, 64>& scale_perm() {
    static const std::array<uint16_t, 64> table = [] {
        std::array<uint16_t, 64> t{};
        std::size_t out = 0;
        for (unsigned i = 0; i < 8; ++i) {
            for (unsigned j = 0; j < 8; ++j) t[out++] = static_cast<uint16_t>(i + 8 * j);
        }
        return t;
    }();
    return table;
}

const std::array<uint16_t, 32>& scale_perm_single() {
    static const std::array<uint16_t, 32> table = [] {
        std::array<uint16_t, 32> t{};
        std::size_t out = 0;
        for (unsigned i = 0; i < 4; ++i) {
            for (unsigned j : {0u, 1u, 8u, 9u, 16u, 17u, 24u, 25u}) t[out++] = static_cast<uint16_t>(2 * i + j);
        }
        return t;
    }();
    return table;
}

namespace {

// ---------------------------------------------------------------------------------------------------------
// Shared helpers
// ---------------------------------------------------------------------------------------------------------

// a × b, or InternalError when the product does not fit 64 bits (a shape no array can have).
uint64_t shape_product(uint64_t a, uint64_t b) {
    uint64_t r = 0;
    ORVANE_CHECK(!__builtin_mul_overflow(a, b, &r), "matrix shape {}×{} overflows 64 bits", a, b);
    return r;
}

spdlog::logger& marlin_log() {
    static spdlog::logger& l = log::target("orvane::weights::marlin");
    return l;
}

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point& mark) {
    const Clock::time_point now = Clock::now();
    const double ms = std::chrono::duration<double, std::milli>(now - mark).count();
    mark = now;
    return ms;
}

// Whether the call that drew `previous` from its counter logs: the first five, then one in 384.
bool should_log(uint64_t previous) { return previous < 5 || previous % 384 == 0; }

// ---------------------------------------------------------------------------------------------------------
// Quantization
// ---------------------------------------------------------------------------------------------------------

constexpr uint16_t kMagnitudeMask = 0x7FFF;
constexpr uint16_t kInfBits = 0x7F80;  // magnitudes above this are NaN

// The largest magnitude among n BF16 words, NaNs ignored, as a BF16 bit pattern with the sign cleared
// (0 when every value is zero or NaN). For non-NaN BF16 values the order of the magnitude bit patterns as
// integers is the order of the magnitudes, so the search is exact integer work, eight values at a time.
uint16_t absmax_bits(const uint16_t* x, std::size_t n) {
    std::size_t i = 0;
    uint16_t m = 0;
    if (n >= 8) {
        const __m128i mag = _mm_set1_epi16(static_cast<short>(kMagnitudeMask));
        const __m128i inf = _mm_set1_epi16(static_cast<short>(kInfBits));
        __m128i vm = _mm_setzero_si128();
        for (; i + 8 <= n; i += 8) {
            __m128i v = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(x + i)), mag);
            v = _mm_andnot_si128(_mm_cmpgt_epi16(v, inf), v);  // NaN → 0
            vm = _mm_max_epi16(vm, v);                          // all lanes are non-negative as int16
        }
        vm = _mm_max_epi16(vm, _mm_srli_si128(vm, 8));
        vm = _mm_max_epi16(vm, _mm_srli_si128(vm, 4));
        vm = _mm_max_epi16(vm, _mm_srli_si128(vm, 2));
        m = static_cast<uint16_t>(_mm_cvtsi128_si32(vm) & 0xFFFF);
    }
    for (; i < n; ++i) {
        const uint16_t v = x[i] & kMagnitudeMask;
        if (v <= kInfBits && v > m) m = v;
    }
    return m;
}

// The stored BF16 scale of a group and the multiplier derived from it.
struct GroupScale {
    uint16_t bf16;
    float inv;
};

GroupScale group_scale(uint16_t amax_bits, float qmax) {
    const float amax = bf16_to_f32(amax_bits);
    const float scale = amax != 0.0f ? amax / qmax : 1.0f;
    const uint16_t stored = f32_to_bf16(scale);
    const float s = bf16_to_f32(stored);
    // A NaN scale compares unequal to zero and gives a NaN multiplier (every level then becomes 0).
    const float inv = s != 0.0f ? 1.0f / s : 0.0f;
    return {stored, inv};
}

// round(x × inv), halves away from zero, clamped to [lo, hi]; a NaN product gives 0. Clamping before
// rounding gives the same result (rounding is monotonic and the bounds are integers). The truncation and
// the remainder p − trunc(p) are exact for |p| ≤ 128, so no addition of 0.5 can round the wrong way.
inline int level_of(float x, float inv, float lo, float hi) {
    float p = x * inv;
    if (p != p) return 0;
    p = p < lo ? lo : (p > hi ? hi : p);
    const int t = static_cast<int>(p);
    const float frac = p - static_cast<float>(t);
    return t + (frac >= 0.5f ? 1 : 0) - (frac <= -0.5f ? 1 : 0);
}

// The same arithmetic on four products at a time.
inline __m128i levels4(__m128 p, __m128 lo, __m128 hi) {
    const __m128 half = _mm_set1_ps(0.5f);
    const __m128 neg_half = _mm_set1_ps(-0.5f);
    p = _mm_and_ps(p, _mm_cmpord_ps(p, p));  // NaN → 0
    p = _mm_min_ps(_mm_max_ps(p, lo), hi);
    const __m128i t = _mm_cvttps_epi32(p);
    const __m128 frac = _mm_sub_ps(p, _mm_cvtepi32_ps(t));
    const __m128i up = _mm_castps_si128(_mm_cmpge_ps(frac, half));        // −1 where a step up
    const __m128i down = _mm_castps_si128(_mm_cmple_ps(frac, neg_half));  // −1 where a step down
    return _mm_add_epi32(_mm_sub_epi32(t, up), down);
}

// Levels of eight consecutive BF16 values sharing one multiplier, as eight int16 lanes.
inline __m128i levels8(const uint16_t* x, __m128 inv, __m128 lo, __m128 hi) {
    const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x));
    const __m128i zero = _mm_setzero_si128();
    const __m128 a = _mm_castsi128_ps(_mm_unpacklo_epi16(zero, raw));  // widening: bits above 16 zeros
    const __m128 b = _mm_castsi128_ps(_mm_unpackhi_epi16(zero, raw));
    return _mm_packs_epi32(levels4(_mm_mul_ps(a, inv), lo, hi), levels4(_mm_mul_ps(b, inv), lo, hi));
}

// Eight int16 INT4 levels → four bytes (nibble pairs level + 8, lower index in the lower nibble), as the
// four int32 lanes of the result.
inline __m128i nibble_pairs(__m128i levels) {
    const __m128i biased = _mm_add_epi16(levels, _mm_set1_epi16(8));
    return _mm_madd_epi16(biased, _mm_set1_epi32((16 << 16) | 1));  // lane i = n[2i] + 16 × n[2i+1]
}

void check_quantize_preconditions(std::size_t len, uint64_t rows, uint64_t cols, uint64_t group_size) {
    ORVANE_ASSERT_EQ(len, shape_product(rows, cols));
    ORVANE_ASSERT(group_size != 0);
    ORVANE_CHECK(cols % group_size == 0, "cols ({}) must be divisible by group_size ({})", cols, group_size);
}

// Pass 1 of a row: every group's stored scale and multiplier.
void row_scales(const uint16_t* x, uint64_t groups, uint64_t group_size, float qmax, uint16_t* scales_out,
                float* inv_out) {
    for (uint64_t g = 0; g < groups; ++g) {
        const GroupScale gs = group_scale(absmax_bits(x + g * group_size, group_size), qmax);
        scales_out[g] = gs.bf16;
        inv_out[g] = gs.inv;
    }
}

}  // namespace

QuantizedInt4 quantize_int4(std::span<const uint16_t> bf16, uint64_t rows, uint64_t cols, uint64_t group_size) {
    check_quantize_preconditions(bf16.size(), rows, cols, group_size);
    ORVANE_CHECK(cols % 8 == 0, "cols ({}) must be divisible by {}", cols, 8);

    const uint64_t groups = cols / group_size;
    const uint64_t words_per_row = cols / 8;
    QuantizedInt4 q;
    q.packed.assign(rows * words_per_row, 0u);
    q.scales.assign(rows * groups, 0);
    q.rows = rows;
    q.cols = cols;
    q.group_size = group_size;

    std::vector<float> inv(groups);
    const __m128 lo = _mm_set1_ps(-8.0f);
    const __m128 hi = _mm_set1_ps(7.0f);
    for (uint64_t n = 0; n < rows; ++n) {
        const uint16_t* x = bf16.data() + n * cols;
        uint32_t* out = q.packed.data() + n * words_per_row;
        row_scales(x, groups, group_size, 7.0f, q.scales.data() + n * groups, inv.data());

        if (group_size % 8 == 0) {
            // Every word lies inside one group.
            for (uint64_t g = 0; g < groups; ++g) {
                const __m128 vinv = _mm_set1_ps(inv[g]);
                const uint16_t* gx = x + g * group_size;
                uint32_t* gout = out + g * (group_size / 8);
                uint64_t i = 0;
                for (; i + 16 <= group_size; i += 16) {
                    const __m128i pa = nibble_pairs(levels8(gx + i, vinv, lo, hi));
                    const __m128i pb = nibble_pairs(levels8(gx + i + 8, vinv, lo, hi));
                    const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(pa, pb), _mm_setzero_si128());
                    _mm_storel_epi64(reinterpret_cast<__m128i*>(gout + i / 8), bytes);
                }
                if (i < group_size) {
                    const __m128i pa = nibble_pairs(levels8(gx + i, vinv, lo, hi));
                    const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(pa, pa), pa);
                    const uint32_t word = static_cast<uint32_t>(_mm_cvtsi128_si32(bytes));
                    std::memcpy(gout + i / 8, &word, sizeof word);
                }
            }
        } else {
            // Groups that split words: value by value.
            for (uint64_t g = 0; g < groups; ++g) {
                for (uint64_t i = 0; i < group_size; ++i) {
                    const uint64_t k = g * group_size + i;
                    const int level = level_of(bf16_to_f32(x[k]), inv[g], -8.0f, 7.0f);
                    out[k / 8] |= static_cast<uint32_t>(level + 8) << (4 * (k % 8));
                }
            }
        }
    }
    return q;
}

QuantizedInt8 quantize_int8(std::span<const uint16_t> bf16, uint64_t rows, uint64_t cols, uint64_t group_size) {
    check_quantize_preconditions(bf16.size(), rows, cols, group_size);

    const uint64_t groups = cols / group_size;
    QuantizedInt8 q;
    q.data.assign(rows * cols, 0);
    q.scales.assign(rows * groups, 0);
    q.rows = rows;
    q.cols = cols;
    q.group_size = group_size;

    std::vector<float> inv(groups);
    const __m128 lo = _mm_set1_ps(-128.0f);
    const __m128 hi = _mm_set1_ps(127.0f);
    for (uint64_t n = 0; n < rows; ++n) {
        const uint16_t* x = bf16.data() + n * cols;
        int8_t* out = q.data.data() + n * cols;
        row_scales(x, groups, group_size, 127.0f, q.scales.data() + n * groups, inv.data());

        if (group_size % 8 == 0) {
            for (uint64_t g = 0; g < groups; ++g) {
                const __m128 vinv = _mm_set1_ps(inv[g]);
                const uint16_t* gx = x + g * group_size;
                int8_t* gout = out + g * group_size;
                uint64_t i = 0;
                for (; i + 16 <= group_size; i += 16) {
                    const __m128i bytes =
                        _mm_packs_epi16(levels8(gx + i, vinv, lo, hi), levels8(gx + i + 8, vinv, lo, hi));
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(gout + i), bytes);
                }
                if (i < group_size) {
                    const __m128i l = levels8(gx + i, vinv, lo, hi);
                    _mm_storel_epi64(reinterpret_cast<__m128i*>(gout + i), _mm_packs_epi16(l, l));
                }
            }
        } else {
            for (uint64_t g = 0; g < groups; ++g) {
                for (uint64_t i = 0; i < group_size; ++i) {
                    const uint64_t k = g * group_size + i;
                    out[k] = static_cast<int8_t>(level_of(bf16_to_f32(x[k]), inv[g], -128.0f, 127.0f));
                }
            }
        }
    }
    return q;
}

// ---------------------------------------------------------------------------------------------------------
// Marlin repacking
// ---------------------------------------------------------------------------------------------------------

namespace {

struct RepackShape {
    uint64_t n;       // output features (the source's rows)
    uint64_t k;       // input features (the source's cols)
    uint64_t groups;  // scales per row
};

RepackShape check_repack_preconditions(uint64_t rows, uint64_t cols, uint64_t group_size,
                                       std::size_t scales_len) {
    ORVANE_CHECK(cols % 16 == 0, "K ({}) must be divisible by {}", cols, 16);
    ORVANE_CHECK(rows % 64 == 0, "N ({}) must be divisible by 64 (Marlin tile constraint)", rows);
    ORVANE_ASSERT(group_size != 0);
    const RepackShape s{rows, cols, cols / group_size};
    const uint64_t need = shape_product(s.n, s.groups);
    ORVANE_CHECK(scales_len >= need, "scales has {} entries, {} rows of {} groups need {}", scales_len, s.n,
                 s.groups, need);
    return s;
}

// Step 2: T[kt][256 nt + 16 ki + nj] = U[16 nt + nj][16 kt + ki], one 16 × 16 byte tile at a time. Four
// rounds of pairwise byte interleaving (vector i with vector i + 8) rotate the 8-bit (vector, byte) index
// left by one bit each, so after four rounds vector ki holds byte nj of source row nj at position ki.
void tile_transpose(const uint8_t* u, uint8_t* t, uint64_t n, uint64_t k) {
    const uint64_t row_bytes = 16 * n;  // one row of T
    for (uint64_t nt = 0; nt < n / 16; ++nt) {
        const uint8_t* band = u + nt * 16 * k;
        for (uint64_t kt = 0; kt < k / 16; ++kt) {
            __m128i r[16];
            for (int j = 0; j < 16; ++j) {
                r[j] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(band + j * k + 16 * kt));
            }
            for (int round = 0; round < 4; ++round) {
                __m128i next[16];
                for (int i = 0; i < 8; ++i) {
                    next[2 * i] = _mm_unpacklo_epi8(r[i], r[i + 8]);
                    next[2 * i + 1] = _mm_unpackhi_epi8(r[i], r[i + 8]);
                }
                for (int j = 0; j < 16; ++j) r[j] = next[j];
            }
            uint8_t* dst = t + kt * row_bytes + 256 * nt;
            for (int ki = 0; ki < 16; ++ki) _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16 * ki), r[ki]);
        }
    }
}

// Step 3: every 1024-byte chunk of T permuted, P[1024c + l] = T[1024c + perm[l]].
//
// Both chunk permutations share one structure: with l = 32 (4 col + a) + 8 j + e (col < 8, a < 4, j < 4,
// e < 8), perm[l] = 32 a + col + 256 j + perm[e]. So for fixed (a, j) the eight columns col = 0 … 7 of every
// e read eight consecutive bytes of T, and an 8 × 8 byte transpose puts them in place. The structure is
// checked once per table; a table without it takes the plain gather.
bool has_column_structure(const std::array<uint16_t, 1024>& perm) {
    for (unsigned col = 0; col < 8; ++col) {
        for (unsigned a = 0; a < 4; ++a) {
            for (unsigned j = 0; j < 4; ++j) {
                for (unsigned e = 0; e < 8; ++e) {
                    const unsigned l = 32 * (4 * col + a) + 8 * j + e;
                    if (perm[l] != 32 * a + col + 256 * j + perm[e]) return false;
                }
            }
        }
    }
    return true;
}

void permute_chunks(const uint8_t* t, uint8_t* p, std::size_t bytes, const std::array<uint16_t, 1024>& perm) {
    static const bool perm4_structured = has_column_structure(perm4());
    static const bool perm8_structured = has_column_structure(perm8());
    const bool structured = (&perm == &perm4()) ? perm4_structured
                            : (&perm == &perm8()) ? perm8_structured
                                                  : has_column_structure(perm);
    if (!structured) {
        for (std::size_t c = 0; c < bytes; c += 1024) {
            const uint8_t* src = t + c;
            uint8_t* dst = p + c;
            for (std::size_t l = 0; l < 1024; ++l) dst[l] = src[perm[l]];
        }
        return;
    }
    for (std::size_t c = 0; c < bytes; c += 1024) {
        const uint8_t* src = t + c;
        uint8_t* dst = p + c;
        for (unsigned j = 0; j < 4; ++j) {
            for (unsigned a = 0; a < 4; ++a) {
                const uint8_t* base = src + 32 * a + 256 * j;
                __m128i v[8];  // v[e] byte col = T[base + perm[e] + col]
                for (unsigned e = 0; e < 8; ++e) {
                    v[e] = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(base + perm[e]));
                }
                // 8 × 8 transpose: after it, column col's eight bytes (e = 0 … 7) are contiguous.
                const __m128i s0 = _mm_unpacklo_epi8(v[0], v[1]);
                const __m128i s1 = _mm_unpacklo_epi8(v[2], v[3]);
                const __m128i s2 = _mm_unpacklo_epi8(v[4], v[5]);
                const __m128i s3 = _mm_unpacklo_epi8(v[6], v[7]);
                const __m128i t0 = _mm_unpacklo_epi16(s0, s1);  // columns 0-3, e = 0-3
                const __m128i t1 = _mm_unpackhi_epi16(s0, s1);  // columns 4-7, e = 0-3
                const __m128i t2 = _mm_unpacklo_epi16(s2, s3);  // columns 0-3, e = 4-7
                const __m128i t3 = _mm_unpackhi_epi16(s2, s3);  // columns 4-7, e = 4-7
                const __m128i cols[4] = {_mm_unpacklo_epi32(t0, t2), _mm_unpackhi_epi32(t0, t2),
                                         _mm_unpacklo_epi32(t1, t3), _mm_unpackhi_epi32(t1, t3)};
                for (unsigned q = 0; q < 4; ++q) {
                    uint8_t* even = dst + 32 * (4 * (2 * q) + a) + 8 * j;
                    uint8_t* odd = dst + 32 * (4 * (2 * q + 1) + a) + 8 * j;
                    _mm_storel_epi64(reinterpret_cast<__m128i*>(even), cols[q]);
                    _mm_storel_epi64(reinterpret_cast<__m128i*>(odd), _mm_unpackhi_epi64(cols[q], cols[q]));
                }
            }
        }
    }
}

// Step 5: scales transposed to [G][N], then permuted in chunks of 64 (several groups per row) or 32 (one).
std::vector<uint16_t> repack_scales(const uint16_t* scales, const RepackShape& s, uint64_t group_size) {
    const std::size_t total = s.n * s.groups;
    std::vector<uint16_t> st(total);
    for (uint64_t n = 0; n < s.n; ++n) {
        for (uint64_t g = 0; g < s.groups; ++g) st[g * s.n + n] = scales[n * s.groups + g];
    }
    std::vector<uint16_t> out(total);
    if (group_size < s.k) {
        const auto& perm = scale_perm();
        for (std::size_t c = 0; c < total; c += 64) {
            for (std::size_t j = 0; j < 64; ++j) out[c + j] = st[c + perm[j]];
        }
    } else {
        const auto& perm = scale_perm_single();
        for (std::size_t c = 0; c < total; c += 32) {
            for (std::size_t j = 0; j < 32; ++j) out[c + j] = st[c + perm[j]];
        }
    }
    return out;
}

}  // namespace

MarlinRepacked marlin_repack(const QuantizedInt4& q) {
    const RepackShape s = check_repack_preconditions(q.rows, q.cols, q.group_size, q.scales.size());
    const uint64_t bytes = shape_product(s.n, s.k);
    const uint64_t words = bytes / 8;
    ORVANE_CHECK(q.packed.size() >= words, "packed has {} words, {} rows of {} INT4 values need {}",
                 q.packed.size(), s.n, s.k, words);

    Clock::time_point mark = Clock::now();
    const Clock::time_point start = mark;

    // Step 1: unpack every nibble into a byte of U ([N][K], values 0 … 15). Byte b of a word holds the
    // nibbles of k = 2b (low) and 2b + 1 (high), so interleaving the low and high nibbles restores k order.
    auto u = std::make_unique_for_overwrite<uint8_t[]>(bytes);  // every byte is written below
    {
        const uint8_t* src = reinterpret_cast<const uint8_t*>(q.packed.data());
        const __m128i mask = _mm_set1_epi8(0x0F);
        std::size_t i = 0;
        for (; i + 16 <= words * 4; i += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
            const __m128i lo = _mm_and_si128(v, mask);
            const __m128i hi = _mm_and_si128(_mm_srli_epi16(v, 4), mask);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(u.get() + 2 * i), _mm_unpacklo_epi8(lo, hi));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(u.get() + 2 * i + 16), _mm_unpackhi_epi8(lo, hi));
        }
        for (std::size_t w = i / 4; w < words; ++w) {
            for (unsigned j = 0; j < 8; ++j) u[8 * w + j] = static_cast<uint8_t>((q.packed[w] >> (4 * j)) & 0xF);
        }
    }
    const double unpack_ms = ms_since(mark);

    auto t = std::make_unique_for_overwrite<uint8_t[]>(bytes);
    tile_transpose(u.get(), t.get(), s.n, s.k);
    const double transpose_ms = ms_since(mark);

    uint8_t* p = u.get();  // U is no longer needed: it holds P
    permute_chunks(t.get(), p, bytes, perm4());
    const double tile_ms = ms_since(mark);

    // Step 4: word w = Σ P[8w + i] << 4i. Within a 16-bit lane (bytes a, b): lane | lane >> 4 has
    // a | b << 4 in its low byte.
    MarlinRepacked r;
    r.packed.resize(words);
    {
        uint8_t* dst = reinterpret_cast<uint8_t*>(r.packed.data());
        const __m128i low_byte = _mm_set1_epi16(0x00FF);
        std::size_t i = 0;
        for (; i + 32 <= bytes; i += 32) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16));
            const __m128i pa = _mm_and_si128(_mm_or_si128(a, _mm_srli_epi16(a, 4)), low_byte);
            const __m128i pb = _mm_and_si128(_mm_or_si128(b, _mm_srli_epi16(b, 4)), low_byte);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i / 2), _mm_packus_epi16(pa, pb));
        }
        for (std::size_t w = i / 8; w < words; ++w) {
            uint32_t word = 0;
            for (unsigned j = 0; j < 8; ++j) word |= static_cast<uint32_t>(p[8 * w + j]) << (4 * j);
            r.packed[w] = word;
        }
    }
    u.reset();
    t.reset();
    const double pack_ms = ms_since(mark);

    r.scales = repack_scales(q.scales.data(), s, q.group_size);
    const double scales_ms = ms_since(mark);
    r.k = s.k;
    r.n = s.n;
    r.group_size = q.group_size;

    const double total_ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (should_log(REPACK_LOG_COUNT.fetch_add(1, std::memory_order_relaxed))) {
        marlin_log().info(
            "marlin_repack [{}×{}] total={:.1f}ms: unpack={:.1f} transpose={:.1f} tile={:.1f} pack={:.1f} "
            "scales={:.1f}ms",
            s.n, s.k, total_ms, unpack_ms, transpose_ms, tile_ms, pack_ms, scales_ms);
    }
    return r;
}

MarlinRepacked marlin_repack_int8(const QuantizedInt8& q) {
    static_assert(std::endian::native == std::endian::little, "the INT8 pack step relies on byte order");
    const RepackShape s = check_repack_preconditions(q.rows, q.cols, q.group_size, q.scales.size());
    const uint64_t bytes = shape_product(s.n, s.k);
    ORVANE_CHECK(q.data.size() >= bytes, "data has {} bytes, {} rows of {} INT8 values need {}", q.data.size(),
                 s.n, s.k, bytes);

    Clock::time_point mark = Clock::now();
    const Clock::time_point start = mark;

    // Step 1: U[n][k] = level + 128 as an unsigned byte (the top bit flipped).
    auto u = std::make_unique_for_overwrite<uint8_t[]>(bytes);  // every byte is written below
    {
        const uint8_t* src = reinterpret_cast<const uint8_t*>(q.data.data());
        const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80));
        std::size_t i = 0;
        for (; i + 16 <= bytes; i += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(u.get() + i), _mm_xor_si128(v, flip));
        }
        for (; i < bytes; ++i) u[i] = static_cast<uint8_t>(src[i] ^ 0x80u);
    }
    const double convert_ms = ms_since(mark);

    auto t = std::make_unique_for_overwrite<uint8_t[]>(bytes);
    tile_transpose(u.get(), t.get(), s.n, s.k);
    uint8_t* p = u.get();
    permute_chunks(t.get(), p, bytes, perm8());
    const double tile_perm_ms = ms_since(mark);

    // Step 4: word w = Σ P[4w + i] << 8i, i.e. the bytes in little-endian order.
    MarlinRepacked r;
    r.packed.resize(bytes / 4);
    if (bytes != 0) std::memcpy(r.packed.data(), p, bytes);
    u.reset();
    t.reset();
    const double pack_ms = ms_since(mark);

    r.scales = repack_scales(q.scales.data(), s, q.group_size);
    const double scales_ms = ms_since(mark);
    r.k = s.k;
    r.n = s.n;
    r.group_size = q.group_size;

    const double total_ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (should_log(REPACK_INT8_LOG_COUNT.fetch_add(1, std::memory_order_relaxed))) {
        marlin_log().info(
            "marlin_repack_int8 [{}×{}] total={:.1f}ms: convert={:.1f} tile+perm={:.1f} pack={:.1f} scales={:.1f}ms",
            s.n, s.k, total_ms, convert_ms, tile_perm_ms, pack_ms, scales_ms);
    }
    return r;
}

}  // namespace orvane::weights::marlin
