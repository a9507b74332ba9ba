// Gate address grammar: Parse checks a string and fills the five address
// fields step by step; SingleParse and the block rules check the result
// against the host data type or the block size.
#include "address/parse.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "base/log.h"

namespace zev {

namespace {

constexpr std::size_t kShortLength = 7;  // no bit number or value-type letter
constexpr std::size_t kLongLength = 8;

constexpr std::string_view kHexDigits = "0123456789ABCDEF";
constexpr std::string_view kMemTypes = "IXARFPHEZ23";
constexpr std::string_view kLastChars = "0123456789ABCDEFRP ";

// Allowed characters of positions 1 to 8; later positions are not examined.
constexpr std::array<std::string_view, kLongLength> kCharSets = {
    kHexDigits, kHexDigits, kMemTypes, kHexDigits, kHexDigits, kHexDigits, kHexDigits, kLastChars,
};

// 0-based positions and widths of the numeric fields.
constexpr std::size_t kPlcPos = 0;
constexpr std::size_t kMemTypePos = 2;
constexpr std::size_t kBlockPos = 3;
constexpr std::size_t kTagPos = 5;
constexpr std::size_t kBitPos = 7;
constexpr std::size_t kFieldWidth = 2;

constexpr int32_t kNoBit = -1;
constexpr int32_t kMaxRamAddr = 63;
constexpr int32_t kMaxSwitchTag = 8;

struct ParameterGate {
    std::string_view szName;
    int32_t iDataType;
    int32_t iTagAddr;
    int32_t iBits;
};

// Compared in this order against the whole upper-cased string.
constexpr std::array<ParameterGate, 4> kParameterGates = {{
    {"$DEBUG", ZEV_TYPE_DIGITAL, 255, 1},
    {"$FDELAY", ZEV_TYPE_ANALOG16_1, 254, 16},
    {"$IFG", ZEV_TYPE_ANALOG16_0, 253, 16},
    {"$TPPOS", ZEV_TYPE_ANALOG16_0, 252, 16},
}};

// The upper-cased working copy; every later line of Parse prints it.
struct AddressCopy {
    std::array<char, kMaxAddressLength + 1> sz;
    std::size_t iLength;
};

GateDefinition *Definition(ZevRequest *pRequest) {
    if (pRequest == nullptr) return nullptr;
    return static_cast<GateDefinition *>(pRequest->pParams);
}

bool InSet(std::string_view set, char c) { return set.find(c) != std::string_view::npos; }

// The caller has checked that the string fits; only a-z change, whatever the locale.
void CopyAddress(const char *pszAddress, std::size_t iLength, AddressCopy *pCopy) {
    pCopy->sz.fill('\0');
    pCopy->iLength = iLength < pCopy->sz.size() - 1 ? iLength : pCopy->sz.size() - 1;
    for (std::size_t i = 0; i < pCopy->iLength; ++i) {
        const unsigned char c = static_cast<unsigned char>(pszAddress[i]);
        pCopy->sz[i] = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
}

std::string_view View(const AddressCopy &copy) { return {copy.sz.data(), copy.iLength}; }

// A field converts when its first character is there; a two-digit field cut
// short by the end of the string reads as its single digit.
bool ConvertHex(std::string_view szAddress, std::size_t iFirst, std::size_t iWidth, int32_t *piValue) {
    int32_t iValue = 0;
    std::size_t i = iFirst;
    for (; i < szAddress.size() && i < iFirst + iWidth; ++i) {
        const std::size_t iDigit = kHexDigits.find(szAddress[i]);
        if (iDigit == std::string_view::npos) break;
        iValue = iValue * 16 + static_cast<int32_t>(iDigit);
    }
    if (i == iFirst) return false;
    *piValue = iValue;
    return true;
}

bool ParseParameterGate(std::string_view szAddress, GateDefinition *pDef) {
    for (const ParameterGate &gate : kParameterGates) {
        if (szAddress != gate.szName || pDef->iDataType != gate.iDataType) continue;
        pDef->iPlcAddr = ZEV_PARAMETER_PLC;
        pDef->iMemType = ZEV_MEMTYPE_PARAMETER;
        pDef->iTagAddr = gate.iTagAddr;
        pDef->iBitNo = kNoBit;
        pDef->iBits = gate.iBits;
        return true;
    }
    return false;
}

// Returns the 1-based position of the first illegal character, 0 when none.
std::size_t FindIllegalCharacter(std::string_view szAddress) {
    for (std::size_t i = 0; i < szAddress.size() && i < kCharSets.size(); ++i)
        if (!InSet(kCharSets[i], szAddress[i])) return i + 1;
    return 0;
}

// Sets iBits and checks the element address against the memory type.
uint16_t CheckMemoryType(const AddressCopy &copy, int32_t iPosition, GateDefinition *pDef) {
    pDef->iBits = 16;
    switch (pDef->iMemType) {
        case '2':
            return ZEV_OK;
        case '3':
            pDef->iTagAddr = iPosition;
            pDef->iBits = 32;
            return ZEV_OK;
        case 'A':
        case 'F':
        case 'P':
        case 'R':
            pDef->iBits = 32;
            return ZEV_OK;
        case 'E':
        case 'H':
            err(kLogTrace, "ROVOD> Parse(PHE) Not implemented");
            return ZEV_REJECTED;
        case 'I':
        case 'X':
            if (pDef->iTagAddr >= 1 && pDef->iTagAddr <= kMaxRamAddr) return ZEV_OK;
            err(kLogTrace, "ROVOD> Parse() Illegal RAM address in '%s'", copy.sz.data());
            return ZEV_REJECTED;
        case 'Z':
            if (pDef->iTagAddr == 0) {
                err(kLogTrace, "ROVOD> Parse(Z) Not implemented");
                return ZEV_REJECTED;
            }
            if (pDef->iTagAddr > kMaxSwitchTag) {
                err(kLogTrace, "ROVOD> Parse() Illegal switch tag %d in '%s'",
                    static_cast<int>(pDef->iTagAddr), copy.sz.data());
                return ZEV_REJECTED;
            }
            return ZEV_OK;
        default:
            err(kLogTrace, "ROVOD> Parse() Illegal memory type in '%s'", copy.sz.data());
            return ZEV_REJECTED;
    }
}

// Sets iBitNo from the 8th character, or refuses a string of the wrong length.
uint16_t ParseBitNumber(const AddressCopy &copy, GateDefinition *pDef) {
    pDef->iBitNo = kNoBit;
    if (copy.iLength == kShortLength) return ZEV_OK;
    if (copy.iLength != kLongLength) {
        err(kLogTrace, "ROVOD> Parse() Address string wrong length '%s'", copy.sz.data());
        return ZEV_REJECTED;
    }
    const char cLast = copy.sz[kBitPos];
    switch (pDef->iMemType) {
        case '2':
        case 'I':
        case 'X': {
            int32_t iBitNo = 0;
            if (!ConvertHex(View(copy), kBitPos, 1, &iBitNo)) {
                err(kLogTrace, "ROVOD> Parse() Wrong bit number in '%s'", copy.sz.data());
                return ZEV_REJECTED;
            }
            pDef->iBitNo = iBitNo;
            return ZEV_OK;
        }
        case '3':
            // The value-type letter is read again by the single write, not stored.
            if (InSet("AFRP", cLast)) return ZEV_OK;
            err(kLogTrace, "ROVOD> Parse() Wrong type '%c' in '%s'", cLast, copy.sz.data());
            return ZEV_REJECTED;
        default:
            err(kLogTrace, "ROVOD> Parse() Illegal bit number in '%s'", copy.sz.data());
            return ZEV_REJECTED;
    }
}

}  // namespace

uint16_t Parse(ZevRequest *pRequest) {
    GateDefinition *pDef = Definition(pRequest);
    if (pDef == nullptr) {
        err(kLogTrace, "ROVOD> Parse() No gate definition");
        return ZEV_REJECTED;
    }
    if (pDef->pszAddress == nullptr) {
        err(kLogTrace, "ROVOD> Parse() No gate address string");
        return ZEV_REJECTED;
    }
    const std::size_t iLength = std::strlen(pDef->pszAddress);
    if (iLength > static_cast<std::size_t>(kMaxAddressLength)) {
        err(kLogTrace, "ROVOD> Parse() Gate address string '%s' too long ( > %d)", pDef->pszAddress,
            kMaxAddressLength);
        return ZEV_REJECTED;
    }
    AddressCopy copy;
    CopyAddress(pDef->pszAddress, iLength, &copy);
    const std::string_view szAddress = View(copy);

    if (pRequest->iFunction == ZEV_SINGLE_ADDRESS_PARSER && ParseParameterGate(szAddress, pDef))
        return ZEV_OK;

    if (const std::size_t iPos = FindIllegalCharacter(szAddress); iPos != 0) {
        err(kLogTrace, "ROVOD> Parse() Illegal character %d in '%s'", static_cast<int>(iPos), copy.sz.data());
        return ZEV_REJECTED;
    }

    int32_t iPlcAddr = 0;
    if (!ConvertHex(szAddress, kPlcPos, kFieldWidth, &iPlcAddr) || iPlcAddr == 0) {
        err(kLogTrace, "ROVOD> Parse() Illegal PLC addr in '%s'", copy.sz.data());
        return ZEV_REJECTED;
    }
    pDef->iPlcAddr = iPlcAddr;
    pDef->iMemType = iLength > kMemTypePos ? static_cast<unsigned char>(copy.sz[kMemTypePos]) : 0;

    int32_t iTagAddr = 0;
    if (!ConvertHex(szAddress, kTagPos, kFieldWidth, &iTagAddr)) {
        err(kLogTrace, "ROVOD> Parse() Illegal tag addr in '%s'", copy.sz.data());
        return ZEV_REJECTED;
    }
    pDef->iTagAddr = iTagAddr;

    int32_t iPosition = 0;
    if (!ConvertHex(szAddress, kBlockPos, kFieldWidth, &iPosition)) {
        err(kLogTrace, "ROVOD> Parse() Illegal position in block in '%s'", copy.sz.data());
        return ZEV_REJECTED;
    }
    if (iPosition != 0) {
        if (pDef->iMemType == 'X') {
            pDef->iTagAddr += 256 * iPosition;
        } else if (pDef->iMemType != '3') {
            err(kLogTrace, "ROVOD> Parse() Not using information '%02XYY' in '%s'",
                static_cast<unsigned>(iPosition), copy.sz.data());
        }
    }

    if (const uint16_t wResult = CheckMemoryType(copy, iPosition, pDef); wResult != ZEV_OK) return wResult;
    return ParseBitNumber(copy, pDef);
}

uint16_t SingleParse(ZevRequest *pRequest) {
    const GateDefinition *pDef = Definition(pRequest);
    if (pDef == nullptr) {
        err(kLogTrace, "ROVOD> SingleParse() No gate definition");
        return ZEV_REJECTED;
    }
    const char *pszAddress = pDef->pszAddress != nullptr ? pDef->pszAddress : "";
    if (pDef->iDataType == ZEV_TYPE_STRING) {
        err(kLogTrace, "ROVOD> SingleParse() no STRING gates allowed gate '%s'", pszAddress);
        return ZEV_REJECTED;
    }
    if (pDef->iBitNo != kNoBit) {
        if (pDef->iDataType == ZEV_TYPE_DIGITAL) return ZEV_OK;
        err(kLogTrace, "ROVOD> SingleParse() gate '%s' should be DIGITAL", pszAddress);
        return ZEV_REJECTED;
    }
    if (pDef->iBits == 16 &&
        (pDef->iDataType < ZEV_TYPE_ANALOG16_0 || pDef->iDataType > ZEV_TYPE_ANALOG16_2)) {
        err(kLogTrace, "ROVOD> SingleParse() gate '%s' should be analog 16", pszAddress);
        return ZEV_REJECTED;
    }
    if (pDef->iBits == 32 && pDef->iDataType != ZEV_TYPE_LONG) {
        err(kLogTrace, "ROVOD> SingleParse() gate '%s' should be LONG", pszAddress);
        return ZEV_REJECTED;
    }
    return ZEV_OK;
}

uint16_t SingleAddressParser(ZevRequest *pRequest) {
    if (const uint16_t wResult = Parse(pRequest); wResult != ZEV_OK) return wResult;
    return SingleParse(pRequest);
}

uint16_t BlockAddressParser(ZevRequest *pRequest) {
    if (const uint16_t wResult = Parse(pRequest); wResult != ZEV_OK) return wResult;
    GateDefinition *pDef = Definition(pRequest);
    const char *pszAddress = pDef->pszAddress;
    if (pDef->iBitNo != kNoBit) {
        err(kLogTrace, "ROVOD> Parse() no spec. dig. gates allowed for blocks '%s'", pszAddress);
        return ZEV_REJECTED;
    }
    switch (pDef->iMemType) {
        case '2':
        case '3':
            // A block of these types always starts at element 0.
            if (pDef->iTagAddr != 0) {
                err(kLogTrace, "ROVOD> Parse() Wrong gateAddr in '%s'.  Using 0000 in block def", pszAddress);
                pDef->iTagAddr = 0;
            }
            if (pDef->iMemType == '2' && pDef->iBlockSize != 10) {
                err(kLogTrace, "ROVOD> Parse() Block size must be 10 in '%s'", pszAddress);
                return ZEV_REJECTED;
            }
            if (pDef->iMemType == '3' && pDef->iBlockSize > 16) {
                err(kLogTrace, "ROVOD> Parse() Block size out of range in '%s' (max.16)", pszAddress);
                return ZEV_REJECTED;
            }
            return ZEV_OK;
        case 'A':
        case 'F':
        case 'P':
        case 'R':
            if (pDef->iBlockSize <= 8) return ZEV_OK;
            err(kLogTrace, "ROVOD> Parse() block size out of range in block '%s' (max.8)", pszAddress);
            return ZEV_REJECTED;
        case 'I':
        case 'X':
            if (pDef->iBlockSize <= 63) return ZEV_OK;
            err(kLogTrace, "ROVOD> Parse() block size out of range block '%s' (max.63)", pszAddress);
            return ZEV_REJECTED;
        default:
            err(kLogTrace, "ROVOD> Parse() No blocks supported for type %c",
                static_cast<int>(pDef->iMemType));
            return ZEV_OK;
    }
}

}  // namespace zev
