// LIST and NLST: the checks and the search pattern of a listing; SendList
// (listing.cpp) sends it once the data connection exists.
#include <cstring>
#include <string>

#include "log/log.h"
#include "platform/fs.h"
#include "server/cmd_common.h"
#include "server/commands.h"
#include "server/data.h"
#include "server/dataconn.h"
#include "server/path.h"

namespace {

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

// Reads option groups from the rest of the line after the word: each
// blank-separated word starting with "-" holds option letters; l (either
// case) sets *longFormat, others are ignored. Returns what follows the
// options (the path), or nullptr.
const char* SkipListOptions(const char* rest, int* longFormat) {
    const char* p = rest;
    while (*p == ' ') {
        while (*p == ' ')
            p++;
        if (*p != '-') return *p ? p : nullptr;
        for (p++; *p && *p != ' '; p++)
            if (*p == 'l' || *p == 'L') *longFormat = 1;
    }
    return nullptr;
}

// With the extensions on, a "*" or "?" in the last component of the path is
// a name mask over the directory before it; nullptr when there is none.
const char* NameMask(const Conn* conn, const char* arg) {
    if (!conn->extensions || !arg) return nullptr;
    const char* last = arg;
    for (const char* p = arg; *p; p++)
        if (IsSeparator(*p)) last = p + 1;
    return strpbrk(last, "*?") ? last : nullptr;
}

// Forms the search pattern for a path argument (nullptr: the current
// directory). 0 when the path is invalid, missing, or the pattern would not
// fit (it is never cut short).
int MakeListPattern(Conn* conn, const char* arg, char* pattern) {
    char rel[CONN_PATH_SIZE];
    char fullPath[CONN_PATH_SIZE];
    const char* mask = NameMask(conn, arg);
    if (mask) {
        // The directory part is resolved as any path, so it may hold no
        // wildcard itself; an empty one is the current directory.
        std::string directory(arg, (size_t)(mask - arg));
        if (!ResolvePath(conn, directory.c_str(), rel, fullPath)) return 0;
        uint32_t attributes = FsGetAttributes(conn->user.Root, fullPath);
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            return 0;
        return FormListPattern(conn, fullPath, mask, pattern);
    }
    bool directory = true;
    if (arg) {
        if (!ResolvePath(conn, arg, rel, fullPath)) return 0;
        uint32_t attributes = FsGetAttributes(conn->user.Root, fullPath);
        if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
        directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    } else if (!MakeFullPath(fullPath, conn->user.Root, conn->currentDir)) {
        return 0;
    }
    return FormListPattern(conn, fullPath, directory ? "*" : nullptr, pattern);
}

// The shared steps of LIST and NLST once the argument is known.
void StartListing(Conn* conn, const char* arg, uint8_t kind) {
    char pattern[CONN_PATH_SIZE];
    if (!MakeListPattern(conn, arg, pattern)) {
        TransferReply(conn, RefusalCode(conn, 500), "Invalid file path.");
        return;
    }
    memcpy(conn->transferPath, pattern, sizeof conn->transferPath);
    OpenDataConnection(conn, kind);
}

} // namespace

// rest: the whole rest of the line after the word.
void CmdList(Conn* conn, const char* rest) {
    conn->restartOffset = 0;
    int longFormat = 1;
    // The plain command takes everything after the blank as a path, so
    // option words such as -l name files; with the extensions on they are
    // options.
    const char* arg = conn->extensions ? SkipListOptions(rest, &longFormat)
                      : *rest == ' '   ? rest + 1
                                       : nullptr;
    StartListing(conn, arg, XFER_LIST);
}

void CmdNlst(Conn* conn, const char* rest) {
    conn->restartOffset = 0;
    int longFormat = 0;
    const char* arg = SkipListOptions(rest, &longFormat);
    StartListing(conn, arg, longFormat ? XFER_LIST : XFER_NLST);
}
