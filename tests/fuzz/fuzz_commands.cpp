// Fuzz target: the control connection's line reader and the command
// dispatcher with every handler, on a real accepted connection of an
// in-process engine (its loop made but driven by hand) that offers TLS. The
// input arrives in pieces as a client would send it; replies are read and
// thrown away. Once a piece's AUTH has started the server's handshake, the
// harness completes it as a TLS client (OpenSSL, the client side the product
// has not) and sends the later pieces through the session, where the
// server's socket event takes them (decryption, line reader, dispatch):
// every command is reached in clear and under TLS. Files are made and
// removed only inside a temporary root.
#include <netinet/in.h>
#include <openssl/ssl.h>
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
#include "platform/tls.h"
#include "server/commands.h"
#include "server/sockthread.h"

namespace {

SOCKET listener = INVALID_SOCKET;
uint16_t listenPort = 0;
SSL_CTX* clientContext = nullptr;

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
    // A certificate of its own: TLS offered to every connection.
    std::string cert = std::string(dir) + "/cert.pem", key = std::string(dir) + "/key.pem";
    std::string make = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                       "-days 2 -subj /CN=127.0.0.1 -keyout " +
                       key + " -out " + cert + " >/dev/null 2>&1";
    char why[512];
    if (system(make.c_str()) != 0 || !TlsLoadContext(cert.c_str(), key.c_str(), why, sizeof why)) {
        fprintf(stderr, "fuzz_commands: no certificate\n");
        abort();
    }
    systemSettings.tls = 1;
    clientContext = SSL_CTX_new(TLS_client_method());
    if (!clientContext) abort();
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

// The socket events the loop would deliver, while the connection lasts:
// what the client sent is read (and what TLS still holds decrypted), then
// the replies go out and are thrown away.
void Pump(Conn* conn, int client) {
    for (int round = 0; round < 64; round++) {
        for (uint16_t event : {FD_READ, FD_WRITE}) {
            if (conn->control.socket == INVALID_SOCKET) return;
            ControlProc(WSAMAKESELECTREPLY(event, 0), conn->control.socket);
            Drain(client);
        }
        if (conn->control.socket == INVALID_SOCKET) return;
        pollfd p{(int)conn->control.socket, POLLIN, 0};
        bool more = poll(&p, 1, 0) == 1 || (conn->control.tls && TlsPending(conn->control.tls));
        if (!more) return;
    }
}

// The client's side of the handshake AUTH started, the server's side driven
// by its socket events. The client session, or nullptr when the server gave
// up (then the connection is closed).
SSL* ClientHandshake(Conn* conn, int client) {
    SSL* ssl = SSL_new(clientContext);
    if (!ssl || SSL_set_fd(ssl, client) != 1) abort();
    SSL_set_connect_state(ssl);
    for (int round = 0; round < 64 && conn->control.socket != INVALID_SOCKET; round++) {
        int rc = SSL_do_handshake(ssl);
        if (rc != 1 && SSL_get_error(ssl, rc) != SSL_ERROR_WANT_READ) break;
        ControlProc(WSAMAKESELECTREPLY(FD_READ, 0), conn->control.socket);
        if (rc == 1 && conn->control.socket != INVALID_SOCKET && !conn->control.tlsHandshaking)
            return ssl;
    }
    SSL_free(ssl);
    return nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    [[maybe_unused]] static bool ready = (Setup(), true);
    int client = ConnectClient();
    AcceptProc(listener);
    Conn* conn = nullptr;
    for (int32_t i = 0; i < ConnSlotCount(); i++)
        if (ConnAt(i)->control.socket != INVALID_SOCKET) conn = ConnAt(i);
    if (!conn) abort();
    Drain(client);
    // Pieces cut at 0xFF bytes, as separate receives: into the line queue
    // while in clear, through the client's session once TLS is on.
    SSL* tls = nullptr;
    size_t at = 0;
    while (at < size && conn->control.socket != INVALID_SOCKET) {
        const void* cut = memchr(data + at, 0xFF, size - at);
        size_t piece = cut ? (size_t)((const uint8_t*)cut - (data + at)) + 1 : size - at;
        if (tls) {
            if (SSL_write(tls, data + at, (int)piece) != (int)piece) break;
            Pump(conn, client);
        } else {
            if (!AppendQueue(&conn->control.in, data + at, (uint32_t)piece)) abort();
            ProcessCommands(conn);
            Drain(client);
            if (conn->tlsAuthPending) Pump(conn, client); // 234 sent, then the handshake
            if (conn->control.socket != INVALID_SOCKET && conn->control.tlsHandshaking &&
                !(tls = ClientHandshake(conn, client)))
                break;
        }
        at += piece;
    }
    SSL_free(tls);
    // The client resets its end before the server closes: neither side is
    // left in TIME_WAIT, which at thousands of runs a second would use up
    // the loopback's ephemeral ports and fail the next connect.
    linger reset{1, 0};
    setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(client);
    ConnClose(conn);
    return 0;
}
