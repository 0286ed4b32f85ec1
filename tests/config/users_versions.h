// Two account lists that differ in every account, for tests where one
// process saves while another loads: a load must find exactly one of them.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

#include "config/users.h"

// Version v (1 or 2): 3 * v + 1 accounts "v<v>u<i>", Root "/v<v>/<i>", MaxConn i.
inline void FillUsersVersion(UserList* list, int version) {
    list->accounts.clear();
    for (int i = 0; i < 3 * version + 1; i++) {
        UserAccount account;
        char name[32];
        snprintf(name, sizeof name, "v%du%d", version, i);
        UserAccountDefaults(&account, name);
        snprintf(account.Root, sizeof account.Root, "/v%d/%d", version, i);
        account.MaxConn = (uint16_t)i;
        list->accounts.push_back(account);
    }
}

// The version the list holds whole (a load finds the accounts in name order),
// or 0 when it is anything else.
inline int UsersVersionOf(const UserList& list) {
    for (int version = 1; version <= 2; version++) {
        UserList expected;
        FillUsersVersion(&expected, version);
        if (expected.accounts.size() == list.accounts.size() &&
            memcmp(expected.accounts.data(), list.accounts.data(), list.accounts.size() * sizeof(UserAccount)) == 0)
            return version;
    }
    return 0;
}
