// The Users page: the list it shows, deleting, and what each completed
// change leaves in the store and sends to a running server.
#include "users_support.h"

namespace userstest {
namespace {

using UsersPageTest = UsersTest;

TEST_F(UsersPageTest, ListsEveryAccountSortedAndRefillsAfterAChange) {
    Seed({Account("zoe", RootDir()), Account("Bob", RootDir()), Account("adam", RootDir()),
          Account("bob", RootDir())});
    EXPECT_EQ(Lines(), (std::vector<std::string>{"adam", "Bob", "bob", "zoe"}));
    EXPECT_EQ(List()->selectionMode(), QAbstractItemView::ExtendedSelection);
}

}  // namespace
}  // namespace userstest
