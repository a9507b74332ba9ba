// A host for tests: err() and Mox5UnCook() record what the driver hands over.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zedadad/zedadad.h"

namespace testhost {

struct LogLine {
    int32_t iCategory;
    std::string text;
    bool operator==(const LogLine &) const = default;
};

struct UnCookCall {
    int32_t iZero;
    uint32_t hGate;
    double dValue;
    void *pValue;
};

// Lines logged since the last Reset, formatted as the host would print them.
std::vector<LogLine> &Log();
std::vector<std::string> LogTexts();
std::vector<UnCookCall> &UnCooks();
// Forget everything recorded; the ended flag of the driver is cleared too,
// so each test starts with a freshly loaded module.
void Reset();
// True when some logged line has exactly this text.
bool Logged(const std::string &text);
// Print the captured lines (for failure messages).
std::string Dump();

}  // namespace testhost

// gtest printer for LogLine.
void PrintTo(const testhost::LogLine &line, std::ostream *os);
