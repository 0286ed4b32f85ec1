// View > Details and Disconnect: the columns and the summary follow the real
// engine (an idle client, a login, a download and an upload under way), a
// password never shows, the disconnect from the server's window ends the
// client's session with 421 and keeps a partial upload; the admin role shows
// the server's details messages, drops malformed ones, and asks the server.
#include <QAction>
#include <QLabel>
#include <QTreeWidget>

#include <filesystem>

#include "admin/mainwindow.h"
#include "admin_fixture.h"
#include "app/details.h"
#include "app/startup.h"
#include "ipc/ipc_details.h"
#include "platform/mainqueue.h"
#include "server/conn_events.h"
#include "view/connview.h"

namespace {

class Details : public UsersTest {
  protected:
    void SetUp() override {
        UsersTest::SetUp();
        QuietTrace();
        ConnViewEnable(true);
        ConnViewClear();
        displaySettings.details = 0; // as a new install starts
    }
    void TearDown() override {
        connEvents = {};
        ConnViewClear();
        UsersTest::TearDown();
    }
    // Columns 1, 3 and 4 of each row (account, command, transfer) with
    // "|" between them, rows by address order of connection.
    static std::string Rows(MainWindow& w) {
        std::string s;
        QTreeWidget* tree = w.connectionsView();
        for (int i = 0; i < tree->topLevelItemCount(); i++) {
            QTreeWidgetItem* item = tree->topLevelItem(i);
            s += item->text(1).toStdString() + "|" + item->text(3).toStdString() + "|" +
                 item->text(4).toStdString() + "\n";
        }
        return s;
    }
    // Ticks the program's timer and drains its queue until rows() holds.
    template <typename Cond> bool Sample(Cond cond) {
        return SpinUntil(
            [&] {
                TimerProc();
                MainQueueDrain();
                return cond();
            },
            10000);
    }
};

TEST_F(Details, ColumnsAndSummaryFollowTheEngineAndDisconnectEndsTheSession) {
    for (const char* name : {"alice", "bob", "carol"})
        AddUser(name, "secret-pw");
    WriteRootFile("big.bin", std::string(8 << 20, 'x'));
    InstallConnEvents(true);
    MainWindow window({true, false});
    SetDisconnectHook(DisconnectFromServerWindow);
    window.detailsAction()->trigger();
    EXPECT_EQ(StoreTest::GetDword("Display", "Details"), 1) << "kept for the next start";

    FtpClient idle, logged, down, up;
    ASSERT_TRUE(idle.ConnectGreeted(Port()));
    ASSERT_TRUE(logged.ConnectGreeted(Port()) && logged.Login("alice", "secret-pw"));
    ASSERT_TRUE(down.ConnectGreeted(Port()) && down.Login("bob", "secret-pw"));
    ASSERT_EQ(down.Command("TYPE I").substr(0, 3), "200");
    int downData = ConnectPassive(down.Command("PASV"));
    ASSERT_GE(downData, 0);
    ASSERT_EQ(down.Command("RETR big.bin")[0], '1'); // and nobody reads it
    ASSERT_TRUE(up.ConnectGreeted(Port()) && up.Login("carol", "secret-pw"));
    int upData = ConnectPassive(up.Command("PASV"));
    ASSERT_GE(upData, 0);
    ASSERT_EQ(up.Command("STOR part.bin")[0], '1');
    ASSERT_TRUE(WriteAll(upData, std::string(100000, 'u')));

    auto rows = [&] { return Rows(window); };
    bool matched = Sample([&] {
        std::string r = rows();
        return r.find("(not logged in)||\n") == 0 && r.find("alice|PASS|\n") != std::string::npos &&
               r.find("bob|RETR big.bin|down /big.bin, ") != std::string::npos &&
               r.find(" of 8.0 MB\n") != std::string::npos &&
               r.find("carol|STOR part.bin|up /part.bin, 97.7 KB\n") != std::string::npos;
    });
    EXPECT_TRUE(matched) << rows();
    EXPECT_EQ(rows().find("secret-pw"), std::string::npos) << "a password never shows";
    EXPECT_EQ(window.summaryLabel()->text().toStdString().rfind(
                  "4 connections, 3 logged in, 2 transfers, ", 0),
              0u)
        << window.summaryLabel()->text().toStdString();

    // One selected: ended without asking. The upload is aborted, its part kept.
    QTreeWidget* tree = window.connectionsView();
    tree->clearSelection();
    tree->topLevelItem(3)->setSelected(true);
    window.disconnectAction()->trigger();
    EXPECT_EQ(up.ReadReply(), "426 Connection closed; transfer aborted.\r\n");
    EXPECT_EQ(up.ReadReply(),
              "421 Disconnected by the administrator; closing control connection.\r\n");
    EXPECT_TRUE(up.WaitForEof());
    EXPECT_EQ(bxtest::ReadFile(Root("part.bin")).size(), 100000u) << "the partial upload stays";
    EXPECT_EQ(shown, "");
    EXPECT_NE(LogText().find("Disconnecting 127.0.0.1:"), std::string::npos);
    EXPECT_NE(LogText().find("(carol) at the request of the server's window"), std::string::npos);

    // Several: asked first; "No" ends nothing, "Yes" ends both.
    ASSERT_TRUE(SpinUntil([&] { return MainQueueDrain(), tree->topLevelItemCount() == 3; }));
    tree->clearSelection();
    tree->topLevelItem(0)->setSelected(true);
    tree->topLevelItem(1)->setSelected(true);
    for (auto answerWith : {QMessageBox::No, QMessageBox::Yes}) {
        answer = answerWith;
        shown.clear();
        window.disconnectAction()->trigger();
        EXPECT_EQ(shown, "Brindlex|Disconnect the 2 selected connections?|dialog|icon 4");
    }
    for (FtpClient* c : {&idle, &logged}) {
        EXPECT_EQ(c->ReadReply().substr(0, 4), "421 ");
        EXPECT_TRUE(c->WaitForEof());
    }
    EXPECT_TRUE(SpinUntil([&] { return MainQueueDrain(), tree->topLevelItemCount() == 1; }));
    EXPECT_EQ(LiveConnections(), 1) << "the download's session goes on";
    close(downData);
    close(upData);
    SetDisconnectHook(nullptr);
}

// The admin role: details arrive as datagrams in its slot; a malformed one
// or one for a connection it does not list changes nothing; while its view
// is shown it asks the server every tick; Disconnect goes to the server.
TEST_F(Details, AdminShowsTheServersDetailsAndAsksTheServer) {
    AdminRole();
    int slot = SlotOpen("\\\\.\\mailslot\\Quennel\\Brindlex\\Client");
    ASSERT_GE(slot, 0);
    // A number past 16 bits: its details come in records of kind 2 and its
    // disconnect is the longer message.
    ConnViewInsert({65543, NetAddressIpv4(10, 0, 0, 7, 4021)});
    MainWindow window({false, false});
    window.detailsAction()->trigger();

    ConnRecord r = {65543, NetAddressIpv4(10, 0, 0, 7, 4021)};
    snprintf(r.account, sizeof r.account, "dave");
    snprintf(r.command, sizeof r.command, "RETR");
    snprintf(r.argument, sizeof r.argument, "a.iso");
    snprintf(r.file, sizeof r.file, "/a.iso");
    r.direction = CONN_XFER_DOWN;
    r.bytes = 3 << 20;
    r.total = 6 << 20;
    r.rate = 1 << 20;
    r.connectedSinceMs = 1700000000000;
    ConnRecord other = r, wrongPort = r;
    other.connId = 7;          // the same low 16 bits: another connection
    wrongPort.client.port = 1; // an earlier connection in the same slot
    auto send = [&](const uint8_t* data, uint32_t length) {
        std::string datagram = std::string{(char)IPC_MSG_DETAILS, 0, (char)length, 0} +
                               std::string((const char*)data, length);
        uint32_t written = 0;
        ASSERT_TRUE(SlotWrite(slot, datagram.data(), (uint32_t)datagram.size(), &written));
    };
    uint8_t data[IPC_DATA_MAX];
    for (const ConnRecord* record : {&wrongPort, &other}) {
        size_t next = 0;
        send(data, IpcPackDetails(record, 1, &next, data));
    }
    size_t next = 0;
    uint32_t length = IpcPackDetails(&r, 1, &next, data);
    send(data, length - 1); // cut short: dropped
    TimerProc();
    EXPECT_EQ(Rows(window), "||\n");
    EXPECT_EQ(Sent(), "10/4 ") << "the admin asks while its view is shown";

    send(data, length);
    send(data, IpcPackSummary({12, 9, 3, 5 << 20}, data));
    TimerProc();
    EXPECT_EQ(Rows(window), "dave|RETR a.iso|down /a.iso, 3.0 MB of 6.0 MB\n");
    EXPECT_EQ(window.connectionsView()->topLevelItem(0)->text(5), "1.0 MB/s");
    EXPECT_EQ(window.summaryLabel()->text(), "12 connections, 9 logged in, 3 transfers, 5.0 MB/s");
    Sent();

    window.connectionsView()->topLevelItem(0)->setSelected(true);
    window.disconnectAction()->trigger();
    EXPECT_EQ(Sent(), "12/18 ");

    window.detailsAction()->trigger(); // off: the plain list, and no more asking
    TimerProc();
    EXPECT_EQ(Sent(), "");
    EXPECT_EQ(window.connectionsView()->topLevelItem(0)->text(0), "10.0.0.7:4021");
    EXPECT_TRUE(window.connectionsView()->isHeaderHidden());
    SlotClose(slot);
}

} // namespace
