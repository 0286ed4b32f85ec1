// The Users page: the list, what the dialog shows for one or several
// accounts, what a change leaves in the store, and the change message.
#include "ipc/ipc.h"
#include "platform/slot.h"
#include "users_support.h"

namespace userstest {
namespace {

using UsersPageTest = UsersTest;

TEST_F(UsersPageTest, ShowsOneOrSeveralAccountsAndWritesSeveralKeepingNamesAndPasswords) {
    UserAccount alice = Account("alice", "A-pass", "/a"), bob = Account("bob", "B-pass", "/b");
    alice.MaxConn = 3;
    alice.permissions = PERM_LIST | PERM_PUT;
    bob.permissions = PERM_GET | PERM_CREATE;
    bob.accountFlags = ACCOUNT_ENABLE;
    Seed({bob, alice, Account("Carl")});
    EXPECT_EQ(Lines(), "alice bob Carl ");
    struct Row {
        std::vector<std::string> selected;
        const char* shown;  // name, root, home, limit, password ("*": disabled), then the checked boxes
    } rows[] = {
        {{}, "|||||enable restrict recurse list get "},  // "&New"
        {{"alice"}, "alice|~/a|~/a|3|        |enable restrict list put "},
        {{"alice", "bob"}, "alice*|~/a|~/a|3|        *|enable restrict create list get put "},
    };
    for (const Row& row : rows) {
        Select(row.selected);
        Dialog(row.selected.empty() ? "newButton" : "settingsButton", [&](QWidget* d) {
            std::string s;
            for (const char* f : {"name", "root", "home", "maxConn", "password"})
                s += Find(d, f)->text().replace(QString::fromStdString(RootDir()), "~").toStdString() +
                     (Find(d, f)->isEnabled() ? "|" : "*|");
            for (const char* box : {"enable", "anonymous", "restrict", "recurse", "create", "deleteDir", "list",
                                    "get", "put", "deleteFile"})
                s += Find<QCheckBox>(d, box)->isChecked() ? std::string(box) + " " : "";
            EXPECT_EQ(s, row.shown);
        });
    }
    Select({"alice", "bob"});
    Dialog(nullptr, "root=" + RootDir() + "|home=" + RootDir() + "/pub|maxConn=|ok");
    EXPECT_EQ(Summary(), "alice ~ ~/pub 0; bob ~ ~/pub 0; Carl ~ ~ 0; ");
    for (const UserAccount& a : Stored()) {
        if (a.name[0] != 'C') EXPECT_EQ(a.permissions, PERM_LIST | PERM_GET | PERM_PUT | PERM_CREATE) << a.name;
    }
    EXPECT_TRUE(LogsIn("alice", "A-pass") && LogsIn("bob", "B-pass"));
}

// The server's timer may reload the list while the dialog is open.
TEST_F(UsersPageTest, ReloadWhileOpenWritesTheOpenedAccountWhereverItIsNow) {
    struct Row {
        std::vector<const char*> reloaded;
        const char* after;
    } rows[] = {
        {{"aaron", "bob", "alice"}, "aaron ~ ~ 0; alice ~/new ~/new 0; bob ~ ~ 0; "},  // alice moved
        {{"bob"}, "bob ~ ~ 0; "},                                                      // alice gone
    };
    for (const Row& row : rows) {
        Seed({Account("alice"), Account("bob")});
        Select({"alice"});
        Dialog("settingsButton", [&](QWidget* d) {
            UserList other;
            for (const char* name : row.reloaded) other.accounts.push_back(Account(name));
            OpenRegApp("Brindlex");
            SetRegUsers(&other);
            GetRegUsers(&userList);
            CloseRegApp();
            Do(d, "root=" + RootDir() + "/new|home=|ok");
        });
        EXPECT_EQ(Summary(), row.after);
        EXPECT_EQ(userList.accounts.size(), row.reloaded.size());
    }
}

TEST_F(UsersPageTest, DeleteAsksAndRemovesTheSelectedAccounts) {
    Seed({Account("zoe"), Account("Bob"), Account("adam"), Account("carl")});
    struct Row {
        std::vector<std::string> selected;
        QMessageBox::StandardButton answer;
        const char* left;
    } rows[] = {
        {{"adam", "zoe"}, QMessageBox::No, "adam Bob carl zoe "},
        {{"adam", "zoe"}, QMessageBox::Yes, "Bob carl "},
        {{}, QMessageBox::Yes, "Bob carl "},
        {{"Bob", "carl"}, QMessageBox::Yes, ""},
    };
    for (const Row& row : rows) {
        Select(row.selected);
        answer = row.answer;
        Find<QPushButton>(page.get(), "deleteButton")->click();
        EXPECT_EQ(shown, "Brindlex|Okay to delete?|none|icon 0");
        shown.clear();
        std::string stored;
        for (const UserAccount& a : Stored()) stored += std::string(a.name) + " ";
        EXPECT_EQ(Lines(), row.left);
        EXPECT_EQ(stored.size(), Lines().size());
    }
    Find<QPushButton>(page.get(), "deleteButton")->click();  // an empty list: nothing asked
    EXPECT_EQ(shown, "");
}

TEST_F(UsersPageTest, CancelChangesNothingAndOkLeavesTheRecord) {
    Seed({Account("alice", "pw")});
    for (const char* end : {"", "|ok"}) {
        Select({"alice"});
        Dialog("settingsButton", std::string("name=renamed|password=other|verify=other|+put") + end);
    }
    EXPECT_EQ(Summary() + Lines(), "renamed ~ ~ 0; renamed ");
    EXPECT_EQ(bxtest::CountOf(LogText(), "dockhand: Line 2093."), 1);
}

// In the admin role each completed change is announced, once and without data.
TEST_F(UsersPageTest, AdminRoleTellsTheServerAfterEachChange) {
    int reader = SlotCreate("\\\\.\\mailslot\\Quennel\\Brindlex\\Server", 0, 1);
    processRole = ROLE_ADMIN;
    IpcStartup();
    Seed({Account("alice")});
    auto messages = [&] {
        std::string got;
        uint8_t message[IPC_MESSAGE_MAX];
        uint32_t read = 0, next = 0, waiting = 0;
        while (SlotInfo(reader, &next, &waiting) && waiting && SlotRead(reader, message, sizeof message, &read))
            got += std::to_string(message[0]) + "/" + std::to_string(read) + " ";
        return got;
    };
    Dialog("newButton", "name=x");
    EXPECT_EQ(messages(), "");
    Dialog("newButton", "name=bob|root=/srv|ok");
    EXPECT_EQ(messages() + Lines(), "7/4 alice bob ");
    answer = QMessageBox::Yes;
    Find<QPushButton>(page.get(), "deleteButton")->click();
    EXPECT_EQ(messages(), "7/4 ");
    IpcShutdown();
    SlotClose(reader);
}

}  // namespace
}  // namespace userstest
