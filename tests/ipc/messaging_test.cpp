// Messages between a server (this test process) and admins (slot helper
// processes): sizes at the limits, malformed datagrams, when the server may
// write back, and several writers at once. What a connection update carries
// on the wire is shown by the black-box timer test.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include <map>

#include "ipc/ipc.h"
#include "ipc/role.h"
#include "platform/rolelock.h"
#include "platform/slot.h"
#include "tests/ipc/ipc_test_support.h"

namespace {

using ipctest::Child;
using ipctest::PatternHex;

const char SERVER_SLOT[] = "\\\\.\\mailslot\\Quennel\\Brindlex\\Server";
const char CLIENT_SLOT[] = "\\\\.\\mailslot\\Quennel\\Brindlex\\Client";

struct Received {
    int ok;
    uint8_t type;
    uint32_t length;
    std::vector<uint8_t> data;
    std::string Hex() const { return ipctest::Hex(data.data(), length); }
};

Received Recv(uint32_t capacity) {
    Received r{0, 0xEE, capacity, std::vector<uint8_t>(capacity + 1)};
    r.ok = IpcRecv(&r.type, r.data.data(), &r.length);
    return r;
}

bool StartAdmin(Child& admin) {
    return admin.Start() && admin.Ask("role admin") == "ok" && admin.Ask("lock") == "locked" &&
           admin.Ask("start") == "started";
}

class Messaging : public ::testing::Test {
  protected:
    ipctest::MachineRoot root;
    bxtest::LogCapture log{"", "server ", true};
    int serverLock = -1;

    void StartServer() {
        processRole = ROLE_SERVER;
        int exists = 0;
        serverLock = RoleLockCreate(ROLE_LOCK_SERVER, &exists);
        ASSERT_GE(serverLock, 0);
        IpcStartup();
    }
    void TearDown() override {
        IpcShutdown();
        RoleLockRelease(serverLock);
    }
};

TEST_F(Messaging, FullSizeMessageTravelsWholeBothWaysAndOversizeIsRefused) {
    StartServer();
    Child admin;
    ASSERT_TRUE(StartAdmin(admin));
    EXPECT_EQ(admin.Ask("send 5 256 3"), "sent 1");
    Received r = Recv(256);
    ASSERT_EQ(r.ok, 1);
    EXPECT_EQ(r.type, IPC_MSG_SYSTEM_CHANGED);
    EXPECT_EQ(r.length, 256u);
    EXPECT_EQ(r.Hex(), PatternHex(3, 256));

    // The admin's message opened the way back; the limit holds there too.
    uint8_t big[257] = {};
    EXPECT_EQ(IpcSend(IPC_MSG_REFRESH, big, 257), 0);
    EXPECT_EQ(admin.Ask("recv 300 0"), "recv 0");
    for (unsigned i = 0; i < 256; i++) big[i] = ipctest::PatternByte(9, i);
    EXPECT_EQ(IpcSend(IPC_MSG_REFRESH, big, 256), 1);
    EXPECT_EQ(admin.Ask("recv 256 2000"), "recv 1 2 256 " + PatternHex(9, 256));

    EXPECT_EQ(admin.Ask("send 5 257 3"), "sent 0");
    EXPECT_EQ(Recv(300).ok, 0);
}

TEST_F(Messaging, TooSmallCapacityDropsTheMessageAndTheNextFollows) {
    StartServer();
    Child admin;
    ASSERT_TRUE(StartAdmin(admin));
    EXPECT_EQ(admin.Ask("send 6 8 1"), "sent 1");
    EXPECT_EQ(admin.Ask("send 1 0 0"), "sent 1");
    uint8_t type = 99, small[4];
    uint32_t capacity = 4;
    EXPECT_EQ(IpcRecv(&type, small, &capacity), 0);
    EXPECT_EQ(type, 99);
    EXPECT_EQ(capacity, 4u);
    Received next = Recv(256);
    EXPECT_EQ(next.ok, 1);
    EXPECT_EQ(next.type, IPC_MSG_LOGGING_CHANGED);
    EXPECT_EQ(Recv(256).ok, 0);
}

class MalformedDatagram : public Messaging, public ::testing::WithParamInterface<std::string> {};

TEST_P(MalformedDatagram, ClosesTheServerSlotForGood) {
    StartServer();
    Child admin;
    ASSERT_TRUE(StartAdmin(admin));
    EXPECT_EQ(admin.Ask("raw server " + GetParam()), "raw 1");
    EXPECT_EQ(Recv(256).ok, 0);
    // Nobody reads the server slot any more: writers learn it, nothing arrives.
    EXPECT_FALSE(std::filesystem::exists(SlotPath(SERVER_SLOT)));
    EXPECT_EQ(admin.Ask("send 5 0 0"), "sent 0");
    EXPECT_EQ(admin.Ask("raw server 05000000"), "raw 0 2");
    EXPECT_EQ(Recv(256).ok, 0);
}

// Empty, three bytes (shorter than a header), 261 bytes (longer than any message).
INSTANTIATE_TEST_SUITE_P(Sizes, MalformedDatagram, ::testing::Values("", "050000", "050001" + std::string(516, 'a')),
                         [](const auto& info) { return std::to_string(info.param.size() / 2) + "Bytes"; });

TEST_F(Messaging, LengthFieldBeyondTheDatagramIsDroppedAndTheSlotStays) {
    StartServer();
    Child admin;
    ASSERT_TRUE(StartAdmin(admin));
    EXPECT_EQ(admin.Ask("raw server 0500c800" + std::string(20, '1')), "raw 1");   // 200 of 10
    EXPECT_EQ(admin.Ask("raw server 05000101" + std::string(512, '2')), "raw 1");  // 257 of 256
    EXPECT_EQ(Recv(256).ok, 0);
    EXPECT_EQ(Recv(300).ok, 0);

    EXPECT_EQ(admin.Ask("send 5 3 2"), "sent 1");
    Received r = Recv(256);
    EXPECT_EQ(r.ok, 1);
    EXPECT_EQ(r.Hex(), PatternHex(2, 3));
}

TEST_F(Messaging, ServerReachesEachAdminOnlyAfterItsFirstMessage) {
    StartServer();
    uint8_t update[8];
    IpcPackUpdate(update, 1, htons(2121), inet_addr("127.0.0.1"));
    EXPECT_EQ(IpcSend(IPC_MSG_UPDATE, update, 8), 0);

    {
        Child first;
        ASSERT_TRUE(StartAdmin(first));
        EXPECT_EQ(IpcSend(IPC_MSG_UPDATE, update, 8), 0);
        EXPECT_EQ(first.Ask("send 4 0 0"), "sent 1");
        EXPECT_EQ(Recv(256).type, IPC_MSG_REFRESH_REQUEST);
        EXPECT_EQ(IpcSend(IPC_MSG_REFRESH, nullptr, 0), 1);
        EXPECT_EQ(IpcSend(IPC_MSG_UPDATE, update, 8), 1);
        EXPECT_EQ(first.Ask("recv 256 2000"), "recv 1 2 0 ");
        EXPECT_EQ(first.Ask("recv 256 2000"), "recv 1 6 8 010008497f000001");
        // Writable by everyone, so that roles under different accounts meet.
        struct stat st = {};
        EXPECT_EQ(stat(SlotPath(SERVER_SLOT).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0666u);
        EXPECT_EQ(stat(SlotPath(CLIENT_SLOT).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0666u);
        first.Stop();
    }
    // The first admin has gone: sends fail until the next admin speaks.
    EXPECT_EQ(IpcSend(IPC_MSG_REFRESH, nullptr, 0), 0);
    EXPECT_EQ(IpcSend(IPC_MSG_REFRESH, nullptr, 0), 0);

    Child second;
    ASSERT_TRUE(StartAdmin(second));
    EXPECT_EQ(second.Ask("send 4 0 0"), "sent 1");
    EXPECT_EQ(Recv(256).ok, 1);
    EXPECT_EQ(IpcSend(IPC_MSG_REFRESH, nullptr, 0), 1);
    EXPECT_EQ(second.Ask("recv 256 2000"), "recv 1 2 0 ");
}

TEST_F(Messaging, LeftoverSlotFileIsReplacedOnlyUnderTheRoleLock) {
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);  // bound, then gone: a leftover file
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", SlotPath(SERVER_SLOT).c_str());
    ASSERT_EQ(bind(fd, (sockaddr*)&addr, sizeof addr), 0);
    close(fd);

    processRole = ROLE_SERVER;
    IpcStartup();  // without the lock: the file stays, nobody reads it
    Child early, admin;
    ASSERT_TRUE(StartAdmin(early));
    EXPECT_EQ(early.Ask("send 7 0 0"), "sent 0");
    early.Stop();
    IpcShutdown();
    StartServer();
    ASSERT_TRUE(StartAdmin(admin));
    EXPECT_EQ(admin.Ask("send 7 0 0"), "sent 1");
    EXPECT_EQ(Recv(256).type, IPC_MSG_USERS_CHANGED);
}

// A connection list far longer than the kernel queues on one socket, sent
// in one go while the admin reads nothing: every message is taken.
TEST_F(Messaging, BurstToAnIdleAdminLosesNothing) {
    StartServer();
    Child admin;
    ASSERT_TRUE(StartAdmin(admin));
    EXPECT_EQ(admin.Ask("send 4 0 0"), "sent 1");
    ASSERT_EQ(Recv(256).ok, 1);
    uint8_t update[8];
    int sent = 0;
    for (uint16_t id = 0; id < 200; id++) {
        IpcPackUpdate(update, id, htons(1024), inet_addr("127.0.0.1"));
        sent += IpcSend(IPC_MSG_UPDATE, update, 8);
    }
    EXPECT_EQ(sent, 200);
    for (uint16_t id = 0; id < 200; id++) {
        IpcPackUpdate(update, id, htons(1024), inet_addr("127.0.0.1"));
        ASSERT_EQ(admin.Ask("recv 256 0"), "recv 1 6 8 " + ipctest::Hex(update, 8));
    }
}

// Far more messages than the kernel queues on one socket, from three
// processes at once.
TEST_F(Messaging, MessagesOfSeveralWritersArriveWholeAndInEachWritersOrder) {
    StartServer();
    constexpr unsigned writers = 3, perWriter = 300;
    Child child[writers];
    for (Child& c : child) {
        ASSERT_TRUE(c.Start());
        ASSERT_EQ(c.Ask("role admin"), "ok");
        ASSERT_EQ(c.Ask("start"), "started");  // the later ones only write
    }
    for (unsigned w = 0; w < writers; w++) ASSERT_TRUE(child[w].Say("burst " + std::to_string(w + 1) + " 300"));

    std::map<unsigned, unsigned> nextSeq;
    unsigned received = 0, bad = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (received < writers * perWriter && std::chrono::steady_clock::now() < deadline) {
        Received r = Recv(256);
        if (!r.ok) {
            std::this_thread::yield();
            continue;
        }
        received++;
        unsigned tag = r.data[0], seq = r.data[1] | (r.data[2] << 8);
        bool whole = r.type == IPC_MSG_USERS_CHANGED && r.length == 256 && seq == nextSeq[tag];
        for (unsigned k = 3; whole && k < 256; k++) whole = r.data[k] == ipctest::PatternByte(tag * 1000 + seq, k);
        bad += !whole;
        nextSeq[tag] = seq + 1;
    }
    EXPECT_EQ(received, writers * perWriter);
    EXPECT_EQ(bad, 0u);
    for (unsigned w = 0; w < writers; w++) {
        EXPECT_EQ(child[w].ReadLine(10000), "burst 300");
        EXPECT_EQ(nextSeq[w + 1], perWriter);
    }
}

}  // namespace
