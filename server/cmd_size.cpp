// SIZE and MDTM: the size and the last-write time of one file, under the
// same confinement as RETR. Either needs the Get or the List permission.
#include "log/log.h"
#include "server/cmd_common.h"
#include "server/commands.h"
#include "server/mlst_facts.h"

namespace {

// The plain file that the argument names, or 0 after the refusal.
int LookUpFile(Conn* conn, const char* arg, FsEntry* entry) {
    char rel[CONN_PATH_SIZE];
    if (!ResolveEntry(conn, arg, rel, entry)) {
        Reply(conn, "550 Invalid file path.");
        return 0;
    }
    if (entry->attributes & FILE_ATTRIBUTE_DIRECTORY) {
        Reply(conn, "550 %s: not a plain file.", arg);
        return 0;
    }
    return 1;
}

} // namespace

// Files travel unchanged in both transfer types, so the size is the
// number of bytes a RETR sends.
void CmdSize(Conn* conn, const char* arg) {
    FsEntry entry;
    if (LookUpFile(conn, arg, &entry)) Reply(conn, "213 %llu", (unsigned long long)entry.size);
}

void CmdMdtm(Conn* conn, const char* arg) {
    FsEntry entry;
    if (LookUpFile(conn, arg, &entry)) Reply(conn, "213 %s", UtcTimeText(entry.lastWrite).c_str());
}
