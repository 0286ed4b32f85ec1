// The engine's connection events in this program: every accept and close is
// announced to an admin through the client slot, and the server role's
// connections view gets an item per connection through the main thread's
// queue; a listening socket that cannot be opened is reported on standard
// error.
#include "app/startup.h"

#include <cstdio>

#include "admin/connview.h"
#include "ipc/ipc.h"
#include "platform/net.h"
#include "server/conn_events.h"
#include "server/sockthread.h"

namespace {
void NotifyAdmin(uint16_t connId, const NetAddress* client) {
    uint8_t data[8];
    IpcPackUpdate(data, connId, client);
    IpcSend(IPC_MSG_UPDATE, data, sizeof data);
}

void RefreshBegin() {
    IpcSend(IPC_MSG_REFRESH, nullptr, 0);
}

// Without a listener the process runs on (the port may be changed from the
// window or with brindlex-reg), so the administrator who started it must be
// told why nobody can connect: one line on standard error per failed listen.
void PrintListenFailure(uint16_t port, int error) {
    const char* reason = "the system refused it";
    if (error == WSAEADDRINUSE) reason = "the port is in use by another program";
    if (error == WSAEACCES)
        reason = "permission denied (a port below 1024 needs root or CAP_NET_BIND_SERVICE)";
    fprintf(
        stderr,
        "dockhand: cannot listen on port %u: %s (%s); still running: free the port or set another "
        "(brindlex-reg set System Port --dword N), or send SIGHUP to try again\n",
        (unsigned)port, reason, WinsockErrorName(error));
}
} // namespace

void InstallConnEvents(bool withView) {
    connEvents.notify = NotifyAdmin;
    connEvents.refreshBegin = RefreshBegin;
    connEvents.viewInsert = withView ? ConnViewPostInsert : nullptr;
    connEvents.viewDelete = withView ? ConnViewPostDelete : nullptr;
    connEvents.listenFailed = PrintListenFailure;
}
