#include "platform/rolelock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "platform/ascii.h"
#include "platform/machine.h"

namespace {

thread_local int lastErrno = 0;
thread_local std::string lastPath;

// Records a failed call on path; -1 for the caller to return.
int Failed(int err, const std::string& path) {
    lastErrno = err;
    lastPath = path;
    return -1;
}

std::mutex heldLock;
std::map<int, std::string> held; // handle -> lock name

// Reads the decimal process id at the start of the file; 0 when there is none.
int ReadPid(int fd) {
    char text[32] = {};
    ssize_t n = pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return 0;
    char* end = nullptr;
    long pid = strtol(text, &end, 10);
    if (end == text || pid <= 0 || pid > 0x7FFFFFFF) return 0;
    return (int)pid;
}

bool ProcessAlive(int pid) {
    return kill(pid, 0) == 0 || errno == EPERM;
}

// Whether some process holds the lock on the file at path (opened for
// reading only).
bool HeldByOther(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
}

} // namespace

std::string RoleLockPath(const char* name) {
    std::string n = name ? name : "";
    size_t colon = n.find(':');
    if (colon != std::string::npos) n = n.substr(colon + 1);
    for (char& c : n)
        c = c == ':' || c == '/' || c == '\\' ? '-' : AsciiLower(c);
    return MachineRunDir() + "/" + n + ".lock";
}

int RoleLockCreate(const char* name, int* alreadyExists) {
    if (alreadyExists) *alreadyExists = 0;
    if (!MachineMakeDir(MachineRunDir()))
        return Failed(errno == EEXIST ? ENOTDIR : errno, MachineRunDir());
    std::string path = RoleLockPath(name);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        int err = errno;
        // A lock file of another user that this one may not write: held by
        // a live instance, it is that instance's lock all the same.
        if (err == EACCES && HeldByOther(path)) {
            if (alreadyExists) *alreadyExists = 1;
            return -1;
        }
        return Failed(err, path);
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        close(fd);
        if (err == EWOULDBLOCK) {
            if (alreadyExists) *alreadyExists = 1;
            return -1;
        }
        return Failed(err, path);
    }
    // The id goes in only once the lock is ours, so a reader that finds the
    // lock held and an id in the file has the holder's.
    char text[32];
    int len = snprintf(text, sizeof text, "%d\n", (int)getpid());
    if (ftruncate(fd, 0) != 0 || pwrite(fd, text, (size_t)len, 0) != len) {
        int err = errno ? errno : EIO;
        close(fd);
        return Failed(err, path);
    }
    std::lock_guard<std::mutex> guard(heldLock);
    held[fd] = name ? name : "";
    return fd;
}

void RoleLockRelease(int handle) {
    if (handle < 0) return;
    {
        std::lock_guard<std::mutex> guard(heldLock);
        if (!held.erase(handle)) return; // not a lock handle of ours
    }
    // Clear the id while still holding the lock; the file itself stays, since
    // removing a lock file races with a process that has just opened it.
    int rc = ftruncate(handle, 0);
    (void)rc;
    close(handle);
}

int RoleLockHeld(const char* name) {
    std::string n = name ? name : "";
    std::lock_guard<std::mutex> guard(heldLock);
    for (const auto& entry : held) {
        if (entry.second == n) return 1;
    }
    return 0;
}

int RoleLockHolderPid(const char* name) {
    std::string path = RoleLockPath(name);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    int pid = 0;
    // A holder writes its id just after it took the lock: give it a moment.
    for (int attempt = 0; attempt < 50; attempt++) {
        if (flock(fd, LOCK_SH | LOCK_NB) == 0) {
            flock(fd, LOCK_UN); // nobody holds it
            pid = 0;
            break;
        }
        pid = ReadPid(fd);
        if (pid && ProcessAlive(pid)) break;
        pid = 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(4));
    }
    close(fd);
    return pid;
}

std::string RoleLockLastErrorText() {
    return lastErrno ? strerror(lastErrno) : "";
}

std::string RoleLockLastErrorPath() {
    return lastPath;
}
