// Replies on the control connection: one formatted line, or a message file
// from the work directory as a multi-line reply. Every reply is queued on
// control.out and sent at once as far as the socket takes it, so replies
// leave in the order they are made. Socket thread only.
#include <cstdio>
#include <cstring>

#include "config/config.h"
#include "log/log.h"
#include "platform/fs.h"
#include "server/control_limits.h"

namespace {

// File chunks, one buffer per socket thread.
thread_local uint8_t fileBuffer[CONN_BUFFER_SIZE];

// Opens workDir "/" fileName; -1 when the path does not fit or the file
// cannot be opened.
int OpenMessageFile(Conn* conn, const char* fileName) {
    char path[MESSAGE_PATH_SIZE];
    if (!MessageFilePath(fileName, path, sizeof path)) {
        LogPrintf(LOG_WARNING, "ReplyFileV(%u) Path of %s is too long.", conn->connId, fileName);
        return -1;
    }
    return FsOpenPlain(path);
}

} // namespace

int ReplyV(Conn* conn, const char* format, va_list args) {
    QueueVPrintf(&conn->control.out, format, args);
    AppendQueue(&conn->control.out, "\r\n", 2);
    return ConnWrite(conn, &conn->control);
}

int Reply(Conn* conn, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int result = ReplyV(conn, format, args);
    va_end(args);
    return result;
}

namespace {

// Queues the message file as a multi-line reply with the 3-character code
// and sends it. 0 when the file is missing or empty: the caller then sends
// its one-line reply.
int SendMessageFile(Conn* conn, const char* fileName, const char* code) {
    int fd = OpenMessageFile(conn, fileName);
    if (fd < 0) return 0;
    int64_t size = FsSize(fd);
    uint64_t remaining = size > 0 ? (uint64_t)size : 0;

    Queue* out = &conn->control.out;
    bool atLineStart = true;
    bool finalMarked = false;
    uint32_t lastMarker = 0; // offset in out of the latest line's "-" marker
    bool anyLine = false;

    // Read no further than the size found at open, so that the line that
    // reaches it carries the final marker even if the file grows meanwhile.
    while (remaining > 0) {
        uint64_t want = remaining < sizeof fileBuffer ? remaining : sizeof fileBuffer;
        int64_t got = FsRead(fd, fileBuffer, want);
        if (got <= 0) break;
        uint32_t pos = 0;
        while (pos < (uint32_t)got) {
            const void* lf = memchr(fileBuffer + pos, '\n', (size_t)got - pos);
            uint32_t pieceEnd =
                lf ? (uint32_t)((const uint8_t*)lf - fileBuffer) + 1 : (uint32_t)got;
            uint32_t piece = pieceEnd - pos;
            if (atLineStart) {
                bool last = remaining == piece;
                AppendQueue(out, code, 3);
                lastMarker = out->length;
                AppendQueue(out, last ? " " : "-", 1);
                finalMarked = last;
                anyLine = true;
            }
            AppendQueue(out, fileBuffer + pos, piece);
            atLineStart = fileBuffer[pieceEnd - 1] == '\n';
            remaining -= piece;
            pos = pieceEnd;
        }
    }
    FsClose(fd);
    // An empty file would make no reply line at all and leave the client
    // waiting: the one-line reply stands in for it.
    if (!anyLine) return 0;
    // A file that shrank while being read: its last line read becomes the
    // final line of the reply, so the reply is still complete.
    if (!finalMarked && QueueBytes(out) && lastMarker < out->length)
        QueueBytes(out)[lastMarker] = ' ';
    if (!atLineStart) AppendQueue(out, "\r\n", 2);
    ConnWrite(conn, &conn->control);
    return 1;
}

} // namespace

void ReplyFileV(Conn* conn, const char* fileName, const char* format, va_list args) {
    if (!SendMessageFile(conn, fileName, format)) ReplyV(conn, format, args);
}

void ReplyFileText(Conn* conn, const char* fileName, const char* text) {
    if (!SendMessageFile(conn, fileName, text)) Reply(conn, "%s", text);
}

void ReplyFile(Conn* conn, const char* fileName, const char* format, ...) {
    va_list args;
    va_start(args, format);
    ReplyFileV(conn, fileName, format, args);
    va_end(args);
}
