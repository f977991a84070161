#include "moe/export.hpp"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

#include "core/errors.hpp"
#include "core/thread_pool.hpp"

namespace orvane::moe {

using weights::UnifiedExpertWeights;
using weights::WeightStore;

namespace {

constexpr std::array<std::string_view, 4> kTypeNames = {"w13_packed", "w13_scales", "w2_packed", "w2_scales"};
// Short names used in the size messages.
constexpr std::array<std::string_view, 4> kShortNames = {"w13p", "w13s", "w2p", "w2s"};

template <class T, class A>
std::span<const std::byte> as_bytes_of(const std::vector<T, A>& v) {
    return std::as_bytes(std::span<const T>(v.data(), v.size()));
}

// Every chosen expert's buffers must have the sizes taken from the layer's first expert: a shorter buffer
// would otherwise be read beyond its end.
void check_expert_sizes(std::span<const UnifiedExpertWeights> experts, std::size_t id,
                        const ExpertByteSizes& per_expert) {
    const ExpertByteSizes own = ExpertByteSizes::of_expert(experts[id]);
    ORVANE_CHECK(own == per_expert,
                 "expert {} has buffers of {}, {}, {}, {} bytes; the layer's first expert has {}, {}, {}, {}", id,
                 own.bytes[0], own.bytes[1], own.bytes[2], own.bytes[3], per_expert.bytes[0], per_expert.bytes[1],
                 per_expert.bytes[2], per_expert.bytes[3]);
}

ExpertSet make_set(std::span<const UnifiedExpertWeights> experts, std::vector<std::size_t> ids) {
    ExpertSet set{experts, std::move(ids), ExpertByteSizes::of_expert(experts.front())};
    for (std::size_t i = 0; i < set.ids.size(); ++i) {
        ORVANE_CHECK(set.ids[i] < experts.size(), "index out of bounds: the len is {} but the index is {} (expert)",
                     experts.size(), set.ids[i]);
        check_expert_sizes(experts, set.ids[i], set.per_expert);
    }
    return set;
}

std::vector<std::size_t> iota_ids(std::size_t start, std::size_t end) {
    std::vector<std::size_t> ids(end - start);
    for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = start + i;
    return ids;
}

// The product, or nothing when it does not fit a size_t.
std::optional<std::size_t> checked_mul(std::size_t a, std::size_t b) {
    std::size_t r = 0;
    if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
    return r;
}

enum class Messages { ByteArrayAll, ByteArrayRange, Pinned };

// The size checks of the write forms, in export order, then the null-address checks.
std::optional<CallError> check_targets(const ExpertSet& set, const ExportTargets& targets, Messages messages) {
    for (const WeightKind kind : kWeightKinds) {
        const std::size_t index = static_cast<std::size_t>(kind);
        const std::size_t have = targets.of(kind).size();
        const std::optional<std::size_t> need = checked_mul(set.ids.size(), set.per_expert.of(kind));
        if (need && have >= *need) continue;
        const std::string_view name = kShortNames[index];
        switch (messages) {
            case Messages::ByteArrayAll:
                // A need beyond size_t cannot overflow here: the layer's experts exist in memory.
                return CallError{CallError::Kind::Value,
                                 fmt::format("{}_buf too small: {} < {}", name, have, need.value_or(SIZE_MAX))};
            case Messages::ByteArrayRange:
                return CallError{CallError::Kind::Value, fmt::format("{}_buf too small", name)};
            case Messages::Pinned:
                return CallError{CallError::Kind::Value, fmt::format("{} buffer too small", name)};
        }
    }
    for (const WeightKind kind : kWeightKinds) {
        if (set.bytes(kind) != 0 && targets.of(kind).data() == nullptr)
            return CallError{CallError::Kind::Value,
                             fmt::format("{}_ptr is a null address", kShortNames[static_cast<std::size_t>(kind)])};
    }
    return std::nullopt;
}

CopyPlan plan_all_kinds(const ExpertSet& set, const ExportTargets& targets) {
    CopyPlan plan;
    for (const WeightKind kind : kWeightKinds) {
        const std::size_t per = set.per_expert.of(kind);
        std::byte* base = targets.of(kind).data();
        for (std::size_t i = 0; i < set.ids.size(); ++i)
            plan.add(expert_bytes(set.experts[set.ids[i]], kind), base + i * per);
    }
    return plan;
}

CallResult<ExpertSet> select_write_range(const WeightStore* store, std::size_t layer, std::size_t start,
                                         std::size_t end) {
    auto experts = gpu_layer(store, layer);
    if (!experts) return std::unexpected(experts.error());
    const std::size_t count = experts->size();
    if (!(start < end && end <= count))
        return value_error(fmt::format("Invalid range [{}, {}), layer has {} experts", start, end, count));
    return make_set(*experts, iota_ids(start, end));
}

}  // namespace

std::string_view weight_type_name(WeightKind kind) { return kTypeNames[static_cast<std::size_t>(kind)]; }

CallResult<WeightKind> parse_weight_type(std::string_view weight_type) {
    for (const WeightKind kind : kWeightKinds)
        if (weight_type == weight_type_name(kind)) return kind;
    return value_error(fmt::format(
        "Unknown weight_type: '{}'. Expected one of: w13_packed, w13_scales, w2_packed, w2_scales", weight_type));
}

std::span<const std::byte> expert_bytes(const UnifiedExpertWeights& expert, WeightKind kind) {
    switch (kind) {
        case WeightKind::W13Packed: return as_bytes_of(expert.w13_packed);
        case WeightKind::W13Scales: return as_bytes_of(expert.w13_scales);
        case WeightKind::W2Packed: return as_bytes_of(expert.w2_packed);
        case WeightKind::W2Scales: return as_bytes_of(expert.w2_scales);
    }
    unreachable();
}

ExpertByteSizes ExpertByteSizes::of_expert(const UnifiedExpertWeights& expert) {
    ExpertByteSizes sizes;
    for (const WeightKind kind : kWeightKinds)
        sizes.bytes[static_cast<std::size_t>(kind)] = expert_bytes(expert, kind).size();
    return sizes;
}

std::span<std::byte> ExportTargets::of(WeightKind kind) const {
    switch (kind) {
        case WeightKind::W13Packed: return w13_packed;
        case WeightKind::W13Scales: return w13_scales;
        case WeightKind::W2Packed: return w2_packed;
        case WeightKind::W2Scales: return w2_scales;
    }
    unreachable();
}

// ---------------------------------------------------------------------------------------------------------
// Copies.

void CopyPlan::add(std::span<const std::byte> source, std::byte* destination) {
    if (source.empty()) return;
    pieces_.push_back(Piece{source.data(), destination, source.size()});
    total_ += source.size();
}

void CopyPlan::run() const {
    if (total_ < kParallelThreshold || pool::num_threads() < 2) {
        for (const Piece& p : pieces_) std::memcpy(p.destination, p.source, p.bytes);
        return;
    }
    // Chunks of about kParallelChunk bytes; a piece's last chunk takes its remainder.
    std::vector<Piece> chunks;
    chunks.reserve(total_ / kParallelChunk + pieces_.size());
    for (const Piece& p : pieces_) {
        for (std::size_t off = 0; off < p.bytes; off += kParallelChunk) {
            const std::size_t n = std::min(kParallelChunk, p.bytes - off);
            chunks.push_back(Piece{p.source + off, p.destination + off, n});
        }
    }
    pool::parallel_for_each(chunks.size(), [&](std::size_t i) {
        std::memcpy(chunks[i].destination, chunks[i].source, chunks[i].bytes);
    });
}

CopyPlan ExpertSet::plan(WeightKind kind, std::span<std::byte> destination) const {
    ORVANE_ASSERT_EQ(destination.size(), bytes(kind));
    CopyPlan plan;
    const std::size_t per = per_expert.of(kind);
    for (std::size_t i = 0; i < ids.size(); ++i) plan.add(expert_bytes(experts[ids[i]], kind), destination.data() + i * per);
    return plan;
}

void ExpertSet::copy(WeightKind kind, std::span<std::byte> destination) const { plan(kind, destination).run(); }

std::vector<std::uint8_t> ExpertSet::gather(WeightKind kind) const {
    std::vector<std::uint8_t> out(bytes(kind));
    copy(kind, std::as_writable_bytes(std::span<std::uint8_t>(out)));
    return out;
}

// ---------------------------------------------------------------------------------------------------------
// Selections.

CallResult<std::span<const UnifiedExpertWeights>> gpu_layer(const WeightStore* store, std::size_t layer) {
    if (store == nullptr) return runtime_error("Model not loaded");
    if (store->experts_gpu.empty()) return runtime_error("GPU weights not available");
    ORVANE_CHECK(layer < store->experts_gpu.size(), "index out of bounds: the len is {} but the index is {} (MoE layer)",
                 store->experts_gpu.size(), layer);
    const auto& experts = store->experts_gpu[layer];
    ORVANE_CHECK(!experts.empty(), "MoE layer {} has no GPU experts", layer);
    return std::span<const UnifiedExpertWeights>(experts);
}

CallResult<ExpertSet> select_expert_range(const WeightStore* store, std::size_t layer,
                                          std::optional<std::size_t> start, std::optional<std::size_t> end) {
    auto experts = gpu_layer(store, layer);
    if (!experts) return std::unexpected(experts.error());
    const std::size_t count = experts->size();
    const std::size_t s = start.value_or(0);
    const std::size_t e = end.value_or(count);
    ORVANE_CHECK(s <= e && e <= count, "expert range [{}, {}) outside the layer's {} experts", s, e, count);
    return make_set(*experts, iota_ids(s, e));
}

CallResult<ExpertSet> select_experts(const WeightStore* store, std::size_t layer, std::span<const std::size_t> ids) {
    auto experts = gpu_layer(store, layer);
    if (!experts) return std::unexpected(experts.error());
    return make_set(*experts, std::vector<std::size_t>(ids.begin(), ids.end()));
}

CallResult<ExpertBatch> select_experts_batch(const WeightStore* store, std::size_t layer,
                                             std::span<const std::size_t> ids, std::string_view weight_type) {
    auto experts = gpu_layer(store, layer);
    if (!experts) return std::unexpected(experts.error());
    auto kind = parse_weight_type(weight_type);
    if (!kind) return std::unexpected(kind.error());
    return ExpertBatch{make_set(*experts, std::vector<std::size_t>(ids.begin(), ids.end())), *kind};
}

CallResult<CopyPlan> plan_write_experts_all_into(const WeightStore* store, std::size_t layer,
                                                 const ExportTargets& targets) {
    auto experts = gpu_layer(store, layer);
    if (!experts) return std::unexpected(experts.error());
    const ExpertSet set = make_set(*experts, iota_ids(0, experts->size()));
    if (auto error = check_targets(set, targets, Messages::ByteArrayAll)) return std::unexpected(*error);
    return plan_all_kinds(set, targets);
}

CallResult<CopyPlan> plan_write_experts_range_into(const WeightStore* store, std::size_t layer, std::size_t start,
                                                   std::size_t end, const ExportTargets& targets) {
    auto set = select_write_range(store, layer, start, end);
    if (!set) return std::unexpected(set.error());
    if (auto error = check_targets(*set, targets, Messages::ByteArrayRange)) return std::unexpected(*error);
    return plan_all_kinds(*set, targets);
}

CallResult<CopyPlan> plan_write_experts_range_into_pinned(const WeightStore* store, std::size_t layer,
                                                          std::size_t start, std::size_t end,
                                                          const ExportTargets& targets) {
    auto set = select_write_range(store, layer, start, end);
    if (!set) return std::unexpected(set.error());
    if (auto error = check_targets(*set, targets, Messages::Pinned)) return std::unexpected(*error);
    return plan_all_kinds(*set, targets);
}

// ---------------------------------------------------------------------------------------------------------
// Shared experts.

CallResult<const UnifiedExpertWeights*> gpu_shared_expert(const WeightStore* store, std::size_t layer) {
    if (store == nullptr) return runtime_error("Model not loaded");
    if (store->shared_experts_gpu.empty()) return runtime_error("No shared experts");
    ORVANE_CHECK(layer < store->shared_experts_gpu.size(),
                 "index out of bounds: the len is {} but the index is {} (MoE layer)", store->shared_experts_gpu.size(),
                 layer);
    return &store->shared_experts_gpu[layer];
}

CallResult<CopyPlan> plan_write_shared_expert_into(const WeightStore* store, std::size_t layer,
                                                   const ExportTargets& targets) {
    auto shared = gpu_shared_expert(store, layer);
    if (!shared) return std::unexpected(shared.error());
    for (const WeightKind kind : kWeightKinds)
        if (targets.of(kind).size() < expert_bytes(**shared, kind).size())
            return value_error("Shared expert buffer too small");
    for (const WeightKind kind : kWeightKinds)
        if (!expert_bytes(**shared, kind).empty() && targets.of(kind).data() == nullptr)
            return value_error(fmt::format("{}_ptr is a null address", kShortNames[static_cast<std::size_t>(kind)]));
    CopyPlan plan;
    for (const WeightKind kind : kWeightKinds) plan.add(expert_bytes(**shared, kind), targets.of(kind).data());
    return plan;
}

CallResult<std::array<std::vector<std::uint8_t>, 4>> shared_expert_weights(const WeightStore* store,
                                                                           std::size_t layer) {
    auto shared = gpu_shared_expert(store, layer);
    if (!shared) return std::unexpected(shared.error());
    std::array<std::vector<std::uint8_t>, 4> out;
    for (const WeightKind kind : kWeightKinds) {
        const auto bytes = expert_bytes(**shared, kind);
        const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
        out[static_cast<std::size_t>(kind)].assign(p, p + bytes.size());
    }
    return out;
}

// ---------------------------------------------------------------------------------------------------------
// Format queries.

CallResult<bool> is_marlin_format(const WeightStore* store) {
    if (store == nullptr) return runtime_error("Model not loaded");
    return !store->experts_gpu.empty();
}

CallResult<std::uint64_t> marlin_w2_padded_n(const WeightStore* store) {
    if (store == nullptr) return runtime_error("Model not loaded");
    const std::uint64_t hidden = store->config.hidden_size;
    return weights::marlin_down_padded(hidden, store->config.moe_intermediate_size) ? hidden + weights::kMarlinDownPadRows
                                                                                     : hidden;
}

}  // namespace orvane::moe
