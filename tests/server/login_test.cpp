// Logging in and out: account lookup, digests, anonymous and password-less
// accounts, disabled accounts, the limits on names, passwords and
// per-account connections, and the commands that end a login.
#include <string>

#include "ftp_fixture.h"

namespace {

const char NEED_PASSWORD[] = "331 Password required.\r\n";
const char INCORRECT[] = "530 Login incorrect.\r\n";
const char LOGGED_IN[] = "230 User logged in, proceed.\r\n";
const char NOT_AFTER_USER[] = "503 PASS must follow USER.\r\n";
const uint8_t PERMS = PERM_LIST | PERM_GET;

class Login : public FtpFixture {
protected:
    void Open(FtpClient& c) {
        ASSERT_TRUE(c.Connect(Port()));
        ASSERT_EQ(c.ReadReply().substr(0, 4), "220 ");
    }
};

TEST_F(Login, PasswordIsCheckedExactly) {
    AddUser("bob", "Secret");
    FtpClient c;
    Open(c);
    EXPECT_EQ(c.Command("USER Bob"), NEED_PASSWORD);  // names are looked up in lower case
    EXPECT_EQ(c.Command("PASS secret"), INCORRECT);   // passwords are not
    EXPECT_EQ(c.Command("PASS Secret"), NOT_AFTER_USER) << "a failed PASS must need a new USER";
    EXPECT_EQ(c.Command("USER bob"), NEED_PASSWORD);
    EXPECT_EQ(c.Command("PASS"), INCORRECT);
    EXPECT_EQ(c.Command("USER bob"), NEED_PASSWORD);
    EXPECT_EQ(c.Command("PASS Secret"), LOGGED_IN);
    EXPECT_EQ(c.Command("PASS Secret"), NOT_AFTER_USER);
    // The records administrators read about logins.
    EXPECT_NE(LogText().find("CmdPass: user bob logged in"), std::string::npos);
    EXPECT_NE(LogText().find("CmdPass: invalid login for bob"), std::string::npos);
}

TEST_F(Login, UnknownAndDisabledAccountsLookAlike) {
    AddUser("off", "pw", PERMS, ACCOUNT_RESTRICT);
    AddUser("offanon", nullptr, PERMS, ACCOUNT_ANONYMOUS);
    AddUser("offopen", nullptr, PERMS, ACCOUNT_RESTRICT);
    FtpClient c;
    Open(c);
    for (const char* name : {"nobody", "off", "offanon", "offopen"}) {
        EXPECT_EQ(c.Command(std::string("USER ") + name), NEED_PASSWORD) << name;
        EXPECT_EQ(c.Command("PASS pw"), INCORRECT) << name;
    }
}

TEST_F(Login, AnonymousAndPasswordlessAccounts) {
    AddUser("anonymous", nullptr, PERMS, ACCOUNT_ENABLE | ACCOUNT_ANONYMOUS);
    AddUser("guest", "ignored", PERMS, ACCOUNT_ENABLE | ACCOUNT_ANONYMOUS);
    AddUser("open", nullptr);
    FtpClient c;
    Open(c);
    const std::string anonymous =
        "331 Anonymous access allowed, send identity (e-mail name) as password.\r\n";
    EXPECT_EQ(c.Command("USER anonymous"), anonymous);
    EXPECT_EQ(c.Command("PASS"), "230 Anonymous user logged in, proceed.\r\n");
    EXPECT_EQ(c.Command("USER guest"), anonymous);
    WriteMessageFile("anonymous.txt", "Welcome, guest.\r\nBe nice.\r\n");
    EXPECT_EQ(c.Command("PASS me@example.org"), "230-Welcome, guest.\r\n230 Be nice.\r\n");

    EXPECT_EQ(c.Command("USER open"), LOGGED_IN);
    WriteMessageFile("login.txt", "Hello.\n");
    EXPECT_EQ(c.Command("USER open"), "230 Hello.\n");
    EXPECT_EQ(c.Command("PASS x"), NOT_AFTER_USER);
}

TEST_F(Login, NameAndPasswordLimits) {
    std::string name64(64, 'n');
    AddUser(name64.c_str(), "0123456789abcdef");
    AddUser("bob smith", "pw");
    FtpClient c;
    Open(c);
    EXPECT_EQ(c.Command("USER " + name64 + "n"), "501 User name too long.\r\n");
    EXPECT_EQ(c.Command("USER"), "500 Syntax error; name not specified.\r\n");
    EXPECT_EQ(c.Command("USER " + name64), NEED_PASSWORD);
    EXPECT_EQ(c.Command("PASS 0123456789abcdefX"), INCORRECT);
    EXPECT_EQ(c.Command("USER " + name64), NEED_PASSWORD);
    EXPECT_EQ(c.Command("PASS 0123456789abcdef"), LOGGED_IN);

    // A later USER, even a faulty one, ends the login.
    EXPECT_EQ(c.Command("USER"), "500 Syntax error; name not specified.\r\n");
    EXPECT_EQ(c.Command("PASS 0123456789abcdef"), NOT_AFTER_USER);

    // Blanks belong to the name; a control byte ends name and password.
    EXPECT_EQ(c.Command("USER Bob Smith"), NEED_PASSWORD);
    EXPECT_EQ(c.Command(std::string("PASS pw\x01trailing")), LOGGED_IN);
}

TEST_F(Login, AccountConnectionLimitCountsFromUser) {
    AddUser("bob", "pw", PERMS, ACCOUNT_ENABLE | ACCOUNT_RESTRICT, nullptr, nullptr, 2);
    FtpClient a, b, c;
    Open(a);
    Open(b);
    Open(c);
    EXPECT_EQ(a.Command("USER bob"), NEED_PASSWORD);  // counts without PASS
    ASSERT_TRUE(b.Login("bob", "pw"));
    EXPECT_EQ(c.Command("USER bob"), "530 Too many connections; try again later.\r\n");
    EXPECT_EQ(c.Command("PASS pw"), NOT_AFTER_USER);
    EXPECT_EQ(a.Command("USER other"), NEED_PASSWORD);  // a no longer counts
    EXPECT_EQ(c.Command("USER bob"), NEED_PASSWORD);
    b.Close();
    ASSERT_TRUE(bxtest::WaitFor([&] { return LiveConnections() == 2; }));
    EXPECT_EQ(a.Command("USER bob"), NEED_PASSWORD);
}

TEST_F(Login, ReinGreetsAgainAndQuitEndsTheSession) {
    AddUser("bob", "pw");
    FtpClient c;
    Open(c);
    ASSERT_TRUE(c.Login("bob", "pw"));
    WriteMessageFile("welcome.txt", "Again.\r\n");
    EXPECT_EQ(c.Command("REIN"), "220 Again.\r\n");
    EXPECT_EQ(c.Command("PASS pw"), NOT_AFTER_USER);
    WriteMessageFile("logout.txt", "Bye\r\nnow\r\n");
    EXPECT_EQ(c.Command("QUIT"), "221-Bye\r\n221 now\r\n");
    EXPECT_TRUE(c.WaitForEof());
}

}  // namespace
