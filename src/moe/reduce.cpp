#include "moe/reduce.hpp"

#include <cstring>

#include "core/bf16.hpp"
#include "core/errors.hpp"
#include "core/thread_pool.hpp"

namespace orvane::moe {

namespace {

constexpr std::size_t kLanes = 8;

// Elements [begin, begin + 8): eight independent sequential sums, all inputs read before the output is
// written (so an output that is one of the inputs is read first).
void reduce_block(std::span<const std::uint16_t* const> inputs, std::uint16_t* output, std::size_t begin) {
    float sum[kLanes] = {};
    for (const std::uint16_t* in : inputs) {
        for (std::size_t l = 0; l < kLanes; ++l) sum[l] = sum[l] + bf16_to_f32(in[begin + l]);
    }
    for (std::size_t l = 0; l < kLanes; ++l) output[begin + l] = f32_to_bf16(sum[l]);
}

}  // namespace

void reduce_sum_bf16(std::span<const std::uint16_t* const> inputs, std::uint16_t* output, std::size_t num_elements) {
    if (inputs.empty() || num_elements == 0) return;
    ORVANE_CHECK(output != nullptr, "reduce_sum_bf16: output is a null address");
    for (std::size_t j = 0; j < inputs.size(); ++j)
        ORVANE_CHECK(inputs[j] != nullptr, "reduce_sum_bf16: input {} is a null address", j);

    if (inputs.size() == 1) {
        // memmove: the host may pass the input itself as the output.
        std::memmove(output, inputs[0], num_elements * sizeof(std::uint16_t));
        return;
    }

    const std::size_t blocks = num_elements / kLanes;
    if (blocks != 0) {
        pool::parallel_for(blocks, [&](std::size_t begin, std::size_t end) {
            for (std::size_t b = begin; b < end; ++b) reduce_block(inputs, output, b * kLanes);
        });
    }
    for (std::size_t i = blocks * kLanes; i < num_elements; ++i) {
        float sum = 0.0f;
        for (const std::uint16_t* in : inputs) sum = sum + bf16_to_f32(in[i]);
        output[i] = f32_to_bf16(sum);
    }
}

}  // namespace orvane::moe
