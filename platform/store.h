// The configuration store: a tree of keys below HKEY_LOCAL_MACHINE with named
// DWORD and string values, kept in one SQLite database file below the machine
// directory (/var/lib/brindlex/, or $BRINDLEX_ROOT). The calls have the
// arguments, results and status codes of the registry calls they stand for.
// Key and value names compare without regard to ASCII case and keep the case
// they were created with. Key paths use "\" between names; a key name is at
// most 255 bytes, a value name at most 16383, a value at most 1 MiB (longer
// ones are refused with ERROR_INVALID_PARAMETER, never cut). The database file
// is created with mode 0600; a file that is not a usable store is reported
// (ERROR_BADDB) and left untouched. A fresh store holds the key "SOFTWARE".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct RegKey;
using HKEY = RegKey*;
// The predefined root key.
extern const HKEY HKEY_LOCAL_MACHINE;

// Status codes.
constexpr long ERROR_SUCCESS = 0;
constexpr long ERROR_FILE_NOT_FOUND = 2;
constexpr long ERROR_ACCESS_DENIED = 5;
constexpr long ERROR_INVALID_HANDLE = 6;
constexpr long ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr long ERROR_DISK_FULL = 112;
constexpr long ERROR_INVALID_PARAMETER = 87;
constexpr long ERROR_BAD_PATHNAME = 161;
constexpr long ERROR_ALREADY_EXISTS = 183;
constexpr long ERROR_MORE_DATA = 234;
constexpr long ERROR_NO_MORE_ITEMS = 259;
constexpr long ERROR_BADDB = 1009;
constexpr long ERROR_REGISTRY_IO_FAILED = 1016;
constexpr long ERROR_KEY_DELETED = 1018;
constexpr long ERROR_CHILD_MUST_BE_VOLATILE = 1021;
constexpr long ERROR_BUSY = 170;

// Value types.
constexpr uint32_t REG_NONE = 0;
constexpr uint32_t REG_SZ = 1;
constexpr uint32_t REG_DWORD = 4;

// Access rights and creation results (accepted and ignored but for their meaning).
constexpr uint32_t KEY_READ = 0x20019;
constexpr uint32_t KEY_ALL_ACCESS = 0xF003F;
constexpr uint32_t REG_CREATED_NEW_KEY = 1;
constexpr uint32_t REG_OPENED_EXISTING_KEY = 2;

long RegOpenKeyExA(HKEY key, const char* subKey, uint32_t options, uint32_t access, HKEY* result);
long RegCreateKeyExA(HKEY key, const char* subKey, uint32_t reserved, const char* className,
                     uint32_t options, uint32_t access, void* security, HKEY* result,
                     uint32_t* disposition);
long RegQueryValueExA(HKEY key, const char* valueName, uint32_t* reserved, uint32_t* type,
                      uint8_t* data, uint32_t* size);
long RegSetValueExA(HKEY key, const char* valueName, uint32_t reserved, uint32_t type,
                    const uint8_t* data, uint32_t size);
long RegDeleteValueA(HKEY key, const char* valueName);
long RegQueryInfoKeyA(HKEY key, uint32_t* subKeys, uint32_t* values);
long RegEnumKeyA(HKEY key, uint32_t index, char* name, uint32_t size);
// Every subkey name of key in name order, in one pass (RegEnumKeyA with
// rising indexes costs a search per step).
long RegEnumKeyNames(HKEY key, std::vector<std::string>* names);
// Enumerates values in name order: name, type and (when asked) data.
long RegEnumValueA(HKEY key, uint32_t index, char* name, uint32_t* nameSize, uint32_t* type,
                   uint8_t* data, uint32_t* dataSize);
// Deletes a key and everything below it.
long RegDeleteTreeA(HKEY key, const char* subKey);
long RegCloseKey(HKEY key);

// The store file's path (for messages and tests).
const char* StorePath();

// Brackets several calls into one atomic change: other processes see all of
// them or none, and a crash leaves the state before the bracket. While a
// bracket is open this process's other threads wait for the store. Brackets
// nest; only the outermost end commits. commit 0 undoes everything since the
// matching begin. A begin waits at most a few seconds for another writer.
long RegBeginTransaction();
// The same for reading only: the calls up to the end see one snapshot of the
// store (all of a save made meanwhile, or none of it), and writers are not
// held up.
long RegBeginRead();
long RegEndTransaction(int commit);

// Closes the database file; the next call opens it again, at the path of that
// time (tests give each case its own machine directory). Handles other than
// HKEY_LOCAL_MACHINE must be closed before.
void RegCloseStore();

// A seed for the salt generator of a short-lived program: the current time
// mixed with the process id, so two runs in the same second differ.
uint32_t StoreSeed();
