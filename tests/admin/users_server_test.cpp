// The page in the admin role against a real dockhand server process: an
// account added in the page logs in within two seconds (the server reloads
// the accounts on the change message), and a deleted one is refused as soon.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <random>

#include "ipc/ipc.h"
#include "users_support.h"

namespace userstest {
namespace {

bool LogsInTo(uint16_t port, const char* name, const char* password) {
    FtpClient client;
    return client.Connect(port) && client.ReadReply().rfind("220", 0) == 0 && client.Login(name, password);
}

// Milliseconds until LogsInTo answers want (bounded by 10 s), -1 when it never does.
long MsUntil(uint16_t port, const char* name, const char* password, bool want) {
    auto start = bxtest::Clock::now();
    bool reached = bxtest::WaitFor([&] { return LogsInTo(port, name, password) == want; }, 10000);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(bxtest::Clock::now() - start).count();
    return reached ? (long)ms : -1;
}

TEST(UsersWithServer, AddedAccountLogsInWithinTwoSecondsAndDeletedOneIsRefused) {
    EnsureApp();
    bxtest::TempDir temp("bx-users-server");
    setenv("BRINDLEX_ROOT", temp.path.c_str(), 1);
    std::filesystem::create_directories(temp.path + "/ftp");
    bxtest::LogCapture log(temp.path + "/log", "admin ", true);
    uint16_t port = 0;
    std::mt19937 random(std::random_device{}());
    for (int tries = 0; tries < 200 && !port; tries++) {  // below the ephemeral range, as the black-box tests
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons((uint16_t)(10000 + random() % 22000));
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (bind(s, (sockaddr*)&sa, sizeof sa) == 0) port = ntohs(sa.sin_port);
        close(s);
    }
    ASSERT_TRUE(OpenRegApp("Brindlex"));
    systemSettings = {1, 0, port};
    SetRegSystem();
    CloseRegApp();

    std::string program = bxtest::BinPath("dockhand");
    char* argv[] = {program.data(), nullptr};
    pid_t server = -1;
    ASSERT_EQ(posix_spawn(&server, program.c_str(), nullptr, nullptr, argv, environ), 0);
    EXPECT_TRUE(bxtest::WaitFor([&] { FtpClient c; return c.Connect(port) && c.ReadReply().rfind("220", 0) == 0; },
                                20000));

    processRole = ROLE_ADMIN;
    IpcStartup();
    UsersPage page;
    QTimer::singleShot(0, [&] {
        QWidget* d = QApplication::activeModalWidget();
        Type(d, "name", "Fresh");
        Type(d, "password", "Tide-42");
        Type(d, "verify", "Tide-42");
        Type(d, "root", temp.path + "/ftp");
        PressOk(d);
    });
    Find<QPushButton>(&page, "newButton")->click();
    long added = MsUntil(port, "fresh", "Tide-42", true);
    AdminSetMessageHook([](const AdminMessage&) { return QMessageBox::Yes; });
    Find<QListWidget>(&page, "userList")->item(0)->setSelected(true);
    Find<QPushButton>(&page, "deleteButton")->click();
    long deleted = MsUntil(port, "fresh", "Tide-42", false);
    AdminSetMessageHook(nullptr);
    IpcShutdown();
    processRole = ROLE_SERVER;
    kill(server, SIGTERM);
    EXPECT_TRUE(bxtest::WaitFor([&] { return waitpid(server, nullptr, WNOHANG) == server; }, 20000));

    printf("login after add: %ld ms, refused after delete: %ld ms\n", added, deleted);
    EXPECT_TRUE(added >= 0 && added < 2000) << added;
    EXPECT_TRUE(deleted >= 0 && deleted < 2000) << deleted;
}

}  // namespace
}  // namespace userstest
