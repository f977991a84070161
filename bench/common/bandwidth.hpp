#pragma once
// Memory-bandwidth probe: the machine limit that weight-streaming benchmarks are reported against.
//
// The read figure is a streaming read (AVX2 loads, summed so that nothing can be dropped) over a buffer far
// larger than the last-level cache, by all threads of the process-wide pool at once, best of several passes
// and of a few software-prefetch distances (none, 1, 4 and 16 KiB ahead): hardware prefetch alone does not
// always reach the limit that a kernel with its own prefetch does.
// Bandwidths are in GB/s with GB = 1e9 bytes.

#include <cstddef>
#include <cstdint>
#include <utility>

namespace orvane::bench {

// Size of the last-level cache from sysfs (the largest cache of cpu0); 32 MiB when unreadable.
std::size_t llc_bytes();

// Whether transparent huge pages can be requested with madvise (the setting is "always" or "madvise").
bool transparent_hugepages_available();

// A zero-filled anonymous mapping aligned to 2 MiB with huge pages requested, for large benchmark arrays.
class LargeBuffer {
public:
    LargeBuffer() = default;
    explicit LargeBuffer(std::size_t bytes);
    ~LargeBuffer();
    LargeBuffer(LargeBuffer&& other) noexcept { *this = std::move(other); }
    LargeBuffer& operator=(LargeBuffer&& other) noexcept;
    LargeBuffer(const LargeBuffer&) = delete;
    LargeBuffer& operator=(const LargeBuffer&) = delete;

    std::byte* data() const { return data_; }
    std::size_t size() const { return size_; }
    template <class T>
    T* as() const {
        return reinterpret_cast<T*>(data_);
    }

private:
    void* mapping_ = nullptr;
    std::size_t mapped_ = 0;
    std::byte* data_ = nullptr;
    std::size_t size_ = 0;
};

class BandwidthProbe {
public:
    // bytes = 0: the larger of 1 GiB and 8 x the last-level cache. The buffer is written once (pages faulted
    // in) at construction.
    explicit BandwidthProbe(std::size_t bytes = 0);

    std::size_t bytes() const { return buffer_.size(); }

    // Streaming read by all pool threads; best of `passes`.
    double read_gbps(int passes = 5) const;
    // Streaming read by the calling thread alone; best of `passes`.
    double read_gbps_single(int passes = 3) const;
    // memcpy of half the buffer onto the other half by all pool threads: bytes copied per second (each copied
    // byte is read once and written once); best of `passes`.
    double memcpy_gbps(int passes = 3) const;

private:
    LargeBuffer buffer_;
};

}  // namespace orvane::bench
