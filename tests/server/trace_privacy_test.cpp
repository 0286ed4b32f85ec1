// The input trace never shows a password, however the PASS line arrives. The
// rows are also the test of how bytes are cut into lines whatever the
// segments: a part line waits, read, for its rest (even between CR and LF),
// and one segment may hold several lines.
#include "ftp_fixture.h"

namespace {

using Privacy = FtpFixture;

TEST_F(Privacy, PasswordNeverReachesTheTraceHoweverItArrives) {
    AddUser("u", "Zq7Xv9Kw");
    FtpClient c;
    ASSERT_TRUE(c.ConnectGreeted(Port()));
    // Each row: the pieces one PASS arrives in (the server reads each before
    // the next is sent), and the codes of the replies they get.
    const std::pair<std::vector<std::string>, std::vector<std::string>> rows[] = {
        {{"PASS Zq7Xv9Kw\r\n"}, {"230"}},
        {{"pass Zq7Xv9Kw\r\n"}, {"230"}},
        {{"PA", "SS Zq7X", "v9Kw\r\n"}, {"230"}},
        {{"PASS", " Zq7Xv9Kw\r", "\n"}, {"230"}},
        {{"NOOP\r\nPASS Zq7Xv9Kw\r\nNOOP\r\n"}, {"200", "230", "200"}},
        {{"PASS Zq7Xv9Kx\r\n"}, {"530"}},
        {{"  PASS Zq7Xv9Kw\r\n"}, {"500"}},
        {{" ", " PA", "SS Zq7Xv9Kw\r\n"}, {"500"}},
    };
    for (const auto& [pieces, codes] : rows) {
        SCOPED_TRACE(pieces[0]);
        ASSERT_EQ(c.Command("USER u").substr(0, 3), "331");
        std::string sent;
        for (const std::string& piece : pieces) {
            ASSERT_TRUE(c.Send(piece));
            sent += piece;
            uint32_t partial = (uint32_t)(sent.size() - (sent.rfind('\n') + 1));
            ASSERT_TRUE(bxtest::WaitFor([&] { return UnreadInput() == partial; }));
        }
        for (const std::string& code : codes)
            EXPECT_EQ(c.ReadReply().substr(0, 3), code);
    }
    std::string log = LogText();
    for (const char* secret : {"Zq7X", "v9Kw", "v9Kx"})
        EXPECT_EQ(bxtest::CountOf(log, secret), 0) << secret;
    EXPECT_EQ(bxtest::CountOf(log, "PASS ****{0D}{0A}"), 4);
    EXPECT_EQ(bxtest::CountOf(log, "pass ****{0D}{0A}"), 1);
}

} // namespace
