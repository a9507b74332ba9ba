// Value words: double-precision steps, single-precision results.
#include "protocol/value.h"

#include <cmath>

namespace zev {

namespace {

constexpr uint16_t kSignPositive = 0x8000;
constexpr uint16_t kMagnitudeMask = 0x7FFC;
constexpr uint16_t kCodeMask = 0x0003;
constexpr double kMagnitudeUnit = 0.00625;  // of the magnitude field read in place
constexpr float kTenth = 0.1f;
constexpr float kHundredth = 0.01f;
constexpr float kTen = 10.0f;
constexpr float kHundred = 100.0f;
constexpr double kStepsPerUnit = 40.0;        // 1 / 0.025
constexpr double kSixteenthsPerUnit = 160.0;  // 1 / 0.00625
constexpr double kHalf = 0.5;
constexpr uint16_t kMaxPtPos = 7;
constexpr int32_t kMaxSteps = 8191;        // the 13-bit magnitude field
constexpr int32_t kMaxSixteenths = 32767;  // the same field read in place

// The 32-bit DLL computes on the x87 unit, where GCC 12 keeps C++
// intermediates at 80 bits whatever the casts say; a store through memory
// rounds them to the width the controllers' words are defined with.
float Single(float fValue) {
    volatile float fStored = fValue;
    return fStored;
}

double Double(double dValue) {
    volatile double dStored = dValue;
    return dStored;
}

// a * scale + 0.5 in double precision, truncated toward zero; -1 when the
// result would not fit below iLimit + 1 (and for NaN and infinities).
int32_t RoundedCount(float fMagnitude, double dScale, int32_t iLimit) {
    if (!std::isfinite(fMagnitude)) return -1;
    const double dProduct = Double(static_cast<double>(fMagnitude) * dScale);
    const double dCount = Double(dProduct + kHalf);
    if (!(dCount < static_cast<double>(iLimit) + 1.0)) return -1;
    return static_cast<int32_t>(dCount);
}

}  // namespace

float DecodeValue(uint8_t bHigh, uint8_t bLow) {
    const uint16_t w = static_cast<uint16_t>(bHigh << 8 | bLow);
    const double dMagnitude = Double(static_cast<double>(w & kMagnitudeMask) * kMagnitudeUnit);
    float fValue = Single(static_cast<float>(dMagnitude));
    if ((w & kSignPositive) == 0) fValue = -fValue;
    switch (w & kCodeMask) {
        case 1:
            return Single(fValue * kTenth);
        case 2:
            return Single(fValue * kHundredth);
        case 3:
            return Single(fValue * kTen);
        default:
            return fValue;
    }
}

uint16_t EncodeValue(float fValue) {
    // Zero of either sign goes out with the sign bit clear.
    const bool bPositive = fValue > 0.0f;
    const float fMagnitude = bPositive ? fValue : -fValue;
    const int32_t n = RoundedCount(fMagnitude, kStepsPerUnit, kMaxSteps);
    if (n < 0) return kValueOverflow;
    return static_cast<uint16_t>((bPositive ? kSignPositive : 0) | n << 2);
}

uint16_t EncodeTimeValue(float fValue, uint16_t wPtPos) {
    if (wPtPos > kMaxPtPos) return kValueOverflow;
    // Zero of either sign goes out with the sign bit set.
    const bool bNegative = fValue < 0.0f;
    float fMagnitude = bNegative ? -fValue : fValue;
    switch (wPtPos) {
        case 1:
            fMagnitude = Single(fMagnitude * kTen);
            break;
        case 2:
            fMagnitude = Single(fMagnitude * kHundred);
            break;
        case 3:
            fMagnitude = Single(fMagnitude * kTenth);
            break;
        default:  // 0 and 4 to 7 carry the code without scaling
            break;
    }
    const int32_t n = RoundedCount(fMagnitude, kSixteenthsPerUnit, kMaxSixteenths);
    if (n < 0) return kValueOverflow;
    return static_cast<uint16_t>((bNegative ? 0 : kSignPositive) | (n & kMagnitudeMask) |
                                 (wPtPos & kCodeMask));
}

}  // namespace zev
