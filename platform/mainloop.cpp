#include "platform/mainloop.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "platform/report.h"
#include "platform/mainqueue.h"

namespace {
bool quitting = false;
int quitCode = 0;

int64_t NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

std::atomic<int> hangups{0};

sigset_t LoopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}
} // namespace

void MainLoopBlockSignals() {
    sigset_t set = LoopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void MainLoopQuit(int code) {
    quitting = true;
    quitCode = code;
}

int MainLoopSignalFd() {
    static int sigFd = -2;
    if (sigFd == -2) {
        sigset_t set = LoopSignals();
        sigFd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
        if (sigFd < 0)
            Report(REPORT_WARNING, "MainLoopSignalFd: error %d creating signal descriptor", errno);
    }
    return sigFd;
}

int MainLoopTakeSignals() {
    int sigFd = MainLoopSignalFd();
    int count = 0;
    struct signalfd_siginfo info;
    while (sigFd >= 0 && read(sigFd, &info, sizeof info) == (ssize_t)sizeof info) {
        if (info.ssi_signo == SIGHUP)
            hangups.fetch_add(1);
        else
            count++;
    }
    return count;
}

int MainLoopTakeHangups() {
    return hangups.exchange(0);
}

int MainLoopRun(const MainLoopCallbacks& callbacks, int periodMs) {
    int sigFd = MainLoopSignalFd();
    int wakeFd = MainQueueWakeFd();

    quitting = false;
    int64_t nextTick = NowMs() + periodMs;
    while (!quitting) {
        struct pollfd fds[2] = {{sigFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        int64_t wait = nextTick - NowMs();
        if (wait < 0) wait = 0;
        int n = poll(fds, 2, (int)wait);
        if (n < 0 && errno != EINTR) {
            Report(REPORT_WARNING, "MainLoopRun: poll error %d", errno);
            break;
        }
        if (n > 0 && (fds[0].revents & POLLIN)) {
            for (int k = MainLoopTakeSignals(); k > 0; k--) {
                if (callbacks.onClose) callbacks.onClose();
            }
        }
        MainQueueDrain();
        if (!quitting && NowMs() >= nextTick) {
            // Ticks missed while the loop was busy are not made up for.
            nextTick = NowMs() + periodMs;
            if (callbacks.onTimer) callbacks.onTimer();
        }
    }
    MainQueueDrain();
    return quitCode;
}
