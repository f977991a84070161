// Loading a model directory into a WeightStore: both caches built on the first load and read on the next,
// layer windows, caches found under another group size, an invalid CPU cache rebuilt, and load failures.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "core/logging.hpp"
#include "support.hpp"
#include "weights/cpu_cache.hpp"
#include "weights/marlin_cache.hpp"
#include "weights/store.hpp"

namespace {

namespace fs = std::filesystem;
using orvane::test_support::LogCapture;
using orvane::test_support::TempDir;
using orvane::weights::WeightStore;

// A private copy of a fixture checkpoint, so that its caches are written into a temporary directory.
class ModelCopy {
public:
    explicit ModelCopy(const std::string& name) : dir_("orvane-hf") {
        const fs::path src = orvane::test_support::fixture_dir("caches") / name;
        for (const auto& entry : fs::directory_iterator(src))
            if (entry.is_regular_file()) fs::copy_file(entry.path(), dir_.path() / entry.path().filename());
    }
    const fs::path& path() const { return dir_.path(); }
    fs::path cache(const std::string& file) const { return dir_.path() / ".orvane_cache" / file; }

private:
    TempDir dir_;
};

orvane::Result<WeightStore> load(const fs::path& dir, std::uint64_t gs = 128, std::optional<std::uint64_t> max = {},
                                 std::optional<std::uint64_t> start = {}) {
    return WeightStore::load_from_hf(dir, gs, max, start, 4, 4);
}

bool same_records(const orvane::weights::UnifiedExpertWeights& a, const orvane::weights::UnifiedExpertWeights& b) {
    return a.w13_packed == b.w13_packed && a.w13_scales == b.w13_scales && a.w2_packed == b.w2_packed &&
           a.w2_scales == b.w2_scales && a.hidden_size == b.hidden_size &&
           a.intermediate_size == b.intermediate_size && a.group_size == b.group_size;
}

TEST(HfLoader, FirstLoadBuildsBothCachesLaterLoadsReadThem) {
    ModelCopy model("bf16");  // H 64, I 32: a requested group size of 128 is built as 32
    std::string first_log;
    orvane::Result<WeightStore> first;
    {
        LogCapture capture(orvane::log::weights());
        first = load(model.path());
        first_log = capture.text();
    }
    ASSERT_TRUE(first) << first.error();
    EXPECT_NE(first_log.find("No Marlin INT4 cache found, building from safetensors..."), std::string::npos);
    EXPECT_NE(first_log.find("No CPU INT4 cache found, building from safetensors..."), std::string::npos);
    EXPECT_NE(first_log.find("Loaded CPU INT4 cache after build in"), std::string::npos);
    EXPECT_NE(first_log.find("CPU=INT4, gs=32"), std::string::npos) << first_log;
    EXPECT_TRUE(fs::exists(model.cache("experts_marlin_g32.bin")));
    EXPECT_TRUE(fs::exists(model.cache("experts_cpu_int4_g32.bin")));
    EXPECT_FALSE(fs::exists(model.cache("experts_marlin_g128.bin")));
    const WeightStore& a = *first;
    EXPECT_EQ(a.group_size, 32u);
    ASSERT_EQ(a.experts_cpu.size(), 3u);
    ASSERT_EQ(a.experts_gpu.size(), 3u);
    EXPECT_EQ(a.experts_cpu[0].size(), 4u);
    EXPECT_EQ(a.shared_experts_cpu.size(), 3u);
    EXPECT_EQ(a.shared_experts_gpu.size(), 3u);
    EXPECT_EQ(a.shared_experts_cpu[0].intermediate_size, 64u);

    // The fast path reads no expert tensor: it works with the shards gone (the index stays for the hint).
    for (const auto& entry : fs::directory_iterator(model.path()))
        if (entry.path().extension() == ".safetensors") fs::remove(entry.path());
    std::string second_log;
    orvane::Result<WeightStore> second;
    {
        LogCapture capture(orvane::log::weights());
        second = load(model.path());
        second_log = capture.text();
    }
    ASSERT_TRUE(second) << second.error();
    EXPECT_EQ(second_log.find("building"), std::string::npos) << second_log;
    EXPECT_NE(second_log.find("Loaded GPU Marlin INT4 cache in"), std::string::npos);
    EXPECT_NE(second_log.find("(gs=32): 3 layers, 4 experts (+ 3 shared)"), std::string::npos) << second_log;
    EXPECT_NE(second_log.find("Loaded CPU INT4 cache in"), std::string::npos);
    const WeightStore& b = *second;
    for (std::size_t l = 0; l < 3; ++l) {
        for (std::size_t e = 0; e < 4; ++e) {
            EXPECT_TRUE(same_records(a.experts_cpu[l][e], b.experts_cpu[l][e])) << l << "," << e;
            EXPECT_TRUE(same_records(a.experts_gpu[l][e], b.experts_gpu[l][e])) << l << "," << e;
        }
        EXPECT_TRUE(same_records(a.shared_experts_cpu[l], b.shared_experts_cpu[l]));
    }
}

TEST(HfLoader, LayerWindows) {
    ModelCopy model("bf16");
    ASSERT_TRUE(load(model.path()));
    {
        LogCapture capture(orvane::log::weights());
        orvane::Result<WeightStore> r = load(model.path(), 128, 1, 1);
        ASSERT_TRUE(r) << r.error();
        EXPECT_NE(capture.text().find("Partial load: MoE layers [1..2), 1/3 total"), std::string::npos);
        ASSERT_EQ(r->experts_cpu.size(), 1u);
        ASSERT_EQ(r->experts_gpu.size(), 1u);
        EXPECT_EQ(r->shared_experts_cpu.size(), 1u);
        const orvane::Result<WeightStore> all = load(model.path());
        ASSERT_TRUE(all);
        EXPECT_TRUE(same_records(r->experts_cpu[0][2], all->experts_cpu[1][2]));
        EXPECT_TRUE(same_records(r->shared_experts_gpu[0], all->shared_experts_gpu[1]));
    }
    // A window running past the end is cut to the model.
    orvane::Result<WeightStore> tail = load(model.path(), 128, 10, 2);
    ASSERT_TRUE(tail) << tail.error();
    EXPECT_EQ(tail->experts_cpu.size(), 1u);
    const orvane::Result<WeightStore> beyond = load(model.path(), 128, {}, 3);
    ASSERT_FALSE(beyond);
    EXPECT_EQ(beyond.error(), "start_layer=3 >= total MoE layers=3");
}

TEST(HfLoader, CachesUnderAnotherGroupSizeAreFoundAndAnInvalidCpuCacheIsRebuilt) {
    ModelCopy model("bf16");
    ASSERT_TRUE(load(model.path()));  // both caches at g32
    // Corrupt the CPU cache's magic: it is refused, rebuilt under its name and read back.
    {
        std::fstream f(model.cache("experts_cpu_int4_g32.bin"), std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(0);
        f.write("XXXX", 4);
    }
    LogCapture capture(orvane::log::weights());
    orvane::Result<WeightStore> r = load(model.path(), 64);  // 64 requested; the Marlin g32 file is a candidate
    ASSERT_TRUE(r) << r.error();
    const std::string text = capture.text();
    EXPECT_NE(text.find("Loaded GPU Marlin INT4 cache in"), std::string::npos);
    EXPECT_NE(text.find("(gs=32)"), std::string::npos);
    EXPECT_NE(text.find("warning|CPU cache invalid: Bad magic in CPU cache"), std::string::npos) << text;
    EXPECT_NE(text.find("Loaded CPU INT4 cache after build in"), std::string::npos);
    EXPECT_NE(text.find("GPU=Marlin CPU=INT4, gs=32"), std::string::npos) << text;
    EXPECT_EQ(r->group_size, 32u);
    EXPECT_EQ(r->experts_cpu.size(), 3u);
}

TEST(HfLoader, PreQuantizedCheckpointNamesBothCachesWithItsGroupSize) {
    ModelCopy model("prequant");
    orvane::Result<WeightStore> r = load(model.path());
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(r->group_size, 32u);
    EXPECT_TRUE(fs::exists(model.cache("experts_marlin_g32.bin")));
    EXPECT_TRUE(fs::exists(model.cache("experts_cpu_int4_g32.bin")));
    EXPECT_EQ(r->experts_cpu.size(), 2u);
    // The CPU cache of a pre-quantized checkpoint cannot be INT8.
    const orvane::Result<WeightStore> int8 = WeightStore::load_from_hf(model.path(), 128, {}, {}, 8, 4);
    ASSERT_FALSE(int8);
    EXPECT_EQ(int8.error(),
              "CPU INT8 cache not supported for pre-quantized INT4 models (would need dequant+requant)");
}

TEST(HfLoader, ConfigurationFailures) {
    TempDir empty("orvane-hf-empty");
    const orvane::Result<WeightStore> missing = load(empty.path());
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().rfind("Failed to read config.json: ", 0), 0u) << missing.error();
    empty.write("config.json", "{\"hidden_size\": 64");
    const orvane::Result<WeightStore> broken = load(empty.path());
    ASSERT_FALSE(broken);
    EXPECT_EQ(broken.error().rfind("Failed to parse config.json: ", 0), 0u) << broken.error();
    empty.write("config.json", "{\"hidden_size\": 64}");
    const orvane::Result<WeightStore> incomplete = load(empty.path());
    ASSERT_FALSE(incomplete);
    EXPECT_EQ(incomplete.error(), "Failed to extract MoE config: Missing moe_intermediate_size or intermediate_size");
    // A model without its index and without caches cannot be built.
    ModelCopy model("bf16");
    fs::remove(model.path() / "model.safetensors.index.json");
    const orvane::Result<WeightStore> no_index = load(model.path());
    ASSERT_FALSE(no_index);
    EXPECT_EQ(no_index.error().rfind("Failed to read safetensors index: ", 0), 0u) << no_index.error();
    EXPECT_FALSE(fs::exists(model.cache("experts_marlin_g128.bin")));
}

}  // namespace

namespace {

TEST(HfLoader, CachesOfAnEditedConfigAreRebuilt) {
    ModelCopy model("bf16");
    ASSERT_TRUE(load(model.path()));
    // Any change of config.json (here a trailing newline) invalidates both caches by their fingerprint.
    std::ofstream(model.path() / "config.json", std::ios::app) << "\n";
    LogCapture capture(orvane::log::weights());
    orvane::Result<WeightStore> r = load(model.path());
    ASSERT_TRUE(r) << r.error();
    const std::string text = capture.text();
    // The stale g32 Marlin file is not the primary candidate (128): it is skipped silently, the build for 128
    // comes out at 32 and replaces it by rename.
    EXPECT_EQ(text.find("Marlin cache invalid"), std::string::npos) << text;
    EXPECT_NE(text.find("Renamed Marlin cache to"), std::string::npos) << text;
    EXPECT_NE(text.find("CPU cache invalid: Config hash mismatch in CPU cache"), std::string::npos);
    EXPECT_NE(text.find("Loaded GPU Marlin cache in"), std::string::npos);
    EXPECT_NE(text.find("GPU=Marlin CPU=INT4, gs=32"), std::string::npos) << text;
    EXPECT_EQ(r->experts_gpu.size(), 3u);
    EXPECT_EQ(r->experts_cpu.size(), 3u);
}

}  // namespace

namespace {

TEST(HfLoader, AnInvalidPrimaryMarlinCacheIsReportedAndRebuilt) {
    ModelCopy model("prequant");  // the group-size hint (32) makes g32 the primary candidate
    ASSERT_TRUE(load(model.path()));
    std::ofstream(model.path() / "config.json", std::ios::app) << " ";
    LogCapture capture(orvane::log::weights());
    orvane::Result<WeightStore> r = load(model.path());
    ASSERT_TRUE(r) << r.error();
    const std::string text = capture.text();
    EXPECT_NE(text.find("warning|Marlin cache invalid (gs=32): Config hash mismatch in Marlin cache"),
              std::string::npos) << text;
    EXPECT_NE(text.find("Acquired Marlin INT4 cache build lock"), std::string::npos) << text;
    EXPECT_NE(text.find("GPU=Marlin CPU=INT4, gs=32"), std::string::npos) << text;
    EXPECT_EQ(r->experts_gpu.size(), 2u);
}

}  // namespace
