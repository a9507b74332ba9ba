// The controllers on the line: their memory, a process image that moves, and
// how each one answers a request.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "sim_frames.h"

namespace sim {

constexpr size_t kStatusBytes = 10;
constexpr size_t kMaxBlock3 = 54;  // value words a type-3 reply can carry within 128 bytes

// Elements that the process drives (measurements): they move when the image
// is live, and a controller refuses writes to them.
constexpr uint8_t kPvSine = 0x00;     // slow sine around 50 with noise
constexpr uint8_t kPvRamp = 0x01;     // ramp 0..100, then again
constexpr uint8_t kPvTemp = 0x02;     // follows the setpoint (element 0x10) with a lag
constexpr uint8_t kPvNoise = 0x03;    // 12.5 with a little noise
constexpr uint8_t kSetpoint = 0x10;   // setpoint of the temperature loop
constexpr uint8_t kRamInputs = 0x01;  // RAM byte of digital inputs (a walking bit)

struct Controller {
    std::array<uint16_t, 256> words{};  // value words, elements 00..FF (types A, F, P, R)
    std::vector<uint8_t> ram;           // 64 KiB; I addresses its first 256 bytes, X all of it
    std::array<uint8_t, 8> switches{};  // last switch command
    std::array<uint8_t, kStatusBytes> status{};
    double dTemp = 20.0;  // state of the lagged temperature
};

struct PlantConfig {
    std::vector<uint8_t> plcs{1};  // controller addresses served
    size_t block3Len = 16;         // value words in a type-3 block reply
    bool bLive = true;             // the process image moves
    uint32_t seed = 1;
};

struct Plant {
    PlantConfig config;
    std::map<uint8_t, Controller> controllers;
    std::mt19937 rng;
    double dLastUpdate = 0.0;
    uint32_t requests = 0;  // requests answered or refused, for the heartbeat
};

void InitPlant(Plant *plant, const PlantConfig &config);
// Moves the process image to time t (seconds since start).
void UpdateProcess(Plant *plant, double t);

struct Answer {
    bool bServed = false;  // the request addressed one of our controllers
    Bytes reply;           // the frame to send (empty: stay silent)
    bool bIsAck = false;   // reply is an acknowledge frame
    std::string note;      // one line for the trace
};

// What the addressed controller does with a well-formed request.
Answer HandleRequest(Plant *plant, const Request &request);

// The memory as JSON text (--state), and back. Load returns false with a
// message on a malformed file.
std::string SaveState(const Plant &plant);
bool LoadState(Plant *plant, const std::string &text, std::string *pError);

}  // namespace sim
