#include "platform/sysinfo.h"

#include <sys/utsname.h>

#include <fstream>

namespace {
// One KEY=value line of os-release; the value may be quoted.
bool ParseOsReleaseLine(const std::string& line, std::string* key, std::string* value) {
    size_t eq = line.find('=');
    if (eq == std::string::npos || line.empty() || line[0] == '#') return false;
    *key = line.substr(0, eq);
    std::string v = line.substr(eq + 1);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    std::string out;
    for (size_t i = 0; i < v.size(); i++) {
        if (v[i] == '\\' && i + 1 < v.size()) i++;
        out += v[i];
    }
    *value = out;
    return true;
}
} // namespace

int SysInfoRead(SysInfo* info, const char* osReleasePath) {
    *info = SysInfo();
    std::ifstream in(osReleasePath);
    std::string line, key, value;
    while (std::getline(in, line)) {
        if (!ParseOsReleaseLine(line, &key, &value)) continue;
        if (key == "NAME")
            info->osName = value;
        else if (key == "PRETTY_NAME")
            info->osPrettyName = value;
        else if (key == "VERSION")
            info->osVersion = value;
        else if (key == "VERSION_ID")
            info->osVersionId = value;
    }
    struct utsname uts;
    if (uname(&uts) != 0) return 0;
    info->kernelName = uts.sysname;
    info->kernelRelease = uts.release;
    info->kernelVersion = uts.version;
    info->machine = uts.machine;
    return 1;
}
