// MLST and MLSD: machine-readable facts of one entry (on the control
// connection) or of a directory's entries (over a data connection). Both
// need the List permission and see what LIST sees.
#include <cstring>
#include <string>
#include <vector>

#include "log/log.h"
#include "server/cmd_common.h"
#include "server/commands.h"
#include "server/data.h"
#include "server/dataconn.h"
#include "server/mlst_facts.h"
#include "server/path.h"

namespace {

// The client form of a relative path: "/" and its components.
std::string ClientPath(const char* rel) {
    std::string path = "/";
    for (const char* p = rel; *p; p++)
        path += *p == '\\' ? '/' : *p;
    return path;
}

} // namespace

void CmdMlst(Conn* conn, const char* arg) {
    char rel[CONN_PATH_SIZE];
    FsEntry entry;
    if (!ResolveEntry(conn, arg, rel, &entry)) {
        Reply(conn, "550 Invalid file path.");
        return;
    }
    std::string path = ClientPath(rel);
    Queue* out = &conn->control.out;
    QueuePrintf(out, "250-Listing %s\r\n", path.c_str());
    std::string line = " " + MlstEntry(conn, entry, path) + "\r\n";
    AppendQueue(out, line.data(), (uint32_t)line.size());
    Reply(conn, "250 End");
}

void CmdMlsd(Conn* conn, const char* arg) {
    conn->restartOffset = 0;
    char rel[CONN_PATH_SIZE];
    char fullPath[CONN_PATH_SIZE];
    char pattern[CONN_PATH_SIZE];
    uint32_t attributes = INVALID_FILE_ATTRIBUTES;
    if (arg ? ResolvePath(conn, arg, rel, fullPath)
            : MakeFullPath(fullPath, conn->user.Root, conn->currentDir))
        attributes = FsGetAttributes(conn->user.Root, fullPath);
    if (attributes == INVALID_FILE_ATTRIBUTES || !FormListPattern(conn, fullPath, "*", pattern)) {
        TransferReply(conn, 550, "Invalid file path.");
        return;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        TransferReply(conn, 501, "%s: not a directory.", arg);
        return;
    }
    memcpy(conn->transferPath, pattern, sizeof conn->transferPath);
    OpenDataConnection(conn, XFER_MLSD);
}

void SendMlsd(Conn* conn) {
    std::vector<FsEntry> entries;
    GatherListing(conn, &entries);
    Channel* data = &conn->data;
    for (const FsEntry& entry : entries) {
        std::string line = MlstEntry(conn, entry, entry.name) + "\r\n";
        if (!AppendQueue(&data->out, line.data(), (uint32_t)line.size())) {
            // The listing would be incomplete: end it as a failure.
            data->failed = 1;
            break;
        }
    }
    LogPrintf(LOG_INFO, "SendMlsd(%u) done", conn->connId);
    data->shutdownWhenDrained = 1;
    ConnWrite(conn, data);
}
