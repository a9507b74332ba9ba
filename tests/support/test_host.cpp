#include "support/test_host.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <ostream>

#include "base/ended.h"

namespace testhost {

namespace {

// Instances on several threads log at once.
std::mutex g_mutex;

}  // namespace

std::vector<LogLine> &Log() {
    static std::vector<LogLine> lines;
    return lines;
}

std::vector<UnCookCall> &UnCooks() {
    static std::vector<UnCookCall> calls;
    return calls;
}

std::vector<std::string> LogTexts() {
    std::vector<std::string> texts;
    for (const LogLine &line : Log()) texts.push_back(line.text);
    return texts;
}

void Reset() {
    std::lock_guard<std::mutex> lock(g_mutex);
    Log().clear();
    UnCooks().clear();
    zev::bEnded.store(0);
}

bool Logged(const std::string &text) {
    for (const LogLine &line : Log())
        if (line.text == text) return true;
    return false;
}

std::string Dump() {
    std::string out;
    for (const LogLine &line : Log()) out += "  [" + std::to_string(line.iCategory) + "] " + line.text + "\n";
    return out;
}

}  // namespace testhost

void PrintTo(const testhost::LogLine &line, std::ostream *os) {
    *os << "[" << line.iCategory << "] \"" << line.text << "\"";
}

extern "C" int err(int32_t iCategory, const char *pszFormat, ...) {
    char text[1024];
    va_list args;
    va_start(args, pszFormat);
    std::vsnprintf(text, sizeof text, pszFormat, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(testhost::g_mutex);
    testhost::Log().push_back({iCategory, text});
    return 0;
}

extern "C" int Mox5UnCook(int32_t iZero, uint32_t hGate, double dValue, void *pValue) {
    std::lock_guard<std::mutex> lock(testhost::g_mutex);
    testhost::UnCooks().push_back({iZero, hGate, dValue, pValue});
    return 0;
}
