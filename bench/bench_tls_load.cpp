// TLS load driver of the whole-server benchmark (bench/server_bench.py
// --tls): a small FTP over TLS client (explicit: AUTH TLS, then PBSZ 0 and
// PROT P) that runs one workload against a server on 127.0.0.1 (or --host)
// and prints one JSON line with what it measured and the CPU time it took
// itself. Passive mode, binary bytes, OpenSSL's default client settings (the
// server's certificate is not checked: the bench made it). Every data
// connection resumes the control connection's TLS session, as servers that
// bind data connections to their control connection ask.
//
//   bench_tls_load [--host ADDRESS] WORKLOAD PORT USER PASS ARGS...
//   bench_tls_load download PORT USER PASS PATH
//   bench_tls_load upload PORT USER PASS LOCALFILE NAME
//   bench_tls_load sessions PORT USER PASS SECONDS
//   bench_tls_load hold PORT USER PASS N
//
// "sessions" repeats connect, AUTH TLS, handshake, login, QUIT, close.
// "hold" opens N logged-in protected sessions, prints {"ready":N} and keeps
// them until its standard input closes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_client.h"

namespace {

using benchclient::Clock;
using benchclient::Since;

double CpuSeconds() {
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return (double)ru.ru_utime.tv_sec + (double)ru.ru_stime.tv_sec +
           ((double)ru.ru_utime.tv_usec + (double)ru.ru_stime.tv_usec) / 1e6;
}

sockaddr_storage server = {};
socklen_t serverLength = 0;
SSL_CTX* ctx = nullptr;

int Connect(uint16_t port) {
    int fd = socket(server.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_storage sa = server;
    if (server.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&sa)->sin6_port = htons(port);
    else
        reinterpret_cast<sockaddr_in*>(&sa)->sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), serverLength) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// A client TLS session on a connected socket; resumes session when given.
SSL* Handshake(int fd, SSL_SESSION* session) {
    SSL* ssl = SSL_new(ctx);
    if (!ssl) return nullptr;
    SSL_set_fd(ssl, fd);
    if (session) SSL_set_session(ssl, session);
    if (SSL_connect(ssl) != 1) {
        ERR_print_errors_fp(stderr);
        SSL_free(ssl);
        return nullptr;
    }
    return ssl;
}

// Ends a data connection's TLS: the close alert, then the server's end.
void Finish(SSL* ssl, int fd) {
    SSL_shutdown(ssl);
    shutdown(fd, SHUT_WR);
    char buffer[4096];
    while (SSL_read(ssl, buffer, sizeof buffer) > 0) {
    }
    SSL_free(ssl);
    close(fd);
}

// One control connection: clear until AUTH TLS, protected after it.
struct Control {
    int fd = -1;
    SSL* ssl = nullptr;
    std::string pending;
    bool resumed = false; // the last data connection resumed this session

    ~Control() { Close(); }
    void Close() {
        if (ssl) SSL_free(ssl);
        if (fd >= 0) close(fd);
        ssl = nullptr;
        fd = -1;
    }
    bool Send(const std::string& line) {
        std::string bytes = line + "\r\n";
        if (ssl) return SSL_write(ssl, bytes.data(), (int)bytes.size()) == (int)bytes.size();
        return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == (ssize_t)bytes.size();
    }
    // The last line of the next reply, "" on close or error.
    std::string Reply() {
        for (;;) {
            size_t lf;
            while ((lf = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, lf + 1);
                pending.erase(0, lf + 1);
                if (line.size() >= 4 && isdigit((unsigned char)line[0]) && line[3] == ' ')
                    return line;
            }
            char buffer[4096];
            int n = ssl ? SSL_read(ssl, buffer, sizeof buffer)
                        : (int)recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) return "";
            pending.append(buffer, (size_t)n);
        }
    }
    std::string Command(const std::string& line) { return Send(line) ? Reply() : ""; }
    bool Expect(const std::string& line, const char* code) {
        return Command(line).compare(0, strlen(code), code) == 0;
    }
    bool Open(uint16_t port, const char* user, const char* pass, bool protectData = true) {
        fd = Connect(port);
        if (fd < 0 || Reply().compare(0, 3, "220") != 0 || !Expect("AUTH TLS", "234")) return false;
        ssl = Handshake(fd, nullptr);
        if (!ssl) return false;
        std::string r = Command(std::string("USER ") + user);
        if (r.compare(0, 3, "331") == 0) r = Command(std::string("PASS ") + pass);
        if (r.compare(0, 3, "230") != 0) return false;
        return !protectData ||
               (Expect("PBSZ 0", "200") && Expect("PROT P", "200") && Expect("TYPE I", "2"));
    }
    // PASV (EPSV over IPv6) and a connected data socket, or -1.
    int Passive() {
        if (server.ss_family == AF_INET6) {
            std::string r = Command("EPSV");
            size_t bars = r.find("(|||");
            if (r.compare(0, 3, "229") != 0 || bars == std::string::npos) return -1;
            return Connect((uint16_t)atoi(r.c_str() + bars + 4));
        }
        std::string r = Command("PASV");
        size_t open = r.find('(');
        unsigned h[6];
        if (r.compare(0, 3, "227") != 0 || open == std::string::npos ||
            sscanf(r.c_str() + open + 1, "%u,%u,%u,%u,%u,%u", &h[0], &h[1], &h[2], &h[3], &h[4],
                   &h[5]) != 6)
            return -1;
        return Connect((uint16_t)(h[4] * 256 + h[5]));
    }
    // The data connection of command: connected, command sent and its 150
    // read, TLS resumed from this session. nullptr on failure.
    SSL* Data(const std::string& command, int* dataFd) {
        *dataFd = Passive();
        if (*dataFd < 0 || !Expect(command, "1")) return nullptr;
        SSL_SESSION* session = SSL_get1_session(ssl);
        SSL* data = Handshake(*dataFd, session);
        SSL_SESSION_free(session);
        resumed = data && SSL_session_reused(data);
        return data;
    }
};

int Fail(const char* what) {
    printf("{\"error\":\"%s\"}\n", what);
    return 1;
}

void Print(const char* fields, const Control& c, double cpu) {
    printf("{%s,\"tls\":\"%s %s\",\"resumed\":%s,\"client_cpu_s\":%.3f}\n", fields,
           SSL_get_version(c.ssl), SSL_get_cipher_name(c.ssl), c.resumed ? "true" : "false",
           CpuSeconds() - cpu);
}

int Download(uint16_t port, const char* user, const char* pass, const char* path) {
    Control c;
    if (!c.Open(port, user, pass)) return Fail("login");
    double cpu = CpuSeconds();
    auto start = Clock::now();
    int fd = -1;
    SSL* data = c.Data(std::string("RETR ") + path, &fd);
    if (!data) return Fail("data");
    std::vector<char> buffer(1 << 20);
    int64_t bytes = 0;
    int n;
    while ((n = SSL_read(data, buffer.data(), (int)buffer.size())) > 0)
        bytes += n;
    bool clean = SSL_get_error(data, n) == SSL_ERROR_ZERO_RETURN;
    Finish(data, fd);
    if (c.Reply().compare(0, 3, "226") != 0) return Fail("226");
    double seconds = Since(start);
    char fields[160];
    snprintf(fields, sizeof fields, "\"bytes\":%lld,\"seconds\":%.6f,\"close_alert\":%s",
             (long long)bytes, seconds, clean ? "true" : "false");
    Print(fields, c, cpu);
    return 0;
}

int Upload(uint16_t port, const char* user, const char* pass, const char* local, const char* name) {
    int file = open(local, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (file < 0 || fstat(file, &st) != 0) return Fail("local file");
    Control c;
    if (!c.Open(port, user, pass)) return Fail("login");
    double cpu = CpuSeconds();
    auto start = Clock::now();
    int fd = -1;
    SSL* data = c.Data(std::string("STOR ") + name, &fd);
    if (!data) return Fail("data");
    std::vector<char> buffer(256 << 10);
    int64_t sent = 0;
    ssize_t n;
    while ((n = read(file, buffer.data(), buffer.size())) > 0) {
        if (SSL_write(data, buffer.data(), (int)n) != (int)n) return Fail("send");
        sent += n;
    }
    Finish(data, fd);
    close(file);
    if (c.Reply().compare(0, 3, "226") != 0) return Fail("226");
    double seconds = Since(start);
    char fields[128];
    snprintf(fields, sizeof fields, "\"bytes\":%lld,\"seconds\":%.6f", (long long)sent, seconds);
    Print(fields, c, cpu);
    return 0;
}

// A full handshake per session: a new client each time, as users are.
int Sessions(uint16_t port, const char* user, const char* pass, double seconds) {
    double cpu = CpuSeconds();
    int count = 0;
    auto start = Clock::now();
    std::string version;
    while (Since(start) < seconds || count < 20) {
        Control c;
        if (!c.Open(port, user, pass, false) || !c.Expect("QUIT", "221")) return Fail("session");
        if (version.empty())
            version = std::string(SSL_get_version(c.ssl)) + " " + SSL_get_cipher_name(c.ssl);
        c.Close();
        count++;
    }
    double elapsed = Since(start);
    printf("{\"sessions\":%d,\"seconds\":%.6f,\"tls\":\"%s\",\"client_cpu_s\":%.3f}\n", count,
           elapsed, version.c_str(), CpuSeconds() - cpu);
    return 0;
}

int Hold(uint16_t port, const char* user, const char* pass, int n) {
    SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS); // many idle sessions, small client
    return benchclient::HoldSessions<Control>(port, user, pass, n);
}

} // namespace

int main(int argc, char** argv) {
    if (!benchclient::TakeHostOption(&argc, &argv, "bench_tls_load", &server, &serverLength))
        return 2;
    if (argc < 5) {
        fprintf(stderr, "usage: bench_tls_load [--host ADDRESS] WORKLOAD PORT USER PASS ARGS...\n");
        return 2;
    }
    ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) return Fail("tls");
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // A server that drops the data connection without its close alert is
    // counted by what arrived (the byte count shows a short transfer).
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    std::string workload = argv[1];
    uint16_t port = (uint16_t)atoi(argv[2]);
    const char* user = argv[3];
    const char* pass = argv[4];
    if (workload == "download" && argc == 6) return Download(port, user, pass, argv[5]);
    if (workload == "upload" && argc == 7) return Upload(port, user, pass, argv[5], argv[6]);
    if (workload == "sessions" && argc == 6) return Sessions(port, user, pass, atof(argv[5]));
    if (workload == "hold" && argc == 6) return Hold(port, user, pass, atoi(argv[5]));
    fprintf(stderr, "bench_tls_load: unknown workload or wrong arguments\n");
    return 2;
}
