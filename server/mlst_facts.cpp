#include "server/mlst_facts.h"

#include <cstdio>
#include <ctime>

#include "platform/ascii.h"

namespace {

struct Fact {
    const char* name;
    uint8_t bit;
};
const Fact FACTS[] = {{"type", MLST_FACT_TYPE},
                      {"size", MLST_FACT_SIZE},
                      {"modify", MLST_FACT_MODIFY},
                      {"perm", MLST_FACT_PERM},
                      {"unique", MLST_FACT_UNIQUE}};

// What the account may do with the entry, in the letters of the perm fact.
// They follow the checks of the commands: read-only entries are never
// changed, directories are never renamed.
std::string PermLetters(const Conn* conn, const FsEntry& entry) {
    uint8_t p = conn->user.permissions;
    bool writable = !(entry.attributes & FILE_ATTRIBUTE_READONLY);
    std::string letters;
    if (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) {
        if ((p & PERM_PUT) && writable) letters += 'c'; // STOR inside
        if ((p & PERM_DELETEDIR) && writable) letters += 'd';
        letters += 'e'; // CWD needs nothing
        if (p & PERM_LIST) letters += 'l';
        if ((p & PERM_CREATE) && writable) letters += 'm';
        if ((p & (PERM_DELETEFILE | PERM_DELETEDIR)) && writable) letters += 'p';
    } else {
        if ((p & PERM_PUT) && writable) letters += 'a'; // APPE
        if ((p & PERM_DELETEFILE) && writable) letters += 'd';
        if ((p & PERM_PUT) && writable) letters += 'f'; // RNFR
        if (p & PERM_GET) letters += 'r';
        if ((p & PERM_PUT) && writable) letters += 'w';
    }
    return letters;
}

} // namespace

uint8_t MlstFactBit(const char* name) {
    for (const Fact& fact : FACTS)
        if (AsciiCompareNoCase(name, fact.name) == 0) return fact.bit;
    return 0;
}

std::string MlstFactList(uint8_t facts, bool starred) {
    std::string list;
    for (const Fact& fact : FACTS) {
        if (!(facts & fact.bit)) continue;
        list += fact.name;
        list += starred ? "*;" : ";";
    }
    return list;
}

std::string UtcTimeText(time_t when) {
    struct tm utc = {};
    gmtime_r(&when, &utc);
    char text[32];
    snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", utc.tm_year + 1900, utc.tm_mon + 1,
             utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text;
}

std::string MlstEntry(const Conn* conn, const FsEntry& entry, const std::string& name) {
    uint8_t facts = conn->mlstFacts;
    bool directory = (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    std::string line;
    char value[64];
    if (facts & MLST_FACT_TYPE) line += directory ? "type=dir;" : "type=file;";
    if ((facts & MLST_FACT_SIZE) && !directory) {
        snprintf(value, sizeof value, "size=%llu;", (unsigned long long)entry.size);
        line += value;
    }
    if (facts & MLST_FACT_MODIFY) line += "modify=" + UtcTimeText(entry.lastWrite) + ";";
    if (facts & MLST_FACT_PERM) line += "perm=" + PermLetters(conn, entry) + ";";
    if (facts & MLST_FACT_UNIQUE) {
        snprintf(value, sizeof value, "unique=%llxg%llx;", (unsigned long long)entry.device,
                 (unsigned long long)entry.inode);
        line += value;
    }
    return line + " " + name;
}
