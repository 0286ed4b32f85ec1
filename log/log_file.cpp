// The log files: their names, the writer's flush of the shared buffer into
// the current file, the retirement of a full "a.log", and the renames at
// start-up.
#include "log/log_state.h"
#include "platform/fileappend.h"
#include "platform/filemove.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

namespace fs = std::filesystem;

int LogFileName(char* out, const char* name) {
    // logDir may be changed by the settings page at any time; read it once,
    // bounded, in case it is momentarily unterminated.
    size_t dirLength = strnlen(logDir, sizeof logDir - 1);
    int n = snprintf(out, LOG_NAME_MAX, "%.*s/%s", static_cast<int>(dirLength), logDir, name);
    return n > 0 && n < LOG_NAME_MAX;
}

// Name of the file the next flush appends to.
static int LogCurrentName(char* out) {
    if (logSize) return LogFileName(out, "a.log");
    time_t now = LogNow();
    struct tm local {};
    char day[16];
    if (!localtime_r(&now, &local) || strftime(day, sizeof day, "%y%m%d.log", &local) == 0)
        return 0;
    return LogFileName(out, day);
}

// Log files are readable by their owner and group only: records carry
// client addresses, user names and paths.
constexpr uint32_t LOG_FILE_MODE = 0640;

// Appends the block to the named file and returns the file's size after it,
// or -1 when the file could not be opened. Only a regular file (or none yet)
// is written: a pipe or device would block the writer, and with it every
// synchronous caller and the shutdown.
static long LogAppend(const char* name, const char* block, uint32_t count, uint32_t* unwritten) {
    return (long)FileAppend(name, block, count, LOG_FILE_MODE, unwritten);
}

// Records (CR LF ends each) that start in the last `tail` bytes of a block
// or run into them.
static uint64_t RecordsIn(const char* block, uint32_t used, uint32_t tail) {
    if (tail == 0) return 0;
    uint64_t n = 0;
    for (uint32_t i = used - tail; i + 1 < used; i++)
        if (block[i] == '\r' && block[i + 1] == '\n') n++;
    // A record cut by the failure counts too.
    if (used - tail > 0 && !(block[used - tail - 1] == '\n')) n++;
    return n;
}

// Records that did not reach the file are not lost silently: the first loss
// of a run is said on standard error at once (the log itself may be what
// fails), and the next flush that writes puts their count in the log.
static void NoteLoss(const char* name, uint64_t records) {
    LogState& s = LogGlobal();
    s.lostRecords.fetch_add(records);
    if (!s.lossAnnounced.exchange(true))
        fprintf(stderr, "dockhand: log records cannot be written to %s\n", name);
}

// Before records go to the file after a loss: one record of its own that
// says how many never arrived. Written by the writer itself (a log call here
// would wait for this very flush in synchronous mode).
static void ReportLoss(const char* name) {
    LogState& s = LogGlobal();
    uint64_t lost = s.lostRecords.load();
    if (!lost) return;
    char timeText[32];
    LogTimeText(timeText, sizeof timeText);
    char record[256];
    LogLockTake();
    int n =
        snprintf(record, sizeof record,
                 "%-2.2s %s %sLogFlush: %llu log records could not be written before this one\r\n",
                 LogTag(LOG_WARNING), timeText, s.role, (unsigned long long)lost);
    LogLockRelease();
    if (n <= 0 || n >= (int)sizeof record) return;
    uint32_t unwritten = 0;
    if (LogAppend(name, record, (uint32_t)n, &unwritten) >= 0 && unwritten == 0) {
        s.lostRecords.fetch_sub(lost);
        s.lossAnnounced = false;
    }
}

void LogFlush() {
    LogState& s = LogGlobal();
    std::lock_guard<std::mutex> oneFlush(s.fileMutex);
    char name[LOG_NAME_MAX];
    int named = LogCurrentName(name);

    LogLockTake();
    LogBuffer taken = s.buffer;
    s.buffer = LogBuffer{};
    uint64_t upTo = s.appended;
    LogLockRelease();

    uint32_t unwritten = 0;
    long size = -1;
    if (named) LogTraceFloorCheck(name);
    if (named && taken.used) ReportLoss(name);
    if (named) {
        size = LogAppend(name, taken.block, taken.used, &unwritten);
        uint32_t limit = logSize;
        if (limit && size >= 0 && static_cast<unsigned long>(size) >= limit) {
            char retired[LOG_NAME_MAX];
            if (LogFileName(retired, "b.log")) {
                std::error_code ec;
                fs::remove(retired, ec);
                FileMove(name, retired);
            }
        }
    }
    if (taken.used && (size < 0 || unwritten)) {
        NoteLoss(named ? name : "the log directory",
                 size < 0 ? RecordsIn(taken.block, taken.used, taken.used)
                          : RecordsIn(taken.block, taken.used, unwritten));
    }
    free(taken.block);

    {
        std::lock_guard<std::mutex> guard(s.logSyncMutex);
        if (upTo > s.written) s.written = upTo;
    }
    s.syncCv.notify_all();
}

void LogWriterThread() {
    LogState& s = LogGlobal();
    for (;;) {
        bool stop;
        {
            // While TRACE records are being dropped for lack of space, the
            // writer wakes each second to check the space and report them.
            std::unique_lock<std::mutex> lock(s.eventMutex);
            auto woken = [&] { return s.stopEvent || s.dataEvent; };
            if (s.lowSpace.load())
                s.eventCv.wait_for(lock, std::chrono::seconds(1), woken);
            else
                s.eventCv.wait(lock, woken);
            stop = s.stopEvent;
            if (!stop) s.dataEvent = false; // auto-reset
        }
        if (stop) break;
        LogLockTake();
        bool pending = s.buffer.used != 0 || s.lowSpace.load();
        LogLockRelease();
        if (pending) LogFlush();
    }
    // Last pass: writes whatever was logged until the stop, and creates or
    // touches the current file even when nothing is pending.
    LogFlush();
    s.writerCount.fetch_sub(1);
}

void LogRotateAtStart() {
    if (!logSize) return;
    char from[LOG_NAME_MAX], to[LOG_NAME_MAX];
    LogLockTake();
    if (LogFileName(from, "a.log") && LogFileName(to, "save_a.log")) FileMove(from, to);
    if (LogFileName(from, "b.log") && LogFileName(to, "save_b.log")) FileMove(from, to);
    LogLockRelease();
}
