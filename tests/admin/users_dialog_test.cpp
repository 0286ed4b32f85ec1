// The settings dialog's OK: each refusal (text, caption, owner, stop icon,
// focus, dialog left open, list and store unchanged) and what an accepted
// entry stores.
#include "users_support.h"

namespace userstest {
namespace {

using UsersDialog = UsersTest;

struct Refusal {
    std::string caption, text, focus;
    bool ownedByDialog;
};
const Refusal kBlankName = {"Settings", "The user name can't be blank.", "name", true};
const Refusal kNoLetter = {"Settings", "The user name must start with a letter.", "name", true};
const Refusal kBadChars = {"Settings", "Invalid characters in name.", "name", true};
const Refusal kHome = {"Settings", "The home directory must be the same as or a subdirectory of the root directory.",
                       "home", true};
const Refusal kRootBlank = {"Settings", "The root directory can't be blank.", "root", true};
const Refusal kConnections = {"Brindlex", "Number of connections out of range.  Must be less than 65536.",
                              "maxConn", false};
const Refusal kNotVerified = {"Brindlex", "The password is not verified.  Please re-enter.", "password", false};
const Refusal kTaken = {"Brindlex", "That user name is already in use.", "name", false};

// Fills a new account's dialog with fill, presses OK and checks the refusal
// (or, with none, that it closed).
class NewAccount : public UsersDialog {
protected:
    void SetUp() override {
        UsersDialog::SetUp();
        Seed({Account("existing", RootDir())});
    }
    void Expect(const std::string& row, const std::function<void(QWidget*)>& fill, const Refusal* refusal) {
        SCOPED_TRACE(row);
        auto before = Stored();
        auto lines = Lines();
        shown.clear();
        QWidget* focus = nullptr;
        QWidget* dialogSeen = nullptr;
        bool open = WithDialog("newButton", [&](QWidget* dialog) {
            dialogSeen = dialog;
            Type(dialog, "root", RootDir());
            fill(dialog);
            PressOk(dialog);
            focus = dialog->focusWidget();
        });
        if (!refusal) {
            EXPECT_FALSE(open);
            EXPECT_EQ(shown.size(), 0u) << (shown.empty() ? "" : shown[0].text);
            return;
        }
        EXPECT_TRUE(open) << "the dialog closed";
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].caption, refusal->caption);
        EXPECT_EQ(shown[0].text, refusal->text);
        EXPECT_EQ(shown[0].icon, QMessageBox::Critical);
        EXPECT_EQ(shown[0].owner, refusal->ownedByDialog ? dialogSeen : nullptr);
        EXPECT_EQ(focus ? focus->objectName().toStdString() : "", refusal->focus);
        EXPECT_EQ(Stored().size(), before.size());
        EXPECT_EQ(Lines(), lines);
    }
};

TEST_F(NewAccount, NameRules) {
    struct Row {
        const char* typed;
        const char* stored;  // nullptr: refused
        const Refusal* refusal;
    };
    const Row rows[] = {
        {"NewUser", "newuser", nullptr},
        {"  padded  ", "padded", nullptr},
        {"a.b-c_9", "a.b-c_9", nullptr},
        {"", nullptr, &kBlankName},
        {"    ", nullptr, &kBlankName},
        {"9lives", nullptr, &kNoLetter},
        {"_under", nullptr, &kNoLetter},
        {"two words", nullptr, &kBadChars},
        {"ümlaut", nullptr, &kBadChars},
        {"semi;colon", nullptr, &kBadChars},
    };
    for (const Row& row : rows) {
        Expect(row.typed, [&](QWidget* d) { Type(d, "name", row.typed); }, row.refusal);
        if (row.stored) {
            EXPECT_NE(StoredNamed(Stored(), row.stored), nullptr) << row.typed;
        }
    }
}

TEST_F(NewAccount, HomeMustBeTheRootOrBelowIt) {
    struct Row {
        const char* root;
        const char* home;
        const char* stored;  // nullptr: refused
    };
    const Row rows[] = {
        {"/data", "/data", "/data"},
        {"/data", "/DATA", "/DATA"},
        {"/data", "/data/pub", "/data/pub"},
        {"/data", "/data\\pub", "/data\\pub"},
        {"/data", "", "/data"},
        {"/data", "  /data/pub  ", "/data/pub"},
        {"/data", "/database", nullptr},
        {"/data", "/other", nullptr},
        {"/data", "/mnt/data/pub", nullptr},
        {"/", "/", "/"},
        {"/", "/pub", nullptr},  // the character after a root ending in "/" is a letter
    };
    int n = 0;
    for (const Row& row : rows) {
        std::string name = "h" + std::to_string(n++);
        Expect(std::string(row.root) + " " + row.home, [&](QWidget* d) {
            Type(d, "name", name);
            Type(d, "root", row.root);
            Type(d, "home", row.home);
        }, row.stored ? nullptr : &kHome);
        if (!row.stored) continue;
        const UserAccount* a = StoredNamed(Stored(), name);
        ASSERT_NE(a, nullptr) << row.home;
        EXPECT_STREQ(a->Root, row.root);
        EXPECT_STREQ(a->Home, row.stored) << row.home;
    }
}

TEST_F(NewAccount, NumbersPasswordsAndRootRules) {
    struct Row {
        const char* what;
        std::function<void(QWidget*)> fill;
        const Refusal* refusal;
        int maxConn;  // stored, when accepted
    };
    const Row rows[] = {
        {"limit 65535", [](QWidget* d) { Type(d, "maxConn", "65535"); }, nullptr, 65535},
        {"limit with blank", [](QWidget* d) { Type(d, "maxConn", " 12"); }, nullptr, 12},
        {"limit not a number", [](QWidget* d) { Type(d, "maxConn", "abc"); }, nullptr, 0},
        {"limit 99999", [](QWidget* d) { Type(d, "maxConn", "99999"); }, &kConnections, 0},
        {"limit -1", [](QWidget* d) { Type(d, "maxConn", "-1"); }, &kConnections, 0},
        {"root blank", [](QWidget* d) { Type(d, "root", "   "); }, &kRootBlank, 0},
        {"verify differs in case", [](QWidget* d) { Type(d, "password", "Secret"); Type(d, "verify", "secret"); },
         &kNotVerified, 0},
        {"verify has a trailing blank", [](QWidget* d) { Type(d, "password", "abc"); Type(d, "verify", "abc "); },
         &kNotVerified, 0},
        {"verify empty", [](QWidget* d) { Type(d, "password", "abc"); }, &kNotVerified, 0},
        {"anonymous ignores the fields", [](QWidget* d) {
             Type(d, "password", "abc");
             Check(d, "anonymous", true);
         }, nullptr, 0},
        {"taken in other case", [](QWidget* d) { Type(d, "name", "EXISTING"); }, &kTaken, 0},
    };
    int n = 0;
    for (const Row& row : rows) {
        std::string name = "n" + std::to_string(n++);
        Expect(row.what, [&](QWidget* d) {
            Type(d, "name", name);
            row.fill(d);
        }, row.refusal);
        const UserAccount* a = StoredNamed(Stored(), name);
        if (row.refusal) continue;
        ASSERT_NE(a, nullptr) << row.what;
        EXPECT_EQ(a->MaxConn, row.maxConn) << row.what;
    }
}

TEST_F(NewAccount, FieldsHoldNoMoreThanTheirLimits) {
    struct Row {
        const char* field;
        size_t limit;
    };
    const Row rows[] = {{"name", 64}, {"password", 16}, {"verify", 16}, {"maxConn", 5}, {"root", 259}, {"home", 259}};
    WithDialog("newButton", [&](QWidget* d) {
        for (const Row& row : rows) {
            Type(d, row.field, std::string(row.limit + 1, '7'));
            EXPECT_EQ(Text(d, row.field), std::string(row.limit, '7')) << row.field;
            // Two-byte characters count as the bytes the record holds.
            Type(d, row.field, std::string(row.limit / 2 * 2 + 2, 'x').replace(0, 2, "é"));
            EXPECT_LE(Find<QLineEdit>(d, row.field)->text().toUtf8().size(), (qsizetype)row.limit) << row.field;
        }
    });
}

TEST_F(UsersDialog, DuplicateNamesSkipOnlyTheEditedAccount) {
    Seed({Account("alice", RootDir()), Account("bob", RootDir())});
    struct Row {
        const char* rename;
        bool accepted;
        std::vector<std::string> lines;
    };
    const Row rows[] = {
        {"ALICE", true, {"alice", "bob"}},
        {"Bob", false, {"alice", "bob"}},
        {"alicia", true, {"alicia", "bob"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.rename);
        Select({Lines()[0].c_str()});
        bool open = WithDialog("settingsButton", [&](QWidget* d) {
            Type(d, "name", row.rename);
            PressOk(d);
        });
        EXPECT_EQ(open, !row.accepted);
        EXPECT_EQ(TakeShown(), row.accepted ? "" : kTaken.caption + "|" + kTaken.text);
        EXPECT_EQ(Lines(), row.lines);
        std::vector<std::string> stored;
        for (const UserAccount& a : Stored()) stored.push_back(a.name);
        std::sort(stored.begin(), stored.end());
        EXPECT_EQ(stored, row.lines);
    }
}

}  // namespace
}  // namespace userstest
