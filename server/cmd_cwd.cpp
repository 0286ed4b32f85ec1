// Moving about the directory tree: CWD, CDUP and XCUP, PWD and XPWD.
//
// Before login the account copy has no Root, so these commands would look
// at the file system's own root: they answer "530 Not logged in." until the
// connection is logged in, like every other path command.
#include <cstring>

#include "platform/fs.h"
#include "server/cmd_common.h"
#include "server/commands.h"
#include "server/path.h"

int ReplyDir(Conn* conn, const char* rel, const char* text) {
    char form[2 * CONN_PATH_SIZE];
    ClientPathForm(form, sizeof form, rel);
    return Reply(conn, "257 \"%s\" %s", form, text);
}

void CmdCwd(Conn* conn, const char* arg) {
    if (!arg) {
        Reply(conn, "250 CWD command successful.");
        return;
    }
    char rel[CONN_PATH_SIZE];
    char fullPath[CONN_PATH_SIZE];
    if (!ResolvePath(conn, arg, rel, fullPath)) {
        Reply(conn, "550 Invalid directory path.");
        return;
    }
    uint32_t attributes = FsGetAttributes(conn->user.Root, fullPath);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        Reply(conn, "550 Invalid directory path.");
        return;
    }
    memcpy(conn->currentDir, rel, CONN_PATH_SIZE);
    Reply(conn, "250 CWD command successful.");
}

void CmdCdup(Conn* conn, const char*) {
    // The parent is taken without asking the file system: it may have been
    // removed meanwhile, and later commands then fail on the missing path.
    char rel[CONN_PATH_SIZE];
    char fullPath[CONN_PATH_SIZE];
    if (!ResolvePath(conn, "..", rel, fullPath)) {
        Reply(conn, "550 Invalid directory path.");
        return;
    }
    memcpy(conn->currentDir, rel, CONN_PATH_SIZE);
    Reply(conn, "200 Command okay.");
}

void CmdPwd(Conn* conn, const char*) {
    ReplyDir(conn, conn->currentDir, "is current directory.");
}
