// The trace levels cannot fill the disk: a connection that has not logged in
// writes at most PreLoginTrace bytes of trace records (a login restores full
// tracing), and below TraceFloor MiB of free space no trace record is written
// while the other levels still are, and the dropped ones are counted.
#include "ftp_fixture.h"
#include "log/log.h"

namespace {

using TraceBudget = FtpFixture;

// Bytes of the log's trace records (tags "T0" to "T5").
size_t TraceBytes(const std::string& log) {
    size_t bytes = 0;
    for (size_t at = 0; at < log.size();) {
        size_t end = log.find('\n', at);
        end = end == std::string::npos ? log.size() : end + 1;
        if (log[at] == 'T') bytes += end - at;
        at = end;
    }
    return bytes;
}

// Sets a log bound for one test and restores its default after it.
struct Bound {
    std::atomic<uint32_t>& value;
    uint32_t old;
    Bound(std::atomic<uint32_t>& v, uint32_t to) : value(v), old(v.load()) { v = to; }
    ~Bound() { value = old; }
};

TEST_F(TraceBudget, ClientWithoutLoginStaysWithinItsBudgetUntilItLogsIn) {
    constexpr uint32_t kBudget = 16 << 10;
    Bound budget(logPreLoginTrace, kBudget);
    AddUser("u", "pw");
    FtpClient c;
    ASSERT_TRUE(c.ConnectGreeted(Port()));
    size_t before = TraceBytes(LogText());
    for (int i = 0; i < 300; i++)
        ASSERT_EQ(c.Command("HELP").substr(0, 3), "214");
    std::string log = LogText();
    // One record past the budget, plus records outside the connection's events.
    EXPECT_LE(TraceBytes(log) - before, kBudget + 2 * LOG_RECORD_MAX);
    EXPECT_EQ(bxtest::CountOf(log, "trace records are dropped until it logs in"), 1);
    ASSERT_TRUE(c.Login("u", "pw"));
    ASSERT_EQ(c.Command("SYST").substr(0, 3), "215");
    EXPECT_GE(bxtest::CountOf(LogText(), "SYST{0D}{0A}"), 1);
}

TEST_F(TraceBudget, BelowTheFreeSpaceFloorTracesAreDroppedAndCounted) {
    // A floor far above any disk's free space: every trace record goes.
    Bound floor(logTraceFloor, 0xFFFFFFFF);
    LogPrintf(LOG_WARNING, "Floor raised");
    LogFlush(); // the writer checks the free space at once after a change
    AddUser("u", "pw");
    FtpClient c;
    ASSERT_TRUE(c.ConnectGreeted(Port()));
    ASSERT_TRUE(c.Login("u", "pw"));
    ASSERT_EQ(c.Command("SYST").substr(0, 3), "215");
    ASSERT_TRUE(
        bxtest::WaitFor([&] { return bxtest::CountOf(LogText(), "trace records dropped") > 0; }));
    std::string log = LogText();
    EXPECT_EQ(bxtest::CountOf(log, "SYST{0D}{0A}"), 0);
    EXPECT_EQ(bxtest::CountOf(log, "Accepted connection"), 1); // other levels still written
}

} // namespace
