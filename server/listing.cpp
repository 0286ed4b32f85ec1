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
#include "platform/fs.h"
#include "server/data.h"

namespace {

const char* const MONTHS[13] = {"???",     "January",  "February", "March",  "April",
                                "May",     "June",     "July",     "August", "September",
                                "October", "November", "December"};

constexpr uint32_t SKIPPED_ATTRIBUTES =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_TEMPORARY;

// Byte-wise comparison in which only A to Z fold to a to z.
int FoldByte(unsigned char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

bool NameLess(const FsEntry& a, const FsEntry& b) {
    size_t n = std::min(a.name.size(), b.name.size());
    for (size_t i = 0; i < n; i++) {
        int x = FoldByte((unsigned char)a.name[i]);
        int y = FoldByte((unsigned char)b.name[i]);
        if (x != y) return x < y;
    }
    return a.name.size() < b.name.size();
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
             (entry.attributes & FILE_ATTRIBUTE_READONLY) ? "r-xr-xr-x" : "rwxrwxrwx",
             size, MONTHS[month <= 12 ? month : 0], (unsigned)local.tm_mday);
    char when5[16];
    if ((int)year == referenceYear)
        snprintf(when5, sizeof when5, "%.2u:%.2u", (unsigned)local.tm_hour, (unsigned)local.tm_min);
    else
        snprintf(when5, sizeof when5, " %.4u", year);
    return std::string(head) + when5 + " " + entry.name + "\r\n";
}

}  // namespace

void SendList(Conn* conn, int longFormat) {
    std::vector<FsEntry> found;
    FsFindFiles(conn->user.Root, conn->transferPath, &found);
    std::vector<FsEntry> entries;
    entries.reserve(found.size());
    for (FsEntry& entry : found) {
        if (entry.attributes & SKIPPED_ATTRIBUTES) continue;
        if (entry.name == "." || entry.name == "..") continue;
        entries.push_back(std::move(entry));
    }
    if (entries.size() > 1) {
        LogPrintf(LOG_INFO, "SendList: sorting");
        std::sort(entries.begin(), entries.end(), NameLess);
    }

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
