// Many threads at once, shutdown draining, and a writer that cannot write:
// the bound on a synchronous wait and on the buffer.
#include "log_fixture.h"

#include <thread>

namespace {
// A clock that holds the writer inside its flush (as a stalled disk would)
// until the test lets it go; the logging thread reads it freely.
std::atomic<bool> stalled{false};
std::thread::id loggingThread;
// Worked out once: the C library's time-zone state is no place for two
// threads at once.
const time_t stallTime = LocalTime("2006-12-06 14:03:27");
time_t StallingClock() {
    if (std::this_thread::get_id() != loggingThread)
        bxtest::WaitFor([] { return !stalled; }, 30000);
    return stallTime;
}
// Stalls the writer from now until stalled is set false.
void Stall() {
    loggingThread = std::this_thread::get_id();
    stalled = true;
    LogSetClock(StallingClock);
}
} // namespace

using LogThreads = LogTest;

// Worker threads log records while this one logs byte dumps of 182 lines each.
TEST_F(LogThreads, ShutdownDrainsEveryRecordWholeAndOnceAndDumpsStayTogether) {
    LogStartup("server ");
    constexpr int threads = 4, each = 10000, dumps = 20;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([t] {
            for (int i = 0; i < each; ++i)
                LogPrintf(LOG_INFO, "worker %d record %d end", t, i);
        });
    const std::vector<unsigned char> block(2000, 0x01); // 2000 escapes, 11 a line
    for (int i = 0; i < dumps; ++i)
        LogData(LOG_TRACE4, block.data(), static_cast<int32_t>(block.size()));
    for (std::thread& worker : workers)
        worker.join();
    LogShutdown();
    std::vector<std::string> lines = Lines("061206.log");
    ASSERT_EQ(lines.size(), static_cast<size_t>(threads * each + dumps * 182 + 1));
    std::vector<int> next(threads, 0);
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        if (lines[i].compare(0, 32, "T4 12/06 14:03:27 server  Data: ") == 0) {
            for (size_t j = i + 1; j < i + 182; ++j)
                ASSERT_EQ(lines.at(j).compare(0, 32, "T4 12/06 14:03:27 server        "), 0)
                    << "dump at " << i;
            i += 181;
            continue;
        }
        int t = -1, n = -1;
        char end[8] = "";
        ASSERT_EQ(sscanf(lines[i].c_str(), "I  12/06 14:03:27 server worker %d record %d %7s", &t,
                         &n, end),
                  3)
            << lines[i];
        ASSERT_STREQ(end, "end");
        // In order per thread, so each one once.
        ASSERT_EQ(n, next[t]++) << "out of order or twice: " << lines[i];
    }
    EXPECT_EQ(lines.back(), shutdownRecord);
}

TEST_F(LogThreads, RepeatedStartAndStopUnderLoadLoseNothingLogged) {
    std::atomic<bool> stop{false};
    std::atomic<int> calls{0};
    std::thread noisy([&] {
        for (; !stop && calls < 200000; ++calls)
            LogPrintf(LOG_INFO, "noise");
    });
    // Let the noisy thread get going (bounded), so starts and stops race with it.
    bxtest::WaitFor([&] { return calls >= 1000; }, 2000);
    for (int round = 0; round < 20; ++round) {
        LogStartup("server ");
        LogPrintf(LOG_WARNING, "round %d", round);
        LogShutdown();
    }
    stop = true;
    noisy.join();
    std::string text = Read("061206.log");
    for (int round = 0; round < 20; ++round)
        EXPECT_NE(text.find("W  12/06 14:03:27 server round " + std::to_string(round) + "\r\n"),
                  std::string::npos);
    for (const std::string& line : Lines("061206.log"))
        ASSERT_TRUE(line == "I  12/06 14:03:27 server noise" ||
                    line.compare(0, 31, "W  12/06 14:03:27 server round ") == 0 ||
                    line == shutdownRecord)
            << line;
}

// A synchronous caller gives up waiting for a stalled writer: the clock would
// hold the writer for 30 s, and the record is not in the file when the call
// returns. It is written once the writer goes on.
TEST_F(LogThreads, SyncCallerReturnsWhileTheWriterIsStalled) {
    Stall();
    logSync = 1;
    LogStartup("server ");
    LogPrintf(LOG_INFO, "waited");
    EXPECT_FALSE(Exists("061206.log")) << "the caller waited for the stalled writer";
    stalled = false;
    logSync = 0;
    LogShutdown();
    ExpectLines("061206.log", {"I  12/06 14:03:27 server waited", shutdownRecord});
}

TEST_F(LogThreads, StalledWriterKeepsBufferBoundedAndRecordsWhole) {
    Stall();
    LogSetBufferLimit(1u << 20);
    LogStartup("server ");
    // About 2.5 MB of records while the writer cannot take any: the buffer
    // gives up what it holds when it reaches its bound and starts again.
    constexpr int records = 25000;
    std::string pad(70, 'p');
    for (int i = 0; i < records; ++i)
        LogPrintf(LOG_INFO, "fill %06d %s", i, pad.c_str());
    stalled = false;
    LogShutdown();
    EXPECT_LE(std::filesystem::file_size(dir / "061206.log"), 1u << 20);
    std::vector<std::string> lines = Lines("061206.log");
    ASSERT_GT(lines.size(), 2u);
    // The dropped records are counted, first thing in the file.
    unsigned long long lost = 0;
    ASSERT_EQ(sscanf(lines[0].c_str(),
                     "W  12/06 14:03:27 server LogFlush: %llu log records could not be written",
                     &lost),
              1)
        << lines[0];
    EXPECT_EQ(lost + (lines.size() - 2), (unsigned long long)records)
        << "every record written or counted";
    int previous = -1;
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
        int n = -1;
        ASSERT_EQ(sscanf(lines[i].c_str(), "I  12/06 14:03:27 server fill %d", &n), 1) << lines[i];
        ASSERT_EQ(lines[i].size(), 25u + 12 + pad.size()) << lines[i];
        ASSERT_GT(n, previous);
        previous = n;
    }
    EXPECT_EQ(previous, records - 1); // the newest records survive the drop
}
