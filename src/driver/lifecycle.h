// Instance lifecycle: install, reconfigure, describe and end an instance.
#pragma once

#include <cstdint>

#include "base/context.h"
#include "zedadad/zedadad.h"

namespace zev {

uint16_t ColdStart(ZevRequest *pRequest);
uint16_t WarmStart(ZevRequest *pRequest);
uint16_t EndZev(ZevRequest *pRequest);
uint16_t CloseCom(ZevRequest *pRequest);
uint16_t ReOpenCom(ZevRequest *pRequest);
uint16_t GetZevInfo(ZevRequest *pRequest);
uint16_t ChangeZevParams(ZevRequest *pRequest);

void SetDefaults(ZevRequest *pRequest);
uint16_t AllocateBuffers(DriverContext *pContext);
sys::Handle OpenCom(DriverContext *pContext);
void RtsSwitchingHook(DriverContext *pContext);

extern const char kZevTitle[];
extern const char kZevBanner[];

}  // namespace zev
