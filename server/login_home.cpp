#include "server/login_home.h"

#include "log/log.h"
#include "platform/fs.h"

int LoginHomeAvailable(const Conn* conn) {
    const char* root = conn->user.Root;
    uint32_t attributes = root[0] ? FsGetAttributes(root, root) : INVALID_FILE_ATTRIBUTES;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return 1;
    LogPrintf(LOG_WARNING, "LoginComplete: user %s: Root \"%s\" is not an existing directory",
              conn->user.name, root);
    return 0;
}
