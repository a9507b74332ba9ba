// What the fuzz targets share: a failed expectation aborts with a message
// (libFuzzer keeps the input), and buffers fenced by guard bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "support/test_host.h"
#include "zedadad/zedadad.h"

namespace fuzz {

[[noreturn]] inline void Fail(const char *pszWhat, const char *pszFile, int iLine) {
    std::fprintf(stderr, "%s:%d: expectation failed: %s\n", pszFile, iLine, pszWhat);
    std::abort();
}

#define FUZZ_CHECK(cond) ((cond) ? (void)0 : ::fuzz::Fail(#cond, __FILE__, __LINE__))

constexpr size_t kGuard = 32;
constexpr uint8_t kGuardByte = 0xA5;

// n bytes with kGuard guard bytes either side, on the heap so that ASan
// sees a read beyond them too.
struct Fenced {
    std::vector<uint8_t> bytes;
    size_t n;
    explicit Fenced(size_t size, uint8_t fill = kGuardByte) : bytes(size + 2 * kGuard, kGuardByte), n(size) {
        std::memset(bytes.data() + kGuard, fill, n);
    }
    uint8_t *data() { return bytes.data() + kGuard; }
    bool Intact() const {
        for (size_t i = 0; i < kGuard; ++i)
            if (bytes[i] != kGuardByte || bytes[kGuard + n + i] != kGuardByte) return false;
        return true;
    }
};

// Ends the instance of a working block when an iteration ends, so that its
// buffers are given back whatever the calls did.
struct Ending {
    void *pContext;
    ~Ending() {
        testhost::Reset();  // clears the ended flag
        ZevRequest request{pContext, ZEV_END_ZEV, 0, 0, nullptr};
        ZevMain(&request);
    }
};

// Reads input from the front; zeros once it is used up.
struct Reader {
    const uint8_t *p;
    size_t n;
    uint8_t Byte() { return n > 0 ? (--n, *p++) : 0; }
    std::vector<uint8_t> Take(size_t k) {
        k = k < n ? k : n;
        std::vector<uint8_t> out(p, p + k);
        p += k;
        n -= k;
        return out;
    }
};

}  // namespace fuzz
