// Placeholder until the address parsers land.
#include "address/parse.h"

#include "host/log.h"

namespace zev {

uint16_t SingleAddressParser(ZevRequest *) {
    err(kLogAlert, "ROVOD> SingleAddressParser() not yet available");
    return ZEV_REJECTED;
}
uint16_t BlockAddressParser(ZevRequest *) {
    err(kLogAlert, "ROVOD> BlockAddressParser() not yet available");
    return ZEV_REJECTED;
}

}  // namespace zev
