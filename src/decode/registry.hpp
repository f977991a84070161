#pragma once
// The decode weight registry: dense matrices quantized once to INT4/INT8 in the transposed layout, f32 norm
// vectors and f32 routing gates, addressed by ids handed out in registration order and never reused.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/errors.hpp"
#include "core/huge_alloc.hpp"

namespace orvane::decode {

struct TransposedWeight {
    HugeVector<uint32_t> packed;    // INT4: (cols/8) x rows words; INT8: ceil(rows*cols/4) words of a [cols][rows] byte matrix
    HugeVector<uint16_t> scales;    // BF16, (cols/group_size) x rows, index g * rows + n
    std::size_t rows = 0;           // N, output dimension
    std::size_t cols = 0;           // K, input dimension
    std::size_t group_size = 0;
    bool tiled = false;
    uint8_t num_bits = 4;

    std::size_t bytes() const { return 4 * packed.size() + 2 * scales.size(); }
};

struct RouteWeight {
    std::vector<float> data;  // num_experts x hidden_dim, row-major
    std::optional<std::vector<float>> bias;
    std::optional<std::vector<float>> e_score_correction;
    std::size_t num_experts = 0;
    std::size_t hidden_dim = 0;

    std::size_t bytes() const;
};

// Quantizes a row-major f32 [rows, cols] matrix into the transposed layout. Errors are the registration's
// value errors; a zero group size or one the kernels cannot use throws InternalError.
Result<TransposedWeight> quantize_transposed(const float* data, std::size_t rows, std::size_t cols,
                                             uint8_t num_bits, std::size_t group_size);

class CpuDecodeStore {
public:
    CpuDecodeStore(std::size_t group_size, bool parallel, bool norm_bias_one);
    CpuDecodeStore(const CpuDecodeStore&) = delete;
    CpuDecodeStore& operator=(const CpuDecodeStore&) = delete;

    Result<std::size_t> store_weight_f32(const float* data, std::size_t rows, std::size_t cols, uint8_t num_bits);
    Result<void> matmul(std::size_t weight_id, const float* input, float* output);
    Result<void> matmul_batch(std::span<const std::size_t> weight_ids, const float* input,
                              std::span<float* const> outputs);
    std::size_t store_norm_weight(const float* data, std::size_t size);
    std::size_t store_route_weight(const float* data, std::size_t num_experts, std::size_t hidden_dim,
                                   const float* bias, std::size_t bias_len, const float* e_score_corr,
                                   std::size_t e_score_corr_len);

    std::size_t weight_bytes(std::size_t weight_id) const;  // InternalError when out of range
    std::size_t num_weights() const { return weights.size(); }
    std::size_t total_bytes() const;
    std::size_t num_route_weights() const { return route_weights.size(); }

    const TransposedWeight& weight(std::size_t weight_id) const;  // InternalError when out of range

    std::vector<TransposedWeight> weights;
    std::vector<int16_t> act_int16;
    std::vector<float> act_scales;
    std::vector<RouteWeight> route_weights;
    std::vector<std::vector<float>> norms;
    std::vector<float> route_logits;
    std::vector<float> route_scores;
    std::vector<float> route_biased;
    std::vector<std::pair<void*, std::size_t>> mmap_regions;
    std::size_t max_k = 0;
    std::size_t group_size;
    bool parallel;
    bool norm_bias_one;

private:
    // Quantizes `cols` input floats into the shared activation scratch.
    void quantize_input(const float* input, std::size_t cols, std::size_t group_size);
};

// Runs the kernel matching the weight's width and tiling; the parallel kernels only for more than 64 rows.
void dispatch_matmul_free(const TransposedWeight& w, std::span<const int16_t> act, std::span<const float> act_scales,
                          std::span<float> output, bool parallel);

// Same, for a registered weight id with the store's parallel flag.
void dispatch_matmul(const CpuDecodeStore& store, std::size_t weight_id, std::span<const int16_t> act,
                     std::span<const float> act_scales, std::span<float> output);

}  // namespace orvane::decode
