// The engine's connection events in this program: every accept and close is
// announced to an admin through the client slot, and the server role's
// connections view gets an item per connection through the main thread's
// queue.
#include "app/startup.h"

#include "admin/connview.h"
#include "ipc/ipc.h"
#include "server/conn_events.h"

namespace {
void NotifyAdmin(uint16_t connId, uint32_t addrN, uint16_t portN) {
    uint8_t data[8];
    IpcPackUpdate(data, connId, portN, addrN);
    IpcSend(IPC_MSG_UPDATE, data, sizeof data);
}

void RefreshBegin() { IpcSend(IPC_MSG_REFRESH, nullptr, 0); }
}  // namespace

void InstallConnEvents(bool withView) {
    connEvents.notify = NotifyAdmin;
    connEvents.refreshBegin = RefreshBegin;
    connEvents.viewInsert = withView ? ConnViewPostInsert : nullptr;
    connEvents.viewDelete = withView ? ConnViewPostDelete : nullptr;
}
