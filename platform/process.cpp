#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/service_manager.h"

extern char** environ;

namespace {
constexpr uint32_t ERROR_DIRECTORY = 267;
constexpr uint32_t ERROR_INVALID_WINDOW_HANDLE = 1400;
} // namespace

int ProcessStartDetached(const char* program, const char* argument, const char* workDir,
                         uint32_t* error) {
    if (!program || !*program) {
        *error = SC_ERROR_FILE_NOT_FOUND;
        return 0;
    }
    // The spawn reports a failed change of directory and a failed start with
    // the same kind of errno; looking at the directory first tells them apart.
    int dir = open(workDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        *error = ERROR_DIRECTORY;
        return 0;
    }
    close(dir);

    // Children that end are reaped by the kernel: the service never waits.
    struct sigaction reap = {};
    reap.sa_handler = SIG_DFL;
    reap.sa_flags = SA_NOCLDWAIT;
    sigaction(SIGCHLD, &reap, nullptr);

    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_init(&actions);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGTERM, SIGHUP, SIGINT, SIGPIPE, SIGCHLD})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    for (int fd = 0; fd <= 2; fd++)
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY,
                                         0);
    posix_spawn_file_actions_addchdir_np(&actions, workDir);

    // A relative program path names a file below this process's directory,
    // not below the child's new one.
    std::string path = program;
    char cwd[4096];
    if (path[0] != '/' && getcwd(cwd, sizeof cwd)) path = std::string(cwd) + "/" + path;
    char* argv[] = {const_cast<char*>(program), const_cast<char*>(argument), nullptr};
    pid_t pid = 0;
    int rc = posix_spawn(&pid, path.c_str(), &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        *error = rc == ENOTDIR ? SC_ERROR_FILE_NOT_FOUND : ScmErrorFromErrno(rc);
        return 0;
    }
    return (int)pid;
}

uint32_t ProcessAskStop(int pid) {
    if (pid > 0 && kill(pid, SIGTERM) == 0) return 0;
    return pid <= 0 || errno == ESRCH ? ERROR_INVALID_WINDOW_HANDLE : ScmErrorFromErrno(errno);
}
