// Deleting a file: DELE.
#include "platform/fs.h"
#include "server/cmd_common.h"
#include "server/commands.h"

void CmdDele(Conn* conn, const char* arg) {
    char fullPath[CONN_PATH_SIZE];
    if (!ResolveWritablePlainFile(conn, arg, fullPath)) return;
    if (!FsDeleteFile(conn->user.Root, fullPath)) {
        Reply(conn, "550 Error deleting file.");
        return;
    }
    Reply(conn, "250 File deleted.");
}
