// The in-memory settings records: what the group loads fill and the saves
// write. Zero at start except where a default is documented.
#include "config/config.h"

#include <mutex>

DisplaySettings displaySettings = {0, 0};
SystemSettings systemSettings = {1, 0, 21};
char workDir[260] = "";
WindowRect windowRect = {0, 0, 0, 0};

namespace {
// The passive and listen addresses are wider than one atomic word.
std::mutex passiveAddressLock;
std::mutex uploadHookLock;
std::string uploadHook;
} // namespace

std::string metricsAddress;

std::string UploadHookSetting() {
    std::lock_guard<std::mutex> guard(uploadHookLock);
    return uploadHook;
}

void SetUploadHookSetting(const std::string& path) {
    std::lock_guard<std::mutex> guard(uploadHookLock);
    uploadHook = path;
}

NetAddress PassiveAddressSetting() {
    std::lock_guard<std::mutex> guard(passiveAddressLock);
    return systemSettings.passiveAddress;
}

void SetPassiveAddressSetting(const NetAddress& address) {
    std::lock_guard<std::mutex> guard(passiveAddressLock);
    systemSettings.passiveAddress = address;
}

NetAddress ListenAddressSetting() {
    std::lock_guard<std::mutex> guard(passiveAddressLock);
    return systemSettings.listenAddress;
}

void SetListenAddressSetting(const NetAddress& address) {
    std::lock_guard<std::mutex> guard(passiveAddressLock);
    systemSettings.listenAddress = address;
}
