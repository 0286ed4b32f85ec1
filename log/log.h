// The levelled log call, its record format, and the log files with their
// writer thread.
//
// A record is one line: a two-character level tag, the local time
// "%m/%d %H:%M:%S", the role text and the message, ended by CR LF. Records are
// formatted into a shared buffer under one recursive lock and appended to the
// current log file by one writer thread per process.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <ctime>

enum LogLevel {
    LOG_FATAL = 0,
    LOG_WARNING = 1,
    LOG_INFO = 2,
    LOG_NOTICE = 3,
    LOG_TRACE0 = 4,
    LOG_TRACE1 = 5,
    LOG_TRACE2 = 6,
    LOG_TRACE3 = 7,
    LOG_TRACE4 = 8,
    LOG_TRACE5 = 9,
    LOG_LEVELS = 10
};

// Largest record, CR LF included.
constexpr int LOG_RECORD_MAX = 4096;

// Settings of the logging state (the "Log" group of the store). Atomic words
// read without a lock; a change made by another thread applies from the next
// call on.
extern std::atomic<int32_t> logEnable; // "Logging": master switch, 0 = no records
extern std::atomic<int32_t> logAudit;  // "Audit": one record per file transfer (server/audit.h)
extern std::atomic<int32_t> logSync;   // "Logsync": wait until the file is written
extern std::atomic<uint32_t> logSize;  // "Logsize": 0 = daily files, else a.log/b.log limit
extern char logDir[260];               // "Path": directory of the log files, "." by default
extern std::atomic<int32_t> logLevelOn[LOG_LEVELS];
// Bounds on TRACE records (TRACE0 to TRACE5; other levels are always written):
extern std::atomic<uint32_t> logTraceFloor; // "TraceFloor": MiB that must stay free where the log
                                            // is written, else TRACE records are dropped; 0 = none
extern std::atomic<uint32_t>
    logPreLoginTrace; // "PreLoginTrace": bytes of TRACE records a connection
                      // may produce before its login; 0 = no limit
constexpr uint32_t LOG_TRACE_FLOOR_DEFAULT = 256;          // MiB
constexpr uint32_t LOG_PRE_LOGIN_TRACE_DEFAULT = 1u << 16; // bytes

// The TRACE bytes one connection has produced before its login. While a
// thread charges a budget (LogChargeTraces), its TRACE records count against
// it; once logPreLoginTrace is reached they are dropped, and one record says
// so. The owner resets the budget (all zero) when the connection logs in.
struct LogTraceBudget {
    uint32_t used;  // bytes of TRACE records so far
    uint32_t id;    // the connection, as its records name it
    uint8_t spent;  // the record that says so has been written
    uint8_t exempt; // logged in: its records are not counted
};
// This thread's TRACE records count against budget from now on; nullptr
// ends it. The budget must outlive the charge.
void LogChargeTraces(LogTraceBudget* budget);

void LogPrintf(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// 1 when a record of this level would be written now: a caller may skip work
// done only for the record (a system call for a detail, say).
int LogWanted(int level);
void LogVPrintf(int level, const char* format, va_list args);
void LogData(int level, const void* bytes, int32_t length);
void LogSysError(uint32_t error, const char* name, const char* what);

// Text of a system error code as the log shows it (empty when the system has
// none). Written into out, at most size-1 characters.
void LogErrorText(uint32_t error, char* out, size_t size);

void LogStartup(const char* roleText);
void LogShutdown();
void LogRotateAtStart();
void LogFlush();
void LogClean();

// The clock of the log: records, daily file names and LogClean read it.
// Tests replace it to cross midnight; nullptr restores the system clock.
using LogClockFn = time_t (*)();
void LogSetClock(LogClockFn clock);
time_t LogNow();

// Most bytes of records held in memory while the writer is held up (a slow
// or hung disk); past it the buffered records are dropped, as when memory
// runs out, and buffering starts again. 0 restores the default of 16 MiB.
void LogSetBufferLimit(uint32_t bytes);
