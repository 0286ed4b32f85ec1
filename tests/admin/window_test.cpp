// The main window: its size from the font, the remembered position, the tray
// rules, the status bar, the connections model and the tree that follows it,
// Help and About, and the one shutdown behind every way of closing it.
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFileInfo>
#include <QLabel>
#include <QMenuBar>
#include <QStatusBar>
#include <QTreeWidget>
#include <QUrl>

#include <thread>

#include "admin/about.h"
#include "admin/elided_label.h"
#include "view/connview.h"
#include "admin/help.h"
#include "view/listen_status.h"
#include "admin/mainwindow.h"
#include "admin_fixture.h"
#include "app/startup.h"
#include "server/conn_events.h"
#include "server/sockthread.h"
#include "platform/mainqueue.h"
#include "server/conn.h"
#include "version.h"

namespace {

using Window = AdminTest;

// What the status bar says: a passing message, else its line, whole.
std::string StatusText(MainWindow& window) {
    QString message = window.statusBar()->currentMessage();
    if (message.isEmpty()) message = Find<ElidedLabel>(&window, "statusText")->fullText();
    return message.toStdString();
}

TEST_F(Window, SizeIsTheConnectionsDialogInTheFontsUnitsPlusMenuAndStatusBars) {
    for (int points : {8, 11, 16}) {
        QFont font = QApplication::font();
        font.setPointSize(points);
        QApplication::setFont(font);
        MainWindow window({true, false});
        QFontMetrics metrics(font);
        QSize pane(186 * metrics.averageCharWidth() / 4,
                   105 * metrics.height() / 8); // in dialog units
        QSize expected = pane + QSize(0, window.menuBar()->sizeHint().height() +
                                             window.statusBar()->sizeHint().height());
        EXPECT_EQ(window.size(), expected) << points << " points";
        window.show();
        window.resize(expected * 2);
        EXPECT_EQ(window.size(), expected) << points << " points: the window cannot be resized";
        EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
        EXPECT_TRUE(window.centralWidget()->rect().contains(window.connectionsView()->geometry()))
            << points;
    }
    QApplication::setFont(QFont());
}

// A rectangle as the store keeps it: "left,top,right,bottom", the right and
// bottom sides just outside it.
std::string Text(const QRect& r) {
    return std::to_string(r.left()) + "," + std::to_string(r.top()) + "," +
           std::to_string(r.right() + 1) + "," + std::to_string(r.bottom() + 1);
}

std::string StoredRect() {
    auto side = [](const char* name) {
        return std::to_string(StoreTest::GetDword("Window", name));
    };
    return side("Left") + "," + side("Top") + "," + side("Right") + "," + side("Bottom");
}

// Every way of closing runs the one shutdown once; the close also writes a
// position that has not rested long enough to be saved yet.
TEST_F(Window, PositionIsRestoredAndSavedInTheServerRoleOnlyAndClosingShutsDownOnce) {
    for (bool server : {false, true}) {
        processRole = server ? ROLE_SERVER : ROLE_ADMIN;
        windowRect = {120, 90, 120 + 900, 90 + 700}; // saved by a window of another size
        MainWindow window({server, false});
        int shutdowns = 0;
        window.setOnClose([&] { shutdowns++; });
        QSize computed = window.size();
        window.showAtStart();
        EXPECT_EQ(window.size(), computed);
        EXPECT_EQ(window.frameGeometry().topLeft() == QPoint(120, 90), server)
            << "only the server's opens there";
        for (int step = 1; step <= 5; step++)
            window.move(40 + 10 * step, 30 + 5 * step); // one drag
        auto frame = [&] { return Text(window.frameGeometry()); };
        EXPECT_TRUE(!server || SpinUntil([&] { return StoredRect() == frame(); }))
            << "stored once the window rests: " << StoredRect() << ", window " << frame();
        window.findChild<QAction*>("exitAction")->trigger();
        QCloseEvent again; // as the window system's close would send it
        QApplication::sendEvent(&window, &again);
        EXPECT_EQ(shutdowns, 1);
        EXPECT_EQ(StoredRect(), server ? frame() : "-1,-1,-1,-1")
            << "the admin role never stores its position";
    }
}

std::string State(const MainWindow& w) {
    return !w.isVisible() ? "hidden" : w.isMinimized() ? "minimized" : "shown";
}

TEST_F(Window, TrayRules) {
    const struct {
        const char* name;
        bool server, tray, hideInitially, hideWhenMinimized;
        const char* afterStart;    // "shown", "hidden", "minimized"
        const char* afterMinimize; // from shown
    } cases[] = {
        {"server, tray, hide initially", true, true, true, false, "hidden", "minimized"},
        {"server, no tray: never hidden, minimized instead", true, false, true, true, "minimized",
         "minimized"},
        {"server, tray, hide when minimized", true, true, false, true, "shown", "hidden"},
        {"server, tray, switches off", true, true, false, false, "shown", "minimized"},
        {"admin never hides", false, true, true, true, "shown", "minimized"},
    };
    for (const auto& c : cases) {
        processRole = c.server ? ROLE_SERVER : ROLE_ADMIN;
        displaySettings = {c.hideInitially, c.hideWhenMinimized};
        MainWindow window({c.server, c.tray});
        EXPECT_EQ(window.trayIcon() != nullptr, c.server && c.tray) << c.name;
        window.showAtStart();
        QApplication::processEvents();
        EXPECT_EQ(State(window), c.afterStart) << c.name;

        window.showNormal();
        window.trayActivated(QSystemTrayIcon::Trigger); // a click brings a hidden window back
        if (window.hiddenInTray()) window.trayActivated(QSystemTrayIcon::Trigger);
        ASSERT_TRUE(SpinUntil([&] { return State(window) == "shown"; })) << c.name;
        window.showMinimized();
        EXPECT_TRUE(SpinUntil([&] { return State(window) == c.afterMinimize; }))
            << c.name << ": " << State(window);
        if (State(window) == "hidden") {
            window.trayActivated(QSystemTrayIcon::DoubleClick); // only a left click counts
            EXPECT_EQ(State(window), "hidden") << c.name;
            window.trayActivated(QSystemTrayIcon::Trigger);
            EXPECT_TRUE(SpinUntil([&] { return State(window) == "shown"; })) << c.name;
        }
    }
}

TEST_F(Window, StatusBarSaysReadyAfterEveryRepaint) {
    MainWindow window({true, false});
    window.show();
    window.statusBar()->showMessage("Busy");
    window.update();
    EXPECT_TRUE(SpinUntil([&] { return StatusText(window) == "Ready"; }));
    EXPECT_EQ(Find<QLabel>(&window, "connectionsCaption")->text(), "Active Connections");
}

// Why the server does not listen stays in the status bar, over repaints,
// until it listens again: in the server role from its own listener, in the
// admin role from the server's message (printable text only).
using ListenStatusWindow = UsersTest;
TEST_F(ListenStatusWindow, StatusBarSaysWhyTheServerDoesNotListenUntilItDoes) {
    MainWindow window({true, false});
    window.show();
    auto status = [&] { return StatusText(window); };
    auto shows = [&](const std::string& text) {
        window.update(); // a repaint must not put "Ready" back
        return SpinUntil([&] {
            MainQueueDrain();
            return status() == text;
        });
    };
    InstallConnEvents(false);
    uint16_t busy = 0;
    int holder = bxtest::Listen(&busy, "0.0.0.0");
    ASSERT_GE(holder, 0);
    std::string inUse =
        "Not listening on port " + std::to_string(busy) + ": the port is in use by another program";
    SockSend(SOCK_MSG_LISTEN, busy, 1);
    EXPECT_TRUE(shows(inUse)) << status();
    // Too long for the narrow window: cut with "...", whole in the tooltip.
    auto* line = Find<ElidedLabel>(&window, "statusText");
    EXPECT_TRUE(line->text().endsWith(QChar(0x2026))) << line->text().toStdString();
    EXPECT_TRUE(inUse.starts_with(line->text().chopped(1).toStdString()));
    EXPECT_EQ(line->toolTip().toStdString(), inUse);
    SockSend(SOCK_MSG_LISTEN, busy, 0);
    EXPECT_TRUE(shows("Not listening: the server is switched off (System Enable 0)")) << status();
    close(holder);
    SockSend(SOCK_MSG_LISTEN, busy, 1);
    EXPECT_TRUE(shows("Ready")) << status();
    connEvents = {};

    AdminRole();
    int slot = SlotOpen("\\\\.\\mailslot\\Quennel\\Brindlex\\Client");
    ASSERT_GE(slot, 0);
    const struct {
        std::string data, expected;
    } messages[] = {
        {inUse, inUse},
        {"", "Ready"},
        {"Not listening on port 21: permission denied",
         "Not listening on port 21: permission denied"},
        {"bad\x1b[2J", "Not listening on port 21: permission denied"}, // dropped
    };
    for (const auto& m : messages) {
        std::string datagram =
            std::string{(char)IPC_MSG_LISTEN_STATUS, 0, (char)m.data.size(), 0} + m.data;
        uint32_t written = 0;
        ASSERT_TRUE(SlotWrite(slot, datagram.data(), (uint32_t)datagram.size(), &written));
        TimerProc();
        EXPECT_TRUE(shows(m.expected)) << m.data << ": " << status();
    }
    SlotClose(slot);
    ListenStatusSet("");
}

using ConnView = AdminTest;

// The tree's lines, each followed by a blank.
std::string Tree(MainWindow& window) {
    std::string s;
    QTreeWidget* tree = window.connectionsView();
    for (int i = 0; i < tree->topLevelItemCount(); i++)
        s += tree->topLevelItem(i)->text(0).toStdString() + " ";
    return s;
}

// Changes posted from another thread reach the model, and so the window's
// tree, only through the main thread's queue, in posting order.
TEST_F(ConnView, PostedChangesWaitForTheDrainAndTheTreeFollowsInOrder) {
    ConnViewEnable(true);
    ConnViewClear();
    MainWindow window({true, false});
    ConnRecord record = {1, NetAddressIpv4(10, 0, 0, 1, 1024)};
    ConnViewPostInsert(record);
    record = {2, NetAddressIpv4(10, 0, 0, 2, 1025)}; // the poster reuses its record at once
    ConnViewPostInsert(record);
    ConnViewPostInsert({1, NetAddressIpv4(10, 0, 0, 9, 21)});
    NetAddress v6 = {};
    ASSERT_EQ(NetAddressParse("2001:db8::3", NET_FAMILY_IPV6, &v6), 1);
    v6.port = 1026;
    ConnViewPostInsert({65539, v6}); // numbers go past 16 bits
    ConnViewPostInsert({70000, NetAddressIpv4(10, 0, 0, 7, 7)});
    ConnViewPostDelete(1);         // the first item carrying 1
    ConnViewPostDelete(9);         // none: nothing changes
    ConnViewPostDelete(65536 + 2); // none: 2 is another number
    ConnViewPostDelete(70000);
    EXPECT_EQ(Tree(window), "");
    EXPECT_EQ(MainQueueDrain(), 9);
    EXPECT_EQ(Tree(window), "10.0.0.2:1025 10.0.0.9:21 [2001:db8::3]:1026 ");

    // Disconnect hands the window's hook the whole number.
    static uint32_t hooked = 0;
    SetDisconnectHook([](uint32_t connId, uint16_t, int64_t) { hooked = connId; });
    window.connectionsView()->topLevelItem(2)->setSelected(true);
    window.disconnectAction()->trigger();
    EXPECT_EQ(hooked, 65539u);
    SetDisconnectHook(nullptr);

    ConnViewEnable(false); // the service role has no view
    ConnViewPostInsert({4, NetAddressIpv4(10, 0, 0, 4)});
    ConnViewInsert({5, NetAddressIpv4(10, 0, 0, 5)});
    MainQueueDrain();
    ConnViewEnable(true);
    EXPECT_EQ(Tree(window), "10.0.0.2:1025 10.0.0.9:21 [2001:db8::3]:1026 ");
    ConnViewClear();
    EXPECT_EQ(Tree(window), "");
}

TEST_F(ConnView, AnotherThreadPostsWhileTheMainThreadDrains) {
    ConnViewEnable(true);
    ConnViewClear();
    constexpr int count = 2000;
    std::thread poster([] {
        for (int i = 0; i < count; i++)
            ConnViewPostInsert({(uint32_t)i, NetAddressIpv4(127, 0, 0, 1, 21)});
        for (int i = 0; i < count; i += 2)
            ConnViewPostDelete((uint32_t)i);
    });
    int applied = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (applied < count + count / 2 && std::chrono::steady_clock::now() < deadline)
        applied += MainQueueDrain();
    poster.join();
    auto items = ConnViewItems();
    ASSERT_EQ(items.size(), (size_t)count / 2);
    for (size_t i = 0; i < items.size(); i++)
        EXPECT_EQ(items[i].connId, 2 * i + 1);
}

struct UrlCatcher : QObject {
    Q_OBJECT
  public:
    std::vector<QUrl> opened;
  public slots:
    void open(const QUrl& url) { opened.push_back(url); }
};

TEST_F(Window, HelpOpensTheShippedPageAndTheOnlineAddressAboutShowsTheVersion) {
    UrlCatcher catcher;
    for (const char* scheme : {"file", "https"})
        QDesktopServices::setUrlHandler(scheme, &catcher, "open");
    MainWindow window({true, false});
    window.helpTopics();
    window.onlineHelp();
    for (const char* scheme : {"file", "https"})
        QDesktopServices::unsetUrlHandler(scheme);
    ASSERT_EQ(catcher.opened.size(), 2u) << "the build tree holds the help page beside bin/";
    EXPECT_TRUE(QFileInfo(catcher.opened[0].toLocalFile()).isFile());
    EXPECT_EQ(catcher.opened[1], QUrl(kOnlineHelpUrl));
    // With nothing to show the page (no handler, no browser on an offscreen
    // display), Help Topics says so and names the page.
    window.helpTopics();
    EXPECT_NE(shown.find("Brindlex|No web browser was found to show the help page " +
                         HelpPagePath().toStdString()),
              std::string::npos)
        << shown;

    AboutDialog about(&window);
    EXPECT_EQ(about.windowTitle(), "About Brindlex");
    EXPECT_EQ(Find<QLabel>(&about, "aboutVersion")->text(), BRINDLEX_VERSION_CAPTION);
    EXPECT_FALSE(Find<QLabel>(&about, "aboutPicture")->pixmap().isNull());
}

} // namespace

#include "window_test.moc"
