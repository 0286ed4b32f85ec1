// The Users page and its settings dialog: the list, what the dialog shows for
// one or several accounts, every refusal of its OK (message, focus; the
// dialog stays open and a cancel then changes nothing), what a change leaves
// in the store, and the change message the admin role sends after each.
#include <QImage>

#include "admin_fixture.h"

namespace {

TEST_F(UsersTest, OkRefusesWithTheMessageAndFocusOrStores) {
    AdminRole();
    Seed({Account("alice"), Account("bob")});
    const std::string home =
        "The home directory must be the same as or a subdirectory of the root directory.";
    const std::string blank = "Settings|The user name can't be blank.|dialog name";
    const std::string letter = "Settings|The user name must start with a letter.|dialog name";
    const std::string chars = "Settings|Invalid characters in name.|dialog name";
    const std::string limit =
        "Brindlex|Number of connections out of range.  Must be less than 65536.|none maxConn";
    const std::string verify =
        "Brindlex|The password is not verified.  Please re-enter.|none password";
    const std::string inUse = "Brindlex|That user name is already in use.|none name";
    struct Row {
        const char* edited; // the account whose settings are open; nullptr: "&New"
        const char* steps;  // after a root of "/data"
        std::string shown;  // message box, then the field with the focus; "" = stored
        const char* stored;
    } rows[] = {
        {nullptr, "name=  NewUser  ", "", "newuser /data /data 0"},
        {nullptr, "name=a.b-c_9|home=/DATA|maxConn= 12", "", "a.b-c_9 /data /DATA 12"},
        {nullptr, "name=h1|home=/data/pub|maxConn=abc", "", "h1 /data /data/pub 0"},
        {nullptr, "name=h2|home=  /data\\pub  |maxConn=65535", "", "h2 /data /data\\pub 65535"},
        {nullptr, "name=r|root=/|home=/", "", "r / / 0"},
        {nullptr, "name=", blank, ""},
        {nullptr, "name=    ", blank, ""},
        {nullptr, "name=9lives", letter, ""},
        {nullptr, "name=_x", letter, ""},
        {nullptr, "name=two words", chars, ""},
        {nullptr, "name=ümlaut", chars, ""},
        {nullptr, "name=x|maxConn=99999", limit, ""},
        {nullptr, "name=x|maxConn=-1", limit, ""},
        {nullptr, "name=q|maxDownloadRate=512|maxUploadRate= 64 |quotaMiB=4294967295|quotaFiles=0",
         "", "q /data /data 0 512/64/4294967295/0"},
        {nullptr, "name=x|maxUploadRate=1k",
         "Brindlex|Upload rate: \"1k\" is not a number.|none maxUploadRate", ""},
        {nullptr, "name=x|quotaFiles=4294967296",
         "Brindlex|Quota of files: \"4294967296\" is not a number.|none quotaFiles", ""},
        {nullptr, "name=x|root=   ", "Settings|The root directory can't be blank.|dialog root", ""},
        {nullptr, "name=x|home=/database", "Settings|" + home + "|dialog home", ""},
        {nullptr, "name=x|home=/other", "Settings|" + home + "|dialog home", ""},
        {nullptr, "name=x|home=/mnt/data/pub", "Settings|" + home + "|dialog home", ""},
        {nullptr, "name=x|root=/|home=/pub", "Settings|" + home + "|dialog home",
         ""}, // the root ends in "/"
        {nullptr, "name=x|password=Secret|verify=secret", verify, ""},
        {nullptr, "name=x|password=abc|verify=abc ", verify, ""},
        {nullptr, "name=BOB", inUse, ""},
        // The name in use is checked against every account but the edited one.
        {"alice", "home=/data|name=Bob", inUse, ""},
        {"alice", "home=/data|name=ALICE", "", "alice /data /data 0"},
        {"alice", "home=/data|name=alicia", "", "alicia /data /data 0; bob"},
    };
    for (const Row& row : rows) {
        std::string before = Summary() + Lines();
        Select({row.edited ? row.edited : ""});
        std::string focus = Dialog(row.edited ? "settingsButton" : "newButton",
                                   std::string("root=/data|") + row.steps + "|ok");
        EXPECT_EQ(shown + (focus == "closed" ? "" : " " + focus), row.shown) << row.steps;
        shown.clear();
        // The admin role announces each completed change, once and without data.
        EXPECT_EQ(Sent(), *row.stored ? "7/4 " : "") << row.steps;
        if (*row.stored)
            EXPECT_NE(Summary().find(row.stored), std::string::npos)
                << row.steps << ": " << Summary();
        else
            EXPECT_EQ(Summary() + Lines(), before) << row.steps;
    }
    EXPECT_EQ(Lines().find("alice "), std::string::npos) << "renamed, not added: " << Lines();
}

TEST_F(UsersTest, FieldsTakeNoMoreBytesThanTheAccountHolds) {
    Seed({});
    Dialog("newButton", [](QWidget* d) {
        for (auto [field, limit] : {std::pair{"name", 64},
                                    {"password", 16},
                                    {"verify", 16},
                                    {"maxConn", 5},
                                    {"quotaMiB", 10},
                                    {"root", 259},
                                    {"home", 259}}) {
            Do(d, std::string(field) + "=" + std::string(limit + 1, '7'));
            EXPECT_EQ(Find(d, field)->text().size(), limit) << field;
            Do(d, std::string(field) + "=é" + std::string(limit - 1, '7')); // "é" takes two bytes
            EXPECT_LE(Find(d, field)->text().toUtf8().size(), limit) << field;
        }
    });
}

// Over a real socket: the password logs in exactly as typed, never in lower case.
TEST_F(UsersTest, PasswordsLogInExactlyAsTyped) {
    Seed({Account("keep", "Old-Pass")});
    const std::string oldPW = userList.accounts[0].PW;
    struct Row {
        std::string name; // "keep" is edited, any other is new
        const char* steps;
        const char* good; // nullptr: PW must be empty
        const char* bad;
    } rows[] = {
        {"keep", "ok", "Old-Pass", "old-pass"},            // eight blanks left: kept
        {"keep", "password=|verify=|ok", "Old-Pass", "x"}, // both cleared: kept
        {"keep", "password= N3w Pw |verify= N3w Pw |ok", "N3w Pw", "Old-Pass"},
        {"fresh", "password=MiXed-9|verify=MiXed-9|ok", "MiXed-9", "mixed-9"},
        {"open", "ok", nullptr, nullptr},
        {"anon", "password=secret|+anonymous|ok", nullptr, nullptr},
    };
    for (const Row& row : rows) {
        Select({"keep"});
        Dialog(row.name == "keep" ? "settingsButton" : "newButton",
               "root=" + RootDir() + "|name=" + row.name + "|" + row.steps);
        const UserAccount* a = nullptr;
        for (const UserAccount& s : userList.accounts)
            a = row.name == s.name ? &s : a;
        ASSERT_NE(a, nullptr) << row.steps;
        EXPECT_EQ(strlen(a->PW), row.good ? 36u : 0u) << row.steps;
        if (!row.good) continue;
        EXPECT_EQ(a->PW == oldPW, std::string(row.good) == "Old-Pass") << row.steps;
        EXPECT_TRUE(LogsIn(row.name, row.good)) << row.steps;
        EXPECT_FALSE(LogsIn(row.name, row.bad)) << row.steps;
    }
    EXPECT_TRUE(LogsIn("open", "anything"));
}

TEST_F(UsersTest, ShowsOneOrSeveralAccountsAndWritesSeveralKeepingNamesAndPasswords) {
    UserAccount alice = Account("alice", "A-pass", "/a"), bob = Account("bob", "B-pass", "/b");
    alice.MaxConn = 3;
    alice.permissions = PERM_LIST | PERM_PUT;
    bob.permissions = PERM_GET | PERM_CREATE;
    bob.accountFlags = ACCOUNT_ENABLE;
    alice.QuotaMiB = 7; // limits the accounts differ on stay each one's own
    bob.MaxDownloadRate = 64;
    alice.QuotaFiles = bob.QuotaFiles = 900; // a limit they share is shown
    Seed({bob, alice, Account("Carl")});
    EXPECT_EQ(Lines(), "alice bob Carl ");
    struct Row {
        std::vector<std::string> selected;
        // name, root, home, limit, password ("*": disabled), download rate,
        // quota, files, then the checked boxes
        const char* shown;
    } rows[] = {
        {{}, "||||||||enable restrict recurse list get "}, // "&New"
        {{"alice"}, "alice|~/a|~/a|3|        ||7|900|enable restrict list put "},
        {{"alice", "bob"}, "alice*|~/a|~/a|3|        *|||900|enable restrict create list get put "},
    };
    for (const Row& row : rows) {
        Select(row.selected);
        Dialog(row.selected.empty() ? "newButton" : "settingsButton", [&](QWidget* d) {
            std::string s;
            for (const char* f : {"name", "root", "home", "maxConn", "password", "maxDownloadRate",
                                  "quotaMiB", "quotaFiles"})
                s += Find(d, f)
                         ->text()
                         .replace(QString::fromStdString(RootDir()), "~")
                         .toStdString() +
                     (Find(d, f)->isEnabled() ? "|" : "*|");
            for (const char* box : {"enable", "anonymous", "restrict", "recurse", "create",
                                    "deleteDir", "list", "get", "put", "deleteFile"})
                s += Find<QCheckBox>(d, box)->isChecked() ? std::string(box) + " " : "";
            EXPECT_EQ(s, row.shown);
        });
    }
    Select({"alice", "bob"});
    Dialog(nullptr, "root=" + RootDir() + "|home=" + RootDir() + "/pub|maxConn=|ok");
    EXPECT_EQ(Summary(), "alice ~ ~/pub 0 0/0/7/900; bob ~ ~/pub 0 64/0/0/900; Carl ~ ~ 0; ");
    for (const UserAccount& a : Stored())
        EXPECT_TRUE(a.name[0] == 'C' ||
                    a.permissions == (PERM_LIST | PERM_GET | PERM_PUT | PERM_CREATE))
            << a.name;
    EXPECT_TRUE(LogsIn("alice", "A-pass") && LogsIn("bob", "B-pass") && !LogsIn("bob", "A-pass"));
    // A value typed where they differ, or cleared where they agree, is each one's.
    Select({"alice", "bob"});
    Dialog(nullptr, "quotaMiB=5|quotaFiles=|ok");
    EXPECT_EQ(Summary(), "alice ~ ~/pub 0 0/0/5/0; bob ~ ~/pub 0 64/0/5/0; Carl ~ ~ 0; ");
}

// The server's timer may reload the list while the dialog is open.
TEST_F(UsersTest, ReloadWhileOpenWritesTheOpenedAccountWhereverItIsNow) {
    struct Row {
        std::vector<const char*> reloaded;
        const char* after;
    } rows[] = {
        {{"aaron", "bob", "alice"}, "aaron ~ ~ 0; alice ~/new ~/new 0; bob ~ ~ 0; "}, // alice moved
        {{"bob"}, "bob ~ ~ 0; "},                                                     // alice gone
    };
    for (const Row& row : rows) {
        Seed({Account("alice"), Account("bob")});
        Select({"alice"});
        Dialog("settingsButton", [&](QWidget* d) {
            UserList other;
            for (const char* name : row.reloaded)
                other.accounts.push_back(Account(name));
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

TEST_F(UsersTest, DeleteAsksAndRemovesTheSelectedAccounts) {
    AdminRole();
    Seed({Account("zoe"), Account("Bob"), Account("adam"), Account("carl")});
    struct Row {
        std::vector<std::string> selected;
        QMessageBox::StandardButton answer;
        const char* left; // the page's lines and the stored names
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
        EXPECT_EQ(Sent(), row.answer == QMessageBox::Yes ? "7/4 " : "");
        std::string stored;
        for (const UserAccount& a : Stored())
            stored += std::string(a.name) + " ";
        EXPECT_EQ(Lines() + "/ " + stored, std::string(row.left) + "/ " + row.left);
    }
    Find<QPushButton>(page.get(), "deleteButton")->click(); // an empty list: nothing asked
    EXPECT_EQ(shown + Sent(), "");
}

// Pictures of the Users page with three accounts and of the settings dialog
// for one and for two, into BRINDLEX_SHOTS (scripts/screenshots.sh) or else a
// directory of the test's own; each is read back and holds the whole widget.
TEST_F(UsersTest, Shots) {
    bxtest::TempDir temp("bx-shots");
    QString dir = qEnvironmentVariable("BRINDLEX_SHOTS", QString::fromStdString(temp.path));
    auto shoot = [&](QWidget* widget, const QString& name) {
        QString path = dir + "/" + name + ".png";
        EXPECT_TRUE(widget->grab().save(path)) << path.toStdString();
        EXPECT_EQ(QImage(path).size(), widget->size()) << path.toStdString();
    };
    UserAccount guest = Account("guest"), mira = Account("mira", "pw"),
                builds = Account("builds", "pw");
    for (auto [a, path] :
         {std::pair{&guest, "/srv/ftp"}, {&mira, "/srv/ftp/mira"}, {&builds, "/srv/ftp/builds"}}) {
        snprintf(a->Root, sizeof a->Root, "%s", path);
        snprintf(a->Home, sizeof a->Home, "%s/pub", path);
    }
    guest.accountFlags |= ACCOUNT_ANONYMOUS;
    mira.MaxConn = 2;
    mira.MaxDownloadRate = 2048;
    mira.QuotaMiB = 10240;
    mira.permissions |= PERM_PUT | PERM_CREATE;
    Seed({mira, guest, builds});
    page->show();
    shoot(page.get(), "users-page");
    for (auto [count, selected] :
         {std::pair{"one", std::vector<std::string>{"mira"}}, {"two", {"builds", "mira"}}}) {
        Select(selected);
        UserDialog dialog(USER_DIALOG_EDIT, List(), page.get());
        dialog.show();
        shoot(&dialog, QString("user-settings-") + count);
    }
}

} // namespace
