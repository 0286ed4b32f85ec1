// Several processes on one store: a loader never sees half a save, and a
// writer killed in the middle of a save leaves the old or the new accounts.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>

#include "store_fixture.h"
#include "users_versions.h"

namespace {

// Starts the helper; its standard output comes through *out when asked.
pid_t Start(const std::vector<std::string>& args, int* out = nullptr) {
    int fds[2] = {-1, -1};
    if (out && pipe(fds) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        if (out) {
            dup2(fds[1], 1);
            close(fds[0]);
            close(fds[1]);
        }
        std::vector<char*> argv;
        std::string path = bxtest::BinPath("store_helper");
        argv.push_back(path.data());
        std::vector<std::string> copy = args;
        for (std::string& arg : copy) argv.push_back(arg.data());
        argv.push_back(nullptr);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    if (out) {
        close(fds[1]);
        *out = fds[0];
    }
    return pid;
}

// Exit status of pid, waiting at most timeoutSeconds (then killed: -1).
int Wait(pid_t pid, int timeoutSeconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(10000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int LoadVersion() {
    if (!OpenRegApp("Brindlex")) return -1;
    GetRegUsers(&userList);
    CloseRegApp();
    return UsersVersionOf(userList);
}

}  // namespace

using StoreProcesses = StoreTest;

TEST_F(StoreProcesses, LoadsDuringSavesSeeAWholeList) {
    FillUsersVersion(&userList, 2);
    ASSERT_EQ(1, OpenRegApp("Brindlex"));
    SetRegUsers(&userList);
    CloseRegApp();
    pid_t writer = Start({"save", "500"});
    ASSERT_GT(writer, 0);
    int seen[3] = {0, 0, 0};
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    for (int i = 0; i < 500 && std::chrono::steady_clock::now() < deadline; i++) {
        int version = LoadVersion();
        ASSERT_GE(version, 0) << "load " << i;
        seen[version]++;
        ASSERT_NE(0, version) << "load " << i << " saw a mixed list of " << userList.accounts.size();
    }
    EXPECT_EQ(0, Wait(writer, 120));
    EXPECT_EQ(0, seen[0]);
    EXPECT_GT(seen[1] + seen[2], 0);
    std::string log = LogText();
    EXPECT_EQ(0, Count(log, "error")) << log.substr(0, 2000);
}

TEST_F(StoreProcesses, WriterKilledMidSaveLeavesAConsistentList) {
    std::mt19937 random(std::random_device{}());
    for (int round = 0; round < 3; round++) {
        int out = -1;
        pid_t writer = Start({"forever"}, &out);
        ASSERT_GT(writer, 0);
        FILE* lines = fdopen(out, "r");
        ASSERT_NE(nullptr, lines);
        // Kill it after a few saves, at a moment that varies within a save.
        int wanted = 2 + (int)(random() % 4);
        char line[64];
        int saves = 0;
        while (saves < wanted && fgets(line, sizeof line, lines)) saves++;
        usleep((useconds_t)(random() % 20000));
        kill(writer, SIGKILL);
        Wait(writer, 10);
        fclose(lines);
        ASSERT_EQ(wanted, saves);
        RegCloseStore();
        int version = LoadVersion();
        EXPECT_TRUE(version == 1 || version == 2) << "round " << round << ": " << userList.accounts.size();
    }
}
