#include "reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>

namespace rovod {

using SteadyClock = HostClock;

int64_t WallNowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string WallText(int64_t us) {
    const std::time_t secs = static_cast<std::time_t>(us / 1000000);
    std::tm parts{};
#if defined(_WIN32)
    gmtime_s(&parts, &secs);
#else
    gmtime_r(&secs, &parts);
#endif
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  static_cast<int>(us / 1000 % 1000));
    return text;
}

std::vector<int> Controllers(const Reader &r) {
    std::set<int> plcs;
    for (const PlanGate &g : r.plan)
        if (g.plc != 255 && g.mem != 0) plcs.insert(g.plc);
    return {plcs.begin(), plcs.end()};
}

bool Silent(const Reader &r, int plc) {
    const auto it = r.controllers.find(plc);
    return it != r.controllers.end() && it->second.bSilent;
}

std::string SilentReason(const Reader &r, int plc) {
    const auto it = r.controllers.find(plc);
    const int64_t since = it != r.controllers.end() ? it->second.sinceUs : 0;
    return "controller " + std::to_string(plc) + " silent since " + WallText(since);
}

void InitReader(Reader *r, Session *session, const std::vector<Gate *> &gates, const PortOptions &port,
                bool bBlocks, uint32_t silentRetryMs) {
    r->session = session;
    r->gates = gates;
    r->plan.clear();
    for (const Gate *g : gates) r->plan.push_back(PlanGateOf(g->address, g->bBlock, g->iCount));
    r->alone.assign(gates.size(), false);
    r->model = ModelFor(port);
    r->bBlocks = bBlocks;
    r->silentRetryMs = silentRetryMs;
    r->controllers.clear();
    for (int plc : Controllers(*r)) r->controllers[plc] = ControllerState{};
}

std::vector<PlannedRead> PlanCycle(Reader *r, const std::vector<bool> &due) {
    const SteadyTime now = SteadyClock::now();
    std::vector<size_t> which;
    std::vector<PlannedRead> probes;
    std::set<int> probed;
    for (size_t i = 0; i < r->gates.size(); ++i) {
        const PlanGate &g = r->plan[i];
        const auto it = r->controllers.find(g.plc);
        ControllerState *c = it != r->controllers.end() ? &it->second : nullptr;
        if (c != nullptr && c->bSilent) {
            PlannedRead probe;
            probe.plc = g.plc;
            probe.mem = g.mem;
            probe.first = g.first;
            probe.count = g.count;
            probe.bProbe = true;
            probe.gates = {i};
            if (now >= c->nextProbe && RequestChars(probe) != 0 && probed.insert(g.plc).second)
                probes.push_back(probe);
            continue;
        }
        if (due[i] || (c != nullptr && c->bBack)) which.push_back(i);
    }
    for (auto &[plc, c] : r->controllers) c.bBack = false;
    std::vector<PlannedRead> out = Plan(r->plan, which, r->model, r->bBlocks, r->alone);
    out.insert(out.end(), probes.begin(), probes.end());
    return out;
}

void NoteResult(Reader *r, int plc, uint32_t result, const LandFn &land) {
    const auto it = r->controllers.find(plc);
    if (it == r->controllers.end()) return;
    ControllerState &c = it->second;
    const SteadyTime now = SteadyClock::now();
    // A port that has gone says nothing of the controller.
    if (result == ZEV_LINE_FAILURE && r->bPortLost) return;
    if (result == ZEV_LINE_FAILURE) {
        ++c.noReply;
        if (c.bSilent) {
            c.nextProbe = now + std::chrono::milliseconds(r->silentRetryMs);
            return;
        }
        if (c.noReply < 2) return;
        c.bSilent = c.bKnown = true;
        c.sinceUs = WallNowUs();
        c.nextProbe = now + std::chrono::milliseconds(r->silentRetryMs);
        if (r->log)
            r->log("controller " + std::to_string(plc) +
                   " silent: two requests in a row without a reply; its gates keep their last values, "
                   "one read every " +
                   std::to_string(r->silentRetryMs) + " ms until it answers");
        if (r->onStatus) r->onStatus(plc, false);
        const std::string reason = SilentReason(*r, plc);
        for (size_t i = 0; i < r->gates.size(); ++i) {
            if (r->plan[i].plc != plc) continue;
            r->gates[i]->lastResult = ZEV_LINE_FAILURE;
            r->gates[i]->lastLine = reason;
            if (land) land({i, ZEV_LINE_FAILURE, 0, false, reason});
        }
        return;
    }
    c.noReply = 0;
    if (c.bSilent) {
        c.bSilent = false;
        c.bBack = true;
        if (r->log)
            r->log("controller " + std::to_string(plc) + " answers again (silent since " +
                   WallText(c.sinceUs) + "); all its gates are read in the next cycle");
        if (r->onStatus) r->onStatus(plc, true);
    } else if (!c.bKnown && r->onStatus) {
        r->onStatus(plc, true);
    }
    c.bKnown = true;
}

namespace {

// One driver read, timed: the line time and, from a clean exchange, the
// controller's turnaround (what the exchange took beyond gap and characters).
uint32_t Timed(Reader *r, Gate *gate, const PlannedRead &read, uint32_t *pRetries) {
    const uint32_t before = gate->retries;
    const SteadyTime start = SteadyClock::now();
    const uint32_t result = ReadGate(r->session, gate);
    const double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
    *pRetries = gate->retries - before;
    if (PortLost()) r->bPortLost = true;
    const size_t chars = RequestChars(read) + ReplyChars(read);
    if (chars == 0) return result;
    ++r->requests;
    r->busyMs += ms;
    if (result == 0 && *pRetries == 0) {
        const double t = std::max(0.0, ms - r->model.gapMs - static_cast<double>(chars) * r->model.charMs);
        const auto it = r->model.turnaroundMs.find(read.plc);
        if (it == r->model.turnaroundMs.end())
            r->model.turnaroundMs[read.plc] = t;
        else
            it->second = 0.8 * it->second + 0.2 * t;
    }
    return result;
}

}  // namespace

PlannedRead OwnRead(const Reader &r, size_t i) {
    const PlanGate &g = r.plan[i];
    PlannedRead read;
    read.plc = g.plc;
    read.mem = g.mem;
    read.first = g.first;
    read.count = g.count;
    read.gates = {i};
    return read;
}

namespace {

// One gate's own read.
uint32_t ReadOne(Reader *r, size_t i, const LandFn &land) {
    Gate *gate = r->gates[i];
    const PlannedRead read = OwnRead(*r, i);
    uint32_t retries = 0;
    const uint32_t result = Timed(r, gate, read, &retries);
    if (RequestChars(read) != 0) NoteResult(r, read.plc, result, land);
    ReadOutcome out{i, result, retries, true, result ? gate->lastLine : ""};
    if (result != 0 && Silent(*r, read.plc)) gate->lastLine = out.reason = SilentReason(*r, read.plc);
    if (land) land(out);
    return result;
}

// The driver's block gate for these elements, parsed once.
Gate *BlockGate(Reader *r, int plc, char mem, int first, int count) {
    char address[16];
    std::snprintf(address, sizeof address, "%02X%c%02X%02X", plc & 0xFF, mem, (first >> 8) & 0xFF,
                  first & 0xFF);
    const std::string key = std::string(address) + "/" + std::to_string(count);
    const auto it = r->blockByKey.find(key);
    if (it != r->blockByKey.end()) return it->second;
    Gate &gate = r->blockGates.emplace_back();
    gate.address = address;
    gate.bBlock = true;
    gate.iCount = count;
    gate.iDataType = DataTypeFor(gate.address);
    gate.def.pszAddress = gate.address.c_str();
    gate.def.iDataType = gate.iDataType;
    gate.def.iBlockSize = count;
    gate.rec.pszAddress = gate.address.c_str();
    gate.rec.iCount = count;
    gate.rec.pValue = gate.value;
    Gate *pGate = ParseGate(r->session, &gate) == 0 ? &gate : nullptr;
    r->blockByKey[key] = pGate;
    return pGate;
}

// The block's values of one gate into its buffer, as its own read puts them:
// a float at the start of a value word, a byte (or its bit) in the second
// 16-bit half; a block gate's values from the start.
void LandFromBlock(Reader *r, const Gate &block, const PlannedRead &read, size_t i) {
    Gate *gate = r->gates[i];
    const PlanGate &g = r->plan[i];
    const size_t offset = static_cast<size_t>(g.first - read.first);
    const bool bWords = std::strchr("AFPR", g.mem) != nullptr;
    for (size_t k = 0; k < static_cast<size_t>(g.count); ++k) {
        if (bWords) {
            std::memcpy(gate->value + 4 * k, block.value + 4 * (offset + k), 4);
            continue;
        }
        uint16_t v;
        std::memcpy(&v, block.value + 2 * (offset + k), sizeof v);
        if (gate->bBlock) {
            std::memcpy(gate->value + 2 * k, &v, sizeof v);
        } else {
            if (g.bit >= 0) v = static_cast<uint16_t>((v >> g.bit) & 1);
            std::memcpy(gate->value + 2, &v, sizeof v);
        }
    }
    gate->lastResult = 0;
    gate->lastLine.clear();
}

// A block read of some of the request's gates (by position, from..to):
// its result, with the silence noted.
uint32_t TryRun(Reader *r, const PlannedRead &read, size_t from, size_t to, const LandFn &land) {
    PlannedRead run = read;
    run.gates.assign(read.gates.begin() + static_cast<std::ptrdiff_t>(from),
                     read.gates.begin() + static_cast<std::ptrdiff_t>(to) + 1);
    run.first = r->plan[run.gates.front()].first;
    int last = run.first;
    for (size_t i : run.gates) last = std::max(last, r->plan[i].first + r->plan[i].count - 1);
    run.count = last - run.first + 1;
    Gate *block = BlockGate(r, run.plc, run.mem, run.first, run.count);
    if (block == nullptr) return ZEV_REJECTED;
    uint32_t retries = 0;
    const uint32_t result = Timed(r, block, run, &retries);
    NoteResult(r, run.plc, result, land);
    return result;
}

void MarkAlone(Reader *r, size_t i, const std::string &why) {
    if (r->alone[i]) return;
    r->alone[i] = true;
    if (r->log)
        r->log("gate " + r->gates[i]->address + " of controller " + std::to_string(r->plan[i].plc) + " " +
               why + ": read alone from now on");
}

// A block the controller refused: its gates read one by one (each gets its
// value now); a gate that fails alone too is kept out of blocks, and when
// every one answers alone, the shortest run from the first gate that the
// controller still refuses names the gate it will not give in a block.
void Isolate(Reader *r, const PlannedRead &read, const LandFn &land) {
    std::vector<size_t> good;
    bool bAllGood = true;
    for (size_t i : read.gates) {
        const uint32_t result = ReadOne(r, i, land);
        if (r->bPortLost || Silent(*r, read.plc)) return;
        if (result == 0) {
            good.push_back(i);
            continue;
        }
        bAllGood = false;
        if (result == ZEV_REJECTED || result == 3) MarkAlone(r, i, "fails on its own too");
    }
    if (!bAllGood || good.size() < 2) return;
    PlannedRead kept = read;
    kept.gates = good;
    size_t lo = 0, hi = good.size() - 1;  // the run up to lo answers, up to hi does not
    while (hi - lo > 1) {
        const size_t mid = (lo + hi) / 2;
        const uint32_t result = TryRun(r, kept, 0, mid, land);
        if (r->bPortLost || result == ZEV_LINE_FAILURE) return;
        (result == 0 ? lo : hi) = mid;
    }
    size_t culprit = good[hi];
    // The first two refused together: the first is to blame when the rest answer without it.
    if (hi == 1 && good.size() > 2) {
        const uint32_t result = TryRun(r, kept, 1, good.size() - 1, land);
        if (r->bPortLost || result == ZEV_LINE_FAILURE) return;
        if (result == 0) culprit = good[0];
    }
    MarkAlone(r, culprit,
              "is refused in a block read (" + r->gates[culprit]->address + " read alone answers)");
}

void ReadBlock(Reader *r, const PlannedRead &read, const LandFn &land) {
    Gate *block = BlockGate(r, read.plc, read.mem, read.first, read.count);
    if (block == nullptr) {
        // The driver will not take this block: its gates go alone.
        for (size_t i : read.gates) MarkAlone(r, i, "cannot share the block " + std::to_string(read.count));
        for (size_t i : read.gates) ReadOne(r, i, land);
        return;
    }
    uint32_t retries = 0;
    const uint32_t result = Timed(r, block, read, &retries);
    if (result == ZEV_REJECTED || result == 3) {
        NoteResult(r, read.plc, result, land);
        if (!r->bPortLost) Isolate(r, read, land);
        return;
    }
    NoteResult(r, read.plc, result, land);
    if (result != 0 && Silent(*r, read.plc)) return;  // its gates were marked
    bool bFirst = true;
    for (size_t i : read.gates) {
        Gate *gate = r->gates[i];
        if (bFirst) gate->retries += retries;
        if (result == 0) {
            LandFromBlock(r, *block, read, i);
        } else {
            gate->lastResult = result;
            gate->lastLine = block->lastLine;
            ++gate->errors;
        }
        if (land) land({i, result, bFirst ? retries : 0, true, result ? block->lastLine : ""});
        bFirst = false;
    }
}

}  // namespace

bool Execute(Reader *r, const PlannedRead &read, const LandFn &land) {
    if (!read.bProbe && Silent(*r, read.plc)) return false;
    if (read.bBlock)
        ReadBlock(r, read, land);
    else
        ReadOne(r, read.gates[0], land);
    return true;
}

}  // namespace rovod
