// The in-process FTP server fixture and a small blocking FTP client for
// socket-level tests. Every wait is a bounded poll.
#include "ftp_fixture.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "config/config.h"
#include "log/log.h"
#include "server/conn.h"
#include "server/login_guard.h"
#include "server/sockthread.h"

using bxtest::Clock;

// The refresh message is the one the socket thread takes from other threads
// and hands to a replaceable handler: the fixture installs its own handler
// before the thread starts (the handler table is never written while the
// thread runs), and the handler runs the job a test hands over, or the real
// refresh when there is none. The job pointer crosses threads through the
// message queue's own locking: set before SockSend, cleared after it returns.
namespace {
void (*socketThreadJob)();
int liveCount;
bool countData;
uint16_t unreadOf;
uint32_t unreadCount;
void ClearUsers() {
    LockUserList();
    userList.accounts.clear();
    UnlockUserList();
}
void RunSocketThreadJob() {
    if (socketThreadJob)
        socketThreadJob();
    else
        RefreshConnections();
}
} // namespace

void FtpFixture::OnSocketThread(void (*fn)()) {
    socketThreadJob = fn;
    EXPECT_EQ(SockSend(SOCK_MSG_REFRESH, 0, 0), 1);
    for (int loop = 1; loop < SockLoopCount(); loop++)
        EXPECT_EQ(EvLoopSendTo(loop, SOCK_MSG_REFRESH, 0, 0), 1);
    socketThreadJob = nullptr;
}

// ---------------------------------------------------------------- fixture

void FtpFixture::SetUp() {
    temp_ = std::make_unique<bxtest::TempDir>("bx-ftp");
    ASSERT_FALSE(Temp().empty()) << "mkdtemp: " << strerror(errno);
    setenv("BRINDLEX_ROOT", Temp().c_str(), 1);
    for (const char* sub : {"/work", "/root", "/log"})
        ASSERT_TRUE(std::filesystem::create_directories(Temp() + sub)) << sub;

    log_ = std::make_unique<bxtest::LogCapture>(
        Temp() + "/log"); // all levels on: a test may have turned some off

    snprintf(workDir, sizeof workDir, "%s/work", Temp().c_str());
    ClearUsers();
    systemSettings = {1, 0, 0}; // every other System value (time limits, extensions) at its default
    SettingStore(systemSettings.socketThreads, socketThreads_);

    SockRestoreHandlers();
    sockHandlers.refresh = RunSocketThreadJob;
    ASSERT_EQ(SockThreadInit(), 0) << "socket thread did not start";
    SockSend(SOCK_MSG_LISTEN, 0, 1);
    ASSERT_NE(listenSocket, INVALID_SOCKET) << "no listening socket";
    NetAddress bound = {};
    ASSERT_NE(NetGetSockName(listenSocket, &bound), SOCKET_ERROR);
    port_ = bound.port;
    ASSERT_NE(port_, 0);
}

void FtpFixture::TearDown() {
    SockThreadStop();
    LoginGuardClear();
    SockRestoreHandlers();
    ClearUsers();
    quiet_.reset();
    log_.reset();
    temp_.reset();
    unsetenv("BRINDLEX_ROOT");
}

void FtpFixture::AddUser(const char* name, const char* password, uint8_t permissions, uint8_t flags,
                         const char* root, const char* home, uint16_t maxConn) {
    UserAccount account = {};
    snprintf(account.name, sizeof account.name, "%s", name); // lower case, as the store keeps names
    if (password && *password) MakePasswordDigest(account.name, password, account.PW);
    std::string rootText = root ? root : RootDir();
    snprintf(account.Root, sizeof account.Root, "%s", rootText.c_str());
    snprintf(account.Home, sizeof account.Home, "%s", home ? home : rootText.c_str());
    account.accountFlags = flags;
    account.MaxConn = maxConn;
    account.permissions = permissions;
    LockUserList();
    userList.accounts.push_back(account);
    UnlockUserList();
}

// The test fails when the file cannot be written.
void FtpFixture::WriteRootFile(const std::string& rel, const std::string& content) {
    std::filesystem::path path = Root(rel);
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    ASSERT_TRUE(out.good()) << path;
}

uint32_t FtpFixture::UnreadInput(uint16_t connId) {
    unreadOf = connId;
    unreadCount = 0;
    OnSocketThread([] {
        if (unreadOf < ConnSlotCount() && ConnOwner(unreadOf) == SockLoopIndex())
            unreadCount = QueueUnread(&ConnAt(unreadOf)->control.in);
    });
    return unreadCount;
}

int FtpFixture::LiveConnections(bool data) {
    countData = data;
    liveCount = 0;
    OnSocketThread([] {
        for (int32_t i = 0; i < ConnSlotCount(); i++) {
            if (ConnOwner((uint16_t)i) != SockLoopIndex()) continue;
            const Conn& conn = *ConnAt(i);
            liveCount += (countData ? conn.data.socket : conn.control.socket) != INVALID_SOCKET;
        }
    });
    return liveCount;
}

// ---------------------------------------------------------------- client

bool FtpClient::Connect(uint16_t port, const char* localAddress) {
    Close();
    fd_ = IsIpv6(localAddress) ? bxtest::Connect6(port)
                               : bxtest::Connect(INADDR_LOOPBACK, port, localAddress);
    return fd_ >= 0;
}

bool FtpClient::Send(const std::string& bytes) {
    return fd_ >= 0 && WriteAll(fd_, bytes);
}

ssize_t FtpClient::Receive(Clock::time_point deadline) {
    for (;;) {
        if (fd_ < 0 || !bxtest::WaitFd(fd_, POLLIN, deadline)) return -1;
        char buffer[16384];
        ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n > 0) pending_.append(buffer, (size_t)n);
        if (n >= 0 || errno != EINTR) return n;
    }
}

std::string FtpClient::ReadReply(int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        // The first line ends the reply unless its code is followed by "-";
        // then the reply runs to the line that starts with the code and " ".
        size_t start = 0;
        for (size_t lf; (lf = pending_.find('\n', start)) != std::string::npos;) {
            bool last = start == 0
                            ? !(lf >= 3 && pending_[3] == '-')
                            : lf - start >= 3 && pending_.compare(start, 3, pending_, 0, 3) == 0 &&
                                  pending_[start + 3] == ' ';
            start = lf + 1;
            if (last) {
                std::string reply = pending_.substr(0, start);
                pending_.erase(0, start);
                return reply;
            }
        }
        if (Receive(deadline) <= 0) return "";
    }
}

bool FtpClient::Login(const std::string& user, const std::string& password) {
    std::string reply = Command("USER " + user);
    if (reply.rfind("331", 0) == 0) reply = Command("PASS " + password);
    return reply.rfind("230", 0) == 0;
}

bool FtpClient::WaitForEof(int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pending_.clear();
        ssize_t n = Receive(deadline);
        if (n <= 0) return n == 0;
    }
}

void FtpClient::Close(bool reset) {
    if (fd_ < 0) return;
    if (reset)
        bxtest::ResetClose(fd_);
    else
        close(fd_);
    fd_ = -1;
    pending_.clear();
}

void ExpectReplies(FtpClient& c, const std::vector<std::pair<std::string, std::string>>& steps) {
    for (const auto& [line, reply] : steps) {
        bool raw = !line.empty() && line.back() == '\n';
        EXPECT_TRUE(raw ? c.Send(line) : c.SendLine(line)) << testing::PrintToString(line);
        EXPECT_EQ(c.ReadReply(), reply + "\r\n") << "for " << testing::PrintToString(line);
    }
}
