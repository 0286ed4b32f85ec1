#include "server/counters.h"

#include <map>
#include <mutex>

#include "config/config.h"

EngineCounters engineCounters;

namespace {
std::mutex accountLock;
std::map<std::string, AccountTotals> accounts;

bool PerAccount() {
    return SettingLoad(systemSettings.metricsPerAccount) != 0;
}
} // namespace

void AccountCountLogin(const char* account) {
    if (!PerAccount()) return;
    std::lock_guard<std::mutex> hold(accountLock);
    AccountTotals& totals = accounts[account];
    totals.name = account;
    totals.logins++;
}

void AccountCountBytes(const char* account, uint8_t direction, uint64_t bytes) {
    if (!PerAccount() || direction > DIRECTION_UPLOAD) return;
    std::lock_guard<std::mutex> hold(accountLock);
    AccountTotals& totals = accounts[account];
    totals.name = account;
    totals.bytes[direction] += bytes;
}

std::vector<AccountTotals> AccountTotalsRead() {
    std::lock_guard<std::mutex> hold(accountLock);
    std::vector<AccountTotals> out;
    for (auto& [name, totals] : accounts)
        out.push_back(totals);
    return out;
}

void AccountTotalsClear() {
    std::lock_guard<std::mutex> hold(accountLock);
    accounts.clear();
}
