// Store and forward: what the gateway makes while the broker is away reaches
// a historian afterwards, also across a SIGKILL of the gateway; the store's
// bound and a corrupt file; a command sent while the gateway is away.
#include "store.h"

#include <sys/resource.h>
#include <unistd.h>

#include <thread>

#include "mqtt.h"
#include "rig.h"

namespace {

using namespace rigs;

// Controller 5's ramp moves on every read: a sample a second.
constexpr const char *kRamp = "      - {address: 05A0001, name: ramp, interval_ms: 1000}\n";

void StartWithStore(Rig *rig, const std::string &name, const std::function<void(Rig *)> &before = {}) {
    rig->bPersistentBroker = true;
    rig->top = "store: {path: store.db}\n";
    rig->extraB = kRamp;
    Start(rig, name, before);
}

int64_t TimeOf(const std::string &payload) {
    const json t = Field(payload, "time");
    return t.is_string() ? gwtest::ParseIsoUs(t.get<std::string>()) : 0;
}

struct Seen {
    std::vector<int64_t> history;  // sample times in the order they came
    std::vector<int64_t> live;
};

Seen SeenBy(gwtest::Subscriber *sub) {
    std::lock_guard<std::mutex> lock(sub->mutex);
    Seen seen;
    for (const gwtest::Received &r : sub->all) {
        if (r.topic == "plant/b/ramp/history") seen.history.push_back(TimeOf(r.payload));
        if (r.topic == "plant/b/ramp") seen.live.push_back(TimeOf(r.payload));
    }
    return seen;
}

// Every sample of the ramp, live and replayed, with no hole wider than its
// period (and some slack) from the first to the last; *pWidest gets the widest.
std::vector<int64_t> Merged(const Seen &seen) {
    std::vector<int64_t> all = seen.live;
    all.insert(all.end(), seen.history.begin(), seen.history.end());
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    return all;
}

int64_t WidestGapUs(const std::vector<int64_t> &times, int64_t from, int64_t to) {
    int64_t widest = 0;
    for (size_t i = 1; i < times.size(); ++i)
        if (times[i] > from && times[i - 1] < to) widest = std::max(widest, times[i] - times[i - 1]);
    return widest;
}

// The broker away for awayMs (stopped as a service stops it, so that it keeps
// the historian's session); during returns while it is away. How long the
// gateway took to be connected again, in ms.
int64_t BrokerAway(Rig *rig, int64_t awayMs, const std::function<void()> &during = {}) {
    const size_t connected = Count(Log(*rig), "connected to broker");
    gwtest::StopBroker(&rig->broker, SIGTERM);
    const int64_t back = gwtest::NowMs() + awayMs;
    if (during) during();
    std::this_thread::sleep_for(std::chrono::milliseconds(std::max<int64_t>(0, back - gwtest::NowMs())));
    EXPECT_TRUE(gwtest::RestartBroker(&rig->broker));
    const int64_t restarted = gwtest::NowMs();
    while (Count(Log(*rig), "connected to broker") <= connected && gwtest::NowMs() - restarted < 5000)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return gwtest::NowMs() - restarted;
}

// The historian: a persistent session, QoS 1.
void Historian(Rig *rig, gwtest::Subscriber *hist) {
    ASSERT_TRUE(gwtest::Subscribe(hist, rig->broker.port, "plant/b/ramp/#", nullptr, "historian"));
    ASSERT_TRUE(WaitFor(
        hist, [&] { return gwtest::CountHeld(*hist, "plant/b/ramp") >= 2; }, 5000));
}

bool Replayed(gwtest::Subscriber *hist, size_t n) {
    return WaitFor(
        hist, [&] { return gwtest::CountHeld(*hist, "plant/b/ramp/history") >= n; }, 10000);
}

TEST(GatewayStore, DeliversEverySampleMadeWhileTheBrokerWasAway) {
    Rig rig;
    StartWithStore(&rig, "gw_store");
    ASSERT_TRUE(AllOnline(&rig, 5000)) << Log(rig);
    // The store's count of samples written, from its next report.
    const auto stored = [&] {
        const size_t reports = gwtest::CountOf(&rig.sub, "plant/store");
        WaitFor(
            &rig.sub, [&] { return gwtest::CountHeld(rig.sub, "plant/store") > reports; }, 2000);
        return Field(Last(&rig.sub, "plant/store"), "stored");
    };
    const json storedBefore = stored();
    ASSERT_TRUE(storedBefore.is_number()) << Log(rig);
    gwtest::Subscriber hist;
    Historian(&rig, &hist);
    // With the broker up nothing goes to the disk.
    EXPECT_EQ(stored(), storedBefore);
    const int64_t away = gwtest::WallUs();
    const int64_t reconnectMs = BrokerAway(&rig, 10000);
    const int64_t back = gwtest::WallUs();
    EXPECT_LE(reconnectMs, 1000) << Log(rig);
    ASSERT_TRUE(Replayed(&hist, 9)) << Log(rig);
    // And the first live values after the replay.
    ASSERT_TRUE(WaitFor(
        &hist, [&] { return TimeOf(hist.last["plant/b/ramp"]) > back + 1000000; }, 3000));

    // Every sample of the outage, in order, each with the time it was made.
    const Seen seen = SeenBy(&hist);
    EXPECT_TRUE(std::is_sorted(seen.history.begin(), seen.history.end()));
    EXPECT_GE(seen.history.size(), 9u);
    for (const int64_t t : seen.history) {
        EXPECT_GT(t, away - 1500000);
        EXPECT_LT(t, back + 1500000);
    }
    EXPECT_LE(WidestGapUs(Merged(seen), away - 2000000, back + 2000000), 1500000);

    // The retained value is the latest, not a replayed one.
    gwtest::Subscriber fresh;
    ASSERT_TRUE(gwtest::Subscribe(&fresh, rig.broker.port, "plant/#"));
    ASSERT_TRUE(WaitFor(
        &fresh, [&] { return !fresh.last["plant/b/ramp"].empty(); }, 2000));
    {
        std::lock_guard<std::mutex> lock(fresh.mutex);
        for (const gwtest::Received &r : fresh.all) {
            if (r.topic != "plant/b/ramp" || !r.bRetained) continue;
            EXPECT_GE(TimeOf(r.payload), seen.history.back());
        }
    }

    // The store's figures say what went through it; nothing was dropped.
    ASSERT_TRUE(WaitFor(
        &fresh, [&] { return Field(fresh.last["plant/store"], "samples") == 0; }, 3000));
    const json store = json::parse(Last(&fresh, "plant/store"));
    EXPECT_GE(store["stored"], seen.history.size());
    EXPECT_GE(store["replayed"], seen.history.size());
    EXPECT_EQ(store["dropped"], 0);
    gwtest::Unsubscribe(&fresh);
    gwtest::Unsubscribe(&hist);
}

TEST(GatewayStore, KeepsTheSamplesOfAGatewayKilledDuringTheOutage) {
    Rig rig;
    StartWithStore(&rig, "gw_store_kill");
    ASSERT_TRUE(AllOnline(&rig, 5000)) << Log(rig);
    gwtest::Subscriber hist;
    Historian(&rig, &hist);
    const int64_t away = gwtest::WallUs();
    int64_t killed = 0, restarted = 0;
    BrokerAway(&rig, 7000, [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(3500));
        gwtest::Stop(&rig.gateway, SIGKILL, 3000);
        killed = gwtest::WallUs();
        ASSERT_TRUE(StartGateway(&rig));
        restarted = gwtest::WallUs();
    });
    ASSERT_TRUE(Replayed(&hist, 5)) << Log(rig);
    ASSERT_TRUE(WaitFor(
        &hist, [&] { return TimeOf(hist.last["plant/b/ramp"]) > restarted + 4000000; }, 3000));

    // The first run's samples up to its last poll cycle, then the second's.
    const Seen seen = SeenBy(&hist);
    EXPECT_TRUE(std::is_sorted(seen.history.begin(), seen.history.end()));
    const size_t before =
        std::count_if(seen.history.begin(), seen.history.end(), [&](int64_t t) { return t < killed; });
    ASSERT_GE(before, 3u);
    EXPECT_GE(seen.history.size() - before, 2u);
    const std::vector<int64_t> all = Merged(seen);
    EXPECT_LE(WidestGapUs(all, away - 2000000, killed - 1500000), 1500000);
    EXPECT_LE(WidestGapUs(all, restarted + 1500000, restarted + 5000000), 1500000);
    // Nothing made before the kill is missing but its last poll cycle's.
    EXPECT_GT(seen.history[before - 1], killed - 1500000);
    EXPECT_NE(Log(rig).find("samples kept from before"), std::string::npos) << Log(rig);
    gwtest::Unsubscribe(&hist);
}

TEST(GatewayStore, MovesACorruptStoreAsideAndStartsANewOne) {
    Rig rig;
    StartWithStore(&rig, "gw_store_corrupt",
                   [](Rig *r) { gwtest::WriteFile(r->dir + "/store.db", std::string(8192, 'x')); });
    ASSERT_TRUE(AllOnline(&rig, 5000)) << Log(rig);
    EXPECT_TRUE(gwtest::WaitForText(rig.log, "moved aside as " + rig.dir + "/store.db.corrupt-", 1000))
        << Log(rig);
    size_t aside = 0;
    for (const auto &entry : std::filesystem::directory_iterator(rig.dir))
        if (entry.path().filename().string().rfind("store.db.corrupt-", 0) == 0) {
            ++aside;
            EXPECT_EQ(gwtest::Slurp(entry.path()), std::string(8192, 'x'));
        }
    EXPECT_EQ(aside, 1u);
    // The new store works: its figures come.
    EXPECT_TRUE(WaitFor(
        &rig.sub, [&] { return Field(rig.sub.last["plant/store"], "samples") == 0; }, 3000))
        << Log(rig);
}

// A command is for the moment it is given: the broker must not keep one for
// the gateway (a clean session), nor does a store replay commands.
TEST(GatewayStore, NeverCarriesOutASetSentWhileTheGatewayWasAway) {
    Rig rig;
    StartWithStore(&rig, "gw_store_set");
    ASSERT_TRUE(AllOnline(&rig, 5000)) << Log(rig);
    ASSERT_EQ(gwtest::Stop(&rig.gateway, SIGTERM, 5000), 0);
    ASSERT_TRUE(gwtest::Publish(rig.broker.port, "plant/a/sp1/set", "41.5"));
    ASSERT_TRUE(StartGateway(&rig));
    ASSERT_TRUE(gwtest::WaitForText(rig.log, "connected to broker", 3000));
    const size_t values = gwtest::CountOf(&rig.sub, "plant/a/sp1");
    // Ten poll cycles for a queued command to show.
    EXPECT_TRUE(WaitFor(
        &rig.sub, [&] { return gwtest::CountHeld(rig.sub, "plant/a/sp1") > values; }, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(Count(gwtest::Slurp(rig.a.trace), "ACK: element 10"), 0u);
    EXPECT_EQ(Field(Last(&rig.sub, "plant/a/sp1"), "value"), 60.0);
    EXPECT_EQ(gwtest::CountOf(&rig.sub, "plant/a/sp1/result"), 0u);
}

// A full disk (here a file size limit on the gateway) loses samples, said
// and counted; the lines and the live values go on.
TEST(GatewayStore, FullDiskIsALoggedFaultAndTheLinesGoOn) {
    Rig rig;
    StartWithStore(&rig, "gw_store_full");
    ASSERT_TRUE(AllOnline(&rig, 5000)) << Log(rig);
    const rlim_t limit = std::filesystem::file_size(rig.log) + 4096;
    const rlimit fsize{limit, limit};
    ASSERT_EQ(prlimit(rig.gateway.pid, RLIMIT_FSIZE, &fsize, nullptr), 0);
    BrokerAway(&rig, 3000);
    const int64_t back = gwtest::WallUs();
    EXPECT_TRUE(gwtest::WaitForText(rig.log, "cannot be written", 1000)) << Log(rig);
    gwtest::Subscriber after;
    ASSERT_TRUE(gwtest::Subscribe(&after, rig.broker.port, "plant/#"));
    EXPECT_TRUE(WaitFor(
        &after, [&] { return TimeOf(after.last["plant/b/ramp"]) > back; }, 3000))
        << Log(rig);
    EXPECT_TRUE(WaitFor(
        &after, [&] { return Field(after.last["plant/store"], "dropped") > 0; }, 3000))
        << Log(rig);
    EXPECT_EQ(kill(rig.gateway.pid, 0), 0);
    gwtest::Unsubscribe(&after);
}

// The next attempt's wait: 0.5 s through the first minute, then from 1 s
// doubling to 30 s.
TEST(GatewayStore, ReconnectsQuicklyForAMinuteThenBacksOff) {
    using std::chrono::seconds;
    std::chrono::milliseconds backoff{1000};
    const std::vector<std::pair<seconds, int64_t>> waits{
        {seconds(0), 500},    {seconds(59), 500},   {seconds(60), 1000},
        {seconds(61), 2000},  {seconds(63), 4000},  {seconds(67), 8000},
        {seconds(75), 16000}, {seconds(91), 30000}, {seconds(121), 30000}};
    for (const auto &[outage, ms] : waits)
        EXPECT_EQ(gateway::ReconnectWait(outage, &backoff).count(), ms) << outage.count() << " s";
}

// The bound: the oldest go first, counted; the rest stay in order.
TEST(GatewayStore, DropsTheOldestSamplesAtItsBound) {
    const std::string dir = gwtest::MakeScratch("gw_store_bound");
    gateway::Store store;
    ASSERT_TRUE(gateway::OpenStore(&store, dir + "/small.db", 1));
    const std::string filler(120, 'v');
    constexpr int kCycles = 200, kPerCycle = 100;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        for (int i = 0; i < kPerCycle; ++i)
            gateway::AddSample(&store, "plant/a/v1/history",
                               std::to_string(cycle * kPerCycle + i) + " " + filler);
        gateway::CommitStore(&store);
    }
    EXPECT_GT(store.dropped, 0u);
    EXPECT_EQ(store.dropped + store.rows, uint64_t{kCycles * kPerCycle});
    EXPECT_LE(gateway::StoreBytes(&store), 1u << 20);
    // What is left is the newest, oldest first, without a hole.
    uint64_t expected = store.dropped;
    for (int64_t after = 0;;) {
        const std::vector<gateway::Sample> next = gateway::NextSamples(&store, after, 1000);
        if (next.empty()) break;
        for (const gateway::Sample &sample : next) {
            ASSERT_EQ(std::stoull(sample.payload), expected);
            ++expected;
        }
        after = next.back().seq;
    }
    EXPECT_EQ(expected, uint64_t{kCycles * kPerCycle});
    gateway::CloseStore(&store);
    std::filesystem::remove_all(dir);
}

}  // namespace
