// Links inside the root that lead outside it: no command can enter, change,
// remove, rename, list or describe anything outside, with the extensions
// switch off and on.
#include <filesystem>
#include <string>

#include "config/config.h"
#include "data_client.h"

namespace fsys = std::filesystem;

namespace {

const char BAD_DIR[] = "550 Invalid directory path.";
const char BAD_FILE[] = "550 Invalid file path.";
const char PENDING[] = "350 Requested file action pending further information.";
const char AT_ROOT[] = "257 \"/\" is current directory.";

class DirEscape : public FtpFixture, public ::testing::WithParamInterface<uint32_t> {
protected:
    void SetUp() override {
        FtpFixture::SetUp();
        SetExtensionsSetting(GetParam());
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

TEST_P(DirEscape, CommandsThroughOutsideLinksChangeNothingOutside) {
    std::string before = OutsideSnapshot();
    ExpectReplies(client_, {{"CWD out", BAD_DIR}, {"CWD out/sub", BAD_DIR}, {"PWD", AT_ROOT},
                            {"DELE f", BAD_FILE}, {"DELE out/secret", BAD_FILE}, {"RNFR f", BAD_FILE},
                            {"RNFR out/secret", BAD_FILE}, {"RNFR a.txt", PENDING},
                            {"RNTO out/a.txt", "553 Error renaming file."},
                            {"MKD out/x", "550 Error creating directory."}, {"RMD out", BAD_DIR},
                            {"RMD out/sub", BAD_DIR}, {"RETR f", BAD_FILE}, {"RETR out/secret", BAD_FILE}});
    if (GetParam()) {
        // Dots inside paths, wildcards and the new lookups stay inside too.
        ExpectReplies(client_, {{"SIZE f", BAD_FILE}, {"MDTM f", BAD_FILE}, {"MLST f", BAD_FILE},
                                {"SIZE out/secret", BAD_FILE}, {"MDTM out/secret", BAD_FILE},
                                {"MLST out", BAD_FILE}, {"MLSD out", BAD_FILE}, {"LIST out/*", BAD_FILE},
                                {"NLST ../*", BAD_FILE}, {"NLST a.txt/../../*", BAD_FILE},
                                {"CWD a.txt/../out", BAD_DIR}, {"CWD a.txt/../..", BAD_DIR},
                                {"RETR ./x/../../out/secret", BAD_FILE}, {"DELE out/../f", BAD_FILE},
                                {"MKD a/../out/y", "550 Error creating directory."}, {"PWD", AT_ROOT}});
    }
    dataclient::Session s;
    ASSERT_TRUE(s.Open(Port()));
    EXPECT_EQ(s.Download("NLST"), "a.txt\r\n") << "links leading outside are not listed";
    if (GetParam()) {
        EXPECT_EQ(s.Download("NLST *"), "a.txt\r\n");
        std::string mlsd = s.Download("MLSD");
        EXPECT_EQ(dataclient::CountOf(mlsd, "\r\n"), 1u) << mlsd;
        EXPECT_NE(mlsd.find(" a.txt\r\n"), std::string::npos) << mlsd;
    }
    EXPECT_EQ(before, OutsideSnapshot());
    EXPECT_TRUE(fsys::exists(RootDir() + "/a.txt"));
    EXPECT_TRUE(fsys::is_symlink(RootDir() + "/out"));
    EXPECT_TRUE(fsys::is_symlink(RootDir() + "/f"));
}

INSTANTIATE_TEST_SUITE_P(BothSwitchSettings, DirEscape, ::testing::Values(0u, 1u));

}  // namespace
