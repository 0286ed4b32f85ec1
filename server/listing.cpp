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

// Byte-wise comparison in which only A to Z fold to a to z.
bool NameLess(const FsEntry& a, const FsEntry& b) {
    return AsciiCompareNoCase(a.name.c_str(), b.name.c_str()) < 0;
}

// One line of the long format, CR LF included.
std::string LongLine(const FsEntry& entry, int referenceYear) {
    struct tm local = {};
    time_t when = entry.lastWrite;
    localtime_r(&when, &local);
    unsigned month = (unsigned)local.tm_mon + 1;
    unsigned year = (unsigned)local.tm_year + 1900;
    // Directories have no size of their own in a listing.
    bool directory = (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    unsigned long long size = directory ? 0 : (unsigned long long)entry.size;
    char head[128];
    snprintf(head, sizeof head, "%s%s   1 owner    group      %10llu %-3.3s %2u ",
             directory ? "d" : "-",
             (entry.attributes & FILE_ATTRIBUTE_READONLY) ? "r-xr-xr-x" : "rwxrwxrwx", size,
             MONTHS[month <= 12 ? month : 0], (unsigned)local.tm_mday);
    char when5[16];
    if ((int)year == referenceYear)
        snprintf(when5, sizeof when5, "%.2u:%.2u", (unsigned)local.tm_hour, (unsigned)local.tm_min);
    else
        snprintf(when5, sizeof when5, " %.4u", year);
    return std::string(head) + when5 + " " + entry.name + "\r\n";
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
    FsFindFiles(conn->user.Root, search.c_str(), &found);
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

    Channel* data = &conn->data;
    for (const FsEntry& entry : entries) {
        LogPrintf(LOG_INFO, "SendList: %s", entry.name.c_str());
        std::string line = longFormat ? LongLine(entry, referenceYear) : entry.name + "\r\n";
        if (!AppendQueue(&data->out, line.data(), (uint32_t)line.size())) {
            // The listing would be incomplete: end it as a failure.
            data->failed = 1;
            break;
        }
    }
    LogPrintf(LOG_INFO, "SendList(%u) done", conn->connId);
    data->shutdownWhenDrained = 1;
    ConnWrite(conn, data);
}
