// Many simultaneous control connections served by the one socket thread, and
// clients that arrive when no descriptor is left.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "ftp_fixture.h"
#include "version.h"

namespace {

using ControlLoad = FtpFixture;

// Connections started at once (non-blocking) to 127.0.0.1:port: their
// sockets, and how many of them the kernel completed within timeoutMs; a
// refused or reset one is reported and not counted.
int ConnectBurst(uint16_t port, std::vector<int>& fds, int timeoutMs) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(port);
    std::vector<pollfd> pending;
    for (int& fd : fds) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd >= 0 && (connect(fd, (sockaddr*)&sa, sizeof sa) == 0 || errno == EINPROGRESS))
            pending.push_back({fd, POLLOUT, 0});
    }
    int done = 0;
    auto deadline = bxtest::Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pending.empty() && bxtest::Clock::now() < deadline) {
        if (poll(pending.data(), pending.size(), 100) < 0 && errno != EINTR) break;
        for (size_t i = 0; i < pending.size();) {
            if (!pending[i].revents) {
                i++;
                continue;
            }
            int error = 0;
            socklen_t len = sizeof error;
            getsockopt(pending[i].fd, SOL_SOCKET, SO_ERROR, &error, &len);
            if (error == 0)
                done++;
            else
                ADD_FAILURE() << "connection " << pending[i].fd << ": " << strerror(error);
            pending[i] = pending.back();
            pending.pop_back();
        }
    }
    for (int fd : fds)
        if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return done;
}

std::atomic<bool> holding, burstOver;

// A crowd connects at the same instant while the socket thread is busy and
// accepts nobody: the listen queue holds them all (a short one drops what
// does not fit, and those clients wait for a retry or give up). Then each
// step goes to every client before any reply is read, so all sessions are
// open together on the one thread.
TEST_F(ControlLoad, FiveHundredClientsConnectAtOnceLogInAndOut) {
    const int clients = 500; // a descriptor each for client and server
    rlimit files;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
    ASSERT_GT(files.rlim_cur, 3u * clients) << "too few descriptors for the crowd";
    bxtest::QuietLog quiet(LOG_INFO);
    AddUser("bob", "pw");
    std::vector<int> fds(clients, -1);
    int queued = 0;
    holding = burstOver = false;
    std::thread crowd([&] {
        bxtest::WaitFor([] { return holding.load(); }, 60000);
        queued = ConnectBurst(Port(), fds, 30000);
        burstOver = true;
    });
    OnSocketThread([] {
        holding = true;
        bxtest::WaitFor([] { return burstOver.load(); }, 60000);
    });
    crowd.join();
    EXPECT_EQ(queued, clients) << "connections completed while the server accepted nobody";
    std::vector<FtpClient> c(clients);
    for (int i = 0; i < clients; i++)
        c[i].Adopt(fds[i]);
    const std::pair<std::string, std::string> steps[] = {
        // line sent ("": none), reply
        {"", "220 " BRINDLEX_VERSION_CAPTION "\r\n"},
        {"USER bob", "331 Password required.\r\n"},
        {"PASS pw", "230 User logged in, proceed.\r\n"},
        {"QUIT", "221 Closing control connection.\r\n"}};
    for (const auto& [line, reply] : steps) {
        for (int i = 0; i < clients && !line.empty(); i++)
            ASSERT_TRUE(c[i].SendLine(line)) << i;
        for (int i = 0; i < clients; i++)
            ASSERT_EQ(c[i].ReadReply(10000), reply) << line << ", client " << i;
    }
    for (int i = 0; i < clients; i++)
        EXPECT_TRUE(c[i].WaitForEof()) << i;
}

// Processor time of the whole process, every thread's.
double CpuSeconds() {
    return (double)std::clock() / CLOCKS_PER_SEC;
}

// With no descriptor to spare (the test's clients and the server share this
// process's limit), a client waiting to be accepted is neither dropped nor
// polled for in a busy loop; it is greeted once a descriptor is free, and
// the listener goes on accepting.
TEST_F(ControlLoad, DescriptorExhaustionPausesAcceptingWithoutLosingTheClient) {
    // The log writer opens its file for each write: with nothing to log it
    // takes no descriptor while they are counted out.
    bxtest::QuietLog silent(0);
    LogText();
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    int probe = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(probe, 0);
    rlimit low = saved;
    low.rlim_cur = (rlim_t)probe + 64;
    close(probe);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> fillers;
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
        fillers.push_back(fd);
    size_t kept = fillers.size(); // fillers[kept...] have been closed again

    close(fillers[--kept]); // for the client's own socket: the server gets none
    FtpClient waiting;
    ASSERT_TRUE(waiting.Connect(Port()));
    double cpuBefore = CpuSeconds();
    pollfd p = {waiting.Fd(), POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 1000), 0) << "greeted without a descriptor to accept with";
    EXPECT_LT(CpuSeconds() - cpuBefore, 0.1) << "the loop spins on the listener";

    close(fillers[--kept]);
    EXPECT_EQ(waiting.ReadReply().substr(0, 4), "220 ");
    close(fillers[--kept]);
    close(fillers[--kept]);
    FtpClient later;
    EXPECT_TRUE(later.ConnectGreeted(Port()));

    for (size_t i = 0; i < kept; i++)
        close(fillers[i]);
    setrlimit(RLIMIT_NOFILE, &saved);
}

} // namespace
