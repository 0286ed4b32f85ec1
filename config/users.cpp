// The process-wide account list, its lock and its changes.
#include "config/users.h"

#include <cstdio>
#include <cstring>

#include "log/log.h"

UserList userList;

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
}

void UserListReplace(UserList* list, int index, const UserAccount& account) {
    std::lock_guard<std::recursive_mutex> guard(list->lock);
    if (index < 0 || (size_t)index >= list->accounts.size()) {
        LogPrintf(LOG_WARNING, "UserListReplace: no account at %d", index);
        return;
    }
    list->accounts[(size_t)index] = account;
}

void UserListRemove(UserList* list, int index) {
    std::lock_guard<std::recursive_mutex> guard(list->lock);
    if (index < 0 || (size_t)index >= list->accounts.size()) {
        LogPrintf(LOG_WARNING, "UserListRemove: no account at %d", index);
        return;
    }
    list->accounts.erase(list->accounts.begin() + index);
    if (list->accounts.empty()) list->accounts.shrink_to_fit();
}

void UserAccountDefaults(UserAccount* account, const char* name) {
    memset(account, 0, sizeof *account);
    snprintf(account->name, sizeof account->name, "%s", name ? name : "");
    account->accountFlags = ACCOUNT_ENABLE | ACCOUNT_RESTRICT;
    account->MaxConn = 0;
    account->permissions = PERM_LIST | PERM_GET;
}
