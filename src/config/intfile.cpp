// The control-signal file: one small text file per instance, read once by
// ColdStart. Settings are "KEYWORD = value" lines, matched without regard to
// case; words match as prefixes.
#include "config/intfile.h"

#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "base/context.h"
#include "base/log.h"

namespace zev {

namespace {

constexpr size_t kLineSize = 256;  // 255 characters and the NUL, as fgets reads them
constexpr char kIntFileBase[] = "ROVOD";
constexpr long kFDelayLimit = 500;  // tenths of a ms
constexpr long kIfgLimit = 5000;    // ms

enum Keyword { kDebug, kSend, kReceive, kReadBeforeWrite, kFDelay, kIfg, kRs485 };
constexpr std::array<const char *, 7> kKeywords = {"DEBUG",  "SEND", "RECEIVE", "READBEFOREWRITE",
                                                   "FDELAY", "IFG",  "RS485"};

enum State { kOff, kOn };
constexpr std::array<const char *, 2> kStates = {"OFF", "ON"};

enum Signal { kDtr, kRts };
constexpr std::array<const char *, 2> kSignals = {"DTR", "RTS"};

// The on/off state of DTR and RTS in one direction.
struct SignalStates {
    uint16_t wDtr;
    uint16_t wRts;
};

bool IsBlank(char c) { return c == ' '; }

char *SkipBlanks(char *pCursor) {
    while (IsBlank(*pCursor)) ++pCursor;
    return pCursor;
}

// Names tried in turn; false when there is no such name or it would not
// fit the buffer (a cut-off name could open some other file).
bool BuildIntFileName(int iTry, const char *pszBase, char *szName, uint32_t iInstance) {
    const unsigned iNumber = iInstance;
    int n = -1;
    switch (iTry) {
        case 0:
            n = std::snprintf(szName, kIntFileNameSize, "%s%02u.INT", pszBase, iNumber);
            break;
        case 1:
            n = std::snprintf(szName, kIntFileNameSize, "%s%01u.INT", pszBase, iNumber);
            break;
        case 2:
            n = std::snprintf(szName, kIntFileNameSize, "%s.INT", pszBase);
            break;
        default:
            return false;
    }
    return n >= 0 && static_cast<size_t>(n) < kIntFileNameSize;
}

// A decimal number at pszText (leading white space allowed, text after it
// ignored) within [lMin, lMax]; false when there is none or it is out of range.
bool ReadNumber(const char *pszText, long lMin, long lMax, long *plValue) {
    char *pEnd = nullptr;
    errno = 0;
    const long lValue = std::strtol(pszText, &pEnd, 10);
    if (pEnd == pszText || errno == ERANGE || lValue < lMin || lValue > lMax) return false;
    *plValue = lValue;
    return true;
}

// OFF or ON at the cursor; anything else leaves the flag as it is.
template <typename Flag>
void ReadFlag(char **ppCursor, Flag *pFlag) {
    const int iState = MatchKeyword(ppCursor, kStates, '\0');
    if (iState == kOff) *pFlag = 0;
    if (iState == kOn) *pFlag = 1;
}

// Pairs of a signal word and a state word, up to the first text that is not one.
void ReadSignals(char **ppCursor, SignalStates *pStates) {
    for (;;) {
        const int iSignal = MatchKeyword(ppCursor, kSignals, '\0');
        if (iSignal < 0) return;
        const int iState = MatchKeyword(ppCursor, kStates, '\0');
        if (iState < 0) return;
        const auto wState = static_cast<uint16_t>(iState == kOn ? 1 : 0);
        if (iSignal == kDtr) pStates->wDtr = wState;
        if (iSignal == kRts) pStates->wRts = wState;
    }
}

uint16_t MaskOf(const SignalStates &states) {
    return static_cast<uint16_t>((states.wRts != 0 ? kMaskRts : 0) | (states.wDtr != 0 ? kMaskDtr : 0));
}

// A file written on Windows ends its lines with CR LF; read it as the text
// mode there does.
void DropCarriageReturn(char *szLine) {
    const size_t n = std::strlen(szLine);
    if (n >= 2 && szLine[n - 2] == '\r' && szLine[n - 1] == '\n') {
        szLine[n - 2] = '\n';
        szLine[n - 1] = '\0';
    }
}

void ApplyLine(DriverContext *pContext, char *szLine, unsigned iLine, const char *szName, SignalStates *pSend,
               SignalStates *pReceive) {
    if (szLine[0] == ';') return;
    char *pCursor = szLine;
    long lValue = 0;
    switch (MatchKeyword(&pCursor, kKeywords, '=')) {
        case kDebug:
            ReadFlag(&pCursor, &pContext->DebugFlag);
            err(kLogTrace, "ROVOD> Debug information flag = %d", static_cast<int>(pContext->DebugFlag));
            break;
        case kSend:
            ReadSignals(&pCursor, pSend);
            err(kLogAlert, "ROVOD> SEND:DTR=%u RTS=%u", static_cast<unsigned>(pSend->wDtr),
                static_cast<unsigned>(pSend->wRts));
            break;
        case kReceive:
            ReadSignals(&pCursor, pReceive);
            err(kLogAlert, "ROVOD> RECEIVE:DTR=%u RTS=%u ", static_cast<unsigned>(pReceive->wDtr),
                static_cast<unsigned>(pReceive->wRts));
            break;
        case kReadBeforeWrite:
            ReadFlag(&pCursor, &pContext->ReadBeforeWrite);
            err(kLogTrace, "ROVOD> Flag ReadBeforeWrite = %d", static_cast<int>(pContext->ReadBeforeWrite));
            break;
        case kFDelay:
            if (ReadNumber(pCursor, INT16_MIN, INT16_MAX, &lValue) && lValue < kFDelayLimit) {
                pContext->fDelay = static_cast<float>(lValue * 0.1);
                err(kLogAlert, "ROVOD> fDelay = %.3fmsec", static_cast<double>(pContext->fDelay));
            }
            break;
        case kIfg:
            if (ReadNumber(pCursor, 0, UINT16_MAX, &lValue) && lValue < kIfgLimit) {
                pContext->IFG = static_cast<uint16_t>(lValue);
                err(kLogTrace, "ROVOD> IFG is set to %u", static_cast<unsigned>(pContext->IFG));
            }
            break;
        case kRs485: {
            // Asks for the kernel's RTS turnaround where the port has it.
            uint8_t bAsked = pContext->bRs485 & kRs485Asked;
            ReadFlag(&pCursor, &bAsked);
            pContext->bRs485 = static_cast<uint8_t>((pContext->bRs485 & ~kRs485Asked) | bAsked);
            err(kLogTrace, "ROVOD> Kernel RS485 mode = %d", static_cast<int>(bAsked));
            break;
        }
        default:
            if (szLine[0] != '\n')
                err(kLogAlert, "ROVOD> ReadIntFile() illegal line %u in '%s'", iLine, szName);
            break;
    }
}

}  // namespace

int MatchKeyword(char **ppCursor, std::span<const char *const> words, char cSeparator) {
    char *pCursor = SkipBlanks(*ppCursor);
    *ppCursor = pCursor;
    for (char *p = pCursor; *p != '\0'; ++p)
        *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));

    for (size_t i = 0; i < words.size(); ++i) {
        const size_t n = std::strlen(words[i]);
        if (std::strncmp(pCursor, words[i], n) != 0) continue;
        char *pAfter = SkipBlanks(pCursor + n);
        if (cSeparator != '\0') {
            if (*pAfter != cSeparator) continue;
            pAfter = SkipBlanks(pAfter + 1);
        }
        *ppCursor = pAfter;
        return static_cast<int>(i);
    }
    return -1;
}

std::FILE *OpenIntFile(const char *pszBase, char *szName, uint32_t iInstance) {
    for (int iTry = 0; iTry < 3; ++iTry) {
        if (!BuildIntFileName(iTry, pszBase, szName, iInstance)) continue;
        std::FILE *pFile = std::fopen(szName, "r");
        if (pFile != nullptr) return pFile;
    }
    return nullptr;
}

void ReadIntFile(ZevRequest *pRequest) {
    DriverContext *pContext = ContextOf(pRequest);
    char szName[kIntFileNameSize] = {};
    std::FILE *pFile = OpenIntFile(kIntFileBase, szName, pRequest->iInstance);
    if (pFile == nullptr) {
        err(kLogTrace, "ROVOD> ColdStart() Warning, no initfile found");
        return;
    }
    err(kLogAlert, "ROVOD> Opening Control Signal file %s", szName);

    SignalStates send{};
    SignalStates receive{};
    unsigned iLine = 0;
    char szLine[kLineSize];
    while (std::fgets(szLine, sizeof szLine, pFile) != nullptr) {
        ++iLine;
        DropCarriageReturn(szLine);
        ApplyLine(pContext, szLine, iLine, szName, &send, &receive);
    }
    err(kLogTrace, "ROVOD> Total lines read : %d", static_cast<int>(iLine));
    std::fclose(pFile);

    err(kLogTrace, "ROVOD> SEND : DTR(%d), RTS(%d) ; RECEIVE : DTR(%d), RTS(%d)", send.wDtr, send.wRts,
        receive.wDtr, receive.wRts);
    pContext->SendMask = MaskOf(send);
    pContext->RecMask = MaskOf(receive);
    uint8_t bSwitching = 0;
    if (send.wRts != receive.wRts) bSwitching |= 1;
    if (send.wDtr != receive.wDtr) bSwitching |= 2;
    pContext->bSwitching = static_cast<uint8_t>(pContext->bSwitching | bSwitching);
    err(kLogTrace, "ROVOD> SendMask %04x, RecMask %04x", static_cast<unsigned>(pContext->SendMask),
        static_cast<unsigned>(pContext->RecMask));
    err(kLogAlert, "ROVOD> ReadIntFile() IFG = %hu", pContext->IFG);
}

}  // namespace zev
