// The "Log" group: the logging settings, which live in the log module.
#include "config/reg_group.h"
#include "config/value_rules.h"
#include "log/log.h"

namespace {
const char* const kTraceNames[] = {"TRACE0", "TRACE1", "TRACE2", "TRACE3", "TRACE4", "TRACE5"};
}

// Missing values keep what memory holds; a missing trace switch is on,
// except TRACE5.
void GetRegLog() {
    HKEY key = RegGroupOpen("Log", "GetRegLog", false);
    if (!key) return;
    logEnable = (int32_t)RegGetDword(key, "Logging", (uint32_t)logEnable);
    logSize = RegGetDword(key, "Logsize", logSize);
    logSync = (int32_t)RegGetDword(key, "Logsync", (uint32_t)logSync);
    for (int i = 0; i < 6; i++)
        logLevelOn[LOG_TRACE0 + i] = (int32_t)RegGetDword(key, kTraceNames[i], i < 5 ? 1 : 0);
    RegGetString(key, "Path", logDir, sizeof logDir);
    logAudit = (int32_t)RegGetCheckedDword(key, "GetRegLog", "Log", "Audit");
    logTraceFloor = RegGetCheckedDword(key, "GetRegLog", "Log", "TraceFloor");
    logPreLoginTrace = RegGetCheckedDword(key, "GetRegLog", "Log", "PreLoginTrace");
    RegGroupClose(key, "GetRegLog");
}

// The trace switches are written as TRACE0 to TRACE4 on and TRACE5 off,
// whatever memory holds.
void SetRegLog() {
    HKEY key = RegGroupOpen("Log", "SetRegLog", true);
    if (!key) return;
    RegSetDword(key, "Logging", (uint32_t)logEnable);
    RegSetDword(key, "Logsize", logSize);
    RegSetDword(key, "Logsync", (uint32_t)logSync);
    for (int i = 0; i < 6; i++)
        RegSetDword(key, kTraceNames[i], i < 5 ? 1 : 0);
    RegSetString(key, "Path", logDir);
    RegGroupClose(key, "SetRegLog");
}
