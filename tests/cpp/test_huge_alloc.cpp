// Weight arrays: heap below 256 KiB, shared huge-page chunks for mid sizes, own mappings for the largest;
// contents preserved, chunks reused and released.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/huge_alloc.hpp"

namespace orvane {
namespace {

uint32_t pattern(uint32_t i) { return i * 2654435761u; }

TEST(HugeAlloc, EverySizeClassHoldsItsContents) {
    for (std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{1000}, std::size_t{65535},
                              std::size_t{65536}, std::size_t{400000}, kHugePageBytes / 4 + 17,
                              std::size_t{4} << 20, std::size_t{5} << 20}) {
        HugeVector<uint32_t> v(count);
        ASSERT_EQ(v.size(), count);
        if (count > 0) {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(v.data()) % 64, 0u) << count;
        }
        for (uint32_t i = 0; i < count; ++i) v[i] = pattern(i);
        for (uint32_t i = 0; i < count; ++i) ASSERT_EQ(v[i], pattern(i)) << count;
    }
    // The largest arrays start on huge-page boundaries.
    HugeVector<uint8_t> big(std::size_t{20} << 20);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(big.data()) % kHugePageBytes, 0u);
}

TEST(HugeAlloc, ManyMidSizedArraysLiveTogetherAndAcrossChunks) {
    // 100 arrays of 1.5 MiB span several 64 MiB chunks; freeing every other one and allocating again must not
    // disturb the survivors.
    std::vector<HugeVector<uint32_t>> arrays;
    const std::size_t words = (std::size_t{3} << 20) / 8;
    for (uint32_t a = 0; a < 100; ++a) {
        arrays.emplace_back(words);
        for (std::size_t i = 0; i < words; i += 997) arrays.back()[i] = pattern(a * 1000003u + static_cast<uint32_t>(i));
    }
    for (std::size_t a = 0; a < arrays.size(); a += 2) HugeVector<uint32_t>().swap(arrays[a]);
    std::vector<HugeVector<uint32_t>> more;
    for (uint32_t a = 0; a < 60; ++a) more.emplace_back(words, 7u);
    for (uint32_t a = 1; a < 100; a += 2)
        for (std::size_t i = 0; i < words; i += 997)
            ASSERT_EQ(arrays[a][i], pattern(a * 1000003u + static_cast<uint32_t>(i))) << a;
    for (const auto& m : more) ASSERT_EQ(m[words - 1], 7u);
}

TEST(HugeAlloc, GrowingAcrossTheThresholdsKeepsContents) {
    HugeVector<uint16_t> v;
    for (uint32_t i = 0; i < 3 * kHugePageBytes; ++i) v.push_back(static_cast<uint16_t>(pattern(i) >> 16));
    const HugeVector<uint16_t> copy = v;
    v.clear();
    v.shrink_to_fit();
    ASSERT_EQ(copy.size(), 3 * kHugePageBytes);
    for (uint32_t i = 0; i < copy.size(); ++i) ASSERT_EQ(copy[i], static_cast<uint16_t>(pattern(i) >> 16));
}

}  // namespace
}  // namespace orvane
