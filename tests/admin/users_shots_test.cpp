// Pictures of the Users page with three accounts and of the settings dialog
// for one and for two, written when BRINDLEX_SHOTS names a directory.
#include "users_support.h"

namespace userstest {
namespace {

TEST_F(UsersTest, Shots) {
    QString dir = qEnvironmentVariable("BRINDLEX_SHOTS");
    if (dir.isEmpty()) GTEST_SKIP() << "BRINDLEX_SHOTS not set";
    UserAccount guest = Account("guest"), mira = Account("mira", "pw"), builds = Account("builds", "pw");
    for (auto [a, path] : {std::pair{&guest, "/srv/ftp"}, {&mira, "/srv/ftp/mira"}, {&builds, "/srv/ftp/builds"}})
        snprintf(a->Root, sizeof a->Root, "%s", path), snprintf(a->Home, sizeof a->Home, "%s/pub", path);
    guest.accountFlags |= ACCOUNT_ANONYMOUS;
    mira.MaxConn = 2;
    mira.permissions |= PERM_PUT | PERM_CREATE;
    Seed({mira, guest, builds});
    page->show();
    EXPECT_TRUE(page->grab().save(dir + "/users-page.png"));
    for (const char* count : {"one", "two"}) {
        Select(count == std::string("one") ? std::vector<std::string>{"mira"} : std::vector<std::string>{"builds", "mira"});
        UserDialog dialog(USER_DIALOG_EDIT, List(), page.get());
        dialog.show();
        EXPECT_TRUE(dialog.grab().save(dir + "/user-settings-" + count + ".png"));
    }
}

}  // namespace
}  // namespace userstest
