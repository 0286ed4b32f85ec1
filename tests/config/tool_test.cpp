// brindlex-reg as an administrator runs it: round trips, exit statuses, and
// command lines that must write nothing.
#include <sys/wait.h>

#include "store_fixture.h"

namespace {

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

std::string Quote(const std::string& arg) {
    std::string quoted = "'";
    for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace

struct Tool : StoreTest {
    ToolRun Reg(const std::vector<std::string>& args, const std::string& input = "") {
        std::string command = Quote(bxtest::BinPath("brindlex-reg"));
        for (const std::string& arg : args) command += " " + Quote(arg);
        std::filesystem::path in = root / "in", out = root / "out", err = root / "err";
        bxtest::WriteFile(in, input);
        command += " <" + Quote(in) + " >" + Quote(out) + " 2>" + Quote(err);
        int status = system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(out), ReadFile(err)};
    }
};

TEST_F(Tool, RoundTrips) {
    EXPECT_EQ(0, Reg({"set", "System", "Port", "--dword", "2121"}).status);
    EXPECT_EQ(0, Reg({"set", "Path", "Work", "--string", "/srv/msg files"}).status);
    EXPECT_EQ(0, Reg({"set", "Users/Bob", "Root", "--string", "/srv/ftp"}).status);
    ToolRun get = Reg({"get", "system", "PORT"});
    EXPECT_EQ(0, get.status);
    EXPECT_EQ("2121\n", get.out);
    EXPECT_EQ("/srv/msg files\n", Reg({"get", "Path", "Work"}).out);
    EXPECT_EQ("Path\\\nSystem\\\nUsers\\\n", Reg({"list"}).out);
    EXPECT_EQ("Root = /srv/ftp\n", Reg({"list", "users\\bob"}).out);
    EXPECT_EQ(0, Reg({"delete", "Path", "Work"}).status);
    EXPECT_EQ(1, Reg({"get", "Path", "Work"}).status);
    EXPECT_EQ(1, Reg({"delete", "Path", "Work"}).status);
    EXPECT_EQ(0, Reg({"delete", "Users"}).status);
    EXPECT_EQ(1, Reg({"list", "Users"}).status);
    EXPECT_EQ(1, Reg({"get", "Nowhere", "x"}).status);
    // What the tool wrote is what the program loads.
    ASSERT_EQ(1, OpenRegApp("Brindlex"));
    GetRegSystem();
    CloseRegApp();
    EXPECT_EQ(2121, systemSettings.port);
}

TEST_F(Tool, PasswdMakesAWorkingAccount) {
    ASSERT_EQ(0, Reg({"set", "Users\\bob", "Root", "--string", "/srv/ftp"}).status);
    ASSERT_EQ(0, Reg({"passwd", "Bob"}, "Secret Word\r\n").status);
    ASSERT_EQ(0, Reg({"passwd", "carol"}, "pw").status);  // no line end, new account
    ASSERT_EQ(1, OpenRegApp("Brindlex"));
    GetRegUsers(&userList);
    CloseRegApp();
    ASSERT_EQ(2u, userList.accounts.size());
    const UserAccount& bob = userList.accounts[0];
    EXPECT_STREQ("bob", bob.name);
    EXPECT_STREQ("/srv/ftp", bob.Home);
    EXPECT_EQ(1, CheckPasswordDigest(bob.PW, "bob", "Secret Word"));
    EXPECT_EQ(0, CheckPasswordDigest(bob.PW, "bob", "secret word"));
    UserAccount defaults;
    UserAccountDefaults(&defaults, "carol");
    const UserAccount& carol = userList.accounts[1];
    EXPECT_EQ(defaults.accountFlags, carol.accountFlags);
    EXPECT_EQ(defaults.permissions, carol.permissions);
    EXPECT_EQ(1, CheckPasswordDigest(carol.PW, "carol", "pw"));
    // Every account value is in the store, not left to load defaults.
    EXPECT_EQ(1, GetDword("Users\\carol", "Restrict"));
    EXPECT_EQ(0, GetDword("Users\\carol", "Put"));
}

TEST_F(Tool, BadCommandLinesWriteNothing) {
    ASSERT_EQ(0, Reg({"set", "System", "Port", "--dword", "21"}).status);
    std::string before = Reg({"list", "System"}).out;
    const std::vector<std::vector<std::string>> bad = {
        {"set", "System", "Port", "--dword", "abc"},   {"set", "System", "Port", "--dword", "4294967296"},
        {"set", "System", "Port", "--dword", "-1"},    {"set", "System", "Port", "--dword", ""},
        {"set", "System", "Port", "--word", "5"},      {"set", "System", "Port"},
        {"get", "System"},                             {"frobnicate"},
        {},                                            {"delete"},
        {"delete", ""},                                {"passwd", "1bob"},
        {"passwd", "bo b"},                            {"passwd"},
    };
    for (const auto& args : bad) {
        ToolRun run = Reg(args);
        EXPECT_EQ(2, run.status) << (args.empty() ? "" : args[0]);
        EXPECT_EQ(1, Count(run.err, "\n")) << run.err;
    }
    EXPECT_EQ(2, Reg({"passwd", "bob"}, "").status);
    EXPECT_EQ(2, Reg({"passwd", "bob"}, "seventeen chars!!\n").status);
    EXPECT_EQ(2, Reg({"passwd", "bob"}, "   \n").status);
    EXPECT_EQ(before, Reg({"list", "System"}).out);
    EXPECT_EQ(1, Reg({"list", "Users"}).status);
    EXPECT_EQ(0, Reg({"set", "System", "Port", "--dword", "4294967295"}).status);
    EXPECT_EQ("4294967295\n", Reg({"get", "System", "Port"}).out);
}

TEST_F(Tool, UnusableStoreIsAStoreErrorAndStaysAsItWas) {
    std::string garbage(4096, 'g');
    std::ofstream(root / "store.db", std::ios::binary) << garbage;
    EXPECT_EQ(2, Reg({"get", "System", "Port"}).status);
    EXPECT_EQ(2, Reg({"set", "System", "Port", "--dword", "1"}).status);
    EXPECT_EQ(garbage, StoreBytes());
}

TEST_F(Tool, FailedSetLeavesNoKeyAndListShowsControlBytesEscaped) {
    // A value name the store refuses: the key the set would have made stays away.
    ToolRun longName = Reg({"set", "Fresh\\Key", std::string(16384, 'n'), "--dword", "1"});
    EXPECT_EQ(2, longName.status);
    EXPECT_EQ(1, Reg({"list", "Fresh"}).status) << "the failed set left its key";

    ASSERT_EQ(0, Reg({"set", "Odd", "a\x1b[2Kb", "--string", "line\rfake\x7f"}).status);
    ASSERT_EQ(0, Reg({"set", "Odd\\k\x1b]0;t\x07", "v", "--dword", "1"}).status);
    EXPECT_EQ("k{1B}]0;t{07}\\\na{1B}[2Kb = line{0D}fake{7F}\n", Reg({"list", "Odd"}).out);
}

TEST_F(Tool, StoreOpenToOthersIsNarrowedWhenItsOwnerOpensIt) {
    ASSERT_EQ(0, Reg({"set", "System", "Port", "--dword", "21"}).status);
    const mode_t modes[] = {0644, 0666, 0604, 0600};
    for (mode_t mode : modes) {
        std::filesystem::permissions(root / "store.db", (std::filesystem::perms)mode);
        EXPECT_EQ("21\n", Reg({"get", "System", "Port"}).out) << std::oct << mode;
        auto perms = std::filesystem::status(root / "store.db").permissions();
        EXPECT_EQ((int)std::filesystem::perms::owner_read | (int)std::filesystem::perms::owner_write, (int)perms)
            << std::oct << mode;
    }
}
