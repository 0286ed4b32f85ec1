// The logging state shared by the files of the log module (not for callers
// outside log/).
//
// The state object is created once and never destroyed: a thread that logs
// while the process exits, or right after LogShutdown, still finds a valid
// lock and valid events, and the `started` gate turns it away.
#pragma once

#include "log/log.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

// Growable block of complete records, back to back, each ending in CR LF,
// not terminated. No block: all three fields 0.
struct LogBuffer {
    char* block = nullptr;
    uint32_t used = 0;
    uint32_t allocated = 0;
};

constexpr uint32_t LOG_BUFFER_STEP = 8192;
constexpr uint32_t LOG_BUFFER_DEFAULT_LIMIT = 16u << 20;
// The current bound of the buffer (see LogSetBufferLimit).
uint32_t LogBufferLimit();
constexpr int LOG_ROLE_MAX = 15;  // keeps a dump header far below a line
constexpr int LOG_NAME_MAX = 260; // file names, terminator included

struct LogState {
    std::atomic<int32_t> started{0};

    // Guards buffer, appended and role; taken by every log call, re-entered
    // by the thread holding it (LogClean logs while it holds it).
    std::recursive_mutex logLock;
    LogBuffer buffer;
    uint64_t appended = 0; // records committed since start
    char role[LOG_ROLE_MAX + 1] = "";

    // Writer thread and its two events (data: auto-reset; stop: manual).
    std::atomic<int32_t> writerCount{0};
    std::thread writer;
    std::mutex eventMutex;
    std::condition_variable eventCv;
    bool dataEvent = false;
    bool stopEvent = false;

    // Synchronous mode: `written` is the count of records the writer has
    // taken and handled; a synchronous caller waits for its own record.
    std::mutex logSyncMutex;
    std::condition_variable syncCv;
    uint64_t written = 0;

    // One flush at a time, so blocks reach the file in the order taken.
    std::mutex fileMutex;

    std::atomic<int64_t> lastClean{0};

    // Records that never reached the file (it could not be opened or
    // written, or the buffer had to be dropped) since the last report; the
    // next flush that writes reports them in a record of its own.
    std::atomic<uint64_t> lostRecords{0};
    std::atomic<bool> lossAnnounced{false};

    // TRACE records dropped for lack of free space since the last report
    // (the writer reports them, at most once a second), and whether the free
    // space is below logTraceFloor, as the writer last found it.
    std::atomic<uint64_t> droppedTraces{0};
    std::atomic<bool> lowSpace{false};

    // LogStartup and LogShutdown run one at a time.
    std::mutex lifeMutex;
};

LogState& LogGlobal();

// logLock with a per-thread depth, so a caller can tell that it holds the
// lock already (a synchronous wait would then only wait for itself).
void LogLockTake();
void LogLockRelease();
int LogLockHeld();

// 1 when a record of this level is to be produced now.
int LogGate(int level);
const char* LogTag(int level);
// "%m/%d %H:%M:%S" of LogNow() in local time; out holds at least 16 bytes.
void LogTimeText(char* out, size_t size);

// Under logLock: space of at least LOG_RECORD_MAX bytes right after the used
// bytes, or nullptr when the block could not grow (the buffer is then empty).
char* LogReserve();
// Under logLock: adds one finished record of length bytes.
void LogCommit(uint32_t length);

// After logLock is released: wakes the writer; in synchronous mode waits
// (at most 5 s) until the writer has handled record number `ticket`.
void LogWake(uint64_t ticket);

// 1 when a record of this level may be written now, after LogGate: TRACE
// records are dropped (and counted) while free space is low, or once the
// charged budget of this thread is spent.
int LogTraceAdmit(int level);
// Counts bytes of a written record of this level against the charged budget.
void LogTraceCharge(int level, uint32_t bytes);
// Writer only: checks the free space (at most once a second, or when the
// floor changed) and appends the count of dropped TRACE records to the file.
void LogTraceFloorCheck(const char* fileName);

// logDir + "/" + name into out (LOG_NAME_MAX bytes); 0 when it does not fit.
int LogFileName(char* out, const char* name);
