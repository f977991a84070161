// BF16 partial-sum reduction against a scalar reference of sequential single-precision sums in input order
// with round-to-nearest-even narrowing: every input count and size around the 8-element blocks, rounding
// ties, NaN payloads, in-place use, untouched bytes beyond the elements, and refused null addresses.

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <vector>

#include "moe/reduce.hpp"
#include "support.hpp"

namespace {

using orvane::moe::reduce_sum_bf16;
using orvane::test_support::error_of;

constexpr std::uint16_t kSentinel = 0xA5A5;

float widen(std::uint16_t b) { return std::bit_cast<float>(std::uint32_t{b} << 16); }

// Round to nearest, ties to even, written as a comparison of the dropped half (the 16-bit result wraps, as
// the addition does, for the largest NaN patterns).
std::uint16_t narrow(float f) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(f);
    const std::uint32_t low = bits & 0xFFFFu;
    std::uint32_t high = bits >> 16;
    if (low > 0x8000u || (low == 0x8000u && (high & 1u) != 0)) high += 1;
    return static_cast<std::uint16_t>(high);
}

std::vector<std::uint16_t> reference(const std::vector<std::vector<std::uint16_t>>& inputs, std::size_t n) {
    std::vector<std::uint16_t> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        float s = 0.0f;
        for (const auto& in : inputs) s = s + widen(in[i]);
        out[i] = narrow(s);
    }
    return out;
}

// Finite BF16 values over a wide range of exponents and both signs, so that the order of additions shows.
std::vector<std::uint16_t> random_bf16(std::size_t n, std::mt19937& rng) {
    std::uniform_int_distribution<int> exponent(100, 150);
    std::uniform_int_distribution<int> mantissa(0, 127);
    std::uniform_int_distribution<int> sign(0, 1);
    std::vector<std::uint16_t> v(n);
    for (auto& x : v) x = static_cast<std::uint16_t>((sign(rng) << 15) | (exponent(rng) << 7) | mantissa(rng));
    return v;
}

std::vector<const std::uint16_t*> pointers(const std::vector<std::vector<std::uint16_t>>& inputs) {
    std::vector<const std::uint16_t*> p;
    for (const auto& in : inputs) p.push_back(in.data());
    return p;
}

TEST(Reduce, MatchesSequentialSumsForEveryCountAndSize) {
    std::mt19937 rng(17);
    for (const std::size_t count : {0u, 1u, 2u, 3u, 5u}) {
        for (const std::size_t size : {0u, 1u, 7u, 8u, 9u, 13u, 16u, 1000u, 4099u}) {
            SCOPED_TRACE(testing::Message() << count << " inputs, " << size << " elements");
            std::vector<std::vector<std::uint16_t>> inputs;
            for (std::size_t j = 0; j < count; ++j) inputs.push_back(random_bf16(size, rng));
            std::vector<std::uint16_t> out(size + 3, kSentinel);
            reduce_sum_bf16(pointers(inputs), out.data(), size);

            std::vector<std::uint16_t> want(size + 3, kSentinel);
            if (count == 1) std::copy(inputs[0].begin(), inputs[0].end(), want.begin());
            if (count >= 2) {
                const auto r = reference(inputs, size);
                std::copy(r.begin(), r.end(), want.begin());
            }
            EXPECT_EQ(out, want);  // nothing for no input, and nothing beyond the elements
        }
    }
}

TEST(Reduce, RoundsTiesToEven) {
    struct Case {
        std::vector<std::uint16_t> values;  // one element per input
        std::uint16_t want;
    };
    const Case cases[] = {
        {{0x3F80, 0x3B80}, 0x3F80},          // 1 + 2^-8: halfway, stays on the even 1.0
        {{0x3F80, 0x3C40}, 0x3F82},          // 1 + 3·2^-8: halfway, rounds up to the even 1.015625
        {{0x3F81, 0x3B80}, 0x3F82},          // odd lower neighbour: the tie goes up
        {{0x3F80, 0x3B80, 0x3400}, 0x3F81},  // a hair above the tie rounds up
        {{0x3F80, 0x3B80, 0xB400}, 0x3F80},  // a hair below stays
        {{0xBF80, 0xBB80}, 0xBF80},          // negative tie to even
        {{0x7F7F, 0x7F7F}, 0x7F80},          // overflow to +inf
        {{0x3F80, 0xBF80}, 0x0000},          // exact cancellation gives +0
    };
    for (const Case& c : cases) {
        std::vector<std::vector<std::uint16_t>> inputs;
        for (const std::uint16_t v : c.values) inputs.push_back(std::vector<std::uint16_t>(9, v));  // block + tail
        std::vector<std::uint16_t> out(9, kSentinel);
        reduce_sum_bf16(pointers(inputs), out.data(), out.size());
        EXPECT_EQ(out, std::vector<std::uint16_t>(9, c.want)) << std::hex << c.values[0] << " + " << c.values[1];
    }
}

TEST(Reduce, OneInputIsCopiedBitForBitNaNPayloadsIncluded) {
    const std::vector<std::uint16_t> in = {0x7FC1, 0xFF81, 0x7F81, 0x0001, 0x8000, 0x7F80, 0xFFFF, 0x1234, 0x7FFF};
    std::vector<std::uint16_t> out(in.size(), kSentinel);
    const std::uint16_t* p = in.data();
    reduce_sum_bf16({&p, 1}, out.data(), in.size());
    EXPECT_EQ(out, in);
}

TEST(Reduce, TwoOrMoreInputsNarrowNaNWithoutSpecialCase) {
    // A NaN sum keeps the rule's arithmetic; the reference applies the same rule.
    const std::vector<std::vector<std::uint16_t>> inputs = {{0x7FC1, 0x7F80, 0x3F80}, {0x0000, 0xFF80, 0x7FC0}};
    std::vector<std::uint16_t> out(3, kSentinel);
    reduce_sum_bf16(pointers(inputs), out.data(), 3);
    EXPECT_EQ(out, reference(inputs, 3));
}

TEST(Reduce, OutputMayBeOneOfTheInputs) {
    std::mt19937 rng(5);
    for (const std::size_t count : {1u, 3u}) {
        std::vector<std::vector<std::uint16_t>> inputs;
        for (std::size_t j = 0; j < count; ++j) inputs.push_back(random_bf16(37, rng));
        const auto want = count == 1 ? inputs[0] : reference(inputs, 37);
        reduce_sum_bf16(pointers(inputs), inputs[0].data(), 37);
        EXPECT_EQ(inputs[0], want) << count << " inputs";
    }
}

TEST(Reduce, NullAddressesAreRefusedBeforeAnyWrite) {
    const std::vector<std::uint16_t> a(9, 0x3F80);
    std::vector<std::uint16_t> out(9, kSentinel);
    const std::uint16_t* with_null[] = {a.data(), nullptr};
    EXPECT_EQ(error_of([&] { reduce_sum_bf16(with_null, out.data(), 9); }),
              "reduce_sum_bf16: input 1 is a null address");
    EXPECT_EQ(out, std::vector<std::uint16_t>(9, kSentinel));
    const std::uint16_t* one[] = {a.data()};
    EXPECT_EQ(error_of([&] { reduce_sum_bf16(one, nullptr, 9); }), "reduce_sum_bf16: output is a null address");
    // No elements: nothing is read or written, whatever the addresses.
    EXPECT_EQ(error_of([&] { reduce_sum_bf16(with_null, nullptr, 0); }), "<no error>");
}

}  // namespace
