// The process-wide account list, its lock and its changes.
#include "config/users.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "log/log.h"

UserList userList;

namespace {
std::atomic<uint32_t> userListGeneration{1};
}

uint32_t UserListGeneration() {
    return userListGeneration.load(std::memory_order_acquire);
}

void UserListChanged() {
    uint32_t next = userListGeneration.load(std::memory_order_relaxed) + 1;
    userListGeneration.store(next == 0 ? 1 : next, std::memory_order_release);
}

void LockUserList() {
    userList.lock.lock();
}
void UnlockUserList() {
    userList.lock.unlock();
}

// The lock is re-entrant: taking it here as well keeps a careless caller
// from racing the socket thread.
void UserListAppend(UserList* list, const UserAccount& account) {
    std::lock_guard<std::recursive_mutex> guard(list->lock);
    list->accounts.push_back(account);
    UserListChanged();
}

void UserListReplace(UserList* list, int index, const UserAccount& account) {
    std::lock_guard<std::recursive_mutex> guard(list->lock);
    if (index < 0 || (size_t)index >= list->accounts.size()) {
        LogPrintf(LOG_WARNING, "UserListReplace: no account at %d", index);
        return;
    }
    list->accounts[(size_t)index] = account;
    UserListChanged();
}

void UserListRemove(UserList* list, int index) {
    std::lock_guard<std::recursive_mutex> guard(list->lock);
    if (index < 0 || (size_t)index >= list->accounts.size()) {
        LogPrintf(LOG_WARNING, "UserListRemove: no account at %d", index);
        return;
    }
    list->accounts.erase(list->accounts.begin() + index);
    if (list->accounts.empty()) list->accounts.shrink_to_fit();
    UserListChanged();
}

void UserAccountDefaults(UserAccount* account, const char* name) {
    memset(account, 0, sizeof *account);
    snprintf(account->name, sizeof account->name, "%s", name ? name : "");
    account->accountFlags = ACCOUNT_ENABLE | ACCOUNT_RESTRICT;
    account->MaxConn = 0;
    account->permissions = PERM_LIST | PERM_GET;
}
