#include "sim_frames.h"

#include <cmath>
#include <cstdio>

namespace sim {

uint8_t Fcs(std::span<const uint8_t> bytes) {
    unsigned sum = 0;
    for (uint8_t b : bytes) sum += b;
    return static_cast<uint8_t>(sum & 0xFF);
}

Scan ScanRequest(std::span<const uint8_t> bytes) {
    Scan scan;
    if (bytes.empty()) return scan;
    const uint8_t start = bytes[0];
    if (start != kShortStart && start != kLongStart) {
        scan.result = ScanResult::kGarbage;
        scan.used = 1;
        return scan;
    }
    const size_t len = start == kShortStart ? kShortLen : kLongLen;
    if (bytes.size() < len) return scan;
    if (bytes[len - 1] != kEnd) {
        // Not a frame after all: resynchronise on the next byte.
        scan.result = ScanResult::kGarbage;
        scan.used = 1;
        return scan;
    }
    scan.used = len;
    if (Fcs(bytes.subspan(1, len - 3)) != bytes[len - 2]) {
        scan.result = ScanResult::kBadFcs;
        return scan;
    }
    scan.result = ScanResult::kFrame;
    scan.request.bLong = start == kLongStart;
    scan.request.plc = bytes[1];
    scan.request.source = bytes[2];
    scan.request.function = bytes[3];
    if (scan.request.bLong)
        for (size_t i = 0; i < 8; ++i) scan.request.data[i] = bytes[4 + i];
    return scan;
}

Bytes BuildReply(uint8_t plc, uint8_t function, std::span<const uint8_t> data) {
    const size_t l = data.size() + 3;
    Bytes frame;
    frame.reserve(l + 6);
    for (uint8_t b : {kReplyStart, static_cast<uint8_t>(l), static_cast<uint8_t>(l), kReplyStart,
                      kMasterStation, plc, function})
        frame.push_back(b);
    for (uint8_t b : data) frame.push_back(b);
    frame.push_back(Fcs(std::span<const uint8_t>(frame).subspan(4, l)));
    frame.push_back(kEnd);
    return frame;
}

Bytes BuildAck(uint8_t plc, bool bAccepted) {
    const uint8_t code = bAccepted ? kAck : kNak;
    return Bytes{kShortStart, kMasterStation, plc, code, static_cast<uint8_t>(plc + code), kEnd};
}

Bytes BuildRequest(const Request &request) {
    Bytes frame;
    frame.reserve(kLongLen);
    for (uint8_t b :
         {request.bLong ? kLongStart : kShortStart, request.plc, request.source, request.function})
        frame.push_back(b);
    if (request.bLong)
        for (uint8_t b : request.data) frame.push_back(b);
    frame.push_back(Fcs(std::span<const uint8_t>(frame).subspan(1)));
    frame.push_back(kEnd);
    return frame;
}

size_t ElementCount(const std::array<uint8_t, 8> &data) {
    for (size_t i = 1; i < data.size(); ++i)
        if (data[i] == data[i - 1]) return i;
    return data.size();
}

namespace {
constexpr double kStep = 0.025;
constexpr unsigned kMaxMagnitude = 8191;
constexpr std::array<double, 4> kFactor{1.0, 0.1, 0.01, 10.0};
}  // namespace

double ValueFromWord(uint16_t w) {
    const double magnitude = ((w >> 2) & kMaxMagnitude) * kStep * kFactor[w & 3];
    return (w & 0x8000) ? magnitude : -magnitude;
}

uint16_t WordFromValueCode(double v, unsigned code) {
    code &= 3;
    double scaled = std::fabs(v) / (kStep * kFactor[code]);
    if (!std::isfinite(scaled)) scaled = 0.0;
    unsigned m = static_cast<unsigned>(std::lround(scaled));
    if (m > kMaxMagnitude) m = kMaxMagnitude;
    const uint16_t sign = v >= 0.0 || m == 0 ? 0x8000 : 0x0000;
    return static_cast<uint16_t>(sign | (m << 2) | code);
}

uint16_t WordFromValue(double v) {
    // Finest step first: x0.01, x0.1, x1, x10.
    for (unsigned code : {2u, 1u, 0u}) {
        if (std::fabs(v) / (kStep * kFactor[code]) <= kMaxMagnitude + 0.49) return WordFromValueCode(v, code);
    }
    return WordFromValueCode(v, 3);
}

std::string Hex(std::span<const uint8_t> bytes) {
    std::string out;
    char cell[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(cell, sizeof cell, i ? " %02X" : "%02X", bytes[i]);
        out += cell;
    }
    return out;
}

std::string DescribeRequest(const Request &r) {
    char text[160];
    const auto &d = r.data;
    const unsigned plc = r.plc;
    switch (r.bLong ? r.function : r.function + 0x100) {
        case 0x100 + kReadStatus:
            std::snprintf(text, sizeof text, "read status, plc %u", plc);
            break;
        case 0x100 + kReadBlock:
            std::snprintf(text, sizeof text, "read block, plc %u", plc);
            break;
        case kReadWords: {
            std::string list;
            for (size_t i = 0; i < ElementCount(d); ++i) {
                char cell[4];
                std::snprintf(cell, sizeof cell, " %02X", d[i]);
                list += cell;
            }
            std::snprintf(text, sizeof text, "read words, plc %u, elements%s", plc, list.c_str());
            break;
        }
        case kReadRam:
            std::snprintf(text, sizeof text, "read RAM, plc %u, @%02X x%u", plc, d[0], d[1]);
            break;
        case kReadXRam:
            std::snprintf(text, sizeof text, "read XRAM, plc %u, @%02X%02X x%u", plc, d[0], d[1], d[2]);
            break;
        case kWriteWord:
            std::snprintf(text, sizeof text, "write word, plc %u, selector %u, element %02X = %02X%02X (%g)",
                          plc, d[0], d[1], d[2], d[3],
                          ValueFromWord(static_cast<uint16_t>(d[2] << 8 | d[3])));
            break;
        case kWriteSwitches:
            std::snprintf(text, sizeof text, "switch, plc %u, %02X %02X %02X %02X %02X %02X %02X %02X", plc,
                          d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7]);
            break;
        case kWriteRam:
            std::snprintf(text, sizeof text, "write RAM, plc %u, @%02X = %02X", plc, d[0], d[2]);
            break;
        case kWriteXRam:
            std::snprintf(text, sizeof text, "write XRAM, plc %u, @%02X%02X = %02X", plc, d[0], d[1], d[3]);
            break;
        case kSetBits:
            std::snprintf(text, sizeof text, "set bits, plc %u, @%02X mask %02X", plc, d[0], d[1]);
            break;
        case kClearBits:
            std::snprintf(text, sizeof text, "clear bits, plc %u, @%02X mask %02X", plc, d[0], d[1]);
            break;
        default:
            std::snprintf(text, sizeof text, "%s request, plc %u, unknown function %u",
                          r.bLong ? "long" : "short", plc, r.function);
            break;
    }
    return text;
}

}  // namespace sim
