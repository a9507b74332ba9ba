// Control-signal file contents (any bytes, any length, any line ends)
// through ColdStart on the scripted system: the instance installs, its
// settings stay within their limits, nothing beyond the working block is
// written, and every piece of the file is counted as a line.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/context.h"
#include "fuzz_util.h"
#include "scripted/scripted_system.h"
#include "support/test_host.h"
#include "zedadad/zedadad.h"

namespace {

bool IsMask(uint16_t w) { return w == 0 || w == zev::kMaskDtr || w == zev::kMaskRts || w == 0x0303; }

// fgets with a 256-byte buffer: a line ends after its line feed or after
// 255 characters.
unsigned PiecesOf(const uint8_t *data, size_t size) {
    unsigned n = 0;
    for (size_t i = 0; i < size; ++n) {
        size_t len = 0;
        while (i < size && len < 255) {
            ++len;
            if (data[i++] == '\n') break;
        }
    }
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char dir[] = "/dev/shm/rovod-fuzz-intfile-XXXXXX";  // tmpfs: the file is written every run
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::FILE *pFile = std::fopen("ROVOD.INT", "wb");
    FUZZ_CHECK(pFile != nullptr && std::fwrite(data, 1, size, pFile) == size && std::fclose(pFile) == 0);
    scripted::Reset();
    scripted::SetCounterStep(100000);  // keeps the calibration's spins short
    testhost::Reset();

    fuzz::Fenced block(zev::kContextSize, 0);
    PortSettings settings{"COM1", 1, 10, 9600, 8, 0, 0};
    ZevRequest request{block.data(), ZEV_COLD_START, 0, 0, &settings};
    FUZZ_CHECK(ZevMain(&request) == ZEV_OK);
    const fuzz::Ending ending{block.data()};
    FUZZ_CHECK(block.Intact());

    const auto *pContext = reinterpret_cast<const zev::DriverContext *>(block.data());
    FUZZ_CHECK(pContext->hCom != 0);
    FUZZ_CHECK(IsMask(pContext->SendMask) && IsMask(pContext->RecMask));
    const unsigned differ = pContext->SendMask ^ pContext->RecMask;
    FUZZ_CHECK(pContext->bSwitching ==
               (((differ & zev::kMaskRts) ? 1 : 0) | ((differ & zev::kMaskDtr) ? 2 : 0)));
    FUZZ_CHECK(pContext->DebugFlag <= 1 && pContext->ReadBeforeWrite <= 1);
    FUZZ_CHECK(pContext->IFG < 5000);
    FUZZ_CHECK(pContext->fDelay >= -3276.8f && pContext->fDelay < 50.0f);
    FUZZ_CHECK(testhost::Logged("ROVOD> Total lines read : " + std::to_string(PiecesOf(data, size))));
    return 0;
}
