// ABOR: ends the transfer in progress. It is the one command answered while
// other commands are put off during a transfer: the dispatcher looks for it
// among the lines that wait.
#include <cstring>

#include "log/log.h"
#include "server/commands.h"
#include "server/dataconn.h"
#include "server/sockthread.h"

namespace {

// True when line (length bytes, without its line feed) is ABOR, behind any
// Telnet interrupt bytes, in any case, with or without an argument.
bool IsAborLine(const uint8_t* line, size_t length) {
    size_t skip = TelnetPrefixLength(line, length);
    line += skip;
    length -= skip;
    if (length < 4) return false;
    for (int i = 0; i < 4; i++) {
        uint8_t c = line[i] >= 'a' && line[i] <= 'z' ? (uint8_t)(line[i] - 'a' + 'A') : line[i];
        if (c != (uint8_t) "ABOR"[i]) return false;
    }
    return length == 4 || line[4] == '\r' || line[4] == ' ';
}

} // namespace

size_t TelnetPrefixLength(const uint8_t* line, size_t length) {
    // IAC IP and IAC DM (0xFF 0xF4, 0xFF 0xF2) come before an urgent ABOR; a
    // DM byte may arrive on its own when IAC went ahead in-band.
    size_t i = 0;
    while (i < length) {
        if (line[i] == 0xFF && i + 1 < length && line[i + 1] >= 0xF0) {
            i += 2;
        } else if (line[i] == 0xF2 || line[i] == 0xFF) {
            i++;
        } else {
            break;
        }
    }
    return i;
}

bool AborWaiting(Conn* conn) {
    Queue* in = &conn->control.in;
    uint32_t unread = QueueUnread(in);
    const uint8_t* p = unread ? QueueBytes(in) + in->readPos : nullptr;
    while (unread > 0) {
        const uint8_t* lf = (const uint8_t*)memchr(p, '\n', unread);
        if (!lf) return false;
        if (IsAborLine(p, (size_t)(lf - p))) return true;
        unread -= (uint32_t)(lf - p) + 1;
        p = lf + 1;
    }
    return false;
}

void AbortTransfer(Conn* conn) {
    LogPrintf(LOG_INFO, "AbortTransfer(%u) Aborting the transfer in progress.", conn->connId);
    EndTransfer(conn);
    conn->dataMode = DATA_DEFAULT;
    Reply(conn, "426 Connection closed; transfer aborted.");
}

void CmdAbor(Conn* conn) {
    if (conn->transferKind != XFER_NONE) AbortTransfer(conn);
    Reply(conn, "226 ABOR command successful.");
}
