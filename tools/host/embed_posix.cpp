// The built-in simulator runs on a thread of its own over a pseudo-terminal.
#include <atomic>
#include <thread>

#include "embed.h"
#include "sim_serve.h"

namespace rovod {

namespace {

struct Running {
    sim::Line line;
    sim::Plant plant;
    sim::ServeOptions serve;
    std::atomic<bool> bStop{false};
    std::thread thread;
};

Running *gRunning = nullptr;

}  // namespace

bool StartEmbedded(const EmbeddedSim &options, std::string *pPort, std::string *pError) {
    auto *running = new Running;
    for (const std::string &text : options.faults) {
        sim::FaultRule rule;
        if (!sim::ParseFault(text, &rule, pError)) {
            delete running;
            return false;
        }
        running->serve.faults.push_back(rule);
    }
    sim::PlantConfig plant;
    plant.plcs = options.plcs;
    plant.bLive = !options.bFrozen;
    sim::InitPlant(&running->plant, plant);
    sim::LineConfig line;
    line.bPty = true;
    line.baud = options.baud;
    line.dataBits = options.dataBits;
    line.stopCode = options.stopCode;
    line.parity = options.parity;
    if (!sim::OpenLine(line, &running->line, pError)) {
        delete running;
        return false;
    }
    if (options.bTrace) running->serve.trace = stderr;
    // Like a real line: the controllers hear requests at the line's rate only.
    running->serve.lineBaud = options.baud;
    running->thread = std::thread([running] {
        std::string error;
        if (sim::Serve(&running->line, &running->plant, running->serve, &running->bStop, &error) != 0)
            std::fprintf(stderr, "rovod: built-in simulator: %s\n", error.c_str());
    });
    *pPort = running->line.name;
    gRunning = running;
    return true;
}

void StopEmbedded() {
    if (gRunning == nullptr) return;
    gRunning->bStop.store(true);
    gRunning->thread.join();
    sim::CloseLine(&gRunning->line);
    delete gRunning;
    gRunning = nullptr;
}

}  // namespace rovod
