#include "weights/experts.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <set>
#include <utility>

#include <fmt/format.h>

#include "core/logging.hpp"

namespace orvane::weights {

namespace {

using safetensors_io::ElementView;
using safetensors_io::MmapSafetensors;
using safetensors_io::TensorInfo;

bool checked_mul(std::uint64_t a, std::uint64_t b, std::uint64_t& out) { return !__builtin_mul_overflow(a, b, &out); }

// name -> shard -> open file. `not_found` is the text for a name absent from the weight map.
Result<const MmapSafetensors*> resolve_shard(std::string_view name, const WeightMap& weight_map,
                                             const ShardMap& shards, std::string_view not_found) {
    auto entry = weight_map.find(std::string(name));
    if (entry == weight_map.end()) return std::unexpected(fmt::format("{}: {}", not_found, name));
    auto shard = shards.find(entry->second);
    if (shard == shards.end()) return std::unexpected(fmt::format("Shard not loaded: {}", entry->second));
    return &shard->second;
}

Result<const MmapSafetensors*> resolve(std::string_view name, const WeightMap& weight_map, const ShardMap& shards) {
    return resolve_shard(name, weight_map, shards, "Tensor not found");
}

// The tensor's elements as T. A dtype of another width is the checkpoint's fault, so it is reported as an
// error text rather than raised.
template <class T>
Result<ElementView<T>> read_elements(const MmapSafetensors& file, std::string_view name) {
    auto info = file.tensors().find(name);
    if (info != file.tensors().end()) {
        const std::size_t width = safetensors_io::dtype_width(info->second.dtype);
        if (width != sizeof(T))
            return std::unexpected(
                fmt::format("Failed to read {}: Type size mismatch: requested {} bytes, tensor dtype is {} ({} bytes)",
                            name, sizeof(T), safetensors_io::dtype_name(info->second.dtype), width));
    }
    auto view = file.tensor_as_slice<T>(name);
    if (!view) return std::unexpected(fmt::format("Failed to read {}: {}", name, view.error().message()));
    return *view;
}

// The quantizers' own preconditions on the column count, reported as error texts (the checkpoint decides
// these dimensions).
Result<void> check_quantizable(std::uint64_t cols, std::uint64_t group_size, bool int4) {
    if (group_size == 0) return std::unexpected(std::string("assertion failed: group_size != 0"));
    if (cols % group_size != 0)
        return std::unexpected(fmt::format("cols ({}) must be divisible by group_size ({})", cols, group_size));
    if (int4 && cols % 8 != 0) return std::unexpected(fmt::format("cols ({}) must be divisible by {}", cols, 8));
    return {};
}

QuantWeight quantize(std::span<const std::uint16_t> bf16, std::uint64_t rows, std::uint64_t cols,
                     std::uint64_t group_size, bool int4) {
    if (int4) return marlin::quantize_int4(bf16, rows, cols, group_size);
    return marlin::quantize_int8(bf16, rows, cols, group_size);
}

// Reads a BF16 projection and quantizes it (INT4 or INT8).
Result<QuantWeight> load_bf16_projection(std::string_view expert_prefix, std::string_view proj,
                                         const WeightMap& weight_map, const ShardMap& shards,
                                         std::uint64_t group_size, bool int4) {
    const std::string name = fmt::format("{}.{}.weight", expert_prefix, proj);
    auto file = resolve_shard(name, weight_map, shards, "Tensor not found in index");
    if (!file) return std::unexpected(std::move(file.error()));
    auto info = (*file)->tensors().find(name);
    if (info == (*file)->tensors().end()) return std::unexpected(fmt::format("Tensor not in shard: {}", name));
    const std::vector<std::uint64_t> shape = info->second.shape;
    if (shape.size() < 2)
        return std::unexpected(
            fmt::format("Tensor {} has {} dimensions, expected [rows, cols]", name, shape.size()));
    const std::uint64_t rows = shape[0];
    const std::uint64_t cols = shape[1];

    auto view = read_elements<std::uint16_t>(**file, name);
    if (!view) return std::unexpected(std::move(view.error()));
    std::uint64_t count = 0;
    if (!checked_mul(rows, cols, count) || count != view->size())
        return std::unexpected(fmt::format("Tensor {} of shape [{}, {}] holds {} elements, not {}×{}", name, rows,
                                           cols, view->size(), rows, cols));
    if (auto ok = check_quantizable(cols, group_size, int4); !ok) return std::unexpected(std::move(ok.error()));

    if (auto span = view->aligned_span()) return quantize(*span, rows, cols, group_size, int4);
    // The tensor starts at an odd address: the words cannot be read in place.
    std::vector<std::uint16_t> copy(view->size());
    view->copy_to(copy);
    return quantize(copy, rows, cols, group_size, int4);
}

}  // namespace

std::string routed_expert_prefix(std::string_view model_prefix, std::uint64_t layer, std::uint64_t expert) {
    return fmt::format("{}.layers.{}.mlp.experts.{}", model_prefix, layer, expert);
}

std::string shared_expert_prefix(std::string_view model_prefix, std::uint64_t layer) {
    return fmt::format("{}.layers.{}.mlp.shared_experts", model_prefix, layer);
}

std::string mxfp4_experts_prefix(std::string_view model_prefix, std::uint64_t layer) {
    return fmt::format("{}.layers.{}.mlp.experts", model_prefix, layer);
}

Result<std::string> detect_expert_prefix(const WeightMap& weight_map) {
    for (const auto& [name, shard] : weight_map) {
        const std::size_t layers = name.find(".layers.");
        if (layers != std::string::npos && name.find(".mlp.experts.") != std::string::npos)
            return name.substr(0, layers);
    }
    return std::unexpected(std::string("Could not detect expert weight prefix from safetensors index"));
}

std::optional<std::uint64_t> parse_layer_number(std::string_view name) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t dot = name.find('.', start);
        parts.push_back(name.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        if (parts[i] != "layers") continue;
        std::string_view digits = parts[i + 1];
        if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
        if (digits.empty()) return std::nullopt;
        std::uint64_t value = 0;
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
        return value;
    }
    return std::nullopt;
}

Result<marlin::QuantizedInt4> load_and_quantize_weight(std::string_view expert_prefix, std::string_view proj,
                                                       const WeightMap& weight_map, const ShardMap& shards,
                                                       std::uint64_t group_size) {
    auto q = load_bf16_projection(expert_prefix, proj, weight_map, shards, group_size, true);
    if (!q) return std::unexpected(std::move(q.error()));
    return std::get<marlin::QuantizedInt4>(std::move(*q));
}

Result<marlin::QuantizedInt8> load_and_quantize_weight_int8(std::string_view expert_prefix, std::string_view proj,
                                                            const WeightMap& weight_map, const ShardMap& shards,
                                                            std::uint64_t group_size) {
    auto q = load_bf16_projection(expert_prefix, proj, weight_map, shards, group_size, false);
    if (!q) return std::unexpected(std::move(q.error()));
    return std::get<marlin::QuantizedInt8>(std::move(*q));
}

Result<ExpertWeights> load_and_quantize_expert(std::string_view expert_prefix, const WeightMap& weight_map,
                                               const ShardMap& shards, std::uint64_t group_size,
                                               std::uint8_t num_bits) {
    const bool int4 = num_bits == 4;
    auto gate = load_bf16_projection(expert_prefix, kProjections[0], weight_map, shards, group_size, int4);
    if (!gate) return std::unexpected(std::move(gate.error()));
    auto up = load_bf16_projection(expert_prefix, kProjections[1], weight_map, shards, group_size, int4);
    if (!up) return std::unexpected(std::move(up.error()));
    auto down = load_bf16_projection(expert_prefix, kProjections[2], weight_map, shards, group_size, int4);
    if (!down) return std::unexpected(std::move(down.error()));
    return ExpertWeights{std::move(*gate), std::move(*up), std::move(*down)};
}

Result<marlin::QuantizedInt4> load_prequantized_weight(std::string_view expert_prefix, std::string_view proj,
                                                       const WeightMap& weight_map, const ShardMap& shards,
                                                       std::uint64_t group_size) {
    const std::string packed_name = fmt::format("{}.{}.weight_packed", expert_prefix, proj);
    const std::string scale_name = fmt::format("{}.{}.weight_scale", expert_prefix, proj);
    const std::string shape_name = fmt::format("{}.{}.weight_shape", expert_prefix, proj);
    if (group_size == 0) return std::unexpected(fmt::format("Invalid group_size 0 for {}", packed_name));

    // 1. The unpacked shape.
    auto shape_file = resolve(shape_name, weight_map, shards);
    if (!shape_file) return std::unexpected(std::move(shape_file.error()));
    auto shape = read_elements<std::int32_t>(**shape_file, shape_name);
    if (!shape) return std::unexpected(std::move(shape.error()));
    if (shape->size() < 2)
        return std::unexpected(
            fmt::format("Invalid weight shape {}: expected [rows, cols], got {} values", shape_name, shape->size()));
    const std::int32_t rows_value = (*shape)[0];
    const std::int32_t cols_value = (*shape)[1];
    if (rows_value <= 0 || cols_value <= 0)
        return std::unexpected(fmt::format("Invalid weight shape {}: [{}, {}]", shape_name, rows_value, cols_value));
    const auto rows = static_cast<std::uint64_t>(rows_value);
    const auto cols = static_cast<std::uint64_t>(cols_value);

    // 2. Words and scales, copied once.
    auto packed_file = resolve(packed_name, weight_map, shards);
    if (!packed_file) return std::unexpected(std::move(packed_file.error()));
    auto packed = read_elements<std::uint32_t>(**packed_file, packed_name);
    if (!packed) return std::unexpected(std::move(packed.error()));
    auto scale_file = resolve(scale_name, weight_map, shards);
    if (!scale_file) return std::unexpected(std::move(scale_file.error()));
    auto scales = read_elements<std::uint16_t>(**scale_file, scale_name);
    if (!scales) return std::unexpected(std::move(scales.error()));

    // 3. Counts (rows and cols are below 2^31, so the products fit).
    const std::uint64_t expected_packed = (cols / 8) * rows;
    if (packed->size() != expected_packed)
        return std::unexpected(fmt::format("Packed size mismatch: expected {}×{}/8={}, got {}", rows, cols,
                                           expected_packed, packed->size()));
    const std::uint64_t expected_scales = rows * (cols / group_size);
    if (scales->size() != expected_scales)
        return std::unexpected(fmt::format("Scale size mismatch: expected {}×{}/{}={}, got {}", rows, cols,
                                           group_size, expected_scales, scales->size()));
    // Columns that do not fill whole words and groups would leave the consumers short of data.
    if (auto ok = check_quantizable(cols, group_size, true); !ok) return std::unexpected(std::move(ok.error()));

    // 4. Adopted unchanged.
    marlin::QuantizedInt4 q;
    q.packed.resize(packed->size());
    packed->copy_to(q.packed);
    q.scales.resize(scales->size());
    scales->copy_to(q.scales);
    q.rows = rows;
    q.cols = cols;
    q.group_size = group_size;
    return q;
}

Result<std::uint64_t> detect_prequant_group_size(const WeightMap& weight_map, std::string_view model_prefix,
                                                 std::uint64_t layer, const ShardMap& shards) {
    const std::string shape_name =
        fmt::format("{}.layers.{}.mlp.experts.0.gate_proj.weight_shape", model_prefix, layer);
    const std::string scale_name =
        fmt::format("{}.layers.{}.mlp.experts.0.gate_proj.weight_scale", model_prefix, layer);

    auto shape_file = resolve(shape_name, weight_map, shards);
    if (!shape_file) return std::unexpected(std::move(shape_file.error()));
    auto shape = read_elements<std::int32_t>(**shape_file, shape_name);
    if (!shape) return std::unexpected(std::move(shape.error()));
    if (shape->size() < 2)
        return std::unexpected(
            fmt::format("Invalid weight shape {}: expected [rows, cols], got {} values", shape_name, shape->size()));
    const std::int32_t orig_value = (*shape)[1];
    if (orig_value <= 0)
        return std::unexpected(fmt::format("Invalid weight shape {}: {} columns", shape_name, orig_value));
    const auto orig_cols = static_cast<std::uint64_t>(orig_value);

    auto scale_file = resolve(scale_name, weight_map, shards);
    if (!scale_file) return std::unexpected(std::move(scale_file.error()));
    auto info = (*scale_file)->tensors().find(scale_name);
    if (info == (*scale_file)->tensors().end())
        return std::unexpected(fmt::format("Failed to read {}: Tensor not found: {}", scale_name, scale_name));
    const std::vector<std::uint64_t>& scale_shape = info->second.shape;
    if (scale_shape.size() < 2)
        return std::unexpected(
            fmt::format("Scale tensor {} has {} dimensions, expected [rows, groups]", scale_name, scale_shape.size()));
    const std::uint64_t scale_cols = scale_shape[1];
    if (scale_cols == 0) return std::unexpected(fmt::format("Scale tensor {} has 0 columns", scale_name));
    const std::uint64_t group_size = orig_cols / scale_cols;
    if (group_size == 0)
        return std::unexpected(fmt::format("Scale tensor {} has more columns ({}) than its weight ({})", scale_name,
                                           scale_cols, orig_cols));
    log::weights().info("Detected pre-quantized INT4: orig_cols={}, scale_cols={}, group_size={}", orig_cols,
                        scale_cols, group_size);
    return group_size;
}

std::optional<std::uint64_t> detect_group_size_hint(const std::filesystem::path& model_dir,
                                                    const ModelConfig& config) {
    auto index = safetensors_io::read_safetensors_index(model_dir);
    if (!index) return std::nullopt;
    const WeightMap& weight_map = index->weight_map;
    auto prefix = detect_expert_prefix(weight_map);
    if (!prefix) return std::nullopt;

    const bool mxfp4 = std::any_of(weight_map.begin(), weight_map.end(),
                                   [](const auto& entry) { return entry.first.ends_with(".gate_up_proj_blocks"); });
    if (mxfp4) {
        const std::uint64_t m = std::min(config.hidden_size, config.moe_intermediate_size);
        const std::uint64_t hint = m % 128 == 0 ? 128 : m % 64 == 0 ? 64 : 32;
        log::weights().info("MXFP4 model: using group_size={} (hidden={}, intermediate={})", hint,
                            config.hidden_size, config.moe_intermediate_size);
        return hint;
    }

    const std::string base =
        fmt::format("{}.layers.{}.mlp.experts.0.gate_proj", *prefix, config.first_k_dense_replace);
    const auto packed = weight_map.find(base + ".weight_packed");
    const auto scale = weight_map.find(base + ".weight_scale");
    const auto shape = weight_map.find(base + ".weight_shape");
    if (packed == weight_map.end() || scale == weight_map.end() || shape == weight_map.end()) return std::nullopt;

    ShardMap shards;  // closed on return
    for (const std::string& shard_name : std::set<std::string>{scale->second, shape->second}) {
        auto file = safetensors_io::MmapSafetensors::open(model_dir / shard_name);
        if (!file) return std::nullopt;
        shards.emplace(shard_name, std::move(*file));
    }
    auto group_size = detect_prequant_group_size(weight_map, *prefix, config.first_k_dense_replace, shards);
    if (!group_size) {
        log::weights().warn("Failed to detect pre-quantized group_size: {}", group_size.error());
        return std::nullopt;
    }
    log::weights().info("Detected pre-quantized group_size={} for cache path", *group_size);
    return *group_size;
}

Result<std::vector<std::uint16_t>> dequantize_mxfp4_to_bf16(std::span<const std::uint8_t> blocks,
                                                            std::span<const std::uint8_t> scales, std::size_t rows,
                                                            std::size_t blocks_per_row) {
    std::uint64_t count = 0;
    std::uint64_t block_bytes = 0;
    std::uint64_t values = 0;
    if (!checked_mul(rows, blocks_per_row, count) || !checked_mul(count, 16, block_bytes) ||
        !checked_mul(count, 32, values))
        return std::unexpected(fmt::format("MXFP4 shape {}×{} blocks overflows 64 bits", rows, blocks_per_row));
    if (blocks.size() < block_bytes)
        return std::unexpected(fmt::format("MXFP4 blocks hold {} bytes, {} rows of {} blocks need {}", blocks.size(),
                                           rows, blocks_per_row, block_bytes));
    if (scales.size() < count)
        return std::unexpected(fmt::format("MXFP4 scales hold {} bytes, {} rows of {} blocks need {}", scales.size(),
                                           rows, blocks_per_row, count));

    std::vector<std::uint16_t> out(values, 0);
    for (std::uint64_t b = 0; b < count; ++b) {  // b = i·B + j
        const float s = std::bit_cast<float>(static_cast<std::uint32_t>(scales[b]) << 23);
        const std::uint8_t* in = blocks.data() + b * 16;
        std::uint16_t* dst = out.data() + b * 32;
        for (std::size_t k = 0; k < 16; ++k) {
            const std::uint8_t byte = in[k];
            dst[2 * k] = static_cast<std::uint16_t>(std::bit_cast<std::uint32_t>(kFp4E2M1[byte & 0x0F] * s) >> 16);
            dst[2 * k + 1] = static_cast<std::uint16_t>(std::bit_cast<std::uint32_t>(kFp4E2M1[byte >> 4] * s) >> 16);
        }
    }
    return out;
}

Result<std::vector<ExpertWeights>> load_mxfp4_layer_experts(std::string_view model_prefix, std::uint64_t layer,
                                                            const WeightMap& weight_map, const ShardMap& shards,
                                                            const ModelConfig& config, std::uint64_t group_size,
                                                            std::uint8_t num_bits) {
    const std::string prefix = mxfp4_experts_prefix(model_prefix, layer);
    const std::string names[4] = {prefix + ".gate_up_proj_blocks", prefix + ".gate_up_proj_scales",
                                  prefix + ".down_proj_blocks", prefix + ".down_proj_scales"};
    std::span<const std::uint8_t> tensors[4];
    for (int t = 0; t < 4; ++t) {
        auto bytes = load_u8_tensor(names[t], weight_map, shards);
        if (!bytes) return std::unexpected(std::move(bytes.error()));
        tensors[t] = *bytes;
    }

    const std::uint64_t experts = config.n_routed_experts;
    const std::uint64_t hidden = config.hidden_size;
    const std::uint64_t inter = config.moe_intermediate_size;
    log::weights().info("MXFP4 layer {}: {} experts, gate_up=[{},{}], down=[{},{}]", layer, experts, 2 * inter,
                        hidden, hidden, inter);

    if (hidden % 32 != 0 || inter % 32 != 0)
        return std::unexpected(fmt::format("MXFP4 layer {}: hidden ({}) and intermediate ({}) must be multiples of 32",
                                           layer, hidden, inter));
    const std::uint64_t blocks_h = hidden / 32;
    const std::uint64_t blocks_i = inter / 32;
    const bool int4 = num_bits == 4;
    if (auto ok = check_quantizable(hidden, group_size, int4); !ok) return std::unexpected(std::move(ok.error()));
    if (auto ok = check_quantizable(inter, group_size, int4); !ok) return std::unexpected(std::move(ok.error()));

    // Slice sizes: gate_up blocks, gate_up scales, down blocks, down scales.
    std::uint64_t slice[4] = {};
    bool fits = checked_mul(2 * inter, blocks_h, slice[1]) && checked_mul(slice[1], 16, slice[0]) &&
                checked_mul(hidden, blocks_i, slice[3]) && checked_mul(slice[3], 16, slice[2]) && inter < (1ull << 62);
    for (int t = 0; t < 4 && fits; ++t) {
        std::uint64_t need = 0;
        if (!checked_mul(slice[t], experts, need) || need > tensors[t].size())
            return std::unexpected(fmt::format("MXFP4 tensor {} holds {} bytes, {} experts of {} bytes need more",
                                               names[t], tensors[t].size(), experts, slice[t]));
    }
    if (!fits)
        return std::unexpected(fmt::format("MXFP4 layer {}: expert shape overflows 64 bits", layer));

    std::vector<ExpertWeights> result;
    if (experts == 0) return result;
    result.reserve(experts);
    std::vector<std::uint16_t> gate(inter * hidden);
    std::vector<std::uint16_t> up(inter * hidden);
    for (std::uint64_t x = 0; x < experts; ++x) {
        auto gate_up = dequantize_mxfp4_to_bf16(tensors[0].subspan(x * slice[0], slice[0]),
                                                tensors[1].subspan(x * slice[1], slice[1]), 2 * inter, blocks_h);
        if (!gate_up) return std::unexpected(std::move(gate_up.error()));
        auto down = dequantize_mxfp4_to_bf16(tensors[2].subspan(x * slice[2], slice[2]),
                                             tensors[3].subspan(x * slice[3], slice[3]), hidden, blocks_i);
        if (!down) return std::unexpected(std::move(down.error()));
        // Rows are interleaved: 2r is gate row r, 2r + 1 is up row r.
        for (std::uint64_t r = 0; r < inter; ++r) {
            std::copy_n(gate_up->begin() + static_cast<std::ptrdiff_t>(2 * r * hidden), hidden,
                        gate.begin() + static_cast<std::ptrdiff_t>(r * hidden));
            std::copy_n(gate_up->begin() + static_cast<std::ptrdiff_t>((2 * r + 1) * hidden), hidden,
                        up.begin() + static_cast<std::ptrdiff_t>(r * hidden));
        }
        result.push_back(ExpertWeights{quantize(gate, inter, hidden, group_size, int4),
                                       quantize(up, inter, hidden, group_size, int4),
                                       quantize(*down, hidden, inter, group_size, int4)});
    }
    return result;
}

Result<std::vector<float>> load_bf16_tensor_as_f32(std::string_view name, const WeightMap& weight_map,
                                                   const ShardMap& shards) {
    auto file = resolve(name, weight_map, shards);
    if (!file) return std::unexpected(std::move(file.error()));
    auto view = read_elements<std::uint16_t>(**file, name);
    if (!view) return std::unexpected(std::move(view.error()));
    std::vector<float> out(view->size());
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = std::bit_cast<float>(std::uint32_t{(*view)[i]} << 16);
    return out;
}

Result<std::span<const std::uint8_t>> load_u8_tensor(std::string_view name, const WeightMap& weight_map,
                                                     const ShardMap& shards) {
    auto file = resolve(name, weight_map, shards);
    if (!file) return std::unexpected(std::move(file.error()));
    auto bytes = (*file)->tensor_data(name);
    if (!bytes) return std::unexpected(fmt::format("Failed to read {}: {}", name, bytes.error().message()));
    return *bytes;
}

}  // namespace orvane::weights
