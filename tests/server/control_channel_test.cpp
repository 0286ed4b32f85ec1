// The control channel over real sockets: greetings from message files, the
// connection limit, slot reuse, how bytes are cut into lines, and input that
// is malformed, overlong or cut off.
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "ftp_fixture.h"
#include "server/control_limits.h"

namespace {

const char GREETING[] = "220 Brindlex V1.2\r\n";
const char UNKNOWN[] = "500 Syntax error; command unrecognized.";
const char TOO_LONG[] = "500 Syntax error; command line too long.\r\n";
const char REFUSED[] = "421 Too may users; try again later\r\n";

class ControlChannel : public FtpFixture {
protected:
    std::string Greeting() {
        FtpClient c;
        if (!c.Connect(Port())) return "connect failed";
        return c.ReadReply();
    }
};

// --- message files cut into multi-line replies

TEST_F(ControlChannel, GreetingFollowsTheMessageFile) {
    EXPECT_EQ(Greeting(), GREETING);  // no file: the one-line caption

    WriteMessageFile("welcome.txt", "one\r\ntwo\r\nthree\r\n");
    EXPECT_EQ(Greeting(), "220-one\r\n220-two\r\n220 three\r\n");

    WriteMessageFile("welcome.txt", "first\r\nlast without end");
    EXPECT_EQ(Greeting(), "220-first\r\n220 last without end\r\n");

    // A line longer than one read chunk keeps one code prefix.
    std::string longLine(20000, 'x');
    WriteMessageFile("welcome.txt", longLine + "\r\nend\r\n");
    EXPECT_EQ(Greeting(), "220-" + longLine + "\r\n220 end\r\n");

    // An empty file still greets, so the client is not left waiting.
    WriteMessageFile("welcome.txt", "");
    EXPECT_EQ(Greeting(), GREETING);
}

// --- the system connection limit and slots

TEST_F(ControlChannel, ConnectionLimitRefusesUntilTheRefusedClientCloses) {
    SetMaxConn(2);
    FtpClient c1, c2, c3, c4, c5;
    ASSERT_TRUE(c1.Connect(Port()));
    EXPECT_EQ(c1.ReadReply(), GREETING);
    ASSERT_TRUE(c2.Connect(Port()));
    EXPECT_EQ(c2.ReadReply(), GREETING);
    ASSERT_TRUE(c3.Connect(Port()));
    EXPECT_EQ(c3.ReadReply(), REFUSED);
    EXPECT_TRUE(c3.WaitForEof()) << "sending side not shut down after the refusal";

    // The refused connection still holds its slot: with c1 gone, c2 and c3
    // are two, and the next client is refused too.
    c1.Close();
    ASSERT_TRUE(bxtest::WaitFor([&] { return LiveConnections() == 2; }));
    ASSERT_TRUE(c4.Connect(Port()));
    EXPECT_EQ(c4.ReadReply(), REFUSED);

    c3.Close();
    c4.Close();
    ASSERT_TRUE(bxtest::WaitFor([&] { return LiveConnections() == 1; }));
    ASSERT_TRUE(c5.Connect(Port()));
    EXPECT_EQ(c5.ReadReply(), GREETING);
    EXPECT_EQ(c2.Command("NOOP"), "200 Command okay.\r\n");
}

TEST_F(ControlChannel, SlotFreedByAResetIsReused) {
    FtpClient a, b, c;
    ASSERT_TRUE(a.Connect(Port()));
    ASSERT_EQ(a.ReadReply(), GREETING);
    ASSERT_TRUE(b.Connect(Port()));
    ASSERT_EQ(b.ReadReply(), GREETING);
    a.Close(true);
    ASSERT_TRUE(bxtest::WaitFor([&] { return LiveConnections() == 1; }));
    ASSERT_TRUE(c.Connect(Port()));
    ASSERT_EQ(c.ReadReply(), GREETING);
    EXPECT_EQ(c.Command("NOOP"), "200 Command okay.\r\n");
    static int32_t slots;
    OnSocketThread([] { slots = connTable.count; });
    EXPECT_EQ(slots, 2) << "a third slot was made instead of reusing the freed one";
}

// --- cutting bytes into lines

TEST_F(ControlChannel, LinesAreCutWhateverTheSegments) {
    FtpClient c;
    ASSERT_TRUE(c.Connect(Port()));
    ASSERT_EQ(c.ReadReply(), GREETING);
    ASSERT_TRUE(c.Send("NOOP\r\nSYST\r\n"));
    EXPECT_EQ(c.ReadReply(), "200 Command okay.\r\n");
    EXPECT_EQ(c.ReadReply(), "215 WIN32\r\n");

    // Half a line waits, read, for the rest.
    ASSERT_TRUE(c.Send("SY"));
    ASSERT_TRUE(bxtest::WaitFor([&] { return UnreadInput() == 2; }));
    ASSERT_TRUE(c.Send("ST\r"));
    ASSERT_TRUE(bxtest::WaitFor([&] { return UnreadInput() == 5; }));
    ASSERT_TRUE(c.Send("\nNOOP\n"));
    EXPECT_EQ(c.ReadReply(), "215 WIN32\r\n");
    EXPECT_EQ(c.ReadReply(), "200 Command okay.\r\n");
}

TEST_F(ControlChannel, GarbageIsAnsweredAndTheConnectionGoesOn) {
    FtpClient c;
    ASSERT_TRUE(c.Connect(Port()));
    ASSERT_EQ(c.ReadReply(), GREETING);
    ExpectReplies(c, {{std::string("\x00\x01\xff\xfe garbage", 13), UNKNOWN},
                      {"\r\r\r\n", UNKNOWN},
                      {"\x80\x81\xc3\xa9", UNKNOWN},
                      {"NOOP", "200 Command okay."}});
}

TEST_F(ControlChannel, ClientsVanishingMidLineOrMidReplyHarmNoOne) {
    FtpClient stays;
    ASSERT_TRUE(stays.Connect(Port()));
    ASSERT_EQ(stays.ReadReply(), GREETING);
    std::string many;
    for (int i = 0; i < 500; i++) many += "HELP\r\n";
    for (const std::string& sent : {std::string("NOO"), many}) {
        FtpClient gone;
        ASSERT_TRUE(gone.Connect(Port()));
        ASSERT_EQ(gone.ReadReply(), GREETING);
        ASSERT_TRUE(gone.Send(sent));
        gone.Close(true);
        ASSERT_TRUE(bxtest::WaitFor([&] { return LiveConnections() == 1; }));
    }
    EXPECT_EQ(stays.Command("NOOP"), "200 Command okay.\r\n");
}

// --- the line limit

TEST_F(ControlChannel, LineLimitIsExactly8191BytesWithTheLineFeed) {
    FtpClient c;
    ASSERT_TRUE(c.Connect(Port()));
    ASSERT_EQ(c.ReadReply(), GREETING);
    std::string fits = "NOOP " + std::string(8191 - 7, 'a') + "\r\n";
    ASSERT_EQ(fits.size(), 8191u);
    ASSERT_TRUE(c.Send(fits));
    EXPECT_EQ(c.ReadReply(), "200 Command okay.\r\n");

    std::string over = "NOOP " + std::string(8192 - 7, 'a') + "\r\n";
    ASSERT_TRUE(c.Send(over + "SYST\r\n"));
    EXPECT_EQ(c.ReadReply(), TOO_LONG);
    EXPECT_EQ(c.ReadReply(), "215 WIN32\r\n");
}

TEST_F(ControlChannel, OverlongLineIsSkippedAsItArrivesAndAnsweredOnce) {
    FtpClient c;
    ASSERT_TRUE(c.Connect(Port()));
    ASSERT_EQ(c.ReadReply(), GREETING);
    ASSERT_TRUE(c.Send("NOOP\r\n" + std::string(9000, 'x')));
    EXPECT_EQ(c.ReadReply(), "200 Command okay.\r\n");
    EXPECT_EQ(c.ReadReply(), TOO_LONG);  // before the line has ended
    // Far more than the input queue may hold, then the line's end.
    for (int i = 0; i < 8; i++) ASSERT_TRUE(c.Send(std::string(10000, 'y')));
    ASSERT_TRUE(c.Send("\r\nSYST\r\n"));
    EXPECT_EQ(c.ReadReply(), "215 WIN32\r\n");
}

// --- replies the client does not read

TEST_F(ControlChannel, UnreadRepliesHoldBackCommandsWithoutLosingAny) {
    bxtest::QuietLog quiet;
    FtpClient c;
    ASSERT_TRUE(c.Connect(Port()));
    ASSERT_EQ(c.ReadReply(), GREETING);

    // About 12 MB of replies to 240 KB of commands, not read until the
    // server has found the socket full: it has to hold commands back until
    // the client reads, and go on with them once it does.
    const int count = 40000;
    std::atomic<int> batchesSent{0};
    std::atomic<bool> writeFailed{false};
    std::thread writer([&] {
        std::string batch;
        for (int i = 0; i < 100; i++) batch += "HELP\r\n";
        for (int i = 0; i < count / 100; i++) {
            if (!WriteAll(c.Fd(), batch)) {
                writeFailed = true;
                return;
            }
            batchesSent++;
        }
    });
    static bool backlogged;
    bool blocked = bxtest::WaitFor(
        [&] {
            OnSocketThread([] { backlogged = ControlOutputBacklogged(&connTable.conns[0]); });
            return backlogged;
        },
        30000);
    int complete = 0;
    for (int i = 0; i < count; i++) {
        std::string reply = c.ReadReply(10000);
        if (reply.size() != 331 || reply.compare(301, 30, "214 Help command successful.\r\n") != 0) break;
        complete++;
    }
    writer.join();
    EXPECT_TRUE(blocked) << "replies never had to wait";
    EXPECT_FALSE(writeFailed);
    EXPECT_EQ(complete, count);
    EXPECT_EQ(c.Command("NOOP"), "200 Command okay.\r\n");
}

}  // namespace
