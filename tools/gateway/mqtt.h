// The gateway on an MQTT broker (libmosquitto): a network thread that
// connects, keeps the connection and reconnects with a backoff of 1 s
// doubling to 30 s, and a publisher thread that sends what the lines' caches
// hold. On every (re)connect the availability and the latest value of every
// gate are published again, retained, so a broker that lost them has them
// back at once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "gateway.h"

struct mosquitto;

namespace gateway {

struct Message {
    std::string topic, payload;
    int qos = 1;
    bool bRetain = false;
    bool bValue = false;  // a gate's value (counted)
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

    std::atomic<bool> bStopPublishing{false};
    std::atomic<bool> bConnected{false};
    std::atomic<uint64_t> connects{0};
    std::atomic<uint64_t> valuesPublished{0};
};

// Creates the client and starts both threads; false with a message when the
// client cannot be made (a bad CA file, say). The broker need not be up.
bool StartMqtt(Mqtt *m, Gateway *gw, std::string *pError);
// Stops the publisher, publishes the gateway and its lines offline, waits up
// to a second for the broker to take that, disconnects and ends the client.
void StopMqtt(Mqtt *m);
// Publishes a message now when connected (any thread).
void Send(Mqtt *m, const Message &message);
// A line's retained topics emptied, for lines and gates a reload removes.
void ClearLine(Mqtt *m, const LineConfig &line, const LineConfig *pKept);

}  // namespace gateway
