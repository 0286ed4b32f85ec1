// The PROXY protocol header parser over bytes as they arrive, and the
// "ProxyFrom" list it is checked against.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/proxy_settings.h"
#include "server/proxy_header.h"

namespace {

std::string V2(uint8_t verCmd, uint8_t family, const std::string& block) {
    std::string h("\r\n\r\n\0\r\nQUIT\n", 12);
    h += (char)verCmd;
    h += (char)family;
    h += (char)(block.size() >> 8);
    h += (char)(block.size() & 0xFF);
    return h + block;
}

const std::string kV4Block("\x7f\x00\x00\x07\x7f\x00\x00\x01\x15\xb3\x00\x15", 12);
const std::string kV6Block = std::string(15, '\0') + "\x01" + std::string(15, '\0') + "\x01" +
                             std::string("\x01\x02\x00\x15", 4);

TEST(ProxyHeader, ParsesCompleteHeadersAndRefusesOthers) {
    struct Row {
        std::string bytes;
        ProxyResult result;
        uint32_t length;    // when done
        const char* source; // endpoint text, "" for a header without a client
    };
    const std::string v1 = "PROXY TCP4 127.0.0.7 127.0.0.1 5555 21\r\n";
    const Row rows[] = {
        {v1 + "USER bob\r\n", PROXY_DONE, (uint32_t)v1.size(), "127.0.0.7:5555"},
        {"PROXY TCP6 ::1 ::2 65535 0\r\n", PROXY_DONE, 28, "[::1]:65535"},
        {"PROXY UNKNOWN\r\n", PROXY_DONE, 15, ""},
        {"PROXY UNKNOWN ffff:f::1 ffff:f::2 1 2\r\nX", PROXY_DONE, 39, ""},
        {V2(0x21, 0x11, kV4Block) + "USER", PROXY_DONE, 28, "127.0.0.7:5555"},
        {V2(0x21, 0x21, kV6Block), PROXY_DONE, 52, "[::1]:258"},
        {V2(0x21, 0x11, kV4Block + std::string("\x03\x00\x04xxxx", 7)), PROXY_DONE, 35,
         "127.0.0.7:5555"},                             // a TLV after the addresses
        {V2(0x20, 0x00, ""), PROXY_DONE, 16, ""},       // LOCAL: a health check
        {V2(0x20, 0x11, kV4Block), PROXY_DONE, 28, ""}, // LOCAL with addresses: ignored
        {V2(0x21, 0x00, ""), PROXY_DONE, 16, ""},       // PROXY, AF_UNSPEC
        // Incomplete, yet every byte fits: more is awaited.
        {"", PROXY_MORE, 0, ""},
        {"PRO", PROXY_MORE, 0, ""},
        {v1.substr(0, v1.size() - 1), PROXY_MORE, 0, ""},
        {std::string("\r\n\r\n\0\r", 6), PROXY_MORE, 0, ""},
        {V2(0x21, 0x11, kV4Block).substr(0, 15), PROXY_MORE, 0, ""},
        {V2(0x21, 0x11, kV4Block).substr(0, 27), PROXY_MORE, 0, ""},
        // Never a header.
        {"USER bob\r\n", PROXY_BAD, 0, ""},
        {"proxy TCP4 127.0.0.7 127.0.0.1 5555 21\r\n", PROXY_BAD, 0, ""},
        {"PROXY TCP4 127.0.0.7 127.0.0.1 5555 21\n", PROXY_BAD, 0, ""},
        {"PROXY TCP4 127.0.0.7  127.0.0.1 5555 21\r\n", PROXY_BAD, 0, ""},
        {"PROXY TCP4 127.0.0.7 127.0.0.1 5555\r\n", PROXY_BAD, 0, ""},
        {"PROXY TCP4 127.0.0.7 127.0.0.1 5555 21 9\r\n", PROXY_BAD, 0, ""},
        {"PROXY TCP4 ::1 127.0.0.1 5555 21\r\n", PROXY_BAD, 0, ""},
        {"PROXY TCP6 127.0.0.7 ::1 5555 21\r\n", PROXY_BAD, 0, ""},
        {"PROXY TCP4 127.0.0.7 127.0.0.1 65536 21\r\n", PROXY_BAD, 0, ""},
        {"PROXY TCP4 127.0.0.7 127.0.0.1 -1 21\r\n", PROXY_BAD, 0, ""},
        {"PROXY UDP4 127.0.0.7 127.0.0.1 1 21\r\n", PROXY_BAD, 0, ""},
        {"PROXY UNKNOWN" + std::string(100, ' '), PROXY_BAD, 0, ""}, // no line end in 107
        {V2(0x11, 0x11, kV4Block), PROXY_BAD, 0, ""},                // version 1 in binary
        {V2(0x22, 0x11, kV4Block), PROXY_BAD, 0, ""},                // command 2
        {V2(0x21, 0x12, kV4Block), PROXY_BAD, 0, ""},                // UDP
        {V2(0x21, 0x31, std::string(216, 'a')), PROXY_BAD, 0, ""},   // AF_UNIX
        {V2(0x21, 0x11, kV4Block.substr(0, 11)), PROXY_BAD, 0, ""},  // block too short
        {V2(0x21, 0x21, kV4Block), PROXY_BAD, 0, ""},
        {V2(0x21, 0x11, std::string(PROXY_V2_BLOCK_MAX + 1, 'a')).substr(0, 16), PROXY_BAD, 0, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.bytes));
        ProxyHeader header = {};
        const char* why = nullptr;
        ProxyResult result = ProxyHeaderParse((const uint8_t*)row.bytes.data(),
                                              (uint32_t)row.bytes.size(), &header, &why);
        ASSERT_EQ(result, row.result) << why;
        if (result == PROXY_BAD) EXPECT_STRNE(why, "");
        if (result != PROXY_DONE) continue;
        EXPECT_EQ(header.length, row.length);
        EXPECT_EQ(header.local, row.source[0] == 0);
        if (!header.local) {
            char text[NET_ENDPOINT_TEXT_SIZE];
            EXPECT_STREQ(NetEndpointText(header.source, text), row.source);
        }
    }
}

TEST(ProxyHeader, ProxyFromListsAddressesAndNetworks) {
    std::vector<ProxySource> list;
    std::string bad;
    const char* badTexts[] = {"127.0.0.1/33", "::1/129",           "10.0.0.1/", "10.0.0.1/x",
                              "host.example", "10.0.0.1;10.0.0.2", "1.2.3.4/-1"};
    for (const char* text : badTexts) {
        EXPECT_FALSE(ParseProxyFrom(text, &list, &bad)) << text;
        EXPECT_NE(ProxyFromProblem(text), nullptr) << text;
    }
    ASSERT_TRUE(ParseProxyFrom("", &list, &bad));
    EXPECT_TRUE(list.empty());
    ASSERT_TRUE(
        ParseProxyFrom(" 127.0.0.2, 10.1.0.0/16\tfd00::/8,::ffff:192.168.0.0/112", &list, &bad));
    ASSERT_EQ(list.size(), 4u);
    SetProxySettings(1, list);
    const std::pair<const char*, bool> peers[] = {
        {"127.0.0.2", true},        {"127.0.0.1", false},  {"10.1.255.3", true},
        {"10.2.0.1", false},        {"fd12::7", true},     {"fe00::1", false},
        {"::ffff:127.0.0.2", true}, {"192.168.9.9", true}, {"192.169.0.1", false},
    };
    for (const auto& [text, allowed] : peers) {
        NetAddress peer = {};
        ASSERT_TRUE(NetAddressParse(text, NET_FAMILY_NONE, &peer)) << text;
        EXPECT_EQ(ProxyFromAllows(peer), allowed) << text;
    }
    SetProxySettings(1, {});
    NetAddress one = NetAddressIpv4(127, 0, 0, 2);
    EXPECT_FALSE(ProxyFromAllows(one)) << "an empty list allows nobody";
    SetProxySettings(0, {});
}

} // namespace
