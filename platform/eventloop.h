// The socket thread's event loop: the stand-in for a hidden window that
// receives socket notifications and the main thread's commands as window
// messages, one at a time, on one thread.
//
// An epoll set watches the sockets registered with NetAsyncSelect and an
// eventfd wakes the loop for messages queued by other threads. The loop
// follows the WSAAsyncSelect rules: FD_READ again while unread bytes remain
// (once per receive call), FD_WRITE once when connected and then only after a
// send would have blocked, FD_CLOSE once after the peer closed or reset,
// FD_CONNECT once when an outgoing attempt ends, FD_ACCEPT while a connection
// waits. A handler may close or open sockets, the dispatched one included.
#pragma once

#include <cstdint>

// Window message numbers used by the loop.
constexpr unsigned WM_CREATE = 0x0001;
constexpr unsigned WM_DESTROY = 0x0002;
constexpr unsigned WM_PAINT = 0x000F;
constexpr unsigned WM_CLOSE = 0x0010;
constexpr unsigned WM_QUIT = 0x0012;
constexpr unsigned WM_TIMER = 0x0113;
constexpr unsigned WM_APP = 0x8000;

using EvWndProc = void (*)(unsigned message, uintptr_t wParam, intptr_t lParam);

// A process may run several loops, each on its own thread and numbered from
// 0. A socket belongs to the loop of the thread that registers it
// (NetAsyncSelect); the calls below without a loop number reach loop 0 from
// other threads, and the calling thread's own loop from a loop thread.
constexpr int EV_LOOPS_MAX = 64;

// On the loop's own thread: create the loop ("the window"); delivers WM_CREATE
// to proc. Returns 1, or 0 when the loop could not be made.
int EvLoopCreate(EvWndProc proc);
// The same for loop number index (0 <= index < EV_LOOPS_MAX).
int EvLoopCreateAt(int index, EvWndProc proc);
// The calling thread's loop number, or -1 on a thread that runs none.
int EvLoopIndex();
// Runs the calling thread's loop until EvLoopQuit; returns the quit code.
int EvLoopRun();
// PostQuitMessage: EvLoopRun returns after the current message.
void EvLoopQuit(int code);
// Frees the loop (after EvLoopRun returned).
void EvLoopDestroy();
// From any other thread. Send waits until the message has been handled
// (WM_CLOSE: the loop delivers WM_DESTROY, as a window's default handling
// would). Post returns at once. Both return 0 when no loop exists.
int EvLoopSend(unsigned message, uintptr_t wParam, intptr_t lParam);
int EvLoopPost(unsigned message, uintptr_t wParam, intptr_t lParam);
int EvLoopSendTo(int index, unsigned message, uintptr_t wParam, intptr_t lParam);
int EvLoopPostTo(int index, unsigned message, uintptr_t wParam, intptr_t lParam);
// Hands a socket of the calling thread's loop (accepted, not registered
// there or registered to be dropped) to loop index, whose thread registers
// it next: what the loop knows of the socket moves with it.
void EvSockMoveTo(int fd, int index);
// SetTimer/KillTimer: every ms milliseconds the loop delivers WM_TIMER with
// wParam = id until the timer is killed; setting an id again restarts it.
// Any thread; 0 when no loop exists.
int EvLoopSetTimer(uintptr_t id, unsigned ms);
void EvLoopKillTimer(uintptr_t id);

// One-shot deadlines of the loop's own thread, many at a time (per
// connection), kept in order so that they bound the loop's wait. After ms
// milliseconds the loop delivers (message, wParam, timer id) once, between
// socket notifications. Returns the timer's id (never 0), or 0 when no loop
// runs. Cancelling an id that fired or was cancelled changes nothing.
uint64_t EvTimerStart(uint32_t ms, unsigned message, uintptr_t wParam);
void EvTimerCancel(uint64_t id);
// The loop's clock in milliseconds (monotonic).
int64_t EvNowMs();
