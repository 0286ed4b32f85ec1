// Clients that behave as an attacker would: they flood commands without
// reading the replies and then vanish, or hide a NUL in a command line. The
// server must give back every descriptor and never act on part of a line.
// (A crowd connecting at once is in control_load_test.cpp.)
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "data_client.h"
#include "log/log.h"

namespace {

using bxtest::Clock;

// Descriptors this process holds now (less the listing's own).
int OpenDescriptors() {
    std::filesystem::directory_iterator fds("/proc/self/fd");
    return (int)std::distance(begin(fds), end(fds)) - 1;
}

// A loopback client that sends HELP lines without ever reading a reply:
// non-blocking, it stops once the server has taken no byte for 300 ms.
int FloodWithoutReading(uint16_t port) {
    int fd = bxtest::ConnectLoopback(port);
    if (fd < 0) return -1;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::string bytes;
    for (int i = 0; i < 25000; i++)
        bytes += "HELP\r\n";
    for (size_t sent = 0; sent < bytes.size();) {
        if (!bxtest::WaitFd(fd, POLLOUT, Clock::now() + std::chrono::milliseconds(300))) break;
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN) break;
        sent += n > 0 ? (size_t)n : 0;
    }
    return fd;
}

using HostileClient = FtpFixture;

TEST_F(HostileClient, NonReadingClientsThatVanishGiveBackEveryDescriptor) {
    bxtest::QuietLog quiet(LOG_INFO);
    for (const std::string how : {"close", "reset", "half close, then close"}) {
        const int idle = OpenDescriptors();
        std::vector<int> clients;
        for (int i = 0; i < 4; i++)
            clients.push_back(FloodWithoutReading(Port()));
        for (int fd : clients)
            ASSERT_GE(fd, 0) << how;
        if (how == "half close, then close")
            for (int fd : clients)
                shutdown(fd, SHUT_WR);
        for (int fd : clients)
            how == "reset" ? bxtest::ResetClose(fd) : (void)close(fd);
        EXPECT_TRUE(bxtest::WaitFor([&] { return OpenDescriptors() == idle; }, 20000))
            << how << ": " << OpenDescriptors() << " descriptors, " << idle << " when idle";
    }
    // The server still serves.
    FtpClient c;
    EXPECT_TRUE(c.ConnectGreeted(Port()));
}

TEST_F(HostileClient, NulInACommandLineRefusesTheWholeLine) {
    AddUser("u", "pw");
    WriteRootFile("hello.txt", "hello");
    dataclient::Session c;
    ASSERT_TRUE(c.Open(Port()));
    using namespace std::string_literals;
    for (const std::string& line : {"DELE hello.txt\0/../../x"s, "DELE\0 hello.txt"s,
                                    "RNFR hello.txt\0x"s, "MKD made\0"s, "\0"s})
        EXPECT_EQ(c.Command(line), "500 Syntax error; command unrecognized.\r\n")
            << line.c_str() << " + NUL";
    EXPECT_EQ(bxtest::ReadFile(RootDir() + "/hello.txt"), "hello");
    EXPECT_FALSE(std::filesystem::exists(RootDir() + "/made"));
    EXPECT_EQ(c.Command("NOOP"), "200 Command okay.\r\n");
}

} // namespace
