// Helpers shared by every test program: temporary directories, file text,
// logging into a directory of the test's own and reading the records back,
// bounded waits, loopback sockets and a helper program driven line by line.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"

extern char** environ;

#ifndef BRINDLEX_BIN_DIR
#define BRINDLEX_BIN_DIR "."
#endif

namespace bxtest {

using Clock = std::chrono::steady_clock;

// A fresh directory /tmp/<prefix>-XXXXXX ("" when it cannot be made),
// removed with everything in it at the end of scope.
struct TempDir {
    std::string path;
    explicit TempDir(const char* prefix) : path(std::string("/tmp/") + prefix + "-XXXXXX") {
        if (!mkdtemp(path.data())) path.clear();
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
};

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// How often piece occurs in text (occurrences may overlap).
inline int CountOf(const std::string& text, const std::string& piece) {
    int n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        n++;
    return n;
}

// Polls cond every 10 ms until it holds or timeoutMs has passed.
template <typename Cond> bool WaitFor(Cond cond, int timeoutMs = 5000) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (cond()) return true;
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Logging on into dir (all levels) until ShutDown or the end of scope; the
// records written so far can be read back.
struct LogCapture {
    std::string dir;
    explicit LogCapture(const std::string& into, const char* prefix = "server ", bool sync = false)
        : dir(into) {
        snprintf(logDir, sizeof logDir, "%s", dir.c_str());
        logEnable = 1;
        logSync = sync ? 1 : 0;
        logSize = 0;
        for (int level = 0; level < LOG_LEVELS; level++)
            logLevelOn[level] = 1;
        LogStartup(prefix);
    }
    ~LogCapture() {
        LogShutdown();
        logEnable = 0;
        logSync = 0;
        snprintf(logDir, sizeof logDir, ".");
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Everything logged so far: every file of the directory in name order
    // (daily files: one per day the test spans).
    std::string Text() const {
        LogFlush();
        std::vector<std::filesystem::path> files;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
            if (entry.is_regular_file()) files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        std::string text;
        for (const auto& file : files)
            text += ReadFile(file);
        return text;
    }
    int Count(const std::string& piece) const { return CountOf(Text(), piece); }
};

// Switches the log levels from `from` up off for its scope (trace byte dumps
// of large transfers would dominate a run), and on again at its end.
struct QuietLog {
    int from;
    explicit QuietLog(int fromLevel = LOG_TRACE0) : from(fromLevel) {
        for (int level = from; level < LOG_LEVELS; level++)
            logLevelOn[level] = 0;
    }
    ~QuietLog() {
        for (int level = from; level < LOG_LEVELS; level++)
            logLevelOn[level] = 1;
    }
};

// ---------------------------------------------------------------- sockets

// Waits until fd has the events or the deadline passes; true when ready.
inline bool WaitFd(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p = {fd, events, 0};
        int r = poll(&p, 1, left > 0 ? (int)left : 0);
        if (r > 0) return true;
        if (r == 0 || errno != EINTR) return false;
    }
}

// A blocking listener on address:*port (SO_REUSEADDR set), or on a port the
// system chooses when *port is 0; -1 on failure.
inline int Listen(uint16_t* port, const char* address = "127.0.0.1", int backlog = 16) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(*port);
    inet_pton(AF_INET, address, &sa.sin_addr);
    socklen_t len = sizeof sa;
    if (bind(fd, (sockaddr*)&sa, sizeof sa) != 0 || listen(fd, backlog) != 0 ||
        getsockname(fd, (sockaddr*)&sa, &len) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(sa.sin_port);
    return fd;
}

// A blocking client connected to address:port (host order), bound first to
// localAddress when given, with 5-second send and receive time-outs and
// SO_REUSEADDR (so a listener may share its local port); -1 on failure.
inline int Connect(uint32_t address, uint16_t port, const char* localAddress = nullptr) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    timeval tv{5, 0};
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (localAddress) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, localAddress, &local.sin_addr);
        if (bind(fd, (sockaddr*)&local, sizeof local) != 0) {
            close(fd);
            return -1;
        }
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(address);
    sa.sin_port = htons(port);
    if (connect(fd, (sockaddr*)&sa, sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline int ConnectLoopback(uint16_t port) {
    return Connect(INADDR_LOOPBACK, port);
}

// Whether the machine has the IPv6 loopback address ::1 (tests over IPv6 skip
// without it).
inline bool HasIpv6Loopback() {
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_addr = in6addr_loopback;
    bool bound = bind(fd, (sockaddr*)&sa, sizeof sa) == 0;
    close(fd);
    return bound;
}

// A blocking client connected to [::1]:port, as Connect; -1 on failure.
inline int Connect6(uint16_t port) {
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_addr = in6addr_loopback;
    sa.sin6_port = htons(port);
    if (connect(fd, (sockaddr*)&sa, sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A blocking listener on [::1]:*port (0: the system chooses); -1 on failure.
inline int Listen6(uint16_t* port, int backlog = 16) {
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_addr = in6addr_loopback;
    sa.sin6_port = htons(*port);
    socklen_t len = sizeof sa;
    if (fd < 0 || bind(fd, (sockaddr*)&sa, sizeof sa) != 0 || listen(fd, backlog) != 0 ||
        getsockname(fd, (sockaddr*)&sa, &len) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    *port = ntohs(sa.sin6_port);
    return fd;
}

// Connects to the address and port of a "227 ... (h1,h2,h3,h4,p1,p2)" reply;
// -1 on failure.
inline int ConnectPassive(const std::string& reply227, const char* localAddress = nullptr) {
    size_t open = reply227.find('(');
    unsigned h[4], p[2];
    if (reply227.rfind("227", 0) != 0 || open == std::string::npos ||
        sscanf(reply227.c_str() + open, "(%u,%u,%u,%u,%u,%u)", &h[0], &h[1], &h[2], &h[3], &p[0],
               &p[1]) != 6)
        return -1;
    for (unsigned v : {h[0], h[1], h[2], h[3], p[0], p[1]})
        if (v > 255) return -1;
    return Connect((h[0] << 24) | (h[1] << 16) | (h[2] << 8) | h[3], (uint16_t)(p[0] * 256 + p[1]),
                   localAddress);
}

// Closes fd with a reset instead of a FIN.
inline void ResetClose(int fd) {
    linger lg{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(fd);
}

// Reads a socket until the peer closes (bounded by timeoutMs); the bytes read.
inline std::string ReadAll(int fd, int timeoutMs = 10000) {
    std::string bytes;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (!WaitFd(fd, POLLIN, deadline)) return bytes;
        char buffer[65536];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return bytes;
        bytes.append(buffer, (size_t)n);
    }
}

// Writes all bytes; false on error.
inline bool WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += (size_t)n;
    }
    return true;
}

// ---------------------------------------------------------------- helper programs

// Path of a program in the build's bin directory.
inline std::string BinPath(const std::string& program) {
    const char* bin = getenv("BRINDLEX_BIN_DIR");
    return std::string(bin && *bin ? bin : BRINDLEX_BIN_DIR) + "/" + program;
}

// A helper program from the build's bin directory: one command line in, one
// reply line out; every wait is bounded.
struct Child {
    pid_t pid = -1;
    int in = -1, out = -1;
    std::string pending;

    bool Start(const char* program = "slot_helper") {
        int toChild[2], fromChild[2];
        if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
        posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
        std::string path = BinPath(program);
        char* argv[] = {path.data(), nullptr};
        int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        close(toChild[0]);
        close(fromChild[1]);
        in = toChild[1];
        out = fromChild[0];
        if (rc != 0) pid = -1;
        return rc == 0;
    }

    bool Say(const std::string& command) {
        std::string line = command + "\n";
        return write(in, line.data(), line.size()) == (ssize_t)line.size();
    }

    std::string Ask(const std::string& command) { return Say(command) ? ReadLine(10000) : ""; }

    // The next reply line; "" on time-out or when the helper has ended.
    std::string ReadLine(int timeoutMs) {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        size_t nl;
        while ((nl = pending.find('\n')) == std::string::npos) {
            char buf[4096];
            if (!WaitFd(out, POLLIN, deadline)) return "";
            ssize_t n = read(out, buf, sizeof buf);
            if (n <= 0) return "";
            pending.append(buf, (size_t)n);
        }
        std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        return line;
    }

    // End of input ends the helper in order; a helper that does not end in
    // time, or Stop(true), gets SIGKILL.
    void Stop(bool kill9 = false) {
        if (pid <= 0) return;
        if (kill9) kill(pid, SIGKILL);
        close(in);
        auto deadline = Clock::now() + std::chrono::seconds(5);
        while (waitpid(pid, nullptr, WNOHANG) == 0) {
            if (Clock::now() > deadline) kill(pid, SIGKILL);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        close(out);
        pid = -1;
    }

    ~Child() { Stop(true); }
};

} // namespace bxtest
