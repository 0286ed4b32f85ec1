// Many simultaneous control connections served by the one socket thread, and
// clients that arrive when no descriptor is left.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ftp_fixture.h"

namespace {

using ControlLoad = FtpFixture;

// Each client walks USER, PASS, QUIT; all run at once, driven by poll().
TEST_F(ControlLoad, FiveHundredClientsLogInAndOut) {
    const int clients = 500;
    bxtest::QuietLog quiet(LOG_INFO);
    AddUser("bob", "pw");
    std::vector<FtpClient> c(clients);
    for (int i = 0; i < clients; i++) {
        ASSERT_TRUE(c[i].Connect(Port())) << i;
        ASSERT_EQ(c[i].ReadReply().substr(0, 4), "220 ") << i;
    }
    std::vector<int> step(clients, 0);  // 0 USER sent, 1 PASS sent, 2 QUIT sent, 3 done
    std::vector<std::string> got(clients);
    for (int i = 0; i < clients; i++) ASSERT_TRUE(c[i].SendLine("USER bob"));
    int loggedIn = 0, quit = 0, done = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (done < clients && std::chrono::steady_clock::now() < deadline) {
        std::vector<pollfd> fds;
        std::vector<int> who;
        for (int i = 0; i < clients; i++)
            if (step[i] < 3) {
                fds.push_back({c[i].Fd(), POLLIN, 0});
                who.push_back(i);
            }
        if (poll(fds.data(), fds.size(), 1000) <= 0) continue;
        for (size_t k = 0; k < fds.size(); k++) {
            if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            int i = who[k];
            std::string reply = c[i].ReadReply(1000);
            if (step[i] == 0 && reply == "331 Password required.\r\n") {
                c[i].SendLine("PASS pw");
            } else if (step[i] == 1 && reply == "230 User logged in, proceed.\r\n") {
                loggedIn++;
                c[i].SendLine("QUIT");
            } else if (step[i] == 2 && reply == "221 Closing control connection.\r\n") {
                quit++;
            } else {
                ADD_FAILURE() << "client " << i << " step " << step[i] << ": " << reply;
                step[i] = 3;
                done++;
                continue;
            }
            if (++step[i] == 3) done++;
        }
    }
    EXPECT_EQ(loggedIn, clients);
    EXPECT_EQ(quit, clients);
    for (int i = 0; i < clients; i++) EXPECT_TRUE(c[i].WaitForEof(2000)) << i;
}

double CpuSeconds() {
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// With no descriptor to spare (the test's clients and the server share this
// process's limit), a client waiting to be accepted is neither dropped nor
// polled for in a busy loop; it is greeted once a descriptor is free, and
// the listener goes on accepting.
TEST_F(ControlLoad, DescriptorExhaustionPausesAcceptingWithoutLosingTheClient) {
    // The log writer opens its file for each write: with nothing to log it
    // takes no descriptor while they are counted out.
    for (int level = 0; level < LOG_LEVELS; level++) logLevelOn[level] = 0;
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
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers.push_back(fd);
    auto freeOne = [&] {
        close(fillers.back());
        fillers.pop_back();
    };

    freeOne();  // for the client's own socket: the server gets none
    FtpClient waiting;
    ASSERT_TRUE(waiting.Connect(Port()));
    double cpuBefore = CpuSeconds();
    pollfd p = {waiting.Fd(), POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 1000), 0) << "greeted without a descriptor to accept with";
    EXPECT_LT(CpuSeconds() - cpuBefore, 0.1) << "the loop spins on the listener";

    freeOne();
    EXPECT_EQ(waiting.ReadReply().substr(0, 4), "220 ");
    freeOne();
    freeOne();
    FtpClient later;
    ASSERT_TRUE(later.Connect(Port()));
    EXPECT_EQ(later.ReadReply().substr(0, 4), "220 ");

    for (int fd : fillers) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    for (int level = 0; level < LOG_LEVELS; level++) logLevelOn[level] = 1;
}

}  // namespace
