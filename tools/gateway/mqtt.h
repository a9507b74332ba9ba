// The gateway on an MQTT broker (libmosquitto): a network thread that
// connects, keeps the connection and reconnects (every 0.5 s for the first
// minute of an outage, then with a backoff of 1 s doubling to 30 s), and a
// publisher thread that sends what the lines' caches hold. On every
// (re)connect the availability and the latest value of every gate are
// published again, retained, so a broker that lost them has them back at
// once; then, with a store, the samples the broker has not had.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "gateway.h"
#include "store.h"

struct mosquitto;

namespace gateway {

struct Message {
    std::string topic, payload;
    int qos = 1;
    bool bRetain = false;
    bool bValue = false;  // a gate's value (counted)
    // A sample (a new value, a write's result): what its topic gets for the
    // replay when the broker does not acknowledge it ("/history", or "" for
    // a write's result). nullptr for everything else.
    const char *sampleSuffix = nullptr;
    int64_t seq = 0;  // a sample replayed from the store
};

// A sample sent and not acknowledged yet: a live one in full, one from the
// store by its place there.
struct InFlight {
    uint64_t order = 0;
    int64_t seq = 0;
    std::string topic, payload;
};

struct Mqtt {
    Gateway *gw = nullptr;
    BrokerConfig broker;
    mosquitto *mosq = nullptr;
    std::thread network, publisher;

    std::mutex mutex;  // guards what follows
    std::condition_variable cv;
    bool bStopNetwork = false;
    bool bResetBackoff = false;
    std::deque<Message> outbox;  // write results for the publisher
    std::set<int> unacked;       // QoS 1 messages the broker has not acknowledged
    // Store and forward.
    bool bStore = false;             // a store is open
    std::map<int, InFlight> flying;  // samples by message id, until acknowledged
    uint64_t sendOrder = 0;
    std::vector<Sample> unsent;  // samples the broker did not take, in the order made
    std::vector<int64_t> acked;  // stored samples the broker acknowledged
    size_t replaysFlying = 0;

    // Told of every stored sample replayed (the Sparkplug node's history).
    std::function<void(const std::string &topic, const std::string &payload)> onReplay;

    std::atomic<bool> bStopPublishing{false};
    std::atomic<bool> bConnected{false};
    std::atomic<uint64_t> connects{0};
    std::atomic<uint64_t> valuesPublished{0};

    // The publisher's own (and Start's and Stop's while it is not running).
    Store store;
    int64_t replayCursor = 0;  // the last stored sample sent in this connection
    uint64_t replayRound = 0;  // samples sent since the connect
    uint64_t passesSeen = 0;   // the lines' passes at the last commit
    int64_t lastCommitUs = 0;
    bool bWasConnected = false;
};

// Creates the client and starts both threads; false with a message when the
// client cannot be made (a bad CA file, say). The broker need not be up.
bool StartMqtt(Mqtt *m, Gateway *gw, std::string *pError);
// A client with the broker's account and TLS, for any thread, Nagle off;
// nullptr with a message.
mosquitto *NewClient(const BrokerConfig &broker, const std::string &clientId, void *user,
                     std::string *pError);
// Stops the publisher, publishes the gateway and its lines offline, waits up
// to a second for the broker to take that, disconnects and ends the client.
void StopMqtt(Mqtt *m);
// Back quickly: every 0.5 s in the first minute of an outage (a broker
// restarted, a network blip), then *pBackoff, doubling up to 30 s.
constexpr auto kQuickRetry = std::chrono::milliseconds(500);
constexpr auto kQuickPhase = std::chrono::seconds(60);
inline std::chrono::milliseconds ReconnectWait(std::chrono::steady_clock::duration outage,
                                               std::chrono::milliseconds *pBackoff) {
    if (outage < kQuickPhase) return kQuickRetry;
    const std::chrono::milliseconds wait = *pBackoff;
    *pBackoff = std::min(*pBackoff * 2, std::chrono::milliseconds(30000));
    return wait;
}

// Publishes a message now when connected (any thread); false when it could
// not go (a sample is then kept for the store).
bool Send(Mqtt *m, const Message &message);

// Store and forward (forward.cpp). With the mutex held: the connection is
// gone, the samples in flight are kept for the store, in the order sent.
void ConnectionLost(Mqtt *m);
// The publisher's part, after each round of sending: what the broker did not
// take goes into the store, committed once per poll cycle of the lines
// (passes: their sum); when connected the stored samples are replayed,
// oldest first, a few in flight at a time.
void Forward(Mqtt *m, bool bConnected, bool bJustConnected, uint64_t passes);
// When the publisher next has store work though nothing else happens.
std::chrono::steady_clock::time_point ForwardDeadline(const Mqtt &m);
// The store's figures, for PREFIX/store.
Message StoreDiagnostics(Mqtt *m, const std::string &prefix);
// Opens the configured store; at the stop what is in flight goes into it.
void OpenForward(Mqtt *m);
void CloseForward(Mqtt *m);
// A line's retained topics emptied, for lines and gates a reload removes.
void ClearLine(Mqtt *m, const LineConfig &line, const LineConfig *pKept);

}  // namespace gateway
