// The controllers' 16-bit value word: bit 15 set = positive or zero,
// bits 14..2 magnitude in 0.025 units, bits 1..0 exponent code.
#pragma once

#include <cstdint>

namespace zev {

constexpr uint16_t kValueOverflow = 0x7D00;

float DecodeValue(uint8_t bHigh, uint8_t bLow);
uint16_t EncodeValue(float fValue);
uint16_t EncodeTimeValue(float fValue, uint16_t wPtPos);

}  // namespace zev
