// Deleting a file: DELE.
#include "platform/fs.h"
#include "server/commands.h"
#include "server/path.h"

void CmdDele(Conn* conn) {
    if (conn->loginState != LOGIN_LOGGED_IN) {
        Reply(conn, "530 Not logged in.");
        return;
    }
    const char* arg = CommandArgument(4);
    if (!arg) {
        Reply(conn, "500 Syntax error; parameter required.");
        return;
    }
    if (!(conn->user.permissions & PERM_DELETEFILE)) {
        Reply(conn, "550 Not permitted.");
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
    if (!FsDeleteFile(conn->user.Root, fullPath)) {
        Reply(conn, "550 Error deleting file.");
        return;
    }
    Reply(conn, "250 File deleted.");
}
