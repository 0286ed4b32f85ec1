// In-process FTP server for socket-level tests: the real socket thread on an
// ephemeral port, a temporary machine directory (BRINDLEX_ROOT), work
// directory, FTP root and log directory, and accounts placed straight into
// the user list. Tests talk to it over real loopback sockets with FtpClient.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "config/config.h"
#include "config/users.h"
#include "test_support.h"

class FtpFixture : public ::testing::Test {
  protected:
    // Socket threads the engine starts with (SocketThreads; 0 = one per
    // core). A fixture may set it before SetUp.
    uint32_t socketThreads_ = 0;
    void SetUp() override;
    void TearDown() override;

    // Port of the listening socket (127.0.0.1 reaches it).
    uint16_t Port() const { return port_; }
    // The temporary directory and its parts: Temp()/work (message files),
    // Temp()/root (the default account root), Temp()/log (log files).
    const std::string& Temp() const { return temp_->path; }
    std::string RootDir() const { return Temp() + "/root"; }
    // A path below RootDir() (relative, with "/").
    std::string Root(const std::string& rel) const { return RootDir() + "/" + rel; }

    // Adds an account (name in lower case) to the user list, under its lock.
    // password nullptr or "" = no password. root nullptr = RootDir(); home
    // nullptr = root.
    void AddUser(const char* name, const char* password,
                 uint8_t permissions = PERM_LIST | PERM_GET | PERM_PUT | PERM_CREATE |
                                       PERM_DELETEDIR | PERM_DELETEFILE,
                 uint8_t flags = ACCOUNT_ENABLE | ACCOUNT_RESTRICT, const char* root = nullptr,
                 const char* home = nullptr, uint16_t maxConn = 0);
    // Writes a message file into Temp()/work.
    void WriteMessageFile(const char* name, const std::string& content) {
        bxtest::WriteFile(Temp() + "/work/" + name, content);
    }
    // Writes a file below RootDir() (relative path with "/"), creating parents.
    void WriteRootFile(const std::string& rel, const std::string& content);
    // Switches the trace levels off until the end of the test: byte dumps of
    // every block of large transfers would dominate the run.
    void QuietTrace() { quiet_ = std::make_unique<bxtest::QuietLog>(); }
    // Everything logged so far (flushes the log buffer first).
    std::string LogText() { return log_->Text(); }
    // Runs fn on each socket thread in turn (the first first) and returns
    // once it has run on all; a connection's record may be read only on the
    // thread that owns it (ConnOwner).
    void OnSocketThread(void (*fn)());
    // Bytes connection connId has read from its control socket but not yet
    // taken as a line.
    uint32_t UnreadInput(uint16_t connId = 0);
    // Connections whose control socket (or, with data, data socket) is open.
    int LiveConnections(bool data = false);

  private:
    uint16_t port_ = 0;
    std::unique_ptr<bxtest::TempDir> temp_;
    std::unique_ptr<bxtest::LogCapture> log_;
    std::unique_ptr<bxtest::QuietLog> quiet_;
};

// The local address that makes FtpClient connect over IPv6.
constexpr char IPV6_LOOPBACK[] = "::1";
inline bool IsIpv6(const char* localAddress) {
    return localAddress && std::string(localAddress) == IPV6_LOOPBACK;
}

// A blocking FTP control-connection client with time-outs.
class FtpClient {
  public:
    FtpClient() = default;
    ~FtpClient() { Close(); }
    FtpClient(const FtpClient&) = delete;
    FtpClient& operator=(const FtpClient&) = delete;

    // Connects to 127.0.0.1:port, bound first to localAddress when given
    // (on a port of its own, which no other socket shares); to [::1]:port
    // when localAddress is IPV6_LOOPBACK.
    bool Connect(uint16_t port, const char* localAddress = nullptr);
    // Takes over a connected blocking socket (closed with the client).
    void Adopt(int fd) {
        Close();
        fd_ = fd;
    }
    // Connect, then the greeting: true when it is a 220 reply.
    bool ConnectGreeted(uint16_t port, const char* localAddress = nullptr) {
        return Connect(port, localAddress) && ReadReply().rfind("220 ", 0) == 0;
    }
    // Sends raw bytes as they are.
    bool Send(const std::string& bytes);
    // Sends line + "\r\n".
    bool SendLine(const std::string& line) { return Send(line + "\r\n"); }
    // One complete reply: every line of a multi-line reply ("xyz-" ... "xyz "),
    // each with its line end, as received. "" on time-out or close.
    std::string ReadReply(int timeoutMs = 5000);
    // SendLine + ReadReply.
    std::string Command(const std::string& line, int timeoutMs = 5000) {
        return SendLine(line) ? ReadReply(timeoutMs) : "";
    }
    // USER + PASS; true when the final reply starts with 230.
    bool Login(const std::string& user, const std::string& password);
    // True once the server has closed or shut down its sending side (recv 0)
    // within the time-out; bytes before that are discarded.
    bool WaitForEof(int timeoutMs = 5000);
    // Closes (with linger 0 when reset is true: the peer sees a reset).
    void Close(bool reset = false);
    int Fd() const { return fd_; }

  private:
    // Waits for bytes and appends them to pending_: their count, 0 when the
    // peer has closed, -1 on time-out or error.
    ssize_t Receive(bxtest::Clock::time_point deadline);
    int fd_ = -1;
    std::string pending_;
};

// Sends each line in turn on c and expects its reply. A line is sent with
// CR LF added unless it already ends in a line feed; a reply is given
// without its final CR LF. A failure names the line.
void ExpectReplies(FtpClient& c, const std::vector<std::pair<std::string, std::string>>& steps);

using bxtest::ConnectPassive;
using bxtest::ReadAll;
using bxtest::WriteAll;
