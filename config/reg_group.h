// The frame of every group load and save: one store transaction around
// opening (or creating) the group's key below the application key, the values,
// and closing it, so another process sees the whole group as it was before or
// after. Used by the files of config/ only.
#pragma once

#include <cstdint>

#include "config/config.h"

// The group's key, or nullptr after logging the failure under opName ("%s:
// error %lu in RegCreateKeyEx: %s"). A save (write) holds the store's write
// lock until RegGroupClose; a load reads one snapshot. *created (may be null)
// tells whether the key was new.
HKEY RegGroupOpen(const char* keyName, const char* opName, bool write, bool* created = nullptr);
// Closes the key and commits what was written; a failed commit is logged.
void RegGroupClose(HKEY key, const char* opName);
