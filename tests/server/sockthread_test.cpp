// The socket thread over real loopback sockets: opening, closing and
// reopening the listening socket, the helpers' results and records, the
// thread's life cycle, and notifications nobody owns.
#include "server/sockthread.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

using bxtest::LogCapture;

// What the test handlers saw; they run on the socket thread.
struct Seen {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<SOCKET> accepted;
    std::vector<uint16_t> controlEvents;
    int refreshes = 0;
    int destroys = 0;
    std::thread::id refreshThread;

    void Reset() {
        std::lock_guard<std::mutex> lk(lock);
        accepted.clear();
        controlEvents.clear();
        refreshes = destroys = 0;
    }
    template <class Pred>
    bool WaitFor(Pred pred) {
        std::unique_lock<std::mutex> lk(lock);
        return changed.wait_for(lk, std::chrono::seconds(5), pred);
    }
};
Seen seen;

void TestAccept(SOCKET listening) {
    SOCKET s = NetAccept(listening, nullptr, nullptr);
    if (s == INVALID_SOCKET) return;
    NetAsyncSelect(s, SOCK_MSG_CONTROL, FD_READ | FD_CLOSE);
    std::lock_guard<std::mutex> lk(seen.lock);
    seen.accepted.push_back(s);
    seen.changed.notify_all();
}
void TestControl(intptr_t lParam, SOCKET s) {
    uint16_t event = WSAGETSELECTEVENT(lParam);
    if (event == FD_READ) {
        char b[64];
        NetRecv(s, b, sizeof b);
    }
    std::lock_guard<std::mutex> lk(seen.lock);
    seen.controlEvents.push_back(event);
    seen.changed.notify_all();
}
void TestRefresh() {
    std::lock_guard<std::mutex> lk(seen.lock);
    seen.refreshes++;
    seen.refreshThread = std::this_thread::get_id();
    seen.changed.notify_all();
}
void TestDestroy() {
    // Closes the connections, as the engine's destroy handler does.
    std::lock_guard<std::mutex> lk(seen.lock);
    for (SOCKET& s : seen.accepted) SockClose(&s);
    seen.destroys++;
}

void InstallTestHandlers() {
    sockHandlers.accept = TestAccept;
    sockHandlers.control = TestControl;
    sockHandlers.refresh = TestRefresh;
    sockHandlers.destroy = TestDestroy;
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
    LogCapture log;

    void SetUp() override {
        seen.Reset();
        InstallTestHandlers();
        ASSERT_EQ(SockThreadInit(), 0);
        ASSERT_TRUE(sockWindow);
    }
    void TearDown() override {
        SockThreadStop();
        SockClose(&listenSocket);
        SockRestoreHandlers();
    }
};

// ---------------------------------------------------------------- the listening socket

TEST_F(SockThreadTest, ListenClosesTheOldSocketAndReopensWithoutTouchingConnections) {
    // Learn a free port, then serve on it as a configured port is served.
    ASSERT_EQ(SockSend(SOCK_MSG_LISTEN, 0, 1), 1);
    uint16_t port = ListenPort();
    ASSERT_NE(port, 0);
    ASSERT_EQ(SockSend(SOCK_MSG_LISTEN, port, 1), 1);
    ASSERT_NE(listenSocket, INVALID_SOCKET);
    int client = Connect(port);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(seen.WaitFor([] { return seen.accepted.size() == 1; }));

    // Stop serving: nothing listens, the established connection lives on.
    ASSERT_EQ(SockSend(SOCK_MSG_LISTEN, port, 0), 1);
    EXPECT_EQ(listenSocket, INVALID_SOCKET);
    EXPECT_LT(Connect(port), 0);
    ASSERT_EQ(send(client, "NOOP\r\n", 6, 0), 6);
    EXPECT_TRUE(seen.WaitFor([] { return !seen.controlEvents.empty(); }));

    // Serve again on the same port, which SO_REUSEADDR makes possible at once.
    ASSERT_EQ(SockSend(SOCK_MSG_LISTEN, port, 1), 1);
    ASSERT_NE(listenSocket, INVALID_SOCKET);
    EXPECT_EQ(ListenPort(), port);
    EXPECT_EQ(ReuseAddrOf(listenSocket), 1);
    int second = Connect(port);
    ASSERT_GE(second, 0);
    EXPECT_TRUE(seen.WaitFor([] { return seen.accepted.size() == 2; }));

    close(client);
    close(second);
}

TEST_F(SockThreadTest, ReloadWithTheSamePortKeepsTheListeningSocket) {
    ASSERT_EQ(SockSend(SOCK_MSG_LISTEN, 0, 1), 1);
    uint16_t port = ListenPort();
    ASSERT_EQ(SockSend(SOCK_MSG_LISTEN, port, 1), 1);
    SOCKET listening = listenSocket;
    int waiting = Connect(port);  // queued before the reloads
    ASSERT_GE(waiting, 0);
    for (int i = 0; i < 100; i++) ASSERT_EQ(SockSend(SOCK_MSG_LISTEN, port, 1), 1);
    EXPECT_EQ(listenSocket, listening);
    EXPECT_TRUE(seen.WaitFor([] { return seen.accepted.size() == 1; }));
    close(waiting);
}

TEST_F(SockThreadTest, PortZeroSetsNoReuseAddrAndStopWhileNotListeningIsHarmless) {
    ASSERT_EQ(SockSend(SOCK_MSG_LISTEN, 0, 0), 1);
    EXPECT_EQ(listenSocket, INVALID_SOCKET);
    ASSERT_EQ(SockSend(SOCK_MSG_LISTEN, 0, 1), 1);
    ASSERT_NE(listenSocket, INVALID_SOCKET);
    EXPECT_EQ(ReuseAddrOf(listenSocket), 0);
    // The administrator learns the port the system chose from the log.
    EXPECT_EQ(log.Count("SockListen(listen) Placed listen on 0.0.0.0 port " + std::to_string(ListenPort()) + "\r\n"), 1)
        << log.Text();
}

TEST_F(SockThreadTest, PortInUseIsLoggedAndLeavesNoListeningSocket) {
    uint16_t port = 0;
    int holder = bxtest::Listen(&port, "0.0.0.0");  // someone else listens on the port already
    ASSERT_GE(holder, 0);

    ASSERT_EQ(SockSend(SOCK_MSG_LISTEN, port, 1), 1);
    EXPECT_EQ(listenSocket, INVALID_SOCKET);
    EXPECT_EQ(log.Count("SockListen(listen) Could not bind socket to 0.0.0.0 port " + std::to_string(port) +
                        ": WSAEADDRINUSE"),
              1)
        << log.Text();
    close(holder);
    // The failure is not sticky: the next listen works.
    ASSERT_EQ(SockSend(SOCK_MSG_LISTEN, port, 1), 1);
    EXPECT_NE(listenSocket, INVALID_SOCKET);
}

TEST_F(SockThreadTest, PassiveListenerOnAGivenAddressReportsItsOwnMessage) {
    static std::atomic<int> passiveCalls{0};
    passiveCalls = 0;
    sockHandlers.passive = [](SOCKET s) {
        SOCKET a = NetAccept(s, nullptr, nullptr);
        if (a != INVALID_SOCKET) NetCloseSocket(a);
        passiveCalls++;
    };
    SOCKET passive = SockListen(SOCK_MSG_PASSIVE, NetHtonl(INADDR_LOOPBACK), 0, "passive");
    ASSERT_NE(passive, INVALID_SOCKET);
    EXPECT_EQ(ReuseAddrOf(passive), 0);
    uint16_t portN;
    ASSERT_EQ(NetGetSockName(passive, nullptr, &portN), 0);
    int client = Connect(NetNtohs(portN));
    ASSERT_GE(client, 0);
    EXPECT_TRUE(bxtest::WaitFor([] { return passiveCalls.load() == 1; }));
    EXPECT_EQ(seen.accepted.size(), 0u) << "a passive socket is not the FTP listener";
    close(client);
    SockClose(&passive);
}

// ---------------------------------------------------------------- SockClose

TEST_F(SockThreadTest, CloseMarksInvalidAndReportsOnlyRealCloses) {
    EXPECT_EQ(SockClose(nullptr), 0);
    SOCKET s = INVALID_SOCKET;
    EXPECT_EQ(SockClose(&s), 0);
    s = NetSocketTcp();
    ASSERT_NE(s, INVALID_SOCKET);
    SOCKET value = s;
    EXPECT_EQ(SockClose(&s), 1);
    EXPECT_EQ(s, INVALID_SOCKET);
    EXPECT_EQ(fcntl(value, F_GETFD), -1) << "still open";
    // The system no longer knows this one: still reported as a close, still invalid.
    s = value;
    EXPECT_EQ(SockClose(&s), 1);
    EXPECT_EQ(s, INVALID_SOCKET);
}

// ---------------------------------------------------------------- the thread's life

TEST_F(SockThreadTest, ThreadStartsAndStopsManyTimes) {
    constexpr int CYCLES = 20;
    for (int i = 0; i < CYCLES; i++) {
        ASSERT_EQ(SockSend(SOCK_MSG_LISTEN, 0, 1), 1);
        ASSERT_NE(listenSocket, INVALID_SOCKET);
        SockThreadStop();
        EXPECT_FALSE(sockWindow);
        EXPECT_FALSE(sockThread);
        EXPECT_EQ(SockSend(SOCK_MSG_LISTEN, 0, 1), 0) << "no thread takes the message";
        ASSERT_EQ(SockThreadInit(), 0);
    }
    std::lock_guard<std::mutex> lk(seen.lock);
    EXPECT_EQ(seen.destroys, CYCLES);
}

TEST_F(SockThreadTest, ShutdownClosesConnectionsThroughTheDestroyHandler) {
    ASSERT_EQ(SockSend(SOCK_MSG_LISTEN, 0, 1), 1);
    int client = Connect(ListenPort());
    ASSERT_GE(client, 0);
    ASSERT_TRUE(seen.WaitFor([] { return seen.accepted.size() == 1; }));
    SockThreadStop();
    char b;
    EXPECT_EQ(recv(client, &b, 1, 0), 0) << "the server side was closed";
    close(client);
}

TEST_F(SockThreadTest, RefreshIsPostedAndRunsOnTheSocketThread) {
    EXPECT_EQ(SockPost(SOCK_MSG_REFRESH, 0, 0), 1);
    ASSERT_TRUE(seen.WaitFor([] { return seen.refreshes == 1; }));
    std::lock_guard<std::mutex> lk(seen.lock);
    EXPECT_NE(seen.refreshThread, std::this_thread::get_id());
}

// ---------------------------------------------------------------- notifications nobody owns

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

// Every Windows Sockets code has a name of its own or the generic one.
TEST(SockNames, KnownCodesNameThemselvesAndNoTwoShareAName) {
    std::map<std::string, int> seen;
    for (int code = -1; code < 11010; code++) {
        std::string name = WinsockErrorName(code);
        if (name == "Winsock error") continue;
        EXPECT_TRUE(code == 0 ? name == "no error" : name.rfind("WSA", 0) == 0) << code << " " << name;
        EXPECT_TRUE(seen.emplace(name, code).second) << name << " names " << seen[name] << " and " << code;
    }
    EXPECT_GT(seen.size(), 40u);
}

}  // namespace
