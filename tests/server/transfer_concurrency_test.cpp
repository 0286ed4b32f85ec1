// Transfers side by side on the one socket thread: share modes between
// connections, clients that vanish, failed uploads that keep streaming, and
// many transfers at once.
#include <malloc.h>
#include <sys/resource.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "data_client.h"
#include "server/control_limits.h"

using namespace dataclient;

namespace {

long ProcStatusKb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(strlen(field)));
    return -1;
}

class Concurrent : public FtpFixture {
protected:
    void SetUp() override {
        FtpFixture::SetUp();
        quiet = std::make_unique<bxtest::QuietLog>();
        AddUser("u", "pw");
    }
    std::unique_ptr<bxtest::QuietLog> quiet;  // byte dumps of every block would dominate the run
};

TEST_F(Concurrent, ShareModesBetweenConnections) {
    Session a, b;
    ASSERT_TRUE(a.Open(Port()) && b.Open(Port()));
    // A second upload of a file being uploaded gets its 150/125, then 426.
    std::string first;
    int fd = a.Begin("STOR same", &first);
    ASSERT_EQ(Code(first)[0], '1');
    ASSERT_TRUE(WriteAll(fd, "first part "));
    ASSERT_TRUE(WaitFor([&] { return ReadFile(RootDir() + "/same") == "first part "; }));
    EXPECT_EQ(b.Upload("STOR same", "intruder"), "426 Connection closed; transfer aborted.\r\n");
    std::string final;
    EXPECT_EQ(b.Download("RETR same", &final), "") << "nor may it be read";
    EXPECT_EQ(final, "426 Connection closed; transfer aborted.\r\n");
    ASSERT_TRUE(WriteAll(fd, "second part"));
    close(fd);
    EXPECT_EQ(a.ReadReply(), "226 Transfer complete.\r\n");
    EXPECT_EQ(ReadFile(RootDir() + "/same"), "first part second part");

    // A file being downloaded may be read by others but not written.
    WriteRootFile("big", RandomBytes(32 << 20, 1));
    fd = a.Begin("RETR big", &first);
    ASSERT_EQ(Code(first)[0], '1');
    char byte;
    ASSERT_EQ(recv(fd, &byte, 1, MSG_WAITALL), 1);
    EXPECT_EQ(b.Download("RETR big", &final).size(), 32u << 20);
    EXPECT_EQ(final, "226 Transfer complete.\r\n");
    EXPECT_EQ(b.Upload("STOR big", "x"), "426 Connection closed; transfer aborted.\r\n");
    EXPECT_EQ(ReadAll(fd).size() + 1, 32u << 20);
    close(fd);
    EXPECT_EQ(a.ReadReply(), "226 Transfer complete.\r\n");
}

TEST_F(Concurrent, ClientResetDoesNotDisturbAnother) {
    std::string bytes = RandomBytes(16 << 20, 3);
    WriteRootFile("f", bytes);
    Session a, b, c;
    ASSERT_TRUE(a.Open(Port()) && b.Open(Port()) && c.Open(Port()));
    std::string firstA, firstB, firstC;
    int fa = a.Begin("RETR f", &firstA);
    int fb = b.Begin("RETR f", &firstB);
    int fc = c.Begin("STOR g", &firstC);
    ASSERT_EQ(Code(firstA)[0], '1');
    ASSERT_EQ(Code(firstB)[0], '1');
    ASSERT_EQ(Code(firstC)[0], '1');
    std::string head(1000, '\0');
    ASSERT_EQ(recv(fa, head.data(), head.size(), MSG_WAITALL), 1000);
    ASSERT_TRUE(WriteAll(fc, "partial"));
    // a resets its data and control connections, c its upload's.
    bxtest::ResetClose(fa);
    a.Close(true);
    bxtest::ResetClose(fc);
    EXPECT_EQ(c.ReadReply(), "426 Connection closed; transfer aborted.\r\n");

    EXPECT_TRUE(ReadAll(fb) == bytes);
    close(fb);
    EXPECT_EQ(b.ReadReply(), "226 Transfer complete.\r\n");
    EXPECT_EQ(c.Upload("STOR g", "whole"), "226 Transfer complete.\r\n");
    EXPECT_EQ(ReadFile(RootDir() + "/g"), "whole");
}

TEST_F(Concurrent, StalledDownloadHoldsLittleAndSlowsNobody) {
    WriteRootFile("huge", std::string(64 << 20, 'h'));
    std::string bytes = RandomBytes(8 << 20, 4);
    WriteRootFile("f", bytes);
    Session a, b;
    ASSERT_TRUE(a.Open(Port()) && b.Open(Port()));
    long before = ProcStatusKb("VmRSS:");
    std::string first;
    int stalled = a.Begin("RETR huge", &first);  // never read
    ASSERT_EQ(Code(first)[0], '1');
    EXPECT_TRUE(b.Download("RETR f") == bytes);
    EXPECT_LT(ProcStatusKb("VmRSS:") - before, 8 * 1024 + 16 * 1024) << "kB: the received copy and a block";
    close(stalled);
    EXPECT_EQ(a.ReadReply(), "426 Connection closed; transfer aborted.\r\n");
}

TEST_F(Concurrent, FailedUploadStreamsWithFlatMemory) {
    Session s;
    ASSERT_TRUE(s.Open(Port()));
    std::string first;
    int fd = s.Begin("STOR nodir/x", &first);  // the directory does not exist
    ASSERT_EQ(Code(first)[0], '1');
    std::string chunk = RandomBytes(1 << 20, 5);
    // Heap bytes in use, not resident pages: what the server holds of the
    // upload, whatever the allocator keeps or the machine's load does to
    // the moment of sampling. Every MiB written waits for the server to
    // take it (the socket buffers are far smaller than 100 MB), so a server
    // that kept what it received would hold most of it by the end.
    size_t before = mallinfo2().uordblks;
    size_t peak = before;
    for (int i = 0; i < 100; i++) {
        ASSERT_TRUE(WriteAll(fd, chunk)) << i;
        peak = std::max(peak, mallinfo2().uordblks);
    }
    close(fd);
    EXPECT_EQ(s.ReadReply(20000), "426 Connection closed; transfer aborted.\r\n");
    EXPECT_LT(peak - before, (size_t)16 << 20) << "heap bytes grown while 100 MB streamed";
    EXPECT_EQ(Code(s.Command("NOOP")), "200");
}

TEST_F(Concurrent, PipelinedCommandsBehindALongDownloadKeepControlInputBounded) {
    WriteRootFile("huge", std::string(32 << 20, 'h'));
    Session s;
    ASSERT_TRUE(s.Open(Port()));
    std::string first;
    int fd = s.Begin("RETR huge", &first);  // not read yet: the download stalls
    ASSERT_EQ(Code(first)[0], '1');
    // 256 KB of commands: far more than the control input may hold, and few
    // enough that the kernel takes them all at once.
    const int lines = 256 * 1024 / 6;
    std::string pipelined;
    for (int i = 0; i < lines; i++) pipelined += "NOOP\r\n";
    ASSERT_TRUE(s.Send(pipelined));
    static uint32_t unread, capacity;
    auto sample = [&] {
        OnSocketThread([] {
            unread = QueueUnread(&connTable.conns[0].control.in);
            capacity = connTable.conns[0].control.in.capacity;
        });
        return unread >= CONTROL_IN_MAX;
    };
    ASSERT_TRUE(WaitFor(sample)) << "the control input never filled: " << unread;
    for (int i = 0; i < 20; i++) {
        sample();
        ASSERT_LE(capacity, 2 * CONTROL_IN_MAX) << "sample " << i;
    }
    EXPECT_EQ(ReadAll(fd, 60000).size(), 32u << 20);
    close(fd);
    EXPECT_EQ(s.ReadReply(10000), "226 Transfer complete.\r\n");
    int answered = 0;
    while (answered < lines && s.ReadReply() == "200 Command okay.\r\n") answered++;
    EXPECT_EQ(answered, lines);
}

TEST_F(Concurrent, FiftyTransfersAtOnceArriveIntact) {
    const int kClients = 50;
    std::vector<std::string> contents;
    for (int i = 0; i < kClients; i++) {
        contents.push_back(RandomBytes(200000 + i * 997, 100 + i));
        if (i % 2 == 0) WriteRootFile("d" + std::to_string(i), contents[i]);
    }
    // Logged in one after the other (the control listener's backlog is
    // small); the transfers then run all at once.
    std::vector<std::unique_ptr<Session>> sessions;
    for (int i = 0; i < kClients; i++) {
        sessions.push_back(std::make_unique<Session>());
        ASSERT_TRUE(sessions.back()->Open(Port())) << i;
        sessions.back()->passive = i % 4 < 2;
    }
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; i++) {
        threads.emplace_back([&, i] {
            Session& s = *sessions[i];
            std::string name = (i % 2 ? "u" : "d") + std::to_string(i);
            if (i % 2 == 0) {
                std::string final;
                std::string got = s.Download("RETR " + name, &final);
                if (got == contents[i] && Code(final) == "226") good++;
                else ADD_FAILURE() << i << " got " << got.size() << " " << final;
            } else {
                std::string final = s.Upload("STOR " + name, contents[i]);
                if (Code(final) == "226") good++;
                else ADD_FAILURE() << i << " " << final;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(good.load(), kClients);
    for (int i = 1; i < kClients; i += 2)
        EXPECT_TRUE(ReadFile(RootDir() + "/u" + std::to_string(i)) == contents[i]) << i;
}

}  // namespace
