// The operating-system services the driver uses: the Windows serial,
// timing and thread-priority subset, declared once with the semantics the
// driver relies on. One implementation is linked in: win32/ forwards to
// Windows, posix/ maps onto termios and friends, and the unit tests link a
// scripted system. Results follow the Windows conventions (nonzero = success)
// unless stated.
#pragma once

#include <cstdint>

namespace sys {

// A port handle as the driver keeps it. 0 is never a valid handle.
using Handle = uint32_t;
constexpr Handle kInvalidHandle = 0xFFFFFFFFu;  // INVALID_HANDLE_VALUE

// Device-control block: the members of the Windows DCB, as plain fields.
struct Dcb {
    uint32_t DCBlength;
    uint32_t BaudRate;
    uint32_t fBinary;
    uint32_t fParity;
    uint32_t fOutxCtsFlow;
    uint32_t fOutxDsrFlow;
    uint32_t fDtrControl;
    uint32_t fDsrSensitivity;
    uint32_t fTXContinueOnXoff;
    uint32_t fOutX;
    uint32_t fInX;
    uint32_t fErrorChar;
    uint32_t fNull;
    uint32_t fRtsControl;
    uint32_t fAbortOnError;
    uint16_t XonLim;
    uint16_t XoffLim;
    uint8_t ByteSize;
    uint8_t Parity;
    uint8_t StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
};
constexpr uint32_t kDcbLength = 28;  // sizeof the Windows DCB

enum : uint8_t { kOneStopBit = 0, kOne5StopBits = 1, kTwoStopBits = 2 };
enum : uint8_t { kNoParity = 0, kOddParity = 1, kEvenParity = 2, kMarkParity = 3, kSpaceParity = 4 };
enum : uint32_t { kDtrControlDisable = 0, kDtrControlEnable = 1, kDtrControlHandshake = 2 };
enum : uint32_t {
    kRtsControlDisable = 0,
    kRtsControlEnable = 1,
    kRtsControlHandshake = 2,
    kRtsControlToggle = 3
};

struct CommTimeouts {
    uint32_t ReadIntervalTimeout;
    uint32_t ReadTotalTimeoutMultiplier;
    uint32_t ReadTotalTimeoutConstant;  // ms; the whole read returns by then
    uint32_t WriteTotalTimeoutMultiplier;
    uint32_t WriteTotalTimeoutConstant;
};

struct ComStat {
    uint32_t cbInQue;   // bytes waiting to be read
    uint32_t cbOutQue;  // bytes waiting to be sent
};

// EscapeCommFunction codes.
enum : uint32_t { kSetRts = 3, kClrRts = 4, kSetDtr = 5, kClrDtr = 6 };

constexpr int kThreadPriorityTimeCritical = 15;

// Serial I/O. CreateFileA opens the named device for reading and writing,
// exclusively, without overlapped I/O; kInvalidHandle on failure.
Handle CreateFileA(const char *pszName);
int GetCommState(Handle h, Dcb *pDcb);
int SetCommState(Handle h, const Dcb *pDcb);
int GetCommTimeouts(Handle h, CommTimeouts *pTimeouts);
int SetCommTimeouts(Handle h, const CommTimeouts *pTimeouts);
int SetupComm(Handle h, uint32_t dwInQueue, uint32_t dwOutQueue);
// Clears the port's error state; 1 on success.
int ClearCommError(Handle h, uint32_t *pErrors, ComStat *pStat);
// Drops what the port holds: with kPurgeRxClear, every byte received and
// not yet read. Nonzero on success.
enum : uint32_t { kPurgeRxClear = 0x0008 };
int PurgeComm(Handle h, uint32_t dwFlags);
// Blocking read: returns when n bytes have arrived or the total read
// time-out has passed, whichever is first; a short count is no error.
int ReadFile(Handle h, void *pBuffer, uint32_t n, uint32_t *pRead);
// Blocking write of the whole count; reports the bytes written.
int WriteFile(Handle h, const void *pBuffer, uint32_t n, uint32_t *pWritten);
int CloseHandle(Handle h);

// Line signals and break.
int EscapeCommFunction(Handle h, uint32_t dwFunc);
int SetCommBreak(Handle h);
int ClearCommBreak(Handle h);

// Time.
void Sleep(uint32_t dwMilliseconds);
int QueryPerformanceFrequency(int64_t *pFrequency);
int QueryPerformanceCounter(int64_t *pCount);
void TimeBeginPeriod(uint32_t uPeriod);
void TimeEndPeriod(uint32_t uPeriod);
// The run-time library's elapsed-time clock: milliseconds, 1000 per second.
int64_t ClockMs();

// Called by a busy-wait on the performance counter with the ticks still to
// go. Where spinning at time-critical priority for the whole wait would keep
// the system's own threads (those that move serial data) off the processor,
// the thread sleeps through most of what is left and returns in time for the
// caller to spin out the rest; elsewhere it returns at once.
void SpinPause(int64_t llTicksLeft);

// Priority of the calling thread. SetThreadPriority returns 1 on success.
int GetThreadPriority();
int SetThreadPriority(int iPriority);

// Kernel RS-485 turnaround: the port's own driver raises RTS for each frame
// and turns it back once the last stop bit has left, with no switching by
// the caller. Levels are 1 (on) or 0 (off); delays are whole milliseconds.
struct Rs485Mode {
    uint32_t bRtsOnSend;           // RTS while a frame goes out
    uint32_t bRtsAfterSend;        // RTS between frames (the receive state)
    uint32_t dwDelayBeforeSendMs;  // RTS in its send state this long before the first bit
    uint32_t dwDelayAfterSendMs;   // and this long after the last one
};
// Puts the port into that mode; nonzero when the port took it. The port's
// previous mode comes back when the handle is closed. A port without such a
// mode (a pseudo-terminal, a UART without support, every port on Windows)
// returns 0 and stays as it was.
int SetRs485Mode(Handle h, const Rs485Mode *pMode);

// Why the calling thread's last CreateFileA failed and what to do about it,
// for people: one line, NUL-terminated, cut to cbText bytes. pszName is the
// name that CreateFileA was given. Returns the length written; 0 (and an
// empty text) when no reason is known.
uint32_t DescribeOpenFailure(const char *pszName, char *pszText, uint32_t cbText);

}  // namespace sys
