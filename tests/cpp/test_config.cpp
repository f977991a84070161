// Model configuration: key preference, integer and float classes, the dense prefix, the text_config
// wrapper, the fingerprint, and the config.json loading sequence with its wrapped failures.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <spdlog/sinks/ostream_sink.h>

#include "core/logging.hpp"
#include "weights/config.hpp"
#include "support.hpp"

namespace {

using orvane::test_support::LogCapture;
using orvane::test_support::TempDir;

using nlohmann::json;
using orvane::weights::config_fingerprint;
using orvane::weights::load_model_config;
using orvane::weights::ModelConfig;

// A complete DeepSeek-style document; cases patch it. Integer fields take the JSON reader's unsigned class,
// which text like "8" parses to; a value built in C++ must therefore be unsigned (8u), as in the patches.
json base_config() {
    return json::parse(R"({
        "architectures": ["DeepseekV3ForCausalLM"],
        "hidden_size": 7168,
        "intermediate_size": 18432,
        "moe_intermediate_size": 2048,
        "n_routed_experts": 256,
        "num_experts_per_tok": 8,
        "num_hidden_layers": 61,
        "first_k_dense_replace": 3,
        "n_shared_experts": 1,
        "routed_scaling_factor": 2.5
    })");
}

// Applies a JSON merge patch (null removes a key).
json patched(const json& patch) {
    json doc = base_config();
    doc.merge_patch(patch);
    return doc;
}



}  // namespace

TEST(ConfigFromJson, ReadsEveryFieldOfACompleteDocument) {
    auto cfg = ModelConfig::from_json(base_config());
    ASSERT_TRUE(cfg) << cfg.error();
    EXPECT_EQ(cfg->hidden_size, 7168u);
    EXPECT_EQ(cfg->moe_intermediate_size, 2048u);  // preferred over intermediate_size
    EXPECT_EQ(cfg->n_routed_experts, 256u);
    EXPECT_EQ(cfg->num_experts_per_tok, 8u);
    EXPECT_EQ(cfg->num_hidden_layers, 61u);
    EXPECT_EQ(cfg->first_k_dense_replace, 3u);
    EXPECT_EQ(cfg->n_shared_experts, 1u);
    EXPECT_EQ(cfg->routed_scaling_factor, 2.5f);
    EXPECT_EQ(cfg->swiglu_limit, 0.0f);
    EXPECT_EQ(cfg->swiglu_alpha, 0.0f);
    EXPECT_EQ(cfg->total_moe_layers(), 58u);
}

TEST(ConfigFromJson, AcceptedVariants) {
    struct Case {
        const char* name;
        json patch;
        std::uint64_t inter, experts, top_k, first_k, shared;
        float scale, limit, alpha;
    };
    const std::vector<Case> cases = {
        {"intermediate_size when moe_intermediate_size is absent",
         {{"moe_intermediate_size", nullptr}, {"intermediate_size", 1408u}}, 1408, 256, 8, 3, 1, 2.5f, 0, 0},
        {"num_experts", {{"n_routed_experts", nullptr}, {"num_experts", 64u}}, 2048, 64, 8, 3, 1, 2.5f, 0, 0},
        {"only num_local_experts", {{"n_routed_experts", nullptr}, {"num_local_experts", 8u}}, 2048, 8, 8, 3, 1,
         2.5f, 0, 0},
        {"n_routed_experts wins over the others", {{"num_experts", 5u}, {"num_local_experts", 6u}}, 2048, 256, 8, 3,
         1, 2.5f, 0, 0},
        {"experts_per_token", {{"num_experts_per_tok", nullptr}, {"experts_per_token", 4u}}, 2048, 256, 4, 3, 1,
         2.5f, 0, 0},
        {"decoder_sparse_step 1", {{"first_k_dense_replace", nullptr}, {"decoder_sparse_step", 1u}}, 2048, 256, 8, 0,
         1, 2.5f, 0, 0},
        {"decoder_sparse_step 0", {{"first_k_dense_replace", nullptr}, {"decoder_sparse_step", 0u}}, 2048, 256, 8, 0,
         1, 2.5f, 0, 0},
        {"neither dense key", {{"first_k_dense_replace", nullptr}}, 2048, 256, 8, 0, 1, 2.5f, 0, 0},
        {"first_k_dense_replace wins, the step is not read", {{"decoder_sparse_step", 2u}}, 2048, 256, 8, 3, 1, 2.5f,
         0, 0},
        {"first_k_dense_replace equal to the layer count", {{"first_k_dense_replace", 61u}}, 2048, 256, 8, 61, 1,
         2.5f, 0, 0},
        {"n_shared_experts as a string is absent", {{"n_shared_experts", "2"}}, 2048, 256, 8, 3, 0, 2.5f, 0, 0},
        {"n_shared_experts negative is absent", {{"n_shared_experts", -1}}, 2048, 256, 8, 3, 0, 2.5f, 0, 0},
        {"n_shared_experts float is absent", {{"n_shared_experts", 2.0}}, 2048, 256, 8, 3, 0, 2.5f, 0, 0},
        {"no n_shared_experts", {{"n_shared_experts", nullptr}}, 2048, 256, 8, 3, 0, 2.5f, 0, 0},
        {"integer routed_scaling_factor", {{"routed_scaling_factor", 2u}}, 2048, 256, 8, 3, 1, 2.0f, 0, 0},
        {"negative routed_scaling_factor", {{"routed_scaling_factor", -3}}, 2048, 256, 8, 3, 1, -3.0f, 0, 0},
        {"routed_scaling_factor narrowed to float", {{"routed_scaling_factor", 0.1}}, 2048, 256, 8, 3, 1, 0.1f, 0,
         0},
        {"routed_scaling_factor string gives the default", {{"routed_scaling_factor", "2.5"}}, 2048, 256, 8, 3, 1,
         1.0f, 0, 0},
        {"routed_scaling_factor bool gives the default", {{"routed_scaling_factor", true}}, 2048, 256, 8, 3, 1,
         1.0f, 0, 0},
        {"no routed_scaling_factor", {{"routed_scaling_factor", nullptr}}, 2048, 256, 8, 3, 1, 1.0f, 0, 0},
        {"swiglu_limit 7.0", {{"swiglu_limit", 7.0}}, 2048, 256, 8, 3, 1, 2.5f, 7.0f, 1.702f},
        {"integer swiglu_limit", {{"swiglu_limit", 10u}}, 2048, 256, 8, 3, 1, 2.5f, 10.0f, 1.702f},
        {"swiglu_limit 0", {{"swiglu_limit", 0u}}, 2048, 256, 8, 3, 1, 2.5f, 0.0f, 0.0f},
        {"negative swiglu_limit", {{"swiglu_limit", -1.5}}, 2048, 256, 8, 3, 1, 2.5f, -1.5f, 0.0f},
        {"swiglu_limit string", {{"swiglu_limit", "7"}}, 2048, 256, 8, 3, 1, 2.5f, 0.0f, 0.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto cfg = ModelConfig::from_json(patched(c.patch));
        ASSERT_TRUE(cfg) << cfg.error();
        EXPECT_EQ(cfg->hidden_size, 7168u);
        EXPECT_EQ(cfg->moe_intermediate_size, c.inter);
        EXPECT_EQ(cfg->n_routed_experts, c.experts);
        EXPECT_EQ(cfg->num_experts_per_tok, c.top_k);
        EXPECT_EQ(cfg->num_hidden_layers, 61u);
        EXPECT_EQ(cfg->first_k_dense_replace, c.first_k);
        EXPECT_EQ(cfg->n_shared_experts, c.shared);
        EXPECT_EQ(cfg->routed_scaling_factor, c.scale);
        EXPECT_EQ(cfg->swiglu_limit, c.limit);
        EXPECT_EQ(cfg->swiglu_alpha, c.alpha);
        EXPECT_EQ(cfg->total_moe_layers(), 61u - c.first_k);
    }
}

TEST(ConfigFromJson, IntegerFieldsTakeOnlyNonNegativeIntegers) {
    // Parsed from text, as the loaders do, so each literal gets the reader's own number class.
    const char* hidden = R"({"moe_intermediate_size": 8, "n_routed_experts": 4, "num_experts_per_tok": 2,
                            "num_hidden_layers": 2, "hidden_size": )";
    struct Case {
        const char* literal;
        bool ok;
        std::uint64_t value;
    };
    const std::vector<Case> cases = {
        {"4096", true, 4096},
        {"0", true, 0},
        {"18446744073709551615", true, 18446744073709551615ULL},
        {"18446744073709551616", false, 0},  // beyond 64 bits: read as a float
        {"4096.0", false, 0},
        {"4.096e3", false, 0},
        {"-5", false, 0},
        {"\"4096\"", false, 0},
        {"true", false, 0},
        {"null", false, 0},
        {"[4096]", false, 0},
        {"{}", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.literal);
        auto cfg = ModelConfig::from_json(json::parse(std::string(hidden) + c.literal + "}"));
        if (c.ok) {
            ASSERT_TRUE(cfg) << cfg.error();
            EXPECT_EQ(cfg->hidden_size, c.value);
        } else {
            ASSERT_FALSE(cfg);
            EXPECT_EQ(cfg.error(), "Missing hidden_size");
        }
    }
}

TEST(ConfigFromJson, FailuresReportTheFirstFailingField) {
    struct Case {
        const char* name;
        json doc;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"top level an array", json::array({1, 2}), "Missing hidden_size"},
        {"top level a number", json(5), "Missing hidden_size"},
        {"top level null", json(), "Missing hidden_size"},
        {"hidden_size missing", patched({{"hidden_size", nullptr}}), "Missing hidden_size"},
        {"hidden_size 4096.0", patched({{"hidden_size", 4096.0}}), "Missing hidden_size"},
        {"hidden_size negative", patched({{"hidden_size", -4096}}), "Missing hidden_size"},
        {"hidden_size fails before the others",
         patched({{"hidden_size", nullptr}, {"num_hidden_layers", nullptr}}), "Missing hidden_size"},
        {"no size key", patched({{"moe_intermediate_size", nullptr}, {"intermediate_size", nullptr}}),
         "Missing moe_intermediate_size or intermediate_size"},
        {"moe_intermediate_size unusable stops the search", patched({{"moe_intermediate_size", "2048"}}),
         "Missing moe_intermediate_size or intermediate_size"},
        {"no expert-count key", patched({{"n_routed_experts", nullptr}}),
         "Missing n_routed_experts, num_experts, or num_local_experts"},
        {"n_routed_experts null stops the search",
         json::parse(R"({"hidden_size": 8, "moe_intermediate_size": 8, "n_routed_experts": null,
                         "num_experts": 16, "num_experts_per_tok": 2, "num_hidden_layers": 2})"),
         "Missing n_routed_experts, num_experts, or num_local_experts"},
        {"num_experts unusable stops the search",
         patched({{"n_routed_experts", nullptr}, {"num_experts", 1.5}, {"num_local_experts", 8u}}),
         "Missing n_routed_experts, num_experts, or num_local_experts"},
        {"no top-k key", patched({{"num_experts_per_tok", nullptr}}),
         "Missing num_experts_per_tok or experts_per_token"},
        {"num_experts_per_tok unusable stops the search",
         patched({{"num_experts_per_tok", -8}, {"experts_per_token", 8u}}),
         "Missing num_experts_per_tok or experts_per_token"},
        {"no num_hidden_layers", patched({{"num_hidden_layers", nullptr}}), "Missing num_hidden_layers"},
        {"num_hidden_layers float", patched({{"num_hidden_layers", 61.0}}), "Missing num_hidden_layers"},
        {"first_k_dense_replace string", patched({{"first_k_dense_replace", "3"}}),
         "first_k_dense_replace not a number"},
        {"first_k_dense_replace negative", patched({{"first_k_dense_replace", -1}}),
         "first_k_dense_replace not a number"},
        {"decoder_sparse_step float", patched({{"first_k_dense_replace", nullptr}, {"decoder_sparse_step", 1.0}}),
         "decoder_sparse_step not a number"},
        {"decoder_sparse_step 2", patched({{"first_k_dense_replace", nullptr}, {"decoder_sparse_step", 2u}}),
         "decoder_sparse_step=2 (interleaved MoE) not yet supported"},
        {"decoder_sparse_step 17", patched({{"first_k_dense_replace", nullptr}, {"decoder_sparse_step", 17u}}),
         "decoder_sparse_step=17 (interleaved MoE) not yet supported"},
        {"more dense layers than layers", patched({{"first_k_dense_replace", 62u}}),
         "first_k_dense_replace (62) exceeds num_hidden_layers (61)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto cfg = ModelConfig::from_json(c.doc);
        ASSERT_FALSE(cfg);
        EXPECT_EQ(cfg.error(), c.message);
    }
}

TEST(ConfigFromJson, ExplicitNullFirstKDenseReplaceIsPresentButUnusable) {
    // merge_patch removes keys given as null, so build this document directly.
    json doc = base_config();
    doc["first_k_dense_replace"] = nullptr;
    doc["decoder_sparse_step"] = 1u;
    auto cfg = ModelConfig::from_json(doc);
    ASSERT_FALSE(cfg);
    EXPECT_EQ(cfg.error(), "first_k_dense_replace not a number");
}

TEST(ConfigFromJson, TextConfigWrapperReplacesTheTopLevel) {
    LogCapture capture(orvane::log::weights(), spdlog::level::info, "%n|%l|%v");
    json doc = {{"hidden_size", 1}, {"num_experts", 3u}, {"model_type", "vl"}, {"text_config", base_config()}};
    doc["text_config"]["hidden_size"] = 2048u;
    auto cfg = ModelConfig::from_json(doc);
    ASSERT_TRUE(cfg) << cfg.error();
    EXPECT_EQ(cfg->hidden_size, 2048u);
    EXPECT_EQ(cfg->n_routed_experts, 256u);
    EXPECT_EQ(capture.text(),
              "orvane::weights|info|Found text_config wrapper (VL model), using inner config\n");
}

TEST(ConfigFromJson, TextConfigKeysAreNeverTakenFromTheTopLevel) {
    struct Case {
        const char* name;
        json doc;
        const char* message;
    };
    json inner_without_layers = base_config();
    inner_without_layers.erase("num_hidden_layers");
    const std::vector<Case> cases = {
        {"text_config not an object", {{"text_config", "x"}, {"hidden_size", 8}}, "Missing hidden_size"},
        {"text_config null", json::parse(R"({"text_config": null, "hidden_size": 8})"), "Missing hidden_size"},
        {"key only at the top level",
         {{"text_config", inner_without_layers}, {"num_hidden_layers", 61}},
         "Missing num_hidden_layers"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto cfg = ModelConfig::from_json(c.doc);
        ASSERT_FALSE(cfg);
        EXPECT_EQ(cfg.error(), c.message);
    }
}

TEST(ConfigFromJson, PlainDocumentLogsNothing) {
    LogCapture capture(orvane::log::weights(), spdlog::level::info, "%n|%l|%v");
    ASSERT_TRUE(ModelConfig::from_json(base_config()));
    EXPECT_EQ(capture.text(), "");
}

TEST(ConfigFingerprint, IsFnv1a64OfTheRawBytes) {
    // Published FNV-1a 64-bit test vectors.
    EXPECT_EQ(config_fingerprint(""), 0xcbf29ce484222325ULL);
    EXPECT_EQ(config_fingerprint("a"), 0xaf63dc4c8601ec8cULL);
    EXPECT_EQ(config_fingerprint("foobar"), 0x85944171f73967e8ULL);
    // Bytes above 0x7F are hashed as unsigned bytes.
    const std::string high("\xff", 1);
    EXPECT_EQ(config_fingerprint(high), (0xcbf29ce484222325ULL ^ 0xffULL) * 0x100000001b3ULL);
    // Any change, whitespace included, changes the fingerprint.
    EXPECT_NE(config_fingerprint(R"({"a": 1})"), config_fingerprint(R"({"a":1})"));
    EXPECT_NE(config_fingerprint("{}\n"), config_fingerprint("{}"));
    static_assert(config_fingerprint("") == 0xcbf29ce484222325ULL);
}

TEST(ConfigLoad, ReadsFingerprintsAndExtracts) {
    TempDir dir;
    const std::string text = base_config().dump(2) + "\n";
    dir.write("config.json", text);
    auto loaded = load_model_config(dir.path());
    ASSERT_TRUE(loaded) << loaded.error();
    EXPECT_EQ(loaded->fingerprint, config_fingerprint(text));
    EXPECT_EQ(loaded->config, *ModelConfig::from_json(base_config()));
}

TEST(ConfigLoad, WrapsEachFailureKind) {
    struct Case {
        const char* name;
        const char* config_text;  // nullptr: no config.json; "<dir>": config.json is a directory
        std::string expected_prefix;
    };
    const std::vector<Case> cases = {
        {"no file", nullptr, "Failed to read config.json: No such file or directory (os error 2)"},
        {"a directory", "<dir>", "Failed to read config.json: Is a directory (os error 21)"},
        {"malformed JSON", "{\"hidden_size\": ", "Failed to parse config.json: [json.exception.parse_error."},
        {"empty file", "", "Failed to parse config.json: [json.exception.parse_error."},
        {"no hidden_size", "{\"num_hidden_layers\": 2}", "Failed to extract MoE config: Missing hidden_size"},
        {"interleaved", R"({"hidden_size": 8, "moe_intermediate_size": 8, "num_experts": 4,
                           "num_experts_per_tok": 2, "num_hidden_layers": 2, "decoder_sparse_step": 2})",
         "Failed to extract MoE config: decoder_sparse_step=2 (interleaved MoE) not yet supported"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        if (c.config_text != nullptr && std::string(c.config_text) == "<dir>")
            std::filesystem::create_directory(dir.path() / "config.json");
        else if (c.config_text != nullptr)
            dir.write("config.json", c.config_text);
        auto loaded = load_model_config(dir.path());
        ASSERT_FALSE(loaded);
        EXPECT_EQ(loaded.error().substr(0, c.expected_prefix.size()), c.expected_prefix) << loaded.error();
    }
}

TEST(ConfigTotalMoeLayers, RejectsAnInconsistentRecord) {
    ModelConfig cfg;
    cfg.num_hidden_layers = 4;
    cfg.first_k_dense_replace = 1;
    EXPECT_EQ(cfg.total_moe_layers(), 3u);
    cfg.first_k_dense_replace = 5;  // only a hand-built record can get here; from_json rejects it
    EXPECT_THROW(cfg.total_moe_layers(), orvane::InternalError);
}
