// Settings of the logging state, the state itself, the clock, and the small
// helpers every log call shares (gate, tag, time text, lock depth).
#include "log/log_state.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

std::atomic<int32_t> logEnable{0};
std::atomic<int32_t> logAudit{0};
std::atomic<int32_t> logSync{0};
std::atomic<uint32_t> logSize{0};
char logDir[260] = ".";
std::atomic<int32_t> logLevelOn[LOG_LEVELS] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1};

namespace {
std::atomic<LogClockFn> logClock{nullptr};
std::atomic<uint32_t> logBufferLimit{LOG_BUFFER_DEFAULT_LIMIT};
thread_local int logLockDepth = 0;

const char* const logTags[LOG_LEVELS] = {"F", "W", "I", "N", "T0", "T1", "T2", "T3", "T4", "T5"};
} // namespace

LogState& LogGlobal() {
    // Deliberately never freed: see log_state.h.
    static LogState* state = new LogState;
    return *state;
}

void LogSetClock(LogClockFn clock) {
    logClock.store(clock);
}

time_t LogNow() {
    LogClockFn clock = logClock.load();
    return clock ? clock() : time(nullptr);
}

void LogSetBufferLimit(uint32_t bytes) {
    if (bytes == 0) bytes = LOG_BUFFER_DEFAULT_LIMIT;
    // At least two steps, and far from the 32-bit end so sizes never wrap.
    bytes = std::clamp<uint32_t>(bytes, 2 * LOG_BUFFER_STEP, 1u << 30);
    logBufferLimit.store(bytes);
}

uint32_t LogBufferLimit() {
    return logBufferLimit.load(std::memory_order_relaxed);
}

void LogLockTake() {
    LogGlobal().logLock.lock();
    ++logLockDepth;
}

void LogLockRelease() {
    --logLockDepth;
    LogGlobal().logLock.unlock();
}

int LogLockHeld() {
    return logLockDepth > 0;
}

int LogGate(int level) {
    if (level < 0 || level >= LOG_LEVELS) return 0;
    if (!LogGlobal().started.load(std::memory_order_acquire)) return 0;
    return logEnable && logLevelOn[level];
}

int LogWanted(int level) {
    return LogGate(level);
}

const char* LogTag(int level) {
    return logTags[level];
}

void LogTimeText(char* out, size_t size) {
    time_t now = LogNow();
    struct tm local {};
    if (!localtime_r(&now, &local) || strftime(out, size, "%m/%d %H:%M:%S", &local) == 0)
        snprintf(out, size, "00/00 00:00:00");
}
