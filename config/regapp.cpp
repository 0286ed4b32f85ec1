// Opening and closing the application key SOFTWARE\Quennel\<application>.
#include <initializer_list>

#include "config/config.h"
#include "log/log.h"

HKEY appKey = nullptr;

namespace {
HKEY softwareKey = nullptr;
HKEY quennelKey = nullptr;
} // namespace

int OpenRegApp(const char* applicationName) {
    if (appKey || quennelKey || softwareKey) CloseRegApp();

    // "SOFTWARE" is opened, never created: the store holds it from the start.
    long status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_ALL_ACCESS, &softwareKey);
    if (status != ERROR_SUCCESS) {
        softwareKey = nullptr;
        LogSysError((uint32_t)status, "OpenRegApp", "in RegCreateKeyEx for SOFTWARE");
        CloseRegApp();
        return 0;
    }
    uint32_t disposition = 0;
    status = RegCreateKeyExA(softwareKey, "Quennel", 0, "", 0, KEY_ALL_ACCESS, nullptr, &quennelKey,
                             &disposition);
    if (status != ERROR_SUCCESS) {
        quennelKey = nullptr;
        LogSysError((uint32_t)status, "OpenRegApp", "in RegCreateKeyEx for Quennel");
        CloseRegApp();
        return 0;
    }
    status = RegCreateKeyExA(quennelKey, applicationName, 0, "", 0, KEY_ALL_ACCESS, nullptr,
                             &appKey, &disposition);
    if (status != ERROR_SUCCESS) {
        appKey = nullptr;
        LogSysError((uint32_t)status, "OpenRegApp", "in RegCreateKeyEx for application");
        CloseRegApp();
        return 0;
    }
    return 1;
}

void CloseRegApp() {
    for (HKEY* key : {&appKey, &quennelKey, &softwareKey}) {
        if (*key) RegCloseKey(*key);
        *key = nullptr;
    }
}
