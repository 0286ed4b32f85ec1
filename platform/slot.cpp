#include "platform/slot.h"
#include "platform/win32error.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/ascii.h"
#include "platform/machine.h"

namespace {

// The reader's own queue holds at most this much; beyond it the receiving
// thread stops taking datagrams and the kernel's small queue fills, so
// writers see a full slot instead of the reader growing without bound.
constexpr size_t QUEUE_MAX_MESSAGES = 4096;
constexpr size_t QUEUE_MAX_BYTES = 1 << 20;
// How long a writer waits for room in a full slot before it gives up.
constexpr int WRITE_WAIT_MS = 100;

thread_local uint32_t lastError = 0;

int Fail(uint32_t code) {
    lastError = code;
    return 0;
}

// Slot calls give the socket values their slot meaning; the rest follow the
// common mapping.
uint32_t SlotErrorFromErrno(int err) {
    switch (err) {
    case ECONNREFUSED:
        return SLOT_ERROR_FILE_NOT_FOUND;
    case ENOTSOCK:
        return SLOT_ERROR_INVALID_HANDLE;
    case ENOBUFS:
        return SLOT_ERROR_NOT_ENOUGH_MEMORY;
    case EADDRINUSE:
        return SLOT_ERROR_ALREADY_EXISTS;
    case EPIPE:
    case ENOTCONN:
        return SLOT_ERROR_NO_DATA;
    case EMSGSIZE:
        return SLOT_ERROR_MORE_DATA;
    default:
        return Win32FromErrno(err, SLOT_ERROR_GEN_FAILURE);
    }
}

struct Message {
    uint32_t size;             // the datagram's real size
    std::vector<uint8_t> data; // whole when size <= SLOT_MESSAGE_KEEP, else empty
};

// A created slot: its socket, the receiving thread and the queue it fills.
struct Reader {
    int fd = -1;
    int stopFd = -1;
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
    std::thread thread;

    std::mutex lock;
    std::condition_variable room;
    std::deque<Message> queue;
    size_t bytes = 0;
    bool stopping = false;
    uint32_t failure = 0; // a receive error that ended the thread
    std::vector<uint8_t> scratch = std::vector<uint8_t>(SLOT_MESSAGE_KEEP);
};

std::mutex readersLock;
std::map<int, std::shared_ptr<Reader>> readers;

std::shared_ptr<Reader> FindReader(int slot) {
    std::lock_guard<std::mutex> guard(readersLock);
    auto it = readers.find(slot);
    return it == readers.end() ? nullptr : it->second;
}

bool QueueFull(const Reader& r) {
    return r.queue.size() >= QUEUE_MAX_MESSAGES || r.bytes >= QUEUE_MAX_BYTES;
}

// Caller holds r->lock. Moves the datagrams waiting on the socket into the
// queue while there is room. Receiving and queueing under one lock keeps the
// arrival order between the receiving thread and a reader's SlotInfo, and
// makes a message visible to SlotInfo as soon as its write has returned.
void PullLocked(Reader* r) {
    while (!r->failure && !QueueFull(*r)) {
        ssize_t n = recv(r->fd, r->scratch.data(), r->scratch.size(), MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN) r->failure = SlotErrorFromErrno(errno);
            return;
        }
        Message m;
        m.size = (uint32_t)n;
        if ((size_t)n <= r->scratch.size())
            m.data.assign(r->scratch.begin(), r->scratch.begin() + n);
        r->bytes += m.data.size() + sizeof(Message);
        r->queue.push_back(std::move(m));
    }
}

void ReceiveLoop(Reader* r) {
    for (;;) {
        {
            std::unique_lock<std::mutex> guard(r->lock);
            r->room.wait(guard, [r] { return r->stopping || !QueueFull(*r); });
            if (r->stopping || r->failure) return;
        }
        pollfd fds[2] = {{r->fd, POLLIN, 0}, {r->stopFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            std::lock_guard<std::mutex> guard(r->lock);
            r->failure = SlotErrorFromErrno(errno);
            return;
        }
        if (fds[1].revents) return;
        std::lock_guard<std::mutex> guard(r->lock);
        PullLocked(r);
    }
}

bool FillAddress(const std::string& path, sockaddr_un* addr) {
    memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    if (path.size() >= sizeof addr->sun_path) return false;
    memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

} // namespace

std::string SlotPath(const char* name) {
    std::string last = name ? name : "";
    size_t cut = last.find_last_of("\\/");
    if (cut != std::string::npos) last = last.substr(cut + 1);
    AsciiLowerAll(last.data());
    return MachineRunDir() + "/slot-" + last;
}

int SlotCreate(const char* name, uint32_t mode, int holdsRoleLock) {
    std::string path = SlotPath(name);
    sockaddr_un addr;
    if (!FillAddress(path, &addr)) return Fail(SLOT_ERROR_FILENAME_EXCED_RANGE) - 1;
    if (!MachineMakeDir(MachineRunDir())) return Fail(SlotErrorFromErrno(errno)) - 1;

    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Fail(SlotErrorFromErrno(errno)) - 1;
    int rc = bind(fd, (sockaddr*)&addr, sizeof addr);
    if (rc != 0 && errno == EADDRINUSE && holdsRoleLock) {
        // Left by a reader of this role that has gone: the role lock we hold
        // means no live reader of it can exist.
        unlink(path.c_str());
        rc = bind(fd, (sockaddr*)&addr, sizeof addr);
    }
    if (rc != 0) {
        int err = errno;
        close(fd);
        return Fail(SlotErrorFromErrno(err)) - 1;
    }
    struct stat st;
    if ((mode != 0 && chmod(path.c_str(), mode) != 0) || stat(path.c_str(), &st) != 0) {
        int err = errno;
        close(fd);
        unlink(path.c_str());
        return Fail(SlotErrorFromErrno(err)) - 1;
    }

    auto r = std::make_shared<Reader>();
    r->fd = fd;
    r->path = path;
    r->dev = st.st_dev;
    r->ino = st.st_ino;
    r->stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (r->stopFd < 0) {
        int err = errno;
        close(fd);
        unlink(path.c_str());
        return Fail(SlotErrorFromErrno(err)) - 1;
    }
    r->thread = std::thread(ReceiveLoop, r.get());
    std::lock_guard<std::mutex> guard(readersLock);
    readers[fd] = r;
    return fd;
}

int SlotOpen(const char* name) {
    std::string path = SlotPath(name);
    sockaddr_un addr;
    if (!FillAddress(path, &addr)) return Fail(SLOT_ERROR_FILENAME_EXCED_RANGE) - 1;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Fail(SlotErrorFromErrno(errno)) - 1;
    // connect() fails when the file is missing or nobody is bound to it.
    if (connect(fd, (sockaddr*)&addr, sizeof addr) != 0) {
        int err = errno;
        close(fd);
        return Fail(SlotErrorFromErrno(err)) - 1;
    }
    return fd;
}

int SlotInfo(int slot, uint32_t* nextSize, uint32_t* count) {
    auto r = FindReader(slot);
    if (!r) return Fail(SLOT_ERROR_INVALID_HANDLE);
    std::lock_guard<std::mutex> guard(r->lock);
    PullLocked(r.get());
    if (r->queue.empty() && r->failure) return Fail(r->failure);
    if (count) *count = (uint32_t)r->queue.size();
    if (nextSize) *nextSize = r->queue.empty() ? 0 : r->queue.front().size;
    return 1;
}

int SlotRead(int slot, void* buffer, uint32_t size, uint32_t* read) {
    auto r = FindReader(slot);
    if (!r) return Fail(SLOT_ERROR_INVALID_HANDLE);
    std::lock_guard<std::mutex> guard(r->lock);
    if (r->queue.empty()) return Fail(r->failure ? r->failure : SLOT_ERROR_GEN_FAILURE);
    Message& m = r->queue.front();
    if (m.size > SLOT_MESSAGE_KEEP) {
        r->bytes -= m.data.size() + sizeof(Message);
        r->queue.pop_front();
        r->room.notify_all();
        return Fail(SLOT_ERROR_MORE_DATA);
    }
    if (size < m.size || (m.size && !buffer)) return Fail(SLOT_ERROR_INSUFFICIENT_BUFFER);
    if (m.size) memcpy(buffer, m.data.data(), m.size);
    if (read) *read = m.size;
    r->bytes -= m.data.size() + sizeof(Message);
    r->queue.pop_front();
    r->room.notify_all();
    return 1;
}

int SlotWrite(int slot, const void* data, uint32_t size, uint32_t* written) {
    if (written) *written = 0;
    if (size && !data) return Fail(SLOT_ERROR_INVALID_PARAMETER);
    ssize_t n = send(slot, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && errno == EAGAIN) {
        // The kernel's queue of the reader's socket is full; the reader's
        // receiving thread empties it at once unless its own queue is full
        // too. Wait a little for room, never long.
        pollfd p = {slot, POLLOUT, 0};
        if (poll(&p, 1, WRITE_WAIT_MS) > 0) n = send(slot, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    if (n < 0) {
        if (errno == EAGAIN) return 1; // the reader's queue is full: nothing written
        // A connected datagram socket whose reader has closed reports
        // ECONNREFUSED: the reader has gone.
        return Fail(errno == ECONNREFUSED ? SLOT_ERROR_NO_DATA : SlotErrorFromErrno(errno));
    }
    if (written) *written = (uint32_t)n;
    return 1;
}

void SlotClose(int slot) {
    if (slot < 0) return;
    std::shared_ptr<Reader> r;
    {
        std::lock_guard<std::mutex> guard(readersLock);
        auto it = readers.find(slot);
        if (it != readers.end()) {
            r = it->second;
            readers.erase(it);
        }
    }
    if (!r) {
        close(slot);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(r->lock);
        r->stopping = true;
    }
    r->room.notify_all();
    uint64_t one = 1;
    ssize_t n = write(r->stopFd, &one, sizeof one);
    (void)n;
    if (r->thread.joinable()) r->thread.join();
    // Remove the socket file only while it is still ours: a new reader may
    // have replaced it.
    struct stat st;
    if (stat(r->path.c_str(), &st) == 0 && st.st_dev == r->dev && st.st_ino == r->ino) {
        unlink(r->path.c_str());
    }
    close(r->fd);
    close(r->stopFd);
}

uint32_t SlotLastError() {
    return lastError;
}
