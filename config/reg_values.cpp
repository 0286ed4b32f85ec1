// Reading and writing one value of an open key. A failed read or write is
// logged under the value's name; a missing value is not an error.
#include <cstring>
#include <vector>

#include "config/config.h"
#include "log/log.h"

namespace {
void LogRead(long status, const char* valueName) {
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        LogSysError((uint32_t)status, valueName, "in RegQueryValueEx");
}
} // namespace

// The stored type is not checked: a string of at most four bytes reads as
// those bytes over the default's; a longer one does not fit and gives the
// default.
uint32_t RegGetDword(HKEY key, const char* valueName, uint32_t defaultValue) {
    uint8_t bytes[4];
    memcpy(bytes, &defaultValue, 4);
    uint32_t size = 4;
    long status = RegQueryValueExA(key, valueName, nullptr, nullptr, bytes, &size);
    LogRead(status, valueName);
    uint32_t value = defaultValue;
    if (status == ERROR_SUCCESS) memcpy(&value, bytes, 4);
    return value;
}

// Reads through a scratch buffer so that the caller's buffer changes only
// after a complete read, and always holds a terminated text: stored bytes
// without a NUL (a DWORD read as text) end where they end, or count as too
// long when they fill the whole buffer.
long RegGetString(HKEY key, const char* valueName, char* buffer, uint32_t bufferSize) {
    if (!buffer || bufferSize == 0) {
        LogRead(ERROR_INVALID_PARAMETER, valueName);
        return ERROR_INVALID_PARAMETER;
    }
    std::vector<uint8_t> scratch(bufferSize);
    uint32_t size = bufferSize;
    long status = RegQueryValueExA(key, valueName, nullptr, nullptr, scratch.data(), &size);
    if (status == ERROR_SUCCESS && !memchr(scratch.data(), 0, size)) {
        if (size < bufferSize)
            scratch[size++] = 0;
        else
            status = ERROR_MORE_DATA;
    }
    LogRead(status, valueName);
    if (status == ERROR_SUCCESS) memcpy(buffer, scratch.data(), size);
    return status;
}

void RegSetDword(HKEY key, const char* valueName, uint32_t value) {
    long status = RegSetValueExA(key, valueName, 0, REG_DWORD, (const uint8_t*)&value, 4);
    if (status != ERROR_SUCCESS) LogSysError((uint32_t)status, valueName, "in RegSetValueEx");
}

void RegSetString(HKEY key, const char* valueName, const char* text) {
    if (!text) text = "";
    long status =
        RegSetValueExA(key, valueName, 0, REG_SZ, (const uint8_t*)text, (uint32_t)strlen(text) + 1);
    if (status != ERROR_SUCCESS) LogSysError((uint32_t)status, valueName, "in RegSetValueEx");
}
