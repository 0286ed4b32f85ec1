// The main thread's loop for the roles that run without a window: a timer
// with a fixed period, the queue of work from other threads
// (platform/mainqueue.h), and SIGTERM/SIGINT taken as the close of the main
// window. Signals reach the loop through a signalfd, never a handler, so no
// work is done in signal context.
#pragma once

// Blocks SIGTERM, SIGINT and SIGHUP in the calling thread and every thread
// started after it, so that only the loop's signalfd sees them, and ignores
// SIGPIPE. Call first thing in main(), before any thread starts.
void MainLoopBlockSignals();

struct MainLoopCallbacks {
    void (*onTimer)(); // every periodMs
    void (*onClose)(); // SIGTERM or SIGINT; the loop goes on until MainLoopQuit
};

// The descriptor that becomes readable when SIGTERM, SIGINT or SIGHUP
// arrives (for a loop of another toolkit to watch); created on first use, -1
// on failure.
int MainLoopSignalFd();
// Takes every pending signal off the descriptor; the count of close signals
// (SIGTERM, SIGINT) taken. A SIGHUP (a reload request, or the hang-up of the
// terminal that started the process) never closes anything: it is counted
// for MainLoopTakeHangups.
int MainLoopTakeSignals();
// The SIGHUPs the loop has taken off the descriptor since the last call
// (the one-second timer asks).
int MainLoopTakeHangups();

// Runs until MainLoopQuit is called (from a callback or queued work);
// returns the quit code.
int MainLoopRun(const MainLoopCallbacks& callbacks, int periodMs);
void MainLoopQuit(int code);
