// The machine directories: where the machine-wide objects of the system live.
// The store below /var/lib/brindlex/, locks and message slots below
// /run/brindlex/; when BRINDLEX_ROOT is set, every such object lives below that
// directory instead (tests give each run its own).
#pragma once

#include <string>

std::string MachineStoreDir();
std::string MachineRunDir();
// Creates dir and its missing parents (mode 0755); 1 on success.
int MachineMakeDir(const std::string& dir);
