// The administration window's event loop (Qt), for the server and admin
// roles. This header has no Qt in it: the program calls it without knowing
// the toolkit.
#pragma once

struct AdminLoopHooks {
    int serverRole;      // 1: server (engine in this process), 0: admin
    void (*onTimer)();   // every second, as TimerProc
    void (*onDestroy)(); // the main window is closing: the orderly shutdown
};

// Starts the toolkit, shows the main window and runs until it closes, with
// the hooks' timer, the main thread's work queue and SIGTERM/SIGINT (taken as
// the close of the main window). Returns 1 with *exitCode set once the loop
// ended; 0 when no display can be used (nothing was started and nothing
// needs undoing).
int AdminLoopRun(const AdminLoopHooks& hooks, int* exitCode);
