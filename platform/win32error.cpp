#include "platform/win32error.h"

#include <cerrno>

uint32_t Win32FromErrno(int err, uint32_t otherwise) {
    switch (err) {
    case 0:
        return 0;
    case ENOENT:
        return 2; // ERROR_FILE_NOT_FOUND
    case ENOTDIR:
        return 3; // ERROR_PATH_NOT_FOUND
    case EMFILE:
    case ENFILE:
        return 4; // ERROR_TOO_MANY_OPEN_FILES
    case EACCES:
    case EPERM:
    case EROFS:
        return 5; // ERROR_ACCESS_DENIED
    case EBADF:
        return 6; // ERROR_INVALID_HANDLE
    case ENOMEM:
        return 8; // ERROR_NOT_ENOUGH_MEMORY
    case ENOSPC:
    case EDQUOT:
        return 112; // ERROR_DISK_FULL
    case EINVAL:
        return 87; // ERROR_INVALID_PARAMETER
    case ENAMETOOLONG:
        return 206; // ERROR_FILENAME_EXCED_RANGE
    case EEXIST:
        return 183; // ERROR_ALREADY_EXISTS
    default:
        return otherwise;
    }
}
