// SendList: gathers the entries matching a listing's pattern, sorts them by
// name without regard to case and queues them in the long format (in the
// manner of a Unix directory listing) or as bare names.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "log/log.h"
#include "platform/ascii.h"
#include "platform/fs.h"
#include "server/data.h"

namespace {

const char* const MONTHS[13] = {"???",     "January",  "February", "March",  "April",
                                "May",     "June",     "July",     "August", "September",
                                "October", "November", "December"};

constexpr uint32_t SKIPPED_ATTRIBUTES =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_TEMPORARY;

// Byte-wise comparison in which only A to Z fold to a to z; names equal
// but for case in byte order, so that a listing's order never varies.
bool NameLess(const FsEntry& a, const FsEntry& b) {
    int order = AsciiCompareNoCase(a.name.c_str(), b.name.c_str());
    return order != 0 ? order < 0 : a.name < b.name;
}

// Writes n in decimal, right-aligned in width (wider when it needs more
// digits), padded with pad; returns the end.
char* PutNumber(char* out, unsigned long long n, int width, char pad) {
    char digits[24];
    int count = 0;
    do {
        digits[count++] = (char)('0' + n % 10);
        n /= 10;
    } while (n);
    for (int i = count; i < width; i++)
        *out++ = pad;
    while (count)
        *out++ = digits[--count];
    return out;
}

// The local time of a modification time. Entries of one directory often
// share theirs (files written together): the last one is kept.
const struct tm& LocalTime(time_t when) {
    static thread_local time_t cachedWhen = 0;
    static thread_local bool cached = false;
    static thread_local struct tm cachedLocal = {};
    if (!cached || when != cachedWhen) {
        cachedLocal = {};
        localtime_r(&when, &cachedLocal);
        cachedWhen = when;
        cached = true;
    }
    return cachedLocal;
}

// Room a line of the long format needs besides the name: the columns (a
// size of up to 20 digits, a year of up to 10) and CR LF.
constexpr size_t LONG_LINE_FIXED = 128;

// One line of the long format, CR LF included, written to out (at least
// LONG_LINE_FIXED bytes more than the name's length); returns its length. The
// columns: type and permissions, links, owner, group, size (10 wide), month,
// day (2 wide), then the time of day this year or the year before it.
size_t LongLine(char* out, const FsEntry& entry, int referenceYear) {
    const struct tm& local = LocalTime(entry.lastWrite);
    unsigned month = (unsigned)local.tm_mon + 1;
    unsigned year = (unsigned)local.tm_year + 1900;
    // Directories have no size of their own in a listing.
    bool directory = (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    unsigned long long size = directory ? 0 : (unsigned long long)entry.size;
    char* p = out;
    *p++ = directory ? 'd' : '-';
    const char* mode = (entry.attributes & FILE_ATTRIBUTE_READONLY) ? "r-xr-xr-x" : "rwxrwxrwx";
    memcpy(p, mode, 9);
    p += 9;
    static const char LINKS_OWNER_GROUP[] = "   1 owner    group      ";
    memcpy(p, LINKS_OWNER_GROUP, sizeof LINKS_OWNER_GROUP - 1);
    p += sizeof LINKS_OWNER_GROUP - 1;
    p = PutNumber(p, size, 10, ' ');
    *p++ = ' ';
    const char* monthName = MONTHS[month <= 12 ? month : 0];
    for (int i = 0; i < 3; i++)
        *p++ = *monthName ? *monthName++ : ' ';
    *p++ = ' ';
    p = PutNumber(p, (unsigned)local.tm_mday, 2, ' ');
    *p++ = ' ';
    if ((int)year == referenceYear) {
        p = PutNumber(p, (unsigned)local.tm_hour, 2, '0');
        *p++ = ':';
        p = PutNumber(p, (unsigned)local.tm_min, 2, '0');
    } else {
        *p++ = ' ';
        p = PutNumber(p, year, 4, '0');
    }
    *p++ = ' ';
    memcpy(p, entry.name.data(), entry.name.size());
    p += entry.name.size();
    *p++ = '\r';
    *p++ = '\n';
    return (size_t)(p - out);
}

// "*" matches any run of characters, "?" any one character; every other
// byte matches itself.
bool MaskMatches(const char* mask, const char* name) {
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*name) {
        if (*mask == '?' || (*mask && *mask != '*' && *mask == *name)) {
            mask++;
            name++;
        } else if (*mask == '*') {
            star = mask++;
            resume = name;
        } else if (star) {
            mask = star + 1;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*mask == '*')
        mask++;
    return *mask == 0;
}

} // namespace

void GatherListing(Conn* conn, std::vector<FsEntry>* entries) {
    // A pattern whose last component is a name mask other than "*" lists the
    // directory before it, filtered by the mask. Only LIST and NLST with the
    // extensions on store such patterns: resolved paths hold no wildcards.
    std::string search = conn->transferPath;
    std::string mask;
    size_t slash = search.rfind('/');
    if (slash != std::string::npos && search.compare(slash + 1, std::string::npos, "*") != 0 &&
        search.find_first_of("*?", slash + 1) != std::string::npos) {
        mask = search.substr(slash + 1);
        search.resize(slash + 1);
        search += '*';
    }
    std::vector<FsEntry> found;
    // Sorted once, below, the listing's own way.
    FsFindFiles(conn->user.Root, search.c_str(), &found, false);
    entries->clear();
    entries->reserve(found.size());
    for (FsEntry& entry : found) {
        if (entry.attributes & SKIPPED_ATTRIBUTES) continue;
        if (entry.name == "." || entry.name == "..") continue;
        if (!mask.empty() && !MaskMatches(mask.c_str(), entry.name.c_str())) continue;
        entries->push_back(std::move(entry));
    }
    if (entries->size() > 1) {
        LogPrintf(LOG_INFO, "SendList: sorting");
        std::sort(entries->begin(), entries->end(), NameLess);
    }
}

void SendList(Conn* conn, int longFormat) {
    std::vector<FsEntry> entries;
    GatherListing(conn, &entries);

    struct tm today = {};
    time_t now = time(nullptr);
    localtime_r(&now, &today);
    int referenceYear = today.tm_year + 1900;

    // The lines are written into one block, appended to the queue whenever
    // it fills: no allocation per entry, and the queue grows a few times.
    Channel* data = &conn->data;
    static thread_local char block[64 * 1024];
    size_t used = 0;
    bool logNames = LogWanted(LOG_INFO);
    for (const FsEntry& entry : entries) {
        if (logNames) LogPrintf(LOG_INFO, "SendList: %s", entry.name.c_str());
        // Names are path components: far shorter than the block.
        if (used + LONG_LINE_FIXED + entry.name.size() > sizeof block) {
            if (!AppendQueue(&data->out, block, (uint32_t)used)) {
                data->failed = 1;
                used = 0;
                break;
            }
            used = 0;
        }
        if (longFormat) {
            used += LongLine(block + used, entry, referenceYear);
        } else {
            memcpy(block + used, entry.name.data(), entry.name.size());
            used += entry.name.size();
            block[used++] = '\r';
            block[used++] = '\n';
        }
    }
    // The listing would be incomplete: end it as a failure.
    if (used > 0 && !data->failed && !AppendQueue(&data->out, block, (uint32_t)used))
        data->failed = 1;
    LogPrintf(LOG_INFO, "SendList(%u) done", conn->connId);
    data->shutdownWhenDrained = 1;
    ConnWrite(conn, data);
}
