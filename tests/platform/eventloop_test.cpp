// The event loop's notification rules over real loopback sockets, sockets
// closed and reused by handlers, and the messages of other threads.
#include <fcntl.h>

#include <atomic>
#include <cstring>
#include <string>

#include "loop_harness.h"

namespace {

constexpr long CONTROL_MASK = FD_READ | FD_WRITE | FD_CLOSE;

struct EventLoopTest : ::testing::Test {
    LoopHarness loop;
    int listener = -1;
    uint16_t port = 0;

    void SetUp() override {
        listener = bxtest::Listen(&port);
        ASSERT_GE(listener, 0);
        loop.Start();
    }
    void TearDown() override {
        loop.Stop();
        if (listener >= 0) close(listener);
    }
    void Select(SOCKET s, long mask) {
        loop.Run([&] { ASSERT_EQ(NetAsyncSelect(s, TEST_MSG_SOCK, mask), 0); });
    }
    // Waits for the n-th event of fd, lets everything due arrive, and expects
    // no more than n.
    void ExpectExactly(int fd, uint16_t event, int n) {
        EXPECT_TRUE(loop.WaitCount(fd, event, n)) << "event " << event << " came fewer than " << n << " times";
        loop.Settle();
        EXPECT_EQ(loop.Count(fd, event), n) << "event " << event;
    }
    // Registers s for mask and starts a connect to 127.0.0.1:to.
    void StartConnect(SOCKET s, long mask, uint16_t to) {
        loop.Run([&] {
            ASSERT_EQ(NetAsyncSelect(s, TEST_MSG_SOCK, mask), 0);
            if (NetConnect(s, NetHtonl(0x7F000001), NetHtons(to)) == SOCKET_ERROR) {
                ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
            }
        });
    }
    // The peer of pair resets; exactly one FD_CLOSE follows, with the reset error.
    void ExpectOneReset(TestPair& pair) {
        ResetClose(pair.client);
        pair.client = -1;
        ExpectExactly(pair.server, FD_CLOSE, 1);
        for (const Note& note : loop.Notes())
            if (note.fd == pair.server && note.event == FD_CLOSE) {
                EXPECT_EQ(note.error, WSAECONNRESET);
            }
    }
};

// ---------------------------------------------------------------- FD_WRITE

TEST_F(EventLoopTest, WriteIsReportedOnceAndAgainOnlyAfterASendWouldBlock) {
    TestPair pair;
    ASSERT_TRUE(pair.Open(listener, port));
    Select(pair.server, CONTROL_MASK);
    ASSERT_TRUE(loop.WaitCount(pair.server, FD_WRITE, 1));

    // Sends that fit never re-arm FD_WRITE, although the socket stays writable.
    loop.Run([&] { ASSERT_EQ(NetSend(pair.server, "abc", 3), 3); });
    ExpectExactly(pair.server, FD_WRITE, 1);

    // Fill the send path until a send would block.
    int blocked = 0;
    long sent = 0;
    loop.Run([&] {
        static char chunk[65536];
        for (int i = 0; i < 4096; i++) {
            int n = NetSend(pair.server, chunk, sizeof chunk);
            if (n == SOCKET_ERROR) {
                blocked = WSAGetLastError();
                return;
            }
            sent += n;
        }
    });
    ASSERT_EQ(blocked, WSAEWOULDBLOCK);
    loop.Settle();
    EXPECT_EQ(loop.Count(pair.server, FD_WRITE), 1) << "FD_WRITE before room became free";

    // The client drains; room frees up and FD_WRITE comes exactly once.
    std::string buffer(65536, 0);
    long got = 0;
    while (got < sent + 3) {
        ssize_t n = recv(pair.client, buffer.data(), buffer.size(), 0);
        ASSERT_GT(n, 0);
        got += n;
    }
    ExpectExactly(pair.server, FD_WRITE, 2);
}

// ---------------------------------------------------------------- FD_READ

TEST_F(EventLoopTest, ReadRepeatsWhileBytesRemainButOnlyAfterAReceive) {
    TestPair pair;
    ASSERT_TRUE(pair.Open(listener, port));
    ASSERT_EQ(send(pair.client, "0123456789", 10, 0), 10);

    // A handler that does not receive gets one FD_READ, however long bytes wait.
    Select(pair.server, FD_READ | FD_CLOSE);
    ExpectExactly(pair.server, FD_READ, 1);

    // From now on each FD_READ takes 4 bytes: 4 + 4 + 2, then silence.
    std::string received;
    loop.onNote = [&](const Note& note) {
        if (note.fd != pair.server || note.event != FD_READ) return;
        char b[4];
        int n = NetRecv(pair.server, b, 4);
        if (n > 0) received.append(b, n);
    };
    loop.Run([&] {
        char b[4];
        int n = NetRecv(pair.server, b, 4);
        received.append(b, n);
    });
    ExpectExactly(pair.server, FD_READ, 3);
    std::string all;
    loop.Run([&] { all = received; });
    EXPECT_EQ(all, "0123456789");
    EXPECT_EQ(loop.Count(pair.server, FD_CLOSE), 0);
}

// ---------------------------------------------------------------- FD_CLOSE

TEST_F(EventLoopTest, OrderlyCloseComesOnceAfterTheLastBytesWereRead) {
    TestPair pair;
    ASSERT_TRUE(pair.Open(listener, port));
    std::vector<Note> seen;
    loop.onNote = [&](const Note& note) {
        if (note.fd != pair.server) return;
        seen.push_back(note);
        if (note.event == FD_READ) {
            char b[2];
            NetRecv(pair.server, b, 2);
        }
    };
    ASSERT_EQ(send(pair.client, "abcdef", 6, 0), 6);
    shutdown(pair.client, SHUT_WR);
    Select(pair.server, FD_READ | FD_CLOSE);
    ASSERT_TRUE(loop.WaitCount(pair.server, FD_CLOSE, 1));
    loop.Settle();
    std::vector<Note> order;
    loop.Run([&] { order = seen; });
    ASSERT_EQ(order.size(), 4u);
    for (int i = 0; i < 3; i++) EXPECT_EQ(order[i].event, FD_READ);
    EXPECT_EQ(order[3].event, FD_CLOSE);
    EXPECT_EQ(order[3].error, 0);
}

TEST_F(EventLoopTest, ResetIsReportedOnceWithItsErrorEvenWithUnreadBytes) {
    TestPair pair;
    ASSERT_TRUE(pair.Open(listener, port));
    Select(pair.server, CONTROL_MASK);
    ASSERT_EQ(send(pair.client, "unread", 6, 0), 6);
    ASSERT_TRUE(loop.WaitCount(pair.server, FD_READ, 1));
    // The handler never receives; the peer resets.
    ExpectOneReset(pair);
}

TEST_F(EventLoopTest, ResetMetByAReceiveStillClosesWithTheResetError) {
    TestPair pair;
    ASSERT_TRUE(pair.Open(listener, port));
    loop.onNote = [&](const Note& note) {
        if (note.fd == pair.server && note.event == FD_READ) {
            char b[16];
            NetRecv(pair.server, b, sizeof b);
        }
    };
    Select(pair.server, FD_READ | FD_CLOSE);
    ExpectOneReset(pair);
}

// ---------------------------------------------------------------- FD_CONNECT

TEST_F(EventLoopTest, RefusedConnectEndsWithOneConnectCarryingTheError) {
    // A port that was just free: nobody listens there.
    uint16_t deadPort = 0;
    int dead = bxtest::Listen(&deadPort);
    close(dead);
    SOCKET s = NetSocketTcp();
    ASSERT_NE(s, INVALID_SOCKET);
    StartConnect(s, FD_CONNECT | CONTROL_MASK, deadPort);
    ASSERT_TRUE(loop.WaitCount(s, FD_CONNECT, 1));
    loop.Settle();
    std::vector<Note> notes = loop.Notes();
    ASSERT_EQ(notes.size(), 1u) << "a failed attempt reports nothing but FD_CONNECT";
    EXPECT_EQ(notes[0].error, WSAECONNREFUSED);
    NetCloseSocket(s);
}

TEST_F(EventLoopTest, ConnectThenReselectGivesConnectAndOneWrite) {
    SOCKET s = NetSocketTcp();
    ASSERT_NE(s, INVALID_SOCKET);
    loop.onNote = [&](const Note& note) {
        // As a data connection does: switch to the transfer's events.
        if (note.event == FD_CONNECT && note.error == 0) NetAsyncSelect(s, TEST_MSG_SOCK, CONTROL_MASK);
    };
    StartConnect(s, FD_CONNECT, port);
    ASSERT_TRUE(loop.WaitCount(s, FD_WRITE, 1));
    loop.Settle();
    std::vector<Note> notes = loop.Notes();
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0].event, FD_CONNECT);
    EXPECT_EQ(notes[0].error, 0);
    EXPECT_EQ(notes[1].event, FD_WRITE);
    NetCloseSocket(s);
}

// ---------------------------------------------------------------- FD_ACCEPT

TEST_F(EventLoopTest, AcceptIsReportedWhileConnectionsWaitAndAnAcceptReenablesIt) {
    SOCKET l = NetSocketTcp();
    ASSERT_NE(l, INVALID_SOCKET);
    ASSERT_EQ(NetBind(l, NetHtonl(0x7F000001), 0), 0);
    ASSERT_EQ(NetListen(l, 5), 0);
    uint16_t lportN;
    ASSERT_EQ(NetGetSockName(l, nullptr, &lportN), 0);
    int clients[3];
    for (int& c : clients) ASSERT_GE(c = bxtest::ConnectLoopback(NetNtohs(lportN)), 0);

    // Not accepting: reported once only.
    Select(l, FD_ACCEPT);
    ExpectExactly(l, FD_ACCEPT, 1);

    // Accepting one per notification takes all three, then silence.
    std::vector<SOCKET> accepted;
    loop.onNote = [&](const Note& note) {
        if (note.fd != l) return;
        SOCKET a = NetAccept(l, nullptr, nullptr);
        if (a != INVALID_SOCKET) accepted.push_back(a);
    };
    loop.Run([&] {
        SOCKET a = NetAccept(l, nullptr, nullptr);
        if (a != INVALID_SOCKET) accepted.push_back(a);
    });
    ASSERT_TRUE(loop.WaitCount(l, FD_ACCEPT, 3));
    loop.Settle();
    size_t count = 0;
    loop.Run([&] { count = accepted.size(); });
    EXPECT_EQ(count, 3u);
    EXPECT_LE(loop.Count(l, FD_ACCEPT), 4);
    loop.Run([&] {
        for (SOCKET a : accepted) NetCloseSocket(a);
        NetCloseSocket(l);
    });
    for (int c : clients) close(c);
}

// ---------------------------------------------------------------- handlers changing the loop

TEST_F(EventLoopTest, HandlerClosingTheDispatchedSocketGetsNothingMoreForIt) {
    TestPair pair;
    ASSERT_TRUE(pair.Open(listener, port));
    SOCKET server = pair.server;
    // Bytes and the FIN are both pending: FD_READ and then FD_CLOSE would follow.
    ASSERT_EQ(send(pair.client, "x", 1, 0), 1);
    shutdown(pair.client, SHUT_WR);
    loop.onNote = [&](const Note& note) {
        if (note.fd == server && note.event == FD_READ) {
            ASSERT_EQ(NetCloseSocket(server), 0);
            pair.server = INVALID_SOCKET;
        }
    };
    Select(server, CONTROL_MASK);
    ExpectExactly(server, FD_READ, 1);
    EXPECT_EQ(loop.Count(server, FD_CLOSE), 0);
}

TEST_F(EventLoopTest, EventOfAClosedSocketIsNotDeliveredToItsReusedNumber) {
    TestPair a, b;
    ASSERT_TRUE(a.Open(listener, port));
    ASSERT_TRUE(b.Open(listener, port));
    int waiting = bxtest::ConnectLoopback(port);  // accepted by the handler below
    ASSERT_GE(waiting, 0);
    ASSERT_EQ(send(a.client, "a", 1, 0), 1);
    ASSERT_EQ(send(b.client, "b", 1, 0), 1);

    // Whichever socket is dispatched first closes the other and accepts a
    // new connection, which takes the freed descriptor number. The other's
    // event is already fetched in the same batch.
    SOCKET reused = INVALID_SOCKET;
    int closedNumber = -1;
    loop.onNote = [&](const Note& note) {
        if (reused != INVALID_SOCKET || note.event != FD_READ) return;
        TestPair& other = note.fd == a.server ? b : a;
        closedNumber = other.server;
        ASSERT_EQ(NetCloseSocket(other.server), 0);
        other.server = INVALID_SOCKET;
        reused = NetAccept(listener, nullptr, nullptr);
        ASSERT_NE(reused, INVALID_SOCKET);
        ASSERT_EQ(NetAsyncSelect(reused, TEST_MSG_SOCK, FD_READ | FD_CLOSE), 0);
    };
    // Both registered within one message, so both are ready in one batch.
    loop.Run([&] {
        ASSERT_EQ(NetAsyncSelect(a.server, TEST_MSG_SOCK, FD_READ | FD_CLOSE), 0);
        ASSERT_EQ(NetAsyncSelect(b.server, TEST_MSG_SOCK, FD_READ | FD_CLOSE), 0);
    });
    // Bounded wait for the first FD_READ, then for everything due after it.
    SOCKET got = INVALID_SOCKET;
    for (int i = 0; i < 500 && got == INVALID_SOCKET; i++) {
        loop.Run([&] { got = reused; });
        if (got == INVALID_SOCKET) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    loop.Settle();
    ASSERT_NE(got, INVALID_SOCKET);
    if (reused != closedNumber) GTEST_SKIP() << "the system did not reuse the number";
    // The new socket has no bytes: an FD_READ for its number is the stale one.
    int readsForNumber = 0;
    bool afterReuse = false;
    for (const Note& note : loop.Notes()) {
        if (afterReuse && note.fd == reused && note.event == FD_READ) readsForNumber++;
        if (note.event == FD_READ && note.fd != reused) afterReuse = true;
    }
    EXPECT_EQ(readsForNumber, 0);
    NetCloseSocket(reused);
    close(waiting);
}

// ---------------------------------------------------------------- messages

TEST_F(EventLoopTest, SentMessagesAreHandledBeforeTheSenderContinuesPostedOnesAreNot) {
    std::atomic<int> handled{0};
    std::function<void()> slow = [&] { handled++; };
    ASSERT_EQ(EvLoopSend(TEST_MSG_RUN, reinterpret_cast<uintptr_t>(&slow), 0), 1);
    EXPECT_EQ(handled.load(), 1);

    // A posted message returns while its handler is still held up.
    std::mutex gate;
    gate.lock();
    std::function<void()> held = [&] {
        std::lock_guard<std::mutex> wait(gate);
        handled++;
    };
    ASSERT_EQ(EvLoopPost(TEST_MSG_RUN, reinterpret_cast<uintptr_t>(&held), 0), 1);
    EXPECT_EQ(handled.load(), 1);
    gate.unlock();
    loop.Settle();
    EXPECT_EQ(handled.load(), 2);

    // A message sent from the loop's own thread is handled in place.
    loop.Run([&] { ASSERT_EQ(EvLoopSend(TEST_MSG_RUN, reinterpret_cast<uintptr_t>(&slow), 0), 1); });
    EXPECT_EQ(handled.load(), 3);
}

TEST_F(EventLoopTest, CloseDestroysTheLoopAndLaterMessagesFail) {
    ASSERT_EQ(EvLoopSend(WM_CLOSE, 0, 0), 1);
    EXPECT_TRUE(loop.destroyed());
    EXPECT_EQ(loop.closeSeen(), 0) << "the procedure sees WM_DESTROY, not WM_CLOSE";
    loop.Stop();
    std::function<void()> nothing = [] {};
    EXPECT_EQ(EvLoopSend(TEST_MSG_RUN, reinterpret_cast<uintptr_t>(&nothing), 0), 0);
    EXPECT_EQ(EvLoopPost(TEST_MSG_RUN, 0, 0), 0);
    // Without a loop a socket cannot be registered.
    SOCKET s = NetSocketTcp();
    EXPECT_EQ(NetAsyncSelect(s, TEST_MSG_SOCK, FD_READ), SOCKET_ERROR);
    NetCloseSocket(s);
}

TEST_F(EventLoopTest, RegisteredSocketsBecomeNonBlocking) {
    TestPair pair;
    ASSERT_TRUE(pair.Open(listener, port));
    SOCKET s = NetSocketTcp();
    Select(s, FD_READ);
    EXPECT_TRUE(fcntl(s, F_GETFL) & O_NONBLOCK);
    // A receive with nothing there reports "would block" instead of waiting.
    char b;
    loop.Run([&] {
        ASSERT_EQ(NetAsyncSelect(pair.server, TEST_MSG_SOCK, FD_READ), 0);
        EXPECT_EQ(NetRecv(pair.server, &b, 1), SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    });
    NetCloseSocket(s);
}

}  // namespace
