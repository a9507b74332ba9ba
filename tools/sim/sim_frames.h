// The controllers' side of the line protocol: request frames as they arrive,
// reply and acknowledge frames as a controller sends them, value words.
// Written from the protocol itself, apart from the driver's frame code, so
// that the simulator checks the driver instead of mirroring it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kShortStart = 0x10;
constexpr uint8_t kLongStart = 0xA2;
constexpr uint8_t kReplyStart = 0x68;
constexpr uint8_t kEnd = 0x16;
constexpr uint8_t kAck = 0x10;
constexpr uint8_t kNak = 0x11;
constexpr uint8_t kMasterStation = 0x00;
constexpr size_t kShortLen = 6;
constexpr size_t kLongLen = 14;

// Function codes of the requests.
enum Function : uint8_t {
    kReadStatus = 2,     // short: the ten status bytes
    kReadBlock = 3,      // short: status bytes and the value-word block
    kReadWords = 4,      // long: list of value-word elements
    kReadRam = 5,        // long: RAM bytes, 8-bit address
    kReadXRam = 6,       // long: RAM bytes, 16-bit address
    kWriteWord = 7,      // long: one value word, sent twice
    kWriteSwitches = 8,  // long: eight switch bytes
    kWriteRam = 13,      // long: one RAM byte, 8-bit address
    kWriteXRam = 14,     // long: one RAM byte, 16-bit address
    kSetBits = 31,       // long: OR a mask into a RAM byte, sent twice
    kClearBits = 47,     // long: AND a mask into a RAM byte, sent twice
};

struct Request {
    bool bLong = false;
    uint8_t plc = 0;     // destination: the controller
    uint8_t source = 0;  // the master's station
    uint8_t function = 0;
    std::array<uint8_t, 8> data{};
};

enum class ScanResult {
    kNeedMore,  // a start byte, but the frame is not complete yet
    kFrame,     // a whole, well-formed request
    kBadFcs,    // a whole frame whose check sum is wrong: a controller ignores it
    kGarbage,   // not the start of a request frame: skip `used` bytes
};

struct Scan {
    ScanResult result = ScanResult::kNeedMore;
    size_t used = 0;  // bytes consumed from the front
    Request request;
};

uint8_t Fcs(std::span<const uint8_t> bytes);

// Looks for a request frame at the very front of the bytes.
Scan ScanRequest(std::span<const uint8_t> bytes);

// 68 L L 68 00 plc function data FCS 16
Bytes BuildReply(uint8_t plc, uint8_t function, std::span<const uint8_t> data);
// 10 00 plc ACK|NAK FCS 16
Bytes BuildAck(uint8_t plc, bool bAccepted);
// The request frame a master sends (used by tests and the trace).
Bytes BuildRequest(const Request &request);

// Number of elements in a read-words list: the list ends where an address
// repeats the one before it, or after eight addresses.
size_t ElementCount(const std::array<uint8_t, 8> &data);

// Value words: bit 15 set = positive, magnitude in bits 14..2 in units of
// 0.025, bits 1..0 the exponent code (x1, x0.1, x0.01, x10).
double ValueFromWord(uint16_t w);
// The word that holds v with the finest exponent that fits; values beyond
// the largest magnitude are held at it.
uint16_t WordFromValue(double v);
// The word for v with a given exponent code (magnitude clamped).
uint16_t WordFromValueCode(double v, unsigned code);

std::string Hex(std::span<const uint8_t> bytes);
std::string DescribeRequest(const Request &request);

}  // namespace sim
