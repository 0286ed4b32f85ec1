#include "platform/filemove.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>

static_assert(FILE_MOVE_CWD == AT_FDCWD, "FILE_MOVE_CWD must be the kernel's value");

int FileMoveAt(int fromDir, const char* from, int toDir, const char* to) {
    if (renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE) == 0) return 1;
    if (errno != EINVAL) return 0;
    // No RENAME_NOREPLACE here: a hard link fails on an existing target just
    // the same, then the old name goes.
    if (linkat(fromDir, from, toDir, to, 0) != 0) return 0;
    if (unlinkat(fromDir, from, 0) != 0) {
        int e = errno;
        unlinkat(toDir, to, 0);
        errno = e;
        return 0;
    }
    return 1;
}
