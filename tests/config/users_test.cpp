// Accounts in the store: odd subkeys and values at load, saves that replace
// the whole set, and the password values.
#include <cstdio>
#include <set>

#include "platform/ascii.h"
#include "store_fixture.h"

using Users = StoreTest;

namespace {
// The loaded account of that name; a failure and an empty account when
// there is none.
const UserAccount& Find(const std::string& name) {
    for (const UserAccount& account : userList.accounts)
        if (account.name == name) return account;
    ADD_FAILURE() << "no account " << name;
    static const UserAccount none{};
    return none;
}

void Load() {
    StoreTest::WithApp([] { GetRegUsers(&userList); });
}
void Save() {
    StoreTest::WithApp([] { SetRegUsers(&userList); });
}
} // namespace

TEST_F(Users, OddSubkeysAndValuesAtLoad) {
    SetString("Users\\" + std::string(65, 'x'), "Root", "/long");
    SetString("Users\\" + std::string(64, 'y'), "Root", "/sixty-four");
    SetString("Users\\Carol", "Root", "/carol");
    SetDword("Users\\anon", "Anonymous", 2);
    SetDword("Users\\guest", "Anonymous", 1);
    SetDword("Users\\anon", "MaxConn", 0x10003);
    SetString("Users\\mallory", "PW", std::string(40, 'A'));
    SetDword("Users\\empty", "Put", 1);
    Load();
    ASSERT_EQ(6u, userList.accounts.size()); // the 65-character name is skipped
    EXPECT_STREQ("/sixty-four", Find(std::string(64, 'y')).Root);
    EXPECT_STREQ("/carol", Find("Carol").Root);                  // loaded under its own name
    EXPECT_EQ(0, Find("anon").accountFlags & ACCOUNT_ANONYMOUS); // only the lowest bit counts
    EXPECT_EQ(ACCOUNT_ANONYMOUS, Find("guest").accountFlags & ACCOUNT_ANONYMOUS);
    EXPECT_EQ(3, Find("anon").MaxConn);
    // Missing values take the defaults.
    const UserAccount& empty = Find("empty");
    EXPECT_EQ(ACCOUNT_ENABLE | ACCOUNT_RESTRICT, empty.accountFlags);
    EXPECT_EQ(PERM_LIST | PERM_GET | PERM_PUT, empty.permissions);
    EXPECT_STREQ("", empty.PW);
    // An unreadable password value must not turn into "no password".
    const char* PW = Find("mallory").PW;
    EXPECT_STRNE("", PW);
    EXPECT_EQ(0, CheckPasswordDigest(PW, "mallory", ""));
    EXPECT_EQ(0, CheckPasswordDigest(PW, "mallory", "AAAA"));
    EXPECT_EQ(1, log->Count("PW: error 234 in RegQueryValueEx"));
}

TEST_F(Users, SaveReplacesTheWholeSetAndSkipsAccountsThatNameNoSubkey) {
    userList.accounts = {Account("zed", "/z"), Account("", "/nowhere"), Account("amy", "/a", 3),
                         Account("a\\b", "/x"), Account("bob", "/b")};
    userList.accounts[2].accountFlags |= ACCOUNT_ANONYMOUS;
    userList.accounts[2].permissions = PERM_PUT | PERM_DELETEFILE | PERM_CREATE;
    MakePasswordDigest("bob", "pw", userList.accounts[4].PW);
    Save();
    std::string first = DumpPath(App("Users"));
    EXPECT_EQ("amy\\\n", first.substr(0, 5)); // nothing written into "Users" itself
    SetDword("Users\\zed\\stray", "x", 1);    // a subkey under an account goes too
    SetDword("Users\\gone", "Put", 1);
    Save();
    EXPECT_EQ(first, DumpPath(App("Users"))); // saving again changes nothing else

    std::vector<UserAccount> saved = userList.accounts;
    Load();
    ASSERT_EQ(3u, userList.accounts.size());
    for (int i : {0, 2, 4})
        EXPECT_EQ(0, memcmp(&saved[i], &Find(saved[i].name), sizeof saved[i])) << saved[i].name;
    EXPECT_EQ(4, log->Count("SetRegUsers: error 161 in RegCreateKeyEx for user:"));
}

// MD5 of bytes, computed by another program (md5sum), in upper case.
std::string ExternalMd5(const std::string& text) {
    bxtest::TempDir dir("bx-md5");
    bxtest::WriteFile(dir.path + "/input", text);
    FILE* pipe = popen(("md5sum " + dir.path + "/input").c_str(), "r");
    char line[128] = "";
    if (!pipe || !fgets(line, sizeof line, pipe)) line[0] = 0;
    if (pipe) pclose(pipe);
    std::string out(line, strnlen(line, 32));
    for (char& c : out)
        c = AsciiUpper(c);
    return out;
}

TEST(Passwords, DigestIsASaltedMd5CheckedExactly) {
    srand(12345);
    const char* cases[][2] = {
        {"bob", "Secret"}, {"alice", "MiXeD Case 1"}, {"x", ""}, {"a.b-c_d", "caf\xE9"}};
    std::set<std::string> salts;
    for (auto& [name, password] : cases) {
        char PW[USER_PW_LEN + 1];
        MakePasswordDigest(name, password, PW);
        std::string salt(PW, 4);
        EXPECT_EQ(std::string::npos, salt.find_first_not_of("0123456789ABCDEF")) << name;
        salts.insert(salt);
        EXPECT_EQ(salt + ExternalMd5(salt + name + ":" + password), PW) << name;
        EXPECT_EQ(1, CheckPasswordDigest(PW, name, password)) << name;
    }
    EXPECT_GT(salts.size(), 1u);

    char PW[USER_PW_LEN + 1];
    MakePasswordDigest("bob", "Secret", PW);
    std::string lower = PW;
    AsciiLowerAll(lower.data());
    const struct {
        std::string stored;
        const char *name, *password;
        int matches;
    } checks[] = {
        {PW, "bob", "secret", 0},
        {PW, "bob", "Secret ", 0},
        {PW, "rob", "Secret", 0},
        {lower, "bob", "Secret", 0},
        {std::string(PW, 35), "bob", "Secret", 0},
        // A value made earlier from a lower-cased password stays valid for it.
        {"0A1B" + ExternalMd5("0A1Bbob:secret"), "bob", "secret", 1},
    };
    for (const auto& check : checks)
        EXPECT_EQ(check.matches,
                  CheckPasswordDigest(check.stored.c_str(), check.name, check.password))
            << check.stored << " " << check.name << " " << check.password;
}
