// The socket thread: its loop, the dispatcher of its messages, the listening
// socket, and the small socket helpers every socket handler uses.
#include "server/sockthread.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "config/config.h"
#include "log/log.h"
#include "server/conn.h"
#include "server/conn_details.h"
#include "server/conn_events.h"
#include "server/data.h"
#include "server/limits.h"
#include "server/tls_conn.h"

std::atomic<bool> sockWindow{false};
std::atomic<bool> sockThread{false};
SOCKET listenSocket = INVALID_SOCKET;
SOCKET listenSocket6 = INVALID_SOCKET;

SockHandlers sockHandlers = {AcceptProc,  ControlProc,        DataProc,
                             PassiveProc, RefreshConnections, SockDestroyProc};

namespace {
// The running (or finished, not yet joined) first socket thread, and the
// others it started (numbers 1 to loopCount - 1).
std::thread sockThreadHandle;
std::thread loopThreads[EV_LOOPS_MAX];
std::atomic<int> loopCount{1};
// The first thread waits on this for another thread's loop to exist.
std::mutex loopStartMutex;
std::condition_variable loopStartCv;
int loopsStarted = 0;
// The main thread waits on this for sockWindow and sockThread to change.
std::mutex sockStateMutex;
std::condition_variable sockStateCv;

// Socket thread: changes the two flags and wakes whoever waits for them.
void SetSockState(bool window, bool thread) {
    {
        std::lock_guard<std::mutex> lock(sockStateMutex);
        sockWindow = window;
        sockThread = thread;
    }
    sockStateCv.notify_all();
}
// The port asked for when listenSocket was opened (0 = chosen by the system).
uint16_t listenPort = 0;
// The ListenAddress the listening sockets were opened for (no family = every
// address).
NetAddress listenAddress = {};

bool SameListenAddress(const NetAddress& a, const NetAddress& b) {
    return a.family == b.family && (a.family == NET_FAMILY_NONE || NetAddressSameHost(a, b));
}

// Errors that say the system has no IPv6 (or no dual stack), as opposed to a
// port that is busy or forbidden, which any family would meet.
bool NoIpv6(int error) {
    return error != WSAEADDRINUSE && error != WSAEACCES;
}

// The listening sockets for port and ListenAddress address. One address: one
// socket. Every address: one IPv6 socket that also takes IPv4 clients; where
// the system has no dual stack, an IPv4 socket and, when IPv6 exists at all,
// an IPv6-only one on the same port. listenSocket is the IPv4 (or only) one.
void OpenListeners(uint16_t port, const NetAddress& address, int* error) {
    if (address.family != NET_FAMILY_NONE) {
        NetAddress bound = address;
        bound.port = port;
        listenSocket = SockListen(SOCK_MSG_ACCEPT, bound, "listen", error);
        return;
    }
    listenSocket = SockListen(SOCK_MSG_ACCEPT, NetAddressAny(NET_FAMILY_IPV6, port), "listen",
                              error, false, true);
    if (listenSocket != INVALID_SOCKET || !NoIpv6(*error)) return;
    LogPrintf(LOG_INFO, "SockListen(listen) No dual-stack socket (%s): IPv4 and IPv6 apart",
              WinsockErrorName(*error));
    listenSocket =
        SockListen(SOCK_MSG_ACCEPT, NetAddressAny(NET_FAMILY_IPV4, port), "listen", error);
    if (listenSocket == INVALID_SOCKET) return;
    NetAddress chosen = NetAddressAny(NET_FAMILY_IPV4, port);
    if (port == 0) NetGetSockName(listenSocket, &chosen);
    int ignored = 0;
    listenSocket6 = SockListen(SOCK_MSG_ACCEPT, NetAddressAny(NET_FAMILY_IPV6, chosen.port),
                               "listen", &ignored);
}

// listenSocket was opened by this run of the loop (a socket left from an
// earlier run has no notifications any more). Socket thread only.
bool listenServed = false;
} // namespace

void SockRestoreHandlers() {
    sockHandlers = SockHandlers{AcceptProc,  ControlProc,        DataProc,
                                PassiveProc, RefreshConnections, SockDestroyProc};
}

uint16_t SockThreadInit() {
    sockWindow = false;
    // A thread that ended on its own (its loop could not be made) is
    // collected before a new one starts.
    if (sockThreadHandle.joinable()) sockThreadHandle.join();
    sockThread = true;
    try {
        sockThreadHandle = std::thread(SockThread, nullptr);
    } catch (const std::system_error& e) {
        sockThread = false;
        LogPrintf(LOG_WARNING, "SockThreadInit: Error %lu creating thread",
                  static_cast<unsigned long>(e.code().value()));
        return 0xFFFF;
    }
    std::unique_lock<std::mutex> lock(sockStateMutex);
    sockStateCv.wait(lock, [] { return !sockThread || sockWindow; });
    return 0;
}

// A socket thread other than the first: its own loop, until the first
// closes it.
void LoopThread(int index) {
    bool made = EvLoopCreateAt(index, SockWndProc) != 0;
    {
        std::lock_guard<std::mutex> lock(loopStartMutex);
        loopsStarted += made ? 1 : 0;
    }
    loopStartCv.notify_all();
    if (!made) return;
    EvLoopRun();
    EvLoopDestroy();
    LimitsShutdown();
}

// How many socket threads to run: SocketThreads, 0 = one per core.
int WantedLoops() {
    uint32_t wanted = SettingLoad(systemSettings.socketThreads);
    if (wanted == 0) wanted = std::thread::hardware_concurrency();
    if (wanted == 0) wanted = 1;
    return wanted > SOCK_LOOPS_MAX ? SOCK_LOOPS_MAX : (int)wanted;
}

// First socket thread, its loop made: starts the others, one at a time, and
// waits for each loop. A thread that cannot be had leaves fewer threads.
void StartLoops() {
    int wanted = WantedLoops();
    int count = 1;
    loopsStarted = 0;
    for (int index = 1; index < wanted; index++) {
        try {
            loopThreads[index] = std::thread(LoopThread, index);
        } catch (const std::system_error& e) {
            LogPrintf(LOG_WARNING, "SockThread: Error %lu creating socket thread %d",
                      static_cast<unsigned long>(e.code().value()), index);
            break;
        }
        std::unique_lock<std::mutex> lock(loopStartMutex);
        loopStartCv.wait(lock,
                         [&] { return loopsStarted == index || !loopThreads[index].joinable(); });
        if (loopsStarted != index) {
            lock.unlock();
            loopThreads[index].join();
            break;
        }
        count = index + 1;
    }
    loopCount = count;
    LogPrintf(LOG_INFO, "SockThread: %d socket thread%s", count, count == 1 ? "" : "s");
}

// First socket thread, closing down: closes every other loop (each closes
// its connections) and waits for its thread.
void StopLoops() {
    for (int index = loopCount - 1; index >= 1; index--) {
        EvLoopSendTo(index, WM_CLOSE, 0, 0);
        if (loopThreads[index].joinable()) loopThreads[index].join();
    }
    loopCount = 1;
}

// A sample of every thread's connections (SockGather): each thread adds its
// own; the last to do so hands the whole to done.
struct Gather {
    std::mutex lock;
    std::vector<ConnRecord> records;
    int left;
    void (*own)(std::vector<ConnRecord>*);
    void (*done)(std::vector<ConnRecord>*);
};

void GatherOwn(Gather* gather) {
    std::vector<ConnRecord> own;
    gather->own(&own);
    bool last;
    {
        std::lock_guard<std::mutex> lock(gather->lock);
        gather->records.insert(gather->records.end(), own.begin(), own.end());
        last = --gather->left == 0;
    }
    if (!last) return;
    // In the order of the connection numbers, as one thread lists them.
    std::sort(gather->records.begin(), gather->records.end(),
              [](const ConnRecord& a, const ConnRecord& b) { return a.connId < b.connId; });
    auto* records = new std::vector<ConnRecord>(std::move(gather->records));
    auto done = gather->done;
    delete gather;
    done(records);
}

void DeliverDetails(std::vector<ConnRecord>* records) {
    if (connEvents.details)
        connEvents.details(records);
    else
        delete records;
}

int SockThread(void*) {
    listenServed = false;
    if (EvLoopCreate(SockWndProc)) {
        StartLoops();
        SetSockState(true, true);
        EvLoopRun();
        EvLoopDestroy();
        LimitsShutdown();
    }
    LogPrintf(LOG_INFO, "SockThread: Done.");
    SetSockState(false, false);
    return 0;
}

void SockWndProc(unsigned message, uintptr_t wParam, intptr_t lParam) {
    SOCKET s = static_cast<SOCKET>(wParam);
    switch (message) {
    case SOCK_MSG_ACCEPT:
        sockHandlers.accept(s);
        break;
    case SOCK_MSG_CONTROL:
        sockHandlers.control(lParam, s);
        break;
    case SOCK_MSG_DATA:
        sockHandlers.data(lParam, s);
        break;
    case SOCK_MSG_LISTEN:
        ImplicitTlsListen(lParam != 0);
        // A reload that changes neither port, enable nor ListenAddress keeps
        // the listening sockets, so clients waiting in their queues are not
        // dropped. Otherwise the old sockets go; established connections stay.
        if (lParam && listenServed && listenSocket != INVALID_SOCKET &&
            listenPort == static_cast<uint16_t>(wParam) &&
            SameListenAddress(listenAddress, ListenAddressSetting()))
            break;
        SockClose(&listenSocket);
        SockClose(&listenSocket6);
        if (lParam) {
            int error = 0;
            listenPort = static_cast<uint16_t>(wParam);
            listenAddress = ListenAddressSetting();
            OpenListeners(listenPort, listenAddress, &error);
            listenServed = listenSocket != INVALID_SOCKET;
            if (listenSocket == INVALID_SOCKET && connEvents.listenFailed)
                connEvents.listenFailed(listenPort, error);
            else if (listenSocket != INVALID_SOCKET && connEvents.listening)
                connEvents.listening(listenPort, 1);
        } else if (connEvents.listening) {
            connEvents.listening(static_cast<uint16_t>(wParam), 0);
        }
        break;
    case SOCK_MSG_PASSIVE:
        sockHandlers.passive(s);
        break;
    case SOCK_MSG_REFRESH:
        sockHandlers.refresh();
        break;
    case SOCK_MSG_DETAILS:
        if (connEvents.details) SockGather(SampleOwnConnDetails, DeliverDetails);
        break;
    case SOCK_MSG_GATHER:
        GatherOwn(reinterpret_cast<Gather*>(lParam));
        break;
    case SOCK_MSG_DISCONNECT: {
        // Served by the thread that owns the connection.
        int owner = ConnOwner(DisconnectConnId(wParam));
        if (owner > 0 && owner != SockLoopIndex())
            SockPostToLoop(owner, message, wParam, lParam);
        else
            ConnDisconnect(wParam, lParam);
        break;
    }
    case SOCK_MSG_ADOPT:
        AdoptProc((uint32_t)wParam);
        break;
    case WM_TIMER:
        if (wParam == SOCK_TIMER_ACCEPT) AcceptResumeHere();
        break;
    case SOCK_MSG_TIMER:
        ConnTimerProc(wParam, lParam);
        break;
    case SOCK_MSG_LIMITS:
        LimitsProc(wParam);
        break;
    case WM_CREATE:
        LogPrintf(LOG_INFO, "SockWndProc: WM_CREATE");
        break;
    case WM_PAINT:
        LogPrintf(LOG_INFO, "SockWndProc: WM_PAINT");
        break;
    case WM_DESTROY:
        LogPrintf(LOG_INFO, "SockWndProc: WM_DESTROY");
        if (SockLoopIndex() == 0) StopLoops();
        sockHandlers.destroy();
        EvLoopQuit(0);
        break;
    default:
        break;
    }
}

void SockThreadStop() {
    if (sockWindow) {
        EvLoopSend(WM_CLOSE, 0, 0);
        std::unique_lock<std::mutex> lock(sockStateMutex);
        sockStateCv.wait(lock, [] { return !sockWindow; });
    }
    if (sockThreadHandle.joinable()) sockThreadHandle.join();
}

int SockSend(unsigned message, uintptr_t wParam, intptr_t lParam) {
    return EvLoopSend(message, wParam, lParam);
}

int SockPost(unsigned message, uintptr_t wParam, intptr_t lParam) {
    // A socket thread posts to its own loop (a later event of its own
    // connection); any other thread to the first.
    return EvLoopPostTo(SockLoopIndex(), message, wParam, lParam);
}

void SockGather(void (*own)(std::vector<ConnRecord>*), void (*done)(std::vector<ConnRecord>*)) {
    auto* gather = new Gather;
    int count = SockLoopCount();
    gather->left = count;
    gather->own = own;
    gather->done = done;
    for (int index = 0; index < count; index++) {
        if (index == SockLoopIndex()) continue;
        if (!SockPostToLoop(index, SOCK_MSG_GATHER, 0, reinterpret_cast<intptr_t>(gather))) {
            std::lock_guard<std::mutex> lock(gather->lock);
            gather->left--;
        }
    }
    GatherOwn(gather);
}

int SockLoopIndex() {
    int index = EvLoopIndex();
    return index < 0 ? 0 : index;
}

int SockLoopCount() {
    return loopCount.load(std::memory_order_relaxed);
}

int SockPostToLoop(int loop, unsigned message, uintptr_t wParam, intptr_t lParam) {
    return EvLoopPostTo(loop, message, wParam, lParam);
}

SOCKET SockListen(unsigned message, const NetAddress& address, const char* name, int* error,
                  bool quietWhenBusy, bool dualStack) {
    unsigned port = address.port;
    int unused = 0;
    if (!error) error = &unused;
    *error = 0;
    bool ipv6 = address.family == NET_FAMILY_IPV6;
    SOCKET s = NetSocketTcp(address.family);
    if (s == INVALID_SOCKET) {
        *error = WSAGetLastError();
        LogPrintf(LOG_WARNING, "SockListen(%s) Could not create server socket for port %u: %s",
                  name, port, WinsockErrorName(*error));
        return INVALID_SOCKET;
    }
    // An IPv6 socket takes IPv4 clients only when asked to, so an IPv4 socket
    // may hold the same port beside it.
    if (ipv6 && NetSetV6Only(s, dualStack ? 0 : 1) == SOCKET_ERROR) {
        *error = WSAGetLastError();
        LogPrintf(LOG_WARNING, "SockListen(%s) Could not set IPV6_V6ONLY for port %u: %s", name,
                  port, WinsockErrorName(*error));
        SockClose(&s);
        return INVALID_SOCKET;
    }
    if (port != 0 && !SetReuseAddr(s)) {
        *error = WSAGetLastError();
        SockClose(&s);
        return INVALID_SOCKET;
    }
    char addrText[NET_ADDRESS_TEXT_SIZE];
    if (NetBind(s, address) == SOCKET_ERROR) {
        *error = WSAGetLastError();
        if (!(quietWhenBusy && *error == WSAEADDRINUSE))
            LogPrintf(LOG_WARNING, "SockListen(%s) Could not bind socket to %s port %u: %s", name,
                      NetAddressText(address, addrText), port, WinsockErrorName(*error));
        SockClose(&s);
        return INVALID_SOCKET;
    }
    // The system's largest backlog: a crowd of clients connecting at once
    // waits in the queue instead of being dropped.
    if (NetListen(s, NET_BACKLOG_MAX) == SOCKET_ERROR) {
        *error = WSAGetLastError();
        if (!(quietWhenBusy && *error == WSAEADDRINUSE))
            LogPrintf(LOG_WARNING, "SockListen(%s) Could not place listen on port %u: %s", name,
                      port, WinsockErrorName(*error));
        SockClose(&s);
        return INVALID_SOCKET;
    }
    if (NetAsyncSelect(s, message, FD_ACCEPT) == SOCKET_ERROR) {
        *error = WSAGetLastError();
        LogPrintf(LOG_WARNING, "SockListen(%s) Could not select ACCEPT for port %u: %s", name, port,
                  WinsockErrorName(*error));
        SockClose(&s);
        return INVALID_SOCKET;
    }
    if (port == 0) {
        NetAddress chosen = {};
        if (NetGetSockName(s, &chosen) == SOCKET_ERROR) {
            LogPrintf(LOG_WARNING, "SockListen(%s) Could not read the chosen port: %s", name,
                      WinsockErrorName(WSAGetLastError()));
        }
        port = chosen.port;
    }
    LogPrintf(LOG_TRACE0, "SockListen(%s) Placed listen on %s port %u%s", name,
              NetAddressText(address, addrText), port, ipv6 && dualStack ? " (IPv4 and IPv6)" : "");
    return s;
}

int SockClose(SOCKET* s) {
    if (!s || *s == INVALID_SOCKET) return 0;
    LogPrintf(LOG_TRACE4, "SockClose: Closing socket handle %d", *s);
    AcceptForget(*s);
    if (NetCloseSocket(*s) == SOCKET_ERROR) {
        int err = WSAGetLastError();
        // A socket the system no longer knows is simply forgotten.
        if (err != WSAENOTSOCK)
            LogPrintf(LOG_WARNING, "SockClose: error closing socket: %s", WinsockErrorName(err));
    }
    *s = INVALID_SOCKET;
    // The descriptor just freed may take a client that waits to be accepted.
    AcceptResume();
    return 1;
}

int SetReuseAddr(SOCKET s) {
    if (NetSetReuseAddr(s) == SOCKET_ERROR) {
        LogPrintf(LOG_WARNING, "SetReuseAddr: Error setting socket option: %d", WSAGetLastError());
        return 0;
    }
    return 1;
}

const char* WinsockErrorName(int code) {
    static const char* const range10035[] = {
        "WSAEWOULDBLOCK",     "WSAEINPROGRESS",     "WSAEALREADY",      "WSAENOTSOCK",
        "WSAEDESTADDRREQ",    "WSAEMSGSIZE",        "WSAEPROTOTYPE",    "WSAENOPROTOOPT",
        "WSAEPROTONOSUPPORT", "WSAESOCKTNOSUPPORT", "WSAEOPNOTSUPP",    "WSAEPFNOSUPPORT",
        "WSAEAFNOSUPPORT",    "WSAEADDRINUSE",      "WSAEADDRNOTAVAIL", "WSAENETDOWN",
        "WSAENETUNREACH",     "WSAENETRESET",       "WSAECONNABORTED",  "WSAECONNRESET",
        "WSAENOBUFS",         "WSAEISCONN",         "WSAENOTCONN",      "WSAESHUTDOWN",
        "WSAETOOMANYREFS",    "WSAETIMEDOUT",       "WSAECONNREFUSED",  "WSAELOOP",
        "WSAENAMETOOLONG",    "WSAEHOSTDOWN",       "WSAEHOSTUNREACH",  "WSAENOTEMPTY",
        "WSAEPROCLIM",        "WSAEUSERS",          "WSAEDQUOT",        "WSAESTALE",
        "WSAEREMOTE"}; // 10035 to 10071
    static const char* const range10091[] = {"WSASYSNOTREADY", "WSAVERNOTSUPPORTED",
                                             "WSANOTINITIALISED"};
    static const char* const range11001[] = {"WSAEHOST_NOT_FOUND", "WSATRY_AGAIN", "WSANO_RECOVERY",
                                             "WSANO_ADDRESS"};
    switch (code) {
    case 0:
        return "no error";
    case 10004:
        return "WSAEINTR";
    case 10009:
        return "WSAEBADF";
    case 10013:
        return "WSAEACCES";
    case 10014:
        return "WSAEFAULT";
    case 10022:
        return "WSAEINVAL";
    case 10024:
        return "WSAEMFILE";
    case 10101:
        return "WSAEDISCON";
    default:
        break;
    }
    if (code >= 10035 && code <= 10071) return range10035[code - 10035];
    if (code >= 10091 && code <= 10093) return range10091[code - 10091];
    if (code >= 11001 && code <= 11004) return range11001[code - 11001];
    return "Winsock error";
}

const char* SockEventName(uint16_t event) {
    switch (event) {
    case FD_READ:
        return "FD_READ";
    case FD_WRITE:
        return "FD_WRITE";
    case FD_ACCEPT:
        return "FD_ACCEPT";
    case FD_CONNECT:
        return "FD_CONNECT";
    case FD_CLOSE:
        return "FD_CLOSE";
    default:
        return "Unknown event";
    }
}
