// rovod-sim: process controllers on a serial line, for trying the driver,
// commissioning a host configuration or reproducing a fault without a plant.
#include <signal.h>
#include <sys/prctl.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "sim_serve.h"

namespace {

std::atomic<bool> gStop{false};

void OnSignal(int) { gStop.store(true); }

constexpr int kUsage = 64;

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"rovod-sim: process controllers (P, B and PS series) on a serial line or a pseudo-terminal"};
    sim::LineConfig line;
    std::string plcs = "1", statePath;
    std::vector<std::string> faults;
    bool bTrace = false, bFrozen = false;
    sim::ServeOptions serve;
    sim::PlantConfig plant;
    auto *port = app.add_option("--port", line.port, "serial device to serve (ttyUSB0, /dev/ttyS1)");
    app.add_flag("--pty", line.bPty,
                 "create a pseudo-terminal and print its name (as the driver takes it, e.g. pts/4)")
        ->excludes(port);
    app.add_option("--plc", plcs,
                   "controller addresses on the line, e.g. 1,2,5; ADDR@RATE[+RATE] answers only at those "
                   "rates on a pty (5@19200, 7@9600+38400)")
        ->capture_default_str();
    app.add_option("--baud", line.baud,
                   "baud rate; on a pty the controllers without @RATE answer only requests at this rate")
        ->capture_default_str();
    std::vector<std::string> delays;
    app.add_option("--delay", delays,
                   "ADDR=MS: controller ADDR answers MS ms after a request (instead of "
                   "--turnaround), e.g. --delay 5=20");
    std::vector<std::string> offs, noBlocks;
    app.add_option("--off", offs,
                   "ADDR=MS: controller ADDR is switched off (answers nothing) for MS ms from the start, "
                   "0 for the whole run, e.g. --off 3=5000");
    app.add_option("--no-block", noBlocks,
                   "ADDR=ELEM: controller ADDR refuses value-word element ELEM (hex) in a read of more than "
                   "one element (NAK), e.g. --no-block 1=15");
    app.add_option("--data", line.dataBits, "data bits (5..8)")->capture_default_str();
    app.add_option("--stop", line.stopCode, "stop bits code: 0 one, 1 one and a half, 2 two")
        ->capture_default_str();
    app.add_option("--parity", line.parity, "parity: 0 none, 1 odd, 2 even, 3 mark, 4 space")
        ->capture_default_str();
    app.add_flag("--pace", line.bPace,
                 "keep the line's pace: replies go out at the character rate, and a request counts as "
                 "arrived after its line time");
    app.add_option("--block3", plant.block3Len, "value words in a type-3 block reply (1..54)")
        ->check(CLI::Range(1, 54))
        ->capture_default_str();
    app.add_flag("--frozen", bFrozen, "keep the process image still (no moving measurements)");
    app.add_option("--seed", plant.seed, "seed of the process noise and of faults by rate")
        ->capture_default_str();
    app.add_option("--state", statePath,
                   "JSON file: memory loaded at start (when it exists) and saved at exit");
    app.add_option(
        "--fault", faults,
        "inject a fault: KIND[=ARG][@N[..M]|%P]; kinds delay=MS, drop, badfcs, badlen, nak, noise=N, "
        "trailing=N, split=MS, wrongplc, noend, cut, dup (e.g. drop@2, nak%10, delay=300@1..3)");
    app.add_flag("--trace", bTrace, "print every frame received and sent (stderr)");
    app.add_option("--turnaround", serve.turnaroundMs, "ms a controller waits before it answers")
        ->capture_default_str();
    app.add_option("--duration", serve.durationS, "stop after this many seconds (0: until SIGINT/SIGTERM)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : kUsage;
    }
    if (!line.bPty && line.port.empty()) {
        std::fprintf(stderr, "rovod-sim: give --pty or --port NAME\n");
        return kUsage;
    }
    if (!sim::ParsePlcList(plcs, &plant.plcs, &serve.rates)) {
        std::fprintf(stderr,
                     "rovod-sim: --plc wants addresses 1..255 separated by commas, each with "
                     "optional @RATE[+RATE]\n");
        return kUsage;
    }
    for (const std::string &text : delays) {
        if (!sim::ParseDelay(text, &serve.delayMs)) {
            std::fprintf(stderr, "rovod-sim: --delay wants ADDR=MS (address 1..255, 0..60000 ms): %s\n",
                         text.c_str());
            return kUsage;
        }
    }
    for (const std::string &text : offs) {
        if (!sim::ParseDelay(text, &serve.offMs)) {
            std::fprintf(stderr, "rovod-sim: --off wants ADDR=MS (address 1..255, 0..60000 ms): %s\n",
                         text.c_str());
            return kUsage;
        }
    }
    for (const std::string &text : noBlocks) {
        if (!sim::ParseNoBlock(text, &serve.noBlock)) {
            std::fprintf(stderr,
                         "rovod-sim: --no-block wants ADDR=ELEM (address 1..255, element 00..FF): %s\n",
                         text.c_str());
            return kUsage;
        }
    }
    if (line.bPty) serve.lineBaud = line.baud;
    for (const std::string &text : faults) {
        sim::FaultRule rule;
        std::string error;
        if (!sim::ParseFault(text, &rule, &error)) {
            std::fprintf(stderr, "rovod-sim: %s\n", error.c_str());
            return kUsage;
        }
        serve.faults.push_back(rule);
    }
    plant.bLive = !bFrozen;
    sim::Plant controllers;
    sim::InitPlant(&controllers, plant);
    if (!statePath.empty()) {
        std::ifstream in(statePath);
        if (in) {
            std::stringstream text;
            text << in.rdbuf();
            std::string error;
            if (!sim::LoadState(&controllers, text.str(), &error)) {
                std::fprintf(stderr, "rovod-sim: %s: %s\n", statePath.c_str(), error.c_str());
                return 1;
            }
        }
    }

    // A pty is only of use to whoever started us: end with the parent.
    if (line.bPty) prctl(PR_SET_PDEATHSIG, SIGTERM);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    sim::Line open;
    std::string error;
    if (!sim::OpenLine(line, &open, &error)) {
        std::fprintf(stderr, "rovod-sim: %s\n", error.c_str());
        return 1;
    }
    if (line.bPty) {
        std::printf("%s\n", open.name.c_str());
        std::fflush(stdout);
    }
    if (bTrace) serve.trace = stderr;
    std::fprintf(stderr, "rovod-sim: serving controllers %s on %s, %u baud\n", plcs.c_str(),
                 open.path.c_str(), line.baud);
    const int rc = sim::Serve(&open, &controllers, serve, &gStop, &error);
    if (rc != 0) std::fprintf(stderr, "rovod-sim: %s\n", error.c_str());
    sim::CloseLine(&open);
    if (!statePath.empty()) {
        std::ofstream out(statePath);
        out << sim::SaveState(controllers);
        if (!out) std::fprintf(stderr, "rovod-sim: cannot save the state to %s\n", statePath.c_str());
    }
    return rc;
}
