// The command dispatcher: which words reach a handler, what HELP lists, the
// parameter tables of TYPE, MODE and STRU, and a command added by one row.
#include <string>

#include "config/config.h"
#include "data_client.h"
#include "server/commands.h"

namespace {

const char UNKNOWN[] = "500 Syntax error; command unrecognized.";
const char OK[] = "200 Command okay.";

class Dispatch : public FtpFixture {
  protected:
    void SetUp() override {
        FtpFixture::SetUp();
        AddUser("u", "pw");
        ASSERT_TRUE(client.ConnectGreeted(Port()));
    }
    FtpClient client;
};

TEST_F(Dispatch, WordsMatchWithoutRegardToCaseOrLineEndAndNothingElseMatches) {
    const char unexpected[] = "501 Unexpected parameter.";
    ExpectReplies(client, {{"noop", OK},
                           {"NoOp\r\n", OK},
                           {"NOOP\n", OK},
                           {"NOOP and more", OK},
                           {"syst", "215 WIN32"},
                           {"SYST x", unexpected},
                           {"SYST ", unexpected},
                           {"HELP USER", "214 Help is not available for that command."},
                           {"\r\n", UNKNOWN},
                           {"NOOPX", UNKNOWN},
                           {"NO", UNKNOWN},
                           {"XCWD /", UNKNOWN},
                           {"ABOR", UNKNOWN},
                           {"NOOP\t", UNKNOWN},
                           {" NOOP", UNKNOWN},
                           {"N\xc3\x93OP", UNKNOWN},
                           {std::string("\x00\x01\xff\xfe garbage", 13), UNKNOWN},
                           {"\r\r\r\n", UNKNOWN},
                           {"\x80\x81\xc3\xa9", UNKNOWN},
                           {"NOOP", OK}});
}

// Every word of the command table reaches a handler after login (each on a
// connection of its own, as some end the login or start a transfer), and
// HELP lists exactly the words not flagged unlisted or extension, then their
// X-twins.
TEST_F(Dispatch, EveryTableWordIsAnsweredAndHelpListsTheListedOnes) {
    ASSERT_TRUE(client.Login("u", "pw"));
    std::string words, twins;
    for (const CommandRow& row : CommandRows()) {
        if (!(row.flags & (CMD_UNLISTED | CMD_EXTENSION | CMD_TLS))) {
            words += "   " + std::string(row.word) + "\r\n";
            if (row.twin) twins += "   " + std::string(row.twin) + "\r\n";
        }
        // answered only with extensions on, or with Tls on
        if (row.flags & (CMD_EXTENSION | CMD_TLS)) continue;
        for (const char* word : {row.word, row.twin}) {
            if (!word) continue;
            dataclient::Session c; // logged in as u
            ASSERT_TRUE(c.Open(Port()));
            std::string reply = c.Command(word);
            EXPECT_TRUE(reply != "" && reply != std::string(UNKNOWN) + "\r\n")
                << word << ": " << reply;
        }
    }
    std::string help = client.Command("HELP");
    EXPECT_EQ(help, "214-The following commands are recognized:\r\n" + words + twins +
                        "214 Help command successful.\r\n");
    EXPECT_NE(help.find("   XPWD\r\n"), std::string::npos);
    EXPECT_EQ(help.find("REIN"), std::string::npos);
}

TEST_F(Dispatch, TypeModeAndStruAcceptOnlyWhatIsSupported) {
    const char required[] = "500 Syntax error; parameter required.";
    const char notImpl[] = "504 Command not implemented for that parameter.";
    const char badType[] = "501 Invalid type specified.";
    ExpectReplies(client, {{"TYPE", required},
                           {"type a n", "200 Type set to A."},
                           {"TYPE A", "200 Type set to A."},
                           {"TYPE A T", notImpl},
                           {"TYPE i", "200 Type set to I."},
                           {"TYPE I ", badType},
                           {"TYPE E", notImpl},
                           {"TYPE L 8", notImpl},
                           {"TYPE X", badType},
                           {"MODE", required},
                           {"mode s", OK},
                           {"MODE B", notImpl},
                           {"MODE C", notImpl},
                           {"MODE SS", "501 Invalid mode specified."},
                           {"STRU", required},
                           {"stru f", OK},
                           {"STRU R", notImpl},
                           {"STRU P", notImpl},
                           {"STRU Q", "501 Invalid structure specified."}});
}

// A command this test adds: one row and one function. The dispatcher
// applies the row's rules before the function runs, and HELP and FEAT
// show it.
void CmdEcho(Conn* conn, const char* arg) {
    Reply(conn, "200 <%s>", arg);
}

class AddedCommand : public Dispatch {
  protected:
    void SetUp() override {
        ASSERT_TRUE(AddCommand({.word = "ECHO",
                                .twin = "XECH",
                                .handler = CmdEcho,
                                .flags = CMD_LOGIN,
                                .argument = ARG_REQUIRED,
                                .permission = PERM_CREATE,
                                .deniedCode = 450,
                                .deniedText = "Not for you.",
                                .feature = "ECHO TWICE"}));
        Dispatch::SetUp();
        AddUser("lister", "pw", PERM_LIST);
    }
    void TearDown() override {
        Dispatch::TearDown();
        RemoveCommand("ECHO");
    }
};

TEST_F(AddedCommand, OneRowAndOneFunctionGetEveryRule) {
    EXPECT_FALSE(AddCommand({.word = "PWD", .handler = CmdEcho})); // a word is taken once
    ExpectReplies(client, {{"ECHO hi", "530 Not logged in."},
                           {"USER u", "331 Password required."},
                           {"PASS pw", "230 User logged in, proceed."},
                           {"echo", "500 Syntax error; parameter required."},
                           {"ECHO  two  blanks", "200 < two  blanks>"},
                           {"xech x", "200 <x>"}});
    std::string help = client.Command("HELP");
    EXPECT_NE(help.find("   USER\r\n   ECHO\r\n   XCUP\r\n"), std::string::npos) << help;
    EXPECT_NE(help.find("   XRMD\r\n   XECH\r\n214 "), std::string::npos) << help;

    SetExtensionsSetting(1);
    FtpClient other;
    ASSERT_TRUE(other.ConnectGreeted(Port()));
    ExpectReplies(other, {{"USER lister", "331 Password required."},
                          {"PASS pw", "230 User logged in, proceed."},
                          {"ECHO hi", "550 Not for you."}});
    std::string feat = other.Command("FEAT");
    EXPECT_NE(feat.find(" ECHO TWICE\r\n EPRT\r\n"), std::string::npos) << feat;
    SetExtensionsSetting(0);
}

} // namespace
