// Line replies: for every kind of read and write gate, arbitrary reply bytes
// in arbitrary pieces, with silences and stray input, through ZevMain on the
// scripted system. After each call: the host's records and buffers are
// written only within their bounds, a result of 0 comes only with a reply
// that is a valid frame for the request sent, and the values stored are
// exactly those the frame carries (decoded here, not by the driver).
//
// Input: gate kind, controller, element, bit or value-type character, count,
// instance flags, value bytes, then pieces: flags, length, bytes. Flags bit 7
// starts the answer to the next write, bit 4 makes the piece stray input
// instead, bits 6..5 choose the silence before it.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/context.h"
#include "fuzz_util.h"
#include "scripted/scripted_system.h"
#include "support/test_host.h"
#include "zedadad/zedadad.h"

namespace {

using scripted::Bytes;

struct GateKind {
    uint32_t iFunction;
    char cType;
    int32_t iDataType;
    bool bSuffix;  // an 8th character: bit number, or value type of a type-3 write
};

constexpr GateKind kKinds[] = {
    {5, 'A', 3, false}, {5, 'F', 3, false}, {5, 'P', 3, false}, {5, 'R', 3, false},  {5, 'I', 0, false},
    {5, 'X', 0, false}, {5, 'I', 6, true},  {5, 'X', 6, true},  {5, 'Z', 0, false},  {6, '2', 0, false},
    {6, '3', 0, false}, {6, 'A', 0, false}, {6, 'F', 0, false}, {6, 'P', 0, false},  {6, 'R', 0, false},
    {6, 'I', 0, false}, {6, 'X', 0, false}, {6, 'Z', 0, false}, {7, 'A', 3, false},  {7, 'F', 3, false},
    {7, 'P', 3, false}, {7, 'R', 3, false}, {7, 'I', 0, false}, {7, 'X', 0, false},  {7, 'I', 6, true},
    {7, 'X', 6, true},  {7, 'Z', 0, false}, {7, '3', 3, true},  {10, 'A', 0, false},
};
constexpr int64_t kSilenceMs[] = {0, 3, 60, 250};  // the reply time-out is 100 ms

uint8_t Fcs(const uint8_t *p, size_t n) {
    unsigned sum = 0;
    for (size_t i = 0; i < n; ++i) sum += p[i];
    return static_cast<uint8_t>(sum);
}

// The controllers' value word, decoded from its definition.
float Decode(uint8_t hi, uint8_t lo) {
    const unsigned w = static_cast<unsigned>(hi << 8 | lo);
    float v = static_cast<float>((w & 0x7FFC) * 0.00625);
    if (w < 0x8000) v = -v;
    switch (w & 3) {
        case 1:
            return v * 0.1f;
        case 2:
            return v * 0.01f;
        case 3:
            return v * 10.0f;
        default:
            return v;
    }
}

size_t ElementSize(char cType) { return std::strchr("3AFPR", cType) ? 4 : 2; }

Bytes ReadRequest(const GateRecord &g) {
    const auto plc = static_cast<uint8_t>(g.iPlcAddr);
    const auto m = static_cast<char>(g.iMemType);
    if (m == '2' || m == '3') {
        const uint8_t fn = m == '2' ? 2 : 3;
        return {0x10, plc, 0, fn, static_cast<uint8_t>(plc + fn), 0x16};
    }
    Bytes f(14, 0);
    f[0] = 0xA2;
    f[1] = plc;
    const auto n = static_cast<uint8_t>(g.iCount);
    const auto tag = static_cast<uint8_t>(g.iTagAddr);
    if (m == 'I') f = {0xA2, plc, 0, 5, tag, n, 0, 0, 0, 0, 0, 0, 0, 0};
    if (m == 'X') f = {0xA2, plc, 0, 6, static_cast<uint8_t>(g.iTagAddr >> 8), tag, n, 0, 0, 0, 0, 0, 0, 0};
    if (std::strchr("AFPR", m)) {
        f[3] = 4;
        for (uint8_t i = 0; i < n; ++i) f[4 + i] = static_cast<uint8_t>(tag + i);
        if (n < 8) f[4 + n] = static_cast<uint8_t>(tag + n - 1);
    }
    f[12] = Fcs(&f[1], 11);
    f[13] = 0x16;
    return f;
}

size_t ReplyLength(const GateRecord &g) {
    switch (g.iMemType) {
        case '2':
            return 19;
        case '3':
            return 2 * static_cast<size_t>(g.iCount) + 19;
        case 'I':
        case 'X':
            return static_cast<size_t>(g.iCount) + 9;
        default:
            return 2 * static_cast<size_t>(g.iCount) + 9;
    }
}

// The value buffer after a good read of `reply`, from the buffer before.
Bytes Stored(const GateRecord &g, uint32_t iFunction, const Bytes &reply, Bytes value) {
    const uint8_t *d = reply.data() + 7;
    const auto m = static_cast<char>(g.iMemType);
    auto putFloat = [&](size_t i, float f) { std::memcpy(&value[4 * i], &f, 4); };
    auto putWord = [&](size_t i, uint16_t w) { std::memcpy(&value[2 * i], &w, 2); };
    if (iFunction == ZEV_SINGLE_READ) {
        if (m == 'I' || m == 'X')
            putWord(1, g.iBitNo == -1 ? d[0] : g.iBitNo < 8 ? (d[0] >> g.iBitNo) & 1 : 0);
        else
            putFloat(0, Decode(d[0], d[1]));
        return value;
    }
    for (size_t i = 0; i < static_cast<size_t>(g.iCount); ++i) {
        if (m == '3')
            putFloat(i, Decode(d[10 + 2 * i], d[11 + 2 * i]));
        else if (std::strchr("AFPR", m))
            putFloat(i, Decode(d[2 * i], d[2 * i + 1]));
        else
            putWord(i, d[i]);
    }
    return value;
}

void CheckGoodRead(const GateRecord &g, uint32_t iFunction, const Bytes &request, const Bytes &reply,
                   const Bytes &before, const uint8_t *pValue) {
    FUZZ_CHECK(request == ReadRequest(g));
    FUZZ_CHECK(reply.size() == ReplyLength(g) && reply.size() >= 9);
    const size_t l = reply[1];
    FUZZ_CHECK(reply[0] == 0x68 && reply[2] == l && reply[3] == 0x68 && reply[4] == 0 &&
               l + 6 == reply.size());
    FUZZ_CHECK(reply[5] == g.iPlcAddr && Fcs(&reply[4], l) == reply[l + 4] && reply[l + 5] == 0x16);
    const Bytes expected = Stored(g, iFunction, reply, before);
    FUZZ_CHECK(std::memcmp(expected.data(), pValue, expected.size()) == 0);
}

// The write request for the gate and the value in the buffer: layout,
// element, value byte or the value word's agreement with the float.
void CheckWriteRequest(const GateRecord &g, const Bytes &f, const Bytes &value, uint16_t wPtMode) {
    FUZZ_CHECK(f.size() == 14 && f[0] == 0xA2 && f[1] == static_cast<uint8_t>(g.iPlcAddr) && f[2] == 0);
    FUZZ_CHECK(f[12] == Fcs(&f[1], 11) && f[13] == 0x16);
    char m = static_cast<char>(g.iMemType);
    auto elem = static_cast<uint8_t>(g.iTagAddr);
    if (m == '3') {
        m = g.pszAddress[7];
        elem = static_cast<uint8_t>(std::stoul(std::string(g.pszAddress + 5, 2), nullptr, 16));
    }
    uint16_t v = 0;
    std::memcpy(&v, &value[2], 2);
    const Bytes data(f.begin() + 4, f.begin() + 12);
    if (std::strchr("AFPR", m)) {
        FUZZ_CHECK(f[3] == 7 && f[5] == elem && f[9] == elem && f[6] == f[10] && f[7] == f[11]);
        FUZZ_CHECK(m == 'R' ? f[4] == 2 && f[8] == 0 : f[4] == 1 && f[8] == 1);
        float x = 0;
        std::memcpy(&x, value.data(), 4);
        const float sent = Decode(f[6], f[7]);
        if (m == 'F') FUZZ_CHECK((f[7] & 3) == (wPtMode & 3));
        if (m != 'F' && std::fabs(x) < 200.0f) {
            FUZZ_CHECK((f[7] & 3) == 0);
            FUZZ_CHECK(std::fabs(sent - x) <= (m == 'P' ? 0.0251f : 0.0126f));
        }
    } else if (g.iBitNo != -1) {
        const auto set = static_cast<uint8_t>(g.iBitNo < 8 ? 1u << g.iBitNo : 0);
        FUZZ_CHECK(v <= 1);
        const uint8_t mask = v == 1 ? set : static_cast<uint8_t>(~set);
        FUZZ_CHECK(data == Bytes({elem, mask, elem, mask, 0, 0, 0, 0}) && f[3] == (v == 1 ? 31 : 47));
    } else if (m == 'I') {
        FUZZ_CHECK(f[3] == 13 && data == Bytes({elem, 1, value[2], 0, 0, 0, 0, 0}));
    } else if (m == 'X') {
        const auto hi = static_cast<uint8_t>(g.iTagAddr >> 8);
        FUZZ_CHECK(f[3] == 14 && data == Bytes({hi, elem, 1, value[2], 0, 0, 0, 0}));
    } else {
        FUZZ_CHECK(m == 'Z' && f[3] == 8);
        Bytes z(8, 0);
        z[g.iTagAddr - 1] = value[2];
        FUZZ_CHECK(data == z);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char dir[] = "/tmp/rovod-fuzz-reply-XXXXXX";  // no control-signal file here
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Reader in{data, size};
    const GateKind kind = kKinds[in.Byte() % std::size(kKinds)];
    const uint8_t plc = in.Byte();
    const uint8_t elem = in.Byte();
    const char suffix = static_cast<char>(in.Byte());
    const uint8_t countByte = in.Byte();
    const uint8_t flags = in.Byte();
    const Bytes valueBytes = in.Take(4);

    const bool bBlock = kind.iFunction == ZEV_BLOCK_READ || kind.iFunction == ZEV_BLOCK_WRITE;
    const int32_t maxCount = kind.cType == '2'               ? 10
                             : kind.cType == '3'             ? 16
                             : std::strchr("IX", kind.cType) ? 63
                                                             : 8;
    const int32_t iCount = bBlock ? (kind.cType == '2' ? 10 : 1 + countByte % maxCount) : 1;
    char address[16];
    const unsigned tag = std::strchr("IX", kind.cType) ? 1 + elem % 63
                         : kind.cType == 'Z'           ? 1 + elem % 8
                                                       : elem;
    const unsigned pos = kind.cType == '3' ? countByte : 0;
    std::snprintf(address, sizeof address, "%02X%c%02X%02X", plc, kind.cType, pos, tag);
    if (kind.bSuffix) {
        address[7] = kind.cType == '3' ? "AFRP"[suffix & 3] : "0123456789ABCDEF"[suffix & 15];
        address[8] = '\0';
    }

    scripted::Reset();
    scripted::SetCounterStep(100000);  // keeps the calibration's spins short
    testhost::Reset();
    fuzz::Fenced block(zev::kContextSize, 0);
    PortSettings settings{"COM1", 1, 10, 9600, 8, 0, 0};
    ZevRequest request{block.data(), ZEV_COLD_START, 0, 0, &settings};
    FUZZ_CHECK(ZevMain(&request) == ZEV_OK);
    const fuzz::Ending ending{block.data()};
    auto *pContext = reinterpret_cast<zev::DriverContext *>(block.data());
    pContext->ReadBeforeWrite = flags & 1;
    pContext->DebugFlag = (flags >> 1) & 1;
    pContext->TPPOS = static_cast<uint16_t>((flags >> 2) % 10);
    if (flags & 0x80) pContext->wPtMode = (flags >> 5) & 3;

    // The gate as the host registers it.
    GateDefinition def{address, 0, kind.iDataType, iCount, 0, 0, 0, 0, 0};
    ZevRequest parse{nullptr, bBlock ? 4u : 3u, 0, 0, &def};
    if (ZevMain(&parse) != 0) return 0;
    fuzz::Fenced record(sizeof(GateRecord));
    auto *pGate = reinterpret_cast<GateRecord *>(record.data());
    const size_t valueSize =
        bBlock && kind.iFunction == ZEV_BLOCK_READ ? iCount * ElementSize(kind.cType) : 4;
    fuzz::Fenced value(valueSize, 0x5A);
    std::copy_n(valueBytes.begin(), std::min(valueBytes.size(), valueSize), value.data());
    *pGate = GateRecord{address,      0,          def.iPlcAddr, def.iMemType,
                        def.iTagAddr, def.iBitNo, def.iBits,    0,
                        iCount,       7,          value.data(), 0};
    const GateRecord original = *pGate;
    const Bytes valueBefore(value.data(), value.data() + valueSize);

    // The line: pieces released by the writes, and stray input.
    std::vector<std::vector<scripted::Piece>> replies;
    while (in.n > 0) {
        const uint8_t c = in.Byte();
        const int64_t silence = kSilenceMs[(c >> 5) & 3];
        Bytes bytes = in.Take(in.Byte());
        if (c & 0x10) {
            scripted::Feed(bytes, silence * 10);
            continue;
        }
        if (replies.empty() || (c & 0x80)) replies.emplace_back();
        replies.back().push_back({std::move(bytes), silence});
    }
    for (const auto &pieces : replies) scripted::ReplyInPieces(pieces);
    const size_t eventsBefore = scripted::Events().size();
    testhost::UnCooks().clear();

    request.iFunction = kind.iFunction;
    request.pParams = pGate;
    const uint32_t result = ZevMain(&request);
    FUZZ_CHECK(block.Intact() && record.Intact() && value.Intact());
    GateRecord now = *pGate;
    if (kind.cType == '3' && kind.iFunction == ZEV_BLOCK_READ) now.iCount = original.iCount;
    FUZZ_CHECK(std::memcmp(&now, &original, sizeof now) == 0);
    FUZZ_CHECK(pGate->iCount >= 1 && pGate->iCount <= maxCount);

    // What went over the line in this call: the last request, and what the
    // driver read after it.
    Bytes lastRequest, reply;
    size_t writes = 0;
    for (size_t i = eventsBefore; i < scripted::Events().size(); ++i) {
        const scripted::Event &e = scripted::Events()[i];
        if (e.kind == scripted::Kind::Write) {
            lastRequest = e.bytes;
            reply.clear();
            ++writes;
        }
        if (e.kind == scripted::Kind::Read) reply.insert(reply.end(), e.bytes.begin(), e.bytes.end());
    }
    const Bytes valueAfter(value.data(), value.data() + valueSize);
    const bool bRead = kind.iFunction == ZEV_SINGLE_READ || kind.iFunction == ZEV_BLOCK_READ;
    FUZZ_CHECK(result <= (bRead ? 2u : 3u));
    if (kind.cType == 'Z' && bRead) {
        FUZZ_CHECK(result == 0 && writes == 0 && testhost::UnCooks().size() == 1);
        FUZZ_CHECK(testhost::UnCooks()[0].dValue == 0.0 && valueAfter == valueBefore);
        return 0;
    }
    FUZZ_CHECK(testhost::UnCooks().empty());
    if (bRead) {
        FUZZ_CHECK(writes <= 3);
        if (result == 0)
            CheckGoodRead(*pGate, kind.iFunction, lastRequest, reply, valueBefore, value.data());
        else
            FUZZ_CHECK(valueAfter == valueBefore);
        return 0;
    }
    FUZZ_CHECK(valueAfter == valueBefore);
    FUZZ_CHECK(writes <= 6);
    if (kind.iFunction == ZEV_BLOCK_WRITE) FUZZ_CHECK(result == 1 && writes == 0);
    if (result != 0) return 0;
    const uint8_t p = static_cast<uint8_t>(pGate->iPlcAddr);
    FUZZ_CHECK(reply == Bytes({0x10, 0x00, p, 0x10, static_cast<uint8_t>(p + 0x10), 0x16}));
    CheckWriteRequest(*pGate, lastRequest, valueBefore, pContext->wPtMode);
    return 0;
}
