// The socket thread: every FTP socket lives on it. Its event loop delivers
// socket notifications and the main thread's three commands to SockWndProc,
// which dispatches each by message number to the handler for that kind of
// socket.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/eventloop.h"
#include "platform/net.h"
#include "view/conn_record.h"

// Message numbers of the socket thread's loop.
constexpr unsigned SOCK_MSG_ACCEPT = 0x8000;  // listenSocket(6): AcceptProc(socket)
constexpr unsigned SOCK_MSG_CONTROL = 0x8001; // control sockets: ControlProc(lParam, socket)
constexpr unsigned SOCK_MSG_DATA = 0x8002;    // data sockets: DataProc(lParam, socket)
constexpr unsigned SOCK_MSG_LISTEN = 0x8003;  // main thread, sent: wParam port, lParam serve
constexpr unsigned SOCK_MSG_PASSIVE = 0x8004; // passive sockets: PassiveProc(socket)
constexpr unsigned SOCK_MSG_REFRESH = 0x8005; // main thread, posted: RefreshConnections()
constexpr unsigned SOCK_MSG_TIMER = 0x8006;   // loop timers: ConnTimerProc(connId, timer id)
constexpr unsigned SOCK_MSG_LIMITS = 0x8007;  // speed tick, quota measurements: LimitsProc(wParam)
constexpr unsigned SOCK_MSG_DETAILS = 0x8008; // main thread, posted: SampleConnDetails()
constexpr unsigned SOCK_MSG_DISCONNECT = 0x8009; // main thread, posted: ConnDisconnect(w, l)
constexpr unsigned SOCK_MSG_ADOPT = 0x800A;      // first socket thread: AdoptProc(connId)
constexpr unsigned SOCK_MSG_GATHER = 0x800B;     // SockGather: lParam the sample to add to

// Timer of the socket thread's loop (WM_TIMER wParam): retry accepting.
constexpr uintptr_t SOCK_TIMER_ACCEPT = 1;
// Milliseconds between retries while accepting is paused.
constexpr unsigned ACCEPT_RETRY_MS = 200;

// True while the socket thread's loop exists ("the hidden window").
extern std::atomic<bool> sockWindow;
// True while the socket thread runs.
extern std::atomic<bool> sockThread;
// The FTP listening socket; replaced on every SOCK_MSG_LISTEN (which binds
// the System value ListenAddress, or every address of both families). It is
// a dual-stack IPv6 socket where the system has one; otherwise it is the
// IPv4 socket and listenSocket6 the IPv6 one beside it.
extern SOCKET listenSocket;
extern SOCKET listenSocket6;

// Handlers reached by SockWndProc. They point at the engine's handlers
// (AcceptProc, ControlProc, DataProc, PassiveProc, RefreshConnections,
// SockDestroyProc); tests of the loop may put their own in place.
struct SockHandlers {
    void (*accept)(SOCKET listening);
    void (*control)(intptr_t lParam, SOCKET s);
    void (*data)(intptr_t lParam, SOCKET s);
    void (*passive)(SOCKET s);
    void (*refresh)();
    void (*destroy)();
};
extern SockHandlers sockHandlers;
void SockRestoreHandlers();

// Starts the socket threads (the System value SocketThreads: 0 = one per
// core) and waits until their loops exist. 0 on success
// (also when the thread ended before making its loop), 0xFFFF when the
// thread could not be created.
uint16_t SockThreadInit();
int SockThread(void* argument);
void SockWndProc(unsigned message, uintptr_t wParam, intptr_t lParam);
// The socket threads: each runs its own event loop and owns the connections
// it serves. SockLoopIndex is the calling thread's number (0 on any thread
// that is not a socket thread), SockLoopCount how many run.
constexpr int SOCK_LOOPS_MAX = 16;
int SockLoopIndex();
int SockLoopCount();
// Posts a message to the loop of socket thread `loop`; 0 when it has none.
int SockPostToLoop(int loop, unsigned message, uintptr_t wParam, intptr_t lParam);
// Collects the records of every socket thread's own connections (own appends
// them), then hands the whole, in the order of the connection numbers, to
// done, which owns the vector, on whichever thread added last.
void SockGather(void (*own)(std::vector<ConnRecord>*), void (*done)(std::vector<ConnRecord>*));
// Main thread: close the loop (sent), then wait until sockWindow is false and
// the thread has ended.
void SockThreadStop();
// Main thread: the commands. SOCK_MSG_LISTEN and WM_CLOSE are handled before
// SockSend returns; SOCK_MSG_REFRESH is posted. SockSend reaches the first
// socket thread; SockPost the calling socket thread's own loop, or the first
// from any other thread.
int SockSend(unsigned message, uintptr_t wParam, intptr_t lParam);
int SockPost(unsigned message, uintptr_t wParam, intptr_t lParam);

// A listening TCP socket bound to address (the wildcard address for any; port
// 0 for one the system chooses) whose FD_ACCEPT arrives as message.
// name is "listen" or "passive", for log records only. On failure *error
// (when given) holds the Windows Sockets code of the step that failed;
// quietWhenBusy leaves a port already in use unlogged, for callers that try
// the next port. An IPv6 socket takes IPv4 clients too only with dualStack.
SOCKET SockListen(unsigned message, const NetAddress& address, const char* name,
                  int* error = nullptr, bool quietWhenBusy = false, bool dualStack = false);
// Closes *s if valid and sets it invalid: 1 if something was closed, else 0.
int SockClose(SOCKET* s);
int SetReuseAddr(SOCKET s);

// Accepting without descriptors (or memory) to spare: an accept that fails
// for lack of them leaves the connection waiting in the backlog, and the
// listening socket would report it again at once. AcceptFailed tells whether
// the failure was of that kind; if so the listening socket is no longer
// watched (its client keeps waiting, the socket stays open) until another
// socket closes or the retry timer fires, and the first failure of a burst
// is logged. AcceptSucceeded ends a burst.
int AcceptFailed(SOCKET listening, unsigned message, int error, const char* caller);
void AcceptSucceeded();
// Watches every paused listening socket again (SockClose): this thread's at
// once, the other socket threads' through their loops. AcceptResumeHere:
// this thread's only (the retry timer).
void AcceptResume();
void AcceptResumeHere();
// The socket is about to be closed: never watch it again.
void AcceptForget(SOCKET s);
// The loop ends: nothing is paused any more.
void AcceptReset();
const char* WinsockErrorName(int code);
const char* SockEventName(uint16_t event);
