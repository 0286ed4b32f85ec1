// Runs helper programs (the upload hook) on a thread of its own, so that no
// caller ever waits for a child: each run is a program with its arguments,
// started by posix_spawn (never a shell) in a process group of its own, in
// "/", with the environment PATH=/usr/bin:/bin and LANG=C, standard input
// from /dev/null, standard output and error into one pipe whose lines go to
// the log (escaped as every record is; at most HOOK_OUTPUT_MAX bytes a run,
// the rest is read and counted), no other descriptor, and the whole group
// killed after the run's time limit. At most HOOK_RUNNING_MAX run at once;
// up to HOOK_QUEUE_MAX more wait in order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr unsigned HOOK_RUNNING_MAX = 4;
constexpr unsigned HOOK_QUEUE_MAX = 64;
constexpr uint32_t HOOK_OUTPUT_MAX = 4096;

enum HookEnd : uint8_t {
    HOOK_EXITED = 0,      // code = exit status
    HOOK_SIGNALLED = 1,   // code = signal number
    HOOK_TIMED_OUT = 2,   // killed after the time limit
    HOOK_NOT_STARTED = 3, // code = errno of the spawn
};

struct HookOutcome {
    HookEnd end;
    int code;
};

struct HookRun {
    const char* name;              // for the log records ("UploadHook"); a literal
    std::string program;           // an absolute path
    std::vector<std::string> args; // after the program's own name
    uint32_t timeoutSecs;          // 0 = no limit
    // Called on the runner's thread when the run has ended (may be null).
    void (*finished)(const HookOutcome& outcome);
};

// Any thread; returns at once. 1 when queued (the runner thread starts with
// the first run), 0 when HOOK_QUEUE_MAX runs wait already or the runner is
// stopping.
int HookRunnerQueue(HookRun run);
// Kills every running child's group, reaps it, drops the waiting runs and
// ends the thread (shutdown, tests). A later queue starts it again.
void HookRunnerStop();
// Runs started or waiting (tests, and a monitor).
unsigned HookRunnerBusy();
