#include "scripted/scripted_system.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <set>

namespace scripted {

namespace {

struct Arrival {
    int64_t tNs;
    uint8_t byte;
};

struct Failure {
    int count = 0;  // -1: always
    int result = 0;
};

struct State {
    int64_t nowNs = 0;
    int64_t frequency = 1000000000;
    int64_t counterStepNs = 1000;
    int priority = 0;
    int timerDepth = 0;
    std::set<std::string> devices;
    std::map<sys::Handle, Port> ports;
    sys::Handle nextHandle = 0x100;
    sys::CommTimeouts initialTimeouts{0, 0, 0, 0, 0};
    sys::Dcb initialDcb{};
    std::deque<Arrival> input;
    std::deque<std::vector<Piece>> replies;  // empty vector: no reply
    std::function<Bytes(const Bytes &)> responder;
    std::function<Piece(const Bytes &)> delayedResponder;
    std::array<Failure, static_cast<size_t>(Call::Count)> failures{};
    std::array<int, static_cast<size_t>(Call::Count)> calls{};
    int64_t shortWrite = -1;
    std::deque<int64_t> sleepAdvances;
    std::vector<Event> events;
    bool acceptRs485 = false;
    std::string openFailureText;
};

State &S() {
    static State state;
    return state;
}

void Record(Kind kind, int64_t value = 0, Bytes bytes = {}, std::string text = {}) {
    S().events.push_back({kind, S().nowNs, value, std::move(bytes), std::move(text)});
}

// Counts the call and tells whether it is to fail.
bool Failing(Call call, int *pResult = nullptr) {
    auto i = static_cast<size_t>(call);
    S().calls[i]++;
    Failure &f = S().failures[i];
    if (f.count == 0) return false;
    if (f.count > 0) f.count--;
    if (pResult) *pResult = f.result;
    return true;
}

Port *Find(sys::Handle h) {
    auto it = S().ports.find(h);
    return it == S().ports.end() || !it->second.open ? nullptr : &it->second;
}

void Arrive(const Bytes &bytes, int64_t tNs) {
    // In time order; bytes that come after everything queued need no sort.
    const bool bInOrder = S().input.empty() || S().input.back().tNs <= tNs;
    for (uint8_t b : bytes) S().input.push_back({tNs, b});
    if (bInOrder) return;
    std::stable_sort(S().input.begin(), S().input.end(),
                     [](const Arrival &a, const Arrival &b) { return a.tNs < b.tNs; });
}

constexpr int64_t kMs = 1000000;

}  // namespace

void Reset() {
    S() = State{};
    for (int i = 1; i <= 9; ++i) S().devices.insert("COM" + std::to_string(i));
    sys::Dcb &d = S().initialDcb;
    d.DCBlength = sys::kDcbLength;
    d.BaudRate = 1200;
    d.ByteSize = 7;
    d.XonLim = 2048;
    d.XoffLim = 512;
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
    d.fTXContinueOnXoff = 1;
    d.fOutX = 1;
    d.fInX = 1;
    d.fOutxCtsFlow = 1;
    d.fAbortOnError = 1;
    S().initialTimeouts = {50, 10, 500, 10, 100};
}

void AddDevice(const std::string &name) { S().devices.insert(name); }
void SetInitialTimeouts(const sys::CommTimeouts &timeouts) { S().initialTimeouts = timeouts; }
void SetInitialDcb(const sys::Dcb &dcb) { S().initialDcb = dcb; }

void Feed(const Bytes &bytes, int64_t delayMs) { Arrive(bytes, S().nowNs + delayMs * kMs); }
void Babble(size_t chunk, int64_t periodMs, int64_t durationMs) {
    uint32_t seed = 12345;
    for (int64_t t = 0; t < durationMs; t += periodMs) {
        Bytes noise(chunk);
        for (uint8_t &b : noise) {
            seed = seed * 1103515245u + 12345u;
            b = static_cast<uint8_t>(seed >> 16);
            if (b == 0x16) b = 0x17;
        }
        Feed(noise, t);
    }
}
void Reply(const Bytes &bytes, int64_t delayMs) { S().replies.push_back({{bytes, delayMs}}); }
void ReplyInPieces(const std::vector<Piece> &pieces) { S().replies.push_back(pieces); }
void NoReply() { S().replies.push_back({}); }
void SetResponder(std::function<Bytes(const Bytes &)> responder) { S().responder = std::move(responder); }
void SetDelayedResponder(std::function<Piece(const Bytes &)> responder) {
    S().delayedResponder = std::move(responder);
}
size_t Pending() { return S().input.size(); }

void Fail(Call call, int count, int result) { S().failures[static_cast<size_t>(call)] = {count, result}; }
void ShortWrite(uint32_t written) { S().shortWrite = written; }

void SetFrequency(int64_t frequency) { S().frequency = frequency; }
void SetCounterStep(int64_t ns) { S().counterStepNs = ns; }
void SleepAdvances(const std::vector<int64_t> &ms) { S().sleepAdvances.assign(ms.begin(), ms.end()); }
void AcceptRs485(bool bAccept) { S().acceptRs485 = bAccept; }
void SetOpenFailureText(const std::string &text) { S().openFailureText = text; }
void SetThreadPriorityValue(int priority) { S().priority = priority; }
int ThreadPriority() { return S().priority; }
int TimerPeriodDepth() { return S().timerDepth; }
int64_t NowNs() { return S().nowNs; }
void AdvanceMs(int64_t ms) { S().nowNs += ms * kMs; }

const std::vector<Event> &Events() { return S().events; }
std::vector<Event> EventsOf(Kind kind) {
    std::vector<Event> out;
    for (const Event &e : S().events)
        if (e.kind == kind) out.push_back(e);
    return out;
}
Bytes Written() {
    Bytes out;
    for (const Event &e : EventsOf(Kind::Write)) out.insert(out.end(), e.bytes.begin(), e.bytes.end());
    return out;
}
Port &PortOf(sys::Handle h) { return S().ports[h]; }
int CallCount(Call call) { return S().calls[static_cast<size_t>(call)]; }

}  // namespace scripted

// The system interface, as the driver sees it.
namespace sys {

using scripted::Call;
using scripted::Kind;
using scripted::S;

Handle CreateFileA(const char *pszName) {
    if (scripted::Failing(Call::CreateFileA)) return kInvalidHandle;
    std::string name = pszName;
    if (!S().devices.count(name) && name != "NUL" && name != "nul") return kInvalidHandle;
    for (auto &[h, port] : S().ports)
        if (port.open && port.name == name && name != "NUL") return kInvalidHandle;  // exclusive
    Handle h = S().nextHandle++;
    scripted::Port &port = S().ports[h];
    port = scripted::Port{};
    port.open = true;
    port.name = name;
    port.dcb = S().initialDcb;
    port.timeouts = S().initialTimeouts;
    scripted::Record(Kind::Open, h, {}, name);
    return h;
}

int GetCommState(Handle h, Dcb *pDcb) {
    scripted::Port *port = scripted::Find(h);
    if (scripted::Failing(Call::GetCommState) || !port || port->name == "nul") return 0;
    uint32_t length = pDcb->DCBlength;
    *pDcb = port->dcb;
    pDcb->DCBlength = length;
    return 1;
}

int SetCommState(Handle h, const Dcb *pDcb) {
    scripted::Port *port = scripted::Find(h);
    if (scripted::Failing(Call::SetCommState) || !port) return 0;
    port->dcb = *pDcb;
    port->dtr = pDcb->fDtrControl == kDtrControlEnable;
    port->rts = pDcb->fRtsControl == kRtsControlEnable;
    scripted::Record(Kind::SetState);
    return 1;
}

int GetCommTimeouts(Handle h, CommTimeouts *pTimeouts) {
    scripted::Port *port = scripted::Find(h);
    if (scripted::Failing(Call::GetCommTimeouts) || !port) return 0;
    *pTimeouts = port->timeouts;
    return 1;
}

int SetCommTimeouts(Handle h, const CommTimeouts *pTimeouts) {
    scripted::Port *port = scripted::Find(h);
    if (scripted::Failing(Call::SetCommTimeouts) || !port) return 0;
    port->timeouts = *pTimeouts;
    scripted::Record(Kind::SetTimeouts, pTimeouts->ReadTotalTimeoutConstant);
    return 1;
}

int SetupComm(Handle h, uint32_t dwInQueue, uint32_t dwOutQueue) {
    scripted::Port *port = scripted::Find(h);
    if (scripted::Failing(Call::SetupComm) || !port) return 0;
    port->inQueue = dwInQueue;
    port->outQueue = dwOutQueue;
    scripted::Record(Kind::SetupComm, dwInQueue);
    return 1;
}

int ClearCommError(Handle h, uint32_t *pErrors, ComStat *pStat) {
    int result = 0;
    if (scripted::Failing(Call::ClearCommError, &result) || !scripted::Find(h)) return result;
    uint32_t queued = 0;
    for (const auto &a : S().input)
        if (a.tNs <= S().nowNs) queued++;
    if (pErrors) *pErrors = 0;
    if (pStat) *pStat = {queued, 0};
    scripted::Record(Kind::ClearError, queued);
    return 1;
}

int PurgeComm(Handle h, uint32_t dwFlags) {
    if (scripted::Failing(Call::PurgeComm) || !scripted::Find(h)) return 0;
    int64_t dropped = 0;
    if ((dwFlags & kPurgeRxClear) != 0) {
        while (!S().input.empty() && S().input.front().tNs <= S().nowNs) {
            S().input.pop_front();
            ++dropped;
        }
    }
    scripted::Record(Kind::Purge, dropped);
    return 1;
}

int ReadFile(Handle h, void *pBuffer, uint32_t n, uint32_t *pRead) {
    if (pRead) *pRead = 0;
    scripted::Port *port = scripted::Find(h);
    int result = 0;
    if (scripted::Failing(Call::ReadFile, &result) || !port) return result;
    // Complete when the n-th byte has arrived, else at the total time-out.
    const int64_t deadline = S().nowNs + int64_t(port->timeouts.ReadTotalTimeoutConstant) * scripted::kMs;
    scripted::Bytes got;
    int64_t end = deadline;
    while (got.size() < n && !S().input.empty() && S().input.front().tNs <= deadline) {
        got.push_back(S().input.front().byte);
        end = std::max(S().nowNs, S().input.front().tNs);
        S().input.pop_front();
    }
    if (got.size() < n) end = deadline;
    S().nowNs = end;
    if (!got.empty()) std::memcpy(pBuffer, got.data(), got.size());  // data() may be null
    if (pRead) *pRead = static_cast<uint32_t>(got.size());
    scripted::Record(Kind::Read, n, got);
    return 1;
}

int WriteFile(Handle h, const void *pBuffer, uint32_t n, uint32_t *pWritten) {
    scripted::Port *port = scripted::Find(h);
    if (scripted::Failing(Call::WriteFile) || !port) return 0;
    uint32_t written = n;
    if (S().shortWrite >= 0) {
        written = static_cast<uint32_t>(std::min<int64_t>(S().shortWrite, n));
        S().shortWrite = -1;
    }
    const auto *p = static_cast<const uint8_t *>(pBuffer);
    scripted::Record(Kind::Write, written, scripted::Bytes(p, p + written));
    if (pWritten) *pWritten = written;
    if (!S().replies.empty()) {
        int64_t t = S().nowNs;
        for (const scripted::Piece &piece : S().replies.front()) {
            t += piece.delayMs * scripted::kMs;
            scripted::Arrive(piece.bytes, t);
        }
        S().replies.pop_front();
    } else if (S().responder) {
        scripted::Arrive(S().responder(scripted::Bytes(p, p + written)), S().nowNs);
    } else if (S().delayedResponder) {
        const scripted::Piece piece = S().delayedResponder(scripted::Bytes(p, p + written));
        scripted::Arrive(piece.bytes, S().nowNs + piece.delayMs * scripted::kMs);
    }
    return 1;
}

int CloseHandle(Handle h) {
    scripted::Port *port = scripted::Find(h);
    if (scripted::Failing(Call::CloseHandle) || !port) return 0;
    port->open = false;
    port->rs485 = false;  // the port's previous mode is back
    scripted::Record(Kind::Close, h);
    return 1;
}

int EscapeCommFunction(Handle h, uint32_t dwFunc) {
    scripted::Record(Kind::Escape, dwFunc);
    scripted::Port *port = scripted::Find(h);
    if (scripted::Failing(Call::EscapeCommFunction) || !port) return 0;
    if (dwFunc == kSetRts || dwFunc == kClrRts) port->rts = dwFunc == kSetRts;
    if (dwFunc == kSetDtr || dwFunc == kClrDtr) port->dtr = dwFunc == kSetDtr;
    return 1;
}

int SetCommBreak(Handle h) {
    scripted::Record(Kind::BreakOn);
    scripted::Port *port = scripted::Find(h);
    if (scripted::Failing(Call::SetCommBreak) || !port) return 0;
    port->breakOn = true;
    return 1;
}

int ClearCommBreak(Handle h) {
    scripted::Record(Kind::BreakOff);
    scripted::Port *port = scripted::Find(h);
    if (scripted::Failing(Call::ClearCommBreak) || !port) return 0;
    port->breakOn = false;
    return 1;
}

void Sleep(uint32_t dwMilliseconds) {
    scripted::Record(Kind::Sleep, dwMilliseconds);
    int64_t advance = dwMilliseconds;
    if (!S().sleepAdvances.empty()) {
        advance = S().sleepAdvances.front();
        S().sleepAdvances.pop_front();
    }
    S().nowNs += advance * scripted::kMs;
}

int QueryPerformanceFrequency(int64_t *pFrequency) {
    if (scripted::Failing(Call::QueryPerformanceFrequency) || S().frequency <= 0) return 0;
    *pFrequency = S().frequency;
    return 1;
}

int QueryPerformanceCounter(int64_t *pCount) {
    if (scripted::Failing(Call::QueryPerformanceCounter)) return 0;
    S().nowNs += S().counterStepNs;
    // The counter runs at S().frequency over the virtual time.
    const int64_t f = S().frequency > 0 ? S().frequency : 1000000000;
    *pCount = static_cast<int64_t>(static_cast<__int128>(S().nowNs) * f / 1000000000);
    return 1;
}

void TimeBeginPeriod(uint32_t uPeriod) {
    S().timerDepth++;
    scripted::Record(Kind::TimerBegin, uPeriod);
}

void TimeEndPeriod(uint32_t uPeriod) {
    S().timerDepth--;
    scripted::Record(Kind::TimerEnd, uPeriod);
}

int64_t ClockMs() { return S().nowNs / scripted::kMs; }

void SpinPause(int64_t) {}

int GetThreadPriority() { return S().priority; }

int SetThreadPriority(int iPriority) {
    scripted::Record(Kind::Priority, iPriority);
    int result = 0;
    if (scripted::Failing(Call::SetThreadPriority, &result)) return result;
    S().priority = iPriority;
    return 1;
}

int SetRs485Mode(Handle h, const Rs485Mode *pMode) {
    scripted::Port *port = scripted::Find(h);
    const bool bTaken = !scripted::Failing(Call::SetRs485Mode) && port && pMode && S().acceptRs485;
    scripted::Record(Kind::Rs485, bTaken ? 1 : 0);
    if (!bTaken) return 0;
    port->rs485 = true;
    port->rs485Mode = *pMode;
    return 1;
}

uint32_t DescribeOpenFailure(const char *, char *pszText, uint32_t cbText) {
    if (cbText == 0) return 0;
    const size_t n = std::min<size_t>(S().openFailureText.size(), cbText - 1);
    std::memcpy(pszText, S().openFailureText.data(), n);
    pszText[n] = '\0';
    return static_cast<uint32_t>(n);
}

}  // namespace sys
