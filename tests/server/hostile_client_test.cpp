// Clients that behave as an attacker would: they flood commands without
// reading the replies and then vanish, connect in a crowd, or hide a NUL in a
// command line. The server must give back every descriptor, greet everyone
// and never act on part of a line.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "ftp_fixture.h"
#include "log/log.h"

namespace {

using bxtest::Clock;

// Descriptors this process holds now.
int OpenDescriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return -1;
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') count++;
    closedir(dir);
    return count - 1;  // the directory's own descriptor
}

// A loopback client that sends commands without ever reading a reply:
// non-blocking, so it stops sending once the server no longer takes bytes.
int FloodWithoutReading(uint16_t port, const std::string& line, size_t times) {
    int fd = bxtest::ConnectLoopback(port);
    if (fd < 0) return -1;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::string bytes;
    for (size_t i = 0; i < times; i++) bytes += line;
    size_t sent = 0;
    auto quiet = Clock::now() + std::chrono::milliseconds(300);  // no progress for this long: full
    while (sent < bytes.size() && Clock::now() < quiet) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += (size_t)n;
            quiet = Clock::now() + std::chrono::milliseconds(300);
        } else {
            pollfd p = {fd, POLLOUT, 0};
            poll(&p, 1, 20);
        }
    }
    return fd;
}

using HostileClient = FtpFixture;

TEST_F(HostileClient, NonReadingClientsThatVanishGiveBackEveryDescriptor) {
    bxtest::QuietLog quiet(LOG_INFO);
    enum Leave { CLOSE, RESET, HALF_CLOSE_THEN_CLOSE };
    const struct {
        const char* name;
        Leave how;
    } rows[] = {{"close", CLOSE}, {"reset", RESET}, {"half close, then close", HALF_CLOSE_THEN_CLOSE}};
    for (const auto& row : rows) {
        const int idle = OpenDescriptors();
        std::vector<int> clients;
        for (int i = 0; i < 4; i++) clients.push_back(FloodWithoutReading(Port(), "HELP\r\n", 25000));
        for (int fd : clients) {
            ASSERT_GE(fd, 0) << row.name;
            if (row.how == HALF_CLOSE_THEN_CLOSE) shutdown(fd, SHUT_WR);
        }
        if (row.how == HALF_CLOSE_THEN_CLOSE) {
            // The server still holds the half-closed connections: they may yet read.
            EXPECT_GT(OpenDescriptors(), idle) << row.name;
        }
        for (int fd : clients) row.how == RESET ? bxtest::ResetClose(fd) : (void)close(fd);
        EXPECT_TRUE(bxtest::WaitFor([&] { return OpenDescriptors() == idle; }, 1000))
            << row.name << ": " << OpenDescriptors() << " descriptors, " << idle << " when idle";
    }
    // The server still serves.
    FtpClient c;
    ASSERT_TRUE(c.Connect(Port()));
    EXPECT_EQ(c.ReadReply(), "220 Brindlex V1.2\r\n");
}

TEST_F(HostileClient, TwoHundredClientsConnectingAtOnceAreAllGreeted) {
    bxtest::QuietLog quiet(LOG_INFO);
    const int clients = 200;
    std::vector<int> fds;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(Port());
    for (int i = 0; i < clients; i++) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        connect(fd, (sockaddr*)&sa, sizeof sa);  // in progress
        fds.push_back(fd);
    }
    std::vector<std::string> got(clients);
    int greeted = 0;
    auto deadline = Clock::now() + std::chrono::seconds(20);
    while (greeted < clients && Clock::now() < deadline) {
        std::vector<pollfd> p;
        for (int fd : fds) p.push_back({fd, POLLIN, 0});
        if (poll(p.data(), p.size(), 200) <= 0) continue;
        for (int i = 0; i < clients; i++) {
            if (!(p[i].revents & POLLIN) || got[i].find('\n') != std::string::npos) continue;
            char buffer[256];
            ssize_t n = recv(fds[i], buffer, sizeof buffer, 0);
            if (n > 0) got[i].append(buffer, (size_t)n);
            if (got[i].find('\n') != std::string::npos) greeted++;
        }
    }
    for (int i = 0; i < clients; i++) EXPECT_EQ(got[i], "220 Brindlex V1.2\r\n") << "client " << i;
    for (int fd : fds) close(fd);
}

TEST_F(HostileClient, NulInACommandLineRefusesTheWholeLine) {
    AddUser("bob", "pw");
    WriteRootFile("hello.txt", "hello");
    FtpClient c;
    ASSERT_TRUE(c.Connect(Port()));
    c.ReadReply();
    ASSERT_TRUE(c.Login("bob", "pw"));
    const struct {
        std::string line;
    } rows[] = {
        {std::string("DELE hello.txt\0/../../x", 23)},
        {std::string("DELE\0 hello.txt", 15)},
        {std::string("RNFR hello.txt\0x", 16)},
        {std::string("MKD made\0", 9)},
        {std::string("\0", 1)},
    };
    for (const auto& row : rows) {
        std::string printable = row.line;
        for (char& ch : printable)
            if (ch == 0) ch = '@';
        EXPECT_EQ(c.Command(row.line), "500 Syntax error; command unrecognized.\r\n") << printable;
    }
    EXPECT_EQ(bxtest::ReadFile(RootDir() + "/hello.txt"), "hello");
    EXPECT_FALSE(std::filesystem::exists(RootDir() + "/made"));
    EXPECT_EQ(c.Command("NOOP"), "200 Command okay.\r\n");
}

}  // namespace
