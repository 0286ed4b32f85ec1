// Files arrive byte-exact in both directions and both modes, restart
// offsets are applied and used up, APPE appends, and offsets beyond 4 GiB
// work. The final reply of a transfer follows the end of the data at once.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <vector>

#include "data_client.h"

using namespace dataclient;

namespace {

class Transfer : public FtpFixture {
protected:
    void SetUp() override {
        FtpFixture::SetUp();
        quiet = std::make_unique<bxtest::QuietLog>();
        AddUser("u", "pw");
        AddUser("noget", "pw", PERM_PUT | PERM_LIST);
        ASSERT_TRUE(s.Open(Port()));
    }
    std::string Root(const std::string& name) { return RootDir() + "/" + name; }
    Session s;
    std::unique_ptr<bxtest::QuietLog> quiet;  // byte dumps of every block would dominate the run
};

TEST_F(Transfer, EdgeSizesRoundTripInBothModes) {
    const size_t sizes[] = {0, 1, 8191, 8192, 8193, 65536, 10 * 1000 * 1000};
    for (bool passive : {true, false}) {
        s.passive = passive;
        for (size_t size : sizes) {
            std::string name = "f" + std::to_string(size);
            std::string bytes = RandomBytes(size, (unsigned)size + passive);
            EXPECT_EQ(s.Upload("STOR " + name, bytes), "226 Transfer complete.\r\n") << name;
            EXPECT_TRUE(ReadFile(Root(name)) == bytes) << name << " passive " << passive;
            std::string final;
            EXPECT_TRUE(s.Download("RETR " + name, &final) == bytes) << name << " passive " << passive;
            EXPECT_EQ(final, "226 Transfer complete.\r\n");
        }
    }
}

TEST_F(Transfer, AsciiTypeChangesNothing) {
    WriteRootFile("lf.txt", "a\nb\n\r\nc");
    EXPECT_EQ(Code(s.Command("TYPE A")), "200");
    EXPECT_EQ(s.Download("RETR lf.txt"), "a\nb\n\r\nc");
    EXPECT_EQ(s.Upload("STOR up.txt", "x\ny\n"), "226 Transfer complete.\r\n");
    EXPECT_EQ(ReadFile(Root("up.txt")), "x\ny\n");
}

TEST_F(Transfer, RestartOffsetIsAppliedOnceAndRefusalsUseItUp) {
    std::string bytes = RandomBytes(250, 7);
    WriteRootFile("f", bytes);
    EXPECT_EQ(s.Command("REST 100"), "350 Requested file action pending further information.\r\n");
    EXPECT_EQ(s.Download("RETR f"), bytes.substr(100));
    EXPECT_EQ(s.Download("RETR f"), bytes) << "used up by the first RETR";
    s.Command("REST 300");
    std::string final;
    EXPECT_EQ(s.Download("RETR f", &final), "");
    EXPECT_EQ(final, "226 Transfer complete.\r\n");
    s.Command("REST 100");
    EXPECT_EQ(Code(s.Command("RETR missing")), "550");
    EXPECT_EQ(s.Download("RETR f"), bytes);
    // A completed login clears a pending offset too.
    s.Command("REST 100");
    ASSERT_TRUE(s.Login("u", "pw"));
    EXPECT_EQ(s.Download("RETR f"), bytes);

    Session noget;
    ASSERT_TRUE(noget.Open(Port(), "noget"));
    noget.Command("REST 100");
    EXPECT_EQ(noget.Command("RETR f"), "450 No permission.\r\n");
    // The refused RETR used the offset up: STOR replaces the whole file.
    EXPECT_EQ(noget.Upload("STOR f", "abc"), "226 Transfer complete.\r\n");
    EXPECT_EQ(ReadFile(Root("f")), "abc");
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
    }
}

TEST_F(Transfer, StorAtOffsetKeepsTheBytesAround) {
    std::string bytes = RandomBytes(250, 9);
    WriteRootFile("f", bytes);
    s.Command("REST 100");
    std::string patch(50, 'Z');
    EXPECT_EQ(s.Upload("STOR f", patch), "226 Transfer complete.\r\n");
    EXPECT_EQ(ReadFile(Root("f")), bytes.substr(0, 100) + patch + bytes.substr(150));
    EXPECT_EQ(s.Upload("STOR f", "new"), "226 Transfer complete.\r\n");
    EXPECT_EQ(ReadFile(Root("f")), "new") << "without REST the old content goes";
}

TEST_F(Transfer, AppeAppendsCreatesAndIgnoresRest) {
    WriteRootFile("ten", "0123456789");
    s.Command("REST 3");
    EXPECT_EQ(s.Upload("APPE ten", "abcde"), "226 Transfer complete.\r\n");
    EXPECT_EQ(ReadFile(Root("ten")), "0123456789abcde");
    EXPECT_EQ(s.Upload("APPE fresh", "xyz"), "226 Transfer complete.\r\n");
    EXPECT_EQ(ReadFile(Root("fresh")), "xyz");
}

TEST_F(Transfer, RefusalsBeforeAnyDataConnection) {
    std::filesystem::create_directory(Root("dir"));
    WriteRootFile("ro", "x");
    chmod(Root("ro").c_str(), 0444);
    const char* cases[][2] = {
        {"RETR dir", "550 dir: not a plain file."},
        {"STOR dir", "450 File is a directory."},
        {"APPE dir", "550 File is a directory."},
        {"STOR ro", "450 File is read-only."},
        {"APPE ro", "550 File is read-only."},
        {"RETR", "500 Syntax error; parameter required."},
        {"RETR ../x", "500 Invalid file path."},
        {"APPE ../x", "550 Invalid file path."},
    };
    for (auto& c : cases) EXPECT_EQ(s.Command(c[0]), std::string(c[1]) + "\r\n") << c[0];
}

TEST_F(Transfer, FilesBeyondFourGiB) {
    const uint64_t size = 5ull << 30;
    const uint64_t offset = (4ull << 30) + 10;
    {
        std::fstream f(Root("big"), std::ios::out | std::ios::binary);
        f.seekp((std::streamoff)offset);
        f << "MARK";
    }
    std::filesystem::resize_file(Root("big"), size);
    std::string listing = s.Download("LIST big");
    EXPECT_NE(listing.find(" 5368709120 "), std::string::npos) << listing;

    // Resume a download there; the client leaves after the first bytes.
    s.Command("REST " + std::to_string(offset));
    std::string first;
    int fd = s.Begin("RETR big", &first);
    ASSERT_EQ(Code(first)[0], '1');
    char head[4] = {};
    ASSERT_EQ(recv(fd, head, 4, MSG_WAITALL), 4);
    EXPECT_EQ(std::string(head, 4), "MARK");
    close(fd);
    EXPECT_EQ(s.ReadReply(10000), "426 Connection closed; transfer aborted.\r\n");

    // Resume an upload there: the rest of the file stays.
    s.Command("REST " + std::to_string(offset + 2));
    EXPECT_EQ(s.Upload("STOR big", "RK!"), "226 Transfer complete.\r\n");
    EXPECT_EQ(std::filesystem::file_size(Root("big")), size);
    std::ifstream in(Root("big"), std::ios::binary);
    in.seekg((std::streamoff)offset);
    char got[6] = {};
    in.read(got, 6);
    EXPECT_EQ(std::string(got, 6), std::string("MARK!\0", 6));
    std::filesystem::remove(Root("big"));
}

// The final reply of a small download must not wait for the client's delayed
// acknowledgement of the preliminary reply (about 40 ms when it does).
TEST_F(Transfer, FinalReplyFollowsTheDataCloseAtOnce) {
    WriteRootFile("small", RandomBytes(4096, 5));
    for (bool passive : {true, false}) {
        s.passive = passive;
        std::vector<double> ms;
        for (int i = 0; i < 20; i++) {
            std::string first;
            int fd = s.Begin("RETR small", &first);
            ASSERT_EQ(Code(first)[0], '1') << first << ", passive " << passive;
            ASSERT_EQ(ReadAll(fd).size(), 4096u);
            auto closed = bxtest::Clock::now();
            close(fd);
            ASSERT_EQ(s.ReadReply(), "226 Transfer complete.\r\n");
            ms.push_back(std::chrono::duration<double, std::milli>(bxtest::Clock::now() - closed).count());
        }
        std::nth_element(ms.begin(), ms.begin() + 10, ms.end());
        EXPECT_LT(ms[10], 5.0) << "median ms from data close to 226, passive " << passive;
    }
}

}  // namespace
