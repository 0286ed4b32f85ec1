// Pictures of the window for the README and for looking at: the main window
// with three live connections to the in-process engine, every page of the
// property sheet, the message editor and the About box, as PNG files in the
// directory given. Run on a display (scripts/screenshots.sh uses xvfb-run)
// with BRINDLEX_ROOT set to a directory of its own.
#include <QApplication>
#include <QTabWidget>
#include <QTreeWidget>
#include <cstdio>
#include <string>

#include "admin/about.h"
#include "admin/connview.h"
#include "admin/mainwindow.h"
#include "admin/sheet.h"
#include "admin/text_dialog.h"
#include "app/startup.h"
#include "config/config.h"
#include "config/users.h"
#include "ipc/role.h"
#include "platform/mainqueue.h"
#include "server/conn.h"
#include "server/sockthread.h"
#include "tests/test_support.h"

namespace {
std::string outDir;

template <typename Cond>
bool Settle(Cond cond) {
    return bxtest::WaitFor([&] {
        MainQueueDrain();
        QApplication::processEvents();
        return cond();
    });
}

bool Save(QWidget* widget, const char* name) {
    widget->show();
    Settle([] { return true; });
    std::string path = outDir + "/" + name + ".png";
    bool ok = widget->grab().save(QString::fromStdString(path));
    printf("%s %s\n", ok ? "wrote" : "FAILED", path.c_str());
    return ok;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || !getenv("BRINDLEX_ROOT")) {
        fprintf(stderr, "usage: BRINDLEX_ROOT=DIR screenshots_helper OUTDIR\n");
        return 2;
    }
    outDir = argv[1];
    QApplication app(argc, argv);
    snprintf(versionCaption, sizeof versionCaption, "Brindlex V1.2");
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

    // Three real clients of the engine running in this process.
    uint16_t port = 0;
    close(bxtest::Listen(&port));
    systemSettings = {1, 10, port};
    ConnViewEnable(true);
    InstallConnEvents(true);
    SockThreadInit();
    SockSend(SOCK_MSG_LISTEN, port, 1);
    int clients[3];
    for (int& c : clients) c = bxtest::Connect(0x7F000001, port);

    MainWindow window({true, false});
    window.show();
    int failures = !Settle([&] { return window.connectionsView()->topLevelItemCount() == 3; });
    failures += !Save(&window, "main_window");

    std::unique_ptr<PropertySheet> sheet(BuildPropertySheet(&window));
    const char* pages[] = {"sheet_display", "sheet_logging", "sheet_messages", "sheet_users", "sheet_system"};
    for (int i = 0; i < sheet->tabs()->count() && i < 5; i++) {
        sheet->tabs()->setCurrentIndex(i);
        failures += !Save(sheet.get(), pages[i]);
    }
    TextDialog editor(kMessageFiles[0], &window);
    failures += !Save(&editor, "message_editor");
    AboutDialog about(&window);
    failures += !Save(&about, "about");

    for (int c : clients) close(c);
    SockThreadStop();
    return failures ? 1 : 0;
}
