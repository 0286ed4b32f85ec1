// Deleting a file: DELE.
#include "platform/fs.h"
#include "server/cmd_common.h"
#include "server/commands.h"
#include "server/limits.h"

void CmdDele(Conn* conn, const char* arg) {
    char fullPath[CONN_PATH_SIZE];
    if (!ResolveWritablePlainFile(conn, arg, fullPath)) return;
    int64_t size = QuotaFileSize(conn, fullPath);
    if (!FsDeleteFile(conn->user.Root, fullPath)) {
        Reply(conn, "550 Error deleting file.");
        return;
    }
    if (size >= 0) QuotaAdjust(fullPath, -size, -1);
    Reply(conn, "250 File deleted.");
}
