// LogClean: once a day, deletes the daily log files beyond the newest eight.
#include "log/log_state.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {
constexpr size_t LOG_KEEP = 8;

// Number of a daily file name ("??????.log" starting with digits, up to six
// read), or -1 for any other name.
long LogDayNumber(const std::string& name) {
    if (name.size() != 10 || name.compare(6, 4, ".log") != 0) return -1;
    if (name[0] < '0' || name[0] > '9') return -1;
    long number = 0;
    for (int i = 0; i < 6 && name[i] >= '0' && name[i] <= '9'; ++i)
        number = number * 10 + (name[i] - '0');
    return number;
}

// Names of the daily files in the log directory with their numbers.
std::vector<std::pair<std::string, long>> LogDailyFiles(const char* dir) {
    std::vector<std::pair<std::string, long>> found;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        if (it->is_directory(typeError)) continue;
        std::string name = it->path().filename().string();
        long number = LogDayNumber(name);
        if (number >= 0) found.emplace_back(name, number);
    }
    return found;
}
} // namespace

void LogClean() {
    LogState& s = LogGlobal();
    int64_t now = LogNow();
    int64_t last = s.lastClean.load();
    if (now / 86400 == last / 86400) return;
    s.lastClean.store(now);

    // Held throughout: no flush lists or appends while files go.
    LogLockTake();
    char dir[LOG_NAME_MAX];
    snprintf(dir, sizeof dir, "%.*s", static_cast<int>(strnlen(logDir, sizeof logDir - 1)), logDir);
    std::vector<std::pair<std::string, long>> files = LogDailyFiles(dir);
    if (files.size() > LOG_KEEP) {
        std::vector<long> keep;
        for (const auto& file : files) {
            if (keep.size() < LOG_KEEP) {
                keep.push_back(file.second);
                continue;
            }
            auto smallest = std::min_element(keep.begin(), keep.end());
            if (file.second > *smallest) *smallest = file.second;
        }
        for (const auto& file : files) {
            if (std::find(keep.begin(), keep.end(), file.second) != keep.end()) continue;
            char path[LOG_NAME_MAX];
            if (!LogFileName(path, file.first.c_str())) continue;
            LogPrintf(LOG_TRACE0, "LogClean: deleting: %s", file.first.c_str());
            std::error_code ec;
            fs::remove(path, ec); // a file that cannot go stays; ignored
        }
    }
    LogLockRelease();
}
