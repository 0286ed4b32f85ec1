#include "platform/fileappend.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

int64_t FileAppend(const char* name, const void* bytes, uint32_t count, uint32_t mode,
                   uint32_t* unwritten) {
    if (unwritten) *unwritten = bytes ? count : 0;
    // O_NONBLOCK: opening a FIFO for writing would otherwise wait for a
    // reader; the descriptor is checked to be a regular file right after.
    int fd =
        open(name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, (mode_t)mode);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    const char* p = static_cast<const char*>(bytes);
    uint32_t left = bytes ? count : 0;
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        p += n;
        left -= (uint32_t)n;
    }
    if (unwritten) *unwritten = left;
    int64_t size = fstat(fd, &st) == 0 ? (int64_t)st.st_size : -1;
    close(fd);
    return size;
}

int64_t FileFreeBytes(const char* path) {
    struct statvfs info {};
    if (statvfs(path, &info) != 0) return -1;
    return (int64_t)info.f_bavail * (int64_t)info.f_frsize;
}
