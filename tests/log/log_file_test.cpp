// Which file a record lands in: daily names, the size-limited pair, the
// renames at start-up, and the cleaning of old daily files.
#include "log_fixture.h"

#include <chrono>
#include <thread>

using DailyFiles = LogTest;
using SizeLimitedFiles = LogTest;
using Cleaning = LogTest;

namespace {
// Records read 23:59:59 on the caller's thread; the writer already sees
// midnight, as when the flush happens a moment later.
// Worked out once: the C library's time-zone state is no place for two
// threads at once.
std::thread::id recordThread;
const time_t beforeMidnight = LocalTime(2006, 12, 6, 23, 59, 59);
const time_t midnight = LocalTime(2006, 12, 7, 0, 0, 0);
time_t SplitClock() { return std::this_thread::get_id() == recordThread ? beforeMidnight : midnight; }
}  // namespace

TEST_F(DailyFiles, FlushAfterMidnightLandsInNewDaysFile) {
    recordThread = std::this_thread::get_id();
    LogSetClock(SplitClock);
    LogStartup("server ");
    LogPrintf(LOG_INFO, "late record");
    LogShutdown();
    EXPECT_FALSE(Exists("061206.log"));
    std::vector<std::string> lines = Lines("061207.log");
    ASSERT_GE(lines.size(), 1u);
    EXPECT_EQ(lines[0], "I  12/06 23:59:59 server late record");
}

TEST_F(DailyFiles, MissingDirectoryLosesThoseRecordsAndTheFileSaysHowMany) {
    SetDir((dir / "later").string());
    logSync = 1;  // each call returns once the writer has handled it
    LogStartup("server ");
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; i++) LogPrintf(LOG_INFO, "lost %d", i);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    std::filesystem::create_directory(dir / "later");
    LogPrintf(LOG_INFO, "kept");
    LogPrintf(LOG_INFO, "kept too");
    std::vector<std::string> lines = Lines("later/061206.log");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "W  12/06 14:03:27 server LogFlush: 3 log records could not be written before this one");
    EXPECT_EQ(lines[1], "I  12/06 14:03:27 server kept");
    EXPECT_EQ(lines[2], "I  12/06 14:03:27 server kept too");
}

TEST_F(DailyFiles, SyncModeReturnsOnlyWhenRecordIsInFile) {
    logSync = 1;
    LogStartup("server ");
    for (int i = 0; i < 50; ++i) {
        LogPrintf(LOG_INFO, "sync %d", i);
        std::vector<std::string> lines = Lines("061206.log");
        ASSERT_EQ(lines.size(), static_cast<size_t>(i + 1));
        ASSERT_EQ(lines.back(), "I  12/06 14:03:27 server sync " + std::to_string(i));
    }
}

TEST_F(SizeLimitedFiles, FullFileIsRetiredToBAndANewOneBegins) {
    logSize = 1000;
    logSync = 1;
    Write("b.log", "");  // moved aside at start; the retirement creates a new one
    LogStartup("server ");
    std::string message(74, 'z');  // 25 header + 74 + CR LF = 101 bytes a record
    int logged = 0;
    while (!Exists("b.log") && logged < 20) LogPrintf(LOG_INFO, "%02d%s", logged++, message.c_str() + 2);
    EXPECT_EQ(logged, 10);  // the tenth flush brings a.log to 1010 bytes
    EXPECT_FALSE(Exists("a.log"));
    EXPECT_EQ(Read("b.log").size(), 1010u);
    EXPECT_EQ(Lines("b.log")[9].substr(25, 2), "09");
    LogPrintf(LOG_INFO, "next");
    EXPECT_EQ(Lines("a.log"), std::vector<std::string>{"I  12/06 14:03:27 server next"});
}

TEST_F(SizeLimitedFiles, RetirementReplacesAnOlderB) {
    logSize = 100;
    logSync = 1;
    LogStartup("server ");
    LogPrintf(LOG_INFO, "%s", std::string(100, '1').c_str());
    LogPrintf(LOG_INFO, "%s", std::string(100, '2').c_str());
    EXPECT_FALSE(Exists("a.log"));
    ASSERT_EQ(Lines("b.log").size(), 1u);
    EXPECT_EQ(Lines("b.log")[0].back(), '2');
}

TEST_F(SizeLimitedFiles, StartupSavesPairButNeverOverwritesSaves) {
    logSize = 5000;
    Write("a.log", "first a\r\n");
    Write("b.log", "first b\r\n");
    LogStartup("server ");
    LogShutdown();
    EXPECT_EQ(Read("save_a.log"), "first a\r\n");
    EXPECT_EQ(Read("save_b.log"), "first b\r\n");
    EXPECT_FALSE(Exists("b.log"));

    // Second start: the saves are there, so a.log stays and grows.
    Write("a.log", "second a\r\n");
    LogStartup("admin ");
    LogPrintf(LOG_INFO, "appended");
    LogShutdown();
    EXPECT_EQ(Read("save_a.log"), "first a\r\n");
    std::vector<std::string> lines = Lines("a.log");
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "second a");
    EXPECT_EQ(lines[1], "I  12/06 14:03:27 admin appended");

    // Daily files: nothing is renamed.
    logSize = 0;
    std::filesystem::remove(dir / "save_a.log");
    LogStartup("server ");
    EXPECT_TRUE(Exists("a.log"));
    EXPECT_FALSE(Exists("save_a.log"));
}

TEST_F(Cleaning, KeepsNewestEightOncePerDay) {
    const char* days[] = {"061127", "061128", "061129", "061130", "061201",
                          "061202", "061203", "061204", "061205", "061206"};
    for (const char* day : days) Write(std::string(day) + ".log", "x");
    for (const char* other : {"a.log", "save_a.log", "notes.txt", "00001.log", "0000001.log"}) Write(other, "x");
    std::filesystem::create_directory(dir / "000001.log");  // a directory is never counted
    logSync = 1;  // deleting records must not stall LogClean while it holds the lock
    LogStartup("server ");
    auto start = std::chrono::steady_clock::now();
    LogClean();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_FALSE(Exists("061127.log"));
    EXPECT_FALSE(Exists("061128.log"));
    for (int i = 2; i < 10; ++i) EXPECT_TRUE(Exists(std::string(days[i]) + ".log")) << days[i];
    for (const char* other : {"a.log", "save_a.log", "notes.txt", "00001.log", "0000001.log", "000001.log"})
        EXPECT_TRUE(Exists(other)) << other;

    // Same day again: nothing happens even with an old file back.
    Write("061101.log", "x");
    LogClean();
    EXPECT_TRUE(Exists("061101.log"));
    // Next day: it goes.
    testNow = testNow + 86400;
    LogClean();
    EXPECT_FALSE(Exists("061101.log"));
    LogShutdown();
    std::string today = Read("061206.log") + Read("061207.log");
    EXPECT_NE(today.find("T0 12/06 14:03:27 server LogClean: deleting: 061127.log\r\n"), std::string::npos);
    EXPECT_NE(today.find("LogClean: deleting: 061128.log\r\n"), std::string::npos);
    EXPECT_NE(today.find("LogClean: deleting: 061101.log\r\n"), std::string::npos);
}

TEST_F(Cleaning, ExactlyEightLoseNothing) {
    for (int day = 1; day <= 8; ++day) Write("0612" + std::string(day < 10 ? "0" : "") + std::to_string(day) + ".log", "x");
    LogStartup("server ");
    LogClean();
    int left = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) left += entry.path().extension() == ".log";
    EXPECT_EQ(left, 8);
}
