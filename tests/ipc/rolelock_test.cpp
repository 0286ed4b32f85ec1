// Role locks between processes, and machine directories that keep test runs
// (or machines) apart.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/rolelock.h"
#include "tests/ipc/ipc_test_support.h"

namespace {

using ipctest::Child;

std::string FileText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

int ChildPid(Child& c) {
    std::string reply = c.Ask("pid");
    return reply.rfind("pid ", 0) == 0 ? std::stoi(reply.substr(4)) : -1;
}

TEST(RoleLock, AnotherLiveHolderMeansAlreadyExistsAndItsPidIsInTheFile) {
    ipctest::MachineRoot root;
    Child holder, other;
    ASSERT_TRUE(holder.Start());
    ASSERT_EQ(holder.Ask("lock"), "locked");
    int holderPid = ChildPid(holder);

    int exists = 0;
    EXPECT_EQ(RoleLockCreate(ROLE_LOCK_SERVER, &exists), -1);
    EXPECT_EQ(exists, 1);
    EXPECT_EQ(RoleLockLastError(), ROLE_LOCK_ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(other.Start());
    EXPECT_EQ(other.Ask("lock"), "exists");

    EXPECT_EQ(RoleLockHolderPid(ROLE_LOCK_SERVER), holderPid);
    EXPECT_EQ(FileText(RoleLockPath(ROLE_LOCK_SERVER)), std::to_string(holderPid) + "\n");
    EXPECT_EQ(RoleLockPath(ROLE_LOCK_SERVER), root.dir + "/dockhand-server.lock");

    EXPECT_EQ(holder.Ask("unlock"), "unlocked");
    EXPECT_EQ(RoleLockHolderPid(ROLE_LOCK_SERVER), 0);
    int mine = RoleLockCreate(ROLE_LOCK_SERVER, &exists);
    ASSERT_GE(mine, 0);
    EXPECT_EQ(exists, 0);
    EXPECT_EQ(other.Ask("holder"), "holder " + std::to_string(getpid()));
    RoleLockRelease(mine);
}

TEST(RoleLock, KilledHolderLeavesTheLockFreeAtOnce) {
    ipctest::MachineRoot root;
    Child holder;
    ASSERT_TRUE(holder.Start());
    ASSERT_EQ(holder.Ask("lock"), "locked");
    holder.Kill();

    // The dead holder's pid is still in the file; it must not count.
    EXPECT_EQ(RoleLockHolderPid(ROLE_LOCK_SERVER), 0);
    int exists = 0;
    int mine = RoleLockCreate(ROLE_LOCK_SERVER, &exists);
    ASSERT_GE(mine, 0);
    EXPECT_EQ(RoleLockHolderPid(ROLE_LOCK_SERVER), (int)getpid());
    RoleLockRelease(mine);
}

TEST(RoleLock, SecondHandleInTheSameProcessIsRefusedAndRolesAreIndependent) {
    ipctest::MachineRoot root;
    // The run directory is made when missing.
    std::string nested = root.dir + "/machine/run";
    setenv("BRINDLEX_ROOT", nested.c_str(), 1);

    int exists = 0;
    int server = RoleLockCreate(ROLE_LOCK_SERVER, &exists);
    ASSERT_GE(server, 0);
    EXPECT_EQ(RoleLockHeld(ROLE_LOCK_SERVER), 1);
    EXPECT_EQ(RoleLockCreate(ROLE_LOCK_SERVER, &exists), -1);
    EXPECT_EQ(exists, 1);

    int admin = RoleLockCreate(ROLE_LOCK_ADMIN, &exists);
    ASSERT_GE(admin, 0);
    EXPECT_EQ(exists, 0);
    EXPECT_TRUE(std::filesystem::exists(nested + "/dockhand-admin.lock"));

    RoleLockRelease(server);
    EXPECT_EQ(RoleLockHeld(ROLE_LOCK_SERVER), 0);
    EXPECT_EQ(RoleLockHeld(ROLE_LOCK_ADMIN), 1);
    server = RoleLockCreate(ROLE_LOCK_SERVER, &exists);
    EXPECT_GE(server, 0);
    RoleLockRelease(server);
    RoleLockRelease(admin);
}

TEST(MachineRoots, SideBySideRunsNeverSeeEachOthersSlotsOrLocks) {
    ipctest::MachineRoot rootB;
    ipctest::MachineRoot rootA;  // BRINDLEX_ROOT now names A
    Child serverA, adminA, serverB, adminB;
    for (Child* c : {&serverA, &adminA}) ASSERT_TRUE(c->Start());
    setenv("BRINDLEX_ROOT", rootB.dir.c_str(), 1);
    for (Child* c : {&serverB, &adminB}) ASSERT_TRUE(c->Start());

    for (Child* s : {&serverA, &serverB}) {
        EXPECT_EQ(s->Ask("role server"), "ok");
        EXPECT_EQ(s->Ask("lock"), "locked");
        EXPECT_EQ(s->Ask("start"), "started");
    }
    for (Child* a : {&adminA, &adminB}) {
        EXPECT_EQ(a->Ask("role admin"), "ok");
        EXPECT_EQ(a->Ask("lock"), "locked");
        EXPECT_EQ(a->Ask("start"), "started");
    }
    EXPECT_EQ(adminA.Ask("send 5 1 1"), "sent 1");
    EXPECT_EQ(adminB.Ask("send 7 1 2"), "sent 1");
    auto firstByte = [](unsigned seed) {
        uint8_t b = ipctest::PatternByte(seed, 0);
        return ipctest::Hex(&b, 1);
    };
    EXPECT_EQ(serverA.Ask("recv 256 2000"), "recv 1 5 1 " + firstByte(1));
    EXPECT_EQ(serverB.Ask("recv 256 2000"), "recv 1 7 1 " + firstByte(2));
    EXPECT_EQ(serverA.Ask("recv 256 200"), "recv 0");
    EXPECT_EQ(serverB.Ask("recv 256 200"), "recv 0");
}

}  // namespace
