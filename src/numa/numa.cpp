#include "numa/numa.hpp"

#include <cerrno>
#include <cstdint>
#include <system_error>

#include <numa.h>
#include <numaif.h>
#include <unistd.h>

#include "core/logging.hpp"

namespace orvane::numa {

namespace {

std::size_t page_size() {
    static const std::size_t size = [] {
        const long value = ::sysconf(_SC_PAGESIZE);
        return value > 0 ? static_cast<std::size_t>(value) : std::size_t{4096};
    }();
    return size;
}

// Whether libnuma can be used; the answer does not change during the process.
bool numa_usable() {
    static const bool usable = ::numa_available() >= 0;
    return usable;
}

}  // namespace

bool migrate_to_node(void* address, std::size_t length, unsigned node) {
    if (!numa_usable() || node > 63) return false;
    const auto begin = reinterpret_cast<std::uintptr_t>(address);
    const std::uintptr_t start = begin - begin % page_size();
    const std::size_t span = static_cast<std::size_t>(begin - start) + length;
    const unsigned long mask = 1UL << node;
    if (::mbind(reinterpret_cast<void*>(start), span, MPOL_BIND, &mask, 64, MPOL_MF_MOVE) != 0) {
        const int error = errno;
        log::numa().debug("mbind to node {} failed: {}", node, std::error_code(error, std::system_category()).message());
        return false;
    }
    return true;
}

}  // namespace orvane::numa
