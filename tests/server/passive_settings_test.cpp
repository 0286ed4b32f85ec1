// PASV with the System value PassivePorts: ports from the configured range
// only, used in turn, and a range whose every port is taken; without it,
// ports from the default range, spread over it. (The announced
// address is checked with the real programs.)
#include <unistd.h>

#include <set>

#include "config/config.h"
#include "data_client.h"
#include "server/passive_range.h"

using namespace dataclient;

namespace {

// A socket listening on every address at port; -1 when the port is taken.
int ListenOn(uint16_t port) {
    return bxtest::Listen(&port, "0.0.0.0", 1);
}

using PassiveSettings = FtpFixture;

// A range of n ports that are free now (below the ephemeral range); returns
// its first port.
uint16_t FreeRange(int n) {
    for (uint16_t low = 20000 + (uint16_t)(getpid() % 97) * 100; low < 32000; low += 37) {
        std::vector<int> fds;
        for (int fd; (int)fds.size() < n && (fd = ListenOn((uint16_t)(low + fds.size()))) >= 0;)
            fds.push_back(fd);
        for (int fd : fds)
            close(fd);
        if ((int)fds.size() == n) return low;
    }
    ADD_FAILURE() << "no free range of " << n << " ports";
    return 0;
}

// The port of a 227 reply, -1 when it is not one.
int ReplyPort(const std::string& reply) {
    unsigned h[4], p1, p2;
    if (sscanf(reply.c_str(), "227 Entering Passive Mode (%u,%u,%u,%u,%u,%u)", &h[0], &h[1], &h[2],
               &h[3], &p1, &p2) != 6)
        return -1;
    return (int)(p1 * 256 + p2);
}

void SetRange(uint16_t low, uint16_t high) {
    SettingStore(systemSettings.passivePortLow, low);
    SettingStore(systemSettings.passivePortHigh, high);
}

TEST_F(PassiveSettings, PassivePortsComeFromTheRangeInTurnAndATakenRangeRefusesOnlyPasv) {
    AddUser("u", "pw");
    WriteRootFile("f.txt", "hello data");
    uint16_t low = FreeRange(3);
    SetRange(low, (uint16_t)(low + 2));
    Session a, b;
    ASSERT_TRUE(a.Open(Port()));
    ASSERT_TRUE(b.Open(Port()));
    std::set<int> seen;
    for (int i = 0; i < 6; i++) {
        int port = ReplyPort((i % 2 ? b : a).Command("PASV"));
        EXPECT_TRUE(port >= low && port <= low + 2) << "PASV " << i << ": port " << port;
        seen.insert(port);
    }
    EXPECT_EQ(seen.size(), 3u) << "the range is used round, not one port again and again";
    // Both sessions hold a passive socket; each still moves data.
    for (Session* s : {&a, &b}) {
        std::string final;
        EXPECT_EQ(s->Download("RETR f.txt", &final), "hello data");
        EXPECT_EQ(Code(final), "226");
    }

    // A session's next PASV leaves its previous port for last, so that a data
    // connection still on its way there cannot reach the new socket; when no
    // other port is free, the previous one is given again.
    uint16_t three = FreeRange(3);
    SetRange(three, (uint16_t)(three + 2));
    Session e, f, g;
    for (Session* s : {&e, &f, &g})
        ASSERT_TRUE(s->Open(Port()));
    int pe = ReplyPort(e.Command("PASV")), pf = ReplyPort(f.Command("PASV"));
    int pg = ReplyPort(g.Command("PASV"));
    EXPECT_EQ((std::set<int>{pe, pf, pg}).size(), 3u) << pe << " " << pf << " " << pg;
    EXPECT_EQ(Code(g.Command("PORT 127,0,0,1,4,0")), "200"); // gives pg back
    EXPECT_EQ(ReplyPort(e.Command("PASV")), pg) << "not the previous " << pe;
    EXPECT_EQ(ReplyPort(g.Command("PASV")), pe);
    EXPECT_EQ(ReplyPort(e.Command("PASV")), pg) << "the only free port";

    // A range whose every port is taken, by another program or by a passive
    // port nobody connects to: PASV is refused and the session goes on; the
    // unused port goes back to the pool after PassiveTimeout.
    uint16_t port = FreeRange(2);
    int fd = ListenOn(port);
    ASSERT_GE(fd, 0);
    SetRange(port, (uint16_t)(port + 1));
    SettingStore(systemSettings.passiveTimeout, 1u);
    Session c, d;
    ASSERT_TRUE(c.Open(Port()));
    ASSERT_TRUE(d.Open(Port()));
    EXPECT_EQ(ReplyPort(c.Command("PASV")), port + 1);
    EXPECT_EQ(d.Command("PASV"), "425 Can't open passive connection.\r\n");
    EXPECT_EQ(d.Command("NOOP"), "200 Command okay.\r\n");
    EXPECT_TRUE(WaitFor([&] { return ReplyPort(d.Command("PASV")) == port + 1; }, 20000));
    std::string final;
    EXPECT_EQ(d.Download("RETR f.txt", &final), "hello data");
    EXPECT_EQ(Code(final), "226");
    EXPECT_EQ(c.Command("NOOP"), "200 Command okay.\r\n");
    close(fd);
}

// The dynamic ports 49152-65535 without the kernel's ephemeral range.
TEST(PassiveRange, TheDefaultRangeKeepsOutOfTheEphemeralPorts) {
    const struct {
        uint16_t low, high;
        int known;
        uint16_t expectLow, expectHigh;
    } rows[] = {
        {32768, 60999, 1, 61000, 65535}, // the kernel's default
        {40000, 50000, 1, 50001, 65535}, {55000, 65535, 1, 49152, 54999},
        {10000, 20000, 1, 49152, 65535}, // apart
        {1024, 65535, 1, 49152, 65535},  // nothing left: the whole
        {49652, 65000, 1, 49152, 65535}, // too little left on either side
        {0, 0, 0, 49152, 65535},         // the system does not say
    };
    for (const auto& r : rows) {
        PortRange got = DefaultPassiveRange(r.low, r.high, r.known);
        EXPECT_EQ(got.low, r.expectLow) << r.low << "-" << r.high;
        EXPECT_EQ(got.high, r.expectHigh) << r.low << "-" << r.high;
    }
}

TEST_F(PassiveSettings, WithoutPassivePortsPortsComeFromTheDefaultRangeSpreadOverIt) {
    AddUser("u", "pw");
    WriteRootFile("f.txt", "hello data");
    SetRange(0, 0);
    PortRange range = DefaultPassiveRange();
    Session a, b;
    ASSERT_TRUE(a.Open(Port()));
    ASSERT_TRUE(b.Open(Port()));
    std::set<int> seen;
    for (int i = 0; i < 8; i++) {
        int pa = ReplyPort(a.Command("PASV")), pb = ReplyPort(b.Command("PASV"));
        for (int port : {pa, pb})
            EXPECT_TRUE(port >= range.low && port <= range.high) << "PASV " << i << ": " << port;
        EXPECT_NE(pa, pb); // both open at once
        seen.insert({pa, pb});
    }
    // Not one port again and again, nor a walk from one point.
    ASSERT_GE(seen.size(), 12u);
    EXPECT_GT(*seen.rbegin() - *seen.begin(), 16);
    std::string final;
    EXPECT_EQ(a.Download("RETR f.txt", &final), "hello data");
    EXPECT_EQ(Code(final), "226");
}

} // namespace
