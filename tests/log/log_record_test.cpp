// What a record looks like and which calls produce one at all.
#include "log_fixture.h"

using RecordFormat = LogTest;
using RecordGates = LogTest;

TEST_F(RecordFormat, TagsArePaddedToTwoAndRoleAndCrLfFollow) {
    LogStartup("server ");
    LogPrintf(LOG_INFO, "*** Starting Brindlex V%d.%d ***", 1, 2);
    LogPrintf(LOG_WARNING, "IpcSend: error %lu writing to slot", 5ul);
    LogPrintf(LOG_TRACE0, "ConnRead(%u) Read %d bytes.", 3u, 17);
    LogPrintf(LOG_TRACE5, "x");
    LogShutdown();
    std::vector<std::string> lines = Lines("061206.log");
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "I  12/06 14:03:27 server *** Starting Brindlex V1.2 ***");
    EXPECT_EQ(lines[1], "W  12/06 14:03:27 server IpcSend: error 5 writing to slot");
    EXPECT_EQ(lines[2], "T0 12/06 14:03:27 server ConnRead(3) Read 17 bytes.");
    EXPECT_EQ(lines[3], "T5 12/06 14:03:27 server x");
    EXPECT_EQ(lines[4], "I  12/06 14:03:27 server LogShutdown: Waiting for thread to exit.");
}

TEST_F(RecordFormat, OverlongMessageKeepsHeaderAndEndsWithinLimit) {
    LogStartup("admin ");
    std::string big(10000, 'x');
    LogPrintf(LOG_INFO, "%s", big.c_str());
    LogPrintf(LOG_INFO, "after");
    std::string exact(LOG_RECORD_MAX - 2 - 24, 'y');  // header "I  12/06 14:03:27 admin " is 24
    LogPrintf(LOG_INFO, "%s", exact.c_str());
    LogShutdown();
    std::string text = Read("061206.log");
    ASSERT_EQ(text.compare(0, 24, "I  12/06 14:03:27 admin "), 0);
    ASSERT_EQ(text.substr(LOG_RECORD_MAX - 2, 2), "\r\n");
    std::vector<std::string> lines = Lines("061206.log");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "I  12/06 14:03:27 admin " + std::string(LOG_RECORD_MAX - 2 - 24, 'x'));
    EXPECT_EQ(lines[1], "I  12/06 14:03:27 admin after");
    EXPECT_EQ(lines[2], "I  12/06 14:03:27 admin " + exact);
}

TEST_F(RecordFormat, ControlAndHighBytesOfArgumentsAreEscaped) {
    LogStartup("server ");
    const struct {
        std::string argument, logged;
    } rows[] = {
        {"x\x1b[1A\x1b[2KFAKE RECORD", "x{1B}[1A{1B}[2KFAKE RECORD"},
        {"a\r\nW  12/06 14:03:27 server forged", "a{0D}{0A}W  12/06 14:03:27 server forged"},
        {"tab\tbs\bvt\vdel\x7f", "tab{09}bs{08}vt{0B}del{7F}"},
        {"caf\xc3\xa9 \x9b", "caf{C3}{A9} {9B}"},
        {std::string(LOG_RECORD_MAX, '\x01'), "(cut, below)"},
    };
    for (const auto& row : rows) LogPrintf(LOG_INFO, "ParsePath: %s", row.argument.c_str());
    LogShutdown();
    std::vector<std::string> lines = Lines("061206.log");
    ASSERT_EQ(lines.size(), std::size(rows) + 1);
    for (size_t i = 0; i + 1 < std::size(rows); i++)
        EXPECT_EQ(lines[i], "I  12/06 14:03:27 server ParsePath: " + rows[i].logged) << "row " << i;
    // An argument of nothing but escapes is cut at whole escapes within the record limit.
    const std::string& last = lines[std::size(rows) - 1];
    EXPECT_LE(last.size(), (size_t)LOG_RECORD_MAX - 2);
    EXPECT_EQ(last.substr(last.size() - 4), "{01}");
}

TEST_F(RecordFormat, SystemErrorCarriesTextOrEndsInColonBlank) {
    LogStartup("service ");
    LogSysError(5, "GetRegLog", "in RegCreateKeyEx");
    LogSysError(4242, "GetRegPath", "in RegQueryValueEx");
    LogShutdown();
    std::vector<std::string> lines = Lines("061206.log");
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "W  12/06 14:03:27 service GetRegLog: error 5 in RegCreateKeyEx: Access is denied.");
    EXPECT_EQ(lines[1], "W  12/06 14:03:27 service GetRegPath: error 4242 in RegQueryValueEx: ");

    char text[8];
    LogErrorText(2, text, sizeof text);
    EXPECT_STREQ(text, "The sys");  // cut to the area, terminated
    LogErrorText(99999, text, sizeof text);
    EXPECT_STREQ(text, "");
}

TEST_F(RecordGates, MasterSwitchAndLevelSwitchesDecide) {
    logLevelOn[LOG_TRACE5] = 0;
    LogStartup("server ");  // switches every level on
    LogPrintf(LOG_TRACE5, "on after start");
    logLevelOn[LOG_TRACE0] = 0;
    LogPrintf(LOG_TRACE0, "trace dropped");
    LogPrintf(LOG_WARNING, "warning kept");
    LogPrintf(-1, "negative level");
    LogPrintf(LOG_LEVELS, "level ten");
    LogData(1000, "abc", 3);
    logEnable = 0;
    LogPrintf(LOG_WARNING, "master off");
    LogData(LOG_TRACE4, "abc", 3);
    LogSysError(5, "X", "y");
    LogShutdown();  // its own record is gated too
    std::vector<std::string> lines = Lines("061206.log");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "T5 12/06 14:03:27 server on after start");
    EXPECT_EQ(lines[1], "W  12/06 14:03:27 server warning kept");
}

TEST_F(RecordGates, NothingBeforeStartOrAfterShutdown) {
    LogPrintf(LOG_WARNING, "before start");
    LogData(LOG_TRACE4, "abc", 3);
    LogShutdown();  // not started: does nothing
    LogStartup("server ");
    LogPrintf(LOG_WARNING, "while running");
    LogShutdown();
    std::string before = Read("061206.log");
    LogPrintf(LOG_WARNING, "after shutdown");
    LogSysError(2, "X", "y");
    LogFlush();
    EXPECT_EQ(Read("061206.log"), before);
    EXPECT_EQ(before.find("before start"), std::string::npos);
    EXPECT_NE(before.find("while running"), std::string::npos);
}
