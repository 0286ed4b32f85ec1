#include "server/sockthread.h"
#include "server/conn_details.h"

#include <chrono>
#include <cstring>
#include <vector>

#include "log/log.h"
#include "platform/fs.h"
#include "server/commands.h"
#include "server/conn_events.h"
#include "server/dataconn.h"

namespace {
// Copies at most size - 1 bytes and ends the copy.
void CopyCut(char* out, size_t size, const char* text) {
    size_t length = strnlen(text, size - 1);
    memcpy(out, text, length);
    out[length] = 0;
}

// The transfer's path as the client sees it: below the account's root.
void ClientPath(const Conn* conn, char* out, size_t size) {
    const char* path = conn->transferPath;
    size_t root = strlen(conn->user.Root);
    while (root > 0 && conn->user.Root[root - 1] == '/')
        root--;
    if (root > 0 && strncmp(path, conn->user.Root, root) == 0 &&
        (path[root] == '/' || path[root] == 0))
        path += root;
    if (*path != '/' && size > 1) {
        out[0] = '/';
        CopyCut(out + 1, size - 1, path);
    } else {
        CopyCut(out, size, path);
    }
}
} // namespace

void ConnDetailsStart(Conn* conn) {
    conn->lastWord = nullptr;
    conn->lastArgument[0] = 0;
    conn->connectedAtMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
}

void ConnNoteCommand(Conn* conn, const CommandRow& row, const char* arg) {
    conn->lastWord = row.word;
    // A password is never kept, so no view can show it.
    if (!arg || strcmp(row.word, "PASS") == 0)
        conn->lastArgument[0] = 0;
    else
        CopyCut(conn->lastArgument, sizeof conn->lastArgument, arg);
}

ConnRecord ConnDetailsOf(const Conn* conn) {
    ConnRecord record = ConnRecordOf(conn);
    record.hasDetails = 1;
    if (conn->loginState == LOGIN_LOGGED_IN)
        CopyCut(record.account, sizeof record.account, conn->user.name);
    record.connectedSinceMs = conn->connectedAtMs;
    record.tls = conn->control.tls != nullptr; // the control connection is protected
    if (conn->lastWord) CopyCut(record.command, sizeof record.command, conn->lastWord);
    memcpy(record.argument, conn->lastArgument, sizeof record.argument);
    if (conn->transferKind == XFER_RETR || conn->transferKind == XFER_STOR) {
        record.direction = conn->transferKind == XFER_RETR ? CONN_XFER_DOWN : CONN_XFER_UP;
        ClientPath(conn, record.file, sizeof record.file);
        record.bytes = conn->auditStartMs ? conn->auditBytes : 0;
        record.transferStartMs = conn->auditStartMs;
        record.total = CONN_TOTAL_UNKNOWN;
        if (conn->transferKind == XFER_RETR && conn->fileHandle != INVALID_FILE_HANDLE) {
            int64_t size = FsSize(conn->fileHandle);
            uint64_t from = conn->filePosition == FILE_POSITION_APPEND ? 0 : conn->filePosition;
            if (size >= 0 && (uint64_t)size >= from) record.total = (uint64_t)size - from;
        }
    }
    return record;
}

void SampleOwnConnDetails(std::vector<ConnRecord>* records) {
    for (int32_t i = 0, slots = ConnSlotCount(); i < slots; i++) {
        const Conn* conn = ConnAt(i);
        if (ConnOfThisLoop(conn)) records->push_back(ConnDetailsOf(conn));
    }
}

void SampleConnDetails() {
    if (!connEvents.details) return;
    auto* records = new std::vector<ConnRecord>;
    SampleOwnConnDetails(records);
    connEvents.details(records);
}

// The three fields take 56 bits: a message parameter is 64 bits wide here.
static_assert(sizeof(uintptr_t) >= 8, "a disconnect request needs a 64-bit wParam");

uintptr_t DisconnectWParam(uint32_t connId, uint16_t clientPort, DisconnectOrigin origin) {
    return (uintptr_t)connId | (uintptr_t)clientPort << 32 | (uintptr_t)origin << 48;
}

uint32_t DisconnectConnId(uintptr_t wParam) {
    return (uint32_t)(wParam & 0xFFFFFFFFu);
}

int ConnDisconnect(uintptr_t wParam, intptr_t lParam) {
    uint32_t connId = DisconnectConnId(wParam);
    uint16_t port = (uint16_t)(wParam >> 32 & 0xFFFF);
    const char* origin =
        (wParam >> 48 & 0xFF) == DISCONNECT_ADMIN ? "an admin" : "the server's window";
    Conn* conn = ConnOwner(connId) == SockLoopIndex() ? ConnAt((int32_t)connId) : nullptr;
    if (!conn || conn->control.socket == INVALID_SOCKET || conn->peer.port != port ||
        (lParam != 0 && conn->connectedAtMs != (int64_t)lParam)) {
        LogPrintf(LOG_INFO, "ConnDisconnect(%u) No such connection (asked by %s).", connId, origin);
        return 0;
    }
    char address[NET_ENDPOINT_TEXT_SIZE];
    LogPrintf(LOG_INFO, "ConnDisconnect(%u) Disconnecting %s (%s) at the request of %s.", connId,
              NetEndpointText(conn->peer, address),
              conn->loginState == LOGIN_LOGGED_IN ? conn->user.name : "not logged in", origin);
    if (conn->transferKind != XFER_NONE) AbortTransfer(conn);
    conn->control.shutdownWhenDrained = 1;
    Reply(conn, "421 Disconnected by the administrator; closing control connection.");
    ConnClose(conn);
    return 1;
}
