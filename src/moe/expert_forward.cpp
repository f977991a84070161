#include "moe/expert_forward.hpp"

#include <xmmintrin.h>

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <limits>
#include <variant>

#include <numa.h>

#include "core/errors.hpp"
#include "core/logging.hpp"
#include "core/thread_pool.hpp"
#include "kernel/avx2/activation.hpp"
#include "kernel/avx2/rowmajor.hpp"
#include "kernel/avx2/transposed.hpp"
#include "numa/topology.hpp"

namespace orvane::moe {

namespace k = orvane::kernel::avx2;
using weights::ExpertWeights;
using weights::QuantWeight;
using weights::UnifiedExpertWeights;
using weights::WeightStore;

// ---------------------------------------------------------------------------------------------------------
// Scratch.

ExpertScratch ExpertScratch::create(std::size_t hidden, std::size_t inter, std::size_t group_size) {
    ORVANE_CHECK(group_size != 0, "ExpertScratch: group_size must be non-zero");
    ExpertScratch s;
    s.gate.assign(inter, 0.0f);
    s.up.assign(inter, 0.0f);
    s.output.assign(hidden, 0.0f);
    s.act_int16.assign(hidden, 0);
    s.act_scales.assign(hidden / group_size, 0.0f);
    s.mid_int16.assign(inter, 0);
    s.mid_scales.assign(inter / group_size, 0.0f);
    s.gate_up.assign(2 * inter, 0.0f);
    s.group_size = group_size;
    return s;
}

// ---------------------------------------------------------------------------------------------------------
// Activation.

namespace {

// e^z in single precision: clamp to [−20, 20], split z · log2 e into integer and fraction, degree-5
// polynomial in the fraction (Horner, separate multiplies and adds), times 2^k built in the exponent field.
inline float exp_poly(float z) {
    if (z < -20.0f) z = -20.0f;
    if (z > 20.0f) z = 20.0f;
    const float t = z * 1.442695f;
    const float fl = std::floor(t);
    // floor(t) to an integer with saturation, NaN giving 0; |t| < 29 for every clamped argument.
    std::int32_t kk = 0;
    if (fl == fl) kk = fl >= 2147483647.0f ? std::numeric_limits<std::int32_t>::max()
                      : fl <= -2147483648.0f ? std::numeric_limits<std::int32_t>::min()
                                            : static_cast<std::int32_t>(fl);
    const float f = t - fl;
    float p = 0.0013333558f * f;
    p = p + 0.009618129f;
    p = p * f;
    p = p + 0.0555041f;
    p = p * f;
    p = p + 0.2402265f;
    p = p * f;
    p = p + 0.6931472f;
    p = p * f;
    p = p + 1.0f;
    const std::uint32_t bits = static_cast<std::uint32_t>(kk + 127) << 23;
    return p * std::bit_cast<float>(bits);
}

inline float sigmoid(float x) { return 1.0f / (exp_poly(-x) + 1.0f); }

}  // namespace

float clamped_swiglu(float gate, float up, float limit, float alpha) {
    const float g = std::min(gate, limit);
    const float u = std::min(std::max(up, -limit), limit);
    const float s = sigmoid(alpha * g);
    return (s * g) * (u + 1.0f);
}

namespace {

// SiLU(gate) · up into gate, then its INT16 quantization: the fused pass when the length and the group size
// are multiples of 8, else the scalar form.
void silu_mul_quantize(float* gate, const float* up, std::span<std::int16_t> mid, std::span<float> mid_scales,
                       std::size_t inter, std::size_t group_size) {
    ORVANE_ASSERT_EQ(mid.size(), inter);
    ORVANE_ASSERT_EQ(mid_scales.size(), inter / group_size);
    ORVANE_CHECK(inter % group_size == 0, "assertion failed: k % group_size == 0");
    if (inter % 8 == 0 && group_size % 8 == 0) {
        k::silu_quantize_int16_avx2(gate, up, mid.data(), mid_scales.data(), inter, group_size);
    } else {
        k::silu_mul_quantize_int16_scalar(gate, up, mid.data(), mid_scales.data(), inter, group_size);
    }
}

// ---------------------------------------------------------------------------------------------------------
// Transposed products.

std::size_t tiles_of(std::size_t n) { return (n + k::TILE_N - 1) / k::TILE_N; }

// Words of a K × N transposed matrix of the given width and layout, and its scale count.
std::size_t packed_words(std::size_t kk, std::size_t n, std::uint8_t bits, bool tiled) {
    if (bits == 4) return tiled ? tiles_of(n) * (kk / 8) * k::TILE_N : (kk / 8) * n;
    return tiled ? tiles_of(n) * kk * (k::TILE_N / 4) : (kk * n + 3) / 4;
}
std::size_t scale_count(std::size_t kk, std::size_t n, std::size_t group_size, bool tiled) {
    return tiled ? tiles_of(n) * (kk / group_size) * k::TILE_N : (kk / group_size) * n;
}

using TransposedProduct = void (*)(std::span<const std::uint32_t>, std::span<const std::uint16_t>,
                                   std::span<const std::int16_t>, std::span<const float>, std::span<float>,
                                   std::size_t, std::size_t, std::size_t);

TransposedProduct choose_product(std::uint8_t bits, bool tiled, bool parallel) {
    ORVANE_CHECK(bits == 4 || bits == 8, "Unsupported expert weight width: {} bits (4 or 8)", bits);
    if (bits == 4) {
        if (tiled) return parallel ? k::matmul_int4_transposed_integer_parallel_tiled
                                   : k::matmul_int4_transposed_integer_tiled;
        return parallel ? k::matmul_int4_transposed_integer_parallel : k::matmul_int4_transposed_integer;
    }
    if (tiled) return parallel ? k::matmul_int8_transposed_integer_parallel_tiled
                               : k::matmul_int8_transposed_integer_tiled;
    return parallel ? k::matmul_int8_transposed_integer_parallel : k::matmul_int8_transposed_integer;
}

// One transposed product with its arrays checked against the shape first (the tiled and parallel kernels
// trust their extents).
void transposed_product(std::span<const std::uint32_t> packed, std::span<const std::uint16_t> scales,
                        std::uint8_t bits, bool tiled, bool parallel, std::span<const std::int16_t> act,
                        std::span<const float> act_scales, std::span<float> out, std::size_t kk, std::size_t n,
                        std::size_t group_size, const char* what) {
    const TransposedProduct product = choose_product(bits, tiled, parallel);
    ORVANE_CHECK(group_size != 0, "{}: group_size must be non-zero", what);
    const std::size_t words = packed_words(kk, n, bits, tiled);
    const std::size_t nscales = scale_count(kk, n, group_size, tiled);
    ORVANE_CHECK(packed.size() == words, "{} packed length mismatch: expected {}, got {}", what, words,
                 packed.size());
    ORVANE_CHECK(scales.size() == nscales, "{} scales length mismatch: expected {}, got {}", what, nscales,
                 scales.size());
    product(packed, scales, act, act_scales, out, kk, n, group_size);
}

void add_bias(std::span<float> values, const std::optional<std::vector<float>>& bias, const char* what) {
    if (!bias) return;
    ORVANE_CHECK(bias->size() == values.size(), "{} bias length mismatch: expected {}, got {}", what,
                 values.size(), bias->size());
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = values[i] + (*bias)[i];
}

}  // namespace

void expert_forward_unified(const UnifiedExpertWeights& expert, std::span<const std::int16_t> act,
                            std::span<const float> act_scales, ExpertScratch& scratch, float swiglu_limit,
                            float swiglu_alpha, bool parallel) {
    const std::size_t hidden = expert.hidden_size;
    const std::size_t inter = expert.intermediate_size;
    const std::size_t gs = expert.group_size;
    ORVANE_CHECK(gs != 0 && gs == scratch.group_size,
                 "expert group size {} does not match the scratch's {}", gs, scratch.group_size);
    ORVANE_CHECK(scratch.hidden() == hidden && scratch.inter() == inter && scratch.gate_up.size() == 2 * inter &&
                     scratch.mid_scales.size() == inter / gs,
                 "scratch sized for hidden {} / intermediate {} used for an expert of {} / {}", scratch.hidden(),
                 scratch.inter(), hidden, inter);
    ORVANE_CHECK(act.size() == hidden && act_scales.size() == hidden / gs,
                 "activation of {} values / {} scales given to an expert of hidden size {} (group size {})",
                 act.size(), act_scales.size(), hidden, gs);
    const bool tiled = expert.tiled != 0;

    std::span<float> gate_up(scratch.gate_up);
    transposed_product(expert.w13_packed, expert.w13_scales, expert.w13_bits, tiled, parallel, act, act_scales,
                       gate_up, hidden, 2 * inter, gs, "w13");
    add_bias(gate_up.first(inter), expert.gate_bias, "gate");
    add_bias(gate_up.subspan(inter, inter), expert.up_bias, "up");

    float* gate = gate_up.data();
    const float* up = gate_up.data() + inter;
    if (swiglu_limit > 0.0f) {
        for (std::size_t i = 0; i < inter; ++i) gate[i] = clamped_swiglu(gate[i], up[i], swiglu_limit, swiglu_alpha);
        k::quantize_activation_int16_f32(std::span<const float>(gate, inter), gs, scratch.mid_int16,
                                         scratch.mid_scales);
    } else {
        silu_mul_quantize(gate, up, scratch.mid_int16, scratch.mid_scales, inter, gs);
    }

    transposed_product(expert.w2_packed, expert.w2_scales, expert.w2_bits, tiled, parallel, scratch.mid_int16,
                       scratch.mid_scales, scratch.output, inter, hidden, gs, "w2");
    add_bias(scratch.output, expert.down_bias, "down");
}

// ---------------------------------------------------------------------------------------------------------
// Row-major products.

namespace {

// rows × cols product of a row-major matrix, serial or row-parallel; the arrays are checked against the
// shape so that the raw kernel never reads past them.
void matmul_integer(const QuantWeight& w, std::span<const std::int16_t> act, std::span<const float> act_scales,
                    std::span<float> out, bool parallel) {
    std::visit(
        [&](const auto& q) {
            using Q = std::decay_t<decltype(q)>;
            if (parallel) {
                if constexpr (std::is_same_v<Q, weights::marlin::QuantizedInt4>) {
                    k::matmul_int4_integer_parallel(q, act, act_scales, out);
                } else {
                    k::matmul_int8_integer_parallel(q, act, act_scales, out);
                }
                return;
            }
            k::check_rowmajor_args(act.size(), act_scales.size(), out.size(), q.cols, q.rows, q.group_size);
            const std::size_t groups = q.cols / q.group_size;
            ORVANE_CHECK(q.scales.size() == q.rows * groups, "scales length mismatch: expected {}, got {}",
                         q.rows * groups, q.scales.size());
            if constexpr (std::is_same_v<Q, weights::marlin::QuantizedInt4>) {
                ORVANE_CHECK(q.cols % 8 == 0 && q.packed.size() == q.rows * (q.cols / 8),
                             "packed length mismatch: expected {}, got {}", q.rows * (q.cols / 8), q.packed.size());
                k::expert_matmul_int4_integer(q.packed.data(), q.scales.data(), act.data(), act_scales.data(),
                                              out.data(), q.cols, q.rows, q.group_size);
            } else {
                ORVANE_CHECK(q.data.size() == q.rows * q.cols, "data length mismatch: expected {}, got {}",
                             q.rows * q.cols, q.data.size());
                k::expert_matmul_int8_integer(q.data.data(), q.scales.data(), act.data(), act_scales.data(),
                                              out.data(), q.cols, q.rows, q.group_size);
            }
        },
        w);
}

}  // namespace

void expert_forward_integer(const ExpertWeights& expert, std::span<const std::int16_t> act,
                            std::span<const float> act_scales, ExpertScratch& scratch, bool parallel) {
    const std::size_t inter = weights::quant_rows(expert.gate);
    const std::size_t hidden = weights::quant_cols(expert.gate);
    const std::size_t gs = scratch.group_size;
    ORVANE_CHECK(weights::quant_rows(expert.up) == inter && weights::quant_cols(expert.up) == hidden &&
                     weights::quant_rows(expert.down) == hidden && weights::quant_cols(expert.down) == inter,
                 "expert projections disagree: gate [{}, {}], up [{}, {}], down [{}, {}]", inter, hidden,
                 weights::quant_rows(expert.up), weights::quant_cols(expert.up), weights::quant_rows(expert.down),
                 weights::quant_cols(expert.down));
    for (const QuantWeight* w : {&expert.gate, &expert.up, &expert.down})
        ORVANE_CHECK(weights::quant_group_size(*w) == gs, "expert group size {} does not match the scratch's {}",
                     weights::quant_group_size(*w), gs);
    ORVANE_CHECK(scratch.hidden() == hidden && scratch.inter() == inter && scratch.gate.size() == inter &&
                     scratch.up.size() == inter,
                 "scratch sized for hidden {} / intermediate {} used for an expert of {} / {}", scratch.hidden(),
                 scratch.inter(), hidden, inter);

    matmul_integer(expert.gate, act, act_scales, scratch.gate, parallel);
    matmul_integer(expert.up, act, act_scales, scratch.up, parallel);
    silu_mul_quantize(scratch.gate.data(), scratch.up.data(), scratch.mid_int16, scratch.mid_scales, inter, gs);
    matmul_integer(expert.down, scratch.mid_int16, scratch.mid_scales, scratch.output, parallel);
}

// ---------------------------------------------------------------------------------------------------------
// Layer routine.

namespace {

bool numa_usable() {
    static const bool usable = ::numa_available() >= 0;
    return usable;
}

int numa_highest_node() {
    static const int highest = numa_usable() ? ::numa_max_node() : -1;
    return highest;
}

// Moves the calling thread onto a NUMA node for its lifetime and gives it back its previous CPU set after.
// A node the machine lacks or the kernel refuses (numa_run_on_node fails) leaves the thread where it is:
// the work runs all the same.
class RunOnNode {
public:
    explicit RunOnNode(unsigned node) {
        // A node the machine does not have is not tried (libnuma would only warn and fail).
        if (!numa_usable() || node > static_cast<unsigned>(std::max(numa_highest_node(), 0))) return;
        CPU_ZERO(&saved_);
        saved_ok_ = ::sched_getaffinity(0, sizeof(saved_), &saved_) == 0;
        moved_ = ::numa_run_on_node(static_cast<int>(node)) == 0;
    }
    ~RunOnNode() {
        if (!moved_) return;
        if (!saved_ok_ || ::sched_setaffinity(0, sizeof(saved_), &saved_) != 0) (void)::numa_run_on_node(-1);
    }
    RunOnNode(const RunOnNode&) = delete;
    RunOnNode& operator=(const RunOnNode&) = delete;

private:
    cpu_set_t saved_{};
    bool saved_ok_ = false;
    bool moved_ = false;
};

// Non-temporal prefetch of a buffer, one every 512 bytes.
template <class T>
void prefetch_nta(std::span<const T> buffer) {
    const char* p = reinterpret_cast<const char*>(buffer.data());
    const std::size_t bytes = buffer.size_bytes();
    for (std::size_t off = 0; off < bytes; off += 512) _mm_prefetch(p + off, _MM_HINT_NTA);
}

void prefetch_expert(const UnifiedExpertWeights& e) {
    prefetch_nta(std::span<const std::uint32_t>(e.w13_packed));
    prefetch_nta(std::span<const std::uint16_t>(e.w13_scales));
    prefetch_nta(std::span<const std::uint32_t>(e.w2_packed));
    prefetch_nta(std::span<const std::uint16_t>(e.w2_scales));
}

void prefetch_expert(const ExpertWeights& e) {
    for (const QuantWeight* w : {&e.gate, &e.up, &e.down}) {
        std::visit(
            [](const auto& q) {
                using Q = std::decay_t<decltype(q)>;
                if constexpr (std::is_same_v<Q, weights::marlin::QuantizedInt4>) {
                    prefetch_nta(std::span<const std::uint32_t>(q.packed));
                } else {
                    prefetch_nta(std::span<const std::int8_t>(q.data));
                }
                prefetch_nta(std::span<const std::uint16_t>(q.scales));
            },
            *w);
    }
}

// The layer routine shared by both weight families: the layer's experts, its shared expert (or null) and
// the expert routine `run(expert, act, act_scales, scratch, parallel)`.
template <class Expert, class Run>
void run_layer(const MoeLayerCall& call, std::span<const Expert> experts, const Expert* shared, Run&& run) {
    const WeightStore& store = *call.store;
    ExpertScratch& scratch = *call.scratch;
    const std::size_t n = call.expert_ids.size();
    const std::size_t hidden = store.config.hidden_size;

    // Preconditions, all before anything is written.
    ORVANE_ASSERT_EQ(n, call.weights.size());
    ORVANE_ASSERT_EQ(call.activation.size(), hidden);
    ORVANE_ASSERT_EQ(call.output.size(), hidden);
    ORVANE_CHECK(scratch.hidden() == hidden && scratch.act_int16.size() == hidden,
                 "main scratch sized for hidden {} used with hidden {}", scratch.hidden(), hidden);
    for (std::size_t i = 0; i < n; ++i)
        ORVANE_CHECK(call.expert_ids[i] < experts.size(),
                     "index out of bounds: the len is {} but the index is {} (layer {}, slot {})", experts.size(),
                     call.expert_ids[i], call.layer, i);

    // Step 2: quantize the token once; the buffers are read by every expert below.
    kernel::avx2::quantize_activation_int16(call.activation, scratch.group_size, scratch.act_int16,
                                            scratch.act_scales);
    const std::span<const std::int16_t> act(scratch.act_int16);
    const std::span<const float> act_scales(scratch.act_scales);

    float* out = call.output.data();
    std::fill(call.output.begin(), call.output.end(), 0.0f);

    const bool parallel_schedule = n > 1 && call.parallel && call.scratch_pool.size() >= n;
    if (parallel_schedule) {
        const auto slot_task = [&](std::size_t i) {
            run(experts[call.expert_ids[i]], act, act_scales, call.scratch_pool[i], true);
        };
        const numa::NumaExpertMap* map = call.numa_map;
        if (map != nullptr && map->num_nodes >= 2 && call.layer < map->node_of_expert.size()) {
            // Node ids ascend (ordered map); slots keep their order within a node.
            const auto groups = map->group_by_node(call.layer, call.expert_ids, n);
            for (const auto& [node, slots] : groups) {
                pool::parallel_for_each(slots.size(), [&](std::size_t j) {
                    const RunOnNode on_node(node);
                    slot_task(slots[j].first);
                });
            }
        } else {
            pool::parallel_for_each(n, slot_task);
        }
        for (std::size_t i = 0; i < n; ++i) {
            const float w = call.weights[i];
            const float* o = call.scratch_pool[i].output.data();
            for (std::size_t j = 0; j < hidden; ++j) out[j] = o[j] * w + out[j];
        }
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            if (i + 1 < n) prefetch_expert(experts[call.expert_ids[i + 1]]);
            run(experts[call.expert_ids[i]], act, act_scales, scratch, false);
            const float w = call.weights[i];
            const float* o = scratch.output.data();
            for (std::size_t j = 0; j < hidden; ++j) out[j] = out[j] + o[j] * w;
        }
    }

    // Shared expert: out = routed · routed_scaling_factor + shared.
    if (shared != nullptr && call.shared_scratch != nullptr) {
        ExpertScratch& s = *call.shared_scratch;
        ORVANE_CHECK(s.act_int16.size() == hidden && s.act_scales.size() == act_scales.size() &&
                         s.group_size == scratch.group_size,
                     "shared scratch sized for hidden {} (group size {}) used with hidden {} (group size {})",
                     s.act_int16.size(), s.group_size, hidden, scratch.group_size);
        std::copy(act.begin(), act.end(), s.act_int16.begin());
        std::copy(act_scales.begin(), act_scales.end(), s.act_scales.begin());
        run(*shared, std::span<const std::int16_t>(s.act_int16), std::span<const float>(s.act_scales), s,
            call.parallel);
        const float factor = store.config.routed_scaling_factor;
        const float* o = s.output.data();
        for (std::size_t j = 0; j < hidden; ++j) out[j] = out[j] * factor + o[j];
    }
}

void check_call(const MoeLayerCall& call) {
    ORVANE_CHECK(call.store != nullptr, "MoE layer call without a weight store");
    ORVANE_CHECK(call.scratch != nullptr, "MoE layer call without a scratch");
}

}  // namespace

void moe_forward_unified(const MoeLayerCall& call) {
    check_call(call);
    const WeightStore& store = *call.store;
    // Only the CPU layout is computable by the transposed kernels; the Marlin arrays have the same word
    // counts in another order and would give wrong results silently.
    ORVANE_CHECK(!store.experts_cpu.empty(),
                 "No CPU-layout experts loaded: the Marlin-layout GPU experts cannot be computed on the CPU");
    ORVANE_CHECK(call.layer < store.experts_cpu.size(),
                 "index out of bounds: the len is {} but the index is {} (MoE layer)", store.experts_cpu.size(),
                 call.layer);
    const auto& experts = store.experts_cpu[call.layer];
    const UnifiedExpertWeights* shared =
        call.layer < store.shared_experts_cpu.size() ? &store.shared_experts_cpu[call.layer] : nullptr;
    const float limit = store.config.swiglu_limit;
    const float alpha = store.config.swiglu_alpha;
    run_layer<UnifiedExpertWeights>(
        call, experts, shared,
        [limit, alpha](const UnifiedExpertWeights& e, std::span<const std::int16_t> act,
                       std::span<const float> scales, ExpertScratch& s, bool parallel) {
            expert_forward_unified(e, act, scales, s, limit, alpha, parallel);
        });
}

void moe_forward(const MoeLayerCall& call) {
    check_call(call);
    const WeightStore& store = *call.store;
    ORVANE_CHECK(call.layer < store.experts.size(),
                 "index out of bounds: the len is {} but the index is {} (MoE layer)", store.experts.size(),
                 call.layer);
    const auto& experts = store.experts[call.layer];
    const ExpertWeights* shared =
        call.layer < store.shared_experts.size() ? &store.shared_experts[call.layer] : nullptr;
    run_layer<ExpertWeights>(call, experts, shared,
                             [](const ExpertWeights& e, std::span<const std::int16_t> act,
                                std::span<const float> scales, ExpertScratch& s, bool parallel) {
                                 expert_forward_integer(e, act, scales, s, parallel);
                             });
}

// ---------------------------------------------------------------------------------------------------------
// Tiled repack.

namespace {

template <class T, class V>
HugeVector<T> to_huge(const V& v) {
    return HugeVector<T>(v.begin(), v.end());
}

HugeVector<std::uint32_t> tile_packed(const HugeVector<std::uint32_t>& packed, std::size_t kk, std::size_t n,
                                      std::uint8_t bits) {
    ORVANE_CHECK(bits == 4 || bits == 8, "Unsupported expert weight width: {} bits (4 or 8)", bits);
    ORVANE_CHECK(packed.size() == packed_words(kk, n, bits, false),
                 "tiled repack: packed length mismatch: expected {}, got {}", packed_words(kk, n, bits, false),
                 packed.size());
    return bits == 4 ? to_huge<std::uint32_t>(k::repack_tiled_int4_packed(packed, kk, n))
                     : to_huge<std::uint32_t>(k::repack_tiled_int8_packed(packed, kk, n));
}

HugeVector<std::uint16_t> tile_scales(const HugeVector<std::uint16_t>& scales, std::size_t kk, std::size_t n,
                                      std::size_t group_size) {
    ORVANE_CHECK(scales.size() == scale_count(kk, n, group_size, false),
                 "tiled repack: scales length mismatch: expected {}, got {}", scale_count(kk, n, group_size, false),
                 scales.size());
    return to_huge<std::uint16_t>(k::repack_tiled_scales(scales, kk / group_size, n));
}

void tile_expert(UnifiedExpertWeights& e) {
    const std::size_t hidden = e.hidden_size;
    const std::size_t inter = e.intermediate_size;
    const std::size_t gs = e.group_size;
    ORVANE_CHECK(gs != 0, "tiled repack: expert group size is zero");
    // Build all four first, so that a failure leaves the expert untouched.
    HugeVector<std::uint32_t> w13 = tile_packed(e.w13_packed, hidden, 2 * inter, e.w13_bits);
    HugeVector<std::uint16_t> w13s = tile_scales(e.w13_scales, hidden, 2 * inter, gs);
    HugeVector<std::uint32_t> w2 = tile_packed(e.w2_packed, inter, hidden, e.w2_bits);
    HugeVector<std::uint16_t> w2s = tile_scales(e.w2_scales, inter, hidden, gs);
    e.w13_packed = std::move(w13);
    e.w13_scales = std::move(w13s);
    e.w2_packed = std::move(w2);
    e.w2_scales = std::move(w2s);
    e.tiled = 1;
}

}  // namespace

std::size_t repack_experts_to_tiled(WeightStore& store) {
    const auto t0 = std::chrono::steady_clock::now();
    std::atomic<std::size_t> converted{0};
    for (auto& layer : store.experts_cpu) {
        pool::parallel_for_each(layer.size(), [&](std::size_t e) {
            UnifiedExpertWeights& expert = layer[e];
            if (expert.tiled != 0) return;
            tile_expert(expert);
            converted.fetch_add(1, std::memory_order_relaxed);
        });
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const std::size_t count = converted.load();
    log::moe().info("Repacked {} experts to tiled layout in {:.1f}s", count, seconds);
    return count;
}

}  // namespace orvane::moe
