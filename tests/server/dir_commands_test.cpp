// Directory and file management over a real control connection: the replies
// in the order the handlers check, permissions, read-only entries (refused
// even though the tests run as root), the rename sequence, hostile paths,
// and links that lead outside the root.
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <tuple>

#include "config/config.h"
#include "data_client.h"
#include "platform/fs.h"

namespace fsys = std::filesystem;

namespace {

const std::string BAD_DIR = "550 Invalid directory path.", BAD_FILE = "550 Invalid file path.";
const std::string NEED_ARG = "500 Syntax error; parameter required.",
                  NO_RNFR = "503 RNTO must follow RNFR.";
const std::string PENDING = "350 Requested file action pending further information.";
const std::string NOT_PERMITTED = "550 Not permitted.", RENAME_FAILED = "553 Error renaming file.";
const std::string AT_ROOT = "257 \"/\" is current directory.",
                  CWD_OK = "250 CWD command successful.";
const std::string CREATED = "250 Directory created.", REMOVED = "250 Directory removed.";

// The session s is logged in as u, with every permission.
using DirCommands = dataclient::SessionTest;

TEST_F(DirCommands, EveryCommandAnswersNotLoggedInBeforeLogin) {
    WriteRootFile("a.txt", "a");
    FtpClient c;
    ASSERT_TRUE(c.ConnectGreeted(Port()));
    std::vector<std::pair<std::string, std::string>> steps;
    for (const char* command :
         {"CWD /", "CWD", "CDUP", "XCUP", "PWD", "XPWD", "MKD x", "XMKD x", "RMD x", "XRMD x",
          "DELE a.txt", "RNFR a.txt", "RNTO b.txt", "PORT 127,0,0,1,4,0", "PASV",
          // Also with a name given but no password yet.
          "USER u", "PWD", "DELE a.txt"})
        steps.push_back(
            {command, command[0] == 'U' ? "331 Password required." : "530 Not logged in."});
    ExpectReplies(c, steps);
    EXPECT_TRUE(fsys::exists(Root("a.txt")));
    EXPECT_FALSE(fsys::exists(Root("x")));
}

TEST_F(DirCommands, CwdCdupAndPwdMoveAboutTheTree) {
    for (const char* dir : {"pub/docs", "say \"hi\"/x"})
        fsys::create_directories(Root(dir));
    WriteRootFile("pub/f.txt", "f");
    const char inDocs[] = "257 \"/pub/docs\" is current directory.";
    ExpectReplies(s, {{"PWD", AT_ROOT},
                      {"CWD", CWD_OK},
                      {"CWD pub/docs", CWD_OK},
                      {"XPWD", inDocs},
                      {"CWD ../f.txt", BAD_DIR},
                      {"CWD missing", BAD_DIR},
                      {"PWD", inDocs}, // unchanged by failures
                      {"CDUP x", "501 Unexpected parameter."},
                      {"PWD ", "501 Unexpected parameter."}});
    // CDUP takes the parent without asking whether it still exists.
    fsys::remove_all(Root("pub"));
    ExpectReplies(s, {{"CDUP", "200 Command okay."},
                      {"PWD", "257 \"/pub\" is current directory."},
                      {"CWD .", BAD_DIR},
                      {"XCUP", "200 Command okay."},
                      {"PWD", AT_ROOT},
                      {"CDUP", BAD_DIR},
                      {"XCUP", BAD_DIR},
                      {"CWD say \"hi\"\\x", CWD_OK},
                      {"PWD", "257 \"/say \"\"hi\"\"/x\" is current directory."}});
}

TEST_F(DirCommands, MkdRmdAndDeleCheckInOrder) {
    for (const char* dir : {"full/inner", "locked", "d"})
        fsys::create_directories(Root(dir));
    for (const char* file : {"f.txt", "ro.txt"})
        WriteRootFile(file, "keep");
    chmod(Root("ro.txt").c_str(), 0444);
    chmod(Root("locked").c_str(), 0555);
    ExpectReplies(s, {{"MKD", NEED_ARG},
                      {"RMD", NEED_ARG},
                      {"MKD new", CREATED},
                      {"XMKD new2", CREATED},
                      {"MKD new", BAD_DIR},
                      {"MKD /", BAD_DIR},
                      {"MKD a*", BAD_DIR},
                      {"MKD missing/child", "550 Error creating directory."},
                      {"RMD full", "550 Error removing directory."},
                      {"RMD f.txt", "550 f.txt: not a directory."},
                      {"RMD /", BAD_DIR},
                      {"RMD locked", "550 Directory is read-only."}});
    for (const char* dir : {"new", "new2", "locked", "full/inner"})
        EXPECT_TRUE(fsys::is_directory(Root(dir))) << dir;
    ExpectReplies(s, {{"RMD new", REMOVED}, {"XRMD new2", REMOVED}});
    EXPECT_FALSE(fsys::exists(Root("new")) || fsys::exists(Root("new2")));

    ExpectReplies(s, {{"DELE", NEED_ARG},
                      {"DELE /", "550 /: not a plain file."},
                      {"DELE d", "550 d: not a plain file."},
                      {"DELE missing", BAD_FILE},
                      {"DELE ro.txt", "550 File is read-only."},
                      {"DELE f.txt", "250 File deleted."}});
    EXPECT_TRUE(fsys::exists(Root("ro.txt")));
    ExpectReplies(s, {{"DELE f.txt", BAD_FILE}}); // it is gone
}

TEST_F(DirCommands, MissingPermissionsRefuseAfterTheArgumentCheck) {
    for (const char* dir : {"old", "old2"})
        fsys::create_directories(Root(dir));
    WriteRootFile("f.txt", "f");
    AddUser("l", "pw", PERM_LIST | PERM_DELETEDIR);
    dataclient::Session lister;
    ASSERT_TRUE(lister.Open(Port(), "l"));
    ExpectReplies(lister, {{"MKD", NEED_ARG},
                           {"MKD x", NOT_PERMITTED},
                           {"MKD /", NOT_PERMITTED}, // before the path is looked at
                           {"DELE f.txt", NOT_PERMITTED},
                           {"RNFR f.txt", "550 No permission."},
                           {"RNTO g.txt", NO_RNFR},
                           {"RMD old", REMOVED}});
    EXPECT_FALSE(fsys::exists(Root("x")));
    EXPECT_TRUE(fsys::exists(Root("f.txt")));

    AddUser("c", "pw", PERM_CREATE);
    dataclient::Session creator;
    ASSERT_TRUE(creator.Open(Port(), "c"));
    ExpectReplies(creator, {{"RMD old2", NOT_PERMITTED}, {"MKD new", CREATED}});
    EXPECT_TRUE(fsys::exists(Root("old2")));
}

TEST_F(DirCommands, RenameKeepsThePendingNameUntilAMoveIsTried) {
    for (const char* dir : {"d", "sub"})
        fsys::create_directories(Root(dir));
    for (const char* file : {"a.txt", "b.txt", "ro.txt"})
        WriteRootFile(file, file);
    chmod(Root("ro.txt").c_str(), 0444);
    ExpectReplies(s, {{"RNTO x", NO_RNFR},
                      {"RNFR", NEED_ARG},
                      {"RNFR ro.txt", "550 File is read-only."},
                      {"RNTO x", NO_RNFR},
                      {"RNFR d", "550 d: not a plain file."},
                      {"RNFR missing", BAD_FILE},
                      {"RNFR a.txt", PENDING},
                      // A failed RNFR and other commands leave the pending name in place.
                      {"RNFR missing", BAD_FILE},
                      {"PWD", AT_ROOT},
                      {"RNTO", NEED_ARG},
                      {"RNTO b.txt", "550 File already exists."},
                      {"RNTO c*", BAD_FILE},
                      {"RNTO sub/c.txt", "250 File renamed."},
                      {"RNTO e.txt", NO_RNFR}});
    EXPECT_FALSE(fsys::exists(Root("a.txt")));
    EXPECT_EQ(bxtest::ReadFile(Root("sub/c.txt")), "a.txt");
    EXPECT_EQ(bxtest::ReadFile(Root("b.txt")), "b.txt");
    // A move that fails (the source vanished) still clears the pending name.
    ExpectReplies(s, {{"RNFR b.txt", PENDING}});
    fsys::remove(Root("b.txt"));
    ExpectReplies(s, {{"RNTO f.txt", RENAME_FAILED}, {"RNTO f.txt", NO_RNFR}});
    // Nor is a directory that took the file's place after RNFR moved.
    WriteRootFile("c.txt", "C");
    ExpectReplies(s, {{"RNFR c.txt", PENDING}});
    fsys::remove(Root("c.txt"));
    fsys::create_directory(Root("c.txt"));
    ExpectReplies(s, {{"RNTO g", RENAME_FAILED}});
    EXPECT_TRUE(fsys::is_directory(Root("c.txt")));
}

TEST_F(DirCommands, HostilePathsAreAnsweredAndTheConnectionGoesOn) {
    std::string many;
    for (int i = 0; i < 2000; i++)
        many += "a/";
    // A name that fits as a relative path but not behind the root: refused, not cut.
    std::string fits(250, 'y');
    ExpectReplies(s, {{"CWD " + std::string(300, 'x'), BAD_DIR},
                      {"MKD " + std::string(300, 'x'), BAD_DIR},
                      {"MKD " + fits, BAD_DIR},
                      {"DELE " + fits, BAD_FILE},
                      {"MKD " + std::string(260 - RootDir().size() - 2, 'z'), CREATED},
                      {"CWD " + many, BAD_DIR},
                      {"CWD " + std::string(1000, '.'), BAD_DIR},
                      {"MKD \xe9t\xe9 \x80", CREATED},
                      {"MKD . .", CREATED}});
    EXPECT_TRUE(fsys::is_directory(Root("\xe9t\xe9 \x80")));
    ExpectReplies(s, {{"PWD", AT_ROOT}}); // (a NUL in a line: hostile_client_test.cpp)
}

// Links inside the root that lead outside it: no command reads, lists,
// describes, writes, creates, removes or renames anything outside, whichever
// way the file layer resolves paths (the kernel's beneath resolution or the
// component walk of older kernels) and with the extensions off and on.
class LinksOut : public DirCommands,
                 public ::testing::WithParamInterface<std::tuple<int, uint32_t>> {
  protected:
    void SetUp() override {
        DirCommands::SetUp();
        FsSetWalkOnly(std::get<0>(GetParam()));
        SetExtensionsSetting(std::get<1>(GetParam()));
    }
    void TearDown() override {
        FsSetWalkOnly(0);
        DirCommands::TearDown();
    }
};

TEST_P(LinksOut, ChangeNothingOutsideTheRoot) {
    std::string outside = Temp() + "/outside";
    fsys::create_directories(outside + "/sub");
    bxtest::WriteFile(outside + "/secret", "OUTSIDE");
    fsys::create_directory_symlink("../outside", Root("out")); // relative
    fsys::create_symlink(outside + "/secret", Root("f"));      // absolute
    WriteRootFile("a.txt", "A");
    auto snapshot = [&] {
        std::string s;
        for (auto& e : fsys::recursive_directory_iterator(outside))
            s += e.path().string() + "\n";
        return s + bxtest::ReadFile(outside + "/secret");
    };
    std::string before = snapshot();
    const bool extensions = std::get<1>(GetParam());
    dataclient::Session c; // s was logged in before the switch was set
    ASSERT_TRUE(c.Open(Port()));
    // The data commands are refused before any data connection is tried.
    std::vector<std::pair<std::string, std::string>> steps = {
        {"CWD out", BAD_DIR},
        {"CWD out/sub", BAD_DIR},
        {"PWD", AT_ROOT},
        {"DELE f", BAD_FILE},
        {"DELE out/secret", BAD_FILE},
        {"RNFR f", BAD_FILE},
        {"RNFR out/secret", BAD_FILE},
        {"RNFR a.txt", PENDING},
        {"RNTO out/a.txt", RENAME_FAILED},
        {"MKD out/x", "550 Error creating directory."},
        {"RMD out", BAD_DIR},
        {"RMD out/sub", BAD_DIR},
        {"RETR f", BAD_FILE},
        {"RETR out/secret", BAD_FILE}};
    if (extensions) // dots inside paths, wildcards and the extension lookups stay inside too
        steps.insert(steps.end(), {{"SIZE f", BAD_FILE},
                                   {"MDTM f", BAD_FILE},
                                   {"MLST f", BAD_FILE},
                                   {"SIZE out/secret", BAD_FILE},
                                   {"MDTM out/secret", BAD_FILE},
                                   {"MLST out", BAD_FILE},
                                   {"MLSD out", BAD_FILE},
                                   {"LIST out/*", BAD_FILE},
                                   {"NLST ../*", BAD_FILE},
                                   {"NLST a.txt/../../*", BAD_FILE},
                                   {"CWD a.txt/../out", BAD_DIR},
                                   {"CWD a.txt/../..", BAD_DIR},
                                   {"RETR ./x/../../out/secret", BAD_FILE},
                                   {"DELE out/../f", BAD_FILE},
                                   {"MKD a/../out/y", "550 Error creating directory."},
                                   {"PWD", AT_ROOT}});
    ExpectReplies(c, steps);
    for (const char* upload : {"STOR out/x", "APPE f", "STOR f", "APPE out/secret"})
        EXPECT_EQ(c.Upload(upload, "data"), "426 Connection closed; transfer aborted.\r\n")
            << upload;
    std::string final;
    EXPECT_EQ(c.Download("LIST out", &final), "");
    EXPECT_NE(dataclient::Code(final), "226");
    // Listings leave out the links that lead outside.
    for (const char* listing : {"NLST", "NLST *", "MLSD"}) {
        if (!extensions && listing != std::string("NLST")) continue;
        std::string got = c.Download(listing);
        EXPECT_EQ(bxtest::CountOf(got, "\r\n"), 1) << listing << ": " << got;
        EXPECT_NE(got.find("a.txt\r\n"), std::string::npos) << listing << ": " << got;
    }
    EXPECT_EQ(before, snapshot());
    EXPECT_TRUE(fsys::exists(Root("a.txt")) && fsys::is_symlink(Root("out")) &&
                fsys::is_symlink(Root("f")));
}

INSTANTIATE_TEST_SUITE_P(Resolution, LinksOut,
                         ::testing::Combine(::testing::Values(0, 1), ::testing::Values(0u, 1u)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) ? "Walk" : "Openat2") +
                                    (std::get<1>(info.param) ? "Extensions" : "");
                         });

} // namespace
