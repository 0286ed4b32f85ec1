// Accounts in the store: odd subkeys and values at load, saves that replace
// the whole set, and the password values.
#include <unistd.h>

#include <cstdio>

#include "store_fixture.h"

using Users = StoreTest;

namespace {
const UserAccount* Find(const char* name) {
    for (const UserAccount& account : userList.accounts)
        if (strcmp(account.name, name) == 0) return &account;
    return nullptr;
}

void Load() {
    ASSERT_EQ(1, OpenRegApp("Brindlex"));
    GetRegUsers(&userList);
    CloseRegApp();
}

void Save() {
    ASSERT_EQ(1, OpenRegApp("Brindlex"));
    SetRegUsers(&userList);
    CloseRegApp();
}
}  // namespace

TEST_F(Users, OddSubkeysAndValuesAtLoad) {
    SetString("Users\\" + std::string(65, 'x'), "Root", "/long");
    SetString("Users\\" + std::string(64, 'y'), "Root", "/sixty-four");
    SetString("Users\\Carol", "Root", "/carol");
    SetDword("Users\\anon", "Anonymous", 2);
    SetDword("Users\\anon", "MaxConn", 0x10003);
    SetString("Users\\mallory", "PW", std::string(40, 'A'));
    SetDword("Users\\empty", "Put", 1);
    Load();
    ASSERT_EQ(5u, userList.accounts.size());  // the 65-character name is skipped
    ASSERT_NE(nullptr, Find(std::string(64, 'y').c_str()));
    ASSERT_NE(nullptr, Find("Carol"));  // loaded under its own name
    const UserAccount* anon = Find("anon");
    ASSERT_NE(nullptr, anon);
    EXPECT_EQ(0, anon->accountFlags & ACCOUNT_ANONYMOUS);
    EXPECT_EQ(3, anon->MaxConn);
    // Missing values take the defaults.
    const UserAccount* empty = Find("empty");
    ASSERT_NE(nullptr, empty);
    EXPECT_EQ(ACCOUNT_ENABLE | ACCOUNT_RESTRICT, empty->accountFlags);
    EXPECT_EQ(PERM_LIST | PERM_GET | PERM_PUT, empty->permissions);
    EXPECT_STREQ("", empty->PW);
    // An unreadable password value must not turn into "no password".
    const UserAccount* mallory = Find("mallory");
    ASSERT_NE(nullptr, mallory);
    EXPECT_STRNE("", mallory->PW);
    EXPECT_EQ(0, CheckPasswordDigest(mallory->PW, "mallory", ""));
    EXPECT_EQ(0, CheckPasswordDigest(mallory->PW, "mallory", "AAAA"));
    std::string log = LogText();
    EXPECT_EQ(1, Count(log, "PW: error 234 in RegQueryValueEx"));
}

TEST_F(Users, SaveReplacesTheWholeSet) {
    userList.accounts = {Account("zed", "/z"), Account("amy", "/a", 3), Account("bob", "/b")};
    userList.accounts[1].accountFlags |= ACCOUNT_ANONYMOUS;
    userList.accounts[1].permissions = PERM_PUT | PERM_DELETEFILE | PERM_CREATE;
    MakePasswordDigest("bob", "pw", userList.accounts[2].PW);
    Save();
    std::string first = DumpPath(App("Users"));
    SetDword("Users\\zed\\stray", "x", 1);  // a subkey under an account goes too
    Save();
    EXPECT_EQ(first, DumpPath(App("Users")));  // saving again changes nothing

    std::vector<UserAccount> saved = userList.accounts;
    Load();
    ASSERT_EQ(3u, userList.accounts.size());
    for (const UserAccount& account : saved) {
        const UserAccount* loaded = Find(account.name);
        ASSERT_NE(nullptr, loaded) << account.name;
        EXPECT_EQ(0, memcmp(&account, loaded, sizeof account)) << account.name;
    }
    std::string removed = userList.accounts[1].name;
    UserListRemove(&userList, 1);
    Save();
    Load();
    EXPECT_EQ(2u, userList.accounts.size());
    EXPECT_EQ(nullptr, Find(removed.c_str()));
}

TEST_F(Users, AccountsThatNameNoSubkeyAreNotSaved) {
    userList.accounts = {Account("", "/nowhere"), Account("a\\b", "/x"), Account("ok", "/ok")};
    Save();
    EXPECT_EQ("ok\\\n", DumpPath(App("Users")).substr(0, 4));
    HKEY users;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, App("Users").c_str(), 0, KEY_READ, &users));
    uint32_t subKeys = 0, values = 0;
    RegQueryInfoKeyA(users, &subKeys, &values);
    RegCloseKey(users);
    EXPECT_EQ(1u, subKeys);
    EXPECT_EQ(0u, values);  // nothing written into "Users" itself
    EXPECT_EQ(2, Count(LogText(), "SetRegUsers: error 161 in RegCreateKeyEx for user:"));
}

// MD5 of bytes, computed by another program (md5sum), in upper case.
std::string ExternalMd5(const std::string& text) {
    std::string path = ::testing::TempDir() + "md5-input-" + std::to_string(getpid());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    FILE* pipe = popen(("md5sum '" + path + "'").c_str(), "r");
    char line[128] = "";
    if (!pipe || !fgets(line, sizeof line, pipe)) line[0] = 0;
    if (pipe) pclose(pipe);
    std::remove(path.c_str());
    std::string out(line, strnlen(line, 32));
    for (char& c : out) c = (char)toupper((unsigned char)c);
    return out;
}

using Passwords = ::testing::Test;

TEST_F(Passwords, DigestsMatchAnIndependentMd5) {
    srand(12345);
    const char* cases[][2] = {{"bob", "secret"}, {"alice", "MiXeD Case 1"}, {"x", ""}, {"a.b-c_d", "caf\xE9"}};
    std::vector<std::string> salts;
    for (auto& pair : cases) {
        char PW[USER_PW_LEN + 1];
        MakePasswordDigest(pair[0], pair[1], PW);
        ASSERT_EQ((size_t)USER_PW_LEN, strlen(PW));
        std::string salt(PW, 4);
        EXPECT_EQ(std::string::npos, salt.find_first_not_of("0123456789ABCDEF"));
        EXPECT_LE(std::stoul(salt, nullptr, 16), 32767u);
        salts.push_back(salt);
        EXPECT_EQ(salt + ExternalMd5(salt + pair[0] + ":" + pair[1]), PW) << pair[0];
        EXPECT_EQ(1, CheckPasswordDigest(PW, pair[0], pair[1]));
    }
    EXPECT_NE(salts[0], salts[1]);
}

TEST_F(Passwords, CheckIsExactAboutPasswordNameAndHexCase) {
    char PW[USER_PW_LEN + 1];
    MakePasswordDigest("bob", "Secret", PW);
    EXPECT_EQ(1, CheckPasswordDigest(PW, "bob", "Secret"));
    EXPECT_EQ(0, CheckPasswordDigest(PW, "bob", "secret"));
    EXPECT_EQ(0, CheckPasswordDigest(PW, "bob", "Secret "));
    EXPECT_EQ(0, CheckPasswordDigest(PW, "rob", "Secret"));
    std::string lower = PW;
    for (char& c : lower) c = (char)tolower((unsigned char)c);
    EXPECT_EQ(0, CheckPasswordDigest(lower.c_str(), "bob", "Secret"));
    EXPECT_EQ(0, CheckPasswordDigest(std::string(PW, 35).c_str(), "bob", "Secret"));
    // A value made earlier from a lower-cased password stays valid for it.
    std::string old = "0A1B" + ExternalMd5("0A1Bbob:secret");
    EXPECT_EQ(1, CheckPasswordDigest(old.c_str(), "bob", "secret"));
    // A short PW is padded with blanks as salt and matches nothing.
    char candidate[USER_PW_LEN + 1];
    PasswordDigestWithSalt("ab", "bob", "x", candidate);
    EXPECT_EQ("ab  " + ExternalMd5("ab  bob:x"), candidate);
}
