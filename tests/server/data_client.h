// Data-connection helpers for socket-level tests of transfers and listings:
// a logged-in session that runs whole transfers over passive or active data
// connections (PASV, PORT, EPSV or EPRT), a listener for active ones, and
// random content. Every wait is bounded.
#pragma once

#include <random>
#include <string>

#include "ftp_fixture.h"
#include "test_support.h"

namespace dataclient {

using bxtest::ReadFile;
using bxtest::WaitFor;

inline std::string Code(const std::string& reply) {
    return reply.substr(0, 3);
}

inline std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s)
        c = (char)(gen() & 0xFF);
    return s;
}

// Connects to the data port of a "227 ... (h1,...,p2)" or "229 ... (|||port|)"
// reply (over IPv6 with localAddress IPV6_LOOPBACK); -1 on failure.
inline int ConnectData(const std::string& reply, const char* localAddress = nullptr) {
    size_t bars = reply.find("(|||");
    uint16_t port = bars == std::string::npos ? 0 : (uint16_t)atoi(reply.c_str() + bars + 4);
    if (reply.rfind("229 ", 0) == 0 && bars != std::string::npos)
        return IsIpv6(localAddress) ? bxtest::Connect6(port)
                                    : bxtest::Connect(INADDR_LOOPBACK, port, localAddress);
    return ConnectPassive(reply, localAddress);
}

// Whether the server closes fd, without sending anything, within 5 seconds.
inline bool ClosedByServer(int fd) {
    return ReadAll(fd, 5000).empty() && bxtest::WaitFd(fd, POLLIN, bxtest::Clock::now());
}

// A listening socket on 127.0.0.1:port, or [::1]:port with ipv6 (port 0: the
// system chooses), for active transfers.
struct Listener {
    int fd = -1;
    uint16_t port = 0;
    bool ipv6 = false;
    explicit Listener(uint16_t at = 0, bool v6 = false) : port(at), ipv6(v6) {
        fd = ipv6 ? bxtest::Listen6(&port, 8) : bxtest::Listen(&port, "127.0.0.1", 8);
    }
    ~Listener() {
        if (fd >= 0) close(fd);
    }
    std::string PortCommand(bool extended = false) const {
        if (ipv6) return "EPRT |2|::1|" + std::to_string(port) + "|";
        if (extended) return "EPRT |1|127.0.0.1|" + std::to_string(port) + "|";
        return "PORT 127,0,0,1," + std::to_string(port >> 8) + "," + std::to_string(port & 0xFF);
    }
    // The next data connection, or -1 after timeoutMs.
    int Accept(int timeoutMs = 5000) const {
        if (!bxtest::WaitFd(fd, POLLIN,
                            bxtest::Clock::now() + std::chrono::milliseconds(timeoutMs)))
            return -1;
        return accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    }
};

// How a Session opens its data connections.
enum class Mode { PASV, PORT, EPSV, EPRT };

// A logged-in control connection that runs whole transfers in passive or
// active mode. Results: the bytes moved and the final reply.
struct Session : FtpClient {
    Mode mode = Mode::PASV;
    const char* local = nullptr; // IPV6_LOOPBACK: control and data over IPv6

    bool Open(uint16_t port, const std::string& user = "u", const char* localAddress = nullptr) {
        local = localAddress;
        return ConnectGreeted(port, local) && Login(user, "pw");
    }

    // Sends the command with a fresh data connection. Returns the data fd
    // (or -1) and stores the preliminary reply in first; without first, the
    // test fails unless the transfer is under way (1xx).
    int Begin(const std::string& command, std::string* first = nullptr) {
        std::string preliminary;
        std::string& reply = first ? *first : preliminary;
        int fd = -1;
        if (mode == Mode::PASV || mode == Mode::EPSV) {
            fd = ConnectData(Command(mode == Mode::PASV ? "PASV" : "EPSV"), local);
            reply = Command(command);
        } else {
            Listener listener(0, IsIpv6(local));
            if (Code(Command(listener.PortCommand(mode == Mode::EPRT))) == "200")
                reply = Command(command);
            if (Code(reply) == "150") fd = listener.Accept();
        }
        EXPECT_TRUE(first || reply[0] == '1') << command << ": " << reply;
        return fd;
    }
    std::string Download(const std::string& command, std::string* final = nullptr) {
        std::string first, bytes;
        int fd = Begin(command, &first);
        if (fd >= 0 && (Code(first) == "150" || Code(first) == "125")) bytes = ReadAll(fd);
        if (fd >= 0) close(fd);
        std::string last = Code(first)[0] == '1' ? ReadReply(10000) : first;
        if (final) *final = last;
        return bytes;
    }
    std::string Upload(const std::string& command, const std::string& bytes) {
        std::string first;
        int fd = Begin(command, &first);
        if (fd >= 0 && Code(first)[0] == '1') WriteAll(fd, bytes);
        if (fd >= 0) close(fd);
        return Code(first)[0] == '1' ? ReadReply(10000) : first;
    }
};

// A fixture with the account "u" (password "pw", the default permissions)
// logged in as s, and the trace levels off (byte dumps of transfers would
// dominate the log).
class SessionTest : public FtpFixture {
  protected:
    void SetUp() override {
        FtpFixture::SetUp();
        QuietTrace();
        AddUser("u", "pw");
        ASSERT_TRUE(s.Open(Port()));
    }
    Session s;
};

} // namespace dataclient
