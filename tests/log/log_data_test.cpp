// Byte dumps: where lines break and which bytes are escaped (that a dump
// stays together: see LogThreads).
#include "log_fixture.h"

using DataDump = LogTest;

TEST_F(DataDump, BytesAreEscapedAndLinesBreakWithin78) {
    LogStartup("server ");
    const std::string first = "T4 12/06 14:03:27 server  Data: ",
                      more = "T4 12/06 14:03:27 server        ";
    // An escape still fits at column 74 (ending at 78), not at 75.
    const std::string dumps[] = {std::string(100, '\0'),
                                 std::string(" ~\x7f\x80\xff\x1f"
                                             "ab\r"),
                                 std::string(100, 'q'), std::string(42, 'm') + '\n',
                                 std::string(43, 'm') + '\n'};
    for (const std::string& bytes : dumps)
        LogData(LOG_TRACE4, bytes.data(), static_cast<int32_t>(bytes.size()));
    LogData(LOG_TRACE4, "never", 0);
    LogData(LOG_TRACE4, "never", -5);
    LogShutdown();
    std::string eleven;
    for (int i = 0; i < 11; ++i)
        eleven += "{00}";
    std::vector<std::string> expected(9, more + eleven);
    expected[0] = first + eleven;
    expected.insert(expected.end(),
                    {more + "{00}", first + " ~{7F}{80}{FF}{1F}ab{0D}",
                     first + std::string(46, 'q'), more + std::string(46, 'q'),
                     more + std::string(8, 'q'), first + std::string(42, 'm') + "{0A}",
                     first + std::string(43, 'm'), more + "{0A}", shutdownRecord});
    ExpectLines("061206.log", expected);
    for (const std::string& line : Lines("061206.log"))
        EXPECT_LE(line.size(), 78u) << line;
}
