#pragma once
// Discovery, loading and quantization of the expert tensors of a HuggingFace checkpoint.
//
// Checkpoints store their experts in one of three encodings: plain BF16 matrices, pre-quantized INT4
// (weight_packed / weight_scale / weight_shape triples) or MXFP4 (4-bit floats in blocks of 32 with one
// power-of-two scale byte per block, every expert of a layer fused into one tensor). The loaders here turn
// any of them into ExpertWeights: gate, up and down as row-major group-quantized INT4 or INT8.
//
// A projection's shape is [rows, cols] = [output features, input features]: gate and up are [I, H], down
// is [H, I]; group quantization runs along cols.
//
// Every loader returns an error text and no partial result. They only read the immutable index and shard
// map and allocate their own outputs, so they may run for different experts on many threads at once.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "core/errors.hpp"
#include "weights/config.hpp"
#include "weights/marlin.hpp"
#include "weights/safetensors_io.hpp"

namespace orvane::weights {

// Tensor name -> shard file name (the index's weight_map).
using WeightMap = std::unordered_map<std::string, std::string>;

// Shard file name (as written in the weight map) -> the open shard.
using ShardMap = std::unordered_map<std::string, safetensors_io::MmapSafetensors,
                                    safetensors_io::TransparentStringHash, std::equal_to<>>;

// One quantized matrix: row-major INT4 or INT8.
using QuantWeight = std::variant<marlin::QuantizedInt4, marlin::QuantizedInt8>;

inline bool is_int4(const QuantWeight& w) { return std::holds_alternative<marlin::QuantizedInt4>(w); }
inline bool is_int8(const QuantWeight& w) { return std::holds_alternative<marlin::QuantizedInt8>(w); }
// 4 or 8.
inline std::uint8_t quant_bits(const QuantWeight& w) { return is_int4(w) ? 4 : 8; }
inline std::uint64_t quant_rows(const QuantWeight& w) {
    return std::visit([](const auto& q) { return q.rows; }, w);
}
inline std::uint64_t quant_cols(const QuantWeight& w) {
    return std::visit([](const auto& q) { return q.cols; }, w);
}
inline std::uint64_t quant_group_size(const QuantWeight& w) {
    return std::visit([](const auto& q) { return q.group_size; }, w);
}

// The three projections of one expert; all of the same width.
struct ExpertWeights {
    QuantWeight gate;
    QuantWeight up;
    QuantWeight down;
};

// The projections of an expert, in load order.
inline constexpr std::string_view kProjections[3] = {"gate_proj", "up_proj", "down_proj"};

// Tensor-name prefixes: routed expert e of model layer L ("{P}.layers.{L}.mlp.experts.{e}"), the layer's
// shared expert ("{P}.layers.{L}.mlp.shared_experts") and the fused MXFP4 expert tensors of a layer
// ("{P}.layers.{L}.mlp.experts").
std::string routed_expert_prefix(std::string_view model_prefix, std::uint64_t layer, std::uint64_t expert);
std::string shared_expert_prefix(std::string_view model_prefix, std::uint64_t layer);
std::string mxfp4_experts_prefix(std::string_view model_prefix, std::uint64_t layer);

// The model prefix: the text before the first ".layers." of the first weight-map name (in the map's
// iteration order) that contains both ".layers." and ".mlp.experts.". Error:
// "Could not detect expert weight prefix from safetensors index".
Result<std::string> detect_expert_prefix(const WeightMap& weight_map);

// The number after the first dot-separated component "layers" that is not the last component: unsigned
// decimal, an optional leading '+'; anything else, an empty component or 64-bit overflow gives nothing.
std::optional<std::uint64_t> parse_layer_number(std::string_view name);

// Loads "{expert_prefix}.{proj}.weight" (BF16, [rows, cols]) and quantizes it along cols. The data goes from
// the mapping straight into the quantizer (copied to a temporary only when the tensor start is misaligned).
// Errors: "Tensor not found in index: {}", "Shard not loaded: {}", "Tensor not in shard: {}",
// "Failed to read {}: {}", a shape of fewer than two dimensions or one that disagrees with the data, and
// dimensions the quantizer rejects (with the quantizer's own message).
Result<marlin::QuantizedInt4> load_and_quantize_weight(std::string_view expert_prefix, std::string_view proj,
                                                       const WeightMap& weight_map, const ShardMap& shards,
                                                       std::uint64_t group_size);
Result<marlin::QuantizedInt8> load_and_quantize_weight_int8(std::string_view expert_prefix, std::string_view proj,
                                                            const WeightMap& weight_map, const ShardMap& shards,
                                                            std::uint64_t group_size);

// gate_proj, up_proj, down_proj in that order: INT4 when num_bits is 4, INT8 otherwise. Stops at the first
// error.
Result<ExpertWeights> load_and_quantize_expert(std::string_view expert_prefix, const WeightMap& weight_map,
                                               const ShardMap& shards, std::uint64_t group_size,
                                               std::uint8_t num_bits);

// Adopts a pre-quantized INT4 projection unchanged: "{prefix}.{proj}.weight_packed" (I32 words in the
// row-major nibble order), ".weight_scale" (BF16) and ".weight_shape" (I32 [rows, cols], the unpacked
// shape). Errors: "Tensor not found: {}", "Shard not loaded: {}", "Failed to read {}: {}",
// "Packed size mismatch: expected {}×{}/8={}, got {}", "Scale size mismatch: expected {}×{}/{}={}, got {}",
// a zero group size, and a shape that is not two positive values with cols a multiple of 8 and of the
// group size.
Result<marlin::QuantizedInt4> load_prequantized_weight(std::string_view expert_prefix, std::string_view proj,
                                                       const WeightMap& weight_map, const ShardMap& shards,
                                                       std::uint64_t group_size);

// The group size of a pre-quantized checkpoint: the unpacked column count of expert 0's gate_proj of model
// layer `layer` divided by the column count of its scale tensor. Logs it at info level.
Result<std::uint64_t> detect_prequant_group_size(const WeightMap& weight_map, std::string_view model_prefix,
                                                 std::uint64_t layer, const ShardMap& shards);

// The group size a checkpoint implies, consulted before any cache path is formed: for MXFP4 the largest of
// 128, 64, 32 dividing min(hidden, intermediate); for a pre-quantized checkpoint the detected group size;
// otherwise nothing. Any failure to read the index or shards gives nothing. Opens and closes its own shards.
std::optional<std::uint64_t> detect_group_size_hint(const std::filesystem::path& model_dir,
                                                    const ModelConfig& config);

// FP4 (E2M1) values of the sixteen nibbles; -0.0 is stored as 0.0.
inline constexpr float kFp4E2M1[16] = {0.0f,  0.5f,  1.0f,  1.5f,  2.0f,  3.0f,  4.0f,  6.0f,
                                       0.0f, -0.5f, -1.0f, -1.5f, -2.0f, -3.0f, -4.0f, -6.0f};

// Dequantizes rows × blocks_per_row MXFP4 blocks (16 bytes each, low nibble first) with one scale byte per
// block (2^(e−127), e = 0 giving 0) into rows × blocks_per_row × 32 BF16 words (truncated, exact for finite
// values). Error when either array is shorter than the shape needs.
Result<std::vector<std::uint16_t>> dequantize_mxfp4_to_bf16(std::span<const std::uint8_t> blocks,
                                                            std::span<const std::uint8_t> scales, std::size_t rows,
                                                            std::size_t blocks_per_row);

// All routed experts of one MXFP4 layer: dequantizes each expert's slices of the fused gate_up and down
// tensors (one expert at a time), splits gate_up by interleaved rows (2r = gate row r, 2r+1 = up row r) and
// quantizes gate [I, H], up [I, H], down [H, I]: INT4 when num_bits is 4, INT8 otherwise. Biases are not
// read here.
Result<std::vector<ExpertWeights>> load_mxfp4_layer_experts(std::string_view model_prefix, std::uint64_t layer,
                                                            const WeightMap& weight_map, const ShardMap& shards,
                                                            const ModelConfig& config, std::uint64_t group_size,
                                                            std::uint8_t num_bits);

// A 2-byte (BF16) tensor widened to f32. Errors: "Tensor not found: {}", "Shard not loaded: {}",
// "Failed to read {}: {}".
Result<std::vector<float>> load_bf16_tensor_as_f32(std::string_view name, const WeightMap& weight_map,
                                                   const ShardMap& shards);

// A tensor's bytes, borrowed from the mapping (no dtype check). Errors as load_bf16_tensor_as_f32.
Result<std::span<const std::uint8_t>> load_u8_tensor(std::string_view name, const WeightMap& weight_map,
                                                     const ShardMap& shards);

}  // namespace orvane::weights
