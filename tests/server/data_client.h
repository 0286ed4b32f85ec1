// Data-connection helpers for socket-level tests of transfers and listings:
// a logged-in session, passive and active data connections, random content
// and file access below the fixture's root. Every wait is bounded.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "ftp_fixture.h"

namespace dataclient {

inline std::string Code(const std::string& reply) { return reply.substr(0, 3); }

// Polls cond every 10 ms until it holds or timeoutMs has passed.
template <typename Cond>
bool WaitFor(Cond cond, int timeoutMs = 5000) {
    for (int waited = 0; waited <= timeoutMs; waited += 10) {
        if (cond()) return true;
        usleep(10000);
    }
    return false;
}

inline size_t CountOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

inline std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = (char)(gen() & 0xFF);
    return s;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A listening socket on address:0 for active transfers.
struct Listener {
    int fd = -1;
    uint16_t port = 0;
    explicit Listener(const char* address = "127.0.0.1") {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        inet_pton(AF_INET, address, &sa.sin_addr);
        socklen_t len = sizeof sa;
        if (bind(fd, (sockaddr*)&sa, sizeof sa) == 0 && listen(fd, 8) == 0 &&
            getsockname(fd, (sockaddr*)&sa, &len) == 0)
            port = ntohs(sa.sin_port);
    }
    ~Listener() {
        if (fd >= 0) close(fd);
    }
    std::string PortCommand() const {
        return "PORT 127,0,0,1," + std::to_string(port >> 8) + "," + std::to_string(port & 0xFF);
    }
    // The next data connection, or -1 after timeoutMs.
    int Accept(int timeoutMs = 5000) const {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1) return -1;
        return accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    }
};

// Connects from a chosen local address to a passive reply's port.
inline int ConnectFrom(const char* localAddress, const std::string& reply227) {
    unsigned h[4], p[2];
    size_t open = reply227.find('(');
    if (open == std::string::npos ||
        sscanf(reply227.c_str() + open, "(%u,%u,%u,%u,%u,%u)", &h[0], &h[1], &h[2], &h[3], &p[0], &p[1]) != 6)
        return -1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, localAddress, &local.sin_addr);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons((uint16_t)(p[0] * 256 + p[1]));
    sa.sin_addr.s_addr = htonl((h[0] << 24) | (h[1] << 16) | (h[2] << 8) | h[3]);
    if (bind(fd, (sockaddr*)&local, sizeof local) != 0 || connect(fd, (sockaddr*)&sa, sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A logged-in control connection that runs whole transfers in passive or
// active mode. Results: the bytes moved and the final reply.
struct Session {
    FtpClient ftp;
    bool passive = true;

    bool Open(uint16_t port, const std::string& user = "u") {
        return ftp.Connect(port) && Code(ftp.ReadReply()) == "220" && ftp.Login(user, "pw");
    }
    std::string Cmd(const std::string& line) { return ftp.Command(line); }

    // Sends the command with a fresh data connection. Returns the data fd
    // (or -1) and stores the preliminary reply.
    int Begin(const std::string& command, std::string* first) {
        if (passive) {
            std::string pasv = Cmd("PASV");
            int fd = ConnectPassive(pasv);
            *first = Cmd(command);
            return fd;
        }
        Listener listener;
        if (Code(Cmd(listener.PortCommand())) != "200") return -1;
        *first = Cmd(command);
        return Code(*first) == "150" ? listener.Accept() : -1;
    }
    std::string Download(const std::string& command, std::string* final = nullptr) {
        std::string first, bytes;
        int fd = Begin(command, &first);
        if (fd >= 0 && (Code(first) == "150" || Code(first) == "125")) bytes = ReadAll(fd);
        if (fd >= 0) close(fd);
        std::string last = Code(first)[0] == '1' ? ftp.ReadReply(10000) : first;
        if (final) *final = last;
        return bytes;
    }
    std::string Upload(const std::string& command, const std::string& bytes) {
        std::string first;
        int fd = Begin(command, &first);
        if (fd >= 0 && Code(first)[0] == '1') WriteAll(fd, bytes);
        if (fd >= 0) close(fd);
        return Code(first)[0] == '1' ? ftp.ReadReply(10000) : first;
    }
};

}  // namespace dataclient
