// The failure records behind login_guard.h: one per address and one per
// account name, in one table keyed by kind and text. Entries whose window
// and lock have run out are pruned as the table grows, and the table never
// holds more than GUARD_ENTRIES_MAX records, so a crowd of addresses or made
// up names cannot make it grow without bound.
#include "server/login_guard.h"

#include <algorithm>
#include <mutex>
#include <unordered_map>

namespace {

constexpr size_t GUARD_ENTRIES_MAX = 16384;
constexpr int LOCK_DOUBLINGS_MAX = 6; // the longest lock is 64 times the first

struct FailureRecord {
    int64_t windowStartMs = 0;
    int64_t lockedUntilMs = 0;
    int64_t lastFailureMs = 0;
    uint32_t failures = 0; // within the current window
    uint32_t locks = 0;    // locks in a row, while failures go on
};

// Shared by every socket thread: the records under recordLock, held only
// for a lookup or an update of the table.
std::mutex recordLock;
std::unordered_map<std::string, FailureRecord> records;

std::string AddressKey(const std::string& address) {
    return "a:" + address;
}
std::string AccountKey(const std::string& account) {
    return "u:" + account;
}

// A record is of no more use once its lock has ended and its last failure
// is older than a window and the longest lock together.
bool Spent(const FailureRecord& r, int64_t nowMs, int64_t windowMs) {
    return r.lockedUntilMs <= nowMs && nowMs - r.lastFailureMs > windowMs;
}

void Prune(int64_t nowMs, int64_t keepMs) {
    for (auto it = records.begin(); it != records.end();)
        it = Spent(it->second, nowMs, keepMs) ? records.erase(it) : std::next(it);
    // Still full: the records of the oldest failures go first.
    while (records.size() >= GUARD_ENTRIES_MAX) {
        auto oldest = std::min_element(records.begin(), records.end(), [](auto& a, auto& b) {
            return a.second.lastFailureMs < b.second.lastFailureMs;
        });
        records.erase(oldest);
    }
}

void Count(const std::string& key, int64_t nowMs, const LoginGuardLimits& limits) {
    const int64_t windowMs = (int64_t)limits.windowSecs * 1000;
    const int64_t longestMs = ((int64_t)limits.lockSecs * 1000) << LOCK_DOUBLINGS_MAX;
    if (records.size() >= GUARD_ENTRIES_MAX && !records.count(key))
        Prune(nowMs, windowMs + longestMs);
    FailureRecord& r = records[key];
    // Quiet for a window and the longest lock: the record starts over.
    if (r.lastFailureMs != 0 && nowMs - r.lastFailureMs > windowMs + longestMs) r = FailureRecord{};
    if (r.failures == 0 || nowMs - r.windowStartMs > windowMs) {
        r.windowStartMs = nowMs;
        r.failures = 0;
    }
    r.lastFailureMs = nowMs;
    if (++r.failures < limits.failLimit) return;
    int doublings = (int)std::min<uint32_t>(r.locks, LOCK_DOUBLINGS_MAX);
    r.lockedUntilMs = nowMs + (((int64_t)limits.lockSecs * 1000) << doublings);
    r.locks++;
    r.failures = 0;
}

int64_t LockedMs(const std::string& key, int64_t nowMs) {
    auto it = records.find(key);
    return it == records.end() ? 0 : std::max<int64_t>(0, it->second.lockedUntilMs - nowMs);
}

} // namespace

int64_t LoginGuardLockedMs(const std::string& address, const std::string& account, int64_t nowMs) {
    std::lock_guard<std::mutex> held(recordLock);
    return std::max(LockedMs(AddressKey(address), nowMs), LockedMs(AccountKey(account), nowMs));
}

void LoginGuardFailed(const std::string& address, const std::string& account, int64_t nowMs,
                      const LoginGuardLimits& limits) {
    if (limits.failLimit == 0) return;
    std::lock_guard<std::mutex> held(recordLock);
    Count(AddressKey(address), nowMs, limits);
    Count(AccountKey(account), nowMs, limits);
}

void LoginGuardClear() {
    std::lock_guard<std::mutex> held(recordLock);
    records.clear();
}
