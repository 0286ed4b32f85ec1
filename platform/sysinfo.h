// What the system says about itself: the kernel (uname) and the
// distribution (/etc/os-release).
#pragma once

#include <string>

struct SysInfo {
    std::string kernelName;    // "Linux"
    std::string kernelRelease; // "6.1.0-18-amd64"
    std::string kernelVersion; // "#1 SMP PREEMPT_DYNAMIC Debian ..."
    std::string machine;       // "x86_64"
    std::string osName;        // NAME
    std::string osPrettyName;  // PRETTY_NAME
    std::string osVersion;     // VERSION
    std::string osVersionId;   // VERSION_ID
};

// 1 when uname answered (os-release values stay empty when the file is
// missing), 0 otherwise.
int SysInfoRead(SysInfo* info, const char* osReleasePath = "/etc/os-release");
