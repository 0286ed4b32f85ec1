// The socket calls: error codes as Windows Sockets names them, no SIGPIPE,
// close-on-exec descriptors, and closes that touch only sockets.
#include <fcntl.h>

#include <cerrno>

#include "loop_harness.h"
#include "platform/win32error.h"

namespace {

TEST(Win32Errors, EveryCallerSharesOneMappingAndKeepsItsOwnFallback) {
    const struct {
        int err;
        uint32_t otherwise, code;
    } rows[] = {{ENOENT, 31, 2}, {ENOTDIR, 31, 3}, {ENFILE, 31, 4}, {EROFS, 1016, 5},
                {EDQUOT, 31, 112}, {EINTR, 31, 31}, {EIO, 1016, 1016}};
    for (const auto& row : rows) EXPECT_EQ(Win32FromErrno(row.err, row.otherwise), row.code) << "errno " << row.err;
}

TEST(NetErrors, RealFailuresCarryTheMappedCode) {
    uint16_t port = 0;
    int holder = bxtest::Listen(&port);
    ASSERT_GE(holder, 0);
    SOCKET s = NetSocketTcp();
    EXPECT_EQ(NetBind(s, NetHtonl(0x7F000001), NetHtons(port)), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);
    NetCloseSocket(s);
    close(holder);

    // The port is free now: a blocking connect is refused.
    s = NetSocketTcp();
    int rc = NetConnect(s, NetHtonl(0x7F000001), NetHtons(port));
    if (rc == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
        // Under way; the outcome is the subject of the loop's tests.
    } else {
        EXPECT_EQ(rc, SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
    }
    NetCloseSocket(s);
}

TEST(NetSend, ToAResetPeerFailsWithoutSignalAndAfterOwnShutdownReportsShutdown) {
    uint16_t port = 0;
    int listener = bxtest::Listen(&port);
    {
        TestPair pair;
        ASSERT_TRUE(pair.Open(listener, port));
        ResetClose(pair.client);
        pair.client = -1;
        // Bounded: the first sends may still be accepted by the kernel.
        int rc = 0;
        for (int i = 0; i < 100 && rc != SOCKET_ERROR; i++) rc = NetSend(pair.server, "data", 4);
        ASSERT_EQ(rc, SOCKET_ERROR);  // the process is still alive: no SIGPIPE
        EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
    }
    {
        TestPair pair;
        ASSERT_TRUE(pair.Open(listener, port));
        ASSERT_EQ(NetShutdownSend(pair.server), 0);
        EXPECT_EQ(NetSend(pair.server, "late", 4), SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), WSAESHUTDOWN);
        // The peer sees the orderly end.
        char b;
        EXPECT_EQ(recv(pair.client, &b, 1, 0), 0);
    }
    close(listener);
}

TEST(NetSockets, DescriptorsAreCloseOnExecAndAcceptedOnesNonBlocking) {
    uint16_t port = 0;
    int listener = bxtest::Listen(&port);
    SOCKET s = NetSocketTcp();
    EXPECT_TRUE(fcntl(s, F_GETFD) & FD_CLOEXEC);
    NetCloseSocket(s);
    TestPair pair;
    ASSERT_TRUE(pair.Open(listener, port));
    EXPECT_TRUE(fcntl(pair.server, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(fcntl(pair.server, F_GETFL) & O_NONBLOCK);
    char b;
    EXPECT_EQ(NetRecv(pair.server, &b, 1), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    close(listener);
}

TEST(NetSockets, CloseRefusesWhatIsNotASocket) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    // A stale socket number now held by a pipe must not be closed.
    EXPECT_EQ(NetCloseSocket(fds[0]), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    EXPECT_NE(fcntl(fds[0], F_GETFD), -1) << "the pipe was closed";
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(NetCloseSocket(fds[0]), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    EXPECT_EQ(NetCloseSocket(INVALID_SOCKET), SOCKET_ERROR);
}

TEST(NetAddresses, TextAndParseRoundTripInNetworkOrder) {
    uint32_t addrN = 0;
    ASSERT_EQ(NetAddrParse("192.168.1.20", &addrN), 1);
    EXPECT_EQ(NetNtohl(addrN), 0xC0A80114u);
    char text[16];
    EXPECT_STREQ(NetAddrText(addrN, text), "192.168.1.20");
    EXPECT_EQ(NetAddrParse("192.168.1", &addrN), 0);
    EXPECT_EQ(NetAddrParse("256.1.1.1", &addrN), 0);
    EXPECT_EQ(NetAddrParse(nullptr, &addrN), 0);
}

}  // namespace
