#include "weights/unified.hpp"

#include <algorithm>

#include <cstring>
#include <type_traits>
#include <utility>

#include <fmt/format.h>

#include "core/errors.hpp"

namespace orvane::weights {

namespace {

using marlin::QuantizedInt4;
using marlin::QuantizedInt8;

std::uint64_t mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r = 0;
    ORVANE_CHECK(!__builtin_mul_overflow(a, b, &r), "expert size {}×{} overflows 64 bits", a, b);
    return r;
}

std::uint64_t round_up4(std::uint64_t bytes) {
    ORVANE_CHECK(bytes <= UINT64_MAX - 3, "expert size {} overflows 64 bits", bytes);
    return (bytes + 3) / 4 * 4;
}

// Byte counts of one matrix of N outputs and K inputs in the CPU layout.
std::pair<std::uint64_t, std::uint64_t> matrix_bytes(std::uint64_t n, std::uint64_t k, std::uint64_t group_size,
                                                     std::uint8_t bits) {
    ORVANE_CHECK(bits == 4 || bits == 8, "weight width must be 4 or 8 bits, got {}", bits);
    ORVANE_CHECK(group_size != 0, "assertion failed: group_size != 0");
    const std::uint64_t packed = bits == 4 ? mul(mul(n, k / 8), 4) : round_up4(mul(n, k));
    const std::uint64_t scales = mul(mul(n, k / group_size), 2);
    return {packed, scales};
}

// The shape every conversion relies on: gate and up [I, H], down [H, I], one group size, H and I multiples
// of it (and of 8 for INT4), arrays as long as their shapes say.
template <class Q>
void check_expert(const Q& gate, const Q& up, const Q& down, bool int4) {
    const std::uint64_t inter = gate.rows;
    const std::uint64_t hidden = gate.cols;
    const std::uint64_t gs = gate.group_size;
    ORVANE_CHECK(up.rows == inter && up.cols == hidden && down.rows == hidden && down.cols == inter,
                 "expert shapes disagree: gate [{}, {}], up [{}, {}], down [{}, {}]", gate.rows, gate.cols, up.rows,
                 up.cols, down.rows, down.cols);
    ORVANE_CHECK(gs != 0 && up.group_size == gs && down.group_size == gs,
                 "expert group sizes disagree or are zero: gate {}, up {}, down {}", gs, up.group_size,
                 down.group_size);
    ORVANE_CHECK(hidden % gs == 0 && inter % gs == 0, "hidden ({}) and intermediate ({}) must be divisible by {}",
                 hidden, inter, gs);
    if (int4)
        ORVANE_CHECK(hidden % 8 == 0 && inter % 8 == 0, "hidden ({}) and intermediate ({}) must be divisible by 8",
                     hidden, inter);
    const std::uint64_t matrix = mul(inter, hidden);
    const std::uint64_t groups = matrix / gs;
    for (const Q* q : {&gate, &up, &down}) {
        std::uint64_t values = 0;
        if constexpr (std::is_same_v<Q, QuantizedInt4>)
            values = q->packed.size() * 8;
        else
            values = q->data.size();
        ORVANE_CHECK(values == matrix && q->scales.size() == groups,
                     "expert matrix [{}, {}] holds {} values and {} scales, expected {} and {}", q->rows, q->cols,
                     values, q->scales.size(), matrix, groups);
    }
}

// The transposes below walk the source in blocks of kBlockRows rows by kBlockCols columns, so that both the
// rows read and the rows written stay in cache while a block is moved.
constexpr std::uint64_t kBlockRows = 64;
constexpr std::uint64_t kBlockCols = 64;

// out[c·stride + offset + j] = in[j·cols + c] for a [rows][cols] source.
template <class T, class U>
void transpose_blocked(const T* in, std::uint64_t rows, std::uint64_t cols, U* out, std::uint64_t stride,
                       std::uint64_t offset) {
    for (std::uint64_t j0 = 0; j0 < rows; j0 += kBlockRows) {
        const std::uint64_t j1 = std::min(rows, j0 + kBlockRows);
        for (std::uint64_t c0 = 0; c0 < cols; c0 += kBlockCols) {
            const std::uint64_t c1 = std::min(cols, c0 + kBlockCols);
            for (std::uint64_t c = c0; c < c1; ++c) {
                U* dst = out + c * stride + offset;
                for (std::uint64_t j = j0; j < j1; ++j) dst[j] = static_cast<U>(in[j * cols + c]);
            }
        }
    }
}

// out[g·stride + offset + j] = in[j·G + g]: a [rows][G] scale matrix transposed into columns
// offset … offset + rows − 1 of a [G][stride] one.
void transpose_scales(const std::vector<std::uint16_t>& in, std::uint64_t rows, std::uint64_t groups,
                      std::span<std::uint16_t> out, std::uint64_t stride, std::uint64_t offset) {
    transpose_blocked(in.data(), rows, groups, out.data(), stride, offset);
}

// Word w of row r (r < rows/8 words per row of K = cols) moved to out[r·stride + offset + j].
void transpose_words(const std::vector<std::uint32_t>& in, std::uint64_t rows, std::uint64_t words_per_row,
                     std::span<std::uint32_t> out, std::uint64_t stride, std::uint64_t offset) {
    transpose_blocked(in.data(), rows, words_per_row, out.data(), stride, offset);
}

// Level (j, k) of a [rows][cols] INT8 matrix to byte k·stride + offset + j of `out` (the words' bytes in
// memory order, i.e. little-endian within each word).
void transpose_levels(const std::vector<std::int8_t>& in, std::uint64_t rows, std::uint64_t cols,
                      std::uint8_t* out, std::uint64_t stride, std::uint64_t offset) {
    transpose_blocked(reinterpret_cast<const std::uint8_t*>(in.data()), rows, cols, out, stride, offset);
}

// Words holding `bytes` bytes, the last one zero-padded.
HugeVector<std::uint32_t> zero_words_for(std::uint64_t bytes) { return HugeVector<std::uint32_t>((bytes + 3) / 4, 0); }

std::uint8_t* bytes_of(HugeVector<std::uint32_t>& words) { return reinterpret_cast<std::uint8_t*>(words.data()); }

const QuantizedInt4& expect_int4(const QuantWeight& w) {
    const auto* q = std::get_if<QuantizedInt4>(&w);
    if (q == nullptr) fail("Expected INT4 weight, got INT8");
    return *q;
}

const QuantizedInt8& expect_int8(const QuantWeight& w, const char* message) {
    const auto* q = std::get_if<QuantizedInt8>(&w);
    if (q == nullptr) fail(message);
    return *q;
}

template <class Q>
Q padded_down(const Q& down) {
    Q padded;
    padded.rows = down.rows + kMarlinDownPadRows;
    padded.cols = down.cols;
    padded.group_size = down.group_size;
    if constexpr (std::is_same_v<Q, QuantizedInt4>) {
        padded.packed = down.packed;
        padded.packed.resize(down.packed.size() + kMarlinDownPadRows * (down.cols / 8), 0);
    } else {
        padded.data = down.data;
        padded.data.resize(down.data.size() + kMarlinDownPadRows * down.cols, 0);
    }
    padded.scales = down.scales;
    padded.scales.resize(down.scales.size() + kMarlinDownPadRows * (down.cols / down.group_size), 0);
    return padded;
}

template <class T>
void append(std::vector<T>& out, const std::vector<T>& a, const std::vector<T>& b) {
    out.reserve(a.size() + b.size());
    out.insert(out.end(), a.begin(), a.end());
    out.insert(out.end(), b.begin(), b.end());
}

// `count_bytes` bytes at `offset` as an owned array (one copy when aligned, memcpy otherwise).
template <class T>
HugeVector<T> copy_array(std::span<const std::uint8_t> bytes, std::size_t offset, std::uint64_t count_bytes) {
    ORVANE_CHECK(count_bytes % sizeof(T) == 0, "array of {} bytes is not a whole number of {}-byte elements",
                 count_bytes, sizeof(T));
    const std::uint8_t* src = bytes.data() + offset;
    const std::size_t count = count_bytes / sizeof(T);
    if (reinterpret_cast<std::uintptr_t>(src) % alignof(T) == 0) {
        const T* first = reinterpret_cast<const T*>(src);
        return HugeVector<T>(first, first + count);
    }
    HugeVector<T> out(count);
    if (count_bytes != 0) std::memcpy(out.data(), src, count_bytes);
    return out;
}

}  // namespace

CpuExpertByteSizes cpu_expert_byte_sizes(std::uint64_t hidden, std::uint64_t intermediate, std::uint64_t group_size,
                                         std::uint8_t bits) {
    return cpu_expert_byte_sizes_mixed(hidden, intermediate, group_size, bits, bits);
}

CpuExpertByteSizes cpu_expert_byte_sizes_mixed(std::uint64_t hidden, std::uint64_t intermediate,
                                               std::uint64_t group_size, std::uint8_t w13_bits,
                                               std::uint8_t w2_bits) {
    const auto [w13_packed, w13_scales] = matrix_bytes(mul(2, intermediate), hidden, group_size, w13_bits);
    const auto [w2_packed, w2_scales] = matrix_bytes(hidden, intermediate, group_size, w2_bits);
    CpuExpertByteSizes sizes{w13_packed, w13_scales, w2_packed, w2_scales};
    std::uint64_t total = 0;
    ORVANE_CHECK(!__builtin_add_overflow(w13_packed, w13_scales, &total) &&
                     !__builtin_add_overflow(total, w2_packed, &total) &&
                     !__builtin_add_overflow(total, w2_scales, &total),
                 "expert byte size overflows 64 bits");
    return sizes;
}

UnifiedExpertWeights UnifiedExpertWeights::from_expert_weights(const ExpertWeights& expert) {
    const QuantizedInt4& gate = expect_int4(expert.gate);
    const QuantizedInt4& up = expect_int4(expert.up);
    const QuantizedInt4& down = expect_int4(expert.down);
    check_expert(gate, up, down, true);
    const std::uint64_t inter = gate.rows;
    const std::uint64_t hidden = gate.cols;
    const std::uint64_t gs = gate.group_size;

    UnifiedExpertWeights w;
    w.w13_packed.assign((hidden / 8) * 2 * inter, 0);
    transpose_words(gate.packed, inter, hidden / 8, w.w13_packed, 2 * inter, 0);
    transpose_words(up.packed, inter, hidden / 8, w.w13_packed, 2 * inter, inter);
    w.w13_scales.assign((hidden / gs) * 2 * inter, 0);
    transpose_scales(gate.scales, inter, hidden / gs, w.w13_scales, 2 * inter, 0);
    transpose_scales(up.scales, inter, hidden / gs, w.w13_scales, 2 * inter, inter);
    w.w2_packed.assign((inter / 8) * hidden, 0);
    transpose_words(down.packed, hidden, inter / 8, w.w2_packed, hidden, 0);
    w.w2_scales.assign((inter / gs) * hidden, 0);
    transpose_scales(down.scales, hidden, inter / gs, w.w2_scales, hidden, 0);
    w.hidden_size = hidden;
    w.intermediate_size = inter;
    w.group_size = gs;
    w.w13_bits = 4;
    w.w2_bits = 4;
    return w;
}

UnifiedExpertWeights UnifiedExpertWeights::from_expert_weights_int8(const ExpertWeights& expert) {
    const QuantizedInt8& gate = expect_int8(expert.gate, "Expected INT8 gate weight");
    const QuantizedInt8& up = expect_int8(expert.up, "Expected INT8 up weight");
    const QuantizedInt8& down = expect_int8(expert.down, "Expected INT8 down weight");
    check_expert(gate, up, down, false);
    const std::uint64_t inter = gate.rows;
    const std::uint64_t hidden = gate.cols;
    const std::uint64_t gs = gate.group_size;

    UnifiedExpertWeights w;
    w.w13_packed = zero_words_for(hidden * 2 * inter);  // [H][2I] bytes
    transpose_levels(gate.data, inter, hidden, bytes_of(w.w13_packed), 2 * inter, 0);
    transpose_levels(up.data, inter, hidden, bytes_of(w.w13_packed), 2 * inter, inter);
    w.w13_scales.assign((hidden / gs) * 2 * inter, 0);
    transpose_scales(gate.scales, inter, hidden / gs, w.w13_scales, 2 * inter, 0);
    transpose_scales(up.scales, inter, hidden / gs, w.w13_scales, 2 * inter, inter);
    w.w2_packed = zero_words_for(inter * hidden);  // [I][H] bytes
    transpose_levels(down.data, hidden, inter, bytes_of(w.w2_packed), hidden, 0);
    w.w2_scales.assign((inter / gs) * hidden, 0);
    transpose_scales(down.scales, hidden, inter / gs, w.w2_scales, hidden, 0);
    w.hidden_size = hidden;
    w.intermediate_size = inter;
    w.group_size = gs;
    w.w13_bits = 8;
    w.w2_bits = 8;
    return w;
}

UnifiedExpertWeights UnifiedExpertWeights::from_expert_weights_marlin(const ExpertWeights& expert,
                                                                      std::uint8_t num_bits,
                                                                      MarlinDownPadding padding) {
    ORVANE_CHECK(num_bits == 4 || num_bits == 8, "Marlin width must be 4 or 8 bits, got {}", num_bits);
    UnifiedExpertWeights w;
    marlin::MarlinRepacked w13;
    marlin::MarlinRepacked w2;
    std::uint64_t hidden = 0;
    std::uint64_t inter = 0;
    std::uint64_t gs = 0;

    auto convert = [&](const auto& gate, const auto& up, const auto& down, auto repack) {
        using Q = std::decay_t<decltype(gate)>;
        check_expert(gate, up, down, std::is_same_v<Q, QuantizedInt4>);
        inter = gate.rows;
        hidden = gate.cols;
        gs = gate.group_size;
        {
            // Gate rows first, then up rows: a [2I, H] matrix.
            Q fused;
            if constexpr (std::is_same_v<Q, QuantizedInt4>)
                append(fused.packed, gate.packed, up.packed);
            else
                append(fused.data, gate.data, up.data);
            append(fused.scales, gate.scales, up.scales);
            fused.rows = 2 * inter;
            fused.cols = hidden;
            fused.group_size = gs;
            w13 = repack(fused);
        }
        if (padding == MarlinDownPadding::ByShape && marlin_down_padded(hidden, inter))
            w2 = repack(padded_down(down));
        else
            w2 = repack(down);
    };

    // The width checks run in order gate, up, down (not in argument-evaluation order).
    if (num_bits == 4) {
        const QuantizedInt4& gate = expect_int4(expert.gate);
        const QuantizedInt4& up = expect_int4(expert.up);
        const QuantizedInt4& down = expect_int4(expert.down);
        convert(gate, up, down, [](const QuantizedInt4& q) { return marlin::marlin_repack(q); });
    } else {
        const QuantizedInt8& gate = expect_int8(expert.gate, "Expected INT8 gate for Marlin INT8");
        const QuantizedInt8& up = expect_int8(expert.up, "Expected INT8 up for Marlin INT8");
        const QuantizedInt8& down = expect_int8(expert.down, "Expected INT8 down for Marlin INT8");
        convert(gate, up, down, [](const QuantizedInt8& q) { return marlin::marlin_repack_int8(q); });
    }
    w.w13_packed.assign(w13.packed.begin(), w13.packed.end());
    w.w13_scales.assign(w13.scales.begin(), w13.scales.end());
    w.w2_packed.assign(w2.packed.begin(), w2.packed.end());
    w.w2_scales.assign(w2.scales.begin(), w2.scales.end());
    w.hidden_size = hidden;
    w.intermediate_size = inter;
    w.group_size = gs;
    w.w13_bits = num_bits;
    w.w2_bits = num_bits;
    return w;
}

UnifiedExpertWeights read_unified_expert_cpu(std::span<const std::uint8_t> bytes, std::size_t& offset,
                                             std::uint64_t hidden, std::uint64_t intermediate,
                                             std::uint64_t group_size, std::uint8_t bits) {
    return read_unified_expert_cpu_mixed(bytes, offset, hidden, intermediate, group_size, bits, bits);
}

UnifiedExpertWeights read_unified_expert_cpu_mixed(std::span<const std::uint8_t> bytes, std::size_t& offset,
                                                   std::uint64_t hidden, std::uint64_t intermediate,
                                                   std::uint64_t group_size, std::uint8_t w13_bits,
                                                   std::uint8_t w2_bits) {
    return read_expert_record(bytes, offset,
                              cpu_expert_byte_sizes_mixed(hidden, intermediate, group_size, w13_bits, w2_bits), hidden,
                              intermediate, group_size, w13_bits, w2_bits);
}

UnifiedExpertWeights read_expert_record(std::span<const std::uint8_t> bytes, std::size_t& offset,
                                        const ExpertByteSizes& sizes, std::uint64_t hidden,
                                        std::uint64_t intermediate, std::uint64_t group_size, std::uint8_t w13_bits,
                                        std::uint8_t w2_bits) {
    const std::uint64_t total = sizes.total();
    ORVANE_CHECK(offset <= bytes.size() && total <= bytes.size() - offset,
                 "expert record of {} bytes at offset {} runs past the end of {} bytes", total, offset,
                 bytes.size());
    UnifiedExpertWeights w;
    std::size_t at = offset;
    w.w13_packed = copy_array<std::uint32_t>(bytes, at, sizes.w13_packed);
    at += sizes.w13_packed;
    w.w13_scales = copy_array<std::uint16_t>(bytes, at, sizes.w13_scales);
    at += sizes.w13_scales;
    w.w2_packed = copy_array<std::uint32_t>(bytes, at, sizes.w2_packed);
    at += sizes.w2_packed;
    w.w2_scales = copy_array<std::uint16_t>(bytes, at, sizes.w2_scales);
    at += sizes.w2_scales;
    w.hidden_size = hidden;
    w.intermediate_size = intermediate;
    w.group_size = group_size;
    w.tiled = 0;
    w.w13_bits = w13_bits;
    w.w2_bits = w2_bits;
    offset = at;
    return w;
}

}  // namespace orvane::weights
