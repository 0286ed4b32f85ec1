// The socket calls and the event loop's notification rules over real loopback
// sockets, sockets closed and reused by handlers, and the messages of other
// threads.
#include <fcntl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/eventloop.h"
#include "platform/net.h"
#include "test_support.h"

namespace {

constexpr unsigned TEST_MSG_SOCK = WM_APP + 0x100; // notifications of the test's sockets
constexpr unsigned TEST_MSG_RUN = WM_APP + 0x101;  // wParam: std::function<void()>* to run
constexpr long CONTROL_MASK = FD_READ | FD_WRITE | FD_CLOSE;
const std::map<uint16_t, std::string> EVENT_NAMES = {{FD_READ, "read"},
                                                     {FD_WRITE, "write"},
                                                     {FD_ACCEPT, "accept"},
                                                     {FD_CONNECT, "connect"},
                                                     {FD_CLOSE, "close"}};

// A connected pair: client (blocking, test side) and server (accepted with
// NetAccept, so the loop knows it as connected).
struct TestPair {
    int client = -1;
    SOCKET server = INVALID_SOCKET;
    bool Open(int listener, uint16_t port) {
        client = bxtest::ConnectLoopback(port);
        server = client < 0 ? INVALID_SOCKET : NetAccept(listener, nullptr);
        return server != INVALID_SOCKET;
    }
    void Reset() {
        bxtest::ResetClose(client);
        client = -1;
    }
    ~TestPair() {
        if (client >= 0) close(client);
        if (server != INVALID_SOCKET) NetCloseSocket(server);
    }
};

// A loopback listener and two pairs connected through it.
struct NetTest : ::testing::Test {
    uint16_t port = 0;
    int listener = bxtest::Listen(&port);
    TestPair pair, other;
    void SetUp() override { ASSERT_TRUE(pair.Open(listener, port) && other.Open(listener, port)); }
    void TearDown() override { close(listener); }
};

// The event loop on a thread of its own, recording every socket notification.
struct EventLoopTest : NetTest {
    static inline EventLoopTest* current = nullptr;
    std::thread thread;
    std::atomic<int> state{0}; // 1 running, -1 not created, 2 destroyed
    std::atomic<int> closeSeen{0};
    std::mutex lock;
    std::map<SOCKET, std::string> events;
    // Called on the loop thread for every socket notification, after it was recorded.
    std::function<void(SOCKET fd, uint16_t event, uint16_t error)> onNote;

    static void Proc(unsigned message, uintptr_t wParam, intptr_t lParam) {
        EventLoopTest* t = current;
        if (message == TEST_MSG_RUN) (*reinterpret_cast<std::function<void()>*>(wParam))();
        if (message == WM_CLOSE) t->closeSeen++;
        if (message == WM_DESTROY) {
            t->state = 2;
            EvLoopQuit(0);
        }
        if (message != TEST_MSG_SOCK) return;
        SOCKET fd = static_cast<SOCKET>(wParam);
        uint16_t event = WSAGETSELECTEVENT(lParam), error = WSAGETSELECTERROR(lParam);
        {
            std::lock_guard<std::mutex> lk(t->lock);
            t->events[fd] +=
                EVENT_NAMES.at(event) + (error ? "/" + std::to_string(error) : "") + " ";
        }
        if (t->onNote) t->onNote(fd, event, error);
    }
    void SetUp() override {
        NetTest::SetUp();
        current = this;
        thread = std::thread([this] {
            state = EvLoopCreate(Proc) ? 1 : -1;
            if (state < 0) return;
            EvLoopRun();
            EvLoopDestroy();
        });
        ASSERT_TRUE(bxtest::WaitFor([this] { return state != 0; }));
        ASSERT_EQ(state, 1) << "event loop not created";
    }
    void Stop() {
        if (!thread.joinable()) return;
        EvLoopSend(WM_CLOSE, 0, 0);
        thread.join();
    }
    void TearDown() override {
        Stop();
        NetTest::TearDown();
    }

    // Runs fn on the loop thread and returns when it is done.
    void Run(std::function<void()> fn) {
        ASSERT_EQ(EvLoopSend(TEST_MSG_RUN, reinterpret_cast<uintptr_t>(&fn), 0), 1);
    }
    // Returns once every notification that was due when called has been
    // delivered: events ready before the first round trip come with the
    // second epoll batch at the latest, which the third one follows.
    void Settle() {
        for (int i = 0; i < 3; i++)
            Run([] {});
    }
    // The notifications of fd so far, in order: "read close/10054 ...".
    std::string Events(SOCKET fd) {
        std::lock_guard<std::mutex> lk(lock);
        return events[fd];
    }
    int Count(SOCKET fd, const char* event) { return bxtest::CountOf(Events(fd), event); }
    bool WaitCount(SOCKET fd, const char* event, int n) {
        return bxtest::WaitFor([&] { return Count(fd, event) >= n; });
    }
    void Select(SOCKET s, long mask) {
        Run([&] { ASSERT_EQ(NetAsyncSelect(s, TEST_MSG_SOCK, mask), 0); });
    }
    // Waits for the n-th event of fd, lets everything due arrive, and expects
    // no more than n.
    void ExpectExactly(SOCKET fd, const char* event, int n) {
        EXPECT_TRUE(WaitCount(fd, event, n))
            << "event " << event << " came fewer than " << n << " times";
        Settle();
        EXPECT_EQ(Count(fd, event), n) << "event " << event;
    }
};

// ---------------------------------------------------------------- the socket calls

TEST_F(NetTest, SocketsAreCloseOnExecNonBlockingAndSendsNeverRaiseSigpipe) {
    EXPECT_TRUE(fcntl(pair.server, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(fcntl(pair.server, F_GETFL) & O_NONBLOCK);
    char b;
    EXPECT_EQ(NetRecv(pair.server, &b, 1), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);

    ASSERT_EQ(NetShutdownSend(other.server), 0);
    EXPECT_EQ(NetSend(other.server, "late", 4), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAESHUTDOWN);
    EXPECT_EQ(recv(other.client, &b, 1, 0), 0) << "the peer sees the orderly end";

    pair.Reset();
    // Bounded: the first sends may still be accepted by the kernel.
    int rc = 0;
    for (int i = 0; i < 100 && rc != SOCKET_ERROR; i++)
        rc = NetSend(pair.server, "data", 4);
    ASSERT_EQ(rc, SOCKET_ERROR); // the process is still alive: no SIGPIPE
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
}

TEST(NetSockets, CloseRefusesWhatIsNotASocket) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[1]);
    // A stale socket number now held by a pipe, or by nothing, must not be closed.
    for (int fd : {fds[0], fds[1], static_cast<int>(INVALID_SOCKET)}) {
        EXPECT_EQ(NetCloseSocket(fd), SOCKET_ERROR) << fd;
        EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK) << fd;
    }
    EXPECT_NE(fcntl(fds[0], F_GETFD), -1) << "the pipe was closed";
    close(fds[0]);
}

TEST(NetAddresses, TextParseAndCompareOfBothFamilies) {
    struct Row {
        const char* text;
        uint8_t family;       // what parsing may take
        const char* parsed;   // its text form; nullptr = refused
        const char* endpoint; // with port 2121
    } rows[] = {
        {"192.168.1.20", NET_FAMILY_NONE, "192.168.1.20", "192.168.1.20:2121"},
        {"192.168.1.20", NET_FAMILY_IPV4, "192.168.1.20", "192.168.1.20:2121"},
        {"192.168.1.20", NET_FAMILY_IPV6, nullptr, nullptr},
        {"::1", NET_FAMILY_NONE, "::1", "[::1]:2121"},
        {"2001:DB8:0:0::7", NET_FAMILY_IPV6, "2001:db8::7", "[2001:db8::7]:2121"},
        {"::1", NET_FAMILY_IPV4, nullptr, nullptr},
        {"::ffff:10.1.2.3", NET_FAMILY_NONE, "10.1.2.3", "10.1.2.3:2121"},
        {"192.168.1", NET_FAMILY_NONE, nullptr, nullptr},
        {"256.1.1.1", NET_FAMILY_NONE, nullptr, nullptr},
        {"[::1]", NET_FAMILY_NONE, nullptr, nullptr},
        {nullptr, NET_FAMILY_NONE, nullptr, nullptr},
    };
    for (const Row& row : rows) {
        NetAddress address = NetAddressIpv4(9, 9, 9, 9);
        int ok = NetAddressParse(row.text, row.family, &address);
        const char* name = row.text ? row.text : "null";
        ASSERT_EQ(ok, row.parsed ? 1 : 0) << name;
        if (!ok) {
            EXPECT_TRUE(NetAddressEqual(address, NetAddressIpv4(9, 9, 9, 9))) << "kept: " << name;
            continue;
        }
        char text[NET_ADDRESS_TEXT_SIZE], endpoint[NET_ENDPOINT_TEXT_SIZE];
        EXPECT_STREQ(NetAddressText(address, text), row.parsed) << name;
        address.port = 2121;
        EXPECT_STREQ(NetEndpointText(address, endpoint), row.endpoint) << name;
    }

    // A client on an IPv4-mapped address is the same host as its IPv4 address.
    NetAddress v4 = NetAddressIpv4(10, 1, 2, 3, 21), mapped = {}, other = {};
    ASSERT_EQ(NetAddressParse("::ffff:10.1.2.3", NET_FAMILY_IPV6, &mapped), 1);
    ASSERT_EQ(NetAddressParse("::10.1.2.3", NET_FAMILY_IPV6, &other), 1);
    EXPECT_TRUE(NetAddressSameHost(v4, mapped));
    EXPECT_TRUE(NetAddressSameHost(mapped, v4));
    EXPECT_TRUE(NetAddressIsIpv4(mapped));
    EXPECT_FALSE(NetAddressSameHost(v4, other));
    EXPECT_FALSE(NetAddressIsIpv4(other));
    EXPECT_FALSE(NetAddressSameHost(v4, NetAddressIpv4(10, 1, 2, 4)));
    EXPECT_FALSE(NetAddressEqual(v4, mapped)) << "the ports differ";
    EXPECT_TRUE(NetAddressIsAny(NetAddressAny(NET_FAMILY_IPV6)));
    EXPECT_TRUE(NetAddressIsBroadcast(NetAddressIpv4(255, 255, 255, 255)));
    EXPECT_FALSE(NetAddressIsAny(v4));
}

// ---------------------------------------------------------------- readiness

TEST_F(EventLoopTest, WriteIsReportedOnceAndAgainOnlyAfterASendWouldBlock) {
    Select(pair.server, CONTROL_MASK);
    ASSERT_TRUE(WaitCount(pair.server, "write", 1));

    // Sends that fit never re-arm FD_WRITE, although the socket stays writable.
    Run([&] { ASSERT_EQ(NetSend(pair.server, "abc", 3), 3); });
    ExpectExactly(pair.server, "write", 1);

    // Fill the send path until a send would block.
    int blocked = 0;
    long sent = 3;
    Run([&] {
        static char chunk[65536];
        int n = 0;
        for (int i = 0; i < 4096 && (n = NetSend(pair.server, chunk, sizeof chunk)) != SOCKET_ERROR;
             i++)
            sent += n;
        blocked = n == SOCKET_ERROR ? WSAGetLastError() : 0;
    });
    ASSERT_EQ(blocked, WSAEWOULDBLOCK);
    Settle();
    EXPECT_EQ(Count(pair.server, "write"), 1) << "FD_WRITE before room became free";

    // The client drains; room frees up and FD_WRITE comes exactly once.
    std::string buffer(sent, 0);
    ASSERT_EQ(recv(pair.client, buffer.data(), sent, MSG_WAITALL), sent);
    ExpectExactly(pair.server, "write", 2);
}

// A handler that does not receive gets one FD_READ, however long bytes wait;
// each receive re-arms it while bytes remain; the peer's end comes as one
// FD_CLOSE only after the last bytes were read.
TEST_F(EventLoopTest, ReadRepeatsOnlyAfterAReceiveAndCloseFollowsTheLastBytes) {
    ASSERT_EQ(send(pair.client, "0123456789", 10, 0), 10);
    Select(pair.server, FD_READ | FD_CLOSE);
    ExpectExactly(pair.server, "read", 1);

    // The peer ends; from now on each FD_READ takes 4 bytes: 4 + 4 + 2.
    shutdown(pair.client, SHUT_WR);
    Settle();
    std::string received;
    auto take = [&] {
        char b[4];
        int n = NetRecv(pair.server, b, 4);
        if (n > 0) received.append(b, n);
    };
    onNote = [&](SOCKET fd, uint16_t event, uint16_t) {
        if (fd == pair.server && event == FD_READ) take();
    };
    Run(take);
    ASSERT_TRUE(WaitCount(pair.server, "close", 1));
    Settle();
    EXPECT_EQ(Events(pair.server), "read read read close ");
    std::string all;
    Run([&] { all = received; });
    EXPECT_EQ(all, "0123456789");
}

// The peer resets: exactly one FD_CLOSE follows, with the reset error,
// whether the handler left bytes unread or met the reset with a receive.
TEST_F(EventLoopTest, ResetIsReportedOnceWithItsError) {
    TestPair &unread = pair, &receiving = other;
    onNote = [&](SOCKET fd, uint16_t event, uint16_t) {
        char b[16];
        if (fd == receiving.server && event == FD_READ) NetRecv(receiving.server, b, sizeof b);
    };
    Select(unread.server, FD_READ | FD_CLOSE);
    Select(receiving.server, FD_READ | FD_CLOSE);
    ASSERT_EQ(send(unread.client, "unread", 6, 0), 6);
    ASSERT_TRUE(WaitCount(unread.server, "read", 1));
    unread.Reset();
    receiving.Reset();
    for (TestPair* pair : {&unread, &receiving}) {
        ExpectExactly(pair->server, "close", 1);
        EXPECT_EQ(Count(pair->server, ("close/" + std::to_string(WSAECONNRESET)).c_str()), 1)
            << Events(pair->server);
    }
}

// A refused attempt reports nothing but FD_CONNECT with the error; a
// successful one, re-registered for the transfer's events as a data
// connection does, gives FD_CONNECT and then one FD_WRITE.
TEST_F(EventLoopTest, ConnectEndsWithOneConnectCarryingItsOutcome) {
    uint16_t deadPort = 0;
    close(bxtest::Listen(&deadPort)); // a port that was just free: nobody listens there
    SOCKET refused = NetSocketTcp(), ok = NetSocketTcp();
    onNote = [&](SOCKET fd, uint16_t event, uint16_t error) {
        if (fd == ok && event == FD_CONNECT && error == 0)
            NetAsyncSelect(ok, TEST_MSG_SOCK, CONTROL_MASK);
    };
    for (auto [s, mask, to] :
         {std::tuple{refused, FD_CONNECT | CONTROL_MASK, deadPort}, {ok, FD_CONNECT, port}}) {
        Run([&] {
            ASSERT_EQ(NetAsyncSelect(s, TEST_MSG_SOCK, mask), 0);
            EXPECT_TRUE(fcntl(s, F_GETFD) & FD_CLOEXEC);
            EXPECT_TRUE(fcntl(s, F_GETFL) & O_NONBLOCK) << "registered sockets become non-blocking";
            if (NetConnect(s, NetAddressIpv4(127, 0, 0, 1, to)) == SOCKET_ERROR) {
                EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
            }
        });
    }
    ASSERT_TRUE(WaitCount(refused, "connect", 1));
    ASSERT_TRUE(WaitCount(ok, "write", 1));
    Settle();
    EXPECT_EQ(Events(refused), "connect/" + std::to_string(WSAECONNREFUSED) + " ");
    EXPECT_EQ(Events(ok), "connect write ");
    NetCloseSocket(refused);
    NetCloseSocket(ok);
}

TEST_F(EventLoopTest, AcceptIsReportedWhileConnectionsWaitAndAnAcceptReenablesIt) {
    int clients[3];
    for (int& c : clients)
        ASSERT_GE(c = bxtest::ConnectLoopback(port), 0);
    Select(listener, FD_ACCEPT);
    ExpectExactly(listener, "accept", 1); // not accepting: reported once only

    // Accepting one per notification takes all three, then silence.
    std::atomic<int> accepted{0};
    auto take = [&] {
        SOCKET a = NetAccept(listener, nullptr);
        accepted += a != INVALID_SOCKET;
        NetCloseSocket(a);
    };
    onNote = [&](SOCKET, uint16_t, uint16_t) { take(); };
    Run(take);
    ASSERT_TRUE(WaitCount(listener, "accept", 3));
    Settle();
    EXPECT_EQ(accepted, 3);
    EXPECT_LE(Count(listener, "accept"), 4);
    for (int c : clients)
        close(c);
}

// ---------------------------------------------------------------- handlers changing the loop

TEST_F(EventLoopTest, HandlerClosingTheDispatchedSocketGetsNothingMoreForIt) {
    SOCKET server = pair.server;
    // Bytes and the FIN are both pending: FD_READ and then FD_CLOSE would follow.
    ASSERT_EQ(send(pair.client, "x", 1, 0), 1);
    shutdown(pair.client, SHUT_WR);
    onNote = [&](SOCKET fd, uint16_t event, uint16_t) {
        if (fd != server || event != FD_READ) return;
        ASSERT_EQ(NetCloseSocket(server), 0);
        pair.server = INVALID_SOCKET;
    };
    Select(server, CONTROL_MASK);
    ExpectExactly(server, "read", 1);
    EXPECT_EQ(Count(server, "close"), 0);
}

TEST_F(EventLoopTest, EventOfAClosedSocketIsNotDeliveredToItsReusedNumber) {
    TestPair &a = pair, &b = other;
    int waiting = bxtest::ConnectLoopback(port); // accepted by the handler below
    ASSERT_GE(waiting, 0);
    ASSERT_EQ(send(a.client, "a", 1, 0), 1);
    ASSERT_EQ(send(b.client, "b", 1, 0), 1);

    // Whichever socket is dispatched first closes the other and accepts a
    // new connection, which takes the freed descriptor number. The other's
    // event is already fetched in the same batch.
    std::atomic<SOCKET> reused{INVALID_SOCKET};
    SOCKET closedNumber = INVALID_SOCKET;
    onNote = [&](SOCKET fd, uint16_t event, uint16_t) {
        if (reused != INVALID_SOCKET || event != FD_READ) return;
        TestPair& other = fd == a.server ? b : a;
        closedNumber = other.server;
        ASSERT_EQ(NetCloseSocket(other.server), 0);
        other.server = INVALID_SOCKET;
        reused = NetAccept(listener, nullptr);
        ASSERT_NE(reused, INVALID_SOCKET);
        ASSERT_EQ(NetAsyncSelect(reused, TEST_MSG_SOCK, FD_READ | FD_CLOSE), 0);
    };
    // Both registered within one message, so both are ready in one batch.
    Run([&] {
        ASSERT_EQ(NetAsyncSelect(a.server, TEST_MSG_SOCK, FD_READ | FD_CLOSE), 0);
        ASSERT_EQ(NetAsyncSelect(b.server, TEST_MSG_SOCK, FD_READ | FD_CLOSE), 0);
    });
    ASSERT_TRUE(bxtest::WaitFor([&] { return reused != INVALID_SOCKET; }));
    Settle();
    if (reused != closedNumber) GTEST_SKIP() << "the system did not reuse the number";
    // The new socket has no bytes: an FD_READ for its number is the stale one.
    EXPECT_EQ(Count(reused, "read"), 0);
    NetCloseSocket(reused);
    close(waiting);
}

// ---------------------------------------------------------------- messages

// Sent messages are handled before the sender continues, in place when sent
// from the loop's own thread; posted ones are not waited for. WM_CLOSE
// destroys the loop, after which messages and registrations fail.
TEST_F(EventLoopTest, SentMessagesAreWaitedForPostedOnesAreNotAndCloseEndsTheLoop) {
    std::atomic<int> handled{0};
    std::function<void()> count = [&] { handled++; };
    Run(count);
    EXPECT_EQ(handled.load(), 1);
    std::mutex gate;
    gate.lock();
    std::function<void()> held = [&] {
        std::lock_guard<std::mutex> wait(gate);
        handled++;
    };
    ASSERT_EQ(EvLoopPost(TEST_MSG_RUN, reinterpret_cast<uintptr_t>(&held), 0), 1);
    EXPECT_EQ(handled.load(), 1);
    gate.unlock();
    Settle();
    EXPECT_EQ(handled.load(), 2);
    Run([&] { Run(count); });
    EXPECT_EQ(handled.load(), 3);

    ASSERT_EQ(EvLoopSend(WM_CLOSE, 0, 0), 1);
    EXPECT_EQ(state, 2);
    EXPECT_EQ(closeSeen, 0) << "the procedure sees WM_DESTROY, not WM_CLOSE";
    Stop();
    EXPECT_EQ(EvLoopSend(TEST_MSG_RUN, reinterpret_cast<uintptr_t>(&count), 0), 0);
    EXPECT_EQ(EvLoopPost(TEST_MSG_RUN, 0, 0), 0);
    EXPECT_EQ(handled.load(), 3);
    EXPECT_EQ(NetAsyncSelect(pair.server, TEST_MSG_SOCK, FD_READ), SOCKET_ERROR);
}

} // namespace

namespace {

// A second loop (number 1) beside the fixture's, on a thread of its own.
struct TwoLoopTest : EventLoopTest {
    std::thread second;
    std::atomic<int> secondState{0};
    std::mutex whereLock;
    std::vector<int> readOn; // the loop number of each read notification

    void SetUp() override {
        EventLoopTest::SetUp();
        onNote = [this](SOCKET, uint16_t event, uint16_t) {
            if (event != FD_READ) return;
            std::lock_guard<std::mutex> lk(whereLock);
            readOn.push_back(EvLoopIndex());
        };
        second = std::thread([this] {
            secondState = EvLoopCreateAt(1, Proc) ? 1 : -1;
            if (secondState < 0) return;
            EvLoopRun();
            EvLoopDestroy();
        });
        ASSERT_TRUE(bxtest::WaitFor([this] { return secondState != 0; }));
        ASSERT_EQ(secondState, 1);
    }
    void TearDown() override {
        if (second.joinable()) {
            EvLoopSendTo(1, WM_CLOSE, 0, 0);
            second.join();
        }
        EventLoopTest::TearDown();
    }
    void RunOnSecond(std::function<void()> fn) {
        ASSERT_EQ(EvLoopSendTo(1, TEST_MSG_RUN, reinterpret_cast<uintptr_t>(&fn), 0), 1);
    }
    std::vector<int> ReadsOn() {
        std::lock_guard<std::mutex> lk(whereLock);
        return readOn;
    }
};

// Whichever thread closes a socket, no loop keeps it as a socket: a pipe
// that takes its number afterwards is refused, not closed, from every thread.
TEST_F(TwoLoopTest, ClosedSocketsNumberHeldByAPipeIsNotClosedFromAnyThread) {
    for (int closer : {0, 1}) { // the loop that made it closes it, or another thread
        SOCKET s = INVALID_SOCKET;
        RunOnSecond([&] { s = NetSocketTcp(); });
        ASSERT_NE(s, INVALID_SOCKET);
        if (closer)
            RunOnSecond([&] { EXPECT_EQ(NetCloseSocket(s), 0); });
        else
            EXPECT_EQ(NetCloseSocket(s), 0);
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        ASSERT_EQ(dup2(fds[0], s), s) << "the pipe takes the socket's number";
        int refused[3] = {};
        RunOnSecond([&] { refused[0] = NetCloseSocket(s) == SOCKET_ERROR; });
        Run([&] { refused[1] = NetCloseSocket(s) == SOCKET_ERROR; });
        refused[2] = NetCloseSocket(s) == SOCKET_ERROR;
        EXPECT_EQ(refused[0] + refused[1] + refused[2], 3) << "closer " << closer;
        EXPECT_NE(fcntl(s, F_GETFD), -1) << "the pipe was closed; closer " << closer;
        for (int fd : {fds[0], fds[1], static_cast<int>(s)})
            close(fd);
    }
}

TEST_F(TwoLoopTest, SocketHandedToAnotherLoopIsServedThereOnly) {
    SOCKET s = pair.server;
    int loopOfRun = -2;
    Run([&] { loopOfRun = EvLoopIndex(); });
    EXPECT_EQ(loopOfRun, 0);
    RunOnSecond([&] { loopOfRun = EvLoopIndex(); });
    EXPECT_EQ(loopOfRun, 1);
    EXPECT_EQ(EvLoopIndex(), -1) << "the test's own thread runs no loop";

    Run([&] { ASSERT_EQ(NetAsyncSelect(s, TEST_MSG_SOCK, CONTROL_MASK), 0); });
    ASSERT_TRUE(bxtest::WriteAll(pair.client, "a"));
    ASSERT_TRUE(WaitCount(s, "read", 1));
    char buffer[16];
    Run([&] {
        ASSERT_EQ(NetRecv(s, buffer, sizeof buffer), 1);
        EvSockMoveTo(s, 1);
    });
    RunOnSecond([&] { ASSERT_EQ(NetAsyncSelect(s, TEST_MSG_SOCK, CONTROL_MASK), 0); });
    ASSERT_TRUE(bxtest::WriteAll(pair.client, "bc"));
    ASSERT_TRUE(WaitCount(s, "read", 2));
    RunOnSecond([&] { EXPECT_EQ(NetRecv(s, buffer, sizeof buffer), 2); });
    pair.Reset();
    ASSERT_TRUE(WaitCount(s, "close", 1));
    Settle();
    EXPECT_EQ(ReadsOn(), (std::vector<int>{0, 1}));
    // Each registration reports FD_WRITE once, as a new selection does.
    EXPECT_EQ(Events(s), "write read write read close/10054 ")
        << "a notification came twice or was lost";
}

} // namespace
