#include "config/reg_group.h"

#include "log/log.h"

HKEY RegGroupOpen(const char* keyName, const char* opName, bool* created) {
    long status = RegBeginTransaction();
    if (status != ERROR_SUCCESS) {
        LogSysError((uint32_t)status, opName, "in RegCreateKeyEx");
        return nullptr;
    }
    HKEY key = nullptr;
    uint32_t disposition = 0;
    status = RegCreateKeyExA(appKey, keyName, 0, "", 0, KEY_ALL_ACCESS, nullptr, &key, &disposition);
    if (status != ERROR_SUCCESS) {
        LogSysError((uint32_t)status, opName, "in RegCreateKeyEx");
        RegEndTransaction(0);
        return nullptr;
    }
    if (created) *created = disposition == REG_CREATED_NEW_KEY;
    return key;
}

void RegGroupClose(HKEY key, const char* opName) {
    RegCloseKey(key);
    long status = RegEndTransaction(1);
    if (status != ERROR_SUCCESS) LogSysError((uint32_t)status, opName, "in RegEndTransaction");
}
