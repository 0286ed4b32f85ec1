// Links inside the root that lead outside it: no directory command can enter,
// change, remove or rename anything outside.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "ftp_fixture.h"

namespace fsys = std::filesystem;

namespace {

class DirEscape : public FtpFixture {
protected:
    void SetUp() override {
        FtpFixture::SetUp();
        outside_ = Temp() + "/outside";
        fsys::create_directories(outside_ + "/sub");
        std::ofstream(outside_ + "/secret") << "OUTSIDE";
        fsys::create_directory_symlink(outside_, RootDir() + "/out");
        fsys::create_symlink(outside_ + "/secret", RootDir() + "/f");
        WriteRootFile("a.txt", "A");
        AddUser("u", "pw");
        ASSERT_TRUE(client_.Connect(Port()));
        ASSERT_EQ(client_.ReadReply().substr(0, 3), "220");
        ASSERT_TRUE(client_.Login("u", "pw"));
    }
    std::string Cmd(const std::string& line) {
        std::string reply = client_.Command(line);
        if (reply.size() >= 2) reply.resize(reply.size() - 2);
        return reply;
    }
    std::string OutsideSnapshot() const {
        std::string s;
        for (auto& e : fsys::recursive_directory_iterator(outside_)) s += e.path().string() + "\n";
        std::ifstream in(outside_ + "/secret");
        std::stringstream text;
        text << in.rdbuf();
        return s + text.str();
    }

    std::string outside_;
    FtpClient client_;
};

TEST_F(DirEscape, CommandsThroughOutsideLinksChangeNothingOutside) {
    std::string before = OutsideSnapshot();
    EXPECT_EQ(Cmd("CWD out"), "550 Invalid directory path.");
    EXPECT_EQ(Cmd("CWD out/sub"), "550 Invalid directory path.");
    EXPECT_EQ(Cmd("PWD"), "257 \"/\" is current directory.");
    EXPECT_EQ(Cmd("DELE f"), "550 Invalid file path.");
    EXPECT_EQ(Cmd("DELE out/secret"), "550 Invalid file path.");
    EXPECT_EQ(Cmd("RNFR f"), "550 Invalid file path.");
    EXPECT_EQ(Cmd("RNFR out/secret"), "550 Invalid file path.");
    EXPECT_EQ(Cmd("RNFR a.txt"), "350 Requested file action pending further information.");
    EXPECT_EQ(Cmd("RNTO out/a.txt"), "553 Error renaming file.");
    EXPECT_EQ(Cmd("MKD out/x"), "550 Error creating directory.");
    EXPECT_EQ(Cmd("RMD out"), "550 Invalid directory path.");
    EXPECT_EQ(Cmd("RMD out/sub"), "550 Invalid directory path.");
    EXPECT_EQ(before, OutsideSnapshot());
    EXPECT_TRUE(fsys::exists(RootDir() + "/a.txt"));
    EXPECT_TRUE(fsys::is_symlink(RootDir() + "/out"));
    EXPECT_TRUE(fsys::is_symlink(RootDir() + "/f"));
}

}  // namespace
