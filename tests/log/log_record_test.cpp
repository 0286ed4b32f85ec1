// What a record looks like and which calls produce one at all.
#include "log_fixture.h"
#include "version.h"

using RecordFormat = LogTest;
using RecordGates = LogTest;

TEST_F(RecordFormat, TagTimeRoleMessageCutAndEscapedThenCrLf) {
    LogStartup("server ");
    const std::string head = " 12/06 14:03:27 server ";
    const size_t room = LOG_RECORD_MAX - 2 - 25; // the header "I  12/06 14:03:27 server " is 25
    const struct {
        int level;
        std::string message, logged;
    } rows[] = {
        {LOG_INFO, "*** Starting " BRINDLEX_VERSION_CAPTION " ***",
         "I " + head + "*** Starting " BRINDLEX_VERSION_CAPTION " ***"},
        {LOG_WARNING, "IpcSend: error 5", "W " + head + "IpcSend: error 5"},
        {LOG_TRACE0, "ConnRead(3) Read 17 bytes.", "T0" + head + "ConnRead(3) Read 17 bytes."},
        {LOG_TRACE5, "x", "T5" + head + "x"},
        {LOG_INFO, std::string(10000, 'x'), "I " + head + std::string(room, 'x')},
        {LOG_INFO, std::string(room, 'y'), "I " + head + std::string(room, 'y')},
        {LOG_INFO, "x\x1b[1A\x1b[2KFAKE RECORD", "I " + head + "x{1B}[1A{1B}[2KFAKE RECORD"},
        {LOG_INFO, "a\r\nW  12/06 14:03:27 server forged",
         "I " + head + "a{0D}{0A}W  12/06 14:03:27 server forged"},
        {LOG_INFO, "tab\tbs\bvt\vdel\x7f", "I " + head + "tab{09}bs{08}vt{0B}del{7F}"},
        {LOG_INFO, "caf\xc3\xa9 \x9b", "I " + head + "caf{C3}{A9} {9B}"},
        // An argument of nothing but escapes is cut at whole escapes within the limit.
        {LOG_INFO, std::string(LOG_RECORD_MAX, '\x01'),
         "I " + head + std::string(room / 4 * 4, '.')},
    };
    for (const auto& row : rows)
        LogPrintf(row.level, "%s", row.message.c_str());
    LogPrintf(LOG_INFO, "ConnRead(%u) Read %d bytes of %s", 3u, 17, "x\n");
    LogSysError(5, "GetRegLog", "in RegCreateKeyEx");
    LogSysError(4242, "GetRegPath", "in RegQueryValueEx");
    LogShutdown();
    std::vector<std::string> expected;
    for (const auto& row : rows)
        expected.push_back(row.logged);
    std::string& escapes = expected.back();
    for (size_t at = 25; at < escapes.size(); at += 4)
        escapes.replace(at, 4, "{01}");
    expected.insert(expected.end(),
                    {"I " + head + "ConnRead(3) Read 17 bytes of x{0A}",
                     "W " + head + "GetRegLog: error 5 in RegCreateKeyEx: Access is denied.",
                     "W " + head + "GetRegPath: error 4242 in RegQueryValueEx: ", shutdownRecord});
    ExpectLines("061206.log", expected);
}

TEST_F(RecordGates, StartedLoggingWithMasterAndLevelSwitchOnDecides) {
    LogPrintf(LOG_WARNING, "before start");
    LogData(LOG_TRACE4, "abc", 3);
    LogShutdown(); // not started: does nothing
    logLevelOn[LOG_TRACE5] = 0;
    LogStartup("server "); // switches every level on
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
    LogShutdown(); // its own record is gated too
    logEnable = 1;
    LogPrintf(LOG_WARNING, "after shutdown");
    LogSysError(2, "X", "y");
    LogFlush();
    ExpectLines("061206.log", {"T5 12/06 14:03:27 server on after start",
                               "W  12/06 14:03:27 server warning kept"});
}
