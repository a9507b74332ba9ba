#include "sparkplug.h"

#include <mosquitto.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>

#include "mqtt.h"
#include "report.h"
#include "spb_payload.h"

namespace gateway {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

constexpr size_t kMaxHistory = 100000;

// "2026-12-08T08:43:28.663412Z" as ms since 1970; 0 when it is none.
int64_t ParseIsoMs(const std::string &text) {
    std::tm parts{};
    int micros = 0;
    if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &parts.tm_year, &parts.tm_mon, &parts.tm_mday,
                    &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &micros) != 7)
        return 0;
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    return static_cast<int64_t>(timegm(&parts)) * 1000 + micros / 1000;
}

struct Out {
    std::string topic, payload;
};

// The bdSeq after the one the file keeps from the last run; 0 without one.
uint64_t BdSeqAfterFile(const std::string &path) {
    std::ifstream in(path);
    unsigned long long last = 0;
    return in >> last ? (last + 1) % 256 : 0;
}

void KeepBdSeq(const std::string &path, uint64_t bdSeq) {
    const std::string temp = path + ".new";
    {
        std::ofstream out(temp, std::ios::trunc);
        out << bdSeq << "\n";
        if (!out.flush()) {
            Log("sparkplug: cannot write %s: bdSeq %llu is not kept across a restart", path.c_str(),
                static_cast<unsigned long long>(bdSeq));
            return;
        }
    }
    std::rename(temp.c_str(), path.c_str());
}

std::string DeathPayload(uint64_t bdSeq) {
    SpbPayload p;
    p.set_timestamp(static_cast<uint64_t>(WallUs() / 1000));
    SpbNodeMetric m{"bdSeq", kAliasBdSeq, kSpbUInt64, static_cast<double>(bdSeq)};
    NodeMetric(p.add_metrics(), m, true);
    return p.SerializeAsString();
}

std::string NodeTopic(const Sparkplug *s, const char *type, const std::string &device = "") {
    return s->base + "/" + type + "/" + s->config.edgeNodeId + (device.empty() ? "" : "/" + device);
}

// A new session's will: NDEATH with its bdSeq, kept in the file first.
void SetWill(Sparkplug *s, uint64_t bdSeq) {
    KeepBdSeq(s->config.bdSeqFile, bdSeq);
    const std::string topic = NodeTopic(s, "NDEATH"), payload = DeathPayload(bdSeq);
    mosquitto_will_set(s->mosq, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, false);
}

std::vector<SpbDevice> DevicesOf(const GatewayConfig &c) {
    std::vector<SpbDevice> devices;
    for (size_t l = 0; l < c.lines.size(); ++l)
        for (const int plc : LineControllers(c.lines[l])) {
            SpbDevice d;
            d.line = l;
            d.plc = plc;
            d.id = c.lines[l].name + "-" + std::to_string(plc);
            for (size_t g = 0; g < c.lines[l].gates.size(); ++g)
                if (PlcOf(c.lines[l].gates[g]) == plc) d.gates.push_back(g);
            devices.push_back(std::move(d));
        }
    return devices;
}

// --- the publisher --------------------------------------------------------

void Stamp(Sparkplug *s, SpbPayload *p) {
    p->set_timestamp(static_cast<uint64_t>(WallUs() / 1000));
    p->set_seq(s->seq);
    s->seq = (s->seq + 1) % 256;
}

std::vector<SpbNodeMetric> NodeMetrics(Sparkplug *s) {
    std::vector<SpbNodeMetric> out{
        {"bdSeq", kAliasBdSeq, kSpbUInt64, 0},
        {"Node Control/Rebirth", kAliasRebirth, kSpbBoolean, 0},
        {"Sparkplug/Commands", 3, kSpbUInt64, double(s->commands.load())},
        {"Sparkplug/Writes", 4, kSpbUInt64, double(s->writes.load())},
        {"Sparkplug/Writes Refused", 5, kSpbUInt64, double(s->writesRefused.load())}};
    {
        std::lock_guard<std::mutex> lock(s->mutex);
        out[0].value = static_cast<double>(s->bdSeq);
    }
    for (size_t l = 0; l < s->gw->lines.size(); ++l) {
        Line *line = s->gw->lines[l].get();
        std::lock_guard<PiMutex> lock(line->mutex);
        const LineCounters &k = line->counters;
        const std::string head = "Lines/" + line->config.name + "/";
        const uint64_t alias = 16 + 8 * l;
        out.push_back({head + "Online", alias, kSpbBoolean, line->bOnline ? 1.0 : 0.0});
        out.push_back({head + "Cycles", alias + 1, kSpbUInt64, double(k.cycles)});
        out.push_back({head + "Reads", alias + 2, kSpbUInt64, double(k.reads)});
        out.push_back({head + "Failures", alias + 3, kSpbUInt64,
                       double(k.failures[1] + k.failures[2] + k.failures[3])});
        out.push_back({head + "Retries", alias + 4, kSpbUInt64, double(k.retries)});
        out.push_back({head + "Writes", alias + 5, kSpbUInt64, double(k.writes)});
        out.push_back({head + "Cycle ms", alias + 6, kSpbFloat, k.lastCycleMs});
    }
    return out;
}

void NodeBirth(Sparkplug *s, std::vector<Out> *pOut) {
    SpbPayload p;
    s->nodeSent = NodeMetrics(s);
    for (const SpbNodeMetric &m : s->nodeSent) NodeMetric(p.add_metrics(), m, true);
    // A birth starts the count again.
    s->seq = 0;
    Stamp(s, &p);
    pOut->push_back({NodeTopic(s, "NBIRTH"), p.SerializeAsString()});
}

// The node's diagnostics that changed since they last went out.
void NodeData(Sparkplug *s, std::vector<Out> *pOut) {
    const std::vector<SpbNodeMetric> now = NodeMetrics(s);
    SpbPayload p;
    for (size_t i = 0; i < now.size() && i < s->nodeSent.size(); ++i)
        if (now[i].value != s->nodeSent[i].value) NodeMetric(p.add_metrics(), now[i], false);
    s->nodeSent = now;
    if (p.metrics_size() == 0) return;
    Stamp(s, &p);
    pOut->push_back({NodeTopic(s, "NDATA"), p.SerializeAsString()});
}

// One device against its line's cache, with the line's lock held: born once
// its controller answers and each of its gates has been tried, dead when it
// goes silent or the line offline, otherwise its changes.
void Device(Sparkplug *s, SpbDevice *d, Line *line, std::vector<Out> *pOut) {
    const auto found = line->controllers.find(d->plc);
    const bool bAnswering = line->bOnline && found != line->controllers.end() && found->second;
    std::vector<SpbSent> &sent = s->sent[d->line];
    if (d->bBorn && !bAnswering) {
        SpbPayload p;
        Stamp(s, &p);
        pOut->push_back({NodeTopic(s, "DDEATH", d->id), p.SerializeAsString()});
        d->bBorn = false;
        return;
    }
    if (!bAnswering) return;
    bool bTried = true;
    for (const size_t g : d->gates) bTried = bTried && line->cache[g].attempts > 0;
    if (!d->bBorn && !bTried) return;
    SpbPayload p;
    for (const size_t g : d->gates) {
        const GateValue &v = line->cache[g];
        SpbSent &was = sent[g];
        const bool bNull = !v.bHasValue;
        const size_t n = bNull ? 0 : v.count;
        const bool bSame = bNull == was.bNull && n == was.values.size() &&
                           std::equal(v.values, v.values + n, was.values.begin());
        if (d->bBorn && !was.bForce && bSame) continue;
        GateMetric(p.add_metrics(), line->config.gates[g], GateAlias(d->line, g), !d->bBorn, v.values,
                   v.count, bNull, (bNull ? v.tryUs : v.goodUs) / 1000);
        was.values.assign(v.values, v.values + n);
        was.bNull = bNull;
        was.bForce = false;
    }
    if (p.metrics_size() == 0) return;
    Stamp(s, &p);
    pOut->push_back({NodeTopic(s, d->bBorn ? "DDATA" : "DBIRTH", d->id), p.SerializeAsString()});
    d->bBorn = true;
}

// Replayed samples, oldest first, each once its device is born.
void History(Sparkplug *s, std::deque<SpbHistory> *pHistory, std::vector<Out> *pOut) {
    while (!pHistory->empty()) {
        const SpbHistory &h = pHistory->front();
        Line *line = nullptr;
        size_t gate = 0;
        const SpbDevice *pDevice = nullptr;
        if (FindGate(s->gw, h.line, h.gate, &line, &gate))
            for (const SpbDevice &d : s->devices)
                if (s->gw->lines[d.line].get() == line && d.plc == PlcOf(line->config.gates[gate]))
                    pDevice = &d;
        if (pDevice != nullptr && !pDevice->bBorn) return;
        if (pDevice != nullptr) {
            SpbPayload p;
            SpbMetric *metric = p.add_metrics();
            GateMetric(metric, line->config.gates[gate], GateAlias(pDevice->line, gate), false,
                       h.values.data(), h.values.size(), h.values.empty(), h.timeMs);
            metric->set_is_historical(true);
            Stamp(s, &p);
            pOut->push_back({NodeTopic(s, "DDATA", pDevice->id), p.SerializeAsString()});
        }
        pHistory->pop_front();
    }
}

void Publish(Sparkplug *s, const std::vector<Out> &out) {
    // QoS 0: what the broker does not take now belongs to a session that is over.
    for (const Out &o : out)
        mosquitto_publish(s->mosq, nullptr, o.topic.c_str(), static_cast<int>(o.payload.size()),
                          o.payload.data(), 0, false);
}

void PublisherLoop(Sparkplug *s) {
    Gateway *gw = s->gw;
    uint64_t seen = 0, sessionsSeen = 0, onlinesSeen = 0;
    bool bNodeBorn = false;
    Clock::time_point nextDiagnostics = Clock::now();
    for (;;) {
        {
            std::unique_lock<PiMutex> lock(gw->notify.mutex);
            gw->notify.cv.wait_until(lock, nextDiagnostics,
                                     [&] { return gw->notify.generation != seen || s->bStop.load(); });
            seen = gw->notify.generation;
        }
        std::deque<SpbHistory> history;
        std::vector<std::pair<size_t, size_t>> writtenBack;
        bool bRebirth = false, bReady = false;
        {
            std::lock_guard<std::mutex> lock(s->mutex);
            if (s->bStop.load()) break;
            bReady = s->bConnected && (s->config.primaryHostId.empty() || s->bHostOnline);
            bRebirth = s->bRebirth || s->sessions != sessionsSeen || s->hostOnlines != onlinesSeen;
            if (bReady) {
                s->bRebirth = false;
                sessionsSeen = s->sessions;
                onlinesSeen = s->hostOnlines;
                history.swap(s->history);
                writtenBack.swap(s->writtenBack);
            }
        }
        if (!bReady) {
            nextDiagnostics = Clock::now() + std::chrono::seconds(1);
            bNodeBorn = false;
            for (SpbDevice &d : s->devices) d.bBorn = false;
            continue;
        }
        std::vector<Out> out;
        {
            std::lock_guard<std::mutex> lock(gw->linesMutex);
            if (!bNodeBorn || bRebirth) {
                NodeBirth(s, &out);
                for (SpbDevice &d : s->devices) d.bBorn = false;
                bNodeBorn = true;
            }
            for (const auto &[l, g] : writtenBack) s->sent[l][g].bForce = true;
            for (SpbDevice &d : s->devices) {
                Line *line = gw->lines[d.line].get();
                std::lock_guard<PiMutex> lock(line->mutex);
                Device(s, &d, line, &out);
            }
            History(s, &history, &out);
            if (Clock::now() >= nextDiagnostics) {
                NodeData(s, &out);
                nextDiagnostics = Clock::now() + std::chrono::seconds(gw->config.diagnosticsS);
            }
        }
        Publish(s, out);
        if (!history.empty()) {
            // Devices not born yet keep theirs for the next round.
            std::lock_guard<std::mutex> lock(s->mutex);
            s->history.insert(s->history.begin(), history.begin(), history.end());
        }
    }
}

// --- commands and the primary host's state --------------------------------

void Rebirth(Sparkplug *s, const SpbPayload &p) {
    for (const SpbMetric &m : p.metrics())
        if ((m.name() == "Node Control/Rebirth" || m.alias() == kAliasRebirth) && m.boolean_value()) {
            Log("sparkplug: rebirth asked for");
            std::lock_guard<std::mutex> lock(s->mutex);
            s->bRebirth = true;
        }
}

void Refused(Sparkplug *s, const std::string &device, const std::string &metric, const std::string &why) {
    ++s->writesRefused;
    Log("sparkplug: DCMD %s %s refused: %s", device.c_str(), metric.c_str(), why.c_str());
}

void Write(Sparkplug *s, const std::string &deviceId, const SpbPayload &p) {
    const SpbDevice *pDevice = nullptr;
    for (const SpbDevice &d : s->devices)
        if (d.id == deviceId) pDevice = &d;
    if (pDevice == nullptr) return Refused(s, deviceId, "", "no such device");
    std::lock_guard<std::mutex> lock(s->gw->linesMutex);
    Line *line = s->gw->lines[pDevice->line].get();
    for (const SpbMetric &m : p.metrics()) {
        const GateConfig *pGate = nullptr;
        size_t index = 0;
        for (const size_t g : pDevice->gates)
            if ((m.has_name() && m.name() == line->config.gates[g].name) ||
                (!m.has_name() && m.alias() == GateAlias(pDevice->line, g))) {
                pGate = &line->config.gates[g];
                index = g;
            }
        const std::string name = m.has_name() ? m.name() : "alias " + std::to_string(m.alias());
        if (pGate == nullptr) {
            Refused(s, deviceId, name, "no such metric");
            continue;
        }
        if (!pGate->bWritable) {
            Refused(s, deviceId, name, pGate->address + " is not writable");
            continue;
        }
        double value = 0;
        std::string why;
        if (!CommandValue(m, SpbTypeOf(*pGate), &value, &why) || !CheckWriteValue(*pGate, value, &why)) {
            Refused(s, deviceId, name, why);
            continue;
        }
        WriteRequest request;
        request.gate = index;
        request.value = value;
        const size_t lineIndex = pDevice->line;
        request.done = [s, deviceId, name, lineIndex, index](const WriteOutcome &out) {
            if (out.result != 0) return Refused(s, deviceId, name, out.error);
            ++s->writes;
            std::lock_guard<std::mutex> lock(s->mutex);
            s->writtenBack.push_back({lineIndex, index});
        };
        if (!QueueWrite(line, std::move(request))) Refused(s, deviceId, name, "the line is stopping");
    }
}

// STATE: {"online": true|false, "timestamp": ms}; an older one than the last
// taken is stale.
void HostState(Sparkplug *s, const std::string &payload) {
    const nlohmann::json j = nlohmann::json::parse(payload, nullptr, false);
    if (!j.is_object() || !j.contains("online") || !j["online"].is_boolean()) return;
    const int64_t timestamp = j.value("timestamp", int64_t{0});
    std::lock_guard<std::mutex> lock(s->mutex);
    if (timestamp < s->hostTimestamp) return;
    s->hostTimestamp = timestamp;
    const bool bOnline = j["online"].get<bool>();
    if (bOnline && !s->bHostOnline) ++s->hostOnlines;
    if (bOnline != s->bHostOnline)
        Log("sparkplug: primary host %s %s", s->config.primaryHostId.c_str(), bOnline ? "online" : "offline");
    s->bHostOnline = bOnline;
}

void OnMessage(mosquitto *, void *user, const mosquitto_message *msg) {
    Sparkplug *s = static_cast<Sparkplug *>(user);
    const std::string topic = msg->topic ? msg->topic : "";
    const std::string payload(static_cast<const char *>(msg->payload), static_cast<size_t>(msg->payloadlen));
    if (topic == "spBv1.0/STATE/" + s->config.primaryHostId) {
        HostState(s, payload);
    } else {
        SpbPayload p;
        if (!p.ParseFromString(payload)) {
            Log("sparkplug: %s: payload is no Sparkplug B payload", topic.c_str());
            return;
        }
        ++s->commands;
        const std::string dcmd = NodeTopic(s, "DCMD") + "/";
        if (topic == NodeTopic(s, "NCMD"))
            Rebirth(s, p);
        else if (topic.compare(0, dcmd.size(), dcmd) == 0)
            Write(s, topic.substr(dcmd.size()), p);
    }
    Notify(&s->gw->notify);
}

// --- the session ----------------------------------------------------------

void OnConnect(mosquitto *mosq, void *user, int rc) {
    Sparkplug *s = static_cast<Sparkplug *>(user);
    if (rc != 0) {
        Log("sparkplug: broker refused the connection: %s", mosquitto_connack_string(rc));
        return;
    }
    std::vector<std::string> topics{NodeTopic(s, "NCMD"), NodeTopic(s, "DCMD") + "/+"};
    if (!s->config.primaryHostId.empty()) topics.push_back("spBv1.0/STATE/" + s->config.primaryHostId);
    {
        std::lock_guard<std::mutex> lock(s->mutex);
        s->subscribing = static_cast<int>(topics.size());
    }
    for (const std::string &t : topics) mosquitto_subscribe(mosq, nullptr, t.c_str(), 1);
}

// Births wait for the subscriptions: a command sent on seeing them is heard.
void OnSubscribe(mosquitto *, void *user, int, int, const int *) {
    Sparkplug *s = static_cast<Sparkplug *>(user);
    {
        std::lock_guard<std::mutex> lock(s->mutex);
        if (--s->subscribing != 0) return;
        s->bConnected = true;
        ++s->sessions;
        Log("sparkplug: edge node %s/%s connected, bdSeq %llu", s->config.groupId.c_str(),
            s->config.edgeNodeId.c_str(), static_cast<unsigned long long>(s->bdSeq));
    }
    Notify(&s->gw->notify);
}

void OnPublish(mosquitto *, void *user, int mid) {
    Sparkplug *s = static_cast<Sparkplug *>(user);
    std::lock_guard<std::mutex> lock(s->mutex);
    if (mid == s->deathMid) s->bDeathAcked = true;
    s->cv.notify_all();
}

void NetworkLoop(Sparkplug *s) {
    bool bSocket = false;
    Clock::time_point stopBy = Clock::time_point::max();
    for (;;) {
        {
            // At the end the loop goes on until the disconnect is out.
            std::unique_lock<std::mutex> lock(s->mutex);
            if (s->bEnd && (!bSocket || Clock::now() > stopBy)) break;
            if (s->bEnd && stopBy == Clock::time_point::max()) stopBy = Clock::now() + milliseconds(500);
        }
        if (!bSocket) {
            const int rc = mosquitto_connect(s->mosq, s->broker.host.c_str(), s->broker.port,
                                             static_cast<int>(s->broker.keepAlive));
            if (rc == MOSQ_ERR_SUCCESS) {
                bSocket = true;
                continue;
            }
            std::unique_lock<std::mutex> lock(s->mutex);
            s->cv.wait_for(lock, milliseconds(500), [s] { return s->bEnd; });
            continue;
        }
        const int rc = mosquitto_loop(s->mosq, 100, 1);
        if (rc == MOSQ_ERR_SUCCESS) continue;
        bSocket = false;
        {
            // The session is over: the next one has a bdSeq of its own.
            std::lock_guard<std::mutex> lock(s->mutex);
            if (s->bEnd) break;
            s->bConnected = false;
            s->bHostOnline = false;
            s->bdSeq = (s->bdSeq + 1) % 256;
            SetWill(s, s->bdSeq);
        }
        Notify(&s->gw->notify);
        std::unique_lock<std::mutex> lock(s->mutex);
        s->cv.wait_for(lock, milliseconds(500), [s] { return s->bEnd; });
    }
}

}  // namespace

bool StartSparkplug(Sparkplug *s, Gateway *gw, std::string *pError) {
    {
        // The JSON publisher reads the prefix for the history.
        std::lock_guard<std::mutex> lock(s->mutex);
        s->gw = gw;
        s->config = gw->config.sparkplug;
        s->broker = gw->config.broker;
        s->base = "spBv1.0/" + s->config.groupId;
    }
    s->bStop.store(false);
    s->bEnd = false;
    s->bConnected = false;
    s->bHostOnline = false;
    s->bDeathAcked = false;
    s->deathMid = -1;
    s->devices = DevicesOf(gw->config);
    s->sent.clear();
    for (const LineConfig &line : gw->config.lines) s->sent.emplace_back(line.gates.size());
    mosquitto_lib_init();
    s->mosq = NewClient(s->broker, s->broker.clientId + "-spb", s, pError);
    if (s->mosq == nullptr) {
        *pError = "sparkplug: " + *pError;
        return false;
    }
    mosquitto_connect_callback_set(s->mosq, OnConnect);
    mosquitto_subscribe_callback_set(s->mosq, OnSubscribe);
    mosquitto_publish_callback_set(s->mosq, OnPublish);
    mosquitto_message_callback_set(s->mosq, OnMessage);
    s->bdSeq = BdSeqAfterFile(s->config.bdSeqFile);
    SetWill(s, s->bdSeq);
    s->network = std::thread(NetworkLoop, s);
    s->publisher = std::thread(PublisherLoop, s);
    s->bRunning.store(true);
    return true;
}

void StopSparkplug(Sparkplug *s) {
    if (!s->publisher.joinable()) return;
    s->bRunning.store(false);
    {
        std::lock_guard<std::mutex> lock(s->mutex);
        s->bStop.store(true);
    }
    Notify(&s->gw->notify);
    s->publisher.join();
    {
        // The orderly end: NDEATH as the will would have said it.
        std::unique_lock<std::mutex> lock(s->mutex);
        if (s->bConnected) {
            const std::string topic = NodeTopic(s, "NDEATH"), payload = DeathPayload(s->bdSeq);
            int mid = 0;
            if (mosquitto_publish(s->mosq, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                  payload.data(), 1, false) == MOSQ_ERR_SUCCESS) {
                s->deathMid = mid;
                s->cv.wait_for(lock, milliseconds(1000), [s] { return s->bDeathAcked; });
            }
        }
        s->bEnd = true;
    }
    mosquitto_disconnect(s->mosq);
    s->cv.notify_all();
    s->network.join();
    mosquitto_destroy(s->mosq);
    s->mosq = nullptr;
    mosquitto_lib_cleanup();
}

void SparkplugHistory(Sparkplug *s, const std::string &topic, const std::string &payload) {
    std::string prefix;
    {
        std::lock_guard<std::mutex> lock(s->mutex);
        if (!s->bRunning.load()) return;
        prefix = s->broker.prefix;
    }
    SpbHistory h;
    if (!SplitGateTopic(topic, prefix, "/history", &h.line, &h.gate)) return;
    const nlohmann::json j = nlohmann::json::parse(payload, nullptr, false);
    if (!j.is_object() || j.value("result", -1) != 0) return;
    h.timeMs = ParseIsoMs(j.value("time", ""));
    const nlohmann::json &value = j["value"];
    if (value.is_number()) h.values.push_back(value.get<double>());
    for (const auto &v : value.is_array() ? value : nlohmann::json::array())
        if (v.is_number()) h.values.push_back(v.get<double>());
    {
        std::lock_guard<std::mutex> lock(s->mutex);
        if (s->history.size() >= kMaxHistory) s->history.pop_front();
        s->history.push_back(std::move(h));
    }
    Notify(&s->gw->notify);
}

}  // namespace gateway
