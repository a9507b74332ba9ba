#include "args.h"

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstring>

namespace rovod {

int ParseArgs(int argc, const char *const *argv, Options *pOptions, Command *pCommand, std::ostream &out,
              std::ostream &errs) {
    CLI::App app{
        "rovod: drive the ZEDADAD serial driver from the command line, as the host application does.\n"
        "Without --port a built-in simulated controller line is used."};
    app.require_subcommand(1);
    app.fallthrough();
    app.add_option("--driver", pOptions->driverPath,
                   "driver library (default: ROVOD_DRIVER, next to rovod, ../lib)");
    app.add_option("--port", pOptions->port.port,
                   "serial port: a device (ttyUSB0, pts/3, /dev/ttyS0) or a link to one "
                   "(/dev/serial/by-id/...), resolved before the driver gets it (11 characters at most)");
    CLI::Option *baudOption =
        app.add_option("--baud", pOptions->port.baud, "baud rate")->capture_default_str();
    app.add_option("--data", pOptions->port.dataBits, "data bits")->capture_default_str();
    app.add_option("--stop", pOptions->port.stopBits, "stop bits code: 0 one, 1 one and a half, 2 two")
        ->capture_default_str();
    app.add_option("--parity", pOptions->port.parity, "parity: 0 none, 1 odd, 2 even, 3 mark, 4 space")
        ->capture_default_str();
    CLI::Option *timeoutOption = app.add_option("--timeout", pOptions->port.timeout,
                                                "reply time-out in 10 ms units (scan: by the rate)")
                                     ->capture_default_str();
    app.add_option("--instance", pOptions->port.instance, "instance number (selects the control-signal file)")
        ->capture_default_str();
    app.add_flag("--json", pOptions->bJson, "machine-readable output (one JSON object per line)");
    app.add_flag("-v,--verbose", pOptions->bVerbose,
                 "show the driver's log lines on stderr, with their categories");
    app.add_option("--sim-fault", pOptions->simFaults,
                   "built-in simulator: inject a fault (see rovod-sim --help)");
    app.add_flag("--sim-trace", pOptions->bSimTrace, "built-in simulator: trace every frame on stderr");
    app.add_flag("--sim-frozen", pOptions->bSimFrozen, "built-in simulator: keep the process image still");

    CLI::App *info = app.add_subcommand("info", "describe the driver: title, banner, block size, defaults");
    CLI::App *parse = app.add_subcommand("parse", "check gate addresses and show the five address fields");
    parse->add_option("addresses", pOptions->addresses, "gate addresses, e.g. 01A0005 0AI00123 $IFG")
        ->required();
    parse->add_option("--type", pOptions->dataType, "host data type code (default: from the address)");
    CLI::Option *blockOption =
        parse->add_option("--block", pOptions->blockSize, "check as a block gate of this many elements");
    CLI::App *read = app.add_subcommand("read", "read gates once (single values or blocks)");
    read->add_option("addresses", pOptions->addresses, "gate addresses")->required();
    read->add_option("--count", pOptions->count, "read a block of this many elements")
        ->check(CLI::Range(1, 63));
    CLI::App *write = app.add_subcommand("write", "write one value to a gate");
    std::string writeAddress;
    write->add_option("address", writeAddress, "gate address")->required();
    write
        ->add_option("value", pOptions->value,
                     "value: a number for 32-bit gates, an integer (0x.. too) otherwise")
        ->required();
    CLI::App *poll = app.add_subcommand("poll", "read gates over and over: a live table with error counts");
    poll->add_option("addresses", pOptions->addresses, "gate addresses")->required();
    poll->add_option("--count", pOptions->count, "read blocks of this many elements")
        ->check(CLI::Range(1, 63));
    poll->add_option("--interval", pOptions->intervalMs, "ms from one cycle to the next")
        ->capture_default_str();
    poll->add_option("--cycles", pOptions->cycles, "number of cycles (0: until Ctrl-C)")
        ->capture_default_str();
    poll->add_option(
            "--optimize", pOptions->optimize,
            "blocks: neighbouring gates of a controller share block reads; none: one request per gate")
        ->check(CLI::IsMember({"blocks", "none"}))
        ->capture_default_str();
    poll->add_flag("--plan", pOptions->bPlan,
                   "read the gates once, then print the plan: the requests per cycle, their elements, "
                   "characters and expected line time, against one request per gate");
    poll->add_option("--silent-retry", pOptions->silentRetryMs,
                     "ms between the reads of a controller that stopped answering")
        ->capture_default_str()
        ->check(CLI::Range(100, 86400000));
    poll->add_option("--csv", pOptions->csvPath,
                     "also write one CSV row per cycle to FILE ('-': only the CSV, on standard output)");
    CLI::App *scan = app.add_subcommand(
        "scan", "find the controllers on the line: the status block of each address at each rate");
    CLI::Option *scanBaudOption =
        scan->add_option("--baud", pOptions->scanBauds, "rates to try, in this order: a list (9600,19200)")
            ->capture_default_str();
    scan->add_option("--plc", pOptions->scanPlcs, "addresses to ask: a list (1,2,5) or a range (1..126)")
        ->capture_default_str();
    CLI::App *check = app.add_subcommand(
        "check", "line health: round-trip times, the controller's turnaround, failures and advice");
    check->add_option("addresses", pOptions->addresses, "gate addresses")->required();
    check->add_option("--reads", pOptions->reads, "reads of each gate")
        ->capture_default_str()
        ->check(CLI::Range(1, 100000));
    check->add_option("--count", pOptions->count, "read blocks of this many elements")
        ->check(CLI::Range(1, 63));
    CLI::App *plot =
        app.add_subcommand("plot", "draw the trend of a CSV recorded by poll --csv (needs gnuplot)");
    plot->add_option("csv", pOptions->plotIn, "CSV file from poll --csv")->required();
    plot->add_option("--out", pOptions->plotOut, "picture to write: FILE.png or FILE.svg")->required();
#if defined(ROVOD_HAVE_PORTS)
    CLI::App *ports = app.add_subcommand(
        "ports", "the machine's serial ports: device, stable by-id name, driver, USB vendor/product/serial");
#else
    CLI::App *ports = nullptr;
#endif
    for (CLI::App *sub : {info, parse, read, write, poll, scan, check, plot}) sub->fallthrough();
    if (ports) ports->fallthrough();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        const int rc = app.exit(e, out, errs);
        return rc == 0 ? 0 : kUsage;
    }
    pOptions->bBlock = blockOption->count() > 0;
    pOptions->bTimeoutGiven = timeoutOption->count() > 0;
    // A rate given before the subcommand is the one rate a scan tries.
    if (*scan && baudOption->count() > 0 && scanBaudOption->count() == 0)
        pOptions->scanBauds = std::to_string(pOptions->port.baud);
    *pCommand = *info                          ? Command::kInfo
                : *parse                       ? Command::kParse
                : *read                        ? Command::kRead
                : *write                       ? Command::kWrite
                : *scan                        ? Command::kScan
                : *check                       ? Command::kCheck
                : *plot                        ? Command::kPlot
                : (ports != nullptr && *ports) ? Command::kPorts
                                               : Command::kPoll;
    if (*pCommand == Command::kWrite) pOptions->addresses = {writeAddress};
    return -1;
}

bool PutValue(Gate *gate, const std::string &text) {
    char *end = nullptr;
    if (HoldsFloats(*gate)) {
        const double v = std::strtod(text.c_str(), &end);
        // A double beyond the float range would reach the gate as infinity.
        const float f = static_cast<float>(v);
        if (text.empty() || *end != '\0' || !std::isfinite(f)) return false;
        std::memcpy(gate->value, &f, sizeof f);
        return true;
    }
    const long v = std::strtol(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || v < -32768 || v > 65535) return false;
    const uint16_t w = static_cast<uint16_t>(v);
    std::memcpy(gate->value + 2, &w, sizeof w);
    return true;
}

}  // namespace rovod
