// Renaming: RNFR names the source and keeps its full path in renameFrom,
// RNTO names the target and moves. The move never replaces a target, also
// when another connection creates it between the check and the move.
#include <cstring>

#include "platform/fs.h"
#include "server/commands.h"
#include "server/path.h"

void CmdRnfr(Conn* conn) {
    if (conn->loginState != LOGIN_LOGGED_IN) {
        Reply(conn, "530 Not logged in.");
        return;
    }
    const char* arg = CommandArgument(4);
    if (!arg) {
        Reply(conn, "500 Syntax error; parameter required.");
        return;
    }
    if (!(conn->user.permissions & PERM_PUT)) {
        Reply(conn, "550 No permission.");
        return;
    }
    char rel[CONN_PATH_SIZE];
    char fullPath[CONN_PATH_SIZE];
    uint32_t attributes = INVALID_FILE_ATTRIBUTES;
    if (ResolvePath(conn, arg, rel, fullPath)) attributes = FsGetAttributes(conn->user.Root, fullPath);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        Reply(conn, "550 Invalid file path.");
        return;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        Reply(conn, "550 %s: not a plain file.", arg);
        return;
    }
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        Reply(conn, "550 File is read-only.");
        return;
    }
    memcpy(conn->renameFrom, fullPath, CONN_PATH_SIZE);
    Reply(conn, "350 Requested file action pending further information.");
}

void CmdRnto(Conn* conn) {
    if (conn->loginState != LOGIN_LOGGED_IN) {
        Reply(conn, "530 Not logged in.");
        return;
    }
    const char* arg = CommandArgument(4);
    if (!arg) {
        Reply(conn, "500 Syntax error; parameter required.");
        return;
    }
    if (conn->renameFrom[0] == 0) {
        Reply(conn, "503 RNTO must follow RNFR.");
        return;
    }
    char rel[CONN_PATH_SIZE];
    char fullPath[CONN_PATH_SIZE];
    if (!ResolvePath(conn, arg, rel, fullPath)) {
        Reply(conn, "550 Invalid file path.");
        return;
    }
    if (FsGetAttributes(conn->user.Root, fullPath) != INVALID_FILE_ATTRIBUTES) {
        Reply(conn, "550 File already exists.");
        return;
    }
    // The source was a plain file at RNFR; another connection may have put a
    // directory in its place since, and a directory is never renamed.
    uint32_t source = FsGetAttributes(conn->user.Root, conn->renameFrom);
    int moved = source != INVALID_FILE_ATTRIBUTES && !(source & FILE_ATTRIBUTE_DIRECTORY) &&
                FsMoveFile(conn->user.Root, conn->renameFrom, fullPath);
    conn->renameFrom[0] = 0;
    if (moved) {
        Reply(conn, "250 File renamed.");
    } else {
        Reply(conn, "553 Error renaming file.");
    }
}
