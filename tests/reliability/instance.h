// One driver instance as a host keeps it (working block, gate record, value
// buffer), the calls the reliability tests make on it, and what they watch
// of the process (open descriptors, heap in use).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "zedadad/zedadad.h"

namespace reltest {

struct Instance {
    alignas(8) std::array<uint8_t, 96> block;
    std::array<uint8_t, 64> value;
    GateRecord gate;
    ZevRequest request;
    PortSettings settings;
};

// ColdStart on the named port at 57600 baud (no inter-frame gap), reply
// time-out in units of 10 ms; the result of ZevMain.
uint32_t ColdStartOn(Instance *pInstance, const char *pszPort, int32_t iTimeout10ms);
uint32_t Call(Instance *pInstance, uint32_t iFunction, void *pParams = nullptr);
// Single read of one value word (memory type A) into *pfValue.
uint32_t ReadWord(Instance *pInstance, uint8_t bPlc, uint8_t bElement, float *pfValue);
// Single write of one value word (memory type A).
uint32_t WriteWord(Instance *pInstance, uint8_t bPlc, uint8_t bElement, float fValue);

// A positive word with mantissa m and point code 0, and its value m x 0.025.
inline uint16_t WordOf(uint16_t m) { return static_cast<uint16_t>(0x8000 | (m << 2)); }
inline float ValueOf(uint16_t m) { return static_cast<float>(0.025 * m); }

// Descriptors open in this process (/proc/self/fd).
int OpenDescriptors();
// Heap bytes in use; 0 where the allocator does not tell (sanitizers).
size_t HeapInUse();
// Milliseconds on the monotonic clock.
int64_t NowMs();

// A temporary directory made the working directory for the test's life, so
// that no control-signal file but the test's own is found and relative port
// names (symbolic links) live there.
struct ScratchDir {
    char szPath[64];
    char szPrevious[512];
};
bool EnterScratchDir(ScratchDir *pDir);
void LeaveScratchDir(ScratchDir *pDir);

}  // namespace reltest
