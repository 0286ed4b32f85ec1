// Start and stop of logging: the writer thread's life and the state around it.
#include "log/log_state.h"
#include "platform/report.h"

#include <cstdlib>
#include <cstring>
#include <system_error>

void LogWriterThread();

// platform/ reports through its hook; its levels are the log's.
static_assert(REPORT_WARNING == LOG_WARNING && REPORT_INFO == LOG_INFO);

void LogStartup(const char* roleText) {
    LogState& s = LogGlobal();
    std::lock_guard<std::mutex> life(s.lifeMutex);
    if (s.started.load()) return; // already running: one writer per process

    LogLockTake();
    snprintf(s.role, sizeof s.role, "%s", roleText ? roleText : "");
    for (int level = 0; level < LOG_LEVELS; ++level)
        logLevelOn[level] = 1;
    free(s.buffer.block);
    s.buffer = LogBuffer{};
    s.appended = 0;
    LogLockRelease();
    {
        std::lock_guard<std::mutex> guard(s.logSyncMutex);
        s.written = 0;
    }
    {
        std::lock_guard<std::mutex> guard(s.eventMutex);
        s.dataEvent = false;
        s.stopEvent = false;
    }
    s.lastClean.store(0);
    s.lowSpace.store(false);
    s.droppedTraces.store(0);

    s.started.store(1, std::memory_order_release);
    SetReportSink(LogVPrintf);
    LogRotateAtStart();
    s.writerCount.fetch_add(1);
    try {
        s.writer = std::thread(LogWriterThread);
    } catch (const std::system_error&) {
        // No thread: logging stays off for this process.
        s.writerCount.fetch_sub(1);
        s.started.store(0);
    }
}

void LogShutdown() {
    LogState& s = LogGlobal();
    std::lock_guard<std::mutex> life(s.lifeMutex);
    if (!s.started.load()) return;

    if (s.writerCount.load()) LogPrintf(LOG_INFO, "LogShutdown: Waiting for thread to exit.");
    // Close the gate under logLock: a call already past the first test
    // either finished its record before this point or sees the gate shut,
    // so the writer's last flush takes every record there will be.
    LogLockTake();
    s.started.store(0, std::memory_order_release);
    LogLockRelease();
    {
        std::lock_guard<std::mutex> guard(s.eventMutex);
        s.stopEvent = true;
    }
    s.eventCv.notify_one();
    if (s.writer.joinable()) s.writer.join();

    LogLockTake();
    free(s.buffer.block); // nothing can be left, but never leak it
    s.buffer = LogBuffer{};
    LogLockRelease();
}
