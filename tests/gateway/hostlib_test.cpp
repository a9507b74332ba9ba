// The driver's imports are process-wide functions; each thread that binds a
// host state gets its own log lines and gates from them.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "host.h"

namespace {

struct Seen {
    std::vector<std::string> log;
    float value = 0;
};

// A thread that drives "an instance": logs through err and hands a value to
// its first gate through Mox5UnCook, as the driver does.
void Drive(rovod::HostState *state, int n, Seen *seen) {
    rovod::BindHost(state);
    rovod::Gate *gate = rovod::AddGate("01A0005", false, 1, ZEV_TYPE_LONG);
    for (int i = 0; i < 200; ++i) {
        err(ZEV_LOG_TRACE, "ROVOD> line %d call %d", n, i);
        Mox5UnCook(0, gate->rec.hGate, n + i / 1000.0, gate->value);
    }
    for (const rovod::LogEntry &line : rovod::DriverLog()) seen->log.push_back(line.text);
    std::memcpy(&seen->value, gate->value, sizeof seen->value);
    rovod::BindHost(nullptr);
}

TEST(HostLib, EachThreadHasItsOwnLogAndGates) {
    const size_t processLines = rovod::CurrentHost()->log.size();
    rovod::HostState states[4];
    Seen seen[4];
    std::vector<std::thread> threads;
    for (int n = 0; n < 4; ++n) threads.emplace_back(Drive, &states[n], n + 1, &seen[n]);
    for (std::thread &t : threads) t.join();
    for (int n = 0; n < 4; ++n) {
        ASSERT_EQ(seen[n].log.size(), 200u);
        for (int i = 0; i < 200; ++i)
            EXPECT_EQ(seen[n].log[i], "ROVOD> line " + std::to_string(n + 1) + " call " + std::to_string(i));
        EXPECT_FLOAT_EQ(seen[n].value, n + 1 + 0.199f);
        EXPECT_EQ(states[n].gates.size(), 1u);
    }
    // Nothing reached the state of the threads that bound none.
    EXPECT_EQ(rovod::CurrentHost()->log.size(), processLines);
    EXPECT_TRUE(rovod::Gates().empty());
}

}  // namespace
