// The socket thread over real loopback sockets: opening, closing and
// reopening the listening socket, SockClose, the thread's life cycle, and
// notifications nobody owns. (Passive listeners are exercised by every PASV
// transfer in the data tests; a port in use, and listening again after it,
// by the black-box test_operations.py with the real program.)
#include "server/sockthread.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "test_support.h"

namespace {

using bxtest::WaitFor;

// What the test handlers saw; they run on the socket thread.
std::mutex acceptedLock;
std::vector<SOCKET> accepted;
std::atomic<int> acceptedCount, controlEvents, destroys;

void TestAccept(SOCKET listening) {
    SOCKET s = NetAccept(listening, nullptr, nullptr);
    if (s == INVALID_SOCKET) return;
    NetAsyncSelect(s, SOCK_MSG_CONTROL, FD_READ | FD_CLOSE);
    std::lock_guard<std::mutex> lk(acceptedLock);
    accepted.push_back(s);
    acceptedCount++;
}
void TestControl(intptr_t lParam, SOCKET s) {
    char b[64];
    if (WSAGETSELECTEVENT(lParam) == FD_READ) NetRecv(s, b, sizeof b);
    controlEvents++;
}
void TestDestroy() {
    // Closes the connections, as the engine's destroy handler does.
    std::lock_guard<std::mutex> lk(acceptedLock);
    for (SOCKET& s : accepted) SockClose(&s);
    destroys++;
}

int Connect(uint16_t port) { return bxtest::ConnectLoopback(port); }

uint16_t ListenPort() {
    uint16_t portN = 0;
    if (NetGetSockName(listenSocket, nullptr, &portN) == SOCKET_ERROR) return 0;
    return NetNtohs(portN);
}

int ReuseAddrOf(SOCKET s) {
    int value = -1;
    socklen_t len = sizeof value;
    getsockopt(s, SOL_SOCKET, SO_REUSEADDR, &value, &len);
    return value;
}

struct SockThreadTest : ::testing::Test {
    bxtest::LogCapture log;

    void SetUp() override {
        accepted.clear();
        acceptedCount = controlEvents = destroys = 0;
        sockHandlers.accept = TestAccept;
        sockHandlers.control = TestControl;
        sockHandlers.destroy = TestDestroy;
        ASSERT_EQ(SockThreadInit(), 0);
        ASSERT_TRUE(sockWindow);
    }
    void TearDown() override {
        SockThreadStop();
        SockClose(&listenSocket);
        SockRestoreHandlers();
    }
};

TEST_F(SockThreadTest, ListenOpensReloadsClosesAndReopensWithoutTouchingConnections) {
    // Stopping while not listening is harmless.
    ASSERT_EQ(SockSend(SOCK_MSG_LISTEN, 0, 0), 1);
    EXPECT_EQ(listenSocket, INVALID_SOCKET);
    // Port 0: the system chooses, and SO_REUSEADDR is not set.
    ASSERT_EQ(SockSend(SOCK_MSG_LISTEN, 0, 1), 1);
    uint16_t port = ListenPort();
    ASSERT_NE(port, 0);
    EXPECT_EQ(ReuseAddrOf(listenSocket), 0);
    // Serve on it as a configured port is served.
    ASSERT_EQ(SockSend(SOCK_MSG_LISTEN, port, 1), 1);
    EXPECT_EQ(ReuseAddrOf(listenSocket), 1);
    int client = Connect(port);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(WaitFor([] { return acceptedCount == 1; }));

    // A reload with the same port keeps the socket and a client queued on it.
    SOCKET listening = listenSocket;
    int queued = Connect(port);
    ASSERT_GE(queued, 0);
    for (int i = 0; i < 100; i++) ASSERT_EQ(SockSend(SOCK_MSG_LISTEN, port, 1), 1);
    EXPECT_EQ(listenSocket, listening);
    EXPECT_TRUE(WaitFor([] { return acceptedCount == 2; }));

    // Stop serving: nothing listens, the established connection lives on.
    ASSERT_EQ(SockSend(SOCK_MSG_LISTEN, port, 0), 1);
    EXPECT_EQ(listenSocket, INVALID_SOCKET);
    EXPECT_LT(Connect(port), 0);
    ASSERT_EQ(send(client, "NOOP\r\n", 6, 0), 6);
    EXPECT_TRUE(WaitFor([] { return controlEvents > 0; }));

    // Serve again on the same port, which SO_REUSEADDR makes possible at once.
    ASSERT_EQ(SockSend(SOCK_MSG_LISTEN, port, 1), 1);
    EXPECT_EQ(ListenPort(), port);
    int again = Connect(port);
    ASSERT_GE(again, 0);
    EXPECT_TRUE(WaitFor([] { return acceptedCount == 3; }));
    for (int fd : {client, queued, again}) close(fd);
}

TEST_F(SockThreadTest, CloseMarksInvalidAndReportsOnlyRealCloses) {
    EXPECT_EQ(SockClose(nullptr), 0);
    SOCKET s = INVALID_SOCKET;
    EXPECT_EQ(SockClose(&s), 0);
    s = NetSocketTcp();
    SOCKET value = s;
    EXPECT_EQ(SockClose(&s), 1);
    EXPECT_EQ(s, INVALID_SOCKET);
    EXPECT_EQ(fcntl(value, F_GETFD), -1) << "still open";
    // The system no longer knows this one: still reported as a close, still invalid.
    s = value;
    EXPECT_EQ(SockClose(&s), 1);
    EXPECT_EQ(s, INVALID_SOCKET);
}

// (Refresh requests are tested end to end by the black-box test_timer.py,
// and every FtpFixture test runs its checks on this thread through one.)
TEST_F(SockThreadTest, StopClosesConnectionsAndTheThreadStartsAgainManyTimesOver) {
    constexpr int CYCLES = 20;
    for (int i = 0; i < CYCLES; i++) {
        ASSERT_EQ(SockSend(SOCK_MSG_LISTEN, 0, 1), 1);
        int client = Connect(ListenPort());
        ASSERT_GE(client, 0);
        ASSERT_TRUE(WaitFor([&] { return acceptedCount == i + 1; }));
        SockThreadStop();
        EXPECT_FALSE(sockWindow);
        EXPECT_FALSE(sockThread);
        char b;
        EXPECT_EQ(recv(client, &b, 1, 0), 0) << "the destroy handler did not close the connection";
        close(client);
        EXPECT_EQ(SockSend(SOCK_MSG_LISTEN, 0, 1), 0) << "no thread takes the message";
        ASSERT_EQ(SockThreadInit(), 0);
    }
    EXPECT_EQ(destroys, CYCLES);
}

TEST_F(SockThreadTest, NotificationForAnUnknownSocketIsIgnored) {
    SockRestoreHandlers();
    SOCKET nobody = NetSocketTcp();
    ASSERT_EQ(SockSend(SOCK_MSG_CONTROL, nobody, WSAMAKESELECTREPLY(FD_READ, 0)), 1);
    ASSERT_EQ(SockSend(SOCK_MSG_DATA, nobody, WSAMAKESELECTREPLY(FD_CLOSE, WSAECONNRESET)), 1);
    EXPECT_NE(fcntl(nobody, F_GETFD), -1) << "a socket nobody owns was closed";
    // The thread still serves.
    ASSERT_EQ(SockSend(SOCK_MSG_LISTEN, 0, 1), 1);
    EXPECT_NE(listenSocket, INVALID_SOCKET);
    NetCloseSocket(nobody);
}

}  // namespace
