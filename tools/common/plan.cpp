#include "plan.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <set>

namespace rovod {

LineModel ModelFor(const PortOptions &port) {
    LineModel model;
    const double bits = port.stopBits * 0.5 + (port.parity ? 1.0 : 0.0) + port.dataBits + 2.0;
    model.charMs = port.baud ? bits * 1000.0 / port.baud : 0.0;
    // The driver sleeps this gap (whole milliseconds) before every request.
    model.gapMs = std::min(std::floor(model.charMs * 3.5), 5000.0);
    return model;
}

double TurnaroundMs(const LineModel &model, int plc) {
    const auto it = model.turnaroundMs.find(plc);
    return it != model.turnaroundMs.end() ? it->second : model.assumedTurnaroundMs;
}

namespace {

int Hex(const std::string &text, size_t at, size_t width) {
    if (text.size() < at + width) return 0;
    return static_cast<int>(std::strtol(text.substr(at, width).c_str(), nullptr, 16));
}

}  // namespace

PlanGate PlanGateOf(const std::string &address, bool bBlock, int32_t count) {
    PlanGate g;
    if (address.empty() || address[0] == '$') {
        g.plc = 255;
        return g;
    }
    g.plc = Hex(address, 0, 2);
    g.mem = MemTypeOf(address);
    g.first = Hex(address, 5, 2);
    if (g.mem == 'X') g.first += 256 * Hex(address, 3, 2);
    if (g.mem == '2' || g.mem == '3') g.first = 0;
    g.count = bBlock ? std::max(count, 1) : 1;
    if (address.size() == 8 && std::strchr("2IX", g.mem) &&
        std::isxdigit(static_cast<unsigned char>(address[7])))
        g.bit = Hex(address, 7, 1);
    g.bGroup = g.mem != 0 && std::strchr("AFPRIX", g.mem) != nullptr;
    return g;
}

int MaxElements(char mem) {
    if (mem != 0 && std::strchr("AFPR", mem)) return 8;
    if (mem == 'I' || mem == 'X') return 63;
    return 0;
}

size_t RequestChars(const PlannedRead &read) {
    if (read.mem == '2' || read.mem == '3') return 6;
    if (read.mem != 0 && std::strchr("AFPRIX", read.mem)) return 14;
    return 0;  // Z and the parameter gates: no line traffic
}

size_t ReplyChars(const PlannedRead &read) {
    const size_t n = static_cast<size_t>(std::max(read.count, 1));
    switch (read.mem) {
        case '2':
            return 19;
        case '3':
            return 2 * n + 19;
        case 'I':
        case 'X':
            return n + 9;
        case 'A':
        case 'F':
        case 'P':
        case 'R':
            return 2 * n + 9;
        default:
            return 0;
    }
}

double RequestMs(const PlannedRead &read, const LineModel &model) {
    const size_t chars = RequestChars(read) + ReplyChars(read);
    if (chars == 0) return 0;
    return model.gapMs + static_cast<double>(chars) * model.charMs + TurnaroundMs(model, read.plc);
}

namespace {

PlannedRead Single(const std::vector<PlanGate> &gates, size_t i) {
    PlannedRead r;
    r.plc = gates[i].plc;
    r.mem = gates[i].mem;
    r.first = gates[i].first;
    r.count = gates[i].count;
    r.gates = {i};
    return r;
}

int Last(const PlanGate &g) { return g.first + g.count - 1; }

// The cheapest split of one controller's gates of one type (by element) into
// runs: each run one request, its cost the line time of its span.
void PlanGroup(const std::vector<PlanGate> &gates, const std::vector<size_t> &members, const LineModel &model,
               std::vector<PlannedRead> *pOut) {
    const size_t n = members.size();
    const int limit = MaxElements(gates[members[0]].mem);
    std::vector<double> best(n + 1, std::numeric_limits<double>::infinity());
    std::vector<size_t> from(n + 1, 0);
    best[0] = 0;
    for (size_t j = 1; j <= n; ++j) {
        int last = -1;
        // Longer runs are tried after shorter ones and win only when cheaper.
        for (size_t i = j; i >= 1; --i) {
            const PlanGate &g = gates[members[i - 1]];
            last = std::max(last, Last(g));
            const int count = last - g.first + 1;
            if (count > limit) break;
            PlannedRead r = Single(gates, members[i - 1]);
            if (i < j) r.count = count;
            const double cost = best[i - 1] + RequestMs(r, model);
            if (cost < best[j] - 1e-9) {
                best[j] = cost;
                from[j] = i - 1;
            }
        }
    }
    std::vector<PlannedRead> runs;
    for (size_t j = n; j > 0; j = from[j]) {
        const size_t i = from[j];
        if (j - i == 1) {
            runs.push_back(Single(gates, members[i]));
            continue;
        }
        PlannedRead r = Single(gates, members[i]);
        r.bBlock = true;
        r.gates.assign(members.begin() + static_cast<std::ptrdiff_t>(i),
                       members.begin() + static_cast<std::ptrdiff_t>(j));
        int last = -1;
        for (size_t k : r.gates) last = std::max(last, Last(gates[k]));
        r.count = last - r.first + 1;
        runs.push_back(r);
    }
    pOut->insert(pOut->end(), runs.rbegin(), runs.rend());
}

}  // namespace

std::vector<PlannedRead> PlanSingles(const std::vector<PlanGate> &gates, const std::vector<size_t> &which) {
    std::vector<PlannedRead> out;
    for (size_t i : which) out.push_back(Single(gates, i));
    return out;
}

std::vector<PlannedRead> Plan(const std::vector<PlanGate> &gates, const std::vector<size_t> &which,
                              const LineModel &model, bool bBlocks, const std::vector<bool> &alone) {
    if (!bBlocks) return PlanSingles(gates, which);
    std::vector<size_t> order = which;
    std::stable_sort(order.begin(), order.end(), [&gates](size_t a, size_t b) {
        const PlanGate &x = gates[a], &y = gates[b];
        if (x.plc != y.plc) return x.plc < y.plc;
        if (x.mem != y.mem) return x.mem < y.mem;
        if (x.first != y.first) return x.first < y.first;
        return Last(x) < Last(y);
    });
    std::vector<PlannedRead> out;
    std::vector<size_t> group;
    const auto flush = [&] {
        if (!group.empty()) PlanGroup(gates, group, model, &out);
        group.clear();
    };
    for (size_t i : order) {
        const PlanGate &g = gates[i];
        const bool bGroup = g.bGroup && (i >= alone.size() || !alone[i]);
        if (!group.empty() && (!bGroup || gates[group[0]].plc != g.plc || gates[group[0]].mem != g.mem))
            flush();
        if (bGroup)
            group.push_back(i);
        else
            out.push_back(Single(gates, i));
    }
    flush();
    // In the order the gates were given: a request where its first gate is.
    std::stable_sort(out.begin(), out.end(), [](const PlannedRead &a, const PlannedRead &b) {
        return *std::min_element(a.gates.begin(), a.gates.end()) <
               *std::min_element(b.gates.begin(), b.gates.end());
    });
    return out;
}

PlanTotals Totals(const std::vector<PlannedRead> &plan, const LineModel &model) {
    PlanTotals t;
    for (const PlannedRead &r : plan) {
        const size_t chars = RequestChars(r) + ReplyChars(r);
        if (chars == 0) continue;
        ++t.requests;
        t.chars += chars;
        t.ms += RequestMs(r, model);
    }
    return t;
}

namespace {

std::string Format(const char *pszFormat, double a, double b = 0, double c = 0) {
    char text[160];
    std::snprintf(text, sizeof text, pszFormat, a, b, c);
    return text;
}

std::string Elements(const PlannedRead &r) {
    char text[48];
    const bool bBytes = r.mem == 'I' || r.mem == 'X';
    if (r.count <= 1)
        std::snprintf(text, sizeof text, bBytes ? "byte %02X" : "%02X", r.first);
    else
        std::snprintf(text, sizeof text, "%02X..%02X (%d)", r.first, r.first + r.count - 1, r.count);
    return text;
}

}  // namespace

std::string DescribePlan(const std::vector<PlannedRead> &plan, const std::vector<PlanGate> &gates,
                         const std::vector<std::string> &names, const LineModel &model) {
    std::string out = Format("  model: a character %.3f ms, gap %.0f ms before each request, turnaround",
                             model.charMs, model.gapMs);
    std::set<int> plcs;
    for (const PlannedRead &r : plan)
        if (RequestChars(r) != 0) plcs.insert(r.plc);
    bool bFirst = true;
    for (int plc : plcs) {
        const bool bMeasured = model.turnaroundMs.count(plc) != 0;
        out += (bFirst ? " " : ", ") + std::string("controller ") + std::to_string(plc) +
               Format(" %.1f ms", TurnaroundMs(model, plc)) + (bMeasured ? " (measured)" : " (assumed)");
        bFirst = false;
    }
    out += "\n";
    size_t n = 0;
    std::vector<size_t> all;
    for (const PlannedRead &r : plan) {
        for (size_t g : r.gates) all.push_back(g);
        const size_t req = RequestChars(r), reply = ReplyChars(r);
        if (req == 0) continue;
        char head[96];
        std::snprintf(head, sizeof head, "  %3zu  controller %-3d %c %-14s %2zu+%-3zu chars %6.1f ms  ", ++n,
                      r.plc, r.mem, Elements(r).c_str(), req, reply, RequestMs(r, model));
        std::string line = head;
        line += r.bBlock ? "block: " : "single: ";
        for (size_t k = 0; k < r.gates.size(); ++k) line += (k ? " " : "") + names[r.gates[k]];
        out += line + "\n";
    }
    const PlanTotals planned = Totals(plan, model);
    std::sort(all.begin(), all.end());
    const PlanTotals singles = Totals(PlanSingles(gates, all), model);
    out += "  per cycle: " + std::to_string(planned.requests) + " requests, " +
           std::to_string(planned.chars) + " characters, " + Format("%.1f ms", planned.ms) +
           "; one request per gate: " + std::to_string(singles.requests) + " requests, " +
           std::to_string(singles.chars) + " characters, " +
           Format("%.1f ms (%.2f x)", singles.ms, singles.ms > 0 ? planned.ms / singles.ms : 1.0) + "\n";
    return out;
}

}  // namespace rovod
