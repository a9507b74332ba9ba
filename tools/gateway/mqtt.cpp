#include "mqtt.h"

#include <mosquitto.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "report.h"

namespace gateway {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

std::string Number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.7g", v);
    return text;
}

std::string Quoted(const std::string &text) {
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string ValuePayload(const GateConfig &gate, const GateValue &v) {
    std::string s = "{\"value\":";
    if (!v.bHasValue) {
        s += "null";
    } else if (gate.bBlock) {
        s += "[";
        for (uint16_t i = 0; i < v.count; ++i) {
            if (i) s += ',';
            s += Number(v.values[i]);
        }
        s += "]";
    } else {
        s += Number(v.values[0]);
    }
    s += ",\"result\":" + std::to_string(v.result) + ",\"time\":\"" + IsoTime(v.tryUs) + "\"";
    if (v.result != 0) {
        if (v.bHasValue) s += ",\"value_time\":\"" + IsoTime(v.goodUs) + "\"";
        s += ",\"error\":" + Quoted(v.reason);
    }
    return s + "}";
}

std::string ResultPayload(uint32_t result, const std::string &value, int64_t us, const std::string &error) {
    std::string s =
        "{\"result\":" + std::to_string(result) + ",\"value\":" + value + ",\"time\":\"" + IsoTime(us) + "\"";
    if (!error.empty()) s += ",\"error\":" + Quoted(error);
    return s + "}";
}

std::string LineTopic(const GatewayConfig &c, const LineConfig &line) {
    return c.broker.prefix + "/" + line.name;
}

std::string DiagnosticsPayload(const Line &line, const LineCounters &c, bool bOnline,
                               const std::string &port) {
    nlohmann::json j{
        {"cycle_ms",
         {{"last", std::round(c.lastCycleMs * 100) / 100},
          {"max", std::round(c.maxCycleMs * 100) / 100},
          {"mean", c.windowCycles ? std::round(c.sumCycleMs / c.windowCycles * 100) / 100 : 0.0}}},
        {"cycles", c.cycles},
        {"reads", c.reads},
        {"failures", {{"1", c.failures[1]}, {"2", c.failures[2]}, {"3", c.failures[3]}}},
        {"retries", c.retries},
        {"writes", c.writes},
        {"online", bOnline},
        {"port", port},
        {"time", IsoTime(WallUs())}};
    // The line's load since the last report: requests per cycle and the
    // share of the time spent in transactions.
    const double windowMs = static_cast<double>(WallUs() - c.windowStartUs) / 1000.0;
    j["requests_per_cycle"] =
        c.windowCycles ? std::round(static_cast<double>(c.windowRequests) / c.windowCycles * 100) / 100 : 0.0;
    j["busy_share"] = windowMs > 0 ? std::round(std::min(1.0, c.windowBusyMs / windowMs) * 1000) / 1000 : 0.0;
    for (const auto &[plc, ms] : line.turnaroundMs)
        j["turnaround_ms"][std::to_string(plc)] = std::round(ms * 100) / 100;
    j["silent"] = nlohmann::json::array();
    for (const auto &[plc, bAnswering] : line.controllers)
        if (!bAnswering) j["silent"].push_back(plc);
    return j.dump();
}

// Home Assistant: a sensor per gate read (per element of a block), a number
// per gate written, all available while the gateway, the line and the
// gate's controller are.
Message DiscoveryMessage(const GatewayConfig &c, const LineConfig &line, const GateConfig &gate,
                         int32_t element) {
    const std::string state = LineTopic(c, line) + "/" + gate.name;
    const std::string suffix = element < 0 ? "" : "_" + std::to_string(element);
    const std::string id = DiscoveryId(c.broker.prefix + "_" + line.name + "_" + gate.name + suffix);
    const std::string value = element < 0 ? "value" : "value[" + std::to_string(element) + "]";
    nlohmann::json j{{"name", element < 0 ? gate.name : gate.name + " " + std::to_string(element)},
                     {"unique_id", id},
                     {"object_id", id},
                     {"state_topic", state},
                     {"value_template", "{{ value_json." + value + " }}"},
                     {"availability", nlohmann::json::array({{{"topic", c.broker.prefix + "/status"}},
                                                             {{"topic", LineTopic(c, line) + "/status"}}})},
                     {"availability_mode", "all"},
                     {"json_attributes_topic", state},
                     {"device",
                      {{"identifiers", {DiscoveryId(c.broker.prefix + "_" + line.name)}},
                       {"name", line.name},
                       {"manufacturer", "ROVOD"},
                       {"model", "controller line on " + line.port}}}};
    // And while its controller answers.
    if (PlcOf(gate) != 255)
        j["availability"].push_back(
            {{"topic", LineTopic(c, line) + "/controller/" + std::to_string(PlcOf(gate)) + "/status"}});
    if (gate.bWritable) {
        j["command_topic"] = state + "/set";
        j["mode"] = "box";
        if (gate.bFloats) {
            j["min"] = -2047.75;
            j["max"] = 2047.75;
            j["step"] = 0.01;
        } else {
            j["step"] = 1;
            j["min"] = 0;
            j["max"] = gate.dataType == ZEV_TYPE_DIGITAL ? 1 : 255;
        }
    }
    return {DiscoveryTopic(c, line, gate, element), j.dump(), 1, true};
}

std::string StatusText(bool bOnline) { return bOnline ? "online" : "offline"; }

// What the publisher sends of one line: its status, and each gate whose
// value, result or (published every cycle) attempt is new, a sample; everything
// when bAll (just connected). *pPasses gets the line's passes.
void CollectLine(const GatewayConfig &c, Line *line, bool bAll, int valueQos, bool bSamples,
                 std::vector<Message> *pOut, uint64_t *pPasses) {
    const std::string base = LineTopic(c, line->config);
    const size_t n = line->config.gates.size();
    line->sentAttempts.resize(n, 0);
    line->sentChanges.resize(n, 0);
    std::lock_guard<PiMutex> lock(line->mutex);
    *pPasses += line->passes;
    // A line tells its status once its first attempt has decided it.
    if (line->statusChanges != 0 && (bAll || line->statusChanges != line->sentStatus)) {
        pOut->push_back({base + "/status", StatusText(line->bOnline), 1, true});
        line->sentStatus = line->statusChanges;
    }
    if (line->controllerChanges != 0 && (bAll || line->controllerChanges != line->sentControllers)) {
        for (const auto &[plc, bAnswering] : line->controllers)
            pOut->push_back(
                {base + "/controller/" + std::to_string(plc) + "/status", StatusText(bAnswering), 1, true});
        line->sentControllers = line->controllerChanges;
    }
    for (size_t i = 0; i < n; ++i) {
        const GateValue &v = line->cache[i];
        const GateConfig &g = line->config.gates[i];
        const bool bNew = v.changes != line->sentChanges[i] ||
                          (g.publish == Publish::kCycle && v.attempts != line->sentAttempts[i]);
        if (v.attempts == 0 || !(bAll || bNew)) continue;
        const std::string topic = base + "/" + g.name;
        pOut->push_back(
            {topic, ValuePayload(g, v), valueQos, true, true, bNew && bSamples ? "/history" : nullptr});
        line->sentAttempts[i] = v.attempts;
        line->sentChanges[i] = v.changes;
    }
}

void Diagnostics(const GatewayConfig &c, Line *line, std::vector<Message> *pOut) {
    std::lock_guard<PiMutex> lock(line->mutex);
    LineCounters &k = line->counters;
    pOut->push_back({LineTopic(c, line->config) + "/diagnostics",
                     DiagnosticsPayload(*line, k, line->bOnline, line->portShown), 1, false});
    k.maxCycleMs = k.sumCycleMs = k.windowBusyMs = 0;
    k.windowCycles = k.windowRequests = 0;
    k.windowStartUs = WallUs();
}

uint32_t DiagnosticsPeriod(Gateway *gw) {
    std::lock_guard<std::mutex> lock(gw->linesMutex);
    return gw->config.diagnosticsS;
}

void PublisherLoop(Mqtt *m) {
    Gateway *gw = m->gw;
    uint64_t seen = 0, connectsSeen = 0;
    // The first report comes one period after the start, with something to say.
    Clock::time_point nextDiagnostics = Clock::now() + std::chrono::seconds(DiagnosticsPeriod(gw));
    for (;;) {
        {
            std::unique_lock<PiMutex> lock(gw->notify.mutex);
            gw->notify.cv.wait_until(lock, std::min(nextDiagnostics, ForwardDeadline(*m)), [&] {
                return gw->notify.generation != seen || m->bStopPublishing.load();
            });
            seen = gw->notify.generation;
        }
        if (m->bStopPublishing.load()) break;
        const bool bDiagnostics = Clock::now() >= nextDiagnostics;
        if (bDiagnostics) nextDiagnostics = Clock::now() + std::chrono::seconds(DiagnosticsPeriod(gw));
        std::vector<Message> out;
        {
            std::lock_guard<std::mutex> lock(m->mutex);
            for (Message &message : m->outbox) out.push_back(std::move(message));
            m->outbox.clear();
        }
        // Away from the broker the lines' news is collected all the same: the
        // samples go into the store, the rest out again on connecting.
        const bool bConnected = m->bConnected.load();
        const uint64_t connects = m->connects.load();
        const bool bAll = bConnected && connects != connectsSeen;
        if (bConnected) connectsSeen = connects;
        uint64_t passes = 0;
        {
            std::lock_guard<std::mutex> lock(gw->linesMutex);
            const GatewayConfig &c = gw->config;
            // A sample is kept until the broker acknowledges it.
            const int qos = m->bStore ? std::max(1, c.broker.qos) : c.broker.qos;
            if (bAll) {
                out.push_back({c.broker.prefix + "/status", "online", 1, true});
                if (c.bHomeAssistant)
                    for (const auto &line : gw->lines)
                        for (const GateConfig &gate : line->config.gates)
                            for (const int32_t i : DiscoveryElements(gate))
                                out.push_back(DiscoveryMessage(c, line->config, gate, i));
            }
            for (const auto &line : gw->lines) {
                CollectLine(c, line.get(), bAll, qos, m->bStore, &out, &passes);
                if (bDiagnostics && bConnected) Diagnostics(c, line.get(), &out);
            }
            if (bDiagnostics && bConnected && m->bStore) out.push_back(StoreDiagnostics(m, c.broker.prefix));
        }
        uint64_t values = 0;
        for (const Message &message : out) {
            if (!Send(m, message)) continue;
            if (message.bValue) ++values;
        }
        m->valuesPublished += values;
        Forward(m, bConnected, bAll, passes);
    }
}

// --- the network thread and the callbacks ---------------------------------

void OnConnect(mosquitto *mosq, void *user, int rc) {
    Mqtt *m = static_cast<Mqtt *>(user);
    if (rc != 0) {
        Log("broker %s:%u refused the connection: %s", m->broker.host.c_str(), m->broker.port,
            mosquitto_connack_string(rc));
        return;
    }
    Log("connected to broker %s:%u as %s", m->broker.host.c_str(), m->broker.port,
        m->broker.clientId.c_str());
    const std::string sets = m->broker.prefix + "/+/+/set";
    mosquitto_subscribe(mosq, nullptr, sets.c_str(), 1);
    {
        std::lock_guard<std::mutex> lock(m->mutex);
        m->bResetBackoff = true;
    }
    m->bConnected.store(true);
    ++m->connects;
    Notify(&m->gw->notify);
}

void OnDisconnect(mosquitto *, void *user, int) {
    Mqtt *m = static_cast<Mqtt *>(user);
    {
        std::lock_guard<std::mutex> lock(m->mutex);
        ConnectionLost(m);
    }
    Notify(&m->gw->notify);
}

void OnPublish(mosquitto *, void *user, int mid) {
    Mqtt *m = static_cast<Mqtt *>(user);
    bool bReplayed = false;
    {
        std::lock_guard<std::mutex> lock(m->mutex);
        m->unacked.erase(mid);
        const auto found = m->flying.find(mid);
        if (found != m->flying.end()) {
            // A stored sample leaves the store now; a live one was never in it.
            if (found->second.seq != 0) {
                m->acked.push_back(found->second.seq);
                --m->replaysFlying;
                bReplayed = true;
            }
            m->flying.erase(found);
        }
    }
    m->cv.notify_all();
    if (bReplayed) Notify(&m->gw->notify);
}

// A write's result: a sample of its own.
void Queue(Mqtt *m, Message message) {
    message.sampleSuffix = "";
    {
        std::lock_guard<std::mutex> lock(m->mutex);
        m->outbox.push_back(std::move(message));
    }
    Notify(&m->gw->notify);
}

// PREFIX/LINE/GATE/set with a number: checked, then queued for the line.
// One the broker kept (retained) is never carried out.
void OnMessage(mosquitto *, void *user, const mosquitto_message *msg) {
    Mqtt *m = static_cast<Mqtt *>(user);
    const std::string topic = msg->topic ? msg->topic : "";
    std::string lineName, gateName;
    if (!SplitGateTopic(topic, m->broker.prefix, "/set", &lineName, &gateName)) return;
    const std::string resultTopic = m->broker.prefix + "/" + lineName + "/" + gateName + "/result";
    std::string payload(static_cast<const char *>(msg->payload), static_cast<size_t>(msg->payloadlen));
    while (!payload.empty() && std::isspace(static_cast<unsigned char>(payload.back()))) payload.pop_back();
    size_t first = 0;
    while (first < payload.size() && std::isspace(static_cast<unsigned char>(payload[first]))) ++first;
    payload.erase(0, first);

    std::lock_guard<std::mutex> lock(m->gw->linesMutex);
    Line *line = nullptr;
    size_t index = 0;
    if (!FindGate(m->gw, lineName, gateName, &line, &index)) return;
    const GateConfig &gate = line->config.gates[index];
    const auto refuse = [&](const std::string &why) {
        Queue(m, {resultTopic, ResultPayload(ZEV_REJECTED, "null", WallUs(), why), 1, false});
    };
    // The broker hands a retained set over again, flagged, at every
    // subscription (each start, each reconnect): an old value that would
    // override whatever has been set since.
    if (msg->retain) {
        Log("line %s: retained command '%s' on %s ignored; publish set without the retain flag, and clear "
            "it with an empty retained message",
            lineName.c_str(), payload.substr(0, 64).c_str(), topic.c_str());
        return refuse("retained command ignored");
    }
    if (!gate.bWritable) return refuse("gate " + gateName + " (" + gate.address + ") is not writable");
    char *end = nullptr;
    const double value = std::strtod(payload.c_str(), &end);
    if (payload.empty() || *end != '\0' || payload.find_first_of("xXnNiI") != std::string::npos)
        return refuse("payload '" + payload.substr(0, 64) + "' is not a number");
    std::string why;
    if (!CheckWriteValue(gate, value, &why)) return refuse(why);
    WriteRequest request;
    request.gate = index;
    request.value = value;
    request.done = [m, resultTopic](const WriteOutcome &out) {
        Queue(m,
              {resultTopic, ResultPayload(out.result, Number(out.value), out.timeUs, out.error), 1, false});
    };
    if (!QueueWrite(line, std::move(request))) refuse("the line is stopping");
}

void WaitBackoff(Mqtt *m, milliseconds backoff) {
    std::unique_lock<std::mutex> lock(m->mutex);
    m->cv.wait_for(lock, backoff, [m] { return m->bStopNetwork; });
}

// A client for one connection. A new one after every loss: libmosquitto
// would send its queue of unacknowledged messages again after the
// reconnect, old retained values after the new ones.
mosquitto *MakeClient(Mqtt *m, std::string *pError) {
    mosquitto *mosq = NewClient(m->broker, m->broker.clientId, m, pError);
    if (mosq == nullptr) return nullptr;
    // The replay keeps its own small window; live values never queue behind it.
    mosquitto_max_inflight_messages_set(mosq, 0);
    const std::string will = m->broker.prefix + "/status";
    mosquitto_will_set(mosq, will.c_str(), 7, "offline", 1, true);
    mosquitto_connect_callback_set(mosq, OnConnect);
    mosquitto_disconnect_callback_set(mosq, OnDisconnect);
    mosquitto_publish_callback_set(mosq, OnPublish);
    mosquitto_message_callback_set(mosq, OnMessage);
    return mosq;
}

void NetworkLoop(Mqtt *m) {
    auto backoff = milliseconds(1000);
    bool bSocket = false, bSaid = false;
    Clock::time_point lostAt = Clock::now(), stopBy = Clock::time_point::max();
    const auto retry = [&](const std::string &what) {
        const milliseconds wait = ReconnectWait(Clock::now() - lostAt, &backoff);
        if (wait != kQuickRetry)
            Log("broker %s:%u: %s; next attempt in %lld s", m->broker.host.c_str(), m->broker.port,
                what.c_str(), static_cast<long long>(wait.count() / 1000));
        else if (!bSaid)
            Log("broker %s:%u: %s; trying again every 0.5 s for a minute, then 1, 2, 4, ... 30 s apart",
                m->broker.host.c_str(), m->broker.port, what.c_str());
        bSaid = true;
        WaitBackoff(m, wait);
    };
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m->mutex);
            if (m->bStopNetwork && (!bSocket || Clock::now() > stopBy)) break;
            if (m->bStopNetwork && stopBy == Clock::time_point::max())
                stopBy = Clock::now() + milliseconds(500);
            if (m->bResetBackoff) {
                backoff = milliseconds(1000);
                bSaid = false;
            }
            m->bResetBackoff = false;
        }
        if (!bSocket) {
            std::string error;
            if (m->mosq == nullptr) {
                mosquitto *mosq = MakeClient(m, &error);
                std::lock_guard<std::mutex> lock(m->mutex);
                m->mosq = mosq;
            }
            const int rc = m->mosq == nullptr
                               ? MOSQ_ERR_NOMEM
                               : mosquitto_connect(m->mosq, m->broker.host.c_str(), m->broker.port,
                                                   static_cast<int>(m->broker.keepAlive));
            if (rc == MOSQ_ERR_SUCCESS) {
                bSocket = true;
                continue;
            }
            if (error.empty()) error = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
            retry(error);
            continue;
        }
        const int rc = mosquitto_loop(m->mosq, 100, 1);
        if (rc == MOSQ_ERR_SUCCESS) continue;
        bSocket = false;
        {
            std::lock_guard<std::mutex> lock(m->mutex);
            ConnectionLost(m);
            if (m->bStopNetwork) break;
            mosquitto_destroy(m->mosq);
            m->mosq = nullptr;
        }
        Notify(&m->gw->notify);
        lostAt = Clock::now();
        bSaid = false;
        retry(std::string("lost (") + mosquitto_strerror(rc) + ")");
    }
}

}  // namespace

bool Send(Mqtt *m, const Message &message) {
    int mid = 0;
    // The lock keeps OnPublish from acknowledging a mid before it is
    // recorded, and the connection from breaking in between.
    std::lock_guard<std::mutex> lock(m->mutex);
    const bool bSample = m->bStore && message.seq == 0 && message.sampleSuffix != nullptr;
    const int rc = !m->bConnected.load() || m->mosq == nullptr
                       ? MOSQ_ERR_NO_CONN
                       : mosquitto_publish(m->mosq, &mid, message.topic.c_str(),
                                           static_cast<int>(message.payload.size()), message.payload.data(),
                                           message.qos, message.bRetain);
    if (rc != MOSQ_ERR_SUCCESS) {
        if (bSample) m->unsent.push_back({0, message.topic + message.sampleSuffix, message.payload});
        return false;
    }
    if (message.qos > 0) m->unacked.insert(mid);
    if (message.qos > 0 && (bSample || message.seq != 0)) {
        InFlight &f = m->flying[mid];
        f.order = ++m->sendOrder;
        f.seq = message.seq;
        if (message.seq != 0) {
            ++m->replaysFlying;
        } else {
            f.topic = message.topic + message.sampleSuffix;
            f.payload = message.payload;
        }
    }
    return true;
}

mosquitto *NewClient(const BrokerConfig &broker, const std::string &clientId, void *user,
                     std::string *pError) {
    mosquitto *mosq = mosquitto_new(clientId.c_str(), true, user);
    if (mosq == nullptr) {
        *pError = std::string("cannot make an MQTT client: ") + std::strerror(errno);
        return nullptr;
    }
    mosquitto_threaded_set(mosq, true);
    mosquitto_int_option(mosq, MOSQ_OPT_TCP_NODELAY, 1);
    if (!broker.user.empty())
        mosquitto_username_pw_set(mosq, broker.user.c_str(),
                                  broker.password.empty() ? nullptr : broker.password.c_str());
    if (!broker.caFile.empty()) {
        const int rc = mosquitto_tls_set(mosq, broker.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            *pError = "ca_file " + broker.caFile + ": " + mosquitto_strerror(rc);
            mosquitto_destroy(mosq);
            return nullptr;
        }
    }
    return mosq;
}

bool StartMqtt(Mqtt *m, Gateway *gw, std::string *pError) {
    m->gw = gw;
    m->broker = gw->config.broker;
    m->bStopNetwork = false;
    m->bStopPublishing.store(false);
    m->bConnected.store(false);
    m->unacked.clear();
    mosquitto_lib_init();
    m->mosq = MakeClient(m, pError);
    if (m->mosq == nullptr) return false;
    OpenForward(m);
    m->network = std::thread(NetworkLoop, m);
    m->publisher = std::thread(PublisherLoop, m);
    return true;
}

void StopMqtt(Mqtt *m) {
    if (!m->publisher.joinable()) return;
    m->bStopPublishing.store(true);
    Notify(&m->gw->notify);
    if (m->publisher.joinable()) m->publisher.join();
    if (m->bConnected.load()) {
        std::vector<Message> out;
        {
            std::lock_guard<std::mutex> lock(m->gw->linesMutex);
            for (const auto &line : m->gw->lines)
                out.push_back({LineTopic(m->gw->config, line->config) + "/status", "offline", 1, true});
        }
        out.push_back({m->broker.prefix + "/status", "offline", 1, true});
        for (const Message &message : out) Send(m, message);
        std::unique_lock<std::mutex> lock(m->mutex);
        m->cv.wait_for(lock, milliseconds(1000), [m] { return m->unacked.empty(); });
    }
    {
        std::lock_guard<std::mutex> lock(m->mutex);
        m->bStopNetwork = true;
    }
    {
        std::lock_guard<std::mutex> lock(m->mutex);
        if (m->mosq != nullptr) mosquitto_disconnect(m->mosq);
    }
    m->cv.notify_all();
    if (m->network.joinable()) m->network.join();
    if (m->mosq != nullptr) mosquitto_destroy(m->mosq);
    m->mosq = nullptr;
    m->bConnected.store(false);
    CloseForward(m);
    mosquitto_lib_cleanup();
}

void ClearLine(Mqtt *m, const LineConfig &line, const LineConfig *pKept) {
    const GatewayConfig &c = m->gw->config;
    std::vector<Message> out;
    const std::string base = LineTopic(c, line);
    if (pKept == nullptr) out.push_back({base + "/status", "offline", 1, true});
    for (const GateConfig &gate : line.gates) {
        bool bKept = false;
        if (pKept != nullptr)
            for (const GateConfig &g : pKept->gates) bKept = bKept || g.name == gate.name;
        if (bKept) continue;
        out.push_back({base + "/" + gate.name, "", 1, true});
        if (c.bHomeAssistant)
            for (const int32_t i : DiscoveryElements(gate))
                out.push_back({DiscoveryTopic(c, line, gate, i), "", 1, true});
    }
    for (const Message &message : out) Send(m, message);
}

}  // namespace gateway
