// ReadPathKey: the "Path" key of the store, read only.
#include <cstdio>
#include <cstring>

#include "config/config.h"
#include "service/service.h"

char appPath[PATH_SIZE];
char logPath[PATH_SIZE];
char servicePath[PATH_SIZE];
char workPath[PATH_SIZE];
uint32_t logLineOn;
char runAsUser[PATH_SIZE];

void ReadPathKey() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quennel\\Brindlex\\Path", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return;
    // A value of 128 bytes or more does not fit and reads as not set: a
    // path cut short would name another program or directory.
    struct {
        const char* name;
        char* text;
    } const values[] = {
        {"App", appPath}, {"Log", logPath}, {"Service", servicePath}, {"Work", workPath}};
    for (const auto& value : values) {
        if (RegGetString(key, value.name, value.text, PATH_SIZE) != ERROR_SUCCESS)
            value.text[0] = 0;
    }
    logLineOn = RegGetDword(key, "Trace", 0) != 0;
    RegCloseKey(key);
    snprintf(runAsUser, sizeof runAsUser, "%s", DEFAULT_RUN_AS);
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quennel\\Brindlex\\System", 0, KEY_READ,
                      &key) == ERROR_SUCCESS) {
        if (RegGetString(key, "RunAs", runAsUser, PATH_SIZE) != ERROR_SUCCESS || !runAsUser[0])
            snprintf(runAsUser, sizeof runAsUser, "%s", DEFAULT_RUN_AS);
        RegCloseKey(key);
    }
    // The service runs for days; the store is not held open meanwhile.
    RegCloseStore();
    LogLine("App: %s", appPath);
    LogLine("Log: %s", logPath);
    LogLine("Service: %s", servicePath);
    LogLine("Work: %s", workPath);
}
