#pragma once
// BF16: the upper 16 bits of an IEEE-754 single.

#include <bit>
#include <cstdint>

namespace orvane {

// Widening: the 16 bits placed above 16 zero bits.
inline float bf16_to_f32(uint16_t b) { return std::bit_cast<float>(static_cast<uint32_t>(b) << 16); }

// Narrowing: round to nearest, ties to even, on the bit pattern, with no special case for NaN.
inline uint16_t f32_to_bf16(float f) {
    const uint32_t x = std::bit_cast<uint32_t>(f);
    return static_cast<uint16_t>((x + 0x7FFFu + ((x >> 16) & 1u)) >> 16);
}

}  // namespace orvane
