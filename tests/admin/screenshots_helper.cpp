// Pictures of the window for the README and for looking at: the main window
// listing three connections (and not listening), every page of the
// property sheet, the message editor and the About box, as PNG files in the
// directory given. Run on a display (scripts/screenshots.sh uses xvfb-run)
// with BRINDLEX_ROOT set to a directory of its own.
#include <QApplication>
#include <QTabWidget>
#include <cstdio>
#include <string>

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
    ListenStatusSet("Not listening on port 21: the port is in use by another program");
    failures += !Save(&window, "main_window_not_listening");
    ListenStatusSet("");

    std::unique_ptr<PropertySheet> sheet(BuildPropertySheet(&window));
    const char* pages[] = {"sheet_display", "sheet_logging", "sheet_messages", "sheet_users",
                           "sheet_system"};
    for (int i = 0; i < sheet->tabs()->count() && i < 5; i++) {
        sheet->tabs()->setCurrentIndex(i);
        failures += !Save(sheet.get(), pages[i]);
    }
    TextDialog editor(kMessageFiles[0], &window);
    failures += !Save(&editor, "message_editor");
    AboutDialog about(&window);
    failures += !Save(&about, "about");

    return failures ? 1 : 0;
}
