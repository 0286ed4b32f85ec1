// Files arrive byte-exact in both directions, both types and every way of
// opening the data connection, restart offsets are applied and used up, APPE
// appends, and offsets beyond 4 GiB work (for a download and for an upload
// that overwrites in place). (That the final reply of a
// transfer leaves at once is the control socket's TCP_NODELAY, checked in
// control_channel_test.cpp.)
#include <filesystem>

#include "config/config.h"
#include "data_client.h"

using namespace dataclient;

namespace {

const std::string DONE = "226 Transfer complete.\r\n";

using Transfer = SessionTest;

TEST_F(Transfer, EdgeSizesRoundTripInEveryModeAndType) {
    const size_t sizes[] = {0, 1, 8191, 8192, 8193, 65536, 10 * 1000 * 1000};
    for (Mode mode : {Mode::PASV, Mode::PORT, Mode::EPSV, Mode::EPRT}) {
        SetExtensionsSetting(mode == Mode::EPSV || mode == Mode::EPRT);
        Session t;
        ASSERT_TRUE(t.Open(Port()));
        t.mode = mode;
        for (const char* type : {"TYPE I", "TYPE A"}) { // ASCII changes no byte either
            EXPECT_EQ(Code(t.Command(type)), "200");
            for (size_t size : sizes) {
                std::string name = "f" + std::to_string(size);
                std::string row = name + " mode " + std::to_string((int)mode) + " " + type;
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
