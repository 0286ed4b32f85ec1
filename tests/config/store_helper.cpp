// A second process for the store tests. Runs below the BRINDLEX_ROOT it is
// given and saves the accounts again and again, alternating between two
// lists (see UsersVersion):
//   store_helper save N     N saves, then exit 0 (1 when an opening failed)
//   store_helper forever    saves until killed; prints "saved K" after each
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/config.h"
#include "config/users.h"

#include "users_versions.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    bool forever = strcmp(argv[1], "forever") == 0;
    long count = argc > 2 ? atol(argv[2]) : 0;
    for (long i = 0; forever || i < count; i++) {
        FillUsersVersion(&userList, (int)(i % 2) + 1);
        if (!OpenRegApp("Brindlex")) return 1;
        SetRegUsers(&userList);
        CloseRegApp();
        if (forever) {
            printf("saved %ld\n", i + 1);
            fflush(stdout);
        }
    }
    return 0;
}
