// Walks a tree with an explicit stack of directories (no recursion, so a
// deep tree costs memory for names, never stack), one directory open at a
// time, each entry looked at without following links.
#include "platform/fs_measure.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/report.h"

int FsMeasureTree(const char* root, uint64_t* bytes, uint64_t* files,
                  const std::atomic<bool>* cancel) {
    *bytes = 0;
    *files = 0;
    std::vector<std::string> pending{root};
    bool first = true;
    while (!pending.empty()) {
        std::string dirPath = std::move(pending.back());
        pending.pop_back();
        int fd =
            open(dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (first ? 0 : O_NOFOLLOW));
        DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
        if (!dir) {
            int err = errno;
            if (fd >= 0) close(fd);
            Report(REPORT_WARNING, "FsMeasureTree: error %d reading directory: %s", err,
                   dirPath.c_str());
            if (first) return 0;
            continue;
        }
        first = false;
        while (dirent* entry = readdir(dir)) {
            if (cancel && cancel->load(std::memory_order_relaxed)) {
                closedir(dir);
                return 0;
            }
            const char* name = entry->d_name;
            if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
            struct stat st;
            if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue; // gone meanwhile
            if (S_ISDIR(st.st_mode)) {
                pending.push_back(dirPath + "/" + name);
            } else if (S_ISREG(st.st_mode)) {
                *bytes += static_cast<uint64_t>(st.st_size);
                *files += 1;
            }
        }
        closedir(dir);
    }
    return 1;
}
