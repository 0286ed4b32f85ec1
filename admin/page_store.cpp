#include "admin/page_store.h"

#include "config/config.h"
#include "ipc/ipc.h"
#include "ipc/role.h"

void StoreGroup(void (*save)(), uint8_t changeMessage) {
    if (OpenRegApp("Brindlex")) {
        save();
        CloseRegApp();
    }
    if (processRole == ROLE_ADMIN) IpcSend(changeMessage, nullptr, 0);
}
