// The command dispatcher: which words reach a handler, what HELP lists, and
// the parameter tables of TYPE, MODE and STRU.
#include <string>

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
// HELP lists exactly the words not flagged unlisted or extension.
TEST_F(Dispatch, EveryTableWordIsAnsweredAndHelpListsTheListedOnes) {
    ASSERT_TRUE(client.Login("u", "pw"));
    size_t count = 0;
    const CommandEntry* table = CommandTable(&count);
    std::string listed = "214-The following commands are recognized:\r\n";
    for (const CommandEntry* entry = table; entry < table + count; entry++) {
        if (!(entry->flags & (CMD_UNLISTED | CMD_EXTENSION)))
            listed += "   " + std::string(entry->word) + "\r\n";
        if (entry->flags & CMD_EXTENSION) continue; // answered only with extensions on
        dataclient::Session c;                      // logged in as u
        ASSERT_TRUE(c.Open(Port()));
        std::string reply = c.Command(entry->word);
        EXPECT_TRUE(reply != "" && reply != std::string(UNKNOWN) + "\r\n")
            << entry->word << ": " << reply;
    }
    std::string help = client.Command("HELP");
    EXPECT_EQ(help, listed + "214 Help command successful.\r\n");
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

} // namespace
