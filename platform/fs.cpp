// Files for the engine, confined beneath a user's root directory.
//
// Every client path is resolved relative to an O_PATH descriptor of the root
// with openat2(RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS): the kernel refuses
// "..", absolute links and links that leave the root, and because the whole
// walk happens in one call a directory swapped for a link meanwhile cannot
// lead out either. Operations on a last component (mkdir, unlink, rename)
// open the parent that way and act on the name relative to it.
//
// Where openat2 is missing (older kernels), or refused a walk only because a
// link is absolute, a walk of our own takes over: one component at a time
// with O_NOFOLLOW, links read and spliced into the remaining walk, ".." taken
// from the stack of directories already opened, absolute link targets
// accepted only when they lie inside the root's real path.
#include "platform/fs.h"
#include "platform/filemove.h"
#include "platform/sharelock.h"
#include "platform/win32error.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include "platform/report.h"

namespace {

constexpr uint32_t FS_ERROR_INVALID_HANDLE = 6;
constexpr uint32_t FS_ERROR_NOT_SAME_DEVICE = 17;
constexpr uint32_t FS_ERROR_GEN_FAILURE = 31;
constexpr uint32_t FS_ERROR_DISK_FULL = 112;
constexpr uint32_t FS_ERROR_INVALID_NAME = 123;
constexpr uint32_t FS_ERROR_DIRECTORY = 267; // not a directory
constexpr int MAX_LINKS = 40;

thread_local uint32_t lastError = 0;
// Set once openat2 has answered ENOSYS; or by tests to exercise the walk.
std::atomic<int> walkOnly{0};

// File calls give a few values a meaning of their own; the rest follow the
// common mapping.
uint32_t MapErrno(int e) {
    switch (e) {
    case EXDEV:
    case ELOOP:
    case EISDIR:
        return FS_ERROR_ACCESS_DENIED;
    case EEXIST:
        return FS_ERROR_FILE_EXISTS;
    case ENOTEMPTY:
        return FS_ERROR_DIR_NOT_EMPTY;
    case EINVAL:
        return FS_ERROR_INVALID_NAME;
    default:
        return Win32FromErrno(e, FS_ERROR_GEN_FAILURE);
    }
}

int Fail(uint32_t error) {
    lastError = error;
    return 0;
}

int FailErrno() {
    return Fail(MapErrno(errno));
}

// The same for calls that return a descriptor.
int FailHandle() {
    FailErrno();
    return -1;
}
int FailHandle(uint32_t error) {
    Fail(error);
    return -1;
}

// Closes a descriptor when the scope ends.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
    int release() { return std::exchange(fd, -1); }
};

// The part of path below root, without leading separators ("" = the root
// itself). A path is either root followed by "/" and the rest, or relative.
// 0 when path names something else.
int RelativeToRoot(const char* root, const char* path, std::string* rel) {
    size_t rootLen = strlen(root);
    while (rootLen > 1 && root[rootLen - 1] == '/')
        rootLen--;
    if (rootLen == 1 && root[0] == '/') rootLen = 0; // the file system's root: any absolute path
    if (root[0] == 0) {
        Report(REPORT_WARNING, "FsResolve: no root directory for %s", path);
        return Fail(FS_ERROR_ACCESS_DENIED);
    }
    const char* rest = path;
    if (path[0] == '/') {
        if (strncmp(path, root, rootLen) != 0 || (path[rootLen] != '/' && path[rootLen] != 0)) {
            Report(REPORT_WARNING, "FsResolve: %s is not below %s", path, root);
            return Fail(FS_ERROR_ACCESS_DENIED);
        }
        rest = path + rootLen;
    }
    while (*rest == '/')
        rest++;
    rel->assign(rest);
    while (!rel->empty() && rel->back() == '/')
        rel->pop_back();
    return 1;
}

// The real path of the root with no trailing separator ("" for "/").
int RootRealPath(int rootFd, std::string* out) {
    char link[64];
    char buf[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", rootFd);
    ssize_t n = readlink(link, buf, sizeof buf - 1);
    if (n <= 0) return 0;
    buf[n] = 0;
    out->assign(buf);
    while (!out->empty() && out->back() == '/')
        out->pop_back();
    return 1;
}

void SplitInto(const std::string& text, std::deque<std::string>* parts, bool front) {
    std::deque<std::string> pieces;
    size_t i = 0;
    while (i <= text.size()) {
        size_t j = text.find('/', i);
        if (j == std::string::npos) j = text.size();
        std::string c = text.substr(i, j - i);
        if (!c.empty() && c != ".") pieces.push_back(c);
        i = j + 1;
    }
    if (front) {
        parts->insert(parts->begin(), pieces.begin(), pieces.end());
    } else {
        parts->insert(parts->end(), pieces.begin(), pieces.end());
    }
}

// The walk of our own: rel beneath rootFd, one component at a time, opening
// the final one with flags. -1 with errno set on failure.
int WalkBeneath(int rootFd, const std::string& rel, int flags, mode_t mode) {
    std::string rootReal;
    std::deque<std::string> parts;
    SplitInto(rel, &parts, false);
    std::vector<int> stack; // directories opened so far; stack[0] is the root
    auto closeAll = [&] {
        for (int fd : stack)
            close(fd);
        stack.clear();
    };
    stack.push_back(fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
    if (stack[0] < 0) return -1;
    int links = 0;
    while (!parts.empty()) {
        std::string c = parts.front();
        parts.pop_front();
        if (c == "..") {
            if (stack.size() == 1) {
                closeAll();
                errno = EXDEV;
                return -1;
            }
            close(stack.back());
            stack.pop_back();
            continue;
        }
        bool last = parts.empty();
        int fd = openat(stack.back(), c.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            if (last && errno == ENOENT && (flags & O_CREAT)) {
                fd = openat(stack.back(), c.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
                int e = errno;
                closeAll();
                errno = e;
                return fd;
            }
            int e = errno;
            closeAll();
            errno = e;
            return -1;
        }
        struct stat st;
        if (fstat(fd, &st) != 0) {
            int e = errno;
            close(fd);
            closeAll();
            errno = e;
            return -1;
        }
        if (S_ISLNK(st.st_mode)) {
            char target[PATH_MAX];
            ssize_t n = readlinkat(fd, "", target, sizeof target - 1);
            close(fd);
            if (n <= 0 || ++links > MAX_LINKS) {
                closeAll();
                errno = ELOOP;
                return -1;
            }
            target[n] = 0;
            if (target[0] == '/') {
                if (rootReal.empty() && !RootRealPath(rootFd, &rootReal)) rootReal = "/";
                size_t len = rootReal == "/" ? 0 : rootReal.size();
                if (strncmp(target, rootReal.c_str(), len) != 0 ||
                    (target[len] != '/' && target[len] != 0)) {
                    closeAll();
                    errno = EXDEV;
                    return -1;
                }
                while (stack.size() > 1) {
                    close(stack.back());
                    stack.pop_back();
                }
                SplitInto(target + len, &parts, true);
            } else {
                SplitInto(target, &parts, true);
            }
            continue;
        }
        if (last) {
            close(fd);
            fd = openat(stack.back(), c.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
            int e = errno;
            closeAll();
            errno = e;
            return fd;
        }
        if (!S_ISDIR(st.st_mode)) {
            close(fd);
            closeAll();
            errno = ENOTDIR;
            return -1;
        }
        stack.push_back(fd);
    }
    // Nothing left to walk: the directory reached is the target.
    int fd = openat(stack.back(), ".", (flags & ~O_CREAT) | O_CLOEXEC);
    int e = errno;
    closeAll();
    errno = e;
    return fd;
}

// rel beneath rootFd opened with flags; -1 with errno set.
int OpenBeneath(int rootFd, const std::string& rel, int flags, mode_t mode = 0) {
    const char* p = rel.empty() ? "." : rel.c_str();
    if (!walkOnly) {
        struct open_how how;
        memset(&how, 0, sizeof how);
        how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
        how.mode = (flags & O_CREAT) ? mode : 0;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
        for (int attempt = 0; attempt < 8; attempt++) {
            long fd = syscall(SYS_openat2, rootFd, p, &how, sizeof how);
            if (fd >= 0) return static_cast<int>(fd);
            if (errno == EAGAIN || errno == EINTR) continue; // a rename raced the walk
            if (errno == ENOSYS) {
                // Every socket thread may find it out at once: reported once.
                if (!walkOnly.exchange(1))
                    Report(REPORT_INFO, "FsResolve: openat2 not available, walking paths instead");
            }
            break;
        }
        // EXDEV also stands for an absolute link, which may still point
        // inside the root: the walk decides.
        if (!walkOnly && errno != EXDEV && errno != EAGAIN) return -1;
    }
    return WalkBeneath(rootFd, rel, flags, mode);
}

int OpenRoot(const char* root) {
    int fd = open(root, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        int e = errno;
        FailErrno();
        Report(REPORT_WARNING, "FsResolve: cannot open root %s: %s", root, strerror(e));
    }
    return fd;
}

// The roots the calling thread opened last, kept open: every file operation
// starts from its account's root, and a look at the path (one stat) costs
// less than opening it and closing it again. An entry serves only while the
// path still leads to the directory it holds (same device and inode: the
// number cannot go to another directory while the entry keeps this one
// open), so a root renamed, replaced or mounted over is opened afresh, and
// the look is made with the thread's present rights, as an open would be.
struct KeptRoot {
    std::string path;
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
    uint64_t used = 0;
};
struct KeptRoots {
    static constexpr size_t KEPT = 4;
    KeptRoot entries[KEPT];
    uint64_t clock = 0;
    ~KeptRoots() {
        for (KeptRoot& e : entries)
            if (e.fd >= 0) close(e.fd);
    }
};
thread_local KeptRoots keptRoots;

// root's directory as a descriptor the caller borrows (never closes), or -1
// (FsLastError set, the cause logged).
int RootFd(const char* root) {
    KeptRoots& k = keptRoots;
    struct stat st;
    if (stat(root, &st) == 0) {
        for (KeptRoot& e : k.entries) {
            if (e.fd >= 0 && e.dev == st.st_dev && e.ino == st.st_ino && e.path == root) {
                e.used = ++k.clock;
                return e.fd;
            }
        }
    }
    Fd fd(OpenRoot(root));
    if (fd.fd < 0) return -1;
    if (fstat(fd.fd, &st) != 0) {
        FailErrno();
        return -1;
    }
    // The same path's old entry, else the one used longest ago.
    KeptRoot* slot = &k.entries[0];
    for (KeptRoot& e : k.entries) {
        if (e.fd >= 0 && e.path == root) {
            slot = &e;
            break;
        }
        if (e.used < slot->used) slot = &e;
    }
    if (slot->fd >= 0) close(slot->fd);
    slot->path = root;
    slot->fd = fd.release();
    slot->dev = st.st_dev;
    slot->ino = st.st_ino;
    slot->used = ++k.clock;
    return slot->fd;
}

// Records the error of a failed resolution (errno) and logs an attempt to
// leave the root (EXDEV). Returns 0.
int FailResolve(const char* path, const char* root) {
    int e = errno;
    FailErrno();
    if (e == EXDEV) Report(REPORT_WARNING, "FsResolve: %s leads outside %s", path, root);
    return 0;
}

// Opens path beneath root with flags: a descriptor, or -1 (FsLastError set).
int OpenPath(const char* root, const char* path, int flags, mode_t mode = 0) {
    std::string rel;
    if (!RelativeToRoot(root, path, &rel)) return -1;
    // The root itself as a path handle: one open of its own.
    if (rel.empty() && (flags & ~(O_PATH | O_DIRECTORY)) == 0 && (flags & O_PATH))
        return OpenRoot(root);
    int rootFd = RootFd(root);
    if (rootFd < 0) return -1;
    int fd = OpenBeneath(rootFd, rel, flags, mode);
    if (fd < 0) FailResolve(path, root);
    return fd;
}

// The parent directory of path's last component, opened beneath root, and
// that component. The root itself and "." or ".." as last name are refused.
int OpenParent(const char* root, const char* path, std::string* name) {
    std::string rel;
    if (!RelativeToRoot(root, path, &rel)) return -1;
    size_t slash = rel.rfind('/');
    std::string parent = slash == std::string::npos ? "" : rel.substr(0, slash);
    *name = slash == std::string::npos ? rel : rel.substr(slash + 1);
    if (name->empty() || *name == "." || *name == "..") {
        Fail(FS_ERROR_ACCESS_DENIED);
        return -1;
    }
    int rootFd = RootFd(root);
    if (rootFd < 0) return -1;
    int fd = OpenBeneath(rootFd, parent, O_PATH | O_DIRECTORY);
    if (fd < 0) {
        if (errno == ENOENT) errno = ENOTDIR; // the path, not the file, is missing
        FailResolve(path, root);
    }
    return fd;
}

bool ReadOnly(const struct stat& st) {
    return (st.st_mode & 0222) == 0;
}

// Pipes, sockets and devices: opening one can wait for ever (a pipe waits
// for its other end) or act on a device, and none holds a file's bytes. The
// engine neither shows nor opens them: they answer as a missing name.
bool NotAFile(const struct stat& st) {
    return !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

// Opens path for a transfer without ever waiting on the file: the entry is
// looked at first without opening it (a device is never opened), the open
// itself does not wait (a pipe swapped in meanwhile fails or is refused), and
// only a regular file is kept, in blocking mode again.
int OpenPlainFile(const char* root, const char* path, int flags, mode_t mode, struct stat* st) {
    // One descriptor of the root serves the look and the open.
    std::string rel;
    if (!RelativeToRoot(root, path, &rel)) return -1;
    int rootFd = RootFd(root);
    if (rootFd < 0) return -1;
    // The look is one fstatat. Resolution beneath the root reaches the same
    // entry as this plain one or fails, so a plain file found here is what
    // the open below gets (or is refused there for leading outside). Only
    // what is not a plain file is looked at again beneath the root, so that
    // nothing outside it decides the answer.
    if (fstatat(rootFd, rel.empty() ? "." : rel.c_str(), st, 0) == 0 && NotAFile(*st)) {
        Fd entry(OpenBeneath(rootFd, rel, O_PATH));
        if (entry.fd >= 0 && fstat(entry.fd, st) == 0 && NotAFile(*st)) {
            return FailHandle(FS_ERROR_FILE_NOT_FOUND);
        }
    }
    // A missing entry is for the open below to report (or create).
    Fd fd(OpenBeneath(rootFd, rel, flags | O_NONBLOCK | O_NOCTTY, mode));
    if (fd.fd < 0) {
        FailResolve(path, root);
        if (errno == ENXIO) Fail(FS_ERROR_FILE_NOT_FOUND); // a pipe nobody reads
        return -1;
    }
    if (fstat(fd.fd, st) != 0) return FailHandle();
    if (NotAFile(*st)) return FailHandle(FS_ERROR_FILE_NOT_FOUND);
    if (!S_ISREG(st->st_mode)) return FailHandle(FS_ERROR_ACCESS_DENIED);
    // The status flags are the ones asked for (F_SETFL ignores the access
    // mode and O_CREAT): no F_GETFL needed to clear O_NONBLOCK.
    if (fcntl(fd.fd, F_SETFL, (flags | O_NOCTTY) & ~O_NONBLOCK) != 0) return FailHandle();
    return fd.release();
}

uint32_t Attributes(const struct stat& st) {
    uint32_t a = 0;
    if (S_ISDIR(st.st_mode)) a |= FILE_ATTRIBUTE_DIRECTORY;
    if (ReadOnly(st)) a |= FILE_ATTRIBUTE_READONLY;
    return a;
}

// Share modes: how many descriptors hold each file for reading and writing.
struct ShareCount {
    int readers = 0;
    int writers = 0;
};
struct ShareHolder {
    std::pair<dev_t, ino_t> key;
    bool writer;
};
std::mutex shareLock;
std::map<std::pair<dev_t, ino_t>, ShareCount> shares;
std::unordered_map<int, ShareHolder> shareHolders;

// Registers fd for its file, or refuses with a sharing violation.
int ShareAcquire(int fd, const struct stat& st, bool writer) {
    std::lock_guard<std::mutex> guard(shareLock);
    auto key = std::make_pair(st.st_dev, st.st_ino);
    ShareCount& count = shares[key];
    if (count.writers > 0 || (writer && count.readers > 0)) {
        if (count.readers == 0 && count.writers == 0) shares.erase(key);
        return Fail(FS_ERROR_SHARING_VIOLATION);
    }
    // Other processes serving the same tree (and other opens of this one)
    // hold open-file-description locks.
    if (!ShareLockTake(fd, writer)) {
        if (count.readers == 0 && count.writers == 0) shares.erase(key);
        return Fail(FS_ERROR_SHARING_VIOLATION);
    }
    (writer ? count.writers : count.readers)++;
    shareHolders[fd] = {key, writer};
    return 1;
}

void ShareRelease(int fd) {
    std::lock_guard<std::mutex> guard(shareLock);
    auto it = shareHolders.find(fd);
    if (it == shareHolders.end()) return;
    auto s = shares.find(it->second.key);
    if (s != shares.end()) {
        (it->second.writer ? s->second.writers : s->second.readers)--;
        if (s->second.readers <= 0 && s->second.writers <= 0) shares.erase(s);
    }
    shareHolders.erase(it);
}

bool ShareInUse(const struct stat& st) {
    std::lock_guard<std::mutex> guard(shareLock);
    return shares.count(std::make_pair(st.st_dev, st.st_ino)) > 0;
}

// The last component name as found in its parent, without following a final
// link. A link is accepted only when it resolves beneath the root; the link
// itself is then what unlink or rename acts on.
int StatEntry(const char* root, const char* path, int parentFd, const std::string& name,
              struct stat* st) {
    if (fstatat(parentFd, name.c_str(), st, AT_SYMLINK_NOFOLLOW) != 0) return FailErrno();
    if (S_ISLNK(st->st_mode)) {
        Fd target(OpenPath(root, path, O_PATH));
        if (target.fd < 0) return 0;
        struct stat ts;
        if (fstat(target.fd, &ts) != 0) return FailErrno();
        if (ReadOnly(ts)) st->st_mode &= ~0222; // the link answers for its target
    }
    return 1;
}

} // namespace

uint32_t FsLastError() {
    return lastError;
}

void FsSetWalkOnly(int on) {
    walkOnly = on;
}

uint32_t FsGetAttributes(const char* root, const char* path) {
    Fd fd(OpenPath(root, path, O_PATH));
    if (fd.fd < 0) return INVALID_FILE_ATTRIBUTES;
    struct stat st;
    if (fstat(fd.fd, &st) != 0) {
        FailErrno();
        return INVALID_FILE_ATTRIBUTES;
    }
    if (NotAFile(st)) {
        Fail(FS_ERROR_FILE_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    return Attributes(st);
}

int FsOpenRead(const char* root, const char* path, uint64_t* size) {
    struct stat st;
    Fd fd(OpenPlainFile(root, path, O_RDONLY, 0, &st));
    if (fd.fd < 0) return -1;
    if (size) *size = static_cast<uint64_t>(st.st_size);
    if (!ShareAcquire(fd.fd, st, false)) return -1;
    return fd.release();
}

int FsOpenWrite(const char* root, const char* path, int truncate) {
    // Never truncate at open: the file may turn out to be read-only or in use.
    struct stat st;
    Fd fd(OpenPlainFile(root, path, O_WRONLY | O_CREAT, 0666, &st));
    if (fd.fd < 0) return -1;
    if (ReadOnly(st)) return FailHandle(FS_ERROR_ACCESS_DENIED);
    if (!ShareAcquire(fd.fd, st, true)) return -1;
    if (truncate && ftruncate(fd.fd, 0) != 0) {
        FailErrno();
        ShareRelease(fd.fd);
        return -1;
    }
    return fd.release();
}

int64_t FsRead(int fd, void* buffer, uint64_t size) {
    for (;;) {
        ssize_t n = read(fd, buffer, size);
        if (n >= 0) return n;
        if (errno != EINTR) return FailHandle();
    }
}

int64_t FsWrite(int fd, const void* buffer, uint64_t size) {
    const char* p = static_cast<const char*>(buffer);
    uint64_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, p + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            FailErrno();
            return done > 0 ? static_cast<int64_t>(done) : -1;
        }
        done += static_cast<uint64_t>(n);
    }
    return static_cast<int64_t>(done);
}

int64_t FsWriteFromPipe(int fd, int pipeReadEnd, uint64_t size) {
    uint64_t done = 0;
    while (done < size) {
        ssize_t n = splice(pipeReadEnd, nullptr, fd, nullptr, size - done, SPLICE_F_MOVE);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            if (n == 0) errno = EIO; // the pipe held less than it was said to
            FailErrno();
            return done > 0 ? static_cast<int64_t>(done) : -1;
        }
        done += static_cast<uint64_t>(n);
    }
    return static_cast<int64_t>(done);
}

int FsSeek(int fd, uint64_t offset) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return Fail(FS_ERROR_INVALID_NAME);
    if (lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) return FailErrno();
    return 1;
}

int64_t FsSize(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return FailHandle();
    return st.st_size;
}

void FsClose(int fd) {
    if (fd < 0) return;
    ShareRelease(fd);
    close(fd);
}

int FsCreateDirectory(const char* root, const char* path) {
    std::string name;
    Fd parent(OpenParent(root, path, &name));
    if (parent.fd < 0) return 0;
    if (mkdirat(parent.fd, name.c_str(), 0777) != 0) return FailErrno();
    return 1;
}

int FsRemoveDirectory(const char* root, const char* path) {
    std::string name;
    Fd parent(OpenParent(root, path, &name));
    if (parent.fd < 0) return 0;
    struct stat st;
    if (fstatat(parent.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return FailErrno();
    if (!S_ISDIR(st.st_mode)) return Fail(FS_ERROR_DIRECTORY);
    if (ReadOnly(st)) return Fail(FS_ERROR_ACCESS_DENIED);
    if (unlinkat(parent.fd, name.c_str(), AT_REMOVEDIR) != 0) return FailErrno();
    return 1;
}

int FsDeleteFile(const char* root, const char* path) {
    std::string name;
    Fd parent(OpenParent(root, path, &name));
    if (parent.fd < 0) return 0;
    struct stat st;
    if (!StatEntry(root, path, parent.fd, name, &st)) return 0;
    if (S_ISDIR(st.st_mode) || ReadOnly(st)) return Fail(FS_ERROR_ACCESS_DENIED);
    if (ShareInUse(st) || ShareLockHeld(parent.fd, name.c_str()))
        return Fail(FS_ERROR_SHARING_VIOLATION);
    if (unlinkat(parent.fd, name.c_str(), 0) != 0) return FailErrno();
    return 1;
}

int FsMoveFile(const char* root, const char* from, const char* to) {
    std::string fromName;
    std::string toName;
    Fd fromParent(OpenParent(root, from, &fromName));
    if (fromParent.fd < 0) return 0;
    Fd toParent(OpenParent(root, to, &toName));
    if (toParent.fd < 0) return 0;
    struct stat st;
    if (!StatEntry(root, from, fromParent.fd, fromName, &st)) return 0;
    if (ReadOnly(st)) return Fail(FS_ERROR_ACCESS_DENIED);
    if (!S_ISDIR(st.st_mode) && (ShareInUse(st) || ShareLockHeld(fromParent.fd, fromName.c_str())))
        return Fail(FS_ERROR_SHARING_VIOLATION);
    if (FileMoveAt(fromParent.fd, fromName.c_str(), toParent.fd, toName.c_str())) return 1;
    if (errno == EXDEV) return Fail(FS_ERROR_NOT_SAME_DEVICE);
    return FailErrno();
}

int FsFindFiles(const char* root, const char* pattern, std::vector<FsEntry>* out, bool sorted) {
    out->clear();
    size_t len = strlen(pattern);
    bool listDir = len >= 2 && pattern[len - 1] == '*' && pattern[len - 2] == '/';
    if (!listDir) {
        Fd fd(OpenPath(root, pattern, O_PATH));
        if (fd.fd < 0) return 0;
        struct stat st;
        if (fstat(fd.fd, &st) != 0) return FailErrno();
        if (NotAFile(st)) return Fail(FS_ERROR_FILE_NOT_FOUND);
        std::string rel;
        RelativeToRoot(root, pattern, &rel);
        size_t slash = rel.rfind('/');
        std::string name = slash == std::string::npos ? rel : rel.substr(slash + 1);
        if (name.empty()) name = ".";
        uint32_t a = Attributes(st) | (name[0] == '.' ? FILE_ATTRIBUTE_HIDDEN : 0);
        out->push_back({a, st.st_mtime, static_cast<uint64_t>(st.st_size), name,
                        static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)});
        return 1;
    }
    std::string dirPath(pattern, len - 2);
    if (dirPath.empty()) dirPath = "/";
    std::string rel;
    if (!RelativeToRoot(root, dirPath.c_str(), &rel)) return 0;
    int rootFd = RootFd(root);
    if (rootFd < 0) return 0;
    int dirFd = OpenBeneath(rootFd, rel, O_RDONLY | O_DIRECTORY);
    if (dirFd < 0) return FailResolve(pattern, root);
    DIR* dir = fdopendir(dirFd);
    if (!dir) {
        close(dirFd);
        return FailErrno();
    }
    struct stat self;
    fstat(dirFd, &self);
    auto entry = [](const struct stat& st, std::string name) {
        uint32_t a = Attributes(st) | (name[0] == '.' ? FILE_ATTRIBUTE_HIDDEN : 0);
        return FsEntry{a,
                       st.st_mtime,
                       static_cast<uint64_t>(st.st_size),
                       std::move(name),
                       static_cast<uint64_t>(st.st_dev),
                       static_cast<uint64_t>(st.st_ino)};
    };
    std::vector<FsEntry> found;
    found.reserve(64);
    while (struct dirent* d = readdir(dir)) {
        std::string name = d->d_name;
        if (name == "." || name == "..") continue;
        struct stat st;
        if (fstatat(dirFd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISLNK(st.st_mode)) {
            // A link is listed as what it leads to, and only when that lies
            // beneath the root.
            Fd target(OpenBeneath(rootFd, rel.empty() ? name : rel + "/" + name, O_PATH));
            if (target.fd < 0 || fstat(target.fd, &st) != 0) continue;
        }
        if (NotAFile(st)) continue;
        found.push_back(entry(st, std::move(name)));
    }
    closedir(dir);
    if (sorted)
        std::sort(found.begin(), found.end(),
                  [](const FsEntry& a, const FsEntry& b) { return a.name < b.name; });
    // "." and ".." come first, as the search returns them; at the root ".."
    // describes the root itself, never what lies above it.
    struct stat parent = self;
    if (!rel.empty()) {
        Fd up(OpenBeneath(rootFd, rel + "/..", O_PATH));
        if (up.fd >= 0) fstat(up.fd, &parent);
    }
    out->reserve(found.size() + 2);
    out->push_back(entry(self, "."));
    out->push_back(entry(parent, ".."));
    out->insert(out->end(), std::make_move_iterator(found.begin()),
                std::make_move_iterator(found.end()));
    return 1;
}

int FsOpenPlain(const char* path) {
    // Never waits on a pipe put in the file's place, and reads only a file.
    Fd fd(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.fd < 0) return FailHandle();
    struct stat st;
    if (fstat(fd.fd, &st) != 0) return FailHandle();
    if (!S_ISREG(st.st_mode)) return FailHandle(FS_ERROR_ACCESS_DENIED);
    int status = fcntl(fd.fd, F_GETFL);
    if (status < 0 || fcntl(fd.fd, F_SETFL, status & ~O_NONBLOCK) != 0) return FailHandle();
    return fd.release();
}
