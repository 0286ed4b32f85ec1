// Time limits on the socket thread: connections that never log in or sit
// idle are ended, and a failed PASS is answered only after a delay that slows
// nobody else.
#include <string>

#include "config/config.h"
#include "ftp_fixture.h"

namespace {

using bxtest::Clock;

const char TIMEOUT[] = "421 Timeout; closing control connection.\r\n";

long MsSince(Clock::time_point start) {
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class TimeLimits : public FtpFixture {
protected:
    void TearDown() override {
        for (TimeLimit limit : {LIMIT_LOGIN_TIMEOUT, LIMIT_IDLE_TIMEOUT, LIMIT_LOGIN_FAIL_DELAY})
            SetTimeLimitSetting(limit, 0);
        FtpFixture::TearDown();
    }
    void Connect(FtpClient& c) {
        ASSERT_TRUE(c.Connect(Port()));
        ASSERT_EQ(c.ReadReply().substr(0, 4), "220 ");
    }
};

TEST_F(TimeLimits, LoginTimeoutEndsConnectionsThatNeverLogIn) {
    AddUser("bob", "pw");
    const struct {
        uint32_t seconds;
        bool closed;
    } rows[] = {{0, false}, {2, true}};
    for (const auto& row : rows) {
        SetTimeLimitSetting(LIMIT_LOGIN_TIMEOUT, row.seconds);
        FtpClient onlyUser, loggedIn;
        auto start = Clock::now();
        Connect(onlyUser);
        Connect(loggedIn);
        EXPECT_EQ(onlyUser.Command("USER bob"), "331 Password required.\r\n");
        ASSERT_TRUE(loggedIn.Login("bob", "pw"));
        if (row.closed) {
            EXPECT_EQ(onlyUser.ReadReply(3000), TIMEOUT) << row.seconds;
            EXPECT_TRUE(onlyUser.WaitForEof(3000 - MsSince(start)));
            EXPECT_GE(MsSince(start), 2000);
        } else {
            EXPECT_EQ(onlyUser.ReadReply(2500), "") << "no limit, yet the connection ended";
            EXPECT_EQ(onlyUser.Command("NOOP"), "200 Command okay.\r\n");
        }
        // A logged-in connection is not bound by the login limit.
        EXPECT_EQ(loggedIn.Command("NOOP"), "200 Command okay.\r\n") << row.seconds;
    }
}

TEST_F(TimeLimits, IdleTimeoutCountsFromTheLastCommand) {
    AddUser("bob", "pw");
    SetTimeLimitSetting(LIMIT_IDLE_TIMEOUT, 1);
    FtpClient busy, idle;
    Connect(busy);
    Connect(idle);
    ASSERT_TRUE(busy.Login("bob", "pw"));
    ASSERT_TRUE(idle.Login("bob", "pw"));
    auto start = Clock::now();
    while (MsSince(start) < 2000) {
        EXPECT_EQ(busy.Command("NOOP"), "200 Command okay.\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_EQ(idle.ReadReply(2000), TIMEOUT);
    EXPECT_TRUE(idle.WaitForEof(2000));
    EXPECT_EQ(busy.Command("NOOP"), "200 Command okay.\r\n");
}

TEST_F(TimeLimits, FailedPassIsAnsweredLateWithoutSlowingOthers) {
    AddUser("bob", "pw");
    SetTimeLimitSetting(LIMIT_LOGIN_FAIL_DELAY, 600);
    FtpClient guesser, other;
    Connect(guesser);
    Connect(other);
    EXPECT_EQ(guesser.Command("USER bob"), "331 Password required.\r\n");
    auto start = Clock::now();
    // The commands behind the failed PASS wait for its reply, in order.
    ASSERT_TRUE(guesser.Send("PASS wrong\r\nNOOP\r\n"));
    long best = 1000000;
    while (MsSince(start) < 400) {
        auto sent = Clock::now();
        EXPECT_EQ(other.Command("NOOP"), "200 Command okay.\r\n");
        best = std::min(best, MsSince(sent));
    }
    EXPECT_LE(best, 10) << "another connection's NOOP waited for the delay";
    EXPECT_EQ(guesser.ReadReply(), "530 Login incorrect.\r\n");
    EXPECT_GE(MsSince(start), 600);
    EXPECT_EQ(guesser.ReadReply(), "200 Command okay.\r\n");
    EXPECT_EQ(guesser.Command("USER bob"), "331 Password required.\r\n");
    EXPECT_EQ(guesser.Command("PASS pw"), "230 User logged in, proceed.\r\n");
}

}  // namespace
