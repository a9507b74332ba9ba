// Serial port access layer: the only code that talks to the port through the
// system interface. Stateless; codes are the layer's own, not result codes.
#pragma once

#include <cstdint>

#include "platform/system.h"

namespace zev {

struct LineSettings {
    uint16_t wBaud;
    uint16_t wDataBits;
    uint16_t wStopBits;  // 0 one, 1 one and a half, 2 two
    uint16_t wParity;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
};

enum : uint16_t {
    kQobOk = 0,
    kQobOpenFailed = 1,  // open, time-outs, or (flush) status/read failed
    kQobShortWrite = 2,
    kQobGetState = 4,
    kQobSetState = 5,
    kQobSysFailed = 7,  // system call failed, or nothing read
};

uint16_t QobComOpen(const char *pszPort, const LineSettings *pSettings, uint16_t wMask, sys::Handle *phCom);
uint16_t QobComClose(sys::Handle hCom);
int32_t QobComSetReadTimeout(sys::Handle hCom, int32_t iTimeout10ms);
// Reads and drops waiting input until a read comes back short. On a line that
// never falls quiet it stops once it has read for dwBoundMs (0: after the
// first read), and says so in *pbBounded: the read running then ends within
// its own 50 ms time-out, so a flush takes at most dwBoundMs + 50 ms.
constexpr uint32_t kFlushBoundMs = 100;
uint16_t QobComFlushInput(sys::Handle hCom, bool *pbBounded = nullptr, uint32_t dwBoundMs = kFlushBoundMs);
// Reads and drops input until none has come for dwQuietMs (rounded up to the
// time-out's 10 ms steps). A line that never falls quiet ends it after
// dwBoundMs or dwMaxBytes dropped, and says so in *pbBounded; *pdwDropped
// counts the bytes dropped.
struct QuietBounds {
    uint32_t dwQuietMs;
    uint32_t dwBoundMs;
    uint32_t dwMaxBytes;
};
uint16_t QobComAwaitQuiet(sys::Handle hCom, const QuietBounds *pBounds, uint32_t *pdwDropped,
                          bool *pbBounded);
// The system drops what the port has received, without reading it: 0, or 1
// when the port cannot purge.
uint16_t QobComPurgeInput(sys::Handle hCom);
uint16_t QobComWrite(sys::Handle hCom, const void *pBuffer, uint32_t dwCount, uint32_t *pWritten);
uint16_t QobComRead(sys::Handle hCom, void *pBuffer, uint16_t wCount, uint32_t *pReceived);
uint16_t QobComSendBreak(uint32_t dwMilliseconds, sys::Handle hCom);
uint16_t QobComSleep(uint32_t dwMilliseconds);
// True when the port answers no status query any more: the device has gone
// (unplugged, hung up) and only a new open can bring it back.
bool QobComPortLost(sys::Handle hCom);

}  // namespace zev
