// The engine's state that connections on different socket threads share,
// driven from several threads at once: each result must be what the same
// calls one after the other would give (counts, locks, budgets, quota use,
// passive search starts).
#include <gtest/gtest.h>

#include <barrier>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "config/config.h"
#include "config/users.h"
#include "server/address_limit.h"
#include "server/limits.h"
#include "server/login_guard.h"
#include "server/passive_range.h"
#include "test_support.h"

namespace {

// Runs body(thread) on `threads` threads released at the same moment.
void OnThreads(int threads, const std::function<void(int)>& body) {
    std::barrier start(threads);
    std::vector<std::thread> running;
    for (int t = 0; t < threads; t++)
        running.emplace_back([&, t] {
            start.arrive_and_wait();
            body(t);
        });
    for (std::thread& thread : running)
        thread.join();
}

std::unique_ptr<Conn[]> Conns(int n) {
    std::unique_ptr<Conn[]> conns(new Conn[n]());
    for (int i = 0; i < n; i++)
        conns[i].connId = (uint16_t)i;
    return conns;
}

TEST(SharedState, OneAddressGreetedOnManyThreadsIsDecidedOneAtATime) {
    struct Row {
        uint32_t limit;
        int threads;
        int greeted; // connections within the limit
    } rows[] = {{1, 2, 1}, {1, 4, 1}, {3, 4, 3}, {0, 4, 4}, {8, 4, 4}};
    NetAddress peer = {};
    ASSERT_TRUE(NetAddressParse("127.0.0.9", NET_FAMILY_IPV4, &peer));
    for (const Row& row : rows)
        for (int round = 0; round < 50; round++) {
            SettingStore(systemSettings.maxConnPerAddress, (uint16_t)row.limit);
            auto conns = Conns(row.threads);
            std::atomic<int> greeted{0};
            OnThreads(row.threads, [&](int t) {
                conns[t].peer = peer;
                if (!AddressLimitExceeded(AddressLimitAdd(&conns[t]))) greeted++;
            });
            ASSERT_EQ(greeted.load(), row.greeted) << row.limit << " " << row.threads;
            OnThreads(row.threads, [&](int t) { AddressLimitRemove(&conns[t]); });
            // Every count went: the next connection is the address's first.
            Conn next = {};
            next.peer = peer;
            ASSERT_EQ(AddressLimitAdd(&next), 1u);
            AddressLimitRemove(&next);
        }
    SettingStore(systemSettings.maxConnPerAddress, (uint16_t)0);
}

TEST(SharedState, FailedLoginsOnManyThreadsAddUp) {
    const int threads = 4, each = 25;
    struct Row {
        uint32_t failLimit;
        bool locked;
    } rows[] = {{threads * each, true}, {threads * each + 1, false}};
    for (const Row& row : rows) {
        LoginGuardClear();
        LoginGuardLimits limits = {row.failLimit, 3600, 60};
        OnThreads(threads, [&](int t) {
            for (int i = 0; i < each; i++)
                LoginGuardFailed("127.0.0.7", "user" + std::to_string(t), 1000, limits);
        });
        EXPECT_EQ(LoginGuardLockedMs("127.0.0.7", "nobody", 1000) > 0, row.locked) << row.failLimit;
        EXPECT_EQ(LoginGuardLockedMs("127.0.0.8", "user0", 1000), 0);
    }
    LoginGuardClear();
}

// Two sessions of one account on two threads draw on one budget: together
// they move no faster than its rate.
TEST(SharedState, AccountBudgetIsOneForSessionsOnManyThreads) {
    const int threads = 2;
    const uint32_t rateKiB = 512, each = 256 * 1024, want = 8 * 1024;
    auto conns = Conns(threads);
    for (int t = 0; t < threads; t++) {
        snprintf(conns[t].user.name, sizeof conns[t].user.name, "shared-budget");
        conns[t].user.MaxDownloadRate = rateKiB;
        RateRefresh(&conns[t]);
        ASSERT_NE(conns[t].limit.bucket, nullptr);
    }
    EXPECT_EQ(conns[0].limit.bucket, conns[1].limit.bucket);
    auto began = bxtest::Clock::now();
    OnThreads(threads, [&](int t) {
        for (uint32_t moved = 0; moved < each;) {
            uint32_t granted = RateBudget(&conns[t], RATE_SEND, std::min(want, each - moved));
            if (granted == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2)); // the tick's pace
                continue;
            }
            RateTake(&conns[t], RATE_SEND, granted);
            moved += granted;
        }
    });
    double seconds = std::chrono::duration<double>(bxtest::Clock::now() - began).count();
    // Everything beyond the first burst (a tenth of a second's worth) waits
    // for the one budget to fill.
    double least = (threads * each - rateKiB * 1024 / 10.0) / (rateKiB * 1024.0);
    EXPECT_GE(seconds, least * 0.95);
}

class SharedQuota : public ::testing::Test {
  protected:
    bxtest::TempDir dir{"bx-shared-quota"};
    UserAccount account = {};

    void SetUp() override {
        snprintf(account.name, sizeof account.name, "shared-quota");
        snprintf(account.Root, sizeof account.Root, "%s", dir.path.c_str());
        account.QuotaMiB = 1;
        account.QuotaFiles = 1000;
        LockUserList();
        userList.accounts.push_back(account);
        UserListChanged();
        UnlockUserList();
        Conn login = {};
        login.user = account;
        LimitsLogin(&login);
        uint64_t bytes = 0, files = 0;
        ASSERT_TRUE(bxtest::WaitFor([&] { return QuotaUseOf(account.name, &bytes, &files); }));
        ASSERT_EQ(bytes, 0u);
    }
    void TearDown() override {
        QuotaMeasureStop();
        QuotaForgetAll();
        LockUserList();
        userList.accounts.pop_back();
        UserListChanged();
        UnlockUserList();
    }
};

// Uploads on several threads into one quota: granted room is never granted
// twice, short writes give back what they did not use, and the use ends at
// exactly the quota and the bytes the files hold.
TEST_F(SharedQuota, UploadsOnManyThreadsFillTheQuotaExactly) {
    const int threads = 4;
    auto conns = Conns(threads);
    OnThreads(threads, [&](int t) {
        Conn* c = &conns[t];
        c->user = account;
        snprintf(c->transferPath, sizeof c->transferPath, "%s/file%d", account.Root, t);
        c->limit.quotaOn = 1;
        for (int piece = 0;; piece++) {
            uint32_t fit = QuotaFit(c, 3000);
            std::this_thread::yield(); // the write: other threads fit meanwhile
            QuotaWritten(c, piece % 3 == 0 ? fit / 2 : fit); // a short write now and then
            if (fit == 0) break;
        }
    });
    uint64_t held = 0;
    for (int t = 0; t < threads; t++)
        held += conns[t].limit.uploadEnd;
    uint64_t bytes = 0, files = 0;
    ASSERT_TRUE(QuotaUseOf(account.name, &bytes, &files));
    EXPECT_EQ(bytes, 1024u * 1024u);
    EXPECT_EQ(held, bytes);
}

TEST_F(SharedQuota, ChargesAndRefundsOnManyThreadsAddUp) {
    const int threads = 4, each = 200;
    std::string inside = std::string(account.Root) + "/a", outside = "/elsewhere/b";
    OnThreads(threads, [&](int t) {
        for (int i = 0; i < each; i++) {
            QuotaAdjust(inside.c_str(), 100, 1);              // an upload's file
            if (t % 2) QuotaAdjust(inside.c_str(), -100, -1); // deleted
            QuotaAdjust(outside.c_str(), 5, 1);               // another root: not counted
        }
    });
    uint64_t bytes = 0, files = 0;
    ASSERT_TRUE(QuotaUseOf(account.name, &bytes, &files));
    EXPECT_EQ(files, (uint64_t)(threads / 2 * each));
    EXPECT_EQ(bytes, 100u * files);
}

TEST(SharedState, PassiveSearchesOnManyThreadsStartApart) {
    const int threads = 4, each = 100;
    const uint16_t low = 40000, high = 40000 + threads * each - 1;
    PassiveCursorClaim(1, 1); // a cursor outside the range: the first search starts at low
    std::vector<uint16_t> starts[threads];
    OnThreads(threads, [&](int t) {
        for (int i = 0; i < each; i++)
            starts[t].push_back(PassiveCursorClaim(low, high));
    });
    std::set<uint16_t> distinct;
    for (auto& list : starts)
        distinct.insert(list.begin(), list.end());
    EXPECT_EQ(distinct.size(), (size_t)(threads * each));
    EXPECT_EQ(*distinct.begin(), low);
    EXPECT_EQ(*distinct.rbegin(), high);
    EXPECT_EQ(PassiveCursorClaim(low, high), low); // round the range again
}

TEST(SharedState, PassiveCursorMovesOnlyForward) {
    struct Row {
        const char* what;
        std::vector<std::pair<uint16_t, uint16_t>> bound; // (search start, port bound)
        int claims;    // searches started before the ports are bound
        uint16_t next; // where the next search starts
    } rows[] = {
        {"a port after some in use", {{100, 103}}, 1, 104},
        {"the later search bound first", {{101, 105}, {100, 102}}, 2, 106},
        {"the earlier search bound first", {{100, 102}, {101, 105}}, 2, 106},
        {"round from high to low", {{100, 109}}, 1, 100},
        {"the start itself", {{100, 100}}, 1, 101},
    };
    for (const Row& row : rows) {
        PassiveCursorClaim(1, 1);
        for (int i = 0; i < row.claims; i++)
            PassiveCursorClaim(100, 109);
        for (auto [start, port] : row.bound)
            PassiveCursorHanded(start, port, 100, 109);
        EXPECT_EQ(PassiveCursorClaim(100, 109), row.next) << row.what;
    }
}

} // namespace
