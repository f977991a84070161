#pragma once
// The architecture numbers of a HuggingFace MoE model, read from its config.json, and the configuration
// fingerprint that every on-disk cache header carries.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/errors.hpp"

namespace orvane::weights {

// A plain value record. Integer fields come from JSON non-negative integers only, i.e. nlohmann's unsigned
// class: parsed text "8" qualifies, "8.0" and "-8" do not. A document built in C++ must hold such values as
// unsigned (json(8u)); json(8) is of the signed class and is not accepted. The two float fields accept any
// JSON number.
struct ModelConfig {
    std::uint64_t hidden_size = 0;            // width of the token hidden state
    std::uint64_t moe_intermediate_size = 0;  // width of one routed expert's intermediate activation
    std::uint64_t n_routed_experts = 0;       // routed experts per MoE layer
    std::uint64_t num_experts_per_tok = 0;    // experts chosen per token (top-k)
    std::uint64_t num_hidden_layers = 0;      // all decoder layers, dense and MoE
    std::uint64_t first_k_dense_replace = 0;  // leading dense layers; MoE layer m is model layer m + this
    std::uint64_t n_shared_experts = 0;       // shared (always-active) experts per MoE layer; 0 = none
    float routed_scaling_factor = 1.0f;       // factor applied to the routed experts' outputs
    float swiglu_limit = 0.0f;                // clamp limit of the clamped SwiGLU; 0 = plain SwiGLU
    float swiglu_alpha = 0.0f;                // 1.702f when swiglu_limit > 0, else 0

    // Builds the configuration from a parsed config.json. A top-level `text_config` object (multimodal
    // checkpoints) replaces the top level entirely. Returns the first failing field's message; never a
    // partial configuration. Logs at most one info line (on the wrapper).
    static Result<ModelConfig> from_json(const nlohmann::json& json);

    // Number of MoE layers: num_hidden_layers - first_k_dense_replace (from_json guarantees no underflow).
    std::uint64_t total_moe_layers() const;

    friend bool operator==(const ModelConfig&, const ModelConfig&) = default;
};

// The swiglu_alpha used with a positive swiglu_limit.
inline constexpr float kClampedSwigluAlpha = 1.702f;

// 64-bit FNV-1a over every byte of the raw config.json text, exactly as read from disk.
constexpr std::uint64_t config_fingerprint(std::string_view text) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (char c : text) {
        hash ^= static_cast<std::uint8_t>(c);
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

// A model directory's configuration together with the fingerprint of its config.json text.
struct LoadedModelConfig {
    ModelConfig config;
    std::uint64_t fingerprint = 0;
};

// Reads <model_dir>/config.json, fingerprints the raw text, parses it and extracts the configuration.
// Failures: "Failed to read config.json: {}", "Failed to parse config.json: {}",
// "Failed to extract MoE config: {}".
Result<LoadedModelConfig> load_model_config(const std::filesystem::path& model_dir);

// Reads a whole file as bytes. The error is the system's text for the failure, e.g.
// "No such file or directory (os error 2)".
Result<std::string> read_text_file(const std::filesystem::path& path);

}  // namespace orvane::weights
