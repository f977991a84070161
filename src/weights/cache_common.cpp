#include "weights/cache_common.hpp"

#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <utility>

#include <fmt/format.h>

#include "core/logging.hpp"
#include "core/thread_pool.hpp"
#include "syscheck/syscheck.hpp"
#include "weights/build_lock.hpp"
#include "weights/experts.hpp"

namespace orvane::weights {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using safetensors_io::MmapSafetensors;
using safetensors_io::SafetensorsIndex;

std::string os_error_text(int err) { return fmt::format("{} (os error {})", std::strerror(err), err); }
std::string os_error_text(const std::error_code& ec) {
    return fmt::format("{} (os error {})", ec.message(), ec.value());
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

template <class T>
void put(std::array<std::uint8_t, kCacheHeaderBytes>& out, std::size_t offset, T value) {
    std::memcpy(out.data() + offset, &value, sizeof(T));
}

template <class T>
T get(std::span<const std::uint8_t> bytes, std::size_t offset) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

// ---- the texts of the two caches -------------------------------------------------------------------------

bool is_cpu(CacheKind kind) { return kind == CacheKind::Cpu; }

// "CPU" / "Marlin": the cache named in error messages.
const char* cache_name(CacheKind kind) { return is_cpu(kind) ? "CPU" : "Marlin"; }

// "CPU INT4" / "MARLIN": the cache named in the load log lines.
std::string load_label(CacheKind kind, std::uint8_t width) {
    return is_cpu(kind) ? fmt::format("CPU INT{}", width) : std::string("MARLIN");
}

std::string build_label(CacheKind kind) { return is_cpu(kind) ? "streaming_build_cpu_cache" : "streaming_build_marlin_cache"; }

}  // namespace

// ---- header -----------------------------------------------------------------------------------------------

std::array<std::uint8_t, kCacheHeaderBytes> encode_cache_header(CacheKind kind, const CacheHeader& header) {
    std::array<std::uint8_t, kCacheHeaderBytes> out{};
    std::memcpy(out.data(), kCacheMagic.data(), kCacheMagic.size());
    put<std::uint32_t>(out, 4, header.version);
    put<std::uint64_t>(out, 8, header.hidden);
    put<std::uint64_t>(out, 16, header.intermediate);
    put<std::uint64_t>(out, 24, header.experts);
    put<std::uint64_t>(out, 32, header.layers);
    put<std::uint64_t>(out, 40, header.group_size);
    put<std::uint64_t>(out, 48, header.fingerprint);
    if (is_cpu(kind)) {
        ORVANE_CHECK(header.shared <= std::numeric_limits<std::uint32_t>::max(),
                     "shared expert count {} does not fit the CPU cache header", header.shared);
        put<std::uint32_t>(out, 56, static_cast<std::uint32_t>(header.shared));
        out[60] = header.width;
    } else {
        put<std::uint64_t>(out, 56, header.shared);
    }
    return out;
}

bool has_cache_magic(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= kCacheMagic.size() && std::equal(kCacheMagic.begin(), kCacheMagic.end(), bytes.begin());
}

CacheHeader decode_cache_header(CacheKind kind, std::span<const std::uint8_t> bytes) {
    ORVANE_CHECK(bytes.size() >= kCacheHeaderBytes, "cache header needs {} bytes, got {}", kCacheHeaderBytes,
                 bytes.size());
    CacheHeader h;
    h.version = get<std::uint32_t>(bytes, 4);
    h.hidden = get<std::uint64_t>(bytes, 8);
    h.intermediate = get<std::uint64_t>(bytes, 16);
    h.experts = get<std::uint64_t>(bytes, 24);
    h.layers = get<std::uint64_t>(bytes, 32);
    h.group_size = get<std::uint64_t>(bytes, 40);
    h.fingerprint = get<std::uint64_t>(bytes, 48);
    if (is_cpu(kind)) {
        h.shared = get<std::uint32_t>(bytes, 56);
        h.width = bytes[60];
    } else {
        h.shared = get<std::uint64_t>(bytes, 56);
    }
    return h;
}

// ---- arithmetic -------------------------------------------------------------------------------------------

std::optional<std::uint64_t> checked_mul_add(std::uint64_t a, std::uint64_t b, std::uint64_t c) {
    std::uint64_t product = 0;
    std::uint64_t sum = 0;
    if (__builtin_mul_overflow(a, b, &product) || __builtin_add_overflow(product, c, &sum)) return std::nullopt;
    return sum;
}

std::uint64_t shared_intermediate_size(std::uint64_t shared_experts, std::uint64_t intermediate) {
    const auto s = checked_mul_add(shared_experts, intermediate, 0);
    ORVANE_CHECK(s.has_value(), "shared expert intermediate size {} × {} overflows 64 bits", shared_experts,
                 intermediate);
    return *s;
}

std::uint64_t cache_file_size(std::uint64_t layers, std::uint64_t experts, std::uint64_t record_bytes,
                              std::uint64_t shared, std::uint64_t shared_record_bytes) {
    std::optional<std::uint64_t> routed = checked_mul_add(layers, experts, 0);
    if (routed) routed = checked_mul_add(*routed, record_bytes, kCacheHeaderBytes);
    if (routed && shared > 0) routed = checked_mul_add(layers, shared_record_bytes, *routed);
    ORVANE_CHECK(routed.has_value(), "cache of {} layers × {} experts × {} bytes (+ {} bytes per shared record) "
                 "overflows 64 bits", layers, experts, record_bytes, shared_record_bytes);
    return *routed;
}

std::uint64_t adjusted_group_size(std::uint64_t requested, std::uint64_t hidden, std::uint64_t intermediate) {
    const std::uint64_t m = std::min(hidden, intermediate);
    std::uint64_t gs = requested;
    while (gs > 32 && m % gs != 0) {
        const bool last = gs <= 65;
        gs /= 2;
        if (last) break;
    }
    return gs;
}

// ---- build pool -------------------------------------------------------------------------------------------

std::size_t physical_core_count(std::size_t available_cpus, const fs::path& root) {
    const std::size_t cpus = available_cpus == 0 ? 64 : available_cpus;
    std::ifstream in(root / "sys/devices/system/cpu/cpu0/topology/thread_siblings_list");
    std::string text;
    if (!in || !std::getline(in, text)) return cpus;
    // Count the CPUs of a list such as "0,64" or "0-1".
    std::size_t siblings = 0;
    std::stringstream entries(text);
    std::string entry;
    while (std::getline(entries, entry, ',')) {
        const auto first = entry.find_first_not_of(" \t\r\n");
        if (first == std::string::npos) return cpus;
        const auto last = entry.find_last_not_of(" \t\r\n");
        const std::string_view e = std::string_view(entry).substr(first, last - first + 1);
        const auto dash = e.find('-');
        auto number = [](std::string_view s, std::uint64_t& v) {
            const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
            return r.ec == std::errc() && r.ptr == s.data() + s.size() && !s.empty();
        };
        std::uint64_t a = 0;
        std::uint64_t b = 0;
        if (dash == std::string_view::npos) {
            if (!number(e, a)) return cpus;
            siblings += 1;
        } else {
            if (!number(e.substr(0, dash), a) || !number(e.substr(dash + 1), b) || b < a) return cpus;
            siblings += static_cast<std::size_t>(std::min<std::uint64_t>(b - a + 1, 1u << 20));
        }
    }
    if (siblings == 0 || siblings > cpus) return cpus;
    return std::max<std::size_t>(1, cpus / siblings);
}

std::size_t init_build_pool(const fs::path& root) {
    const std::size_t cores = physical_core_count(pool::available_cpus(), root);
    if (pool::init(cores))
        log::weights().info("Thread pool: {} threads = physical cores (cache build)", cores);
    else
        log::weights().info("Thread pool already running with {} threads ({} physical cores (cache build))",
                            pool::num_threads(), cores);
    return cores;
}

// ---- writer -----------------------------------------------------------------------------------------------

Result<CacheFileWriter> CacheFileWriter::create(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return std::unexpected(os_error_text(errno));
    CacheFileWriter w;
    w.fd_ = fd;
    w.buffer_.resize(kCacheWriteBufferBytes);
    return w;
}

CacheFileWriter::CacheFileWriter(CacheFileWriter&& other) noexcept { *this = std::move(other); }

CacheFileWriter& CacheFileWriter::operator=(CacheFileWriter&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        buffer_ = std::move(other.buffer_);
        used_ = std::exchange(other.used_, 0);
        written_ = std::exchange(other.written_, 0);
    }
    return *this;
}

CacheFileWriter::~CacheFileWriter() {
    if (fd_ >= 0) ::close(fd_);
}

Result<void> CacheFileWriter::drain() {
    std::size_t done = 0;
    while (done < used_) {
        const ssize_t n = ::write(fd_, buffer_.data() + done, used_ - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(os_error_text(errno));
        }
        if (n == 0) return std::unexpected(os_error_text(EIO));
        done += static_cast<std::size_t>(n);
    }
    used_ = 0;
    return {};
}

Result<void> CacheFileWriter::write(std::span<const std::uint8_t> bytes) {
    if (fd_ < 0) return std::unexpected(os_error_text(EBADF));
    while (!bytes.empty()) {
        const std::size_t n = std::min(bytes.size(), buffer_.size() - used_);
        std::memcpy(buffer_.data() + used_, bytes.data(), n);
        used_ += n;
        written_ += n;
        bytes = bytes.subspan(n);
        if (used_ == buffer_.size()) {
            if (auto ok = drain(); !ok) return ok;
        }
    }
    return {};
}

Result<void> CacheFileWriter::finish() {
    if (fd_ < 0) return std::unexpected(fmt::format("Flush error: {}", os_error_text(EBADF)));
    auto ok = drain();
    // The file is published by rename right after: its data must be on the disk first, or a crash could
    // leave a complete-looking name with missing contents.
    if (ok && ::fdatasync(fd_) != 0) ok = std::unexpected(os_error_text(errno));
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0 && ok) ok = std::unexpected(os_error_text(errno));
    if (!ok) return std::unexpected(fmt::format("Flush error: {}", ok.error()));
    return {};
}

Result<void> write_cache_header(CacheFileWriter& out, CacheKind kind, const CacheHeader& header) {
    const auto bytes = encode_cache_header(kind, header);
    if (auto ok = out.write(bytes); !ok) return std::unexpected(fmt::format("Write error: {}", ok.error()));
    return {};
}

namespace {

// The memory of an array of words: on x86-64 (little-endian) exactly their file form.
template <class T>
std::span<const std::uint8_t> raw_bytes(std::span<const T> values) {
    return {reinterpret_cast<const std::uint8_t*>(values.data()), values.size_bytes()};
}

}  // namespace

Result<void> write_vec_u32(CacheFileWriter& out, std::span<const std::uint32_t> values) {
    if (auto ok = out.write(raw_bytes(values)); !ok)
        return std::unexpected(fmt::format("Write u32 error: {}", ok.error()));
    return {};
}

Result<void> write_vec_u16(CacheFileWriter& out, std::span<const std::uint16_t> values) {
    if (auto ok = out.write(raw_bytes(values)); !ok)
        return std::unexpected(fmt::format("Write u16 error: {}", ok.error()));
    return {};
}

Result<void> write_expert_record(CacheFileWriter& out, const UnifiedExpertWeights& record) {
    if (auto ok = write_vec_u32(out, record.w13_packed); !ok) return ok;
    if (auto ok = write_vec_u16(out, record.w13_scales); !ok) return ok;
    if (auto ok = write_vec_u32(out, record.w2_packed); !ok) return ok;
    return write_vec_u16(out, record.w2_scales);
}

// ---- the streaming build ----------------------------------------------------------------------------------

namespace {

enum class Encoding { Bf16, PreQuantized, Mxfp4 };

std::uint64_t record_total(const UnifiedExpertWeights& r) {
    return r.w13_packed.size() * 4 + r.w13_scales.size() * 2 + r.w2_packed.size() * 4 + r.w2_scales.size() * 2;
}

// What one build holds: the open shards (evicted and closed by the caller in every case).
struct BuildShards {
    ShardMap shards;
};

class StreamingBuild {
public:
    StreamingBuild(const StreamingBuildRequest& request, const ExpertRecordConverter& convert,
                   const RecordBytesFn& record_bytes, BuildShards& open)
        : req_(request), convert_(convert), record_bytes_(record_bytes), shards_(open.shards) {}

    Result<std::uint64_t> run(const fs::path& temp_path);

private:
    Result<void> open_shards(const WeightMap& weight_map);
    Result<std::vector<ExpertWeights>> acquire_layer(std::uint64_t layer);
    void prefetch_layer(std::uint64_t layer) const;
    Result<void> check_record(const UnifiedExpertWeights& r, std::uint64_t layer, std::uint64_t expert, bool shared,
                              std::uint64_t intermediate) const;

    const StreamingBuildRequest& req_;
    const ExpertRecordConverter& convert_;
    const RecordBytesFn& record_bytes_;
    ShardMap& shards_;
    const WeightMap* weight_map_ = nullptr;
    std::string prefix_;
    Encoding encoding_ = Encoding::Bf16;
    std::uint64_t gs_ = 0;
};

Result<void> StreamingBuild::open_shards(const WeightMap& weight_map) {
    const std::uint64_t first = req_.config.first_k_dense_replace;
    const std::uint64_t end = first + req_.num_layers;
    std::set<std::string> needed;
    std::set<std::string> all;
    for (const auto& [name, shard] : weight_map) {
        all.insert(shard);
        const auto layer = parse_layer_number(name);
        if (layer && *layer >= first && *layer < end) needed.insert(shard);
    }
    if (is_cpu(req_.kind))
        log::weights().info("Opening {}/{} safetensors shards for CPU cache build", needed.size(), all.size());
    else
        log::weights().info("Opening {}/{} safetensors shards (mmap, near-zero RAM)", needed.size(), all.size());
    std::size_t opened = 0;
    for (const std::string& shard : needed) {
        const fs::path path = req_.model_dir / shard;
        auto file = MmapSafetensors::open(path);
        if (!file) return std::unexpected(fmt::format("Failed to open {}: {}", path.string(), file.error()));
        shards_.emplace(shard, std::move(*file));
        ++opened;
        if (opened % 10 == 0 || opened == needed.size())
            log::weights().info("  Opened {}/{} shards", opened, needed.size());
    }
    return {};
}

void StreamingBuild::prefetch_layer(std::uint64_t layer) const {
    auto prefetch = [&](const std::string& name) {
        const auto shard_name = weight_map_->find(name);
        if (shard_name == weight_map_->end()) return;
        const auto shard = shards_.find(shard_name->second);
        if (shard != shards_.end()) shard->second.prefetch_tensor(name);
    };
    if (encoding_ == Encoding::Mxfp4) {
        const std::string p = mxfp4_experts_prefix(prefix_, layer);
        for (const char* suffix : {".gate_up_proj_blocks", ".gate_up_proj_scales", ".down_proj_blocks",
                                   ".down_proj_scales"})
            prefetch(p + suffix);
        log::weights().info("Issued MXFP4 prefetch for layer {} bulk tensors", layer);
        return;
    }
    for (std::uint64_t e = 0; e < req_.config.n_routed_experts; ++e) {
        const std::string p = routed_expert_prefix(prefix_, layer, e);
        for (std::string_view proj : kProjections) {
            if (encoding_ == Encoding::PreQuantized) {
                prefetch(fmt::format("{}.{}.weight_packed", p, proj));
                prefetch(fmt::format("{}.{}.weight_scale", p, proj));
            } else {
                prefetch(fmt::format("{}.{}.weight", p, proj));
            }
        }
    }
    log::weights().info("Issued MADV_WILLNEED prefetch for layer {} experts", layer);
}

Result<std::vector<ExpertWeights>> StreamingBuild::acquire_layer(std::uint64_t layer) {
    const std::uint8_t width = req_.width;
    if (encoding_ == Encoding::Mxfp4)
        return load_mxfp4_layer_experts(prefix_, layer, *weight_map_, shards_, req_.config, gs_, width);

    // The loaders only read the index and the mappings: the experts load and quantize on the pool, each
    // into its own slot; the first failure in expert order is reported.
    const std::uint64_t experts = req_.config.n_routed_experts;
    std::vector<Result<ExpertWeights>> slots(experts);
    pool::parallel_for_each(experts, [&](std::size_t e) {
        const std::string p = routed_expert_prefix(prefix_, layer, e);
        if (encoding_ == Encoding::PreQuantized && width == 4) {
            ExpertWeights w;
            QuantWeight* dst[3] = {&w.gate, &w.up, &w.down};
            for (int k = 0; k < 3; ++k) {
                auto q = load_prequantized_weight(p, kProjections[k], *weight_map_, shards_, gs_);
                if (!q) {
                    slots[e] = std::unexpected(std::move(q.error()));
                    return;
                }
                *dst[k] = std::move(*q);
            }
            slots[e] = std::move(w);
        } else {
            // Pre-quantized checkpoints have no BF16 tensors: a width-8 request fails here with the loader's
            // message.
            slots[e] = load_and_quantize_expert(p, *weight_map_, shards_, gs_, width);
        }
    });
    std::vector<ExpertWeights> out;
    out.reserve(experts);
    for (auto& slot : slots) {
        if (!slot) return std::unexpected(std::move(slot.error()));
        out.push_back(std::move(*slot));
    }
    return out;
}

Result<void> StreamingBuild::check_record(const UnifiedExpertWeights& r, std::uint64_t layer, std::uint64_t expert,
                                          bool shared, std::uint64_t intermediate) const {
    const std::uint64_t hidden = req_.config.hidden_size;
    const std::string what = shared ? fmt::format("Shared expert of layer {}", layer)
                                    : fmt::format("Expert {} of layer {}", expert, layer);
    if (r.hidden_size != hidden || r.intermediate_size != intermediate || r.group_size != gs_)
        return std::unexpected(fmt::format("{} has hidden={}, intermediate={}, group_size={}; the cache needs {}, "
                                           "{}, {}",
                                           what, r.hidden_size, r.intermediate_size, r.group_size, hidden,
                                           intermediate, gs_));
    const std::uint64_t expected = record_bytes_(gs_, shared);
    if (record_total(r) != expected)
        return std::unexpected(
            fmt::format("{} converts to {} bytes, the cache record holds {}", what, record_total(r), expected));
    return {};
}

Result<std::uint64_t> StreamingBuild::run(const fs::path& temp_path) {
    const ModelConfig& config = req_.config;
    const bool cpu = is_cpu(req_.kind);
    const std::uint8_t width = req_.width;
    const std::uint64_t num_layers = req_.num_layers;
    const std::uint64_t first = config.first_k_dense_replace;

    Result<SafetensorsIndex> own_index = SafetensorsIndex{};
    if (req_.index == nullptr) {
        own_index = safetensors_io::read_safetensors_index(req_.model_dir);
        if (!own_index) return std::unexpected(own_index.error());
    }
    const WeightMap& weight_map = req_.index != nullptr ? req_.index->weight_map : own_index->weight_map;
    weight_map_ = &weight_map;

    if (auto ok = open_shards(weight_map); !ok) return std::unexpected(std::move(ok.error()));
    auto prefix = detect_expert_prefix(weight_map);
    if (!prefix) return std::unexpected(std::move(prefix.error()));
    prefix_ = std::move(*prefix);

    // Encoding and group size.
    auto any_name_ends_with = [&](std::string_view suffix) {
        return std::any_of(weight_map.begin(), weight_map.end(),
                           [&](const auto& entry) { return entry.first.ends_with(suffix); });
    };
    gs_ = req_.group_size;
    if (any_name_ends_with(".gate_up_proj_blocks")) {
        encoding_ = Encoding::Mxfp4;
    } else if (any_name_ends_with(".weight_packed")) {
        encoding_ = Encoding::PreQuantized;
        auto detected = detect_prequant_group_size(weight_map, prefix_, first, shards_);
        if (!detected) return std::unexpected(std::move(detected.error()));
        if (*detected != req_.group_size)
            log::weights().info("Pre-quantized model has group_size={}, overriding requested {}", *detected,
                                req_.group_size);
        gs_ = *detected;
    }
    if (encoding_ != Encoding::PreQuantized) {
        gs_ = adjusted_group_size(req_.group_size, config.hidden_size, config.moe_intermediate_size);
        if (gs_ != req_.group_size) {
            if (cpu)
                log::weights().info("CPU cache: adjusted group_size {} → {} (model dimensions not divisible)",
                                    req_.group_size, gs_);
            else
                log::weights().info("Adjusted group_size {} → {} (model dimensions not divisible by {})",
                                    req_.group_size, gs_, req_.group_size);
        }
        if (encoding_ == Encoding::Mxfp4) {
            if (cpu)
                log::weights().info("Detected MXFP4 experts — will dequant to BF16 then quantize to CPU INT{}", width);
            else
                log::weights().info(
                    "Detected MXFP4 pre-quantized experts — will dequant to BF16 then quantize to INT{}", width);
        }
    }
    if (gs_ == 0) return std::unexpected(std::string("Invalid group size 0"));
    if (cpu && encoding_ == Encoding::PreQuantized && width != 4)
        return std::unexpected(fmt::format(
            "CPU INT{} cache not supported for pre-quantized INT4 models (would need dequant+requant)", width));

    // Sizes, checked before anything is written.
    const std::uint64_t experts = config.n_routed_experts;
    const std::uint64_t shared_count = config.n_shared_experts;
    const std::uint64_t shared_inter =
        shared_count > 0 ? shared_intermediate_size(shared_count, config.moe_intermediate_size) : 0;
    const std::uint64_t record = record_bytes_(gs_, false);
    const std::uint64_t shared_record = shared_count > 0 ? record_bytes_(gs_, true) : 0;
    const std::uint64_t expected_size = cache_file_size(num_layers, experts, record, shared_count, shared_record);

    // The file.
    std::error_code ec;
    fs::create_directories(req_.cache_path.parent_path(), ec);
    if (ec) return std::unexpected(fmt::format("Failed to create cache dir: {}", os_error_text(ec)));
    auto created = CacheFileWriter::create(temp_path);
    if (!created)
        return std::unexpected(cpu ? fmt::format("Failed to create CPU cache file: {}", created.error())
                                   : fmt::format("Failed to create cache file: {}", created.error()));
    CacheFileWriter out = std::move(*created);

    CacheHeader header;
    header.version = cpu ? kCpuCacheVersion : kMarlinCacheVersion;
    header.hidden = config.hidden_size;
    header.intermediate = config.moe_intermediate_size;
    header.experts = experts;
    header.layers = num_layers;
    header.group_size = gs_;
    header.fingerprint = req_.fingerprint;
    header.shared = shared_count;
    header.width = width;
    if (auto ok = write_cache_header(out, req_.kind, header); !ok) return std::unexpected(std::move(ok.error()));

    // Routed experts, layer by layer.
    const char* convert_word = cpu ? "transpose" : "repack";
    if (num_layers > 0) prefetch_layer(first);
    for (std::uint64_t i = 0; i < num_layers; ++i) {
        const std::uint64_t layer = first + i;
        const auto layer_start = Clock::now();
        auto loaded = acquire_layer(layer);
        if (!loaded) return std::unexpected(std::move(loaded.error()));
        std::vector<ExpertWeights> layer_experts = std::move(*loaded);
        if (layer_experts.size() != experts)
            return std::unexpected(fmt::format("Layer {} yielded {} experts, expected {}", layer,
                                               layer_experts.size(), experts));
        const double io = seconds_since(layer_start);
        if (i + 1 < num_layers) prefetch_layer(layer + 1);

        const auto convert_start = Clock::now();
        std::vector<UnifiedExpertWeights> records(experts);
        pool::parallel_for_each(experts, [&](std::size_t e) {
            records[e] = convert_(layer_experts[e], false);
            layer_experts[e] = ExpertWeights{};  // the quantized expert is no longer needed
        });
        layer_experts.clear();
        const double convert_seconds = seconds_since(convert_start);

        for (std::uint64_t e = 0; e < experts; ++e) {
            if (auto ok = check_record(records[e], layer, e, false, config.moe_intermediate_size); !ok)
                return std::unexpected(std::move(ok.error()));
            if (auto ok = write_expert_record(out, records[e]); !ok) return std::unexpected(std::move(ok.error()));
            records[e] = UnifiedExpertWeights{};
        }
        // The layer's tensor pages leave the process (they stay in the page cache, and the next layer's
        // read-ahead is untouched): resident memory stays at one layer, not the whole checkpoint.
        for (auto& [name, shard] : shards_) shard.evict_page_cache();

        const std::uint64_t k = i + 1;
        const double total = seconds_since(layer_start);
        if (k % 5 == 0 || k == num_layers)
            syscheck::log_memory_usage(fmt::format("{}: {}/{} layers ({:.1f}s/layer, io={:.1f}s {}={:.1f}s)",
                                                   cpu ? "CPU cache" : "Marlin cache", k, num_layers, total, io,
                                                   convert_word, convert_seconds));
        else
            log::weights().info("  Layer {}: {} experts in {:.1f}s (io={:.1f}s {}={:.1f}s) [{}/{}]", layer, experts,
                                total, io, convert_word, convert_seconds, k, num_layers);
    }

    // Shared experts: always from BF16 tensors.
    if (shared_count > 0) {
        if (cpu)
            log::weights().info("Streaming shared experts for CPU cache ({} layers)...", num_layers);
        else
            log::weights().info("Streaming shared experts ({} layers)...", num_layers);
        for (std::uint64_t i = 0; i < num_layers; ++i) {
            const std::uint64_t layer = first + i;
            auto expert = load_and_quantize_expert(shared_expert_prefix(prefix_, layer), weight_map, shards_, gs_, width);
            if (!expert) return std::unexpected(std::move(expert.error()));
            const UnifiedExpertWeights record = convert_(*expert, true);
            if (auto ok = check_record(record, layer, 0, true, shared_inter); !ok)
                return std::unexpected(std::move(ok.error()));
            if (auto ok = write_expert_record(out, record); !ok) return std::unexpected(std::move(ok.error()));
        }
    }

    if (out.bytes_written() != expected_size)
        return std::unexpected(fmt::format("{} cache build wrote {} bytes, expected {}", cache_name(req_.kind),
                                           out.bytes_written(), expected_size));
    if (auto ok = out.finish(); !ok) return std::unexpected(std::move(ok.error()));
    fs::rename(temp_path, req_.cache_path, ec);
    if (ec)
        return std::unexpected(cpu ? fmt::format("Failed to rename CPU cache file: {}", os_error_text(ec))
                                   : fmt::format("Failed to rename cache file: {}", os_error_text(ec)));
    return gs_;
}

}  // namespace

Result<std::uint64_t> streaming_build_cache(const StreamingBuildRequest& request,
                                            const ExpertRecordConverter& convert, const RecordBytesFn& record_bytes) {
    const auto start = Clock::now();
    const bool cpu = is_cpu(request.kind);
    if (cpu)
        log::weights().info("Streaming build CPU INT{} cache: {} MoE layers from safetensors → {}", request.width,
                            request.num_layers, request.cache_path.string());
    else
        log::weights().info("Streaming build MARLIN cache (INT{}): {} MoE layers from safetensors → {}",
                            request.width, request.num_layers, request.cache_path.string());
    syscheck::log_memory_usage(fmt::format("before {}", build_label(request.kind)));

    const fs::path temp_path = temp_path_for(request.cache_path);
    BuildShards open;
    Result<std::uint64_t> result;
    try {
        StreamingBuild build(request, convert, record_bytes, open);
        result = build.run(temp_path);
    } catch (const std::exception& e) {
        // A conversion that rejects its input, or an allocation that fails, ends the build like any error.
        result = std::unexpected(std::string(e.what()));
    }
    if (!result) {
        std::error_code ec;
        fs::remove(temp_path, ec);  // never leave a half-written file behind
    }

    for (auto& [name, shard] : open.shards) shard.evict_page_cache();
    open.shards.clear();
    ::malloc_trim(0);
    if (!result) return result;

    std::error_code ec;
    const std::uint64_t size = fs::file_size(request.cache_path, ec);
    const double seconds = seconds_since(start);
    const double gb = static_cast<double>(ec ? 0 : size) / 1e9;
    if (cpu)
        log::weights().info("CPU INT{} cache built: {:.1f} GB in {:.1f}s ({:.1f} GB/s)", request.width, gb, seconds,
                            seconds > 0 ? gb / seconds : 0.0);
    else
        log::weights().info("Marlin cache built: {:.1f} GB in {:.1f}s ({:.1f} GB/s)", gb, seconds,
                            seconds > 0 ? gb / seconds : 0.0);
    syscheck::log_memory_usage(fmt::format("after {}", build_label(request.kind)));
    return result;
}

// ---- the reader -------------------------------------------------------------------------------------------

namespace {

#ifdef MADV_POPULATE_READ
constexpr int kPopulateRead = MADV_POPULATE_READ;
#else
constexpr int kPopulateRead = 22;  // Linux 5.14+; older kernels answer EINVAL
#endif

// A read-only shared mapping of a whole file; on destruction its pages are dropped, then it is unmapped and
// the file closed.
class MappedCacheFile {
public:
    MappedCacheFile() = default;
    MappedCacheFile(const MappedCacheFile&) = delete;
    MappedCacheFile& operator=(const MappedCacheFile&) = delete;
    ~MappedCacheFile() {
        if (base_ != nullptr) {
            (void)::madvise(base_, size_, MADV_DONTNEED);
            ::munmap(base_, size_);
        }
        if (fd_ >= 0) ::close(fd_);
    }

    // Errors: (true, text) for open, (false, text) for mapping.
    Result<void> open(const fs::path& path, CacheKind kind) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0)
            return std::unexpected(fmt::format("Failed to open {} cache: {}", cache_name(kind), os_error_text(errno)));
        struct stat st {};
        if (::fstat(fd_, &st) != 0)
            return std::unexpected(fmt::format("Failed to mmap {} cache: {}", cache_name(kind), os_error_text(errno)));
        if (!S_ISREG(st.st_mode))
            return std::unexpected(
                fmt::format("Failed to mmap {} cache: {}", cache_name(kind), "not a regular file"));
        size_ = static_cast<std::size_t>(st.st_size);
        if (size_ == 0) return {};  // nothing to map; the size check refuses it
        void* p = ::mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd_, 0);
        if (p == MAP_FAILED) {
            size_ = 0;
            return std::unexpected(fmt::format("Failed to mmap {} cache: {}", cache_name(kind), os_error_text(errno)));
        }
        base_ = p;
        (void)::madvise(base_, size_, MADV_SEQUENTIAL);
        return {};
    }

    std::span<const std::uint8_t> bytes() const {
        return {static_cast<const std::uint8_t*>(base_), base_ == nullptr ? 0 : size_};
    }

    // Maps the pages of [begin, end) in one call ahead of the copy, instead of one fault per page (kernels
    // without MADV_POPULATE_READ ignore the advice).
    void populate(std::size_t begin, std::size_t end) const {
        const std::size_t page = safetensors_io::page_size();
        const std::size_t first = begin / page * page;
        if (base_ != nullptr && end > first)
            (void)::madvise(static_cast<std::uint8_t*>(base_) + first, std::min(end, size_) - first, kPopulateRead);
    }

    // Drops the pages of [begin, end) that lie wholly inside it (they fault in again if read).
    void release(std::size_t begin, std::size_t end) const {
        const std::size_t page = safetensors_io::page_size();
        const std::size_t first = (begin + page - 1) / page * page;
        const std::size_t last = end / page * page;
        if (base_ != nullptr && last > first)
            (void)::madvise(static_cast<std::uint8_t*>(base_) + first, last - first, MADV_DONTNEED);
    }

private:
    int fd_ = -1;
    void* base_ = nullptr;
    std::size_t size_ = 0;
};

Result<CacheContents> load_cache_checked(const CacheReadRequest& req, const RecordBytesFn& record_bytes,
                                         const RecordReader& read_record) {
    const auto start_time = Clock::now();
    const CacheKind kind = req.kind;
    const bool cpu = is_cpu(kind);
    const char* name = cache_name(kind);
    const ModelConfig& config = req.config;

    MappedCacheFile file;
    if (auto ok = file.open(req.path, kind); !ok) return std::unexpected(std::move(ok.error()));
    const std::span<const std::uint8_t> bytes = file.bytes();

    if (bytes.size() < kCacheHeaderBytes) return std::unexpected(fmt::format("{} cache too small for header", name));
    if (!has_cache_magic(bytes)) return std::unexpected(fmt::format("Bad magic in {} cache", name));
    const CacheHeader h = decode_cache_header(kind, bytes);
    const std::uint32_t version = cpu ? kCpuCacheVersion : kMarlinCacheVersion;
    if (h.version != version)
        return std::unexpected(fmt::format("Cache version {}, expected {} ({})", h.version, version, name));
    if (h.hidden != config.hidden_size || h.intermediate != config.moe_intermediate_size ||
        h.experts != config.n_routed_experts || h.layers != req.num_layers || h.group_size != req.group_size)
        return std::unexpected(fmt::format(
            "{} cache header mismatch: file has {}h/{}m/{}e/{}L/g{}, expected {}h/{}m/{}e/{}L/g{}", name, h.hidden,
            h.intermediate, h.experts, h.layers, h.group_size, config.hidden_size, config.moe_intermediate_size,
            config.n_routed_experts, req.num_layers, req.group_size));
    if (h.fingerprint != req.fingerprint) return std::unexpected(fmt::format("Config hash mismatch in {} cache", name));
    if (h.shared != config.n_shared_experts)
        return std::unexpected(
            fmt::format("Shared expert count mismatch: cache={}, config={}", h.shared, config.n_shared_experts));
    if (cpu && h.width != req.width)
        return std::unexpected(
            fmt::format("CPU cache num_bits mismatch: cache=INT{}, expected INT{}", h.width, req.width));
    const std::uint64_t layers = req.num_layers;
    if (req.start > layers || req.count > layers - req.start) {
        std::uint64_t end = 0;
        if (__builtin_add_overflow(req.start, req.count, &end)) end = std::numeric_limits<std::uint64_t>::max();
        return std::unexpected(fmt::format("Range [{}, {}) exceeds total MoE layers {}", req.start, end, layers));
    }

    const std::uint64_t experts = config.n_routed_experts;
    const bool has_shared = config.n_shared_experts > 0;
    std::uint64_t record = 0;
    std::uint64_t shared_record = 0;
    std::optional<std::uint64_t> expected;
    try {
        record = record_bytes(req.group_size, false);
        shared_record = has_shared ? record_bytes(req.group_size, true) : 0;
        expected = cache_file_size(layers, experts, record, config.n_shared_experts, shared_record);
    } catch (const InternalError& e) {
        return std::unexpected(fmt::format("{} cache size mismatch: expected size unknown ({}), got {}", name,
                                           e.what(), bytes.size()));
    }
    if (bytes.size() != *expected)
        return std::unexpected(
            fmt::format("{} cache size mismatch: expected {} bytes, got {}", name, *expected, bytes.size()));

    const std::string label = load_label(kind, req.width);
    if (req.start > 0 || req.count < layers)
        log::weights().info("Loading {} cache (partial): layers [{}-{}), {} of {} ({})", label, req.start,
                            req.start + req.count, req.count, layers, req.path.string());
    else
        log::weights().info("Loading {} cache: {} (all {} layers)", label, req.path.string(), layers);

    // Every offset below lies inside the file, whose size was checked against the same arithmetic.
    CacheContents out;
    out.layers.reserve(req.count);
    std::uint64_t copied = 0;
    std::size_t offset = kCacheHeaderBytes + req.start * experts * record;
    for (std::uint64_t k = 0; k < req.count; ++k) {
        const std::size_t layer_begin = offset;
        file.populate(layer_begin, layer_begin + experts * record);
        std::vector<UnifiedExpertWeights> layer(experts);
        pool::parallel_for_each(experts, [&](std::size_t e) {
            std::size_t at = layer_begin + e * record;
            layer[e] = read_record(bytes, at, false);
        });
        offset = layer_begin + experts * record;
        copied += experts * record;
        file.release(layer_begin, offset);
        out.layers.push_back(std::move(layer));
        const std::uint64_t done = k + 1;
        if (done % 10 == 0 || done == req.count)
            log::weights().info("  {} cache loaded: {}/{} layers ({:.1f} GB)", cpu ? "CPU" : "Marlin", done, req.count,
                                static_cast<double>(offset) / 1e9);
    }
    if (has_shared) {
        const std::size_t shared_begin = kCacheHeaderBytes + layers * experts * record + req.start * shared_record;
        const std::size_t shared_end = shared_begin + req.count * shared_record;
        file.populate(shared_begin, shared_end);
        out.shared.resize(req.count);
        pool::parallel_for_each(req.count, [&](std::size_t k) {
            std::size_t at = shared_begin + k * shared_record;
            out.shared[k] = read_record(bytes, at, true);
        });
        file.release(shared_begin, shared_end);
        copied += req.count * shared_record;
        if (cpu)
            log::weights().info("  Loaded {} shared experts (CPU INT{})", req.count, req.width);
        else
            log::weights().info("  Loaded {} shared experts (Marlin)", req.count);
    }
    log::weights().info("{} cache loaded in {:.1f}s: {} layers × {} experts (+ {} shared), {:.1f} GB", label,
                        seconds_since(start_time), req.count, experts, out.shared.size(),
                        static_cast<double>(copied) / 1e9);
    return out;
}

}  // namespace

Result<CacheContents> load_cache(const CacheReadRequest& request, const RecordBytesFn& record_bytes,
                                 const RecordReader& read_record) {
    try {
        return load_cache_checked(request, record_bytes, read_record);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const InternalError& e) {
        return std::unexpected(fmt::format("{} cache unreadable: {}", cache_name(request.kind), e.what()));
    }
}

}  // namespace orvane::weights
