#pragma once
// NUMA placement: moving the pages of a memory range to a node.

#include <cstddef>

namespace orvane::numa {

// Binds [address, address + length) to `node` (MPOL_BIND with MPOL_MF_MOVE): pages already touched move
// to the node, later faults allocate there. The range is widened down to a page boundary. Returns false,
// without a system call, when libnuma is unavailable or node > 63; a failed mbind is logged at debug level
// on orvane::numa and returns false.
bool migrate_to_node(void* address, std::size_t length, unsigned node);

}  // namespace orvane::numa
