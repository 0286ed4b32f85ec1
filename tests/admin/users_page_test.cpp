// The Users page: the list it shows, deleting, and what each completed
// change leaves in the store and sends to a running server.
#include "ipc/ipc.h"
#include "platform/slot.h"
#include "users_support.h"

namespace userstest {
namespace {

using UsersPageTest = UsersTest;

// The names, in the page's order.
std::string StoredNames(std::vector<UserAccount> accounts) {
    std::sort(accounts.begin(), accounts.end(),
              [](const UserAccount& a, const UserAccount& b) { return strcasecmp(a.name, b.name) < 0; });
    std::string names;
    for (const UserAccount& a : accounts) names += std::string(a.name) + " ";
    return names;
}

TEST_F(UsersPageTest, ListsSortedAndDeletesTheSelectedAccountsOnYes) {
    Seed({Account("zoe", RootDir()), Account("Bob", RootDir()), Account("adam", RootDir()),
          Account("carl", RootDir())});
    EXPECT_EQ(Lines(), (std::vector<std::string>{"adam", "Bob", "carl", "zoe"}));
    struct Row {
        std::initializer_list<const char*> selected;
        QMessageBox::StandardButton answer;
        const char* left;
    } rows[] = {
        {{"adam", "zoe"}, QMessageBox::No, "adam Bob carl zoe "},
        {{"adam", "zoe"}, QMessageBox::Yes, "Bob carl "},
        {{}, QMessageBox::Yes, "Bob carl "},
        {{"Bob"}, QMessageBox::Yes, "carl "},
    };
    for (const Row& row : rows) {
        Select(row.selected);
        answer = row.answer;
        Find<QPushButton>(page.get(), "deleteButton")->click();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(std::make_tuple(shown[0].owner, shown[0].caption, shown[0].text, shown[0].icon),
                  std::make_tuple((QWidget*)nullptr, std::string("Brindlex"), std::string("Okay to delete?"),
                                  QMessageBox::NoIcon));
        shown.clear();
        EXPECT_EQ(StoredNames(Stored()), row.left);
        EXPECT_EQ(StoredNames(userList.accounts), row.left);
    }
    EXPECT_EQ(Lines(), std::vector<std::string>{"carl"});
    Select({"carl"});
    Find<QPushButton>(page.get(), "deleteButton")->click();
    Find<QPushButton>(page.get(), "deleteButton")->click();  // nothing left: not asked again
    EXPECT_EQ(shown.size(), 1u);
    EXPECT_EQ(StoredNames(Stored()), "");
}

TEST_F(UsersPageTest, CancelChangesNothingAndOkLeavesTheRecord) {
    Seed({Account("alice", RootDir(), "pw")});
    auto edit = [&](bool ok) {
        Select({"alice"});
        WithDialog("settingsButton", [&](QWidget* d) {
            Type(d, "name", "renamed");
            Type(d, "password", "other");
            Type(d, "verify", "other");
            Check(d, "put", true);
            if (ok) PressOk(d);
        });
    };
    edit(false);
    EXPECT_EQ(StoredNames(Stored()) + Lines()[0], "alice alice");
    EXPECT_TRUE(LogsIn("alice", "pw"));
    EXPECT_EQ(LogCount("dockhand: Line 2093."), 0);
    edit(true);
    EXPECT_EQ(StoredNames(Stored()) + Lines()[0], "renamed renamed");
    EXPECT_EQ(LogCount("dockhand: Line 2093."), 1);
}

// In the admin role every completed change is announced to the server slot,
// once and without data; a cancelled dialog sends nothing.
TEST_F(UsersPageTest, AdminRoleTellsTheServerAfterEachChange) {
    int reader = SlotCreate("\\\\.\\mailslot\\Quennel\\Brindlex\\Server", 0, 1);
    ASSERT_GE(reader, 0);
    processRole = ROLE_ADMIN;
    IpcStartup();
    Seed({Account("alice", RootDir())});
    auto messages = [&] {
        std::string got;
        uint8_t message[IPC_MESSAGE_MAX];
        uint32_t read = 0, next = 0, waiting = 0;
        while (SlotInfo(reader, &next, &waiting) && waiting && SlotRead(reader, message, sizeof message, &read))
            got += std::to_string(message[0]) + "/" + std::to_string(read) + " ";
        return got;
    };
    WithDialog("newButton", [&](QWidget* d) { Type(d, "name", "x"); });  // cancelled
    EXPECT_EQ(messages(), "");
    WithDialog("newButton", [&](QWidget* d) {
        Type(d, "name", "bob");
        Type(d, "root", RootDir());
        PressOk(d);
    });
    EXPECT_EQ(messages(), "7/4 ");
    EXPECT_EQ(StoredNames(Stored()), "alice bob ");
    Select({"alice"});
    answer = QMessageBox::Yes;
    Find<QPushButton>(page.get(), "deleteButton")->click();
    EXPECT_EQ(messages(), "7/4 ");
    IpcShutdown();
    SlotClose(reader);
    processRole = ROLE_SERVER;
}

}  // namespace
}  // namespace userstest
