// Accepting paused for lack of descriptors: the listening sockets that are
// not watched for now, the retry timer, and one log record per burst of
// failures. Socket thread only.
#include <algorithm>
#include <vector>

#include "log/log.h"
#include "server/sockthread.h"

namespace {

struct Paused {
    SOCKET socket;
    unsigned message;
};
std::vector<Paused> paused;
// Failed accepts since the last successful one; 0 = no burst.
unsigned long burstFailures = 0;

} // namespace

int AcceptFailed(SOCKET listening, unsigned message, int error, const char* caller) {
    if (error != WSAEMFILE && error != WSAENOBUFS) return 0;
    if (burstFailures++ == 0)
        LogPrintf(LOG_WARNING, "%s: Out of descriptors (%s); accepting paused until one is free",
                  caller, WinsockErrorName(error));
    if (NetAsyncSelect(listening, message, 0) == SOCKET_ERROR) return 1;
    bool known = std::any_of(paused.begin(), paused.end(),
                             [&](const Paused& p) { return p.socket == listening; });
    if (!known) paused.push_back(Paused{listening, message});
    EvLoopSetTimer(SOCK_TIMER_ACCEPT, ACCEPT_RETRY_MS);
    return 1;
}

void AcceptSucceeded() {
    if (burstFailures == 0) return;
    LogPrintf(LOG_INFO, "AcceptProc: Accepting again after %lu failed attempts", burstFailures);
    burstFailures = 0;
}

void AcceptResume() {
    if (paused.empty()) return;
    EvLoopKillTimer(SOCK_TIMER_ACCEPT);
    std::vector<Paused> waiting;
    waiting.swap(paused);
    for (const Paused& p : waiting) {
        if (NetAsyncSelect(p.socket, p.message, FD_ACCEPT) == SOCKET_ERROR) {
            int error = WSAGetLastError();
            LogPrintf(LOG_WARNING, "AcceptResume: Error %d selecting ACCEPT again: %s", error,
                      WinsockErrorName(error));
        }
    }
}

void AcceptForget(SOCKET s) {
    paused.erase(std::remove_if(paused.begin(), paused.end(),
                                [s](const Paused& p) { return p.socket == s; }),
                 paused.end());
    if (paused.empty()) EvLoopKillTimer(SOCK_TIMER_ACCEPT);
}

void AcceptReset() {
    paused.clear();
    burstFailures = 0;
    EvLoopKillTimer(SOCK_TIMER_ACCEPT);
}
