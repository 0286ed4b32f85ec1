// Support for the messaging tests: a private machine directory per test, the
// slot helper as a child process driven line by line, and this process's log
// records.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "log/log.h"

extern char** environ;

#ifndef BRINDLEX_BIN_DIR
#define BRINDLEX_BIN_DIR "."
#endif

namespace ipctest {

inline std::string MakeTempDir(const char* prefix) {
    std::string templ = std::string("/tmp/") + prefix + "-XXXXXX";
    return mkdtemp(templ.data()) ? templ : "";
}

// A fresh BRINDLEX_ROOT for this process and the children it starts next.
struct MachineRoot {
    std::string dir = MakeTempDir("bxipc");
    MachineRoot() { setenv("BRINDLEX_ROOT", dir.c_str(), 1); }
    ~MachineRoot() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

// The slot helper program: one command line in, one reply line out; every
// wait is bounded.
struct Child {
    pid_t pid = -1;
    int in = -1, out = -1;
    std::string pending;

    bool Start() {
        int toChild[2], fromChild[2];
        if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
        posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
        const char* bin = getenv("BRINDLEX_BIN_DIR");
        std::string path = std::string(bin && *bin ? bin : BRINDLEX_BIN_DIR) + "/slot_helper";
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
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        size_t nl;
        while ((nl = pending.find('\n')) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p = {out, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, (int)left.count()) <= 0) return "";
            char buf[4096];
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
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (waitpid(pid, nullptr, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) kill(pid, SIGKILL);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        close(out);
        pid = -1;
    }

    ~Child() { Stop(true); }
};

// This process's log records, written synchronously into a directory of its
// own; logging starts once per process.
struct LogCapture {
    std::string dir = MakeTempDir("bxipc-log");

    static LogCapture& Get() {
        static LogCapture capture;
        return capture;
    }
    LogCapture() {
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

    // Every record so far (daily files: one per day the test spans).
    std::string Text() const {
        std::string all;
        std::error_code ec;
        for (auto& entry : std::filesystem::directory_iterator(dir, ec)) {
            std::ifstream f(entry.path(), std::ios::binary);
            std::stringstream s;
            s << f.rdbuf();
            all += s.str();
        }
        return all;
    }
    size_t Mark() const { return Text().size(); }
    bool Since(size_t mark, const std::string& text) const {
        std::string all = Text();
        return all.size() > mark && all.find(text, mark) != std::string::npos;
    }
};

// A pattern that differs at every position and from seed to seed, so that a
// shifted, cut or mixed message shows.
inline uint8_t PatternByte(unsigned seed, unsigned i) { return (uint8_t)(seed * 31 + i * 7 + 1); }

inline std::string Hex(const uint8_t* bytes, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += "0123456789abcdef"[bytes[i] >> 4];
        s += "0123456789abcdef"[bytes[i] & 15];
    }
    return s;
}

inline std::string PatternHex(unsigned seed, unsigned len) {
    std::string s;
    for (unsigned i = 0; i < len; i++) {
        uint8_t b = PatternByte(seed, i);
        s += Hex(&b, 1);
    }
    return s;
}

}  // namespace ipctest
