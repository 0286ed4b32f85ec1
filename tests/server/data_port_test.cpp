// Where data connections go and who may make them: PORT validation, PASV,
// reuse of an open passive socket, refused active connections, and
// strangers on the passive port.
#include "config/config.h"
#include "data_client.h"

using namespace dataclient;

namespace {

class DataPort : public SessionTest {
  protected:
    void SetUp() override {
        SessionTest::SetUp();
        WriteRootFile("f.txt", "hello data");
    }
    // Waits until the server has taken the passive data connection fd, then
    // downloads f.txt over it with session t: 125, the bytes, 226. A second
    // transfer command sent in the same segment is refused with 425.
    void RetrOverOpenConnection(int fd, Session& t, const std::string& second = "") {
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(WaitFor([&] { return LiveConnections(true) == 1; }));
        ASSERT_TRUE(t.Send("RETR f.txt\r\n" + second));
        EXPECT_EQ(Code(t.ReadReply()), "125"); // already connected
        if (!second.empty()) {
            EXPECT_EQ(t.ReadReply(), "425 Can't open data connection.\r\n");
        }
        EXPECT_EQ(ReadAll(fd), "hello data");
        close(fd);
        EXPECT_EQ(t.ReadReply(), "226 Transfer complete.\r\n");
    }
};

TEST_F(DataPort, PortArgumentsAreCheckedInOrder) {
    const std::string badPort = "501 Invalid port parameter.", badIp = "501 Invalid IP address.";
    ExpectReplies(s, {{"PORT 127,0,0,1,256,1", badPort},
                      {"PORT 127,0,0,1,4", badPort},
                      {"PORT 127,0,0,1,-1,4", badPort},
                      {"PORT 127,0,0,1,65537,4", badPort},
                      {"PORT", badPort},
                      {"PORT 0,0,0,0,0,0", badIp}, // address before port
                      {"PORT 255,255,255,255,4,1", badIp},
                      {"PORT 127,0,0,1,0,0", badPort},
                      {"PORT 127,0,0,1,0,21", "501 Port number restricted."},
                      {"PORT 127,0,0,1,3,255", "501 Port number restricted."},
                      {"PORT 10,0,0,1,4,0", "501 IP address restricted."},
                      {"PORT  127, 0, 0, 1, 4, 0 trailing", "200 Command okay."}});
}

TEST_F(DataPort, PassiveSocketIsReplacedByPasvAndStaysUsableAfterATransfer) {
    std::string first = s.Command("PASV");
    ASSERT_EQ(first.rfind("227 Entering Passive Mode (127,0,0,1,", 0), 0u) << first;
    std::string pasv = s.Command("PASV");
    EXPECT_NE(first, pasv);
    EXPECT_EQ(ConnectPassive(first), -1) << "the first passive socket is closed";
    for (int round = 0; round < 3; round++)
        RetrOverOpenConnection(ConnectPassive(pasv), s);
    // Without connecting first: 150, then the data once the client connects.
    EXPECT_EQ(Code(s.Command("RETR f.txt")), "150");
    int fd = ConnectPassive(pasv);
    EXPECT_EQ(ReadAll(fd), "hello data");
    close(fd);
    EXPECT_EQ(s.ReadReply(), "226 Transfer complete.\r\n");
}

TEST_F(DataPort, RefusedActiveConnectionGives425AndQueuedCommandsFollow) {
    std::string portCommand = Listener().PortCommand(); // closed again at once
    ASSERT_EQ(Code(s.Command(portCommand)), "200");
    ASSERT_TRUE(s.SendLine("RETR f.txt"));
    std::string reply = s.ReadReply();
    ASSERT_TRUE(s.SendLine("NOOP")); // sent while the connection is tried
    if (Code(reply) == "150") reply = s.ReadReply();
    EXPECT_EQ(reply, "425 Can't open data connection.\r\n");
    EXPECT_EQ(Code(s.ReadReply()), "200");
}

TEST_F(DataPort, SecondTransferCommandInOneSegmentIsRefused) {
    RetrOverOpenConnection(ConnectPassive(s.Command("PASV")), s, "STOR f.txt\r\n");
    EXPECT_EQ(ReadFile(Root("f.txt")), "hello data");
}

TEST_F(DataPort, DefaultDataPortIsTheClientsControlPort) {
    // The client listens on the port its control connection comes from. The
    // control socket binds first, so its port is one nothing else holds (a
    // port connect() picks may be shared with sockets the listener collides
    // with); when the kernel still holds the port for the listener or for the
    // server's connection to it (TIME_WAIT), another port is tried.
    std::string tried;
    for (int attempt = 0; attempt < 5; attempt++) {
        Session t;
        ASSERT_TRUE(t.ConnectGreeted(Port(), "127.0.0.1") && t.Login("u", "pw"));
        sockaddr_in local = {};
        socklen_t len = sizeof local;
        ASSERT_EQ(getsockname(t.Fd(), (sockaddr*)&local, &len), 0);
        Listener listener(ntohs(local.sin_port));
        if (listener.fd < 0) {
            tried += " listen:" + std::to_string(errno);
            continue;
        }
        // Either the server connects, or it says it could not.
        std::string reply = t.Command("RETR f.txt");
        pollfd ready[2] = {{listener.fd, POLLIN, 0}, {t.Fd(), POLLIN, 0}};
        if (Code(reply) == "150" && poll(ready, 2, 20000) >= 0 && !(ready[0].revents & POLLIN))
            reply = t.ReadReply();
        if (Code(reply) == "425") {
            tried += " 425";
            continue;
        }
        ASSERT_EQ(Code(reply), "150");
        int fd = listener.Accept();
        EXPECT_EQ(ReadAll(fd), "hello data");
        close(fd);
        EXPECT_EQ(Code(t.ReadReply()), "226");
        return;
    }
    ADD_FAILURE() << "no data connection to the control port after five ports:" << tried;
}

// A stranger reaching the passive port first, and a second connection while
// one is open, are closed without data; the client's own still works. With
// the extensions on, the same holds for the port EPSV announces.
TEST_F(DataPort, StrangerOnThePassivePortIsTurnedAway) {
    for (const char* command : {"PASV", "EPSV"}) {
        SetExtensionsSetting(command[0] == 'E');
        Session t;
        ASSERT_TRUE(t.Open(Port()));
        std::string reply = t.Command(command);
        int thief = ConnectData(reply, "127.0.0.2");
        ASSERT_GE(thief, 0) << command;
        EXPECT_TRUE(ClosedByServer(thief)) << command << ": a stranger was let in";
        close(thief);
        int fd = ConnectData(reply);
        int second = ConnectData(reply);
        EXPECT_TRUE(ClosedByServer(second)) << command;
        close(second);
        RetrOverOpenConnection(fd, t);
    }
}

TEST_F(DataPort, UnrestrictedAccountAcceptsAnyAddress) {
    AddUser("free", "pw", PERM_GET | PERM_LIST, ACCOUNT_ENABLE);
    Session other;
    ASSERT_TRUE(other.Open(Port(), "free"));
    EXPECT_EQ(Code(other.Command("PORT 10,0,0,1,4,0")), "200");
    RetrOverOpenConnection(ConnectPassive(other.Command("PASV"), "127.0.0.2"), other);
}

} // namespace
