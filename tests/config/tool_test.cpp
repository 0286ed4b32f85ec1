// brindlex-reg as an administrator runs it: round trips, exit statuses, and
// command lines that must write nothing.
#include <map>

#include "store_fixture.h"

using Tool = StoreTest;

// One session of commands in order: each with its exit status (0 done, 1 not
// found, 2 a bad command line or store error, with one line on stderr and
// nothing written) and its output.
TEST_F(Tool, CommandsInOrder) {
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out, input = "", err = ""; // err: a part of standard error
    } steps[] = {
        {{"set", "System", "Port", "--dword", "2121"}, 0, ""},
        {{"set", "Path", "Work", "--string", "/srv/msg files"}, 0, ""},
        {{"set", "Users/Bob", "Root", "--string", "/srv/ftp"}, 0, ""},
        {{"get", "system", "PORT"}, 0, "2121\n"},
        {{"get", "Path", "Work"}, 0, "/srv/msg files\n"},
        {{"list"}, 0, "Path\\\nSystem\\\nUsers\\\n"},
        {{"list", "users\\bob"}, 0, "Root = /srv/ftp\n"},
        {{"delete", "Path", "Work"}, 0, ""},
        {{"get", "Path", "Work"}, 1, ""},
        {{"delete", "Path", "Work"}, 1, ""},
        {{"delete", "Users"}, 0, ""},
        {{"delete", "Users"}, 1, ""},
        {{"list", "Users"}, 1, ""},
        {{"get", "Nowhere", "x"}, 1, ""},
        {{"set", "System", "Port", "--dword", "abc"}, 2, ""},
        {{"set", "System", "Port", "--dword", "4294967296"}, 2, ""},
        {{"set", "System", "Port", "--dword", "-1"}, 2, ""},
        {{"set", "System", "Port", "--dword", ""}, 2, ""},
        {{"set", "System", "Port", "--word", "5"}, 2, ""},
        {{"set", "System", "Port"}, 2, ""},
        {{"get", "System"}, 2, ""},
        {{"frobnicate"}, 2, ""},
        {{}, 2, ""},
        {{"delete"}, 2, ""},
        {{"delete", ""}, 2, ""},
        {{"passwd", "1bob"}, 2, "", "pw\n"},
        {{"passwd", "bo b"}, 2, "", "pw\n"},
        {{"passwd"}, 2, "", "pw\n"},
        {{"passwd", "bob"}, 2, "", ""},
        {{"passwd", "bob"}, 2, "", "seventeen chars!!\n"},
        {{"passwd", "bob"}, 2, "", "   \n"},
        // A value name the store refuses: the key the set would have made stays away.
        {{"set", "Fresh\\Key", std::string(16384, 'n'), "--dword", "1"}, 2, ""},
        {{"list"}, 0, "Path\\\nSystem\\\n"},
        {{"list", "System"}, 0, "Port = 2121\n"},
        // Only the keys and values the programs read, of their type and range.
        {{"set", "System", "Port", "--dword", "4294967295"}, 2, "", "", "1 to 65535"},
        {{"set", "System", "Port", "--dword", "0"}, 2, "", "", "1 to 65535"},
        {{"set", "System", "Port", "--string", "2121"}, 2, "", "", "--dword"},
        {{"set", "System", "Prot", "--dword", "21"}, 2, "", "", "Port"},
        {{"set", "Sytem", "Port", "--dword", "21"}, 2, "", "", "System"},
        {{"set", "Users", "Root", "--string", "/"}, 2, "", "", "Users\\NAME"},
        {{"set", "Users\\bob", "Put", "--dword", "2"}, 2, "", "", "0 or 1"},
        {{"set", "Users\\bob", "Root", "--dword", "1"}, 2, "", "", "--string"},
        {{"set", "Log", "TRACE5", "--dword", "1"}, 0, ""},
        {{"set", "System", "ListenAddress", "--string", "::1"}, 0, ""},
        {{"set", "System", "ListenAddress", "--string", "0.0.0.0"}, 0, ""},
        {{"set", "System", "ListenAddress", "--string", "localhost"}, 2, "", "", "IPv6 address"},
        {{"set", "System", "ListenAddress", "--string", "10.0.0.1:21"}, 2, "", "", "IPv6 address"},
        {{"set", "System", "PassiveAddress", "--string", "::"}, 2, "", "", "IPv6 address"},
        {{"set", "System", "PassiveAddress", "--string", "2001:db8::5"}, 0, ""},
        {{"get", "System", "ListenAddress"}, 0, "0.0.0.0\n"},
        {{"set", "users\\bob", "root", "--string", "/no/such/dir"}, 0, "", "", "not an existing"},
        {{"--force", "set", "System", "Port", "--dword", "4294967295"}, 0, ""},
        {{"get", "System", "Port"}, 0, "4294967295\n"},
        {{"--force", "set", "Odd", "a\x1b[2Kb", "--string",
          "line\rfake\x7f\x9b"
          "2J\x85\xc3\xa9\xc2\x9b"},
         0,
         ""},
        {{"--no-notify", "--force", "set", "Odd\\k\x1b]0;t\x07", "v", "--dword", "1"}, 0, ""},
        // C0 and C1 controls, raw or encoded as UTF-8, are escaped; other
        // UTF-8 text stays as it is.
        {{"list", "Odd"},
         0,
         "k{1B}]0;t{07}\\\na{1B}[2Kb = line{0D}fake{7F}{9B}2J{85}\xc3\xa9{C2}{9B}\n"},
        {{"set", "System", "Port", "--dword", "2121"}, 0, ""},
        {{"set", "Users\\bob", "Root", "--string", "/srv/ftp"}, 0, ""},
        {{"passwd", "Bob"}, 0, "", "Secret Word\r\n"},
        {{"passwd", "carol"}, 0, "", "pw"}, // no line end, new account
        {{"list", "Users"}, 0, "bob\\\ncarol\\\n"},
        // Every account value is in the store, not left to load defaults.
        {{"get", "Users\\carol", "Restrict"}, 0, "1\n"},
        {{"get", "Users\\carol", "Put"}, 0, "0\n"},
    };
    for (const auto& step : steps) {
        std::string command;
        for (const std::string& arg : step.args)
            command += arg.substr(0, 20) + " ";
        ToolRun run = Reg(step.args, step.input);
        EXPECT_EQ(step.status, run.status) << command << run.err;
        EXPECT_EQ(step.out, run.out) << command;
        EXPECT_NE(run.err.find(step.err), std::string::npos) << command << run.err;
        if (step.status) {
            EXPECT_EQ(1, bxtest::CountOf(run.err, "\n")) << command << run.err;
        }
    }
    // The accounts the tool wrote as the program loads them (its System
    // values reaching a running server: see the black-box tests).
    WithApp([] { GetRegUsers(&userList); });
    ASSERT_EQ(2u, userList.accounts.size());
    EXPECT_EQ(1, CheckPasswordDigest(userList.accounts[0].PW, "bob", "Secret Word"));
    EXPECT_EQ(1, CheckPasswordDigest(userList.accounts[1].PW, "carol", "pw"));
    UserAccount carol;
    UserAccountDefaults(&carol, "carol");
    memcpy(carol.PW, userList.accounts[1].PW, sizeof carol.PW);
    EXPECT_EQ(0, memcmp(&carol, &userList.accounts[1], sizeof carol))
        << "a new account has the defaults";
}

// Reading needs a store: none is made to find nothing in it.
TEST_F(Tool, ReadingWithoutAStoreCreatesNone) {
    for (std::vector<std::string> args :
         {std::vector<std::string>{"list"}, {"get", "System", "Port"}, {"delete", "System"}}) {
        ToolRun run = Reg(args);
        EXPECT_EQ(1, run.status) << args[0];
        EXPECT_NE(run.err.find("no store"), std::string::npos) << run.err;
        EXPECT_FALSE(std::filesystem::exists(root / "store.db")) << args[0];
    }
}

// The store holds password digests: made for its owner only, and narrowed to
// that when found open to others.
TEST_F(Tool, StoreIsPrivateToItsOwner) {
    using std::filesystem::perms;
    auto StoreMode = [this] { return std::filesystem::status(root / "store.db").permissions(); };
    ASSERT_EQ(0, Reg({"set", "System", "Port", "--dword", "21"}).status);
    EXPECT_EQ(perms::owner_read | perms::owner_write, StoreMode()) << "as made";
    for (int mode : {0644, 0666, 0604, 0600}) {
        std::filesystem::permissions(root / "store.db", (perms)mode);
        EXPECT_EQ("21\n", Reg({"get", "System", "Port"}).out) << std::oct << mode;
        EXPECT_EQ(perms::owner_read | perms::owner_write, StoreMode()) << std::oct << mode;
    }
}

// Every value below the application key as "key\name" -> type and bytes, and
// every key as "key\" -> nothing, read with the store calls alone.
std::map<std::string, std::pair<uint32_t, std::string>>
StoreValues(const std::string& full = "SOFTWARE\\Quennel\\Brindlex") {
    std::map<std::string, std::pair<uint32_t, std::string>> all;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, full.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return all;
    all[full + "\\"] = {};
    char name[16384];
    uint8_t data[4096];
    for (uint32_t i = 0;; i++) {
        uint32_t nameSize = sizeof name, type = 0, size = sizeof data;
        if (RegEnumValueA(key, i, name, &nameSize, &type, data, &size) != ERROR_SUCCESS) break;
        all[full + "\\" + std::string(name, nameSize)] = {type, std::string((char*)data, size)};
    }
    std::vector<std::string> subKeys;
    RegEnumKeyNames(key, &subKeys);
    RegCloseKey(key);
    for (const std::string& sub : subKeys)
        all.merge(StoreValues(full + "\\" + sub));
    return all;
}

// export | import into an empty store gives the same store, value by value:
// types, bytes (a digest, controls, a NUL inside a string), empty keys.
// Input that cannot be applied is refused naming its line, with nothing
// written.
TEST_F(Tool, ExportImportReproducesTheStore) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"set", "System", "Port", "--dword", "2121"},
             {"set", "System", "ProxyFrom", "--string", "127.0.0.1, ::1"},
             {"set", "Users\\bob", "Root", "--string", "/srv/f\"t\\p [x] = %"},
             {"--force", "set", "Odd\\k y=%", "n\tame", "--string", "a\x1b\x7f\xc3\xa9\r\n"}})
        ASSERT_EQ(0, Reg(args).status) << args[2];
    ASSERT_EQ(0, Reg({"passwd", "bob"}, "pw\n").status);
    const char raw[] = {'a', 0, 'b'}; // a string with a NUL inside travels as bytes
    Set("Odd", "raw", REG_SZ, raw, sizeof raw);
    HKEY empty;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, App("Empty\\Inner").c_str(), 0, "",
                                             0, KEY_ALL_ACCESS, nullptr, &empty, nullptr));
    RegCloseKey(empty);
    auto original = StoreValues();
    RegCloseStore();
    ToolRun exported = Reg({"export"});
    ASSERT_EQ(0, exported.status) << exported.err;
    EXPECT_EQ(1, Reg({"export", "Nowhere"}).status);
    EXPECT_EQ(0u, Reg({"export", "users"}).out.find("# ")) << "one group alone";

    std::filesystem::create_directories(root / "copy");
    setenv("BRINDLEX_ROOT", (root / "copy").c_str(), 1);
    EXPECT_EQ(2, Reg({"import", "-"}, exported.out).status) << "Odd is not read: --force";
    EXPECT_FALSE(std::filesystem::exists(root / "copy" / "store.db")) << "nothing applied";
    ToolRun imported = Reg({"--force", "import", "-"}, exported.out);
    ASSERT_EQ(0, imported.status) << imported.err;
    EXPECT_EQ(original, StoreValues());
    EXPECT_EQ(exported.out, Reg({"export"}).out);
    RegCloseStore();

    // Each row: a file, and the line its refusal names. The store stays as it is.
    const std::string store = StoreBytes();
    const std::pair<std::string, int> bad[] = {
        {"Port = dword:21\n", 1},
        {"# c\n\n[System]\nPort = dword:70000\n", 4},
        {"[System]\nPort = string:\"21\"\n", 2},
        {"[System]\nPort dword:21\n", 2},
        {"[System]\nPort = dword:-1\n", 2},
        {"[System]\nPort = dword:21\nPort = dword:22\n", 3},
        {"[System]\nProxyFrom = string:\"10.0.0.1/40\"\n", 2},
        {"[System]\nPassiveAddress = string:\"unterminated\n", 2},
        {"[System]\nPassiveAddress = string:\"a\\qb\"\n", 2},
        {"[Users\\bob]\nPW = binary:1:0g\n", 2},
        {"[Users\\bob\n", 1},
        {"[Users\\bob]\n[users\\BOB]\n", 2},
        {"[Users\\b%4]\n", 1},
        {"[Users\\bob]\nPut = dword:1\n[Users\\eve]\nGet = dword:2\n", 4},
    };
    for (const auto& [text, line] : bad) {
        ToolRun run = Reg({"import", "-"}, text);
        EXPECT_EQ(2, run.status) << text;
        EXPECT_NE(run.err.find(" line " + std::to_string(line) + ":"), std::string::npos)
            << text << run.err;
    }
    EXPECT_EQ(store, StoreBytes());
    // --replace empties the groups the file names: an account gone on one
    // node goes on the other.
    std::string users = Reg({"export", "Users"}).out;
    ASSERT_EQ(0, Reg({"set", "Users\\gone", "Put", "--dword", "1"}).status);
    ASSERT_EQ(0, Reg({"import", "--replace", "-"}, users).status);
    EXPECT_EQ(1, Reg({"get", "Users\\gone", "Put"}).status);
    ASSERT_EQ(0,
              Reg({"import", "--replace", "-"}, "[Users]\n[Users\\bob]\nRoot = string:\"/srv\"\n")
                  .status);
    EXPECT_EQ("bob\\\n", Reg({"list", "Users"}).out);
    EXPECT_EQ("2121\n", Reg({"get", "System", "Port"}).out) << "other groups stay";
}

// quota measures an account's Root as the server does: plain files below it
// (a link counts nothing), with the account's quota values.
TEST_F(Tool, QuotaShowsWhatTheRootHolds) {
    std::filesystem::path ftp = root / "ftp";
    std::filesystem::create_directories(ftp / "sub");
    bxtest::WriteFile(ftp / "a", std::string(1000, 'a'));
    bxtest::WriteFile(ftp / "sub" / "b", std::string(24, 'b'));
    std::filesystem::create_symlink(ftp / "a", ftp / "link");
    ASSERT_EQ(0, Reg({"set", "Users\\bob", "Root", "--string", ftp.string()}).status);
    ASSERT_EQ(0, Reg({"set", "Users\\bob", "QuotaFiles", "--dword", "10"}).status);
    ToolRun run = Reg({"quota", "Bob"});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ("Root = " + ftp.string() +
                  "\nBytes = 1024\nFiles = 2\nQuotaMiB = 0\nQuotaFiles = 10\n",
              run.out);
    EXPECT_EQ(1, Reg({"quota", "carol"}).status);
}
