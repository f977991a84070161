#pragma once
// Export of the Marlin-layout expert weights (the store's experts_gpu and shared_experts_gpu) to the host for
// GPU prefill: per kind and range, for a list of chosen experts, all four kinds at once, and into
// caller-provided destinations (bytearray buffers or pinned staging memory given by address and length).
//
// Every expert has four buffers, always handled in this order: w13 packed (32-bit words), w13 scales
// (16-bit), w2 packed (32-bit words), w2 scales (16-bit). Per-expert byte counts of a layer are those of the
// layer's first expert; multi-expert results are the experts' buffers concatenated in the requested order,
// with no header or padding.
//
// Two phases. Selecting validates everything (store, layer, range or ids, kind, destination sizes) and
// returns a plan; running the plan only copies memory. Nothing is written before every check has passed,
// and the copy phase touches no Python object, so the binding may release the interpreter lock around it.
//
// Errors reaching the host: functions return CallResult<T>, whose CallError carries the kind of Python
// exception (ValueError or RuntimeError) and its text. Violated internal preconditions (a layer or expert
// index out of range, a layer without experts, an invalid range of the getters) throw InternalError.
// A null store pointer means "no model loaded".

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "weights/store.hpp"
#include "weights/unified.hpp"

namespace orvane::moe {

// An error for the host: which Python exception to raise, and its message.
struct CallError {
    enum class Kind { Value, Runtime };
    Kind kind = Kind::Runtime;
    std::string message;

    friend bool operator==(const CallError&, const CallError&) = default;
};

template <class T>
using CallResult = std::expected<T, CallError>;

inline std::unexpected<CallError> value_error(std::string message) {
    return std::unexpected(CallError{CallError::Kind::Value, std::move(message)});
}
inline std::unexpected<CallError> runtime_error(std::string message) {
    return std::unexpected(CallError{CallError::Kind::Runtime, std::move(message)});
}

// The four buffers of an expert, in export order.
enum class WeightKind : std::uint8_t { W13Packed = 0, W13Scales = 1, W2Packed = 2, W2Scales = 3 };
inline constexpr std::array<WeightKind, 4> kWeightKinds = {WeightKind::W13Packed, WeightKind::W13Scales,
                                                           WeightKind::W2Packed, WeightKind::W2Scales};

// "w13_packed", "w13_scales", "w2_packed", "w2_scales".
std::string_view weight_type_name(WeightKind kind);

// The kind named exactly by `weight_type`, else ValueError
// "Unknown weight_type: '{}'. Expected one of: w13_packed, w13_scales, w2_packed, w2_scales".
CallResult<WeightKind> parse_weight_type(std::string_view weight_type);

// The bytes of one kind of one expert.
std::span<const std::byte> expert_bytes(const weights::UnifiedExpertWeights& expert, WeightKind kind);

// Byte counts of the four buffers of one expert, in export order.
struct ExpertByteSizes {
    std::array<std::size_t, 4> bytes{};

    std::size_t of(WeightKind kind) const { return bytes[static_cast<std::size_t>(kind)]; }
    static ExpertByteSizes of_expert(const weights::UnifiedExpertWeights& expert);
    friend bool operator==(const ExpertByteSizes&, const ExpertByteSizes&) = default;
};

// Four destinations, one per kind, in export order (w13 packed, w13 scales, w2 packed, w2 scales).
struct ExportTargets {
    std::span<std::byte> w13_packed;
    std::span<std::byte> w13_scales;
    std::span<std::byte> w2_packed;
    std::span<std::byte> w2_scales;

    std::span<std::byte> of(WeightKind kind) const;
};

// A checked list of memory copies. run() copies; large plans are split into chunks copied as pool tasks.
class CopyPlan {
public:
    struct Piece {
        const std::byte* source = nullptr;
        std::byte* destination = nullptr;
        std::size_t bytes = 0;
    };

    // Plans of at least this many bytes are copied in parallel chunks of kParallelChunk bytes.
    static constexpr std::size_t kParallelThreshold = std::size_t{4} << 20;
    static constexpr std::size_t kParallelChunk = std::size_t{1} << 20;

    void add(std::span<const std::byte> source, std::byte* destination);
    void run() const;
    std::size_t total_bytes() const { return total_; }
    std::span<const Piece> pieces() const { return pieces_; }

private:
    std::vector<Piece> pieces_;
    std::size_t total_ = 0;
};

// Chosen experts of one layer, in output order (duplicates allowed), with the layer's per-expert sizes.
// Every expert's buffers have been checked to match the sizes of the layer's first expert.
struct ExpertSet {
    std::span<const weights::UnifiedExpertWeights> experts;  // the whole layer
    std::vector<std::size_t> ids;                            // the chosen experts, in output order
    ExpertByteSizes per_expert;

    // The byte count of the concatenated buffers of one kind.
    std::size_t bytes(WeightKind kind) const { return ids.size() * per_expert.of(kind); }
    // Copies of the chosen experts' buffers of one kind to consecutive places of `destination`, which must
    // hold exactly bytes(kind) (InternalError otherwise).
    CopyPlan plan(WeightKind kind, std::span<std::byte> destination) const;
    // plan(kind, destination).run().
    void copy(WeightKind kind, std::span<std::byte> destination) const;
    // A new array holding the concatenated buffers of one kind.
    std::vector<std::uint8_t> gather(WeightKind kind) const;
};

// The common checks of the routed-expert exports: no store → RuntimeError "Model not loaded"; experts_gpu
// empty → RuntimeError "GPU weights not available"; a layer beyond experts_gpu or a layer without experts
// → InternalError.
CallResult<std::span<const weights::UnifiedExpertWeights>> gpu_layer(const weights::WeightStore* store,
                                                                     std::size_t layer);

// Experts [start, end) of a layer (start defaults to 0, end to the layer's expert count), for the per-kind
// getters. The range must satisfy start ≤ end ≤ count (InternalError otherwise); an empty range selects
// nothing.
CallResult<ExpertSet> select_expert_range(const weights::WeightStore* store, std::size_t layer,
                                          std::optional<std::size_t> start, std::optional<std::size_t> end);

// The listed experts of a layer in list order, for get_experts_all_batch. An id at or beyond the layer's
// expert count is an InternalError.
CallResult<ExpertSet> select_experts(const weights::WeightStore* store, std::size_t layer,
                                     std::span<const std::size_t> ids);

// One kind of the listed experts, for get_experts_batch: the common checks, then the kind, then the ids.
struct ExpertBatch {
    ExpertSet set;
    WeightKind kind = WeightKind::W13Packed;

    std::size_t bytes() const { return set.bytes(kind); }
    void copy(std::span<std::byte> destination) const { set.copy(kind, destination); }
};
CallResult<ExpertBatch> select_experts_batch(const weights::WeightStore* store, std::size_t layer,
                                             std::span<const std::size_t> ids, std::string_view weight_type);

// All experts of a layer into four bytearrays: with n experts, each target must hold at least n × the
// per-expert bytes of its kind, checked in the order w13p, w13s, w2p, w2s; the first failure is ValueError
// "w13p_buf too small: {} < {}" (…, "w2s_buf too small: {} < {}") with the target's size and the size
// needed. Expert i goes to offset i × per-expert bytes; bytes beyond are left untouched.
CallResult<CopyPlan> plan_write_experts_all_into(const weights::WeightStore* store, std::size_t layer,
                                                 const ExportTargets& targets);

// Experts [start, end) into four bytearrays, expert start at offset 0. The range must satisfy
// start < end ≤ count, else ValueError "Invalid range [{}, {}), layer has {} experts"; then the sizes as
// above with the texts "w13p_buf too small", …, "w2s_buf too small".
CallResult<CopyPlan> plan_write_experts_range_into(const weights::WeightStore* store, std::size_t layer,
                                                   std::size_t start, std::size_t end, const ExportTargets& targets);

// The same into pinned staging memory given by address and capacity: the range check, then the capacities
// ("w13p buffer too small", …, "w2s buffer too small"), then the addresses: a null address that would be
// written is refused with ValueError "w13p_ptr is a null address" (…, "w2s_ptr is a null address").
CallResult<CopyPlan> plan_write_experts_range_into_pinned(const weights::WeightStore* store, std::size_t layer,
                                                          std::size_t start, std::size_t end,
                                                          const ExportTargets& targets);

// The common checks of the shared-expert exports: no store → RuntimeError "Model not loaded";
// shared_experts_gpu empty → RuntimeError "No shared experts"; a layer beyond it → InternalError.
CallResult<const weights::UnifiedExpertWeights*> gpu_shared_expert(const weights::WeightStore* store,
                                                                   std::size_t layer);

// The layer's shared expert into four destinations (bytearrays or pinned memory alike): each must hold at
// least the shared expert's buffer of its kind, checked w13p, w13s, w2p, w2s, else ValueError
// "Shared expert buffer too small"; a null address that would be written is refused as above.
CallResult<CopyPlan> plan_write_shared_expert_into(const weights::WeightStore* store, std::size_t layer,
                                                   const ExportTargets& targets);

// The four buffers of the layer's shared expert, copied.
CallResult<std::array<std::vector<std::uint8_t>, 4>> shared_expert_weights(const weights::WeightStore* store,
                                                                           std::size_t layer);

// Whether experts_gpu is non-empty. No store → RuntimeError "Model not loaded".
CallResult<bool> is_marlin_format(const weights::WeightStore* store);

// The output rows of the Marlin down matrix: hidden_size + 64 when hidden_size is not a multiple of 256 and
// equals moe_intermediate_size, else hidden_size. No store → RuntimeError "Model not loaded".
CallResult<std::uint64_t> marlin_w2_padded_n(const weights::WeightStore* store);

}  // namespace orvane::moe
