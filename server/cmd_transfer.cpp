// RETR, STOR, APPE and REST: the checks before a file transfer and the
// restart offset. The bytes are moved by transfer.cpp once the data
// connection exists.
#include <cstring>

#include "log/log.h"
#include "platform/fs.h"
#include "server/cmd_common.h"
#include "server/commands.h"
#include "server/data.h"
#include "server/dataconn.h"

namespace {

// Largest restart offset: file offsets are signed 64-bit.
constexpr uint64_t REST_MAX = 0x7FFFFFFFFFFFFFFFull;

// Reads a restart offset: leading white space, an optional sign, then
// decimal digits up to the first non-digit; no digits give 0. 1 with *offset
// set, 0 when the value is negative or exceeds REST_MAX (offsets are never
// wrapped).
int ParseRestartOffset(const char* text, uint64_t* offset) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    bool negative = *p == '-';
    if (*p == '+' || *p == '-') p++;
    uint64_t value = 0;
    while (*p >= '0' && *p <= '9') {
        uint64_t digit = (uint64_t)(*p - '0');
        if (value > (REST_MAX - digit) / 10) return 0;
        value = value * 10 + digit;
        p++;
    }
    if (negative && value != 0) return 0;
    *offset = value;
    return 1;
}

} // namespace

void CmdRest(Conn* conn, const char* arg) {
    uint64_t offset = 0;
    if (!ParseRestartOffset(arg, &offset)) {
        LogPrintf(LOG_INFO, "CmdRest(%u) Invalid restart offset: %s", conn->connId, arg);
        Reply(conn, "501 Invalid restart offset.");
        return;
    }
    conn->restartOffset = offset;
    Reply(conn, "350 Requested file action pending further information.");
}

// RETR, STOR and APPE find filePosition set from the restart offset.
void CmdRetr(Conn* conn, const char* arg) {
    char fullPath[CONN_PATH_SIZE];
    if (!ResolveFilePath(conn, arg, fullPath, REFUSE_TRANSFER, RefusalCode(conn, 500))) return;
    uint32_t attributes = FsGetAttributes(conn->user.Root, fullPath);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        TransferReply(conn, 550, "Invalid file path.");
        return;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        TransferReply(conn, 550, "%s: not a plain file.", arg);
        return;
    }
    memcpy(conn->transferPath, fullPath, sizeof conn->transferPath);
    OpenDataConnection(conn, XFER_RETR);
}

void CmdStor(Conn* conn, const char* arg) {
    char fullPath[CONN_PATH_SIZE];
    if (!ResolveFilePath(conn, arg, fullPath, REFUSE_TRANSFER, RefusalCode(conn, 500))) return;
    bool exists;
    if (!CheckUploadTarget(conn, fullPath, RefusalCode(conn, 450), &exists)) return;
    memcpy(conn->transferPath, fullPath, sizeof conn->transferPath);
    OpenDataConnection(conn, XFER_STOR);
}

// APPE ignores the restart offset: it writes at the end of the file.
void CmdAppe(Conn* conn, const char* arg) {
    char fullPath[CONN_PATH_SIZE];
    if (!ResolveFilePath(conn, arg, fullPath, REFUSE_TRANSFER, 550)) return;
    bool exists;
    if (!CheckUploadTarget(conn, fullPath, 550, &exists)) return;
    conn->filePosition = exists ? FILE_POSITION_APPEND : 0;
    memcpy(conn->transferPath, fullPath, sizeof conn->transferPath);
    OpenDataConnection(conn, XFER_STOR);
}
