// The engine's connection events in this program: every accept and close is
// announced to an admin through the client slot (IPv6 clients in a record of
// their own), and the server role's
// connections view gets an item per connection through the main thread's
// queue; whether the listening socket is open goes to the status bar (and an
// admin's), a failure also to standard error.
#include "app/startup.h"
#include "app/details.h"

#include <cstdio>
#include <string>

#include "view/connview.h"
#include "view/listen_status.h"
#include "ipc/ipc.h"
#include "platform/net.h"
#include "server/conn_events.h"
#include "server/sockthread.h"

namespace {
// An IPv4 client (also one on an IPv4-mapped address) travels in the 8-byte
// update record an admin of any age reads; an IPv6 client in the record of
// its own, which an older admin drops. A number above 65,535 makes either
// record 2 bytes longer.
void SendUpdate(const ConnRecord& record, bool open) {
    const NetAddress* client = open ? &record.client : nullptr;
    if (NetAddressIsIpv4(record.client) || record.client.family != NET_FAMILY_IPV6) {
        uint8_t data[IPC_UPDATE_WIDE_SIZE];
        IpcSend(IPC_MSG_UPDATE, data, IpcPackUpdate(data, record.connId, client));
        return;
    }
    uint8_t data[IPC_UPDATE6_WIDE_SIZE];
    IpcSend(IPC_MSG_UPDATE6, data, IpcPackUpdate6(data, record.connId, client));
}

void NotifyAdmin(const ConnRecord& record) {
    SendUpdate(record, true);
}

void NotifyAdminClosed(const ConnRecord& record) {
    SendUpdate(record, false);
}

std::string ListenFailureReason(int error) {
    if (error == WSAEADDRINUSE) return "the port is in use by another program";
    if (error == WSAEACCES)
        return "permission denied (a port below 1024 needs root or CAP_NET_BIND_SERVICE)";
    return std::string("the system refused it (") + WinsockErrorName(error) + ")";
}

// The status bar of this process and of an admin follow the listener.
void ReportListenStatus(const std::string& problem) {
    if (ListenStatusSet(problem))
        IpcSend(IPC_MSG_LISTEN_STATUS, problem.data(), (uint32_t)problem.size());
}

// Without a listener the process runs on (the port may be changed from the
// window or with brindlex-reg), so the administrator who started it must be
// told why nobody can connect: the status bar says it until the server
// listens again, and standard error gets one line per failed listen, with
// what to do about that reason.
void ListenFailed(uint16_t port, int error) {
    std::string reason = ListenFailureReason(error);
    const char* remedy = "free the port or set another";
    if (error == WSAEACCES)
        remedy = "run it as root, give it the capability (setcap cap_net_bind_service=+ep on "
                 "the program) or set a port of 1024 or above";
    fprintf(stderr,
            "dockhand: cannot listen on port %u: %s (%s); still running: %s (brindlex-reg set "
            "System Port --dword N), or send SIGHUP to try again\n",
            (unsigned)port, reason.c_str(), WinsockErrorName(error), remedy);
    ReportListenStatus("Not listening on port " + std::to_string(port) + ": " + reason);
}

void Listening(uint16_t, int enabled) {
    ReportListenStatus(enabled ? ""
                               : "Not listening: the server is switched off (System Enable 0)");
}

void RefreshBegin() {
    IpcSend(IPC_MSG_REFRESH, nullptr, 0);
    std::string problem = ListenStatusProblem();
    IpcSend(IPC_MSG_LISTEN_STATUS, problem.data(), (uint32_t)problem.size());
}
} // namespace

void InstallConnEvents(bool withView) {
    connEvents.notify = NotifyAdmin;
    connEvents.notifyClosed = NotifyAdminClosed;
    connEvents.refreshBegin = RefreshBegin;
    connEvents.viewInsert = withView ? ConnViewPostInsert : nullptr;
    connEvents.viewDelete = withView ? ConnViewPostDelete : nullptr;
    connEvents.listenFailed = ListenFailed;
    connEvents.listening = Listening;
    connEvents.details = DetailsSampled;
}
