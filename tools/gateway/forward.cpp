// Store and forward: the samples the broker has not acknowledged go into the
// store; after a reconnect, once the latest values are out, they are sent
// again on PREFIX/LINE/GATE/history, oldest first, and leave the store only
// when the broker has acknowledged them.
#include <algorithm>
#include <nlohmann/json.hpp>

#include "mqtt.h"
#include "report.h"

namespace gateway {

using Clock = std::chrono::steady_clock;

namespace {

// Stored samples in flight at once: enough to keep the replay going at the
// broker's pace, few enough that a live value never waits behind many.
constexpr size_t kReplayWindow = 16;
// Delivered samples are deleted in batches (each commit reaches the disk).
constexpr size_t kDeleteBatch = 256;
constexpr int64_t kCommitAtMostUs = 1000000;

// What the network side kept since the last round, in order, into the
// store's next commit.
void TakeUnsent(Mqtt *m) {
    std::vector<Sample> unsent;
    std::vector<int64_t> acked;
    {
        std::lock_guard<std::mutex> lock(m->mutex);
        unsent.swap(m->unsent);
        acked.swap(m->acked);
    }
    for (Sample &sample : unsent) AddSample(&m->store, std::move(sample.topic), std::move(sample.payload));
    m->store.acked.insert(m->store.acked.end(), acked.begin(), acked.end());
}

void Commit(Mqtt *m) {
    CommitStore(&m->store);
    m->lastCommitUs = WallUs();
}

size_t ReplaysFlying(Mqtt *m) {
    std::lock_guard<std::mutex> lock(m->mutex);
    return m->replaysFlying;
}

}  // namespace

void ConnectionLost(Mqtt *m) {
    m->bConnected.store(false);
    std::vector<const InFlight *> live;
    for (const auto &[mid, f] : m->flying)
        if (f.seq == 0) live.push_back(&f);
    // The order sent, which message ids no longer give once they wrap.
    std::sort(live.begin(), live.end(),
              [](const InFlight *a, const InFlight *b) { return a->order < b->order; });
    for (const InFlight *f : live) m->unsent.push_back({0, f->topic, f->payload});
    // Stored ones stay in the store: the next connection starts from its oldest.
    m->flying.clear();
    m->replaysFlying = 0;
    m->unacked.clear();
}

void Forward(Mqtt *m, bool bConnected, bool bJustConnected, uint64_t passes) {
    if (!m->bStore) return;
    Store *s = &m->store;
    if (!bConnected && m->bWasConnected) NewOutage(s);
    m->bWasConnected = bConnected;
    TakeUnsent(m);
    const int64_t now = WallUs();
    if (!bConnected) {
        // One commit per poll cycle: once a line has finished a pass.
        if (passes != m->passesSeen || now - m->lastCommitUs >= kCommitAtMostUs) {
            m->passesSeen = passes;
            Commit(m);
        }
        return;
    }
    m->passesSeen = passes;
    const size_t flying = ReplaysFlying(m);
    // Samples kept at a break go in at once; deletions in batches, or when
    // the replay has nothing in flight.
    if (!s->pending.empty() || bJustConnected || s->acked.size() >= kDeleteBatch ||
        (!s->acked.empty() && (flying == 0 || now - m->lastCommitUs >= kCommitAtMostUs)))
        Commit(m);
    if (bJustConnected) {
        // Everything stored goes again, the oldest first.
        m->replayCursor = 0;
        m->replayRound = 0;
    }
    if (flying >= kReplayWindow) return;
    const std::vector<Sample> next = NextSamples(s, m->replayCursor, kReplayWindow - flying);
    for (const Sample &sample : next) {
        Message message{sample.topic, sample.payload, 1, false};
        message.seq = sample.seq;
        if (!Send(m, message)) return;
        if (m->onReplay) m->onReplay(sample.topic, sample.payload);
        m->replayCursor = sample.seq;
        ++m->replayRound;
    }
    if (next.empty() && flying == 0 && m->replayRound > 0) {
        Log("store %s: %llu samples delivered again after the reconnect", s->path.c_str(),
            static_cast<unsigned long long>(m->replayRound));
        m->replayRound = 0;
    }
}

Clock::time_point ForwardDeadline(const Mqtt &m) {
    if (!m.bStore || (m.store.pending.empty() && m.store.acked.empty())) return Clock::time_point::max();
    return Clock::now() +
           std::chrono::microseconds(std::max<int64_t>(0, m.lastCommitUs + kCommitAtMostUs - WallUs()));
}

Message StoreDiagnostics(Mqtt *m, const std::string &prefix) {
    const Store &s = m->store;
    const nlohmann::json j{{"path", s.path},          {"stored", s.stored},
                           {"replayed", s.replayed},  {"dropped", s.dropped},
                           {"samples", s.rows},       {"bytes", StoreBytes(&m->store)},
                           {"max_bytes", s.maxBytes}, {"time", IsoTime(WallUs())}};
    return {prefix + "/store", j.dump(), 1, false};
}

void OpenForward(Mqtt *m) {
    const GatewayConfig &c = m->gw->config;
    m->bStore = !c.storePath.empty() && OpenStore(&m->store, c.storePath, c.storeMaxMb);
    m->replayCursor = 0;
    m->replayRound = 0;
    m->lastCommitUs = WallUs();
    m->bWasConnected = false;
}

void CloseForward(Mqtt *m) {
    if (!m->bStore) return;
    {
        std::lock_guard<std::mutex> lock(m->mutex);
        ConnectionLost(m);
    }
    TakeUnsent(m);
    CloseStore(&m->store);
    m->bStore = false;
    m->store = Store{};
}

}  // namespace gateway
