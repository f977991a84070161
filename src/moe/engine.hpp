#pragma once
// The MoE engine behind the Python `OrvaneEngine`: one loaded model's expert weights, the scratch to run
// its layers on the CPU, the asynchronous worker thread, the CPU router and the services around them.
//
// Construction records the options (and may build the NUMA-pinned pool); `load` fills the engine; every
// other call reads what `load` left. Errors for the host are CallError values (moe/export.hpp); violated
// internal preconditions throw InternalError.
//
// The worker thread ("orvane-moe-worker", shortened to the 15 characters Linux keeps) takes batches from a
// work channel and answers on a result channel, both bounded to one item. The engine counts the batches
// submitted and not yet collected: at most three can be outstanding (one result waiting, one in the worker,
// one in the work channel); a fourth submission, or a collection with none outstanding, is refused at once
// instead of blocking a caller that holds the interpreter lock.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "core/channel.hpp"
#include "moe/expert_forward.hpp"
#include "moe/export.hpp"
#include "moe/routing.hpp"
#include "numa/topology.hpp"
#include "weights/store.hpp"

namespace orvane::moe {

// Largest number of slots per token of the direct path.
inline constexpr std::size_t MAX_TOPK = 32;

// Most batches submitted and not yet collected.
inline constexpr std::size_t kMaxOutstanding = 3;

// Thread name of the worker (Linux keeps 15 characters of "orvane-moe-worker").
inline constexpr const char* kWorkerThreadName = "orvane-moe-work";

// One submitted batch.
struct MoeWork {
    std::uint64_t moe_layer_idx = 0;
    std::vector<std::uint16_t> activation;  // batch_size × hidden BF16, token-major
    std::vector<std::int32_t> topk_ids;     // batch_size × topk, negative = skip
    std::vector<float> topk_weights;        // batch_size × topk
    std::uint64_t batch_size = 0;
    std::uint64_t topk = 0;
};

struct LoadOptions {
    std::string model_dir;
    std::optional<std::uint64_t> group_size;
    std::optional<std::uint64_t> max_layers;
    std::optional<std::uint64_t> start_layer;
    std::optional<std::uint8_t> num_bits;
    std::optional<std::uint8_t> cpu_num_bits;
    std::optional<std::uint8_t> gpu_num_bits;
    std::optional<std::string> gguf_path;
    bool gguf_native = false;
};

// The model memory estimate in GB that load passes to the start-up checks (see engine.cpp).
double estimate_model_gb(const weights::ModelConfig& config, std::uint64_t group_size, std::uint8_t cpu_bits,
                         std::optional<std::uint64_t> start_layer, std::optional<std::uint64_t> max_layers);

class MoeEngine {
public:
    MoeEngine(bool parallel, std::optional<std::uint64_t> num_threads, bool skip_shared_experts);
    ~MoeEngine();
    MoeEngine(const MoeEngine&) = delete;
    MoeEngine& operator=(const MoeEngine&) = delete;

    CallResult<void> load(const LoadOptions& options);

    // One token: `activation` holds hidden_size BF16 values (little-endian bytes). The result is the
    // engine's f32 accumulator, valid until the next call.
    CallResult<std::span<const float>> moe_forward(std::uint64_t layer, std::span<const std::uint8_t> activation,
                                                   std::span<const std::uint64_t> expert_ids,
                                                   std::span<const float> expert_weights);

    CallResult<void> submit_forward(std::uint64_t layer, std::span<const std::uint8_t> activation_bf16,
                                    std::span<const std::uint8_t> topk_ids_i32,
                                    std::span<const std::uint8_t> topk_weights_f32, std::uint64_t batch_size);
    CallResult<std::vector<std::uint16_t>> sync_forward();

    CallResult<void> forward_moe_direct(std::uint64_t layer, const std::uint16_t* activation,
                                        const std::int32_t* topk_ids, const float* topk_weights,
                                        std::uint16_t* output, std::uint64_t batch_size, std::uint64_t topk);

    // Routing on the CPU.
    void set_routing_config(RoutingConfig config, std::uint64_t num_moe_layers);
    CallResult<void> set_routing_weights(std::uint64_t layer, std::span<const std::uint8_t> gate_bf16,
                                         std::optional<std::span<const std::uint8_t>> correction_bias_f32);
    CallResult<void> forward_moe_routed(std::uint64_t layer, const std::uint16_t* activation, std::uint16_t* output);

    CallResult<void> repack_experts_to_tiled();

    // Accessors: RuntimeError "Model not loaded" without a store (is_parallel excepted).
    CallResult<const weights::WeightStore*> loaded_store() const;
    CallResult<std::uint64_t> num_moe_layers() const;
    CallResult<bool> has_unified() const;
    CallResult<bool> has_gguf() const;
    bool is_parallel() const { return parallel_; }
    bool skip_shared_experts() const { return skip_shared_experts_; }

    // The store (null before load), for the exports and for lending to a decode graph.
    const weights::WeightStore* store() const { return store_.get(); }
    std::shared_ptr<weights::WeightStore> shared_store() const { return store_; }
    std::size_t outstanding() const { return outstanding_; }

private:
    struct Loaded;
    void stop_worker();
    void run_layer(const MoeLayerCall& call) const;

    bool parallel_;
    bool skip_shared_experts_;

    std::shared_ptr<weights::WeightStore> store_;
    std::optional<ExpertScratch> scratch_;
    std::vector<ExpertScratch> scratch_pool_;
    std::optional<ExpertScratch> shared_scratch_;
    std::vector<float> output_;
    std::vector<std::uint16_t> activation_;  // aligned copy of moe_forward's activation
    std::optional<numa::NumaExpertMap> numa_map_;

    std::optional<channel::Sender<MoeWork>> work_tx_;
    std::optional<channel::Receiver<std::vector<std::uint16_t>>> result_rx_;
    std::thread worker_;
    std::size_t outstanding_ = 0;

    Router router_;
};

}  // namespace orvane::moe
