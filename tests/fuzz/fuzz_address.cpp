// Gate address strings through both parsers (functions 3 and 4), with every
// data type and block size the host may pass. A result is 0 or 1, every
// refusal logs a line, only the five address fields are written, and an
// accepted gate holds fields the reads and writes can rely on.
#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <cstring>
#include <string>

#include "fuzz_util.h"
#include "support/test_host.h"
#include "zedadad/zedadad.h"

namespace {

bool IsParameterName(const std::string &upper) {
    return upper == "$DEBUG" || upper == "$FDELAY" || upper == "$IFG" || upper == "$TPPOS";
}

void CheckAccepted(const GateDefinition &d, uint32_t iFunction, const char *pszAddress) {
    std::string upper;
    for (const char *p = pszAddress; *p; ++p)
        upper += static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    if (d.iMemType == ZEV_MEMTYPE_PARAMETER) {
        FUZZ_CHECK(iFunction == ZEV_SINGLE_ADDRESS_PARSER && IsParameterName(upper));
        FUZZ_CHECK(d.iPlcAddr == ZEV_PARAMETER_PLC && d.iTagAddr >= 252 && d.iTagAddr <= 255 &&
                   d.iBitNo == -1);
        return;
    }
    FUZZ_CHECK(upper.size() == 7 || upper.size() == 8);
    FUZZ_CHECK(d.iPlcAddr >= 1 && d.iPlcAddr <= 255);
    FUZZ_CHECK(d.iMemType == upper[2] && std::strchr("23AFPRIXZ", d.iMemType) != nullptr);
    FUZZ_CHECK(d.iBitNo == -1 || (d.iBitNo >= 0 && d.iBitNo <= 15));
    FUZZ_CHECK(d.iBits == (std::strchr("3AFPR", d.iMemType) ? 32 : 16));
    const int32_t m = d.iMemType;
    if (m == 'I' || m == 'X') FUZZ_CHECK(d.iTagAddr >= 1 && d.iTagAddr <= 63);
    if (m == 'Z') FUZZ_CHECK(d.iTagAddr >= 1 && d.iTagAddr <= 8);
    FUZZ_CHECK(d.iTagAddr >= 0 && d.iTagAddr <= 255);
    if (iFunction == ZEV_SINGLE_ADDRESS_PARSER) {
        FUZZ_CHECK(d.iDataType != ZEV_TYPE_STRING);
        if (d.iBitNo != -1)
            FUZZ_CHECK(d.iDataType == ZEV_TYPE_DIGITAL);
        else if (d.iBits == 16)
            FUZZ_CHECK(d.iDataType >= 0 && d.iDataType <= 2);
        else
            FUZZ_CHECK(d.iDataType == ZEV_TYPE_LONG);
        return;
    }
    FUZZ_CHECK(d.iBitNo == -1);
    if (m == '2') FUZZ_CHECK(d.iTagAddr == 0 && d.iBlockSize == 10);
    if (m == '3') FUZZ_CHECK(d.iTagAddr == 0 && d.iBlockSize <= 16);
    if (std::strchr("AFPR", m)) FUZZ_CHECK(d.iBlockSize <= 8);
    if (m == 'I' || m == 'X') FUZZ_CHECK(d.iBlockSize <= 63);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const auto iDataType = in.ConsumeIntegralInRange<int32_t>(-1, 8);
    const int32_t iBlockSize =
        in.ConsumeBool() ? in.ConsumeIntegralInRange<int32_t>(-1, 70) : in.ConsumeIntegral<int32_t>();
    const std::string text = in.ConsumeRemainingBytesAsString();
    // Exactly the string and its terminator, so ASan sees any read beyond.
    std::vector<char> address(text.c_str(), text.c_str() + std::strlen(text.c_str()) + 1);
    const std::vector<char> original = address;

    for (uint32_t iFunction : {ZEV_SINGLE_ADDRESS_PARSER, ZEV_BLOCK_ADDRESS_PARSER}) {
        testhost::Reset();
        fuzz::Fenced fence(sizeof(GateDefinition));
        auto *pDef = reinterpret_cast<GateDefinition *>(fence.data());
        pDef->pszAddress = address.data();
        pDef->iHostWord4 = 0xA5A5A5A5u;
        pDef->iDataType = iDataType;
        pDef->iBlockSize = iBlockSize;
        ZevRequest request{nullptr, iFunction, 0, 0, pDef};
        const uint32_t result = ZevMain(&request);
        FUZZ_CHECK(result == 0 || result == 1);
        FUZZ_CHECK(fence.Intact() && address == original);
        FUZZ_CHECK(pDef->pszAddress == address.data() && pDef->iHostWord4 == 0xA5A5A5A5u);
        FUZZ_CHECK(pDef->iDataType == iDataType && pDef->iBlockSize == iBlockSize);
        if (result == 1) FUZZ_CHECK(!testhost::Log().empty());
        if (result == 0) CheckAccepted(*pDef, iFunction, address.data());
    }
    return 0;
}
