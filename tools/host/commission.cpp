// Putting a line into service: which controllers answer and at what rate
// (scan), how healthy the line is (check), which ports the machine has
// (ports). Every exchange goes through the driver, as the host's would.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <sstream>

#include "cli.h"
#include "system.h"

namespace rovod {

double CharMs(const PortOptions &port) {
    const double bits = port.stopBits * 0.5 + (port.parity ? 1.0 : 0.0) + port.dataBits + 2.0;
    return port.baud ? bits * 1000.0 / port.baud : 0.0;
}

size_t RequestBytes(const Gate &gate) {
    const char mem = MemTypeOf(gate.address);
    return mem == '2' || mem == '3' ? 6 : 14;
}

size_t ReplyBytes(const Gate &gate) {
    const size_t count = static_cast<size_t>(std::max(gate.rec.iCount, 1));
    switch (MemTypeOf(gate.address)) {
        case '2':
            return 19;
        case '3':
            return 2 * count + 19;
        case 'I':
        case 'X':
            return count + 9;
        default:
            return 2 * count + 9;
    }
}

namespace {

double MsSince(HostClock::time_point start) {
    return std::chrono::duration<double, std::milli>(HostClock::now() - start).count();
}

// "1..126", "1,2,5", "1-8,20": numbers lo..hi in the order given.
bool ParseList(const std::string &text, long lo, long hi, std::vector<long> *pOut) {
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');) {
        size_t dash = item.find("..");
        size_t skip = 2;
        if (dash == std::string::npos) {
            dash = item.find('-', 1);
            skip = 1;
        }
        char *end = nullptr;
        const long first = std::strtol(item.c_str(), &end, 10);
        long last = first;
        if (dash != std::string::npos) {
            if (end != item.c_str() + dash) return false;
            const std::string tail = item.substr(dash + skip);
            last = std::strtol(tail.c_str(), &end, 10);
            if (tail.empty() || *end != '\0') return false;
        } else if (item.empty() || *end != '\0') {
            return false;
        }
        if (first < lo || last > hi || first > last) return false;
        for (long v = first; v <= last; ++v) pOut->push_back(v);
    }
    return !pOut->empty();
}

std::string Ms(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", ms);
    return text;
}

#if defined(ROVOD_HAVE_PORTS)
// Above 1 ms an adapter's latency timer adds to every reply: what to do, or
// "" when there is nothing to do.
std::string LatencyAdvice(const nlohmann::json &port) {
    const int ms = port.value("latency_timer_ms", 0);
    if (ms <= 1) return "";
    const std::string name = port.value("name", "");
    return "latency: " + port.value("device", "") + " holds received bytes up to " + std::to_string(ms) +
           " ms before it hands them on (latency_timer), which adds to every reply; set 1 ms: echo 1 | sudo "
           "tee /sys/bus/usb-serial/devices/" +
           name + "/latency_timer (a udev rule keeps it, see the README)";
}

// The listing's entry for the port the driver opened (by its device number
// where it has one, so that any name of it will do), or null.
nlohmann::json PortEntry(const std::string &port) {
    nlohmann::json ports;
    std::string error;
    if (!ListPorts(&ports, &error)) return nullptr;
    const std::string devnum = DeviceNumber(port);
    for (const auto &p : ports) {
        if (devnum.empty() ? p.value("name", "") == port : p.value("devnum", "") == devnum) return p;
    }
    return nullptr;
}
#endif

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const size_t at =
        static_cast<size_t>(std::ceil(p * static_cast<double>(values.size()))) - (p > 0 ? 1 : 0);
    return values[std::min(at, values.size() - 1)];
}

// A reply time-out that covers the exchange at this rate with room to spare.
uint32_t ScanTimeout(const PortOptions &port) {
    const double ms = 25 * CharMs(port) + 50.0;
    return static_cast<uint32_t>(std::ceil(ms / 10.0));
}

struct Found {
    long plc;
    uint16_t baud;
    std::vector<double> status;
    double rttMs;
    uint32_t retries;
};

struct Progress {
    bool bTerminal = false;
    size_t total = 0;
    double lastLine = -1e9;
};

void ShowProgress(Progress *progress, size_t done, long plc, uint16_t baud, size_t found, double elapsedMs) {
    const double leftS =
        done ? elapsedMs / static_cast<double>(done) * static_cast<double>(progress->total - done) / 1000.0
             : 0.0;
    const int percent = static_cast<int>(100 * done / std::max<size_t>(progress->total, 1));
    if (progress->bTerminal) {
        char bar[31];
        const int filled = percent * 30 / 100;
        for (int i = 0; i < 30; ++i) bar[i] = i < filled ? '#' : '-';
        bar[30] = '\0';
        std::fprintf(stderr, "\r\033[Kscan [%s] %3d%%  plc %3ld @ %5u  found %zu  %.0f s left", bar, percent,
                     plc, baud, found, leftS);
        std::fflush(stderr);
        return;
    }
    // Plain lines, at most one every two seconds.
    if (elapsedMs - progress->lastLine < 2000.0 && done != progress->total) return;
    progress->lastLine = elapsedMs;
    std::fprintf(stderr, "scan: %zu of %zu asked (%d%%), plc %ld at %u baud, found %zu, about %.0f s left\n",
                 done, progress->total, percent, plc, baud, found, leftS);
}

std::string StatusText(const std::vector<double> &status) {
    std::string text;
    for (double v : status) {
        char cell[8];
        std::snprintf(cell, sizeof cell, "%s%02X", text.empty() ? "" : " ", static_cast<unsigned>(v) & 0xFF);
        text += cell;
    }
    return text;
}

}  // namespace

int CmdScan(const Options &options, const char *argv0) {
    std::vector<long> plcs, bauds;
    if (!ParseList(options.scanPlcs, 1, 126, &plcs))
        return Fail(options, kUsage, "--plc wants addresses 1..126: a list (1,2,5) or a range (1..126)");
    if (!ParseList(options.scanBauds, 1, 65535, &bauds))
        return Fail(options, kUsage, "--baud wants rates separated by commas, e.g. 9600,19200");
    Options first = options;
    first.port.baud = static_cast<uint16_t>(bauds[0]);
    if (!options.bTimeoutGiven) first.port.timeout = ScanTimeout(first.port);
    Run run;
    if (int rc = Open(first, argv0, &run, true)) return rc;
    // One status-block gate per address; the driver parses it once.
    for (long plc : plcs) {
        char address[8];
        std::snprintf(address, sizeof address, "%02lX20000", plc);
        AddGate(address, true, 10, ZEV_TYPE_ANALOG16_0);
    }
    if (int rc = ParseAll(options, &run)) return rc;
    Gate *gap = AddGate("$IFG", false, 1, ZEV_TYPE_ANALOG16_0);
    ParseGate(&run.session, gap);
    CatchInterrupt();

    Progress progress;
    progress.bTerminal = StderrIsTerminal();
    progress.total = plcs.size() * bauds.size();
    std::vector<Found> found;
    size_t done = 0;
    const auto start = HostClock::now();
    for (size_t b = 0; b < bauds.size() && !gInterrupted.load(); ++b) {
        PortOptions port = run.port;
        port.baud = static_cast<uint16_t>(bauds[b]);
        if (!options.bTimeoutGiven) port.timeout = ScanTimeout(port);
        if (b > 0) {
            std::string error;
            if (const uint32_t result = ChangePort(&run.session, port, &error))
                return Fail(options, static_cast<int>(result), error);
            // The driver keeps the gap of its first rate: 3.5 characters of this one.
            const uint16_t ifg = static_cast<uint16_t>(CharMs(port) * 3.5);
            std::memcpy(gap->value + 2, &ifg, sizeof ifg);
            WriteGate(&run.session, gap);
        }
        for (size_t i = 0; i < plcs.size() && !gInterrupted.load(); ++i) {
            Gate &gate = Gates()[i];
            ShowProgress(&progress, done, plcs[i], port.baud, found.size(), MsSince(start));
            const uint32_t retriesBefore = gate.retries;
            const auto asked = HostClock::now();
            const uint32_t result = ReadGate(&run.session, &gate);
            const double rtt = MsSince(asked);
            ++done;
            if (result == 0)
                found.push_back({plcs[i], port.baud, Values(gate), rtt, gate.retries - retriesBefore});
        }
    }
    ShowProgress(&progress, done, plcs.back(), static_cast<uint16_t>(bauds.back()), found.size(),
                 MsSince(start));
    if (progress.bTerminal) std::fprintf(stderr, "\r\033[K");
    const bool bInterrupted = gInterrupted.load();
    const double seconds = MsSince(start) / 1000.0;

    if (options.bJson) {
        nlohmann::json list = nlohmann::json::array();
        for (const Found &f : found) {
            // Status bytes, as the table shows them.
            nlohmann::json status = nlohmann::json::array();
            for (double v : f.status) status.push_back(static_cast<unsigned>(v) & 0xFF);
            list.push_back({{"plc", f.plc},
                            {"baud", f.baud},
                            {"status", status},
                            {"rtt_ms", std::round(f.rttMs * 10) / 10},
                            {"retries", f.retries}});
        }
        PrintJson({{"result", found.empty() ? 1 : 0},
                   {"found", list},
                   {"asked", done},
                   {"planned", progress.total},
                   {"seconds", std::round(seconds * 10) / 10},
                   {"interrupted", bInterrupted}});
    } else {
        std::vector<std::vector<std::string>> rows;
        for (const Found &f : found) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "%02lX", f.plc);
            rows.push_back({std::to_string(f.plc), hex, std::to_string(f.baud), StatusText(f.status),
                            Ms(f.rttMs), std::to_string(f.retries)});
        }
        if (!rows.empty()) PrintTable({"PLC", "HEX", "BAUD", "STATUS BLOCK", "RTT MS", "RETRIES"}, rows);
        std::printf("%s%zu controller answer%s in %zu of %zu requests (%.1f s)\n",
                    bInterrupted ? "interrupted: " : "", found.size(), found.size() == 1 ? "" : "s", done,
                    progress.total, seconds);
        std::fflush(stdout);
    }
    if (bInterrupted) return kInterrupted;
    return found.empty() ? 1 : 0;
}

namespace {

struct Health {
    std::vector<double> rtt;  // reads that succeeded at the first attempt
    std::map<uint32_t, uint32_t> failures;
    uint32_t retries = 0;
    std::vector<double> planned, measured;  // switched sends: hold, ms
};

// The driver's trace of a switched send: "Send() Delay : Calc. %.3f, Prac. %.3f, ...".
void TakeHolds(Health *health) {
    for (const LogEntry &line : DriverLog()) {
        double calc = 0, prac = 0;
        if (std::sscanf(line.text.c_str(), "ROVOD> Send() Delay : Calc. %lf, Prac. %lf", &calc, &prac) == 2) {
            health->planned.push_back(calc);
            health->measured.push_back(prac);
        }
    }
}

double ReadParameter(Run *run, const char *address) {
    Gate *gate = AddGate(address, false, 1, DataTypeFor(address));
    if (ParseGate(&run->session, gate) != 0 || ReadGate(&run->session, gate) != 0) return 0.0;
    const std::vector<double> values = Values(*gate);
    return values.empty() ? 0.0 : values[0];
}

bool SwitchingOn() {
    for (const LogEntry &line : DriverLog())
        if (line.text.find("Switching signals is not enabled") != std::string::npos) return false;
    return true;
}

// The port turns RTS around itself (RS485 = ON, and the port took it).
bool KernelTurnaround() {
    for (const LogEntry &line : DriverLog())
        if (line.text.rfind("ROVOD> OpenCom() kernel RS485 mode:", 0) == 0) return true;
    return false;
}

}  // namespace

int CmdCheck(const Options &options, const char *argv0) {
    AddGates(options, false);
    const size_t gateCount = Gates().size();
    Run run;
    if (int rc = Open(options, argv0, &run, true)) return rc;
    const bool bSwitched = SwitchingOn();
    const bool bKernel = KernelTurnaround();
    if (int rc = ParseAll(options, &run)) return rc;
    const double gapMs = ReadParameter(&run, "$IFG");
    const double fDelayMs = ReadParameter(&run, "$FDELAY") / 10.0;
    if (bSwitched) {
        // The hold is traced only with the debug flag on.
        Gate *debug = AddGate("$DEBUG", false, 1, ZEV_TYPE_DIGITAL);
        const uint16_t on = 1;
        std::memcpy(debug->value + 2, &on, sizeof on);
        if (ParseGate(&run.session, debug) == 0) WriteGate(&run.session, debug);
    }
    CatchInterrupt();
    const double charMs = CharMs(run.port);
    std::vector<Health> health(gateCount);
    for (uint32_t n = 0; n < options.reads && !gInterrupted.load(); ++n) {
        for (size_t g = 0; g < gateCount; ++g) {
            Gate &gate = Gates()[g];
            const uint32_t retriesBefore = gate.retries;
            const auto asked = HostClock::now();
            const uint32_t result = ReadGate(&run.session, &gate);
            const double rtt = MsSince(asked);
            health[g].retries += gate.retries - retriesBefore;
            if (result != 0) ++health[g].failures[result];
            if (result == 0 && gate.retries == retriesBefore) health[g].rtt.push_back(rtt);
            TakeHolds(&health[g]);
        }
    }

    nlohmann::json gates = nlohmann::json::array();
    std::vector<std::vector<std::string>> rows, holdRows;
    std::vector<std::string> advice;
    double slowestReply = 0.0;
    uint32_t garbled = 0, missing = 0, refused = 0, total = 0;
    bool bFasterThanLine = false;
    for (size_t g = 0; g < gateCount; ++g) {
        const Gate &gate = Gates()[g];
        const Health &h = health[g];
        const double lineMs = charMs * static_cast<double>(RequestBytes(gate) + ReplyBytes(gate));
        const double median = Percentile(h.rtt, 0.5);
        // From the fastest round trip: the host's and the system's delays only add to it.
        const double minRtt = h.rtt.empty() ? 0.0 : *std::min_element(h.rtt.begin(), h.rtt.end());
        const double turnaround = h.rtt.empty() ? 0.0 : minRtt - gapMs - lineMs;
        // A reply faster than its frames' line time: the line takes no time
        // (a pseudo-terminal), so there is no turnaround to tell.
        const bool bTurnaround = !h.rtt.empty() && turnaround >= 0.0;
        bFasterThanLine = bFasterThanLine || (!h.rtt.empty() && !bTurnaround);
        const double maxRtt = h.rtt.empty() ? 0.0 : *std::max_element(h.rtt.begin(), h.rtt.end());
        slowestReply = std::max(slowestReply, maxRtt - gapMs);
        uint32_t fails = 0;
        std::string failText;
        for (const auto &[code, count] : h.failures) {
            fails += count;
            failText += (failText.empty() ? "" : " ") + std::to_string(count) + "x" + std::to_string(code);
        }
        garbled += h.failures.count(1) ? h.failures.at(1) : 0;
        missing += h.failures.count(2) ? h.failures.at(2) : 0;
        refused += h.failures.count(3) ? h.failures.at(3) : 0;
        total += static_cast<uint32_t>(h.rtt.size()) + fails;
        nlohmann::json j{{"address", gate.address}, {"reads", h.rtt.size() + fails},
                         {"clean", h.rtt.size()},   {"retries", h.retries},
                         {"line_ms", lineMs},       {"gap_ms", gapMs}};
        nlohmann::json byCode = nlohmann::json::object();
        for (const auto &[code, count] : h.failures) byCode[std::to_string(code)] = count;
        j["failures"] = byCode;
        if (!h.rtt.empty()) {
            j["rtt_ms"] = {
                {"min", minRtt}, {"median", median}, {"p99", Percentile(h.rtt, 0.99)}, {"max", maxRtt}};
            if (bTurnaround) j["turnaround_ms"] = turnaround;
        }
        if (!h.planned.empty())
            j["hold_ms"] = {{"planned", Percentile(h.planned, 0.5)},
                            {"measured", Percentile(h.measured, 0.5)},
                            {"measured_max", *std::max_element(h.measured.begin(), h.measured.end())}};
        gates.push_back(j);
        rows.push_back({gate.address, std::to_string(h.rtt.size() + fails), h.rtt.empty() ? "-" : Ms(minRtt),
                        h.rtt.empty() ? "-" : Ms(median), h.rtt.empty() ? "-" : Ms(Percentile(h.rtt, 0.99)),
                        h.rtt.empty() ? "-" : Ms(maxRtt), Ms(lineMs), Ms(gapMs),
                        bTurnaround ? Ms(turnaround) : "-", failText.empty() ? "0" : failText,
                        std::to_string(h.retries)});
        if (!h.planned.empty())
            holdRows.push_back({gate.address, Ms(charMs * static_cast<double>(RequestBytes(gate)) + fDelayMs),
                                Ms(Percentile(h.planned, 0.5)), Ms(Percentile(h.measured, 0.5)),
                                Ms(*std::max_element(h.measured.begin(), h.measured.end()))});
    }

    // Advice in plain words.
    if (bFasterThanLine)
        advice.push_back(
            "turnaround: replies came back faster than their frames take at this rate, so the "
            "port does not time the line (a pseudo-terminal); it cannot be told here");
    const double timeoutMs = run.port.timeout * 10.0;
    if (slowestReply > 0) {
        const uint32_t suggest = static_cast<uint32_t>(std::ceil((slowestReply * 1.5 + 20.0) / 10.0));
        char text[256];
        std::snprintf(
            text, sizeof text,
            "reply time-out: the slowest reply came %.0f ms after the request; --timeout %u (%u ms) "
            "leaves a margin; now %.0f ms%s",
            slowestReply, suggest, suggest * 10, timeoutMs,
            timeoutMs < slowestReply * 1.2 ? ", too short"
            : timeoutMs > suggest * 30.0   ? ", longer than needed"
                                           : "");
        advice.push_back(text);
    }
    const uint32_t shortestGap = static_cast<uint32_t>(charMs * 3.5);
    {
        char text[256];
        if (gapMs > shortestGap + 1)
            std::snprintf(text, sizeof text,
                          "gap: %.0f ms before each request could be %u ms (3.5 characters; IFG = %u in the "
                          "control-signal file)",
                          gapMs, shortestGap, shortestGap);
        else
            std::snprintf(text, sizeof text, "gap: %.0f ms is 3.5 characters at %u baud, the shortest to use",
                          gapMs, run.port.baud);
        advice.push_back(text);
    }
#if defined(ROVOD_HAVE_PORTS)
    if (const nlohmann::json entry = PortEntry(run.port.port); !entry.is_null()) {
        if (const std::string text = LatencyAdvice(entry); !text.empty()) advice.push_back(text);
    }
#endif
    if (garbled + missing + refused == 0) {
        advice.push_back("failures: none in " + std::to_string(total) + " reads");
    } else {
        if (garbled)
            advice.push_back(std::to_string(garbled) + " unusable replies (code 1): " +
                             (bSwitched
                                  ? "with RTS/DTR switching this points to the turnaround: the converter "
                                    "switches back too late and cuts the reply, so lower FDELAY"
                                  : "without switching this points to noise: check screening, "
                                    "termination and the ground of the line"));
        if (missing)
            advice.push_back(std::to_string(missing) + " missing replies (code 2): " +
                             (bSwitched
                                  ? "the converter may still be sending when the reply starts (hold too "
                                    "long) or the time-out is too short"
                                  : "check the time-out, the controller address and its rate"));
        if (refused)
            advice.push_back(std::to_string(refused) + " refusals (code 3): the controller said NAK");
    }

    if (options.bJson) {
        PrintJson({{"result", garbled + missing + refused ? 1 : 0},
                   {"baud", run.port.baud},
                   {"char_ms", charMs},
                   {"switched", bSwitched},
                   {"kernel_rs485", bKernel},
                   {"gates", gates},
                   {"advice", advice}});
    } else {
        std::printf("line check at %u baud: %.3f ms per character, gap %.0f ms, %s\n\n", run.port.baud,
                    charMs, gapMs,
                    bKernel     ? "RTS turned around by the kernel (RS-485 mode)"
                    : bSwitched ? "RTS/DTR switched"
                                : "no signal switching");
        PrintTable({"GATE", "READS", "MIN", "MEDIAN", "P99", "MAX", "LINE", "GAP", "TURNAROUND", "FAILURES",
                    "RETRIES"},
                   rows);
        if (!holdRows.empty()) {
            std::printf(
                "\nhold of the switched sends (ms): frame line time + FDELAY, as planned by the driver, "
                "as measured\n");
            PrintTable({"GATE", "FRAME+FDELAY", "PLANNED", "MEASURED", "MEASURED MAX"}, holdRows);
        }
        std::printf("\n");
        for (const std::string &text : advice) std::printf("- %s\n", text.c_str());
        std::fflush(stdout);
    }
    if (gInterrupted.load()) return kInterrupted;
    return garbled + missing + refused ? 1 : 0;
}

#if defined(ROVOD_HAVE_PORTS)
int CmdPorts(const Options &options) {
    nlohmann::json ports;
    std::string error;
    if (!ListPorts(&ports, &error)) return Fail(options, kNoDriver, error);
    std::vector<std::string> advice;
    for (const auto &p : ports)
        if (const std::string text = LatencyAdvice(p); !text.empty()) advice.push_back(text);
    if (options.bJson) {
        PrintJson({{"result", 0}, {"ports", ports}, {"advice", advice}});
        return 0;
    }
    std::vector<std::vector<std::string>> rows;
    for (const auto &p : ports) {
        std::string usb;
        if (p.contains("usb")) {
            const auto &u = p["usb"];
            usb = u["vendor_id"].get<std::string>() + ":" + u["product_id"].get<std::string>() + " " +
                  u["vendor"].get<std::string>() + " " + u["product"].get<std::string>() +
                  (u["serial"].get<std::string>().empty() ? "" : " serial " + u["serial"].get<std::string>());
        } else if (p.contains("uart_type") && p["uart_type"] == 0) {
            usb = "(no UART behind it)";
        }
        if (p.contains("latency_timer_ms"))
            usb += " latency " + std::to_string(p["latency_timer_ms"].get<int>()) + " ms";
        rows.push_back({p["device"].get<std::string>(), p.value("by_id", ""), p.value("driver", ""), usb});
    }
    if (rows.empty())
        std::printf("no serial ports found\n");
    else
        PrintTable({"DEVICE", "BY-ID", "DRIVER", "USB / NOTE"}, rows);
    for (const std::string &text : advice) std::printf("- %s\n", text.c_str());
    return 0;
}
#endif

}  // namespace rovod
