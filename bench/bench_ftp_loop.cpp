// Event-loop load driver of the whole-server benchmark (bench/server_bench.py)
// for the workloads made of many short exchanges. One thread runs every
// client as a small state machine over non-blocking sockets and one epoll
// set, so the driver spends little CPU of its own and the run measures the
// server rather than the client (bench_ftp_load runs the same workloads with
// one blocking thread per client). Passive mode (PASV, EPSV over IPv6).
//
//   bench_ftp_loop [--host ADDRESS] [--timeout SECONDS] WORKLOAD PORT USER PASS ARGS...
//   bench_ftp_loop concurrent PORT USER PASS CLIENTS EACH PATH BYTES
//   bench_ftp_loop sessions PORT USER PASS SECONDS PATH BYTES [IN_FLIGHT]
//
// concurrent: CLIENTS sessions log in, then each downloads PATH EACH times
// at once (PASV, connect, RETR, the data to its end with the 1xx and 226
// replies in whatever order they come). sessions: for SECONDS (and at least
// 20 sessions) connect, greeting, USER, PASS, TYPE I, PASV, RETR, QUIT,
// close, IN_FLIGHT sessions at a time (default 1: one after another).
//
// Every reply code is checked and every file must be BYTES long. A wrong
// reply, a file of another size, a failed connection or a client that gets
// nothing for --timeout seconds (default 10) is an error: counted, the first
// one described, and the run fails ({"error":...}, exit status 1) instead of
// reporting a rate.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_client.h"

namespace {

using benchclient::Clock;

// What the command line asked for.
struct Job {
    sockaddr_storage server = {};
    socklen_t serverLength = 0;
    uint16_t port = 0;
    std::string user, pass, retr;
    int64_t bytes = 0;
    double timeout = 10;
    int clients = 0, each = 0; // concurrent
    double seconds = 0;        // sessions
    int inFlight = 1;          // sessions
};

Job job;

bool SetHost(const char* text) {
    return benchclient::ParseHost(text, &job.server, &job.serverLength);
}

bool OnIpv6() {
    return job.server.ss_family == AF_INET6;
}

// Where a client is: the reply it waits for, or what it waits on.
enum class Step {
    Idle,     // no connection (a sessions slot between sessions, or finished)
    Greeting, // 220
    User,     // 331 (or 230)
    Pass,     // 230
    Type,     // 2xx to TYPE I
    Ready,    // logged in, waiting for the timed part to start
    Passive,  // 227 (229 over IPv6)
    Connect,  // the data connection to complete
    Retr,     // 1xx, 226 and the data's end
    Quit,     // 221
    Failed,
};

const char* StepName(Step s) {
    static const char* const names[] = {"idle",   "greeting", "USER",  "PASS",
                                        "TYPE I", "ready",    "PASV",  "data connection",
                                        "RETR",   "QUIT",     "failed"};
    return names[static_cast<int>(s)];
}

struct Client {
    int control = -1, data = -1;
    uint32_t controlTag = 0, dataTag = 0; // generation of each socket, for stale events
    Step step = Step::Idle;
    std::string pending; // reply text not yet complete
    int64_t received = 0;
    bool preliminary = false, final = false, end = false;
    int left = 0; // transfers still to do (concurrent)
    Clock::time_point heard;
};

// The whole run: the clients, the epoll set and what happened.
struct Run {
    int epoll = -1;
    std::vector<Client> clients;
    uint32_t generation = 0;
    Clock::time_point now, start;
    int active = 0;    // clients neither idle nor failed
    int ready = 0;     // concurrent: logged in
    size_t opened = 0; // concurrent: sessions begun
    int transfers = 0; // complete downloads
    int sessions = 0;  // sessions ended with 221
    int started = 0;   // sessions begun
    int errors = 0;
    std::string firstError;
};

Run run;

const size_t kLoginsAtOnce = 8;

std::string Printable(const std::string& text) {
    std::string out;
    for (char ch : text) {
        if (ch == '\r' || ch == '\n') continue;
        out += (ch == '"' || ch == '\\' || (unsigned char)ch < 0x20) ? '?' : ch;
    }
    return out;
}

// Every error is counted; the first is kept to be shown.
void Error(size_t i, const std::string& what) {
    run.errors++;
    if (run.firstError.empty())
        run.firstError = "client " + std::to_string(i) + ": " + Printable(what);
}

void CloseData(Client& c) {
    if (c.data >= 0) close(c.data); // leaves the epoll set with it
    c.data = -1;
}

void CloseControl(Client& c) {
    if (c.control >= 0) close(c.control);
    c.control = -1;
    c.pending.clear();
}

void Fail(size_t i, const std::string& what) {
    Client& c = run.clients[i];
    Error(i, std::string(StepName(c.step)) + ": " + what);
    CloseData(c);
    CloseControl(c);
    if (c.step != Step::Idle && c.step != Step::Failed) run.active--;
    c.step = Step::Failed;
}

uint64_t Key(size_t i, bool data, uint32_t tag) {
    return (uint64_t)tag << 32 | (uint64_t)i << 1 | (data ? 1 : 0);
}

// A non-blocking connection to the server's port, in the epoll set; -1 and
// the reason in errno on failure.
int Open(uint16_t port, size_t i, bool data, uint32_t tag) {
    int fd = socket(job.server.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_storage sa = job.server;
    if (OnIpv6())
        reinterpret_cast<sockaddr_in6*>(&sa)->sin6_port = htons(port);
    else
        reinterpret_cast<sockaddr_in*>(&sa)->sin_port = htons(port);
    int one = 1;
    // Commands go out at once, as the blocking driver sends them.
    if (!data) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    epoll_event ev = {};
    // Edge-triggered: one registration per socket, never changed. The data
    // socket also waits for writability, which tells that it is connected.
    ev.events = EPOLLIN | EPOLLRDHUP | EPOLLET | (data ? (uint32_t)EPOLLOUT : 0u);
    ev.data.u64 = Key(i, data, tag);
    if ((connect(fd, reinterpret_cast<sockaddr*>(&sa), job.serverLength) != 0 &&
         errno != EINPROGRESS) ||
        epoll_ctl(run.epoll, EPOLL_CTL_ADD, fd, &ev) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

bool Send(size_t i, const std::string& command) {
    std::string line = command + "\r\n";
    // A fresh command on an idle control connection: the socket buffer has
    // room, so anything short of the whole line is a fault.
    if (send(run.clients[i].control, line.data(), line.size(), MSG_NOSIGNAL) !=
        (ssize_t)line.size()) {
        Fail(i, "sending " + command.substr(0, 4) + ": " + strerror(errno));
        return false;
    }
    return true;
}

void StartSession(size_t i) {
    Client& c = run.clients[i];
    c = Client{};
    c.controlTag = ++run.generation;
    c.heard = run.now;
    c.control = Open(job.port, i, false, c.controlTag);
    c.step = Step::Greeting;
    run.active++;
    if (c.control < 0) Fail(i, std::string("connect: ") + strerror(errno));
}

void StartTransfer(size_t i) {
    Client& c = run.clients[i];
    c.received = 0;
    c.preliminary = c.final = c.end = false;
    c.step = Step::Passive;
    Send(i, OnIpv6() ? "EPSV" : "PASV");
}

// The port of a 227 (or 229) reply, 0 if it has none.
uint16_t PassivePort(const std::string& reply) {
    if (OnIpv6()) {
        size_t bars = reply.find("(|||");
        if (reply.compare(0, 4, "229 ") != 0 || bars == std::string::npos) return 0;
        long port = strtol(reply.c_str() + bars + 4, nullptr, 10);
        return port > 0 && port < 65536 ? (uint16_t)port : 0;
    }
    size_t open = reply.find('(');
    unsigned h[6];
    if (reply.compare(0, 4, "227 ") != 0 || open == std::string::npos ||
        sscanf(reply.c_str() + open + 1, "%u,%u,%u,%u,%u,%u", &h[0], &h[1], &h[2], &h[3], &h[4],
               &h[5]) != 6 ||
        h[4] > 255 || h[5] > 255)
        return 0;
    return (uint16_t)(h[4] * 256 + h[5]);
}

// What a client does once its session has nothing more to do.
void SessionDone(size_t i) {
    Client& c = run.clients[i];
    CloseData(c);
    CloseControl(c);
    c.step = Step::Idle;
    run.active--;
}

void NextSession(size_t i) {
    double elapsed = std::chrono::duration<double>(run.now - run.start).count();
    if (run.started < 20 || elapsed < job.seconds) {
        run.started++;
        StartSession(i);
    }
}

// A download is complete with its 1xx, its 226 and the data's end.
void MaybeComplete(size_t i) {
    Client& c = run.clients[i];
    if (!c.preliminary || !c.final || !c.end) return;
    if (c.received != job.bytes)
        Error(i, "RETR: " + std::to_string(c.received) + " bytes instead of " +
                     std::to_string(job.bytes));
    run.transfers++;
    if (job.clients == 0) { // sessions
        c.step = Step::Quit;
        Send(i, "QUIT");
    } else if (--c.left > 0) {
        StartTransfer(i);
    } else {
        c.step = Step::Idle;
        run.active--;
    }
}

// One complete reply (its last line) for client i.
void OnReply(size_t i, const std::string& reply) {
    Client& c = run.clients[i];
    char kind = reply[0];
    int code = atoi(reply.c_str());
    auto unexpected = [&] { Fail(i, "unexpected reply " + reply); };
    switch (c.step) {
    case Step::Greeting:
        if (code != 220) return unexpected();
        c.step = Step::User;
        Send(i, "USER " + job.user);
        return;
    case Step::User:
        if (code == 331) {
            c.step = Step::Pass;
            Send(i, "PASS " + job.pass);
            return;
        }
        [[fallthrough]];
    case Step::Pass:
        if (code != 230) return unexpected();
        c.step = Step::Type;
        Send(i, "TYPE I");
        return;
    case Step::Type:
        if (kind != '2') return unexpected();
        if (job.clients == 0) return StartTransfer(i);
        c.step = Step::Ready;
        run.ready++;
        if (run.opened < run.clients.size()) StartSession(run.opened++);
        return;
    case Step::Passive: {
        uint16_t port = PassivePort(reply);
        if (port == 0) return unexpected();
        c.dataTag = ++run.generation;
        c.data = Open(port, i, true, c.dataTag);
        c.step = Step::Connect;
        if (c.data < 0) Fail(i, std::string("connect: ") + strerror(errno));
        return;
    }
    case Step::Retr:
        if (!c.preliminary) {
            if (kind != '1') return unexpected();
            c.preliminary = true;
            return;
        }
        if (code != 226) return unexpected();
        c.final = true;
        return MaybeComplete(i);
    case Step::Quit:
        if (code != 221) return unexpected();
        run.sessions++;
        SessionDone(i);
        return NextSession(i);
    default:
        return unexpected();
    }
}

char buffer[1 << 16];

// Edge-triggered reading: until a short read, which emptied the socket (new
// bytes would bring a new event). The bytes read, -1 on error; *closed when
// the stream has ended.
int64_t Drain(int fd, uint32_t events, std::string* text, bool* closed) {
    int64_t total = 0;
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            total += n;
            if (text) text->append(buffer, (size_t)n);
            if ((size_t)n < sizeof buffer) {
                // A short read emptied the queue; when the peer had already
                // closed (it closes after its last byte), that was the end.
                if ((events & EPOLLRDHUP) && !(events & EPOLLERR)) *closed = true;
                if (*closed || !(events & EPOLLHUP)) return total;
            }
        } else if (n == 0) {
            *closed = true;
            return total;
        } else if (errno == EAGAIN) {
            return total;
        } else if (errno != EINTR) {
            return -1;
        }
    }
}

void OnControl(size_t i, uint32_t events) {
    Client& c = run.clients[i];
    bool closed = false;
    if (Drain(c.control, events, &c.pending, &closed) < 0)
        return Fail(i, std::string("control connection: ") + strerror(errno));
    c.heard = run.now;
    uint32_t tag = c.controlTag;
    size_t lf;
    // Each complete reply in turn; a reply may end the session (and start
    // the next on a new connection), so stop once the connection changed.
    while (c.control >= 0 && c.controlTag == tag &&
           (lf = c.pending.find('\n')) != std::string::npos) {
        std::string line = c.pending.substr(0, lf + 1);
        c.pending.erase(0, lf + 1);
        bool last = line.size() >= 4 && isdigit((unsigned char)line[0]) &&
                    isdigit((unsigned char)line[1]) && isdigit((unsigned char)line[2]) &&
                    line[3] == ' ';
        if (last) OnReply(i, line);
    }
    if (closed && c.control >= 0 && c.controlTag == tag)
        Fail(i, "the server closed the control connection");
}

void OnData(size_t i, uint32_t events) {
    Client& c = run.clients[i];
    c.heard = run.now;
    if (c.step == Step::Connect) {
        if (events & (EPOLLERR | EPOLLHUP)) {
            int error = 0;
            socklen_t length = sizeof error;
            getsockopt(c.data, SOL_SOCKET, SO_ERROR, &error, &length);
            return Fail(i, std::string("data connection: ") + strerror(error));
        }
        if (!(events & EPOLLOUT)) return;
        c.step = Step::Retr;
        if (!Send(i, job.retr)) return;
    }
    if (c.step != Step::Retr || !(events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))) return;
    bool closed = false;
    int64_t n = Drain(c.data, events, nullptr, &closed);
    if (n < 0) return Fail(i, std::string("data connection: ") + strerror(errno));
    c.received += n;
    if (!closed) return;
    c.end = true;
    CloseData(c);
    MaybeComplete(i);
}

// Clients that heard nothing for the time-out fail: a stuck server ends the
// run instead of hanging it.
void CheckTimeouts() {
    auto limit =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(job.timeout));
    for (size_t i = 0; i < run.clients.size(); i++) {
        Step s = run.clients[i].step;
        if (s != Step::Idle && s != Step::Failed && s != Step::Ready &&
            run.now - run.clients[i].heard > limit)
            Fail(i, "nothing for " + std::to_string((int)job.timeout) + " s");
    }
}

// Runs the loop while the condition holds.
template <typename Condition> void Loop(Condition more) {
    epoll_event events[256];
    auto nextCheck = run.now;
    while (more()) {
        int n = epoll_wait(run.epoll, events, 256, 200);
        if (n < 0 && errno != EINTR) {
            perror("bench_ftp_loop: epoll_wait");
            exit(3);
        }
        run.now = Clock::now();
        for (int k = 0; k < n; k++) {
            uint64_t key = events[k].data.u64;
            size_t i = (uint32_t)key >> 1;
            uint32_t tag = (uint32_t)(key >> 32);
            Client& c = run.clients[i];
            if (key & 1) {
                if (c.data >= 0 && c.dataTag == tag) OnData(i, events[k].events);
            } else if (c.control >= 0 && c.controlTag == tag) {
                OnControl(i, events[k].events);
            }
        }
        if (run.now >= nextCheck) {
            CheckTimeouts();
            nextCheck = run.now + std::chrono::milliseconds(200);
        }
    }
}

double Elapsed() {
    return std::chrono::duration<double>(Clock::now() - run.start).count();
}

int Report(const char* workload, int done) {
    printf("{\"error\":\"%s\",\"errors\":%d,\"done\":%d,\"first\":\"%s\"}\n", workload, run.errors,
           done, run.firstError.c_str());
    return 1;
}

int Concurrent() {
    run.clients.resize((size_t)job.clients);
    run.now = Clock::now();
    // The logins (not timed) a few at a time: a hundred connections at once
    // would overflow the accept queue of a server that forks for each, and
    // its dropped handshakes would wait seconds for a retransmission.
    while (run.opened < std::min<size_t>(run.clients.size(), kLoginsAtOnce))
        StartSession(run.opened++);
    Loop([] { return run.errors == 0 && run.ready < job.clients; });
    if (run.errors) return Report("login", run.ready);
    run.now = run.start = Clock::now();
    for (size_t i = 0; i < run.clients.size(); i++) {
        run.clients[i].left = job.each;
        StartTransfer(i);
    }
    Loop([] { return run.active > 0; });
    double seconds = Elapsed();
    if (run.errors) return Report("transfer", run.transfers);
    printf("{\"transfers\":%d,\"seconds\":%.6f,\"client\":\"loop\"}\n", run.transfers, seconds);
    return 0;
}

int Sessions() {
    run.clients.resize((size_t)job.inFlight);
    run.now = run.start = Clock::now();
    for (size_t i = 0; i < run.clients.size(); i++)
        NextSession(i);
    Loop([] { return run.active > 0; });
    double seconds = Elapsed();
    if (run.errors) return Report("session", run.sessions);
    printf("{\"sessions\":%d,\"seconds\":%.6f,\"in_flight\":%d,\"client\":\"loop\"}\n",
           run.sessions, seconds, job.inFlight);
    return 0;
}

int Usage() {
    fprintf(stderr, "usage: bench_ftp_loop [--host ADDRESS] [--timeout SECONDS]\n"
                    "         concurrent PORT USER PASS CLIENTS EACH PATH BYTES\n"
                    "       | sessions PORT USER PASS SECONDS PATH BYTES [IN_FLIGHT]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    SetHost("127.0.0.1");
    int a = 1;
    for (; a + 1 < argc && argv[a][0] == '-'; a += 2) {
        std::string option = argv[a];
        if (option == "--host" && SetHost(argv[a + 1])) continue;
        if (option == "--timeout" && (job.timeout = atof(argv[a + 1])) > 0) continue;
        fprintf(stderr, "bench_ftp_loop: bad option %s %s\n", argv[a], argv[a + 1]);
        return Usage();
    }
    argc -= a - 1;
    argv += a - 1;
    if (argc < 8) return Usage();
    std::string workload = argv[1];
    job.port = (uint16_t)atoi(argv[2]);
    job.user = argv[3];
    job.pass = argv[4];
    if (workload == "concurrent" && argc == 9) {
        job.clients = atoi(argv[5]);
        job.each = atoi(argv[6]);
        job.retr = std::string("RETR ") + argv[7];
        job.bytes = atoll(argv[8]);
    } else if (workload == "sessions" && (argc == 8 || argc == 9)) {
        job.seconds = atof(argv[5]);
        job.retr = std::string("RETR ") + argv[6];
        job.bytes = atoll(argv[7]);
        job.inFlight = argc == 9 ? atoi(argv[8]) : 1;
    } else {
        return Usage();
    }
    if (job.port == 0 || job.bytes < 0 || job.inFlight < 1 ||
        (workload == "concurrent" && (job.clients < 1 || job.each < 1)))
        return Usage();
    run.epoll = epoll_create1(EPOLL_CLOEXEC);
    if (run.epoll < 0) {
        perror("bench_ftp_loop: epoll_create1");
        return 3;
    }
    return workload == "concurrent" ? Concurrent() : Sessions();
}
