// Renaming: RNFR names the source and keeps its full path in renameFrom,
// RNTO names the target and moves. The move never replaces a target, also
// when another connection creates it between the check and the move.
#include <cstring>

#include "platform/fs.h"
#include "server/cmd_common.h"
#include "server/commands.h"
#include "server/upload_hook.h"
#include "server/limits.h"

void CmdRnfr(Conn* conn, const char* arg) {
    char fullPath[CONN_PATH_SIZE];
    if (!ResolveWritablePlainFile(conn, arg, fullPath)) return;
    memcpy(conn->renameFrom, fullPath, CONN_PATH_SIZE);
    Reply(conn, "350 Requested file action pending further information.");
}

void CmdRnto(Conn* conn, const char* arg) {
    if (conn->renameFrom[0] == 0) {
        Reply(conn, "503 RNTO must follow RNFR.");
        return;
    }
    char fullPath[CONN_PATH_SIZE];
    if (!ResolveFilePath(conn, arg, fullPath, REFUSE_PLAIN, 550)) return;
    if (FsGetAttributes(conn->user.Root, fullPath) != INVALID_FILE_ATTRIBUTES) {
        Reply(conn, "550 File already exists.");
        return;
    }
    // The source was a plain file at RNFR; another connection may have put a
    // directory in its place since, and a directory is never renamed.
    uint32_t source = FsGetAttributes(conn->user.Root, conn->renameFrom);
    int64_t size = QuotaFileSize(conn, conn->renameFrom);
    int moved = source != INVALID_FILE_ATTRIBUTES && !(source & FILE_ATTRIBUTE_DIRECTORY) &&
                FsMoveFile(conn->user.Root, conn->renameFrom, fullPath);
    if (moved && MovesToAnotherDirectory(conn->renameFrom, fullPath))
        UploadHookAfter(conn, fullPath);
    if (moved && size >= 0) { // roots may nest: the file may leave one and join another
        QuotaAdjust(conn->renameFrom, -size, -1);
        QuotaAdjust(fullPath, size, 1);
    }
    conn->renameFrom[0] = 0;
    if (moved) {
        Reply(conn, "250 File renamed.");
    } else {
        Reply(conn, "553 Error renaming file.");
    }
}
