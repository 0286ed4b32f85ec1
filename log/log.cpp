// Placeholder until the log module lands: every call does nothing.
#include "log/log.h"

volatile int32_t logEnable = 0;
volatile int32_t logSync = 0;
volatile uint32_t logSize = 0;
char logDir[260] = ".";
volatile int32_t logLevelOn[LOG_LEVELS] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1};

void LogPrintf(int, const char*, ...) {}
void LogVPrintf(int, const char*, va_list) {}
void LogData(int, const void*, int32_t) {}
void LogSysError(uint32_t, const char*, const char*) {}
void LogErrorText(uint32_t, char* out, size_t size) { if (size) out[0] = 0; }
void LogStartup(const char*) {}
void LogShutdown() {}
void LogRotateAtStart() {}
void LogFlush() {}
void LogClean() {}
static LogClockFn logClock = nullptr;
void LogSetClock(LogClockFn clock) { logClock = clock; }
time_t LogNow() { return logClock ? logClock() : time(nullptr); }
