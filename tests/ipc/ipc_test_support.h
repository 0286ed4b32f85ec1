// Support for the messaging tests: a private machine directory per test, the
// slot helper program as a child process driven line by line, and the log
// records this process writes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"

extern char** environ;

namespace ipctest {

inline std::string MakeTempDir(const char* prefix) {
    std::string templ = std::string("/tmp/") + prefix + "-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back(0);
    if (!mkdtemp(buf.data())) return "";
    return buf.data();
}

// A fresh BRINDLEX_ROOT for this process and the children it starts next.
struct MachineRoot {
    std::string dir;
    MachineRoot() {
        dir = MakeTempDir("bxipc");
        setenv("BRINDLEX_ROOT", dir.c_str(), 1);
    }
    ~MachineRoot() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

inline std::string HelperPath() {
    const char* env = getenv("BRINDLEX_BIN_DIR");
#ifdef BRINDLEX_BIN_DIR
    if (!env || !*env) env = BRINDLEX_BIN_DIR;
#endif
    return std::string(env ? env : ".") + "/slot_helper";
}

// The slot helper as a child process: one command line in, one reply line
// out. Every wait is bounded.
struct Child {
    pid_t pid = -1;
    int in = -1;   // the child's stdin
    int out = -1;  // the child's stdout
    std::string pending;

    bool Start() {
        int toChild[2], fromChild[2];
        if (pipe2(toChild, O_CLOEXEC) != 0) return false;
        if (pipe2(fromChild, O_CLOEXEC) != 0) return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
        posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
        std::string path = HelperPath();
        char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
        int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        close(toChild[0]);
        close(fromChild[1]);
        in = toChild[1];
        out = fromChild[0];
        if (rc != 0) pid = -1;
        return rc == 0;
    }

    // Sends one command without waiting for its reply.
    bool Say(const std::string& command) {
        std::string line = command + "\n";
        return write(in, line.data(), line.size()) == (ssize_t)line.size();
    }

    // Sends one command and returns the reply line ("" on time-out or exit).
    std::string Ask(const std::string& command, int timeoutMs = 10000) {
        if (!Say(command)) return "";
        return ReadLine(timeoutMs);
    }

    std::string ReadLine(int timeoutMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            size_t nl = pending.find('\n');
            if (nl != std::string::npos) {
                std::string line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return "";
            pollfd p = {out, POLLIN, 0};
            if (poll(&p, 1, (int)left.count()) <= 0) continue;
            char buf[4096];
            ssize_t n = read(out, buf, sizeof buf);
            if (n <= 0) return "";
            pending.append(buf, (size_t)n);
        }
    }

    // Closes its input (the helper ends on end of input) and waits for it,
    // killing it when it does not end in time.
    void Stop() {
        if (in >= 0) close(in);
        in = -1;
        Reap(5000);
    }

    void Kill() {
        if (pid > 0) kill(pid, SIGKILL);
        Reap(5000);
    }

    void Reap(int timeoutMs) {
        if (pid <= 0) return;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (waitpid(pid, nullptr, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        pid = -1;
        if (out >= 0) close(out);
        out = -1;
    }

    ~Child() {
        if (in >= 0) close(in);
        in = -1;
        if (pid > 0) Kill();
    }
};

// The log records of this process, written synchronously into a directory
// of its own, started once per process.
struct LogCapture {
    std::string dir;

    static LogCapture& Get() {
        static LogCapture capture;
        return capture;
    }

    LogCapture() {
        dir = MakeTempDir("bxipc-log");
        snprintf(logDir, sizeof logDir, "%s", dir.c_str());
        logEnable = 1;
        logSync = 1;
        logSize = 0;
        LogStartup("server ");
    }

    ~LogCapture() {
        LogShutdown();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    std::string Text() const {
        std::set<std::string> files;
        std::error_code ec;
        for (auto& entry : std::filesystem::directory_iterator(dir, ec)) {
            if (entry.path().extension() == ".log") files.insert(entry.path().string());
        }
        std::string all;
        for (auto& f : files) {
            std::ifstream in(f, std::ios::binary);
            std::stringstream s;
            s << in.rdbuf();
            all += s.str();
        }
        return all;
    }

    size_t Mark() const { return Text().size(); }

    // Whether a record containing text was written after mark; records are
    // written synchronously, the poll only absorbs a slow disk.
    bool HasSince(size_t mark, const std::string& text, int timeoutMs = 2000) const {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            std::string all = Text();
            if (all.size() > mark && all.find(text, mark) != std::string::npos) return true;
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    bool NoneSince(size_t mark, const std::string& text) const {
        std::string all = Text();
        return all.size() <= mark || all.find(text, mark) == std::string::npos;
    }
};

// Bytes of a test message: a pattern that differs at every position and from
// seed to seed, so that a shifted, cut or mixed message shows.
inline uint8_t PatternByte(unsigned seed, unsigned i) { return (uint8_t)(seed * 31 + i * 7 + 1); }

inline std::string Hex(const uint8_t* bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 15];
    }
    return s;
}

}  // namespace ipctest
