// LIST and NLST: the checks and the search pattern of a listing; SendList
// (listing.cpp) sends it once the data connection exists.
#include <cstdio>
#include <cstring>

#include "log/log.h"
#include "platform/fs.h"
#include "server/cmd_common.h"
#include "server/commands.h"
#include "server/data.h"
#include "server/dataconn.h"
#include "server/path.h"

namespace {

// Forms the search pattern for a path argument (nullptr: the current
// directory): a directory's full path followed by "/*", or a file's full
// path alone. 0 when the path is invalid, missing, or the pattern would not
// fit (it is never cut short).
int MakeListPattern(Conn* conn, const char* arg, char* pattern) {
    char rel[CONN_PATH_SIZE];
    char fullPath[CONN_PATH_SIZE];
    bool directory = true;
    if (arg) {
        if (!ResolvePath(conn, arg, rel, fullPath)) return 0;
        uint32_t attributes = FsGetAttributes(conn->user.Root, fullPath);
        if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
        directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    } else if (!MakeFullPath(fullPath, conn->user.Root, conn->currentDir)) {
        return 0;
    }
    size_t length = strlen(fullPath);
    const char* tail = "";
    if (directory) tail = (length > 0 && fullPath[length - 1] == '/') ? "*" : "/*";
    if (length + strlen(tail) >= CONN_PATH_SIZE) {
        LogPrintf(LOG_WARNING, "MakeListPattern(%u) Pattern too long: %s%s", conn->connId, fullPath, tail);
        return 0;
    }
    snprintf(pattern, CONN_PATH_SIZE, "%s%s", fullPath, tail);
    return 1;
}

}  // namespace

void CmdList(Conn* conn) {
    if (!LoggedIn(conn) || !Permitted(conn, PERM_LIST, REFUSE_PLAIN, 450, "No permission.")) return;
    conn->restartOffset = 0;
    // The whole argument is a path: option words such as -l name files.
    char pattern[CONN_PATH_SIZE];
    if (!MakeListPattern(conn, CommandArgument(4), pattern)) {
        TransferReply(conn, 500, "Invalid file path.");
        return;
    }
    memcpy(conn->transferPath, pattern, sizeof conn->transferPath);
    OpenDataConnection(conn, XFER_LIST);
}

void CmdNlst(Conn* conn) {
    if (!LoggedIn(conn) || !Permitted(conn, PERM_LIST, REFUSE_PLAIN, 450, "No permission.")) return;
    conn->restartOffset = 0;
    // Option groups: each blank-separated word starting with "-" holds option
    // letters; l (either case) selects the long format, others are ignored.
    int longFormat = 0;
    const char* p = commandLine + 4;
    const char* arg = nullptr;
    while (*p == ' ') {
        while (*p == ' ') p++;
        if (*p != '-') {
            if (*p) arg = p;
            break;
        }
        for (p++; *p && *p != ' '; p++)
            if (*p == 'l' || *p == 'L') longFormat = 1;
    }
    char pattern[CONN_PATH_SIZE];
    if (!MakeListPattern(conn, arg, pattern)) {
        TransferReply(conn, 500, "Invalid file path.");
        return;
    }
    memcpy(conn->transferPath, pattern, sizeof conn->transferPath);
    OpenDataConnection(conn, longFormat ? XFER_LIST : XFER_NLST);
}
