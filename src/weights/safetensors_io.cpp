#include "weights/safetensors_io.hpp"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <limits>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include <nlohmann/json.hpp>

#include "core/logging.hpp"
#include "weights/config.hpp"

namespace orvane::weights::safetensors_io {

namespace {

using nlohmann::json;

struct DtypeRow {
    Dtype dtype;
    std::string_view header;
    std::string_view name;
    std::size_t width;
};

constexpr std::array<DtypeRow, 10> kDtypes{{
    {Dtype::Bool, "BOOL", "Bool", 1},
    {Dtype::U8, "U8", "U8", 1},
    {Dtype::I8, "I8", "I8", 1},
    {Dtype::I16, "I16", "I16", 2},
    {Dtype::I32, "I32", "I32", 4},
    {Dtype::I64, "I64", "I64", 8},
    {Dtype::F16, "F16", "F16", 2},
    {Dtype::Bf16, "BF16", "Bf16", 2},
    {Dtype::F32, "F32", "F32", 4},
    {Dtype::F64, "F64", "F64", 8},
}};

const DtypeRow& row(Dtype dtype) {
    const auto index = static_cast<std::size_t>(dtype);
    ORVANE_CHECK(index < kDtypes.size(), "invalid Dtype value {}", index);
    return kDtypes[index];
}

spdlog::logger& logger() {
    static spdlog::logger& l = log::target("orvane::weights::safetensors_io");
    return l;
}

std::string os_error_text(int err) { return fmt::format("{} (os error {})", std::strerror(err), err); }

// Converts one header entry. Errors name the tensor and what is wrong with it.
Result<TensorInfo> convert_entry(const std::string& name, const json& entry) {
    const json* dtype = nullptr;
    const json* shape = nullptr;
    const json* offsets = nullptr;
    if (entry.is_object()) {
        auto find = [&](const char* key) -> const json* {
            auto it = entry.find(key);
            return it == entry.end() ? nullptr : &*it;
        };
        dtype = find("dtype");
        shape = find("shape");
        offsets = find("data_offsets");
        if (dtype == nullptr) return std::unexpected(fmt::format("missing field `dtype` for tensor {}", name));
        if (shape == nullptr) return std::unexpected(fmt::format("missing field `shape` for tensor {}", name));
        if (offsets == nullptr)
            return std::unexpected(fmt::format("missing field `data_offsets` for tensor {}", name));
    } else if (entry.is_array() && entry.size() == 3) {
        dtype = &entry[0];
        shape = &entry[1];
        offsets = &entry[2];
    } else {
        return std::unexpected(fmt::format(
            "invalid entry for tensor {}: expected an object or an array of 3 elements", name));
    }

    TensorInfo info;
    if (!dtype->is_string())
        return std::unexpected(fmt::format("invalid dtype for tensor {}: expected a string", name));
    std::optional<Dtype> parsed = parse_dtype(dtype->get_ref<const std::string&>());
    if (!parsed)
        return std::unexpected(
            fmt::format("unknown dtype \"{}\" for tensor {}", dtype->get_ref<const std::string&>(), name));
    info.dtype = *parsed;

    if (!shape->is_array())
        return std::unexpected(fmt::format("invalid shape for tensor {}: expected an array", name));
    info.shape.reserve(shape->size());
    for (const json& dim : *shape) {
        if (!dim.is_number_unsigned())
            return std::unexpected(
                fmt::format("invalid shape for tensor {}: dimensions must be non-negative integers", name));
        info.shape.push_back(dim.get<std::uint64_t>());
    }

    if (!offsets->is_array() || offsets->size() != 2 || !(*offsets)[0].is_number_unsigned() ||
        !(*offsets)[1].is_number_unsigned())
        return std::unexpected(fmt::format(
            "invalid data_offsets for tensor {}: expected two non-negative integers", name));
    info.data_offsets = {(*offsets)[0].get<std::uint64_t>(), (*offsets)[1].get<std::uint64_t>()};
    return info;
}

Result<TensorMap> parse_header(const char* begin, const char* end) {
    json header;
    try {
        header = json::parse(begin, end);
    } catch (const json::exception& e) {
        return std::unexpected(std::string(e.what()));
    }
    if (!header.is_object()) return std::unexpected(std::string("the header is not a JSON object"));
    TensorMap tensors;
    tensors.reserve(header.size());
    for (const auto& [name, entry] : header.items()) {
        if (name == "__metadata__") continue;
        Result<TensorInfo> info = convert_entry(name, entry);
        if (!info) return std::unexpected(std::move(info.error()));
        tensors.insert_or_assign(name, std::move(*info));
    }
    return tensors;
}

// Whether a shard name stays inside the model directory once joined to it.
bool stays_inside(const std::string& shard) {
    if (shard.empty()) return false;
    std::filesystem::path p(shard);
    if (p.is_absolute() || p.has_root_name() || p.has_root_directory()) return false;
    for (const auto& component : p)
        if (component == "..") return false;
    return true;
}

}  // namespace

std::size_t dtype_width(Dtype dtype) { return row(dtype).width; }
std::string_view dtype_name(Dtype dtype) { return row(dtype).name; }
std::string_view dtype_header_string(Dtype dtype) { return row(dtype).header; }

std::optional<Dtype> parse_dtype(std::string_view text) {
    for (const DtypeRow& r : kDtypes)
        if (r.header == text) return r.dtype;
    return std::nullopt;
}

std::optional<std::uint64_t> TensorInfo::element_count() const {
    std::uint64_t count = 1;
    for (std::uint64_t dim : shape)
        if (__builtin_mul_overflow(count, dim, &count)) return std::nullopt;
    return count;
}

std::string SafetensorsError::message() const {
    switch (kind_) {
        case Kind::Io: return fmt::format("IO error: {}", detail_);
        case Kind::HeaderTooSmall: return "File too small to contain header";
        case Kind::HeaderParse: return fmt::format("Header parse error: {}", detail_);
        case Kind::TensorNotFound: return fmt::format("Tensor not found: {}", detail_);
        case Kind::OutOfBounds: return fmt::format("Data offset out of bounds for tensor {}", detail_);
    }
    unreachable();
}

std::size_t page_size() {
    static const std::size_t size = [] {
        long value = ::sysconf(_SC_PAGESIZE);
        return value > 0 ? static_cast<std::size_t>(value) : std::size_t{4096};
    }();
    return size;
}

StResult<MmapSafetensors> MmapSafetensors::open(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::unexpected(SafetensorsError::io(os_error_text(errno)));
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        int err = errno;
        ::close(fd);
        return std::unexpected(SafetensorsError::io(os_error_text(err)));
    }
    if (st.st_size < 0 ||
        static_cast<std::uint64_t>(st.st_size) > static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max())) {
        ::close(fd);
        return std::unexpected(SafetensorsError::io("memory map length overflows isize"));
    }
    const auto file_size = static_cast<std::uint64_t>(st.st_size);
    const std::size_t map_length = file_size == 0 ? 1 : static_cast<std::size_t>(file_size);
    void* mapping = ::mmap(nullptr, map_length, PROT_READ, MAP_SHARED, fd, 0);
    const int map_errno = errno;
    ::close(fd);  // the mapping keeps the file alive
    if (mapping == MAP_FAILED) return std::unexpected(SafetensorsError::io(os_error_text(map_errno)));

    MmapSafetensors out;  // owns the mapping from here: every early return unmaps it
    out.base_ = static_cast<const std::uint8_t*>(mapping);
    out.map_length_ = map_length;
    out.file_size_ = file_size;

    if (file_size < 8) return std::unexpected(SafetensorsError::header_too_small());
    std::uint64_t header_length = 0;
    for (int i = 7; i >= 0; --i) header_length = (header_length << 8) | out.base_[i];
    if (header_length > file_size - 8) return std::unexpected(SafetensorsError::header_too_small());

    const char* header = reinterpret_cast<const char*>(out.base_ + 8);
    Result<TensorMap> tensors = parse_header(header, header + header_length);
    if (!tensors) return std::unexpected(SafetensorsError::header_parse(std::move(tensors.error())));
    out.tensors_ = std::move(*tensors);
    out.data_start_ = 8 + header_length;

    (void)::madvise(mapping, map_length, MADV_SEQUENTIAL);  // advice only; a failure changes nothing

    logger().info("Opened {} — {} tensors, {:.1f} MB data", path.string(), out.tensors_.size(),
                  static_cast<double>(file_size - out.data_start_) / 1048576.0);
    return out;
}

MmapSafetensors::MmapSafetensors(MmapSafetensors&& other) noexcept
    : tensors_(std::move(other.tensors_)),
      base_(std::exchange(other.base_, nullptr)),
      map_length_(std::exchange(other.map_length_, 0)),
      file_size_(std::exchange(other.file_size_, 0)),
      data_start_(std::exchange(other.data_start_, 0)) {
    other.tensors_.clear();
}

MmapSafetensors& MmapSafetensors::operator=(MmapSafetensors&& other) noexcept {
    if (this != &other) {
        release();
        tensors_ = std::move(other.tensors_);
        other.tensors_.clear();
        base_ = std::exchange(other.base_, nullptr);
        map_length_ = std::exchange(other.map_length_, 0);
        file_size_ = std::exchange(other.file_size_, 0);
        data_start_ = std::exchange(other.data_start_, 0);
    }
    return *this;
}

MmapSafetensors::~MmapSafetensors() { release(); }

void MmapSafetensors::release() noexcept {
    if (base_ != nullptr) ::munmap(const_cast<std::uint8_t*>(base_), map_length_);
    base_ = nullptr;
    map_length_ = 0;
}

StResult<std::span<const std::uint8_t>> MmapSafetensors::tensor_data(std::string_view name) const {
    auto it = tensors_.find(name);
    if (it == tensors_.end()) return std::unexpected(SafetensorsError::tensor_not_found(std::string(name)));
    const auto [begin, end] = it->second.data_offsets;
    // data_start_ <= file_size_ holds since open; compare against what is left so nothing can wrap.
    if (begin > end || end > file_size_ - data_start_)
        return std::unexpected(SafetensorsError::out_of_bounds(std::string(name)));
    return std::span<const std::uint8_t>(base_ + data_start_ + begin, static_cast<std::size_t>(end - begin));
}

StResult<std::span<const std::uint8_t>> MmapSafetensors::typed_range(std::string_view name,
                                                                     std::size_t width) const {
    auto bytes = tensor_data(name);
    if (!bytes) return bytes;
    const TensorInfo& info = tensors_.find(name)->second;
    const std::size_t dtype_bytes = dtype_width(info.dtype);
    ORVANE_CHECK(dtype_bytes == width, "Type size mismatch: requested {} bytes, tensor dtype is {} ({} bytes)",
                 width, dtype_name(info.dtype), dtype_bytes);
    // The count comes from the shape; a shape that disagrees with the byte range would read past it.
    std::optional<std::uint64_t> count = info.element_count();
    std::uint64_t expected_bytes = 0;
    if (!count || __builtin_mul_overflow(*count, static_cast<std::uint64_t>(width), &expected_bytes) ||
        expected_bytes != bytes->size())
        return std::unexpected(SafetensorsError::out_of_bounds(std::string(name)));
    return bytes;
}

void MmapSafetensors::prefetch_tensor(std::string_view name) const {
    auto bytes = tensor_data(name);
    if (!bytes) return;  // unknown, or a range outside the mapping: nothing to read ahead
    const std::size_t page = page_size();
    const auto start = reinterpret_cast<std::uintptr_t>(bytes->data());
    const std::uintptr_t aligned = start - start % page;
    const std::size_t length = bytes->size() + static_cast<std::size_t>(start - aligned);
    (void)::madvise(reinterpret_cast<void*>(aligned), length, MADV_WILLNEED);
}

void MmapSafetensors::evict_page_cache() const {
    if (base_ == nullptr) return;
    const std::size_t page = page_size();
    const auto start = reinterpret_cast<std::uintptr_t>(base_);
    const std::uintptr_t aligned = start - start % page;
    const std::size_t length = map_length_ + static_cast<std::size_t>(start - aligned);
    (void)::madvise(reinterpret_cast<void*>(aligned), length, MADV_DONTNEED);
}

Result<SafetensorsIndex> parse_safetensors_index(std::string_view text) {
    json document;
    try {
        document = json::parse(text);
    } catch (const json::exception& e) {
        return std::unexpected(std::string(e.what()));
    }
    if (!document.is_object()) return std::unexpected(std::string("the index is not a JSON object"));
    auto map = document.find("weight_map");
    if (map == document.end()) return std::unexpected(std::string("missing field `weight_map`"));
    if (!map->is_object()) return std::unexpected(std::string("`weight_map` is not an object"));
    SafetensorsIndex index;
    index.weight_map.reserve(map->size());
    for (const auto& [name, shard] : map->items()) {
        if (!shard.is_string())
            return std::unexpected(fmt::format("shard of tensor {} is not a string", name));
        const std::string& file = shard.get_ref<const std::string&>();
        if (!stays_inside(file))
            return std::unexpected(
                fmt::format("shard \"{}\" of tensor {} is not a file name inside the model directory", file, name));
        index.weight_map.emplace(name, file);
    }
    return index;
}

Result<SafetensorsIndex> read_safetensors_index(const std::filesystem::path& model_dir) {
    Result<std::string> text = read_text_file(model_dir / kIndexFileName);
    if (!text) return std::unexpected(fmt::format("Failed to read safetensors index: {}", text.error()));
    Result<SafetensorsIndex> index = parse_safetensors_index(*text);
    if (!index) return std::unexpected(fmt::format("Failed to parse safetensors index: {}", index.error()));
    return index;
}

}  // namespace orvane::weights::safetensors_io
