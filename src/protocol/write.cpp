// Placeholder until the write transactions land.
#include "protocol/write.h"

#include "host/log.h"

namespace zev {

uint16_t SingleWrite(ZevRequest *) {
    err(kLogAlert, "ROVOD> SingleWrite() not yet available");
    return ZEV_LINE_FAILURE;
}
uint16_t BlockWrite(ZevRequest *) {
    err(kLogAlert, "ROVOD> BlockWrite() not yet available");
    return ZEV_LINE_FAILURE;
}

}  // namespace zev
