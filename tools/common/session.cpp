// One driver instance, driven through ZevMain as the host drives it.
#include <cstring>

#include "host.h"

namespace rovod {

uint32_t Call(Session *session, uint32_t function, void *params) {
    session->request.iFunction = function;
    session->request.pParams = params;
    return session->pZevMain(&session->request);
}

uint32_t GetInfo(Session *session, ZevInfo *info) {
    ZevRequest request{};
    request.iFunction = ZEV_GET_ZEV_INFO;
    request.pParams = info;
    return session->pZevMain(&request);
}

namespace {

// The name and the line settings, which PortSettings and PortChange share.
template <typename Record>
void FillPort(Record *record, const PortOptions &port) {
    std::snprintf(record->szPort, sizeof record->szPort, "%s", port.port.c_str());
    record->wBaud = port.baud;
    record->wDataBits = port.dataBits;
    record->wStopBits = port.stopBits;
    record->wParity = port.parity;
}

bool Logged(const char *text) {
    for (const LogEntry &line : DriverLog())
        if (line.text == text) return true;
    return false;
}

// What the driver said about a failed open: the line after its
// "OpenCom() failed" names the cause and what to do; "" when it gave none.
std::string OpenFailure() {
    const std::vector<LogEntry> &log = DriverLog();
    for (size_t i = 0; i + 1 < log.size(); ++i) {
        if (log[i].text != "ROVOD> OpenCom() failed") continue;
        const std::string prefix = "ROVOD> OpenCom() ";
        if (log[i + 1].text.rfind(prefix, 0) == 0) return ": " + log[i + 1].text.substr(prefix.size());
    }
    return "";
}

}  // namespace

uint32_t StartSession(Session *session, const PortOptions &port, std::string *pError) {
    ZevInfo info{};
    GetInfo(session, &info);
    // The block is the host's: as large as the driver says, zeroed.
    const size_t bytes = info.iContextSize ? info.iContextSize : 96;
    session->context.assign((bytes + 7) / 8, 0);
    session->request.pContext = session->context.data();
    session->request.iInstance = port.instance;
    PortSettings settings{};
    FillPort(&settings, port);
    settings.bOpenPort = 1;
    settings.iTimeout = port.timeout;
    DriverLog().clear();
    const uint32_t result = Call(session, ZEV_COLD_START, &settings);
    session->bStarted = true;
    if (result != 0) {
        *pError = "ColdStart failed with result " + std::to_string(result);
        return result;
    }
    // ColdStart succeeds without a port; the host learns of it from the log.
    if (Logged("ROVOD> ColdStart() error opening COM port")) {
        *pError = "cannot open port " + port.port + OpenFailure();
        return ZEV_LINE_FAILURE;
    }
    return 0;
}

uint32_t StartPortless(Session *session, uint32_t instance) {
    ZevInfo info{};
    GetInfo(session, &info);
    const size_t bytes = info.iContextSize ? info.iContextSize : 96;
    session->context.assign((bytes + 7) / 8, 0);
    session->request.pContext = session->context.data();
    session->request.iInstance = instance;
    PortSettings settings{};
    // The line settings only give the character time; no port is opened.
    settings.wBaud = 9600;
    settings.wDataBits = 8;
    DriverLog().clear();
    const uint32_t result = Call(session, ZEV_COLD_START, &settings);
    session->bStarted = true;
    return result;
}

uint32_t ClosePort(Session *session) {
    DriverLog().clear();
    return Call(session, ZEV_CLOSE_COM, nullptr);
}

uint32_t ReopenPort(Session *session, std::string *pError) {
    DriverLog().clear();
    const uint32_t result = Call(session, ZEV_REOPEN_COM, nullptr);
    if (result != 0) *pError = "ReOpenCom failed" + OpenFailure();
    return result;
}

bool PortLost() {
    for (const LogEntry &line : DriverLog())
        if (line.text.find(" lost: the device is gone") != std::string::npos) return true;
    return false;
}

uint32_t ChangePort(Session *session, const PortOptions &port, std::string *pError) {
    PortChange change{};
    FillPort(&change, port);
    change.iTimeout = static_cast<int32_t>(port.timeout);
    DriverLog().clear();
    const uint32_t result = Call(session, ZEV_CHANGE_ZEV_PARAMS, &change);
    if (result != 0)
        *pError =
            "cannot reopen port " + port.port + " at " + std::to_string(port.baud) + " baud" + OpenFailure();
    return result;
}

uint32_t ParseGate(Session *session, Gate *gate) {
    DriverLog().clear();
    const uint32_t result =
        Call(session, gate->bBlock ? ZEV_BLOCK_ADDRESS_PARSER : ZEV_SINGLE_ADDRESS_PARSER, &gate->def);
    if (result == 0) {
        gate->rec.iPlcAddr = gate->def.iPlcAddr;
        gate->rec.iMemType = gate->def.iMemType;
        gate->rec.iTagAddr = gate->def.iTagAddr;
        gate->rec.iBitNo = gate->def.iBitNo;
        gate->rec.iBits = gate->def.iBits;
    }
    gate->lastResult = result;
    gate->lastLine = result && !DriverLog().empty() ? DriverLog().back().text : "";
    return result;
}

namespace {

uint32_t Transfer(Session *session, Gate *gate, uint32_t function) {
    DriverLog().clear();
    const uint32_t result = Call(session, function, &gate->rec);
    for (const LogEntry &line : DriverLog())
        if (line.text.find("() Retry ") != std::string::npos) ++gate->retries;
    gate->lastResult = result;
    gate->lastLine.clear();
    if (result != 0) {
        ++gate->errors;
        // The line before the operation's own "ret val" line names the cause.
        for (const LogEntry &line : DriverLog())
            if (line.text.find("ret val") == std::string::npos) gate->lastLine = line.text;
    }
    return result;
}

}  // namespace

uint32_t ReadGate(Session *session, Gate *gate) {
    return Transfer(session, gate, gate->bBlock ? ZEV_BLOCK_READ : ZEV_SINGLE_READ);
}

uint32_t WriteGate(Session *session, Gate *gate) {
    return Transfer(session, gate, gate->bBlock ? ZEV_BLOCK_WRITE : ZEV_SINGLE_WRITE);
}

void EndSession(Session *session) {
    if (!session->bStarted) return;
    Call(session, ZEV_END_ZEV, nullptr);
    session->bStarted = false;
}

const char *ResultText(uint32_t result) {
    switch (result) {
        case 0:
            return "ok";
        case 1:
            return "rejected or unusable reply";
        case 2:
            return "line failure or no reply";
        case 3:
            return "refused by the controller or value not representable";
        default:
            return "unknown result";
    }
}

}  // namespace rovod
