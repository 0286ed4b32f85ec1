#include "platform/sharelock.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/report.h"

namespace {

std::atomic<bool> saidUnsupported{false};

struct flock WholeFile(short type) {
    struct flock lock;
    memset(&lock, 0, sizeof lock);
    lock.l_type = type;
    lock.l_whence = SEEK_SET; // l_start 0, l_len 0: the whole file, however long
    return lock;
}

bool Unsupported(int error) {
    if (error != ENOLCK && error != EOPNOTSUPP && error != EINVAL) return false;
    if (!saidUnsupported.exchange(true))
        Report(REPORT_WARNING,
               "ShareLock: the file system has no file locks (%s); other processes' opens are "
               "not seen",
               strerror(error));
    return true;
}

} // namespace

int ShareLockTake(int fd, bool writer) {
    struct flock lock = WholeFile(writer ? F_WRLCK : F_RDLCK);
    while (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EACCES) return 0;
        return Unsupported(errno) ? 1 : 0;
    }
    return 1;
}

bool ShareLockHeld(int dirFd, const char* name) {
    int fd = openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    struct flock lock = WholeFile(F_WRLCK);
    bool held = false;
    if (fcntl(fd, F_OFD_GETLK, &lock) == 0)
        held = lock.l_type != F_UNLCK;
    else
        Unsupported(errno);
    close(fd);
    return held;
}
