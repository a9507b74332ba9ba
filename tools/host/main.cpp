// rovod: a command-line host for the ZEDADAD driver. It loads the driver as
// the host application does and drives it through ZevMain: describe it,
// parse gate addresses, read, write and poll gates on a controller line.
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <nlohmann/json.hpp>
#include <thread>

#include "cli.h"
#include "embed.h"
#include "reader.h"
#include "system.h"

namespace rovod {

std::atomic<bool> gInterrupted{false};

namespace {
void OnInterrupt(int) { gInterrupted.store(true); }
}  // namespace

void CatchInterrupt() {
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
}

// --- Output ---------------------------------------------------------------

namespace {

std::string Utf8Banner(const char *banner) {
    std::string out;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(banner); *p; ++p) {
        switch (*p) {
            case 0xC9:
                out += "\u2554";
                break;  // ╔
            case 0xCD:
                out += "\u2550";
                break;  // ═
            case 0xBB:
                out += "\u2557";
                break;  // ╗
            case 0xBA:
                out += "\u2551";
                break;  // ║
            case 0xC8:
                out += "\u255A";
                break;  // ╚
            case 0xBC:
                out += "\u255D";
                break;  // ╝
            case 0x08:
                break;  // the host's cursor control
            default:
                out += *p < 0x80 ? static_cast<char>(*p) : '?';
                break;
        }
    }
    return out;
}

}  // namespace

void PrintTable(const std::vector<std::string> &head, const std::vector<std::vector<std::string>> &rows) {
    std::vector<size_t> width(head.size());
    for (size_t i = 0; i < head.size(); ++i) width[i] = head[i].size();
    for (const auto &row : rows)
        for (size_t i = 0; i < row.size() && i < width.size(); ++i)
            width[i] = std::max(width[i], row[i].size());
    auto line = [&](const std::vector<std::string> &cells) {
        std::string text;
        for (size_t i = 0; i < cells.size(); ++i) {
            text += cells[i];
            if (i + 1 < cells.size()) text += std::string(width[i] - cells[i].size() + 2, ' ');
        }
        while (!text.empty() && text.back() == ' ') text.pop_back();
        std::printf("%s\n", text.c_str());
    };
    line(head);
    for (const auto &row : rows) line(row);
    std::fflush(stdout);
}

const char *TypeName(int32_t dataType) {
    switch (dataType) {
        case 0:
        case 1:
        case 2:
            return "ANALOG16";
        case 3:
            return "LONG";
        case 6:
            return "DIGITAL";
        case 7:
            return "STRING";
        default:
            return "?";
    }
}

namespace {

std::string ValuesText(const Gate &gate) {
    if (gate.lastResult != 0) return "-";
    std::string text;
    for (double v : Values(gate)) {
        char cell[32];
        std::snprintf(cell, sizeof cell, "%s%g", text.empty() ? "" : " ", v);
        text += cell;
    }
    return text;
}

nlohmann::json GateJson(const Gate &gate) {
    nlohmann::json j{{"address", gate.address},
                     {"type", TypeName(gate.iDataType)},
                     {"block", gate.bBlock},
                     {"count", gate.rec.iCount},
                     {"result", gate.lastResult}};
    if (gate.lastResult == 0) {
        nlohmann::json values = nlohmann::json::array();
        for (double v : Values(gate)) {
            if (HoldsFloats(gate))
                values.push_back(v);
            else
                values.push_back(static_cast<int64_t>(v));
        }
        if (!gate.bBlock && !values.empty()) j["value"] = values[0];
        j["values"] = values;
    } else {
        j["error"] = gate.lastLine.empty() ? ResultText(gate.lastResult) : gate.lastLine;
    }
    return j;
}

}  // namespace

void PrintJson(const nlohmann::json &j) {
    std::printf("%s\n", j.dump().c_str());
    std::fflush(stdout);
}

int Fail(const Options &options, int code, const std::string &message) {
    if (options.bJson)
        PrintJson({{"result", code}, {"error", message}});
    else
        std::fprintf(stderr, "rovod: %s\n", message.c_str());
    return code;
}

// --- Gates and the session ------------------------------------------------

void AddGates(const Options &options, bool bWrite) {
    for (const std::string &address : options.addresses) {
        const char mem = MemTypeOf(address);
        bool bBlock = !bWrite && (options.count > 0 || mem == '2' || mem == '3');
        int32_t count = options.count > 0 ? options.count : mem == '2' ? 10 : mem == '3' ? 16 : 1;
        if (bWrite) {
            bBlock = false;
            count = 1;
        }
        const int32_t dataType = options.dataType >= 0 ? options.dataType : DataTypeFor(address);
        AddGate(address, bBlock, count, dataType);
    }
}

namespace {

std::vector<uint8_t> SimulatedPlcs() {
    std::vector<uint8_t> plcs;
    for (int plc = 1; plc <= 16; ++plc) plcs.push_back(static_cast<uint8_t>(plc));
    for (const Gate &gate : Gates()) {
        const unsigned long plc = std::strtoul(gate.address.substr(0, 2).c_str(), nullptr, 16);
        if (plc > 16 && plc <= 255) plcs.push_back(static_cast<uint8_t>(plc));
    }
    return plcs;
}

}  // namespace

Run::~Run() {
    EndSession(&session);
    if (bEmbedded) StopEmbedded();
}

int Open(const Options &options, const char *argv0, Run *run, bool bNeedPort) {
    LoadedDriver driver;
    std::string error;
    if (!LoadDriver(options.driverPath, argv0, &driver, &error)) return Fail(options, kNoDriver, error);
    if (options.bVerbose) std::fprintf(stderr, "rovod: driver %s\n", driver.path.c_str());
    run->session.pZevMain = driver.pZevMain;
    if (!bNeedPort) return 0;
    PortOptions port = options.port;
    if (port.port.empty()) {
        EmbeddedSim sim;
        sim.plcs = SimulatedPlcs();
        sim.faults = options.simFaults;
        sim.bTrace = options.bSimTrace;
        sim.bFrozen = options.bSimFrozen;
        sim.baud = port.baud;
        sim.dataBits = port.dataBits;
        sim.stopCode = port.stopBits;
        sim.parity = port.parity;
        if (!StartEmbedded(sim, &port.port, &error)) return Fail(options, kUsage, error);
        run->bEmbedded = true;
        if (options.bVerbose) std::fprintf(stderr, "rovod: built-in simulator on %s\n", port.port.c_str());
    } else {
        // Stable names (/dev/serial/by-id/...) are links; the driver's field
        // holds 11 characters, so it gets the device they name.
        port.port = ResolvePort(options.port.port);
        if (options.bVerbose && port.port != options.port.port)
            std::fprintf(stderr, "rovod: port %s is %s\n", options.port.port.c_str(), port.port.c_str());
    }
    if (port.port.size() > 11) {
        const std::string resolved =
            port.port != options.port.port ? " (" + options.port.port + " resolves to it)" : "";
        return Fail(options, kUsage,
                    "port name " + port.port + resolved +
                        " is longer than the driver's 11 characters; give a shorter link or the device");
    }
    run->port = port;
    const uint32_t result = StartSession(&run->session, port, &error);
    if (result != 0) return Fail(options, static_cast<int>(result), error);
    return 0;
}

int ParseAll(const Options &options, Run *run) {
    for (Gate &gate : Gates()) {
        if (ParseGate(&run->session, &gate) != 0)
            return Fail(options, static_cast<int>(gate.lastResult),
                        "gate " + gate.address + " refused: " + gate.lastLine);
    }
    return 0;
}

// --- Subcommands ----------------------------------------------------------

namespace {

int CmdInfo(const Options &options, const char *argv0) {
    Run run;
    if (int rc = Open(options, argv0, &run, false)) return rc;
    ZevInfo info{};
    const uint32_t result = GetInfo(&run.session, &info);
    if (result != 0) return Fail(options, static_cast<int>(result), "GetZevInfo failed");
    const std::string title = info.pszTitle ? info.pszTitle : "";
    const std::string banner = info.pszBanner ? Utf8Banner(info.pszBanner) : "";
    if (options.bJson) {
        PrintJson({{"title", title},
                   {"banner", banner},
                   {"context_size", info.iContextSize},
                   {"defaults",
                    {{"baud", info.wDefBaud},
                     {"data", info.wDefDataBits},
                     {"stop", info.wDefStopBits},
                     {"parity", info.wDefParity}}},
                   {"words", {info.iInfo0, info.iInfo16, info.iInfo28}}});
        return 0;
    }
    std::printf("%s\n\n", banner.c_str() + (banner.rfind('\n', 0) == 0 ? 1 : 0));
    PrintTable({"FIELD", "VALUE"}, {{"title", title},
                                    {"context size", std::to_string(info.iContextSize) + " bytes"},
                                    {"default baud", std::to_string(info.wDefBaud)},
                                    {"default data bits", std::to_string(info.wDefDataBits)},
                                    {"default stop code", std::to_string(info.wDefStopBits)},
                                    {"default parity", std::to_string(info.wDefParity)}});
    return 0;
}

std::string MemTypeName(int32_t memType) {
    if (memType == ZEV_MEMTYPE_PARAMETER) return "parameter";
    if (memType > 32 && memType < 127) return std::string(1, static_cast<char>(memType));
    return std::to_string(memType);
}

int CmdParse(const Options &options, const char *argv0) {
    Run run;
    if (int rc = Open(options, argv0, &run, false)) return rc;
    for (const std::string &address : options.addresses) {
        const int32_t dataType = options.dataType >= 0 ? options.dataType : DataTypeFor(address);
        Gate *gate = AddGate(address, options.bBlock, std::max(options.blockSize, 1), dataType);
        gate->def.iBlockSize = options.blockSize;
        ParseGate(&run.session, gate);
    }
    int rc = 0;
    nlohmann::json gates = nlohmann::json::array();
    std::vector<std::vector<std::string>> rows;
    for (const Gate &gate : Gates()) {
        const GateDefinition &d = gate.def;
        if (gate.lastResult) rc = static_cast<int>(gate.lastResult);
        nlohmann::json j{{"address", gate.address},
                         {"data_type", gate.iDataType},
                         {"parser", gate.bBlock ? "block" : "single"},
                         {"result", gate.lastResult}};
        if (gate.lastResult == 0) {
            j.update({{"iPlcAddr", d.iPlcAddr},
                      {"iMemType", d.iMemType},
                      {"memtype", MemTypeName(d.iMemType)},
                      {"iTagAddr", d.iTagAddr},
                      {"iBitNo", d.iBitNo},
                      {"iBits", d.iBits}});
            rows.push_back({gate.address, TypeName(gate.iDataType), "accepted", std::to_string(d.iPlcAddr),
                            MemTypeName(d.iMemType), std::to_string(d.iTagAddr), std::to_string(d.iBitNo),
                            std::to_string(d.iBits), ""});
        } else {
            j["reason"] = gate.lastLine;
            rows.push_back(
                {gate.address, TypeName(gate.iDataType), "refused", "", "", "", "", "", gate.lastLine});
        }
        gates.push_back(j);
    }
    if (options.bJson)
        PrintJson({{"result", rc}, {"gates", gates}});
    else
        PrintTable({"ADDRESS", "TYPE", "RESULT", "PLC", "MEMTYPE", "TAG", "BIT", "BITS", "REASON"}, rows);
    return rc;
}

std::vector<std::string> GateRow(const Gate &gate, bool bCounts) {
    std::vector<std::string> row{gate.address, TypeName(gate.iDataType), ValuesText(gate),
                                 std::to_string(gate.lastResult)};
    if (bCounts) {
        row.push_back(std::to_string(gate.errors));
        row.push_back(std::to_string(gate.retries));
    }
    row.push_back(gate.lastResult ? ResultText(gate.lastResult) + std::string(": ") + gate.lastLine : "");
    return row;
}

int CmdRead(const Options &options, const char *argv0) {
    AddGates(options, false);
    Run run;
    if (int rc = Open(options, argv0, &run, true)) return rc;
    if (int rc = ParseAll(options, &run)) return rc;
    int rc = 0;
    std::vector<std::vector<std::string>> rows;
    nlohmann::json gates = nlohmann::json::array();
    for (Gate &gate : Gates()) {
        if (const uint32_t result = ReadGate(&run.session, &gate); result && !rc)
            rc = static_cast<int>(result);
        rows.push_back(GateRow(gate, false));
        gates.push_back(GateJson(gate));
    }
    if (options.bJson)
        PrintJson({{"result", rc}, {"gates", gates}});
    else
        PrintTable({"GATE", "TYPE", "VALUE", "RESULT", ""}, rows);
    return rc;
}

int CmdWrite(const Options &options, const char *argv0) {
    AddGates(options, true);
    Gate &gate = Gates().front();
    if (!PutValue(&gate, options.value))
        return Fail(options, kUsage,
                    "VALUE '" + options.value + "' is not " +
                        (HoldsFloats(gate) ? "a finite number" : "an integer from -32768 to 65535"));
    Run run;
    if (int rc = Open(options, argv0, &run, true)) return rc;
    if (int rc = ParseAll(options, &run)) return rc;
    const uint32_t result = WriteGate(&run.session, &gate);
    if (options.bJson) {
        nlohmann::json j{{"address", gate.address},
                         {"type", TypeName(gate.iDataType)},
                         {"value", options.value},
                         {"result", result}};
        if (result) j["error"] = gate.lastLine.empty() ? ResultText(result) : gate.lastLine;
        PrintJson(j);
    } else {
        PrintTable({"GATE", "TYPE", "WRITTEN", "RESULT", ""},
                   {{gate.address, TypeName(gate.iDataType), options.value, std::to_string(result),
                     result ? ResultText(result) + std::string(": ") + gate.lastLine : ""}});
    }
    return static_cast<int>(result);
}

std::string Clock() {
    const std::time_t now = std::time(nullptr);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", std::localtime(&now));
    return text;
}

// One cycle: every gate due, read as the reader plans it.
void ReadCycle(Reader *reader) {
    const std::vector<bool> due(reader->gates.size(), true);
    for (const PlannedRead &read : PlanCycle(reader, due)) Execute(reader, read, nullptr);
}

// poll --plan: one cycle measures the controllers' turnaround, then the plan.
int PrintPlan(const Options &options, Reader *reader) {
    ReadCycle(reader);
    std::vector<size_t> all;
    std::vector<std::string> names;
    for (size_t i = 0; i < reader->gates.size(); ++i) {
        all.push_back(i);
        names.push_back(reader->gates[i]->address);
    }
    const std::vector<PlannedRead> plan =
        Plan(reader->plan, all, reader->model, reader->bBlocks, reader->alone);
    if (!options.bJson) {
        std::printf("plan (optimize: %s), %u baud\n%s", options.optimize.c_str(), options.port.baud,
                    DescribePlan(plan, reader->plan, names, reader->model).c_str());
        return 0;
    }
    const auto totals = [&](const std::vector<PlannedRead> &reads) {
        const PlanTotals t = Totals(reads, reader->model);
        return nlohmann::json{{"requests", t.requests}, {"chars", t.chars}, {"ms", t.ms}};
    };
    nlohmann::json requests = nlohmann::json::array();
    for (const PlannedRead &r : plan) {
        if (RequestChars(r) == 0) continue;
        nlohmann::json gates = nlohmann::json::array();
        for (size_t g : r.gates) gates.push_back(names[g]);
        requests.push_back({{"controller", r.plc},
                            {"memory", std::string(1, r.mem)},
                            {"first", r.first},
                            {"count", r.count},
                            {"block", r.bBlock},
                            {"request_chars", RequestChars(r)},
                            {"reply_chars", ReplyChars(r)},
                            {"ms", RequestMs(r, reader->model)},
                            {"gates", gates}});
    }
    const nlohmann::json out{{"optimize", options.optimize},
                             {"baud", options.port.baud},
                             {"requests", requests},
                             {"per_cycle", totals(plan)},
                             {"one_request_per_gate", totals(PlanSingles(reader->plan, all))}};
    std::printf("%s\n", out.dump().c_str());
    return 0;
}

int CmdPoll(const Options &options, const char *argv0) {
    AddGates(options, false);
    Run run;
    if (int rc = Open(options, argv0, &run, true)) return rc;
    if (int rc = ParseAll(options, &run)) return rc;
    CsvLog csv;
    std::string error;
    if (!options.csvPath.empty() && !OpenCsv(options.csvPath, &csv, &error))
        return Fail(options, kUsage, error);
    // The CSV on standard output is the whole output.
    const bool bShow = !csv.bStdout;
    CatchInterrupt();
    Reader reader;
    std::vector<Gate *> all;
    for (Gate &gate : Gates()) all.push_back(&gate);
    InitReader(&reader, &run.session, all, run.port, options.optimize == "blocks", options.silentRetryMs);
    reader.log = [](const std::string &text) { std::fprintf(stderr, "rovod: %s\n", text.c_str()); };
    if (options.bPlan) return PrintPlan(options, &reader);
    int rc = 0;
    for (uint32_t cycle = 1; !gInterrupted.load() && (options.cycles == 0 || cycle <= options.cycles);
         ++cycle) {
        rc = 0;
        const auto start = HostClock::now();
        ReadCycle(&reader);
        std::vector<std::vector<std::string>> rows;
        nlohmann::json gates = nlohmann::json::array();
        for (Gate &gate : Gates()) {
            if (gate.lastResult && !rc) rc = static_cast<int>(gate.lastResult);
            rows.push_back(GateRow(gate, true));
            gates.push_back(GateJson(gate));
            gates.back()["errors"] = gate.errors;
            gates.back()["retries"] = gate.retries;
        }
        if (csv.file) WriteCsvRow(&csv, start);
        if (!bShow) {
        } else if (options.bJson) {
            PrintJson({{"cycle", cycle}, {"result", rc}, {"gates", gates}});
        } else {
            std::printf("cycle %u  %s\n", cycle, Clock().c_str());
            PrintTable({"GATE", "TYPE", "VALUE", "RESULT", "ERRORS", "RETRIES", ""}, rows);
            for (const auto &[plc, c] : reader.controllers)
                if (c.bSilent)
                    std::printf("%s: no reply to two requests in a row; read every %u ms until it answers\n",
                                SilentReason(reader, plc).c_str(), options.silentRetryMs);
            std::printf("\n");
        }
        if (options.cycles && cycle == options.cycles) break;
        const auto next = start + std::chrono::milliseconds(options.intervalMs);
        while (!gInterrupted.load() && HostClock::now() < next)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    CloseCsv(&csv);
    return rc;
}

}  // namespace

int Main(int argc, char **argv) {
    Options options;
    Command command = Command::kNone;
    const int rc = ParseArgs(argc, argv, &options, &command, std::cout, std::cerr);
    if (rc >= 0) return rc;
    SetLogEcho(options.bVerbose);
    if (options.dataType < -1 || options.dataType > 7) return Fail(options, kUsage, "--type wants 0..7");
    switch (command) {
        case Command::kInfo:
            return CmdInfo(options, argv[0]);
        case Command::kParse:
            return CmdParse(options, argv[0]);
        case Command::kRead:
            return CmdRead(options, argv[0]);
        case Command::kWrite:
            return CmdWrite(options, argv[0]);
        case Command::kScan:
            return CmdScan(options, argv[0]);
        case Command::kCheck:
            return CmdCheck(options, argv[0]);
        case Command::kPlot:
            return CmdPlot(options);
#if defined(ROVOD_HAVE_PORTS)
        case Command::kPorts:
            return CmdPorts(options);
#endif
        default:
            return CmdPoll(options, argv[0]);
    }
}

}  // namespace rovod

int main(int argc, char **argv) { return rovod::Main(argc, argv); }
