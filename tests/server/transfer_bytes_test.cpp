// Files arrive byte-exact in both directions, both types and every way of
// opening the data connection, restart offsets are applied and used up, APPE
// appends, and offsets beyond 4 GiB work (for a download and for an upload
// that overwrites in place). (That the final reply of a
// transfer leaves at once is the control socket's TCP_NODELAY, checked in
// control_channel_test.cpp.)
#include <filesystem>

#include "config/config.h"
#include "log/log.h"
#include "data_client.h"

using namespace dataclient;

namespace {

const std::string DONE = "226 Transfer complete.\r\n";

using Transfer = SessionTest;

TEST_F(Transfer, EdgeSizesRoundTripInEveryModeAndType) {
    const size_t sizes[] = {0, 1, 8191, 8192, 8193, 65536, 10 * 1000 * 1000};
    // The extended modes also over IPv6 (EPSV and EPRT |2|), last.
    const std::pair<Mode, const char*> ways[] = {
        {Mode::PASV, nullptr}, {Mode::PORT, nullptr},       {Mode::EPSV, nullptr},
        {Mode::EPRT, nullptr}, {Mode::EPSV, IPV6_LOOPBACK}, {Mode::EPRT, IPV6_LOOPBACK}};
    for (auto [mode, local] : ways) {
        if (IsIpv6(local) && !bxtest::HasIpv6Loopback())
            GTEST_SKIP() << "no ::1 on this machine: the IPv6 rows are not run";
        SetExtensionsSetting(mode == Mode::EPSV || mode == Mode::EPRT);
        Session t;
        ASSERT_TRUE(t.Open(Port(), "u", local));
        t.mode = mode;
        for (const char* type : {"TYPE I", "TYPE A"}) { // ASCII changes no byte either
            EXPECT_EQ(Code(t.Command(type)), "200");
            for (size_t size : sizes) {
                std::string name = "f" + std::to_string(size);
                std::string row =
                    name + " mode " + std::to_string((int)mode) + (local ? " IPv6 " : " ") + type;
                std::string bytes = RandomBytes(size, (unsigned)size + (unsigned)mode + type[5]);
                EXPECT_EQ(t.Upload("STOR " + name, bytes), DONE) << row;
                EXPECT_TRUE(ReadFile(Root(name)) == bytes) << row;
                std::string final;
                EXPECT_TRUE(t.Download("RETR " + name, &final) == bytes) << row;
                EXPECT_EQ(final, DONE) << row;
            }
        }
    }
}

// With Log\Audit 1 each file transfer that ends, completed or cut short,
// leaves one record (who, from where, what, bytes, seconds, result), and the
// data connection's per-read records stay at the trace levels (off here).
TEST_F(Transfer, AuditWritesOneRecordPerTransferInsteadOfOnePerRead) {
    logAudit = 1;
    std::string bytes = RandomBytes(300000, 3);
    EXPECT_EQ(s.Upload("STOR up", bytes), DONE);
    EXPECT_EQ(s.Upload("APPE up", "xyz"), DONE);
    EXPECT_TRUE(s.Download("RETR up") == bytes + "xyz");
    int fd = s.Begin("STOR cut");
    ASSERT_GE(fd, 0);
    WriteAll(fd, "abc");
    linger reset = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(fd);
    EXPECT_EQ(Code(s.ReadReply(10000)), "426");
    EXPECT_NE(s.Download("LIST").find("cut"), std::string::npos); // a listing is no file transfer
    auto dataReads = [](const std::string& text) {                // "DataProc(N) FD_READ" records
        int count = 0;
        for (size_t at = 0; (at = text.find(") FD_READ", at)) != std::string::npos; at++)
            count += text.rfind("DataProc(", at) != std::string::npos &&
                     text.rfind("DataProc(", at) > text.rfind('\n', at);
        return count;
    };
    std::string log = LogText();
    EXPECT_EQ(bxtest::CountOf(log, "Audit("), 4) << log;
    EXPECT_EQ(dataReads(log), 0);
    for (const std::string& record : {"command STOR path " + Root("up") + " bytes 300000 ",
                                      "command APPE path " + Root("up") + " bytes 3 ",
                                      "command RETR path " + Root("up") + " bytes 300003 "}) {
        size_t at = log.find("user u address 127.0.0.1 " + record);
        EXPECT_NE(at, std::string::npos) << record << log;
        EXPECT_EQ(log.substr(log.find("result ", at), 10), "result 226") << record;
    }
    EXPECT_NE(log.find("command STOR path " + Root("cut")), std::string::npos);
    EXPECT_EQ(bxtest::CountOf(log, "result 426"), 1);
    logAudit = 0; // the original records: one per read, no audit
    EXPECT_EQ(s.Upload("STOR up", bytes), DONE);
    EXPECT_EQ(bxtest::CountOf(LogText(), "Audit("), 4);
    EXPECT_GT(dataReads(LogText()), 0);
}

TEST_F(Transfer, RestartOffsetIsAppliedOnceAndRefusalsUseItUp) {
    std::string bytes = RandomBytes(250, 7);
    WriteRootFile("f", bytes);
    // (A RETR using the offset up: the argument rows.)
    s.Command("REST 300");
    std::string final;
    EXPECT_EQ(s.Download("RETR f", &final), "");
    EXPECT_EQ(final, DONE);
    s.Command("REST 100");
    EXPECT_EQ(Code(s.Command("RETR missing")), "550");
    EXPECT_EQ(s.Download("RETR f"), bytes);
    // A completed login clears a pending offset too.
    s.Command("REST 100");
    ASSERT_TRUE(s.Login("u", "pw"));
    EXPECT_EQ(s.Download("RETR f"), bytes);

    AddUser("noget", "pw", PERM_PUT | PERM_LIST);
    Session noget;
    ASSERT_TRUE(noget.Open(Port(), "noget"));
    noget.Command("REST 100");
    EXPECT_EQ(noget.Command("RETR f"), "450 No permission.\r\n");
    // The refused RETR used the offset up: STOR replaces the whole file.
    EXPECT_EQ(noget.Upload("STOR f", "abc"), DONE);
    EXPECT_EQ(ReadFile(Root("f")), "abc");
    // APPE appends at the end whatever the offset, and makes a missing file.
    // (STOR at an offset overwrites in place: FilesBeyondFourGiB.)
    s.Command("REST 1");
    EXPECT_EQ(s.Upload("APPE f", "xyz"), DONE);
    EXPECT_EQ(s.Upload("APPE g", "xyz"), DONE);
    EXPECT_EQ(ReadFile(Root("f")), "abcxyz");
    EXPECT_EQ(ReadFile(Root("g")), "xyz");
}

TEST_F(Transfer, RestartOffsetArguments) {
    std::string bytes = RandomBytes(250, 11);
    WriteRootFile("f", bytes);
    const std::string pending = "350 Requested file action pending further information.\r\n";
    const std::string invalid = "501 Invalid restart offset.\r\n";
    // The command, its reply, and for 350 the offset the next RETR starts at.
    const struct {
        const char* command;
        std::string reply;
        size_t from;
    } rows[] = {
        {"REST abc", pending, 0},
        {"REST 0", pending, 0},
        {"REST   +100", pending, 100},
        {"REST 100xyz", pending, 100},
        {"REST 007", pending, 7},
        {"REST -5", invalid, 0},
        {"REST 9223372036854775808", invalid, 0},
        {"REST", "500 Syntax error; parameter required.\r\n", 0},
    };
    for (const auto& row : rows) {
        // An earlier offset is left behind, so a refused REST shows it keeps it.
        s.Command("REST 1");
        EXPECT_EQ(s.Command(row.command), row.reply) << row.command;
        size_t from = row.reply == pending ? row.from : 1;
        EXPECT_TRUE(s.Download("RETR f") == bytes.substr(from)) << row.command;
        EXPECT_TRUE(s.Download("RETR f") == bytes)
            << row.command << ": not used up by the first RETR";
    }
}

TEST_F(Transfer, FilesBeyondFourGiB) {
    const uint64_t size = 5ull << 30;
    const uint64_t offset = (4ull << 30) + 10;
    std::ofstream(Root("big"), std::ios::binary).seekp((std::streamoff)offset) << "MARK";
    std::filesystem::resize_file(Root("big"), size);
    EXPECT_NE(s.Download("LIST big").find(" 5368709120 "), std::string::npos);

    // Resume a download there; the client leaves after the first bytes.
    s.Command("REST " + std::to_string(offset));
    std::string head(4, '\0');
    int fd = s.Begin("RETR big");
    ASSERT_EQ(recv(fd, head.data(), 4, MSG_WAITALL), 4);
    EXPECT_EQ(head, "MARK");
    close(fd);
    EXPECT_EQ(s.ReadReply(10000), "426 Connection closed; transfer aborted.\r\n");

    // Resume an upload there: the rest of the file stays.
    s.Command("REST " + std::to_string(offset + 2));
    EXPECT_EQ(s.Upload("STOR big", "RK!"), DONE);
    EXPECT_EQ(std::filesystem::file_size(Root("big")), size);
    std::string got(6, '\0');
    std::ifstream(Root("big"), std::ios::binary).seekg((std::streamoff)offset).read(got.data(), 6);
    EXPECT_EQ(got, std::string("MARK!\0", 6));
}

} // namespace
