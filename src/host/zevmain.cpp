// The exported entry point and its function table.
#include <array>

#include "address/parse.h"
#include "base/ended.h"
#include "base/log.h"
#include "driver/lifecycle.h"
#include "host/operation.h"
#include "protocol/read.h"
#include "protocol/write.h"

namespace zev {

namespace {

// Indexed by function number; slot 0 is never reached.
constexpr std::array<Operation, ZEV_FUNCTION_COUNT + 1> kOperations = {
    nullptr,              // 0
    ColdStart,            // 1
    WarmStart,            // 2
    SingleAddressParser,  // 3
    BlockAddressParser,   // 4
    SingleRead,           // 5
    BlockRead,            // 6
    SingleWrite,          // 7
    nullptr,              // 8
    nullptr,              // 9
    BlockWrite,           // 10
    EndZev,               // 11
    CloseCom,             // 12
    ReOpenCom,            // 13
    GetZevInfo,           // 14
    ChangeZevParams,      // 15
    nullptr,              // 16
};

}  // namespace

}  // namespace zev

extern "C" ZEV_EXPORT uint32_t ZEV_CALL ZevMain(ZevRequest *pRequest) {
    using namespace zev;
    if (bEnded.load() == 1) return ZEV_OK;
    if (pRequest == nullptr) {
        err(kLogAlert, "ROVOD> ZevMain() no request record");
        return ZEV_LINE_FAILURE;
    }
    const uint32_t n = pRequest->iFunction;
    // Both lines print the number minus one, as the host's own tables count from 0.
    if (n == 0 || n > ZEV_FUNCTION_COUNT) {
        err(kLogAlert, "ROVOD> ZevMain() Wrong function number %d", static_cast<int>(n - 1));
        return ZEV_LINE_FAILURE;
    }
    const Operation operation = kOperations[n];
    if (operation == nullptr) {
        err(kLogAlert, "ROVOD> ZevMain() Function %d not supported in this ZEV", static_cast<int>(n - 1));
        return ZEV_LINE_FAILURE;
    }
    return static_cast<uint32_t>(operation(pRequest));
}
