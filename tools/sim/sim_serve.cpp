#include "sim_serve.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <sstream>
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
    // Paced against the start, so late wake-ups do not add up.
    const auto start = Clock::now();
    while (done < count) {
        const size_t chunk = line.bPace ? 1 : count - done;
        const ssize_t n = write(line.fd, bytes + done, chunk);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return false;
        }
        done += static_cast<size_t>(n);
        if (line.bPace)
            std::this_thread::sleep_until(start + std::chrono::microseconds(static_cast<int64_t>(
                                                      static_cast<double>(done) * line.charMs * 1000.0)));
    }
    return true;
}

bool ParseNumber(const std::string &text, long lo, long hi, long *pValue) {
    char *end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < lo || v > hi) return false;
    *pValue = v;
    return true;
}

// Whether a controller answers a request that came at this rate.
bool AnswersAt(const ServeOptions &options, uint8_t plc, uint32_t rate, std::string *pNote) {
    const auto it = options.rates.find(plc);
    const std::vector<uint32_t> only = it != options.rates.end() ? it->second
                                       : options.lineBaud        ? std::vector<uint32_t>{options.lineBaud}
                                                                 : std::vector<uint32_t>{};
    if (only.empty() || rate == 0) return true;
    for (uint32_t r : only)
        if (r == rate) return true;
    char text[64];
    std::snprintf(text, sizeof text, "at %u baud, controller %u answers only at", rate,
                  static_cast<unsigned>(plc));
    *pNote = text;
    for (uint32_t r : only) {
        std::snprintf(text, sizeof text, " %u", r);
        *pNote += text;
    }
    *pNote += ": ignored";
    return false;
}

}  // namespace

bool ParsePlcList(const std::string &text, std::vector<uint8_t> *pPlcs,
                  std::map<uint8_t, std::vector<uint32_t>> *pRates) {
    pPlcs->clear();
    pRates->clear();
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        const size_t at = item.find('@');
        long plc = 0;
        if (!ParseNumber(item.substr(0, at), 1, 255, &plc)) return false;
        pPlcs->push_back(static_cast<uint8_t>(plc));
        if (at == std::string::npos) continue;
        std::stringstream rates(item.substr(at + 1));
        std::string rate;
        std::vector<uint32_t> &list = (*pRates)[static_cast<uint8_t>(plc)];
        while (std::getline(rates, rate, '+')) {
            long baud = 0;
            if (!ParseNumber(rate, 1, 4000000, &baud)) return false;
            list.push_back(static_cast<uint32_t>(baud));
        }
        if (list.empty()) return false;
    }
    return !pPlcs->empty();
}

bool ParseDelay(const std::string &text, std::map<uint8_t, uint32_t> *pDelays) {
    const size_t eq = text.find('=');
    long plc = 0, ms = 0;
    if (eq == std::string::npos || !ParseNumber(text.substr(0, eq), 1, 255, &plc) ||
        !ParseNumber(text.substr(eq + 1), 0, 60000, &ms))
        return false;
    (*pDelays)[static_cast<uint8_t>(plc)] = static_cast<uint32_t>(ms);
    return true;
}

bool ParseNoBlock(const std::string &text, std::map<uint8_t, std::set<uint8_t>> *pNoBlock) {
    const size_t eq = text.find('=');
    long plc = 0;
    if (eq == std::string::npos || !ParseNumber(text.substr(0, eq), 1, 255, &plc)) return false;
    const std::string element = text.substr(eq + 1);
    char *end = nullptr;
    const long e = std::strtol(element.c_str(), &end, 16);
    if (element.empty() || element.size() > 2 || *end != '\0' || e < 0) return false;
    (*pNoBlock)[static_cast<uint8_t>(plc)].insert(static_cast<uint8_t>(e));
    return true;
}

namespace {

bool SwitchedOff(const ServeOptions &options, uint8_t plc, double sinceStartMs) {
    const auto it = options.offMs.find(plc);
    return it != options.offMs.end() && (it->second == 0 || sinceStartMs < it->second);
}

bool RefusedInBlock(const ServeOptions &options, const Request &r) {
    const auto it = options.noBlock.find(r.plc);
    if (it == options.noBlock.end() || !r.bLong || r.function != kReadWords) return false;
    const size_t n = ElementCount(r.data);
    if (n < 2) return false;
    for (size_t i = 0; i < n; ++i)
        if (it->second.count(r.data[i])) return true;
    return false;
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
    line->baud = config.baud;
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
    auto firstByte = start;  // of what rx holds
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
                if (rx.empty()) firstByte = Clock::now();
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
            // A pty carries any rate; the controller hears only its own.
            const uint32_t rate = line->slaveFd >= 0 ? LineRate(line->fd) : 0;
            std::string rateNote;
            if (plant->controllers.count(scan.request.plc) &&
                !AnswersAt(options, scan.request.plc, rate, &rateNote)) {
                Trace(options.trace, "rx", frame, DescribeRequest(scan.request) + ": " + rateNote);
                continue;
            }
            // Paced, the request takes its line time to arrive as well.
            if (line->bPace) {
                const double charMs = rate ? line->charMs * line->baud / rate : line->charMs;
                const auto arrived =
                    firstByte + std::chrono::microseconds(static_cast<int64_t>(scan.used * charMs * 1000.0));
                std::this_thread::sleep_until(arrived);
            }
            firstByte = Clock::now();
            if (SwitchedOff(options, scan.request.plc,
                            std::chrono::duration<double, std::milli>(Clock::now() - start).count())) {
                Trace(options.trace, "rx", frame, DescribeRequest(scan.request) + ": switched off");
                continue;
            }
            UpdateProcess(plant, std::chrono::duration<double>(Clock::now() - start).count());
            Answer answer = HandleRequest(plant, scan.request);
            if (answer.bServed && RefusedInBlock(options, scan.request)) {
                answer.reply = BuildAck(scan.request.plc, false);
                answer.bIsAck = true;
                answer.note = "refused: an element it gives only alone";
            }
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
            const auto delay = options.delayMs.find(scan.request.plc);
            SleepMs((delay != options.delayMs.end() ? delay->second : options.turnaroundMs) + out.delayMs);
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
