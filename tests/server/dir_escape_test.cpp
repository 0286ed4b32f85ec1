// Links inside the root that lead outside it: no directory command can enter,
// change, remove or rename anything outside.
#include <filesystem>
#include <string>

#include "ftp_fixture.h"

namespace fsys = std::filesystem;

namespace {

const char BAD_DIR[] = "550 Invalid directory path.";
const char BAD_FILE[] = "550 Invalid file path.";
const char PENDING[] = "350 Requested file action pending further information.";
const char AT_ROOT[] = "257 \"/\" is current directory.";

class DirEscape : public FtpFixture {
protected:
    void SetUp() override {
        FtpFixture::SetUp();
        outside_ = Temp() + "/outside";
        fsys::create_directories(outside_ + "/sub");
        bxtest::WriteFile(outside_ + "/secret", "OUTSIDE");
        fsys::create_directory_symlink(outside_, RootDir() + "/out");
        fsys::create_symlink(outside_ + "/secret", RootDir() + "/f");
        WriteRootFile("a.txt", "A");
        AddUser("u", "pw");
        ASSERT_TRUE(client_.Connect(Port()));
        ASSERT_EQ(client_.ReadReply().substr(0, 3), "220");
        ASSERT_TRUE(client_.Login("u", "pw"));
    }
    std::string OutsideSnapshot() const {
        std::string s;
        for (auto& e : fsys::recursive_directory_iterator(outside_)) s += e.path().string() + "\n";
        return s + bxtest::ReadFile(outside_ + "/secret");
    }

    std::string outside_;
    FtpClient client_;
};

TEST_F(DirEscape, CommandsThroughOutsideLinksChangeNothingOutside) {
    std::string before = OutsideSnapshot();
    ExpectReplies(client_, {{"CWD out", BAD_DIR}, {"CWD out/sub", BAD_DIR}, {"PWD", AT_ROOT},
                            {"DELE f", BAD_FILE}, {"DELE out/secret", BAD_FILE}, {"RNFR f", BAD_FILE},
                            {"RNFR out/secret", BAD_FILE}, {"RNFR a.txt", PENDING},
                            {"RNTO out/a.txt", "553 Error renaming file."},
                            {"MKD out/x", "550 Error creating directory."}, {"RMD out", BAD_DIR},
                            {"RMD out/sub", BAD_DIR}});
    EXPECT_EQ(before, OutsideSnapshot());
    EXPECT_TRUE(fsys::exists(RootDir() + "/a.txt"));
    EXPECT_TRUE(fsys::is_symlink(RootDir() + "/out"));
    EXPECT_TRUE(fsys::is_symlink(RootDir() + "/f"));
}

}  // namespace
