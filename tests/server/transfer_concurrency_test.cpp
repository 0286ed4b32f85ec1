// Transfers side by side on the one socket thread: share modes between
// connections, clients that vanish, failed uploads that keep streaming, and
// many transfers at once.
#include <sys/resource.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "data_client.h"
#include "log/log.h"

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
        // Byte dumps of every block would dominate the run time.
        for (int level = LOG_TRACE0; level <= LOG_TRACE5; level++) logLevelOn[level] = 0;
        AddUser("u", "pw");
    }
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
    EXPECT_EQ(a.ftp.ReadReply(), "226 Transfer complete.\r\n");
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
    EXPECT_EQ(a.ftp.ReadReply(), "226 Transfer complete.\r\n");
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
    linger lg = {1, 0};
    setsockopt(fa, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(fa);
    a.ftp.Close(true);
    setsockopt(fc, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(fc);
    EXPECT_EQ(c.ftp.ReadReply(), "426 Connection closed; transfer aborted.\r\n");

    EXPECT_TRUE(ReadAll(fb) == bytes);
    close(fb);
    EXPECT_EQ(b.ftp.ReadReply(), "226 Transfer complete.\r\n");
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
    EXPECT_EQ(a.ftp.ReadReply(), "426 Connection closed; transfer aborted.\r\n");
}

TEST_F(Concurrent, FailedUploadStreamsWithFlatMemory) {
    Session s;
    ASSERT_TRUE(s.Open(Port()));
    std::string first;
    int fd = s.Begin("STOR nodir/x", &first);  // the directory does not exist
    ASSERT_EQ(Code(first)[0], '1');
    std::string chunk = RandomBytes(1 << 20, 5);
    long before = ProcStatusKb("VmRSS:");
    long peak = before;
    for (int i = 0; i < 100; i++) {
        ASSERT_TRUE(WriteAll(fd, chunk)) << i;
        peak = std::max(peak, ProcStatusKb("VmRSS:"));
    }
    close(fd);
    EXPECT_EQ(s.ftp.ReadReply(20000), "426 Connection closed; transfer aborted.\r\n");
    EXPECT_LT(peak - before, 16 * 1024) << "kB grown while 100 MB streamed";
    EXPECT_EQ(Code(s.Cmd("NOOP")), "200");
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
