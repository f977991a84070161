#pragma once
// Group quantization of BF16 weight matrices and the repacking into the GPU Marlin tile layout.
//
// A weight matrix has `rows` = N output features and `cols` = K input features, row-major ([N][K]), with
// G = K / group_size BF16 scales per row. The quantizers turn BF16 input into the row-major INT4 / INT8
// forms read by the CPU kernels and by the layout conversions; the repackers turn those forms into the
// Marlin layout that the host's GPU prefill kernels read directly.
//
// All functions are pure (apart from the two log counters), allocate their results and may run
// concurrently on different matrices. Violated preconditions and arrays shorter than their shape throw
// orvane::InternalError.

#include <array>
#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

namespace orvane::weights::marlin {

// Row-major INT4: word n × (K/8) + j holds W[n][8j … 8j+7]; the value for k = 8j + i sits in bits
// 4i … 4i+3 as the unsigned nibble level + 8 (level in [−8, 7]). Scales: BF16, index n × G + g.
struct QuantizedInt4 {
    std::vector<uint32_t> packed;
    std::vector<uint16_t> scales;
    uint64_t rows = 0;
    uint64_t cols = 0;
    uint64_t group_size = 0;
};

// Row-major INT8: one signed level in [−128, 127] per value, index n × K + k. Scales as for INT4.
struct QuantizedInt8 {
    std::vector<int8_t> data;
    std::vector<uint16_t> scales;
    uint64_t rows = 0;
    uint64_t cols = 0;
    uint64_t group_size = 0;
};

// The Marlin layout. `packed` holds K/16 rows (one per 16 input features) of 2N words (INT4) or 4N words
// (INT8); `scales` holds the G × N scales transposed to [G][N] and permuted in chunks.
// Note the order: k (the source's cols) before n (the source's rows).
struct MarlinRepacked {
    std::vector<uint32_t> packed;
    std::vector<uint16_t> scales;
    uint64_t k = 0;
    uint64_t n = 0;
    uint64_t group_size = 0;
};

// Process-wide call counters of the two repackers; they only throttle the timing log lines (the first
// five calls and then one in 384 log).
extern std::atomic<uint64_t> REPACK_LOG_COUNT;
extern std::atomic<uint64_t> REPACK_INT8_LOG_COUNT;

// Quantizes a row-major BF16 matrix (`bf16.size()` == rows × cols) with one BF16 scale per `group_size`
// inputs: scale = max|x| / 7 (INT4) or / 127 (INT8), 1.0 for an all-zero group, rounded to BF16; each level
// is round(x / stored scale), halves away from zero, clamped, NaN → 0.
QuantizedInt4 quantize_int4(std::span<const uint16_t> bf16, uint64_t rows, uint64_t cols, uint64_t group_size);
QuantizedInt8 quantize_int8(std::span<const uint16_t> bf16, uint64_t rows, uint64_t cols, uint64_t group_size);

// Repacks a row-major INT4 / INT8 matrix into the Marlin layout (K divisible by 16, N by 64).
MarlinRepacked marlin_repack(const QuantizedInt4& q);
MarlinRepacked marlin_repack_int8(const QuantizedInt8& q);

// The permutation tables of the Marlin layout, built once on first use.
// Base permutation of a 1024-byte chunk, from which the INT4 and INT8 permutations are derived.
const std::array<uint16_t, 1024>& base_perm();
// INT4 chunk permutation: the base permutation reordered 0, 2, 4, 6, 1, 3, 5, 7 within groups of 8.
const std::array<uint16_t, 1024>& perm4();
// INT8 chunk permutation: the base permutation reordered 0, 2, 1, 3 within groups of 4.
const std::array<uint16_t, 1024>& perm8();
// Scale permutation in chunks of 64 (several groups per row): i + 8j.
const std::array<uint16_t, 64>& scale_perm();
// Scale permutation in chunks of 32 (one group per row): 2i + {0, 1, 8, 9, 16, 17, 24, 25}.
const std::array<uint16_t, 32>& scale_perm_single();

}  // namespace orvane::weights::marlin
