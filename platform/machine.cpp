#include "platform/machine.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

namespace {
std::string RootOr(const char* fallback) {
    const char* root = getenv("BRINDLEX_ROOT");
    if (root && *root) return root;
    return fallback;
}
} // namespace

std::string MachineStoreDir() {
    return RootOr("/var/lib/brindlex");
}
std::string MachineRunDir() {
    return RootOr("/run/brindlex");
}
std::string MachineUnitDir() {
    return MachineIsReal() ? "/etc/systemd/system" : RootOr("") + "/systemd/system";
}
std::string MachineSyslogSocket() {
    return MachineIsReal() ? "/dev/log" : RootOr("") + "/dev-log";
}

int MachineIsReal() {
    const char* root = getenv("BRINDLEX_ROOT");
    return root && *root ? 0 : 1;
}

int MachineMakeDir(const std::string& dir) {
    if (dir.empty()) return 0;
    for (size_t i = 1; i <= dir.size(); i++) {
        if (i == dir.size() || dir[i] == '/') {
            std::string part = dir.substr(0, i);
            if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return 0;
        }
    }
    struct stat st;
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}
