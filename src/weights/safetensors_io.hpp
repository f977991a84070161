#pragma once
// Read-only access to safetensors shards and to the model.safetensors.index.json that names them.
//
// MmapSafetensors maps one shard, parses its header once and hands out byte ranges of tensors borrowed from
// the mapping: nothing is copied on access, and no slice may outlive the object. An open shard is immutable;
// any number of threads may call tensor_data, tensor_as_slice and prefetch_tensor at once.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include <fmt/format.h>

#include "core/errors.hpp"

namespace orvane::weights::safetensors_io {

// Element type of a tensor, in the order of its one-byte value.
enum class Dtype : std::uint8_t { Bool, U8, I8, I16, I32, I64, F16, Bf16, F32, F64 };

// Byte width of one element (1, 2, 4 or 8).
std::size_t dtype_width(Dtype dtype);
// Debug name: "Bool", "U8", ..., "Bf16", "F32", "F64".
std::string_view dtype_name(Dtype dtype);
// The header string: "BOOL", "U8", ..., "BF16", "F32", "F64".
std::string_view dtype_header_string(Dtype dtype);
// The Dtype of a header string; nullopt for any other text (e.g. "F8_E4M3", "U32").
std::optional<Dtype> parse_dtype(std::string_view text);

// One header entry.
struct TensorInfo {
    Dtype dtype = Dtype::U8;
    std::vector<std::uint64_t> shape;               // outermost first
    std::array<std::uint64_t, 2> data_offsets{};    // begin, end; relative to the data section

    // Product of the shape (1 for a scalar); nullopt when it overflows 64 bits.
    std::optional<std::uint64_t> element_count() const;

    friend bool operator==(const TensorInfo&, const TensorInfo&) = default;
};

class SafetensorsError {
public:
    enum class Kind { Io, HeaderTooSmall, HeaderParse, TensorNotFound, OutOfBounds };

    static SafetensorsError io(std::string system_error) { return {Kind::Io, std::move(system_error)}; }
    static SafetensorsError header_too_small() { return {Kind::HeaderTooSmall, {}}; }
    static SafetensorsError header_parse(std::string reader_error) {
        return {Kind::HeaderParse, std::move(reader_error)};
    }
    static SafetensorsError tensor_not_found(std::string name) { return {Kind::TensorNotFound, std::move(name)}; }
    static SafetensorsError out_of_bounds(std::string name) { return {Kind::OutOfBounds, std::move(name)}; }

    Kind kind() const { return kind_; }
    // What the kind carries: the system error, the JSON reader's error or the tensor name (empty for
    // HeaderTooSmall).
    const std::string& detail() const { return detail_; }
    // The display text, e.g. "Tensor not found: model.embed_tokens.weight".
    std::string message() const;

private:
    SafetensorsError(Kind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}
    Kind kind_;
    std::string detail_;
};

template <class T>
using StResult = std::expected<T, SafetensorsError>;

// The elements of a tensor read as T, borrowed from the mapping.
//
// A tensor's data start is only as aligned as the file makes it (8 + header length + begin offset), and
// writers other than the reference library do not always pad the header. A misaligned `const T*` may not
// be dereferenced, so the view reads elements with memcpy (one plain load on x86-64) and hands out a typed
// span only when the start is aligned for T.
template <class T>
class ElementView {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    ElementView() = default;
    ElementView(const std::uint8_t* data, std::size_t count) : data_(data), count_(count) {}

    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }

    // Element i; i < size() is the caller's precondition, as with a span.
    T operator[](std::size_t i) const {
        T value;
        std::memcpy(&value, data_ + i * sizeof(T), sizeof(T));
        return value;
    }
    // Element i, checked: throws InternalError when i >= size().
    T at(std::size_t i) const {
        ORVANE_CHECK(i < count_, "index {} out of range for {} elements", i, count_);
        return (*this)[i];
    }

    // The raw bytes (size() * sizeof(T) of them).
    std::span<const std::uint8_t> bytes() const { return {data_, count_ * sizeof(T)}; }

    bool is_aligned() const { return reinterpret_cast<std::uintptr_t>(data_) % alignof(T) == 0; }

    // A typed span over the mapping when the data start is aligned for T; nullopt otherwise.
    std::optional<std::span<const T>> aligned_span() const {
        if (!is_aligned()) return std::nullopt;
        return std::span<const T>(reinterpret_cast<const T*>(data_), count_);
    }

    // Copies all elements into `out`, which must hold exactly size() elements (InternalError otherwise).
    void copy_to(std::span<T> out) const {
        ORVANE_CHECK(out.size() == count_, "copy_to: destination holds {} elements, tensor has {}", out.size(),
                     count_);
        if (count_ != 0) std::memcpy(out.data(), data_, count_ * sizeof(T));
    }

private:
    const std::uint8_t* data_ = nullptr;
    std::size_t count_ = 0;
};

// Hash and equality that let the tensor map be searched with a string_view.
struct TransparentStringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
using TensorMap = std::unordered_map<std::string, TensorInfo, TransparentStringHash, std::equal_to<>>;

// One safetensors shard, mapped read-only and shared. Move-only; unmapped on destruction.
class MmapSafetensors {
public:
    // Maps the file and parses its header. Fails with Io (open, status, mapping), HeaderTooSmall (under 8
    // bytes, or a header length past the end) or HeaderParse (malformed JSON, an entry that does not
    // convert, an unknown dtype). On failure nothing stays mapped or open. Offsets are checked on access.
    static StResult<MmapSafetensors> open(const std::filesystem::path& path);

    MmapSafetensors(MmapSafetensors&& other) noexcept;
    MmapSafetensors& operator=(MmapSafetensors&& other) noexcept;
    MmapSafetensors(const MmapSafetensors&) = delete;
    MmapSafetensors& operator=(const MmapSafetensors&) = delete;
    ~MmapSafetensors();

    const TensorMap& tensors() const { return tensors_; }
    // File offset of the data section: 8 + header length.
    std::uint64_t data_start() const { return data_start_; }
    // Size of the file in bytes.
    std::uint64_t file_size() const { return file_size_; }

    // The tensor's bytes, borrowed from the mapping. TensorNotFound for an unknown name; OutOfBounds when
    // the range runs past the file or begins after it ends.
    StResult<std::span<const std::uint8_t>> tensor_data(std::string_view name) const;

    // The tensor's elements as T (2- or 4-byte T for BF16/F16/I16 and F32/I32 tensors; 1 and 8 work
    // alike). The element count is the product of the shape (1 for a scalar). Errors as tensor_data, plus
    // OutOfBounds when count * sizeof(T) differs from the tensor's byte length. A dtype whose width differs
    // from sizeof(T) is a caller error: throws InternalError
    // "Type size mismatch: requested {} bytes, tensor dtype is {} ({} bytes)".
    template <class T>
    StResult<ElementView<T>> tensor_as_slice(std::string_view name) const {
        auto span = typed_range(name, sizeof(T));
        if (!span) return std::unexpected(std::move(span.error()));
        return ElementView<T>(span->data(), span->size() / sizeof(T));
    }
    StResult<ElementView<std::uint16_t>> tensor_as_u16(std::string_view name) const {
        return tensor_as_slice<std::uint16_t>(name);
    }
    StResult<ElementView<float>> tensor_as_f32(std::string_view name) const { return tensor_as_slice<float>(name); }
    StResult<ElementView<std::int32_t>> tensor_as_i32(std::string_view name) const {
        return tensor_as_slice<std::int32_t>(name);
    }

    // Asks the kernel to read the tensor's pages ahead (MADV_WILLNEED). An unknown name, or a tensor whose
    // range lies outside the file, does nothing; errors are ignored.
    void prefetch_tensor(std::string_view name) const;

    // Tells the kernel the whole mapping's pages are no longer needed (MADV_DONTNEED); later reads fault
    // them in again from the file. Call only when no slice of the shard is in use. Errors are ignored.
    void evict_page_cache() const;

private:
    MmapSafetensors() = default;
    void release() noexcept;
    // Lookup + bounds + width check + shape/length agreement; the byte range of the tensor.
    StResult<std::span<const std::uint8_t>> typed_range(std::string_view name, std::size_t width) const;

    TensorMap tensors_;
    const std::uint8_t* base_ = nullptr;
    std::size_t map_length_ = 0;
    std::uint64_t file_size_ = 0;
    std::uint64_t data_start_ = 0;
};

// The system page size, queried once per process.
std::size_t page_size();

// The parsed model.safetensors.index.json: tensor name -> shard file name, relative to the model directory.
struct SafetensorsIndex {
    std::unordered_map<std::string, std::string> weight_map;
};

inline constexpr const char* kIndexFileName = "model.safetensors.index.json";

// Parses index text: an object with a `weight_map` object of strings (other keys are ignored). Shard names
// must stay inside the model directory (relative, no ".." component). Error: the reason, unprefixed.
Result<SafetensorsIndex> parse_safetensors_index(std::string_view text);

// Reads <model_dir>/model.safetensors.index.json. Failures: "Failed to read safetensors index: {}",
// "Failed to parse safetensors index: {}".
Result<SafetensorsIndex> read_safetensors_index(const std::filesystem::path& model_dir);

}  // namespace orvane::weights::safetensors_io

template <>
struct fmt::formatter<orvane::weights::safetensors_io::SafetensorsError> : fmt::formatter<std::string> {
    auto format(const orvane::weights::safetensors_io::SafetensorsError& e, fmt::format_context& ctx) const {
        return fmt::formatter<std::string>::format(e.message(), ctx);
    }
};
