// The command interpreter of one connection: takes complete lines from the
// control input queue, finds the command word in the command table and calls
// its handler. Command processing is put off while a data transfer is
// pending or running. Socket thread only.
#include <cstring>

#include "log/log.h"
#include "server/commands.h"
#include "server/control_limits.h"

char commandLine[CONN_BUFFER_SIZE];

namespace {

struct CommandEntry {
    const char* word;  // upper case, 3 or 4 letters
    void (*handler)(Conn* conn);
};

// The one place that names the command words. X-twins share the handler of
// the word they stand for.
const CommandEntry commandTable[] = {
    {"APPE", CmdAppe}, {"CDUP", CmdCdup}, {"XCUP", CmdCdup}, {"CWD", CmdCwd},   {"DELE", CmdDele},
    {"HELP", CmdHelp}, {"LIST", CmdList}, {"MKD", CmdMkd},   {"XMKD", CmdMkd},  {"MODE", CmdMode},
    {"NLST", CmdNlst}, {"NOOP", CmdNoop}, {"PASS", CmdPass}, {"PASV", CmdPasv}, {"PORT", CmdPort},
    {"PWD", CmdPwd},   {"XPWD", CmdPwd},  {"QUIT", CmdQuit}, {"REIN", CmdRein}, {"REST", CmdRest},
    {"RETR", CmdRetr}, {"RMD", CmdRmd},   {"XRMD", CmdRmd},  {"RNFR", CmdRnfr}, {"RNTO", CmdRnto},
    {"STOR", CmdStor}, {"STRU", CmdStru}, {"SYST", CmdSyst}, {"TYPE", CmdType}, {"USER", CmdUser},
};

// The handler of the word at the start of commandLine, or nullptr. Only
// words of 3 or 4 characters (up to the first blank) can match; letters
// compare without regard to case.
void (*FindHandler())(Conn*) {
    size_t length = strcspn(commandLine, " ");
    if (length != 3 && length != 4) return nullptr;
    char word[5] = {0};
    for (size_t i = 0; i < length; i++) {
        char c = commandLine[i];
        word[i] = c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c;
    }
    for (const CommandEntry& entry : commandTable)
        if (strcmp(entry.word, word) == 0) return entry.handler;
    return nullptr;
}

// A control line that reached the line limit without a line feed: answered
// once, then skipped up to and including its line feed.
void RejectOverlongLine(Conn* conn) {
    LogPrintf(LOG_WARNING, "ProcessCommands(%u) Command line too long; discarding it.", conn->connId);
    conn->discardingLine = 1;
    Reply(conn, "500 Syntax error; command line too long.");
}

// Drops skipped bytes of an overlong line that are already queued.
void DropDiscardedInput(Conn* conn) {
    Queue* in = &conn->control.in;
    uint32_t unread = QueueUnread(in);
    if (unread == 0) return;
    const uint8_t* start = QueueBytes(in) + in->readPos;
    const void* lf = memchr(start, '\n', unread);
    if (lf) {
        in->readPos += (uint32_t)((const uint8_t*)lf - start) + 1;
        conn->discardingLine = 0;
    } else {
        in->readPos += unread;
    }
    QueueShrink(in);
}

// Interprets every complete line in the input queue, unless replies pile up
// unread by the client.
void TakeLines(Conn* conn) {
    for (;;) {
        if (conn->control.socket == INVALID_SOCKET || ControlOutputBacklogged(conn)) return;
        if (conn->discardingLine) {
            DropDiscardedInput(conn);
            if (conn->discardingLine) return;
        }
        if (!ConnGets(commandLine, sizeof commandLine, conn)) {
            if (QueueUnread(&conn->control.in) >= sizeof commandLine - 1) {
                RejectOverlongLine(conn);
                continue;
            }
            return;
        }
        QueueShrink(&conn->control.in);

        // A NUL would cut the line short for every handler (the rest of a
        // path, say), so such a line is refused whole, never acted on in part.
        const char* end = (const char*)memchr(commandLine, '\n', sizeof commandLine);
        if (end && memchr(commandLine, 0, (size_t)(end - commandLine))) {
            LogPrintf(LOG_WARNING, "ProcessCommands(%u) Command line holds a NUL byte; refused.", conn->connId);
            Reply(conn, "500 Syntax error; command unrecognized.");
            continue;
        }

        char* cr = strchr(commandLine, '\r');
        if (cr) *cr = 0;
        char* lf = strchr(commandLine, '\n');
        if (lf) *lf = 0;

        void (*handler)(Conn*) = FindHandler();
        if (handler)
            handler(conn);
        else
            Reply(conn, "500 Syntax error; command unrecognized.");
    }
}

}  // namespace

void ProcessCommands(Conn* conn) {
    if (conn->transferKind != XFER_NONE) {
        LogPrintf(LOG_INFO, "ProcessCommands(%u) putting off command processing", conn->connId);
        return;
    }
    for (;;) {
        bool wasFull = ControlInputFull(conn);
        TakeLines(conn);
        // Reading stops while the input queue is full; once lines have been
        // taken from a full queue, read on, since no further read event comes
        // before the socket has been read again.
        if (!wasFull || ControlInputFull(conn) || conn->transferKind != XFER_NONE ||
            conn->control.socket == INVALID_SOCKET)
            return;
        if (ConnRead(conn, &conn->control) <= 0) return;
    }
}
