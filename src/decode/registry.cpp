#include "decode/registry.hpp"

#include <cmath>
#include <limits>

#include "core/bf16.hpp"
#include "core/logging.hpp"
#include "core/thread_pool.hpp"
#include "kernel/avx2/activation.hpp"
#include "kernel/avx2/transposed.hpp"

namespace orvane::decode {

namespace {

// round(x * inv) with halves away from zero, converted with saturation (NaN -> 0), clamped to [lo, hi].
inline int32_t quantize_level(float x, float inv, int32_t lo, int32_t hi) {
    const float r = std::round(x * inv);
    int32_t q;
    if (std::isnan(r)) {
        q = 0;
    } else if (r >= 2147483648.0f) {
        q = std::numeric_limits<int32_t>::max();
    } else if (r < -2147483648.0f) {
        q = std::numeric_limits<int32_t>::min();
    } else {
        q = static_cast<int32_t>(r);
    }
    return q < lo ? lo : (q > hi ? hi : q);
}

// Largest exact group sum of the integer kernels: |level| * 32768 * group_size must fit in 32 bits.
constexpr std::size_t kMaxGroupInt4 = 8191;
constexpr std::size_t kMaxGroupInt8 = 511;

}  // namespace

std::size_t RouteWeight::bytes() const {
    std::size_t n = data.size();
    if (bias) n += bias->size();
    if (e_score_correction) n += e_score_correction->size();
    return 4 * n;
}

Result<TransposedWeight> quantize_transposed(const float* data, std::size_t rows, std::size_t cols,
                                             uint8_t num_bits, std::size_t group_size) {
    if (num_bits != 4 && num_bits != 8) return std::unexpected(fmt::format("num_bits must be 4 or 8, got {}", num_bits));
    ORVANE_CHECK(group_size != 0, "assertion failed: group_size != 0");
    if (cols % group_size != 0)
        return std::unexpected(fmt::format("cols {} must be divisible by group_size {}", cols, group_size));
    if (num_bits == 4 && cols % 8 != 0)
        return std::unexpected(fmt::format("cols {} must be divisible by 8 for INT4", cols));
    if (num_bits == 4) {
        ORVANE_CHECK(group_size % 8 == 0, "assertion failed: group_size % 8 == 0");
    } else {
        ORVANE_CHECK(group_size % 2 == 0, "assertion failed: group_size % 2 == 0");
    }
    const std::size_t max_group = num_bits == 4 ? kMaxGroupInt4 : kMaxGroupInt8;
    if (group_size > max_group)
        return std::unexpected(fmt::format("group_size {} too large for INT{} (at most {})", group_size,
                                           num_bits, max_group));
    std::size_t elements = 0;
    if (__builtin_mul_overflow(rows, cols, &elements) || elements > (std::numeric_limits<std::size_t>::max() >> 3))
        return std::unexpected(fmt::format("matrix of {} x {} elements is too large", rows, cols));

    const std::size_t groups = cols / group_size;
    TransposedWeight w;
    w.rows = rows;
    w.cols = cols;
    w.group_size = group_size;
    w.num_bits = num_bits;
    w.tiled = false;
    w.scales.assign(groups * rows, 0);
    if (num_bits == 4) {
        w.packed.assign(cols / 8 * rows, 0);
    } else {
        w.packed.assign((elements + 3) / 4, 0);
    }

    const float qmax = num_bits == 4 ? 7.0f : 127.0f;
    const int32_t lo = num_bits == 4 ? -8 : -128;
    const int32_t hi = num_bits == 4 ? 7 : 127;
    uint32_t* packed = w.packed.data();
    uint8_t* bytes = reinterpret_cast<uint8_t*>(w.packed.data());
    uint16_t* scales = w.scales.data();

    pool::parallel_for(rows, [&](std::size_t row_begin, std::size_t row_end) {
        for (std::size_t n = row_begin; n < row_end; ++n) {
            const float* row = data + n * cols;
            for (std::size_t g = 0; g < groups; ++g) {
                const float* x = row + g * group_size;
                float amax = 0.0f;
                for (std::size_t i = 0; i < group_size; ++i) {
                    const float a = std::fabs(x[i]);
                    if (a > amax) amax = a;  // NaN never compares greater
                }
                const float scale = amax > 0.0f ? amax / qmax : 1.0f;
                const float inv = amax > 0.0f ? qmax / amax : 0.0f;
                scales[g * rows + n] = f32_to_bf16(scale);
                if (num_bits == 4) {
                    for (std::size_t j = 0; j < group_size / 8; ++j) {
                        uint32_t word = 0;
                        for (std::size_t i = 0; i < 8; ++i) {
                            const int32_t q = quantize_level(x[8 * j + i], inv, lo, hi);
                            word |= static_cast<uint32_t>(q + 8) << (4 * i);
                        }
                        packed[(g * group_size / 8 + j) * rows + n] = word;
                    }
                } else {
                    for (std::size_t i = 0; i < group_size; ++i) {
                        const int32_t q = quantize_level(x[i], inv, lo, hi);
                        bytes[(g * group_size + i) * rows + n] = static_cast<uint8_t>(static_cast<int8_t>(q));
                    }
                }
            }
        }
    });
    return w;
}

CpuDecodeStore::CpuDecodeStore(std::size_t group_size_, bool parallel_, bool norm_bias_one_)
    : group_size(group_size_), parallel(parallel_), norm_bias_one(norm_bias_one_) {}

Result<std::size_t> CpuDecodeStore::store_weight_f32(const float* data, std::size_t rows, std::size_t cols,
                                                     uint8_t num_bits) {
    Result<TransposedWeight> w = quantize_transposed(data, rows, cols, num_bits, group_size);
    if (!w) return std::unexpected(std::move(w.error()));

    // Allocate everything that can fail before changing the store.
    weights.reserve(weights.size() + 1);
    if (cols > max_k) {
        std::vector<int16_t> act(cols, 0);
        std::vector<float> act_s(cols / group_size, 0.0f);
        act_int16.swap(act);
        act_scales.swap(act_s);
        max_k = cols;
    }
    const std::size_t id = weights.size();
    log::decode().debug("Stored weight {}: [{}x{}] INT{} transposed, {:.1f} KB", id, rows, cols, num_bits,
                        static_cast<double>(w->bytes()) / 1024.0);
    weights.push_back(std::move(*w));
    return id;
}

void CpuDecodeStore::quantize_input(const float* input, std::size_t cols, std::size_t gs) {
    ORVANE_CHECK(gs != 0, "assertion failed: group_size != 0");
    kernel::avx2::quantize_activation_int16_f32(std::span<const float>(input, cols), gs,
                                                std::span<int16_t>(act_int16.data(), cols),
                                                std::span<float>(act_scales.data(), cols / gs));
}

const TransposedWeight& CpuDecodeStore::weight(std::size_t weight_id) const {
    ORVANE_CHECK(weight_id < weights.size(), "index out of bounds: the len is {} but the index is {}",
                 weights.size(), weight_id);
    return weights[weight_id];
}

Result<void> CpuDecodeStore::matmul(std::size_t weight_id, const float* input, float* output) {
    if (weight_id >= weights.size())
        return std::unexpected(fmt::format("weight_id {} out of range ({})", weight_id, weights.size()));
    const TransposedWeight& w = weights[weight_id];
    quantize_input(input, w.cols, w.group_size);
    dispatch_matmul_free(w, std::span<const int16_t>(act_int16.data(), w.cols),
                         std::span<const float>(act_scales.data(), w.cols / w.group_size),
                         std::span<float>(output, w.rows), parallel);
    return {};
}

Result<void> CpuDecodeStore::matmul_batch(std::span<const std::size_t> weight_ids, const float* input,
                                          std::span<float* const> outputs) {
    if (weight_ids.size() != outputs.size())
        return std::unexpected(std::string("weight_ids and output_ptrs must have same length"));
    if (weight_ids.empty()) return {};
    const TransposedWeight& first = weight(weight_ids[0]);
    const std::size_t k = first.cols;
    const std::size_t gs = first.group_size;
    quantize_input(input, k, gs);
    const std::span<const int16_t> act(act_int16.data(), k);
    const std::span<const float> act_s(act_scales.data(), k / gs);
    for (std::size_t i = 0; i < weight_ids.size(); ++i) {
        const TransposedWeight& w = weight(weight_ids[i]);
        if (w.cols != k) fail("All weights in batch must have same K");
        dispatch_matmul_free(w, act, act_s, std::span<float>(outputs[i], w.rows), parallel);
    }
    return {};
}

std::size_t CpuDecodeStore::store_norm_weight(const float* data, std::size_t size) {
    std::vector<float> v(data, data + size);
    norms.push_back(std::move(v));
    return norms.size() - 1;
}

std::size_t CpuDecodeStore::store_route_weight(const float* data, std::size_t num_experts, std::size_t hidden_dim,
                                               const float* bias, std::size_t bias_len, const float* e_score_corr,
                                               std::size_t e_score_corr_len) {
    std::size_t elements = 0;
    ORVANE_CHECK(!__builtin_mul_overflow(num_experts, hidden_dim, &elements),
                 "route weight of {} x {} elements is too large", num_experts, hidden_dim);
    RouteWeight r;
    r.num_experts = num_experts;
    r.hidden_dim = hidden_dim;
    r.data.assign(data, data + elements);
    if (bias != nullptr && bias_len > 0) r.bias.emplace(bias, bias + bias_len);
    if (e_score_corr != nullptr && e_score_corr_len > 0)
        r.e_score_correction.emplace(e_score_corr, e_score_corr + e_score_corr_len);

    route_weights.reserve(route_weights.size() + 1);
    if (route_logits.size() < num_experts) {
        route_logits.resize(num_experts, 0.0f);
        route_scores.resize(num_experts, 0.0f);
        route_biased.resize(num_experts, 0.0f);
    }
    const std::size_t id = route_weights.size();
    log::decode().debug("Stored route weight {}: [{}x{}] f32, {:.1f} KB", id, num_experts, hidden_dim,
                        static_cast<double>(r.bytes()) / 1024.0);
    route_weights.push_back(std::move(r));
    return id;
}

std::size_t CpuDecodeStore::weight_bytes(std::size_t weight_id) const { return weight(weight_id).bytes(); }

std::size_t CpuDecodeStore::total_bytes() const {
    std::size_t total = 0;
    for (const TransposedWeight& w : weights) total += w.bytes();
    for (const RouteWeight& r : route_weights) total += r.bytes();
    return total;
}

void dispatch_matmul_free(const TransposedWeight& w, std::span<const int16_t> act, std::span<const float> act_scales,
                          std::span<float> output, bool parallel) {
    namespace k = kernel::avx2;
    const bool par = parallel && w.rows > 64;
    const std::span<const uint32_t> packed(w.packed);
    const std::span<const uint16_t> scales(w.scales);
    const std::size_t K = w.cols, N = w.rows, gs = w.group_size;
    if (w.num_bits == 4) {
        if (!w.tiled && !par) return k::matmul_int4_transposed_integer(packed, scales, act, act_scales, output, K, N, gs);
        if (w.tiled && !par) return k::matmul_int4_transposed_integer_tiled(packed, scales, act, act_scales, output, K, N, gs);
        if (!w.tiled) return k::matmul_int4_transposed_integer_parallel(packed, scales, act, act_scales, output, K, N, gs);
        return k::matmul_int4_transposed_integer_parallel_tiled(packed, scales, act, act_scales, output, K, N, gs);
    }
    if (w.num_bits == 8) {
        if (!w.tiled && !par) return k::matmul_int8_transposed_integer(packed, scales, act, act_scales, output, K, N, gs);
        if (w.tiled && !par) return k::matmul_int8_transposed_integer_tiled(packed, scales, act, act_scales, output, K, N, gs);
        if (!w.tiled) return k::matmul_int8_transposed_integer_parallel(packed, scales, act, act_scales, output, K, N, gs);
        return k::matmul_int8_transposed_integer_parallel_tiled(packed, scales, act, act_scales, output, K, N, gs);
    }
    unreachable();
}

void dispatch_matmul(const CpuDecodeStore& store, std::size_t weight_id, std::span<const int16_t> act,
                     std::span<const float> act_scales, std::span<float> output) {
    dispatch_matmul_free(store.weight(weight_id), act, act_scales, output, store.parallel);
}

}  // namespace orvane::decode
