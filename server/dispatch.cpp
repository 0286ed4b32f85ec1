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

// The one place that names the command words, in the order HELP lists them.
// X-twins share the handler of the word they stand for. Extension words are
// known only while the connection has the extensions on.
const CommandEntry commandTable[] = {
    {"APPE", CmdAppe, 0},
    {"CDUP", CmdCdup, 0},
    {"CWD", CmdCwd, 0},
    {"DELE", CmdDele, 0},
    {"HELP", CmdHelp, 0},
    {"LIST", CmdList, 0},
    {"MKD", CmdMkd, 0},
    {"MODE", CmdMode, 0},
    {"NLST", CmdNlst, 0},
    {"NOOP", CmdNoop, 0},
    {"QUIT", CmdQuit, 0},
    {"PASS", CmdPass, 0},
    {"PASV", CmdPasv, 0},
    {"PORT", CmdPort, 0},
    {"PWD", CmdPwd, 0},
    {"REST", CmdRest, 0},
    {"RETR", CmdRetr, 0},
    {"RMD", CmdRmd, 0},
    {"RNFR", CmdRnfr, 0},
    {"RNTO", CmdRnto, 0},
    {"STOR", CmdStor, 0},
    {"STRU", CmdStru, 0},
    {"SYST", CmdSyst, 0},
    {"TYPE", CmdType, 0},
    {"USER", CmdUser, 0},
    {"XCUP", CmdCdup, 0},
    {"XMKD", CmdMkd, 0},
    {"XPWD", CmdPwd, 0},
    {"XRMD", CmdRmd, 0},
    {"REIN", CmdRein, CMD_UNLISTED},
    {"ABOR", CmdAbor, CMD_EXTENSION},
    {"EPRT", CmdEprt, CMD_EXTENSION},
    {"EPSV", CmdEpsv, CMD_EXTENSION},
    {"FEAT", CmdFeat, CMD_EXTENSION},
    {"MDTM", CmdMdtm, CMD_EXTENSION},
    {"MLSD", CmdMlsd, CMD_EXTENSION},
    {"MLST", CmdMlst, CMD_EXTENSION},
    {"OPTS", CmdOpts, CMD_EXTENSION},
    {"SIZE", CmdSize, CMD_EXTENSION},
};

// The handler of the word at the start of commandLine, or nullptr. Only
// words of 3 or 4 characters (up to the first blank) can match; letters
// compare without regard to case. Extension words match only when the
// connection has the extensions on.
void (*FindHandler(const Conn* conn))(Conn*) {
    size_t length = strcspn(commandLine, " ");
    if (length != 3 && length != 4) return nullptr;
    char word[5] = {0};
    for (size_t i = 0; i < length; i++) {
        char c = commandLine[i];
        word[i] = c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c;
    }
    for (const CommandEntry& entry : commandTable)
        if (strcmp(entry.word, word) == 0 && (!(entry.flags & CMD_EXTENSION) || conn->extensions))
            return entry.handler;
    return nullptr;
}

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

// Interprets every complete line in the input queue, unless replies pile up
// unread by the client.
void TakeLines(Conn* conn) {
    for (;;) {
        if (conn->control.socket == INVALID_SOCKET || ControlOutputBacklogged(conn) ||
            ReplyIsHeld(conn))
            return;
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
            LogPrintf(LOG_WARNING, "ProcessCommands(%u) Command line holds a NUL byte; refused.",
                      conn->connId);
            Reply(conn, "500 Syntax error; command unrecognized.");
            continue;
        }

        char* cr = strchr(commandLine, '\r');
        if (cr) *cr = 0;
        char* lf = strchr(commandLine, '\n');
        if (lf) *lf = 0;

        if (conn->extensions) {
            // Telnet interrupt bytes in front of an urgent command.
            size_t skip = TelnetPrefixLength((const uint8_t*)commandLine, strlen(commandLine));
            if (skip) memmove(commandLine, commandLine + skip, strlen(commandLine + skip) + 1);
        }

        bool wasLoggedIn = conn->loginState == LOGIN_LOGGED_IN;
        void (*handler)(Conn*) = FindHandler(conn);
        if (handler)
            handler(conn);
        else
            Reply(conn, "500 Syntax error; command unrecognized.");
        ConnNoteActivity(conn, wasLoggedIn);
    }
}

void TakeCommands(Conn* conn) {
    if (conn->transferKind != XFER_NONE) {
        // With the extensions on, an ABOR among the waiting lines ends the
        // transfer now; the waiting lines, the ABOR among them, are then
        // answered in order.
        if (!conn->extensions || !AborWaiting(conn)) {
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

const CommandEntry* CommandTable(size_t* count) {
    *count = sizeof commandTable / sizeof commandTable[0];
    return commandTable;
}

void QueueCommandList(Queue* out) {
    for (const CommandEntry& entry : commandTable)
        if (!(entry.flags & (CMD_UNLISTED | CMD_EXTENSION)))
            QueuePrintf(out, "   %s\r\n", entry.word);
}

void ProcessCommands(Conn* conn) {
    TakeCommands(conn);
    ConnTimerCheck(conn);
}
