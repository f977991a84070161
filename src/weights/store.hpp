#pragma once
// The expert weight store: every loaded MoE layer's experts, in the CPU layout and the GPU layout.
// A new store is empty; loaders fill it, and once shared it is read-only.

#include <cstddef>

namespace orvane::weights {

class WeightStore {
public:
    WeightStore() = default;
    WeightStore(const WeightStore&) = delete;
    WeightStore& operator=(const WeightStore&) = delete;

    std::size_t num_moe_layers() const { return num_moe_layers_; }

private:
    std::size_t num_moe_layers_ = 0;
};

}  // namespace orvane::weights
