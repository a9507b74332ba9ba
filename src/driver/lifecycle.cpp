// Placeholder until the instance lifecycle lands.
#include "driver/lifecycle.h"

#include "host/log.h"

namespace zev {

const char kZevTitle[] = "Process Controllers TK";
const char kZevBanner[] = "";

static uint16_t NotYet(const char *pszName) {
    err(kLogAlert, "ROVOD> %s() not yet available", pszName);
    return ZEV_LINE_FAILURE;
}

uint16_t ColdStart(ZevRequest *) { return NotYet("ColdStart"); }
uint16_t WarmStart(ZevRequest *) { return NotYet("WarmStart"); }
uint16_t EndZev(ZevRequest *) { return NotYet("EndZev"); }
uint16_t CloseCom(ZevRequest *) { return NotYet("CloseCom"); }
uint16_t ReOpenCom(ZevRequest *) { return NotYet("ReOpenCom"); }
uint16_t GetZevInfo(ZevRequest *) { return NotYet("GetZevInfo"); }
uint16_t ChangeZevParams(ZevRequest *) { return NotYet("ChangeZevParams"); }

}  // namespace zev
