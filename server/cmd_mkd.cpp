// Creating and removing directories: MKD and XMKD, RMD and XRMD.
#include <cstring>

#include "platform/fs.h"
#include "server/cmd_common.h"
#include "server/commands.h"
#include "server/path.h"

void CmdMkd(Conn* conn, const char* arg) {
    char rel[CONN_PATH_SIZE];
    char fullPath[CONN_PATH_SIZE];
    if (!ResolvePath(conn, arg, rel, fullPath) || rel[0] == 0 ||
        FsGetAttributes(conn->user.Root, fullPath) != INVALID_FILE_ATTRIBUTES) {
        Reply(conn, "550 Invalid directory path.");
        return;
    }
    if (!FsCreateDirectory(conn->user.Root, fullPath)) {
        Reply(conn, "550 Error creating directory.");
        return;
    }
    // Clients that follow the protocol's later rules expect the new path.
    if (conn->extensions)
        ReplyDir(conn, rel, "Directory created.");
    else
        Reply(conn, "250 Directory created.");
}

void CmdRmd(Conn* conn, const char* arg) {
    char rel[CONN_PATH_SIZE];
    char fullPath[CONN_PATH_SIZE];
    uint32_t attributes = INVALID_FILE_ATTRIBUTES;
    if (ResolvePath(conn, arg, rel, fullPath) && rel[0] != 0) {
        attributes = FsGetAttributes(conn->user.Root, fullPath);
    }
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        Reply(conn, "550 Invalid directory path.");
        return;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        Reply(conn, "550 %s: not a directory.", arg);
        return;
    }
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        Reply(conn, "550 Directory is read-only.");
        return;
    }
    if (!FsRemoveDirectory(conn->user.Root, fullPath)) {
        Reply(conn, "550 Error removing directory.");
        return;
    }
    Reply(conn, "250 Directory removed.");
}
