// The socket thread with the real handlers: opening, reloading, closing and
// reopening the listening socket, stopping the thread, and notifications
// nobody owns. (Every fixture test starts and stops the thread again; passive
// listeners are exercised by every PASV transfer in the data tests; a port in
// use, and listening again after it, by the black-box test_operations.py.)
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include "config/config.h"
#include "ftp_fixture.h"
#include "server/sockthread.h"

namespace {

int ReuseAddrOf(SOCKET s) {
    int value = -1;
    socklen_t len = sizeof value;
    getsockopt(s, SOL_SOCKET, SO_REUSEADDR, &value, &len);
    return value;
}

// The socket behind a descriptor (a closed descriptor's number is reused at once).
ino_t InodeOf(SOCKET s) {
    struct stat st = {};
    fstat(s, &st);
    return st.st_ino;
}

using SockThreadTest = FtpFixture;

TEST_F(SockThreadTest, ListenReloadsKeepTheSocketAndStoppingLeavesConnections) {
    // The fixture listens on port 0: the system chooses, without SO_REUSEADDR.
    EXPECT_EQ(ReuseAddrOf(listenSocket), 0);
    // Serve on it as a configured port is served.
    ASSERT_EQ(SockSend(SOCK_MSG_LISTEN, Port(), 1), 1);
    EXPECT_EQ(ReuseAddrOf(listenSocket), 1);
    FtpClient client;
    ASSERT_TRUE(client.ConnectGreeted(Port()));

    // A reload with the same port keeps the socket and a client queued on it.
    ino_t listening = InodeOf(listenSocket);
    FtpClient queued;
    ASSERT_TRUE(queued.Connect(Port()));
    for (int i = 0; i < 100; i++)
        ASSERT_EQ(SockSend(SOCK_MSG_LISTEN, Port(), 1), 1);
    EXPECT_EQ(InodeOf(listenSocket), listening);
    EXPECT_EQ(queued.ReadReply().substr(0, 4), "220 ");

    // Stop serving: nothing listens, the established connections live on.
    ASSERT_EQ(SockSend(SOCK_MSG_LISTEN, Port(), 0), 1);
    EXPECT_EQ(listenSocket, INVALID_SOCKET);
    FtpClient refused;
    EXPECT_FALSE(refused.Connect(Port()));
    EXPECT_EQ(client.Command("NOOP"), "200 Command okay.\r\n");

    // Serve again on the same port, which SO_REUSEADDR makes possible at once.
    ASSERT_EQ(SockSend(SOCK_MSG_LISTEN, Port(), 1), 1);
    FtpClient again;
    ASSERT_TRUE(again.ConnectGreeted(Port()));
}

// ListenAddress: empty serves both families (one dual-stack socket), one
// address only that address; a reload keeps the socket while the address
// stays and rebinds when it changes.
TEST_F(SockThreadTest, ListenAddressChoosesWhoCanConnect) {
    if (!bxtest::HasIpv6Loopback()) GTEST_SKIP() << "no ::1 on this machine";
    const struct {
        const char* address;
        bool ipv4, ipv6; // 127.0.0.1 and ::1 reach the server
    } rows[] = {{"", true, true},    {"::1", false, true},     {"127.0.0.1", true, false},
                {"::", false, true}, {"0.0.0.0", true, false}, {"::ffff:127.0.0.1", true, false},
                {"", true, true}};
    // The implicit TLS port listens where the plain port does.
    uint16_t tlsPort = 0;
    close(bxtest::Listen(&tlsPort, "0.0.0.0", 1));
    SettingStore(systemSettings.tls, 1u);
    SettingStore(systemSettings.implicitTlsPort, (uint32_t)tlsPort);
    for (const auto& row : rows) {
        NetAddress address = {};
        ASSERT_TRUE(!*row.address || ParseHostAddress(row.address, true, &address)) << row.address;
        SetListenAddressSetting(address);
        ASSERT_EQ(SockSend(SOCK_MSG_LISTEN, Port(), 1), 1);
        ino_t listening = InodeOf(listenSocket);
        FtpClient v4, v6, tls4, tls6;
        EXPECT_EQ(v4.ConnectGreeted(Port()), row.ipv4) << row.address;
        EXPECT_EQ(v6.ConnectGreeted(Port(), IPV6_LOOPBACK), row.ipv6) << row.address;
        EXPECT_EQ(tls4.Connect(tlsPort), row.ipv4) << row.address << ", implicit TLS";
        EXPECT_EQ(tls6.Connect(tlsPort, IPV6_LOOPBACK), row.ipv6)
            << row.address << ", implicit TLS";
        ASSERT_EQ(SockSend(SOCK_MSG_LISTEN, Port(), 1), 1);
        EXPECT_EQ(InodeOf(listenSocket), listening) << row.address << ": rebound without a change";
    }
}

TEST_F(SockThreadTest, StopClosesEveryConnection) {
    FtpClient client;
    ASSERT_TRUE(client.ConnectGreeted(Port()));
    SockThreadStop();
    EXPECT_FALSE(sockWindow);
    EXPECT_FALSE(sockThread);
    EXPECT_TRUE(client.WaitForEof()) << "the connection outlived the socket thread";
}

TEST_F(SockThreadTest, NotificationForAnUnknownSocketIsIgnored) {
    SOCKET nobody = NetSocketTcp();
    ASSERT_EQ(SockSend(SOCK_MSG_CONTROL, nobody, WSAMAKESELECTREPLY(FD_READ, 0)), 1);
    ASSERT_EQ(SockSend(SOCK_MSG_DATA, nobody, WSAMAKESELECTREPLY(FD_CLOSE, WSAECONNRESET)), 1);
    EXPECT_NE(fcntl(nobody, F_GETFD), -1) << "a socket nobody owns was closed";
    NetCloseSocket(nobody);
    FtpClient client; // the thread still serves
    ASSERT_TRUE(client.ConnectGreeted(Port()));
}

} // namespace
