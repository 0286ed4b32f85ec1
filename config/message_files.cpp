#include <cstdio>

#include "config/config.h"

int MessageFilePath(const char* fileName, char* out, size_t size) {
    int length = snprintf(out, size, "%s/%s", workDir, fileName);
    return length >= 0 && (size_t)length < size;
}
