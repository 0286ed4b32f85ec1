// Role locks between processes, and machine directories that keep side by
// side runs apart.
#include <gtest/gtest.h>

#include "platform/rolelock.h"
#include "tests/ipc/ipc_test_support.h"

namespace {

using namespace ipctest;

// One holder per role across processes and within one; a killed holder
// leaves the lock free at once; the roles' locks are independent.
TEST(RoleLock, OneHolderAtATimeAndAKilledHolderLeavesTheLockFreeAtOnce) {
    MachineRoot root;
    std::string dir = root.dir + "/machine/run"; // made when missing
    setenv("BRINDLEX_ROOT", dir.c_str(), 1);
    Child holder, other;
    ASSERT_TRUE(holder.Start() && other.Start());
    ASSERT_EQ(holder.Ask("lock"), "locked");
    EXPECT_EQ(other.Ask("lock"), "exists");
    EXPECT_EQ(RoleLockHolderPid(ROLE_LOCK_SERVER), holder.pid);
    EXPECT_EQ(bxtest::ReadFile(dir + "/dockhand-server.lock"), std::to_string(holder.pid) + "\n");

    EXPECT_EQ(holder.Ask("unlock"), "unlocked");
    EXPECT_EQ(RoleLockHolderPid(ROLE_LOCK_SERVER), 0);
    EXPECT_EQ(other.Ask("lock"), "locked");
    other.Stop(true);
    // Its pid is still in the file; it must not count.
    EXPECT_EQ(RoleLockHolderPid(ROLE_LOCK_SERVER), 0);
    int exists = 0;
    int server = RoleLockCreate(ROLE_LOCK_SERVER, &exists);
    EXPECT_GE(server, 0);
    EXPECT_EQ(RoleLockHolderPid(ROLE_LOCK_SERVER), (int)getpid());
    EXPECT_EQ(RoleLockCreate(ROLE_LOCK_SERVER, &exists), -1)
        << "a second handle in the same process";
    EXPECT_EQ(exists, 1);
    int admin = RoleLockCreate(ROLE_LOCK_ADMIN, &exists);
    EXPECT_GE(admin, 0);
    RoleLockRelease(server);
    EXPECT_EQ(RoleLockHeld(ROLE_LOCK_SERVER), 0);
    EXPECT_EQ(RoleLockHeld(ROLE_LOCK_ADMIN), 1);
    RoleLockRelease(admin);
}

TEST(MachineRoots, SideBySideRunsNeverSeeEachOthersSlotsOrLocks) {
    MachineRoot rootB;
    MachineRoot rootA; // BRINDLEX_ROOT names A
    Child serverA, adminA, serverB, adminB;
    // Each role's lock is taken in both: the runs hold different locks.
    ASSERT_TRUE(StartRole(serverA, "server") && StartRole(adminA, "admin"));
    setenv("BRINDLEX_ROOT", rootB.dir.c_str(), 1);
    ASSERT_TRUE(StartRole(serverB, "server") && StartRole(adminB, "admin"));
    EXPECT_EQ(adminA.Ask("send 5 1 1"), "sent 1");
    EXPECT_EQ(adminB.Ask("send 7 1 2"), "sent 1");
    EXPECT_EQ(serverA.Ask("recv 256 2000"), "recv 1 5 1 " + Hex(Pattern(1, 1)));
    EXPECT_EQ(serverB.Ask("recv 256 2000"), "recv 1 7 1 " + Hex(Pattern(2, 1)));
    EXPECT_EQ(serverA.Ask("recv 256 200"), "recv 0");
    EXPECT_EQ(serverB.Ask("recv 256 200"), "recv 0");
}

} // namespace
