#include "line.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "port.h"
#include "reader.h"
#include "report.h"

namespace gateway {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// The driver reads the control-signal file from the working directory,
// which is the process's: ColdStarts take turns, each in its line's folder.
// Nothing else in the gateway uses relative paths.
std::mutex gColdStartMutex;

void PutNumber(rovod::Gate *gate, const GateConfig &config, double value) {
    if (config.bFloats) {
        const float f = static_cast<float>(value);
        std::memcpy(gate->value, &f, sizeof f);
    } else {
        const uint16_t w = static_cast<uint16_t>(static_cast<int32_t>(value));
        std::memcpy(gate->value + 2, &w, sizeof w);
    }
}

void SetStatus(Line *line, bool bOnline, const std::string &reason) {
    bool bChanged = false;
    {
        std::lock_guard<PiMutex> lock(line->mutex);
        bChanged = line->bOnline != bOnline || line->statusReason != reason || line->statusChanges == 0;
        line->bOnline = bOnline;
        line->statusReason = reason;
        if (bChanged) ++line->statusChanges;
    }
    if (!bChanged) return;
    if (bOnline)
        Log("line %s: online on %s", line->config.name.c_str(), line->portShown.c_str());
    else
        Log("line %s: offline: %s", line->config.name.c_str(), reason.c_str());
    Notify(line->pNotify);
}

// Puts one read's outcome into the cache.
// bRead false: not read now, marked by its controller's silence.
void Store(Line *line, size_t index, const rovod::Gate &gate, uint32_t result, uint32_t retries,
           const std::string &reason, bool bRead = true) {
    const int64_t now = WallUs();
    const std::vector<double> values = result == 0 ? rovod::Values(gate) : std::vector<double>{};
    {
        std::lock_guard<PiMutex> lock(line->mutex);
        GateValue &v = line->cache[index];
        bool bChanged = v.result != result;
        if (result == 0) {
            const uint16_t count = static_cast<uint16_t>(std::min(values.size(), kMaxValues));
            bChanged = bChanged || !v.bHasValue || v.count != count ||
                       !std::equal(values.begin(), values.begin() + count, v.values);
            std::copy(values.begin(), values.begin() + count, v.values);
            v.count = count;
            v.bHasValue = true;
            v.goodUs = now;
        }
        bChanged = bChanged || v.reason != reason;
        v.result = result;
        v.tryUs = now;
        v.reason = reason;
        if (bChanged) ++v.changes;
        if (bRead) {
            ++v.attempts;
            LineCounters &c = line->counters;
            ++c.reads;
            if (result >= 1 && result <= 3) ++c.failures[result];
            c.retries += retries;
        }
    }
    Notify(line->pNotify);
}

struct Poll {
    Line *line = nullptr;
    std::vector<rovod::Gate *> gates;
    rovod::Reader reader;  // plans the reads, sets silent controllers aside
    bool bInstalled = false;
    bool bOpen = false;
    std::string held;          // the device the instance holds
    std::string closedReason;  // why the port is not open
    uint64_t goodReads = 0;    // reads that brought a value
};

// One outcome of the reader into the cache.
void Land(Poll *p, const rovod::ReadOutcome &out) {
    std::string reason = out.reason;
    if (out.result != 0 && out.bRead && !p->bOpen) reason = "port closed: " + p->closedReason;
    if (out.result == 0 && out.bRead) ++p->goodReads;
    Store(p->line, out.gate, *p->gates[out.gate], out.result, out.retries, reason, out.bRead);
}

rovod::LandFn Lander(Poll *p) {
    return [p](const rovod::ReadOutcome &out) { Land(p, out); };
}

// True once when a read found the port gone.
bool TakeLost(Poll *p) {
    const bool bLost = p->reader.bPortLost;
    p->reader.bPortLost = false;
    return bLost;
}

// One gate's own read into the cache; true when the port was lost on the way.
bool ReadInto(Poll *p, size_t index) {
    if (!p->bInstalled) {
        Store(p->line, index, *p->gates[index], ZEV_REJECTED, 0, p->closedReason);
        return false;
    }
    rovod::Execute(&p->reader, rovod::OwnRead(p->reader, index), Lander(p));
    return TakeLost(p);
}

bool AllSilent(const rovod::Reader &r) {
    for (const auto &[plc, c] : r.controllers)
        if (!c.bSilent) return false;
    return true;
}

void InitReader(Poll *p) {
    Line *line = p->line;
    const LineConfig &c = line->config;
    rovod::PortOptions port;
    port.baud = c.baud;
    port.dataBits = c.dataBits;
    port.stopBits = c.stopBits;
    port.parity = c.parity;
    rovod::InitReader(&p->reader, &line->session, p->gates, port, c.bBlocks, c.silentRetryMs);
    p->reader.log = [line](const std::string &text) {
        Log("line %s: %s", line->config.name.c_str(), text.c_str());
    };
    p->reader.onStatus = [line](int plc, bool bOnline) {
        {
            std::lock_guard<PiMutex> lock(line->mutex);
            line->controllers[plc] = bOnline;
            ++line->controllerChanges;
        }
        Notify(line->pNotify);
    };
}

// Serves the queued writes; true when the port was lost on the way.
bool ServeWrites(Poll *p) {
    Line *line = p->line;
    std::deque<WriteRequest> writes;
    {
        std::lock_guard<PiMutex> lock(line->mutex);
        writes.swap(line->writes);
    }
    bool bLost = false;
    for (WriteRequest &request : writes) {
        if (request.pAbandoned && request.pAbandoned->load()) continue;
        WriteOutcome out;
        out.value = request.value;
        const GateConfig &config = line->config.gates[request.gate];
        rovod::Gate *gate = p->gates[request.gate];
        if (!p->bInstalled) {
            out.result = ZEV_REJECTED;
            out.error = "the line's port is not open: " + p->closedReason;
        } else {
            PutNumber(gate, config, request.value);
            out.result = rovod::WriteGate(&line->session, gate);
            const bool bGone = rovod::PortLost();
            bLost = bLost || bGone;
            if (!bGone) rovod::NoteResult(&p->reader, PlcOf(config), out.result, Lander(p));
            if (out.result != 0)
                out.error = gate->lastLine.empty() ? rovod::ResultText(out.result) : gate->lastLine;
            {
                std::lock_guard<PiMutex> lock(line->mutex);
                ++line->counters.writes;
            }
            // Read back, so that whoever reads next sees what the controller holds.
            if (out.result == 0 && !bLost) bLost = ReadInto(p, request.gate);
        }
        out.timeUs = WallUs();
        if (request.done) request.done(out);
    }
    return bLost;
}

// Until the deadline, a queued write or the stop; false on the stop.
bool WaitUntil(Line *line, Clock::time_point deadline) {
    std::unique_lock<PiMutex> lock(line->mutex);
    line->wake.wait_until(lock, deadline, [line] { return line->bStop || !line->writes.empty(); });
    return !line->bStop;
}

bool Stopping(Line *line) {
    std::lock_guard<PiMutex> lock(line->mutex);
    return line->bStop;
}

uint32_t ColdStartIn(Line *line, const rovod::PortOptions &port, std::string *pError) {
    std::lock_guard<std::mutex> lock(gColdStartMutex);
    const int here = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (here < 0 || chdir(line->config.controlDir.c_str()) != 0) {
        if (here >= 0) close(here);
        *pError = "cannot enter control_dir " + line->config.controlDir + ": " + std::strerror(errno);
        return ZEV_LINE_FAILURE;
    }
    const uint32_t result = rovod::StartSession(&line->session, port, pError);
    if (fchdir(here) != 0) Log("cannot return to the working directory: %s", std::strerror(errno));
    close(here);
    return result;
}

// One attempt to get the port open: the link resolved again, then ColdStart
// (first time), ReOpenCom (same device) or ChangeZevParams (another one).
bool TryOpen(Poll *p) {
    Line *line = p->line;
    const LineConfig &c = line->config;
    const std::string device = rovod::ResolvePort(c.port);
    if (device.size() > rovod::kPortNameChars) {
        p->closedReason =
            device == c.port
                ? "port " + c.port + " is not there (no device of at most 11 characters)"
                : "port " + c.port + " resolves to " + device + ", longer than the driver's 11 characters";
        return false;
    }
    {
        std::lock_guard<PiMutex> lock(line->mutex);
        line->portShown = device;
    }
    rovod::PortOptions port;
    port.port = device;
    port.baud = c.baud;
    port.dataBits = c.dataBits;
    port.stopBits = c.stopBits;
    port.parity = c.parity;
    port.timeout = c.timeout;
    port.instance = c.instance;
    std::string error;
    uint32_t result = 0;
    if (!p->bInstalled) {
        result = ColdStartIn(line, port, &error);
        if (line->session.bStarted) {
            p->bInstalled = true;
            // The gates were checked at load; parsed again here for the records.
            for (size_t i = 0; i < p->gates.size(); ++i)
                if (rovod::ParseGate(&line->session, p->gates[i]) != 0)
                    Log("line %s: gate %s refused: %s", c.name.c_str(), p->gates[i]->address.c_str(),
                        p->gates[i]->lastLine.c_str());
        }
        p->held = device;
    } else if (device == p->held) {
        result = rovod::ReopenPort(&line->session, &error);
    } else {
        // The link leads to another device now (a new pty, a replugged adapter).
        result = rovod::ChangePort(&line->session, port, &error);
        p->held = device;
    }
    if (result != 0) {
        p->closedReason = "port " + device + ": " + error;
        return false;
    }
    p->closedReason.clear();
    return true;
}

// The line's transactions come before the serving and publishing threads:
// SCHED_FIFO at the lowest level where the process may use it (the driver
// raises a switched send to level 10 and comes back to this), else nice -5,
// else as it is. The thread sleeps in every wait of a transaction.
void RaisePriority(Line *line) {
    sched_param param{};
    param.sched_priority = 1;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) return;
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -5) == 0) return;
    if (line->bVerbose)
        Log("line %s: polls at normal priority (no SCHED_FIFO, no nice -5)", line->config.name.c_str());
}

void Run(Line *line) {
    RaisePriority(line);
    rovod::BindHost(&line->host);
    line->host.bEcho = line->bVerbose;
    line->host.echoTag = line->config.name + ": ";
    line->session.pZevMain = line->pZevMain;
    Poll p;
    p.line = line;
    for (const GateConfig &g : line->config.gates)
        p.gates.push_back(rovod::AddGate(g.address, g.bBlock, g.count, g.dataType));
    const size_t n = p.gates.size();
    InitReader(&p);
    std::vector<Clock::time_point> due(n, Clock::now());
    auto backoff = milliseconds(1000);
    Clock::time_point nextTry = Clock::now();
    while (!Stopping(line)) {
        if (!p.bOpen && Clock::now() >= nextTry) {
            p.bOpen = TryOpen(&p);
            if (p.bOpen) {
                backoff = milliseconds(1000);
            } else {
                nextTry = Clock::now() + backoff;
                backoff = std::min(backoff * 2, milliseconds(30000));
                SetStatus(line, false, p.closedReason);
            }
        }
        // A pass over the gates that are due, as the reader plans it.
        const Clock::time_point start = Clock::now();
        bool bAnyRead = false, bLost = false, bOnlyProbes = true;
        const uint64_t goodBefore = p.goodReads, requestsBefore = p.reader.requests;
        const double busyBefore = p.reader.busyMs;
        std::vector<bool> dueNow(n);
        for (size_t i = 0; i < n; ++i) {
            if (due[i] > start) continue;
            dueNow[i] = true;
            const GateConfig &g = line->config.gates[i];
            const auto interval = milliseconds(g.intervalMs ? g.intervalMs : line->config.intervalMs);
            due[i] += interval;
            if (due[i] <= start) due[i] = start + interval;
        }
        if (!p.bInstalled) {
            for (size_t i = 0; i < n; ++i) {
                if (!dueNow[i]) continue;
                ReadInto(&p, i);
                bAnyRead = true;
            }
        } else {
            for (const rovod::PlannedRead &read : rovod::PlanCycle(&p.reader, dueNow)) {
                bLost = ServeWrites(&p);
                if (bLost || Stopping(line)) break;
                if (!rovod::Execute(&p.reader, read, Lander(&p))) continue;
                bAnyRead = true;
                bOnlyProbes = bOnlyProbes && read.bProbe;
                bLost = TakeLost(&p);
                if (bLost) break;
            }
        }
        const bool bAnyOk = p.goodReads != goodBefore;
        if (bAnyRead && p.bOpen) {
            const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            std::lock_guard<PiMutex> lock(line->mutex);
            LineCounters &c = line->counters;
            ++c.cycles;
            ++c.windowCycles;
            c.lastCycleMs = ms;
            c.maxCycleMs = std::max(c.maxCycleMs, ms);
            c.sumCycleMs += ms;
            c.windowRequests += p.reader.requests - requestsBefore;
            c.windowBusyMs += p.reader.busyMs - busyBefore;
            line->turnaroundMs = p.reader.model.turnaroundMs;
        }
        if (!bLost) bLost = ServeWrites(&p);
        // The cycle's samples are complete: the publisher may commit them.
        if (bAnyRead) {
            {
                std::lock_guard<PiMutex> lock(line->mutex);
                ++line->passes;
            }
            Notify(line->pNotify);
        }
        if (bLost) {
            rovod::ClosePort(&line->session);
            p.bOpen = false;
            p.closedReason = "port " + line->portShown + " lost";
            SetStatus(line, false, p.closedReason);
            nextTry = Clock::now() + backoff;
            continue;
        }
        // A pass of probes alone says nothing of the controllers that answer.
        if (p.bOpen && bAnyRead && (!bOnlyProbes || AllSilent(p.reader)))
            SetStatus(line, bAnyOk, bAnyOk ? "" : "no controller answers");
        Clock::time_point next = *std::min_element(due.begin(), due.end());
        // Without a port every read fails at once: once a second is enough.
        if (!p.bOpen) next = std::min(std::max(next, Clock::now() + milliseconds(1000)), nextTry);
        // Nor does a real-time thread go round without a pause when nothing
        // answers, whatever the interval.
        if (p.bOpen && bAnyRead && !bAnyOk) next = std::max(next, start + milliseconds(10));
        if (!WaitUntil(line, next)) break;
    }
    // Whatever is still queued is not written.
    std::deque<WriteRequest> left;
    {
        std::lock_guard<PiMutex> lock(line->mutex);
        left.swap(line->writes);
    }
    for (WriteRequest &request : left) {
        WriteOutcome out{ZEV_REJECTED, "the gateway is stopping the line", request.value, WallUs()};
        if (request.done) request.done(out);
    }
    if (p.bOpen) rovod::ClosePort(&line->session);
    rovod::BindHost(nullptr);
}

}  // namespace

void StartLine(Line *line) { line->thread = std::thread(Run, line); }

void StopLine(Line *line) {
    {
        std::lock_guard<PiMutex> lock(line->mutex);
        line->bStop = true;
    }
    line->wake.notify_all();
    if (line->thread.joinable()) line->thread.join();
}

}  // namespace gateway
