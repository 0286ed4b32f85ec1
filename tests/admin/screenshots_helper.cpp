// Pictures of the window for the README and for looking at: the main window
// listing three connections (and not listening), every page of the
// property sheet, the message editor and the About box, as PNG files in the
// directory given. Run on a display (scripts/screenshots.sh uses xvfb-run)
// with BRINDLEX_ROOT set to a directory of its own.
#include <QApplication>
#include <QMenu>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabWidget>
#include <QTreeWidget>
#include <chrono>
#include <cstdio>
#include <string>

#include "platform/mainqueue.h"
#include "admin/about.h"
#include "view/connview.h"
#include "view/listen_status.h"
#include "admin/mainwindow.h"
#include "admin/sheet.h"
#include "admin/text_dialog.h"
#include "config/config.h"
#include "config/users.h"
#include "ipc/role.h"
#include "server/conn.h"
#include "tests/test_support.h"
#include "version.h"

namespace {
std::string outDir;

bool SavePixmap(const QPixmap& picture, const char* name) {
    std::string path = outDir + "/" + name + ".png";
    bool ok = picture.save(QString::fromStdString(path));
    printf("%s %s\n", ok ? "wrote" : "FAILED", path.c_str());
    return ok;
}

bool Save(QWidget* widget, const char* name);

// The details view with an upload, a download, an idle session and a client
// not logged in yet, then its context menu over the upload. Failures.
int Details() {
    ConnViewClear();
    int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
    struct Row {
        uint16_t id;
        NetAddress client;
        const char *account, *command, *argument, *file;
        uint8_t direction;
        uint64_t bytes, total;
        uint32_t rate;
        int64_t ago; // seconds connected
    } rows[] = {
        {1, NetAddressIpv4(192, 0, 2, 17, 50412), "alice", "STOR", "incoming/site-backup.tar",
         "/incoming/site-backup.tar", CONN_XFER_UP, 734003200, CONN_TOTAL_UNKNOWN, 11744051, 95},
        {2, NetAddressIpv4(198, 51, 100, 4, 61022), "anonymous", "RETR", "pub/debian-12.iso",
         "/pub/debian-12.iso", CONN_XFER_DOWN, 1288490188, 3992977408, 24326963, 480},
        {3, NetAddressIpv4(203, 0, 113, 80, 49733), "bob", "LIST", "", "", CONN_XFER_NONE, 0, 0, 0,
         1260},
        {4, NetAddressIpv4(203, 0, 113, 9, 40112), "", "USER", "carol", "", CONN_XFER_NONE, 0, 0, 0,
         3},
    };
    std::vector<ConnRecord> records;
    for (const Row& row : rows) {
        ConnRecord r = {row.id, row.client};
        ConnViewInsert(r);
        r.hasDetails = 1;
        snprintf(r.account, sizeof r.account, "%s", row.account);
        snprintf(r.command, sizeof r.command, "%s", row.command);
        snprintf(r.argument, sizeof r.argument, "%s", row.argument);
        snprintf(r.file, sizeof r.file, "%s", row.file);
        r.direction = row.direction;
        r.bytes = row.bytes;
        r.total = row.total;
        r.rate = row.rate;
        r.connectedSinceMs = now - row.ago * 1000;
        records.push_back(r);
    }
    displaySettings.details = 1;
    MainWindow window({true, false});
    ConnViewSetDetails(records.data(), records.size());
    ConnViewSetSummary({4, 3, 2, 36071014});
    int failures = !Save(&window, "details_view");

    // The menu is a window of its own: the screen shows both.
    QTreeWidget* tree = window.connectionsView();
    tree->topLevelItem(0)->setSelected(true);
    QRect row = tree->visualItemRect(tree->topLevelItem(0));
    QPoint at = tree->viewport()->mapToGlobal(row.center() - QPoint(row.width() / 4, 0));
    window.connectionMenu()->popup(at);
    for (int i = 0; i < 20; i++)
        QApplication::processEvents();
    QRect area = window.frameGeometry().united(window.connectionMenu()->geometry());
    failures += !SavePixmap(QApplication::primaryScreen()->grabWindow(0, area.x(), area.y(),
                                                                      area.width(), area.height()),
                            "context_menu");
    window.connectionMenu()->hide();
    displaySettings.details = 0;
    return failures;
}

bool Save(QWidget* widget, const char* name) {
    widget->show();
    QApplication::processEvents();
    std::string path = outDir + "/" + name + ".png";
    bool ok = widget->grab().save(QString::fromStdString(path));
    printf("%s %s\n", ok ? "wrote" : "FAILED", path.c_str());
    return ok;
}
} // namespace

int main(int argc, char** argv) {
    if (argc != 2 || !getenv("BRINDLEX_ROOT")) {
        fprintf(stderr, "usage: BRINDLEX_ROOT=DIR screenshots_helper OUTDIR\n");
        return 2;
    }
    outDir = argv[1];
    QApplication app(argc, argv);
    processRole = ROLE_SERVER;
    bxtest::TempDir work("bx-shots");
    snprintf(workDir, sizeof workDir, "%s", work.path.c_str());
    bxtest::WriteFile(work.path + "/welcome.txt",
                      "Welcome to the team's file exchange.\r\nUploads go to /incoming.\r\n");
    for (auto [name, root] : {std::pair{"anonymous", "pub"}, {"alice", "alice"}, {"bob", "bob"}}) {
        UserAccount account;
        UserAccountDefaults(&account, name);
        snprintf(account.Root, sizeof account.Root, "/srv/ftp/%s", root);
        snprintf(account.Home, sizeof account.Home, "%s", account.Root);
        userList.accounts.push_back(account);
    }
    snprintf(logDir, sizeof logDir, "/var/log/brindlex");
    logSize = 1048576;
    systemSettings = {1, 10, 21};

    // Three connections, as the engine lists them.
    ConnViewEnable(true);
    ConnViewInsert({1, NetAddressIpv4(192, 0, 2, 17, 50412)});
    ConnViewInsert({2, NetAddressIpv4(198, 51, 100, 4, 61022)});
    ConnViewInsert({3, NetAddressIpv4(203, 0, 113, 80, 49733)});
    MainWindow window({true, false});
    int failures = !Save(&window, "main_window");
    // The longest status line, cut to the window (whole in its tooltip).
    // The status reaches the window through the main queue, as from the engine.
    ListenStatusSet("Not listening on port 21: the port is in use by another program");
    MainQueueDrain();
    failures += !Save(&window, "main_window_not_listening");
    ListenStatusSet("");
    MainQueueDrain();

    std::unique_ptr<PropertySheet> sheet(BuildPropertySheet(&window));
    const char* pages[] = {"sheet_display", "sheet_logging", "sheet_messages",
                           "sheet_users",   "sheet_system",  "sheet_advanced"};
    for (int i = 0; i < sheet->tabs()->count() && i < 6; i++) {
        sheet->tabs()->setCurrentIndex(i);
        failures += !Save(sheet.get(), pages[i]);
    }
    // The Advanced page's last rows, scrolled into view.
    if (auto* scroll = sheet->findChild<QScrollArea*>("advancedScroll")) {
        scroll->verticalScrollBar()->setValue(scroll->verticalScrollBar()->maximum());
        failures += !Save(sheet.get(), "sheet_advanced_end");
    }
    TextDialog editor(kMessageFiles[0], &window);
    failures += !Save(&editor, "message_editor");
    AboutDialog about(&window);
    failures += !Save(&about, "about");
    failures += Details();

    return failures ? 1 : 0;
}
