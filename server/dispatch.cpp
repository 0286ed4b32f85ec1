// The command interpreter of one connection: takes complete lines from the
// control input queue, finds the command word in the command table, applies
// the row's rules and calls its handler. Command processing is put off while
// a data transfer is pending or running. Socket thread only.
#include <cstring>

#include "log/log.h"
#include "server/cmd_common.h"
#include "server/commands.h"
#include "server/conn_details.h"
#include "server/control_limits.h"
#include "server/tls_conn.h"

namespace {

// A control line that reached the line limit without a line feed: answered
// once, then skipped up to and including its line feed.
void RejectOverlongLine(Conn* conn) {
    LogPrintf(LOG_WARNING, "ProcessCommands(%u) Command line too long; discarding it.",
              conn->connId);
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

// The line reader: the next complete control line, without its line end
// and, with the extensions on, without Telnet interrupt bytes in front of
// it. 1 with *line set; 0 when no complete line waits; -1 when a line was
// refused whole (answered here).
int ReadCommandLine(Conn* conn, const char** line) {
    thread_local char commandLine[CONN_BUFFER_SIZE]; // one line per socket thread
    if (!ConnGets(commandLine, sizeof commandLine, conn)) {
        if (QueueUnread(&conn->control.in) < sizeof commandLine - 1) return 0;
        RejectOverlongLine(conn);
        return -1;
    }
    QueueShrink(&conn->control.in);

    // A NUL would cut the line short for every handler (the rest of a
    // path, say), so such a line is refused whole, never acted on in part.
    const char* end = (const char*)memchr(commandLine, '\n', sizeof commandLine);
    if (end && memchr(commandLine, 0, (size_t)(end - commandLine))) {
        LogPrintf(LOG_WARNING, "ProcessCommands(%u) Command line holds a NUL byte; refused.",
                  conn->connId);
        Reply(conn, "500 Syntax error; command unrecognized.");
        return -1;
    }

    char* cr = strchr(commandLine, '\r');
    if (cr) *cr = 0;
    char* lf = strchr(commandLine, '\n');
    if (lf) *lf = 0;

    *line = commandLine;
    if (conn->extensions) // Telnet interrupt bytes in front of an urgent command
        *line += TelnetPrefixLength((const uint8_t*)commandLine, strlen(commandLine));
    return 1;
}

// The one check before every handler: the row's rules, in the order the
// commands have always applied them. A refusal is the command's own reply;
// 1 when the handler may run.
int CommandAllowed(Conn* conn, const CommandRow& row, const char* arg) {
    if (row.flags & CMD_TAKES_OFFSET) {
        conn->filePosition = conn->restartOffset;
        conn->restartOffset = 0;
    }
    if ((row.flags & CMD_LOGIN) && conn->loginState != LOGIN_LOGGED_IN) {
        Reply(conn, "530 Not logged in.");
        return 0;
    }
    RefusalVia via = (row.flags & CMD_VIA_TRANSFER) ? REFUSE_TRANSFER : REFUSE_PLAIN;
    if (row.argument == ARG_NONE && arg) {
        Refuse(conn, via, 501, "Unexpected parameter.");
        return 0;
    }
    if (row.argument == ARG_REQUIRED && !arg) {
        Refuse(conn, via, 500, "Syntax error; parameter required.");
        return 0;
    }
    if (row.permission != 0 && !(conn->user.permissions & row.permission)) {
        Refuse(conn, via, RefusalCode(conn, row.deniedCode), row.deniedText);
        return 0;
    }
    return 1;
}

// Finds the line's command and runs it, or answers that it is unknown.
void Dispatch(Conn* conn, const char* line) {
    size_t length = strcspn(line, " ");
    const CommandRow* row = FindCommand(conn, line, length);
    if (!row) {
        Reply(conn, "500 Syntax error; command unrecognized.");
        return;
    }
    const char* rest = line + length;
    const char* arg = row->argument == ARG_REST ? rest : *rest == ' ' ? rest + 1 : nullptr;
    ConnNoteCommand(conn, *row, arg);
    if (CommandAllowed(conn, *row, arg)) row->handler(conn, arg);
}

// Interprets every complete line in the input queue, unless replies pile up
// unread by the client.
void TakeLines(Conn* conn) {
    for (;;) {
        if (conn->control.socket == INVALID_SOCKET || ControlOutputBacklogged(conn) ||
            ReplyIsHeld(conn) || ControlTlsBusy(conn))
            return;
        if (conn->discardingLine) {
            DropDiscardedInput(conn);
            if (conn->discardingLine) return;
        }
        const char* line = nullptr;
        int read = ReadCommandLine(conn, &line);
        if (read == 0) return;
        if (read < 0) continue;
        bool wasLoggedIn = conn->loginState == LOGIN_LOGGED_IN;
        Dispatch(conn, line);
        ConnNoteActivity(conn, wasLoggedIn);
    }
}

// True when a complete line of an urgent command (ABOR) waits in the control
// input queue, behind any Telnet interrupt bytes.
bool UrgentCommandWaiting(Conn* conn) {
    Queue* in = &conn->control.in;
    uint32_t unread = QueueUnread(in);
    const uint8_t* p = unread ? QueueBytes(in) + in->readPos : nullptr;
    while (unread > 0) {
        const uint8_t* lf = (const uint8_t*)memchr(p, '\n', unread);
        if (!lf) return false;
        size_t skip = TelnetPrefixLength(p, (size_t)(lf - p));
        const char* word = (const char*)p + skip;
        size_t length = 0;
        while (word + length < (const char*)lf && word[length] != ' ' && word[length] != '\r')
            length++;
        const CommandRow* row = FindCommand(conn, word, length);
        if (row && (row->flags & CMD_URGENT)) return true;
        unread -= (uint32_t)(lf - p) + 1;
        p = lf + 1;
    }
    return false;
}

void TakeCommands(Conn* conn) {
    if (conn->transferKind != XFER_NONE) {
        // With the extensions on, an urgent command (ABOR) among the waiting
        // lines ends the transfer now; the waiting lines, the urgent one among
        // them, are then answered in order.
        if (!conn->extensions || !UrgentCommandWaiting(conn)) {
            LogPrintf(LOG_INFO, "ProcessCommands(%u) putting off command processing", conn->connId);
            return;
        }
        AbortTransfer(conn);
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

} // namespace

void ProcessCommands(Conn* conn) {
    // Bytes before a connection's PROXY header is taken are never commands.
    if (conn->proxyWaiting) return;
    TakeCommands(conn);
    ConnTimerCheck(conn);
}
