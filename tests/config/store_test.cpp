// The store calls themselves: names without regard to case, sizes and
// statuses of value reads, odd names, deletion, brackets, and files that are
// not a usable store.
#include <sqlite3.h>

#include <random>

#include "store_fixture.h"

namespace {

HKEY Create(HKEY parent, const std::string& path, uint32_t* disposition = nullptr) {
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(parent, path.c_str(), 0, "", 0, KEY_ALL_ACCESS, nullptr, &key, disposition));
    return key;
}

std::string EnumKey(HKEY key, uint32_t index) {
    char name[300];
    return RegEnumKeyA(key, index, name, sizeof name) == ERROR_SUCCESS ? name : "<end>";
}

long SetDwordIn(HKEY key, const char* name, uint32_t value) {
    return RegSetValueExA(key, name, 0, REG_DWORD, (const uint8_t*)&value, 4);
}

}  // namespace

using StoreCalls = StoreTest;

TEST_F(StoreCalls, NamesMatchWithoutRegardToCaseKeepTheirCaseAndEnumerateInOrder) {
    uint32_t disposition = 0;
    HKEY bob = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test\\Bob", &disposition);
    EXPECT_EQ(REG_CREATED_NEW_KEY, disposition);
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, "software\\TEST\\bOB", &disposition));
    EXPECT_EQ(REG_OPENED_EXISTING_KEY, disposition);
    ASSERT_EQ(ERROR_SUCCESS, SetDwordIn(bob, "Port", 7));
    ASSERT_EQ(ERROR_SUCCESS, SetDwordIn(bob, "PORT", 8));
    // One value, of the first spelling and the second value.
    EXPECT_EQ(std::string("Port=4:\x08\0\0\0\n", 12), DumpPath("SOFTWARE\\Test\\Bob"));
    RegCloseKey(bob);

    HKEY parent = Create(HKEY_LOCAL_MACHINE, "Software\\test");
    for (const char* sub : {"delta", "alpha", "Charlie"}) RegCloseKey(Create(parent, sub));
    const char* order[] = {"alpha", "Bob", "Charlie", "delta", "<end>"};
    for (uint32_t i = 0; i < std::size(order); i++) EXPECT_EQ(order[i], EnumKey(parent, i)) << "index " << i;
    char name[8];
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyA(parent, 2, name, 7));  // "Charlie" needs 8
    RegCloseKey(parent);
}

TEST_F(StoreCalls, ValueReadsReportSizesAndNeverOverrunTheBuffer) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Values");
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Text", 0, REG_SZ, (const uint8_t*)"hello", 6));
    uint32_t size = 0, type = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Text", nullptr, &type, nullptr, &size));
    EXPECT_EQ(6u, size);
    EXPECT_EQ(REG_SZ, type);
    char small[4] = {'x', 'x', 'x', 'x'};
    size = sizeof small;
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(key, "Text", nullptr, nullptr, (uint8_t*)small, &size));
    EXPECT_EQ(6u, size);
    EXPECT_EQ(0, memcmp(small, "xxxx", 4));
    size = 4;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(key, "Missing", nullptr, nullptr, (uint8_t*)small, &size));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(key, "Missing"));
    // A string written without its NUL is stored with one.
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Bare", 0, REG_SZ, (const uint8_t*)"ab", 2));
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Bare", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(3u, size);
    uint32_t dword = 1;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegSetValueExA(key, "D", 0, REG_DWORD, (const uint8_t*)&dword, 2));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegSetValueExA(key, "D", 0, 3, (const uint8_t*)&dword, 4));
    RegCloseKey(key);
}

TEST_F(StoreCalls, OddNamesRoundTripOrAreRefused) {
    HKEY parent = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Odd");
    for (const std::string& name : {std::string("  two  blanks "), std::string(255, 'k'), std::string("caf\xE9 \xC4")}) {
        HKEY key = Create(parent, name);
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, name.c_str(), 0, REG_SZ, (const uint8_t*)name.c_str(),
                                                (uint32_t)name.size() + 1));
        char back[300];
        uint32_t size = sizeof back;
        ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, name.c_str(), nullptr, nullptr, (uint8_t*)back, &size));
        EXPECT_EQ(name, back);
        RegCloseKey(key);
    }
    // Case folding is ASCII only: these two high bytes name different keys.
    uint32_t disposition = 0;
    RegCloseKey(Create(parent, "caf\xC9 \xE4", &disposition));
    EXPECT_EQ(REG_CREATED_NEW_KEY, disposition);
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegCreateKeyExA(parent, std::string(256, 'k').c_str(), 0, "", 0,
                                                       KEY_ALL_ACCESS, nullptr, &key, nullptr));
    EXPECT_EQ(ERROR_BAD_PATHNAME, RegCreateKeyExA(parent, "a\\\\b", 0, "", 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    EXPECT_EQ(ERROR_BAD_PATHNAME, RegOpenKeyExA(parent, "\\a", 0, KEY_READ, &key));
    uint32_t subKeys = 0;
    RegQueryInfoKeyA(parent, &subKeys, nullptr);
    EXPECT_EQ(4u, subKeys);  // nothing half-made by the refused calls
    RegCloseKey(parent);
}

TEST_F(StoreCalls, DeletingKeys) {
    HKEY parent = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Del");
    HKEY child = Create(parent, "a\\b\\c");
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(parent, "a"));  // has subkeys
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(parent, "A\\B\\C"));
    EXPECT_EQ(ERROR_KEY_DELETED, SetDwordIn(child, "v", 1));
    RegCloseKey(child);
    RegCloseKey(Create(parent, "a\\b\\c\\d"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeA(parent, "a"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteTreeA(parent, "a"));
    EXPECT_EQ("<end>", EnumKey(parent, 0));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(nullptr));
    RegCloseKey(parent);
}

TEST_F(StoreCalls, BracketsCommitAllOrNothing) {
    ASSERT_EQ(ERROR_SUCCESS, RegBeginTransaction());
    SetDword("Bracket", "one", 1);
    ASSERT_EQ(ERROR_SUCCESS, RegBeginTransaction());
    SetDword("Bracket", "two", 2);
    EXPECT_EQ(ERROR_SUCCESS, RegEndTransaction(1));
    EXPECT_EQ(ERROR_SUCCESS, RegEndTransaction(0));
    EXPECT_EQ(-1, GetDword("Bracket", "one"));
    EXPECT_EQ(-1, GetDword("Bracket", "two"));
    ASSERT_EQ(ERROR_SUCCESS, RegBeginTransaction());
    SetDword("Bracket", "one", 1);
    EXPECT_EQ(ERROR_SUCCESS, RegEndTransaction(1));
    EXPECT_EQ(1, GetDword("Bracket", "one"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegEndTransaction(1));  // unmatched
}

// A file that is not a usable store: the start fails with its record and runs
// on the in-memory values, brindlex-reg fails with a store error; the file
// keeps every byte.
TEST_F(StoreCalls, UnusableFilesAreLeftUntouched) {
    std::string garbage(8192, '\0');
    std::mt19937 random(7);
    for (char& c : garbage) c = (char)random();
    ASSERT_EQ(1, OpenRegApp("Brindlex"));
    for (int i = 0; i < 300; i++) userList.accounts.push_back(Account(("user" + std::to_string(i)).c_str(), "/srv"));
    SetRegUsers(&userList);
    CloseRegApp();
    RegCloseStore();
    std::string ours = StoreBytes();
    ASSERT_GT(ours.size(), 20000u);
    std::filesystem::remove(root / "store.db");
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((root / "store.db").c_str(), &db));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "CREATE TABLE t(x); INSERT INTO t VALUES(1);", nullptr, nullptr, nullptr));
    sqlite3_close(db);
    const std::pair<const char*, std::string> files[] = {
        {"garbage", garbage}, {"truncated", ours.substr(0, ours.size() / 2)}, {"another program's", StoreBytes()}};
    int round = 0;
    for (const auto& [what, bytes] : files) {
        bxtest::WriteFile(root / "store.db", bytes);
        RegCloseStore();
        systemSettings.port = 2121;
        EXPECT_EQ(0, OpenRegApp("Brindlex")) << what;
        GetRegSystem();  // no key open: logged, nothing changes
        EXPECT_EQ(2121, systemSettings.port) << what;
        EXPECT_EQ(0, OpenRegApp("Brindlex")) << what;
        RegCloseStore();
        EXPECT_EQ(2, Reg({"get", "System", "Port"}).status) << what;
        EXPECT_EQ(2, Reg({"set", "System", "Port", "--dword", "1"}).status) << what;
        EXPECT_EQ(bytes, StoreBytes()) << what;
        EXPECT_EQ(2 * ++round, Count(log->Text(), "OpenRegApp: error 1009 in RegCreateKeyEx for SOFTWARE")) << what;
    }
    EXPECT_EQ(3, Count(LogText(), "GetRegSystem: error 6 in RegCreateKeyEx"));
}
