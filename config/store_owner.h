// The tools beside a running service act as the owner of its store, so that
// nothing they write (the store's -wal and -shm files above all) becomes
// root's and locks the service out.
#pragma once

#include <string>

// Run by root on a store (or, while there is none, a store directory) that
// belongs to another user: becomes that user for good, with no capability
// left, and says so in *note. Otherwise changes nothing. 0, with the reason
// in *why, when the change failed (the process must not go on).
int ActAsStoreOwner(std::string* note, std::string* why);
