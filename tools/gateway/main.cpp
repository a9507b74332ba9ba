// rovod-gateway: the controllers' values on an MQTT broker. One thread per
// line drives its own instance of the driver, loaded as the host loads it;
// the publisher sends what the lines' caches hold, and writes from the
// broker go through each line's queue.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>

#include "config.h"
#include "gateway.h"
#include "modbus_server.h"
#include "mqtt.h"
#include "plan.h"
#include "report.h"
#include "sparkplug.h"

namespace gateway {

namespace {

constexpr int kUsage = 64;
constexpr int kNoDriver = 2;
constexpr int kUnavailable = 69;  // the Modbus port is taken

// After the first EndZev the driver answers every call with 0 and frees
// nothing more: the other instances' frame buffers stay with their blocks,
// which are kept here until the process ends.
std::vector<rovod::Session> *gEnded = nullptr;

void EndAll(std::vector<rovod::Session> sessions) {
    for (rovod::Session &session : sessions) rovod::ClosePort(&session);
    for (rovod::Session &session : sessions) rovod::EndSession(&session);
    if (gEnded == nullptr) gEnded = new std::vector<rovod::Session>;
    for (rovod::Session &session : sessions) gEnded->push_back(std::move(session));
}

void PrintErrors(const std::vector<std::string> &errors) {
    for (const std::string &e : errors) std::fprintf(stderr, "rovod-gateway: %s\n", e.c_str());
}

// The requests of one cycle with every gate due, as the line would plan them
// before it has measured its controllers.
void PrintPlan(const LineConfig &line) {
    std::vector<rovod::PlanGate> gates;
    std::vector<std::string> names;
    std::vector<size_t> all;
    for (const GateConfig &g : line.gates) {
        all.push_back(gates.size());
        gates.push_back(rovod::PlanGateOf(g.address, g.bBlock, g.count));
        names.push_back(g.name);
    }
    rovod::PortOptions port;
    port.baud = line.baud;
    port.dataBits = line.dataBits;
    port.stopBits = line.stopBits;
    port.parity = line.parity;
    const rovod::LineModel model = rovod::ModelFor(port);
    std::printf("line %s: plan (optimize: %s), %u baud\n", line.name.c_str(),
                line.bBlocks ? "blocks" : "none", line.baud);
    std::printf(
        "%s", rovod::DescribePlan(rovod::Plan(gates, all, model, line.bBlocks), gates, names, model).c_str());
}

int Check(const GatewayConfig &config) {
    size_t width = 0, gates = 0;
    const std::vector<Topic> topics = Topics(config);
    for (const Topic &t : topics) width = std::max(width, t.topic.size());
    for (const Topic &t : topics)
        std::printf("%-*s  %s\n", static_cast<int>(width), t.topic.c_str(), t.what.c_str());
    for (const LineConfig &line : config.lines) gates += line.gates.size();
    if (config.modbus.bEnabled) {
        std::printf("modbus %s:%u\n", config.modbus.listen.c_str(), config.modbus.port);
        const char *spaces[] = {"coil", "discrete input", "holding registers", "input registers"};
        for (const ModbusLine &ml : config.modbus.lines) {
            const LineConfig &line = config.lines[ml.line];
            for (const ModbusRegister &reg : ml.registers) {
                const GateConfig &gate = line.gates[reg.gate];
                const int unit = ml.units.at(PlcOf(gate));
                const unsigned last = reg.address + RegisterCount(gate) - 1u;
                std::string where = "  unit " + std::to_string(unit) + " " +
                                    spaces[static_cast<int>(SpaceOf(gate))] + " " +
                                    std::to_string(reg.address);
                if (last != reg.address) where += ".." + std::to_string(last);
                std::printf("%-40s %s/%s (%s)%s\n", where.c_str(), line.name.c_str(), gate.name.c_str(),
                            gate.address.c_str(),
                            gate.bFloats
                                ? (reg.bLowWordFirst ? ", float, low word first" : ", float, high word first")
                                : "");
            }
        }
    }
    for (const LineConfig &line : config.lines) PrintPlan(line);
    std::printf("%s: ok, %zu line%s, %zu gate%s, broker %s:%u\n", config.path.c_str(), config.lines.size(),
                config.lines.size() == 1 ? "" : "s", gates, gates == 1 ? "" : "s", config.broker.host.c_str(),
                config.broker.port);
    return 0;
}

std::unique_ptr<Line> MakeLine(Gateway *gw, const LineConfig &config) {
    return NewLine(config, gw->pZevMain, gw->bVerbose, &gw->notify);
}

bool SameServer(const ModbusConfig &a, const ModbusConfig &b) {
    return a.bEnabled == b.bEnabled && a.listen == b.listen && a.port == b.port &&
           a.maxClients == b.maxClients;
}

bool SameBroker(const GatewayConfig &a, const GatewayConfig &b) {
    return a.broker == b.broker && a.bHomeAssistant == b.bHomeAssistant &&
           a.discoveryPrefix == b.discoveryPrefix && a.storePath == b.storePath &&
           a.storeMaxMb == b.storeMaxMb;
}

// SIGHUP: the file read again. A bad one changes nothing; a good one keeps
// the lines it leaves as they were, stops the others (CloseCom: their
// instances stay installed, since EndZev would end every line) and starts
// the new ones.
void Reload(Gateway *gw, Mqtt *m, ModbusServer *server, Sparkplug *spb, rovod::Session *parser,
            std::vector<rovod::Session> *pRetired) {
    GatewayConfig next;
    std::vector<std::string> errors;
    const std::string path = gw->config.path;
    if (!LoadConfig(path, parser, &next, &errors)) {
        PrintErrors(errors);
        Log("reload of %s refused; the running configuration stays", path.c_str());
        return;
    }
    const bool bNewBroker = !SameBroker(next, gw->config);
    const bool bNewServer = !SameServer(next.modbus, gw->config.modbus);
    if (bNewBroker) StopMqtt(m);
    if (bNewServer) StopModbus(server);
    // The node's devices follow the lines: it is born again.
    StopSparkplug(spb);
    std::vector<std::unique_ptr<Line>> dropped;
    size_t kept = 0, started = 0;
    {
        std::lock_guard<std::mutex> lock(gw->linesMutex);
        std::vector<std::unique_ptr<Line>> lines;
        for (const LineConfig &config : next.lines) {
            std::unique_ptr<Line> same;
            for (auto &old : gw->lines)
                if (old && old->config == config) same = std::move(old);
            if (same) {
                ++kept;
                lines.push_back(std::move(same));
            } else {
                lines.push_back(MakeLine(gw, config));
                ++started;
            }
        }
        for (auto &old : gw->lines)
            if (old) dropped.push_back(std::move(old));
        gw->lines = std::move(lines);
        gw->config = next;
        gw->modbusMap = next.modbus.bEnabled ? BuildModbusMap(next) : nullptr;
    }
    for (auto &line : dropped) {
        StopLine(line.get());
        if (!bNewBroker) {
            const LineConfig *pKept = nullptr;
            for (const LineConfig &config : next.lines)
                if (config.name == line->config.name) pKept = &config;
            ClearLine(m, line->config, pKept);
        }
        if (line->session.bStarted) pRetired->push_back(std::move(line->session));
    }
    {
        std::lock_guard<std::mutex> lock(gw->linesMutex);
        for (auto &line : gw->lines)
            if (!line->thread.joinable()) StartLine(line.get());
    }
    std::string error;
    if (bNewBroker && !StartMqtt(m, gw, &error)) Log("%s", error.c_str());
    if (bNewServer && next.modbus.bEnabled && !StartModbus(server, gw, &error)) Log("%s", error.c_str());
    if (next.sparkplug.bEnabled && !StartSparkplug(spb, gw, &error)) Log("%s", error.c_str());
    Log("reloaded %s: %zu line%s kept, %zu stopped, %zu started", path.c_str(), kept, kept == 1 ? "" : "s",
        dropped.size(), started);
}

// Everything stopped, then every instance ended at once: EndZev on any one
// ends them all.
void Shutdown(Gateway *gw, Mqtt *m, ModbusServer *server, Sparkplug *spb,
              std::vector<rovod::Session> sessions, rovod::Session parser) {
    StopSparkplug(spb);
    StopMqtt(m);
    StopModbus(server);
    for (auto &line : gw->lines) StopLine(line.get());
    for (auto &line : gw->lines)
        if (line->session.bStarted) sessions.push_back(std::move(line->session));
    sessions.push_back(std::move(parser));
    EndAll(std::move(sessions));
}

int Main(int argc, char **argv) {
    CLI::App app{
        "rovod-gateway: the controllers of one or more serial lines on an MQTT broker. Each line is polled "
        "by "
        "its own instance of the ZEDADAD driver; values, availability and write results are published under "
        "the topic prefix, writes arrive on PREFIX/LINE/GATE/set. With a sparkplug section it is also a "
        "Sparkplug B edge node (spBv1.0/GROUP/...). SIGHUP reads the configuration again, SIGTERM ends the "
        "gateway."};
    std::string configPath = "/etc/rovod/gateway.yaml", checkPath, driverPath;
    bool bVerbose = false;
    app.add_option("-c,--config", configPath, "the configuration (YAML)")->capture_default_str();
    app.add_option("--check", checkPath,
                   "check FILE and print the topics it would use; nothing is started (exit 0, or 64 with "
                   "every error as file:line:column)");
    app.add_option("--driver", driverPath,
                   "driver library (default: ROVOD_DRIVER, next to the program, ../lib)");
    app.add_flag("-v,--verbose", bVerbose, "log the driver's lines with their categories, per line");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : kUsage;
    }
    rovod::LoadedDriver driver;
    std::string error;
    if (!rovod::LoadDriver(driverPath, argv[0], &driver, &error)) {
        std::fprintf(stderr, "rovod-gateway: %s\n", error.c_str());
        return kNoDriver;
    }
    // The parsers need no port: this instance checks every gate address.
    rovod::Session parser;
    parser.pZevMain = driver.pZevMain;
    rovod::StartPortless(&parser, 0);
    Gateway gw;
    gw.pZevMain = driver.pZevMain;
    gw.bVerbose = bVerbose;
    std::vector<std::string> errors;
    if (!LoadConfig(checkPath.empty() ? configPath : checkPath, &parser, &gw.config, &errors)) {
        PrintErrors(errors);
        EndAll({std::move(parser)});
        return kUsage;
    }
    if (!checkPath.empty()) {
        const int rc = Check(gw.config);
        EndAll({std::move(parser)});
        return rc;
    }
    if (bVerbose) Log("driver %s", driver.path.c_str());

    // Signals are taken by this thread alone, with sigwait.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // A file size limit is a failing write for the store, as a full disk is.
    signal(SIGXFSZ, SIG_IGN);

    for (const LineConfig &config : gw.config.lines) gw.lines.push_back(MakeLine(&gw, config));
    if (gw.config.modbus.bEnabled) gw.modbusMap = BuildModbusMap(gw.config);
    for (auto &line : gw.lines) StartLine(line.get());
    Sparkplug spb;
    Mqtt mqtt;
    ModbusServer server;
    int rc = 0;
    // A node started by a reload takes the replays too.
    mqtt.onReplay = [&spb](const std::string &topic, const std::string &payload) {
        SparkplugHistory(&spb, topic, payload);
    };
    if (!StartMqtt(&mqtt, &gw, &error))
        rc = kUsage;
    else if (gw.config.sparkplug.bEnabled && !StartSparkplug(&spb, &gw, &error))
        rc = kUsage;
    else if (gw.config.modbus.bEnabled && !StartModbus(&server, &gw, &error))
        rc = kUnavailable;
    std::vector<rovod::Session> retired;
    if (rc != 0) {
        Log("%s", error.c_str());
        Shutdown(&gw, &mqtt, &server, &spb, std::move(retired), std::move(parser));
        return rc;
    }
    Log("running %s: %zu line%s, broker %s:%u, prefix %s", gw.config.path.c_str(), gw.lines.size(),
        gw.lines.size() == 1 ? "" : "s", gw.config.broker.host.c_str(), gw.config.broker.port,
        gw.config.broker.prefix.c_str());
    for (;;) {
        int sig = 0;
        if (sigwait(&signals, &sig) != 0) continue;
        if (sig == SIGHUP) {
            Reload(&gw, &mqtt, &server, &spb, &parser, &retired);
            continue;
        }
        Log("signal %d: stopping", sig);
        break;
    }
    Shutdown(&gw, &mqtt, &server, &spb, std::move(retired), std::move(parser));
    Log("stopped");
    return 0;
}

}  // namespace

}  // namespace gateway

int main(int argc, char **argv) { return gateway::Main(argc, argv); }
