// ABOR: ends the transfer in progress. It is the one command answered while
// other commands are put off during a transfer: its row is flagged urgent,
// and the dispatcher looks for such lines among those that wait.
#include "log/log.h"
#include "server/commands.h"
#include "server/dataconn.h"
#include "server/sockthread.h"

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

void AbortTransfer(Conn* conn) {
    LogPrintf(LOG_INFO, "AbortTransfer(%u) Aborting the transfer in progress.", conn->connId);
    EndTransfer(conn);
    conn->dataMode = DATA_DEFAULT;
    Reply(conn, "426 Connection closed; transfer aborted.");
}

void CmdAbor(Conn* conn, const char*) {
    if (conn->transferKind != XFER_NONE) AbortTransfer(conn);
    Reply(conn, "226 ABOR command successful.");
}
