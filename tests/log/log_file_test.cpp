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
const time_t beforeMidnight = LocalTime("2006-12-06 23:59:59");
const time_t midnight = LocalTime("2006-12-07 00:00:00");
time_t SplitClock() {
    return std::this_thread::get_id() == recordThread ? beforeMidnight : midnight;
}
} // namespace

TEST_F(DailyFiles, FlushAfterMidnightLandsInNewDaysFile) {
    recordThread = std::this_thread::get_id();
    LogSetClock(SplitClock);
    LogStartup("server ");
    LogPrintf(LOG_INFO, "late record");
    LogShutdown();
    EXPECT_FALSE(Exists("061206.log"));
    EXPECT_EQ(Lines("061207.log").at(0), "I  12/06 23:59:59 server late record");
}

// In synchronous mode each call returns once its record is in the file.
TEST_F(DailyFiles, MissingDirectoryLosesThoseRecordsAndTheFileSaysHowMany) {
    SetDir((dir / "later").string());
    logSync = 1;
    LogStartup("server ");
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; i++)
        LogPrintf(LOG_INFO, "lost %d", i);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    std::filesystem::create_directory(dir / "later");
    LogPrintf(LOG_INFO, "kept");
    ExpectLines(
        "later/061206.log",
        {"W  12/06 14:03:27 server LogFlush: 3 log records could not be written before this one",
         "I  12/06 14:03:27 server kept"});
    LogPrintf(LOG_INFO, "kept too");
    EXPECT_EQ(Lines("later/061206.log").at(2), "I  12/06 14:03:27 server kept too");
}

TEST_F(SizeLimitedFiles, FullFileIsRetiredToBAndANewOneBegins) {
    logSize = 1000;
    logSync = 1;
    Write("b.log", ""); // moved aside at start; the retirement creates a new one
    LogStartup("server ");
    std::string message(72, 'z'); // 25 header + 2 + 72 + CR LF = 101 bytes a record
    int logged = 0;
    while (!Exists("b.log") && logged < 20)
        LogPrintf(LOG_INFO, "%02d%s", logged++, message.c_str());
    EXPECT_EQ(logged, 10); // the tenth flush brings a.log to 1010 bytes
    EXPECT_FALSE(Exists("a.log"));
    EXPECT_EQ(Read("b.log").size(), 1010u);
    EXPECT_EQ(Lines("b.log").at(9).substr(25, 2), "09");
    LogPrintf(LOG_INFO, "next");
    ExpectLines("a.log", {"I  12/06 14:03:27 server next"});
    // The next retirement replaces the older b.log.
    while (Exists("a.log") && logged < 40)
        LogPrintf(LOG_INFO, "%02d%s", logged++, message.c_str());
    EXPECT_EQ(Lines("b.log").at(0), "I  12/06 14:03:27 server next");
    EXPECT_EQ(Lines("b.log").at(10).substr(25, 2), "19");
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
    EXPECT_EQ(Read("a.log").rfind("second a\r\nI  12/06 14:03:27 admin appended\r\n", 0), 0u);

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
    for (const char* day : days)
        Write(std::string(day) + ".log", "x");
    const char* others[] = {"a.log", "save_a.log", "notes.txt", "00001.log", "0000001.log"};
    for (const char* other : others)
        Write(other, "x");
    std::filesystem::create_directory(dir / "000001.log"); // a directory is never counted
    logSync = 1; // deleting records must not stall LogClean while it holds the lock
    LogStartup("server ");
    auto start = std::chrono::steady_clock::now();
    LogClean();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(Exists(std::string(days[i]) + ".log"), i >= 2) << days[i];
    for (const char* other : others)
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
    EXPECT_NE(today.find("T0 12/06 14:03:27 server LogClean: deleting: 061127.log\r\n"),
              std::string::npos);
    EXPECT_NE(today.find("LogClean: deleting: 061128.log\r\n"), std::string::npos);
    EXPECT_NE(today.find("LogClean: deleting: 061101.log\r\n"), std::string::npos);
}
