// Export of the Marlin-layout experts: exported bytes against the records (per kind and range, chosen
// experts in list order with duplicates, all four kinds, the write-into forms at their offsets), every
// error with its text and kind in the order the checks run, and that a refused write leaves every
// destination untouched. The store is built directly from random quantized experts.

#include <gtest/gtest.h>

#include <cstdint>
#include <array>
#include <cstring>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "moe/export.hpp"
#include "support.hpp"
#include "weights/marlin.hpp"
#include "weights/store.hpp"
#include "weights/unified.hpp"

namespace {

using namespace orvane;
using namespace orvane::moe;
using weights::ExpertWeights;
using weights::UnifiedExpertWeights;
using weights::WeightStore;
using orvane::test_support::error_of;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kFill = 0xAB;

ExpertWeights random_expert(std::uint64_t hidden, std::uint64_t inter, std::uint64_t gs, std::uint8_t bits,
                            std::mt19937& rng) {
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    auto matrix = [&](std::uint64_t rows, std::uint64_t cols) -> weights::QuantWeight {
        std::vector<std::uint16_t> bf16(rows * cols);
        for (auto& v : bf16) v = static_cast<std::uint16_t>(std::bit_cast<std::uint32_t>(dist(rng)) >> 16);
        if (bits == 4) return weights::marlin::quantize_int4(bf16, rows, cols, gs);
        return weights::marlin::quantize_int8(bf16, rows, cols, gs);
    };
    ExpertWeights e{matrix(inter, hidden), matrix(inter, hidden), matrix(hidden, inter)};
    return e;
}

// Layer 0: six INT4 experts (H 64, I 32); layer 1: three INT8 experts with the padded down matrix (I = H = 64).
// Two shared experts (I 64, never padded).
WeightStore make_store() {
    std::mt19937 rng(42);
    WeightStore s;
    s.experts_gpu.resize(2);
    for (int e = 0; e < 6; ++e)
        s.experts_gpu[0].push_back(UnifiedExpertWeights::from_expert_weights_marlin(random_expert(64, 32, 32, 4, rng), 4));
    for (int e = 0; e < 3; ++e)
        s.experts_gpu[1].push_back(UnifiedExpertWeights::from_expert_weights_marlin(random_expert(64, 64, 32, 8, rng), 8));
    for (int l = 0; l < 2; ++l)
        s.shared_experts_gpu.push_back(UnifiedExpertWeights::from_expert_weights_marlin(
            random_expert(64, 64, 32, 4, rng), 4, weights::MarlinDownPadding::None));
    s.config.hidden_size = 64;
    s.config.moe_intermediate_size = 32;
    return s;
}

const WeightStore& store() {
    static const WeightStore s = make_store();
    return s;
}

// The record's buffer of one kind, as bytes (the reference the exports are compared with).
Bytes record(const UnifiedExpertWeights& e, WeightKind kind) {
    auto raw = [](const auto& v) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(v.data());
        return Bytes(p, p + v.size() * sizeof(v[0]));
    };
    switch (kind) {
        case WeightKind::W13Packed: return raw(e.w13_packed);
        case WeightKind::W13Scales: return raw(e.w13_scales);
        case WeightKind::W2Packed: return raw(e.w2_packed);
        case WeightKind::W2Scales: return raw(e.w2_scales);
    }
    return {};
}

Bytes concat(std::size_t layer, const std::vector<std::size_t>& ids, WeightKind kind) {
    Bytes out;
    for (const std::size_t id : ids) {
        const Bytes b = record(store().experts_gpu[layer][id], kind);
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

std::vector<std::size_t> range(std::size_t a, std::size_t b) {
    std::vector<std::size_t> v;
    for (std::size_t i = a; i < b; ++i) v.push_back(i);
    return v;
}

CallError value(std::string m) { return {CallError::Kind::Value, std::move(m)}; }
CallError runtime(std::string m) { return {CallError::Kind::Runtime, std::move(m)}; }

template <class T>
CallError error(const CallResult<T>& r) {
    EXPECT_FALSE(r.has_value());
    return r.has_value() ? CallError{CallError::Kind::Runtime, "<no error>"} : r.error();
}

// Four destinations filled with kFill, sized per kind.
struct Targets {
    Bytes buf[4];
    Targets(std::size_t a, std::size_t b, std::size_t c, std::size_t d) {
        const std::size_t sizes[4] = {a, b, c, d};
        for (int i = 0; i < 4; ++i) buf[i].assign(sizes[i], kFill);
    }
    // Room for n experts of a layer, plus `extra` bytes each, less `short_by` on kind `short_kind`.
    static Targets for_experts(std::size_t layer, std::size_t n, std::size_t extra = 0, int short_kind = -1) {
        const ExpertByteSizes per = ExpertByteSizes::of_expert(store().experts_gpu[layer][0]);
        std::size_t s[4];
        for (int i = 0; i < 4; ++i) s[i] = n * per.bytes[i] + extra - (i == short_kind ? 1 : 0);
        return Targets(s[0], s[1], s[2], s[3]);
    }
    ExportTargets spans() {
        auto sp = [](Bytes& b) { return std::as_writable_bytes(std::span<std::uint8_t>(b)); };
        return {sp(buf[0]), sp(buf[1]), sp(buf[2]), sp(buf[3])};
    }
    bool untouched() const {
        for (const Bytes& b : buf)
            for (const std::uint8_t x : b)
                if (x != kFill) return false;
        return true;
    }
};

TEST(Export, WeightTypeNames) {
    const char* names[] = {"w13_packed", "w13_scales", "w2_packed", "w2_scales"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(weight_type_name(kWeightKinds[i]), names[i]);
        EXPECT_EQ(parse_weight_type(names[i]).value(), kWeightKinds[i]);
    }
    for (const char* bad : {"w13", "", "W13_packed", "w13_packed ", "w2_scale"}) {
        EXPECT_EQ(error(parse_weight_type(bad)),
                  value(std::string("Unknown weight_type: '") + bad +
                        "'. Expected one of: w13_packed, w13_scales, w2_packed, w2_scales"));
    }
}

TEST(Export, RangeGettersReturnTheRecordsConcatenated) {
    struct Case {
        std::size_t layer;
        std::optional<std::size_t> start, end;
        std::vector<std::size_t> ids;
    };
    const Case cases[] = {
        {0, std::nullopt, std::nullopt, range(0, 6)}, {1, std::nullopt, std::nullopt, range(0, 3)},
        {0, 2, 5, range(2, 5)},                       {0, 4, std::nullopt, range(4, 6)},
        {0, std::nullopt, 1, range(0, 1)},            {0, 3, 3, {}},
        {0, 6, 6, {}},                                {1, 0, 0, {}},
    };
    for (const Case& c : cases) {
        const auto set = select_expert_range(&store(), c.layer, c.start, c.end);
        ASSERT_TRUE(set.has_value());
        for (const WeightKind kind : kWeightKinds) {
            SCOPED_TRACE(testing::Message() << "layer " << c.layer << " kind " << weight_type_name(kind));
            EXPECT_EQ(set->bytes(kind), concat(c.layer, c.ids, kind).size());
            EXPECT_EQ(set->gather(kind), concat(c.layer, c.ids, kind));
        }
    }
    // The sizes really differ between the layers and the kinds (INT4 vs INT8, padded down matrix).
    EXPECT_NE(record(store().experts_gpu[0][0], WeightKind::W2Packed).size(),
              record(store().experts_gpu[1][0], WeightKind::W2Packed).size());
}

TEST(Export, RangeGettersRefuseBadRangesAndLayersAsInternalFaults) {
    const WeightStore& s = store();
    EXPECT_EQ(error_of([&] { (void)select_expert_range(&s, 0, 4, 3); }), "expert range [4, 3) outside the layer's 6 experts");
    EXPECT_EQ(error_of([&] { (void)select_expert_range(&s, 0, 0, 7); }), "expert range [0, 7) outside the layer's 6 experts");
    EXPECT_EQ(error_of([&] { (void)select_expert_range(&s, 0, 7, std::nullopt); }),
              "expert range [7, 6) outside the layer's 6 experts");
    EXPECT_EQ(error_of([&] { (void)select_expert_range(&s, 2, std::nullopt, std::nullopt); }),
              "index out of bounds: the len is 2 but the index is 2 (MoE layer)");
    WeightStore empty_layer;
    empty_layer.experts_gpu.resize(1);
    EXPECT_EQ(error_of([&] { (void)select_expert_range(&empty_layer, 0, std::nullopt, std::nullopt); }),
              "MoE layer 0 has no GPU experts");
}

TEST(Export, BatchKeepsListOrderAndDuplicates) {
    const std::vector<std::vector<std::size_t>> lists = {{5, 5}, {3, 0, 3}, {}, {5, 4, 3, 2, 1, 0}};
    for (const auto& ids : lists) {
        for (const WeightKind kind : kWeightKinds) {
            const auto batch = select_experts_batch(&store(), 0, ids, weight_type_name(kind));
            ASSERT_TRUE(batch.has_value());
            EXPECT_EQ(batch->kind, kind);
            Bytes out(batch->bytes(), kFill);
            batch->copy(std::as_writable_bytes(std::span<std::uint8_t>(out)));
            EXPECT_EQ(out, concat(0, ids, kind));
        }
        const auto all = select_experts(&store(), 0, ids);
        ASSERT_TRUE(all.has_value());
        for (const WeightKind kind : kWeightKinds) EXPECT_EQ(all->gather(kind), concat(0, ids, kind));
    }
    const Bytes twice = concat(0, {5, 5}, WeightKind::W13Packed);
    const Bytes once = record(store().experts_gpu[0][5], WeightKind::W13Packed);
    ASSERT_EQ(twice.size(), 2 * once.size());
    EXPECT_TRUE(std::equal(once.begin(), once.end(), twice.begin() + once.size()));
}

TEST(Export, BatchChecksRunInOrder) {
    const std::size_t ok[] = {1};
    const std::size_t beyond[] = {1, 6};
    WeightStore cpu_only;
    // The common checks come before the kind; the kind before the ids.
    EXPECT_EQ(error(select_experts_batch(nullptr, 0, ok, "w13")), runtime("Model not loaded"));
    EXPECT_EQ(error(select_experts_batch(&cpu_only, 0, ok, "w13")), runtime("GPU weights not available"));
    EXPECT_EQ(error(select_experts_batch(&store(), 0, beyond, "w13")),
              value("Unknown weight_type: 'w13'. Expected one of: w13_packed, w13_scales, w2_packed, w2_scales"));
    EXPECT_EQ(error_of([&] { (void)select_experts_batch(&store(), 0, beyond, "w2_packed"); }),
              "index out of bounds: the len is 6 but the index is 6 (expert)");
    EXPECT_EQ(error_of([&] { (void)select_experts(&store(), 1, beyond); }),
              "index out of bounds: the len is 3 but the index is 6 (expert)");
}

TEST(Export, EveryFormReportsAMissingStoreOrMissingGpuWeights) {
    WeightStore cpu_only;  // loaded without GPU weights or shared experts
    cpu_only.experts_cpu.resize(1);
    const std::size_t ids[] = {0};
    Targets t(64, 64, 64, 64);
    for (const WeightStore* s : std::array<const WeightStore*, 2>{nullptr, &cpu_only}) {
        const CallError want = s == nullptr ? runtime("Model not loaded") : runtime("GPU weights not available");
        const CallError want_shared = s == nullptr ? runtime("Model not loaded") : runtime("No shared experts");
        EXPECT_EQ(error(gpu_layer(s, 0)), want);
        EXPECT_EQ(error(select_expert_range(s, 0, std::nullopt, std::nullopt)), want);
        EXPECT_EQ(error(select_experts(s, 0, ids)), want);
        EXPECT_EQ(error(select_experts_batch(s, 0, ids, "w2_scales")), want);
        EXPECT_EQ(error(plan_write_experts_all_into(s, 0, t.spans())), want);
        EXPECT_EQ(error(plan_write_experts_range_into(s, 0, 0, 1, t.spans())), want);
        EXPECT_EQ(error(plan_write_experts_range_into_pinned(s, 0, 0, 1, t.spans())), want);
        EXPECT_EQ(error(gpu_shared_expert(s, 0)), want_shared);
        EXPECT_EQ(error(plan_write_shared_expert_into(s, 0, t.spans())), want_shared);
        EXPECT_EQ(error(shared_expert_weights(s, 0)), want_shared);
    }
    EXPECT_TRUE(t.untouched());
    EXPECT_EQ(error(is_marlin_format(nullptr)), runtime("Model not loaded"));
    EXPECT_EQ(error(marlin_w2_padded_n(nullptr)), runtime("Model not loaded"));
    EXPECT_FALSE(is_marlin_format(&cpu_only).value());
    EXPECT_TRUE(is_marlin_format(&store()).value());
}

TEST(Export, WriteAllPlacesEachExpertAtItsOffsetAndLeavesTheRest) {
    for (const std::size_t layer : {0u, 1u}) {
        const std::size_t n = store().experts_gpu[layer].size();
        Targets t = Targets::for_experts(layer, n, 5);
        const auto plan = plan_write_experts_all_into(&store(), layer, t.spans());
        ASSERT_TRUE(plan.has_value());
        EXPECT_TRUE(t.untouched());  // planning writes nothing
        plan->run();
        for (const WeightKind kind : kWeightKinds) {
            Bytes want = concat(layer, range(0, n), kind);
            want.resize(want.size() + 5, kFill);
            EXPECT_EQ(t.buf[static_cast<int>(kind)], want) << weight_type_name(kind);
        }
    }
}

TEST(Export, WriteAllRefusesShortTargetsBeforeWriting) {
    const char* names[] = {"w13p", "w13s", "w2p", "w2s"};
    const ExpertByteSizes per = ExpertByteSizes::of_expert(store().experts_gpu[0][0]);
    for (int k = 0; k < 4; ++k) {
        Targets t = Targets::for_experts(0, 6, 0, k);
        const std::size_t need = 6 * per.bytes[k];
        EXPECT_EQ(error(plan_write_experts_all_into(&store(), 0, t.spans())),
                  value(fmt::format("{}_buf too small: {} < {}", names[k], need - 1, need)));
        EXPECT_TRUE(t.untouched());
    }
    // Several short targets: the first in export order is reported.
    Targets all_short(1, 1, 1, 1);
    EXPECT_EQ(error(plan_write_experts_all_into(&store(), 0, all_short.spans())),
              value(fmt::format("w13p_buf too small: 1 < {}", 6 * per.bytes[0])));
}

TEST(Export, WriteRangeAndPinnedCopyTheRangeFromOffsetZero) {
    struct Case {
        std::size_t layer, start, end;
    };
    for (const Case c : {Case{0, 1, 4}, Case{0, 0, 6}, Case{0, 5, 6}, Case{1, 1, 3}}) {
        for (const bool pinned : {false, true}) {
            Targets t = Targets::for_experts(c.layer, c.end - c.start, 3);
            const auto plan = pinned ? plan_write_experts_range_into_pinned(&store(), c.layer, c.start, c.end, t.spans())
                                     : plan_write_experts_range_into(&store(), c.layer, c.start, c.end, t.spans());
            ASSERT_TRUE(plan.has_value());
            plan->run();
            for (const WeightKind kind : kWeightKinds) {
                Bytes want = concat(c.layer, range(c.start, c.end), kind);
                want.resize(want.size() + 3, kFill);
                EXPECT_EQ(t.buf[static_cast<int>(kind)], want);
            }
        }
    }
}

TEST(Export, WriteRangeRefusesBadRangesAndShortTargets) {
    const char* names[] = {"w13p", "w13s", "w2p", "w2s"};
    struct Range {
        std::size_t start, end;
    };
    for (const bool pinned : {false, true}) {
        auto plan = [&](std::size_t start, std::size_t end, Targets& t) {
            return pinned ? plan_write_experts_range_into_pinned(&store(), 0, start, end, t.spans())
                          : plan_write_experts_range_into(&store(), 0, start, end, t.spans());
        };
        for (const Range r : {Range{2, 2}, Range{0, 0}, Range{3, 1}, Range{0, 7}, Range{6, 7}, Range{7, 9}}) {
            Targets t = Targets::for_experts(0, 6);
            EXPECT_EQ(error(plan(r.start, r.end, t)),
                      value(fmt::format("Invalid range [{}, {}), layer has 6 experts", r.start, r.end)));
            EXPECT_TRUE(t.untouched());
        }
        // The range check comes before the sizes.
        Targets tiny(0, 0, 0, 0);
        EXPECT_EQ(error(plan(4, 4, tiny)), value("Invalid range [4, 4), layer has 6 experts"));
        for (int k = 0; k < 4; ++k) {
            Targets t = Targets::for_experts(0, 2, 0, k);
            EXPECT_EQ(error(plan(1, 3, t)),
                      value(pinned ? fmt::format("{} buffer too small", names[k]) : fmt::format("{}_buf too small", names[k])));
            EXPECT_TRUE(t.untouched());
        }
    }
}

TEST(Export, PinnedTargetsWithANullAddressAreRefused) {
    const char* names[] = {"w13p", "w13s", "w2p", "w2s"};
    for (int k = 0; k < 4; ++k) {
        Targets t = Targets::for_experts(0, 1);
        ExportTargets spans = t.spans();
        std::span<std::byte>* fields[] = {&spans.w13_packed, &spans.w13_scales, &spans.w2_packed, &spans.w2_scales};
        *fields[k] = std::span<std::byte>(static_cast<std::byte*>(nullptr), fields[k]->size());
        EXPECT_EQ(error(plan_write_experts_range_into_pinned(&store(), 0, 0, 1, spans)),
                  value(fmt::format("{}_ptr is a null address", names[k])));
        const UnifiedExpertWeights& shared = store().shared_experts_gpu[0];
        Targets ts(record(shared, WeightKind::W13Packed).size(), record(shared, WeightKind::W13Scales).size(),
                   record(shared, WeightKind::W2Packed).size(), record(shared, WeightKind::W2Scales).size());
        ExportTargets shared_spans = ts.spans();
        std::span<std::byte>* shared_fields[] = {&shared_spans.w13_packed, &shared_spans.w13_scales,
                                                 &shared_spans.w2_packed, &shared_spans.w2_scales};
        *shared_fields[k] = std::span<std::byte>(static_cast<std::byte*>(nullptr), shared_fields[k]->size());
        EXPECT_EQ(error(plan_write_shared_expert_into(&store(), 0, shared_spans)),
                  value(fmt::format("{}_ptr is a null address", names[k])));
        EXPECT_TRUE(ts.untouched());
        EXPECT_TRUE(t.untouched());
    }
}

TEST(Export, SharedExpertForms) {
    for (const std::size_t layer : {0u, 1u}) {
        const UnifiedExpertWeights& shared = store().shared_experts_gpu[layer];
        const auto weights = shared_expert_weights(&store(), layer);
        ASSERT_TRUE(weights.has_value());
        for (const WeightKind kind : kWeightKinds) EXPECT_EQ((*weights)[static_cast<int>(kind)], record(shared, kind));

        const std::size_t s[4] = {record(shared, WeightKind::W13Packed).size(), record(shared, WeightKind::W13Scales).size(),
                                  record(shared, WeightKind::W2Packed).size(), record(shared, WeightKind::W2Scales).size()};
        Targets t(s[0] + 2, s[1], s[2] + 7, s[3]);
        const auto plan = plan_write_shared_expert_into(&store(), layer, t.spans());
        ASSERT_TRUE(plan.has_value());
        plan->run();
        for (const WeightKind kind : kWeightKinds) {
            const Bytes& got = t.buf[static_cast<int>(kind)];
            const Bytes want = record(shared, kind);
            EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin()));
            EXPECT_TRUE(std::all_of(got.begin() + want.size(), got.end(), [](std::uint8_t x) { return x == kFill; }));
        }
        for (int k = 0; k < 4; ++k) {
            std::size_t sz[4] = {s[0], s[1], s[2], s[3]};
            sz[k] -= 1;
            Targets short_t(sz[0], sz[1], sz[2], sz[3]);
            EXPECT_EQ(error(plan_write_shared_expert_into(&store(), layer, short_t.spans())),
                      value("Shared expert buffer too small"));
            EXPECT_TRUE(short_t.untouched());
        }
    }
    EXPECT_EQ(error_of([] { (void)gpu_shared_expert(&store(), 2); }),
              "index out of bounds: the len is 2 but the index is 2 (MoE layer)");
}

TEST(Export, AnExpertWhoseBuffersDisagreeWithTheLayerIsAnInternalFault) {
    WeightStore s;
    std::mt19937 rng(3);
    s.experts_gpu.resize(1);
    for (int e = 0; e < 3; ++e)
        s.experts_gpu[0].push_back(UnifiedExpertWeights::from_expert_weights_marlin(random_expert(64, 32, 32, 4, rng), 4));
    s.experts_gpu[0][2].w2_scales.pop_back();  // 2 bytes short: copying it by the layer's sizes would over-read
    Targets t = Targets::for_experts(0, 3);
    const std::string fault = error_of([&] { (void)plan_write_experts_all_into(&s, 0, t.spans()); });
    EXPECT_NE(fault.find("expert 2 has buffers of"), std::string::npos) << fault;
    EXPECT_TRUE(t.untouched());
    EXPECT_EQ(error_of([&] { (void)select_expert_range(&s, 0, 0, 2); }), "<no error>");
    const std::size_t two[] = {2};
    EXPECT_NE(error_of([&] { (void)select_experts(&s, 0, two); }), "<no error>");
}

TEST(Export, LargeCopiesSplitIntoChunksGiveTheSameBytes) {
    // Buffers large enough for the chunked parallel copy, with sizes that are not multiples of the chunk.
    WeightStore s;
    s.experts_gpu.resize(1);
    std::mt19937 rng(9);
    for (int e = 0; e < 3; ++e) {
        UnifiedExpertWeights x;
        x.w13_packed.resize((CopyPlan::kParallelChunk * 3 + 12) / 4);
        for (auto& w : x.w13_packed) w = rng();
        x.w13_scales.assign(5, static_cast<std::uint16_t>(e));
        x.w2_packed.resize(CopyPlan::kParallelChunk / 4 + 1);
        for (auto& w : x.w2_packed) w = rng();
        x.w2_scales.assign(3, static_cast<std::uint16_t>(100 + e));
        s.experts_gpu[0].push_back(std::move(x));
    }
    const auto set = select_expert_range(&s, 0, std::nullopt, std::nullopt);
    ASSERT_TRUE(set.has_value());
    const std::size_t total = set->bytes(WeightKind::W13Packed) + set->bytes(WeightKind::W13Scales) +
                              set->bytes(WeightKind::W2Packed) + set->bytes(WeightKind::W2Scales);
    ASSERT_GE(total, CopyPlan::kParallelThreshold);
    Targets t(set->bytes(WeightKind::W13Packed), set->bytes(WeightKind::W13Scales), set->bytes(WeightKind::W2Packed),
              set->bytes(WeightKind::W2Scales));
    const auto plan = plan_write_experts_all_into(&s, 0, t.spans());
    ASSERT_TRUE(plan.has_value());
    EXPECT_EQ(plan->total_bytes(), total);
    plan->run();
    for (const WeightKind kind : kWeightKinds) {
        Bytes want;
        for (const auto& e : s.experts_gpu[0]) {
            const Bytes b = record(e, kind);
            want.insert(want.end(), b.begin(), b.end());
        }
        EXPECT_TRUE(t.buf[static_cast<int>(kind)] == want) << weight_type_name(kind);
    }
}

TEST(Export, MarlinDownPaddedWidth) {
    struct Case {
        std::uint64_t hidden, inter, want;
    };
    const Case cases[] = {{2880, 2880, 2944}, {4096, 4096, 4096}, {2880, 1440, 2880},
                          {64, 64, 128},      {256, 256, 256},    {4096, 1536, 4096}};
    for (const Case c : cases) {
        WeightStore s;
        s.config.hidden_size = c.hidden;
        s.config.moe_intermediate_size = c.inter;
        EXPECT_EQ(marlin_w2_padded_n(&s).value(), c.want) << c.hidden << " " << c.inter;
    }
}

}  // namespace
