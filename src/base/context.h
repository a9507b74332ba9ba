// The per-instance working block. The host provides it with the size that
// GetZevInfo reports and passes it with every call; it is all the driver
// keeps per instance.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/system.h"
#include "zedadad/zedadad.h"

namespace zev {

constexpr uint32_t kContextSize = 96;
constexpr uint16_t kSendBufSize = 32;
constexpr uint16_t kRecvBufSize = 128;

// Line-signal mask bits, the same in SendMask, RecMask and wOpenMask.
constexpr uint16_t kMaskDtr = 0x0101;
constexpr uint16_t kMaskRts = 0x0202;

// bLateBytes beyond a count of bytes: more than a byte counts; the replies
// owed are overdue but may still come.
constexpr uint8_t kLateUnknown = 0xFF;
constexpr uint8_t kLateInDoubt = 0xFE;

// bRs485 bits.
constexpr uint8_t kRs485Asked = 1;   // the control-signal file asks for the kernel's turnaround
constexpr uint8_t kRs485Kernel = 2;  // the open port turns RTS around itself

// Fields are ordered widest first so the block fits 96 bytes with 64-bit
// pointers too; the host never looks inside it.
struct DriverContext {
    uint8_t *pSendBuf;    // 32-byte request buffer, allocated by ColdStart
    uint8_t *pRecvBuf;    // 128-byte reply buffer, allocated by ColdStart
    int64_t llFrequency;  // performance-counter ticks per second; 0 = none
    uint32_t iTimeout;    // reply time-out, 10 ms units
    sys::Handle hCom;     // open port; 0 = none
    float fCharTime;      // ms per character
    float fDelay;         // extra switch delay, ms, may be negative
    float fCalcDelay;     // planned hold of the last switched send, ms
    float fPracDelay;     // measured hold of the last switched send, ms
    char szPort[12];      // device name, NUL-terminated
    uint16_t wBaud;       // LineSettings: baud, data bits, stop code, parity
    uint16_t wDataBits;
    uint16_t wStopBits;
    uint16_t wParity;
    uint16_t wOpenMask;  // signal mask applied at open (the receive state)
    uint16_t wSendLen;   // bytes of the frame in pSendBuf
    uint16_t wRecvLen;   // expected, then received reply length
    uint16_t SendMask;   // signals while sending
    uint16_t RecMask;    // signals while receiving
    uint16_t wPtMode;    // point-position mode for time values
    uint16_t wFunction;  // trace: function of the running call, +256 per retry
    uint16_t DebugFlag;  // 1 = debug trace and calibration
    uint16_t TPPOS;      // fallback point position for time values
    uint16_t IFG;        // inter-frame gap, ms
    uint8_t bSwitching;  // bit 0 RTS switched, bit 1 DTR switched
    uint8_t ReadBeforeWrite;
    uint8_t bRs485;  // kRs485Asked, kRs485Kernel
    // Replies still owed by the last transaction's unanswered attempts, in
    // bytes, or kLateUnknown, kLateInDoubt; a reply names no element, so the
    // next request waits until they are in or overdue.
    uint8_t bLateBytes;
    // Proof that pSendBuf/pRecvBuf were allocated by this block's ColdStart
    // (a value derived from both pointers): EndZev frees nothing else, since
    // before ColdStart the block holds whatever the host left there.
    uint32_t iBufferSeal;
};

static_assert(sizeof(DriverContext) <= kContextSize, "working block exceeds the size the host provides");
static_assert(offsetof(DriverContext, wParity) - offsetof(DriverContext, wBaud) == 6,
              "line settings must stay four consecutive words");

inline DriverContext *ContextOf(const ZevRequest *pRequest) {
    return static_cast<DriverContext *>(pRequest->pContext);
}

}  // namespace zev
