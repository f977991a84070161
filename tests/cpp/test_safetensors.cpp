// Safetensors access: shards written by the safetensors library read back byte for byte through the
// mapping, header failures, access bounds, typed views (widths, shape/length agreement, unaligned data),
// ownership of the mapping, page-cache hints, and the checkpoint index.
//
// Files come from tests/fixtures/make_safetensors.py, found under $ORVANE_TEST_FIXTURES/safetensors.

#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>
#include <spdlog/sinks/ostream_sink.h>

#include "core/errors.hpp"
#include "core/logging.hpp"
#include "weights/config.hpp"
#include "weights/safetensors_io.hpp"
#include "support.hpp"

namespace {

using orvane::test_support::LogCapture;

namespace st = orvane::weights::safetensors_io;
using nlohmann::json;
using st::Dtype;
using st::MmapSafetensors;
using st::SafetensorsError;
using Kind = SafetensorsError::Kind;
namespace fs = std::filesystem;
fs::path fixtures() { return orvane::test_support::fixture_dir("safetensors"); }


const json& expected() {
    static const json doc = [] {
        std::ifstream in(fixtures() / "expected.json");
        return in ? json::parse(in) : json::object();
    }();
    return doc;
}

std::uint64_t fnv1a(std::span<const std::uint8_t> bytes) {
    return orvane::weights::config_fingerprint(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// Opens a file that must open; otherwise the test ends with the reason (GoogleTest reports the exception).
MmapSafetensors open_ok(const fs::path& path) {
    auto file = MmapSafetensors::open(path);
    if (!file) throw std::runtime_error(fmt::format("{}: {}", path.string(), file.error().message()));
    return std::move(*file);
}

// Lines of /proc/self/maps that name the file: how many mappings of it the process holds.
int mappings_of(const fs::path& path) {
    std::ifstream maps("/proc/self/maps");
    const std::string target = fs::canonical(path).string();
    int count = 0;
    for (std::string line; std::getline(maps, line);)
        if (line.size() >= target.size() && line.compare(line.size() - target.size(), target.size(), target) == 0)
            ++count;
    return count;
}

// Open descriptors that refer to the file.
int descriptors_of(const fs::path& path) {
    const std::string target = fs::canonical(path).string();
    int count = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        fs::path link = fs::read_symlink(entry.path(), ec);
        if (!ec && link == target) ++count;
    }
    return count;
}


template <class T>
std::optional<SafetensorsError> error_of(const st::StResult<T>& result) {
    if (result) return std::nullopt;
    return result.error();
}

// Compares one tensor of an open file with what the library wrote.
void expect_matches_library(const MmapSafetensors& file, const std::string& name, const json& want) {
    SCOPED_TRACE(name);
    auto it = file.tensors().find(name);
    ASSERT_NE(it, file.tensors().end());
    const st::TensorInfo& info = it->second;
    EXPECT_EQ(st::dtype_header_string(info.dtype), want["dtype"].get<std::string>());
    EXPECT_EQ(info.shape, want["shape"].get<std::vector<std::uint64_t>>());
    EXPECT_EQ(info.data_offsets[0], want["data_offsets"][0].get<std::uint64_t>());
    EXPECT_EQ(info.data_offsets[1], want["data_offsets"][1].get<std::uint64_t>());

    auto bytes = file.tensor_data(name);
    ASSERT_TRUE(bytes) << bytes.error().message();
    EXPECT_EQ(bytes->size(), want["nbytes"].get<std::size_t>());
    EXPECT_EQ(fmt::format("{:016x}", fnv1a(*bytes)), want["fnv1a"].get<std::string>());

    // The first elements, through the typed view of the dtype's width (raw little-endian words).
    const auto words = want["first_words"].get<std::vector<std::uint64_t>>();
    const std::size_t count = *info.element_count();
    switch (st::dtype_width(info.dtype)) {
        case 2: {
            auto view = file.tensor_as_u16(name);
            ASSERT_TRUE(view) << view.error().message();
            ASSERT_EQ(view->size(), count);
            for (std::size_t i = 0; i < words.size(); ++i) EXPECT_EQ(view->at(i), words[i]) << i;
            EXPECT_EQ(view->bytes().data(), bytes->data());  // borrowed, not copied
            break;
        }
        case 4: {
            auto view = file.tensor_as_slice<std::uint32_t>(name);
            ASSERT_TRUE(view) << view.error().message();
            ASSERT_EQ(view->size(), count);
            for (std::size_t i = 0; i < words.size(); ++i) EXPECT_EQ(view->at(i), words[i]) << i;
            EXPECT_EQ(view->bytes().data(), bytes->data());
            break;
        }
        default: {
            const std::size_t width = st::dtype_width(info.dtype);
            for (std::size_t i = 0; i < words.size(); ++i) {
                std::uint64_t w = 0;
                for (std::size_t b = 0; b < width; ++b)
                    w |= static_cast<std::uint64_t>((*bytes)[i * width + b]) << (8 * b);
                EXPECT_EQ(w, words[i]) << i;
            }
        }
    }
}

}  // namespace

TEST(SafetensorsDtype, HeaderStringsNamesAndWidths) {
    struct Row {
        Dtype dtype;
        const char* header;
        const char* name;
        std::size_t width;
    };
    const Row rows[] = {
        {Dtype::Bool, "BOOL", "Bool", 1}, {Dtype::U8, "U8", "U8", 1},     {Dtype::I8, "I8", "I8", 1},
        {Dtype::I16, "I16", "I16", 2},    {Dtype::I32, "I32", "I32", 4},  {Dtype::I64, "I64", "I64", 8},
        {Dtype::F16, "F16", "F16", 2},    {Dtype::Bf16, "BF16", "Bf16", 2}, {Dtype::F32, "F32", "F32", 4},
        {Dtype::F64, "F64", "F64", 8},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const Row& r = rows[i];
        SCOPED_TRACE(r.header);
        EXPECT_EQ(static_cast<std::size_t>(r.dtype), i);
        EXPECT_EQ(st::parse_dtype(r.header), r.dtype);
        EXPECT_EQ(st::dtype_header_string(r.dtype), r.header);
        EXPECT_EQ(st::dtype_name(r.dtype), r.name);
        EXPECT_EQ(st::dtype_width(r.dtype), r.width);
    }
    for (const char* other : {"F8_E4M3", "U32", "U16", "U64", "C64", "bf16", "Bf16", "BF16 ", ""})
        EXPECT_EQ(st::parse_dtype(other), std::nullopt) << other;
    static_assert(sizeof(Dtype) == 1);
}

TEST(SafetensorsError, DisplayTexts) {
    EXPECT_EQ(SafetensorsError::io("Permission denied (os error 13)").message(),
              "IO error: Permission denied (os error 13)");
    EXPECT_EQ(SafetensorsError::header_too_small().message(), "File too small to contain header");
    EXPECT_EQ(SafetensorsError::header_parse("bad").message(), "Header parse error: bad");
    EXPECT_EQ(SafetensorsError::tensor_not_found("a.b").message(), "Tensor not found: a.b");
    EXPECT_EQ(SafetensorsError::out_of_bounds("a.b").message(), "Data offset out of bounds for tensor a.b");
    EXPECT_EQ(fmt::format("{}", SafetensorsError::tensor_not_found("x")), "Tensor not found: x");
}

TEST(SafetensorsOpen, LibraryFilesReadBackByteForByte) {
    const fs::path dir = fixtures();
    const json& files = expected()["files"];
    ASSERT_FALSE(files.empty());
    for (const auto& [file_name, tensors] : files.items()) {
        if (file_name == "truncated.safetensors") continue;  // cut after the library wrote it
        SCOPED_TRACE(file_name);
        MmapSafetensors file = open_ok(dir / file_name);
        EXPECT_EQ(file.tensors().size(), tensors.size());
        for (const auto& [name, want] : tensors.items()) expect_matches_library(file, name, want);
    }
}

TEST(SafetensorsOpen, ScalarEmptyAndMetadataOnly) {
    const fs::path dir = fixtures();
    MmapSafetensors file = open_ok(dir / "dtypes.safetensors");

    auto scalar = file.tensor_as_f32("scalar_f32");
    ASSERT_TRUE(scalar) << scalar.error().message();
    EXPECT_EQ(file.tensors().at("scalar_f32").shape.size(), 0u);
    ASSERT_EQ(scalar->size(), 1u);
    EXPECT_EQ((*scalar)[0], 3.5f);

    auto empty = file.tensor_as_u16("empty_bf16");
    ASSERT_TRUE(empty) << empty.error().message();
    EXPECT_EQ(empty->size(), 0u);
    EXPECT_TRUE(empty->empty());
    auto empty_bytes = file.tensor_data("empty_bf16");
    ASSERT_TRUE(empty_bytes);
    EXPECT_TRUE(empty_bytes->empty());

    MmapSafetensors meta = open_ok(dir / "metadata_only.safetensors");
    EXPECT_EQ(meta.tensors().size(), 0u);
    EXPECT_EQ(meta.data_start(), meta.file_size());
}

TEST(SafetensorsOpen, HeaderFailures) {
    const fs::path dir = fixtures();
    struct Case {
        const char* file;
        Kind kind;
        const char* text;  // whole message, or its start for parse errors
    };
    const std::vector<Case> cases = {
        {"hand/seven_bytes.safetensors", Kind::HeaderTooSmall, "File too small to contain header"},
        {"hand/empty.safetensors", Kind::HeaderTooSmall, "File too small to contain header"},
        {"hand/header_past_end.safetensors", Kind::HeaderTooSmall, "File too small to contain header"},
        {"hand/huge_header_length.safetensors", Kind::HeaderTooSmall, "File too small to contain header"},
        {"hand/malformed_json.safetensors", Kind::HeaderParse, "Header parse error: [json.exception.parse_error"},
        {"hand/not_an_object.safetensors", Kind::HeaderParse, "Header parse error: "},
        {"hand/missing_shape.safetensors", Kind::HeaderParse, "Header parse error: missing field `shape`"},
        {"hand/bad_dtype_string.safetensors", Kind::HeaderParse, "Header parse error: unknown dtype \"f32\""},
        {"hand/negative_dim.safetensors", Kind::HeaderParse, "Header parse error: invalid shape"},
        {"hand/one_offset.safetensors", Kind::HeaderParse, "Header parse error: invalid data_offsets"},
        {"hand/two_element_array.safetensors", Kind::HeaderParse, "Header parse error: invalid entry"},
        {"f8_e4m3.safetensors", Kind::HeaderParse, "Header parse error: unknown dtype \"F8_E4M3\""},
        {"u32.safetensors", Kind::HeaderParse, "Header parse error: unknown dtype \"U32\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const fs::path path = dir / c.file;
        ASSERT_TRUE(fs::exists(path));
        auto file = MmapSafetensors::open(path);
        ASSERT_FALSE(file);
        EXPECT_EQ(file.error().kind(), c.kind);
        const std::string message = file.error().message();
        EXPECT_EQ(message.substr(0, std::strlen(c.text)), c.text) << message;
        // Nothing of the failed open is left behind.
        EXPECT_EQ(mappings_of(path), 0);
        EXPECT_EQ(descriptors_of(path), 0);
    }
}

TEST(SafetensorsOpen, SystemErrorsAreIoKind) {
    const fs::path dir = fixtures();
    struct Case {
        fs::path path;
        const char* message;
    };
    const std::vector<Case> cases = {
        {dir / "no_such_file.safetensors", "IO error: No such file or directory (os error 2)"},
        {dir / "model", "IO error: No such device (os error 19)"},  // a directory cannot be mapped
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.string());
        auto file = MmapSafetensors::open(c.path);
        ASSERT_FALSE(file);
        EXPECT_EQ(file.error().kind(), Kind::Io);
        EXPECT_EQ(file.error().message(), c.message);
    }
}

TEST(SafetensorsOpen, AcceptsArrayEntriesUnknownKeysAndAnyMetadata) {
    MmapSafetensors file = open_ok(fixtures() / "hand/array_entry.safetensors");
    ASSERT_EQ(file.tensors().size(), 2u);
    const st::TensorInfo& w = file.tensors().at("w");
    EXPECT_EQ(w.dtype, Dtype::F32);
    EXPECT_EQ(w.shape, std::vector<std::uint64_t>{3});
    EXPECT_EQ(w.data_offsets[0], 0u);
    EXPECT_EQ(w.data_offsets[1], 12u);
    auto values = file.tensor_as_f32("w");
    ASSERT_TRUE(values);
    EXPECT_EQ(values->at(0), 1.5f);
    EXPECT_EQ(values->at(1), -2.25f);
    EXPECT_EQ(values->at(2), 1e-3f);
    EXPECT_EQ(file.tensors().at("v").dtype, Dtype::I32);
}

TEST(SafetensorsOpen, LogsOneInfoLine) {
    // A 1.5 MiB data section (sparse) behind an empty header.
    const fs::path path = fs::path(::testing::TempDir()) / fmt::format("orvane_st_log_{}.safetensors", ::getpid());
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        const char header[] = {2, 0, 0, 0, 0, 0, 0, 0, '{', '}'};
        out.write(header, sizeof header);
    }
    fs::resize_file(path, 10 + 1536 * 1024);
    LogCapture capture(orvane::log::target("orvane::weights::safetensors_io"), spdlog::level::info, "%n|%l|%v");
    {
        MmapSafetensors file = open_ok(path);
        EXPECT_EQ(file.tensors().size(), 0u);
        EXPECT_EQ(file.data_start(), 10u);
    }
    EXPECT_EQ(capture.text(), fmt::format("orvane::weights::safetensors_io|info|Opened {} — 0 tensors, 1.5 MB data\n",
                                          path.string()));
    fs::remove(path);
}

TEST(SafetensorsAccess, BoundsAndLookupFailures) {
    const fs::path dir = fixtures();
    MmapSafetensors file = open_ok(dir / "hand/offsets.safetensors");
    struct Case {
        const char* name;
        std::optional<Kind> raw;    // tensor_data
        std::optional<Kind> typed;  // tensor_as_slice of the dtype's width
    };
    const std::vector<Case> cases = {
        {"ok", std::nullopt, std::nullopt},
        {"begin_after_end", Kind::OutOfBounds, Kind::OutOfBounds},
        {"past_end", Kind::OutOfBounds, Kind::OutOfBounds},
        {"huge_end", Kind::OutOfBounds, Kind::OutOfBounds},
        // The bytes are in the file, but the shape asks for more (or fewer) elements than they hold.
        {"shape_too_big", std::nullopt, Kind::OutOfBounds},
        {"shape_too_small", std::nullopt, Kind::OutOfBounds},
        {"shape_overflow", std::nullopt, Kind::OutOfBounds},
        {"nope", Kind::TensorNotFound, Kind::TensorNotFound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<SafetensorsError> raw = error_of(file.tensor_data(c.name));
        const std::optional<SafetensorsError> typed = std::string(c.name) == "huge_end"
                                                          ? error_of(file.tensor_as_slice<std::uint8_t>(c.name))
                                                          : error_of(file.tensor_as_f32(c.name));
        for (const auto& [error, want] : {std::pair{raw, c.raw}, std::pair{typed, c.typed}}) {
            if (!want) {
                EXPECT_FALSE(error) << error->message();
                continue;
            }
            ASSERT_TRUE(error);
            EXPECT_EQ(error->kind(), *want);
            EXPECT_EQ(error->detail(), c.name);
            EXPECT_EQ(error->message(), *want == Kind::OutOfBounds
                                            ? fmt::format("Data offset out of bounds for tensor {}", c.name)
                                            : fmt::format("Tensor not found: {}", c.name));
        }
        // A failed lookup leaves the file usable.
        auto ok = file.tensor_as_f32("ok");
        ASSERT_TRUE(ok);
        EXPECT_EQ(ok->at(0), 0.5f);
        EXPECT_EQ(ok->at(1), 4.0f);
    }
}

TEST(SafetensorsAccess, TruncatedShardKeepsItsOtherTensors) {
    const fs::path dir = fixtures();
    MmapSafetensors file = open_ok(dir / "truncated.safetensors");
    const json& want = expected()["files"]["truncated.safetensors"];
    expect_matches_library(file, "a_head", want["a_head"]);
    auto tail = file.tensor_data("z_tail");
    ASSERT_FALSE(tail);
    EXPECT_EQ(tail.error().message(), "Data offset out of bounds for tensor z_tail");
    file.prefetch_tensor("z_tail");  // a range outside the file is not advised
    expect_matches_library(file, "a_head", want["a_head"]);
}

TEST(SafetensorsAccess, TypeSizeMismatchIsACallerError) {
    MmapSafetensors file = open_ok(fixtures() / "dtypes.safetensors");
    struct Case {
        const char* tensor;
        int request;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"f32", 2, "Type size mismatch: requested 2 bytes, tensor dtype is F32 (4 bytes)"},
        {"bf16", 4, "Type size mismatch: requested 4 bytes, tensor dtype is Bf16 (2 bytes)"},
        {"i64", 4, "Type size mismatch: requested 4 bytes, tensor dtype is I64 (8 bytes)"},
        {"u8", 2, "Type size mismatch: requested 2 bytes, tensor dtype is U8 (1 bytes)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tensor);
        try {
            if (c.request == 2)
                (void)file.tensor_as_u16(c.tensor);
            else
                (void)file.tensor_as_f32(c.tensor);
            ADD_FAILURE() << "no error";
        } catch (const orvane::InternalError& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
    // Equal widths pass whatever the type: 2 bytes for I16/F16/BF16, 4 bytes for I32/F32.
    for (const char* name : {"i16", "f16", "bf16"}) EXPECT_TRUE(file.tensor_as_u16(name)) << name;
    for (const char* name : {"i32", "f32"}) {
        EXPECT_TRUE(file.tensor_as_f32(name)) << name;
        EXPECT_TRUE(file.tensor_as_i32(name)) << name;
    }
    auto i32 = file.tensor_as_i32("i32");
    ASSERT_TRUE(i32);
    EXPECT_EQ(i32->at(0), INT32_MIN);
    EXPECT_EQ(i32->at(1), -7);
    EXPECT_EQ(i32->at(4), 42);
    EXPECT_THROW((void)i32->at(5), orvane::InternalError);
}

TEST(SafetensorsAccess, UnalignedDataIsReadWithoutMisalignedLoads) {
    MmapSafetensors file = open_ok(fixtures() / "hand/unaligned.safetensors");
    ASSERT_EQ(file.data_start() % 2, 1u);  // the fixture's point: the data section starts at an odd offset

    auto w = file.tensor_as_f32("w");
    ASSERT_TRUE(w) << w.error().message();
    EXPECT_FALSE(w->is_aligned());
    EXPECT_EQ(w->aligned_span(), std::nullopt);
    const std::vector<float> want = {1.5f, -2.25f, 1e-3f};
    for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ((*w)[i], want[i]);
    std::vector<float> copy(3);
    w->copy_to(copy);
    EXPECT_EQ(copy, want);
    std::vector<float> wrong(2);
    EXPECT_THROW(w->copy_to(wrong), orvane::InternalError);

    auto h = file.tensor_as_u16("h");
    ASSERT_TRUE(h);
    EXPECT_FALSE(h->is_aligned());
    EXPECT_EQ(h->at(0), 0x3F80);
    EXPECT_EQ(h->at(1), 0xC040);

    // Library files are aligned, so the typed span is available and views the same memory.
    MmapSafetensors aligned = open_ok(fixtures() / "dtypes.safetensors");
    auto f32 = aligned.tensor_as_f32("f32");
    ASSERT_TRUE(f32);
    auto span = f32->aligned_span();
    ASSERT_TRUE(span);
    EXPECT_EQ(span->size(), 12u);
    EXPECT_EQ(static_cast<const void*>(span->data()), static_cast<const void*>(f32->bytes().data()));
    EXPECT_EQ((*span)[11], (*f32)[11]);
}

TEST(SafetensorsAccess, SlicesBorrowFromOneMapping) {
    MmapSafetensors file = open_ok(fixtures() / "dtypes.safetensors");
    auto a = file.tensor_data("bf16");
    auto b = file.tensor_data("f32");
    ASSERT_TRUE(a && b);
    EXPECT_EQ(file.tensor_data("bf16")->data(), a->data());
    const auto& ia = file.tensors().at("bf16");
    const auto& ib = file.tensors().at("f32");
    EXPECT_EQ(b->data() - a->data(),
              static_cast<std::ptrdiff_t>(ib.data_offsets[0]) - static_cast<std::ptrdiff_t>(ia.data_offsets[0]));
}

TEST(SafetensorsLifetime, MoveKeepsOneMappingAndDestructionUnmaps) {
    const fs::path dir = fixtures();
    const fs::path first = dir / "dtypes.safetensors";
    const fs::path second = dir / "model/model-00001-of-00002.safetensors";
    {
        MmapSafetensors a = open_ok(first);
        EXPECT_EQ(mappings_of(first), 1);
        EXPECT_EQ(descriptors_of(first), 0);  // closed once mapped
        const std::uint8_t* data = a.tensor_data("f32")->data();

        MmapSafetensors b(std::move(a));
        EXPECT_EQ(mappings_of(first), 1);
        EXPECT_EQ(b.tensor_data("f32")->data(), data);
        EXPECT_TRUE(a.tensors().empty());  // NOLINT(bugprone-use-after-move): moved-from state is defined
        EXPECT_FALSE(a.tensor_data("f32"));

        MmapSafetensors c = open_ok(second);
        EXPECT_EQ(mappings_of(second), 1);
        c = std::move(b);  // releases the second file's mapping
        EXPECT_EQ(mappings_of(second), 0);
        EXPECT_EQ(mappings_of(first), 1);
        EXPECT_EQ(c.tensor_data("f32")->data(), data);
    }
    EXPECT_EQ(mappings_of(first), 0);
    EXPECT_EQ(mappings_of(second), 0);
}

TEST(SafetensorsLifetime, PageCacheHintsKeepTheDataReadable) {
    const fs::path dir = fixtures();
    const json& want = expected()["files"]["dtypes.safetensors"];
    MmapSafetensors file = open_ok(dir / "dtypes.safetensors");
    file.prefetch_tensor("no_such_tensor");
    for (const auto& [name, entry] : want.items()) file.prefetch_tensor(name);
    file.evict_page_cache();
    // Dropped pages fault in again from the file.
    for (const auto& [name, entry] : want.items()) expect_matches_library(file, name, entry);
    EXPECT_GT(st::page_size(), 0u);
    EXPECT_EQ(st::page_size(), static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)));
}

TEST(SafetensorsIndex, ReadsTheCheckpointIndex) {
    const fs::path model = fixtures() / "model";
    auto index = st::read_safetensors_index(model);
    ASSERT_TRUE(index) << index.error();
    const auto want = expected()["weight_map"].get<std::map<std::string, std::string>>();
    const std::map<std::string, std::string> got(index->weight_map.begin(), index->weight_map.end());
    EXPECT_EQ(got, want);
    // Every tensor is where the index says, with the bytes the library wrote.
    std::map<std::string, MmapSafetensors> shards;
    for (const auto& [name, shard] : index->weight_map) {
        if (!shards.contains(shard)) shards.emplace(shard, open_ok(model / shard));
        expect_matches_library(shards.at(shard), name, expected()["files"]["model/" + shard][name]);
    }
    EXPECT_EQ(shards.size(), 2u);
}

TEST(SafetensorsIndex, ParseRules) {
    struct Case {
        const char* name;
        const char* text;
        const char* error;  // nullptr: parses
    };
    const std::vector<Case> cases = {
        {"extra keys ignored", R"({"metadata": {"total_size": 1}, "weight_map": {"a": "s1"}, "x": [1]})", nullptr},
        {"empty map", R"({"weight_map": {}})", nullptr},
        {"shard in a subfolder", R"({"weight_map": {"a": "shards/s1.safetensors"}})", nullptr},
        {"no weight_map", R"({"metadata": {}})", "missing field `weight_map`"},
        {"weight_map not an object", R"({"weight_map": ["a"]})", "`weight_map` is not an object"},
        {"shard not a string", R"({"weight_map": {"a": 1}})", "shard of tensor a is not a string"},
        {"top level an array", R"([])", "the index is not a JSON object"},
        {"absolute shard path", R"({"weight_map": {"a": "/etc/passwd"}})",
         "shard \"/etc/passwd\" of tensor a is not a file name inside the model directory"},
        {"shard escaping the folder", R"({"weight_map": {"a": "../other/s.safetensors"}})",
         "shard \"../other/s.safetensors\" of tensor a is not a file name inside the model directory"},
        {"empty shard name", R"({"weight_map": {"a": ""}})",
         "shard \"\" of tensor a is not a file name inside the model directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto index = st::parse_safetensors_index(c.text);
        if (c.error == nullptr) {
            EXPECT_TRUE(index) << index.error();
        } else {
            ASSERT_FALSE(index);
            EXPECT_EQ(index.error(), c.error);
        }
    }
    auto malformed = st::parse_safetensors_index("{\"weight_map\": ");
    ASSERT_FALSE(malformed);
    EXPECT_EQ(malformed.error().rfind("[json.exception.parse_error", 0), 0u) << malformed.error();
}

TEST(SafetensorsIndex, ReaderWrapsItsFailures) {
    const fs::path dir = fixtures();
    auto missing = st::read_safetensors_index(dir / "hand");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), "Failed to read safetensors index: No such file or directory (os error 2)");

    const fs::path tmp = fs::path(::testing::TempDir()) / fmt::format("orvane_st_index_{}", ::getpid());
    fs::create_directories(tmp);
    std::ofstream(tmp / "model.safetensors.index.json") << R"({"metadata": {}})";
    auto bad = st::read_safetensors_index(tmp);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error(), "Failed to parse safetensors index: missing field `weight_map`");
    fs::remove_all(tmp);
}
