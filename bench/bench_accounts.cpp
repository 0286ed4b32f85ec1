// Loading accounts from the store at scale: 10,000 accounts (or the count
// given as the first argument) are saved once into a temporary machine
// directory, then loaded five times; prints the load times in seconds and
// how long a lock of the account list waited while a load ran.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include <unistd.h>

#include "config/config.h"
#include "config/users.h"
#include "platform/store.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    int count = argc > 1 ? atoi(argv[1]) : 10000;
    char templ[] = "/tmp/bx-bench-accounts-XXXXXX";
    if (!mkdtemp(templ)) return 1;
    setenv("BRINDLEX_ROOT", templ, 1);
    // Anything written to the working directory stays in the temporary one.
    if (chdir(templ) != 0) return 1;
    if (!OpenRegApp("Brindlex")) return 1;
    {
        std::lock_guard<std::recursive_mutex> guard(userList.lock);
        for (int i = 0; i < count; i++) {
            UserAccount account;
            UserAccountDefaults(&account, ("user" + std::to_string(i)).c_str());
            snprintf(account.Root, sizeof account.Root, "/srv/ftp/user%d", i);
            snprintf(account.PW, sizeof account.PW, "1234%032d", i);
            userList.accounts.push_back(account);
        }
    }
    auto saveStart = Clock::now();
    SetRegUsers(&userList);
    printf("save of %d accounts: %.3f s\n", count, Seconds(saveStart));
    for (int run = 0; run < 5; run++) {
        // A login on another thread takes the lock meanwhile, as the socket
        // thread does in USER and PASS.
        std::atomic<bool> loading{true};
        double longestWait = 0;
        std::thread login([&] {
            while (loading) {
                auto start = Clock::now();
                LockUserList();
                UnlockUserList();
                double waited = Seconds(start);
                if (waited > longestWait) longestWait = waited;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        auto start = Clock::now();
        GetRegUsers(&userList);
        double took = Seconds(start);
        loading = false;
        login.join();
        printf("load %d: %zu accounts in %.3f s; longest wait for the list lock %.3f s\n", run + 1,
               userList.accounts.size(), took, longestWait);
    }
    CloseRegApp();
    RegCloseStore();
    std::filesystem::remove_all(templ);
    return 0;
}
