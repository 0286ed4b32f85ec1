// The connection table: accepting control connections into reusable slots,
// finding a connection by its control socket, closing connections, telling
// an admin about them, and freeing the table at shutdown. Socket thread only.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "config/config.h"
#include "server/conn_details.h"
#include "server/conn_events.h"
#include "log/log.h"
#include "platform/fs.h"
#include "server/address_limit.h"
#include "server/counters.h"
#include "server/control_limits.h"
#include "server/proxy_conn.h"
#include "server/sockthread.h"
#include "server/dataconn.h"
#include "server/tls_conn.h"
#include "version.h"

ConnTable connTable = {nullptr, 0, 0};
ConnEvents connEvents = {};

namespace {

// Set once growing the table failed: every later connection is closed at
// once. Kept apart from connTable.count so that the slots already in use
// stay reachable by every walker of the table and are closed at shutdown.
bool tableFailed = false;

// connId is 16 bits wide, so the table never holds more slots than that.
constexpr int32_t CONN_SLOTS_MAX = 65536;

// Slots in use (a control socket open) and the lowest index that may be
// free: accepting and finding a connection cost no walk over the table.
int32_t activeCount = 0;
int32_t firstFree = 0;
// The slot of each socket a connection holds, indexed by descriptor; -1 =
// none. Exact for control sockets; for data and passive sockets a hint that
// the finders check.
std::vector<int32_t> slotBySocket;

// Appends one slot; its index, or -1 when it cannot be had. The allocation
// doubles when full, so that accepting n clients copies O(n) records.
int GrowTable() {
    if (connTable.count >= CONN_SLOTS_MAX) return -1;
    if (connTable.count == connTable.capacity) {
        int32_t capacity = connTable.capacity < 16 ? 16 : connTable.capacity * 2;
        if (capacity > CONN_SLOTS_MAX) capacity = CONN_SLOTS_MAX;
        Conn* grown = (Conn*)realloc(connTable.conns, sizeof(Conn) * (size_t)capacity);
        if (!grown) return -1;
        connTable.conns = grown;
        connTable.capacity = capacity;
    }
    int index = connTable.count++;
    Conn* conn = &connTable.conns[index];
    memset(conn, 0, sizeof *conn);
    conn->connId = (uint16_t)index;
    conn->control.socket = INVALID_SOCKET;
    conn->data.socket = INVALID_SOCKET;
    QueueInit(&conn->control.in);
    QueueInit(&conn->control.out);
    QueueInit(&conn->data.in);
    QueueInit(&conn->data.out);
    return index;
}

// The lowest free slot, or -1 when every slot is in use.
int FindFreeSlot() {
    for (int32_t i = firstFree; i < connTable.count; i++) {
        if (connTable.conns[i].control.socket == INVALID_SOCKET) {
            firstFree = i;
            return i;
        }
    }
    firstFree = connTable.count;
    return -1;
}

void IndexSocket(SOCKET s, int32_t slot) {
    if (s < 0) return;
    if ((size_t)s >= slotBySocket.size()) slotBySocket.resize((size_t)s + 1 + (size_t)s / 2, -1);
    slotBySocket[(size_t)s] = slot;
}

void InitSlot(Conn* conn, SOCKET s, const NetAddress& client) {
    memset(&conn->user, 0, sizeof conn->user);
    conn->limit = LimitState{};
    conn->peer = client;
    conn->currentDir[0] = 0;
    conn->transferPath[0] = 0;
    conn->renameFrom[0] = 0;
    conn->control.failed = 0;
    conn->control.shutdownWhenDrained = 0;
    conn->control.socket = s;
    conn->data.failed = 0;
    conn->data.shutdownWhenDrained = 0;
    conn->data.socket = INVALID_SOCKET;
    conn->passiveSocket = INVALID_SOCKET;
    conn->fileHandle = INVALID_FILE_HANDLE;
    conn->transferKind = XFER_NONE;
    conn->dataMode = DATA_DEFAULT;
    // Without PORT or PASV the client listens on its own control port
    // (the default data port of the protocol).
    conn->dataAddress = client;
    conn->loginState = LOGIN_NONE;
    conn->imageType = 0;
    conn->restartOffset = 0;
    conn->filePosition = 0;
    conn->viewItem = 0;
    conn->discardingLine = 0;
    conn->traceLine = 0;
    // A connection keeps the switch it started with, so a reload never
    // changes the commands of a session under way.
    conn->extensions = ExtensionsSetting() != 0;
    conn->epsvAll = 0;
    conn->mlstFacts = MLST_FACTS_ALL;
    conn->proxyWaiting = 0;
    conn->addressCounted = 0;
    conn->tlsMode = (uint8_t)SettingLoad(systemSettings.tls);
    conn->implicitTls = 0;
    conn->tlsAuthPending = 0;
    conn->tlsPbsz = 0;
    conn->tlsProtP = 0;
    conn->control.tls = nullptr;
    conn->control.tlsHandshaking = 0;
    conn->data.tls = nullptr;
    conn->data.tlsHandshaking = 0;
    ConnDetailsStart(conn);
}

} // namespace

void ConnIndexSocket(SOCKET s, const Conn* conn) {
    if (conn) IndexSocket(s, conn->connId);
}

Conn* ConnIndexedBy(SOCKET s) {
    if (s < 0 || (size_t)s >= slotBySocket.size()) return nullptr;
    int32_t slot = slotBySocket[(size_t)s];
    return slot >= 0 && slot < connTable.count ? &connTable.conns[slot] : nullptr;
}

Conn* FindConnByControl(SOCKET s) {
    if (s < 0 || (size_t)s >= slotBySocket.size()) return nullptr;
    int32_t slot = slotBySocket[(size_t)s];
    if (slot < 0 || slot >= connTable.count || connTable.conns[slot].control.socket != s)
        return nullptr;
    return &connTable.conns[slot];
}

void AcceptProc(SOCKET listening) {
    NetAddress client = {};
    SOCKET s = NetAccept(listening, &client);
    if (s == INVALID_SOCKET) {
        int error = WSAGetLastError();
        if (!AcceptFailed(listening, SOCK_MSG_ACCEPT, error, "AcceptProc"))
            LogPrintf(LOG_WARNING, "AcceptProc: Error %d accepting connection", error);
        return;
    }
    AcceptSucceeded();
    // Replies go out as whole lines: waiting for the acknowledgement of the
    // previous one (the client delays it, having nothing to send) would hold
    // each final reply of a transfer back by tens of milliseconds.
    if (NetSetNoDelay(s) == SOCKET_ERROR)
        LogPrintf(LOG_WARNING, "AcceptProc: Error %d setting TCP_NODELAY", WSAGetLastError());
    char clientText[NET_ENDPOINT_TEXT_SIZE];
    NetEndpointText(client, clientText);
    NetAddress local = {};
    if (LogWanted(LOG_INFO)) NetGetSockName(listening, &local);
    LogPrintf(LOG_INFO, "AcceptProc: Accepted connection from %s on port %u", clientText,
              local.port);

    if (tableFailed) {
        LogPrintf(LOG_WARNING, "AcceptProc: Closing connection");
        SockClose(&s);
        return;
    }

    int freeSlot = FindFreeSlot();
    if (freeSlot < 0) {
        if (connTable.count >= CONN_SLOTS_MAX) {
            // Every connection number is taken: refuse this one only.
            LogPrintf(LOG_WARNING, "AcceptProc: Closing connection");
            SockClose(&s);
            return;
        }
        freeSlot = GrowTable();
        if (freeSlot < 0) {
            LogPrintf(LOG_WARNING,
                      "AcceptProc: Memory allocation error!  Only bad things can happen now.");
            tableFailed = true;
            SockClose(&s);
            return;
        }
    }

    Conn* conn = &connTable.conns[freeSlot];
    InitSlot(conn, s, client);
    conn->implicitTls = IsImplicitTlsListener(listening);
    IndexSocket(s, freeSlot);
    activeCount++;
    CountAdd(engineCounters.sessionsTotal);
    engineCounters.sessionsNow.fetch_add(1, std::memory_order_relaxed);
    if (conn->extensions && NetSetOobInline(s) == SOCKET_ERROR)
        LogPrintf(LOG_WARNING, "AcceptProc(%u) Error %d setting SO_OOBINLINE", conn->connId,
                  WSAGetLastError());

    if (NetAsyncSelect(s, SOCK_MSG_CONTROL, FD_READ | FD_WRITE | FD_CLOSE) == SOCKET_ERROR) {
        // Without notifications the connection could never be served.
        int error = WSAGetLastError();
        LogPrintf(LOG_WARNING, "AcceptProc(%u) Error %d selecting events: %s", conn->connId, error,
                  WinsockErrorName(error));
        ConnClose(conn);
        return;
    }

    // Behind a load balancer the greeting waits for the PROXY header.
    int proxy = ProxyAccept(conn);
    if (proxy < 0) return;
    ConnTimerStart(conn);
    if (proxy == 0) ConnWelcome(conn);
}

void ConnWelcome(Conn* conn) {
    ConnRecord record = ConnRecordOf(conn);
    if (connEvents.notify) connEvents.notify(record);
    if (connEvents.viewInsert) {
        connEvents.viewInsert(record);
        conn->viewItem = 1;
    }
    if (conn->implicitTls) {
        // TLS from the first byte: the greeting (or refusal) waits for the
        // handshake.
        ControlTlsStart(conn);
        if (conn->control.socket == INVALID_SOCKET) return;
    }
    // The connections before this one.
    int active = activeCount - 1;
    uint16_t maxConn = SettingLoad(systemSettings.maxConn);
    if (maxConn != 0 && active >= maxConn) {
        RefuseBusy(conn, REFUSED_MAX_CONN);
        return;
    }
    GreetOrRefuse(conn);
}

void GreetOrRefuse(Conn* conn) {
    AddressLimitAdd(conn);
    if (AddressLimitExceeded(conn)) {
        char address[NET_ADDRESS_TEXT_SIZE];
        LogPrintf(LOG_WARNING, "AcceptProc(%u) %s has MaxConnPerAddress connections already",
                  conn->connId, NetAddressText(conn->peer, address));
        RefuseBusy(conn, REFUSED_MAX_CONN_PER_ADDRESS);
        return;
    }
    SendGreeting(conn);
}

void RefuseBusy(Conn* conn, uint8_t limit) {
    CountAdd(engineCounters.refused[limit]);
    conn->control.shutdownWhenDrained = 1;
    Reply(conn, "421 Too may users; try again later");
}

void SendGreeting(Conn* conn) {
    ReplyFile(conn, "welcome.txt", "220 %s", BRINDLEX_VERSION_CAPTION);
}

void ConnClose(Conn* conn) {
    ConnTimerStop(conn);
    if (conn->control.socket != INVALID_SOCKET) {
        LogPrintf(LOG_INFO, "ConnClose(%u) Closing control socket.", conn->connId);
        IndexSocket(conn->control.socket, -1);
        ChannelCloseNotify(&conn->control);
        ChannelDropTls(&conn->control);
        activeCount--;
        AddressLimitRemove(conn);
        engineCounters.sessionsNow.fetch_sub(1, std::memory_order_relaxed);
        if (conn->connId < firstFree) firstFree = conn->connId;
        SockClose(&conn->control.socket);
        if (connEvents.notifyClosed) connEvents.notifyClosed(ConnRecordOf(conn));
    }
    if (conn->data.socket != INVALID_SOCKET) {
        LogPrintf(LOG_INFO, "ConnClose(%u) Closing data socket.", conn->connId);
        CloseDataSocket(conn);
    }
    if (conn->passiveSocket != INVALID_SOCKET) {
        LogPrintf(LOG_INFO, "ConnClose(%u) Closing listening socket.", conn->connId);
        SockClose(&conn->passiveSocket);
    }
    if (conn->fileHandle != INVALID_FILE_HANDLE) {
        LogPrintf(LOG_INFO, "ConnClose(%u) Closing file handle.", conn->connId);
        FsClose(conn->fileHandle);
        conn->fileHandle = INVALID_FILE_HANDLE;
    }
    QueueFree(&conn->control.in);
    QueueFree(&conn->control.out);
    QueueFree(&conn->data.in);
    QueueFree(&conn->data.out);
    conn->discardingLine = 0;
    if (conn->viewItem) {
        if (connEvents.viewDelete) connEvents.viewDelete(conn->connId);
        conn->viewItem = 0;
    }
}

ConnRecord ConnRecordOf(const Conn* conn) {
    return {conn->connId, conn->peer};
}

void RefreshConnections() {
    if (connEvents.refreshBegin) connEvents.refreshBegin();
    for (int32_t i = 0; i < connTable.count; i++) {
        const Conn* conn = &connTable.conns[i];
        if (conn->control.socket != INVALID_SOCKET && connEvents.notify)
            connEvents.notify(ConnRecordOf(conn));
    }
}

void SockDestroyProc() {
    AcceptReset();
    ImplicitTlsClose();
    if (!connTable.conns) return;
    LogPrintf(LOG_INFO, "SockDestroyProc: Closing any connections.");
    for (int32_t i = 0; i < connTable.count; i++)
        ConnClose(&connTable.conns[i]);
    LogPrintf(LOG_INFO, "SockDestroyProc: Freeing connection list.");
    free(connTable.conns);
    connTable.conns = nullptr;
    connTable.count = 0;
    connTable.capacity = 0;
    tableFailed = false;
    activeCount = 0;
    firstFree = 0;
    AddressLimitClear();
    slotBySocket.clear();
    slotBySocket.shrink_to_fit();
}
