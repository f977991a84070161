#pragma once
// One expert with gate and up fused into w13 and down as w2, in the CPU transposed layout or the GPU
// Marlin layout; the conversions from the row-major ExpertWeights, and the byte arithmetic of the CPU
// layout that the cache files use.
//
// Notation: H = hidden size, I = intermediate size of the expert, gs = group size.
// CPU layout (the transposed INT4/INT8 weights of kernel/avx2/transposed.hpp):
//   w13: N = 2I output columns (0 … I−1 = gate rows, I … 2I−1 = up rows), K = H inputs; scales [H/gs][2I].
//   w2:  N = H, K = I; scales [I/gs][H].
// Marlin layout: w13 is the repacked [2I, H] matrix (gate rows, then up rows); w2 the repacked down matrix,
// extended by 64 zero output rows when I = H and H is not a multiple of 256 (routed experts only).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/huge_alloc.hpp"

#include "weights/experts.hpp"

namespace orvane::weights {

// Byte counts of the four arrays of one expert record (w13 packed, w13 scales, w2 packed, w2 scales), in file
// order; used for the CPU layout and the Marlin layout alike.
struct ExpertByteSizes {
    std::uint64_t w13_packed = 0;
    std::uint64_t w13_scales = 0;
    std::uint64_t w2_packed = 0;
    std::uint64_t w2_scales = 0;

    std::uint64_t total() const { return w13_packed + w13_scales + w2_packed + w2_scales; }
    friend bool operator==(const ExpertByteSizes&, const ExpertByteSizes&) = default;
};
using CpuExpertByteSizes = ExpertByteSizes;

// INT4: packed 2I × (H/8) × 4 and H × (I/8) × 4; INT8: 2I × H and H × I, each rounded up to a multiple of 4.
// Scales 2I × (H/gs) × 2 and H × (I/gs) × 2. Widths other than 4 and 8, gs = 0 or a count that overflows
// 64 bits throw InternalError.
CpuExpertByteSizes cpu_expert_byte_sizes(std::uint64_t hidden, std::uint64_t intermediate, std::uint64_t group_size,
                                         std::uint8_t bits);
CpuExpertByteSizes cpu_expert_byte_sizes_mixed(std::uint64_t hidden, std::uint64_t intermediate,
                                               std::uint64_t group_size, std::uint8_t w13_bits,
                                               std::uint8_t w2_bits);

// Whether a Marlin conversion pads down.
enum class MarlinDownPadding {
    ByShape,  // routed experts: 64 zero rows when I = H and H % 256 != 0
    None,     // shared experts: never padded
};

// Rows appended to the Marlin down matrix when it is padded.
inline constexpr std::uint64_t kMarlinDownPadRows = 64;

// The padding rule for routed experts.
inline bool marlin_down_padded(std::uint64_t hidden, std::uint64_t intermediate) {
    return intermediate == hidden && hidden % 256 != 0;
}

struct UnifiedExpertWeights {
    HugeVector<std::uint32_t> w13_packed;  // fused gate+up weights, N = 2I, K = H
    HugeVector<std::uint16_t> w13_scales;  // their BF16 group scales
    HugeVector<std::uint32_t> w2_packed;    // down weights, N = H, K = I
    HugeVector<std::uint16_t> w2_scales;    // their BF16 group scales
    std::optional<std::vector<float>> gate_bias;  // [I], added to the gate half of the w13 product
    std::optional<std::vector<float>> up_bias;    // [I], added to the up half
    std::optional<std::vector<float>> down_bias;  // [H], added to the w2 product
    std::uint64_t hidden_size = 0;
    std::uint64_t intermediate_size = 0;
    std::uint64_t group_size = 0;
    std::uint8_t tiled = 0;  // 1 once a tiling pass has replaced w13 and w2 by their tiled form
    std::uint8_t w13_bits = 4;
    std::uint8_t w2_bits = 4;

    // CPU layout from an INT4 expert (widths 4/4). Whole words move; nibbles are never reordered.
    // A projection of another width throws InternalError "Expected INT4 weight, got INT8"; shapes or array
    // lengths that disagree (gate/up [I, H], down [H, I], H and I multiples of 8 and of gs) throw too.
    static UnifiedExpertWeights from_expert_weights(const ExpertWeights& expert);

    // CPU layout from an INT8 expert (widths 8/8): the [H][2I] and [I][H] byte matrices of levels, packed
    // little-endian into words, the last word zero-padded. Errors: "Expected INT8 gate weight",
    // "Expected INT8 up weight", "Expected INT8 down weight" (in that order), and mismatched shapes.
    static UnifiedExpertWeights from_expert_weights_int8(const ExpertWeights& expert);

    // Marlin layout, num_bits 4 or 8. Errors: "Expected INT4 weight, got INT8" (4);
    // "Expected INT8 gate for Marlin INT8", "… up …", "… down …" (8); the repackers' own checks.
    static UnifiedExpertWeights from_expert_weights_marlin(const ExpertWeights& expert, std::uint8_t num_bits,
                                                           MarlinDownPadding padding = MarlinDownPadding::ByShape);

    friend bool operator==(const UnifiedExpertWeights&, const UnifiedExpertWeights&) = default;
};

// Reads one CPU-layout expert from cache bytes at `offset`: w13 packed, w13 scales, w2 packed, w2 scales with
// the byte counts of cpu_expert_byte_sizes(_mixed), copied into new arrays; advances `offset` past them.
// The caller checks the total size beforehand; bytes too short for the record throw InternalError and leave
// `offset` unchanged.
UnifiedExpertWeights read_unified_expert_cpu(std::span<const std::uint8_t> bytes, std::size_t& offset,
                                             std::uint64_t hidden, std::uint64_t intermediate,
                                             std::uint64_t group_size, std::uint8_t bits);
UnifiedExpertWeights read_unified_expert_cpu_mixed(std::span<const std::uint8_t> bytes, std::size_t& offset,
                                                   std::uint64_t hidden, std::uint64_t intermediate,
                                                   std::uint64_t group_size, std::uint8_t w13_bits,
                                                   std::uint8_t w2_bits);

// Copies the four arrays of one record of the given byte counts out of `bytes` at `offset` into a record with
// the given shape and widths (tiled 0, no biases), advancing `offset` past them. A record running past the end
// of `bytes` is an InternalError and leaves `offset` unchanged.
UnifiedExpertWeights read_expert_record(std::span<const std::uint8_t> bytes, std::size_t& offset,
                                        const ExpertByteSizes& sizes, std::uint64_t hidden,
                                        std::uint64_t intermediate, std::uint64_t group_size, std::uint8_t w13_bits,
                                        std::uint8_t w2_bits);

// One expert kept as raw GGUF blocks for the GGUF-native compute.
struct GgufExpertWeights {
    std::vector<std::uint8_t> gate;  // gate blocks exactly as stored (I rows of H values)
    std::vector<std::uint8_t> up;    // up blocks, same type and size as gate
    std::vector<std::uint8_t> down;  // down blocks (H rows of I values)
    std::uint64_t hidden_size = 0;
    std::uint64_t intermediate_size = 0;  // I, or the shared expert's S × I
    std::uint32_t gate_up_type = 0;       // GGML type id of gate and up
    std::uint32_t down_type = 0;          // GGML type id of down

    friend bool operator==(const GgufExpertWeights&, const GgufExpertWeights&) = default;
};

}  // namespace orvane::weights
