// What the benchmark clients share: the clock, the server's address (given
// with --host, IPv4 or IPv6; the port is set per connection) and the
// descriptor limit raised for many sessions.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace benchclient {

using Clock = std::chrono::steady_clock;

inline double Since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Parses an IPv4 or IPv6 address into *server (port 0); false when the text
// is neither.
inline bool ParseHost(const char* text, sockaddr_storage* server, socklen_t* length) {
    *server = {};
    auto* v4 = reinterpret_cast<sockaddr_in*>(server);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(server);
    if (inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        *length = sizeof *v4;
        return true;
    }
    if (inet_pton(AF_INET6, text, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        *length = sizeof *v6;
        return true;
    }
    return false;
}

// Takes a leading "--host ADDRESS" off the arguments (127.0.0.1 without
// one); false, after saying why, when the address is not one.
inline bool TakeHostOption(int* argc, char*** argv, const char* program, sockaddr_storage* server,
                           socklen_t* length) {
    ParseHost("127.0.0.1", server, length);
    if (*argc < 3 || strcmp((*argv)[1], "--host") != 0) return true;
    if (!ParseHost((*argv)[2], server, length)) {
        fprintf(stderr, "%s: --host needs an IPv4 or IPv6 address\n", program);
        return false;
    }
    *argc -= 2;
    *argv += 2;
    return true;
}

// The soft descriptor limit up to the hard one: one descriptor a session.
inline void RaiseDescriptorLimit() {
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

// The "hold" workload: n sessions opened and logged in one after another
// (Session::Open(port, user, pass) true when logged in), {"ready":n} printed,
// and all of them kept until standard input closes.
template <class Session>
int HoldSessions(uint16_t port, const char* user, const char* pass, int n) {
    RaiseDescriptorLimit();
    std::vector<Session> sessions(n);
    auto start = Clock::now();
    for (int i = 0; i < n; i++)
        if (!sessions[i].Open(port, user, pass)) {
            printf("{\"error\":\"login\",\"opened\":%d}\n", i);
            fflush(stdout);
            return 1;
        }
    printf("{\"ready\":%d,\"seconds\":%.6f}\n", n, Since(start));
    fflush(stdout);
    char byte;
    while (read(0, &byte, 1) > 0) {
    }
    return 0;
}

} // namespace benchclient
