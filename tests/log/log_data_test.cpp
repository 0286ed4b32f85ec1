// Byte dumps: where lines break, which bytes are escaped, and that a dump
// stays together.
#include "log_fixture.h"

using DataDump = LogTest;

TEST_F(DataDump, ZeroBytesSplitElevenEscapesPerLine) {
    LogStartup("server ");
    unsigned char zeros[100] = {};
    LogData(LOG_TRACE4, zeros, 100);
    LogShutdown();
    std::vector<std::string> lines = Lines("061206.log");
    ASSERT_EQ(lines.size(), 11u);  // ten dump lines and the shutdown record
    std::string eleven;
    for (int i = 0; i < 11; ++i) eleven += "{00}";
    EXPECT_EQ(lines[0], "T4 12/06 14:03:27 server  Data: " + eleven);
    for (int i = 1; i < 9; ++i) EXPECT_EQ(lines[i], "T4 12/06 14:03:27 server        " + eleven) << i;
    EXPECT_EQ(lines[9], "T4 12/06 14:03:27 server        {00}");
}

TEST_F(DataDump, PrintableRangeIsExactAndLinesStayWithin78) {
    LogStartup("server ");
    const unsigned char edges[] = {0x20, 0x7E, 0x7F, 0x80, 0xFF, 0x1F, 'a', 'b', '\r'};
    LogData(LOG_TRACE4, edges, sizeof edges);
    std::string letters(100, 'q');
    LogData(LOG_TRACE4, letters.data(), 100);
    // An escape still fits at column 74 (ending at 78), not at 75.
    std::string fits = std::string(42, 'm') + '\n';
    std::string moves = std::string(43, 'm') + '\n';
    LogData(LOG_TRACE4, fits.data(), static_cast<int32_t>(fits.size()));
    LogData(LOG_TRACE4, moves.data(), static_cast<int32_t>(moves.size()));
    LogData(LOG_TRACE4, "never", 0);
    LogData(LOG_TRACE4, "never", -5);
    LogShutdown();
    std::vector<std::string> lines = Lines("061206.log");
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0], "T4 12/06 14:03:27 server  Data:  ~{7F}{80}{FF}{1F}ab{0D}");
    EXPECT_EQ(lines[1], "T4 12/06 14:03:27 server  Data: " + std::string(46, 'q'));
    EXPECT_EQ(lines[2], "T4 12/06 14:03:27 server        " + std::string(46, 'q'));
    EXPECT_EQ(lines[3], "T4 12/06 14:03:27 server        " + std::string(8, 'q'));
    EXPECT_EQ(lines[4], "T4 12/06 14:03:27 server  Data: " + std::string(42, 'm') + "{0A}");
    EXPECT_EQ(lines[5], "T4 12/06 14:03:27 server  Data: " + std::string(43, 'm'));
    EXPECT_EQ(lines[6], "T4 12/06 14:03:27 server        {0A}");
    for (const std::string& line : lines) EXPECT_LE(line.size(), 78u) << line;
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
    // Every dump is one "Data:" line followed directly by its continuation lines.
    std::vector<std::string> lines = Lines("061206.log");
    int dumps = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].find(" Data: ") == std::string::npos) continue;
        ++dumps;
        size_t j = i + 1;
        while (j < lines.size() && lines[j].compare(0, 32, "T4 12/06 14:03:27 server        ") == 0) ++j;
        EXPECT_EQ(j - i, 182u) << "dump at line " << i;  // 2000 escapes, 11 a line
    }
    EXPECT_EQ(dumps, 20);
}
