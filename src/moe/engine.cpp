#include "moe/engine.hpp"

#include <pthread.h>
#include <sys/prctl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <system_error>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "core/bf16.hpp"
#include "core/errors.hpp"
#include "core/files.hpp"
#include "core/logging.hpp"
#include "numa/numa.hpp"
#include "syscheck/syscheck.hpp"
#include "weights/experts.hpp"
#include "weights/safetensors_io.hpp"

namespace orvane::moe {

namespace {

constexpr const char* kNotLoaded = "Model not loaded — call load() first";

std::string optional_text(const std::optional<std::uint64_t>& v) {
    return v ? fmt::format("Some({})", *v) : std::string("None");
}

std::string optional_text(const std::optional<std::string>& v) {
    return v ? fmt::format("Some(\"{}\")", *v) : std::string("None");
}

// Runs the layer routine variant the store's arrays call for.
void run_layer_variant(const weights::WeightStore& store, const MoeLayerCall& call) {
    ORVANE_CHECK(store.experts_gguf.empty(), "GGUF-native experts are not computable in this build");
    if (!store.experts_cpu.empty() || !store.experts_gpu.empty()) {
        moe_forward_unified(call);
    } else {
        moe_forward(call);
    }
}

// Keeps the slots of one token whose id is not negative, in order. Returns the kept count.
std::size_t keep_slots(const std::int32_t* ids, const float* weights, std::size_t topk, std::size_t* kept_ids,
                       float* kept_weights, std::size_t limit) {
    std::size_t n = 0;
    for (std::size_t s = 0; s < topk && n < limit; ++s) {
        if (ids[s] < 0) continue;
        kept_ids[n] = static_cast<std::size_t>(ids[s]);
        kept_weights[n] = weights[s];
        ++n;
    }
    return n;
}

// The worker loop: batches in, BF16 results out, until the engine drops the work channel's sending end or
// the result's receiving end.
void worker_main(std::shared_ptr<weights::WeightStore> store, channel::Receiver<MoeWork> work_rx,
                 channel::Sender<std::vector<std::uint16_t>> result_tx, bool parallel, bool skip_shared,
                 std::optional<numa::NumaExpertMap> numa_map) {
    try {
        const auto& config = store->config;
        const std::size_t hidden = config.hidden_size;
        const std::size_t inter = config.moe_intermediate_size;
        const std::size_t top_k = config.num_experts_per_tok;
        const std::size_t g = store->group_size;
        ExpertScratch scratch = ExpertScratch::create(hidden, inter, g);
        std::vector<ExpertScratch> pool;
        pool.reserve(top_k);
        for (std::size_t i = 0; i < top_k; ++i) pool.push_back(ExpertScratch::create(hidden, inter, g));
        std::optional<ExpertScratch> shared;
        if (config.n_shared_experts > 0 && !skip_shared) {
            shared = ExpertScratch::create(hidden, config.n_shared_experts * inter, g);
        }
        std::vector<float> accumulator(hidden, 0.0f);
        std::vector<std::size_t> ids;
        std::vector<float> weights;

        while (auto work = work_rx.recv()) {
            std::vector<std::uint16_t> result(work->batch_size * hidden, 0);
            const std::size_t topk = work->topk;
            for (std::size_t t = 0; t < work->batch_size; ++t) {
                ids.clear();
                weights.clear();
                for (std::size_t s = 0; s < topk; ++s) {
                    const std::int32_t id = work->topk_ids[t * topk + s];
                    if (id < 0) continue;
                    ids.push_back(static_cast<std::size_t>(id));
                    weights.push_back(work->topk_weights[t * topk + s]);
                }
                if (ids.empty()) continue;
                std::fill(accumulator.begin(), accumulator.end(), 0.0f);
                MoeLayerCall call;
                call.store = store.get();
                call.layer = work->moe_layer_idx;
                call.activation = std::span<const std::uint16_t>(work->activation).subspan(t * hidden, hidden);
                call.expert_ids = ids;
                call.weights = weights;
                call.output = accumulator;
                call.scratch = &scratch;
                call.scratch_pool = pool;
                call.shared_scratch = shared ? &*shared : nullptr;
                call.parallel = parallel;
                call.numa_map = numa_map ? &*numa_map : nullptr;
                run_layer_variant(*store, call);
                for (std::size_t i = 0; i < hidden; ++i) result[t * hidden + i] = f32_to_bf16(accumulator[i]);
            }
            if (!result_tx.send(std::move(result))) return;
        }
    } catch (const std::exception& e) {
        log::moe().error("MoE worker thread ended abnormally: {}", e.what());
    }
}

// Moves the four buffers of one expert to `node`; true when every non-empty one moved.
bool migrate_expert(weights::UnifiedExpertWeights& expert, unsigned node) {
    bool ok = true;
    auto move = [&](auto& buffer) {
        if (buffer.size() == 0) return;
        using Element = std::remove_cvref_t<decltype(buffer[0])>;
        if (!numa::migrate_to_node(static_cast<void*>(buffer.data()), buffer.size() * sizeof(Element), node))
            ok = false;
    };
    move(expert.w13_packed);
    move(expert.w13_scales);
    move(expert.w2_packed);
    move(expert.w2_scales);
    return ok;
}

std::size_t layer_count(const weights::WeightStore& store) {
    if (!store.experts_gguf.empty()) return store.experts_gguf.size();
    if (!store.experts_cpu.empty()) return store.experts_cpu.size();
    if (!store.experts_gpu.empty()) return store.experts_gpu.size();
    return store.experts.size();
}

// Gate/up and down biases of models with a swiglu limit, attached to every CPU and GPU expert.
void attach_expert_biases(weights::WeightStore& store, const std::filesystem::path& model_dir,
                          std::uint64_t start_layer) {
    namespace st = weights::safetensors_io;
    const auto index_path = model_dir / st::kIndexFileName;
    const auto text = files::read_text(index_path);
    if (!text) {
        log::weights().warn("Cannot read index for biases: cannot read {}", index_path.string());
        return;
    }
    auto index = st::parse_safetensors_index(*text);
    if (!index) {
        log::weights().warn("Cannot parse index for biases: {}", index.error());
        return;
    }
    auto prefix = weights::detect_expert_prefix(index->weight_map);
    if (!prefix) {
        log::weights().warn("Cannot detect prefix for biases: {}", prefix.error());
        return;
    }
    weights::ShardMap shards;
    std::set<std::string> wanted;
    for (const auto& [name, shard] : index->weight_map) {
        if (name.find("_bias") != std::string::npos) wanted.insert(shard);
    }
    for (const auto& shard : wanted) {
        auto file = st::MmapSafetensors::open(model_dir / shard);
        if (file) shards.emplace(shard, std::move(*file));
    }

    const std::size_t hidden = store.config.hidden_size;
    const std::size_t inter = store.config.moe_intermediate_size;
    const std::size_t n_routed = store.config.n_routed_experts;
    const std::size_t positions = std::max(store.experts_cpu.size(), store.experts_gpu.size());
    std::size_t attached = 0;
    for (std::size_t p = 0; p < positions; ++p) {
        const std::uint64_t layer = p + store.config.first_k_dense_replace + start_layer;
        const std::string base = fmt::format("{}.layers.{}.mlp.experts", *prefix, layer);
        const std::string gate_up_name = base + ".gate_up_proj_bias";
        const std::string down_name = base + ".down_proj_bias";
        if (!index->weight_map.contains(gate_up_name)) continue;
        auto gate_up = weights::load_bf16_tensor_as_f32(gate_up_name, index->weight_map, shards);
        if (!gate_up) {
            log::weights().warn("Failed to load {}: {}", gate_up_name, gate_up.error());
            continue;
        }
        auto down = weights::load_bf16_tensor_as_f32(down_name, index->weight_map, shards);
        if (!down) {
            log::weights().warn("Failed to load {}: {}", down_name, down.error());
            continue;
        }
        ORVANE_CHECK(gate_up->size() >= n_routed * 2 * inter && down->size() >= n_routed * hidden,
                     "expert bias tensors of layer {} are too small", layer);
        log::weights().info("Loaded expert biases for layer {}: {} experts, inter={}, hidden={}", layer, n_routed,
                            inter, hidden);
        auto attach = [&](std::vector<weights::UnifiedExpertWeights>& experts) {
            ORVANE_CHECK(experts.size() <= n_routed, "layer {} has {} experts but biases for {}", layer,
                         experts.size(), n_routed);
            for (std::size_t e = 0; e < experts.size(); ++e) {
                std::vector<float> gate(inter), up(inter);
                for (std::size_t i = 0; i < inter; ++i) {
                    gate[i] = (*gate_up)[e * 2 * inter + 2 * i];
                    up[i] = (*gate_up)[e * 2 * inter + 2 * i + 1];
                }
                experts[e].gate_bias = std::move(gate);
                experts[e].up_bias = std::move(up);
                experts[e].down_bias =
                    std::vector<float>(down->begin() + e * hidden, down->begin() + (e + 1) * hidden);
            }
        };
        if (p < store.experts_cpu.size()) attach(store.experts_cpu[p]);
        if (p < store.experts_gpu.size()) attach(store.experts_gpu[p]);
        ++attached;
    }
    if (attached > 0) log::weights().info("Attached expert biases for {} MoE layers", attached);
}

}  // namespace

double estimate_model_gb(const weights::ModelConfig& config, std::uint64_t group_size, std::uint8_t cpu_bits,
                         std::optional<std::uint64_t> start_layer, std::optional<std::uint64_t> max_layers) {
    const std::uint64_t total = config.num_hidden_layers - config.first_k_dense_replace;
    std::uint64_t layers = total;
    if (start_layer) layers = total > *start_layer ? total - *start_layer : 0;
    if (max_layers) layers = std::min(layers, *max_layers);
    const double h = static_cast<double>(config.hidden_size);
    const double i = static_cast<double>(config.moe_intermediate_size);
    const double g = static_cast<double>(group_size);
    double per_expert = 0.0;
    if (cpu_bits == 4) {
        per_expert = (i / g) * h * 2.0 + 0.5 * i * h + 2.0 * ((h / g) * i * 2.0 + 0.5 * h * i);
    } else {
        per_expert = 2.0 * ((h / g) * i * 2.0 + h * i) + h * i;
    }
    return static_cast<double>(config.n_routed_experts) * static_cast<double>(layers) * per_expert / 1e9;
}

MoeEngine::MoeEngine(bool parallel, std::optional<std::uint64_t> num_threads, bool skip_shared_experts)
    : parallel_(parallel), skip_shared_experts_(skip_shared_experts) {
    if (prctl(PR_GET_THP_DISABLE, 0, 0, 0, 0) == 1) {
        prctl(PR_SET_THP_DISABLE, 0, 0, 0, 0);
        log::moe().info("THP was process-disabled, re-enabled via prctl");
    }
    if (num_threads) {
        const numa::NumaTopology topology = numa::build_numa_thread_pool(*num_threads);
        log::moe().info("Thread pool: {} threads, {} NUMA nodes", *num_threads, topology.num_nodes);
    }
    if (skip_shared_experts) log::moe().info("Shared expert computation disabled (handled by host framework)");
}

MoeEngine::~MoeEngine() { stop_worker(); }

void MoeEngine::stop_worker() {
    // The result receiver goes first, so that a worker blocked handing back an uncollected result wakes up
    // and ends; then the work sender, which ends a worker waiting for work.
    result_rx_.reset();
    work_tx_.reset();
    if (worker_.joinable()) worker_.join();
    outstanding_ = 0;
}

void MoeEngine::run_layer(const MoeLayerCall& call) const { run_layer_variant(*store_, call); }

CallResult<void> MoeEngine::load(const LoadOptions& options) {
    // 1. Widths.
    const std::uint8_t cpu_bits = options.cpu_num_bits ? *options.cpu_num_bits : options.num_bits.value_or(4);
    const std::uint8_t gpu_bits = options.gpu_num_bits.value_or(4);
    if (cpu_bits != 4 && cpu_bits != 8) return value_error(fmt::format("cpu_num_bits must be 4 or 8, got {}", cpu_bits));
    if (gpu_bits != 4 && gpu_bits != 8)
        return value_error(fmt::format("gpu_num_bits must be 4 or 8 (Marlin), got {}", gpu_bits));

    // 2.
    log::moe().info(
        "[DIAG-NATIVE] load() called: model_dir={}, start_layer={}, max_layers={}, cpu_bits={}, gpu_bits={}, "
        "gguf={}",
        options.model_dir, optional_text(options.start_layer), optional_text(options.max_layers), cpu_bits, gpu_bits,
        optional_text(options.gguf_path));
    syscheck::log_memory_usage("[DIAG-NATIVE] load() entry");

    // 3.
    const std::uint64_t group_size = options.group_size.value_or(128);
    const std::filesystem::path model_dir(options.model_dir);

    // 4. Start-up checks with the memory estimate; skipped silently when config.json is unusable.
    if (const auto text = files::read_text(model_dir / "config.json")) {
        const auto json = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
        if (!json.is_discarded()) {
            if (const auto config = weights::ModelConfig::from_json(json)) {
                syscheck::run_startup_checks(
                    estimate_model_gb(*config, group_size, cpu_bits, options.start_layer, options.max_layers));
            }
        }
    }

    // 5. Weights.
    if (options.gguf_path) {
        return runtime_error("GGUF loading is not available in this build");
    }
    log::moe().info("[DIAG-NATIVE] Calling WeightStore::load_from_hf (cpu_bits={}, gpu_bits={})...", cpu_bits,
                    gpu_bits);
    syscheck::log_memory_usage("[DIAG-NATIVE] before load_from_hf");
    auto loaded = weights::WeightStore::load_from_hf(model_dir, group_size, options.max_layers, options.start_layer,
                                                     cpu_bits, gpu_bits);
    if (!loaded) return runtime_error(loaded.error());
    log::moe().info("[DIAG-NATIVE] WeightStore::load_from_hf completed OK");
    syscheck::log_memory_usage("[DIAG-NATIVE] after load_from_hf");
    auto store = std::make_shared<weights::WeightStore>(std::move(*loaded));

    const auto& config = store->config;
    const std::size_t hidden = config.hidden_size;
    const std::size_t inter = config.moe_intermediate_size;
    const std::size_t n_routed = config.n_routed_experts;
    const std::size_t top_k = config.num_experts_per_tok;
    const std::size_t n_shared = config.n_shared_experts;
    const std::size_t g = store->group_size;

    // 6. Scratch.
    ExpertScratch scratch = ExpertScratch::create(hidden, inter, g);
    std::vector<ExpertScratch> scratch_pool;
    scratch_pool.reserve(top_k);
    for (std::size_t i = 0; i < top_k; ++i) scratch_pool.push_back(ExpertScratch::create(hidden, inter, g));
    std::optional<ExpertScratch> shared_scratch;
    if (n_shared > 0) {
        log::moe().info("Shared expert scratch: intermediate_size={}, routed_scaling_factor={}", n_shared * inter,
                        config.routed_scaling_factor);
        shared_scratch = ExpertScratch::create(hidden, n_shared * inter, g);
    }

    // 8. NUMA detection and the expert map.
    log::moe().info("[DIAG-NATIVE] Scratch pools allocated, detecting NUMA...");
    syscheck::log_memory_usage("[DIAG-NATIVE] after scratch alloc");
    const numa::NumaTopology topology = numa::NumaTopology::detect();
    std::optional<numa::NumaExpertMap> numa_map;
    const std::size_t layers = layer_count(*store);
    if (topology.num_nodes < 2) {
        log::moe().info("NUMA: single node, no migration needed");
    } else {
        numa_map = numa::NumaExpertMap::round_robin(layers, n_routed, topology.num_nodes);
    }

    // 10. Expert biases (the model layer of list position p is p + first_k_dense_replace + start_layer).
    if (config.swiglu_limit > 0.0f) attach_expert_biases(*store, model_dir, options.start_layer.value_or(0));

    // 11. Tiled repack of the CPU experts.
    moe::repack_experts_to_tiled(*store);

    // 9. NUMA placement, applied to the arrays compute reads: the tiled ones.
    if (numa_map) {
        std::size_t migrated = 0;
        if (!store->experts_cpu.empty() || !store->experts_gpu.empty()) {
            const auto start = std::chrono::steady_clock::now();
            std::size_t failed = 0;
            for (std::size_t l = 0; l < store->experts_cpu.size(); ++l) {
                auto& layer_experts = store->experts_cpu[l];
                for (std::size_t e = 0; e < layer_experts.size(); ++e) {
                    const unsigned node = l < numa_map->node_of_expert.size() && e < numa_map->node_of_expert[l].size()
                                              ? numa_map->node_of_expert[l][e]
                                              : static_cast<unsigned>(e % topology.num_nodes);
                    if (migrate_expert(layer_experts[e], node)) {
                        ++migrated;
                    } else {
                        ++failed;
                    }
                }
            }
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            log::weights().info("NUMA migration (CPU experts): {} experts migrated, {} failed, in {:.1f}s", migrated,
                                failed, seconds);
        } else {
            std::vector<std::vector<unsigned>> table;
            table.reserve(numa_map->node_of_expert.size());
            for (const auto& row : numa_map->node_of_expert) table.emplace_back(row.begin(), row.end());
            migrated = weights::WeightStore::migrate_numa(store->experts, table);
        }
        log::moe().info("NUMA: {} nodes, migrated {}/{} experts", topology.num_nodes, migrated, layers * n_routed);
    }

    // 12. The worker. The old one is shut down first (its result receiver dropped before the join).
    stop_worker();
    auto [work_tx, work_rx] = channel::bounded<MoeWork>(1);
    auto [result_tx, result_rx] = channel::bounded<std::vector<std::uint16_t>>(1);
    std::thread worker;
    try {
        worker = std::thread(worker_main, store, std::move(work_rx), std::move(result_tx), parallel_,
                             skip_shared_experts_, numa_map);
    } catch (const std::system_error& e) {
        return runtime_error(fmt::format("Failed to spawn worker: {}", e.what()));
    }
    pthread_setname_np(worker.native_handle(), kWorkerThreadName);
    log::moe().info("[DIAG-NATIVE] Async MoE worker thread started");
    syscheck::log_memory_usage("[DIAG-NATIVE] after worker spawn");

    // 13. Commit.
    output_.assign(hidden, 0.0f);
    activation_.assign(hidden, 0);
    scratch_pool_ = std::move(scratch_pool);
    shared_scratch_ = std::move(shared_scratch);
    numa_map_ = std::move(numa_map);
    work_tx_.emplace(std::move(work_tx));
    result_rx_.emplace(std::move(result_rx));
    worker_ = std::move(worker);
    outstanding_ = 0;
    store_ = std::move(store);
    scratch_ = std::move(scratch);
    return {};
}

CallResult<std::span<const float>> MoeEngine::moe_forward(std::uint64_t layer, std::span<const std::uint8_t> activation,
                                                          std::span<const std::uint64_t> expert_ids,
                                                          std::span<const float> expert_weights) {
    if (!store_) return runtime_error(kNotLoaded);
    const std::size_t hidden = store_->config.hidden_size;
    if (activation.size() != 2 * hidden)
        return value_error(fmt::format("Expected {} bytes (hidden_size={} × 2), got {}", 2 * hidden, hidden,
                                       activation.size()));
    if (expert_ids.size() != expert_weights.size())
        return value_error(fmt::format("expert_indices len ({}) != expert_weights len ({})", expert_ids.size(),
                                       expert_weights.size()));
    if (!store_->experts_gguf.empty()) return runtime_error("GGUF scratch not initialized");
    if (!scratch_) return runtime_error("Model not loaded");
    std::memcpy(activation_.data(), activation.data(), activation.size());
    std::vector<std::size_t> ids(expert_ids.begin(), expert_ids.end());
    MoeLayerCall call;
    call.store = store_.get();
    call.layer = layer;
    call.activation = activation_;
    call.expert_ids = ids;
    call.weights = expert_weights;
    call.output = output_;
    call.scratch = &*scratch_;
    call.scratch_pool = scratch_pool_;
    call.shared_scratch = (shared_scratch_ && !skip_shared_experts_) ? &*shared_scratch_ : nullptr;
    call.parallel = parallel_;
    call.numa_map = numa_map_ ? &*numa_map_ : nullptr;
    run_layer(call);
    return std::span<const float>(output_);
}

CallResult<void> MoeEngine::submit_forward(std::uint64_t layer, std::span<const std::uint8_t> activation_bf16,
                                           std::span<const std::uint8_t> topk_ids_i32,
                                           std::span<const std::uint8_t> topk_weights_f32, std::uint64_t batch_size) {
    if (!store_) return runtime_error(kNotLoaded);
    if (!work_tx_) return runtime_error("Worker not started");
    const std::uint64_t hidden = store_->config.hidden_size;
    const std::uint64_t expected = batch_size * hidden * 2;
    if (activation_bf16.size() != expected)
        return value_error(fmt::format("Expected {} activation bytes, got {}", expected, activation_bf16.size()));
    if (topk_ids_i32.size() % 4 != 0 || topk_weights_f32.size() % 4 != 0)
        return value_error(
            "topk_ids must be i32 bytes (multiple of 4), topk_weights must be f32 bytes (multiple of 4)");
    const std::size_t n_ids = topk_ids_i32.size() / 4;
    const std::size_t n_weights = topk_weights_f32.size() / 4;
    if (n_ids != n_weights)
        return value_error(fmt::format("topk_ids ({}) and topk_weights ({}) count mismatch", n_ids, n_weights));
    if (batch_size == 0 || n_ids % batch_size != 0)
        return value_error(fmt::format("topk_ids len ({}) not divisible by batch_size ({})", n_ids, batch_size));
    if (outstanding_ >= kMaxOutstanding)
        return runtime_error(fmt::format("{} batches already outstanding — call sync_forward() first",
                                         kMaxOutstanding));
    MoeWork work;
    work.moe_layer_idx = layer;
    work.activation.resize(batch_size * hidden);
    std::memcpy(work.activation.data(), activation_bf16.data(), activation_bf16.size());
    work.topk_ids.resize(n_ids);
    std::memcpy(work.topk_ids.data(), topk_ids_i32.data(), topk_ids_i32.size());
    work.topk_weights.resize(n_weights);
    std::memcpy(work.topk_weights.data(), topk_weights_f32.data(), topk_weights_f32.size());
    work.batch_size = batch_size;
    work.topk = n_ids / batch_size;
    if (!work_tx_->send(std::move(work))) return runtime_error("Worker thread died");
    ++outstanding_;
    return {};
}

CallResult<std::vector<std::uint16_t>> MoeEngine::sync_forward() {
    if (!result_rx_) return runtime_error("Worker not started");
    if (outstanding_ == 0) return runtime_error("No batch outstanding — call submit_forward() first");
    auto result = result_rx_->recv();
    if (!result) {
        outstanding_ = 0;
        return runtime_error("Worker thread died");
    }
    --outstanding_;
    return std::move(*result);
}

CallResult<void> MoeEngine::forward_moe_direct(std::uint64_t layer, const std::uint16_t* activation,
                                               const std::int32_t* topk_ids, const float* topk_weights,
                                               std::uint16_t* output, std::uint64_t batch_size, std::uint64_t topk) {
    if (!store_) return runtime_error(kNotLoaded);
    const std::size_t hidden = store_->config.hidden_size;
    if (batch_size > 0) std::memset(output, 0, batch_size * hidden * 2);
    if (!scratch_) return runtime_error("Scratch buffer not initialized");
    ORVANE_CHECK(topk <= MAX_TOPK, "topk {} exceeds MAX_TOPK {}", topk, MAX_TOPK);
    std::size_t kept_ids[MAX_TOPK];
    float kept_weights[MAX_TOPK];
    for (std::size_t t = 0; t < batch_size; ++t) {
        const std::size_t n = keep_slots(topk_ids + t * topk, topk_weights + t * topk, topk, kept_ids, kept_weights,
                                         MAX_TOPK);
        if (n == 0) continue;
        std::fill(output_.begin(), output_.end(), 0.0f);
        MoeLayerCall call;
        call.store = store_.get();
        call.layer = layer;
        call.activation = std::span<const std::uint16_t>(activation + t * hidden, hidden);
        call.expert_ids = std::span<const std::size_t>(kept_ids, n);
        call.weights = std::span<const float>(kept_weights, n);
        call.output = output_;
        call.scratch = &*scratch_;
        call.scratch_pool = scratch_pool_;
        call.shared_scratch = shared_scratch_ ? &*shared_scratch_ : nullptr;
        call.parallel = parallel_;
        call.numa_map = numa_map_ ? &*numa_map_ : nullptr;
        run_layer(call);
        std::uint16_t* out = output + t * hidden;
        for (std::size_t i = 0; i < hidden; ++i) out[i] = f32_to_bf16(output_[i]);
    }
    return {};
}

void MoeEngine::set_routing_config(RoutingConfig config, std::uint64_t num_moe_layers) {
    router_.configure(std::move(config), num_moe_layers);
}

CallResult<void> MoeEngine::set_routing_weights(std::uint64_t layer, std::span<const std::uint8_t> gate_bf16,
                                                std::optional<std::span<const std::uint8_t>> correction_bias_f32) {
    return router_.set_weights(layer, gate_bf16, correction_bias_f32);
}

CallResult<void> MoeEngine::forward_moe_routed(std::uint64_t layer, const std::uint16_t* activation,
                                               std::uint16_t* output) {
    const std::size_t hidden = router_.config() ? router_.config()->hidden_size : 0;
    RoutedForwardContext context;
    context.scratch = scratch_ ? &*scratch_ : nullptr;
    context.scratch_pool = scratch_pool_;
    context.shared_scratch = shared_scratch_ ? &*shared_scratch_ : nullptr;
    context.parallel = parallel_;
    context.numa_map = numa_map_ ? &*numa_map_ : nullptr;
    context.accumulator = output_;
    return moe::forward_moe_routed(store_.get(), router_, layer, std::span<const std::uint16_t>(activation, hidden),
                                   std::span<std::uint16_t>(output, hidden), context);
}

CallResult<void> MoeEngine::repack_experts_to_tiled() {
    if (!store_) return runtime_error("No weight store loaded");
    if (store_.use_count() != 1)
        return runtime_error("Cannot repack: weight store has multiple owners (call before set_moe_store)");
    moe::repack_experts_to_tiled(*store_);
    return {};
}

CallResult<const weights::WeightStore*> MoeEngine::loaded_store() const {
    if (!store_) return runtime_error("Model not loaded");
    return store_.get();
}

CallResult<std::uint64_t> MoeEngine::num_moe_layers() const {
    if (!store_) return runtime_error("Model not loaded");
    return layer_count(*store_);
}

CallResult<bool> MoeEngine::has_unified() const {
    if (!store_) return runtime_error("Model not loaded");
    return !store_->experts_cpu.empty() || !store_->experts_gpu.empty();
}

CallResult<bool> MoeEngine::has_gguf() const {
    if (!store_) return runtime_error("Model not loaded");
    return !store_->experts_gguf.empty();
}

}  // namespace orvane::moe
