// Loading and saving the accounts below "Users": one subkey per account,
// named by the account's name. A save replaces the whole key in one store
// transaction, so a loading process sees the old accounts or the new ones.
#include <cstring>
#include <string>
#include <vector>

#include "config/reg_group.h"
#include "config/users.h"
#include "config/value_rules.h"
#include "log/log.h"

namespace {

// What PW holds when its stored value could not be read (too long, say): not
// empty, which would admit the user without a password, and never equal to a
// digest, so the account accepts no password until a new one is set.
const char* const PW_UNREADABLE = "!";

struct FlagValue {
    const char* name;
    uint8_t UserAccount::*field;
    uint8_t bit;
    uint32_t defaultValue;
};

// In the order a load reads them, after "MaxConn" for the permissions.
const FlagValue kAccountFlags[] = {
    {"Anonymous", &UserAccount::accountFlags, ACCOUNT_ANONYMOUS, 0},
    {"Enable", &UserAccount::accountFlags, ACCOUNT_ENABLE, 1},
};
const FlagValue kPermissions[] = {
    {"Recurse", &UserAccount::permissions, PERM_RECURSE, 0},
    {"Create", &UserAccount::permissions, PERM_CREATE, 0},
    {"DeleteDir", &UserAccount::permissions, PERM_DELETEDIR, 0},
    {"List", &UserAccount::permissions, PERM_LIST, 1},
    {"Get", &UserAccount::permissions, PERM_GET, 1},
    {"Put", &UserAccount::permissions, PERM_PUT, 0},
    {"DeleteFile", &UserAccount::permissions, PERM_DELETEFILE, 0},
};
const FlagValue kRestrict = {"Restrict", &UserAccount::accountFlags, ACCOUNT_RESTRICT, 1};

// The limits, each 0 (none) when missing; a save writes only those set, so
// an account without limits is stored as before they existed.
struct LimitValue {
    const char* name;
    uint32_t UserAccount::*field;
};
const LimitValue kLimits[] = {
    {"MaxDownloadRate", &UserAccount::MaxDownloadRate},
    {"MaxUploadRate", &UserAccount::MaxUploadRate},
    {"QuotaMiB", &UserAccount::QuotaMiB},
    {"QuotaFiles", &UserAccount::QuotaFiles},
};

void LoadFlag(HKEY key, const FlagValue& flag, UserAccount* account) {
    if (RegGetDword(key, flag.name, flag.defaultValue) & 1) account->*flag.field |= flag.bit;
}

void SaveFlag(HKEY key, const FlagValue& flag, const UserAccount& account) {
    RegSetDword(key, flag.name, (account.*flag.field & flag.bit) ? 1 : 0);
}

void LoadAccount(HKEY key, const char* name, UserAccount* account) {
    memset(account, 0, sizeof *account);
    snprintf(account->name, sizeof account->name, "%s", name);
    RegGetString(key, "Root", account->Root, sizeof account->Root);
    long status = RegGetString(key, "PW", account->PW, sizeof account->PW);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        snprintf(account->PW, sizeof account->PW, "%s", PW_UNREADABLE);
    RegGetString(key, "Home", account->Home, sizeof account->Home);
    for (const FlagValue& flag : kAccountFlags)
        LoadFlag(key, flag, account);
    account->MaxConn = (uint16_t)RegGetDword(key, "MaxConn", 0);
    for (const FlagValue& flag : kPermissions)
        LoadFlag(key, flag, account);
    LoadFlag(key, kRestrict, account);
    for (const LimitValue& limit : kLimits)
        account->*limit.field = RegGetCheckedDword(key, "GetRegUsers", "Users", limit.name);
}

void SaveAccount(HKEY key, const UserAccount& account) {
    RegSetString(key, "Root", account.Root);
    RegSetString(key, "PW", account.PW);
    RegSetString(key, "Home", account.Home);
    for (const FlagValue& flag : kAccountFlags)
        SaveFlag(key, flag, account);
    RegSetDword(key, "MaxConn", account.MaxConn);
    SaveFlag(key, kRestrict, account);
    for (const FlagValue& flag : kPermissions)
        SaveFlag(key, flag, account);
    for (const LimitValue& limit : kLimits)
        if (account.*limit.field != 0) RegSetDword(key, limit.name, account.*limit.field);
}

void LogUserKeyFailure(long status, const char* opName, const char* name) {
    LogSysError((uint32_t)status, opName, "in RegCreateKeyEx for user:");
    LogPrintf(LOG_WARNING, "  %s", name);
}

} // namespace

// The accounts are read into a list of their own and swapped in under the
// lock at the end: a login on the socket thread never waits for the store.
void GetRegUsers(UserList* list) {
    HKEY users = RegGroupOpen("Users", "GetRegUsers", false);
    if (!users) return;
    std::vector<std::string> names;
    long status = RegEnumKeyNames(users, &names);
    if (status != ERROR_SUCCESS) {
        LogSysError((uint32_t)status, "GetRegUsers", "in RegEnumKey");
        names.clear();
    }
    std::vector<UserAccount> loaded;
    loaded.reserve(names.size());
    for (const std::string& name : names) {
        // A name over 64 characters does not fit an account: skipped.
        if (name.size() > USER_NAME_MAX) {
            LogSysError((uint32_t)ERROR_MORE_DATA, "GetRegUsers", "in RegEnumKey");
            continue;
        }
        HKEY key = nullptr;
        uint32_t disposition = 0;
        status = RegCreateKeyExA(users, name.c_str(), 0, "", 0, KEY_ALL_ACCESS, nullptr, &key,
                                 &disposition);
        if (status != ERROR_SUCCESS) {
            LogUserKeyFailure(status, "GetRegUser", name.c_str());
            continue;
        }
        UserAccount account;
        LoadAccount(key, name.c_str(), &account);
        RegCloseKey(key);
        loaded.push_back(account);
    }
    RegGroupClose(users, "GetRegUsers");
    std::lock_guard<std::recursive_mutex> guard(list->lock);
    list->accounts.swap(loaded);
    UserListChanged();
}

void SetRegUsers(UserList* list) {
    bool created = false;
    HKEY users = RegGroupOpen("Users", "SetRegUsers", true, &created);
    if (!users) return;
    {
        std::lock_guard<std::recursive_mutex> guard(list->lock);
        // Every old subkey goes, with anything below it.
        std::vector<std::string> old;
        char name[256];
        for (uint32_t i = 0; RegEnumKeyA(users, i, name, sizeof name) == ERROR_SUCCESS; i++)
            old.push_back(name);
        for (const std::string& oldName : old) {
            LogPrintf(LOG_INFO, "SetRegUsers: deleting key %s", oldName.c_str());
            long status = RegDeleteTreeA(users, oldName.c_str());
            if (status != ERROR_SUCCESS)
                LogSysError((uint32_t)status, "SetRegUsers", "in RegDeleteKey");
        }
        for (const UserAccount& account : list->accounts) {
            // An empty name would write into "Users" itself and a "\" would
            // make a path: neither names a subkey.
            if (!account.name[0] || strchr(account.name, '\\')) {
                LogUserKeyFailure(ERROR_BAD_PATHNAME, "SetRegUsers", account.name);
                continue;
            }
            HKEY key = nullptr;
            uint32_t disposition = 0;
            long status = RegCreateKeyExA(users, account.name, 0, "", 0, KEY_ALL_ACCESS, nullptr,
                                          &key, &disposition);
            if (status != ERROR_SUCCESS) {
                LogUserKeyFailure(status, "SetRegUsers", account.name);
                continue;
            }
            SaveAccount(key, account);
            RegCloseKey(key);
            LogPrintf(LOG_INFO, "SetRegUsers: created key %s", account.name);
        }
    }
    RegGroupClose(users, "SetRegUsers");
    LogPrintf(LOG_INFO,
              created ? "SetRegUsers: created key Users" : "SetRegUsers: opened key Users");
}
