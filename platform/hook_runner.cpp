#include "platform/hook_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/report.h"

namespace {

// Raw output bytes per log record: a longer line is cut into pieces.
constexpr size_t LINE_PIECE = 256;

struct Child {
    HookRun run;
    pid_t pid = 0;
    int pidfd = -1; // -1 once the child is reaped
    int out = -1;   // the pipe's read end; -1 once closed
    int64_t deadlineMs = 0;
    bool timedOut = false;
    HookOutcome outcome = {HOOK_EXITED, 0};
    std::string line; // raw bytes of a line not yet logged
    uint64_t logged = 0, dropped = 0;
};

std::mutex lock;
std::deque<HookRun> waiting; // under lock
std::thread runner;          // under lock
bool stopping = false;       // under lock
int wakeFd = -1;             // an eventfd: a run was queued, or stop
std::atomic<unsigned> busy{0};

extern "C" char** environ;

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The log writes every byte outside printable ASCII as "{XX}", so a
// hook's output can forge no record; only a NUL, which would end the text,
// is written that way here.
std::string Escaped(const std::string& raw) {
    std::string out;
    for (char c : raw)
        out += c ? std::string(1, c) : std::string("{00}");
    return out;
}

void FlushLine(Child& c) {
    if (c.line.empty()) return;
    Report(REPORT_INFO, "%s(%d) output: %s", c.run.name, (int)c.pid, Escaped(c.line).c_str());
    c.line.clear();
}

void TakeOutput(Child& c, const char* bytes, size_t n) {
    for (size_t i = 0; i < n; i++) {
        if (c.logged >= HOOK_OUTPUT_MAX) {
            c.dropped += n - i;
            return;
        }
        c.logged++;
        if (bytes[i] == '\n') {
            FlushLine(c);
            continue;
        }
        c.line += bytes[i];
        if (c.line.size() >= LINE_PIECE) FlushLine(c);
    }
}

// Reads what the pipe holds now; closes it at its end (or with all set,
// when the child is gone and what remains was read).
void ReadOutput(Child& c, bool all) {
    char buffer[4096];
    while (c.out >= 0) {
        ssize_t n = read(c.out, buffer, sizeof buffer);
        if (n > 0) {
            TakeOutput(c, buffer, (size_t)n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN && !all) return;
        close(c.out);
        c.out = -1;
    }
}

std::string CommandText(const HookRun& run) {
    std::string text = Escaped(run.program);
    for (const std::string& arg : run.args)
        text += " " + Escaped(arg);
    return text;
}

// 0, or the errno of the failed start.
int Spawn(Child& c) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return errno;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    posix_spawn_file_actions_addchdir_np(&actions, "/");
    // The server's own descriptors are close-on-exec; this also closes what
    // the server inherited from whoever started it.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                        POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(c.run.program.c_str()));
    for (std::string& arg : c.run.args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    char path[] = "PATH=/usr/bin:/bin";
    char lang[] = "LANG=C";
    char* envp[] = {path, lang, nullptr};
    int rc = posix_spawn(&c.pid, c.run.program.c_str(), &actions, &attr, argv.data(), envp);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(pipeFds[1]);
    if (rc != 0) {
        close(pipeFds[0]);
        return rc;
    }
    c.out = pipeFds[0];
    fcntl(c.out, F_SETFL, fcntl(c.out, F_GETFL) | O_NONBLOCK);
    c.pidfd = (int)syscall(SYS_pidfd_open, c.pid, 0);
    if (c.pidfd < 0) {
        // Without a descriptor to watch, the child cannot be waited for
        // without blocking: it is ended at once.
        int error = errno;
        kill(-c.pid, SIGKILL);
        waitpid(c.pid, nullptr, 0);
        close(c.out);
        c.out = -1;
        return error;
    }
    if (c.run.timeoutSecs) c.deadlineMs = NowMs() + (int64_t)c.run.timeoutSecs * 1000;
    return 0;
}

void ReportEnd(Child& c) {
    FlushLine(c);
    if (c.dropped)
        Report(REPORT_WARNING, "%s(%d) %llu more bytes of output not logged", c.run.name,
               (int)c.pid, (unsigned long long)c.dropped);
    const HookOutcome& o = c.outcome;
    if (o.end == HOOK_TIMED_OUT)
        Report(REPORT_WARNING, "%s(%d) killed after its time limit of %u s", c.run.name, (int)c.pid,
               c.run.timeoutSecs);
    else if (o.end == HOOK_SIGNALLED)
        Report(REPORT_WARNING, "%s(%d) ended by signal %d", c.run.name, (int)c.pid, o.code);
    else
        Report(o.code ? REPORT_WARNING : REPORT_INFO, "%s(%d) exited with status %d", c.run.name,
               (int)c.pid, o.code);
    if (c.run.finished) c.run.finished(o);
}

void Start(Child& c) {
    int error = Spawn(c);
    if (error == 0) {
        Report(REPORT_INFO, "%s(%d) started: %s", c.run.name, (int)c.pid,
               CommandText(c.run).c_str());
        return;
    }
    Report(REPORT_WARNING, "%s: cannot run %s: %s", c.run.name, Escaped(c.run.program).c_str(),
           strerror(error));
    c.outcome = {HOOK_NOT_STARTED, error};
    if (c.run.finished) c.run.finished(c.outcome);
}

// The child has ended (its pidfd is readable): its status, then the rest of
// its output.
void Reap(Child& c) {
    int status = 0;
    pid_t got;
    do {
        got = waitpid(c.pid, &status, WNOHANG);
    } while (got < 0 && errno == EINTR);
    if (got == 0) return; // not yet
    close(c.pidfd);
    c.pidfd = -1;
    if (c.timedOut)
        c.outcome = {HOOK_TIMED_OUT, SIGKILL};
    else if (got < 0)
        c.outcome = {HOOK_EXITED, -1};
    else if (WIFSIGNALED(status))
        c.outcome = {HOOK_SIGNALLED, WTERMSIG(status)};
    else
        c.outcome = {HOOK_EXITED, WEXITSTATUS(status)};
    // Whatever the child left in the pipe is read; a descendant that still
    // holds the pipe open is not waited for.
    ReadOutput(c, true);
}

void KillAndReap(Child& c) {
    kill(-c.pid, SIGKILL);
    while (waitpid(c.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (c.pidfd >= 0) close(c.pidfd);
    if (c.out >= 0) close(c.out);
    Report(REPORT_WARNING, "%s(%d) killed: the server stops", c.run.name, (int)c.pid);
}

void Loop() {
    std::deque<Child> children;
    for (;;) {
        std::vector<HookRun> taken;
        {
            std::lock_guard<std::mutex> hold(lock);
            if (stopping) break;
            while (children.size() + taken.size() < HOOK_RUNNING_MAX && !waiting.empty()) {
                taken.push_back(std::move(waiting.front()));
                waiting.pop_front();
            }
        }
        for (HookRun& run : taken) {
            Child c;
            c.run = std::move(run);
            Start(c);
            if (c.pidfd >= 0)
                children.push_back(std::move(c));
            else
                busy.fetch_sub(1);
        }

        std::vector<pollfd> fds;
        fds.push_back({wakeFd, POLLIN, 0});
        int64_t now = NowMs(), timeout = -1;
        for (Child& c : children) {
            fds.push_back({c.pidfd, POLLIN, 0});
            fds.push_back({c.out, POLLIN, 0}); // -1 once closed: ignored by poll
            if (c.deadlineMs && !c.timedOut) {
                int64_t left = c.deadlineMs > now ? c.deadlineMs - now : 0;
                if (timeout < 0 || left < timeout) timeout = left;
            }
        }
        if (poll(fds.data(), fds.size(), (int)timeout) < 0 && errno != EINTR) {
            Report(REPORT_WARNING, "HookRunner: poll failed: %s", strerror(errno));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        uint64_t count;
        if (fds[0].revents & POLLIN) (void)!read(wakeFd, &count, sizeof count);

        now = NowMs();
        for (size_t i = 0; i < children.size(); i++) {
            Child& c = children[i];
            if (fds[2 + 2 * i].revents) ReadOutput(c, false);
            if (c.deadlineMs && !c.timedOut && now >= c.deadlineMs) {
                c.timedOut = true;
                kill(-c.pid, SIGKILL);
            }
            if (fds[1 + 2 * i].revents) Reap(c);
        }
        for (size_t i = children.size(); i-- > 0;) {
            Child& c = children[i];
            if (c.pidfd >= 0) continue;
            ReportEnd(c);
            children.erase(children.begin() + (long)i);
            busy.fetch_sub(1);
        }
    }
    for (Child& c : children) {
        KillAndReap(c);
        busy.fetch_sub(1);
    }
}

void Wake() {
    uint64_t one = 1;
    (void)!write(wakeFd, &one, sizeof one);
}

} // namespace

int HookRunnerQueue(HookRun run) {
    std::lock_guard<std::mutex> hold(lock);
    if (stopping || waiting.size() >= HOOK_QUEUE_MAX) return 0;
    if (!runner.joinable()) {
        wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wakeFd < 0) {
            Report(REPORT_WARNING, "HookRunner: eventfd failed: %s", strerror(errno));
            return 0;
        }
        runner = std::thread(Loop);
    }
    waiting.push_back(std::move(run));
    busy.fetch_add(1);
    Wake();
    return 1;
}

void HookRunnerStop() {
    std::thread ending;
    {
        std::lock_guard<std::mutex> hold(lock);
        if (!runner.joinable()) return;
        stopping = true;
        Wake();
        ending = std::move(runner);
    }
    ending.join();
    std::lock_guard<std::mutex> hold(lock);
    busy.fetch_sub((unsigned)waiting.size());
    waiting.clear();
    close(wakeFd);
    wakeFd = -1;
    stopping = false;
}

unsigned HookRunnerBusy() {
    return busy.load();
}
