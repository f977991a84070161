#pragma once
// What the CPU expert cache and the Marlin cache share: the 64-byte header, the buffered file writer, the
// streaming build from safetensors shards and the validating reader.
//
// Both files are a header followed by expert records without any padding: routed records for MoE layer
// 0 … L−1, expert 0 … E−1, then (when the model has shared experts) one shared record per layer. A record
// is four raw little-endian arrays: w13 packed (u32 words), w13 scales (BF16), w2 packed, w2 scales.
//
// Header (little-endian): magic "ORVA" | u32 version | u64 H | u64 I | u64 E | u64 L | u64 group size |
// u64 configuration fingerprint | then, in the CPU file, u32 shared experts S, u8 width, 3 zero bytes; in
// the Marlin file, u64 S (the width is part of its name).
//
// Files are only ever published complete: the builder writes "<name>.bin.tmp" and renames it. A build that
// fails removes its temporary file and leaves nothing at the final name.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/errors.hpp"
#include "weights/config.hpp"
#include "weights/safetensors_io.hpp"
#include "weights/unified.hpp"

namespace orvane::weights {

// Folder of the cache files inside the model directory.
inline constexpr const char* kCacheDirName = ".orvane_cache";
inline constexpr std::size_t kCacheHeaderBytes = 64;
inline constexpr std::array<std::uint8_t, 4> kCacheMagic = {'O', 'R', 'V', 'A'};
// Size of the builder's write buffer: batches the many small arrays of a layer.
inline constexpr std::size_t kCacheWriteBufferBytes = std::size_t{4} << 20;

enum class CacheKind {
    Cpu,     // version 4, S as u32 followed by the width byte
    Marlin,  // version 3, S as u64
};

inline constexpr std::uint32_t kCpuCacheVersion = 4;
inline constexpr std::uint32_t kMarlinCacheVersion = 3;

// The header fields. `width` is only stored in the CPU file (read back as 0 from a Marlin file).
struct CacheHeader {
    std::uint32_t version = 0;
    std::uint64_t hidden = 0;
    std::uint64_t intermediate = 0;
    std::uint64_t experts = 0;
    std::uint64_t layers = 0;
    std::uint64_t group_size = 0;
    std::uint64_t fingerprint = 0;
    std::uint64_t shared = 0;
    std::uint8_t width = 0;

    friend bool operator==(const CacheHeader&, const CacheHeader&) = default;
};

// The 64 header bytes with the magic. In the CPU form S must fit in 32 bits (InternalError otherwise).
std::array<std::uint8_t, kCacheHeaderBytes> encode_cache_header(CacheKind kind, const CacheHeader& header);
// Whether the bytes start with the magic (false when fewer than four).
bool has_cache_magic(std::span<const std::uint8_t> bytes);
// The fields of the first 64 bytes, each read with memcpy at its offset (no alignment is assumed).
// `bytes` must hold at least 64 bytes (InternalError otherwise); the magic is not checked here.
CacheHeader decode_cache_header(CacheKind kind, std::span<const std::uint8_t> bytes);

// a × b + c without wrapping; nullopt on overflow.
std::optional<std::uint64_t> checked_mul_add(std::uint64_t a, std::uint64_t b, std::uint64_t c);

// S × I, the intermediate size of a shared record; InternalError when it does not fit in 64 bits.
std::uint64_t shared_intermediate_size(std::uint64_t shared_experts, std::uint64_t intermediate);

// 64 + L × E × P + (S > 0 ? L × P_s : 0). InternalError when it does not fit in 64 bits.
std::uint64_t cache_file_size(std::uint64_t layers, std::uint64_t experts, std::uint64_t record_bytes,
                              std::uint64_t shared, std::uint64_t shared_record_bytes);

// The group-size divisibility rule for BF16 and MXFP4 checkpoints: with m = min(H, I), a group size above
// 32 that does not divide m is halved until it does, a halving from 65 or less being the last one
// (128 → 64 for m = 2880; 128 → 64 → 32 for m = 96).
std::uint64_t adjusted_group_size(std::uint64_t requested, std::uint64_t hidden, std::uint64_t intermediate);

// Physical cores for the build pool: the available CPUs divided by the number of CPUs listed in
// <root>/sys/devices/system/cpu/cpu0/topology/thread_siblings_list (entries "a" and ranges "a-b", comma
// separated). An unreadable or unparsable list, or more siblings than CPUs, gives the CPUs unchanged.
std::size_t physical_core_count(std::size_t available_cpus, const std::filesystem::path& root = "/");

// Creates the process-wide pool with physical_core_count(...) threads unless a pool exists already, and
// logs the count. Returns the count.
std::size_t init_build_pool(const std::filesystem::path& root = "/");

// ---- writing --------------------------------------------------------------------------------------------

// A file written through a 4 MiB buffer. Move-only; an open file is closed (not flushed) on destruction.
class CacheFileWriter {
public:
    // Creates or truncates the file (mode 0666 before the umask). The error is the system's text.
    static Result<CacheFileWriter> create(const std::filesystem::path& path);

    CacheFileWriter(CacheFileWriter&& other) noexcept;
    CacheFileWriter& operator=(CacheFileWriter&& other) noexcept;
    CacheFileWriter(const CacheFileWriter&) = delete;
    CacheFileWriter& operator=(const CacheFileWriter&) = delete;
    ~CacheFileWriter();

    // Appends bytes; the error is the system's text.
    Result<void> write(std::span<const std::uint8_t> bytes);
    // Writes out the buffer, syncs the data to the disk and closes the file: "Flush error: {}".
    Result<void> finish();
    // Bytes appended so far.
    std::uint64_t bytes_written() const { return written_; }

private:
    CacheFileWriter() = default;
    Result<void> drain();

    int fd_ = -1;
    std::vector<std::uint8_t> buffer_;
    std::size_t used_ = 0;
    std::uint64_t written_ = 0;
};

// Appends the header: "Write error: {}".
Result<void> write_cache_header(CacheFileWriter& out, CacheKind kind, const CacheHeader& header);
// Append an array's raw little-endian bytes: "Write u32 error: {}" / "Write u16 error: {}".
Result<void> write_vec_u32(CacheFileWriter& out, std::span<const std::uint32_t> values);
Result<void> write_vec_u16(CacheFileWriter& out, std::span<const std::uint16_t> values);
// The four arrays of a record in file order.
Result<void> write_expert_record(CacheFileWriter& out, const UnifiedExpertWeights& record);

// ---- the streaming build --------------------------------------------------------------------------------

struct StreamingBuildRequest {
    CacheKind kind = CacheKind::Cpu;
    std::filesystem::path model_dir;
    // The parsed index; when null the build reads <model_dir>/model.safetensors.index.json itself.
    const safetensors_io::SafetensorsIndex* index = nullptr;
    ModelConfig config;
    std::uint64_t fingerprint = 0;
    std::uint64_t group_size = 128;  // requested
    std::uint8_t width = 4;
    std::uint64_t num_layers = 0;    // all MoE layers
    std::filesystem::path cache_path;
};

// Turns one quantized expert into its cache record (`shared`: the layer's shared expert).
using ExpertRecordConverter = std::function<UnifiedExpertWeights(const ExpertWeights& expert, bool shared)>;
// Byte count of one record of intermediate size I (`shared`: a shared record) at the build's group size.
using RecordBytesFn = std::function<std::uint64_t(std::uint64_t group_size, bool shared)>;

// Builds the cache of `request.kind` layer by layer: opens the shards of the MoE layers only, detects the
// prefix and the encoding (MXFP4, pre-quantized INT4 with its group size, or BF16 with the divisibility
// rule), writes the header, then per layer loads and quantizes the experts on the pool, converts them with
// `convert` (expert order kept) and appends the records, prefetching the next layer's tensors; then the shared
// experts. Publishes the file by rename, drops the shards' page cache and trims the heap. Returns the group
// size it used, or the first error (nothing is then left at the cache path, and the temporary file is
// removed). Messages and log lines are those of the cache kind.
Result<std::uint64_t> streaming_build_cache(const StreamingBuildRequest& request,
                                            const ExpertRecordConverter& convert, const RecordBytesFn& record_bytes);

// ---- reading --------------------------------------------------------------------------------------------

// The window of a loaded cache: one array of E records per layer, and one shared record per layer (empty
// when the model has no shared experts).
struct CacheContents {
    std::vector<std::vector<UnifiedExpertWeights>> layers;
    std::vector<UnifiedExpertWeights> shared;
};

// Reads one record from `bytes` at `offset` (advanced past it).
using RecordReader = std::function<UnifiedExpertWeights(std::span<const std::uint8_t> bytes, std::size_t& offset,
                                                        bool shared)>;

struct CacheReadRequest {
    CacheKind kind = CacheKind::Cpu;
    std::filesystem::path path;
    ModelConfig config;
    std::uint64_t group_size = 0;
    std::uint64_t num_layers = 0;  // all MoE layers
    std::uint64_t fingerprint = 0;
    std::uint64_t start = 0;
    std::uint64_t count = 0;
    std::uint8_t width = 4;
};

// Maps the file, validates it (open, map, size, magic, version, dimensions, fingerprint, shared count, width
// for the CPU file, the layer window, the exact size), copies the window's records out of the mapping and
// unmaps it. Any failed check returns its message and nothing of the file is used.
Result<CacheContents> load_cache(const CacheReadRequest& request, const RecordBytesFn& record_bytes,
                                 const RecordReader& read_record);

}  // namespace orvane::weights
