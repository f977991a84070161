// Large weight arrays: own 2 MiB-aligned mappings above the threshold, heap below, contents preserved.

#include <gtest/gtest.h>

#include <cstdint>

#include "core/huge_alloc.hpp"

namespace orvane {
namespace {

TEST(HugeAlloc, LargeArraysStartOnHugePageBoundaries) {
    for (std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{1000}, kHugePageBytes / 4 - 1,
                              kHugePageBytes / 4, kHugePageBytes / 4 + 1, 3 * kHugePageBytes / 4 + 17}) {
        HugeVector<uint32_t> v(count, 7u);
        ASSERT_EQ(v.size(), count);
        if (count * 4 >= kHugePageBytes) {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(v.data()) % kHugePageBytes, 0u) << count;
        } else if (count > 0) {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(v.data()) % 64, 0u) << count;
        }
        for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(v[i], 7u);
    }
}

TEST(HugeAlloc, GrowingAcrossTheThresholdKeepsContents) {
    HugeVector<uint16_t> v;
    for (uint32_t i = 0; i < 3 * kHugePageBytes / 2; ++i) v.push_back(static_cast<uint16_t>(i * 2654435761u >> 16));
    for (uint32_t i = 0; i < v.size(); ++i) ASSERT_EQ(v[i], static_cast<uint16_t>(i * 2654435761u >> 16));
    const HugeVector<uint16_t> copy = v;
    v.clear();
    v.shrink_to_fit();  // the original mapping is released; the copy owns its own
    ASSERT_EQ(copy.size(), 3 * kHugePageBytes / 2);
    for (uint32_t i = 0; i < copy.size(); ++i) ASSERT_EQ(copy[i], static_cast<uint16_t>(i * 2654435761u >> 16));
}

}  // namespace
}  // namespace orvane
