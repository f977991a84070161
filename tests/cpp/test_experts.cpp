// Expert tensor discovery, loading and quantization: prefix and layer-number parsing, BF16 experts
// (aligned and unaligned data, every refusal), pre-quantized INT4 triples, the group-size hint, MXFP4
// dequantization and whole MXFP4 layers, and the raw readers.
//
// Checkpoints come from tests/fixtures/make_experts.py (written by the safetensors library), found under
// $ORVANE_TEST_FIXTURES/experts, with the expected values computed there in numpy/torch.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <spdlog/sinks/ostream_sink.h>

#include "core/bf16.hpp"
#include "core/errors.hpp"
#include "core/logging.hpp"
#include "weights/config.hpp"
#include "weights/experts.hpp"
#include "weights/safetensors_io.hpp"
#include "support.hpp"

namespace {

using orvane::test_support::LogCapture;

namespace fs = std::filesystem;
fs::path fixtures() { return orvane::test_support::fixture_dir("experts"); }
namespace st = orvane::weights::safetensors_io;
using namespace orvane::weights;
using marlin::QuantizedInt4;
using marlin::QuantizedInt8;
using nlohmann::json;


const json& expected() {
    static const json doc = [] {
        std::ifstream in(fixtures() / "expected.json");
        return in ? json::parse(in) : json::object();
    }();
    return doc;
}

template <class T>
std::vector<T> values(const json& array) {
    std::vector<T> out;
    for (const json& v : array) out.push_back(v.get<T>());
    return out;
}

// A checkpoint folder opened the way the loaders see it: its weight map and every shard that exists.
struct Checkpoint {
    WeightMap weight_map;
    ShardMap shards;
};

Checkpoint open_checkpoint(const std::string& folder) {
    const fs::path dir = fixtures() / folder;
    auto index = st::read_safetensors_index(dir);
    if (!index) throw std::runtime_error(index.error());
    Checkpoint c;
    c.weight_map = index->weight_map;
    for (const auto& [name, shard] : c.weight_map) {
        if (c.shards.contains(shard) || !fs::exists(dir / shard)) continue;
        auto file = st::MmapSafetensors::open(dir / shard);
        if (!file) throw std::runtime_error(file.error().message());
        c.shards.emplace(shard, std::move(*file));
    }
    return c;
}


template <class T>
std::string error_of(const orvane::Result<T>& r) {
    return r ? std::string("<success>") : r.error();
}

// "a.b.c.gate_proj.weight" -> ("a.b.c", "gate_proj").
std::pair<std::string, std::string> split_projection(const std::string& name) {
    const std::string stem = name.substr(0, name.size() - std::string(".weight").size());
    const std::size_t dot = stem.rfind('.');
    return {stem.substr(0, dot), stem.substr(dot + 1)};
}

void expect_int4(const QuantizedInt4& q, const json& packed, const json& scales, std::uint64_t rows,
                 std::uint64_t cols, std::uint64_t gs) {
    EXPECT_EQ(q.rows, rows);
    EXPECT_EQ(q.cols, cols);
    EXPECT_EQ(q.group_size, gs);
    EXPECT_EQ(q.packed, values<std::uint32_t>(packed));
    EXPECT_EQ(q.scales, values<std::uint16_t>(scales));
}

void expect_int8(const QuantizedInt8& q, const json& levels, const json& scales, std::uint64_t rows,
                 std::uint64_t cols, std::uint64_t gs) {
    EXPECT_EQ(q.rows, rows);
    EXPECT_EQ(q.cols, cols);
    EXPECT_EQ(q.group_size, gs);
    EXPECT_EQ(q.data, values<std::int8_t>(levels));
    EXPECT_EQ(q.scales, values<std::uint16_t>(scales));
}

// --- prefix and layer numbers ---------------------------------------------------------------------------

TEST(ExpertsPrefix, FirstExpertNameGivesTheTextBeforeLayers) {
    const std::string error = "Could not detect expert weight prefix from safetensors index";
    struct Case {
        std::vector<std::string> names;
        std::string want;  // prefix, or the error text
    };
    const Case cases[] = {
        {{"model.layers.3.mlp.experts.7.up_proj.weight"}, "model"},
        {{"model.language_model.layers.0.mlp.experts.0.down_proj.weight", "lm_head.weight"},
         "model.language_model"},
        {{"a.b.layers.1.mlp.experts.0.x.layers.2"}, "a.b"},
        {{"model.layers.0.mlp.gate_proj.weight", "lm_head.weight", "model.embed_tokens.weight"}, error},
        {{"model.layers.0.mlp.shared_experts.gate_proj.weight"}, error},  // no ".mlp.experts."
        {{"mlp.experts.0.gate_proj.weight"}, error},                      // no ".layers."
        {{}, error},
    };
    for (const Case& c : cases) {
        WeightMap map;
        for (const std::string& n : c.names) map[n] = "shard.safetensors";
        auto prefix = detect_expert_prefix(map);
        EXPECT_EQ(prefix ? *prefix : prefix.error(), c.want) << c.names.size() << " names";
    }
    // The multimodal checkpoint written by the library.
    auto vl = detect_expert_prefix(open_checkpoint("vl").weight_map);
    EXPECT_EQ(vl.value_or("<error>"), "model.language_model");
}

TEST(ExpertsLayerNumber, OnlyTheFirstLayersComponentCounts) {
    const std::optional<std::uint64_t> none;
    const std::pair<std::string, std::optional<std::uint64_t>> cases[] = {
        {"model.layers.12.mlp.gate.weight", 12},
        {"model.layers.x.mlp", none},
        {"lm_head.weight", none},
        {"a.layers.b.layers.3", none},
        {"layers.5", 5},
        {"model.layers.+7.mlp", 7},
        {"model.layers.++7", none},
        {"model.layers.+", none},
        {"model.layers.", none},
        {"model.layers", none},
        {"model.layers.-1.mlp", none},
        {"model.layers.1e3", none},
        {"model.layers. 3", none},
        {"model.layers.007", 7},
        {"model.layers.18446744073709551615.x", 18446744073709551615ull},
        {"model.layers.18446744073709551616.x", none},
        {"model.mylayers.3.layers.4", 4},
    };
    for (const auto& [name, want] : cases) EXPECT_EQ(parse_layer_number(name), want) << name;
}

TEST(ExpertsPrefix, TemplatesFormatPrefixLayerAndExpert) {
    EXPECT_EQ(routed_expert_prefix("model", 3, 7), "model.layers.3.mlp.experts.7");
    EXPECT_EQ(shared_expert_prefix("model.language_model", 12), "model.language_model.layers.12.mlp.shared_experts");
    EXPECT_EQ(mxfp4_experts_prefix("model", 0), "model.layers.0.mlp.experts");
}

// --- BF16 experts ---------------------------------------------------------------------------------------

TEST(ExpertsBf16, EveryProjectionQuantizesLikeTheReference) {
    const Checkpoint c = open_checkpoint("bf16");
    int checked = 0;
    for (const auto& [name, entry] : expected()["bf16"]["tensors"].items()) {
        if (!entry.contains("int4_packed")) continue;
        SCOPED_TRACE(name);
        const auto [prefix, proj] = split_projection(name);
        const auto rows = entry["shape"][0].get<std::uint64_t>();
        const auto cols = entry["shape"][1].get<std::uint64_t>();
        const auto gs = entry["group_size"].get<std::uint64_t>();
        auto q4 = load_and_quantize_weight(prefix, proj, c.weight_map, c.shards, gs);
        ASSERT_TRUE(q4) << q4.error();
        expect_int4(*q4, entry["int4_packed"], entry["int4_scales"], rows, cols, gs);
        auto q8 = load_and_quantize_weight_int8(prefix, proj, c.weight_map, c.shards, gs);
        ASSERT_TRUE(q8) << q8.error();
        expect_int8(*q8, entry["int8_levels"], entry["int8_scales"], rows, cols, gs);
        ++checked;
    }
    EXPECT_EQ(checked, 2 * 2 * 3 + 2 * 3);  // two layers of two routed experts, two shared experts
}

TEST(ExpertsBf16, ExpertLoadsGateUpDownAcrossShards) {
    const Checkpoint c = open_checkpoint("bf16");
    const json& t = expected()["bf16"]["tensors"];
    const auto gs = expected()["bf16"]["group_size"].get<std::uint64_t>();
    // Routed expert 1 of layer 1 keeps its down projection in the second shard; the shared expert is wider.
    for (const std::string& prefix : {routed_expert_prefix("model", 1, 1), shared_expert_prefix("model", 2)}) {
        SCOPED_TRACE(prefix);
        for (std::uint8_t bits : {4, 8, 5}) {  // any width but 4 means INT8
            auto e = load_and_quantize_expert(prefix, c.weight_map, c.shards, gs, bits);
            ASSERT_TRUE(e) << e.error();
            const QuantWeight* parts[3] = {&e->gate, &e->up, &e->down};
            for (int p = 0; p < 3; ++p) {
                const json& want = t[prefix + "." + std::string(kProjections[p]) + ".weight"];
                const auto rows = want["shape"][0].get<std::uint64_t>();
                const auto cols = want["shape"][1].get<std::uint64_t>();
                ASSERT_EQ(quant_bits(*parts[p]), bits == 4 ? 4 : 8);
                if (bits == 4)
                    expect_int4(std::get<QuantizedInt4>(*parts[p]), want["int4_packed"], want["int4_scales"], rows,
                                cols, gs);
                else
                    expect_int8(std::get<QuantizedInt8>(*parts[p]), want["int8_levels"], want["int8_scales"], rows,
                                cols, gs);
            }
        }
    }
}

TEST(ExpertsBf16, MisalignedTensorQuantizesLikeTheAlignedOne) {
    const Checkpoint aligned = open_checkpoint("bf16");
    const Checkpoint odd = open_checkpoint("unaligned");
    auto bytes = load_u8_tensor("x.gate_proj.weight", odd.weight_map, odd.shards);
    ASSERT_TRUE(bytes) << bytes.error();
    ASSERT_EQ(reinterpret_cast<std::uintptr_t>(bytes->data()) % 2, 1u) << "the fixture must start at an odd address";

    const json& want = expected()["bf16"]["tensors"]["model.layers.1.mlp.experts.0.gate_proj.weight"];
    const auto gs = expected()["bf16"]["group_size"].get<std::uint64_t>();
    auto q4 = load_and_quantize_weight("x", "gate_proj", odd.weight_map, odd.shards, gs);
    ASSERT_TRUE(q4) << q4.error();
    expect_int4(*q4, want["int4_packed"], want["int4_scales"], 16, 32, gs);
    auto q8 = load_and_quantize_weight_int8("x", "gate_proj", odd.weight_map, odd.shards, gs);
    ASSERT_TRUE(q8) << q8.error();
    expect_int8(*q8, want["int8_levels"], want["int8_scales"], 16, 32, gs);
    auto f32 = load_bf16_tensor_as_f32("x.gate_proj.weight", odd.weight_map, odd.shards);
    ASSERT_TRUE(f32) << f32.error();
    EXPECT_EQ(*f32, values<float>(want["f32"]));

    auto from_aligned = load_and_quantize_weight("model.layers.1.mlp.experts.0", "gate_proj", aligned.weight_map,
                                                 aligned.shards, gs);
    ASSERT_TRUE(from_aligned);
    EXPECT_EQ(from_aligned->packed, q4->packed);
}

TEST(ExpertsBf16, RefusalsNameTheFault) {
    const Checkpoint c = open_checkpoint("bf16");
    const std::string ok = "<success>";
    struct Case {
        std::string prefix;
        std::uint64_t group_size;
        std::string int4;  // expected error (or success) of the INT4 load
        std::string int8;  // and of the INT8 load
    };
    const Case cases[] = {
        {"model.layers.9.mlp.experts.0", 16, "Tensor not found in index: model.layers.9.mlp.experts.0.gate_proj.weight",
         "Tensor not found in index: model.layers.9.mlp.experts.0.gate_proj.weight"},
        {"bad.missing_shard", 16, "Shard not loaded: model-00003-of-00003.safetensors",
         "Shard not loaded: model-00003-of-00003.safetensors"},
        {"bad.not_in_shard", 16, "Tensor not in shard: bad.not_in_shard.gate_proj.weight",
         "Tensor not in shard: bad.not_in_shard.gate_proj.weight"},
        {"bad.vector", 16, "Tensor bad.vector.gate_proj.weight has 1 dimensions, expected [rows, cols]",
         "Tensor bad.vector.gate_proj.weight has 1 dimensions, expected [rows, cols]"},
        {"bad.f32", 16,
         "Failed to read bad.f32.gate_proj.weight: Type size mismatch: requested 2 bytes, tensor dtype is F32 (4 bytes)",
         "Failed to read bad.f32.gate_proj.weight: Type size mismatch: requested 2 bytes, tensor dtype is F32 (4 bytes)"},
        // A shape whose first two dimensions describe less than the data would read a different matrix.
        {"bad.cube", 8, "Tensor bad.cube.gate_proj.weight of shape [2, 8] holds 128 elements, not 2×8",
         "Tensor bad.cube.gate_proj.weight of shape [2, 8] holds 128 elements, not 2×8"},
        {"bad.cols12", 4, "cols (12) must be divisible by 8", ok},
        {"bad.cols24", 16, "cols (24) must be divisible by group_size (16)",
         "cols (24) must be divisible by group_size (16)"},
        {"model.layers.1.mlp.experts.0", 0, "assertion failed: group_size != 0", "assertion failed: group_size != 0"},
        {"model.layers.1.mlp.experts.0", 32, ok, ok},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.prefix + " gs " + std::to_string(k.group_size));
        EXPECT_EQ(error_of(load_and_quantize_weight(k.prefix, "gate_proj", c.weight_map, c.shards, k.group_size)),
                  k.int4);
        EXPECT_EQ(
            error_of(load_and_quantize_weight_int8(k.prefix, "gate_proj", c.weight_map, c.shards, k.group_size)),
            k.int8);
    }
}

TEST(ExpertsBf16, ExpertStopsAtTheFirstMissingProjection) {
    Checkpoint c = open_checkpoint("bf16");
    const std::string prefix = routed_expert_prefix("model", 1, 0);
    c.weight_map.erase(prefix + ".up_proj.weight");
    c.weight_map.erase(prefix + ".down_proj.weight");
    for (std::uint8_t bits : {4, 8})
        EXPECT_EQ(error_of(load_and_quantize_expert(prefix, c.weight_map, c.shards, 16, bits)),
                  "Tensor not found in index: " + prefix + ".up_proj.weight");
}

// --- raw readers ----------------------------------------------------------------------------------------

TEST(ExpertsRawReaders, Bf16WidensAndU8Borrows) {
    const Checkpoint c = open_checkpoint("bf16");
    for (const auto& [name, entry] : expected()["bf16"]["tensors"].items()) {
        if (!entry.contains("f32")) continue;
        auto f32 = load_bf16_tensor_as_f32(name, c.weight_map, c.shards);
        ASSERT_TRUE(f32) << name << ": " << f32.error();
        EXPECT_EQ(*f32, values<float>(entry["f32"])) << name;
    }

    const std::string u8 = "bad.u8.gate_proj.weight";
    auto bytes = load_u8_tensor(u8, c.weight_map, c.shards);
    ASSERT_TRUE(bytes) << bytes.error();
    EXPECT_EQ(std::vector<std::uint8_t>(bytes->begin(), bytes->end()),
              values<std::uint8_t>(expected()["bf16"]["tensors"][u8]["bytes"]));
    auto direct = c.shards.find(c.weight_map.at(u8))->second.tensor_data(u8);
    EXPECT_EQ(bytes->data(), direct->data()) << "the bytes are borrowed from the mapping, not copied";
    // No dtype check: a BF16 tensor comes back as its bytes.
    auto raw = load_u8_tensor("model.embed_tokens.weight", c.weight_map, c.shards);
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->size(), 8u * 32 * 2);

    const std::pair<std::string, std::string> failures[] = {
        {"nothing.weight", "Tensor not found: nothing.weight"},
        {"bad.missing_shard.gate_proj.weight", "Shard not loaded: model-00003-of-00003.safetensors"},
        {"bad.not_in_shard.gate_proj.weight",
         "Failed to read bad.not_in_shard.gate_proj.weight: Tensor not found: bad.not_in_shard.gate_proj.weight"},
    };
    for (const auto& [name, want] : failures) {
        EXPECT_EQ(error_of(load_bf16_tensor_as_f32(name, c.weight_map, c.shards)), want);
        EXPECT_EQ(error_of(load_u8_tensor(name, c.weight_map, c.shards)), want);
    }
    EXPECT_EQ(error_of(load_bf16_tensor_as_f32("bad.f32.gate_proj.weight", c.weight_map, c.shards)),
              "Failed to read bad.f32.gate_proj.weight: Type size mismatch: requested 2 bytes, tensor dtype is F32 "
              "(4 bytes)");
}

// --- pre-quantized INT4 ---------------------------------------------------------------------------------

TEST(ExpertsPrequant, WordsAndScalesAreAdoptedUnchanged) {
    const Checkpoint c = open_checkpoint("prequant");
    const auto gs = expected()["prequant"]["group_size"].get<std::uint64_t>();
    for (const auto& [prefix, entry] : expected()["prequant"]["projections"].items()) {
        SCOPED_TRACE(prefix);
        const std::size_t dot = prefix.rfind('.');
        auto q = load_prequantized_weight(prefix.substr(0, dot), prefix.substr(dot + 1), c.weight_map, c.shards, gs);
        ASSERT_TRUE(q) << q.error();
        const auto rows = entry["rows"].get<std::uint64_t>();
        const auto cols = entry["cols"].get<std::uint64_t>();
        expect_int4(*q, entry["packed"], entry["scales"], rows, cols, gs);
        // The words read in the row-major nibble order give back the levels the fixture packed.
        const auto levels = values<int>(entry["levels"]);
        for (std::uint64_t n = 0; n < rows; ++n)
            for (std::uint64_t k = 0; k < cols; ++k) {
                const std::uint32_t word = q->packed[n * (cols / 8) + k / 8];
                const int level = static_cast<int>((word >> (4 * (k % 8))) & 0xF) - 8;
                ASSERT_EQ(level, levels[n * cols + k]) << n << "," << k;
            }
    }
}

TEST(ExpertsPrequant, BrokenTriplesAreRefused) {
    const Checkpoint c = open_checkpoint("prequant");
    const std::pair<std::pair<std::string, std::uint64_t>, std::string> cases[] = {
        {{"packed_short", 32}, "Packed size mismatch: expected 8×64/8=64, got 63"},
        {{"scale_short", 32}, "Scale size mismatch: expected 8×64/32=16, got 15"},
        {{"negative_rows", 32}, "Invalid weight shape bad.negative_rows.gate_proj.weight_shape: [-8, 64]"},
        {{"zero_cols", 32}, "Invalid weight shape bad.zero_cols.gate_proj.weight_shape: [8, 0]"},
        {{"one_value", 32},
         "Invalid weight shape bad.one_value.gate_proj.weight_shape: expected [rows, cols], got 1 values"},
        {{"cols12", 4}, "cols (12) must be divisible by 8"},
        {{"cols48", 32}, "cols (48) must be divisible by group_size (32)"},
        {{"shape_i64", 32},
         "Failed to read bad.shape_i64.gate_proj.weight_shape: Type size mismatch: requested 4 bytes, tensor dtype "
         "is I64 (8 bytes)"},
        {{"packed_short", 0}, "Invalid group_size 0 for bad.packed_short.gate_proj.weight_packed"},
        {{"absent", 32}, "Tensor not found: bad.absent.gate_proj.weight_shape"},
    };
    for (const auto& [input, want] : cases)
        EXPECT_EQ(error_of(load_prequantized_weight("bad." + input.first, "gate_proj", c.weight_map, c.shards,
                                                    input.second)),
                  want)
            << input.first;
}

TEST(ExpertsPrequant, FullSizeProjectionCountsWordsAndScales) {
    // rows 2048, cols 7168, group size 128: 1,835,008 words and 114,688 scales; one word fewer is refused.
    // A sparse file written here holds one complete triple ("ok") and one a word short ("short").
    const std::uint64_t words = 2048ull * 7168 / 8, scales = 2048ull * 7168 / 128;
    nlohmann::ordered_json header;
    std::uint64_t at = 0;
    auto add = [&](const std::string& name, const char* dtype, std::uint64_t count, std::uint64_t width) {
        header[name] = {{"dtype", dtype}, {"shape", {count}}, {"data_offsets", {at, at + count * width}}};
        at += count * width;
    };
    add("ok.gate_proj.weight_shape", "I32", 2, 4);
    add("short.gate_proj.weight_shape", "I32", 2, 4);
    add("ok.gate_proj.weight_packed", "I32", words, 4);
    add("short.gate_proj.weight_packed", "I32", words - 1, 4);
    add("ok.gate_proj.weight_scale", "BF16", scales, 2);
    add("short.gate_proj.weight_scale", "BF16", scales, 2);
    std::string text = header.dump();
    text.append((8 - text.size() % 8) % 8, ' ');
    const fs::path path = fs::path(::testing::TempDir()) / "orvane_prequant_full.safetensors";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        const std::uint64_t n = text.size();
        const std::int32_t shape[4] = {2048, 7168, 2048, 7168};
        out.write(reinterpret_cast<const char*>(&n), 8);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.write(reinterpret_cast<const char*>(shape), sizeof shape);
    }
    fs::resize_file(path, 8 + text.size() + at);

    ShardMap shards;
    auto file = st::MmapSafetensors::open(path);
    ASSERT_TRUE(file) << file.error().message();
    WeightMap map;
    for (const auto& [name, info] : file->tensors()) map[name] = "full.safetensors";
    shards.emplace("full.safetensors", std::move(*file));

    auto ok = load_prequantized_weight("ok", "gate_proj", map, shards, 128);
    ASSERT_TRUE(ok) << ok.error();
    EXPECT_EQ(ok->packed.size(), 1835008u);
    EXPECT_EQ(ok->scales.size(), 114688u);
    EXPECT_EQ(ok->rows, 2048u);
    EXPECT_EQ(ok->cols, 7168u);
    EXPECT_EQ(error_of(load_prequantized_weight("short", "gate_proj", map, shards, 128)),
              "Packed size mismatch: expected 2048×7168/8=1835008, got 1835007");
    shards.clear();
    fs::remove(path);
}

TEST(ExpertsPrequant, GroupSizeIsUnpackedColumnsOverScaleColumns) {
    const Checkpoint c = open_checkpoint("prequant");
    LogCapture log(orvane::log::weights());
    auto gs = detect_prequant_group_size(c.weight_map, "model", 1, c.shards);
    ASSERT_TRUE(gs) << gs.error();
    EXPECT_EQ(*gs, 32u);
    EXPECT_NE(log.text().find("info|Detected pre-quantized INT4: orig_cols=64, scale_cols=2, group_size=32\n"),
              std::string::npos)
        << log.text();
    EXPECT_EQ(error_of(detect_prequant_group_size(c.weight_map, "model", 0, c.shards)),
              "Tensor not found: model.layers.0.mlp.experts.0.gate_proj.weight_shape");

    const Checkpoint bad = open_checkpoint("prequant_bad");
    EXPECT_EQ(error_of(detect_prequant_group_size(bad.weight_map, "model", 0, bad.shards)),
              "Scale tensor model.layers.0.mlp.experts.0.gate_proj.weight_scale has 1 dimensions, expected "
              "[rows, groups]");
}

// --- group-size hint ------------------------------------------------------------------------------------

TEST(ExpertsGroupSizeHint, ComesFromTheCheckpointKind) {
    struct Case {
        std::string folder;
        std::uint64_t hidden, intermediate, first_dense;
        std::optional<std::uint64_t> want;
        std::string log;  // a line the call must log ("" = none checked)
    };
    const std::optional<std::uint64_t> none;
    const Case cases[] = {
        {"mxfp4", 64, 64, 0, 64, "info|MXFP4 model: using group_size=64 (hidden=64, intermediate=64)"},
        {"mxfp4", 2880, 2880, 0, 64, "info|MXFP4 model: using group_size=64 (hidden=2880, intermediate=2880)"},
        {"mxfp4", 4096, 1536, 0, 128, "info|MXFP4 model: using group_size=128 (hidden=4096, intermediate=1536)"},
        {"mxfp4", 96, 48, 0, 32, "info|MXFP4 model: using group_size=32 (hidden=96, intermediate=48)"},
        {"prequant", 64, 32, 1, 32, "info|Detected pre-quantized group_size=32 for cache path"},
        {"prequant", 64, 32, 0, none, ""},  // layer 0 is dense: no triple to look at
        {"prequant_bad", 64, 32, 0, none,
         "warning|Failed to detect pre-quantized group_size: Scale tensor "
         "model.layers.0.mlp.experts.0.gate_proj.weight_scale has 1 dimensions, expected [rows, groups]"},
        {"bf16", 32, 16, 1, none, ""},
        {"vl", 8, 8, 0, none, ""},
        {"unaligned", 32, 16, 0, none, ""},  // no expert names: no prefix
        {"no_such_folder", 32, 16, 0, none, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder + " " + std::to_string(c.hidden) + "/" + std::to_string(c.intermediate));
        ModelConfig config;
        config.hidden_size = c.hidden;
        config.moe_intermediate_size = c.intermediate;
        config.first_k_dense_replace = c.first_dense;
        LogCapture log(orvane::log::weights());
        EXPECT_EQ(detect_group_size_hint(fixtures() / c.folder, config), c.want);
        if (!c.log.empty()) {
            EXPECT_NE(log.text().find(c.log + "\n"), std::string::npos) << log.text();
        }
    }
}

// --- MXFP4 ----------------------------------------------------------------------------------------------

std::uint16_t bf16_bits(float f) { return static_cast<std::uint16_t>(std::bit_cast<std::uint32_t>(f) >> 16); }

TEST(ExpertsMxfp4, TableScaleAndPositions) {
    // One row, one block, scale 2^0: byte k holds nibbles (k, 15 − k).
    std::vector<std::uint8_t> blocks(16);
    for (int k = 0; k < 16; ++k) blocks[k] = static_cast<std::uint8_t>(k | ((15 - k) << 4));
    auto unit = dequantize_mxfp4_to_bf16(blocks, std::vector<std::uint8_t>{127}, 1, 1);
    ASSERT_TRUE(unit) << unit.error();
    ASSERT_EQ(unit->size(), 32u);
    for (int k = 0; k < 16; ++k) {
        EXPECT_EQ((*unit)[2 * k], bf16_bits(kFp4E2M1[k])) << k;
        EXPECT_EQ((*unit)[2 * k + 1], bf16_bits(kFp4E2M1[15 - k])) << k;
    }
    EXPECT_EQ((*unit)[14], 0x40C0) << "nibble 0x7 at scale byte 127 is 6.0";
    EXPECT_EQ((*unit)[30], 0xC0C0) << "nibble 0xF at scale byte 127 is -6.0";
    EXPECT_EQ((*unit)[16], 0x0000) << "nibble 0x8 is stored as +0.0";

    auto zero = dequantize_mxfp4_to_bf16(blocks, std::vector<std::uint8_t>{0}, 1, 1);
    ASSERT_TRUE(zero);
    // Scale byte 0 decodes every nibble to zero (negative nibbles to -0.0: the product's upper bits).
    for (int i = 0; i < 32; ++i) {
        const std::uint16_t want = (i % 2 == 0 ? i / 2 : 15 - i / 2) >= 9 ? 0x8000 : 0x0000;  // nibble 8 is +0.0
        EXPECT_EQ((*zero)[i], want) << i;
        EXPECT_EQ(orvane::bf16_to_f32((*zero)[i]), 0.0f) << i;
    }

    // Two rows of three blocks with different scales: element i·B·32 + j·32 + 2k (+1) is block (i, j).
    const std::size_t rows = 2, nb = 3;
    std::vector<std::uint8_t> many(rows * nb * 16);
    std::vector<std::uint8_t> scales(rows * nb);
    for (std::size_t b = 0; b < rows * nb; ++b) {
        scales[b] = static_cast<std::uint8_t>(124 + b);
        for (std::size_t k = 0; k < 16; ++k) many[b * 16 + k] = static_cast<std::uint8_t>((b * 7 + k * 3) & 0xFF);
    }
    auto out = dequantize_mxfp4_to_bf16(many, scales, rows, nb);
    ASSERT_TRUE(out);
    ASSERT_EQ(out->size(), rows * nb * 32);
    for (std::size_t i = 0; i < rows; ++i)
        for (std::size_t j = 0; j < nb; ++j)
            for (std::size_t k = 0; k < 16; ++k) {
                const std::size_t b = i * nb + j;
                const float s = std::ldexp(1.0f, static_cast<int>(scales[b]) - 127);
                const std::uint8_t byte = many[b * 16 + k];
                EXPECT_EQ((*out)[i * nb * 32 + j * 32 + 2 * k], bf16_bits(kFp4E2M1[byte & 0xF] * s));
                EXPECT_EQ((*out)[i * nb * 32 + j * 32 + 2 * k + 1], bf16_bits(kFp4E2M1[byte >> 4] * s));
            }

    // Arrays shorter than the shape are refused, not read past.
    EXPECT_EQ(error_of(dequantize_mxfp4_to_bf16(std::span(many).first(many.size() - 1), scales, rows, nb)),
              "MXFP4 blocks hold 95 bytes, 2 rows of 3 blocks need 96");
    EXPECT_EQ(error_of(dequantize_mxfp4_to_bf16(many, std::span(scales).first(5), rows, nb)),
              "MXFP4 scales hold 5 bytes, 2 rows of 3 blocks need 6");
}

TEST(ExpertsMxfp4, FixtureExpertsMatchNumpy) {
    const Checkpoint c = open_checkpoint("mxfp4");
    const json& want = expected()["mxfp4"];
    const auto H = want["hidden"].get<std::uint64_t>();
    const auto I = want["intermediate"].get<std::uint64_t>();
    const auto gs = want["group_size"].get<std::uint64_t>();
    const auto E = want["n_experts"].get<std::size_t>();
    auto config = load_model_config(fixtures() / "mxfp4");
    ASSERT_TRUE(config) << config.error();

    // Dequantization of each expert's slices.
    auto blocks = load_u8_tensor("model.layers.0.mlp.experts.gate_up_proj_blocks", c.weight_map, c.shards);
    auto scales = load_u8_tensor("model.layers.0.mlp.experts.gate_up_proj_scales", c.weight_map, c.shards);
    ASSERT_TRUE(blocks && scales);
    const std::size_t block_slice = 2 * I * (H / 32) * 16;
    const std::size_t scale_slice = 2 * I * (H / 32);
    for (std::size_t x = 0; x < E; ++x) {
        auto gate_up = dequantize_mxfp4_to_bf16(blocks->subspan(x * block_slice, block_slice),
                                                scales->subspan(x * scale_slice, scale_slice), 2 * I, H / 32);
        ASSERT_TRUE(gate_up);
        EXPECT_EQ(*gate_up, values<std::uint16_t>(want["experts"][x]["gate_up"])) << "expert " << x;
    }

    LogCapture log(orvane::log::weights());
    for (std::uint8_t bits : {4, 8}) {
        SCOPED_TRACE(int(bits));
        auto layer = load_mxfp4_layer_experts("model", 0, c.weight_map, c.shards, config->config, gs, bits);
        ASSERT_TRUE(layer) << layer.error();
        ASSERT_EQ(layer->size(), E);
        for (std::size_t x = 0; x < E; ++x) {
            const json& e = want["experts"][x];
            const std::pair<const QuantWeight*, std::string> parts[] = {
                {&(*layer)[x].gate, "gate"}, {&(*layer)[x].up, "up"}, {&(*layer)[x].down, "down"}};
            for (const auto& [w, name] : parts) {
                SCOPED_TRACE(name + " of expert " + std::to_string(x));
                const std::uint64_t rows = name == "down" ? H : I;
                const std::uint64_t cols = name == "down" ? I : H;
                if (bits == 4)
                    expect_int4(std::get<QuantizedInt4>(*w), e[name + "_int4_packed"], e[name + "_int4_scales"], rows,
                                cols, gs);
                else
                    expect_int8(std::get<QuantizedInt8>(*w), e[name + "_int8_levels"], e[name + "_int8_scales"], rows,
                                cols, gs);
            }
        }
    }
    EXPECT_NE(log.text().find("info|MXFP4 layer 0: 2 experts, gate_up=[128,64], down=[64,64]\n"), std::string::npos)
        << log.text();
}

TEST(ExpertsMxfp4, LayerFailuresAreReported) {
    const Checkpoint c = open_checkpoint("mxfp4");
    auto loaded = load_model_config(fixtures() / "mxfp4");
    ASSERT_TRUE(loaded) << loaded.error();
    const ModelConfig base = loaded->config;
    struct Case {
        std::string what;
        std::uint64_t layer, hidden, experts, group_size;
        std::string want;
    };
    const Case cases[] = {
        {"down blocks hold one expert", 1, 64, 2, 32,
         "MXFP4 tensor model.layers.1.mlp.experts.down_proj_blocks holds 2048 bytes, 2 experts of 2048 bytes need "
         "more"},
        {"more experts than the tensors", 0, 64, 3, 32,
         "MXFP4 tensor model.layers.0.mlp.experts.gate_up_proj_blocks holds 8192 bytes, 3 experts of 4096 bytes "
         "need more"},
        {"absent layer", 5, 64, 2, 32, "Tensor not found: model.layers.5.mlp.experts.gate_up_proj_blocks"},
        {"hidden not a multiple of 32", 0, 48, 2, 16,
         "MXFP4 layer 0: hidden (48) and intermediate (64) must be multiples of 32"},
        {"group larger than a row", 0, 64, 2, 128, "cols (64) must be divisible by group_size (128)"},
        {"zero group size", 0, 64, 2, 0, "assertion failed: group_size != 0"},
    };
    for (const Case& k : cases) {
        ModelConfig config = base;
        config.hidden_size = k.hidden;
        config.n_routed_experts = k.experts;
        for (std::uint8_t bits : {4, 8})
            EXPECT_EQ(error_of(load_mxfp4_layer_experts("model", k.layer, c.weight_map, c.shards, config, k.group_size,
                                                        bits)),
                      k.want)
                << k.what;
    }
}

}  // namespace
