// Directory and file management over a real control connection: the replies
// in the order the handlers check, permissions, read-only entries (refused
// even though the tests run as root), the rename sequence, and hostile paths.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "ftp_fixture.h"

namespace fsys = std::filesystem;

namespace {

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
        EXPECT_EQ(Cmd(line), "530 Not logged in.") << line;
    }
    // Also with a name given but no password yet.
    EXPECT_EQ(Cmd("USER u").substr(0, 3), "331");
    EXPECT_EQ(Cmd("PWD"), "530 Not logged in.");
    EXPECT_EQ(Cmd("DELE a.txt"), "530 Not logged in.");
    EXPECT_TRUE(fsys::exists(Root("a.txt")));
    EXPECT_FALSE(fsys::exists(Root("x")));
}

TEST_F(DirCommands, CwdCdupAndPwdMoveAboutTheTree) {
    fsys::create_directories(Root("pub/docs"));
    WriteRootFile("pub/f.txt", "f");
    LogIn();
    EXPECT_EQ(Cmd("PWD"), "257 \"/\" is current directory.");
    EXPECT_EQ(Cmd("CWD"), "250 CWD command successful.");
    EXPECT_EQ(Cmd("CWD pub/docs"), "250 CWD command successful.");
    EXPECT_EQ(Cmd("XPWD"), "257 \"/pub/docs\" is current directory.");
    EXPECT_EQ(Cmd("CWD ../f.txt"), "550 Invalid directory path.");
    EXPECT_EQ(Cmd("CWD missing"), "550 Invalid directory path.");
    EXPECT_EQ(Cmd("PWD"), "257 \"/pub/docs\" is current directory.");  // unchanged by failures
    EXPECT_EQ(Cmd("CDUP x"), "501 Unexpected parameter.");
    EXPECT_EQ(Cmd("PWD "), "501 Unexpected parameter.");
    // CDUP takes the parent without asking whether it still exists.
    fsys::remove_all(Root("pub"));
    EXPECT_EQ(Cmd("CDUP"), "200 Command okay.");
    EXPECT_EQ(Cmd("PWD"), "257 \"/pub\" is current directory.");
    EXPECT_EQ(Cmd("CWD ."), "550 Invalid directory path.");
    EXPECT_EQ(Cmd("XCUP"), "200 Command okay.");
    EXPECT_EQ(Cmd("PWD"), "257 \"/\" is current directory.");
    EXPECT_EQ(Cmd("CDUP"), "550 Invalid directory path.");
    EXPECT_EQ(Cmd("XCUP"), "550 Invalid directory path.");
}

TEST_F(DirCommands, PwdWritesQuotesTwice) {
    fsys::create_directories(Root("say \"hi\"/x"));
    LogIn();
    EXPECT_EQ(Cmd("CWD say \"hi\"\\x"), "250 CWD command successful.");
    EXPECT_EQ(Cmd("PWD"), "257 \"/say \"\"hi\"\"/x\" is current directory.");
}

TEST_F(DirCommands, MkdAndRmdCheckInOrder) {
    fsys::create_directories(Root("full/inner"));
    fsys::create_directories(Root("locked"));
    WriteRootFile("f.txt", "f");
    LogIn();
    EXPECT_EQ(Cmd("MKD"), "500 Syntax error; parameter required.");
    EXPECT_EQ(Cmd("RMD"), "500 Syntax error; parameter required.");
    EXPECT_EQ(Cmd("MKD new"), "250 Directory created.");
    EXPECT_TRUE(fsys::is_directory(Root("new")));
    EXPECT_EQ(Cmd("XMKD new2"), "250 Directory created.");
    EXPECT_TRUE(fsys::is_directory(Root("new2")));
    EXPECT_EQ(Cmd("MKD new"), "550 Invalid directory path.");
    EXPECT_EQ(Cmd("MKD /"), "550 Invalid directory path.");
    EXPECT_EQ(Cmd("MKD a*"), "550 Invalid directory path.");
    EXPECT_EQ(Cmd("MKD missing/child"), "550 Error creating directory.");
    EXPECT_EQ(Cmd("RMD full"), "550 Error removing directory.");
    EXPECT_EQ(Cmd("RMD f.txt"), "550 f.txt: not a directory.");
    EXPECT_EQ(Cmd("RMD /"), "550 Invalid directory path.");
    chmod(Root("locked").c_str(), 0555);
    EXPECT_EQ(Cmd("RMD locked"), "550 Directory is read-only.");
    EXPECT_TRUE(fsys::is_directory(Root("locked")));
    EXPECT_EQ(Cmd("RMD new"), "250 Directory removed.");
    EXPECT_EQ(Cmd("XRMD new2"), "250 Directory removed.");
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
    EXPECT_EQ(Cmd("DELE"), "500 Syntax error; parameter required.");
    EXPECT_EQ(Cmd("DELE /"), "550 /: not a plain file.");
    EXPECT_EQ(Cmd("DELE d"), "550 d: not a plain file.");
    EXPECT_EQ(Cmd("DELE missing"), "550 Invalid file path.");
    EXPECT_EQ(Cmd("DELE ro.txt"), "550 File is read-only.");
    EXPECT_TRUE(fsys::exists(Root("ro.txt")));
    EXPECT_EQ(Cmd("DELE f.txt"), "250 File deleted.");
    EXPECT_FALSE(fsys::exists(Root("f.txt")));
    EXPECT_EQ(Cmd("DELE f.txt"), "550 Invalid file path.");
}

TEST_F(DirCommands, MissingPermissionsRefuseAfterTheArgumentCheck) {
    fsys::create_directories(Root("old"));
    WriteRootFile("f.txt", "f");
    LogIn(PERM_LIST | PERM_DELETEDIR);
    EXPECT_EQ(Cmd("MKD"), "500 Syntax error; parameter required.");
    EXPECT_EQ(Cmd("MKD x"), "550 Not permitted.");
    EXPECT_EQ(Cmd("MKD /"), "550 Not permitted.");  // before the path is looked at
    EXPECT_EQ(Cmd("DELE f.txt"), "550 Not permitted.");
    EXPECT_EQ(Cmd("RNFR f.txt"), "550 No permission.");
    EXPECT_EQ(Cmd("RNTO g.txt"), "503 RNTO must follow RNFR.");
    EXPECT_EQ(Cmd("RMD old"), "250 Directory removed.");
    EXPECT_FALSE(fsys::exists(Root("x")));
    EXPECT_TRUE(fsys::exists(Root("f.txt")));
}

TEST_F(DirCommands, RmdWithoutItsPermissionIsRefused) {
    fsys::create_directories(Root("old"));
    LogIn(PERM_CREATE);
    EXPECT_EQ(Cmd("RMD old"), "550 Not permitted.");
    EXPECT_TRUE(fsys::exists(Root("old")));
    EXPECT_EQ(Cmd("MKD new"), "250 Directory created.");
}

TEST_F(DirCommands, RenameKeepsThePendingNameUntilAMoveIsTried) {
    fsys::create_directories(Root("d"));
    fsys::create_directories(Root("sub"));
    WriteRootFile("a.txt", "A");
    WriteRootFile("b.txt", "B");
    WriteRootFile("ro.txt", "R");
    chmod(Root("ro.txt").c_str(), 0444);
    LogIn();
    EXPECT_EQ(Cmd("RNTO x"), "503 RNTO must follow RNFR.");
    EXPECT_EQ(Cmd("RNFR"), "500 Syntax error; parameter required.");
    EXPECT_EQ(Cmd("RNFR ro.txt"), "550 File is read-only.");
    EXPECT_EQ(Cmd("RNTO x"), "503 RNTO must follow RNFR.");
    EXPECT_EQ(Cmd("RNFR d"), "550 d: not a plain file.");
    EXPECT_EQ(Cmd("RNFR missing"), "550 Invalid file path.");
    EXPECT_EQ(Cmd("RNFR a.txt"), "350 Requested file action pending further information.");
    // A failed RNFR and other commands leave the pending name in place.
    EXPECT_EQ(Cmd("RNFR missing"), "550 Invalid file path.");
    EXPECT_EQ(Cmd("PWD"), "257 \"/\" is current directory.");
    EXPECT_EQ(Cmd("RNTO"), "500 Syntax error; parameter required.");
    EXPECT_EQ(Cmd("RNTO b.txt"), "550 File already exists.");
    EXPECT_EQ(Cmd("RNTO c*"), "550 Invalid file path.");
    EXPECT_EQ(Cmd("RNTO sub/c.txt"), "250 File renamed.");
    EXPECT_EQ(Cmd("RNTO e.txt"), "503 RNTO must follow RNFR.");
    EXPECT_FALSE(fsys::exists(Root("a.txt")));
    std::ifstream moved(Root("sub/c.txt"));
    std::string text;
    moved >> text;
    EXPECT_EQ(text, "A");
    std::ifstream kept(Root("b.txt"));
    kept >> text;
    EXPECT_EQ(text, "B");
    // A move that fails (the source vanished) still clears the pending name.
    EXPECT_EQ(Cmd("RNFR b.txt"), "350 Requested file action pending further information.");
    fsys::remove(Root("b.txt"));
    EXPECT_EQ(Cmd("RNTO f.txt"), "553 Error renaming file.");
    EXPECT_EQ(Cmd("RNTO f.txt"), "503 RNTO must follow RNFR.");
    // Nor is a directory that took the file's place after RNFR moved.
    WriteRootFile("c.txt", "C");
    EXPECT_EQ(Cmd("RNFR c.txt"), "350 Requested file action pending further information.");
    fsys::remove(Root("c.txt"));
    fsys::create_directory(Root("c.txt"));
    EXPECT_EQ(Cmd("RNTO g"), "553 Error renaming file.");
    EXPECT_TRUE(fsys::is_directory(Root("c.txt")));
}

TEST_F(DirCommands, HostilePathsAreAnsweredAndTheConnectionGoesOn) {
    LogIn();
    std::string longName(300, 'x');
    EXPECT_EQ(Cmd("CWD " + longName), "550 Invalid directory path.");
    EXPECT_EQ(Cmd("MKD " + longName), "550 Invalid directory path.");
    // Fits as a relative path but not behind the root: refused, not cut.
    std::string fits(250, 'y');
    EXPECT_EQ(Cmd("MKD " + fits), "550 Invalid directory path.");
    EXPECT_EQ(Cmd("DELE " + fits), "550 Invalid file path.");
    EXPECT_EQ(Cmd("MKD " + std::string(260 - RootDir().size() - 2, 'z')), "250 Directory created.");
    std::string many;
    for (int i = 0; i < 2000; i++) many += "a/";
    EXPECT_EQ(Cmd("CWD " + many), "550 Invalid directory path.");
    EXPECT_EQ(Cmd("CWD " + std::string(1000, '.')), "550 Invalid directory path.");
    EXPECT_EQ(Cmd("MKD \xe9t\xe9 \x80"), "250 Directory created.");
    EXPECT_TRUE(fsys::is_directory(Root("\xe9t\xe9 \x80")));
    EXPECT_EQ(Cmd("MKD . ."), "250 Directory created.");
    ASSERT_TRUE(client_.Send(std::string("DELE a\0b\r\n", 10)));
    EXPECT_EQ(client_.ReadReply().substr(0, 1), "5");
    EXPECT_EQ(Cmd("PWD"), "257 \"/\" is current directory.");
}

}  // namespace
