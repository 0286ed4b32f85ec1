// The speed budgets: one per account (shared by its sessions) and one for
// the whole server, per direction, and the tick that resumes the transfers
// that ran out. The budgets are shared by every socket thread (an
// account's sessions may live on several) under budgetLock, held only for
// the arithmetic; each thread has its own tick for its own connections.
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "log/log.h"
#include "server/data.h"
#include "server/dataconn.h"
#include "server/limits.h"
#include "server/limits_stats.h"
#include "server/sockthread.h"

std::atomic<uint64_t> limitsThrottledMs{0};
std::atomic<uint64_t> limitsQuotaRefusals{0};

namespace {

// A budget holds at most this many milliseconds' worth of its rate: an idle
// account starts again with at most this burst, and a tick that comes late
// still finds what accrued meanwhile.
constexpr int64_t BURST_MS = 100;

struct Bucket {
    uint32_t rate = 0; // KiB/s; 0 = no limit
    double tokens = 0; // bytes that may go now
    int64_t lastMs = 0;
};

// Brings a budget to now at rate (KiB/s, non-zero).
void Refill(Bucket* b, uint32_t rate, int64_t now) {
    double cap = rate * 1024.0 * BURST_MS / 1000.0;
    if (b->lastMs == 0) { // a new budget starts full: a first piece never waits
        b->lastMs = now;
        b->tokens = cap;
    }
    if (b->rate != rate) {
        b->rate = rate;
        if (b->tokens > cap) b->tokens = cap;
    }
    if (now > b->lastMs) {
        b->tokens += rate * 1024.0 * (double)(now - b->lastMs) / 1000.0;
        if (b->tokens > cap) b->tokens = cap;
        b->lastMs = now;
    }
}

struct AccountBudget {
    Bucket bucket[2]; // RATE_SEND, RATE_RECEIVE
};
std::mutex budgetLock;
// By account name: a node's address stays while the map grows, so a
// connection keeps a pointer to its account's budget (under budgetLock).
std::unordered_map<std::string, AccountBudget> accounts;
Bucket server[2]; // under budgetLock
// This socket thread's tick: armed on its loop, resuming its connections.
thread_local bool tickArmed = false;
thread_local int32_t tickStart = 0; // where the next tick begins resuming, for fairness

uint32_t ServerRate(int direction) {
    return direction == RATE_SEND ? SettingLoad(systemSettings.maxDownloadRate)
                                  : SettingLoad(systemSettings.maxUploadRate);
}

// Resumes a waiting transfer the way its socket's event would.
void Resume(Conn* conn) {
    if (conn->data.socket == INVALID_SOCKET) return;
    conn->dataProgressMs = EvNowMs(); // DataTimeout: the transfer moves
    if (conn->transferKind == XFER_RETR)
        SendData(conn);
    else if (conn->transferKind == XFER_STOR)
        ReceiveUpload(conn);
}

} // namespace

void RateRefresh(Conn* conn) {
    uint32_t generation = UserListGeneration();
    uint32_t down = conn->user.MaxDownloadRate;
    uint32_t up = conn->user.MaxUploadRate;
    LockUserList();
    for (const UserAccount& account : userList.accounts) {
        if (strcmp(account.name, conn->user.name) != 0) continue;
        down = account.MaxDownloadRate;
        up = account.MaxUploadRate;
        break;
    }
    UnlockUserList();
    conn->limit.ratesGen = generation;
    conn->limit.downRate = down;
    conn->limit.upRate = up;
    if (!(down | up)) {
        conn->limit.bucket = nullptr;
        return;
    }
    std::lock_guard<std::mutex> held(budgetLock);
    conn->limit.bucket = &accounts[conn->user.name];
}

uint32_t RateBudget(Conn* conn, int direction, uint32_t want) {
    int64_t now = EvNowMs();
    double allowed = (double)want;
    uint32_t rate = direction == RATE_SEND ? conn->limit.downRate : conn->limit.upRate;
    uint32_t serverRate = ServerRate(direction);
    std::lock_guard<std::mutex> held(budgetLock);
    if (rate != 0 && conn->limit.bucket) {
        Bucket* b = &static_cast<AccountBudget*>(conn->limit.bucket)->bucket[direction];
        Refill(b, rate, now);
        if (b->tokens < allowed) allowed = b->tokens;
    }
    if (serverRate != 0) {
        Refill(&server[direction], serverRate, now);
        if (server[direction].tokens < allowed) allowed = server[direction].tokens;
    }
    return allowed < 1 ? 0 : (uint32_t)allowed;
}

void RateTake(Conn* conn, int direction, uint32_t count) {
    uint32_t rate = direction == RATE_SEND ? conn->limit.downRate : conn->limit.upRate;
    uint32_t serverRate = ServerRate(direction);
    std::lock_guard<std::mutex> held(budgetLock);
    if (rate != 0 && conn->limit.bucket)
        static_cast<AccountBudget*>(conn->limit.bucket)->bucket[direction].tokens -= count;
    if (serverRate != 0) server[direction].tokens -= count;
}

void RateWait(Conn* conn, uint8_t why) {
    if (conn->limit.waiting == LIMIT_WAIT_NONE) conn->limit.waitSinceMs = EvNowMs();
    conn->limit.waiting = why;
    if (tickArmed) return;
    tickArmed = EvTimerStart(RATE_TICK_MS, SOCK_MSG_LIMITS, LIMITS_TICK) != 0;
}

void LimitsProc(uintptr_t what) {
    if (what == LIMITS_MEASURED) {
        QuotaMeasuredProc();
        return;
    }
    tickArmed = false;
    int32_t count = ConnSlotCount();
    if (count == 0) return;
    int32_t start = tickStart++ % count;
    int64_t now = EvNowMs();
    int loop = SockLoopIndex();
    for (int32_t i = 0; i < count; i++) {
        int32_t slot = (start + i) % count;
        if (ConnOwner((uint32_t)slot) != loop) continue; // another loop's record: never read
        Conn* conn = ConnAt(slot);
        uint8_t why = conn->limit.waiting;
        if (why != LIMIT_WAIT_SEND && why != LIMIT_WAIT_RECEIVE) continue;
        conn->limit.waiting = LIMIT_WAIT_NONE;
        limitsThrottledMs.fetch_add((uint64_t)(now - conn->limit.waitSinceMs),
                                    std::memory_order_relaxed);
        if (conn->control.socket != INVALID_SOCKET) Resume(conn);
    }
}

void LimitsShutdown() {
    tickArmed = false;
    tickStart = 0;
    if (SockLoopIndex() != 0) return;
    // The first socket thread ends last: what every loop shared goes with it.
    QuotaMeasureStop();
    QuotaForgetAll();
    std::lock_guard<std::mutex> held(budgetLock);
    accounts.clear();
    server[0] = server[1] = Bucket{};
}
