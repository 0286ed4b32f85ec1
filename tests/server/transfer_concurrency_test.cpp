// Transfers side by side on the one socket thread: share modes between
// connections, clients that vanish, failed uploads that keep streaming,
// stalled downloads, and many transfers at once.
#include <malloc.h>

#include <memory>
#include <thread>
#include <vector>

#include "data_client.h"
#include "server/control_limits.h"
#include "server/sockthread.h"

using namespace dataclient;

namespace {

const std::string DONE = "226 Transfer complete.\r\n";
const std::string ABORTED = "426 Connection closed; transfer aborted.\r\n";

// Heap bytes in use, mapped blocks included: what the server holds,
// whatever the allocator keeps or the machine's load does to the moment of
// sampling.
size_t HeapBytes() {
    struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

// The session s (logged in as u) and the others a test opens.
using Concurrent = SessionTest;

TEST_F(Concurrent, ShareModesBetweenConnections) {
    Session b;
    ASSERT_TRUE(b.Open(Port()));
    // A second upload of a file being uploaded gets its 150/125, then 426.
    int fd = s.Begin("STOR same");
    ASSERT_TRUE(WriteAll(fd, "first part "));
    ASSERT_TRUE(WaitFor([&] { return ReadFile(Root("same")) == "first part "; }));
    EXPECT_EQ(b.Upload("STOR same", "intruder"), ABORTED);
    std::string final;
    EXPECT_EQ(b.Download("RETR same", &final), "") << "nor may it be read";
    EXPECT_EQ(final, ABORTED);
    ASSERT_TRUE(WriteAll(fd, "second part"));
    close(fd);
    EXPECT_EQ(s.ReadReply(), DONE);
    EXPECT_EQ(ReadFile(Root("same")), "first part second part");

    // A file being downloaded may be read by others but not written.
    WriteRootFile("big", RandomBytes(32 << 20, 1));
    fd = s.Begin("RETR big");
    char byte;
    ASSERT_EQ(recv(fd, &byte, 1, MSG_WAITALL), 1);
    EXPECT_EQ(b.Download("RETR big", &final).size(), 32u << 20);
    EXPECT_EQ(final, DONE);
    EXPECT_EQ(b.Upload("STOR big", "x"), ABORTED);
    EXPECT_EQ(ReadAll(fd).size() + 1, 32u << 20);
    close(fd);
    EXPECT_EQ(s.ReadReply(), DONE);
}

TEST_F(Concurrent, ClientResetDoesNotDisturbAnother) {
    std::string bytes = RandomBytes(16 << 20, 3);
    WriteRootFile("f", bytes);
    Session b, c;
    ASSERT_TRUE(b.Open(Port()) && c.Open(Port()));
    int fd = s.Begin("RETR f"), fb = b.Begin("RETR f"), fc = c.Begin("STOR g");
    std::string head(1000, '\0');
    ASSERT_EQ(recv(fd, head.data(), head.size(), MSG_WAITALL), 1000);
    ASSERT_TRUE(WriteAll(fc, "partial"));
    // s resets its data and control connections, c its upload's.
    bxtest::ResetClose(fd);
    s.Close(true);
    bxtest::ResetClose(fc);
    EXPECT_EQ(c.ReadReply(), ABORTED);

    EXPECT_TRUE(ReadAll(fb) == bytes);
    close(fb);
    EXPECT_EQ(b.ReadReply(), DONE);
    EXPECT_EQ(c.Upload("STOR g", "whole"), DONE);
    EXPECT_EQ(ReadFile(Root("g")), "whole");
}

TEST_F(Concurrent, FailedUploadStreamsWithFlatMemory) {
    int fd = s.Begin("STOR nodir/x"); // the directory does not exist
    std::string chunk = RandomBytes(1 << 20, 5);
    // The first 8 MiB settle what the transfer and the process keep anyway
    // (buffers, arenas of busy threads): the heap measured then is the
    // baseline. Every MiB after it waits for the server to take it (the
    // socket buffers are far smaller), so a server that kept what it received
    // would hold most of the 96 MiB that follow, far above the margin.
    const int warmUp = 8, total = 104;
    size_t base = 0, peak = 0;
    for (int i = 0; i < total; i++) {
        ASSERT_TRUE(WriteAll(fd, chunk)) << i;
        if (i + 1 == warmUp) base = peak = HeapBytes();
        peak = std::max(peak, HeapBytes());
    }
    close(fd);
    EXPECT_EQ(s.ReadReply(20000), ABORTED);
    EXPECT_LT(peak - base, (size_t)(total - warmUp) << 20 >> 2)
        << "heap bytes grown by more than a quarter of what streamed";
    EXPECT_EQ(Code(s.Command("NOOP")), "200");
}

// A download the client does not read stalls: the commands pipelined behind
// it wait in a bounded control input, the server holds little of the file,
// and another client's download runs meanwhile.
TEST_F(Concurrent, PipelinedCommandsBehindAStalledDownloadStayBoundedAndSlowNobody) {
    WriteRootFile("huge", std::string(32 << 20, 'h'));
    std::string bytes = RandomBytes(8 << 20, 4);
    WriteRootFile("f", bytes);
    Session other;
    ASSERT_TRUE(other.Open(Port()));
    size_t heapBefore = HeapBytes();
    int fd = s.Begin("RETR huge");
    // 256 KB of commands: far more than the control input may hold, and few
    // enough that the kernel takes them all at once.
    const int lines = 256 * 1024 / 6;
    std::string pipelined;
    for (int i = 0; i < lines; i++)
        pipelined += "NOOP\r\n";
    ASSERT_TRUE(s.Send(pipelined));
    ASSERT_TRUE(WaitFor([&] { return UnreadInput(0) >= CONTROL_IN_MAX; }))
        << "the control input never filled";
    static uint32_t capacity;
    for (int i = 0; i < 20; i++) {
        OnSocketThread([] {
            if (ConnOwner(0) == SockLoopIndex()) capacity = ConnAt(0)->control.in.capacity;
        });
        ASSERT_LE(capacity, 2 * CONTROL_IN_MAX) << "sample " << i;
    }
    EXPECT_TRUE(other.Download("RETR f") == bytes);
    EXPECT_LT(HeapBytes(), heapBefore + ((size_t)16 << 20))
        << "heap bytes grown while the download stalled";
    EXPECT_EQ(ReadAll(fd, 60000).size(), 32u << 20);
    close(fd);
    EXPECT_EQ(s.ReadReply(10000), DONE);
    int answered = 0;
    while (answered < lines && s.ReadReply() == "200 Command okay.\r\n")
        answered++;
    EXPECT_EQ(answered, lines);
}

TEST_F(Concurrent, FiftyTransfersAtOnceArriveIntact) {
    const int kClients = 50;
    std::vector<std::string> contents;
    // Logged in one after the other (the control listener's backlog is
    // small); the transfers then run all at once: even ones download, odd
    // ones upload, in passive and active mode.
    std::vector<std::unique_ptr<Session>> sessions;
    for (int i = 0; i < kClients; i++) {
        contents.push_back(RandomBytes(200000 + i * 997, 100 + i));
        if (i % 2 == 0) WriteRootFile("d" + std::to_string(i), contents[i]);
        sessions.push_back(std::make_unique<Session>());
        ASSERT_TRUE(sessions.back()->Open(Port())) << i;
        sessions.back()->mode = i % 4 < 2 ? Mode::PASV : Mode::PORT;
    }
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; i++)
        threads.emplace_back([&, i] {
            std::string final;
            if (i % 2 == 0)
                EXPECT_TRUE(sessions[i]->Download("RETR d" + std::to_string(i), &final) ==
                            contents[i])
                    << i;
            else
                final = sessions[i]->Upload("STOR u" + std::to_string(i), contents[i]);
            EXPECT_EQ(final, DONE) << i;
        });
    for (auto& t : threads)
        t.join();
    for (int i = 1; i < kClients; i += 2)
        EXPECT_TRUE(ReadFile(Root("u" + std::to_string(i))) == contents[i]) << i;
}

} // namespace
