#include "platform/service_control.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

#include "platform/service_manager.h"

namespace {
sigset_t ControlSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}
} // namespace

int ServiceControlOpen(uint32_t* error) {
    sigset_t set = ControlSignals();
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) {
        *error = ScmErrorFromErrno(errno);
        return -1;
    }
    int fd = signalfd(-1, &set, SFD_CLOEXEC);
    if (fd < 0) *error = ScmErrorFromErrno(errno);
    return fd;
}

uint32_t ServiceControlNext(int handle, uint32_t* error) {
    while (true) {
        struct signalfd_siginfo info;
        ssize_t n = read(handle, &info, sizeof info);
        if (n < 0 && errno == EINTR) continue;
        if (n != (ssize_t)sizeof info) {
            *error = ScmErrorFromErrno(n < 0 ? errno : EIO);
            return 0;
        }
        if (info.ssi_signo == SIGTERM) return SERVICE_CONTROL_STOP;
        if (info.ssi_signo == SIGHUP) return SERVICE_CONTROL_INTERROGATE;
    }
}

void ServiceControlClose(int handle) {
    if (handle >= 0) close(handle);
}
