// The text form of the store that "brindlex-reg export" writes and
// "brindlex-reg import" reads: readable, diffable, and exact (a value comes
// back with the same type and bytes, a password digest as the digest).
//
//   # comment (and blank lines) anywhere
//   [Users\bob]                 a key, relative to SOFTWARE\Quennel\Brindlex
//   Enable = dword:1            a DWORD in decimal
//   Root = string:"/srv/ftp"    a string (stored with its terminator)
//   Odd = binary:7:00ff10       any other type or bytes, as type and hexadecimal
//
// Keys come in name order, each key's values in name order; a key without
// values is still a section (import creates it). In key and value names the
// bytes below 0x21 and from 0x7F, and '%', '=', '[', ']' and '"', are written
// as %HH ("\" separates the names of a key). In a string, '\' and '"' are
// written as \\ and \", bytes below 0x20 and 0x7F as \xHH; other bytes
// (UTF-8 text) as they are.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct RegFileValue {
    std::string name;
    uint32_t type;    // REG_DWORD, REG_SZ, ...
    std::string data; // the stored bytes (a string with its terminator)
    int line = 0;     // where it was read (import)
};

struct RegFileKey {
    std::string path; // relative to the application key, "\" between names
    std::vector<RegFileValue> values;
    int line = 0;
};

std::string RegFileWrite(const std::vector<RegFileKey>& keys);
// Parses a whole file: 1 and the keys, else 0 with *line and *why naming
// the first line that cannot be read (nothing is taken from such a file).
int RegFileParse(const std::string& text, std::vector<RegFileKey>* keys, int* line,
                 std::string* why);

// Reads the key at fullPath (below HKEY_LOCAL_MACHINE) and every key below
// it, each named by its path relative to appPath; a store status.
long RegFileRead(const std::string& appPath, const std::string& fullPath,
                 std::vector<RegFileKey>* keys);
// Writes keys below appPath in one transaction: every key is created, every
// value set; with replace, each first-level key the file names ("Users",
// "System") is emptied first. On a failure nothing is changed; *what names
// the key or value it failed on.
long RegFileApply(const std::string& appPath, const std::vector<RegFileKey>& keys, bool replace,
                  std::string* what);
