// Accepting paused for lack of descriptors: the listening sockets that are
// not watched for now, the retry timer, and one log record per burst of
// failures. Each socket thread pauses its own listening sockets (the first
// its FTP listeners, every thread its passive sockets); a descriptor freed on
// one thread may let any of them accept again.
#include <algorithm>
#include <atomic>
#include <vector>

#include "log/log.h"
#include "server/sockthread.h"

namespace {

struct Paused {
    SOCKET socket;
    unsigned message;
};
thread_local std::vector<Paused> paused;
// Failed accepts since the last successful one; 0 = no burst.
thread_local unsigned long burstFailures = 0;
// Paused sockets of every thread: whether a close must wake the others.
std::atomic<int> pausedEverywhere{0};

void Unpaused(size_t count) {
    pausedEverywhere.fetch_sub((int)count, std::memory_order_relaxed);
}

} // namespace

int AcceptFailed(SOCKET listening, unsigned message, int error, const char* caller) {
    if (error != WSAEMFILE && error != WSAENOBUFS) return 0;
    if (burstFailures++ == 0)
        LogPrintf(LOG_WARNING, "%s: Out of descriptors (%s); accepting paused until one is free",
                  caller, WinsockErrorName(error));
    if (NetAsyncSelect(listening, message, 0) == SOCKET_ERROR) return 1;
    bool known = std::any_of(paused.begin(), paused.end(),
                             [&](const Paused& p) { return p.socket == listening; });
    if (!known) {
        paused.push_back(Paused{listening, message});
        pausedEverywhere.fetch_add(1, std::memory_order_relaxed);
    }
    EvLoopSetTimer(SOCK_TIMER_ACCEPT, ACCEPT_RETRY_MS);
    return 1;
}

void AcceptSucceeded() {
    if (burstFailures == 0) return;
    LogPrintf(LOG_INFO, "AcceptProc: Accepting again after %lu failed attempts", burstFailures);
    burstFailures = 0;
}

void AcceptResume() {
    if (pausedEverywhere.load(std::memory_order_relaxed) == (int)paused.size()) {
        AcceptResumeHere();
        return;
    }
    // Another thread waits for a descriptor: its retry message wakes it.
    for (int loop = 0, count = SockLoopCount(); loop < count; loop++)
        if (loop != SockLoopIndex()) SockPostToLoop(loop, WM_TIMER, SOCK_TIMER_ACCEPT, 0);
    AcceptResumeHere();
}

void AcceptResumeHere() {
    if (paused.empty()) return;
    EvLoopKillTimer(SOCK_TIMER_ACCEPT);
    std::vector<Paused> waiting;
    waiting.swap(paused);
    Unpaused(waiting.size());
    for (const Paused& p : waiting) {
        if (NetAsyncSelect(p.socket, p.message, FD_ACCEPT) == SOCKET_ERROR) {
            int error = WSAGetLastError();
            LogPrintf(LOG_WARNING, "AcceptResume: Error %d selecting ACCEPT again: %s", error,
                      WinsockErrorName(error));
        }
    }
}

void AcceptForget(SOCKET s) {
    if (paused.empty()) return;
    size_t before = paused.size();
    paused.erase(std::remove_if(paused.begin(), paused.end(),
                                [s](const Paused& p) { return p.socket == s; }),
                 paused.end());
    Unpaused(before - paused.size());
    if (paused.empty()) EvLoopKillTimer(SOCK_TIMER_ACCEPT);
}

void AcceptReset() {
    Unpaused(paused.size());
    paused.clear();
    burstFailures = 0;
    EvLoopKillTimer(SOCK_TIMER_ACCEPT);
}
