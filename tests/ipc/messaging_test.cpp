// Messages between a server (this test process) and admins (slot helper
// processes): sizes at the limits, bad datagrams, when the server may write
// back, leftover slot files, and several writers at once. What the server's
// messages carry is shown by the control channel and black-box timer tests.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "ipc/ipc.h"
#include "ipc/role.h"
#include "platform/rolelock.h"
#include "platform/slot.h"
#include "tests/ipc/ipc_test_support.h"

namespace {

using namespace ipctest;

const char SERVER_SLOT[] = "\\\\.\\mailslot\\Quennel\\Brindlex\\Server";
const char CLIENT_SLOT[] = "\\\\.\\mailslot\\Quennel\\Brindlex\\Client";

class Messaging : public ::testing::Test {
  protected:
    MachineRoot root;
    int serverLock = -1;

    void SetUp() override { StartServer(); }
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

TEST_F(Messaging, SizesUpToTheLimitTravelWholeBothWaysAndLargerAreRefused) {
    Child admin;
    ASSERT_TRUE(StartRole(admin, "admin"));
    EXPECT_EQ(admin.Ask("send 5 256 3"), "sent 1");
    EXPECT_EQ(admin.Ask("send 6 8 1"), "sent 1");
    EXPECT_EQ(admin.Ask("send 1 0 0"), "sent 1");
    EXPECT_EQ(admin.Ask("send 5 257 3"), "sent 0");
    EXPECT_EQ(RecvText(256), "recv 1 5 256 " + Hex(Pattern(3, 256)));
    // A buffer too small drops the message and leaves type and capacity as
    // they were; the next message follows.
    uint8_t type = 99, small[4];
    uint32_t capacity = 4;
    EXPECT_EQ(IpcRecv(&type, small, &capacity), 0);
    EXPECT_EQ(type, 99);
    EXPECT_EQ(capacity, 4u);
    EXPECT_EQ(RecvText(256), "recv 1 1 0 ");
    EXPECT_EQ(RecvText(300), "recv 0");

    // The admin's message opened the way back; the limit holds there too.
    std::vector<uint8_t> big = Pattern(9, 257);
    EXPECT_EQ(IpcSend(IPC_MSG_REFRESH, big.data(), 257), 0);
    EXPECT_EQ(admin.Ask("recv 300 0"), "recv 0");
    EXPECT_EQ(IpcSend(IPC_MSG_REFRESH, big.data(), 256), 1);
    EXPECT_EQ(admin.Ask("recv 256 2000"), "recv 1 2 256 " + Hex(Pattern(9, 256)));
}

// Any local user may write to the slot: a datagram too short for a header,
// longer than any message, or with a length field beyond the datagram is
// dropped, and the slot stays to deliver the next message. So does a burst
// of them, and the good message behind it comes with the same read.
TEST_F(Messaging, BadDatagramsAreDroppedAndTheSlotStays) {
    const std::string rows[] = {
        "",
        "050000",
        "050001" + std::string(516, 'a'),   // 261 bytes
        "0500c800" + std::string(20, '1'),  // 200 of 10
        "05000101" + std::string(512, '2'), // 257 of 256
    };
    Child writer;
    ASSERT_TRUE(writer.Start());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.substr(0, 12));
        EXPECT_EQ(writer.Ask("raw server " + row), "raw 1");
        EXPECT_EQ(RecvText(300), "recv 0");
        EXPECT_TRUE(std::filesystem::exists(SlotPath(SERVER_SLOT)));
        EXPECT_EQ(writer.Ask("raw server 05000100ab"), "raw 1");
        EXPECT_EQ(RecvText(256), "recv 1 5 1 ab");
    }
    for (int i = 0; i < 40; i++)
        EXPECT_EQ(writer.Ask("raw server " + rows[i % 5]), "raw 1");
    EXPECT_EQ(writer.Ask("raw server 07000100cd"), "raw 1");
    EXPECT_EQ(RecvText(256), "recv 1 7 1 cd");
}

TEST_F(Messaging, ServerReachesEachAdminOnlyAfterItsFirstMessage) {
    for (int round = 0; round < 2; round++) {
        Child admin;
        ASSERT_TRUE(StartRole(admin, "admin"));
        EXPECT_EQ(IpcSend(IPC_MSG_REFRESH, nullptr, 0), 0) << "before the admin spoke";
        EXPECT_EQ(admin.Ask("send 4 0 0"), "sent 1");
        EXPECT_EQ(RecvText(256), "recv 1 4 0 ");
        EXPECT_EQ(IpcSend(IPC_MSG_REFRESH, nullptr, 0), 1);
        EXPECT_EQ(admin.Ask("recv 256 2000"), "recv 1 2 0 ");
        // Writable by everyone, so that roles under different accounts meet.
        for (const char* slot : {SERVER_SLOT, CLIENT_SLOT}) {
            struct stat st = {};
            EXPECT_EQ(stat(SlotPath(slot).c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0666u) << slot;
        }
        admin.Stop();
        // The admin has gone: sends fail until the next admin speaks.
        EXPECT_EQ(IpcSend(IPC_MSG_REFRESH, nullptr, 0), 0);
    }
}

TEST_F(Messaging, LeftoverSlotFileIsReplacedOnlyUnderTheRoleLock) {
    IpcShutdown(); // no server runs yet
    RoleLockRelease(serverLock);
    Child crashed; // a server killed without the lock leaves its slot file
    ASSERT_TRUE(crashed.Start());
    ASSERT_EQ(crashed.Ask("role server"), "ok");
    ASSERT_EQ(crashed.Ask("start"), "started");
    crashed.Stop(true);
    ASSERT_TRUE(std::filesystem::exists(SlotPath(SERVER_SLOT)));

    processRole = ROLE_SERVER;
    IpcStartup(); // without the lock: the file stays, nobody reads it
    Child early, admin;
    ASSERT_TRUE(StartRole(early, "admin"));
    EXPECT_EQ(early.Ask("send 7 0 0"), "sent 0");
    early.Stop();
    IpcShutdown();
    StartServer();
    ASSERT_TRUE(StartRole(admin, "admin"));
    EXPECT_EQ(admin.Ask("send 7 0 0"), "sent 1");
    EXPECT_EQ(RecvText(256), "recv 1 7 0 ");
}

// Far more messages than the kernel queues on one socket, from three
// processes at once, while the reader takes none: every message is kept,
// whole and in its writer's order.
TEST_F(Messaging, SeveralWritersToAnIdleReaderLoseNothing) {
    constexpr unsigned writers = 3, perWriter = 300;
    Child child[writers];
    for (unsigned w = 0; w < writers; w++) {
        ASSERT_TRUE(child[w].Start());
        ASSERT_EQ(child[w].Ask("role admin"), "ok");
        ASSERT_EQ(child[w].Ask("start"), "started"); // the later ones only write
        ASSERT_TRUE(
            child[w].Say("burst " + std::to_string(w + 1) + " " + std::to_string(perWriter)));
    }
    for (Child& c : child)
        ASSERT_EQ(c.ReadLine(30000), "burst " + std::to_string(perWriter));
    std::map<unsigned, unsigned> next;
    for (unsigned n = 0; n < writers * perWriter; n++) {
        std::string got = RecvText(256);
        unsigned tag = got.size() > 15 ? std::stoul(got.substr(13, 2), nullptr, 16) : 0;
        ASSERT_EQ(got, "recv 1 7 256 " + Hex(BurstMessage(tag, next[tag]++))) << "message " << n;
    }
    EXPECT_EQ(RecvText(256), "recv 0");
}

} // namespace
