// Connections behind a load balancer (ProxyProtocol 1): the greeting waits
// for the PROXY header, whose source is the client every rule sees; anything
// else is closed without a byte served. The client's address is observed
// through Restrict: PORT to another host is refused.
#include <string>
#include <vector>

#include "config/proxy_settings.h"
#include "ftp_fixture.h"

namespace {

using bxtest::WaitFor;

const std::string kV1 = "PROXY TCP4 127.0.0.7 127.0.0.1 40000 21\r\n";
std::string V2(uint8_t verCmd, uint8_t family, const std::string& block) {
    std::string h("\r\n\r\n\0\r\nQUIT\n", 12);
    return h + (char)verCmd + (char)family + (char)(block.size() >> 8) +
           (char)(block.size() & 0xFF) + block;
}
const std::string kV2Ipv6 = V2(0x21, 0x21,
                               std::string(15, '\0') + "\x01" + std::string(15, '\0') + "\x01" +
                                   std::string("\x9c\x40\x00\x15", 4));
const std::string kV2Local = V2(0x20, 0x00, "");
const char kGreeting[] = "220 ";

class ProxyProtocol : public FtpFixture {
  protected:
    void SetUp() override {
        FtpFixture::SetUp();
        AddUser("bob", "pw");
        Balancers("127.0.0.1");
    }
    void TearDown() override {
        SetProxySettings(0, {});
        FtpFixture::TearDown();
    }
    void Balancers(const char* from) {
        std::vector<ProxySource> list;
        std::string bad;
        ASSERT_TRUE(ParseProxyFrom(from, &list, &bad));
        SetProxySettings(1, list);
    }
};

// Each row: the bytes sent first (in one segment with USER, or cut in two
// with the server's read of the first part awaited), and the host PORT may
// name under Restrict afterwards.
TEST_F(ProxyProtocol, HeaderBecomesTheClientBeforeTheGreeting) {
    struct Row {
        std::string header;
        size_t cut; // 0 = header and command in one segment
        const char* sameHost;
        const char* otherHost;
    };
    const Row rows[] = {
        {kV1, 0, "127,0,0,7", "127,0,0,1"},
        {kV1, 9, "127,0,0,7", "127,0,0,1"},
        {V2(0x21, 0x11, std::string("\x7f\x00\x00\x07\x7f\x00\x00\x01\x9c\x40\x00\x15", 12)), 14,
         "127,0,0,7", "127,0,0,1"},
        {kV2Ipv6, 0, nullptr, "127,0,0,1"},      // ::1 is not 127.0.0.1
        {kV2Local, 0, "127,0,0,1", "127,0,0,7"}, // a health check: the balancer itself
        {"PROXY UNKNOWN\r\n", 3, "127,0,0,1", "127,0,0,7"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.header) + " cut " + std::to_string(row.cut));
        FtpClient c;
        ASSERT_TRUE(c.Connect(Port()));
        if (row.cut) {
            ASSERT_TRUE(c.Send(row.header.substr(0, row.cut)));
            ASSERT_TRUE(WaitFor([&] { return UnreadInput(0) == row.cut; }));
            EXPECT_EQ(c.ReadReply(200), "") << "greeted before the header was complete";
            ASSERT_TRUE(c.Send(row.header.substr(row.cut) + "USER bob\r\n"));
        } else {
            ASSERT_TRUE(c.Send(row.header + "USER bob\r\n"));
        }
        EXPECT_EQ(c.ReadReply().rfind(kGreeting, 0), 0u);
        EXPECT_EQ(c.ReadReply(), "331 Password required.\r\n");
        ASSERT_EQ(c.Command("PASS pw").rfind("230", 0), 0u);
        if (row.sameHost)
            EXPECT_EQ(c.Command("PORT " + std::string(row.sameHost) + ",4,0"),
                      "200 Command okay.\r\n");
        EXPECT_EQ(c.Command("PORT " + std::string(row.otherHost) + ",4,0"),
                  "501 IP address restricted.\r\n");
        c.Close();
        ASSERT_TRUE(WaitFor([&] { return LiveConnections() == 0; }));
    }
}

// Each row: what the client sends (nothing: the login limit runs out), and
// the balancers listed. The connection ends without a byte from the server.
TEST_F(ProxyProtocol, AnythingElseIsClosedUnserved) {
    struct Row {
        const char* name;
        std::string bytes;
        const char* from;
    };
    const Row rows[] = {
        {"no header", "", "127.0.0.1"},
        {"a command first", "USER bob\r\n", "127.0.0.1"},
        {"bad version 1", "PROXY TCP4 127.0.0.7 127.0.0.1 40000\r\nUSER bob\r\n", "127.0.0.1"},
        {"bad version 2", V2(0x31, 0x11, std::string(12, '\x01')), "127.0.0.1"},
        {"truncated", kV1.substr(0, 20), "127.0.0.1"},
        {"unlisted peer", kV1, "127.0.0.2, ::1"},
    };
    SetTimeLimitSetting(LIMIT_LOGIN_TIMEOUT, 1);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Balancers(row.from);
        FtpClient c;
        ASSERT_TRUE(c.Connect(Port()));
        if (!row.bytes.empty()) ASSERT_TRUE(c.Send(row.bytes));
        EXPECT_EQ(c.ReadReply(20000), "") << "served";
        EXPECT_TRUE(c.WaitForEof());
        ASSERT_TRUE(WaitFor([&] { return LiveConnections() == 0; }, 20000));
    }
    EXPECT_NE(LogText().find("ProxyHeader"), std::string::npos);
    SetTimeLimitSetting(LIMIT_LOGIN_TIMEOUT, 0);
    // Off again: served as before, the peer is the client.
    SetProxySettings(0, {});
    FtpClient plain;
    ASSERT_TRUE(plain.ConnectGreeted(Port()));
    ASSERT_TRUE(plain.Login("bob", "pw"));
    EXPECT_EQ(plain.Command("PORT 127,0,0,1,4,0"), "200 Command okay.\r\n");
}

// MaxConnPerAddress counts the header's client, not the balancer every
// connection comes from.
TEST_F(ProxyProtocol, PerAddressLimitCountsTheHeadersClient) {
    SettingStore(systemSettings.maxConnPerAddress, (uint16_t)1);
    const char* sources[] = {"127.0.0.7", "127.0.0.8", "127.0.0.7"};
    const char* replies[] = {kGreeting, kGreeting, "421 Too may users; try again later\r\n"};
    FtpClient c[3];
    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(c[i].Connect(Port()));
        ASSERT_TRUE(c[i].Send(std::string("PROXY TCP4 ") + sources[i] + " 127.0.0.1 40000 21\r\n"));
        EXPECT_EQ(c[i].ReadReply().rfind(replies[i], 0), 0u);
    }
}

} // namespace
