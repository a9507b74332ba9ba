// A working block set up by hand on the scripted line, for the frame,
// reception and transaction tests: buffers, an open COM1 with a 100 ms read
// time-out, no gap, no switching.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/context.h"
#include "scripted/scripted_system.h"
#include "support/test_host.h"
#include "zedadad/zedadad.h"

namespace transaction {

using scripted::Bytes;

inline uint8_t Sum(const Bytes &bytes, size_t first, size_t count) {
    uint8_t sum = 0;
    for (size_t i = first; i < first + count; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
    return sum;
}

// 68 L L 68 00 plc fn data FCS 16, as a controller answers a read.
inline Bytes ReplyFrame(uint8_t bPlc, const Bytes &data) {
    const auto bL = static_cast<uint8_t>(3 + data.size());
    Bytes frame = {0x68, bL, bL, 0x68, 0x00, bPlc, 0x08};
    frame.reserve(frame.size() + data.size() + 2);
    for (uint8_t b : data) frame.push_back(b);
    frame.push_back(Sum(frame, 4, bL));
    frame.push_back(0x16);
    return frame;
}

// 10 00 plc code FCS 16, as a controller answers a write.
inline Bytes AckFrame(uint8_t bPlc, uint8_t bCode = 0x10) {
    Bytes frame = {0x10, 0x00, bPlc, bCode};
    frame.push_back(Sum(frame, 1, 3));
    frame.push_back(0x16);
    return frame;
}

class TransactionTest : public ::testing::Test {
protected:
    // The receive buffer sits at the start of a larger block, so that a write
    // past its 128 bytes shows in the guard bytes behind it.
    static constexpr size_t kGuard = 64;
    static constexpr uint8_t kGuardByte = 0xEE;

    std::array<uint8_t, zev::kSendBufSize> sendBuf{};
    std::array<uint8_t, zev::kRecvBufSize + kGuard> recvBlock{};
    std::array<uint8_t, 256> value{};
    zev::DriverContext context{};
    GateRecord gate{};
    ZevRequest request{};

    void SetUp() override {
        scripted::Reset();
        testhost::Reset();
        std::memset(&context, 0, sizeof context);
        recvBlock.fill(0);
        std::fill(recvBlock.begin() + zev::kRecvBufSize, recvBlock.end(), kGuardByte);
        context.pSendBuf = sendBuf.data();
        context.pRecvBuf = recvBlock.data();
        context.hCom = sys::CreateFileA("COM1");
        const sys::CommTimeouts timeouts{0, 0, 100, 0, 0};
        sys::SetCommTimeouts(context.hCom, &timeouts);
        context.IFG = 0;
        context.bSwitching = 0;
        request.pContext = &context;
        request.pParams = &gate;
        value.fill(0xAB);
    }

    void TearDown() override { testhost::Reset(); }

    void SetGate(const char *pszAddress, int32_t iPlc, int32_t iMemType, int32_t iTag, int32_t iCount,
                 int32_t iBitNo = -1) {
        gate = GateRecord{};
        gate.pszAddress = pszAddress;
        gate.iPlcAddr = iPlc;
        gate.iMemType = iMemType;
        gate.iTagAddr = iTag;
        gate.iBitNo = iBitNo;
        gate.iCount = iCount;
        gate.hGate = 0x4711;
        gate.pValue = value.data();
    }

    uint32_t Call(uint32_t iFunction) {
        request.iFunction = iFunction;
        return ZevMain(&request);
    }

    bool GuardIntact() const {
        for (size_t i = zev::kRecvBufSize; i < recvBlock.size(); ++i)
            if (recvBlock[i] != kGuardByte) return false;
        return true;
    }

    std::vector<Bytes> Writes() const {
        std::vector<Bytes> out;
        for (const scripted::Event &e : scripted::EventsOf(scripted::Kind::Write)) out.push_back(e.bytes);
        return out;
    }

    float FloatAt(size_t iIndex) const {
        float f = 0;
        std::memcpy(&f, value.data() + 4 * iIndex, sizeof f);
        return f;
    }

    uint16_t WordAt(size_t iIndex) const {
        uint16_t w = 0;
        std::memcpy(&w, value.data() + 2 * iIndex, sizeof w);
        return w;
    }

    void SetFloat(float f) { std::memcpy(value.data(), &f, sizeof f); }
    void SetWord(uint16_t w) { std::memcpy(value.data() + 2, &w, sizeof w); }
};

}  // namespace transaction
