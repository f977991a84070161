#pragma once
// Sum of several BF16 partial results (the CPU part and the parts of several GPUs) into one BF16 buffer.

#include <cstddef>
#include <cstdint>
#include <span>

namespace orvane::moe {

// Writes num_elements BF16 values at `output`:
//   no input   nothing is written;
//   one input  its num_elements values are copied unchanged (NaN payloads included);
//   N ≥ 2      output[i] = bf16(((0 + in_0[i]) + in_1[i]) + … + in_{N−1}[i]), the sums in single precision in
//              input order, narrowed with round to nearest, ties to even.
// Elements go in blocks of 8 as tasks of the pool, the last num_elements mod 8 on the calling thread; every
// element sees the same additions, so the result does not depend on the split. The output may be one of
// the inputs (an in-place sum). Each buffer must hold num_elements values; a null address with
// num_elements > 0 throws InternalError before anything is written.
void reduce_sum_bf16(std::span<const std::uint16_t* const> inputs, std::uint16_t* output, std::size_t num_elements);

}  // namespace orvane::moe
