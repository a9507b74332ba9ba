// rovod-gateway as a program between real components: a mosquitto broker on
// loopback, rovod-sim on two ptys (three controllers), a subscriber.
#include <unistd.h>

#include "rig.h"

namespace {

using namespace rigs;

// The write's result on .../result, once one newer than `before` arrived.
json WriteResult(Rig *rig, const std::string &gate, const std::string &payload, bool bRetain = false) {
    const std::string topic = "plant/" + gate + "/result";
    const size_t before = gwtest::CountOf(&rig->sub, topic);
    EXPECT_TRUE(gwtest::Publish(rig->broker.port, "plant/" + gate + "/set", payload, bRetain));
    WaitFor(
        &rig->sub, [&] { return gwtest::CountHeld(rig->sub, topic) > before; }, 3000);
    return Payload(rig, topic);
}

TEST(Gateway, PublishesTheControllersMemoryAndWritesThroughTheDriver) {
    Rig rig;
    Start(&rig, "gw_values");
    ASSERT_TRUE(AllOnline(&rig, 5000)) << Log(rig);

    // Every gate as the simulators hold it, each from its own controller.
    const std::vector<std::pair<std::string, json>> expected{{"a/v1", 25.0},
                                                             {"a/v2", 37.5},
                                                             {"a/sp1", 60.0},
                                                             {"a/ram1", 17},
                                                             {"a/ram2", 34},
                                                             {"a/bit1", 1},
                                                             {"a/blk", json::array({12.5, -3.7})},
                                                             {"a/time1", 12.34},
                                                             {"b/v5", 50.0},
                                                             {"b/ram5", 85},
                                                             {"b/sp5", 60.0}};
    for (const auto &[gate, value] : expected) {
        const json j = GoodValue(&rig, "plant/" + gate);
        ASSERT_TRUE(j.is_object()) << gate << ": " << Last(&rig.sub, "plant/" + gate);
        EXPECT_EQ(j["value"], value) << gate;
        EXPECT_EQ(j["result"], 0) << gate;
        EXPECT_EQ(j["time"].get<std::string>().back(), 'Z') << gate;
    }
    // A writable gate is a number entity for Home Assistant, a read one a sensor.
    const json number = Payload(&rig, "homeassistant/number/plant/a_sp1/config");
    EXPECT_EQ(number["command_topic"], "plant/a/sp1/set");
    EXPECT_EQ(number["availability"][1]["topic"], "plant/a/status");
    EXPECT_TRUE(Payload(&rig, "homeassistant/sensor/plant/b_v5/config").is_object());
    // A block is a sensor per element.
    EXPECT_EQ(Payload(&rig, "homeassistant/sensor/plant/a_blk_1/config")["value_template"],
              "{{ value_json.value[1] }}");

    // A setpoint written: result 0, the simulator's memory changed, the value follows.
    const json written = WriteResult(&rig, "a/sp1", "75.5");
    EXPECT_EQ(written["result"], 0) << written;
    EXPECT_EQ(written["value"], 75.5);
    EXPECT_TRUE(WaitFor(
        &rig.sub, [&] { return Field(rig.sub.last["plant/a/sp1"], "value") == 75.5; }, 2000));
    EXPECT_EQ(Count(gwtest::Slurp(rig.a.trace), "ACK: element 10 = AF30 (75.5)"), 1u);

    // A measurement refuses: the controller's NAK is result 3.
    const json refused = WriteResult(&rig, "a/pv1", "5");
    EXPECT_EQ(refused["result"], 3) << refused;
    EXPECT_NE(refused["error"].get<std::string>().find("NAK"), std::string::npos) << refused;

    // Payloads that are no number, or out of the gate's range, write nothing.
    for (const auto &[gate, payload, why] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"b/sp5", "abc", "is not a number"},
             {"b/sp5", "", "is not a number"},
             {"b/sp5", "1e999", "not a finite number"},
             {"b/ram5", "300", "out of range"},
             {"b/ram5", "2.5", "not a whole number"}}) {
        const json j = WriteResult(&rig, gate, payload);
        EXPECT_EQ(j["result"], 1) << payload;
        EXPECT_NE(j["error"].get<std::string>().find(why), std::string::npos) << j;
    }
    EXPECT_EQ(Count(gwtest::Slurp(rig.b.trace), "write"), 0u);

    // Diagnostics count the cycles, the reads and the two writes made.
    EXPECT_TRUE(WaitFor(
        &rig.sub, [&] { return Field(rig.sub.last["plant/a/diagnostics"], "writes") == 2; }, 3000));
    const json diag = Payload(&rig, "plant/a/diagnostics");
    EXPECT_GT(diag["cycles"], 0);
    EXPECT_GT(diag["reads"], 9);
    EXPECT_GT(diag["cycle_ms"]["max"], 0.0);
    EXPECT_EQ(diag["failures"]["2"], 0);
}

TEST(Gateway, ComesBackWithEveryRetainedValueAfterABrokerRestart) {
    Rig rig;
    Start(&rig, "gw_broker");
    ASSERT_TRUE(AllOnline(&rig, 5000)) << Log(rig);
    ASSERT_TRUE(GoodValue(&rig, "plant/b/sp5").is_object());
    gwtest::Unsubscribe(&rig.sub);
    gwtest::StopBroker(&rig.broker, SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(gwtest::RestartBroker(&rig.broker));
    const int64_t restarted = gwtest::NowMs();

    // A new subscriber, on a broker that lost everything, gets it all back.
    gwtest::Subscriber fresh;
    ASSERT_TRUE(gwtest::Subscribe(&fresh, rig.broker.port, "plant/#"));
    const std::vector<std::string> gates{"a/v1",   "a/v2",  "a/sp1",   "a/pv1", "a/ram1", "a/ram2",
                                         "a/bit1", "a/blk", "a/time1", "b/v5",  "b/ram5", "b/sp5"};
    const bool bBack = WaitFor(
        &fresh,
        [&] {
            for (const std::string &gate : gates)
                if (fresh.last["plant/" + gate].empty()) return false;
            return fresh.last["plant/status"] == "online" && fresh.last["plant/a/status"] == "online" &&
                   fresh.last["plant/b/status"] == "online";
        },
        5000);
    EXPECT_TRUE(bBack) << Log(rig);
    EXPECT_LE(gwtest::NowMs() - restarted, 5000);
    EXPECT_EQ(Field(Last(&fresh, "plant/b/v5"), "value"), 50.0);
    gwtest::Unsubscribe(&fresh);
}

// A retained set stays on the broker, which hands it over again, flagged
// retained, at every subscription: at the start and after every reconnect.
TEST(Gateway, NeverCarriesOutARetainedSet) {
    Rig rig;
    rig.bPersistentBroker = true;
    Start(&rig, "gw_retained",
          [](Rig *r) { EXPECT_TRUE(gwtest::Publish(r->broker.port, "plant/a/sp1/set", "33.25", true)); });
    ASSERT_TRUE(AllOnline(&rig, 5000)) << Log(rig);
    const auto ignored = [](const std::string &payload) {
        return Field(payload, "result") == 1 && Field(payload, "value").is_null() &&
               Field(payload, "error") == "retained command ignored";
    };
    EXPECT_TRUE(WaitFor(
        &rig.sub, [&] { return ignored(rig.sub.last["plant/a/sp1/result"]); }, 3000))
        << Last(&rig.sub, "plant/a/sp1/result");

    // The broker restarted with the message kept: handed over again, ignored again.
    gwtest::Unsubscribe(&rig.sub);
    gwtest::StopBroker(&rig.broker, SIGTERM);
    ASSERT_TRUE(gwtest::RestartBroker(&rig.broker));
    gwtest::Subscriber again;
    ASSERT_TRUE(gwtest::Subscribe(&again, rig.broker.port, "plant/#"));
    EXPECT_TRUE(WaitFor(
        &again,
        [&] {
            for (const gwtest::Received &r : again.all)
                if (r.topic == "plant/a/sp1/set" && r.bRetained && r.payload == "33.25") return true;
            return false;
        },
        3000));
    EXPECT_TRUE(WaitFor(
        &again, [&] { return ignored(again.last["plant/a/sp1/result"]); }, 5000))
        << Log(rig);
    EXPECT_EQ(Count(Log(rig), "connected to broker"), 2u) << Log(rig);
    EXPECT_EQ(Count(Log(rig), "retained command"), 2u) << Log(rig);
    EXPECT_EQ(Count(gwtest::Slurp(rig.a.trace), "ACK: element 10"), 0u);
    gwtest::Unsubscribe(&again);

    // A live set is written; so is one published retained while the gateway
    // is connected, which the broker passes on unflagged: once.
    ASSERT_TRUE(gwtest::Subscribe(&rig.sub, rig.broker.port, "#"));
    EXPECT_EQ(WriteResult(&rig, "a/sp1", "75.5")["result"], 0);
    EXPECT_EQ(WriteResult(&rig, "a/sp1", "44.5", true)["result"], 0);
    EXPECT_TRUE(WaitFor(
        &rig.sub, [&] { return Field(rig.sub.last["plant/a/sp1"], "value") == 44.5; }, 2000));
    const std::string trace = gwtest::Slurp(rig.a.trace);
    EXPECT_EQ(Count(trace, "ACK: element 10"), 2u) << trace;
    EXPECT_EQ(Count(trace, "ACK: element 10 = 9BD0 (44.5)"), 1u);
}

TEST(Gateway, FollowsASimulatorRestartedBehindTheSameLink) {
    Rig rig;
    Start(&rig, "gw_line");
    ASSERT_TRUE(AllOnline(&rig, 5000)) << Log(rig);
    const std::string firstPty = rig.a.pty;
    gwtest::StopSim(&rig.a);
    ASSERT_TRUE(WaitFor(
        &rig.sub, [&] { return rig.sub.last["plant/a/status"] == "offline"; }, 2000))
        << Log(rig);
    // The failing reads keep the last good value with their own code.
    EXPECT_TRUE(WaitFor(
        &rig.sub, [&] { return Field(rig.sub.last["plant/a/v1"], "result") > 0; }, 1000));
    const json stale = Payload(&rig, "plant/a/v1");
    EXPECT_NE(stale["result"], 0) << stale;
    EXPECT_EQ(stale["value"], 25.0);
    EXPECT_TRUE(stale.contains("value_time"));
    EXPECT_EQ(Last(&rig.sub, "plant/b/status"), "online");

    // Back on another device behind the same link, as a replugged adapter.
    const std::vector<int> held = gwtest::HoldPtyNamed(firstPty, 3000);
    ASSERT_TRUE(gwtest::StartSim(&rig.a));
    for (int fd : held) close(fd);
    EXPECT_NE(rig.a.pty, firstPty);
    ASSERT_TRUE(WaitFor(
        &rig.sub, [&] { return rig.sub.last["plant/a/status"] == "online"; }, 5000))
        << Log(rig);
    const size_t before = gwtest::CountOf(&rig.sub, "plant/a/v1");
    EXPECT_TRUE(WaitFor(
        &rig.sub,
        [&] {
            return gwtest::CountHeld(rig.sub, "plant/a/v1") >= before + 3 &&
                   Field(rig.sub.last["plant/a/v1"], "result") == 0;
        },
        3000));
    EXPECT_NE(Log(rig).find("online on " + rig.a.pty), std::string::npos) << Log(rig);
}

TEST(Gateway, SaysOfflineOnTheWayOutAndThroughTheWillWhenKilled) {
    Rig rig;
    Start(&rig, "gw_stop");
    ASSERT_TRUE(AllOnline(&rig, 5000)) << Log(rig);
    const int64_t asked = gwtest::NowMs();
    EXPECT_EQ(gwtest::Stop(&rig.gateway, SIGTERM, 5000), 0) << Log(rig);
    EXPECT_LT(gwtest::NowMs() - asked, 2000);
    EXPECT_TRUE(WaitFor(
        &rig.sub,
        [&] {
            return rig.sub.last["plant/status"] == "offline" && rig.sub.last["plant/a/status"] == "offline" &&
                   rig.sub.last["plant/b/status"] == "offline";
        },
        1000));
    EXPECT_NE(Log(rig).find("stopped"), std::string::npos);

    // Once more, and killed: the broker's last will says offline.
    ASSERT_TRUE(StartGateway(&rig));
    ASSERT_TRUE(AllOnline(&rig, 5000)) << Log(rig);
    gwtest::Stop(&rig.gateway, SIGKILL, 3000);
    EXPECT_TRUE(WaitFor(
        &rig.sub, [&] { return rig.sub.last["plant/status"] == "offline"; }, 3000));
}

TEST(Gateway, ReadsItsConfigurationAgainOnHangup) {
    Rig rig;
    Start(&rig, "gw_reload");
    ASSERT_TRUE(AllOnline(&rig, 5000)) << Log(rig);
    const std::string good = gwtest::Slurp(rig.config);

    // A broken file is refused with its reason; the gateway goes on.
    gwtest::WriteFile(rig.config, good + "  - name: c\n");
    kill(rig.gateway.pid, SIGHUP);
    EXPECT_TRUE(gwtest::WaitForText(rig.log, "the running configuration stays", 3000)) << Log(rig);
    EXPECT_NE(Log(rig).find("gateway.yaml:29:5: line 'c' has no port"), std::string::npos) << Log(rig);
    const size_t before = gwtest::CountOf(&rig.sub, "plant/a/v1");
    EXPECT_TRUE(WaitFor(
        &rig.sub, [&] { return gwtest::CountHeld(rig.sub, "plant/a/v1") > before; }, 2000));

    // A new gate on line a: the line starts again with it, b is left running.
    gwtest::WriteFile(rig.config, ConfigText(rig, "      - {address: 02A0010, name: sp2}\n"));
    kill(rig.gateway.pid, SIGHUP);
    const json added = GoodValue(&rig, "plant/a/sp2");
    EXPECT_EQ(added["value"], 60.0) << Log(rig);
    EXPECT_NE(Log(rig).find("1 line kept, 1 stopped, 1 started"), std::string::npos) << Log(rig);

    // And gone again: its retained value is emptied.
    gwtest::WriteFile(rig.config, good);
    kill(rig.gateway.pid, SIGHUP);
    EXPECT_TRUE(WaitFor(
        &rig.sub, [&] { return rig.sub.last.count("plant/a/sp2") && rig.sub.last["plant/a/sp2"].empty(); },
        3000))
        << Log(rig);
    EXPECT_TRUE(AllOnline(&rig, 3000));
}

TEST(Gateway, LogsInToABrokerOverTlsWithItsPasswordFile) {
    Rig rig;
    rig.dir = gwtest::MakeScratch("gw_tls");
    ASSERT_TRUE(gwtest::StartSecureBroker(rig.dir, "rovod", "s3cret", &rig.broker))
        << gwtest::Slurp(rig.dir + "/openssl.log") << gwtest::Slurp(rig.dir + "/mosquitto.log");
    gwtest::WriteFile(rig.dir + "/a.json", kStateA);
    rig.a = {rig.dir + "/a.link", rig.dir + "/a.json", "", "1", {}, "", {}};
    ASSERT_TRUE(gwtest::StartSim(&rig.a));
    const gwtest::Login login{"rovod", "s3cret", rig.dir + "/ca.crt"};
    ASSERT_TRUE(gwtest::Subscribe(&rig.sub, rig.broker.port, "plant/#", &login));
    rig.config = rig.dir + "/gateway.yaml";
    rig.log = rig.dir + "/gateway.log";

    // A wrong password is refused by the broker, and said so.
    gwtest::WriteFile(rig.dir + "/password", "wrong\n");
    gwtest::WriteFile(rig.config, "broker: {host: 127.0.0.1, port: " + std::to_string(rig.broker.port) +
                                      ", prefix: plant, user: rovod, password_file: password, ca_file: "
                                      "ca.crt}\nlines:\n  - name: a\n    port: ./a.link\n"
                                      "    gates:\n      - {address: 01A0030, name: v1}\n");
    ASSERT_TRUE(StartGateway(&rig));
    EXPECT_TRUE(
        gwtest::WaitForText(rig.log, "refused the connection: Connection Refused: not authorised", 3000))
        << Log(rig);
    EXPECT_EQ(Last(&rig.sub, "plant/status"), "");

    // The file mended and read again on hangup: the gateway logs in and publishes.
    gwtest::WriteFile(rig.dir + "/password", "s3cret\n");
    kill(rig.gateway.pid, SIGHUP);
    EXPECT_EQ(GoodValue(&rig, "plant/a/v1")["value"], 25.0) << Log(rig);
    EXPECT_EQ(Last(&rig.sub, "plant/a/status"), "online");
}

}  // namespace
