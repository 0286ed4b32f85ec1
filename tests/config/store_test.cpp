// The store calls themselves: names without regard to case, sizes and
// statuses of value reads, odd names, and files that are not a usable store;
// and several processes on one store: a loader never sees half a save, and a
// writer killed in the middle of a save leaves the old or the new accounts.
#include <sqlite3.h>
#include <unistd.h>

#include <random>

#include "store_fixture.h"

using namespace std::string_literals;

namespace {

HKEY Create(HKEY parent, const std::string& path, uint32_t* disposition = nullptr) {
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(parent, path.c_str(), 0, "", 0, KEY_ALL_ACCESS,
                                             nullptr, &key, disposition));
    return key;
}

// The version of the accounts a load finds (0: a mixed list, -1: no store).
int LoadVersion() {
    if (!OpenRegApp("Brindlex")) return -1;
    GetRegUsers(&userList);
    CloseRegApp();
    return UsersVersionOf(userList);
}

} // namespace

using StoreCalls = StoreTest;
using StoreProcesses = StoreTest;

TEST_F(StoreCalls, NamesMatchWithoutRegardToCaseKeepTheirCaseAndEnumerateInOrder) {
    uint32_t disposition = 0;
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, App("Test\\Bob"), &disposition));
    EXPECT_EQ(REG_CREATED_NEW_KEY, disposition);
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, "software\\QUENNEL\\brindlex\\TEST\\bOB", &disposition));
    EXPECT_EQ(REG_OPENED_EXISTING_KEY, disposition);
    SetDword("Test\\Bob", "Port", 7);
    SetDword("test\\BOB", "PORT", 8);
    HKEY parent = Create(HKEY_LOCAL_MACHINE, App("test"));
    for (const char* sub : {"delta", "alpha", "Charlie"})
        RegCloseKey(Create(parent, sub));
    // One value, of the first spelling and the second value; keys in order.
    EXPECT_EQ("alpha\\\nBob\\\n  Port=4:\x08\0\0\0\nCharlie\\\ndelta\\\n"s, DumpPath(App("Test")));
    char name[8];
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyA(parent, 2, name, 7)); // "Charlie" needs 8
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
    EXPECT_EQ(ERROR_MORE_DATA,
              RegQueryValueExA(key, "Text", nullptr, nullptr, (uint8_t*)small, &size));
    EXPECT_EQ(6u, size);
    EXPECT_EQ(0, memcmp(small, "xxxx", 4));
    size = 4;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegQueryValueExA(key, "Missing", nullptr, nullptr, (uint8_t*)small, &size));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(key, "Missing"));
    // A string written without its NUL is stored with one.
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Bare", 0, REG_SZ, (const uint8_t*)"ab", 2));
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Bare", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(3u, size);
    uint32_t dword = 1;
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              RegSetValueExA(key, "D", 0, REG_DWORD, (const uint8_t*)&dword, 2));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegSetValueExA(key, "D", 0, 3, (const uint8_t*)&dword, 4));
    RegCloseKey(key);
}

TEST_F(StoreCalls, OddNamesRoundTripOrAreRefused) {
    for (const std::string& name : {"  two  blanks "s, std::string(255, 'k'), "caf\xE9 \xC4"s}) {
        SetString("Odd\\" + name, name.c_str(), name);
        EXPECT_EQ(name + "=1:" + name + '\0' + "\n", DumpPath(App("Odd\\" + name)))
            << name.substr(0, 20);
    }
    HKEY parent = Create(HKEY_LOCAL_MACHINE, App("Odd"));
    // Case folding is ASCII only: these two high bytes name different keys.
    uint32_t disposition = 0;
    RegCloseKey(Create(parent, "caf\xC9 \xE4", &disposition));
    EXPECT_EQ(REG_CREATED_NEW_KEY, disposition);
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegCreateKeyExA(parent, std::string(256, 'k').c_str(), 0, "",
                                                       0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    EXPECT_EQ(ERROR_BAD_PATHNAME,
              RegCreateKeyExA(parent, "a\\\\b", 0, "", 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    EXPECT_EQ(ERROR_BAD_PATHNAME, RegOpenKeyExA(parent, "\\a", 0, KEY_READ, &key));
    uint32_t subKeys = 0;
    RegQueryInfoKeyA(parent, &subKeys, nullptr);
    EXPECT_EQ(4u, subKeys); // nothing half-made by the refused calls
    RegCloseKey(parent);
}

// A file that is not a usable store: the start fails with its record and runs
// on the in-memory values, brindlex-reg fails with a store error; the file
// keeps every byte.
TEST_F(StoreCalls, UnusableFilesAreLeftUntouched) {
    std::string garbage(8192, '\0');
    std::mt19937 random(7);
    for (char& c : garbage)
        c = (char)random();
    for (int i = 0; i < 300; i++)
        userList.accounts.push_back(Account("user" + std::to_string(i), "/srv"));
    WithApp([] { SetRegUsers(&userList); });
    RegCloseStore();
    std::string ours = StoreBytes();
    ASSERT_GT(ours.size(), 20000u);
    std::filesystem::remove(root / "store.db");
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((root / "store.db").c_str(), &db));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "CREATE TABLE t(x); INSERT INTO t VALUES(1);", nullptr,
                                      nullptr, nullptr));
    sqlite3_close(db);
    const std::pair<const char*, std::string> files[] = {
        {"garbage", garbage},
        {"truncated", ours.substr(0, ours.size() / 2)},
        {"another program's", StoreBytes()}};
    int round = 0;
    for (const auto& [what, bytes] : files) {
        bxtest::WriteFile(root / "store.db", bytes);
        RegCloseStore();
        systemSettings.port = 2121;
        EXPECT_EQ(0, OpenRegApp("Brindlex")) << what;
        GetRegSystem(); // no key open: logged, nothing changes
        EXPECT_EQ(2121, systemSettings.port) << what;
        EXPECT_EQ(0, OpenRegApp("Brindlex")) << what;
        RegCloseStore();
        EXPECT_EQ(2, Reg({"get", "System", "Port"}).status) << what;
        EXPECT_EQ(2, Reg({"set", "System", "Port", "--dword", "1"}).status) << what;
        EXPECT_EQ(bytes, StoreBytes()) << what;
        EXPECT_EQ(2 * ++round, log->Count("OpenRegApp: error 1009 in RegCreateKeyEx for SOFTWARE"))
            << what;
    }
    EXPECT_EQ(3, log->Count("GetRegSystem: error 6 in RegCreateKeyEx"));
}

// Each round: loads while another process saves, then the writer is killed at
// a moment that varies within a save, and the store is loaded afresh.
TEST_F(StoreProcesses, LoadsDuringSavesSeeAWholeList) {
    FillUsersVersion(&userList, 2);
    WithApp([] { SetRegUsers(&userList); });
    std::mt19937 random(std::random_device{}());
    for (int round = 0; round < 4; round++) {
        bxtest::Child writer;
        ASSERT_TRUE(writer.Start("store_helper"));
        ASSERT_EQ("saved 1", writer.ReadLine(30000)) << "round " << round;
        for (int i = 0; i < 150; i++) {
            int version = LoadVersion();
            ASSERT_TRUE(version == 1 || version == 2)
                << "round " << round << " load " << i << " saw a list of "
                << userList.accounts.size();
        }
        ASSERT_EQ("saved", writer.ReadLine(30000).substr(0, 5)) << "round " << round;
        usleep((useconds_t)(random() % 20000));
        writer.Stop(true);
        RegCloseStore();
        int version = LoadVersion();
        EXPECT_TRUE(version == 1 || version == 2)
            << "round " << round << " after the kill: " << userList.accounts.size();
    }
    EXPECT_EQ(0, log->Count("error")) << log->Text().substr(0, 2000);
}
