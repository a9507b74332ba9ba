// The simulator's frame code and controller behaviour: what the driver is
// checked against must itself be right.
#include <gtest/gtest.h>

#include "sim_faults.h"
#include "sim_plant.h"

namespace {

sim::Bytes FromHex(const std::string &text) {
    sim::Bytes bytes;
    for (size_t i = 0; i + 1 < text.size() + 1; i += 3)
        bytes.push_back(std::stoi(text.substr(i, 2), nullptr, 16));
    return bytes;
}

struct ScanCase {
    const char *frame;
    sim::ScanResult result;
    size_t used;
    uint8_t plc, function;
    size_t elements;  // read-words list length, 0 when not a words read
};

TEST(SimFrames, ScansRequestFrames) {
    const ScanCase cases[] = {
        {"10 05 00 02 07 16", sim::ScanResult::kFrame, 6, 5, 2, 0},
        {"10 05 00 03 08 16", sim::ScanResult::kFrame, 6, 5, 3, 0},
        {"A2 01 00 04 20 21 22 22 00 00 00 00 8A 16", sim::ScanResult::kFrame, 14, 1, 4, 3},
        {"A2 01 00 04 20 20 00 00 00 00 00 00 45 16", sim::ScanResult::kFrame, 14, 1, 4, 1},
        {"A2 01 00 04 20 21 22 23 24 25 26 27 21 16", sim::ScanResult::kFrame, 14, 1, 4, 8},
        {"A2 07 00 06 12 34 05 00 00 00 00 00 58 16", sim::ScanResult::kFrame, 14, 7, 6, 0},
        {"A2 07 00 06 12 34 05 00 00 00 00 00 59 16", sim::ScanResult::kBadFcs, 14, 0, 0, 0},
        {"A2 07 00 06 12 34 05 00 00 00 00 00 58 17", sim::ScanResult::kGarbage, 1, 0, 0, 0},
        {"A2 07 00 06 12", sim::ScanResult::kNeedMore, 0, 0, 0, 0},
        {"E5 10 05 00 02 07 16", sim::ScanResult::kGarbage, 1, 0, 0, 0},
    };
    for (const ScanCase &c : cases) {
        SCOPED_TRACE(c.frame);
        const sim::Bytes bytes = FromHex(c.frame);
        const sim::Scan scan = sim::ScanRequest(bytes);
        EXPECT_EQ(scan.result, c.result);
        EXPECT_EQ(scan.used, c.used);
        if (c.result != sim::ScanResult::kFrame) continue;
        EXPECT_EQ(scan.request.plc, c.plc);
        EXPECT_EQ(scan.request.function, c.function);
        if (c.elements) {
            EXPECT_EQ(sim::ElementCount(scan.request.data), c.elements);
        }
    }
}

TEST(SimFrames, BuildsRepliesAndAcknowledges) {
    EXPECT_EQ(sim::Hex(sim::BuildAck(5, true)), "10 00 05 10 15 16");
    EXPECT_EQ(sim::Hex(sim::BuildAck(5, false)), "10 00 05 11 16 16");
    const sim::Bytes word{0x87, 0xD0};
    EXPECT_EQ(sim::Hex(sim::BuildReply(5, 0, word)), "68 05 05 68 00 05 00 87 D0 5C 16");
}

TEST(SimFrames, ConvertsValueWords) {
    const std::pair<uint16_t, double> words[] = {{0x87D0, 12.5}, {0x0050, -0.5},  {0xFFFF, 2047.75},
                                                 {0x83E8, 6.25}, {0x83E9, 0.625}, {0x83EA, 0.0625},
                                                 {0x83EB, 62.5}, {0x8000, 0.0},   {0xCD21, 12.34}};
    for (const auto &[w, v] : words) {
        EXPECT_NEAR(sim::ValueFromWord(w), v, 1e-9) << std::hex << w;
        EXPECT_NEAR(sim::ValueFromWord(sim::WordFromValue(v)), v, 1e-9) << v;
    }
    EXPECT_EQ(sim::WordFromValue(1e6), 0xFFFF);  // held at the largest magnitude
    EXPECT_EQ(sim::WordFromValue(-1e6), 0x7FFF);
}

struct Exchange {
    const char *request;
    const char *reply;
};

// A controller's answers, in order, on one plant: what is written reads back.
TEST(SimPlant, AnswersLikeAController) {
    sim::Plant plant;
    sim::PlantConfig config;
    config.plcs = {1, 7};
    config.bLive = false;
    config.block3Len = 2;
    sim::InitPlant(&plant, config);
    const Exchange script[] = {
        // Value word element 05: write 12.5, read it back.
        {"A2 01 00 07 01 05 87 D0 01 05 87 D0 C2 16", "10 00 01 10 11 16"},
        {"A2 01 00 04 05 05 00 00 00 00 00 00 0F 16", "68 05 05 68 00 01 04 87 D0 5C 16"},
        // Selector 2 (R) with its own second byte.
        {"A2 01 00 07 02 05 87 D0 00 05 87 D0 C2 16", "10 00 01 10 11 16"},
        // Copies that disagree are refused.
        {"A2 01 00 07 01 05 87 D0 01 06 87 D0 C3 16", "10 00 01 11 12 16"},
        // RAM: byte write, set and clear bit 3, the same byte through X.
        {"A2 07 00 0D 10 01 5A 00 00 00 00 00 7F 16", "10 00 07 10 17 16"},
        {"A2 07 00 2F 10 F7 10 F7 00 00 00 00 44 16", "10 00 07 10 17 16"},
        {"A2 07 00 06 00 10 01 00 00 00 00 00 1E 16", "68 04 04 68 00 07 06 52 5F 16"},
        {"A2 07 00 1F 10 08 10 08 00 00 00 00 56 16", "10 00 07 10 17 16"},
        {"A2 07 00 05 10 01 00 00 00 00 00 00 1D 16", "68 04 04 68 00 07 05 5A 66 16"},
        // Unknown function: NAK. Other controller: silence.
        {"A2 01 00 09 00 00 00 00 00 00 00 00 0A 16", "10 00 01 11 12 16"},
        {"10 05 00 02 07 16", ""},
    };
    for (const Exchange &e : script) {
        SCOPED_TRACE(e.request);
        const sim::Scan scan = sim::ScanRequest(FromHex(e.request));
        ASSERT_EQ(scan.result, sim::ScanResult::kFrame);
        EXPECT_EQ(sim::Hex(sim::HandleRequest(&plant, scan.request).reply), e.reply);
    }
}

TEST(SimPlant, RefusesWritesToMeasurementsWhileLive) {
    sim::Plant plant;
    sim::InitPlant(&plant, sim::PlantConfig{});
    const sim::Scan scan = sim::ScanRequest(FromHex("A2 01 00 07 01 00 87 D0 01 00 87 D0 B8 16"));
    ASSERT_EQ(scan.result, sim::ScanResult::kFrame);
    EXPECT_EQ(sim::Hex(sim::HandleRequest(&plant, scan.request).reply), "10 00 01 11 12 16");
}

TEST(SimPlant, StateSurvivesSaveAndLoad) {
    sim::Plant a, b;
    sim::PlantConfig config;
    config.bLive = false;
    sim::InitPlant(&a, config);
    sim::InitPlant(&b, config);
    a.controllers[1].words[0x40] = 0x1234;
    a.controllers[1].ram[0x300] = 0x77;
    std::string error;
    ASSERT_TRUE(sim::LoadState(&b, sim::SaveState(a), &error)) << error;
    EXPECT_EQ(b.controllers[1].words[0x40], 0x1234);
    EXPECT_EQ(b.controllers[1].ram[0x300], 0x77);
    EXPECT_FALSE(sim::LoadState(&b, "{\"controllers\": {\"1\": {\"words\": {\"1FF\": \"0\"}}}}", &error));
    EXPECT_FALSE(sim::LoadState(&b, "[1, 2", &error));
}

TEST(SimFaults, ParsesRulesAndRefusesBadOnes) {
    const std::pair<const char *, bool> rules[] = {
        {"drop", true},        {"drop@3", true},   {"badfcs@2..4", true}, {"nak%10", true},
        {"delay=300@1", true}, {"noise=4", true},  {"split", true},       {"wrongplc@1", true},
        {"boom", false},       {"drop=3", false},  {"drop@0", false},     {"drop@4..2", false},
        {"nak%101", false},    {"delay=x", false}, {"drop@", false},
    };
    for (const auto &[text, bOk] : rules) {
        sim::FaultRule rule;
        std::string error;
        EXPECT_EQ(sim::ParseFault(text, &rule, &error), bOk) << text;
        if (!bOk) {
            EXPECT_FALSE(error.empty()) << text;
        }
    }
}

TEST(SimFaults, SpoilsTheReplyOnlyOnTheChosenRequests) {
    std::vector<sim::FaultRule> rules(1);
    std::string error;
    const sim::Bytes reply = sim::BuildReply(5, 4, sim::Bytes{0x87, 0xD0});
    std::mt19937 rng(1);
    const std::pair<const char *, const char *> cases[] = {
        {"badfcs@2", "68 05 05 68 00 05 04 87 D0 3A 16"},
        {"nak@2", "10 00 05 11 16 16"},
        {"noise=2@2", "FF 00 68 05 05 68 00 05 04 87 D0 60 16"},
        {"trailing=1@2", "68 05 05 68 00 05 04 87 D0 60 16 E5"},
        {"badlen@2", "68 04 04 68 00 05 04 87 90 16"},
        {"wrongplc@2", "68 05 05 68 00 06 04 87 D0 61 16"},
        {"noend@2", "68 05 05 68 00 05 04 87 D0 60"},
        {"cut@2", "68 05 05 68 00"},
        {"dup@2", "68 05 05 68 00 05 04 87 D0 60 16 68 05 05 68 00 05 04 87 D0 60 16"},
    };
    for (const auto &[text, spoiled] : cases) {
        ASSERT_TRUE(sim::ParseFault(text, &rules[0], &error)) << text;
        EXPECT_EQ(sim::Hex(sim::ApplyFaults(rules, 1, reply, &rng).frame), sim::Hex(reply)) << text;
        EXPECT_EQ(sim::Hex(sim::ApplyFaults(rules, 2, reply, &rng).frame), spoiled) << text;
    }
    ASSERT_TRUE(sim::ParseFault("drop@2..3", &rules[0], &error));
    EXPECT_FALSE(sim::ApplyFaults(rules, 1, reply, &rng).bDrop);
    EXPECT_TRUE(sim::ApplyFaults(rules, 3, reply, &rng).bDrop);
}

}  // namespace
