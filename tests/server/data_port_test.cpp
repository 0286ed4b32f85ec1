// Where data connections go and who may make them: PORT validation, PASV,
// reuse of an open passive socket, refused active connections, and
// strangers on the passive port.
#include "data_client.h"

using namespace dataclient;

namespace {

// Whether the server closes fd, without sending anything, within 5 seconds.
bool ClosedByServer(int fd) {
    char b;
    return bxtest::WaitFd(fd, POLLIN, bxtest::Clock::now() + std::chrono::seconds(5)) && recv(fd, &b, 1, 0) == 0;
}

class DataPort : public FtpFixture {
protected:
    void SetUp() override {
        FtpFixture::SetUp();
        AddUser("u", "pw");
        WriteRootFile("f.txt", "hello data");
        ASSERT_TRUE(s.Open(Port()));
    }
    // Waits until the server has taken a passive data connection.
    bool Accepted() {
        return WaitFor([&] { return LiveConnections(true) == 1; });
    }
    Session s;
};

TEST_F(DataPort, PortArgumentsAreCheckedInOrder) {
    const char* cases[][2] = {
        {"PORT 127,0,0,1,256,1", "501 Invalid port parameter."},
        {"PORT 127,0,0,1,4", "501 Invalid port parameter."},
        {"PORT 127,0,0,1,-1,4", "501 Invalid port parameter."},
        {"PORT 127,0,0,1,65537,4", "501 Invalid port parameter."},
        {"PORT", "501 Invalid port parameter."},
        {"PORT 0,0,0,0,0,0", "501 Invalid IP address."},  // address before port
        {"PORT 255,255,255,255,4,1", "501 Invalid IP address."},
        {"PORT 127,0,0,1,0,0", "501 Invalid port parameter."},
        {"PORT 127,0,0,1,0,21", "501 Port number restricted."},
        {"PORT 127,0,0,1,3,255", "501 Port number restricted."},
        {"PORT 10,0,0,1,4,0", "501 IP address restricted."},
        {"PORT  127, 0, 0, 1, 4, 0 trailing", "200 Command okay."},
    };
    for (auto& c : cases) EXPECT_EQ(s.Command(c[0]), std::string(c[1]) + "\r\n") << c[0];
}

TEST_F(DataPort, NotLoggedInIsRefused) {
    FtpClient c;
    ASSERT_TRUE(c.Connect(Port()));
    c.ReadReply();
    EXPECT_EQ(c.Command("PORT 127,0,0,1,4,0"), "530 Not logged in.\r\n");
    EXPECT_EQ(c.Command("PASV"), "530 Not logged in.\r\n");
}

TEST_F(DataPort, PasvAnnouncesAnAcceptingPortAndASecondPasvReplacesIt) {
    std::string first = s.Command("PASV");
    ASSERT_EQ(first.rfind("227 Entering Passive Mode (127,0,0,1,", 0), 0u) << first;
    std::string second = s.Command("PASV");
    ASSERT_EQ(Code(second), "227");
    EXPECT_NE(first, second);
    EXPECT_EQ(ConnectPassive(first), -1) << "the first passive socket is closed";
    int fd = ConnectPassive(second);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(Accepted());
    EXPECT_EQ(Code(s.Command("RETR f.txt")), "125");  // already connected
    EXPECT_EQ(ReadAll(fd), "hello data");
    close(fd);
    EXPECT_EQ(s.ReadReply(), "226 Transfer complete.\r\n");
}

TEST_F(DataPort, ActiveTransferReachesTheListener) {
    s.passive = false;
    std::string final;
    EXPECT_EQ(s.Download("RETR f.txt", &final), "hello data");
    EXPECT_EQ(final, "226 Transfer complete.\r\n");
}

TEST_F(DataPort, RefusedActiveConnectionGives425AndQueuedCommandsFollow) {
    std::string portCommand;
    {
        Listener closed;
        portCommand = closed.PortCommand();
    }
    ASSERT_EQ(Code(s.Command(portCommand)), "200");
    ASSERT_TRUE(s.SendLine("RETR f.txt"));
    std::string reply = s.ReadReply();
    ASSERT_TRUE(s.SendLine("NOOP"));  // sent while the connection is tried
    if (Code(reply) == "150") reply = s.ReadReply();
    EXPECT_EQ(reply, "425 Can't open data connection.\r\n");
    EXPECT_EQ(Code(s.ReadReply()), "200");
}

TEST_F(DataPort, PassiveSocketStaysUsableAfterATransfer) {
    std::string pasv = s.Command("PASV");
    for (int round = 0; round < 3; round++) {
        int fd = ConnectPassive(pasv);
        ASSERT_GE(fd, 0) << round;
        ASSERT_TRUE(Accepted());
        EXPECT_EQ(Code(s.Command("RETR f.txt")), "125");
        EXPECT_EQ(ReadAll(fd), "hello data");
        close(fd);
        EXPECT_EQ(s.ReadReply(), "226 Transfer complete.\r\n");
    }
    // Without connecting first: 150, then the data once the client connects.
    EXPECT_EQ(Code(s.Command("RETR f.txt")), "150");
    int fd = ConnectPassive(pasv);
    EXPECT_EQ(ReadAll(fd), "hello data");
    close(fd);
    EXPECT_EQ(s.ReadReply(), "226 Transfer complete.\r\n");
}

TEST_F(DataPort, SecondTransferCommandInOneSegmentIsRefused) {
    int fd = ConnectPassive(s.Command("PASV"));
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(Accepted());
    ASSERT_TRUE(s.Send("RETR f.txt\r\nSTOR f.txt\r\n"));
    EXPECT_EQ(Code(s.ReadReply()), "125");
    EXPECT_EQ(s.ReadReply(), "425 Can't open data connection.\r\n");
    EXPECT_EQ(ReadAll(fd), "hello data");
    close(fd);
    EXPECT_EQ(s.ReadReply(), "226 Transfer complete.\r\n");
    EXPECT_EQ(ReadFile(RootDir() + "/f.txt"), "hello data");
}

TEST_F(DataPort, DefaultDataPortIsTheClientsControlPort) {
    // The client listens on the port its control connection comes from.
    sockaddr_in local = {};
    socklen_t len = sizeof local;
    ASSERT_EQ(getsockname(s.Fd(), (sockaddr*)&local, &len), 0);
    Listener listener(ntohs(local.sin_port));
    ASSERT_GE(listener.fd, 0);
    EXPECT_EQ(Code(s.Command("RETR f.txt")), "150");
    int fd = listener.Accept();
    EXPECT_EQ(ReadAll(fd), "hello data");
    close(fd);
    EXPECT_EQ(Code(s.ReadReply()), "226");
}

TEST_F(DataPort, StrangerOnThePassivePortIsTurnedAway) {
    std::string pasv = s.Command("PASV");
    int thief = ConnectPassive(pasv, "127.0.0.2");
    ASSERT_GE(thief, 0);
    EXPECT_TRUE(ClosedByServer(thief)) << "a stranger was let in";
    close(thief);
    std::string final;
    int fd = ConnectPassive(pasv);
    ASSERT_GE(fd, 0);
    // A second connection while one is open is refused as well.
    int second = ConnectPassive(pasv);
    EXPECT_TRUE(ClosedByServer(second));
    close(second);
    ASSERT_TRUE(Accepted());
    EXPECT_EQ(Code(s.Command("RETR f.txt")), "125");
    EXPECT_EQ(ReadAll(fd), "hello data");
    close(fd);
    EXPECT_EQ(s.ReadReply(), "226 Transfer complete.\r\n");
}

TEST_F(DataPort, UnrestrictedAccountAcceptsAnyAddress) {
    AddUser("free", "pw", PERM_GET | PERM_LIST, ACCOUNT_ENABLE);
    Session other;
    ASSERT_TRUE(other.Open(Port(), "free"));
    EXPECT_EQ(Code(other.Command("PORT 10,0,0,1,4,0")), "200");
    int fd = ConnectPassive(other.Command("PASV"), "127.0.0.2");
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(Accepted());
    EXPECT_EQ(Code(other.Command("RETR f.txt")), "125");
    EXPECT_EQ(ReadAll(fd), "hello data");
    close(fd);
}

}  // namespace
