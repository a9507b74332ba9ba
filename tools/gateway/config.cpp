#include "config.h"

#include <arpa/inet.h>
#include <unistd.h>
#include <yaml-cpp/yaml.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <map>
#include <set>

namespace gateway {

namespace {

struct Reader {
    std::string file;
    std::string dir;  // the file's folder: relative paths start there
    std::vector<std::string> *pErrors;
};

std::string At(const Reader &r, const YAML::Mark &mark) {
    if (mark.is_null()) return r.file;
    return r.file + ":" + std::to_string(mark.line + 1) + ":" + std::to_string(mark.column + 1);
}

// line:column only, for a second place in the same file.
std::string LineColumn(const YAML::Mark &mark) {
    return std::to_string(mark.line + 1) + ":" + std::to_string(mark.column + 1);
}

void Error(const Reader &r, const YAML::Node &node, const std::string &what) {
    r.pErrors->push_back(At(r, node.Mark()) + ": " + what);
}

std::string Joined(const std::vector<std::string> &words) {
    std::string text;
    for (const std::string &w : words) text += (text.empty() ? "" : ", ") + w;
    return text;
}

// The map's keys must be among the known ones, each once.
bool CheckKeys(const Reader &r, const YAML::Node &map, const std::string &what,
               const std::vector<std::string> &known) {
    if (!map.IsMap()) {
        Error(r, map, what + " must be a mapping of keys (" + Joined(known) + ")");
        return false;
    }
    std::set<std::string> seen;
    for (auto it = map.begin(); it != map.end(); ++it) {
        const std::string key = it->first.Scalar();
        bool bKnown = false;
        for (const std::string &k : known) bKnown = bKnown || k == key;
        if (!bKnown)
            Error(r, it->first, "unknown key '" + key + "' in " + what + " (known: " + Joined(known) + ")");
        else if (!seen.insert(key).second)
            Error(r, it->first, "duplicate key '" + key + "' in " + what);
    }
    return true;
}

bool Scalar(const Reader &r, const YAML::Node &node, const std::string &key, std::string *pText) {
    if (!node.IsScalar()) {
        Error(r, node, key + " wants a single value");
        return false;
    }
    *pText = node.Scalar();
    return true;
}

bool GetString(const Reader &r, const YAML::Node &map, const std::string &key, std::string *pOut) {
    const YAML::Node node = map[key];
    if (!node) return false;
    std::string text;
    if (!Scalar(r, node, key, &text)) return false;
    if (text.empty()) {
        Error(r, node, key + " is empty");
        return false;
    }
    *pOut = text;
    return true;
}

// A whole number from min to max, written as such.
bool WholeNumber(const std::string &text, long min, long max, long *pOut) {
    char *end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < min || v > max) return false;
    *pOut = v;
    return true;
}

template <typename T>
bool GetNumber(const Reader &r, const YAML::Node &map, const std::string &key, long min, long max, T *pOut) {
    const YAML::Node node = map[key];
    if (!node) return false;
    std::string text;
    if (!Scalar(r, node, key, &text)) return false;
    long v = 0;
    if (!WholeNumber(text, min, max, &v)) {
        Error(r, node,
              key + " wants a whole number from " + std::to_string(min) + " to " + std::to_string(max) +
                  ", not '" + text + "'");
        return false;
    }
    *pOut = static_cast<T>(v);
    return true;
}

// One of the words, as its index; false when the key is absent or refused.
template <typename T>
bool GetChoice(const Reader &r, const YAML::Node &map, const std::string &key,
               std::initializer_list<const char *> words, T *pIndex) {
    const YAML::Node node = map[key];
    if (!node) return false;
    std::string text;
    if (!Scalar(r, node, key, &text)) return false;
    std::string wanted;
    size_t i = 0;
    for (const char *word : words) {
        if (text == word) {
            *pIndex = static_cast<T>(i);
            return true;
        }
        wanted += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + std::string(word);
        ++i;
    }
    Error(r, node, key + " wants " + wanted + ", not '" + text + "'");
    return false;
}

bool GetBool(const Reader &r, const YAML::Node &map, const std::string &key, bool *pOut) {
    int i = 0;
    if (!GetChoice(r, map, key, {"true", "false"}, &i)) return false;
    *pOut = i == 0;
    return true;
}

std::string Absolute(const Reader &r, const std::string &path) {
    if (path.empty() || path[0] == '/') return path;
    return (std::filesystem::path(r.dir) / path).lexically_normal().string();
}

// One level of a topic: the broker gives '+', '#' and '/' their own meaning.
bool CheckTopicLevel(const Reader &r, const YAML::Node &node, const std::string &what,
                     const std::string &text) {
    if (text.find_first_of("/+#") != std::string::npos || text.find('\0') != std::string::npos) {
        Error(r, node, what + " '" + text + "' is no topic level: it may not hold '/', '+' or '#'");
        return false;
    }
    return true;
}

void ReadBroker(const Reader &r, const YAML::Node &node, BrokerConfig *b) {
    if (!CheckKeys(
            r, node, "broker",
            {"host", "port", "client_id", "prefix", "user", "password_file", "ca_file", "keepalive", "qos"}))
        return;
    GetString(r, node, "host", &b->host);
    GetNumber(r, node, "port", 1, 65535, &b->port);
    GetString(r, node, "client_id", &b->clientId);
    if (GetString(r, node, "prefix", &b->prefix)) {
        const std::string &p = b->prefix;
        if (p.find_first_of("+#") != std::string::npos || p.front() == '/' || p.back() == '/' ||
            p.find("//") != std::string::npos)
            Error(r, node["prefix"],
                  "prefix '" + p + "' is no topic: no '+' or '#', no empty level, no '/' at either end");
    }
    GetString(r, node, "user", &b->user);
    if (GetString(r, node, "password_file", &b->passwordFile)) {
        b->passwordFile = Absolute(r, b->passwordFile);
        if (b->user.empty()) Error(r, node["password_file"], "password_file needs a user");
        std::ifstream in(b->passwordFile);
        if (!in) {
            Error(r, node["password_file"], "password_file " + b->passwordFile + " cannot be read");
        } else {
            std::getline(in, b->password);
            while (!b->password.empty() && b->password.back() == '\r') b->password.pop_back();
            if (b->password.empty())
                Error(r, node["password_file"], "password_file " + b->passwordFile + " holds no password");
        }
    }
    if (GetString(r, node, "ca_file", &b->caFile)) {
        b->caFile = Absolute(r, b->caFile);
        if (access(b->caFile.c_str(), R_OK) != 0)
            Error(r, node["ca_file"], "ca_file " + b->caFile + " cannot be read");
    }
    GetNumber(r, node, "keepalive", 5, 65535, &b->keepAlive);
    GetNumber(r, node, "qos", 0, 2, &b->qos);
}

// The address through the driver's own parser; its log line is the reason.
bool ParseThroughDriver(const Reader &r, const YAML::Node &node, rovod::Session *parser, GateConfig *g) {
    rovod::Gate gate;
    gate.address = g->address;
    gate.bBlock = g->bBlock;
    gate.iDataType = g->dataType;
    gate.def.pszAddress = gate.address.c_str();
    gate.def.iDataType = g->dataType;
    gate.def.iBlockSize = g->count;
    if (rovod::ParseGate(parser, &gate) == 0) {
        g->bFloats = rovod::HoldsFloats(gate);
        return true;
    }
    Error(r, node,
          "gate address '" + g->address + "' refused by the driver: " +
              (gate.lastLine.empty() ? std::string("no reason given") : gate.lastLine));
    return false;
}

void ReadGate(const Reader &r, const YAML::Node &node, rovod::Session *parser, GateConfig *g) {
    if (!CheckKeys(r, node, "a gate", {"address", "name", "interval_ms", "writable", "publish", "count"}))
        return;
    if (!GetString(r, node, "address", &g->address)) {
        if (!node["address"]) Error(r, node, "gate has no address");
        return;
    }
    g->name = g->address;
    if (GetString(r, node, "name", &g->name)) {
        CheckTopicLevel(r, node["name"], "gate name", g->name);
        if (g->name == "status" || g->name == "diagnostics")
            Error(r, node["name"], "gate name '" + g->name + "' is the line's own topic");
    }
    GetNumber(r, node, "interval_ms", 0, 86400000, &g->intervalMs);
    GetBool(r, node, "writable", &g->bWritable);
    GetChoice(r, node, "publish", {"change", "cycle"}, &g->publish);
    // Types 2 and 3 are blocks of their own size; a count makes any a block.
    const char mem = rovod::MemTypeOf(g->address);
    g->bBlock = mem == '2' || mem == '3';
    g->count = mem == '2' ? 10 : mem == '3' ? 16 : 1;
    if (GetNumber(r, node, "count", 1, 63, &g->count)) g->bBlock = true;
    g->dataType = rovod::DataTypeFor(g->address);
    if (!ParseThroughDriver(r, node["address"], parser, g)) return;
    if (g->bWritable && g->bBlock)
        Error(r, node["writable"], "gate '" + g->name + "' is a block: the driver writes single gates only");
}

void ReadLine(const Reader &r, const YAML::Node &node, rovod::Session *parser, uint32_t defaultInterval,
              LineConfig *line) {
    if (!CheckKeys(r, node, "a line",
                   {"name", "port", "baud", "data_bits", "stop_bits", "parity", "reply_timeout_ms",
                    "control_dir", "instance", "interval_ms", "optimize", "silent_retry_ms", "gates"}))
        return;
    if (GetString(r, node, "name", &line->name))
        CheckTopicLevel(r, node["name"], "line name", line->name);
    else if (!node["name"])
        Error(r, node, "line has no name");
    const std::string label = line->name.empty() ? "line" : "line '" + line->name + "'";
    if (GetString(r, node, "port", &line->port)) {
        if (line->port[0] == '.') line->port = Absolute(r, line->port);
    } else if (!node["port"]) {
        Error(r, node, label + " has no port");
    }
    long baud = 0;
    if (GetNumber(r, node, "baud", 1, 1000000000L, &baud)) {
        if (baud > 65535)
            Error(r, node["baud"],
                  "baud " + std::to_string(baud) + " does not fit the driver's 16-bit rate (at most 65535)");
        else
            line->baud = static_cast<uint16_t>(baud);
    }
    GetNumber(r, node, "data_bits", 5, 8, &line->dataBits);
    // Stop bits as written to the driver's code (0, 1, 2).
    GetChoice(r, node, "stop_bits", {"1", "1.5", "2"}, &line->stopBits);
    GetChoice(r, node, "parity", {"none", "odd", "even", "mark", "space"}, &line->parity);
    uint32_t timeoutMs = 200;
    if (GetNumber(r, node, "reply_timeout_ms", 10, 60000, &timeoutMs)) line->timeout = (timeoutMs + 9) / 10;
    line->controlDir = r.dir;
    if (GetString(r, node, "control_dir", &line->controlDir))
        line->controlDir = Absolute(r, line->controlDir);
    GetNumber(r, node, "instance", 0, 99, &line->instance);
    line->intervalMs = defaultInterval;
    GetNumber(r, node, "interval_ms", 0, 86400000, &line->intervalMs);
    int optimize = 0;
    if (GetChoice(r, node, "optimize", {"blocks", "none"}, &optimize)) line->bBlocks = optimize == 0;
    GetNumber(r, node, "silent_retry_ms", 100, 86400000, &line->silentRetryMs);
    const YAML::Node gates = node["gates"];
    if (!gates || !gates.IsSequence() || gates.size() == 0) {
        Error(r, gates ? gates : node, label + " needs a list of gates");
        return;
    }
    std::map<std::string, std::string> names;  // name -> where
    for (const YAML::Node &item : gates) {
        GateConfig gate;
        const size_t errorsBefore = r.pErrors->size();
        ReadGate(r, item, parser, &gate);
        if (gate.name.empty()) continue;
        const YAML::Node at = item.IsMap() && item["name"] ? item["name"] : item;
        const auto [found, bNew] = names.emplace(gate.name, LineColumn(at.Mark()));
        if (!bNew)
            Error(
                r, at,
                "duplicate gate name '" + gate.name + "' in " + label + " (first at " + found->second + ")");
        if (r.pErrors->size() == errorsBefore) line->gates.push_back(gate);
    }
}

const char *SpaceName(Space space) {
    switch (space) {
        case Space::kCoil:
            return "coils";
        case Space::kDiscrete:
            return "discrete inputs";
        case Space::kHolding:
            return "holding registers";
        default:
            return "input registers";
    }
}

// A gate's registers, where they were given: for the overlap messages.
struct Taken {
    uint32_t first, last;
    std::string gate, where;
};

// The line's registers into pOut, whose units are read already.
void ReadRegisters(const Reader &r, const YAML::Node &list, const LineConfig &line, bool bLowFirst,
                   std::map<std::pair<int, int>, std::vector<Taken>> *pTaken, ModbusLine *pOut) {
    if (!list || !list.IsSequence()) {
        Error(r, list, "registers wants a list of {gate, register}");
        return;
    }
    for (const YAML::Node &item : list) {
        if (!CheckKeys(r, item, "a register", {"gate", "register", "word_order"})) continue;
        std::string name;
        if (!GetString(r, item, "gate", &name)) {
            if (!item["gate"]) Error(r, item, "register has no gate");
            continue;
        }
        size_t gate = line.gates.size();
        for (size_t i = 0; i < line.gates.size(); ++i)
            if (line.gates[i].name == name) gate = i;
        if (gate == line.gates.size()) {
            Error(r, item["gate"], "line '" + line.name + "' has no gate '" + name + "'");
            continue;
        }
        ModbusRegister reg;
        reg.gate = gate;
        reg.bLowWordFirst = bLowFirst;
        GetChoice(r, item, "word_order", {"high_first", "low_first"}, &reg.bLowWordFirst);
        if (!GetNumber(r, item, "register", 0, 65535, &reg.address)) {
            if (!item["register"]) Error(r, item, "gate '" + name + "' has no register");
            continue;
        }
        const GateConfig &g = line.gates[gate];
        const auto unit = pOut->units.find(PlcOf(g));
        if (unit == pOut->units.end()) {
            Error(r, item["gate"],
                  "controller " + std::to_string(PlcOf(g)) + " of gate '" + name + "' has no unit in units");
            continue;
        }
        const Space space = SpaceOf(g);
        const uint32_t first = reg.address, last = first + RegisterCount(g) - 1;
        const std::string range = std::to_string(first) + ".." + std::to_string(last);
        if (last > 65535) {
            Error(r, item["register"],
                  "gate '" + name + "' takes " + SpaceName(space) + " " + range + ", beyond 65535");
            continue;
        }
        std::vector<Taken> &taken = (*pTaken)[{unit->second, static_cast<int>(space)}];
        bool bClash = false;
        for (const Taken &t : taken) {
            if (first > t.last || t.first > last) continue;
            Error(r, item["register"],
                  std::string(SpaceName(space)) + " " + range + " of gate '" + line.name + "/" + name +
                      "' overlap those of '" + t.gate + "' (" + std::to_string(t.first) + ".." +
                      std::to_string(t.last) + ", at " + t.where + ") in unit " +
                      std::to_string(unit->second));
            bClash = true;
        }
        if (bClash) continue;
        taken.push_back({first, last, line.name + "/" + name, LineColumn(item["register"].Mark())});
        pOut->registers.push_back(reg);
    }
}

void ReadModbus(const Reader &r, const YAML::Node &node, const std::vector<LineConfig> &lines,
                ModbusConfig *m) {
    m->bEnabled = true;
    if (!CheckKeys(r, node, "modbus", {"listen", "port", "word_order", "max_clients", "lines"})) return;
    if (GetString(r, node, "listen", &m->listen)) {
        in_addr addr{};
        if (inet_pton(AF_INET, m->listen.c_str(), &addr) != 1)
            Error(r, node["listen"],
                  "listen wants an IPv4 address (127.0.0.1, 0.0.0.0), not '" + m->listen + "'");
    }
    GetNumber(r, node, "port", 1, 65535, &m->port);
    GetNumber(r, node, "max_clients", 1, 1024, &m->maxClients);
    bool bLowFirst = false;
    GetChoice(r, node, "word_order", {"high_first", "low_first"}, &bLowFirst);
    const YAML::Node list = node["lines"];
    if (!list || !list.IsSequence() || list.size() == 0) {
        Error(r, list ? list : node, "modbus needs a list of lines, each with its units and registers");
        return;
    }
    std::map<int, std::string> unitsTaken;  // unit -> where
    std::map<std::pair<int, int>, std::vector<Taken>> taken;
    for (const YAML::Node &item : list) {
        if (!CheckKeys(r, item, "a modbus line", {"line", "units", "registers"})) continue;
        std::string name;
        if (!GetString(r, item, "line", &name)) {
            if (!item["line"]) Error(r, item, "modbus line has no line");
            continue;
        }
        size_t index = lines.size();
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i].name == name) index = i;
        if (index == lines.size()) {
            Error(r, item["line"], "there is no line '" + name + "'");
            continue;
        }
        ModbusLine out;
        out.line = index;
        const YAML::Node unitsNode = item["units"];
        if (!unitsNode || !unitsNode.IsMap()) {
            Error(r, unitsNode ? unitsNode : item,
                  "units wants a mapping controller: unit id, e.g. {1: 1, 2: 2}");
            continue;
        }
        for (auto it = unitsNode.begin(); it != unitsNode.end(); ++it) {
            const std::string key = it->first.Scalar(),
                              value = it->second.IsScalar() ? it->second.Scalar() : "";
            long plc = 0, unit = 0;
            if (!WholeNumber(key, 1, 255, &plc)) {
                Error(r, it->first, "a controller address is 1..255, not '" + key + "'");
                continue;
            }
            if (!WholeNumber(value, 1, 255, &unit)) {
                Error(r, it->second, "a unit id is 1..255, not '" + value + "'");
                continue;
            }
            const auto [found, bNew] =
                unitsTaken.emplace(static_cast<int>(unit), LineColumn(it->second.Mark()));
            if (!bNew) {
                Error(r, it->second, "unit " + value + " is given twice (first at " + found->second + ")");
                continue;
            }
            if (!out.units.emplace(static_cast<int>(plc), static_cast<int>(unit)).second)
                Error(r, it->first, "controller " + key + " is given twice");
        }
        ReadRegisters(r, item["registers"], lines[index], bLowFirst, &taken, &out);
        m->lines.push_back(out);
    }
}

void ReadStore(const Reader &r, const YAML::Node &node, GatewayConfig *c) {
    if (!CheckKeys(r, node, "store", {"path", "max_mb"})) return;
    if (GetString(r, node, "path", &c->storePath))
        c->storePath = Absolute(r, c->storePath);
    else if (!node["path"])
        Error(r, node, "store has no path");
    GetNumber(r, node, "max_mb", 1, 1048576, &c->storeMaxMb);
}

void ReadSparkplug(const Reader &r, const YAML::Node &node, GatewayConfig *c) {
    SparkplugConfig *s = &c->sparkplug;
    if (!CheckKeys(r, node, "sparkplug", {"group_id", "edge_node_id", "primary_host_id", "bdseq_file"}))
        return;
    s->bEnabled = true;
    const std::pair<const char *, std::string *> ids[] = {
        {"group_id", &s->groupId}, {"edge_node_id", &s->edgeNodeId}, {"primary_host_id", &s->primaryHostId}};
    for (const auto &[key, pOut] : ids) {
        if (GetString(r, node, key, pOut))
            CheckTopicLevel(r, node[key], key, *pOut);
        else if (!node[key] && std::string(key) != "primary_host_id")
            Error(r, node, std::string("sparkplug has no ") + key);
    }
    // Beside the store (a folder the service may write), else beside the file.
    if (GetString(r, node, "bdseq_file", &s->bdSeqFile))
        s->bdSeqFile = Absolute(r, s->bdSeqFile);
    else if (!c->storePath.empty())
        s->bdSeqFile = c->storePath + ".bdseq";
    else
        s->bdSeqFile = Absolute(r, s->edgeNodeId + ".bdseq");
}

}  // namespace

bool LoadConfig(const std::string &path, rovod::Session *parser, GatewayConfig *pConfig,
                std::vector<std::string> *pErrors) {
    Reader r{path, ".", pErrors};
    char cwd[4096];
    const std::string start = getcwd(cwd, sizeof cwd) ? cwd : ".";
    const size_t slash = path.rfind('/');
    r.dir = slash == std::string::npos ? start : path.substr(0, slash);
    if (r.dir.empty()) r.dir = "/";
    if (r.dir[0] != '/') r.dir = start + "/" + r.dir;
    YAML::Node root;
    try {
        root = YAML::LoadFile(path);
    } catch (const YAML::BadFile &) {
        pErrors->push_back(path + ": cannot be read");
        return false;
    } catch (const YAML::ParserException &e) {
        pErrors->push_back(At(r, e.mark) + ": " + e.msg);
        return false;
    }
    GatewayConfig config;
    config.path = path;
    if (!CheckKeys(r, root, "the file",
                   {"broker", "homeassistant", "discovery_prefix", "diagnostics_s", "interval_ms", "store",
                    "lines", "modbus", "sparkplug"}))
        return false;
    if (const YAML::Node broker = root["broker"]) ReadBroker(r, broker, &config.broker);
    if (config.broker.clientId.empty()) {
        char host[256] = "localhost";
        gethostname(host, sizeof host - 1);
        config.broker.clientId = std::string("rovod-gateway-") + host;
    }
    GetBool(r, root, "homeassistant", &config.bHomeAssistant);
    if (GetString(r, root, "discovery_prefix", &config.discoveryPrefix))
        CheckTopicLevel(r, root["discovery_prefix"], "discovery_prefix", config.discoveryPrefix);
    GetNumber(r, root, "diagnostics_s", 1, 3600, &config.diagnosticsS);
    if (const YAML::Node store = root["store"]) ReadStore(r, store, &config);
    uint32_t interval = 1000;
    GetNumber(r, root, "interval_ms", 0, 86400000, &interval);
    const YAML::Node lines = root["lines"];
    if (!lines || !lines.IsSequence() || lines.size() == 0) {
        Error(r, lines ? lines : root, "the file needs a list of lines");
    } else {
        std::map<std::string, std::string> names, ports;
        for (const YAML::Node &item : lines) {
            LineConfig line;
            ReadLine(r, item, parser, interval, &line);
            if (!item.IsMap()) continue;
            if (!line.name.empty()) {
                const auto [found, bNew] = names.emplace(line.name, LineColumn(item["name"].Mark()));
                if (!bNew)
                    Error(r, item["name"],
                          "duplicate line name '" + line.name + "' (first at " + found->second + ")");
            }
            if (!line.port.empty()) {
                const auto [found, bNew] = ports.emplace(line.port, LineColumn(item["port"].Mark()));
                if (!bNew)
                    Error(r, item["port"],
                          "port " + line.port + " is on two lines (first at " + found->second + ")");
            }
            config.lines.push_back(line);
        }
    }
    if (const YAML::Node modbus = root["modbus"]) ReadModbus(r, modbus, config.lines, &config.modbus);
    if (const YAML::Node sparkplug = root["sparkplug"]) ReadSparkplug(r, sparkplug, &config);
    if (!pErrors->empty()) return false;
    *pConfig = config;
    return true;
}

}  // namespace gateway
