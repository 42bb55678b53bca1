// 128-bit fixed-point values.
#pragma once

#include <stdint.h>

namespace votypes {

// A 128-bit fixed-point value with kFractionBits fractional bits: low word
// first, high word second; when kSigned, bit 63 of the high word is the sign
// (two's complement).
template <int32_t kFractionBits, bool kSigned> class FixedPoint128 {
public:
    constexpr FixedPoint128() = default;
    constexpr FixedPoint128(uint64_t lowWord, uint64_t highWord) : low(lowWord), high(highWord) {}

    constexpr bool isNegative() const { return kSigned && (high >> 63) != 0; }

    // Shifts by count bits: right for a positive count, left for a negative
    // one. signExtend fills from the left with the sign of a negative value
    // (zeros otherwise). Counts beyond 127 give 0 (left) or the fill (right).
    void RightShift(int32_t count, bool signExtend) {
        const uint64_t fill = signExtend && isNegative() ? ~uint64_t{0} : 0;
        if (count == 0) {
            return;
        }
        if (count < -127) {
            low = 0;
            high = 0;
            return;
        }
        if (count > 127) {
            low = fill;
            high = fill;
            return;
        }
        if (count < 0) {
            int32_t left = -count;
            if (left >= 64) {
                high = low;
                low = 0;
                left -= 64;
            }
            if (left > 0) {
                high = (high << left) | (low >> (64 - left));
                low <<= left;
            }
            return;
        }
        int32_t right = count;
        if (right >= 64) {
            low = high;
            high = fill;
            right -= 64;
        }
        if (right > 0) {
            low = (low >> right) | (high << (64 - right));
            high = (high >> right) | (fill << (64 - right));
        }
    }

    friend constexpr bool operator==(const FixedPoint128& a, const FixedPoint128& b) {
        return a.low == b.low && a.high == b.high;
    }

    uint64_t low = 0;
    uint64_t high = 0;
};

} // namespace votypes
