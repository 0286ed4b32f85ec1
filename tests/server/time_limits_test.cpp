// Time limits on the socket thread: connections that never log in or sit
// idle are ended, and a failed PASS is answered only after a delay that slows
// nobody else. Every wait is a bounded poll with room for a loaded machine.
#include <string>

#include "config/config.h"
#include "data_client.h"
#include "ftp_fixture.h"

namespace {

using bxtest::Clock;

const char TIMEOUT[] = "421 Timeout; closing control connection.\r\n";
const char OK[] = "200 Command okay.\r\n";

long MsSince(Clock::time_point start) {
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)
        .count();
}

class TimeLimits : public FtpFixture {
  protected:
    // (The fixture's set-up clears every time limit for the next test.)
    void Open(FtpClient& c, bool login) {
        ASSERT_TRUE(c.ConnectGreeted(Port()));
        if (login)
            ASSERT_TRUE(c.Login("bob", "pw"));
        else
            ASSERT_EQ(c.Command("USER bob"), "331 Password required.\r\n");
    }
};

// Each row: the limit set, whether the connection under it logs in, and the
// connection of the other kind, which must outlive the limit.
TEST_F(TimeLimits, LoginAndIdleTimeoutsEndOnlyTheConnectionsTheyBind) {
    const std::pair<TimeLimit, bool> rows[] = {{LIMIT_LOGIN_TIMEOUT, false},
                                               {LIMIT_IDLE_TIMEOUT, true}};
    AddUser("bob", "pw");
    for (const auto& [limit, loggedIn] : rows) {
        SCOPED_TRACE(loggedIn ? "idle timeout" : "login timeout");
        SetTimeLimitSetting(limit, 1);
        FtpClient bound, other;
        auto start = Clock::now();
        Open(bound, loggedIn);
        Open(other, !loggedIn);
        // The other connection stays busy, so the idle limit never ends it either.
        std::string reply;
        while (reply.empty() && MsSince(start) < 20000) {
            EXPECT_EQ(other.Command("NOOP"), OK);
            reply = bound.ReadReply(100);
        }
        EXPECT_EQ(reply, TIMEOUT);
        EXPECT_GE(MsSince(start), 500) << "ended long before its limit"; // timers may round
        EXPECT_TRUE(bound.WaitForEof());
        EXPECT_EQ(other.Command("NOOP"), OK);
        SetTimeLimitSetting(limit, 0);
    }
    // Without a limit nothing ends: a connection that never logged in
    // still answers after longer than either limit above.
    FtpClient waits;
    Open(waits, false);
    EXPECT_EQ(waits.ReadReply(1500), "") << "no limit, yet the connection ended";
    EXPECT_EQ(waits.Command("NOOP"), OK);
}

// The refusal comes after its delay, before the commands behind it, and
// another connection is answered meanwhile. A machine that stalls the test
// for longer than the delay can let the refusal arrive first; that round is
// repeated, while a server that holds the others up loses every round.
TEST_F(TimeLimits, FailedPassIsAnsweredLateWithoutSlowingOthers) {
    AddUser("bob", "pw");
    const long delayMs = 2000;
    SetTimeLimitSetting(LIMIT_LOGIN_FAIL_DELAY, (uint32_t)delayMs);
    FtpClient guesser, other;
    Open(guesser, false); // connection 0
    Open(other, false);
    bool servedMeanwhile = false;
    for (int round = 0; round < 3 && !servedMeanwhile; round++) {
        if (round > 0) ASSERT_EQ(guesser.Command("USER bob"), "331 Password required.\r\n");
        auto start = Clock::now();
        ASSERT_TRUE(guesser.Send("PASS wrong\r\nNOOP\r\n"));
        ASSERT_TRUE(bxtest::WaitFor([&] { return UnreadInput(0) == 6; }, 20000))
            << "PASS not taken, NOOP not held";
        EXPECT_EQ(other.Command("NOOP", 20000), OK);
        std::string refusal = guesser.ReadReply(0);
        servedMeanwhile = refusal.empty();
        if (refusal.empty()) refusal = guesser.ReadReply(20000);
        EXPECT_EQ(refusal, "530 Login incorrect.\r\n");
        EXPECT_GE(MsSince(start), delayMs - 500) << "answered before the delay"; // timers may round
        EXPECT_EQ(guesser.ReadReply(20000), OK);
    }
    EXPECT_TRUE(servedMeanwhile) << "the other connection waited for the refusal in every round";
    EXPECT_EQ(guesser.Command("USER bob"), "331 Password required.\r\n");
    EXPECT_EQ(guesser.Command("PASS pw"), "230 User logged in, proceed.\r\n");
}

// DataTimeout: a download nobody reads and an upload that goes silent end
// with 426 once no data has moved for that long; the session goes on.
TEST_F(TimeLimits, StalledTransfersEndWithoutEndingTheSession) {
    QuietTrace();
    AddUser("u", "pw");
    WriteRootFile("big.bin", std::string(32 << 20, 'b')); // more than the socket buffers hold
    SettingStore(systemSettings.dataTimeout, 1u);
    for (const std::string command : {"RETR big.bin", "STOR up.bin"}) {
        SCOPED_TRACE(command);
        dataclient::Session s;
        ASSERT_TRUE(s.Open(Port()));
        int fd = s.Begin(command);
        ASSERT_GE(fd, 0);
        if (command[0] == 'S') WriteAll(fd, "some bytes, then silence");
        EXPECT_EQ(s.ReadReply(20000), "426 Connection closed; transfer aborted.\r\n");
        EXPECT_EQ(s.Command("NOOP"), OK);
        close(fd);
    }
}

} // namespace
