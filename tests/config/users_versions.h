// Accounts for the store tests, and two account lists that differ in every
// account, for tests where one process saves while another loads: a load must
// find exactly one of them.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

#include "config/users.h"

// An account with the defaults, its Root and Home at root.
inline UserAccount Account(const std::string& name, const std::string& root, uint16_t maxConn = 0) {
    UserAccount account;
    UserAccountDefaults(&account, name.c_str());
    snprintf(account.Root, sizeof account.Root, "%s", root.c_str());
    snprintf(account.Home, sizeof account.Home, "%s", root.c_str());
    account.MaxConn = maxConn;
    return account;
}

// Version v (1 or 2): 3 * v + 1 accounts "v<v>u<i>", Root "/v<v>/<i>", MaxConn i.
inline void FillUsersVersion(UserList* list, int version) {
    list->accounts.clear();
    for (int i = 0; i < 3 * version + 1; i++) {
        std::string v = std::to_string(version), n = std::to_string(i);
        list->accounts.push_back(Account("v" + v + "u" + n, "/v" + v + "/" + n, (uint16_t)i));
    }
}

// The version the list holds whole (a load finds the accounts in name order),
// or 0 when it is anything else.
inline int UsersVersionOf(const UserList& list) {
    for (int version = 1; version <= 2; version++) {
        UserList expected;
        FillUsersVersion(&expected, version);
        if (expected.accounts.size() == list.accounts.size() &&
            memcmp(expected.accounts.data(), list.accounts.data(),
                   list.accounts.size() * sizeof(UserAccount)) == 0)
            return version;
    }
    return 0;
}
