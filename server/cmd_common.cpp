#include "server/cmd_common.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "log/log.h"
#include "server/data.h"
#include "server/path.h"

void Refuse(Conn* conn, RefusalVia via, int code, const char* text) {
    if (via == REFUSE_TRANSFER) {
        TransferReply(conn, code, "%s", text);
    } else {
        Reply(conn, "%d %s", code, text);
    }
}

int ResolveFilePath(Conn* conn, const char* arg, char* fullPath, RefusalVia via, int code) {
    char rel[CONN_PATH_SIZE];
    if (ResolvePath(conn, arg, rel, fullPath)) return 1;
    Refuse(conn, via, code, "Invalid file path.");
    return 0;
}

int ResolveWritablePlainFile(Conn* conn, const char* arg, char* fullPath) {
    char rel[CONN_PATH_SIZE];
    uint32_t attributes = INVALID_FILE_ATTRIBUTES;
    if (ResolvePath(conn, arg, rel, fullPath))
        attributes = FsGetAttributes(conn->user.Root, fullPath);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        Reply(conn, "550 Invalid file path.");
        return 0;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        Reply(conn, "550 %s: not a plain file.", arg);
        return 0;
    }
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        Reply(conn, "550 File is read-only.");
        return 0;
    }
    return 1;
}

int CheckUploadTarget(Conn* conn, const char* fullPath, int code, bool* exists) {
    uint32_t attributes = FsGetAttributes(conn->user.Root, fullPath);
    *exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (!*exists) return 1;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        TransferReply(conn, code, "File is a directory.");
        return 0;
    }
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        TransferReply(conn, code, "File is read-only.");
        return 0;
    }
    return 1;
}

int ResolveEntry(Conn* conn, const char* arg, char* rel, FsEntry* entry) {
    char fullPath[CONN_PATH_SIZE];
    if (arg) {
        if (!ResolvePath(conn, arg, rel, fullPath)) return 0;
    } else {
        memcpy(rel, conn->currentDir, CONN_PATH_SIZE);
        rel[CONN_PATH_SIZE - 1] = 0;
        if (!MakeFullPath(fullPath, conn->user.Root, rel)) return 0;
    }
    // A full path never ends in "/*" here (paths hold no wildcards), so the
    // search names this one entry.
    std::vector<FsEntry> found;
    if (!FsFindFiles(conn->user.Root, fullPath, &found) || found.empty()) return 0;
    *entry = std::move(found[0]);
    return 1;
}

int FormListPattern(Conn* conn, const char* fullPath, const char* mask, char* pattern) {
    size_t length = strlen(fullPath);
    bool endsInSlash = length > 0 && fullPath[length - 1] == '/';
    const char* separator = endsInSlash || !mask ? "" : "/";
    const char* tail = mask ? mask : "";
    if (length + strlen(separator) + strlen(tail) >= CONN_PATH_SIZE) {
        LogPrintf(LOG_WARNING, "FormListPattern(%u) Pattern too long: %s%s%s", conn->connId,
                  fullPath, separator, tail);
        return 0;
    }
    snprintf(pattern, CONN_PATH_SIZE, "%s%s%s", fullPath, separator, tail);
    return 1;
}
