// Load driver of the whole-server benchmark (bench/server_bench.py): a small
// FTP client that runs one workload against a server on 127.0.0.1 (or the
// loopback address given with --host, IPv4 or IPv6) and prints one JSON line
// with what it measured. Passive mode (PASV, EPSV over IPv6), binary bytes.
//
//   bench_ftp_load [--host ADDRESS] WORKLOAD PORT USER PASS ARGS...
//   bench_ftp_load download PORT USER PASS PATH
//   bench_ftp_load upload PORT USER PASS LOCALFILE NAME
//   bench_ftp_load sessions PORT USER PASS SECONDS PATH
//   bench_ftp_load concurrent PORT USER PASS CLIENTS EACH PATH
//   bench_ftp_load list PORT USER PASS DIR REPEAT
//   bench_ftp_load hold PORT USER PASS N
//
// "hold" opens N logged-in sessions, prints {"ready":N} and keeps them until
// its standard input closes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_client.h"

namespace {

using benchclient::Clock;
using benchclient::Since;

// The server's address (--host); the port is set per connection.
sockaddr_storage server = {};
socklen_t serverLength = 0;

bool OnIpv6() {
    return server.ss_family == AF_INET6;
}

int Connect(uint16_t port, bool noDelay) {
    int fd = socket(server.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_storage sa = server;
    if (OnIpv6())
        reinterpret_cast<sockaddr_in6*>(&sa)->sin6_port = htons(port);
    else
        reinterpret_cast<sockaddr_in*>(&sa)->sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), serverLength) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    if (noDelay) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// One control connection: commands out, complete replies in.
struct Control {
    int fd = -1;
    std::string pending;

    ~Control() { Close(); }
    void Close() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    bool Send(const std::string& line) {
        std::string bytes = line + "\r\n";
        return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == (ssize_t)bytes.size();
    }
    // The last line of the next reply ("227 ..."), "" on close or error.
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
            ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) return "";
            pending.append(buffer, (size_t)n);
        }
    }
    std::string Command(const std::string& line) { return Send(line) ? Reply() : ""; }
    bool Open(uint16_t port, const char* user, const char* pass) {
        fd = Connect(port, true);
        if (fd < 0 || Reply().compare(0, 3, "220") != 0) return false;
        std::string r = Command(std::string("USER ") + user);
        if (r.compare(0, 3, "331") == 0) r = Command(std::string("PASS ") + pass);
        return r.compare(0, 3, "230") == 0 && Command("TYPE I").compare(0, 1, "2") == 0;
    }
    // PASV (EPSV over IPv6) and a connected data socket, or -1.
    int Passive() {
        if (OnIpv6()) {
            std::string r = Command("EPSV");
            size_t bars = r.find("(|||");
            if (r.compare(0, 3, "229") != 0 || bars == std::string::npos) return -1;
            return Connect((uint16_t)atoi(r.c_str() + bars + 4), false);
        }
        std::string r = Command("PASV");
        size_t open = r.find('(');
        unsigned h[6];
        if (r.compare(0, 3, "227") != 0 || open == std::string::npos ||
            sscanf(r.c_str() + open + 1, "%u,%u,%u,%u,%u,%u", &h[0], &h[1], &h[2], &h[3], &h[4],
                   &h[5]) != 6)
            return -1;
        return Connect((uint16_t)(h[4] * 256 + h[5]), false);
    }
};

// Reads until the peer closes; the byte count, or -1.
int64_t Drain(int fd) {
    static thread_local std::vector<char> buffer(1 << 20);
    int64_t total = 0;
    for (;;) {
        ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n == 0) return total;
        if (n < 0) return -1;
        total += n;
    }
}

// A whole download on an open session: bytes received, -1 on failure.
int64_t Retr(Control& c, const std::string& command) {
    int data = c.Passive();
    if (data < 0) return -1;
    std::string first = c.Command(command);
    int64_t bytes = first.compare(0, 1, "1") == 0 ? Drain(data) : -1;
    close(data);
    if (bytes < 0 || c.Reply().compare(0, 3, "226") != 0) return -1;
    return bytes;
}

int Fail(const char* what) {
    printf("{\"error\":\"%s\"}\n", what);
    return 1;
}

int Download(uint16_t port, const char* user, const char* pass, const char* path) {
    Control c;
    if (!c.Open(port, user, pass)) return Fail("login");
    auto start = Clock::now();
    int64_t bytes = Retr(c, std::string("RETR ") + path);
    double seconds = Since(start);
    if (bytes <= 0) return Fail("download");
    printf("{\"bytes\":%lld,\"seconds\":%.6f}\n", (long long)bytes, seconds);
    return 0;
}

int Upload(uint16_t port, const char* user, const char* pass, const char* local, const char* name) {
    int file = open(local, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (file < 0 || fstat(file, &st) != 0) return Fail("local file");
    Control c;
    if (!c.Open(port, user, pass)) return Fail("login");
    auto start = Clock::now();
    int data = c.Passive();
    if (data < 0 || c.Command(std::string("STOR ") + name).compare(0, 1, "1") != 0)
        return Fail("stor");
    off_t offset = 0;
    while (offset < st.st_size) {
        ssize_t n = sendfile(data, file, &offset, (size_t)(st.st_size - offset));
        if (n <= 0) return Fail("send");
    }
    close(data);
    if (c.Reply().compare(0, 3, "226") != 0) return Fail("226");
    double seconds = Since(start);
    close(file);
    printf("{\"bytes\":%lld,\"seconds\":%.6f}\n", (long long)st.st_size, seconds);
    return 0;
}

// connect, greeting, login, PASV, RETR, QUIT, close: one after another.
int Sessions(uint16_t port, const char* user, const char* pass, double seconds, const char* path) {
    std::string retr = std::string("RETR ") + path;
    int count = 0;
    auto start = Clock::now();
    while (Since(start) < seconds || count < 20) {
        Control c;
        if (!c.Open(port, user, pass) || Retr(c, retr) < 0) return Fail("session");
        c.Command("QUIT");
        c.Close();
        count++;
    }
    double elapsed = Since(start);
    printf("{\"sessions\":%d,\"seconds\":%.6f}\n", count, elapsed);
    return 0;
}

int Concurrent(uint16_t port, const char* user, const char* pass, int clients, int each,
               const char* path) {
    std::string retr = std::string("RETR ") + path;
    std::vector<Control> sessions(clients);
    for (Control& c : sessions)
        if (!c.Open(port, user, pass)) return Fail("login");
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    auto start = Clock::now();
    for (Control& c : sessions)
        threads.emplace_back([&c, &failures, &retr, each] {
            for (int i = 0; i < each; i++)
                if (Retr(c, retr) < 0) failures++;
        });
    for (std::thread& t : threads)
        t.join();
    double elapsed = Since(start);
    if (failures) return Fail("transfer");
    printf("{\"transfers\":%d,\"seconds\":%.6f}\n", clients * each, elapsed);
    return 0;
}

// The median time of repeat listings on one session.
int List(uint16_t port, const char* user, const char* pass, const char* dir, int repeat) {
    Control c;
    if (!c.Open(port, user, pass)) return Fail("login");
    std::vector<double> times;
    int64_t bytes = 0;
    for (int i = 0; i < (repeat < 1 ? 1 : repeat); i++) {
        auto start = Clock::now();
        bytes = Retr(c, std::string("LIST ") + dir);
        times.push_back(Since(start));
        if (bytes <= 0) return Fail("list");
    }
    std::sort(times.begin(), times.end());
    printf("{\"bytes\":%lld,\"seconds\":%.6f,\"listings\":%zu}\n", (long long)bytes,
           times[times.size() / 2], times.size());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (!benchclient::TakeHostOption(&argc, &argv, "bench_ftp_load", &server, &serverLength))
        return 2;
    if (argc < 5) {
        fprintf(stderr, "usage: bench_ftp_load [--host ADDRESS] WORKLOAD PORT USER PASS ARGS...\n");
        return 2;
    }
    std::string workload = argv[1];
    uint16_t port = (uint16_t)atoi(argv[2]);
    const char* user = argv[3];
    const char* pass = argv[4];
    if (workload == "download" && argc == 6) return Download(port, user, pass, argv[5]);
    if (workload == "upload" && argc == 7) return Upload(port, user, pass, argv[5], argv[6]);
    if (workload == "sessions" && argc == 7)
        return Sessions(port, user, pass, atof(argv[5]), argv[6]);
    if (workload == "concurrent" && argc == 8)
        return Concurrent(port, user, pass, atoi(argv[5]), atoi(argv[6]), argv[7]);
    if (workload == "list" && argc == 7) return List(port, user, pass, argv[5], atoi(argv[6]));
    if (workload == "hold" && argc == 6)
        return benchclient::HoldSessions<Control>(port, user, pass, atoi(argv[5]));
    fprintf(stderr, "bench_ftp_load: unknown workload or wrong arguments\n");
    return 2;
}
