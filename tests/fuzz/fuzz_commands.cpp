// Fuzz target: the control connection's line reader and the command
// dispatcher with every handler, on a real accepted connection of an
// in-process engine (its loop made but driven by hand). The input arrives
// in pieces as a client would send it; replies are read and thrown away.
// Files are made and removed only inside a temporary root.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "config/config.h"
#include "config/users.h"
#include "platform/eventloop.h"
#include "platform/net.h"
#include "server/commands.h"
#include "server/sockthread.h"

namespace {

SOCKET listener = INVALID_SOCKET;
uint16_t listenPort = 0;

void AddAccount(const char* name, const char* password, uint8_t flags, const std::string& root) {
    UserAccount account;
    UserAccountDefaults(&account, name);
    snprintf(account.Root, sizeof account.Root, "%s", root.c_str());
    snprintf(account.Home, sizeof account.Home, "%s", root.c_str());
    if (password) MakePasswordDigest(name, password, account.PW);
    account.accountFlags = flags;
    account.permissions = 0xFF;
    userList.accounts.push_back(account);
}

void Setup() {
    char dir[] = "/tmp/bx-fuzz-cmd-XXXXXX";
    if (!mkdtemp(dir)) abort();
    setenv("BRINDLEX_ROOT", dir, 1);
    std::string root = std::string(dir) + "/root";
    mkdir(root.c_str(), 0700);
    mkdir((root + "/sub").c_str(), 0700);
    std::ofstream(root + "/file.txt") << "hello\r\n";
    snprintf(workDir, sizeof workDir, "%s", dir);
    AddAccount("bob", "pw", ACCOUNT_ENABLE, root);
    AddAccount("anonymous", nullptr, ACCOUNT_ENABLE | ACCOUNT_ANONYMOUS, root);
    AddAccount("open", nullptr, ACCOUNT_ENABLE, root);
    if (!EvLoopCreate(SockWndProc)) abort();
    listener = SockListen(SOCK_MSG_ACCEPT, NetAddressIpv4(127, 0, 0, 1), "listen");
    NetAddress bound = {};
    if (listener == INVALID_SOCKET || NetGetSockName(listener, &bound) == SOCKET_ERROR) abort();
    listenPort = bound.port;
}

int ConnectClient() {
    // Non-blocking connect, then wait: libFuzzer's timeout alarm may interrupt
    // a blocking connect, which cannot simply be called again.
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(listenPort);
    int rc = fd < 0 ? -1 : connect(fd, (sockaddr*)&sa, sizeof sa);
    if (rc != 0 && fd >= 0 && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        while ((rc = poll(&p, 1, 5000)) < 0 && errno == EINTR) {
        }
        int err = 0;
        socklen_t len = sizeof err;
        rc =
            (rc == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) ? 0 : -1;
        if (err) errno = err;
    }
    if (rc != 0) {
        perror("fuzz_commands: connect");
        abort();
    }
    return fd;
}

void Drain(int fd) {
    char buffer[65536];
    while (recv(fd, buffer, sizeof buffer, 0) > 0) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    [[maybe_unused]] static bool ready = (Setup(), true);
    int client = ConnectClient();
    AcceptProc(listener);
    Conn* conn = nullptr;
    for (int32_t i = 0; i < connTable.count; i++)
        if (connTable.conns[i].control.socket != INVALID_SOCKET) conn = &connTable.conns[i];
    if (!conn) abort();
    Drain(client);
    // Pieces cut at 0xFF bytes, as separate receives.
    size_t at = 0;
    while (at < size && conn->control.socket != INVALID_SOCKET) {
        const void* cut = memchr(data + at, 0xFF, size - at);
        size_t piece = cut ? (size_t)((const uint8_t*)cut - (data + at)) + 1 : size - at;
        if (!AppendQueue(&conn->control.in, data + at, (uint32_t)piece)) abort();
        ProcessCommands(conn);
        Drain(client);
        at += piece;
    }
    // The client resets its end before the server closes: neither side is
    // left in TIME_WAIT, which at thousands of runs a second would use up
    // the loopback's ephemeral ports and fail the next connect.
    linger reset{1, 0};
    setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(client);
    ConnClose(conn);
    return 0;
}
