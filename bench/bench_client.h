// What the benchmark clients share: the clock, the server's address (given
// with --host, IPv4 or IPv6; the port is set per connection) and the
// descriptor limit raised for many sessions.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <cstring>

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

} // namespace benchclient
