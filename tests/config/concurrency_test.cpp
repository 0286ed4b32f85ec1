// Several processes on one store: a loader never sees half a save, and a
// writer killed in the middle of a save leaves the old or the new accounts.
#include <unistd.h>

#include <random>

#include "store_fixture.h"
#include "users_versions.h"

namespace {
// The version of the accounts a load finds (0: a mixed list, -1: no store).
int LoadVersion() {
    if (!OpenRegApp("Brindlex")) return -1;
    GetRegUsers(&userList);
    CloseRegApp();
    return UsersVersionOf(userList);
}
}  // namespace

using StoreProcesses = StoreTest;

// Each round: loads while another process saves, then the writer is killed at
// a moment that varies within a save, and the store is loaded afresh.
TEST_F(StoreProcesses, LoadsDuringSavesSeeAWholeList) {
    FillUsersVersion(&userList, 2);
    ASSERT_EQ(1, OpenRegApp("Brindlex"));
    SetRegUsers(&userList);
    CloseRegApp();
    std::mt19937 random(std::random_device{}());
    for (int round = 0; round < 4; round++) {
        bxtest::Child writer;
        ASSERT_TRUE(writer.Start("store_helper"));
        ASSERT_EQ("saved 1", writer.ReadLine(30000)) << "round " << round;
        for (int i = 0; i < 150; i++) {
            int version = LoadVersion();
            ASSERT_TRUE(version == 1 || version == 2)
                << "round " << round << " load " << i << " saw a list of " << userList.accounts.size();
        }
        ASSERT_EQ("saved", writer.ReadLine(30000).substr(0, 5)) << "round " << round;
        usleep((useconds_t)(random() % 20000));
        writer.Stop(true);
        RegCloseStore();
        int version = LoadVersion();
        EXPECT_TRUE(version == 1 || version == 2) << "round " << round << " after the kill: " << userList.accounts.size();
    }
    std::string log = LogText();
    EXPECT_EQ(0, Count(log, "error")) << log.substr(0, 2000);
}
