// Host records: sequences of calls with any function number, any context
// and parameter pointers (or none), and any field values in ZevRequest,
// PortSettings, PortChange, GateDefinition and GateRecord, against a
// controller that answers every request it understands. After each call the
// host's request record is as it was, only the fields the driver owns were
// written, and nothing beyond what the gate's count needs in the value buffer.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/context.h"
#include "fuzz_util.h"
#include "scripted/scripted_system.h"
#include "zedadad/zedadad.h"

namespace {

using scripted::Bytes;

struct Controller {
    uint8_t block3 = 0;  // value words of its type-3 block
    Bytes pattern;       // its data bytes, repeated
};

Bytes Reply(const Controller &c, uint8_t plc, uint8_t fn, size_t n) {
    Bytes f{0x68, static_cast<uint8_t>(n + 3), static_cast<uint8_t>(n + 3), 0x68, 0, plc, fn};
    for (size_t i = 0; i < n; ++i) f.push_back(c.pattern.empty() ? 0 : c.pattern[i % c.pattern.size()]);
    unsigned sum = 0;
    for (size_t i = 4; i < f.size(); ++i) sum += f[i];
    f.push_back(static_cast<uint8_t>(sum));
    f.push_back(0x16);
    return f;
}

Bytes Answer(const Controller &c, const Bytes &w) {
    if (w.size() == 6 && w[0] == 0x10) return Reply(c, w[1], w[3], w[3] == 2 ? 10 : 10 + 2 * c.block3);
    if (w.size() != 14 || w[0] != 0xA2) return {};
    switch (w[3]) {
        case 4: {
            size_t n = 1;
            while (n < 8 && w[4 + n] != w[3 + n]) ++n;
            return Reply(c, w[1], 4, 2 * n);
        }
        case 5:
            return Reply(c, w[1], 5, w[5]);
        case 6:
            return Reply(c, w[1], 6, w[6]);
        default: {
            const uint8_t plc = w[1];
            return {0x10, 0, plc, 0x10, static_cast<uint8_t>(plc + 0x10), 0x16};
        }
    }
}

// Bytes of the value buffer the host sized for the record.
size_t Need(uint32_t iFunction, const GateRecord &g) {
    if (iFunction == ZEV_SINGLE_READ || iFunction == ZEV_SINGLE_WRITE) return 4;
    if (iFunction != ZEV_BLOCK_READ || g.iCount <= 0) return 0;
    const size_t count = std::min<size_t>(static_cast<size_t>(g.iCount), 128);
    if (std::strchr("3AFPR", g.iMemType) && g.iMemType != 0) return 4 * count;
    if (std::strchr("2IX", g.iMemType) && g.iMemType != 0) return 2 * count;
    return 0;
}

void Call(fuzz::Reader *in, fuzz::Fenced *pBlock) {
    const uint8_t op = in->Byte();
    uint32_t iFunction = op % 18;
    if (op >= 240) {
        const Bytes b = in->Take(4);
        iFunction = 0;
        for (uint8_t x : b) iFunction = iFunction << 8 | x;
    }
    const uint8_t sel = in->Byte();
    Bytes raw = in->Take(sizeof(GateRecord));
    raw.resize(sizeof(GateRecord));
    const Bytes text = in->Take(in->Byte() % 40);
    std::vector<char> address(text.begin(), text.end());
    address.push_back('\0');
    const std::vector<char> addressBefore = address;

    fuzz::Fenced params(sizeof(GateRecord));
    std::memcpy(params.data(), raw.data(), raw.size());
    auto *pGate = reinterpret_cast<GateRecord *>(params.data());
    auto *pDef = reinterpret_cast<GateDefinition *>(params.data());
    const bool bGate = iFunction == 5 || iFunction == 6 || iFunction == 7 || iFunction == 10;
    const bool bDef = iFunction == 3 || iFunction == 4;
    if (iFunction == 1 && (sel & 4)) std::memcpy(params.data(), "COM1", 5);
    if (bDef) pDef->pszAddress = (sel & 8) ? nullptr : address.data();
    std::unique_ptr<fuzz::Fenced> value;
    size_t need = 0;
    if (bGate) {
        pGate->pszAddress = (sel & 8) ? nullptr : address.data();
        need = Need(iFunction, *pGate);
        value = std::make_unique<fuzz::Fenced>(need + ((sel >> 4) & 7), 0x5A);
        pGate->pValue = (sel & 0x80) ? nullptr : value->data();
    }
    const Bytes before(params.data(), params.data() + sizeof(GateRecord));

    ZevRequest request{(sel & 1) ? nullptr : pBlock->data(), iFunction, static_cast<uint32_t>(op),
                       0x12345678u, (sel & 2) ? nullptr : params.data()};
    const ZevRequest requestBefore = request;
    const uint32_t result = ZevMain(&request);
    FUZZ_CHECK(result <= 3);
    FUZZ_CHECK(std::memcmp(&request, &requestBefore, sizeof request) == 0);
    FUZZ_CHECK(pBlock->Intact() && params.Intact() && address == addressBefore);
    if (bDef) {
        // The parsers write the five address fields only.
        FUZZ_CHECK(std::memcmp(params.data(), before.data(), offsetof(GateDefinition, iPlcAddr)) == 0);
        FUZZ_CHECK(std::memcmp(params.data() + sizeof(GateDefinition), before.data() + sizeof(GateDefinition),
                               sizeof(GateRecord) - sizeof(GateDefinition)) == 0);
    } else if (bGate) {
        GateRecord now = *pGate;
        now.iCount = reinterpret_cast<const GateRecord *>(before.data())->iCount;
        FUZZ_CHECK(std::memcmp(&now, before.data(), sizeof now) == 0);
        FUZZ_CHECK(value->Intact());
        for (size_t i = need; i < value->n; ++i) FUZZ_CHECK(value->data()[i] == 0x5A);
        if (iFunction == ZEV_SINGLE_WRITE || iFunction == ZEV_BLOCK_WRITE)
            for (size_t i = 0; i < value->n; ++i) FUZZ_CHECK(value->data()[i] == 0x5A);
    } else if (iFunction != ZEV_COLD_START && iFunction != ZEV_WARM_START && iFunction != ZEV_GET_ZEV_INFO) {
        FUZZ_CHECK(std::memcmp(params.data(), before.data(), before.size()) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char dir[] = "/tmp/rovod-fuzz-records-XXXXXX";  // no control-signal file here
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Reader in{data, size};
    scripted::Reset();
    scripted::SetCounterStep(100000);
    testhost::Reset();
    Controller controller;
    controller.block3 = in.Byte() % 64;
    controller.pattern = in.Take(in.Byte() % 17);
    scripted::SetResponder([&controller](const Bytes &w) { return Answer(controller, w); });
    fuzz::Fenced block(zev::kContextSize, 0);
    const fuzz::Ending ending{block.data()};
    for (int i = 0; i < 8 && in.n > 0; ++i) Call(&in, &block);
    return 0;
}
