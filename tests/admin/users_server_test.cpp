// The page in the admin role against a real dockhand process: an account
// added in the page logs in within two seconds (the server reloads on the
// change message), and a deleted one is refused as soon.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <random>

#include "ipc/ipc.h"
#include "users_support.h"

namespace userstest {
namespace {

// Milliseconds until a login to port gives want (-1: not within 10 s).
long MsUntilLogin(uint16_t port, const char* password, bool want) {
    auto start = bxtest::Clock::now();
    bool reached = bxtest::WaitFor([&] {
        FtpClient c;
        return (c.Connect(port) && c.ReadReply().rfind("220", 0) == 0 && c.Login("fresh", password)) == want;
    }, 10000);
    return reached ? (long)std::chrono::duration_cast<std::chrono::milliseconds>(bxtest::Clock::now() - start).count() : -1;
}

TEST(UsersWithServer, AddedAccountLogsInWithinTwoSecondsAndDeletedOneIsRefused) {
    EnsureApp();
    bxtest::TempDir temp("bx-users-server");
    setenv("BRINDLEX_ROOT", temp.path.c_str(), 1);
    RegCloseStore();
    bxtest::LogCapture log(temp.path, "admin ", true);
    std::mt19937 random(std::random_device{}());
    uint16_t port = 0;
    for (int tries = 0; tries < 200 && !port; tries++) {  // below the ephemeral range
        sockaddr_in sa{AF_INET, htons((uint16_t)(10000 + random() % 22000)), {}, {}};
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        port = bind(s, (sockaddr*)&sa, sizeof sa) == 0 ? ntohs(sa.sin_port) : 0;
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
    // Stopped in order at the end; killed when it does not stop, or when the test fails early.
    std::unique_ptr<pid_t, void (*)(pid_t*)> stop(&server, [](pid_t* pid) {
        kill(*pid, SIGTERM);
        if (!bxtest::WaitFor([&] { return waitpid(*pid, nullptr, WNOHANG) == *pid; }, 20000)) {
            ADD_FAILURE() << "dockhand did not stop on SIGTERM";
            kill(*pid, SIGKILL), waitpid(*pid, nullptr, 0);
        }
    });
    ASSERT_TRUE(bxtest::WaitFor([&] { FtpClient c; return c.Connect(port) && c.ReadReply().rfind("220", 0) == 0; }, 20000));

    processRole = ROLE_ADMIN;
    IpcStartup();
    UsersPage page;
    QTimer::singleShot(0, [&] {
        Do(QApplication::activeModalWidget(), "name=Fresh|password=Tide-42|verify=Tide-42|root=" + temp.path + "|ok");
    });
    Find<QPushButton>(&page, "newButton")->click();
    long added = MsUntilLogin(port, "Tide-42", true);
    AdminSetMessageHook([](const AdminMessage&) { return QMessageBox::Yes; });
    Find<QListWidget>(&page, "userList")->item(0)->setSelected(true);
    Find<QPushButton>(&page, "deleteButton")->click();
    long deleted = MsUntilLogin(port, "Tide-42", false);
    AdminSetMessageHook(nullptr);
    IpcShutdown();
    processRole = ROLE_SERVER;
    printf("login after add: %ld ms, refused after delete: %ld ms\n", added, deleted);
    EXPECT_TRUE(added >= 0 && added < 2000) << added;
    EXPECT_TRUE(deleted >= 0 && deleted < 2000) << deleted;
}

}  // namespace
}  // namespace userstest
