// The settings dialog's OK: every refusal (caption, text, owner, stop icon,
// focus; the dialog stays open and nothing changes) and what is stored.
#include "users_support.h"

namespace userstest {
namespace {

using UsersDialog = UsersTest;

TEST_F(UsersDialog, NewAccountRules) {
    Seed({Account("existing")});
    const std::string home = "The home directory must be the same as or a subdirectory of the root directory.";
    struct Row {
        const char* steps;  // after a root of "/data"
        std::string shown;  // message box, then the field with the focus; "" = stored
        const char* stored;
    } rows[] = {
        {"name=  NewUser  ", "", "newuser /data /data 0"},
        {"name=a.b-c_9|home=/DATA|maxConn= 12", "", "a.b-c_9 /data /DATA 12"},
        {"name=h1|home=/data/pub|maxConn=abc", "", "h1 /data /data/pub 0"},
        {"name=h2|home=  /data\\pub  |maxConn=65535", "", "h2 /data /data\\pub 65535"},
        {"name=r|root=/|home=/", "", "r / / 0"},
        {"name=", "Settings|The user name can't be blank.|dialog name", ""},
        {"name=    ", "Settings|The user name can't be blank.|dialog name", ""},
        {"name=9lives", "Settings|The user name must start with a letter.|dialog name", ""},
        {"name=_x", "Settings|The user name must start with a letter.|dialog name", ""},
        {"name=two words", "Settings|Invalid characters in name.|dialog name", ""},
        {"name=ümlaut", "Settings|Invalid characters in name.|dialog name", ""},
        {"name=x|maxConn=99999", "Brindlex|Number of connections out of range.  Must be less than 65536.|none maxConn", ""},
        {"name=x|maxConn=-1", "Brindlex|Number of connections out of range.  Must be less than 65536.|none maxConn", ""},
        {"name=x|root=   ", "Settings|The root directory can't be blank.|dialog root", ""},
        {"name=x|home=/database", "Settings|" + home + "|dialog home", ""},
        {"name=x|home=/other", "Settings|" + home + "|dialog home", ""},
        {"name=x|home=/mnt/data/pub", "Settings|" + home + "|dialog home", ""},
        {"name=x|root=/|home=/pub", "Settings|" + home + "|dialog home", ""},  // the root ends in "/"
        {"name=x|password=Secret|verify=secret", "Brindlex|The password is not verified.  Please re-enter.|none password", ""},
        {"name=x|password=abc|verify=abc ", "Brindlex|The password is not verified.  Please re-enter.|none password", ""},
        {"name=EXISTING", "Brindlex|That user name is already in use.|none name", ""},
    };
    for (const Row& row : rows) {
        std::string before = Summary(), lines = Lines();
        std::string focus = Dialog("newButton", std::string("root=/data|") + row.steps + "|ok");
        std::string got = shown + (focus == "closed" ? "" : " " + focus);
        shown.clear();
        EXPECT_EQ(got, row.shown) << row.steps;
        if (*row.stored) {
            EXPECT_NE(Summary().find(row.stored), std::string::npos) << row.steps << ": " << Summary();
        } else {
            EXPECT_EQ(Summary() + Lines(), before + lines) << row.steps;
        }
    }
}

TEST_F(UsersDialog, FieldsTakeNoMoreBytesThanTheAccountHolds) {
    Seed({});
    Dialog("newButton", [](QWidget* d) {
        for (auto [field, limit] : {std::pair{"name", 64}, {"password", 16}, {"verify", 16}, {"maxConn", 5},
                                    {"root", 259}, {"home", 259}}) {
            Do(d, std::string(field) + "=" + std::string(limit + 1, '7'));
            EXPECT_EQ(Find(d, field)->text().size(), limit) << field;
            Do(d, std::string(field) + "=é" + std::string(limit - 1, '7'));  // "é" takes two bytes
            EXPECT_LE(Find(d, field)->text().toUtf8().size(), limit) << field;
        }
    });
}

TEST_F(UsersDialog, RenamesSkipOnlyTheEditedAccount) {
    Seed({Account("alice"), Account("bob")});
    struct Row {
        const char* rename;
        std::string result;
    } rows[] = {
        {"ALICE", "closed alice bob "},
        {"Bob", "Brindlex|That user name is already in use.|none name alice bob "},
        {"alicia", "closed alicia bob "},
    };
    for (const Row& row : rows) {
        Select({List()->item(0)->text().toStdString()});
        std::string focus = Dialog("settingsButton", std::string("name=") + row.rename + "|ok");
        std::string stored;
        for (const UserAccount& a : Stored()) stored += std::string(a.name) + " ";
        EXPECT_EQ((focus == "closed" ? focus : shown + " " + focus) + " " + Lines(), row.result) << row.rename;
        EXPECT_EQ(stored, Lines()) << row.rename;
        shown.clear();
    }
}

// Over a real socket: the password logs in exactly as typed, never in lower case.
TEST_F(UsersDialog, PasswordsLogInExactlyAsTyped) {
    Seed({Account("keep", "Old-Pass")});
    const std::string oldPW = userList.accounts[0].PW;
    struct Row {
        std::string name;  // "keep" is edited, any other is new
        const char* steps;
        const char* good;  // nullptr: PW must be empty
        const char* bad;
    } rows[] = {
        {"keep", "ok", "Old-Pass", "old-pass"},  // eight blanks left: kept
        {"keep", "password=|verify=|ok", "Old-Pass", "x"},  // both cleared: kept
        {"keep", "password= N3w Pw |verify= N3w Pw |ok", "N3w Pw", "Old-Pass"},
        {"fresh", "password=MiXed-9|verify=MiXed-9|ok", "MiXed-9", "mixed-9"},
        {"open", "ok", nullptr, nullptr},
        {"anon", "password=secret|+anonymous|ok", nullptr, nullptr},
    };
    for (const Row& row : rows) {
        Select({"keep"});
        bool edit = row.name == "keep";
        Dialog(edit ? "settingsButton" : "newButton", "root=" + RootDir() + "|name=" + row.name + "|" + row.steps);
        std::string name = row.name;
        const UserAccount* a = nullptr;
        for (const UserAccount& s : userList.accounts) a = name == s.name ? &s : a;
        ASSERT_NE(a, nullptr) << row.steps;
        if (!row.good) {
            EXPECT_STREQ(a->PW, "") << row.steps;
            continue;
        }
        EXPECT_EQ(strlen(a->PW), 36u) << row.steps;
        EXPECT_EQ(a->PW == oldPW, std::string(row.good) == "Old-Pass") << row.steps;
        EXPECT_TRUE(LogsIn(name, row.good)) << row.steps;
        EXPECT_FALSE(LogsIn(name, row.bad)) << row.steps;
    }
    EXPECT_TRUE(LogsIn("open", "anything"));
}

}  // namespace
}  // namespace userstest
