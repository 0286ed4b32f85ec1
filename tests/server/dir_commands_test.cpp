// Directory and file management over a real control connection: the replies
// in the order the handlers check, permissions, read-only entries (refused
// even though the tests run as root), the rename sequence, and hostile paths.
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "ftp_fixture.h"

namespace fsys = std::filesystem;

namespace {

const char BAD_DIR[] = "550 Invalid directory path.";
const char BAD_FILE[] = "550 Invalid file path.";
const char NEED_ARG[] = "500 Syntax error; parameter required.";
const char PENDING[] = "350 Requested file action pending further information.";
const char NO_RNFR[] = "503 RNTO must follow RNFR.";
const char NOT_LOGGED_IN[] = "530 Not logged in.";
const char NOT_PERMITTED[] = "550 Not permitted.";
const char AT_ROOT[] = "257 \"/\" is current directory.";
const char CWD_OK[] = "250 CWD command successful.";
const char CREATED[] = "250 Directory created.";

constexpr uint8_t ALL_PERMS =
    PERM_LIST | PERM_GET | PERM_PUT | PERM_CREATE | PERM_DELETEDIR | PERM_DELETEFILE;

class DirCommands : public FtpFixture {
protected:
    // Connects, reads the greeting and logs in as "u" with the permissions.
    void LogIn(uint8_t permissions = ALL_PERMS) {
        AddUser("u", "pw", permissions);
        Open();
        ASSERT_TRUE(client_.Login("u", "pw"));
    }
    void Open() {
        ASSERT_TRUE(client_.Connect(Port()));
        ASSERT_EQ(client_.ReadReply().substr(0, 3), "220");
    }
    // The reply to line, without its CR LF.
    std::string Cmd(const std::string& line) {
        std::string reply = client_.Command(line);
        if (reply.size() >= 2) reply.resize(reply.size() - 2);
        return reply;
    }
    std::string Root(const std::string& rel) const { return RootDir() + "/" + rel; }

    FtpClient client_;
};

TEST_F(DirCommands, EveryCommandAnswersNotLoggedInBeforeLogin) {
    AddUser("u", "pw");
    WriteRootFile("a.txt", "a");
    Open();
    for (const char* line : {"CWD /", "CWD", "CDUP", "XCUP", "PWD", "XPWD", "MKD x", "XMKD x",
                             "RMD x", "XRMD x", "DELE a.txt", "RNFR a.txt", "RNTO b.txt"}) {
        EXPECT_EQ(Cmd(line), NOT_LOGGED_IN) << line;
    }
    // Also with a name given but no password yet.
    EXPECT_EQ(Cmd("USER u").substr(0, 3), "331");
    ExpectReplies(client_, {{"PWD", NOT_LOGGED_IN}, {"DELE a.txt", NOT_LOGGED_IN}});
    EXPECT_TRUE(fsys::exists(Root("a.txt")));
    EXPECT_FALSE(fsys::exists(Root("x")));
}

TEST_F(DirCommands, CwdCdupAndPwdMoveAboutTheTree) {
    fsys::create_directories(Root("pub/docs"));
    WriteRootFile("pub/f.txt", "f");
    LogIn();
    ExpectReplies(client_, {{"PWD", AT_ROOT}, {"CWD", CWD_OK}, {"CWD pub/docs", CWD_OK},
                            {"XPWD", "257 \"/pub/docs\" is current directory."}, {"CWD ../f.txt", BAD_DIR},
                            {"CWD missing", BAD_DIR}});
    EXPECT_EQ(Cmd("PWD"), "257 \"/pub/docs\" is current directory.");  // unchanged by failures
    ExpectReplies(client_, {{"CDUP x", "501 Unexpected parameter."}, {"PWD ", "501 Unexpected parameter."}});
    // CDUP takes the parent without asking whether it still exists.
    fsys::remove_all(Root("pub"));
    ExpectReplies(client_, {{"CDUP", "200 Command okay."}, {"PWD", "257 \"/pub\" is current directory."},
                            {"CWD .", BAD_DIR}, {"XCUP", "200 Command okay."}, {"PWD", AT_ROOT},
                            {"CDUP", BAD_DIR}, {"XCUP", BAD_DIR}});
}

TEST_F(DirCommands, PwdWritesQuotesTwice) {
    fsys::create_directories(Root("say \"hi\"/x"));
    LogIn();
    ExpectReplies(client_, {{"CWD say \"hi\"\\x", CWD_OK},
                            {"PWD", "257 \"/say \"\"hi\"\"/x\" is current directory."}});
}

TEST_F(DirCommands, MkdAndRmdCheckInOrder) {
    fsys::create_directories(Root("full/inner"));
    fsys::create_directories(Root("locked"));
    WriteRootFile("f.txt", "f");
    LogIn();
    ExpectReplies(client_, {{"MKD", NEED_ARG}, {"RMD", NEED_ARG}, {"MKD new", CREATED}});
    EXPECT_TRUE(fsys::is_directory(Root("new")));
    EXPECT_EQ(Cmd("XMKD new2"), CREATED);
    EXPECT_TRUE(fsys::is_directory(Root("new2")));
    ExpectReplies(client_, {{"MKD new", BAD_DIR}, {"MKD /", BAD_DIR}, {"MKD a*", BAD_DIR},
                            {"MKD missing/child", "550 Error creating directory."},
                            {"RMD full", "550 Error removing directory."},
                            {"RMD f.txt", "550 f.txt: not a directory."}, {"RMD /", BAD_DIR}});
    chmod(Root("locked").c_str(), 0555);
    EXPECT_EQ(Cmd("RMD locked"), "550 Directory is read-only.");
    EXPECT_TRUE(fsys::is_directory(Root("locked")));
    ExpectReplies(client_, {{"RMD new", "250 Directory removed."}, {"XRMD new2", "250 Directory removed."}});
    EXPECT_FALSE(fsys::exists(Root("new")));
    EXPECT_FALSE(fsys::exists(Root("new2")));
    EXPECT_TRUE(fsys::is_directory(Root("full/inner")));
}

TEST_F(DirCommands, DeleCheckInOrder) {
    fsys::create_directories(Root("d"));
    WriteRootFile("f.txt", "f");
    WriteRootFile("ro.txt", "keep");
    chmod(Root("ro.txt").c_str(), 0444);
    LogIn();
    ExpectReplies(client_, {{"DELE", NEED_ARG}, {"DELE /", "550 /: not a plain file."},
                            {"DELE d", "550 d: not a plain file."}, {"DELE missing", BAD_FILE},
                            {"DELE ro.txt", "550 File is read-only."}});
    EXPECT_TRUE(fsys::exists(Root("ro.txt")));
    EXPECT_EQ(Cmd("DELE f.txt"), "250 File deleted.");
    EXPECT_FALSE(fsys::exists(Root("f.txt")));
    EXPECT_EQ(Cmd("DELE f.txt"), BAD_FILE);
}

TEST_F(DirCommands, MissingPermissionsRefuseAfterTheArgumentCheck) {
    fsys::create_directories(Root("old"));
    WriteRootFile("f.txt", "f");
    LogIn(PERM_LIST | PERM_DELETEDIR);
    ExpectReplies(client_, {{"MKD", NEED_ARG}, {"MKD x", NOT_PERMITTED}});
    EXPECT_EQ(Cmd("MKD /"), NOT_PERMITTED);  // before the path is looked at
    ExpectReplies(client_, {{"DELE f.txt", NOT_PERMITTED}, {"RNFR f.txt", "550 No permission."},
                            {"RNTO g.txt", NO_RNFR}, {"RMD old", "250 Directory removed."}});
    EXPECT_FALSE(fsys::exists(Root("x")));
    EXPECT_TRUE(fsys::exists(Root("f.txt")));
}

TEST_F(DirCommands, RmdWithoutItsPermissionIsRefused) {
    fsys::create_directories(Root("old"));
    LogIn(PERM_CREATE);
    EXPECT_EQ(Cmd("RMD old"), NOT_PERMITTED);
    EXPECT_TRUE(fsys::exists(Root("old")));
    EXPECT_EQ(Cmd("MKD new"), CREATED);
}

TEST_F(DirCommands, RenameKeepsThePendingNameUntilAMoveIsTried) {
    fsys::create_directories(Root("d"));
    fsys::create_directories(Root("sub"));
    WriteRootFile("a.txt", "A");
    WriteRootFile("b.txt", "B");
    WriteRootFile("ro.txt", "R");
    chmod(Root("ro.txt").c_str(), 0444);
    LogIn();
    ExpectReplies(client_, {{"RNTO x", NO_RNFR}, {"RNFR", NEED_ARG},
                            {"RNFR ro.txt", "550 File is read-only."}, {"RNTO x", NO_RNFR},
                            {"RNFR d", "550 d: not a plain file."}, {"RNFR missing", BAD_FILE},
                            {"RNFR a.txt", PENDING}});
    // A failed RNFR and other commands leave the pending name in place.
    ExpectReplies(client_, {{"RNFR missing", BAD_FILE}, {"PWD", AT_ROOT}, {"RNTO", NEED_ARG},
                            {"RNTO b.txt", "550 File already exists."}, {"RNTO c*", BAD_FILE},
                            {"RNTO sub/c.txt", "250 File renamed."}, {"RNTO e.txt", NO_RNFR}});
    EXPECT_FALSE(fsys::exists(Root("a.txt")));
    EXPECT_EQ(bxtest::ReadFile(Root("sub/c.txt")), "A");
    EXPECT_EQ(bxtest::ReadFile(Root("b.txt")), "B");
    // A move that fails (the source vanished) still clears the pending name.
    EXPECT_EQ(Cmd("RNFR b.txt"), PENDING);
    fsys::remove(Root("b.txt"));
    ExpectReplies(client_, {{"RNTO f.txt", "553 Error renaming file."}, {"RNTO f.txt", NO_RNFR}});
    // Nor is a directory that took the file's place after RNFR moved.
    WriteRootFile("c.txt", "C");
    EXPECT_EQ(Cmd("RNFR c.txt"), PENDING);
    fsys::remove(Root("c.txt"));
    fsys::create_directory(Root("c.txt"));
    EXPECT_EQ(Cmd("RNTO g"), "553 Error renaming file.");
    EXPECT_TRUE(fsys::is_directory(Root("c.txt")));
}

TEST_F(DirCommands, HostilePathsAreAnsweredAndTheConnectionGoesOn) {
    LogIn();
    std::string longName(300, 'x');
    ExpectReplies(client_, {{"CWD " + longName, BAD_DIR}, {"MKD " + longName, BAD_DIR}});
    // Fits as a relative path but not behind the root: refused, not cut.
    std::string fits(250, 'y');
    ExpectReplies(client_, {{"MKD " + fits, BAD_DIR}, {"DELE " + fits, BAD_FILE},
                            {"MKD " + std::string(260 - RootDir().size() - 2, 'z'), CREATED}});
    std::string many;
    for (int i = 0; i < 2000; i++) many += "a/";
    ExpectReplies(client_, {{"CWD " + many, BAD_DIR}, {"CWD " + std::string(1000, '.'), BAD_DIR},
                            {"MKD \xe9t\xe9 \x80", CREATED}});
    EXPECT_TRUE(fsys::is_directory(Root("\xe9t\xe9 \x80")));
    EXPECT_EQ(Cmd("MKD . ."), CREATED);
    ASSERT_TRUE(client_.Send(std::string("DELE a\0b\r\n", 10)));
    EXPECT_EQ(client_.ReadReply().substr(0, 1), "5");
    EXPECT_EQ(Cmd("PWD"), AT_ROOT);
}

}  // namespace
