#include "weights/store.hpp"

#include <chrono>
#include <type_traits>
#include <variant>

#include "core/errors.hpp"
#include "core/logging.hpp"
#include "numa/numa.hpp"

namespace orvane::weights {

namespace {

template <class T>
bool migrate_array(std::vector<T>& array, unsigned node) {
    if (array.empty()) return true;
    return numa::migrate_to_node(array.data(), array.size() * sizeof(T), node);
}

bool migrate_weight(QuantWeight& weight, unsigned node) {
    return std::visit(
        [node](auto& q) {
            if constexpr (std::is_same_v<std::decay_t<decltype(q)>, marlin::QuantizedInt4>)
                return migrate_array(q.packed, node) && migrate_array(q.scales, node);
            else
                return migrate_array(q.data, node) && migrate_array(q.scales, node);
        },
        weight);
}

}  // namespace

std::size_t WeightStore::migrate_numa(std::span<std::vector<ExpertWeights>> experts,
                                      std::span<const std::vector<unsigned>> node_of_expert) {
    const auto start = std::chrono::steady_clock::now();
    std::size_t migrated = 0;
    std::size_t failed = 0;
    for (std::size_t i = 0; i < experts.size(); ++i) {
        std::vector<ExpertWeights>& layer = experts[i];
        if (layer.empty()) continue;
        ORVANE_CHECK(i < node_of_expert.size(), "NUMA node table has {} layers, layer {} has experts",
                     node_of_expert.size(), i);
        const std::vector<unsigned>& nodes = node_of_expert[i];
        ORVANE_CHECK(nodes.size() >= layer.size(), "NUMA node table has {} experts for layer {}, which has {}",
                     nodes.size(), i, layer.size());
        for (std::size_t j = 0; j < layer.size(); ++j) {
            const unsigned node = nodes[j];
            ExpertWeights& expert = layer[j];
            const bool ok = migrate_weight(expert.gate, node) && migrate_weight(expert.up, node) &&
                            migrate_weight(expert.down, node);
            ++(ok ? migrated : failed);
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    log::weights().info("NUMA migration (CPU experts): {} experts migrated, {} failed, in {:.1f}s", migrated,
                        failed, seconds);
    return migrated;
}

}  // namespace orvane::weights
