// The records a server and an admin exchange about connections: a number up
// to 65,535 keeps the bytes every version reads, a wider one travels in the
// longer forms, and any other length is refused.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ipc/ipc.h"
#include "ipc/ipc_details.h"
#include "tests/ipc/ipc_test_support.h"

namespace {

using ipctest::Hex;

std::string HexOf(const uint8_t* data, uint32_t length) {
    return Hex(std::vector<uint8_t>(data, data + length));
}

bool SameAddress(const NetAddress& a, const NetAddress& b) {
    return a.family == b.family && a.port == b.port && memcmp(a.bytes, b.bytes, 16) == 0;
}

constexpr int64_t SINCE = 1700000000000; // 00 68 e5 cf 8b 01 00 00 little-endian
const std::string SINCE_HEX = "0068e5cf8b010000";
const std::string ALL_ONES_HEX(32, 'f');

TEST(Records, UpdatesKeepTheNarrowBytesAndCarryWideNumbers) {
    NetAddress v4 = NetAddressIpv4(127, 0, 0, 1, 2056);
    NetAddress v6 = {};
    ASSERT_EQ(NetAddressParse("2001:db8::3", NET_FAMILY_IPV6, &v6), 1);
    v6.port = 2056;
    struct Row {
        bool ipv6;
        uint32_t connId;
        const NetAddress* client; // nullptr: the connection closed
        std::string hex;
    } rows[] = {
        {false, 7, &v4,
         "07000808"
         "7f000001"},
        {false, 65535, nullptr,
         "ffff0000"
         "ffffffff"},
        {false, 65536, &v4,
         "00000808"
         "7f000001"
         "0100"},
        {false, 0x12345, nullptr,
         "45230000"
         "ffffffff"
         "0100"},
        {true, 7, &v6,
         "07000808"
         "20010db8000000000000000000000003"},
        {true, 0xFFFFFFFF, nullptr, "ffff0000" + ALL_ONES_HEX + "ffff"},
    };
    for (const Row& row : rows) {
        uint8_t out[IPC_UPDATE6_WIDE_SIZE];
        uint32_t length = row.ipv6 ? IpcPackUpdate6(out, row.connId, row.client)
                                   : IpcPackUpdate(out, row.connId, row.client);
        EXPECT_EQ(HexOf(out, length), row.hex) << row.connId;
        uint32_t connId = 0;
        NetAddress client = {};
        bool open = false;
        int taken = row.ipv6 ? IpcUnpackUpdate6(out, length, &connId, &client, &open)
                             : IpcUnpackUpdate(out, length, &connId, &client, &open);
        ASSERT_EQ(taken, 1) << row.connId;
        EXPECT_EQ(connId, row.connId);
        EXPECT_EQ(open, row.client != nullptr) << row.connId;
        if (row.client) {
            EXPECT_TRUE(SameAddress(client, *row.client)) << row.connId;
        }
    }
}

TEST(Records, DisconnectKeepsTheNarrowBytesAndCarriesWideNumbers) {
    struct Row {
        uint32_t connId;
        std::string hex;
    } rows[] = {
        {7, "0700"
            "0808" +
                SINCE_HEX},
        {65535, "ffff"
                "0808" +
                    SINCE_HEX},
        {65536, "00000100"
                "0808" +
                    SINCE_HEX},
        {0xFFFFFFFF, "ffffffff"
                     "0808" +
                         SINCE_HEX},
    };
    for (const Row& row : rows) {
        uint8_t out[IPC_DISCONNECT_WIDE_SIZE];
        uint32_t length = IpcPackDisconnect(out, row.connId, 2056, SINCE);
        EXPECT_EQ(HexOf(out, length), row.hex) << row.connId;
        uint32_t connId = 0;
        uint16_t port = 0;
        int64_t since = 0;
        ASSERT_EQ(IpcUnpackDisconnect(out, length, &connId, &port, &since), 1) << row.connId;
        EXPECT_EQ(connId, row.connId);
        EXPECT_EQ(port, 2056);
        EXPECT_EQ(since, SINCE);
    }
}

TEST(Records, OtherLengthsAreRefused) {
    struct Row {
        uint8_t type;
        uint32_t length;
    } rows[] = {
        {IPC_MSG_UPDATE, 0},      {IPC_MSG_UPDATE, 7},      {IPC_MSG_UPDATE, 9},
        {IPC_MSG_UPDATE, 11},     {IPC_MSG_UPDATE6, 8},     {IPC_MSG_UPDATE6, 19},
        {IPC_MSG_UPDATE6, 21},    {IPC_MSG_UPDATE6, 23},    {IPC_MSG_DISCONNECT, 0},
        {IPC_MSG_DISCONNECT, 11}, {IPC_MSG_DISCONNECT, 13}, {IPC_MSG_DISCONNECT, 15},
    };
    std::vector<uint8_t> data(32, 0x01);
    for (const Row& row : rows) {
        // Exactly that many bytes, so a read past them is seen by the sanitizer.
        std::vector<uint8_t> in(data.begin(), data.begin() + row.length);
        uint32_t connId = 0;
        NetAddress client = {};
        bool open = false;
        uint16_t port = 0;
        int64_t since = 0;
        int taken = row.type == IPC_MSG_UPDATE
                        ? IpcUnpackUpdate(in.data(), row.length, &connId, &client, &open)
                    : row.type == IPC_MSG_UPDATE6
                        ? IpcUnpackUpdate6(in.data(), row.length, &connId, &client, &open)
                        : IpcUnpackDisconnect(in.data(), row.length, &connId, &port, &since);
        EXPECT_EQ(taken, 0) << (int)row.type << " of " << row.length;
    }
}

// Records sorted by number: the datagram of kind 1 stops where the numbers
// get wide, the next one is of kind 2; a kind 1 datagram keeps its bytes, and
// an unknown kind or a cut datagram is refused whole.
TEST(Records, DetailsWidenFromTheFirstNumberAboveSixteenBits) {
    ConnRecord base = {7, NetAddressIpv4(127, 0, 0, 1, 2056)};
    snprintf(base.account, sizeof base.account, "anna");
    snprintf(base.command, sizeof base.command, "RETR");
    snprintf(base.argument, sizeof base.argument, "a.txt");
    snprintf(base.file, sizeof base.file, "/a.txt");
    base.connectedSinceMs = SINCE;
    base.direction = CONN_XFER_DOWN;
    base.bytes = 100;
    base.total = 1000;
    base.rate = 50;
    const std::string recordHex = "0808" + SINCE_HEX +
                                  "02"
                                  "6400000000000000"
                                  "e803000000000000"
                                  "32000000"
                                  "04616e6e61"
                                  "0452455452"
                                  "05612e747874"
                                  "062f612e747874";

    uint8_t out[IPC_DATA_MAX];
    size_t next = 0;
    EXPECT_EQ(HexOf(out, IpcPackDetails(&base, 1, &next, out)), "0101"
                                                                "0700" +
                                                                    recordHex);

    std::vector<ConnRecord> records;
    for (uint32_t connId : {65534u, 65535u, 65536u, 70000u}) {
        records.push_back(base);
        records.back().connId = connId;
    }
    struct Datagram {
        uint8_t kind;
        std::vector<uint32_t> numbers;
    } expected[] = {{IPC_DETAILS_RECORDS, {65534, 65535}},
                    {IPC_DETAILS_RECORDS_WIDE, {65536, 70000}}};
    next = 0;
    std::vector<uint8_t> wide;
    for (const Datagram& d : expected) {
        uint32_t length = IpcPackDetails(records.data(), records.size(), &next, out);
        ASSERT_GT(length, 0u);
        std::vector<ConnRecord> got;
        ConnSummary summary = {};
        uint8_t kind = 0xEE;
        ASSERT_EQ(IpcUnpackDetails(out, length, &got, &summary, &kind), 1);
        EXPECT_EQ(kind, d.kind);
        ASSERT_EQ(got.size(), d.numbers.size());
        for (size_t i = 0; i < got.size(); i++) {
            EXPECT_EQ(got[i].connId, d.numbers[i]);
            EXPECT_EQ(got[i].client.port, 2056);
            EXPECT_STREQ(got[i].file, "/a.txt");
        }
        wide.assign(out, out + length);
    }
    EXPECT_EQ(next, records.size());
    EXPECT_EQ(Hex(wide).substr(0, 12 + recordHex.size()), "0202"
                                                          "00000100" +
                                                              recordHex);

    // An admin that knows kinds 0 to 2 refuses the rest, and a cut datagram.
    std::vector<uint8_t> unknown = wide, cut(wide.begin(), wide.end() - 1);
    unknown[0] = 3;
    for (const std::vector<uint8_t>* bad : {&unknown, &cut}) {
        std::vector<ConnRecord> got;
        ConnSummary summary = {};
        uint8_t kind = 0;
        EXPECT_EQ(IpcUnpackDetails(bad->data(), (uint32_t)bad->size(), &got, &summary, &kind), 0);
        EXPECT_TRUE(got.empty());
    }
}

} // namespace
