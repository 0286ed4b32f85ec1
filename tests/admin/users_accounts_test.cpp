// What the dialog shows for the accounts it opens, and what its OK leaves in
// the list, the store and the logins of the running engine.
#include "users_support.h"

namespace userstest {
namespace {

using UsersAccounts = UsersTest;

TEST_F(UsersAccounts, PasswordsLogInExactlyAsTyped) {
    Seed({Account("keep", RootDir(), "Old-Pass")});
    const std::string oldPW = userList.accounts[0].PW;
    struct Row {
        const char* name;  // "keep": edited, else new
        const char* typed;  // nullptr: fields left as shown
        bool anonymous;
        const char* logsIn;  // nullptr: PW must be empty
        const char* refused;
    } rows[] = {
        {"keep", nullptr, false, "Old-Pass", "old-pass"},
        {"keep", "", false, "Old-Pass", "x"},
        {"keep", " N3w Pw ", false, "N3w Pw", "Old-Pass"},
        {"fresh", "MiXed-9", false, "MiXed-9", "mixed-9"},
        {"open", "", false, nullptr, nullptr},
        {"anon", "secret", true, nullptr, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.name) + " " + (row.typed ? row.typed : "untouched"));
        if (std::string(row.name) == "keep") Select({"keep"});
        WithDialog(std::string(row.name) == "keep" ? "settingsButton" : "newButton", [&](QWidget* d) {
            Type(d, "name", row.name);
            Type(d, "root", RootDir());
            if (row.typed) Type(d, "password", row.typed), Type(d, "verify", row.typed);
            Check(d, "anonymous", row.anonymous);
            EXPECT_EQ(Find<QLineEdit>(d, "password")->isEnabled(), !row.anonymous);
            PressOk(d);
        });
        const UserAccount* a = StoredNamed(Stored(), row.name);
        ASSERT_NE(a, nullptr);
        if (!row.logsIn) {
            EXPECT_STREQ(a->PW, "");
            continue;
        }
        ASSERT_EQ(strlen(a->PW), 36u);
        if (!row.typed || !*row.typed) EXPECT_EQ(a->PW, oldPW);
        EXPECT_TRUE(LogsIn(row.name, row.logsIn));
        EXPECT_FALSE(LogsIn(row.name, row.refused));
    }
    EXPECT_TRUE(LogsIn("open", "anything"));
}

TEST_F(UsersAccounts, ShowsOneAccountOrSeveralAndWritesSeveralKeepingNamesAndPasswords) {
    UserAccount alice = Account("alice", RootDir() + "/a", "A-pass"), bob = Account("bob", RootDir() + "/b", "B-pass");
    alice.MaxConn = 3;
    alice.permissions = PERM_LIST | PERM_PUT;
    bob.permissions = PERM_GET | PERM_CREATE;
    bob.accountFlags = ACCOUNT_ENABLE;
    Seed({bob, alice});
    const std::string alicePW = alice.PW, bobPW = bob.PW;
    auto checked = [](QWidget* d) {
        std::string on;
        for (const char* box : {"enable", "anonymous", "restrict", "recurse", "create", "deleteDir", "list", "get",
                                "put", "deleteFile"})
            if (Find<QCheckBox>(d, box)->isChecked()) on += std::string(box) + " ";
        return on;
    };
    struct Row {
        std::initializer_list<const char*> selected;
        const char* shown;  // name, root, home, limit, password, checked boxes; "*" after disabled fields
    } rows[] = {
        {{}, "|||||enable restrict recurse list get "},  // a new account
        {{"alice"}, "alice|/a|/a|3|        |enable restrict list put "},
        {{"alice", "bob"}, "alice*|/a|/a|3|        *|enable restrict create list get put "},
    };
    for (const Row& row : rows) {
        Select(row.selected);
        WithDialog(row.selected.size() ? "settingsButton" : "newButton", [&](QWidget* d) {
            std::string s;
            for (const char* f : {"name", "root", "home", "maxConn", "password"}) {
                std::string t = Text(d, f);
                if (t.rfind(RootDir(), 0) == 0) t.erase(0, RootDir().size());
                s += t + (Find<QLineEdit>(d, f)->isEnabled() ? "" : "*") + "|";
            }
            EXPECT_EQ(s + checked(d), row.shown);
        });
    }
    Select({"alice", "bob"});
    WithDialog(nullptr, [&](QWidget* d) {
        EXPECT_FALSE(Find<QCheckBox>(d, "anonymous")->isEnabled());
        Type(d, "root", RootDir());
        Type(d, "home", RootDir() + "/pub");
        Type(d, "maxConn", "");
        PressOk(d);
    });
    std::vector<UserAccount> stored = Stored();
    ASSERT_EQ(stored.size(), 2u);
    for (const UserAccount& a : stored) {
        EXPECT_EQ(std::string(a.Root) + " " + a.Home, RootDir() + " " + RootDir() + "/pub") << a.name;
        EXPECT_EQ(a.MaxConn, 0) << a.name;
        EXPECT_EQ(a.permissions, PERM_LIST | PERM_GET | PERM_PUT | PERM_CREATE) << a.name;
        EXPECT_EQ(a.PW, std::string(a.name) == "alice" ? alicePW : bobPW);
    }
    EXPECT_TRUE(LogsIn("bob", "B-pass"));
}

TEST_F(UsersAccounts, ReloadWhileOpenWritesTheOpenedAccountWhereverItIsNow) {
    struct Row {
        const char* what;
        std::vector<const char*> reloaded;  // the store's accounts when the list is reloaded
        const char* after;                  // name:root of each account afterwards
    } rows[] = {
        {"moved", {"aaron", "bob", "alice"}, "aaron:/ alice:/new bob:/ "},  // the store lists by name
        {"removed", {"bob"}, "bob:/ "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Seed({Account("alice", RootDir()), Account("bob", RootDir())});
        Select({"alice"});
        WithDialog("settingsButton", [&](QWidget* d) {
            UserList other;
            for (const char* name : row.reloaded) other.accounts.push_back(Account(name, RootDir()));
            ASSERT_TRUE(OpenRegApp("Brindlex"));
            SetRegUsers(&other);
            GetRegUsers(&userList);  // as the server's timer does on a change message
            CloseRegApp();
            Type(d, "root", RootDir() + "/new");
            Type(d, "home", "");
            PressOk(d);
        });
        std::string after;
        for (const UserAccount& a : userList.accounts)
            after += std::string(a.name) + ":" + (a.Root == RootDir() ? "/" : a.Root + RootDir().size()) + " ";
        EXPECT_EQ(after, row.after);
    }
}

}  // namespace
}  // namespace userstest
