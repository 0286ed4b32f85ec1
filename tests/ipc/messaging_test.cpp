// Messages between a server (this test process) and an admin (the slot
// helper, a second process): sizes at the limits, malformed datagrams, who
// may write to whom and when, and several writers at once.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>

#include "ipc/ipc.h"
#include "ipc/role.h"
#include "platform/rolelock.h"
#include "platform/slot.h"
#include "tests/ipc/ipc_test_support.h"

namespace {

using ipctest::Child;

const char SERVER_SLOT[] = "\\\\.\\mailslot\\Quennel\\Brindlex\\Server";
const char CLIENT_SLOT[] = "\\\\.\\mailslot\\Quennel\\Brindlex\\Client";

std::vector<uint8_t> Pattern(unsigned seed, unsigned len) {
    std::vector<uint8_t> v(len);
    for (unsigned i = 0; i < len; i++) v[i] = ipctest::PatternByte(seed, i);
    return v;
}

std::string PatternHex(unsigned seed, unsigned len) {
    auto v = Pattern(seed, len);
    return ipctest::Hex(v.data(), v.size());
}

struct Received {
    int ok;
    uint8_t type;
    uint32_t length;
    std::vector<uint8_t> data;
};

class Messaging : public ::testing::Test {
  protected:
    ipctest::MachineRoot root;
    ipctest::LogCapture& log = ipctest::LogCapture::Get();
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
        processRole = ROLE_SERVER;
    }

    static bool StartAdmin(Child& admin) {
        return admin.Start() && admin.Ask("role admin") == "ok" && admin.Ask("lock") == "locked" &&
               admin.Ask("start") == "started";
    }

    static Received Recv(uint32_t capacity) {
        Received r{0, 0xEE, capacity, std::vector<uint8_t>(capacity + 1)};
        r.ok = IpcRecv(&r.type, r.data.data(), &r.length);
        if (r.ok) r.data.resize(r.length);
        return r;
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
    EXPECT_EQ(r.data, Pattern(3, 256));

    // The admin's message opened the way back: the limit applies there too.
    auto big = Pattern(9, 257);
    size_t mark = log.Mark();
    EXPECT_EQ(IpcSend(IPC_MSG_REFRESH, big.data(), 257), 0);
    EXPECT_TRUE(log.HasSince(mark, "IpcSend: message size too big!"));
    EXPECT_EQ(admin.Ask("recv 300 0"), "recv 0");

    EXPECT_EQ(IpcSend(IPC_MSG_REFRESH, big.data(), 256), 1);
    EXPECT_EQ(admin.Ask("recv 256 2000"), "recv 1 2 256 " + PatternHex(9, 256));

    EXPECT_EQ(admin.Ask("send 5 257 3"), "sent 0");
    EXPECT_EQ(Recv(300).ok, 0);
}

TEST_F(Messaging, UpdateBytesOnTheWireAndTooSmallCapacityDropsTheMessage) {
    StartServer();
    Child admin;
    ASSERT_TRUE(StartAdmin(admin));
    EXPECT_EQ(admin.Ask("send 4 0 0"), "sent 1");
    ASSERT_EQ(Recv(256).type, IPC_MSG_REFRESH_REQUEST);

    // connId little-endian, then port and address in network order.
    uint8_t update[8];
    IpcPackUpdate(update, 0x1234, htons(21), inet_addr("10.0.0.5"));
    EXPECT_EQ(IpcSend(IPC_MSG_UPDATE, update, 8), 1);
    EXPECT_EQ(admin.Ask("recv 256 2000"), "recv 1 6 8 341200150a000005");
    const uint8_t wire[8] = {0x07, 0x00, 0x00, 0x15, 192, 168, 1, 9};
    uint16_t connId = 0, portN = 0;
    uint32_t addrN = 0;
    IpcUnpackUpdate(wire, &connId, &portN, &addrN);
    EXPECT_EQ(connId, 7);
    EXPECT_EQ(ntohs(portN), 21);
    EXPECT_EQ(addrN, inet_addr("192.168.1.9"));

    EXPECT_EQ(admin.Ask("send 6 8 1"), "sent 1");
    EXPECT_EQ(admin.Ask("send 1 0 0"), "sent 1");
    size_t mark = log.Mark();
    uint8_t type = 99, small[4];
    uint32_t capacity = 4;
    EXPECT_EQ(IpcRecv(&type, small, &capacity), 0);
    EXPECT_EQ(type, 99);
    EXPECT_EQ(capacity, 4u);
    EXPECT_TRUE(log.HasSince(mark, "IpcRecv: receiving buffer size too small!"));
    // The dropped message is gone; the next one follows and the slot lives.
    Received next = Recv(256);
    ASSERT_EQ(next.ok, 1);
    EXPECT_EQ(next.type, IPC_MSG_LOGGING_CHANGED);
    EXPECT_EQ(next.length, 0u);
    EXPECT_EQ(Recv(256).ok, 0);
}

struct BadDatagram {
    const char* name;
    std::string hex;
    const char* record;
};

class MalformedDatagram : public Messaging, public ::testing::WithParamInterface<BadDatagram> {};

TEST_P(MalformedDatagram, ClosesTheServerSlotForGood) {
    StartServer();
    Child admin;
    ASSERT_TRUE(StartAdmin(admin));
    size_t mark = log.Mark();
    EXPECT_EQ(admin.Ask("raw server " + GetParam().hex), "raw 1");
    EXPECT_EQ(Recv(256).ok, 0);
    EXPECT_TRUE(log.HasSince(mark, GetParam().record));

    // Nobody reads the server slot any more: writers are told so, and
    // nothing arrives later.
    EXPECT_FALSE(std::filesystem::exists(SlotPath(SERVER_SLOT)));
    EXPECT_EQ(admin.Ask("send 5 0 0"), "sent 0");
    EXPECT_EQ(admin.Ask("raw server 05000000"), "raw 0 2");
    EXPECT_EQ(Recv(256).ok, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, MalformedDatagram,
    ::testing::Values(BadDatagram{"Empty", "", "IpcRecv: message too small, closing slot"},
                      BadDatagram{"ThreeBytes", "050000", "IpcRecv: message too small, closing slot"},
                      BadDatagram{"TwoHundredSixtyOne", "050001" + std::string(516, 'a'),
                                  "IpcRecv: message too big, closing slot"}),
    [](const ::testing::TestParamInfo<BadDatagram>& info) { return info.param.name; });

TEST_F(Messaging, LengthFieldBeyondTheDatagramIsDroppedAndTheSlotStays) {
    StartServer();
    Child admin;
    ASSERT_TRUE(StartAdmin(admin));
    size_t mark = log.Mark();
    // Claims 200 data bytes, carries 10.
    EXPECT_EQ(admin.Ask("raw server 0500c800" + std::string(20, '1')), "raw 1");
    // Claims 257, carries the maximum of 256.
    EXPECT_EQ(admin.Ask("raw server 05000101" + std::string(512, '2')), "raw 1");
    EXPECT_EQ(Recv(256).ok, 0);
    EXPECT_TRUE(log.HasSince(mark, "claims 200 data bytes but carries 10"));
    EXPECT_EQ(Recv(300).ok, 0);
    EXPECT_TRUE(log.HasSince(mark, "claims 257 data bytes but carries 256"));

    EXPECT_TRUE(std::filesystem::exists(SlotPath(SERVER_SLOT)));
    EXPECT_EQ(admin.Ask("send 5 3 2"), "sent 1");
    Received r = Recv(256);
    ASSERT_EQ(r.ok, 1);
    EXPECT_EQ(r.data, Pattern(2, 3));
}

TEST_F(Messaging, ServerReachesAnAdminOnlyAfterItsFirstMessage) {
    StartServer();
    uint8_t update[8];
    IpcPackUpdate(update, 1, htons(2121), inet_addr("127.0.0.1"));
    size_t mark = log.Mark();
    EXPECT_EQ(IpcSend(IPC_MSG_UPDATE, update, 8), 0);
    EXPECT_TRUE(log.NoneSince(mark, "IpcSend"));

    Child admin;
    ASSERT_TRUE(StartAdmin(admin));
    EXPECT_EQ(IpcSend(IPC_MSG_UPDATE, update, 8), 0);
    EXPECT_EQ(admin.Ask("send 4 0 0"), "sent 1");
    ASSERT_EQ(Recv(256).type, IPC_MSG_REFRESH_REQUEST);
    EXPECT_TRUE(log.HasSince(mark, "IpcOpenClientSlot: opened client slot"));
    EXPECT_EQ(IpcSend(IPC_MSG_REFRESH, nullptr, 0), 1);
    EXPECT_EQ(IpcSend(IPC_MSG_UPDATE, update, 8), 1);
    EXPECT_EQ(admin.Ask("recv 256 2000"), "recv 1 2 0 ");
    EXPECT_EQ(admin.Ask("recv 256 2000"), "recv 1 6 8 010008497f000001");

    // Writable by everyone, so that roles under different accounts meet.
    struct stat st;
    ASSERT_EQ(stat(SlotPath(SERVER_SLOT).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    ASSERT_EQ(stat(SlotPath(CLIENT_SLOT).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
}

TEST_F(Messaging, AdminThatQuitIsForgottenAndTheNextOneIsReached) {
    StartServer();
    {
        Child first;
        ASSERT_TRUE(StartAdmin(first));
        EXPECT_EQ(first.Ask("send 4 0 0"), "sent 1");
        ASSERT_EQ(Recv(256).ok, 1);
        EXPECT_EQ(IpcSend(IPC_MSG_REFRESH, nullptr, 0), 1);
        EXPECT_EQ(first.Ask("recv 256 2000"), "recv 1 2 0 ");
        first.Stop();
    }
    size_t mark = log.Mark();
    EXPECT_EQ(IpcSend(IPC_MSG_REFRESH, nullptr, 0), 0);
    EXPECT_TRUE(log.HasSince(mark, "writing to slot"));
    mark = log.Mark();
    EXPECT_EQ(IpcSend(IPC_MSG_REFRESH, nullptr, 0), 0);
    EXPECT_TRUE(log.NoneSince(mark, "IpcSend"));

    Child second;
    ASSERT_TRUE(StartAdmin(second));
    EXPECT_EQ(second.Ask("send 4 0 0"), "sent 1");
    ASSERT_EQ(Recv(256).ok, 1);
    EXPECT_EQ(IpcSend(IPC_MSG_REFRESH, nullptr, 0), 1);
    EXPECT_EQ(second.Ask("recv 256 2000"), "recv 1 2 0 ");
}

TEST_F(Messaging, LeftoverSlotFileIsReplacedOnlyUnderTheRoleLock) {
    // A socket file whose reader has gone.
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = SlotPath(SERVER_SLOT);
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(fd, (sockaddr*)&addr, sizeof addr), 0);
    close(fd);

    processRole = ROLE_SERVER;
    size_t mark = log.Mark();
    IpcStartup();
    EXPECT_TRUE(log.HasSince(mark, "IpcStartup: error 183 creating server slot"));
    IpcShutdown();
    EXPECT_TRUE(std::filesystem::exists(path));

    StartServer();
    EXPECT_TRUE(log.HasSince(mark, "IpcStartup: created server slot"));
    Child admin;
    ASSERT_TRUE(StartAdmin(admin));
    EXPECT_EQ(admin.Ask("send 7 0 0"), "sent 1");
    EXPECT_EQ(Recv(256).type, IPC_MSG_USERS_CHANGED);
}

TEST_F(Messaging, MessagesOfSeveralWritersArriveWholeAndInEachWritersOrder) {
    StartServer();
    constexpr unsigned writers = 3, perWriter = 300;
    Child child[writers];
    for (unsigned w = 0; w < writers; w++) {
        ASSERT_TRUE(child[w].Start());
        ASSERT_EQ(child[w].Ask("role admin"), "ok");
        ASSERT_EQ(child[w].Ask("start"), "started");  // the later ones only write
    }
    for (unsigned w = 0; w < writers; w++) {
        ASSERT_TRUE(child[w].Say("burst " + std::to_string(w + 1) + " " + std::to_string(perWriter)));
    }

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
        unsigned tag = r.data.size() == 256 ? r.data[0] : 0;
        unsigned seq = r.data.size() == 256 ? (unsigned)(r.data[1] | (r.data[2] << 8)) : 0;
        bool whole = r.type == IPC_MSG_USERS_CHANGED && r.length == 256 && tag >= 1 &&
                     tag <= writers && seq == nextSeq[tag];
        for (unsigned k = 3; whole && k < 256; k++) {
            whole = r.data[k] == ipctest::PatternByte(tag * 1000 + seq, k);
        }
        if (!whole) bad++;
        nextSeq[tag] = seq + 1;
    }
    EXPECT_EQ(received, writers * perWriter);
    EXPECT_EQ(bad, 0u);
    for (unsigned w = 0; w < writers; w++) {
        EXPECT_EQ(child[w].ReadLine(10000), "burst " + std::to_string(perWriter));
        EXPECT_EQ(nextSeq[w + 1], perWriter);
    }
}

}  // namespace
