// A second process for the store tests. Runs below the BRINDLEX_ROOT it is
// given and saves the accounts again and again until killed, alternating
// between two lists (see UsersVersionOf); prints "saved K" after each save,
// or "failed" and ends when the store cannot be opened.
#include <cstdio>

#include "config/config.h"
#include "config/users.h"

#include "users_versions.h"

int main() {
    for (long i = 1;; i++) {
        FillUsersVersion(&userList, (int)(i % 2) + 1);
        if (!OpenRegApp("Brindlex")) {
            puts("failed");
            return 1;
        }
        SetRegUsers(&userList);
        CloseRegApp();
        printf("saved %ld\n", i);
        fflush(stdout);
    }
}
