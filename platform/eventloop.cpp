// The socket thread's event loop: one epoll set per process, plus an eventfd
// that wakes the loop for messages queued by other threads.
//
// epoll is used level-triggered, and the interest of each socket is the set
// of notifications it may receive now: EPOLLIN leaves the set when it fires
// again after FD_READ was reported but before the next receive, and comes
// back with that receive (so the usual report-then-receive costs no
// epoll_ctl at all), EPOLLOUT is in the set
// only while FD_WRITE is armed (after a send would have blocked) or a connect
// is under way. So a handler that does not read at once is not woken again
// and again, and FD_WRITE is not reported while the socket stays writable.
// The FD_WRITE a new selection of a just-accepted socket is owed needs no
// epoll at all: the socket is writable, so it is queued and delivered at the
// start of the loop's next turn.
//
// EPOLLERR and EPOLLHUP are reported whatever the interest. A reset is
// turned into FD_CLOSE with its error at once; a hang-up that cannot be
// reported yet (unread bytes, FD_READ already reported) parks the socket out
// of the set until the next receive, instead of spinning.
//
// Handlers may close or register sockets, the dispatched one included, and
// a closed descriptor number may be reused by the next socket within one
// batch of events. Each registration therefore gets a generation number that
// travels in the epoll data; after every callback the loop looks the socket
// up again and drops an event whose socket is gone or was replaced.
#include "platform/eventloop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/report.h"
#include "platform/net.h"
#include "platform/sockstate.h"

namespace {

enum SockKind : uint8_t { KIND_IDLE, KIND_CONNECTING, KIND_CONNECTED, KIND_LISTENING };

struct SockState {
    uint32_t gen = 0; // registration number; 0 = not registered
    unsigned message = 0;
    long mask = 0; // events asked for; 0 = not registered
    SockKind kind = KIND_IDLE;
    bool readEnabled = true;   // FD_READ may be reported
    bool acceptEnabled = true; // FD_ACCEPT may be reported
    // Interest in EPOLLIN is dropped lazily: reporting FD_READ or FD_ACCEPT
    // leaves the set as it is (a receive or accept usually follows at once,
    // and two epoll_ctl calls per event would be spent for nothing); only
    // when EPOLLIN fires again before that is it taken out, until then.
    bool readMasked = false;
    bool acceptMasked = false;
    bool writeArmed = false; // FD_WRITE is due once the socket is writable
    // FD_WRITE of the first selection of an accepted socket, which is
    // writable with nothing sent: delivered from the loop's list of due
    // writes, without EPOLLOUT entering the set and leaving it again.
    bool writeDue = false;
    bool fresh = false;     // accepted, not selected yet, no send has blocked
    bool closeSeen = false; // FD_CLOSE reported, or the connection ended
    bool parked = false;    // hung up but nothing reportable until a receive
    bool sendShut = false;
    bool nonBlocking = false; // known to be non-blocking: no fcntl needed
    bool socket = false;      // the system said so (created, accepted, listening, connecting)
    bool inSet = false;
    uint32_t setEvents = 0;
    int lastError = 0; // fatal errno a receive or send met
};

struct Message {
    unsigned message;
    uintptr_t wParam;
    intptr_t lParam;
    int* result; // non-null for a sent message: 1 handled, 0 dropped
};

constexpr uint64_t WAKE_KEY = UINT64_MAX;
constexpr int BATCH = 64;

struct Timer {
    uintptr_t id;
    std::chrono::milliseconds interval;
    std::chrono::steady_clock::time_point due;
};

// One-shot deadlines: what is delivered when one is due.
struct Deadline {
    unsigned message;
    uintptr_t wParam;
};

// One event loop ("window"): its epoll set, its sockets, its messages and
// its timers. Each socket thread has its own; loop 0 is also the one the
// calls without a loop number reach from other threads.
struct Loop {
    // One lock for the socket table, the message queue and the loop's
    // descriptors. It is never held while a handler runs. Other threads take
    // it only to queue a message or set a timer, so it is seldom contended.
    std::mutex lock;
    std::condition_variable sentDone;
    std::unordered_map<int, SockState> sockets;
    std::vector<std::pair<int, uint32_t>> dueWrites; // (socket, generation): writeDue set
    std::deque<Message> messages;
    int epollFd = -1;
    int wakeFd = -1;
    bool open = false; // the "window" exists and takes messages
    uint32_t nextGen = 1;
    std::vector<Timer> timers;
    // One-shot deadlines, loop thread only: by (deadline, id), and each id's
    // deadline. Many of them (one or two per connection), so ordered, not
    // scanned.
    std::map<std::pair<int64_t, uint64_t>, Deadline> deadlines;
    std::unordered_map<uint64_t, int64_t> deadlineOf;
    uint64_t nextDeadlineId = 1;
    EvWndProc proc = nullptr;
    std::thread::id thread;
    std::atomic<bool> quit{false};
    int quitCode = 0;
};

Loop loops[EV_LOOPS_MAX];
// The loop of the calling thread; none on threads that run no loop, whose
// socket calls and timers go to loop 0.
thread_local Loop* threadLoop = nullptr;

Loop& Here() {
    return threadLoop ? *threadLoop : loops[0];
}

uint64_t Key(int fd, uint32_t gen) {
    return (static_cast<uint64_t>(gen) << 32) | static_cast<uint32_t>(fd);
}

// The epoll interest of a socket; false = keep it out of the set.
bool Wanted(const SockState& s, uint32_t* events) {
    *events = 0;
    if (s.mask == 0 || s.closeSeen) return false;
    switch (s.kind) {
    case KIND_IDLE:
        // An unconnected TCP socket reports EPOLLHUP: nothing to watch yet.
        return false;
    case KIND_CONNECTING:
        *events = EPOLLOUT;
        return true;
    case KIND_LISTENING:
        if ((s.mask & FD_ACCEPT) && (s.acceptEnabled || !s.acceptMasked)) *events = EPOLLIN;
        return true;
    case KIND_CONNECTED:
        if (s.parked) {
            // The FIN was seen; EPOLLHUP and EPOLLERR still report a reset.
        } else if (s.mask & FD_READ) {
            if (s.readEnabled || !s.readMasked) *events |= EPOLLIN | EPOLLRDHUP;
        } else if (s.mask & FD_CLOSE) {
            *events |= EPOLLRDHUP;
        }
        if (s.writeArmed && !s.writeDue && (s.mask & FD_WRITE)) *events |= EPOLLOUT;
        // In the set even with no interest, so that a reset is seen.
        return true;
    }
    return false;
}

// Brings the epoll set in line with the socket's state. loopLock held.
void Apply(Loop& L, int fd, SockState& s) {
    if (L.epollFd < 0) return;
    uint32_t events;
    bool in = Wanted(s, &events);
    if (!in) {
        if (s.inSet) {
            epoll_ctl(L.epollFd, EPOLL_CTL_DEL, fd, nullptr);
            s.inSet = false;
        }
        return;
    }
    if (s.inSet && s.setEvents == events) return;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = Key(fd, s.gen);
    int op = s.inSet ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (epoll_ctl(L.epollFd, op, fd, &ev) != 0) {
        Report(REPORT_WARNING, "EvLoop: error %d watching socket %d", errno, fd);
        s.inSet = false;
        return;
    }
    s.inSet = true;
    s.setEvents = events;
}

SockState* Find(Loop& L, int fd) {
    auto it = L.sockets.find(fd);
    return it == L.sockets.end() ? nullptr : &it->second;
}

int SocketError(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
}

// What a receive would meet now, without consuming anything.
enum PeekResult { PEEK_DATA, PEEK_EOF, PEEK_ERROR, PEEK_NONE };
PeekResult Peek(int fd, int* err) {
    char c;
    ssize_t n = recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) return PEEK_DATA;
    if (n == 0) return PEEK_EOF;
    *err = errno;
    if (*err == EAGAIN || *err == EWOULDBLOCK || *err == EINTR) return PEEK_NONE;
    return PEEK_ERROR;
}

bool FatalError(int err) {
    return err != 0 && err != EAGAIN && err != EWOULDBLOCK && err != EINTR;
}

void Deliver(Loop& L, unsigned message, int fd, uint16_t event, int err) {
    L.proc(message, static_cast<uintptr_t>(fd),
           WSAMAKESELECTREPLY(event, static_cast<uint16_t>(WsaFromErrno(err))));
}

// Delivers what one epoll event of one socket stands for, one notification
// at a time; after each callback the socket is looked up again.
void ProcessSocket(Loop& L, int fd, uint32_t gen, uint32_t ev) {
    const uint32_t hangup = ev & (EPOLLERR | EPOLLHUP | EPOLLRDHUP);
    while (!L.quit.load(std::memory_order_relaxed)) {
        uint16_t event = 0;
        int err = 0;
        unsigned message = 0;
        {
            std::lock_guard<std::mutex> lk(L.lock);
            SockState* s = Find(L, fd);
            if (!s || s->gen != gen || s->mask == 0) return;
            message = s->message;
            if (s->kind == KIND_CONNECTING) {
                if (!(ev & (EPOLLOUT | EPOLLERR | EPOLLHUP))) return;
                err = SocketError(fd);
                if (err) {
                    s->closeSeen = true; // a failed attempt yields nothing more
                    s->kind = KIND_IDLE;
                    ev = 0;
                } else {
                    s->kind = KIND_CONNECTED;
                    // Connected: FD_WRITE follows FD_CONNECT.
                    s->writeArmed = true;
                    ev &= EPOLLOUT;
                }
                Apply(L, fd, *s);
                if (s->mask & FD_CONNECT) event = FD_CONNECT;
            } else if (s->kind == KIND_LISTENING) {
                if (!(ev & EPOLLIN) || !(s->mask & FD_ACCEPT)) return;
                if (!s->acceptEnabled) {
                    s->acceptMasked = true; // no accept since the last FD_ACCEPT
                    Apply(L, fd, *s);
                    return;
                }
                ev &= ~EPOLLIN;
                s->acceptEnabled = false; // until the next accept call
                Apply(L, fd, *s);
                event = FD_ACCEPT;
            } else if (s->kind == KIND_CONNECTED && !s->closeSeen) {
                if ((ev & EPOLLOUT) && s->writeArmed && (s->mask & FD_WRITE)) {
                    ev &= ~EPOLLOUT;
                    s->writeArmed = false; // until a send would block again
                    Apply(L, fd, *s);
                    event = FD_WRITE;
                } else if (ev & (EPOLLIN | EPOLLRDHUP | EPOLLERR | EPOLLHUP)) {
                    ev &= ~(EPOLLIN | EPOLLRDHUP | EPOLLERR | EPOLLHUP);
                    int sockErr = (hangup & EPOLLERR) ? SocketError(fd) : 0;
                    PeekResult peek;
                    if (sockErr) {
                        peek = PEEK_ERROR;
                    } else if (!hangup) {
                        peek = PEEK_DATA; // plain EPOLLIN: bytes wait
                    } else {
                        peek = Peek(fd, &sockErr);
                    }
                    if (peek == PEEK_DATA && !(s->mask & FD_READ) && hangup) {
                        peek = PEEK_EOF; // FD_CLOSE without FD_READ: the FIN is all that counts
                    }
                    if (peek == PEEK_DATA && hangup && !s->readEnabled &&
                        (hangup & (EPOLLHUP | EPOLLERR))) {
                        // Reset, or closed both ways, while the program holds
                        // reading back: nothing it could still send arrives,
                        // so the unread bytes are moot and the close is due.
                        peek = PEEK_ERROR;
                        if (!sockErr)
                            sockErr = FatalError(s->lastError) ? s->lastError : ECONNRESET;
                    }
                    switch (peek) {
                    case PEEK_DATA:
                        if ((s->mask & FD_READ) && s->readEnabled) {
                            s->readEnabled = false; // until the next receive
                            event = FD_READ;
                        } else if (hangup) {
                            // Half-closed while reading is held back: watch
                            // for a later reset, but not for the FIN again.
                            s->parked = true;
                        } else if (s->mask & FD_READ) {
                            s->readMasked = true; // no receive since the last FD_READ
                        }
                        break;
                    case PEEK_EOF:
                        s->closeSeen = true;
                        // A reset that a receive already met is still a reset.
                        err = FatalError(s->lastError) ? s->lastError : 0;
                        if (s->mask & FD_CLOSE) event = FD_CLOSE;
                        break;
                    case PEEK_ERROR:
                        s->closeSeen = true;
                        err = sockErr;
                        if (s->mask & FD_CLOSE) event = FD_CLOSE;
                        break;
                    case PEEK_NONE:
                        // A hang-up with nothing to read: the connection is
                        // over, whatever the receive said.
                        if (hangup & (EPOLLHUP | EPOLLERR)) {
                            s->closeSeen = true;
                            err = FatalError(s->lastError) ? s->lastError : 0;
                            if (s->mask & FD_CLOSE) event = FD_CLOSE;
                        }
                        break;
                    }
                    Apply(L, fd, *s);
                } else {
                    return;
                }
            } else {
                return;
            }
        }
        if (event) Deliver(L, message, fd, event, err);
    }
}

// Delivers the FD_WRITE owed to new selections of accepted sockets, in the
// order they were made; one whose socket was closed, re-registered or met a
// blocked send since is dropped (epoll reports that one).
void DeliverDueWrites(Loop& L) {
    std::vector<std::pair<int, uint32_t>> due;
    {
        std::lock_guard<std::mutex> lk(L.lock);
        if (L.dueWrites.empty()) return;
        due.swap(L.dueWrites);
    }
    for (auto [fd, gen] : due) {
        if (L.quit.load(std::memory_order_relaxed)) return;
        unsigned message = 0;
        {
            std::lock_guard<std::mutex> lk(L.lock);
            SockState* s = Find(L, fd);
            if (!s || s->gen != gen || !s->writeDue) continue;
            s->writeDue = false;
            if (!s->writeArmed || !(s->mask & FD_WRITE) || s->closeSeen) {
                Apply(L, fd, *s);
                continue;
            }
            s->writeArmed = false; // until a send would block
            message = s->message;
        }
        Deliver(L, message, fd, FD_WRITE, 0);
    }
}

// A message taken from the queue. WM_CLOSE is a window's default handling:
// the window is destroyed, so the procedure sees WM_DESTROY.
void HandleMessage(Loop& L, const Message& m) {
    if (m.message == WM_CLOSE) {
        {
            std::lock_guard<std::mutex> lk(L.lock);
            if (!L.open) return;
            L.open = false;
        }
        L.proc(WM_DESTROY, 0, 0);
        return;
    }
    L.proc(m.message, m.wParam, m.lParam);
}

void DrainMessages(Loop& L) {
    uint64_t count;
    if (read(L.wakeFd, &count, sizeof count) < 0 && errno != EAGAIN) {
        Report(REPORT_WARNING, "EvLoop: error %d reading the wake-up counter", errno);
    }
    while (!L.quit.load()) {
        Message m;
        {
            std::lock_guard<std::mutex> lk(L.lock);
            if (L.messages.empty()) return;
            m = L.messages.front();
            L.messages.pop_front();
        }
        HandleMessage(L, m);
        if (m.result) {
            std::lock_guard<std::mutex> lk(L.lock);
            *m.result = 1;
            L.sentDone.notify_all();
        }
    }
}

// Queues a message for the loop; with result, waits until it was handled.
int Enqueue(Loop& L, unsigned message, uintptr_t wParam, intptr_t lParam, bool wait) {
    std::unique_lock<std::mutex> lk(L.lock);
    if (!L.open || L.wakeFd < 0) return 0;
    int result = -1;
    L.messages.push_back(Message{message, wParam, lParam, wait ? &result : nullptr});
    uint64_t one = 1;
    if (write(L.wakeFd, &one, sizeof one) < 0 && errno != EAGAIN) {
        Report(REPORT_WARNING, "EvLoop: error %d waking the loop", errno);
    }
    if (!wait) return 1;
    L.sentDone.wait(lk, [&] { return result >= 0; });
    return result;
}

// Finds or makes the record of a socket the loop has not heard of, learning
// its state from the system.
SockState& Probe(Loop& L, int fd) {
    auto it = L.sockets.find(fd);
    if (it != L.sockets.end()) return it->second;
    SockState& s = L.sockets[fd];
    int listening = 0;
    socklen_t len = sizeof listening;
    sockaddr_storage peer;
    socklen_t plen = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) == 0 && listening) {
        s.kind = KIND_LISTENING;
    } else if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &plen) == 0) {
        s.kind = KIND_CONNECTED;
    }
    return s;
}

// How long epoll_wait may sleep for the L.deadlines: until the first, or for ever.
int WaitMs(Loop& L) {
    if (L.deadlines.empty()) return -1;
    int64_t left = L.deadlines.begin()->first.first - EvNowMs();
    if (left <= 0) return 0;
    return left > 60000 ? 60000 : static_cast<int>(left);
}

// Delivers every deadline that is due, one at a time; a handler may start or
// cancel L.deadlines, so the first one is looked up afresh each time.
void FireTimers(Loop& L) {
    int64_t now = EvNowMs();
    while (!L.quit.load(std::memory_order_relaxed) && !L.deadlines.empty()) {
        auto first = L.deadlines.begin();
        if (first->first.first > now) return;
        uint64_t id = first->first.second;
        Deadline t = first->second;
        L.deadlines.erase(first);
        L.deadlineOf.erase(id);
        L.proc(t.message, t.wParam, static_cast<intptr_t>(id));
    }
}

} // namespace

int64_t EvNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

uint64_t EvTimerStart(uint32_t ms, unsigned message, uintptr_t wParam) {
    Loop& L = Here();
    if (L.epollFd < 0 || !L.proc) return 0;
    uint64_t id = L.nextDeadlineId++;
    int64_t due = EvNowMs() + ms;
    L.deadlines[{due, id}] = Deadline{message, wParam};
    L.deadlineOf[id] = due;
    return id;
}

void EvTimerCancel(uint64_t id) {
    Loop& L = Here();
    auto it = L.deadlineOf.find(id);
    if (it == L.deadlineOf.end()) return;
    L.deadlines.erase({it->second, id});
    L.deadlineOf.erase(it);
}

int EvLoopCreate(EvWndProc proc) {
    return EvLoopCreateAt(0, proc);
}

int EvLoopCreateAt(int index, EvWndProc proc) {
    if (index < 0 || index >= EV_LOOPS_MAX) {
        Report(REPORT_WARNING, "EvLoopCreate: no loop %d", index);
        return 0;
    }
    Loop& L = loops[index];
    {
        std::lock_guard<std::mutex> lk(L.lock);
        if (L.epollFd >= 0) {
            Report(REPORT_WARNING, "EvLoopCreate: a loop exists already");
            return 0;
        }
        int ep = epoll_create1(EPOLL_CLOEXEC);
        if (ep < 0) {
            Report(REPORT_WARNING, "EvLoopCreate: error %d creating the epoll set", errno);
            return 0;
        }
        int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = WAKE_KEY;
        if (wake < 0 || epoll_ctl(ep, EPOLL_CTL_ADD, wake, &ev) != 0) {
            Report(REPORT_WARNING, "EvLoopCreate: error %d creating the wake-up counter", errno);
            if (wake >= 0) close(wake);
            close(ep);
            return 0;
        }
        L.epollFd = ep;
        L.wakeFd = wake;
        L.proc = proc;
        L.thread = std::this_thread::get_id();
        L.quit = false;
        L.quitCode = 0;
        L.open = true;
        threadLoop = &L;
        // Sockets known from before (accepted or connecting ones) keep their
        // state; registrations of an earlier loop are gone with its set.
        for (auto& [fd, s] : L.sockets) {
            s.mask = 0;
            s.gen = 0;
            s.inSet = false;
        }
    }
    proc(WM_CREATE, 0, 0);
    return 1;
}

namespace {

// Milliseconds until the next timer is due (-1: none). loopLock held.
int TimerWait(Loop& L) {
    if (L.timers.empty()) return -1;
    auto due =
        std::min_element(L.timers.begin(), L.timers.end(), [](const Timer& a, const Timer& b) {
            return a.due < b.due;
        })->due;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(due - std::chrono::steady_clock::now())
                    .count();
    return left < 0 ? 0 : (int)std::min<long long>(left, 1 << 30);
}

// Delivers WM_TIMER for each timer that is due, restarting its interval.
void RunTimers(Loop& L) {
    std::vector<uintptr_t> due;
    {
        std::lock_guard<std::mutex> lk(L.lock);
        auto now = std::chrono::steady_clock::now();
        for (Timer& t : L.timers) {
            if (t.due > now) continue;
            due.push_back(t.id);
            t.due = now + t.interval;
        }
    }
    for (uintptr_t id : due) {
        if (L.quit.load()) return;
        L.proc(WM_TIMER, id, 0);
    }
}

} // namespace

int EvLoopSetTimer(uintptr_t id, unsigned ms) {
    Loop& L = Here();
    std::lock_guard<std::mutex> lk(L.lock);
    if (!L.open) return 0;
    auto interval = std::chrono::milliseconds(ms);
    auto due = std::chrono::steady_clock::now() + interval;
    auto it =
        std::find_if(L.timers.begin(), L.timers.end(), [id](const Timer& t) { return t.id == id; });
    if (it != L.timers.end())
        *it = Timer{id, interval, due};
    else
        L.timers.push_back(Timer{id, interval, due});
    // A loop waiting in another thread learns the new deadline.
    if (std::this_thread::get_id() != L.thread) {
        uint64_t one = 1;
        if (write(L.wakeFd, &one, sizeof one) < 0) {
            // A full counter wakes the loop as well.
        }
    }
    return 1;
}

void EvLoopKillTimer(uintptr_t id) {
    Loop& L = Here();
    std::lock_guard<std::mutex> lk(L.lock);
    L.timers.erase(std::remove_if(L.timers.begin(), L.timers.end(),
                                  [id](const Timer& t) { return t.id == id; }),
                   L.timers.end());
}

int EvLoopRun() {
    Loop& L = Here();
    epoll_event events[BATCH];
    while (!L.quit.load()) {
        DeliverDueWrites(L);
        int wait;
        {
            std::lock_guard<std::mutex> lk(L.lock);
            wait = L.dueWrites.empty() ? TimerWait(L) : 0;
        }
        int deadlineWait = WaitMs(L);
        if (deadlineWait >= 0 && (wait < 0 || deadlineWait < wait)) wait = deadlineWait;
        int n = epoll_wait(L.epollFd, events, BATCH, wait);
        if (n < 0) {
            if (errno == EINTR) continue;
            Report(REPORT_WARNING, "EvLoopRun: error %d waiting for events", errno);
            break;
        }
        for (int i = 0; i < n && !L.quit.load(); i++) {
            uint64_t key = events[i].data.u64;
            if (key == WAKE_KEY) {
                DrainMessages(L);
            } else {
                ProcessSocket(L, static_cast<int>(key & 0xFFFFFFFFu),
                              static_cast<uint32_t>(key >> 32), events[i].events);
            }
        }
        if (!L.quit.load()) RunTimers(L);
        FireTimers(L);
    }
    return L.quitCode;
}

void EvLoopQuit(int code) {
    Loop& L = Here();
    L.quitCode = code;
    L.quit = true;
    std::lock_guard<std::mutex> lk(L.lock);
    if (L.wakeFd >= 0 && std::this_thread::get_id() != L.thread) {
        uint64_t one = 1;
        if (write(L.wakeFd, &one, sizeof one) < 0) {
            // The loop is woken by the counter only; a full counter wakes it too.
        }
    }
}

void EvLoopDestroy() {
    Loop& L = Here();
    if (threadLoop == &L) threadLoop = nullptr;
    std::lock_guard<std::mutex> lk(L.lock);
    L.open = false;
    // Whoever still waits for a sent message is let go: it was not handled.
    for (Message& m : L.messages) {
        if (m.result) *m.result = 0;
    }
    L.messages.clear();
    L.dueWrites.clear();
    L.timers.clear();
    L.sentDone.notify_all();
    for (auto& [fd, s] : L.sockets) {
        s.mask = 0;
        s.gen = 0;
        s.inSet = false;
    }
    L.deadlines.clear();
    L.deadlineOf.clear();
    if (L.wakeFd >= 0) close(L.wakeFd);
    if (L.epollFd >= 0) close(L.epollFd);
    L.wakeFd = -1;
    L.epollFd = -1;
    L.proc = nullptr;
    L.thread = std::thread::id();
}

int EvLoopSend(unsigned message, uintptr_t wParam, intptr_t lParam) {
    return EvLoopSendTo(0, message, wParam, lParam);
}

int EvLoopSendTo(int index, unsigned message, uintptr_t wParam, intptr_t lParam) {
    if (index < 0 || index >= EV_LOOPS_MAX) return 0;
    Loop& L = loops[index];
    if (std::this_thread::get_id() == L.thread) {
        // Sent by the loop's own thread: handled at once, as SendMessage does.
        {
            std::lock_guard<std::mutex> lk(L.lock);
            if (!L.open) return 0;
        }
        HandleMessage(L, Message{message, wParam, lParam, nullptr});
        return 1;
    }
    return Enqueue(L, message, wParam, lParam, true);
}

int EvLoopPost(unsigned message, uintptr_t wParam, intptr_t lParam) {
    return EvLoopPostTo(0, message, wParam, lParam);
}

int EvLoopPostTo(int index, unsigned message, uintptr_t wParam, intptr_t lParam) {
    if (index < 0 || index >= EV_LOOPS_MAX) return 0;
    return Enqueue(loops[index], message, wParam, lParam, false);
}

int EvLoopIndex() {
    return threadLoop ? static_cast<int>(threadLoop - loops) : -1;
}

void EvSockMoveTo(int fd, int index) {
    if (index < 0 || index >= EV_LOOPS_MAX) return;
    Loop& from = Here();
    Loop& to = loops[index];
    if (&from == &to) return;
    SockState moved;
    bool known = false;
    {
        std::lock_guard<std::mutex> lk(from.lock);
        auto it = from.sockets.find(fd);
        if (it != from.sockets.end()) {
            if (it->second.inSet && from.epollFd >= 0)
                epoll_ctl(from.epollFd, EPOLL_CTL_DEL, fd, nullptr);
            moved = it->second;
            from.sockets.erase(it);
            known = true;
        }
    }
    // Registrations belong to the loop that made them: the new loop starts
    // from what the socket is (connected, listening) and its flags.
    moved.mask = 0;
    moved.gen = 0;
    moved.inSet = false;
    moved.writeDue = false;
    std::lock_guard<std::mutex> lk(to.lock);
    if (known)
        to.sockets[fd] = moved;
    else
        to.sockets.erase(fd);
}

int NetAsyncSelect(SOCKET s, unsigned message, long mask) {
    Loop& L = Here();
    std::lock_guard<std::mutex> lk(L.lock);
    if (L.epollFd < 0) {
        // No loop to deliver to: as for an invalid window.
        return EvNetFail(EINVAL);
    }
    SockState* known = Find(L, s);
    if (!known || !known->nonBlocking) {
        int flags = fcntl(s, F_GETFL);
        if (flags < 0 || (!(flags & O_NONBLOCK) && fcntl(s, F_SETFL, flags | O_NONBLOCK) != 0)) {
            return EvNetFail(ENOTSOCK);
        }
    }
    SockState& st = Probe(L, s);
    st.nonBlocking = true;
    if (mask == 0) {
        st.mask = 0;
        st.message = 0;
        if (st.inSet) epoll_ctl(L.epollFd, EPOLL_CTL_DEL, s, nullptr);
        st.inSet = false;
        st.gen = 0;
        st.writeDue = false;
        return 0;
    }
    if (st.gen == 0) {
        st.gen = L.nextGen++;
        if (L.nextGen == 0) L.nextGen = 1; // 0 means "not registered"
    }
    st.message = message;
    st.mask = mask;
    // A new selection re-enables every notification, as WSAAsyncSelect does:
    // FD_READ while bytes wait, FD_WRITE once for a connected socket.
    st.readEnabled = true;
    st.acceptEnabled = true;
    st.readMasked = false;
    st.acceptMasked = false;
    st.parked = false;
    st.writeArmed = st.kind == KIND_CONNECTED && (mask & FD_WRITE);
    st.writeDue = st.writeArmed && st.fresh;
    st.fresh = false;
    if (st.writeDue) {
        L.dueWrites.emplace_back(s, st.gen);
        // Another thread's selection: the loop may sleep with nothing in
        // its set that would wake it.
        if (std::this_thread::get_id() != L.thread && L.wakeFd >= 0) {
            uint64_t one = 1;
            if (write(L.wakeFd, &one, sizeof one) < 0 && errno != EAGAIN) {
                Report(REPORT_WARNING, "EvLoop: error %d waking the loop", errno);
            }
        }
    }
    Apply(L, s, st);
    return 0;
}

// --- what the socket calls report (sockstate.h) ---

void EvSockCreated(int fd) {
    Loop& L = Here();
    std::lock_guard<std::mutex> lk(L.lock);
    SockState fresh;
    fresh.nonBlocking = true; // created with SOCK_NONBLOCK
    fresh.socket = true;
    L.sockets[fd] = fresh;
}

void EvSockAccepted(int fd) {
    Loop& L = Here();
    std::lock_guard<std::mutex> lk(L.lock);
    SockState fresh;
    fresh.kind = KIND_CONNECTED;
    fresh.nonBlocking = true; // accepted with SOCK_NONBLOCK
    fresh.socket = true;
    fresh.fresh = true;
    L.sockets[fd] = fresh;
}

void EvSockRecvCalled(int fd, int err) {
    Loop& L = Here();
    std::lock_guard<std::mutex> lk(L.lock);
    SockState* s = Find(L, fd);
    if (!s) return;
    if (FatalError(err)) s->lastError = err;
    if (!s->readEnabled || s->parked) {
        s->readEnabled = true;
        s->readMasked = false;
        s->parked = false;
        Apply(L, fd, *s);
    }
}

void EvSockSendFailed(int fd, int err) {
    Loop& L = Here();
    std::lock_guard<std::mutex> lk(L.lock);
    SockState* s = Find(L, fd);
    if (!s) return;
    if (err == EAGAIN || err == EWOULDBLOCK) {
        s->fresh = false;
        if (!s->writeArmed || s->parked || s->writeDue) {
            s->writeArmed = true;
            s->writeDue = false; // epoll tells when there is room
            s->parked = false;
            Apply(L, fd, *s);
        }
    } else if (FatalError(err) && err != EPIPE) {
        s->lastError = err;
    }
}

void EvSockAcceptCalled(int fd) {
    Loop& L = Here();
    std::lock_guard<std::mutex> lk(L.lock);
    SockState* s = Find(L, fd);
    if (!s || s->acceptEnabled) return;
    s->acceptEnabled = true;
    s->acceptMasked = false;
    Apply(L, fd, *s);
}

void EvSockConnecting(int fd) {
    Loop& L = Here();
    std::lock_guard<std::mutex> lk(L.lock);
    SockState& s = L.sockets[fd];
    s.kind = KIND_CONNECTING;
    s.closeSeen = false;
    s.socket = true;
    Apply(L, fd, s);
}

void EvSockListening(int fd) {
    Loop& L = Here();
    std::lock_guard<std::mutex> lk(L.lock);
    SockState& s = L.sockets[fd];
    s.kind = KIND_LISTENING;
    s.socket = true;
    s.acceptEnabled = true;
    s.acceptMasked = false;
    Apply(L, fd, s);
}

void EvSockSendShut(int fd) {
    Loop& L = Here();
    std::lock_guard<std::mutex> lk(L.lock);
    Probe(L, fd).sendShut = true;
}

int EvSockIsSendShut(int fd) {
    Loop& L = Here();
    std::lock_guard<std::mutex> lk(L.lock);
    SockState* s = Find(L, fd);
    return s && s->sendShut;
}

// The close that follows takes the socket out of every epoll set: the
// kernel drops a registration when the last reference to the socket goes,
// so no EPOLL_CTL_DEL is spent on it. (A hook's process holds copies of
// the descriptors between its fork and exec; an event of the closed socket
// met meanwhile carries a number the loop no longer knows, or one known
// under a newer generation, and is dropped.)
int EvSockClosing(int fd) {
    {
        Loop& L = Here();
        std::lock_guard<std::mutex> lk(L.lock);
        auto it = L.sockets.find(fd);
        if (it != L.sockets.end()) {
            bool socket = it->second.socket;
            L.sockets.erase(it);
            return socket;
        }
    }
    // Closed by a thread other than the one whose loop knows it (a listening
    // socket closed at shutdown, say): no loop may keep a record of a number
    // the system is about to hand out again, or the next closer of that
    // number would take a file for this socket.
    Loop& here = Here();
    for (Loop& L : loops) {
        if (&L == &here) continue;
        std::lock_guard<std::mutex> lk(L.lock);
        auto it = L.sockets.find(fd);
        if (it == L.sockets.end()) continue;
        bool socket = it->second.socket;
        L.sockets.erase(it);
        return socket;
    }
    return 0;
}
