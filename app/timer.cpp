// TimerProc: once a second, tidy the log directory and act on every message
// waiting in the incoming slot. The server and service roles reload the group
// an admin saved and answer its request for the connection list; the admin
// keeps its connections view in step with the server's connections. A SIGHUP
// taken since the last tick reloads everything.

#include "config/config.h"
#include "config/users.h"
#include "view/connview.h"
#include "view/listen_status.h"
#include "ipc/ipc.h"
#include "ipc/role.h"
#include "app/startup.h"
#include "app/details.h"
#include "log/log.h"
#include "platform/mainloop.h"
#include "platform/address.h"
#include "server/sockthread.h"

namespace {
constexpr uint32_t kReceiveArea = 256;

// Opens the store, runs one group load, closes it again. The load is skipped
// when the store cannot be opened; the in-memory values stay as they were.
void Reload(void (*load)()) {
    if (OpenRegApp("Brindlex")) {
        load();
        CloseRegApp();
    }
}

void LoadUsers() {
    GetRegUsers(&userList);
}

void ServerMessage(uint8_t type, const uint8_t* data, uint32_t length) {
    switch (type) {
    case IPC_MSG_DISPLAY_CHANGED:
        Reload(GetRegDisplay);
        LogPrintf(LOG_INFO, "TimerProc: display reloaded");
        break;
    case IPC_MSG_LOGGING_CHANGED:
        Reload(GetRegLog);
        LogPrintf(LOG_INFO, "TimerProc: logging reloaded");
        break;
    case IPC_MSG_REFRESH_REQUEST:
        if (sockWindow) {
            SockPost(SOCK_MSG_REFRESH, 0, 0);
            LogPrintf(LOG_INFO, "TimerProc: refresh queued");
        }
        break;
    case IPC_MSG_SYSTEM_CHANGED:
        Reload(GetRegSystem);
        LogPrintf(LOG_INFO, "TimerProc: system settings reloaded");
        ListenWithSystemSettings();
        break;
    case IPC_MSG_USERS_CHANGED:
        Reload(LoadUsers);
        LogPrintf(LOG_INFO, "TimerProc: users reloaded");
        break;
    case IPC_MSG_DETAILS_REQUEST:
        DetailsRequested();
        break;
    case IPC_MSG_DISCONNECT:
        DisconnectRequested(data, length);
        break;
    default:
        LogPrintf(LOG_WARNING, "TimerProc: unexpected message");
        break;
    }
}

// IPC_MSG_UPDATE (ipv6 false) or IPC_MSG_UPDATE6: a connection to show, or
// one to remove.
void AdminUpdate(const uint8_t* data, uint32_t length, bool ipv6) {
    ConnRecord record = {};
    bool open = false;
    int taken = ipv6 ? IpcUnpackUpdate6(data, length, &record.connId, &record.client, &open)
                     : IpcUnpackUpdate(data, length, &record.connId, &record.client, &open);
    if (!taken) {
        LogPrintf(LOG_WARNING, "TimerProc: unexpected message");
        return;
    }
    uint32_t connId = record.connId;
    LogPrintf(LOG_NOTICE, "TimerProc: got update for id=%u", connId);
    if (open) {
        if (ConnViewExists()) ConnViewInsert(record);
        return;
    }
    if (!ConnViewExists()) return;
    std::vector<ConnRecord> items = ConnViewItems();
    if (items.empty()) {
        LogPrintf(LOG_WARNING, "TimerProc: no root item");
        return;
    }
    for (const ConnRecord& item : items) {
        if (item.connId == connId) {
            LogPrintf(LOG_NOTICE, "TimerProc: found id=%u", connId);
            ConnViewDelete(connId);
            return;
        }
        LogPrintf(LOG_NOTICE, "TimerProc: skipping id=%lu", (unsigned long)item.connId);
    }
}

// The server's listener status for the status bar: printable ASCII only, so
// a stray datagram can put no control byte on the screen.
void AdminListenStatus(const uint8_t* data, uint32_t length) {
    for (uint32_t i = 0; i < length; i++) {
        if (data[i] < 0x20 || data[i] > 0x7E) {
            LogPrintf(LOG_WARNING, "TimerProc: unexpected message");
            return;
        }
    }
    LogPrintf(LOG_NOTICE, "TimerProc: got listen status \"%.*s\"", (int)length, (const char*)data);
    ListenStatusSet(std::string((const char*)data, length));
}

void AdminMessage(uint8_t type, const uint8_t* data, uint32_t length) {
    switch (type) {
    case IPC_MSG_REFRESH:
        LogPrintf(LOG_NOTICE, "TimerProc: got refresh");
        if (ConnViewExists()) ConnViewClear();
        break;
    case IPC_MSG_UPDATE:
        AdminUpdate(data, length, false);
        break;
    case IPC_MSG_UPDATE6:
        AdminUpdate(data, length, true);
        break;
    case IPC_MSG_LISTEN_STATUS:
        AdminListenStatus(data, length);
        break;
    case IPC_MSG_DETAILS:
        DetailsReceived(data, length);
        break;
    default:
        LogPrintf(LOG_WARNING, "TimerProc: unexpected message");
        break;
    }
}
// SIGHUP: the server and service roles reload every group and the accounts,
// as the admin's change messages would, and reopen the listener (which also
// retries a port that was busy). One record; the process never ends on it.
void HangupReload() {
    if (!RoleIsServerOrService()) {
        LogPrintf(LOG_INFO, "TimerProc: SIGHUP: nothing to reload in the admin role");
        return;
    }
    if (OpenRegApp("Brindlex")) {
        GetRegLog();
        GetRegDisplay();
        GetRegPath();
        GetRegSystem();
        GetRegUsers(&userList);
        CloseRegApp();
    }
    LogPrintf(LOG_INFO, "TimerProc: SIGHUP: settings and users reloaded");
    ListenWithSystemSettings();
}
} // namespace

void ListenWithSystemSettings() {
    if (sockWindow) ApplyTlsSettings();
    if (sockWindow) SockSend(SOCK_MSG_LISTEN, systemSettings.port, systemSettings.serverEnable);
    if (sockWindow) ApplyMetricsSettings();
}

void TimerProc() {
    LogClean();
    if (MainLoopTakeHangups() > 0) HangupReload();
    uint8_t area[kReceiveArea];
    uint8_t type = 0;
    uint32_t capacity = kReceiveArea;
    while (IpcRecv(&type, area, &capacity)) {
        if (RoleIsServerOrService())
            ServerMessage(type, area, capacity);
        else
            AdminMessage(type, area, capacity);
        capacity = kReceiveArea;
    }
    DetailsTick();
}
