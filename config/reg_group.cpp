#include "config/reg_group.h"

#include "log/log.h"

HKEY RegGroupOpen(const char* keyName, const char* opName, bool write, bool* created) {
    // A load makes a missing key on its own first, so that its snapshot never
    // has to turn into a write.
    long status = write ? RegBeginTransaction() : ERROR_SUCCESS;
    HKEY key = nullptr;
    uint32_t disposition = 0;
    if (status == ERROR_SUCCESS)
        status =
            RegCreateKeyExA(appKey, keyName, 0, "", 0, KEY_ALL_ACCESS, nullptr, &key, &disposition);
    if (status == ERROR_SUCCESS && !write) {
        status = RegBeginRead();
        if (status != ERROR_SUCCESS) RegCloseKey(key);
    } else if (status != ERROR_SUCCESS && write) {
        RegEndTransaction(0);
    }
    if (status != ERROR_SUCCESS) {
        LogSysError((uint32_t)status, opName, "in RegCreateKeyEx");
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
