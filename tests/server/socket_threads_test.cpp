// Several socket threads: a crowd of clients is spread over them, and what a
// client, an admin and the window see stays as with one thread: every
// session served intact, MaxConn decided in the order of arrival, connection
// numbers from the lowest free slot, the details and the disconnect of a
// connection that another thread serves.
#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "data_client.h"
#include "ftp_fixture.h"
#include "server/conn.h"
#include "server/conn_details.h"
#include "server/conn_events.h"
#include "server/sockthread.h"

namespace {

constexpr int CLIENTS = 24;

// The details samples the engine hands over, kept for the test.
std::mutex sampleLock;
std::vector<ConnRecord> lastSample;
std::atomic<int> samples{0};
void KeepSample(std::vector<ConnRecord>* records) {
    {
        std::lock_guard<std::mutex> lock(sampleLock);
        lastSample = *records;
    }
    delete records;
    samples++;
}

class SocketThreads : public FtpFixture, public ::testing::WithParamInterface<uint32_t> {
  protected:
    SocketThreads() { socketThreads_ = GetParam(); }
    void TearDown() override {
        connEvents.details = nullptr;
        FtpFixture::TearDown();
    }
    // The connections each socket thread owns, by the first thread's count.
    std::vector<int> Owners() {
        static std::vector<int> owned;
        owned.assign(SOCK_LOOPS_MAX, 0);
        OnSocketThread([] {
            for (int32_t i = 0; i < ConnSlotCount(); i++)
                if (ConnOwner((uint16_t)i) == SockLoopIndex()) owned[SockLoopIndex()]++;
        });
        return owned;
    }
    // A details sample of every connection, in the order the engine gives it.
    std::vector<ConnRecord> Sample() {
        int before = samples;
        EXPECT_EQ(SockPost(SOCK_MSG_DETAILS, 0, 0), 1);
        EXPECT_TRUE(bxtest::WaitFor([&] { return samples > before; }));
        std::lock_guard<std::mutex> lock(sampleLock);
        return lastSample;
    }
};

uint16_t LocalPort(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(fd, (sockaddr*)&sa, &len);
    return ntohs(sa.sin_port);
}

TEST_P(SocketThreads, CrowdIsSpreadAndEverySessionIsServedIntact) {
    AddUser("u", "pw");
    QuietTrace();
    std::vector<std::string> contents(CLIENTS);
    for (int i = 0; i < CLIENTS; i++) {
        contents[i] = std::string(4096 + 977 * i, (char)('a' + i % 26));
        WriteRootFile("f" + std::to_string(i), contents[i]);
    }
    std::vector<dataclient::Session> c(CLIENTS);
    for (int i = 0; i < CLIENTS; i++)
        ASSERT_TRUE(c[i].Open(Port())) << i;
    std::vector<int> owned = Owners();
    int threadsUsed = (int)std::count_if(owned.begin(), owned.end(), [](int n) { return n > 0; });
    EXPECT_EQ(threadsUsed, std::min<int>(SockLoopCount(), CLIENTS));
    EXPECT_EQ(SockLoopCount(), (int)GetParam());
    // The accepting thread keeps clients until it serves 8 more than another.
    int most = *std::max_element(owned.begin(), owned.begin() + SockLoopCount());
    int fewest = *std::min_element(owned.begin(), owned.begin() + SockLoopCount());
    EXPECT_LE(most - fewest, 8) << "the crowd was not spread";

    // Every client downloads its own file, all at once.
    std::vector<std::thread> workers;
    std::vector<int> intact(CLIENTS, 0);
    for (int i = 0; i < CLIENTS; i++) {
        workers.emplace_back([&, i] {
            std::string final;
            intact[i] = c[i].Download("RETR f" + std::to_string(i), &final) == contents[i] &&
                        final == "226 Transfer complete.\r\n";
        });
    }
    for (auto& w : workers)
        w.join();
    for (int i = 0; i < CLIENTS; i++)
        EXPECT_TRUE(intact[i]) << "client " << i;
}

TEST_P(SocketThreads, MaxConnIsDecidedInTheOrderOfArrival) {
    constexpr int LIMIT = 7;
    SettingStore(systemSettings.maxConn, (uint16_t)LIMIT);
    std::vector<FtpClient> c(CLIENTS);
    for (int i = 0; i < CLIENTS; i++)
        ASSERT_TRUE(c[i].Connect(Port())) << i;
    int greeted = 0, refused = 0;
    for (int i = 0; i < CLIENTS; i++) {
        std::string reply = c[i].ReadReply();
        if (reply.rfind("220 ", 0) == 0) {
            greeted++;
            EXPECT_LT(i, LIMIT) << "a later client was greeted";
        } else if (reply == "421 Too may users; try again later\r\n") {
            refused++;
        }
    }
    EXPECT_EQ(greeted, LIMIT);
    EXPECT_EQ(refused, CLIENTS - LIMIT);
}

TEST_P(SocketThreads, NumbersDetailsAndDisconnectSpanEveryThread) {
    connEvents.details = KeepSample;
    AddUser("bob", "pw");
    std::vector<FtpClient> c(CLIENTS);
    for (int i = 0; i < CLIENTS; i++)
        ASSERT_TRUE(c[i].ConnectGreeted(Port())) << i;
    std::vector<ConnRecord> sample = Sample();
    ASSERT_EQ((int)sample.size(), CLIENTS);
    for (int i = 0; i < CLIENTS; i++) {
        EXPECT_EQ(sample[i].connId, i) << "numbers out of order, or a slot skipped";
        EXPECT_EQ(sample[i].client.port, LocalPort(c[i].Fd())) << i;
    }

    // A freed number is given to the next client, whichever thread it was on.
    for (int gone : {CLIENTS - 2, 3}) {
        c[gone].Close(true);
        ASSERT_TRUE(bxtest::WaitFor([&] { return LiveConnections() == CLIENTS - 1; }));
        ASSERT_TRUE(c[gone].ConnectGreeted(Port()));
        sample = Sample();
        auto it = std::find_if(sample.begin(), sample.end(), [&](const ConnRecord& r) {
            return r.client.port == LocalPort(c[gone].Fd());
        });
        ASSERT_NE(it, sample.end());
        EXPECT_EQ(it->connId, gone);
    }

    // A number above 16 bits is its own: the slot of its low 16 bits keeps
    // its client.
    ASSERT_EQ(SockPost(SOCK_MSG_DISCONNECT,
                       DisconnectWParam(65536 + 2, LocalPort(c[2].Fd()), DISCONNECT_SERVER_WINDOW),
                       0),
              1);
    // The window disconnects connections of every thread.
    for (int i : {0, 1, CLIENTS - 1}) {
        uint16_t port = LocalPort(c[i].Fd());
        ASSERT_EQ(SockPost(SOCK_MSG_DISCONNECT,
                           DisconnectWParam((uint32_t)i, port, DISCONNECT_SERVER_WINDOW), 0),
                  1);
        EXPECT_EQ(c[i].ReadReply(),
                  "421 Disconnected by the administrator; closing control connection.\r\n")
            << i;
        EXPECT_TRUE(c[i].WaitForEof()) << i;
    }
    EXPECT_EQ(c[2].Command("NOOP"), "200 Command okay.\r\n");
    EXPECT_EQ((int)Sample().size(), CLIENTS - 3);
}

INSTANTIATE_TEST_SUITE_P(Counts, SocketThreads, ::testing::Values(1u, 2u, 3u));

} // namespace
