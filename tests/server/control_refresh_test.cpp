// Connection notifications to an admin: what the accept, the close and a
// refresh send through the client slot, read back from a slot the test makes.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <vector>

#include "ftp_fixture.h"
#include "ipc/ipc.h"
#include "ipc/role.h"
#include "app/startup.h"
#include "server/conn_events.h"
#include "platform/slot.h"
#include "server/sockthread.h"

namespace {

struct Update {
    uint8_t type;
    uint16_t connId;
    uint16_t portN;
    uint32_t addrN;
    bool operator==(const Update&) const = default;
};

class ControlRefresh : public FtpFixture {
protected:
    void SetUp() override {
        FtpFixture::SetUp();
        processRole = ROLE_SERVER;
        reader = SlotCreate("\\\\.\\mailslot\\Quennel\\Brindlex\\Client", 0, 1);
        ASSERT_GE(reader, 0) << SlotLastError();
        IpcOpenClientSlot();
        InstallConnEvents(false);
    }
    void TearDown() override {
        FtpFixture::TearDown();  // connections close while the slot is still there
        IpcShutdown();
        SlotClose(reader);
        connEvents = {};
    }
    // Reads messages until count have arrived (bounded).
    std::vector<Update> Read(size_t count) {
        std::vector<Update> got;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            uint8_t message[IPC_MESSAGE_MAX];
            uint32_t read = 0, next = 0, waiting = 0;
            if (!SlotInfo(reader, &next, &waiting) || waiting == 0 ||
                !SlotRead(reader, message, sizeof message, &read)) {
                poll(nullptr, 0, 10);
                continue;
            }
            Update u = {message[0], 0, 0, 0};
            if (read >= IPC_HEADER_SIZE + 8) IpcUnpackUpdate(message + IPC_HEADER_SIZE, &u.connId, &u.portN, &u.addrN);
            got.push_back(u);
        }
        return got;
    }
    static uint16_t LocalPortN(const FtpClient& c) {
        sockaddr_in sa = {};
        socklen_t len = sizeof sa;
        getsockname(c.Fd(), (sockaddr*)&sa, &len);
        return sa.sin_port;
    }
    int reader = -1;
};

TEST_F(ControlRefresh, RefreshReportsLiveConnectionsInSlotOrder) {
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    FtpClient c[3];
    for (FtpClient& client : c) {
        ASSERT_TRUE(client.Connect(Port()));
        ASSERT_EQ(client.ReadReply().substr(0, 4), "220 ");
    }
    uint16_t port1 = LocalPortN(c[1]);
    c[1].Close();
    ASSERT_TRUE(WaitForLog("ConnClose(1) Closing control socket."));
    SockPost(SOCK_MSG_REFRESH, 0, 0);

    std::vector<Update> expected = {
        {IPC_MSG_UPDATE, 0, LocalPortN(c[0]), loopback},
        {IPC_MSG_UPDATE, 1, port1, loopback},
        {IPC_MSG_UPDATE, 2, LocalPortN(c[2]), loopback},
        {IPC_MSG_UPDATE, 1, 0, 0xFFFFFFFF},  // gone
        {IPC_MSG_REFRESH, 0, 0, 0},
        {IPC_MSG_UPDATE, 0, LocalPortN(c[0]), loopback},
        {IPC_MSG_UPDATE, 2, LocalPortN(c[2]), loopback},
    };
    std::vector<Update> got = Read(expected.size());
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < expected.size(); i++) {
        EXPECT_EQ(got[i].type, expected[i].type) << i;
        EXPECT_EQ(got[i].connId, expected[i].connId) << i;
        EXPECT_EQ(got[i].portN, expected[i].portN) << i;
        EXPECT_EQ(got[i].addrN, expected[i].addrN) << i;
    }
}

}  // namespace
