// The command dispatcher and the commands with fixed replies: which words
// reach a handler, and the parameter tables of TYPE, MODE and STRU.
#include <string>
#include <utility>
#include <vector>

#include "ftp_fixture.h"

namespace {

const char UNKNOWN[] = "500 Syntax error; command unrecognized.\r\n";

class Dispatch : public FtpFixture {
protected:
    void SetUp() override {
        FtpFixture::SetUp();
        ASSERT_TRUE(client.Connect(Port()));
        ASSERT_EQ(client.ReadReply(), "220 Brindlex V1.2\r\n");
    }
    // Sends each command and expects its reply.
    void ExpectReplies(const std::vector<std::pair<std::string, std::string>>& cases) {
        for (const auto& [command, reply] : cases) {
            ASSERT_TRUE(client.Send(command));
            EXPECT_EQ(client.ReadReply(), reply) << "for " << testing::PrintToString(command);
        }
    }
    FtpClient client;
};

TEST_F(Dispatch, WordsMatchWithoutRegardToCaseOrLineEnd) {
    ExpectReplies({{"noop\r\n", "200 Command okay.\r\n"},
                   {"NoOp\r\n", "200 Command okay.\r\n"},
                   {"NOOP\n", "200 Command okay.\r\n"},
                   {"NOOP and more\r\n", "200 Command okay.\r\n"},
                   {"syst\r\n", "215 WIN32\r\n"}});
}

TEST_F(Dispatch, EverythingElseIsUnrecognized) {
    ExpectReplies({{"\r\n", UNKNOWN},
                   {"NOOPX\r\n", UNKNOWN},
                   {"NO\r\n", UNKNOWN},
                   {"XCWD /\r\n", UNKNOWN},
                   {"ABOR\r\n", UNKNOWN},
                   {"NOOP\t\r\n", UNKNOWN},
                   {" NOOP\r\n", UNKNOWN},
                   {"N\xc3\x93OP\r\n", UNKNOWN}});
}

TEST_F(Dispatch, HelpListsTheCommandsInOrder) {
    std::string expected = "214-The following commands are recognized:\r\n";
    for (const char* word : {"APPE", "CDUP", "CWD", "DELE", "HELP", "LIST", "MKD", "MODE", "NLST", "NOOP",
                             "QUIT", "PASS", "PASV", "PORT", "PWD", "REST", "RETR", "RMD", "RNFR", "RNTO",
                             "STOR", "STRU", "SYST", "TYPE", "USER", "XCUP", "XMKD", "XPWD", "XRMD"})
        expected += std::string("   ") + word + "\r\n";
    expected += "214 Help command successful.\r\n";
    ExpectReplies({{"HELP\r\n", expected},
                   {"HELP USER\r\n", "214 Help is not available for that command.\r\n"},
                   {"SYST x\r\n", "501 Unexpected parameter.\r\n"},
                   {"SYST \r\n", "501 Unexpected parameter.\r\n"}});
}

TEST_F(Dispatch, TypeModeAndStruAcceptOnlyWhatIsSupported) {
    const std::string required = "500 Syntax error; parameter required.\r\n";
    const std::string notImpl = "504 Command not implemented for that parameter.\r\n";
    ExpectReplies({{"TYPE\r\n", required},
                   {"type a n\r\n", "200 Type set to A.\r\n"},
                   {"TYPE A\r\n", "200 Type set to A.\r\n"},
                   {"TYPE A T\r\n", notImpl},
                   {"TYPE i\r\n", "200 Type set to I.\r\n"},
                   {"TYPE I \r\n", "501 Invalid type specified.\r\n"},
                   {"TYPE E\r\n", notImpl},
                   {"TYPE L 8\r\n", notImpl},
                   {"TYPE X\r\n", "501 Invalid type specified.\r\n"},
                   {"MODE\r\n", required},
                   {"mode s\r\n", "200 Command okay.\r\n"},
                   {"MODE B\r\n", notImpl},
                   {"MODE C\r\n", notImpl},
                   {"MODE SS\r\n", "501 Invalid mode specified.\r\n"},
                   {"STRU\r\n", required},
                   {"stru f\r\n", "200 Command okay.\r\n"},
                   {"STRU R\r\n", notImpl},
                   {"STRU P\r\n", notImpl},
                   {"STRU Q\r\n", "501 Invalid structure specified.\r\n"}});
}

}  // namespace
