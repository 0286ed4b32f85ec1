// Idle-session driver of the whole-server benchmark (bench/idle_sessions.py,
// bench/sustained.py): opens N logged-in control connections to a server on
// loopback from one thread with epoll, then holds them idle.
//
//   bench_idle [--host ADDRESS] PORT USER PASS N [WINDOW] [PER_ADDRESS] [FIRST]
//
// Over IPv4 the connections come from 127.1.0.1 + FIRST (default 0),
// 127.1.0.2 + FIRST, ... with PER_ADDRESS connections each (default 1000),
// so that the ephemeral ports of one source address never run short; several
// drivers at once (each within its own descriptor limit) use distinct FIRST. At most WINDOW
// connections are between connect and login at a time (default 512): the listening socket's backlog
// is not flooded. A connection that fails is counted, not retried.
//
// When every connection is logged in or has failed it prints one JSON line:
//   {"ready":N,"failed":F,"greet_last_s":T,"login_all_s":T,...}
// (greet_last_s: from the first connect to the last greeting received), then
// reads commands from standard input, one per line:
//   count   {"alive":N}: the sessions still open
//   noop    NOOP on every open session; {"alive":N,"answered":N,"seconds":T}
// and closes every session when standard input closes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

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

enum State : uint8_t { FREE, CONNECTING, GREETING, USER_SENT, PASS_SENT, IDLE, NOOP_SENT, CLOSED };

struct Session {
    int fd = -1;
    State state = FREE;
    std::string in; // bytes of a reply not complete yet
};

constexpr uint64_t STDIN_KEY = UINT64_MAX;

sockaddr_storage server = {};
socklen_t serverLength = 0;
std::string user, pass;
int epollFd = -1;
std::vector<Session> sessions;
int alive = 0;   // connections open (any state but FREE and CLOSED)
int pending = 0; // between connect and the end of login
int ready = 0, failed = 0, greeted = 0;
std::string firstFailure;
int answered = 0; // NOOP replies of the current noop command
int noopOpen = 0; // sessions asked NOOP that have neither answered nor closed

double Seconds(Clock::time_point from) {
    return std::chrono::duration<double>(Clock::now() - from).count();
}

// text as the inside of a JSON string: quotes and backslashes escaped,
// control characters (a reply's CR) left out.
std::string JsonText(const std::string& text) {
    std::string out;
    for (char c : text) {
        if ((unsigned char)c < 32) continue;
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

void Close(size_t i, const char* why) {
    Session& s = sessions[i];
    if (s.fd >= 0) close(s.fd);
    s.fd = -1;
    bool inLogin = s.state != IDLE && s.state != NOOP_SENT;
    if (s.state == NOOP_SENT) noopOpen--;
    if (inLogin && why) {
        failed++;
        pending--;
        if (firstFailure.empty()) firstFailure = why;
    }
    s.state = CLOSED;
    alive--;
    std::string().swap(s.in);
}

// Starts connection i from its own source address; false when it failed at
// once (counted).
bool Start(size_t i, int perAddress, uint32_t first) {
    Session& s = sessions[i];
    s.fd = socket(server.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s.fd < 0) {
        failed++;
        if (firstFailure.empty()) firstFailure = std::string("socket: ") + strerror(errno);
        s.state = CLOSED;
        return false;
    }
    alive++;
    pending++;
    s.state = CONNECTING;
    if (server.ss_family == AF_INET) {
        // 127.1.0.1 and up; the port is chosen at connect, per destination.
        int one = 1;
        setsockopt(s.fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
        sockaddr_in local = {};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(0x7F010001u + first + (uint32_t)(i / (size_t)perAddress));
        if (bind(s.fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            Close(i, "bind");
            return false;
        }
    }
    int r = connect(s.fd, reinterpret_cast<sockaddr*>(&server), serverLength);
    if (r != 0 && errno != EINPROGRESS) {
        std::string why = std::string("connect: ") + strerror(errno);
        Close(i, why.c_str());
        return false;
    }
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP;
    ev.data.u64 = i;
    if (epoll_ctl(epollFd, EPOLL_CTL_ADD, s.fd, &ev) != 0) {
        Close(i, "epoll_ctl");
        return false;
    }
    return true;
}

bool SendLine(Session& s, const std::string& line) {
    std::string bytes = line + "\r\n";
    return send(s.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == (ssize_t)bytes.size();
}

// Takes the last line of every complete reply in s.in, in order, and acts.
void Replies(size_t i) {
    Session& s = sessions[i];
    for (;;) {
        size_t lf = s.in.find('\n');
        if (lf == std::string::npos) return;
        std::string line = s.in.substr(0, lf + 1);
        s.in.erase(0, lf + 1);
        if (line.size() < 4 || line[3] != ' ') continue; // a line of a longer reply
        int code = atoi(line.c_str());
        switch (s.state) {
        case GREETING:
            if (code != 220) return Close(i, ("greeting: " + line.substr(0, lf)).c_str());
            greeted++;
            s.state = USER_SENT;
            if (!SendLine(s, "USER " + user)) return Close(i, "send USER");
            break;
        case USER_SENT:
            if (code == 331) {
                s.state = PASS_SENT;
                if (!SendLine(s, "PASS " + pass)) return Close(i, "send PASS");
                break;
            }
            [[fallthrough]];
        case PASS_SENT:
            if (code != 230) return Close(i, ("login: " + line.substr(0, lf)).c_str());
            s.state = IDLE;
            ready++;
            pending--;
            std::string().swap(s.in);
            return;
        case NOOP_SENT:
            s.state = IDLE;
            answered++;
            noopOpen--;
            break;
        default:
            break; // nothing was asked: an unasked reply is ignored
        }
    }
}

void Event(size_t i, uint32_t events) {
    Session& s = sessions[i];
    if (s.state == CLOSED || s.fd < 0) return;
    if (s.state == CONNECTING) {
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) return Close(i, (std::string("connect: ") + strerror(error)).c_str());
        if (!(events & (EPOLLOUT | EPOLLIN))) return;
        s.state = GREETING;
        // From here only arriving bytes and closes matter.
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.u64 = i;
        epoll_ctl(epollFd, EPOLL_CTL_MOD, s.fd, &ev);
    }
    if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
        char buffer[4096];
        for (;;) {
            ssize_t n = recv(s.fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                s.in.append(buffer, (size_t)n);
                if ((size_t)n < sizeof buffer) break;
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            Replies(i);
            if (s.state != CLOSED) Close(i, n == 0 ? "closed by the server" : "connection reset");
            return;
        }
        Replies(i);
    }
}

void Poll(int timeoutMs, std::string* command) {
    epoll_event events[1024];
    int n = epoll_wait(epollFd, events, 1024, timeoutMs);
    for (int k = 0; k < n; k++) {
        if (events[k].data.u64 == STDIN_KEY) {
            char buffer[256];
            ssize_t got = read(0, buffer, sizeof buffer);
            if (got <= 0)
                *command += "\x04"; // end of input
            else
                command->append(buffer, (size_t)got);
            continue;
        }
        Event((size_t)events[k].data.u64, events[k].events);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (!benchclient::TakeHostOption(&argc, &argv, "bench_idle", &server, &serverLength)) return 2;
    if (argc < 5 || argc > 8) {
        fprintf(
            stderr,
            "usage: bench_idle [--host ADDRESS] PORT USER PASS N [WINDOW] [PER_ADDRESS] [FIRST]\n");
        return 2;
    }
    uint16_t port = (uint16_t)atoi(argv[1]);
    user = argv[2];
    pass = argv[3];
    long count = atol(argv[4]);
    int window = argc > 5 ? atoi(argv[5]) : 512;
    int perAddress = argc > 6 ? atoi(argv[6]) : 1000;
    long first = argc > 7 ? atol(argv[7]) : 0;
    if (count < 1 || window < 1 || perAddress < 1 || first < 0 ||
        first + count / perAddress > 0xFEFFFF) {
        fprintf(stderr, "bench_idle: N, WINDOW and PER_ADDRESS must be positive, the sources "
                        "within 127.0.0.0/8\n");
        return 2;
    }
    if (server.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in*>(&server)->sin_port = htons(port);
    else
        reinterpret_cast<sockaddr_in6*>(&server)->sin6_port = htons(port);

    // One descriptor per session and a few more: the soft limit goes up to
    // the hard one (the caller raises the hard one when it may).
    benchclient::RaiseDescriptorLimit();
    epollFd = epoll_create1(EPOLL_CLOEXEC);
    sessions.resize((size_t)count);

    auto start = Clock::now();
    double greetLast = 0, lastProgressAt = 0;
    size_t next = 0;
    int lastDone = 0;
    std::string command;
    while (ready + failed < count) {
        while (next < (size_t)count && pending < window)
            Start(next++, perAddress, (uint32_t)first);
        int before = greeted;
        Poll(1000, &command);
        if (greeted != before) greetLast = Seconds(start);
        if (ready + failed != lastDone) {
            lastDone = ready + failed;
            lastProgressAt = Seconds(start);
        } else if (Seconds(start) - lastProgressAt > 60) {
            // Nothing moved for a minute: what is pending counts as failed.
            for (size_t i = 0; i < next; i++)
                if (sessions[i].state != CLOSED && sessions[i].state != IDLE)
                    Close(i, "no reply for 60 s");
        }
    }
    double loginAll = Seconds(start);
    printf("{\"ready\":%d,\"failed\":%d,\"greeted\":%d,\"greet_last_s\":%.3f,\"login_all_s\":%.3f,"
           "\"first_failure\":\"%s\"}\n",
           ready, failed, greeted, greetLast, loginAll, JsonText(firstFailure).c_str());
    fflush(stdout);

    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = STDIN_KEY;
    epoll_ctl(epollFd, EPOLL_CTL_ADD, 0, &ev);
    for (;;) {
        size_t lf;
        while ((lf = command.find_first_of("\n\x04")) == std::string::npos)
            Poll(-1, &command);
        if (command[lf] == '\x04') break;
        std::string word = command.substr(0, lf);
        command.erase(0, lf + 1);
        if (word == "noop") {
            auto t = Clock::now();
            answered = 0;
            noopOpen = 0;
            for (size_t i = 0; i < sessions.size(); i++) {
                Session& s = sessions[i];
                if (s.state != IDLE) continue;
                s.state = NOOP_SENT;
                noopOpen++;
                if (!SendLine(s, "NOOP")) Close(i, nullptr);
            }
            // Every asked session answers or closes; a minute at most.
            while (noopOpen > 0 && Seconds(t) < 60)
                Poll(1000, &command);
            printf("{\"alive\":%d,\"answered\":%d,\"seconds\":%.3f}\n", alive, answered,
                   Seconds(t));
        } else if (word == "count") {
            // Closes that happened meanwhile are seen first.
            Poll(0, &command);
            printf("{\"alive\":%d}\n", alive);
        } else {
            printf("{\"error\":\"unknown command\"}\n");
        }
        fflush(stdout);
    }
    return 0;
}
