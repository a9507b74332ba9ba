#include "sim_serve.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

speed_t SpeedOf(uint32_t baud, bool *pKnown) {
    struct Pair {
        uint32_t baud;
        speed_t speed;
    };
    static constexpr Pair kSpeeds[] = {{300, B300},     {600, B600},       {1200, B1200},    {2400, B2400},
                                       {4800, B4800},   {9600, B9600},     {19200, B19200},  {38400, B38400},
                                       {57600, B57600}, {115200, B115200}, {230400, B230400}};
    for (const Pair &p : kSpeeds)
        if (p.baud == baud) {
            *pKnown = true;
            return p.speed;
        }
    *pKnown = false;
    return B9600;
}

bool ApplySettings(int fd, const LineConfig &config, bool bStrict, std::string *pError) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        *pError = std::string("cannot read the line settings: ") + std::strerror(errno);
        return false;
    }
    cfmakeraw(&tio);
    bool bKnown = false;
    const speed_t speed = SpeedOf(config.baud, &bKnown);
    if (!bKnown && bStrict) {
        *pError = "baud rate " + std::to_string(config.baud) + " is not supported on this device";
        return false;
    }
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CMSPAR | CRTSCTS);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= kSizes[config.dataBits - 5] | CLOCAL | CREAD;
    if (config.stopCode != 0) tio.c_cflag |= CSTOPB;
    switch (config.parity) {
        case 1:
            tio.c_cflag |= PARENB | PARODD;
            break;
        case 2:
            tio.c_cflag |= PARENB;
            break;
        case 3:
            tio.c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case 4:
            tio.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &tio) != 0 && bStrict) {
        *pError = std::string("cannot apply the line settings: ") + std::strerror(errno);
        return false;
    }
    return true;
}

std::string Stamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t secs = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm parts{};
    localtime_r(&secs, &parts);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", parts.tm_hour, parts.tm_min, parts.tm_sec,
                  static_cast<int>(ms));
    return text;
}

void Trace(FILE *trace, const char *direction, std::span<const uint8_t> bytes, const std::string &note) {
    if (trace == nullptr) return;
    std::fprintf(trace, "%s %s %-44s %s\n", Stamp().c_str(), direction, Hex(bytes).c_str(), note.c_str());
    std::fflush(trace);
}

void SleepMs(double ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(ms * 1000.0)));
}

bool WriteAll(const Line &line, const uint8_t *bytes, size_t count) {
    size_t done = 0;
    while (done < count) {
        const size_t chunk = line.bPace ? 1 : count - done;
        const ssize_t n = write(line.fd, bytes + done, chunk);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return false;
        }
        done += static_cast<size_t>(n);
        if (line.bPace) SleepMs(line.charMs);
    }
    return true;
}

}  // namespace

double CharMs(uint32_t baud, uint32_t dataBits, uint32_t stopCode, uint32_t parity) {
    const double stop = stopCode == 0 ? 1.0 : stopCode == 1 ? 1.5 : 2.0;
    const double bits = 1.0 + dataBits + (parity != 0 ? 1.0 : 0.0) + stop;
    return baud ? bits * 1000.0 / baud : 0.0;
}

bool OpenLine(const LineConfig &config, Line *line, std::string *pError) {
    if (config.dataBits < 5 || config.dataBits > 8 || config.stopCode > 2 || config.parity > 4 ||
        config.baud == 0) {
        *pError = "invalid line settings (data 5..8, stop 0..2, parity 0..4, baud > 0)";
        return false;
    }
    line->charMs = CharMs(config.baud, config.dataBits, config.stopCode, config.parity);
    line->bPace = config.bPace;
    if (config.bPty) {
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
            *pError = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
            if (master >= 0) close(master);
            return false;
        }
        line->fd = master;
        line->path = ptsname(master);
        line->slaveFd = open(line->path.c_str(), O_RDWR | O_NOCTTY);
        // Raw from the start, so nothing the driver sends is echoed or cooked
        // before it sets the line up itself.
        if (line->slaveFd < 0 || !ApplySettings(line->slaveFd, config, false, pError)) {
            if (pError->empty())
                *pError = std::string("cannot open ") + line->path + ": " + std::strerror(errno);
            CloseLine(line);
            return false;
        }
    } else {
        line->path = config.port.empty() || config.port[0] == '/' || config.port[0] == '.'
                         ? config.port
                         : "/dev/" + config.port;
        line->fd = open(line->path.c_str(), O_RDWR | O_NOCTTY);
        if (line->fd < 0) {
            *pError = "cannot open " + line->path + ": " + std::strerror(errno);
            return false;
        }
        if (!ApplySettings(line->fd, config, true, pError)) {
            CloseLine(line);
            return false;
        }
    }
    line->name = line->path.rfind("/dev/", 0) == 0 ? line->path.substr(5) : line->path;
    return true;
}

void CloseLine(Line *line) {
    if (line->slaveFd >= 0) close(line->slaveFd);
    if (line->fd >= 0) close(line->fd);
    line->slaveFd = -1;
    line->fd = -1;
}

int Serve(Line *line, Plant *plant, const ServeOptions &options, const std::atomic<bool> *pStop,
          std::string *pError) {
    const auto start = Clock::now();
    auto lastByte = start;
    const double partialMs = std::max(100.0, 20.0 * line->charMs);
    Bytes rx;
    uint32_t requestNo = 0;
    while (!pStop->load()) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (options.durationS > 0 && elapsed >= options.durationS) break;
        pollfd pfd{line->fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, 20);
        if (ready < 0 && errno != EINTR) {
            *pError = std::string("line failed: ") + std::strerror(errno);
            return 1;
        }
        if (ready > 0 && (pfd.revents & POLLIN)) {
            uint8_t chunk[256];
            const ssize_t n = read(line->fd, chunk, sizeof chunk);
            if (n < 0 && errno != EINTR && errno != EAGAIN) {
                *pError = std::string("reading the line failed: ") + std::strerror(errno);
                return 1;
            }
            if (n > 0) {
                rx.insert(rx.end(), chunk, chunk + n);
                lastByte = Clock::now();
            }
        } else if (ready > 0 && (pfd.revents & (POLLERR | POLLNVAL))) {
            *pError = "the line is gone";
            return 1;
        }
        while (!rx.empty()) {
            const Scan scan = ScanRequest(rx);
            if (scan.result == ScanResult::kNeedMore) {
                const double idleMs =
                    std::chrono::duration<double, std::milli>(Clock::now() - lastByte).count();
                if (idleMs < partialMs) break;
                Trace(options.trace, "rx", rx, "incomplete frame, dropped");
                rx.clear();
                break;
            }
            const Bytes frame(rx.begin(), rx.begin() + static_cast<std::ptrdiff_t>(scan.used));
            rx.erase(rx.begin(), rx.begin() + static_cast<std::ptrdiff_t>(scan.used));
            if (scan.result == ScanResult::kGarbage) {
                Trace(options.trace, "rx", frame, "noise, skipped");
                continue;
            }
            if (scan.result == ScanResult::kBadFcs) {
                Trace(options.trace, "rx", frame, "check sum error, ignored");
                continue;
            }
            UpdateProcess(plant, std::chrono::duration<double>(Clock::now() - start).count());
            const Answer answer = HandleRequest(plant, scan.request);
            Trace(options.trace, "rx", frame,
                  DescribeRequest(scan.request) + (answer.bServed ? "" : ": " + answer.note));
            if (!answer.bServed) continue;
            ++requestNo;
            if (options.pServed != nullptr) options.pServed->store(requestNo, std::memory_order_release);
            FaultOutcome out = ApplyFaults(options.faults, requestNo, answer.reply, &plant->rng);
            const std::string faults = out.applied.empty() ? "" : "  [fault " + out.applied + "]";
            if (out.bDrop) {
                Trace(options.trace, "--", {}, "no answer" + faults);
                continue;
            }
            SleepMs(options.turnaroundMs + out.delayMs);
            bool bOk = true;
            if (out.splitAt) {
                bOk = WriteAll(*line, out.frame.data(), out.splitAt);
                SleepMs(out.splitGapMs);
                bOk = bOk && WriteAll(*line, out.frame.data() + out.splitAt, out.frame.size() - out.splitAt);
            } else {
                bOk = WriteAll(*line, out.frame.data(), out.frame.size());
            }
            Trace(options.trace, "tx", out.frame, answer.note + faults);
            if (!bOk) {
                *pError = std::string("writing the line failed: ") + std::strerror(errno);
                return 1;
            }
        }
    }
    return 0;
}

}  // namespace sim
