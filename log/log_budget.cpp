// Bounds on TRACE records: a free-space floor for the log's file system and
// a budget of TRACE bytes per connection before its login, so that a client
// cannot fill the disk through the trace levels.
#include "log/log_state.h"
#include "platform/fileappend.h"

#include <chrono>
#include <cstdio>
#include <cstring>

std::atomic<uint32_t> logTraceFloor{LOG_TRACE_FLOOR_DEFAULT};
std::atomic<uint32_t> logPreLoginTrace{LOG_PRE_LOGIN_TRACE_DEFAULT};

namespace {
thread_local LogTraceBudget* charged = nullptr;

// Writer thread only.
std::chrono::steady_clock::time_point lastCheck{};
uint32_t checkedFloor = 0;
bool everChecked = false;
} // namespace

void LogChargeTraces(LogTraceBudget* budget) {
    charged = budget;
}

int LogTraceAdmit(int level) {
    if (level < LOG_TRACE0) return 1;
    LogState& s = LogGlobal();
    if (s.lowSpace.load(std::memory_order_relaxed)) {
        s.droppedTraces.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    LogTraceBudget* budget = charged;
    uint32_t limit = logPreLoginTrace.load(std::memory_order_relaxed);
    if (!budget || budget->exempt || !limit || budget->used < limit) return 1;
    if (!budget->spent) {
        budget->spent = 1;
        charged = nullptr; // the record below is not charged, nor dropped
        LogPrintf(LOG_INFO,
                  "Connection %u wrote %u bytes of trace records before its login; its further "
                  "trace records are dropped until it logs in",
                  budget->id, budget->used);
        charged = budget;
    }
    return 0;
}

void LogTraceCharge(int level, uint32_t bytes) {
    LogTraceBudget* budget = charged;
    if (level >= LOG_TRACE0 && budget && !budget->exempt) budget->used += bytes;
}

void LogTraceFloorCheck(const char* fileName) {
    LogState& s = LogGlobal();
    auto now = std::chrono::steady_clock::now();
    uint32_t floor = logTraceFloor.load();
    if (everChecked && floor == checkedFloor && now - lastCheck < std::chrono::seconds(1)) return;
    everChecked = true;
    lastCheck = now;
    checkedFloor = floor;
    bool low = false;
    if (floor) {
        size_t dirLength = strnlen(logDir, sizeof logDir - 1);
        char dir[LOG_NAME_MAX];
        snprintf(dir, sizeof dir, "%.*s", static_cast<int>(dirLength), logDir);
        int64_t free = FileFreeBytes(dir);
        low = free >= 0 && free < (int64_t)floor * (1 << 20);
    }
    s.lowSpace.store(low, std::memory_order_relaxed);

    uint64_t dropped = s.droppedTraces.load();
    if (!dropped) return;
    char timeText[32];
    LogTimeText(timeText, sizeof timeText);
    char record[256];
    LogLockTake();
    int n = snprintf(record, sizeof record,
                     "%-2.2s %s %sLogFlush: %llu trace records dropped: less than %u MiB free for "
                     "the log\r\n",
                     LogTag(LOG_WARNING), timeText, s.role, (unsigned long long)dropped, floor);
    LogLockRelease();
    if (n <= 0 || n >= (int)sizeof record) return;
    uint32_t unwritten = 0;
    if (FileAppend(fileName, record, (uint32_t)n, 0640, &unwritten) >= 0 && unwritten == 0)
        s.droppedTraces.fetch_sub(dropped);
}
