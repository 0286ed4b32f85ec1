// LogData: a block of bytes as "Data:" lines, printable bytes as themselves,
// every other byte as "{XX}", no line longer than 78 characters before CR LF.
#include "log/log_state.h"

#include <cstdio>

namespace {
constexpr int LOG_DATA_LINE = 78;

// Opens a dump line in the buffer; returns its start or nullptr.
char* LogDataLine(int level, const char* timeText, bool first, int* length) {
    char* out = LogReserve();
    if (!out) return nullptr;
    int n = snprintf(out, LOG_RECORD_MAX, "%-2.2s %s %s %s ", LogTag(level), timeText,
                     LogGlobal().role, first ? "Data:" : "     ");
    *length = n > 0 ? n : 0;
    return out;
}

void LogDataClose(char* line, int length) {
    line[length] = '\r';
    line[length + 1] = '\n';
    LogCommit(length + 2);
}
} // namespace

void LogData(int level, const void* bytes, int32_t length) {
    if (!LogGate(level) || !bytes || length <= 0 || !LogTraceAdmit(level)) return;
    char timeText[32];
    LogTimeText(timeText, sizeof timeText);
    const unsigned char* data = static_cast<const unsigned char*>(bytes);

    LogState& s = LogGlobal();
    LogLockTake(); // held for the whole dump: no record comes between its lines
    if (!s.started.load(std::memory_order_relaxed)) {
        LogLockRelease();
        return;
    }
    uint32_t before = s.buffer.used;
    int used = 0;
    int fresh = 0; // bytes on the current line
    char* line = LogDataLine(level, timeText, true, &used);
    for (int32_t i = 0; line && i < length; ++i) {
        unsigned char c = data[i];
        bool printable = c >= 0x20 && c <= 0x7E;
        bool fits = printable ? used < LOG_DATA_LINE : used + 4 < LOG_DATA_LINE + 1;
        if (!fits && fresh > 0) {
            LogDataClose(line, used);
            line = LogDataLine(level, timeText, false, &used);
            fresh = 0;
            if (!line) break;
        }
        if (printable)
            line[used++] = static_cast<char>(c);
        else
            used += snprintf(line + used, 5, "{%.2X}", c);
        ++fresh;
    }
    if (line) LogDataClose(line, used);
    // The dump's bytes (all of the buffer when it was dropped and begun again).
    LogTraceCharge(level, s.buffer.used >= before ? s.buffer.used - before : s.buffer.used);
    uint64_t ticket = s.appended;
    LogLockRelease();
    LogWake(ticket);
}
