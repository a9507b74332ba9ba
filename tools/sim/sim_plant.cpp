#include "sim_plant.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <numbers>

namespace sim {

namespace {

void SeedController(Controller *c, uint8_t plc) {
    c->ram.assign(65536, 0);
    c->words.fill(0x8000);  // +0
    c->words[kSetpoint] = WordFromValue(60.0);
    c->words[0x11] = 0x87D0;  // 12.5
    c->words[0x12] = WordFromValueCode(-3.7, 0);
    c->words[0x20] = 0xCD21;  // time value 12.34, point position 1
    c->words[0x21] = 0x805B;  // time value 5.5 (x10)
    c->ram[0x10] = 0x5A;
    c->ram[0x11] = 0x08;
    c->status = {plc, 0x01, 0, 0, 0, 0, 0, 0, 0, 0};
}

bool IsLiveWord(const Plant &plant, uint8_t element) { return plant.config.bLive && element <= kPvNoise; }
bool IsLiveRam(const Plant &plant, uint32_t address) { return plant.config.bLive && address == kRamInputs; }

}  // namespace

void InitPlant(Plant *plant, const PlantConfig &config) {
    plant->config = config;
    if (plant->config.block3Len > kMaxBlock3) plant->config.block3Len = kMaxBlock3;
    plant->controllers.clear();
    plant->rng.seed(config.seed);
    for (uint8_t plc : config.plcs) SeedController(&plant->controllers[plc], plc);
    plant->dLastUpdate = 0.0;
    UpdateProcess(plant, 0.0);
}

void UpdateProcess(Plant *plant, double t) {
    if (plant == nullptr || !plant->config.bLive) return;
    const double dt = std::max(0.0, t - plant->dLastUpdate);
    plant->dLastUpdate = t;
    std::normal_distribution<double> noise(0.0, 1.0);
    for (auto &[plc, c] : plant->controllers) {
        const double phase = plc * 0.7;
        c.words[kPvSine] = WordFromValue(50.0 + 20.0 * std::sin(2 * std::numbers::pi * t / 60.0 + phase) +
                                         0.2 * noise(plant->rng));
        c.words[kPvRamp] = WordFromValue(std::fmod(2.0 * t + 10.0 * plc, 100.0));
        const double setpoint = ValueFromWord(c.words[kSetpoint]);
        c.dTemp += (setpoint - c.dTemp) * (1.0 - std::exp(-dt / 8.0));
        c.words[kPvTemp] = WordFromValue(c.dTemp + 0.05 * noise(plant->rng));
        c.words[kPvNoise] = WordFromValue(12.5 + 0.05 * noise(plant->rng));
        c.ram[kRamInputs] = static_cast<uint8_t>(1u << (static_cast<unsigned>(t) % 8));
    }
}

namespace {

Answer Refuse(uint8_t plc, std::string why) {
    Answer a;
    a.bServed = true;
    a.reply = BuildAck(plc, false);
    a.bIsAck = true;
    a.note = "NAK: " + std::move(why);
    return a;
}

Answer Accept(uint8_t plc, std::string what) {
    Answer a;
    a.bServed = true;
    a.reply = BuildAck(plc, true);
    a.bIsAck = true;
    a.note = "ACK: " + std::move(what);
    return a;
}

Answer Reply(uint8_t plc, uint8_t function, const Bytes &data, std::string what) {
    Answer a;
    a.bServed = true;
    a.reply = BuildReply(plc, function, data);
    a.note = std::move(what);
    return a;
}

std::string WordsNote(const Bytes &data, size_t from) {
    std::string note;
    char cell[40];
    for (size_t i = from; i + 1 < data.size(); i += 2) {
        const uint16_t w = static_cast<uint16_t>(data[i] << 8 | data[i + 1]);
        std::snprintf(cell, sizeof cell, "%s%04X=%g", note.empty() ? "" : " ", w, ValueFromWord(w));
        note += cell;
    }
    return note;
}

Answer ShortRequest(Plant *plant, Controller *c, const Request &r) {
    c->status[2] = static_cast<uint8_t>(plant->requests);
    Bytes data(c->status.begin(), c->status.end());
    if (r.function == kReadStatus) return Reply(r.plc, r.function, data, "status " + Hex(data));
    if (r.function == kReadBlock) {
        for (size_t i = 0; i < plant->config.block3Len; ++i) {
            data.push_back(static_cast<uint8_t>(c->words[i] >> 8));
            data.push_back(static_cast<uint8_t>(c->words[i]));
        }
        return Reply(r.plc, r.function, data, "block " + WordsNote(data, kStatusBytes));
    }
    return Refuse(r.plc, "unknown short function " + std::to_string(r.function));
}

Answer ReadBytes(Controller *c, const Request &r, uint32_t address, uint32_t count, uint32_t limit) {
    // A reply frame carries at most 255 - 3 data bytes.
    if (count == 0 || count > 240 || address + count > limit)
        return Refuse(r.plc, "RAM range @" + std::to_string(address) + " x" + std::to_string(count));
    Bytes data(c->ram.begin() + address, c->ram.begin() + address + count);
    return Reply(r.plc, r.function, data, "bytes " + Hex(data));
}

Answer LongRequest(Plant *plant, Controller *c, const Request &r) {
    const auto &d = r.data;
    switch (r.function) {
        case kReadWords: {
            Bytes data;
            for (size_t i = 0; i < ElementCount(d); ++i) {
                data.push_back(static_cast<uint8_t>(c->words[d[i]] >> 8));
                data.push_back(static_cast<uint8_t>(c->words[d[i]]));
            }
            return Reply(r.plc, r.function, data, "words " + WordsNote(data, 0));
        }
        case kReadRam:
            return ReadBytes(c, r, d[0], d[1], 256);
        case kReadXRam:
            return ReadBytes(c, r, static_cast<uint32_t>(d[0] << 8 | d[1]), d[2], 65536);
        case kWriteWord: {
            // Both copies must agree, and the second selector byte matches the first.
            const bool bSelector = (d[0] == 1 && d[4] == 1) || (d[0] == 2 && d[4] == 0);
            if (!bSelector || d[1] != d[5] || d[2] != d[6] || d[3] != d[7])
                return Refuse(r.plc, "copies of the write disagree");
            if (IsLiveWord(*plant, d[1])) return Refuse(r.plc, "element is a measurement");
            c->words[d[1]] = static_cast<uint16_t>(d[2] << 8 | d[3]);
            char what[64];
            std::snprintf(what, sizeof what, "element %02X = %04X (%g)", d[1], c->words[d[1]],
                          ValueFromWord(c->words[d[1]]));
            return Accept(r.plc, what);
        }
        case kWriteSwitches:
            for (size_t i = 0; i < 8; ++i) c->switches[i] = d[i];
            return Accept(r.plc, "switches " + Hex(c->switches));
        case kWriteRam:
        case kWriteXRam: {
            const bool bX = r.function == kWriteXRam;
            const uint32_t address = bX ? static_cast<uint32_t>(d[0] << 8 | d[1]) : d[0];
            const uint8_t count = bX ? d[2] : d[1];
            const uint8_t value = bX ? d[3] : d[2];
            if (count != 1) return Refuse(r.plc, "byte count " + std::to_string(count));
            if (IsLiveRam(*plant, address)) return Refuse(r.plc, "byte is an input");
            c->ram[address] = value;
            char what[48];
            std::snprintf(what, sizeof what, "RAM @%04X = %02X", address, value);
            return Accept(r.plc, what);
        }
        case kSetBits:
        case kClearBits: {
            if (d[0] != d[2] || d[1] != d[3]) return Refuse(r.plc, "copies of the mask disagree");
            if (IsLiveRam(*plant, d[0])) return Refuse(r.plc, "byte is an input");
            uint8_t &cell = c->ram[d[0]];
            cell = r.function == kSetBits ? static_cast<uint8_t>(cell | d[1])
                                          : static_cast<uint8_t>(cell & d[1]);
            char what[48];
            std::snprintf(what, sizeof what, "RAM @%02X = %02X", d[0], cell);
            return Accept(r.plc, what);
        }
        default:
            return Refuse(r.plc, "unknown function " + std::to_string(r.function));
    }
}

}  // namespace

Answer HandleRequest(Plant *plant, const Request &request) {
    auto found = plant->controllers.find(request.plc);
    if (found == plant->controllers.end() || request.source != kMasterStation) {
        Answer silent;
        silent.note = found == plant->controllers.end() ? "not for us" : "not from the master station";
        return silent;
    }
    ++plant->requests;
    return request.bLong ? LongRequest(plant, &found->second, request)
                         : ShortRequest(plant, &found->second, request);
}

namespace {

std::string Hex2(unsigned v, int width) {
    char text[8];
    std::snprintf(text, sizeof text, "%0*X", width, v);
    return text;
}

bool ParseHex(const std::string &text, unsigned limit, unsigned *pValue) {
    if (text.empty() || text.size() > 4) return false;
    char *end = nullptr;
    const unsigned long v = std::strtoul(text.c_str(), &end, 16);
    if (*end != '\0' || v > limit) return false;
    *pValue = static_cast<unsigned>(v);
    return true;
}

}  // namespace

std::string SaveState(const Plant &plant) {
    nlohmann::json root;
    root["controllers"] = nlohmann::json::object();
    for (const auto &[plc, c] : plant.controllers) {
        nlohmann::json words = nlohmann::json::object();
        for (size_t i = 0; i < c.words.size(); ++i)
            if (c.words[i] != 0x8000) words[Hex2(static_cast<unsigned>(i), 2)] = Hex2(c.words[i], 4);
        nlohmann::json ram = nlohmann::json::object();
        for (size_t i = 0; i < c.ram.size(); ++i)
            if (c.ram[i] != 0) ram[Hex2(static_cast<unsigned>(i), 4)] = Hex2(c.ram[i], 2);
        root["controllers"][std::to_string(plc)] = {
            {"words", words}, {"ram", ram}, {"switches", Hex(c.switches)}};
    }
    return root.dump(2) + "\n";
}

bool LoadState(Plant *plant, const std::string &text, std::string *pError) {
    const nlohmann::json root = nlohmann::json::parse(text, nullptr, false);
    if (root.is_discarded() || !root.is_object() || !root.contains("controllers") ||
        !root["controllers"].is_object()) {
        *pError = "not a state file (expected {\"controllers\": {...}})";
        return false;
    }
    for (const auto &[key, entry] : root["controllers"].items()) {
        const int plc = std::atoi(key.c_str());
        auto found = plant->controllers.find(static_cast<uint8_t>(plc));
        if (plc < 1 || plc > 255 || found == plant->controllers.end()) continue;  // not on this line
        Controller &c = found->second;
        unsigned address = 0, value = 0;
        if (entry.contains("words") && entry["words"].is_object()) {
            for (const auto &[k, v] : entry["words"].items()) {
                if (!v.is_string() || !ParseHex(k, 0xFF, &address) ||
                    !ParseHex(v.get<std::string>(), 0xFFFF, &value)) {
                    *pError = "bad word entry \"" + k + "\" of controller " + key;
                    return false;
                }
                c.words[address] = static_cast<uint16_t>(value);
            }
        }
        if (entry.contains("ram") && entry["ram"].is_object()) {
            for (const auto &[k, v] : entry["ram"].items()) {
                if (!v.is_string() || !ParseHex(k, 0xFFFF, &address) ||
                    !ParseHex(v.get<std::string>(), 0xFF, &value)) {
                    *pError = "bad RAM entry \"" + k + "\" of controller " + key;
                    return false;
                }
                c.ram[address] = static_cast<uint8_t>(value);
            }
        }
    }
    return true;
}

}  // namespace sim
