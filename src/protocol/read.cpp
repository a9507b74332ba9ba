// Placeholder until the read transactions land.
#include "protocol/read.h"

#include "host/log.h"

namespace zev {

uint16_t SingleRead(ZevRequest *) {
    err(kLogAlert, "ROVOD> SingleRead() not yet available");
    return ZEV_LINE_FAILURE;
}
uint16_t BlockRead(ZevRequest *) {
    err(kLogAlert, "ROVOD> BlockRead() not yet available");
    return ZEV_LINE_FAILURE;
}

}  // namespace zev
