// Putting a line into service end to end: the simulator's rates and reply
// delays, scan, check, poll --csv, plot, ports and long port names.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>

#include "e2e.h"

namespace {

using namespace rovod_e2e;

std::string TempPath(const std::string &name) {
    return ::testing::TempDir() + "commission_" + std::to_string(getpid()) + "_" + name;
}

std::vector<std::pair<int, int>> FoundAt(const json &scan) {
    std::vector<std::pair<int, int>> found;
    for (const json &f : scan["found"]) found.emplace_back(f["plc"].get<int>(), f["baud"].get<int>());
    return found;
}

TEST(SimUsage, RefusesMalformedRatesAndDelays) {
    for (const char *args :
         {"--plc 5@", "--plc 5@fast", "--plc 0@9600", "--delay 5", "--delay 5=x", "--delay 300=1"}) {
        const int raw =
            std::system((std::string(ROVOD_SIM_BIN) + " --pty " + args + " >/dev/null 2>&1").c_str());
        EXPECT_EQ(WEXITSTATUS(raw), 64) << args;
    }
}

// Each controller answers at its own rate only; the scan finds each there
// and nowhere else, and nothing at addresses nobody serves.
TEST(RovodScan, FindsEachControllerAtItsRateOnly) {
    Simulator sim({"--baud", "4800"}, "3@19200,5,7@9600+38400");
    ASSERT_FALSE(sim.port.empty());
    const Outcome o =
        Rovod("scan --json --timeout 3 --port " + sim.port + " --plc 1..8 --baud 9600,19200,38400");
    ASSERT_EQ(o.status, 0) << o.out << o.err;
    const json j = Json(o);
    const std::vector<std::pair<int, int>> expected{{7, 9600}, {3, 19200}, {7, 38400}};
    EXPECT_EQ(FoundAt(j), expected) << o.out;
    EXPECT_EQ(j["asked"], 24);
    EXPECT_EQ(j["found"][1]["status"][0], 3);  // the status block begins with the address
    // Controller 5 answers at the line's rate, 4800, which was not asked.
    const Outcome slow = Rovod("scan --json --port " + sim.port + " --plc 5,6 --baud 4800");
    ASSERT_EQ(slow.status, 0) << slow.err;
    EXPECT_EQ(FoundAt(Json(slow)), (std::vector<std::pair<int, int>>{{5, 4800}}));
}

TEST(RovodScan, InterruptShowsWhatWasFoundAndExits130) {
    Simulator sim({});
    ASSERT_FALSE(sim.port.empty());
    // 126 addresses at 3 x 50 ms each would take about 20 s.
    const Outcome o = Rovod("scan --json --timeout 5 --baud 9600 --port " + sim.port, ROVOD_DRIVER_LIB,
                            "timeout --preserve-status -s INT 1.5 ");
    EXPECT_EQ(o.status, 130) << o.out << o.err;
    const json j = Json(o);
    EXPECT_TRUE(j["interrupted"]);
    EXPECT_EQ(FoundAt(j), (std::vector<std::pair<int, int>>{{1, 9600}, {2, 9600}}));
    EXPECT_LT(j["asked"].get<int>(), 126);
    EXPECT_NE(o.err.find("scan: "), std::string::npos) << "plain progress lines when stderr is no terminal";
}

TEST(RovodCheck, TurnaroundIsTheControllersReplyDelay) {
    Simulator sim({"--pace", "--delay", "1=20"});
    ASSERT_FALSE(sim.port.empty());
    const Outcome o = Rovod("check 01A0011 02A0011 --reads 15 --json --port " + sim.port);
    ASSERT_EQ(o.status, 0) << o.out << o.err;
    const json j = Json(o);
    EXPECT_FALSE(j["switched"]);
    EXPECT_NEAR(j["gates"][0]["line_ms"].get<double>(), 25 * 1.0416667, 0.01);  // 14 + 11 characters
    EXPECT_NEAR(j["gates"][0]["turnaround_ms"].get<double>(), 20.0, 3.0) << o.out;
    EXPECT_NEAR(j["gates"][1]["turnaround_ms"].get<double>(), 1.0, 3.0) << o.out;
    EXPECT_EQ(j["gates"][0]["failures"].size(), 0u);
    EXPECT_EQ(j["gates"][0]["clean"], 15);

    // Replies that never come are counted by code, with the driver's retries.
    const Outcome lost = Rovod("check 03A0011 --reads 2 --timeout 3 --json --port " + sim.port);
    EXPECT_EQ(lost.status, 1);
    EXPECT_EQ(Json(lost)["gates"][0]["failures"]["2"], 2);
    EXPECT_EQ(Json(lost)["gates"][0]["retries"], 4);

    // Without line timing (a pty served unpaced) there is no turnaround to tell.
    Simulator unpaced({});
    const Outcome fast = Rovod("check 01A0011 --reads 3 --json --port " + unpaced.port);
    ASSERT_EQ(fast.status, 0) << fast.out << fast.err;
    EXPECT_FALSE(Json(fast)["gates"][0].contains("turnaround_ms")) << fast.out;
}

// With RTS switched by the control-signal file, the driver's own trace of
// each send gives the planned and the measured hold.
TEST(RovodCheck, ShowsTheHoldOfSwitchedSends) {
    Simulator sim({});
    ASSERT_FALSE(sim.port.empty());
    const std::string dir = TempPath("switched");
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/ROVOD.INT") << "SEND = RTS ON\nRECEIVE = RTS OFF\n";
    const Outcome o =
        Rovod("check 01A0011 --reads 5 --json --port " + sim.port, ROVOD_DRIVER_LIB, "cd " + dir + " && ");
    std::filesystem::remove_all(dir);
    ASSERT_EQ(o.status, 0) << o.out << o.err;
    const json j = Json(o);
    EXPECT_TRUE(j["switched"]);
    // 14 characters at 9600 baud, less the default -1 ms of FDELAY.
    EXPECT_NEAR(j["gates"][0]["hold_ms"]["planned"].get<double>(), 14 * 1.0416667 - 1.0, 0.5) << o.out;
    EXPECT_GE(j["gates"][0]["hold_ms"]["measured"].get<double>(), 14 * 1.0416667 - 1.0 - 0.5);
}

// RS485 = ON: where the port has the kernel's RS-485 mode (the shim lends a
// pty one) RTS is the kernel's, set from the masks and FDELAY and given back
// at the end, and the driver neither switches nor holds; where the port has
// none, one line says so and the driver switches as before.
TEST(RovodCheck, KernelRs485ModeWhereThePortHasItElseTheDriversOwnSwitching) {
    for (const bool bShim : {true, false}) {
        SCOPED_TRACE(bShim ? "a port with RS-485 mode" : "a plain pty");
        Simulator sim({});
        ASSERT_FALSE(sim.port.empty());
        const std::string dir = TempPath(bShim ? "rs485" : "no-rs485");
        std::filesystem::create_directories(dir);
        std::ofstream(dir + "/ROVOD.INT") << "SEND = RTS ON\nRECEIVE = RTS OFF\nFDELAY = 25\nRS485 = ON\n";
        const std::string log = dir + "/rs485.log";
        std::string prefix = "cd " + dir + " && ";
        if (bShim)
            prefix += "ASAN_OPTIONS=\"$ASAN_OPTIONS:verify_asan_link_order=0\" LD_PRELOAD=" ROVOD_RS485_SHIM
                      " ROVOD_RS485_SHIM=" +
                      log + " ";
        const Outcome o =
            Rovod("-v check 01A0011 --reads 5 --json --port " + sim.port, ROVOD_DRIVER_LIB, prefix);
        const std::string modes = Slurp(log);
        std::filesystem::remove_all(dir);
        ASSERT_EQ(o.status, 0) << o.out << o.err;
        const json j = Json(o);
        EXPECT_EQ(j["kernel_rs485"], bShim);
        EXPECT_EQ(j["gates"][0].contains("hold_ms"), !bShim) << o.out;
        EXPECT_EQ(Count(o.err, "has no kernel RS485 mode"), bShim ? 0u : 1u) << o.err;
        if (bShim) {
            EXPECT_EQ(Count(o.err, "Send() Delay"), 0u) << o.err;
            // Read, set (RTS on while sending, 3 ms after), and at the end given back.
            EXPECT_EQ(modes, "get 0 0 7\nset 0x3 0 3\nset 0 0 7\n");
        } else {
            EXPECT_GE(Count(o.err, "Send() Delay"), 5u) << o.err;
        }
    }
}

TEST(RovodPort, LongLinksResolveToTheDevice) {
    Simulator sim({});
    ASSERT_FALSE(sim.port.empty());
    const std::string link = TempPath("converter-by-id-link");
    ASSERT_EQ(symlink(("/dev/" + sim.port).c_str(), link.c_str()), 0);
    const Outcome o = Rovod("read 01A0011 -v --json --port " + link);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(Json(o)["gates"][0]["value"], 12.5);
    EXPECT_NE(o.err.find("rovod: port " + link + " is " + sim.port), std::string::npos) << o.err;
    std::remove(link.c_str());

    // A link to something that is no short device name still does not fit.
    const std::string target = TempPath("not-a-device");
    std::ofstream(target) << "";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    const Outcome bad = Rovod("read 01A0011 --port " + link);
    EXPECT_EQ(bad.status, 64);
    EXPECT_NE(bad.err.find("port name " + std::filesystem::canonical(target).string()), std::string::npos)
        << bad.err;
    std::remove(link.c_str());
    std::remove(target.c_str());
}

TEST(RovodPoll, CsvRowPerCycleAndItsPlot) {
    const std::string csv = TempPath("poll.csv");
    const Outcome o = Rovod("poll 01A0000 01A0011 0120000 --cycles 4 --interval 20 --csv " + csv);
    ASSERT_EQ(o.status, 0) << o.err;
    std::ifstream in(csv);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].rfind("time,01A0000,01A0000 result,01A0011,01A0011 result,0120000[0],", 0), 0u)
        << lines[0];
    EXPECT_EQ(Count(lines[0], ","), 2u + 2u + 11u);
    for (size_t i = 1; i < lines.size(); ++i) {
        std::tm t{};
        int ms = -1;
        char zone = 0;
        ASSERT_EQ(std::sscanf(lines[i].c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c", &t.tm_year, &t.tm_mon,
                              &t.tm_mday, &t.tm_hour, &t.tm_min, &t.tm_sec, &ms, &zone),
                  8)
            << lines[i];
        EXPECT_EQ(zone, 'Z');
        EXPECT_GE(ms, 0);
        EXPECT_EQ(Count(lines[i], ","), Count(lines[0], ","));
        EXPECT_NE(lines[i].find(",12.5,0,"), std::string::npos) << lines[i];
        // ISO 8601 sorts as time does.
        if (i > 1) {
            EXPECT_LE(lines[i - 1].substr(0, 24), lines[i].substr(0, 24));
        }
    }
    // "-": the CSV is all there is on standard output.
    const Outcome out = Rovod("poll 01A0011 --cycles 2 --interval 10 --csv -");
    EXPECT_EQ(Count(out.out, "\n"), 3u) << out.out;

    const std::string png = TempPath("trend.png");
    const Outcome plot = Rovod("plot " + csv + " --out " + png);
    ASSERT_EQ(plot.status, 0) << plot.err;
    const std::string picture = Slurp(png);
    EXPECT_GT(picture.size(), 2000u);
    EXPECT_EQ(picture.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    const Outcome missing = Rovod("plot " + csv + " --out " + png, ROVOD_DRIVER_LIB, "PATH=/nonexistent ");
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("apt-get install gnuplot-nox"), std::string::npos) << missing.err;
    std::remove(csv.c_str());
    std::remove(png.c_str());
}

#if defined(ROVOD_UMOCKDEV_RUN)
// A pty is no udev device, so the listing is checked against a recorded
// device tree (ports.umockdev): a USB adapter with its stable names, a UART,
// an empty UART slot and a virtual console that is no serial port.
// Under ASan the preload library comes before the sanitizer's runtime.
std::string Testbed(const std::string &recording = ROVOD_TOOLS_TEST_DIR "/ports.umockdev") {
    return "ASAN_OPTIONS=\"$ASAN_OPTIONS:verify_asan_link_order=0\" " ROVOD_UMOCKDEV_RUN " -d " + recording +
           " -- ";
}

const char kLatencyAdvice[] =
    "latency: /dev/ttyUSB0 holds received bytes up to 16 ms before it hands them on (latency_timer), which "
    "adds to every reply; set 1 ms: echo 1 | sudo tee /sys/bus/usb-serial/devices/ttyUSB0/latency_timer";

TEST(RovodPorts, ListsWhatUdevKnowsOfEachPort) {
    const std::string testbed = Testbed();
    const Outcome o = Rovod("ports --json", ROVOD_DRIVER_LIB, testbed);
    ASSERT_EQ(o.status, 0) << o.err;
    const json ports = Json(o)["ports"];
    ASSERT_EQ(ports.size(), 3u) << o.out;
    EXPECT_EQ(ports[0], json::parse(R"({"device":"/dev/ttyUSB0","name":"ttyUSB0","driver":"ftdi_sio",
        "devnum":"188:0","latency_timer_ms":16,
        "by_id":"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A6008isP-if00-port0",
        "by_path":"/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0",
        "usb":{"vendor":"FTDI","product":"FT232R USB UART","serial":"A6008isP",
               "vendor_id":"0403","product_id":"6001"}})"));
    EXPECT_EQ(ports[1], json::parse(R"({"device":"/dev/ttyS4","name":"ttyS4","driver":"serial8250",
        "devnum":"4:68","by_id":"","by_path":"","uart_type":4})"));
    EXPECT_EQ(ports[2]["device"], "/dev/ttyS5");
    ASSERT_EQ(Json(o)["advice"].size(), 1u);
    EXPECT_EQ(Json(o)["advice"][0].get<std::string>().rfind(kLatencyAdvice, 0), 0u) << o.out;

    const Outcome table = Rovod("ports", ROVOD_DRIVER_LIB, testbed);
    ASSERT_EQ(table.status, 0) << table.err;
    for (const char *cell : {"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A6008isP-if00-port0",
                             "0403:6001 FTDI FT232R USB UART serial A6008isP latency 16 ms",
                             "(no UART behind it)", kLatencyAdvice})
        EXPECT_NE(table.out.find(cell), std::string::npos) << cell << "\n" << table.out;
}

// check finds the adapter by the device number of the port it opened: the
// FTDI adapter of the recording is given the simulator's pty. The pty goes
// by a relative name, which the testbed leaves to the real device.
TEST(RovodCheck, AdvisesOnAnAdaptersLatencyTimer) {
    Simulator sim({});
    ASSERT_FALSE(sim.port.empty());
    struct stat info {};
    ASSERT_EQ(stat(("/dev/" + sim.port).c_str(), &info), 0);
    std::string recording = Slurp(ROVOD_TOOLS_TEST_DIR "/ports.umockdev");
    recording.replace(recording.find("E: MAJOR=188\nE: MINOR=0"), 23,
                      "E: MAJOR=" + std::to_string(major(info.st_rdev)) +
                          "\nE: MINOR=" + std::to_string(minor(info.st_rdev)));
    const std::string path = TempPath("pty.umockdev");
    std::ofstream(path) << recording;
    const Outcome o = Rovod("check 01A0011 --reads 2 --port ./dev/" + sim.port, ROVOD_DRIVER_LIB,
                            "cd / && " + Testbed(path));
    std::remove(path.c_str());
    ASSERT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_NE(o.out.find(kLatencyAdvice), std::string::npos) << o.out;
}

// A missing device: the driver's own reason names the ports there are (as
// /sys and /dev/serial/by-id show them), and rovod prints it.
TEST(RovodPort, MissingDeviceListsTheSerialPortsThere) {
    const Outcome o =
        Rovod("read 01A0005 --port ttyUSB7", ROVOD_DRIVER_LIB,
              Testbed() +
                  "sh -c 'mkdir -p \"$UMOCKDEV_DIR/dev/serial/by-id\" && ln -s ../../ttyUSB0 "
                  "\"$UMOCKDEV_DIR/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A6008isP-if00-port0\" "
                  "&& exec \"$0\" \"$@\"' ");
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(
        o.err.find(
            "rovod: cannot open port ttyUSB7: /dev/ttyUSB7: no such device; serial ports here: "
            "/dev/ttyS4, /dev/ttyUSB0 (/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A6008isP-if00-port0)"),
        std::string::npos)
        << o.err;
}
#endif

#if defined(ROVOD_HAVE_PORTS)
// And on the machine's own ports: every device listed exists, and a UART slot the
// kernel registered (ttyS0) is among them.
TEST(RovodPorts, ListsTheMachinesSerialDevices) {
    const Outcome o = Rovod("ports --json");
    ASSERT_EQ(o.status, 0) << o.err;
    const json j = Json(o);
    bool bTtyS0 = false;
    for (const json &port : j["ports"]) {
        struct stat info {};
        EXPECT_EQ(stat(port["device"].get<std::string>().c_str(), &info), 0) << port;
        EXPECT_TRUE(S_ISCHR(info.st_mode)) << port;
        EXPECT_FALSE(port["driver"].get<std::string>().empty()) << port;
        if (port["name"] == "ttyS0") bTtyS0 = true;
        EXPECT_NE(port["name"].get<std::string>().rfind("pts", 0), 0u) << "ptys are no serial ports";
    }
    if (std::filesystem::exists("/sys/class/tty/ttyS0/device") && std::filesystem::exists("/dev/ttyS0")) {
        EXPECT_TRUE(bTtyS0) << o.out;
    }
    EXPECT_EQ(Rovod("ports").status, 0);
}
#endif

}  // namespace
