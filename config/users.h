// User accounts: the record, the process-wide list with its re-entrant lock,
// loading and saving below the key "Users", and the salted password digests.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

// accountFlags
constexpr uint8_t ACCOUNT_ANONYMOUS = 0x01;
constexpr uint8_t ACCOUNT_ENABLE = 0x02;
constexpr uint8_t ACCOUNT_RESTRICT = 0x04;

// permissions
constexpr uint8_t PERM_RECURSE = 0x01;
constexpr uint8_t PERM_CREATE = 0x02;
constexpr uint8_t PERM_DELETEDIR = 0x04;
constexpr uint8_t PERM_LIST = 0x08;
constexpr uint8_t PERM_GET = 0x10;
constexpr uint8_t PERM_PUT = 0x20;
constexpr uint8_t PERM_DELETEFILE = 0x40;

constexpr int USER_NAME_MAX = 64;
constexpr int USER_PASSWORD_MAX = 16;
constexpr int USER_PW_LEN = 36;

// One user's account; always copied whole.
struct UserAccount {
    char name[65];        // lower case
    char PW[37];          // "" = no password; else 4 salt digits + 32 hex digits
    char Root[260];       // the user is confined to it
    char Home[260];       // Root or a directory below it
    uint8_t accountFlags; // ACCOUNT_*
    uint16_t MaxConn;     // 0 = no limit
    uint8_t permissions;  // PERM_*
    // Limits (0 = none): speed in KiB/s shared by all sessions of the
    // account, and the quota over its Root in MiB and in files.
    uint32_t MaxDownloadRate;
    uint32_t MaxUploadRate;
    uint32_t QuotaMiB;
    uint32_t QuotaFiles;
};

struct UserList {
    std::vector<UserAccount> accounts;
    std::recursive_mutex lock;
};

extern UserList userList;

// Counts the changes of the list (a load, an edit), starting at 1: a reader
// on another thread that remembered the count knows when to look again.
uint32_t UserListGeneration();
void UserListChanged();

void LockUserList();
void UnlockUserList();

// Need the application key open (OpenRegApp).
void GetRegUsers(UserList* list);
void SetRegUsers(UserList* list);

// List changes; the caller holds the lock.
void UserListAppend(UserList* list, const UserAccount& account);
void UserListReplace(UserList* list, int index, const UserAccount& account);
void UserListRemove(UserList* list, int index);

// A new account with the defaults a load gives to missing values.
void UserAccountDefaults(UserAccount* account, const char* name);

// The PW text for name and password (out: at least 37 bytes), with a fresh
// salt from the main thread's generator.
void MakePasswordDigest(const char* name, const char* password, char* out);
// The digest of salt text (first four characters of PW, blank-padded),
// name and password: out receives the 36-character candidate.
void PasswordDigestWithSalt(const char* PW, const char* name, const char* password, char* out);
// 1 when password, sent for name, matches the stored PW.
int CheckPasswordDigest(const char* PW, const char* name, const char* password);
