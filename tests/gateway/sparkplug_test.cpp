// The gateway as a Sparkplug B edge node, seen by a test host that decodes
// every message with Eclipse Tahu's JavaScript codec (sparkplug-payload on
// node) and encodes its commands with it: births, data by exception, seq,
// commands, deaths, the primary host's STATE and history after an outage.
#include <filesystem>
#include <fstream>
#include <thread>

#include "rig.h"

namespace {

using namespace rigs;

struct Msg {
    std::string topic, type, device;  // type: NBIRTH, DDATA, ...
    json payload;
    int64_t atUs = 0;
};

std::string Codec() {
    return std::string("NODE_PATH=") + ROVOD_SPB_MODULES + " " + ROVOD_NODE_BIN + " " + ROVOD_SPB_CODEC;
}

::testing::AssertionResult CodecThere() {
    if (std::filesystem::exists(std::string(ROVOD_SPB_MODULES) + "/sparkplug-payload/package.json"))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the codec is missing from " << ROVOD_SPB_MODULES
                                         << ": scripts/spb_codec.sh installs it (scripts/test.sh runs it)";
}

std::string Hex(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) out += {digits[c >> 4], digits[c & 15]};
    return out;
}

// Every Sparkplug message the subscriber has, decoded by the codec.
std::vector<Msg> Decoded(Rig *rig) {
    std::vector<gwtest::Received> all;
    {
        std::lock_guard<std::mutex> lock(rig->sub.mutex);
        for (const gwtest::Received &r : rig->sub.all)
            if (r.topic.rfind("spBv1.0/", 0) == 0) all.push_back(r);
    }
    const std::string in = rig->dir + "/spb.in", out = rig->dir + "/spb.out";
    {
        std::ofstream file(in, std::ios::trunc);
        for (const gwtest::Received &r : all) file << r.topic << "\t" << Hex(r.payload) << "\n";
    }
    EXPECT_EQ(std::system((Codec() + " decode " + in + " > " + out).c_str()), 0);
    std::vector<Msg> msgs;
    std::ifstream file(out);
    std::string line;
    for (size_t i = 0; std::getline(file, line) && i < all.size(); ++i) {
        const json j = json::parse(line);
        Msg m{all[i].topic, "", "", j.contains("payload") ? j["payload"] : j["state"], all[i].atUs};
        std::vector<std::string> levels;
        for (size_t at = 0, next; at != std::string::npos; at = next == std::string::npos ? next : next + 1) {
            next = m.topic.find('/', at);
            levels.push_back(m.topic.substr(at, next == std::string::npos ? next : next - at));
        }
        if (levels.size() >= 4) m.type = levels[2];
        if (levels.size() >= 5) m.device = levels[4];
        msgs.push_back(std::move(m));
    }
    EXPECT_EQ(msgs.size(), all.size());
    return msgs;
}

// A command encoded by the codec, published as the host would.
void Command(Rig *rig, const std::string &topic, const json &payload) {
    const std::string file = rig->dir + "/cmd.hex";
    ASSERT_EQ(std::system((Codec() + " encode '" + payload.dump() + "' > " + file).c_str()), 0);
    const std::string hex = gwtest::Slurp(file);
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    ASSERT_TRUE(gwtest::Publish(rig->broker.port, topic, bytes));
}

size_t CountTopic(Rig *rig, const std::string &topic) { return gwtest::CountOf(&rig->sub, topic); }

bool WaitCount(Rig *rig, const std::string &topic, size_t n, int64_t timeoutMs = 5000) {
    return WaitFor(
        &rig->sub, [&] { return gwtest::CountHeld(rig->sub, topic) >= n; }, timeoutMs);
}

const json *MetricNamed(const json &payload, const std::string &name) {
    for (const json &m : payload["metrics"])
        if (m.value("name", "") == name) return &m;
    return nullptr;
}

uint64_t BdSeq(const Msg &m) {
    const json *b = MetricNamed(m.payload, "bdSeq");
    return b ? (*b)["value"].get<uint64_t>() : 999;
}

const std::string kNode = "spBv1.0/plant/";

// seq goes 0, 1, ... 255, 0 from each NBIRTH over every message but NDEATH.
void ExpectNoSeqGap(const std::vector<Msg> &msgs) {
    int64_t expected = -1;
    for (const Msg &m : msgs) {
        if (m.type.empty() || m.type == "NDEATH" || m.type.find("CMD") != std::string::npos) continue;
        if (m.type == "NBIRTH") expected = 0;
        EXPECT_EQ(m.payload["seq"], expected) << m.topic;
        expected = (expected + 1) % 256;
    }
}

constexpr const char *kSparkplug =
    "sparkplug: {group_id: plant, edge_node_id: gw1, primary_host_id: scada}\n";

// One gateway run: births wait for the host, describe every gate and carry
// the values the JSON topics have; data changes only, by alias; a write and a
// rebirth by command; the host back online; line b away and back; SIGKILL.
TEST(Sparkplug, EdgeNodeBirthsDataCommandsAndDeaths) {
    ASSERT_TRUE(CodecThere());
    Rig rig;
    rig.top = kSparkplug;
    ASSERT_NO_FATAL_FAILURE(Start(&rig, "spb_node"));
    ASSERT_TRUE(AllOnline(&rig, 5000)) << Log(rig);
    // Nothing is born while the primary host has not said it is online.
    EXPECT_EQ(CountTopic(&rig, kNode + "NBIRTH/gw1"), 0u);
    const auto state = [&](bool bOnline) {
        ASSERT_TRUE(gwtest::Publish(rig.broker.port, "spBv1.0/STATE/scada",
                                    json{{"online", bOnline}, {"timestamp", gwtest::WallUs() / 1000}}.dump(),
                                    true));
    };
    state(true);
    ASSERT_TRUE(WaitCount(&rig, kNode + "DBIRTH/gw1/a-1", 1)) << Log(rig);
    ASSERT_TRUE(WaitCount(&rig, kNode + "DBIRTH/gw1/a-2", 1)) << Log(rig);
    ASSERT_TRUE(WaitCount(&rig, kNode + "DBIRTH/gw1/b-5", 1)) << Log(rig);
    // Enough data to see changes: the moving measurements, the walking bit.
    ASSERT_TRUE(WaitCount(&rig, kNode + "DDATA/gw1/a-1", 4)) << Log(rig);

    std::vector<Msg> msgs = Decoded(&rig);
    const auto nbirth =
        std::find_if(msgs.begin(), msgs.end(), [](const Msg &m) { return m.type == "NBIRTH"; });
    ASSERT_NE(nbirth, msgs.end());
    EXPECT_EQ(nbirth->payload["seq"], 0);
    const json *rebirth = MetricNamed(nbirth->payload, "Node Control/Rebirth");
    ASSERT_NE(rebirth, nullptr);
    EXPECT_EQ((*rebirth)["type"], "Boolean");
    ASSERT_NE(MetricNamed(nbirth->payload, "Lines/a/Reads"), nullptr);
    // Each DBIRTH: every gate of its controller, typed by its memory, its
    // address and writability as properties; the value the JSON side has.
    struct Expected {
        const char *device, *gate, *address, *type;
        int datatype;
        bool bWritable;
    };
    const Expected table[] = {
        {"a-1", "v1", "01A0030", "Float", 9, false},       {"a-1", "sp1", "01A0010", "Float", 9, true},
        {"a-1", "pv1", "01A0000", "Float", 9, true},       {"a-1", "ram1", "01I0020", "UInt8", 5, false},
        {"a-1", "bit1", "01I00113", "Boolean", 11, false}, {"a-1", "blk", "01A0011", nullptr, 30, false},
        {"a-1", "time1", "01F0020", "Float", 9, false},    {"a-2", "v2", "02A0030", "Float", 9, false},
        {"a-2", "ram2", "02I0020", "UInt8", 5, false},     {"b-5", "ram5", "05I0020", "UInt8", 5, true},
    };
    std::map<std::string, std::map<uint64_t, json>> aliases;  // by device: alias -> last value
    for (const Msg &m : msgs)
        if (m.type == "DBIRTH")
            for (const json &metric : m.payload["metrics"])
                aliases[m.device][metric["alias"].get<uint64_t>()] = metric["value"];
    EXPECT_EQ(aliases["a-1"].size(), 7u);
    EXPECT_EQ(aliases["a-2"].size(), 2u);
    EXPECT_EQ(aliases["b-5"].size(), 3u);
    for (const Expected &e : table) {
        SCOPED_TRACE(e.gate);
        const auto birth = std::find_if(msgs.begin(), msgs.end(), [&](const Msg &m) {
            return m.type == "DBIRTH" && m.device == e.device;
        });
        ASSERT_NE(birth, msgs.end());
        const json *metric = MetricNamed(birth->payload, e.gate);
        ASSERT_NE(metric, nullptr) << birth->payload;
        EXPECT_EQ((*metric)["datatype"], e.datatype);
        if (e.type) {
            EXPECT_EQ((*metric)["type"], e.type);
        }
        EXPECT_EQ((*metric)["properties"]["address"]["value"], e.address);
        EXPECT_EQ((*metric)["properties"]["writable"]["value"], e.bWritable);
        const json value =
            GoodValue(&rig, std::string("plant/") + (e.device[0] == 'a' ? "a/" : "b/") + e.gate)["value"];
        if (e.datatype == 11) {
            EXPECT_EQ((*metric)["value"], value.get<double>() != 0);
        } else if (e.datatype == 30) {
            EXPECT_EQ((*metric)["value"].size(), 2u);
        } else if (std::string(e.gate) != "pv1") {  // pv1 moves
            EXPECT_NEAR((*metric)["value"].get<double>(), value.get<double>(), 1e-3) << *metric;
        }
    }
    // DDATA: aliases of born metrics only, no names, each value a change, the
    // read's time (not later than its arrival).
    size_t changes = 0;
    for (const Msg &m : msgs) {
        if (m.type == "DBIRTH") continue;
        if (m.type != "DDATA") continue;
        for (const json &metric : m.payload["metrics"]) {
            EXPECT_FALSE(metric.contains("name")) << metric;
            const uint64_t alias = metric["alias"].get<uint64_t>();
            ASSERT_TRUE(aliases[m.device].count(alias)) << metric;
            EXPECT_NE(aliases[m.device][alias], metric["value"]) << metric;
            aliases[m.device][alias] = metric["value"];
            EXPECT_LE(metric["timestamp"].get<int64_t>(), m.atUs / 1000 + 1);
            EXPECT_GT(metric["timestamp"].get<int64_t>(), m.atUs / 1000 - 2000);
            ++changes;
        }
    }
    EXPECT_GE(changes, 4u);

    // A write by DCMD reaches the controller (the JSON side reads it back) and
    // comes back in DDATA; a write the controller refuses and one to a gate
    // that is not writable change nothing and are counted.
    Command(&rig, kNode + "DCMD/gw1/a-1",
            {{"timestamp", 1}, {"metrics", {{{"name", "sp1"}, {"type", "Float"}, {"value", 42.5}}}}});
    Command(&rig, kNode + "DCMD/gw1/a-1",
            {{"timestamp", 1}, {"metrics", {{{"name", "pv1"}, {"type", "Float"}, {"value", 7}}}}});
    Command(&rig, kNode + "DCMD/gw1/a-1",
            {{"timestamp", 1}, {"metrics", {{{"name", "v1"}, {"type", "Float"}, {"value", 7}}}}});
    EXPECT_TRUE(WaitFor(
        &rig.sub, [&] { return Field(rig.sub.last["plant/a/sp1"], "value") == 42.5; }, 3000));
    const uint64_t sp1Alias = (1ull << 16) | 2;
    const auto written = [&] {
        for (const Msg &m : Decoded(&rig))
            if (m.type == "DDATA" && m.device == "a-1")
                for (const json &metric : m.payload["metrics"])
                    if (metric["alias"] == sp1Alias && metric["value"] == 42.5) return true;
        return false;
    };
    for (int i = 0; i < 20 && !written(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(written());
    EXPECT_TRUE(gwtest::WaitForText(rig.log, "DCMD a-1 v1 refused: 01A0030 is not writable", 2000))
        << Log(rig);
    EXPECT_TRUE(gwtest::WaitForText(rig.log, "DCMD a-1 pv1 refused", 2000)) << Log(rig);

    // NCMD rebirth: NBIRTH again (seq 0, same bdSeq), then every DBIRTH.
    Command(&rig, kNode + "NCMD/gw1",
            {{"timestamp", 1},
             {"metrics", {{{"name", "Node Control/Rebirth"}, {"type", "Boolean"}, {"value", true}}}}});
    EXPECT_TRUE(WaitCount(&rig, kNode + "DBIRTH/gw1/b-5", 2));
    // The host away and back: born again.
    state(false);
    state(true);
    EXPECT_TRUE(WaitCount(&rig, kNode + "DBIRTH/gw1/b-5", 3));

    // Line b away: its device dies; back: born again.
    gwtest::StopSim(&rig.b);
    EXPECT_TRUE(WaitCount(&rig, kNode + "DDEATH/gw1/b-5", 1, 3000)) << Log(rig);
    ASSERT_TRUE(gwtest::StartSim(&rig.b));
    EXPECT_TRUE(WaitCount(&rig, kNode + "DBIRTH/gw1/b-5", 4, 6000)) << Log(rig);

    // SIGKILL: the will is NDEATH with the NBIRTH's bdSeq.
    gwtest::Stop(&rig.gateway, SIGKILL, 3000);
    ASSERT_TRUE(WaitCount(&rig, kNode + "NDEATH/gw1", 1, 5000));
    msgs = Decoded(&rig);
    ExpectNoSeqGap(msgs);
    std::vector<const Msg *> births;
    for (const Msg &m : msgs)
        if (m.type == "NBIRTH") births.push_back(&m);
    ASSERT_EQ(births.size(), 3u);
    EXPECT_EQ(BdSeq(*births[0]), BdSeq(*births[2]));
    EXPECT_EQ(BdSeq(msgs.back()), BdSeq(*births[0]));
    EXPECT_EQ(msgs.back().type, "NDEATH");
}

// With a store: after a broker outage the new session's births come first,
// then the samples made meanwhile as historical data, oldest first. bdSeq
// goes up with each session, across a restart of the gateway too, and each
// NDEATH (the will after SIGKILL, an orderly stop's own) has its session's.
TEST(Sparkplug, HistoryAfterOutageAndBdSeqAcrossSessions) {
    ASSERT_TRUE(CodecThere());
    Rig rig;
    rig.bPersistentBroker = true;
    rig.top = "store: {path: store.db}\nsparkplug: {group_id: plant, edge_node_id: gw1}\n";
    rig.extraB = "      - {address: 05A0001, name: ramp, interval_ms: 200}\n";
    ASSERT_NO_FATAL_FAILURE(Start(&rig, "spb_history"));
    ASSERT_TRUE(WaitCount(&rig, kNode + "DBIRTH/gw1/b-5", 1)) << Log(rig);
    gwtest::Unsubscribe(&rig.sub);
    {
        // The host sees the new session only.
        std::lock_guard<std::mutex> lock(rig.sub.mutex);
        rig.sub.all.clear();
        rig.sub.last.clear();
    }
    gwtest::StopBroker(&rig.broker, SIGTERM);
    const int64_t awayUs = gwtest::WallUs();
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    ASSERT_TRUE(gwtest::RestartBroker(&rig.broker));
    const int64_t backUs = gwtest::WallUs();
    ASSERT_TRUE(gwtest::Subscribe(&rig.sub, rig.broker.port, "spBv1.0/#"));
    const uint64_t rampAlias = (2ull << 16) | 3;
    std::vector<Msg> msgs;
    std::vector<int64_t> history;
    size_t births = 0, firstHistory = 0;
    for (int i = 0; i < 40 && history.size() < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        msgs = Decoded(&rig);
        history.clear();
        for (size_t k = 0; k < msgs.size(); ++k) {
            if (msgs[k].type == "NBIRTH" || msgs[k].type == "DBIRTH") births = k + 1;
            for (const json &metric : msgs[k].payload.value("metrics", json::array()))
                if (metric.value("isHistorical", false) && metric["alias"] == rampAlias) {
                    if (history.empty()) firstHistory = k;
                    history.push_back(metric["timestamp"].get<int64_t>());
                }
        }
    }
    ASSERT_GE(history.size(), 3u) << Log(rig);
    EXPECT_GT(firstHistory, births - 1);
    EXPECT_TRUE(std::is_sorted(history.begin(), history.end()));
    EXPECT_GE(history.front(), awayUs / 1000 - 1000);
    EXPECT_LE(history.back(), backUs / 1000 + 1000);
    ExpectNoSeqGap(msgs);
    ASSERT_EQ(msgs[0].type, "NBIRTH");
    const uint64_t second = BdSeq(msgs[0]);

    // The new session's will has its bdSeq; the next run goes on counting,
    // and an orderly stop says NDEATH itself.
    gwtest::Stop(&rig.gateway, SIGKILL, 3000);
    ASSERT_TRUE(WaitCount(&rig, kNode + "NDEATH/gw1", 1, 5000));
    ASSERT_TRUE(StartGateway(&rig));
    ASSERT_TRUE(WaitCount(&rig, kNode + "NBIRTH/gw1", 2, 5000));
    ASSERT_EQ(gwtest::Stop(&rig.gateway, SIGTERM, 5000), 0);
    ASSERT_TRUE(WaitCount(&rig, kNode + "NDEATH/gw1", 2, 2000));
    msgs = Decoded(&rig);
    std::vector<uint64_t> seqs;
    for (const Msg &m : msgs)
        if (m.type == "NBIRTH" || m.type == "NDEATH") seqs.push_back(BdSeq(m));
    const uint64_t third = (second + 1) % 256;
    EXPECT_EQ(seqs, (std::vector<uint64_t>{second, second, third, third}));
    EXPECT_EQ(second, 1u);
}

}  // namespace
