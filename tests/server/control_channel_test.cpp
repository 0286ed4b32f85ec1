// The control channel over real sockets: greetings from message files, the
// connection limits (all, per address), slot reuse after a client left
// mid-line, replies sent without delay, the line limit, and replies the
// client does not read. (How bytes are cut into lines is in
// trace_privacy_test.cpp, garbage lines in dispatch_test.cpp.)
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "ftp_fixture.h"
#include "server/control_limits.h"
#include "version.h"
#include "server/sockthread.h"

namespace {

const char GREETING[] = "220 " BRINDLEX_VERSION_CAPTION "\r\n";
const char TOO_LONG[] = "500 Syntax error; command line too long.\r\n";
const char REFUSED[] = "421 Too may users; try again later\r\n";

class ControlChannel : public FtpFixture {
  protected:
    // Connects c and expects the greeting, or the reply given.
    void Open(FtpClient& c, const std::string& reply = GREETING) {
        ASSERT_TRUE(c.Connect(Port()));
        ASSERT_EQ(c.ReadReply(), reply);
    }
};

TEST_F(ControlChannel, GreetingFollowsTheMessageFile) {
    // (With no file, the one-line caption: every Open() below checks it.)
    std::string longLine(20000, 'x'); // longer than one read chunk: keeps one code prefix
    const std::string rows[][2] = {
        // file, greeting
        {"one\r\ntwo\r\nthree\r\n", "220-one\r\n220-two\r\n220 three\r\n"},
        {"first\r\nlast without end", "220-first\r\n220 last without end\r\n"},
        {longLine + "\r\nend\r\n", "220-" + longLine + "\r\n220 end\r\n"},
        {"", GREETING}}; // an empty file still greets, so the client is not left waiting
    for (auto& row : rows) {
        SCOPED_TRACE(row[0].substr(0, 20));
        WriteMessageFile("welcome.txt", row[0]);
        FtpClient c;
        Open(c, row[1]);
    }
}

// --- the system connection limit and slots

TEST_F(ControlChannel, ConnectionLimitRefusesUntilTheRefusedClientCloses) {
    SettingStore(systemSettings.maxConn, (uint16_t)2);
    FtpClient c1, c2, c3, c4, c5;
    Open(c1);
    Open(c2);
    Open(c3, REFUSED);
    EXPECT_TRUE(c3.WaitForEof()) << "sending side not shut down after the refusal";

    // The refused connection still holds its slot: with c1 gone, c2 and c3
    // are two, and the next client is refused too.
    c1.Close();
    ASSERT_TRUE(bxtest::WaitFor([&] { return LiveConnections() == 2; }));
    Open(c4, REFUSED);

    c3.Close();
    c4.Close();
    ASSERT_TRUE(bxtest::WaitFor([&] { return LiveConnections() == 1; }));
    Open(c5);
    EXPECT_EQ(c2.Command("NOOP"), "200 Command okay.\r\n");
}

// MaxConnPerAddress counts by the client's address: the connection over it
// gets MaxConn's refusal, another address is still served, and a closed
// connection makes room again.
TEST_F(ControlChannel, PerAddressLimitRefusesOnlyTheAddressOverIt) {
    SettingStore(systemSettings.maxConnPerAddress, (uint16_t)2);
    FtpClient a1, a2, a3, b1, b2, a4;
    Open(a1);
    Open(a2);
    ASSERT_TRUE(a3.Connect(Port()));
    EXPECT_EQ(a3.ReadReply(), REFUSED);
    EXPECT_TRUE(a3.WaitForEof()) << "sending side not shut down after the refusal";
    for (FtpClient* b : {&b1, &b2}) {
        ASSERT_TRUE(b->Connect(Port(), "127.0.0.2"));
        EXPECT_EQ(b->ReadReply(), GREETING);
    }
    a1.Close();
    a3.Close();
    ASSERT_TRUE(bxtest::WaitFor([&] { return LiveConnections() == 3; }));
    Open(a4);
    EXPECT_EQ(a2.Command("NOOP"), "200 Command okay.\r\n");
}

// A client that leaves mid-line with a reset harms no one, and its slot is
// the next client's, without the part line it left.
TEST_F(ControlChannel, SlotFreedByAResetIsReused) {
    FtpClient a, b, c;
    Open(a);
    Open(b);
    ASSERT_TRUE(a.Send("NOO"));
    ASSERT_TRUE(bxtest::WaitFor([&] { return UnreadInput(0) == 3; }));
    a.Close(true);
    ASSERT_TRUE(bxtest::WaitFor([&] { return LiveConnections() == 1; }));
    EXPECT_EQ(b.Command("NOOP"), "200 Command okay.\r\n");
    Open(c);
    EXPECT_EQ(c.Command("NOOP"), "200 Command okay.\r\n");
    static int32_t slots;
    OnSocketThread([] { slots = ConnSlotCount(); });
    EXPECT_EQ(slots, 2) << "a third slot was made instead of reusing the freed one";
}

// Replies leave at once: with Nagle's algorithm on, the final reply of a
// transfer waited for the client's delayed acknowledgement of the one before.
TEST_F(ControlChannel, ControlSocketSendsWithoutDelay) {
    FtpClient c;
    Open(c);
    static int noDelay;
    OnSocketThread([] {
        socklen_t len = sizeof noDelay;
        if (ConnOwner(0) == SockLoopIndex())
            getsockopt(ConnAt(0)->control.socket, IPPROTO_TCP, TCP_NODELAY, &noDelay, &len);
    });
    EXPECT_EQ(noDelay, 1) << "TCP_NODELAY is off on the accepted control socket";
}

// --- the line limit

TEST_F(ControlChannel, LineLimitIsExactly8191BytesAndAnOverlongLineIsSkippedAsItArrives) {
    FtpClient c;
    Open(c);
    std::string fits = "NOOP " + std::string(8191 - 7, 'a') + "\r\n";
    ASSERT_EQ(fits.size(), 8191u);
    ASSERT_TRUE(c.Send(fits));
    EXPECT_EQ(c.ReadReply(), "200 Command okay.\r\n");
    ASSERT_TRUE(c.Send("NOOP " + std::string(8192 - 7, 'a') + "\r\nSYST\r\n"));
    EXPECT_EQ(c.ReadReply(), TOO_LONG);
    EXPECT_EQ(c.ReadReply(), "215 WIN32\r\n");

    ASSERT_TRUE(c.Send(std::string(9000, 'x')));
    EXPECT_EQ(c.ReadReply(), TOO_LONG); // before the line has ended
    // Far more than the input queue may hold, then the line's end.
    for (int i = 0; i < 8; i++)
        ASSERT_TRUE(c.Send(std::string(10000, 'y')));
    ASSERT_TRUE(c.Send("\r\nSYST\r\n"));
    EXPECT_EQ(c.ReadReply(), "215 WIN32\r\n");
}

// --- replies the client does not read

TEST_F(ControlChannel, UnreadRepliesHoldBackCommandsWithoutLosingAny) {
    bxtest::QuietLog quiet;
    FtpClient c;
    Open(c);

    // About 12 MB of replies to 240 KB of commands, not read until the
    // server has found the socket full: it has to hold commands back until
    // the client reads, and go on with them once it does.
    const int count = 40000;
    std::atomic<bool> writeFailed{false};
    std::thread writer([&] {
        std::string batch;
        for (int i = 0; i < 100; i++)
            batch += "HELP\r\n";
        for (int i = 0; i < count / 100 && !writeFailed; i++)
            writeFailed = !WriteAll(c.Fd(), batch);
    });
    static bool backlogged;
    bool blocked = bxtest::WaitFor(
        [&] {
            OnSocketThread([] {
                if (ConnOwner(0) == SockLoopIndex())
                    backlogged = ControlOutputBacklogged(ConnAt(0));
            });
            return backlogged;
        },
        30000);
    int complete = 0;
    for (int i = 0; i < count; i++) {
        std::string reply = c.ReadReply(10000);
        if (reply.size() != 331 || reply.compare(301, 30, "214 Help command successful.\r\n") != 0)
            break;
        complete++;
    }
    writer.join();
    EXPECT_TRUE(blocked) << "replies never had to wait";
    EXPECT_FALSE(writeFailed);
    EXPECT_EQ(complete, count);
    EXPECT_EQ(c.Command("NOOP"), "200 Command okay.\r\n");
}

} // namespace
