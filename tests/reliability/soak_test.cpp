// One instance against the simulator with about one reply in ten spoiled,
// by every fault kind the simulator has, on request numbers drawn from a
// fixed seed: every value stored is the simulator's, every write reported
// done is in its memory, and each call's result and number of attempts are
// what its faults call for.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/context.h"
#include "instance.h"
#include "sim_faults.h"
#include "sim_plant.h"
#include "sim_serve.h"
#include "support/test_host.h"

namespace {

using reltest::Instance;

constexpr uint8_t kPlc = 1;
constexpr int kReads = 2000;          // ROVOD_SOAK_READS shortens it (a sanitizer build)
constexpr int32_t kTimeout10ms = 15;  // 150 ms
constexpr uint8_t kFirstElement = 0x20;
constexpr int kElements = 64;
constexpr int kBlock = 8;
constexpr uint32_t kSeed = 20261208;
constexpr double kFaultRate = 0.10;
constexpr uint32_t kPlannedRequests = 4000;
// Now and then three spoiled replies in a row, so that calls fail too.
constexpr uint32_t kBurstEvery = 150;
constexpr int kFirstSpoiling = 4;  // kinds from here on spoil an attempt
// A reply that does not come whole is waited out for a transaction's span
// before the next request (about 100 of them, 0.55 s each).
constexpr int64_t kBudgetMs = 150000;

// How one attempt ends with a fault on its reply: success, or the result the
// attempt gets. A delay below the reply time-out, a split, trailing bytes and
// a second copy do not spoil it.
enum Outcome : uint32_t { kPass = 0 };

struct Kind {
    const char *rule;
    uint32_t readResult;
    uint32_t writeResult;  // 3: the NAK ends the call
};
constexpr std::array<Kind, 12> kKinds{{
    {"delay=40", kPass, kPass},
    {"split=20", kPass, kPass},
    {"trailing=2", kPass, kPass},
    {"dup", kPass, kPass},
    {"drop", 2, 2},
    {"badfcs", 1, 1},
    {"wrongplc", 1, 1},
    {"noise=3", 1, 1},
    {"nak", 1, 3},
    {"badlen", 1, 2},
    {"noend", 1, 2},
    {"cut", 1, 2},
}};
constexpr int kNoFault = -1;
constexpr int kDup = 3;
static_assert(std::string_view(kKinds[kDup].rule) == "dup");

struct Expected {
    uint32_t result;
    uint32_t attempts;
};

int ReadsToMake() {
    const char *pszReads = std::getenv("ROVOD_SOAK_READS");
    const int iReads = pszReads != nullptr ? std::atoi(pszReads) : 0;
    return iReads > 0 && iReads < kReads ? iReads : kReads;
}

// After a wait for late replies the line is in doubt: a good reply with a
// second copy right behind it is taken for a controller answering earlier
// requests, and the attempt fails.
// uLost: first attempts lost to an earlier request's reply that came later
// than any wait for it (a busy machine's pty), which only doubt can catch.
Expected ExpectedOf(const std::vector<int> &plan, uint32_t uFirst, bool bWrite, bool bDoubt,
                    uint32_t uLost = 0) {
    Expected e{0, 0};
    for (uint32_t k = 0; k < 3; ++k) {
        const uint32_t n = uFirst + k;
        const int kind = n < plan.size() ? plan[n] : kNoFault;
        e.attempts = k + 1;
        e.result = kind == kNoFault ? kPass : bWrite ? kKinds[kind].writeResult : kKinds[kind].readResult;
        if ((bDoubt && kind == kDup) || k < uLost) e.result = 2;
        if (e.result == kPass || (bWrite && e.result == 3)) break;
    }
    return e;
}

bool SameValue(float fStored, uint16_t wWord) {
    const auto fExpected = static_cast<float>(sim::ValueFromWord(wWord));
    return std::fabs(fStored - fExpected) <= 1e-6f * std::fabs(fExpected);
}

struct Counts {
    std::map<uint32_t, int> readResults, writeResults;
    std::array<int, kKinds.size()> injected{};
    int iWrongValues = 0, iFalseSuccesses = 0, iWrongResults = 0, iWrongAttempts = 0, iAttempts = 0;
    int iLostInDoubt = 0;
};

TEST(Soak, FaultyRepliesNeverReachTheHostAsValues) {
    const uint32_t uSeed = kSeed;
    testhost::Reset();
    reltest::ScratchDir dir{};
    ASSERT_TRUE(reltest::EnterScratchDir(&dir));

    // The plan: request n gets kinds[plan[n]] or nothing.
    std::mt19937 rng(uSeed);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    std::uniform_int_distribution<int> pick(0, static_cast<int>(kKinds.size()) - 1);
    std::vector<int> plan(kPlannedRequests + 3, kNoFault);
    sim::ServeOptions options;
    for (uint32_t n = 1; n <= kPlannedRequests; ++n) {
        if (n % kBurstEvery == 0) {
            const int kind =
                kFirstSpoiling + static_cast<int>(n / kBurstEvery) % (kKinds.size() - kFirstSpoiling);
            plan[n] = plan[n + 1] = plan[n + 2] = kind;
        } else if (plan[n] == kNoFault && chance(rng) < kFaultRate) {
            plan[n] = pick(rng);
        }
        if (plan[n] == kNoFault) continue;
        sim::FaultRule rule;
        std::string error;
        ASSERT_TRUE(
            sim::ParseFault(std::string(kKinds[plan[n]].rule) + "@" + std::to_string(n), &rule, &error));
        options.faults.push_back(rule);
    }

    sim::Plant plant;
    sim::PlantConfig config;
    config.plcs = {kPlc};
    config.bLive = false;
    config.seed = uSeed;
    sim::InitPlant(&plant, config);
    std::array<uint16_t, 256> &words = plant.controllers[kPlc].words;
    for (int e = 0; e < kElements + kBlock; ++e)
        words[kFirstElement + e] = reltest::WordOf(static_cast<uint16_t>(7 * e + 1));

    sim::Line line;
    sim::LineConfig lineConfig;
    lineConfig.bPty = true;
    lineConfig.baud = 57600;
    std::string error;
    ASSERT_TRUE(sim::OpenLine(lineConfig, &line, &error)) << error;
    std::atomic<uint32_t> served{0};
    std::atomic<bool> stop{false};
    options.pServed = &served;
    std::thread simulator([&] { sim::Serve(&line, &plant, options, &stop, &error); });

    Instance instance{};
    ASSERT_EQ(reltest::ColdStartOn(&instance, line.name.c_str(), kTimeout10ms), 0u) << testhost::Dump();
    Counts counts;
    std::uniform_int_distribution<int> element(0, kElements - 1);
    std::uniform_int_distribution<int> mantissa(0, 6000);
    const int iReadsToMake = ReadsToMake(), iWritesToMake = iReadsToMake / 4;
    const int64_t llStart = reltest::NowMs();
    int iReads = 0;
    int iWrites = 0;
    while ((iReads < iReadsToMake || iWrites < iWritesToMake) && reltest::NowMs() - llStart < kBudgetMs) {
        // Four reads to a write, until both counts are done; a quarter of
        // the reads are blocks.
        const bool bWrite =
            iWrites < iWritesToMake && (iReads >= iReadsToMake || (iReads + iWrites) % 5 == 4);
        const bool bBlock = !bWrite && iReads % 4 == 3;
        const auto bElement = static_cast<uint8_t>(kFirstElement + element(rng));
        const uint32_t uFirst = served.load(std::memory_order_acquire) + 1;
        // Replies owed by the call before, or the doubt they leave.
        const bool bDoubt =
            reinterpret_cast<const zev::DriverContext *>(instance.block.data())->bLateBytes != 0;
        const float fWritten = static_cast<float>(0.025 * mantissa(rng));
        uint32_t rc = 0;
        if (bWrite) {
            rc = reltest::WriteWord(&instance, kPlc, bElement, fWritten);
            ++counts.writeResults[rc];
            ++iWrites;
        } else if (bBlock) {
            GateRecord &g = instance.gate;
            g = GateRecord{"block", 0, kPlc, 'A', bElement, -1, 0, 0, kBlock, 0, instance.value.data(), 0};
            rc = reltest::Call(&instance, ZEV_BLOCK_READ, &g);
            ++counts.readResults[rc];
            ++iReads;
        } else {
            float f = 0;
            rc = reltest::ReadWord(&instance, kPlc, bElement, &f);
            ++counts.readResults[rc];
            ++iReads;
        }
        const uint32_t uAttempts = served.load(std::memory_order_acquire) + 1 - uFirst;
        counts.iAttempts += static_cast<int>(uAttempts);
        for (uint32_t n = uFirst; n < uFirst + uAttempts && n < plan.size(); ++n)
            if (plan[n] != kNoFault) ++counts.injected[plan[n]];
        Expected e = ExpectedOf(plan, uFirst, bWrite, bDoubt);
        if (bDoubt && (rc != e.result || uAttempts != e.attempts)) {
            const Expected lost = ExpectedOf(plan, uFirst, bWrite, bDoubt, 1);
            if (rc == lost.result && uAttempts == lost.attempts) {
                e = lost;
                ++counts.iLostInDoubt;
            }
        }
        if (rc != e.result && counts.iWrongResults++ < 5)
            ADD_FAILURE() << "request " << uFirst << ": result " << rc << ", expected " << e.result << "\n"
                          << testhost::Dump();
        if (uAttempts != e.attempts && counts.iWrongAttempts++ < 5)
            ADD_FAILURE() << "request " << uFirst << ": " << uAttempts << " attempts, expected " << e.attempts
                          << (bDoubt ? " (in doubt)" : "") << "\n"
                          << testhost::Dump();
        if (rc == 0 && bWrite && !SameValue(fWritten, words[bElement])) ++counts.iFalseSuccesses;
        if (rc == 0 && !bWrite) {
            const int n = bBlock ? kBlock : 1;
            for (int i = 0; i < n; ++i) {
                float f = 0;
                std::memcpy(&f, instance.value.data() + 4 * i, sizeof f);
                counts.iWrongValues += !SameValue(f, words[bElement + i]);
            }
        }
        testhost::Reset();
    }
    const int64_t llElapsed = reltest::NowMs() - llStart;
    reltest::Call(&instance, ZEV_END_ZEV);
    testhost::Reset();
    stop = true;
    simulator.join();
    sim::CloseLine(&line);
    reltest::LeaveScratchDir(&dir);

    std::printf("soak: %d reads, %d writes, %d requests in %.1f s (seed %u)\n", iReads, iWrites,
                counts.iAttempts, static_cast<double>(llElapsed) / 1000.0, uSeed);
    std::printf("  faults injected:");
    for (size_t k = 0; k < kKinds.size(); ++k) std::printf(" %s %d", kKinds[k].rule, counts.injected[k]);
    std::printf("\n  read results:");
    for (const auto &[rc, n] : counts.readResults) std::printf(" %u: %d", rc, n);
    std::printf("\n  write results:");
    for (const auto &[rc, n] : counts.writeResults) std::printf(" %u: %d", rc, n);
    std::printf(
        "\n  wrong values %d, false successes %d, wrong results %d, wrong attempt counts %d, "
        "first attempts lost in doubt %d\n",
        counts.iWrongValues, counts.iFalseSuccesses, counts.iWrongResults, counts.iWrongAttempts,
        counts.iLostInDoubt);
    EXPECT_EQ(iReads, iReadsToMake) << "out of time";
    EXPECT_EQ(iWrites, iWritesToMake) << "out of time";
    EXPECT_EQ(counts.iWrongValues, 0);
    EXPECT_EQ(counts.iFalseSuccesses, 0);
    EXPECT_EQ(counts.iWrongResults, 0);
    EXPECT_EQ(counts.iWrongAttempts, 0);
}

}  // namespace
