// Pictures of the Users page with three accounts and of the settings dialog
// for one and for two of them, written only when BRINDLEX_SHOTS names a
// directory (scripts/screenshots.sh sets it).
#include "users_support.h"

namespace userstest {
namespace {

using UsersShots = UsersTest;

TEST_F(UsersShots, PageAndDialogs) {
    const char* dir = getenv("BRINDLEX_SHOTS");
    if (!dir || !*dir) GTEST_SKIP() << "BRINDLEX_SHOTS not set";
    UserAccount guest = Account("guest", "/srv/ftp"), mira = Account("mira", "/srv/ftp/mira", "pw");
    guest.accountFlags |= ACCOUNT_ANONYMOUS;
    mira.MaxConn = 2;
    mira.permissions |= PERM_PUT | PERM_CREATE;
    Seed({mira, guest, Account("builds", "/srv/ftp/builds", "pw")});
    page->show();
    EXPECT_TRUE(page->grab().save(QString(dir) + "/users-page.png"));
    const char* files[] = {"user-settings-one.png", "user-settings-two.png"};
    for (const char* file : files) {
        file == files[0] ? Select({"mira"}) : Select({"builds", "mira"});
        UserDialog dialog(USER_DIALOG_EDIT, List(), page.get());
        dialog.show();
        EXPECT_TRUE(dialog.grab().save(QString(dir) + "/" + file));
    }
}

}  // namespace
}  // namespace userstest
