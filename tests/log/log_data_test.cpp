// Byte dumps: where lines break, which bytes are escaped, and that a dump
// stays together.
#include "log_fixture.h"

using DataDump = LogTest;

TEST_F(DataDump, BytesAreEscapedAndLinesBreakWithin78) {
    LogStartup("server ");
    const std::string first = "T4 12/06 14:03:27 server  Data: ", more = "T4 12/06 14:03:27 server        ";
    // An escape still fits at column 74 (ending at 78), not at 75.
    const std::string dumps[] = {std::string(100, '\0'), std::string(" ~\x7f\x80\xff\x1f" "ab\r"),
                                 std::string(100, 'q'), std::string(42, 'm') + '\n', std::string(43, 'm') + '\n'};
    for (const std::string& bytes : dumps) LogData(LOG_TRACE4, bytes.data(), static_cast<int32_t>(bytes.size()));
    LogData(LOG_TRACE4, "never", 0);
    LogData(LOG_TRACE4, "never", -5);
    LogShutdown();
    std::string eleven;
    for (int i = 0; i < 11; ++i) eleven += "{00}";
    std::vector<std::string> expected(9, more + eleven);
    expected[0] = first + eleven;
    expected.insert(expected.end(), {more + "{00}", first + " ~{7F}{80}{FF}{1F}ab{0D}", first + std::string(46, 'q'),
                                     more + std::string(46, 'q'), more + std::string(8, 'q'),
                                     first + std::string(42, 'm') + "{0A}", first + std::string(43, 'm'),
                                     more + "{0A}", shutdownRecord});
    ExpectLines("061206.log", expected);
    for (const std::string& line : Lines("061206.log")) EXPECT_LE(line.size(), 78u) << line;
}

TEST_F(DataDump, DumpLinesAreNotInterleavedWithOtherThreads) {
    LogStartup("server ");
    std::vector<unsigned char> block(2000, 0x01);
    std::atomic<bool> done{false};
    std::thread other([&] {
        for (int i = 0; i < 2000 && !done; ++i) LogPrintf(LOG_INFO, "other %d", i);
    });
    for (int i = 0; i < 20; ++i) LogData(LOG_TRACE4, block.data(), static_cast<int32_t>(block.size()));
    done = true;
    other.join();
    LogShutdown();
    // Every dump is one "Data:" line followed directly by its 181 continuation lines.
    std::vector<std::string> lines = Lines("061206.log");
    int dumps = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].find(" Data: ") == std::string::npos) continue;
        ++dumps;
        size_t j = i + 1;
        while (j < lines.size() && lines[j].compare(0, 32, "T4 12/06 14:03:27 server        ") == 0) ++j;
        EXPECT_EQ(j - i, 182u) << "dump at line " << i;
    }
    EXPECT_EQ(dumps, 20);
}
