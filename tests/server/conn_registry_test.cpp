// The registries connections of different socket threads share: the
// per-account connection counts and the published TLS control sessions,
// driven from two threads at once (run under the tsan preset too).
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "server/tls_owners.h"
#include "server/user_conns.h"

namespace {

constexpr int PER_THREAD = 200;

// Each thread owns its records, as each socket thread owns its connections.
std::vector<Conn> Records(int count) {
    std::vector<Conn> conns((size_t)count);
    for (Conn& conn : conns)
        memset(&conn, 0, sizeof conn);
    return conns;
}

void Name(Conn* conn, const char* name) {
    strncpy(conn->user.name, name, USER_NAME_MAX);
    UserConnNote(conn);
}

// Both threads ask for the same account with a limit, while renaming other
// records: exactly the limit get in, whichever thread they run on, and the
// counts go back to nothing once every record is forgotten.
TEST(ConnRegistry, AccountLimitHoldsAcrossThreads) {
    const uint32_t limit = 150;
    std::vector<Conn> conns[2] = {Records(PER_THREAD), Records(PER_THREAD)};
    int admitted[2] = {0, 0};
    auto run = [&](int t) {
        for (Conn& conn : conns[t]) {
            Name(&conn, t ? "carol" : "dave");
            Name(&conn, "");
            if (UserConnAdmit(&conn, "bob", limit)) admitted[t]++;
        }
    };
    std::thread other(run, 1);
    run(0);
    other.join();
    EXPECT_EQ(admitted[0] + admitted[1], (int)limit);
    EXPECT_EQ(UserConnCount(nullptr, "bob"), (int)limit);
    EXPECT_EQ(UserConnCount(nullptr, "carol") + UserConnCount(nullptr, "dave"), 0);
    auto forget = [&](int t) {
        for (Conn& conn : conns[t])
            UserConnForget(&conn);
    };
    std::thread other2(forget, 1);
    forget(0);
    other2.join();
    EXPECT_EQ(UserConnCount(nullptr, "bob"), 0);
}

TlsOrigin Origin(int thread, int i) {
    TlsOrigin origin{};
    origin.bytes[0] = (unsigned char)thread;
    memcpy(origin.bytes + 1, &i, sizeof i);
    return origin;
}

// One thread publishes and withdraws sessions while the other asks about
// them and publishes its own; afterwards each matches only its own account
// and host, and a withdrawn one matches nothing.
TEST(ConnRegistry, PublishedSessionsAcrossThreads) {
    NetAddress hosts[2];
    ASSERT_TRUE(NetAddressParse("127.0.0.1", NET_FAMILY_IPV4, &hosts[0]));
    ASSERT_TRUE(NetAddressParse("127.0.0.2", NET_FAMILY_IPV4, &hosts[1]));
    hosts[0].port = hosts[1].port = 21;
    const char* names[2] = {"bob", "eve"};
    auto run = [&](int t) {
        for (int i = 0; i < PER_THREAD; i++) {
            TlsOwnerPublish(Origin(t, i), names[t], hosts[t]);
            TlsOwnerMatches(Origin(1 - t, i), names[1 - t], hosts[1 - t]);
            if (i % 2) TlsOwnerWithdraw(Origin(t, i - 1));
        }
    };
    std::thread other(run, 1);
    run(0);
    other.join();
    NetAddress otherPort = hosts[0];
    otherPort.port = 50000;
    struct Row {
        TlsOrigin origin;
        const char* name;
        const NetAddress& host;
        bool matches;
    } rows[] = {
        {Origin(0, 1), "bob", hosts[0], true},
        {Origin(0, 1), "bob", otherPort, true}, // the host, whatever the port
        {Origin(0, 1), "eve", hosts[0], false},
        {Origin(0, 1), "bob", hosts[1], false},
        {Origin(1, 3), "eve", hosts[1], true},
        {Origin(0, 2), "bob", hosts[0], false}, // withdrawn
        {Origin(1, 0), "eve", hosts[1], false},
    };
    for (const Row& row : rows)
        EXPECT_EQ(TlsOwnerMatches(row.origin, row.name, row.host), row.matches)
            << row.name << " origin " << (int)row.origin.bytes[0] << "/"
            << (int)row.origin.bytes[1];
}

} // namespace
