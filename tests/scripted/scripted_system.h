// The scripted system: the system interface for unit tests. A virtual line
// whose replies a test queues, a record of every write, signal change and
// timing call with its virtual timestamp, a virtual clock and counter, and
// switches that make any call fail.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/system.h"

namespace scripted {

using Bytes = std::vector<uint8_t>;

enum class Call {
    CreateFileA,
    GetCommState,
    SetCommState,
    GetCommTimeouts,
    SetCommTimeouts,
    SetupComm,
    ClearCommError,
    PurgeComm,
    ReadFile,
    WriteFile,
    CloseHandle,
    EscapeCommFunction,
    SetCommBreak,
    ClearCommBreak,
    QueryPerformanceFrequency,
    QueryPerformanceCounter,
    SetThreadPriority,
    SetRs485Mode,
    Count
};

enum class Kind {
    Open,         // text = device name, value = handle
    Close,        // value = handle
    SetState,     // a SetCommState call; see Port::dcb for the values
    SetTimeouts,  // value = ReadTotalTimeoutConstant
    SetupComm,    // value = input queue size
    ClearError,
    Purge,   // value = bytes dropped
    Read,    // value = bytes asked, bytes = bytes delivered
    Write,   // bytes = bytes written
    Escape,  // value = function code (kSetRts ...)
    BreakOn,
    BreakOff,
    Sleep,       // value = ms
    Priority,    // value = priority asked
    TimerBegin,  // value = period
    TimerEnd,    // value = period
    Rs485,       // value = 1 taken, 0 refused; see Port::rs485 for the mode
};

struct Event {
    Kind kind;
    int64_t tNs;  // virtual time at the call
    int64_t value;
    Bytes bytes;
    std::string text;
};

// One piece of a reply: its bytes arrive delayMs after the previous piece
// (the first piece: after the write that released the reply).
struct Piece {
    Bytes bytes;
    int64_t delayMs = 0;
};

struct Port {
    bool open = false;
    std::string name;
    sys::Dcb dcb{};
    sys::CommTimeouts timeouts{};
    uint32_t inQueue = 0;
    uint32_t outQueue = 0;
    bool dtr = false;
    bool rts = false;
    bool breakOn = false;
    bool rs485 = false;  // in the kernel's RS-485 mode
    sys::Rs485Mode rs485Mode{};
};

// Back to a fresh machine: no ports open, clock at 0, counter at 1 GHz,
// no failures, empty record. Devices "COM1".."COM9" exist.
void Reset();

// Devices. A name not added here (nor COM1..COM9) cannot be opened.
void AddDevice(const std::string &name);
// Time-outs and settings a device reports before anyone changed them.
void SetInitialTimeouts(const sys::CommTimeouts &timeouts);
void SetInitialDcb(const sys::Dcb &dcb);

// Input. Feed: bytes available delayMs from now, independent of writes.
void Feed(const Bytes &bytes, int64_t delayMs = 0);
// A line that never falls quiet: `chunk` noise bytes (never the end
// character 0x16) every periodMs from now, for durationMs.
void Babble(size_t chunk, int64_t periodMs, int64_t durationMs);
// Replies, one per later write in queue order: released by that write.
void Reply(const Bytes &bytes, int64_t delayMs = 0);
void ReplyInPieces(const std::vector<Piece> &pieces);
void NoReply();  // the next write gets no answer
// A controller: answers every write that no queued reply is left for
// (an empty answer: none).
void SetResponder(std::function<Bytes(const Bytes &written)> responder);
// A controller that takes its time: answers every write that no queued
// reply is left for with a piece, its delay counted from that write.
void SetDelayedResponder(std::function<Piece(const Bytes &written)> responder);
// Bytes waiting (arrived or still to arrive) on the line.
size_t Pending();

// Failures: the next `count` calls of `call` fail (count -1: all of them).
// `result` is what a failing call returns (0 for most; SetThreadPriority's rc).
void Fail(Call call, int count = 1, int result = 0);
// The next write writes only `written` bytes (and succeeds).
void ShortWrite(uint32_t written);
// The next ClearCommError reports this many bytes queued (default: Pending()).

// Time. Counter ticks per second (0 or a failing query: no counter).
void SetFrequency(int64_t frequency);
// Each QueryPerformanceCounter advances the virtual time by this much (ns).
void SetCounterStep(int64_t ns);
// The next Sleep calls advance the clock by these ms instead of what they ask.
void SleepAdvances(const std::vector<int64_t> &ms);
void SetThreadPriorityValue(int priority);
int ThreadPriority();
int TimerPeriodDepth();  // begins minus ends

int64_t NowNs();
void AdvanceMs(int64_t ms);

// Whether ports take the kernel's RS-485 mode (a fresh machine's refuse it).
void AcceptRs485(bool bAccept);
// The reason DescribeOpenFailure gives for a failed open (none: "").
void SetOpenFailureText(const std::string &text);

// What happened.
const std::vector<Event> &Events();
std::vector<Event> EventsOf(Kind kind);
Bytes Written();  // every byte written, in order
Port &PortOf(sys::Handle h);
int CallCount(Call call);

}  // namespace scripted
