// Who the process is: looking up accounts, the owner of a machine
// directory's files, and giving up root for good.
#pragma once

#include <cstdint>
#include <string>

struct Account {
    uint32_t uid = 0;
    uint32_t gid = 0;
    std::string name; // empty for an id without an entry in the user database
};

// 1 when the process runs as root (effective user id 0).
int ProcessIsRoot();
// The user named `name`: 1 and its ids, else 0.
int AccountByName(const char* name, Account* account);

// The owner of the configuration store: of the store file, or of the store
// directory while there is no store file. 0 when neither can be looked at.
int StoreOwner(Account* owner);
// 1 when the store file exists.
int StoreFileExists();
// Whether the store file can be opened for reading and writing by this
// process (1); else 0 with the reason in *why. A missing store is 1 when its
// directory may be written.
int StoreAccessible(std::string* why);

// Gives the machine's own directories to `account` before root is given
// up: the run directory (made first when missing) and the store directory,
// and the files and sockets root left in them, so that the locks, message
// slots and store that the process opens as `account` are its own. Never
// follows a symbolic link; a directory of a third user is refused. 1, or 0
// with the reason in *why.
int MachineGiveTo(const Account& account, std::string* why);

// Becomes `account` for good: the group list (the user's groups, none for
// an id without a name), the group and the user, in that order, each step
// checked; root cannot be taken back afterwards. keepBind keeps the one
// capability to bind ports below 1024 (permitted and effective, the
// bounding set limited to it); otherwise no capability is left. Call before
// any thread starts: threads started afterwards inherit the capability.
// 1, or 0 with the failed step and its reason in *why.
int ProcessBecome(const Account& account, int keepBind, std::string* why);

// 1 when path names a program that may be run: an absolute path, or a bare
// name found in systemd's search path for units.
int ProgramExists(const char* path);
