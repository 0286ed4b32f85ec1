// Many simultaneous control connections served by the one socket thread.
#include <poll.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ftp_fixture.h"
#include "log/log.h"

namespace {

class ControlLoad : public FtpFixture {};

// Each client walks USER, PASS, QUIT; all run at once, driven by poll().
TEST_F(ControlLoad, FiveHundredClientsLogInAndOut) {
    const int clients = 500;
    for (int level = LOG_INFO; level < LOG_LEVELS; level++) logLevelOn[level] = 0;
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
    for (int level = LOG_INFO; level < LOG_LEVELS; level++) logLevelOn[level] = 1;
    EXPECT_EQ(loggedIn, clients);
    EXPECT_EQ(quit, clients);
    for (int i = 0; i < clients; i++) EXPECT_TRUE(c[i].WaitForEof(2000)) << i;
}

}  // namespace
