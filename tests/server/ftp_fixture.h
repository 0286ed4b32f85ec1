// In-process FTP server for socket-level tests: the real socket thread on an
// ephemeral port, a temporary machine directory (BRINDLEX_ROOT), work
// directory, FTP root and log directory, and accounts placed straight into
// the user list. Tests talk to it over real loopback sockets with FtpClient.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>

#include "config/users.h"
#include "test_support.h"

class FtpFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Port of the listening socket (127.0.0.1 reaches it).
    uint16_t Port() const { return port_; }
    // The temporary directory and its parts: Temp()/work (message files),
    // Temp()/root (the default account root), Temp()/log (log files).
    const std::string& Temp() const { return temp_; }
    std::string WorkDir() const { return temp_ + "/work"; }
    std::string RootDir() const { return temp_ + "/root"; }
    std::string LogDir() const { return temp_ + "/log"; }

    // Adds an account to the user list (under its lock). password nullptr or
    // "" = no password. root nullptr = RootDir(); home nullptr = root.
    void AddUser(const char* name, const char* password,
                 uint8_t permissions = PERM_LIST | PERM_GET | PERM_PUT | PERM_CREATE |
                                       PERM_DELETEDIR | PERM_DELETEFILE,
                 uint8_t flags = ACCOUNT_ENABLE | ACCOUNT_RESTRICT, const char* root = nullptr,
                 const char* home = nullptr, uint16_t maxConn = 0);
    // Replaces the system connection limit (0 = none).
    void SetMaxConn(uint16_t maxConn);
    // Writes a message file into WorkDir().
    void WriteMessageFile(const char* name, const std::string& content);
    // Writes a file below RootDir() (relative path with "/"), creating parents.
    void WriteRootFile(const std::string& rel, const std::string& content);
    // Everything logged so far (flushes the log buffer first).
    std::string LogText();
    // How often text occurs in the log so far.
    int LogCount(const std::string& text);
    // Polls the log until text occurs at least count times (bounded).
    bool WaitForLog(const std::string& text, int count = 1, int timeoutMs = 5000);

private:
    uint16_t port_ = 0;
    std::string temp_;
    std::unique_ptr<bxtest::LogCapture> log_;
};

// A blocking FTP control-connection client with time-outs.
class FtpClient {
public:
    FtpClient() = default;
    ~FtpClient();
    FtpClient(const FtpClient&) = delete;
    FtpClient& operator=(const FtpClient&) = delete;

    bool Connect(uint16_t port, const char* address = "127.0.0.1");
    // Sends raw bytes as they are.
    bool Send(const std::string& bytes);
    // Sends line + "\r\n".
    bool SendLine(const std::string& line);
    // One complete reply: every line of a multi-line reply ("xyz-" ... "xyz "),
    // each with its line end, as received. "" on time-out or close.
    std::string ReadReply(int timeoutMs = 5000);
    // SendLine + ReadReply.
    std::string Command(const std::string& line, int timeoutMs = 5000);
    // USER + PASS; true when the final reply starts with 230.
    bool Login(const std::string& user, const std::string& password);
    // True once the server has closed or shut down its sending side (recv 0)
    // within the time-out; bytes before that are discarded.
    bool WaitForEof(int timeoutMs = 5000);
    // Closes (with linger 0 when reset is true: the peer sees a reset).
    void Close(bool reset = false);
    int Fd() const { return fd_; }

private:
    int fd_ = -1;
    std::string pending_;
};

// Sends each command in turn on c and expects its reply (without its CR LF).
void ExpectReplies(FtpClient& c, std::initializer_list<std::pair<std::string, std::string>> steps);

// Opens a data connection to the address and port of a "227 Entering Passive
// Mode (h1,h2,h3,h4,p1,p2)" reply; reads a socket until the peer closes;
// writes all bytes.
using bxtest::ConnectPassive;
using bxtest::ReadAll;
using bxtest::WriteAll;
