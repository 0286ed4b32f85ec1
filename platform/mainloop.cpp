#include "platform/mainloop.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "log/log.h"
#include "platform/mainqueue.h"

namespace {
bool quitting = false;
int quitCode = 0;

int64_t NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

sigset_t CloseSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}
}  // namespace

void MainLoopBlockSignals() {
    sigset_t set = CloseSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void MainLoopQuit(int code) {
    quitting = true;
    quitCode = code;
}

int MainLoopRun(const MainLoopCallbacks& callbacks, int periodMs) {
    sigset_t set = CloseSignals();
    int sigFd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (sigFd < 0) LogPrintf(LOG_WARNING, "MainLoopRun: error %d creating signal descriptor", errno);
    int wakeFd = MainQueueWakeFd();

    quitting = false;
    int64_t nextTick = NowMs() + periodMs;
    while (!quitting) {
        struct pollfd fds[2] = {{sigFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        int64_t wait = nextTick - NowMs();
        if (wait < 0) wait = 0;
        int n = poll(fds, 2, (int)wait);
        if (n < 0 && errno != EINTR) {
            LogPrintf(LOG_WARNING, "MainLoopRun: poll error %d", errno);
            break;
        }
        if (n > 0 && (fds[0].revents & POLLIN)) {
            struct signalfd_siginfo info;
            while (read(sigFd, &info, sizeof info) == (ssize_t)sizeof info) {
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
    if (sigFd >= 0) close(sigFd);
    return quitCode;
}
