// Logging in and out: account lookup, anonymous and password-less accounts,
// disabled accounts, the limits on names, passwords and per-account
// connections, and the commands that end a login.
#include <string>

#include "ftp_fixture.h"
#include "version.h"

namespace {

const char NEED_PASSWORD[] = "331 Password required.";
const char INCORRECT[] = "530 Login incorrect.";
const char LOGGED_IN[] = "230 User logged in, proceed.";
const char NOT_AFTER_USER[] = "503 PASS must follow USER.";
const char NO_NAME[] = "500 Syntax error; name not specified.";
const uint8_t PERMS = PERM_LIST | PERM_GET;

class Login : public FtpFixture {
  protected:
    // Three socket threads: the sessions of one test land on different
    // threads, and the per-account counts still see them all.
    Login() { socketThreads_ = 3; }
    void SetUp() override {
        FtpFixture::SetUp();
        ASSERT_TRUE(c.ConnectGreeted(Port()));
    }
    FtpClient c; // connected and greeted
};

TEST_F(Login, PasswordIsCheckedExactly) {
    AddUser("bob", "Secret");
    ExpectReplies(c, {{"USER Bob", NEED_PASSWORD},     // names are looked up in lower case
                      {"PASS secret", INCORRECT},      // passwords are not
                      {"PASS Secret", NOT_AFTER_USER}, // a failed PASS needs a new USER
                      {"USER bob", NEED_PASSWORD},
                      {"PASS", INCORRECT},
                      {"USER bob", NEED_PASSWORD},
                      {"PASS Secret", LOGGED_IN},
                      {"PASS Secret", NOT_AFTER_USER}});
    // The records administrators read about logins.
    EXPECT_NE(LogText().find("CmdPass: user bob logged in"), std::string::npos);
    EXPECT_NE(LogText().find("CmdPass: invalid login for bob"), std::string::npos);
}

TEST_F(Login, UnknownAndDisabledAccountsLookAlike) {
    AddUser("off", "pw", PERMS, ACCOUNT_RESTRICT);
    AddUser("offanon", nullptr, PERMS, ACCOUNT_ANONYMOUS);
    AddUser("offopen", nullptr, PERMS, ACCOUNT_RESTRICT);
    for (const char* name : {"nobody", "off", "offanon", "offopen"})
        ExpectReplies(c, {{std::string("USER ") + name, NEED_PASSWORD}, {"PASS pw", INCORRECT}});
}

TEST_F(Login, AnonymousAndPasswordlessAccounts) {
    AddUser("anonymous", nullptr, PERMS, ACCOUNT_ENABLE | ACCOUNT_ANONYMOUS);
    AddUser("guest", "ignored", PERMS, ACCOUNT_ENABLE | ACCOUNT_ANONYMOUS);
    AddUser("open", nullptr);
    const char anonymous[] =
        "331 Anonymous access allowed, send identity (e-mail name) as password.";
    ExpectReplies(c, {{"USER anonymous", anonymous},
                      {"PASS", "230 Anonymous user logged in, proceed."},
                      {"USER guest", anonymous},
                      {"USER open", LOGGED_IN}});
    WriteMessageFile("anonymous.txt", "Welcome, guest.\r\nBe nice.\r\n");
    WriteMessageFile("login.txt", "Hello.\n");
    ExpectReplies(c, {{"USER guest", anonymous},
                      {"PASS me@example.org", "230-Welcome, guest.\r\n230 Be nice."}});
    EXPECT_EQ(c.Command("USER open"), "230 Hello.\n"); // the file's own line end
    ExpectReplies(c, {{"PASS x", NOT_AFTER_USER}});
}

// An account whose Root is not an existing directory is refused after its
// credentials (a guesser learns nothing), in each of the three ways a login
// completes, with a warning naming the account and the path; the session
// can log in again as another account.
TEST_F(Login, AnAccountWhoseRootIsNotADirectoryIsRefusedAtLogin) {
    std::string gone = Temp() + "/gone", file = Root("plain.txt");
    WriteRootFile("plain.txt", "x");
    AddUser("lost", "pw", PERMS, ACCOUNT_ENABLE, gone.c_str());
    AddUser("anonymous", nullptr, PERMS, ACCOUNT_ENABLE | ACCOUNT_ANONYMOUS, gone.c_str());
    AddUser("open", nullptr, PERMS, ACCOUNT_ENABLE, file.c_str());
    AddUser("fine", "pw");
    const char refused[] = "530 Home directory not available.";
    ExpectReplies(c, {{"USER lost", NEED_PASSWORD},
                      {"PASS wrong", INCORRECT},
                      {"USER lost", NEED_PASSWORD},
                      {"PASS pw", refused},
                      {"LIST", "530 Not logged in."},
                      {"USER anonymous",
                       "331 Anonymous access allowed, send identity (e-mail name) as password."},
                      {"PASS me@", refused},
                      {"USER open", refused},
                      {"USER fine", NEED_PASSWORD},
                      {"PASS pw", LOGGED_IN}});
    EXPECT_NE(LogText().find("user lost: Root \"" + gone + "\" is not an existing directory"),
              std::string::npos);
    EXPECT_NE(LogText().find("user open: Root \"" + file + "\""), std::string::npos);
    // The log never says a refused account logged in.
    for (const char* name : {"lost", "open"})
        EXPECT_EQ(LogText().find(std::string("user ") + name + " logged in"), std::string::npos);
    EXPECT_NE(LogText().find("user fine logged in"), std::string::npos);
}

TEST_F(Login, NameAndPasswordLimits) {
    std::string name64(64, 'n');
    AddUser(name64.c_str(), "0123456789abcdef");
    AddUser("bob smith", "pw");
    ExpectReplies(c, {{"USER " + name64 + "n", "501 User name too long."},
                      {"USER", NO_NAME},
                      {"USER " + name64, NEED_PASSWORD},
                      {"PASS 0123456789abcdefX", INCORRECT},
                      {"USER " + name64, NEED_PASSWORD},
                      {"PASS 0123456789abcdef", LOGGED_IN},
                      // A later USER, even a faulty one, ends the login.
                      {"USER", NO_NAME},
                      {"PASS 0123456789abcdef", NOT_AFTER_USER},
                      // Blanks belong to the name; a control byte ends name and password.
                      {"USER Bob Smith", NEED_PASSWORD},
                      {"PASS pw\x01trailing", LOGGED_IN}});
}

TEST_F(Login, AccountConnectionLimitCountsFromUser) {
    AddUser("bob", "pw", PERMS, ACCOUNT_ENABLE | ACCOUNT_RESTRICT, nullptr, nullptr, 2);
    FtpClient a, b;
    ASSERT_TRUE(a.ConnectGreeted(Port()));
    ASSERT_TRUE(b.ConnectGreeted(Port()));
    ExpectReplies(a, {{"USER bob", NEED_PASSWORD}}); // counts without PASS
    ASSERT_TRUE(b.Login("bob", "pw"));
    ExpectReplies(c, {{"USER bob", "530 Too many connections; try again later."},
                      {"PASS pw", NOT_AFTER_USER}});
    ExpectReplies(a, {{"USER other", NEED_PASSWORD}}); // a no longer counts
    ExpectReplies(c, {{"USER bob", NEED_PASSWORD}});
    // A REIN keeps the name given (b still counts); a refused USER drops
    // the one before it (a counts under none).
    ExpectReplies(b, {{"REIN", "220 " BRINDLEX_VERSION_CAPTION}});
    ExpectReplies(a, {{"USER bob", "530 Too many connections; try again later."}});
    b.Close();
    ASSERT_TRUE(bxtest::WaitFor([&] { return LiveConnections() == 2; }));
    ExpectReplies(a, {{"USER bob", NEED_PASSWORD}});
}

TEST_F(Login, ReinGreetsAgainAndQuitEndsTheSession) {
    AddUser("bob", "pw");
    ASSERT_TRUE(c.Login("bob", "pw"));
    WriteMessageFile("welcome.txt", "Again.\r\n");
    WriteMessageFile("logout.txt", "Bye\r\nnow\r\n");
    ExpectReplies(
        c, {{"REIN", "220 Again."}, {"PASS pw", NOT_AFTER_USER}, {"QUIT", "221-Bye\r\n221 now"}});
    EXPECT_TRUE(c.WaitForEof());
}

// Failed logins lock the address they came from and the account they were
// for, whatever the next password, and whether the guesser waited for the
// refusal or dropped the connection with its PASS pending. Others go on.
TEST_F(Login, FailuresLockTheAddressAndTheAccountNotOthers) {
    const char LOCKED[] = "421 Too many failed logins; try again later.";
    AddUser("u", "pw");
    AddUser("v", "pw");
    SettingStore(systemSettings.loginFailLimit, 3u);
    SettingStore(systemSettings.loginFailWindow, 300u);
    SettingStore(systemSettings.loginLockTime, 60u);
    SetTimeLimitSetting(LIMIT_LOGIN_FAIL_DELAY, 30000); // the refusal never comes in time
    // Three guesses: each PASS taken by the server, and the connection
    // dropped before the refusal arrives.
    for (int guess = 0; guess < 3; guess++) {
        FtpClient g;
        ASSERT_TRUE(g.ConnectGreeted(Port()));
        ASSERT_EQ(g.Command("USER u").substr(0, 3), "331");
        ASSERT_TRUE(g.SendLine("PASS guess" + std::to_string(guess)));
        ASSERT_TRUE(bxtest::WaitFor(
            [&] { return bxtest::CountOf(LogText(), "invalid login for u") == guess + 1; }));
        g.Close(guess == 1);
        ASSERT_TRUE(bxtest::WaitFor([&] { return LiveConnections() == 1; }));
    }
    const struct {
        const char* from;
        const char* user;
        std::string reply;
    } rows[] = {
        {nullptr, "u", LOCKED},        // the right password, from the guesser's address
        {nullptr, "v", LOCKED},        // another account, from the guesser's address
        {"127.0.0.3", "u", LOCKED},    // the guessed account, from anywhere
        {"127.0.0.2", "v", LOGGED_IN}, // anyone else
    };
    for (const auto& row : rows) {
        FtpClient other;
        ASSERT_TRUE(other.ConnectGreeted(Port(), row.from));
        ExpectReplies(other,
                      {{std::string("USER ") + row.user, NEED_PASSWORD}, {"PASS pw", row.reply}});
        if (row.reply == LOCKED) EXPECT_TRUE(other.WaitForEof()) << row.user;
    }
}

} // namespace
