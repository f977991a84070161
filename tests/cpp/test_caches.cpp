// The CPU expert cache and the Marlin cache: files built from checkpoints written by the safetensors library
// (BF16 with shared experts, pre-quantized INT4, MXFP4, a model whose dimensions force a smaller group size,
// a checkpoint with a missing tensor), read back and compared expert by expert with records converted afresh
// from the same checkpoint; header fields and sizes against the values computed by the fixture script; every
// reader check with its message; failed builds that leave nothing behind; the builds under the lock; the
// group-size rule, the size arithmetic, the writer's errors and the build pool's core count.
//
// Checkpoints come from tests/fixtures/make_caches.py, found under $ORVANE_TEST_FIXTURES/caches.

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>
#include <spdlog/sinks/ostream_sink.h>

#include "core/errors.hpp"
#include "core/logging.hpp"
#include "weights/build_lock.hpp"
#include "weights/cache_common.hpp"
#include "weights/config.hpp"
#include "weights/cpu_cache.hpp"
#include "weights/experts.hpp"
#include "weights/marlin_cache.hpp"
#include "weights/safetensors_io.hpp"
#include "weights/unified.hpp"
#include "support.hpp"

namespace {

using orvane::test_support::LogCapture;

namespace fs = std::filesystem;
namespace st = orvane::weights::safetensors_io;
using namespace orvane::weights;
using nlohmann::json;

// ---- fixtures -----------------------------------------------------------------------------------------------

fs::path fixtures() { return orvane::test_support::fixture_dir("caches"); }

const json& expected() {
    static const json doc = [] {
        std::ifstream in(fixtures() / "expected.json");
        return in ? json::parse(in) : json::object();
    }();
    return doc;
}

// A private copy of a fixture checkpoint (caches are written into the model directory), removed afterwards.
class TempModel {
public:
    explicit TempModel(const std::string& checkpoint) {
        static std::atomic<int> counter{0};
        dir_ = fs::temp_directory_path() /
               fmt::format("orvane_caches_{}_{}_{}", ::getpid(), checkpoint, counter.fetch_add(1));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        for (const auto& entry : fs::directory_iterator(fixtures() / checkpoint))
            fs::copy_file(entry.path(), dir_ / entry.path().filename());
    }
    ~TempModel() {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    TempModel(const TempModel&) = delete;
    TempModel& operator=(const TempModel&) = delete;

    const fs::path& dir() const { return dir_; }

    LoadedModelConfig config() const {
        auto c = load_model_config(dir_);
        if (!c) throw std::runtime_error(c.error());
        return *c;
    }
    st::SafetensorsIndex index() const {
        auto i = st::read_safetensors_index(dir_);
        if (!i) throw std::runtime_error(i.error());
        return *i;
    }
    // Rewrites config.json with one key changed.
    void set_config_key(const std::string& key, std::uint64_t value) const {
        std::ifstream in(dir_ / "config.json");
        json doc = json::parse(in);
        doc[key] = value;
        std::ofstream(dir_ / "config.json") << doc.dump(2) << "\n";
    }

private:
    fs::path dir_;
};

std::vector<std::uint8_t> read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Little-endian field of a byte array, assembled byte by byte.
std::uint64_t le(const std::vector<std::uint8_t>& bytes, std::size_t offset, std::size_t width) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < width; ++i) v |= std::uint64_t{bytes.at(offset + i)} << (8 * i);
    return v;
}

void set_le(std::vector<std::uint8_t>& bytes, std::size_t offset, std::size_t width, std::uint64_t value) {
    for (std::size_t i = 0; i < width; ++i) bytes.at(offset + i) = static_cast<std::uint8_t>(value >> (8 * i));
}


template <class T>
std::string error_of(const orvane::Result<T>& r) {
    return r ? std::string("<success>") : r.error();
}

// ---- the reference: records converted afresh from the checkpoint ----------------------------------------------

enum class Encoding { Bf16, PreQuantized, Mxfp4 };

struct Reference {
    WeightMap weight_map;
    ShardMap shards;
    ModelConfig config;
    Encoding encoding = Encoding::Bf16;

    explicit Reference(const TempModel& model, Encoding enc) : config(model.config().config), encoding(enc) {
        weight_map = model.index().weight_map;
        for (const auto& [name, shard] : weight_map) {
            if (shards.contains(shard)) continue;
            auto file = st::MmapSafetensors::open(model.dir() / shard);
            if (file) shards.emplace(shard, std::move(*file));  // the bf16 checkpoint's dense shard is corrupt
        }
    }

    std::vector<ExpertWeights> quantized_layer(std::uint64_t layer, std::uint64_t gs, std::uint8_t width) const {
        if (encoding == Encoding::Mxfp4) {
            auto experts = load_mxfp4_layer_experts("model", layer, weight_map, shards, config, gs, width);
            if (!experts) throw std::runtime_error(experts.error());
            return *experts;
        }
        std::vector<ExpertWeights> out;
        for (std::uint64_t e = 0; e < config.n_routed_experts; ++e) {
            const std::string prefix = routed_expert_prefix("model", layer, e);
            if (encoding == Encoding::PreQuantized) {
                auto q = [&](std::string_view proj) {
                    auto w = load_prequantized_weight(prefix, proj, weight_map, shards, gs);
                    if (!w) throw std::runtime_error(w.error());
                    return *w;
                };
                out.push_back(ExpertWeights{q("gate_proj"), q("up_proj"), q("down_proj")});
            } else {
                auto w = load_and_quantize_expert(prefix, weight_map, shards, gs, width);
                if (!w) throw std::runtime_error(w.error());
                out.push_back(std::move(*w));
            }
        }
        return out;
    }

    ExpertWeights quantized_shared(std::uint64_t layer, std::uint64_t gs, std::uint8_t width) const {
        auto w = load_and_quantize_expert(shared_expert_prefix("model", layer), weight_map, shards, gs, width);
        if (!w) throw std::runtime_error(w.error());
        return *w;
    }
};

UnifiedExpertWeights convert(CacheKind kind, const ExpertWeights& w, std::uint8_t width, bool shared) {
    if (kind == CacheKind::Cpu)
        return width == 4 ? UnifiedExpertWeights::from_expert_weights(w) : UnifiedExpertWeights::from_expert_weights_int8(w);
    return UnifiedExpertWeights::from_expert_weights_marlin(w, width,
                                                             shared ? MarlinDownPadding::None : MarlinDownPadding::ByShape);
}

// ---- building and loading either cache ------------------------------------------------------------------------

fs::path cache_path(CacheKind kind, const fs::path& dir, std::uint8_t width, std::uint64_t gs) {
    return kind == CacheKind::Cpu ? cache_path_cpu(dir, width, gs) : cache_path_marlin(dir, gs, width);
}

orvane::Result<std::uint64_t> build(CacheKind kind, const TempModel& m, std::uint64_t gs, std::uint8_t width,
                                    const fs::path& path) {
    const LoadedModelConfig c = m.config();
    const std::uint64_t layers = c.config.total_moe_layers();
    if (kind == CacheKind::Cpu)
        return streaming_build_cpu_cache(m.dir(), m.index(), c.config, gs, width, layers, c.fingerprint, path);
    return streaming_build_marlin_cache(m.dir(), c.config, gs, layers, path, c.fingerprint, width);
}

orvane::Result<std::uint64_t> build_locked(CacheKind kind, const TempModel& m, std::uint64_t gs, std::uint8_t width,
                                           const fs::path& path) {
    const LoadedModelConfig c = m.config();
    const std::uint64_t layers = c.config.total_moe_layers();
    BuildLockOptions options;
    options.poll_interval = std::chrono::milliseconds(20);
    options.timeout = std::chrono::seconds(30);
    if (kind == CacheKind::Cpu)
        return build_cpu_cache_locked(m.dir(), m.index(), c.config, gs, path, c.fingerprint, layers, width, options);
    return build_marlin_cache_locked(m.dir(), c.config, gs, path, c.fingerprint, layers, width, options);
}

orvane::Result<CacheContents> load(CacheKind kind, const fs::path& path, const ModelConfig& config, std::uint64_t gs,
                                   std::uint64_t layers, std::uint64_t fingerprint, std::uint64_t start,
                                   std::uint64_t count, std::uint8_t width) {
    if (kind == CacheKind::Cpu) return load_cpu_cache(path, config, gs, layers, fingerprint, start, count, width);
    return load_marlin_cache(path, config, gs, layers, fingerprint, start, count, width);
}

const char* kind_name(CacheKind kind) { return kind == CacheKind::Cpu ? "cpu" : "marlin"; }

// ---- round trips ----------------------------------------------------------------------------------------------

struct RoundTrip {
    const char* checkpoint;
    Encoding encoding;
    CacheKind kind;
    std::uint8_t width;
    std::uint64_t requested_gs;
    std::uint64_t built_gs;
    const char* log_line;  // a line the build must log ("" for none)
};

void check_round_trip(const RoundTrip& c) {
    SCOPED_TRACE(fmt::format("{} {} INT{} gs {}", c.checkpoint, kind_name(c.kind), c.width, c.requested_gs));
    TempModel model(c.checkpoint);
    const json& want = expected()[c.checkpoint];
    const LoadedModelConfig loaded = model.config();
    const ModelConfig& config = loaded.config;
    const std::uint64_t layers = config.total_moe_layers();
    ASSERT_EQ(std::to_string(loaded.fingerprint), want["fingerprint"].get<std::string>());
    ASSERT_EQ(layers, want["layers"].get<std::uint64_t>());

    const fs::path path = cache_path(c.kind, model.dir(), c.width, c.requested_gs);
    LogCapture log(orvane::log::weights());
    auto built = build(c.kind, model, c.requested_gs, c.width, path);
    ASSERT_TRUE(built) << built.error();
    EXPECT_EQ(*built, c.built_gs);
    if (*c.log_line) {
        EXPECT_NE(log.text().find(c.log_line), std::string::npos) << log.text();
    }
    EXPECT_FALSE(fs::exists(temp_path_for(path)));

    // Header and size as the fixture script computed them.
    const std::vector<std::uint8_t> bytes = read_file(path);
    const std::string key = fmt::format("{}_int{}_g{}", kind_name(c.kind), c.width, c.built_gs);
    ASSERT_TRUE(want["sizes"].contains(key)) << key;
    const std::uint64_t size = want["sizes"][key].get<std::uint64_t>();
    ASSERT_EQ(bytes.size(), size);
    const std::uint64_t shared = want["shared"].get<std::uint64_t>();
    const std::uint64_t size_formula = c.kind == CacheKind::Cpu
                                           ? expected_cpu_cache_size(config, c.built_gs, c.width, layers, shared,
                                                                     shared * config.moe_intermediate_size)
                                           : expected_marlin_cache_size(config, c.built_gs, c.width, layers);
    EXPECT_EQ(size_formula, size);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "ORVA");
    EXPECT_EQ(le(bytes, 4, 4), c.kind == CacheKind::Cpu ? 4u : 3u);
    EXPECT_EQ(le(bytes, 8, 8), want["hidden"].get<std::uint64_t>());
    EXPECT_EQ(le(bytes, 16, 8), want["intermediate"].get<std::uint64_t>());
    EXPECT_EQ(le(bytes, 24, 8), want["experts"].get<std::uint64_t>());
    EXPECT_EQ(le(bytes, 32, 8), layers);
    EXPECT_EQ(le(bytes, 40, 8), c.built_gs);
    EXPECT_EQ(std::to_string(le(bytes, 48, 8)), want["fingerprint"].get<std::string>());
    if (c.kind == CacheKind::Cpu) {
        EXPECT_EQ(le(bytes, 56, 4), shared);
        EXPECT_EQ(le(bytes, 60, 1), c.width);
        EXPECT_EQ(le(bytes, 61, 3), 0u);
    } else {
        EXPECT_EQ(le(bytes, 56, 8), shared);
    }

    // Every record against a fresh conversion, for the whole model and for windows.
    const Reference ref(model, c.encoding);
    std::vector<std::vector<UnifiedExpertWeights>> want_layers;
    std::vector<UnifiedExpertWeights> want_shared;
    const std::uint64_t first = config.first_k_dense_replace;
    for (std::uint64_t i = 0; i < layers; ++i) {
        std::vector<UnifiedExpertWeights> records;
        for (const ExpertWeights& w : ref.quantized_layer(first + i, c.built_gs, c.width))
            records.push_back(convert(c.kind, w, c.width, false));
        want_layers.push_back(std::move(records));
        if (shared > 0) want_shared.push_back(convert(c.kind, ref.quantized_shared(first + i, c.built_gs, c.width), c.width, true));
    }
    std::vector<std::pair<std::uint64_t, std::uint64_t>> windows = {{0, layers}, {layers - 1, 1}, {0, 0}};
    if (layers > 2) windows.push_back({1, layers - 2});
    for (const auto& [start, count] : windows) {
        SCOPED_TRACE(fmt::format("window [{}, {})", start, start + count));
        auto got = load(c.kind, path, config, c.built_gs, layers, loaded.fingerprint, start, count, c.width);
        ASSERT_TRUE(got) << got.error();
        ASSERT_EQ(got->layers.size(), count);
        ASSERT_EQ(got->shared.size(), shared > 0 ? count : 0);
        for (std::uint64_t k = 0; k < count; ++k) {
            ASSERT_EQ(got->layers[k].size(), config.n_routed_experts);
            for (std::uint64_t e = 0; e < config.n_routed_experts; ++e)
                EXPECT_TRUE(got->layers[k][e] == want_layers[start + k][e]) << "layer " << start + k << " expert " << e;
            if (shared > 0) {
                EXPECT_TRUE(got->shared[k] == want_shared[start + k]) << "shared " << start + k;
            }
        }
    }
}

TEST(CacheBuild, CachesReadBackAsFreshConversions) {
    const CacheKind cpu = CacheKind::Cpu;
    const CacheKind gpu = CacheKind::Marlin;
    const RoundTrip cases[] = {
        {"bf16", Encoding::Bf16, cpu, 4, 32, 32, "Opening 2/3 safetensors shards for CPU cache build"},
        {"bf16", Encoding::Bf16, cpu, 8, 32, 32, "Streaming shared experts for CPU cache (3 layers)..."},
        {"bf16", Encoding::Bf16, gpu, 4, 32, 32, "Opening 2/3 safetensors shards (mmap, near-zero RAM)"},
        {"bf16", Encoding::Bf16, gpu, 8, 32, 32, "Streaming shared experts (3 layers)..."},
        {"prequant", Encoding::PreQuantized, cpu, 4, 128, 32,
         "Pre-quantized model has group_size=32, overriding requested 128"},
        {"prequant", Encoding::PreQuantized, gpu, 4, 128, 32, "Issued MADV_WILLNEED prefetch for layer 2 experts"},
        {"mxfp4", Encoding::Mxfp4, cpu, 4, 128, 64,
         "Detected MXFP4 experts — will dequant to BF16 then quantize to CPU INT4"},
        {"mxfp4", Encoding::Mxfp4, cpu, 8, 128, 64, "CPU cache: adjusted group_size 128 → 64"},
        // H = I = 64: routed Marlin records carry the padded down matrix.
        {"mxfp4", Encoding::Mxfp4, gpu, 4, 128, 64, "Issued MXFP4 prefetch for layer 1 bulk tensors"},
        {"adjust", Encoding::Bf16, cpu, 4, 128, 32,
         "CPU cache: adjusted group_size 128 → 32 (model dimensions not divisible)"},
        {"adjust", Encoding::Bf16, gpu, 4, 128, 32,
         "Adjusted group_size 128 → 32 (model dimensions not divisible by 128)"},
    };
    for (const RoundTrip& c : cases) check_round_trip(c);
}

TEST(CacheBuild, OnlyShardsOfMoeLayersAreOpened) {
    // The bf16 checkpoint's first shard (dense layer 0 and the embedding) is not a safetensors file at all;
    // both builds succeed because they never open it.
    TempModel model("bf16");
    const std::string dense = expected()["bf16"]["dense_shard"].get<std::string>();
    ASSERT_FALSE(st::MmapSafetensors::open(model.dir() / dense));
    for (CacheKind kind : {CacheKind::Cpu, CacheKind::Marlin}) {
        LogCapture log(orvane::log::weights());
        auto built = build(kind, model, 32, 4, cache_path(kind, model.dir(), 4, 32));
        ASSERT_TRUE(built) << built.error();
        EXPECT_NE(log.text().find("info|  Opened 2/2 shards"), std::string::npos) << log.text();
    }
}

TEST(CacheBuild, PartialLoadLogsItsWindow) {
    TempModel model("bf16");
    const LoadedModelConfig c = model.config();
    for (CacheKind kind : {CacheKind::Cpu, CacheKind::Marlin}) {
        const fs::path path = cache_path(kind, model.dir(), 4, 32);
        ASSERT_TRUE(build(kind, model, 32, 4, path));
        LogCapture log(orvane::log::weights());
        ASSERT_TRUE(load(kind, path, c.config, 32, 3, c.fingerprint, 1, 2, 4));
        ASSERT_TRUE(load(kind, path, c.config, 32, 3, c.fingerprint, 0, 3, 4));
        const std::string text = log.text();
        const std::string label = kind == CacheKind::Cpu ? "CPU INT4" : "MARLIN";
        EXPECT_NE(text.find(fmt::format("Loading {} cache (partial): layers [1-3), 2 of 3 ({})", label, path.string())),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find(fmt::format("Loading {} cache: {} (all 3 layers)", label, path.string())),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find(kind == CacheKind::Cpu ? "  Loaded 2 shared experts (CPU INT4)"
                                                   : "  Loaded 2 shared experts (Marlin)"),
                  std::string::npos)
            << text;
    }
}

// ---- the reader's checks ----------------------------------------------------------------------------------------

struct Corruption {
    const char* what;
    std::function<void(std::vector<std::uint8_t>&)> mutate;
    std::uint64_t start = 0;
    std::uint64_t count = 3;
    std::string cpu_error;     // "" = the case does not apply to the CPU file
    std::string marlin_error;  // "" = the case does not apply to the Marlin file
};

void check_corruptions(CacheKind kind) {
    TempModel model("bf16");
    const LoadedModelConfig c = model.config();
    const fs::path path = cache_path(kind, model.dir(), 4, 32);
    ASSERT_TRUE(build(kind, model, 32, 4, path));
    const std::vector<std::uint8_t> good = read_file(path);
    const std::uint64_t n = good.size();
    auto field = [](std::size_t offset, std::size_t width, std::uint64_t value) {
        return [=](std::vector<std::uint8_t>& b) { set_le(b, offset, width, value); };
    };
    auto both = [](std::vector<std::function<void(std::vector<std::uint8_t>&)>> fs) {
        return [=](std::vector<std::uint8_t>& b) {
            for (const auto& f : fs) f(b);
        };
    };
    auto none = [](std::vector<std::uint8_t>&) {};
    const std::string hm = "cache header mismatch: file has ";
    const std::string want_dims = ", expected 64h/32m/4e/3L/g32";
    const std::vector<Corruption> cases = {
        {"no header", [](auto& b) { b.resize(63); }, 0, 3, "CPU cache too small for header",
         "Marlin cache too small for header"},
        {"empty", [](auto& b) { b.clear(); }, 0, 3, "CPU cache too small for header",
         "Marlin cache too small for header"},
        {"magic", [](auto& b) { b[3] = 'B'; }, 0, 3, "Bad magic in CPU cache", "Bad magic in Marlin cache"},
        {"version", field(4, 4, 7), 0, 3, "Cache version 7, expected 4 (CPU)", "Cache version 7, expected 3 (Marlin)"},
        {"hidden", field(8, 8, 65), 0, 3, "CPU " + hm + "65h/32m/4e/3L/g32" + want_dims,
         "Marlin " + hm + "65h/32m/4e/3L/g32" + want_dims},
        {"intermediate", field(16, 8, 16), 0, 3, "CPU " + hm + "64h/16m/4e/3L/g32" + want_dims,
         "Marlin " + hm + "64h/16m/4e/3L/g32" + want_dims},
        {"experts", field(24, 8, 5), 0, 3, "CPU " + hm + "64h/32m/5e/3L/g32" + want_dims,
         "Marlin " + hm + "64h/32m/5e/3L/g32" + want_dims},
        {"layers", field(32, 8, 2), 0, 3, "CPU " + hm + "64h/32m/4e/2L/g32" + want_dims,
         "Marlin " + hm + "64h/32m/4e/2L/g32" + want_dims},
        {"group size", field(40, 8, 64), 0, 3, "CPU " + hm + "64h/32m/4e/3L/g64" + want_dims,
         "Marlin " + hm + "64h/32m/4e/3L/g64" + want_dims},
        {"fingerprint", field(48, 8, c.fingerprint ^ 1), 0, 3, "Config hash mismatch in CPU cache",
         "Config hash mismatch in Marlin cache"},
        {"shared count", field(56, 4, 3), 0, 3, "Shared expert count mismatch: cache=3, config=2",
         "Shared expert count mismatch: cache=3, config=2"},
        // The Marlin count is a 64-bit field: its upper half counts too. In the CPU file these bytes are
        // the width and the padding.
        {"shared count high bytes", field(60, 4, 1), 0, 3, "",
         "Shared expert count mismatch: cache=4294967298, config=2"},
        {"width", field(60, 1, 8), 0, 3, "CPU cache num_bits mismatch: cache=INT8, expected INT4", ""},
        {"body one byte short", [](auto& b) { b.pop_back(); }, 0, 3,
         fmt::format("CPU cache size mismatch: expected {} bytes, got {}", n, n - 1),
         fmt::format("Marlin cache size mismatch: expected {} bytes, got {}", n, n - 1)},
        {"one byte extra", [](auto& b) { b.push_back(0); }, 0, 3,
         fmt::format("CPU cache size mismatch: expected {} bytes, got {}", n, n + 1),
         fmt::format("Marlin cache size mismatch: expected {} bytes, got {}", n, n + 1)},
        {"a layer missing", [](auto& b) { b.erase(b.end() - 1000, b.end()); }, 0, 3,
         fmt::format("CPU cache size mismatch: expected {} bytes, got {}", n, n - 1000),
         fmt::format("Marlin cache size mismatch: expected {} bytes, got {}", n, n - 1000)},
        {"window past the end", none, 3, 1, "Range [3, 4) exceeds total MoE layers 3",
         "Range [3, 4) exceeds total MoE layers 3"},
        {"window overlapping the end", none, 2, 2, "Range [2, 4) exceeds total MoE layers 3",
         "Range [2, 4) exceeds total MoE layers 3"},
        // Order: each check only after the ones before it pass.
        {"version before dimensions", both({field(4, 4, 2), field(8, 8, 1)}), 0, 3,
         "Cache version 2, expected 4 (CPU)", "Cache version 2, expected 3 (Marlin)"},
        {"dimensions before fingerprint", both({field(24, 8, 1), field(48, 8, 0)}), 0, 3,
         "CPU " + hm + "64h/32m/1e/3L/g32" + want_dims, "Marlin " + hm + "64h/32m/1e/3L/g32" + want_dims},
        {"fingerprint before the window", field(48, 8, 0), 5, 1, "Config hash mismatch in CPU cache",
         "Config hash mismatch in Marlin cache"},
        {"width before the window", field(60, 1, 8), 5, 1, "CPU cache num_bits mismatch: cache=INT8, expected INT4",
         ""},
        {"window before the size", [](auto& b) { b.pop_back(); }, 3, 1, "Range [3, 4) exceeds total MoE layers 3",
         "Range [3, 4) exceeds total MoE layers 3"},
    };
    const fs::path bad = model.dir() / "bad.bin";
    for (const Corruption& k : cases) {
        const std::string& want = kind == CacheKind::Cpu ? k.cpu_error : k.marlin_error;
        if (want.empty()) continue;
        std::vector<std::uint8_t> bytes = good;
        k.mutate(bytes);
        write_file(bad, bytes);
        EXPECT_EQ(error_of(load(kind, bad, c.config, 32, 3, c.fingerprint, k.start, k.count, 4)), want) << k.what;
    }

    // The caller's expectations against an intact file.
    const std::string name = kind == CacheKind::Cpu ? "CPU" : "Marlin";
    EXPECT_EQ(error_of(load(kind, path, c.config, 64, 3, c.fingerprint, 0, 3, 4)),
              name + " " + hm + "64h/32m/4e/3L/g32, expected 64h/32m/4e/3L/g64");
    EXPECT_EQ(error_of(load(kind, path, c.config, 32, 4, c.fingerprint, 0, 3, 4)),
              name + " " + hm + "64h/32m/4e/3L/g32, expected 64h/32m/4e/4L/g32");
    if (kind == CacheKind::Cpu) {
        EXPECT_EQ(error_of(load(kind, path, c.config, 32, 3, c.fingerprint, 0, 3, 8)),
                  "CPU cache num_bits mismatch: cache=INT4, expected INT8");
    }
    EXPECT_EQ(error_of(load(kind, model.dir() / "absent.bin", c.config, 32, 3, c.fingerprint, 0, 3, 4)),
              "Failed to open " + name + " cache: No such file or directory (os error 2)");
    EXPECT_EQ(error_of(load(kind, model.dir(), c.config, 32, 3, c.fingerprint, 0, 3, 4)),
              "Failed to mmap " + name + " cache: not a regular file");

    // Touching config.json changes the fingerprint: the cache is refused.
    std::ofstream(model.dir() / "config.json", std::ios::app) << " ";
    const LoadedModelConfig touched = model.config();
    ASSERT_NE(touched.fingerprint, c.fingerprint);
    EXPECT_EQ(error_of(load(kind, path, touched.config, 32, 3, touched.fingerprint, 0, 3, 4)),
              "Config hash mismatch in " + name + " cache");
    // A configuration with another shared-expert count.
    ModelConfig no_shared = c.config;
    no_shared.n_shared_experts = 0;
    EXPECT_EQ(error_of(load(kind, path, no_shared, 32, 3, c.fingerprint, 0, 3, 4)),
              "Shared expert count mismatch: cache=2, config=0");
}

TEST(CpuCache, EveryHeaderFaultIsRefusedWithItsMessage) { check_corruptions(CacheKind::Cpu); }
TEST(MarlinCache, EveryHeaderFaultIsRefusedWithItsMessage) { check_corruptions(CacheKind::Marlin); }

// ---- failed builds --------------------------------------------------------------------------------------------

TEST(CacheBuild, FailedBuildsLeaveNoFileBehind) {
    struct Case {
        const char* checkpoint;
        CacheKind kind;
        std::uint8_t width;
        bool locked;
        std::optional<std::uint64_t> shared_experts;  // rewrite n_shared_experts in config.json
        std::string error;
    };
    const std::string missing_down = "Tensor not found in index: model.layers.2.mlp.experts.1.down_proj.weight";
    const std::string missing_shared = "Tensor not found in index: model.layers.1.mlp.shared_experts.gate_proj.weight";
    const Case cases[] = {
        // A tensor of the second layer is missing: the first layer has been written by then.
        {"broken", CacheKind::Cpu, 4, false, {}, missing_down},
        {"broken", CacheKind::Marlin, 4, false, {}, missing_down},
        {"broken", CacheKind::Cpu, 8, true, {}, missing_down},
        {"broken", CacheKind::Marlin, 8, true, {}, missing_down},
        // Shared experts announced by the configuration, absent from the checkpoint.
        {"prequant", CacheKind::Cpu, 4, false, 1, missing_shared},
        {"prequant", CacheKind::Marlin, 4, true, 1, missing_shared},
        // Pre-quantized INT4 experts cannot make an INT8 cache.
        {"prequant", CacheKind::Cpu, 8, false, {},
         "CPU INT8 cache not supported for pre-quantized INT4 models (would need dequant+requant)"},
        {"prequant", CacheKind::Cpu, 8, true, {},
         "CPU INT8 cache not supported for pre-quantized INT4 models (would need dequant+requant)"},
        {"prequant", CacheKind::Marlin, 8, false, {},
         "Tensor not found in index: model.layers.1.mlp.experts.0.gate_proj.weight"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(fmt::format("{} {} INT{}{}", c.checkpoint, kind_name(c.kind), c.width, c.locked ? " locked" : ""));
        TempModel model(c.checkpoint);
        if (c.shared_experts) model.set_config_key("n_shared_experts", *c.shared_experts);
        const fs::path path = cache_path(c.kind, model.dir(), c.width, 32);
        // A temporary file left by an earlier crashed build is removed too.
        fs::create_directories(path.parent_path());
        write_file(temp_path_for(path), {1, 2, 3});
        auto built = c.locked ? build_locked(c.kind, model, 32, c.width, path) : build(c.kind, model, 32, c.width, path);
        EXPECT_EQ(error_of(built), c.error);
        EXPECT_FALSE(fs::exists(path));
        EXPECT_FALSE(fs::exists(temp_path_for(path)));
        EXPECT_FALSE(fs::exists(lock_path_for(path)));
        EXPECT_TRUE(fs::is_empty(path.parent_path()));
    }
}

TEST(CacheBuild, BrokenMoeShardFailsTheBuild) {
    TempModel model("bf16");
    write_file(model.dir() / "model-00003-of-00003.safetensors", {0xff, 0xff});
    for (CacheKind kind : {CacheKind::Cpu, CacheKind::Marlin}) {
        const fs::path path = cache_path(kind, model.dir(), 4, 32);
        auto built = build(kind, model, 32, 4, path);
        EXPECT_EQ(error_of(built).rfind(fmt::format("Failed to open {}: ",
                                                    (model.dir() / "model-00003-of-00003.safetensors").string()),
                                        0),
                  0u)
            << error_of(built);
        EXPECT_FALSE(fs::exists(path));
    }
}

// ---- the builds under the lock ----------------------------------------------------------------------------------

TEST(CacheBuild, LockedBuildNamesTheFileWithTheGroupSizeUsed) {
    for (CacheKind kind : {CacheKind::Cpu, CacheKind::Marlin}) {
        SCOPED_TRACE(kind_name(kind));
        TempModel model("adjust");
        const LoadedModelConfig c = model.config();
        const fs::path requested = cache_path(kind, model.dir(), 4, 128);
        auto built = build_locked(kind, model, 128, 4, requested);
        ASSERT_TRUE(built) << built.error();
        EXPECT_EQ(*built, 32u);
        const fs::path effective = cache_path(kind, model.dir(), 4, 32);
        EXPECT_TRUE(fs::exists(effective));
        EXPECT_FALSE(fs::exists(requested));
        EXPECT_FALSE(fs::exists(lock_path_for(requested)));
        EXPECT_FALSE(fs::exists(temp_path_for(requested)));
        auto loaded = load(kind, effective, c.config, 32, 1, c.fingerprint, 0, 1, 4);
        ASSERT_TRUE(loaded) << loaded.error();
        EXPECT_EQ(loaded->layers.at(0).size(), 2u);
    }
}

TEST(CacheBuild, LockedBuildFindsAnExistingCache) {
    for (CacheKind kind : {CacheKind::Cpu, CacheKind::Marlin}) {
        TempModel model("bf16");
        const fs::path path = cache_path(kind, model.dir(), 8, 32);
        fs::create_directories(path.parent_path());
        write_file(path, {42});
        auto built = build_locked(kind, model, 32, 8, path);
        ASSERT_TRUE(built) << built.error();
        EXPECT_EQ(*built, 32u);
        EXPECT_EQ(read_file(path), std::vector<std::uint8_t>{42});  // not rebuilt
    }
}

// ---- names and arithmetic -------------------------------------------------------------------------------------

TEST(CacheBuild, FileNames) {
    const fs::path m = "/models/x";
    EXPECT_EQ(cache_path_cpu(m, 4, 128), fs::path("/models/x/.orvane_cache/experts_cpu_int4_g128.bin"));
    EXPECT_EQ(cache_path_cpu(m, 8, 64), fs::path("/models/x/.orvane_cache/experts_cpu_int8_g64.bin"));
    EXPECT_EQ(cache_path_marlin(m, 128, 4), fs::path("/models/x/.orvane_cache/experts_marlin_g128.bin"));
    EXPECT_EQ(cache_path_marlin(m, 128, 8), fs::path("/models/x/.orvane_cache/experts_marlin_8b_g128.bin"));
    EXPECT_EQ(temp_path_for(cache_path_cpu(m, 4, 128)),
              fs::path("/models/x/.orvane_cache/experts_cpu_int4_g128.bin.tmp"));
}

TEST(CacheBuild, GroupSizeRule) {
    struct Case {
        std::uint64_t requested, hidden, intermediate, want;
    };
    const Case cases[] = {
        {128, 2880, 2880, 64},  // 2880 = 45 × 64
        {128, 192, 96, 32},     // 96 = 3 × 32: 128 → 64 → 32
        {128, 4096, 1536, 128},
        {128, 7168, 2048, 128},
        {256, 48, 48, 32},   // 256 → 128 → 64 → 32, the last halving from 64
        {128, 40, 40, 32},   // nothing divides: stops at 32 (the quantizer refuses it later)
        {128, 24, 24, 32},
        {64, 96, 96, 32},
        {32, 48, 48, 32},    // 32 and below are never changed
        {16, 40, 40, 16},
        {100, 150, 150, 50}, // 100 → 50 (divides)
        {100, 60, 60, 25},   // 100 → 50 → 25: the halving from 50 is the last
        {0, 64, 64, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(adjusted_group_size(c.requested, c.hidden, c.intermediate), c.want)
            << c.requested << " for " << c.hidden << "/" << c.intermediate;
}

TEST(CpuCache, SizeArithmetic) {
    ModelConfig config;
    config.hidden_size = 4096;
    config.moe_intermediate_size = 1536;
    config.n_routed_experts = 64;
    config.n_shared_experts = 2;
    const std::uint64_t p = 9'732'096;
    const std::uint64_t ps = 19'464'192;
    EXPECT_EQ(cpu_expert_byte_sizes(4096, 1536, 128, 4).total(), p);
    EXPECT_EQ(cpu_expert_byte_sizes(4096, 3072, 128, 4).total(), ps);
    EXPECT_EQ(expected_cpu_cache_size(config, 128, 4, 26, 2, 3072), 64 + 26 * 64 * p + 26 * ps);
    EXPECT_EQ(expected_cpu_cache_size(config, 128, 4, 26, 0, 0), 64 + 26 * 64 * p);
    // Layer l starts at 64 + l × E × P; the shared record of layer l at 64 + L × E × P + l × P_s: a window
    // [10, 20) of that model reads from these offsets (checked on real files by the round trips).
    EXPECT_EQ(64 + 10 * 64 * p, 6'228'541'504u);
    // Overflowing counts are refused, not wrapped.
    EXPECT_THROW(expected_cpu_cache_size(config, 128, 4, std::uint64_t{1} << 40, 2, 3072), orvane::InternalError);
}

TEST(MarlinCache, SizeArithmetic) {
    // H = I = 2880 (not a multiple of 256): routed down matrices gain 64 rows; shared ones never do.
    const MarlinExpertByteSizes routed = marlin_expert_byte_sizes(2880, 2880, 64, 4);
    EXPECT_EQ(routed.w13_packed, 2u * 2880 * 360 * 4);
    EXPECT_EQ(routed.w13_scales, 2u * 2880 * 45 * 2);
    EXPECT_EQ(routed.w2_packed, 2944u * 360 * 4);
    EXPECT_EQ(routed.w2_scales, 2944u * 45 * 2);
    const MarlinExpertByteSizes shared = marlin_expert_byte_sizes(2880, 2880, 64, 4, MarlinDownPadding::None);
    EXPECT_EQ(shared.w2_packed, 2880u * 360 * 4);
    EXPECT_EQ(shared.w2_scales, 2880u * 45 * 2);
    const MarlinExpertByteSizes int8 = marlin_expert_byte_sizes(2880, 2880, 64, 8);
    EXPECT_EQ(int8.w13_packed, 2u * 2880 * 720 * 4);
    EXPECT_EQ(int8.w2_packed, 2944u * 720 * 4);
    EXPECT_EQ(marlin_expert_byte_sizes(256, 256, 128, 4).w2_packed, 256u * 32 * 4);  // multiple of 256
    EXPECT_EQ(marlin_expert_byte_sizes(2880, 1440, 64, 4).w2_packed, 2880u * 180 * 4);  // I != H

    ModelConfig config;
    config.hidden_size = 2880;
    config.moe_intermediate_size = 1440;
    config.n_routed_experts = 32;
    config.n_shared_experts = 2;  // shared intermediate 2880 = H: still unpadded
    const std::uint64_t p = marlin_expert_byte_sizes(2880, 1440, 64, 4).total();
    const std::uint64_t ps = shared.total();
    EXPECT_EQ(expected_marlin_cache_size(config, 64, 4, 24), 64 + 24 * 32 * p + 24 * ps);
    config.n_shared_experts = 0;
    EXPECT_EQ(expected_marlin_cache_size(config, 64, 4, 24), 64 + 24 * 32 * p);
    EXPECT_THROW(marlin_expert_byte_sizes(2880, 2880, 64, 5), orvane::InternalError);
}

TEST(MarlinCache, ReadingARecordPastTheEndThrowsAndKeepsTheOffset) {
    std::vector<std::uint8_t> bytes(marlin_expert_byte_sizes(64, 32, 32, 4).total() + 9);
    std::size_t offset = 10;
    EXPECT_THROW(read_marlin_expert(bytes, offset, 64, 32, 32, 4), orvane::InternalError);
    EXPECT_EQ(offset, 10u);
    offset = 9;
    const UnifiedExpertWeights w = read_marlin_expert(bytes, offset, 64, 32, 32, 4);
    EXPECT_EQ(offset, bytes.size());
    EXPECT_EQ(w.w13_bits, 4);
    EXPECT_EQ(w.w2_bits, 4);
    EXPECT_EQ(w.tiled, 0);
    EXPECT_FALSE(w.gate_bias.has_value());
}

// ---- header, writer, pool ---------------------------------------------------------------------------------------

TEST(CacheBuild, HeaderFieldsAtTheirOffsetsAtAnyAlignment) {
    CacheHeader h;
    h.version = 4;
    h.hidden = 0x0102030405060708;
    h.intermediate = 2;
    h.experts = 3;
    h.layers = 4;
    h.group_size = 5;
    h.fingerprint = 0xfedcba9876543210;
    h.shared = 6;
    h.width = 8;
    for (CacheKind kind : {CacheKind::Cpu, CacheKind::Marlin}) {
        const auto bytes = encode_cache_header(kind, h);
        const std::vector<std::uint8_t> v(bytes.begin(), bytes.end());
        EXPECT_EQ(std::string(v.begin(), v.begin() + 4), "ORVA");
        EXPECT_EQ(le(v, 8, 8), h.hidden);
        EXPECT_EQ(le(v, 48, 8), h.fingerprint);
        EXPECT_EQ(le(v, 56, kind == CacheKind::Cpu ? 4 : 8), 6u);
        for (std::size_t shift = 0; shift < 8; ++shift) {
            std::vector<std::uint8_t> buffer(shift, 0xAA);
            buffer.insert(buffer.end(), v.begin(), v.end());
            CacheHeader back = decode_cache_header(kind, std::span(buffer).subspan(shift));
            CacheHeader want = h;
            if (kind == CacheKind::Marlin) want.width = 0;  // not stored
            EXPECT_EQ(back, want) << shift;
        }
    }
    h.shared = std::uint64_t{1} << 32;
    EXPECT_THROW(encode_cache_header(CacheKind::Cpu, h), orvane::InternalError);
}

TEST(CacheBuild, WriterErrorsCarryTheirTexts) {
    const std::string full = "No space left on device (os error 28)";
    const std::vector<std::uint32_t> words(kCacheWriteBufferBytes / 4 + 1);
    const std::vector<std::uint16_t> halves(kCacheWriteBufferBytes / 2 + 1);
    {
        auto w = CacheFileWriter::create("/dev/full");
        ASSERT_TRUE(w) << w.error();
        EXPECT_EQ(error_of(write_vec_u32(*w, words)), "Write u32 error: " + full);
    }
    {
        auto w = CacheFileWriter::create("/dev/full");
        ASSERT_TRUE(w);
        EXPECT_EQ(error_of(write_vec_u16(*w, halves)), "Write u16 error: " + full);
    }
    {
        auto w = CacheFileWriter::create("/dev/full");
        ASSERT_TRUE(w);
        ASSERT_TRUE(write_vec_u16(*w, std::vector<std::uint16_t>(kCacheWriteBufferBytes / 2 - 4)));
        EXPECT_EQ(error_of(write_cache_header(*w, CacheKind::Cpu, CacheHeader{})), "Write error: " + full);
    }
    {
        auto w = CacheFileWriter::create("/dev/full");
        ASSERT_TRUE(w);
        ASSERT_TRUE(write_cache_header(*w, CacheKind::Marlin, CacheHeader{}));  // buffered
        EXPECT_EQ(error_of(w->finish()), "Flush error: " + full);
    }
    EXPECT_EQ(error_of(CacheFileWriter::create("/nonexistent-dir/x.bin")), "No such file or directory (os error 2)");

    // A file written across several buffer drains holds exactly what was appended.
    TempModel model("prequant");
    const fs::path path = model.dir() / "w.bin";
    auto w = CacheFileWriter::create(path);
    ASSERT_TRUE(w);
    std::vector<std::uint32_t> ramp(3 * kCacheWriteBufferBytes / 8 + 3);
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<std::uint32_t>(i * 2654435761u);
    ASSERT_TRUE(write_vec_u32(*w, ramp));
    ASSERT_TRUE(write_vec_u16(*w, std::vector<std::uint16_t>{0xBEEF}));
    ASSERT_TRUE(write_vec_u32(*w, ramp));
    EXPECT_EQ(w->bytes_written(), 8 * ramp.size() + 2);
    ASSERT_TRUE(w->finish());
    const std::vector<std::uint8_t> bytes = read_file(path);
    ASSERT_EQ(bytes.size(), 8 * ramp.size() + 2);
    EXPECT_EQ(le(bytes, 4 * 12345, 4), ramp[12345]);
    EXPECT_EQ(le(bytes, 4 * ramp.size(), 2), 0xBEEFu);
    EXPECT_EQ(le(bytes, 4 * ramp.size() + 2 + 4 * 777, 4), ramp[777]);
    EXPECT_EQ(le(bytes, bytes.size() - 4, 4), ramp.back());
}

TEST(CacheBuild, PhysicalCoresFromThreadSiblings) {
    struct Case {
        const char* siblings;  // nullptr: no file
        std::size_t cpus;
        std::size_t want;
    };
    const Case cases[] = {
        {"0,64\n", 128, 64}, {"0-1\n", 16, 8}, {"0\n", 16, 16}, {nullptr, 16, 16}, {"0,1,2\n", 2, 2},
        {"0-3\n", 8, 2},     {"x\n", 12, 12},  {"0,\n", 12, 12}, {"3-1\n", 12, 12}, {"0,8-9\n", 12, 4},
        {"0,1\n", 3, 1},     {"0,1\n", 0, 32},  // unknown parallelism counts as 64
    };
    const fs::path root = fs::temp_directory_path() / fmt::format("orvane_caches_sys_{}", ::getpid());
    const fs::path file = root / "sys/devices/system/cpu/cpu0/topology/thread_siblings_list";
    for (const Case& c : cases) {
        fs::remove_all(root);
        fs::create_directories(file.parent_path());
        if (c.siblings != nullptr) std::ofstream(file) << c.siblings;
        EXPECT_EQ(physical_core_count(c.cpus, root), c.want) << (c.siblings ? c.siblings : "(none)") << c.cpus;
    }
    fs::remove_all(root);
}

}  // namespace
