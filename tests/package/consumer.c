/* A program outside this tree that uses the installed package: it starts an
 * instance on a port, writes a setpoint and reads it back. Built with
 * ZEDADAD_LIBRARY it loads the driver at run time, as the host application
 * does; without, it is linked with the driver.
 *
 *   consumer PORT
 */
#include <dlfcn.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <zedadad/zedadad.h>

typedef uint32_t (*ZevMainFn)(ZevRequest *);

/* The driver's two imports bind to these (the program exports them). */
int err(int32_t iCategory, const char *pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    fprintf(stderr, "[%d] ", iCategory);
    vfprintf(stderr, pszFormat, args);
    fputc('\n', stderr);
    va_end(args);
    return 0;
}

/* Only parameter and write-only gates hand their value over through here. */
int Mox5UnCook(int32_t iZero, uint32_t hGate, double dValue, void *pValue) {
    (void)iZero, (void)hGate, (void)dValue, (void)pValue;
    return 0;
}

static int Fail(const char *what, uint32_t rc) {
    printf("FAIL %s: result %u\n", what, rc);
    return 1;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: consumer PORT\n");
        return 64;
    }
#ifdef ZEDADAD_LIBRARY
    const char *how = ZEDADAD_LIBRARY;
    void *lib = dlopen(ZEDADAD_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ZevMainFn zev = lib ? (ZevMainFn)dlsym(lib, "ZevMain") : NULL;
    if (zev == NULL) {
        printf("FAIL cannot load %s: %s\n", ZEDADAD_LIBRARY, dlerror());
        return 1;
    }
#else
    const char *how = "the linked driver";
    ZevMainFn zev = ZevMain;
#endif

    _Alignas(8) unsigned char block[96];
    ZevRequest request = {block, ZEV_COLD_START, 1, 0, NULL};
    PortSettings settings;
    memset(&settings, 0, sizeof settings);
    snprintf(settings.szPort, sizeof settings.szPort, "%s", argv[1]);
    settings.bOpenPort = 1;
    settings.iTimeout = 50;
    settings.wBaud = 9600;
    settings.wDataBits = 8;
    request.pParams = &settings;
    uint32_t rc = zev(&request);
    if (rc != ZEV_OK) return Fail("ColdStart", rc);

    GateDefinition def;
    memset(&def, 0, sizeof def);
    def.pszAddress = "01A0010";
    def.iDataType = ZEV_TYPE_LONG;
    request.iFunction = ZEV_SINGLE_ADDRESS_PARSER;
    request.pParams = &def;
    if ((rc = zev(&request)) != ZEV_OK) return Fail("parse 01A0010", rc);

    _Alignas(4) unsigned char value[8] = {0};
    const float setpoint = 42.5f;
    memcpy(value, &setpoint, sizeof setpoint);
    GateRecord gate;
    memset(&gate, 0, sizeof gate);
    gate.pszAddress = def.pszAddress;
    gate.iPlcAddr = def.iPlcAddr;
    gate.iMemType = def.iMemType;
    gate.iTagAddr = def.iTagAddr;
    gate.iBitNo = def.iBitNo;
    gate.iBits = def.iBits;
    gate.iCount = 1;
    gate.hGate = 1;
    gate.pValue = value;
    request.iFunction = ZEV_SINGLE_WRITE;
    request.pParams = &gate;
    if ((rc = zev(&request)) != ZEV_OK) return Fail("write 01A0010", rc);
    const float cleared = -999.0f;
    memcpy(value, &cleared, sizeof cleared);
    request.iFunction = ZEV_SINGLE_READ;
    if ((rc = zev(&request)) != ZEV_OK) return Fail("read 01A0010", rc);

    request.iFunction = ZEV_END_ZEV;
    request.pParams = NULL;
    zev(&request);
    float back;
    memcpy(&back, value, sizeof back);
    if (back != setpoint) {
        printf("FAIL read back %g, wrote %g\n", back, setpoint);
        return 1;
    }
    printf("ok 01A0010 = %g through %s\n", back, how);
    return 0;
}
