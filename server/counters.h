// The engine's running totals for a monitor: atomics that the socket thread
// and the hook runner add to (relaxed: each is a count of its own, read
// without order) and that the metrics thread reads while they run.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// The limits a connection, a login or a data connection can be refused by.
enum RefusalLimit : uint8_t {
    REFUSED_MAX_CONN = 0,         // System\MaxConn: "421 Too may users"
    REFUSED_MAX_CONN_PER_ADDRESS, // System\MaxConnPerAddress: the same reply
    REFUSED_ACCOUNT_MAX_CONN,     // the account's MaxConn at USER
    REFUSED_LOGIN_GUARD,          // failed-login lock at PASS
    REFUSED_RESTRICT,             // Restrict: PORT or a passive connection from another address
    REFUSED_LIMIT_COUNT
};

enum TransferDirection : uint8_t { DIRECTION_DOWNLOAD = 0, DIRECTION_UPLOAD = 1 };

struct EngineCounters {
    std::atomic<int64_t> sessionsNow{0};     // control connections open
    std::atomic<uint64_t> sessionsTotal{0};  // control connections accepted
    std::atomic<uint64_t> loginsAccepted{0}; // 230 replies
    std::atomic<uint64_t> loginsRefused{0};  // 530 and 421 replies to USER and PASS
    std::atomic<uint64_t> transfers[2] = {}; // file transfers that completed (226)
    std::atomic<uint64_t> bytes[2] = {};     // bytes of every file transfer, complete or not
    std::atomic<uint64_t> failed[2] = {};    // ended with 426 (or 552 over a quota)
    std::atomic<uint64_t> aborted[2] = {};   // ended by ABOR, a new transfer or the close
    std::atomic<uint64_t> refused[REFUSED_LIMIT_COUNT] = {};
    std::atomic<uint64_t> hookRuns{0};     // upload hook programs started
    std::atomic<uint64_t> hookFailures{0}; // not started, non-zero exit, signal, time limit
    std::atomic<uint64_t> hookDropped{0};  // events dropped with the queue full
};

extern EngineCounters engineCounters;

inline void CountAdd(std::atomic<uint64_t>& counter, uint64_t n = 1) {
    counter.fetch_add(n, std::memory_order_relaxed);
}
inline uint64_t CountRead(const std::atomic<uint64_t>& counter) {
    return counter.load(std::memory_order_relaxed);
}

// Per account, only while System\MetricsPerAccount is 1: logins and file
// bytes by direction. Kept for accounts that logged in, so the set is bounded
// by the accounts of the store; under a lock of its own, taken once per login
// and once per finished transfer.
struct AccountTotals {
    std::string name;
    uint64_t logins;
    uint64_t bytes[2];
};
void AccountCountLogin(const char* account);
void AccountCountBytes(const char* account, uint8_t direction, uint64_t bytes);
// A copy of every account's totals, ordered by name.
std::vector<AccountTotals> AccountTotalsRead();
// Forgets them (tests; the switch turned off).
void AccountTotalsClear();
