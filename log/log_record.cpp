// LogPrintf: one record into the shared buffer, then a wake-up of the
// writer (and, in synchronous mode, a bounded wait for the file).
#include "log/log_state.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

char* LogReserve() {
    LogBuffer& b = LogGlobal().buffer;
    if (!b.block) {
        b.block = static_cast<char*>(calloc(LOG_BUFFER_STEP, 1));
        if (!b.block) return nullptr;
        b.used = 0;
        b.allocated = LOG_BUFFER_STEP;
    } else if (b.used + LOG_RECORD_MAX >= b.allocated) {
        char* grown = b.allocated + LOG_BUFFER_STEP > LogBufferLimit()
                          ? nullptr
                          : static_cast<char*>(realloc(b.block, b.allocated + LOG_BUFFER_STEP));
        if (!grown) {
            // Out of memory: the buffered records are dropped with this one,
            // and counted for the next report.
            uint64_t dropped = 1;
            for (uint32_t i = 0; i + 1 < b.used; i++)
                if (b.block[i] == '\r' && b.block[i + 1] == '\n') dropped++;
            LogGlobal().lostRecords.fetch_add(dropped);
            free(b.block);
            b = LogBuffer{};
            return nullptr;
        }
        b.block = grown;
        b.allocated += LOG_BUFFER_STEP;
    }
    return b.block + b.used;
}

void LogCommit(uint32_t length) {
    LogState& s = LogGlobal();
    s.buffer.used += length;
    ++s.appended;
}

void LogWake(uint64_t ticket) {
    LogState& s = LogGlobal();
    {
        std::lock_guard<std::mutex> guard(s.eventMutex);
        s.dataEvent = true;
    }
    s.eventCv.notify_one();
    // A caller that still holds logLock (LogClean) would only wait for
    // itself: the writer cannot take the buffer until it lets go.
    if (!logSync || LogLockHeld()) return;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::unique_lock<std::mutex> lock(s.logSyncMutex);
    s.syncCv.wait_until(lock, deadline, [&] { return s.written >= ticket; });
}

namespace {

// A record is one line of plain text whatever its arguments hold: a byte
// outside 0x20 to 0x7E (an escape sequence, a line end, a byte of a client's
// path) becomes "{XX}" as in the Data: records, so that no client or file
// text can forge a record or drive the terminal of whoever reads the log.
// Rewrites the message at text in place, within room bytes; its new length.
int EscapeMessage(char* text, int length, int room) {
    int first = 0;
    while (first < length && (uint8_t)text[first] >= 0x20 && (uint8_t)text[first] <= 0x7E)
        first++;
    if (first == length) return length;
    char raw[LOG_RECORD_MAX];
    int rawLength = length - first;
    memcpy(raw, text + first, (size_t)rawLength);
    int out = first;
    for (int i = 0; i < rawLength; i++) {
        uint8_t c = (uint8_t)raw[i];
        if (c >= 0x20 && c <= 0x7E) {
            if (out + 1 > room) break;
            text[out++] = (char)c;
        } else {
            if (out + 4 > room) break;
            snprintf(text + out, 5, "{%.2X}", c);
            out += 4;
        }
    }
    return out;
}

} // namespace

void LogVPrintf(int level, const char* format, va_list args) {
    if (!LogGate(level) || !LogTraceAdmit(level)) return;
    char timeText[32];
    LogTimeText(timeText, sizeof timeText);

    LogState& s = LogGlobal();
    LogLockTake();
    if (!s.started.load(std::memory_order_relaxed)) { // shut down meanwhile
        LogLockRelease();
        return;
    }
    if (char* out = LogReserve()) {
        int header = snprintf(out, LOG_RECORD_MAX, "%-2.2s %s %s", LogTag(level), timeText, s.role);
        if (header < 0) header = 0;
        if (header > LOG_RECORD_MAX - 2) header = LOG_RECORD_MAX - 2;
        // The message keeps what fits; CR LF always ends the record.
        int room = LOG_RECORD_MAX - 2 - header;
        int message = format ? vsnprintf(out + header, room + 1, format, args) : 0;
        if (message < 0) message = 0;
        if (message > room) message = room;
        message = EscapeMessage(out + header, message, room);
        out[header + message] = '\r';
        out[header + message + 1] = '\n';
        LogCommit(header + message + 2);
        LogTraceCharge(level, header + message + 2);
    }
    uint64_t ticket = s.appended;
    LogLockRelease();
    LogWake(ticket);
}

void LogPrintf(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogVPrintf(level, format, args);
    va_end(args);
}
