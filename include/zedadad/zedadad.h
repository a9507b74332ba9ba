/*
 * ZEDADAD host interface: the records the host exchanges with the driver,
 * the result codes and function numbers, the exported entry point and the
 * two functions the driver imports from the host module (DERUDE).
 *
 * Usable from C and C++. Field order and widths are fixed by the host;
 * pointers have native width and alignment is natural, so on 32-bit targets
 * every offset is the host's own (checked below).
 */
#ifndef ZEDADAD_ZEDADAD_H
#define ZEDADAD_ZEDADAD_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define ZEV_EXPORT
#define ZEV_CALL __cdecl
#else
#define ZEV_EXPORT __attribute__((visibility("default")))
#define ZEV_CALL
#endif

#if defined(__GNUC__)
#define ZEV_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define ZEV_PRINTF(fmt, args)
#endif

/* Result codes returned by every operation (widened to 32 bits by ZevMain). */
enum ZevResult {
    ZEV_OK = 0,           /* success; also every call after EndZev */
    ZEV_REJECTED = 1,     /* request rejected or reply unusable */
    ZEV_LINE_FAILURE = 2, /* line or resource failure, or no such function */
    ZEV_REFUSED = 3       /* controller refused (NAK) or value not representable */
};

/* Function numbers of ZevRequest.iFunction. 8, 9 and 16 have no operation. */
enum ZevFunction {
    ZEV_COLD_START = 1,
    ZEV_WARM_START = 2,
    ZEV_SINGLE_ADDRESS_PARSER = 3,
    ZEV_BLOCK_ADDRESS_PARSER = 4,
    ZEV_SINGLE_READ = 5,
    ZEV_BLOCK_READ = 6,
    ZEV_SINGLE_WRITE = 7,
    ZEV_BLOCK_WRITE = 10,
    ZEV_END_ZEV = 11,
    ZEV_CLOSE_COM = 12,
    ZEV_REOPEN_COM = 13,
    ZEV_GET_ZEV_INFO = 14,
    ZEV_CHANGE_ZEV_PARAMS = 15,
    ZEV_FUNCTION_COUNT = 16
};

/* Categories of the lines written through err(). */
enum ZevLogCategory {
    ZEV_LOG_TRACE = 8,  /* progress, trace, per-operation results */
    ZEV_LOG_ALERT = 32, /* resource failures, function-number errors, control-signal file */
    ZEV_LOG_INFO = 64   /* GetZevInfo only */
};

/* Host data type codes (GateDefinition.iDataType) as the parsers know them. */
enum ZevDataType {
    ZEV_TYPE_ANALOG16_0 = 0,
    ZEV_TYPE_ANALOG16_1 = 1,
    ZEV_TYPE_ANALOG16_2 = 2,
    ZEV_TYPE_LONG = 3,
    ZEV_TYPE_DIGITAL = 6,
    ZEV_TYPE_STRING = 7
};

/* Memory type code of a parameter gate ($DEBUG, $FDELAY, $IFG, $TPPOS). */
#define ZEV_MEMTYPE_PARAMETER 336
#define ZEV_PARAMETER_PLC 255

/* The record passed by pointer to ZevMain. */
typedef struct ZevRequest {
    void *pContext;     /* the instance's working block (size from GetZevInfo) */
    uint32_t iFunction; /* function number 1..16, compared unsigned */
    uint32_t iInstance; /* names the control-signal file */
    uint32_t iHostWord; /* the host's; never read by the driver */
    void *pParams;      /* the operation's parameter record */
} ZevRequest;

/* Parameter record of ColdStart. */
typedef struct PortSettings {
    char szPort[12];   /* device name, at most 11 characters */
    int32_t bOpenPort; /* nonzero: take over the settings and open the port */
    uint32_t iTimeout; /* reply time-out in units of 10 ms */
    uint16_t wBaud;
    uint16_t wDataBits;
    uint16_t wStopBits; /* 0 one, 1 one and a half, 2 two */
    uint16_t wParity;   /* 0 none, 1 odd, 2 even, 3 mark, 4 space */
} PortSettings;

/* Parameter record of ChangeZevParams; its line parameters start 4 bytes earlier. */
typedef struct PortChange {
    char szPort[12];  /* new device name; always taken */
    int32_t iTimeout; /* 0 or -1 keep the current time-out */
    uint16_t wBaud;   /* 0 keeps all four current line parameters */
    uint16_t wDataBits;
    uint16_t wStopBits;
    uint16_t wParity;
} PortChange;

/* Record filled by GetZevInfo. */
typedef struct ZevInfo {
    uint32_t iInfo0;       /* 70 */
    const char *pszTitle;  /* "Process Controllers TK" */
    const char *pszBanner; /* boxed banner, code page 437 */
    uint32_t iContextSize; /* bytes of the working block the host provides */
    uint32_t iInfo16;      /* 4 */
    uint16_t wDefBaud;
    uint16_t wDefDataBits;
    uint16_t wDefStopBits;
    uint16_t wDefParity;
    uint32_t iInfo28; /* 1 */
} ZevInfo;

/* Definition record handed to the address parsers (functions 3 and 4). */
typedef struct GateDefinition {
    const char *pszAddress; /* the gate's address string */
    uint32_t iHostWord4;    /* the host's */
    int32_t iDataType;      /* ZevDataType */
    int32_t iBlockSize;     /* elements of a block gate */
    int32_t iPlcAddr;       /* written by the parsers from here on */
    int32_t iMemType;
    int32_t iTagAddr;
    int32_t iBitNo;
    int32_t iBits;
} GateDefinition;

/* I/O record passed with every read and write (functions 5, 6, 7, 10). */
typedef struct GateRecord {
    const char *pszAddress;
    uint32_t iHostWord4;
    int32_t iPlcAddr;
    int32_t iMemType;
    int32_t iTagAddr;
    int32_t iBitNo;
    int32_t iBits;
    uint32_t iHostWord28;
    int32_t iCount; /* elements to transfer; type 3 blocks may rewrite it */
    uint32_t hGate; /* the host's handle, passed back to Mox5UnCook */
    void *pValue;   /* the host's value buffer */
    uint32_t iHostWord44;
} GateRecord;

/* The one export. */
ZEV_EXPORT uint32_t ZEV_CALL ZevMain(ZevRequest *pRequest);

/* Imported from the host module. */
int ZEV_CALL err(int32_t iCategory, const char *pszFormat, ...) ZEV_PRINTF(2, 3);
int ZEV_CALL Mox5UnCook(int32_t iZero, uint32_t hGate, double dValue, void *pValue);

#ifdef __cplusplus
}
#endif

/* The host's offsets, which hold wherever pointers are 32 bits wide. */
#if defined(__cplusplus)
#define ZEV_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define ZEV_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#if UINTPTR_MAX == 0xFFFFFFFFu
ZEV_STATIC_ASSERT(offsetof(ZevRequest, pContext) == 0, "ZevRequest.pContext");
ZEV_STATIC_ASSERT(offsetof(ZevRequest, iFunction) == 4, "ZevRequest.iFunction");
ZEV_STATIC_ASSERT(offsetof(ZevRequest, iInstance) == 8, "ZevRequest.iInstance");
ZEV_STATIC_ASSERT(offsetof(ZevRequest, iHostWord) == 12, "ZevRequest.iHostWord");
ZEV_STATIC_ASSERT(offsetof(ZevRequest, pParams) == 16, "ZevRequest.pParams");
ZEV_STATIC_ASSERT(sizeof(ZevRequest) == 20, "ZevRequest size");

ZEV_STATIC_ASSERT(offsetof(PortSettings, szPort) == 0, "PortSettings.szPort");
ZEV_STATIC_ASSERT(offsetof(PortSettings, bOpenPort) == 12, "PortSettings.bOpenPort");
ZEV_STATIC_ASSERT(offsetof(PortSettings, iTimeout) == 16, "PortSettings.iTimeout");
ZEV_STATIC_ASSERT(offsetof(PortSettings, wBaud) == 20, "PortSettings.wBaud");
ZEV_STATIC_ASSERT(offsetof(PortSettings, wDataBits) == 22, "PortSettings.wDataBits");
ZEV_STATIC_ASSERT(offsetof(PortSettings, wStopBits) == 24, "PortSettings.wStopBits");
ZEV_STATIC_ASSERT(offsetof(PortSettings, wParity) == 26, "PortSettings.wParity");
ZEV_STATIC_ASSERT(sizeof(PortSettings) == 28, "PortSettings size");

ZEV_STATIC_ASSERT(offsetof(PortChange, szPort) == 0, "PortChange.szPort");
ZEV_STATIC_ASSERT(offsetof(PortChange, iTimeout) == 12, "PortChange.iTimeout");
ZEV_STATIC_ASSERT(offsetof(PortChange, wBaud) == 16, "PortChange.wBaud");
ZEV_STATIC_ASSERT(offsetof(PortChange, wDataBits) == 18, "PortChange.wDataBits");
ZEV_STATIC_ASSERT(offsetof(PortChange, wStopBits) == 20, "PortChange.wStopBits");
ZEV_STATIC_ASSERT(offsetof(PortChange, wParity) == 22, "PortChange.wParity");
ZEV_STATIC_ASSERT(sizeof(PortChange) == 24, "PortChange size");

ZEV_STATIC_ASSERT(offsetof(ZevInfo, iInfo0) == 0, "ZevInfo.0");
ZEV_STATIC_ASSERT(offsetof(ZevInfo, pszTitle) == 4, "ZevInfo.pszTitle");
ZEV_STATIC_ASSERT(offsetof(ZevInfo, pszBanner) == 8, "ZevInfo.pszBanner");
ZEV_STATIC_ASSERT(offsetof(ZevInfo, iContextSize) == 12, "ZevInfo.iContextSize");
ZEV_STATIC_ASSERT(offsetof(ZevInfo, iInfo16) == 16, "ZevInfo.16");
ZEV_STATIC_ASSERT(offsetof(ZevInfo, wDefBaud) == 20, "ZevInfo.wDefBaud");
ZEV_STATIC_ASSERT(offsetof(ZevInfo, wDefDataBits) == 22, "ZevInfo.wDefDataBits");
ZEV_STATIC_ASSERT(offsetof(ZevInfo, wDefStopBits) == 24, "ZevInfo.wDefStopBits");
ZEV_STATIC_ASSERT(offsetof(ZevInfo, wDefParity) == 26, "ZevInfo.wDefParity");
ZEV_STATIC_ASSERT(offsetof(ZevInfo, iInfo28) == 28, "ZevInfo.28");
ZEV_STATIC_ASSERT(sizeof(ZevInfo) == 32, "ZevInfo size");

ZEV_STATIC_ASSERT(offsetof(GateDefinition, pszAddress) == 0, "GateDefinition.pszAddress");
ZEV_STATIC_ASSERT(offsetof(GateDefinition, iDataType) == 8, "GateDefinition.iDataType");
ZEV_STATIC_ASSERT(offsetof(GateDefinition, iBlockSize) == 12, "GateDefinition.iBlockSize");
ZEV_STATIC_ASSERT(offsetof(GateDefinition, iPlcAddr) == 16, "GateDefinition.iPlcAddr");
ZEV_STATIC_ASSERT(offsetof(GateDefinition, iMemType) == 20, "GateDefinition.iMemType");
ZEV_STATIC_ASSERT(offsetof(GateDefinition, iTagAddr) == 24, "GateDefinition.iTagAddr");
ZEV_STATIC_ASSERT(offsetof(GateDefinition, iBitNo) == 28, "GateDefinition.iBitNo");
ZEV_STATIC_ASSERT(offsetof(GateDefinition, iBits) == 32, "GateDefinition.iBits");
ZEV_STATIC_ASSERT(sizeof(GateDefinition) == 36, "GateDefinition size");

ZEV_STATIC_ASSERT(offsetof(GateRecord, pszAddress) == 0, "GateRecord.pszAddress");
ZEV_STATIC_ASSERT(offsetof(GateRecord, iPlcAddr) == 8, "GateRecord.iPlcAddr");
ZEV_STATIC_ASSERT(offsetof(GateRecord, iMemType) == 12, "GateRecord.iMemType");
ZEV_STATIC_ASSERT(offsetof(GateRecord, iTagAddr) == 16, "GateRecord.iTagAddr");
ZEV_STATIC_ASSERT(offsetof(GateRecord, iBitNo) == 20, "GateRecord.iBitNo");
ZEV_STATIC_ASSERT(offsetof(GateRecord, iBits) == 24, "GateRecord.iBits");
ZEV_STATIC_ASSERT(offsetof(GateRecord, iCount) == 32, "GateRecord.iCount");
ZEV_STATIC_ASSERT(offsetof(GateRecord, hGate) == 36, "GateRecord.hGate");
ZEV_STATIC_ASSERT(offsetof(GateRecord, pValue) == 40, "GateRecord.pValue");
ZEV_STATIC_ASSERT(sizeof(GateRecord) == 48, "GateRecord size");
#endif

#endif /* ZEDADAD_ZEDADAD_H */
