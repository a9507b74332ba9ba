// Value words in both directions: the controllers' vectors, the precision
// of every step, and the overflow marker for values without a word.
#include "protocol/value.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace {

using zev::DecodeValue;
using zev::EncodeTimeValue;
using zev::EncodeValue;
using zev::kValueOverflow;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

uint32_t Bits(float f) { return std::bit_cast<uint32_t>(f); }

struct Decoded {
    uint8_t bHigh;
    uint8_t bLow;
    float fValue;
};

TEST(DecodeValue, GivesTheControllersValues) {
    const Decoded cases[] = {
        {0x87, 0xD0, 12.5f},     {0x00, 0x50, -0.5f},   {0xFF, 0xFF, 2047.75f}, {0x7F, 0xFF, -2047.75f},
        {0x83, 0xE8, 6.25f},     {0x83, 0xE9, 0.625f},  {0x83, 0xEA, 0.0625f},  {0x83, 0xEB, 62.5f},
        {0x02, 0x50, -3.7f},     {0xCD, 0x21, 12.34f},  {0x80, 0xA4, 1.025f},   {0xFF, 0xFC, 204.775f},
        {0x7F, 0xFC, -204.775f}, {0x7D, 0x00, -200.0f}, {0xAE, 0xE2, 0.75f},
    };
    for (const Decoded &c : cases)
        EXPECT_EQ(DecodeValue(c.bHigh, c.bLow), c.fValue) << std::hex << int(c.bHigh) << " " << int(c.bLow);
}

TEST(DecodeValue, KeepsTheSignOfZeroWhateverTheCode) {
    for (uint8_t bLow = 0; bLow < 4; ++bLow) {
        EXPECT_EQ(Bits(DecodeValue(0x80, bLow)), Bits(0.0f)) << int(bLow);
        EXPECT_EQ(Bits(DecodeValue(0x00, bLow)), Bits(-0.0f)) << int(bLow);
    }
}

// The unit is applied in double precision and the factors are the nearest
// floats to 0.1 and 0.01, multiplied in single precision: these words come
// out one bit different under any other order of rounding.
TEST(DecodeValue, RoundsAsTheControllersDo) {
    struct Exact {
        uint8_t bHigh;
        uint8_t bLow;
        uint32_t iBits;
    };
    const Exact cases[] = {
        {0x80, 0x24, 0x3E666666},  // 0.225, unit 0.00625 not taken as a float
        {0x80, 0x05, 0x3B23D70B},  // 0.0025, factor 0.1f not 0.1
        {0x80, 0x66, 0x3BCCCCCC},  // 0.00625, factor 0.01f not 0.01
        {0xFF, 0xFD, 0x41A3D1EB},  // largest magnitude under code 1
    };
    for (const Exact &c : cases)
        EXPECT_EQ(Bits(DecodeValue(c.bHigh, c.bLow)), c.iBits)
            << std::hex << int(c.bHigh) << " " << int(c.bLow);
}

struct Encoded {
    float fValue;
    uint16_t wWord;
};

TEST(EncodeValue, GivesTheControllersWords) {
    const Encoded cases[] = {
        {12.5f, 0x87D0},
        {-3.7f, 0x0250},
        {0.0f, 0x0000},
        {-0.0f, 0x0000},
        {1.02f, 0x80A4},
        {0.0124f, 0x8000},
        {0.0125f, 0x8004},
        {204.775f, 0xFFFC},
        {100.0f, 0xBE80},
        {-0.5f, 0x0050},
        {-204.775f, 0x7FFC},
        // In range, but the word is the overflow marker's pattern: the write path refuses it.
        {-200.0f, 0x7D00},
    };
    for (const Encoded &c : cases) EXPECT_EQ(EncodeValue(c.fValue), c.wWord) << c.fValue;
}

TEST(EncodeValue, RoundTripsEveryPositiveAndNegativeStep) {
    for (uint16_t n = 0; n <= 8191; ++n) {
        const uint16_t wPositive = static_cast<uint16_t>(0x8000 | n << 2);
        const uint16_t wNegative = static_cast<uint16_t>(n << 2);
        if (n != 0) {  // +0 goes out as 0x0000
            EXPECT_EQ(EncodeValue(DecodeValue(wPositive >> 8, wPositive & 0xFF)), wPositive) << n;
        }
        EXPECT_EQ(EncodeValue(DecodeValue(wNegative >> 8, wNegative & 0xFF)), wNegative) << n;
    }
}

TEST(EncodeValue, GivesTheOverflowMarkerForValuesWithoutAWord) {
    const float cases[] = {204.7875f, -204.7875f, 204.8f, 300.0f,
                           -300.0f,   1e30f,      -1e30f, std::numeric_limits<float>::max(),
                           kInf,      -kInf,      kNaN,   -kNaN};
    for (float f : cases) EXPECT_EQ(EncodeValue(f), kValueOverflow) << f;
    // Just below the limit the value rounds to the largest step.
    EXPECT_EQ(EncodeValue(std::nextafter(204.7875f, 0.0f)), 0xFFFC);
    EXPECT_EQ(EncodeValue(std::nextafter(-204.7875f, 0.0f)), 0x7FFC);
}

struct TimeEncoded {
    float fValue;
    uint16_t wPtPos;
    uint16_t wWord;
};

TEST(EncodeTimeValue, GivesTheControllersWords) {
    const TimeEncoded cases[] = {
        {12.34f, 1, 0xCD21},  {12.34f, 0, 0x87B4},  {1.02f, 0, 0x80A0},   {0.0f, 0, 0x8000},
        {0.0f, 2, 0x8002},    {-0.0f, 1, 0x8001},   {-1.25f, 1, 0x07D1},  {0.75f, 2, 0xAEE2},
        {5.5f, 3, 0x805B},    {150.0f, 3, 0x8963},  {2000.0f, 3, 0xFD03}, {5.5f, 4, 0x8370},
        {5.5f, 0, 0x8370},    {5.5f, 5, 0x8371},    {5.5f, 7, 0x8373},    {-200.0f, 0, 0x7D00},
        {-200.0f, 4, 0x7D00}, {204.79f, 0, 0xFFFC}, {20.479f, 1, 0xFFFD}, {2047.9f, 3, 0xFFFF},
    };
    for (const TimeEncoded &c : cases)
        EXPECT_EQ(EncodeTimeValue(c.fValue, c.wPtPos), c.wWord) << c.fValue << " code " << c.wPtPos;
}

// 0.21875 x 0.1f rounds down to a float just below 0.021875; kept at a wider
// precision (as x87 code may) it would count up to the next step.
TEST(EncodeTimeValue, RoundsTheScaledMagnitudeToSinglePrecision) {
    EXPECT_EQ(EncodeTimeValue(0.21875f, 3), 0x8003);
    EXPECT_EQ(EncodeTimeValue(-0.21875f, 3), 0x0003);
}

TEST(EncodeTimeValue, GivesTheOverflowMarkerForCodesAboveSeven) {
    for (uint16_t wPtPos : {8, 9, 15, 256, 0xFFFF}) {
        EXPECT_EQ(EncodeTimeValue(1.0f, wPtPos), kValueOverflow) << wPtPos;
        EXPECT_EQ(EncodeTimeValue(0.0f, wPtPos), kValueOverflow) << wPtPos;
    }
}

TEST(EncodeTimeValue, GivesTheOverflowMarkerWhenTheScaledMagnitudeHasNoWord) {
    const TimeEncoded cases[] = {
        {204.8f, 0, kValueOverflow},  {-204.8f, 4, kValueOverflow}, {204.8f, 7, kValueOverflow},
        {20.48f, 1, kValueOverflow},  {-20.48f, 1, kValueOverflow}, {2.048f, 2, kValueOverflow},
        {2048.0f, 3, kValueOverflow}, {300.0f, 0, kValueOverflow},  {-300.0f, 2, kValueOverflow},
        {1e38f, 2, kValueOverflow},  // the scaling itself overflows the float
    };
    for (const TimeEncoded &c : cases)
        EXPECT_EQ(EncodeTimeValue(c.fValue, c.wPtPos), c.wWord) << c.fValue << " code " << c.wPtPos;
    for (uint16_t wPtPos = 0; wPtPos <= 7; ++wPtPos)
        for (float f : {kInf, -kInf, kNaN, -kNaN}) EXPECT_EQ(EncodeTimeValue(f, wPtPos), kValueOverflow) << f;
}

}  // namespace
