// The in-process FTP server fixture and a small blocking FTP client for
// socket-level tests. Every wait is a bounded poll.
#include "ftp_fixture.h"

#include <arpa/inet.h>
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
#include "server/sockthread.h"

namespace {

using bxtest::Clock;
using bxtest::WaitFd;

void CopyText(char* out, size_t size, const char* text) {
    snprintf(out, size, "%s", text ? text : "");
}

}  // namespace

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
void RunSocketThreadJob() {
    if (socketThreadJob)
        socketThreadJob();
    else
        RefreshConnections();
}
}  // namespace

void FtpFixture::OnSocketThread(void (*fn)()) {
    socketThreadJob = fn;
    EXPECT_EQ(SockSend(SOCK_MSG_REFRESH, 0, 0), 1);
    socketThreadJob = nullptr;
}

// ---------------------------------------------------------------- fixture

void FtpFixture::SetUp() {
    char pattern[] = "/tmp/bx-ftp-XXXXXX";
    const char* dir = mkdtemp(pattern);
    ASSERT_NE(dir, nullptr) << "mkdtemp: " << strerror(errno);
    temp_ = dir;
    setenv("BRINDLEX_ROOT", temp_.c_str(), 1);
    for (const std::string& sub : {WorkDir(), RootDir(), LogDir()})
        ASSERT_TRUE(std::filesystem::create_directories(sub)) << sub;

    log_ = std::make_unique<bxtest::LogCapture>(LogDir());  // all levels on: a test may have turned some off

    snprintf(workDir, sizeof workDir, "%s", WorkDir().c_str());
    LockUserList();
    userList.accounts.clear();
    UnlockUserList();
    systemSettings = {1, 0, 0};

    SockRestoreHandlers();
    sockHandlers.refresh = RunSocketThreadJob;
    ASSERT_EQ(SockThreadInit(), 0) << "socket thread did not start";
    SockSend(SOCK_MSG_LISTEN, 0, 1);
    ASSERT_NE(listenSocket, INVALID_SOCKET) << "no listening socket";
    uint32_t addrN = 0;
    uint16_t portN = 0;
    ASSERT_NE(NetGetSockName(listenSocket, &addrN, &portN), SOCKET_ERROR);
    port_ = NetNtohs(portN);
    ASSERT_NE(port_, 0);
}

void FtpFixture::TearDown() {
    SockThreadStop();
    SockRestoreHandlers();
    LockUserList();
    userList.accounts.clear();
    UnlockUserList();
    log_.reset();
    if (!temp_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(temp_, ignored);
    }
    unsetenv("BRINDLEX_ROOT");
}

void FtpFixture::AddUser(const char* name, const char* password, uint8_t permissions,
                         uint8_t flags, const char* root, const char* home, uint16_t maxConn) {
    UserAccount account;
    memset(&account, 0, sizeof account);
    CopyText(account.name, sizeof account.name, name);
    for (char* c = account.name; *c; c++)
        if (*c >= 'A' && *c <= 'Z') *c = (char)(*c - 'A' + 'a');
    if (password && *password) MakePasswordDigest(account.name, password, account.PW);
    std::string rootText = root ? root : RootDir();
    CopyText(account.Root, sizeof account.Root, rootText.c_str());
    CopyText(account.Home, sizeof account.Home, home ? home : rootText.c_str());
    account.accountFlags = flags;
    account.MaxConn = maxConn;
    account.permissions = permissions;
    LockUserList();
    userList.accounts.push_back(account);
    UnlockUserList();
}

void FtpFixture::SetMaxConn(uint16_t maxConn) { SettingStore(systemSettings.maxConn, maxConn); }

void FtpFixture::WriteMessageFile(const char* name, const std::string& content) {
    std::ofstream out(WorkDir() + "/" + name, std::ios::binary | std::ios::trunc);
    out << content;
    ASSERT_TRUE(out.good()) << name;
}

void FtpFixture::WriteRootFile(const std::string& rel, const std::string& content) {
    std::filesystem::path path = std::filesystem::path(RootDir()) / rel;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    ASSERT_TRUE(out.good()) << rel;
}


uint32_t FtpFixture::UnreadInput(uint16_t connId) {
    unreadOf = connId;
    OnSocketThread([] {
        unreadCount = unreadOf < connTable.count ? QueueUnread(&connTable.conns[unreadOf].control.in) : 0;
    });
    return unreadCount;
}

int FtpFixture::LiveConnections(bool data) {
    countData = data;
    OnSocketThread([] {
        liveCount = 0;
        for (int32_t i = 0; i < connTable.count; i++) {
            const Conn& conn = connTable.conns[i];
            liveCount += (countData ? conn.data.socket : conn.control.socket) != INVALID_SOCKET;
        }
    });
    return liveCount;
}

// ---------------------------------------------------------------- client

FtpClient::~FtpClient() { Close(); }

bool FtpClient::Connect(uint16_t port, const char* address) {
    Close();
    in_addr a;
    if (inet_pton(AF_INET, address, &a) != 1) return false;
    fd_ = bxtest::Connect(ntohl(a.s_addr), port);
    return fd_ >= 0;
}

bool FtpClient::Send(const std::string& bytes) { return fd_ >= 0 && WriteAll(fd_, bytes); }

bool FtpClient::SendLine(const std::string& line) { return Send(line + "\r\n"); }

std::string FtpClient::ReadReply(int timeoutMs) {
    if (fd_ < 0) return "";
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string code;    // set by the first line of a multi-line reply
    size_t scanned = 0;  // bytes of pending_ that belong to this reply so far
    for (;;) {
        size_t lf = pending_.find('\n', scanned);
        if (lf != std::string::npos) {
            size_t start = scanned;
            scanned = lf + 1;
            bool last;
            if (code.empty() && !(lf - start >= 3 && pending_[start + 3] == '-')) {
                last = true;
            } else {
                if (code.empty()) code = pending_.substr(start, 3);
                last = start > 0 && lf - start >= 3 && pending_.compare(start, 3, code) == 0 &&
                       pending_[start + 3] == ' ';
            }
            if (last) {
                std::string reply = pending_.substr(0, scanned);
                pending_.erase(0, scanned);
                return reply;
            }
            continue;
        }
        if (!WaitFd(fd_, POLLIN, deadline)) return "";
        char buffer[16384];
        ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return "";
        pending_.append(buffer, (size_t)n);
    }
}

std::string FtpClient::Command(const std::string& line, int timeoutMs) {
    if (!SendLine(line)) return "";
    return ReadReply(timeoutMs);
}

bool FtpClient::Login(const std::string& user, const std::string& password) {
    std::string reply = Command("USER " + user);
    if (reply.rfind("331", 0) == 0) reply = Command("PASS " + password);
    return reply.rfind("230", 0) == 0;
}

bool FtpClient::WaitForEof(int timeoutMs) {
    if (fd_ < 0) return false;
    pending_.clear();
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (!WaitFd(fd_, POLLIN, deadline)) return false;
        char buffer[16384];
        ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n == 0) return true;
        if (n < 0 && errno != EINTR) return false;
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
