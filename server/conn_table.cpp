// The connection table: accepting control connections into reusable slots,
// finding a connection by its control socket, closing connections, telling
// an admin about them, and freeing the table at shutdown. Socket thread only.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
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
#include "server/user_conns.h"
#include "version.h"

ConnEvents connEvents = {};

namespace {

// The kernel's default ceiling of descriptors a process may raise its limit
// to (fs.nr_open): a control connection holds one, so the table never needs
// more slots than that.
constexpr int32_t CONN_SLOTS_MAX = 1 << 20;
// Slots come in blocks of this many; a block, once made, never moves.
constexpr int32_t BLOCK_SLOTS = 64;
constexpr int32_t BLOCKS_MAX = CONN_SLOTS_MAX / BLOCK_SLOTS;

// A block of slots and their owners. Per slot: owner 0 = free, else 1 + the
// socket thread that owns it. An owner is set under slotLock when a
// connection is accepted into the slot, cleared under it when ConnClose is
// done with the slot; read by anyone. Owners live in their block, so a
// table that never grew costs nothing per slot it could have had.
struct Block {
    Conn slot[BLOCK_SLOTS];
    std::atomic<uint8_t> owner[BLOCK_SLOTS] = {};
};

// The blocks, and the number of slots made in them. Slots are made and
// taken under slotLock; ConnAt, ConnOwner and ConnSlotCount need no lock,
// since a block pointer is written before the count that makes its slots
// visible.
Block* blocks[BLOCKS_MAX];
std::atomic<int32_t> slotCount{0};
std::mutex slotLock;

std::atomic<uint8_t>& OwnerOf(int32_t slot) {
    return blocks[slot / BLOCK_SLOTS]->owner[slot % BLOCK_SLOTS];
}

// Set once making a block failed: every later connection is closed at
// once. Kept apart from the count so that the slots already in use stay
// reachable by every walker of the table and are closed at shutdown.
std::atomic<bool> tableFailed{false};

// Slots in use (a control socket open) and the lowest index that may be
// free: accepting and finding a connection cost no walk over the table.
std::atomic<int32_t> activeCount{0};
int32_t firstFree = 0;
// The slot of each socket a connection of this socket thread holds, indexed
// by descriptor; -1 = none. Exact for control sockets; for data and passive
// sockets a hint that the finders check.
thread_local std::vector<int32_t> slotBySocket;

// Appends one slot; its index, or -1 when it cannot be had. slotLock held.
int GrowTable() {
    int32_t count = slotCount.load(std::memory_order_relaxed);
    if (count >= CONN_SLOTS_MAX) return -1;
    int32_t block = count / BLOCK_SLOTS;
    if (!blocks[block]) {
        blocks[block] = new (std::nothrow) Block;
        if (!blocks[block]) return -1;
    }
    int index = count;
    Conn* conn = &blocks[block]->slot[index % BLOCK_SLOTS];
    memset(conn, 0, sizeof *conn);
    conn->connId = (uint32_t)index;
    conn->control.socket = INVALID_SOCKET;
    conn->data.socket = INVALID_SOCKET;
    QueueInit(&conn->control.in);
    QueueInit(&conn->control.out);
    QueueInit(&conn->data.in);
    QueueInit(&conn->data.out);
    slotCount.store(count + 1, std::memory_order_release);
    return index;
}

// The lowest free slot, or -1 when every slot is in use.
int FindFreeSlot() {
    int32_t count = slotCount.load(std::memory_order_relaxed);
    for (int32_t i = firstFree; i < count; i++) {
        if (OwnerOf(i).load(std::memory_order_relaxed) == 0) {
            firstFree = i;
            return i;
        }
    }
    firstFree = count;
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
    conn->controlLocal = NetAddress{}; // the previous client's, read again when needed
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

// Connections each socket thread serves (accepted for it, not yet closed).
std::atomic<int32_t> loopConns[EV_LOOPS_MAX];
// The accepting thread keeps a client unless it serves this many more
// connections than another thread: a handful of short sessions stays where
// it was accepted (a hand-over costs a wake-up of the other thread on every
// session), a crowd is spread.
constexpr int32_t SPREAD_MARGIN = 8;

// The socket thread for a new client: the accepting one, or the one with the
// fewest connections (the lowest number among equals) when the accepting
// one serves SPREAD_MARGIN more.
int LeastBusyLoop() {
    int here = SockLoopIndex();
    int best = here;
    int32_t mine = loopConns[here].load(std::memory_order_relaxed);
    int32_t fewest = mine;
    for (int loop = 0, count = SockLoopCount(); loop < count; loop++) {
        int32_t n = loopConns[loop].load(std::memory_order_relaxed);
        if (n < fewest) {
            fewest = n;
            best = loop;
        }
    }
    return mine - fewest >= SPREAD_MARGIN ? best : here;
}

// Gives back a slot that was accepted for a socket thread that is gone.
void ReleaseSlot(int32_t slot, int loop, SOCKET s) {
    Conn* conn = ConnAt(slot);
    conn->control.socket = INVALID_SOCKET;
    activeCount.fetch_sub(1, std::memory_order_relaxed);
    engineCounters.sessionsNow.fetch_sub(1, std::memory_order_relaxed);
    loopConns[loop].fetch_sub(1, std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> held(slotLock);
        if (slot < firstFree) firstFree = slot;
        OwnerOf(slot).store(0, std::memory_order_release);
    }
    NetCloseSocket(s);
}

} // namespace

int32_t ConnSlotCount() {
    return slotCount.load(std::memory_order_acquire);
}

Conn* ConnAt(int32_t slot) {
    return &blocks[slot / BLOCK_SLOTS]->slot[slot % BLOCK_SLOTS];
}

int32_t ConnActiveCount() {
    return activeCount.load(std::memory_order_relaxed);
}

int ConnOwner(uint32_t connId) {
    // A number past the slots made (a stale or foreign request) has no block.
    if ((int64_t)connId >= ConnSlotCount()) return -1;
    return (int)OwnerOf((int32_t)connId).load(std::memory_order_acquire) - 1;
}

bool ConnOfThisLoop(const Conn* conn) {
    return ConnOwner(conn->connId) == SockLoopIndex() && conn->control.socket != INVALID_SOCKET;
}

void ConnIndexSocket(SOCKET s, const Conn* conn) {
    if (conn) IndexSocket(s, (int32_t)conn->connId);
}

Conn* ConnIndexedBy(SOCKET s) {
    if (s < 0 || (size_t)s >= slotBySocket.size()) return nullptr;
    int32_t slot = slotBySocket[(size_t)s];
    return slot >= 0 && slot < ConnSlotCount() ? ConnAt(slot) : nullptr;
}

Conn* FindConnByControl(SOCKET s) {
    if (s < 0 || (size_t)s >= slotBySocket.size()) return nullptr;
    int32_t slot = slotBySocket[(size_t)s];
    if (slot < 0 || slot >= ConnSlotCount() || ConnAt(slot)->control.socket != s) return nullptr;
    return ConnAt(slot);
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

    std::unique_lock<std::mutex> slotHeld(slotLock);
    int freeSlot = FindFreeSlot();
    if (freeSlot < 0) {
        if (slotCount.load(std::memory_order_relaxed) >= CONN_SLOTS_MAX) {
            // Every connection number is taken: refuse this one only.
            slotHeld.unlock();
            LogPrintf(LOG_WARNING, "AcceptProc: Closing connection");
            SockClose(&s);
            return;
        }
        freeSlot = GrowTable();
        if (freeSlot < 0) {
            tableFailed = true;
            slotHeld.unlock();
            LogPrintf(LOG_WARNING,
                      "AcceptProc: Memory allocation error!  Only bad things can happen now.");
            SockClose(&s);
            return;
        }
    }

    Conn* conn = ConnAt(freeSlot);
    InitSlot(conn, s, client);
    conn->implicitTls = IsImplicitTlsListener(listening);
    conn->activeBefore = activeCount.fetch_add(1, std::memory_order_relaxed);
    int loop = LeastBusyLoop();
    loopConns[loop].fetch_add(1, std::memory_order_relaxed);
    // Every write to the slot comes before its owner is published: from
    // here on only the owning thread touches it.
    OwnerOf(freeSlot).store((uint8_t)(loop + 1), std::memory_order_release);
    slotHeld.unlock();
    CountAdd(engineCounters.sessionsTotal);
    engineCounters.sessionsNow.fetch_add(1, std::memory_order_relaxed);
    if (loop == SockLoopIndex()) {
        AdoptProc((uint32_t)freeSlot);
        return;
    }
    EvSockMoveTo(s, loop);
    if (!SockPostToLoop(loop, SOCK_MSG_ADOPT, (uintptr_t)freeSlot, 0)) {
        // That thread is ending: the server is closing down.
        LogPrintf(LOG_WARNING, "AcceptProc(%d) Closing connection: socket thread %d is gone",
                  freeSlot, loop);
        ReleaseSlot(freeSlot, loop, s);
    }
}

void AdoptProc(uint32_t connId) {
    if (ConnOwner(connId) != SockLoopIndex()) return;
    Conn* conn = ConnAt((int32_t)connId);
    SOCKET s = conn->control.socket;
    IndexSocket(s, (int32_t)connId);
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
    if (proxy == 0)
        ConnWelcome(conn);
    else
        conn->activeBefore = -1;
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
    int active = conn->activeBefore >= 0 ? conn->activeBefore
                                         : activeCount.load(std::memory_order_relaxed) - 1;
    uint16_t maxConn = SettingLoad(systemSettings.maxConn);
    if (maxConn != 0 && active >= maxConn) {
        RefuseBusy(conn, REFUSED_MAX_CONN);
        return;
    }
    GreetOrRefuse(conn);
}

void GreetOrRefuse(Conn* conn) {
    if (AddressLimitExceeded(AddressLimitAdd(conn))) {
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
    UserConnForget(conn);
    if (conn->control.socket != INVALID_SOCKET) {
        LogPrintf(LOG_INFO, "ConnClose(%u) Closing control socket.", conn->connId);
        IndexSocket(conn->control.socket, -1);
        ChannelCloseNotify(&conn->control);
        ChannelDropTls(&conn->control);
        activeCount.fetch_sub(1, std::memory_order_relaxed);
        AddressLimitRemove(conn);
        engineCounters.sessionsNow.fetch_sub(1, std::memory_order_relaxed);
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
    if (ConnOwner(conn->connId) == SockLoopIndex()) {
        // The slot is free from here on, for any socket thread's accept.
        loopConns[SockLoopIndex()].fetch_sub(1, std::memory_order_relaxed);
        std::lock_guard<std::mutex> held(slotLock);
        int32_t slot = (int32_t)conn->connId;
        if (slot < firstFree) firstFree = slot;
        OwnerOf(slot).store(0, std::memory_order_release);
    }
}

ConnRecord ConnRecordOf(const Conn* conn) {
    return {conn->connId, conn->peer};
}

namespace {
void ListOwnConnections(std::vector<ConnRecord>* records) {
    for (int32_t i = 0, count = ConnSlotCount(); i < count; i++) {
        const Conn* conn = ConnAt(i);
        if (ConnOfThisLoop(conn)) records->push_back(ConnRecordOf(conn));
    }
}

void NotifyListed(std::vector<ConnRecord>* records) {
    if (connEvents.notify)
        for (const ConnRecord& record : *records)
            connEvents.notify(record);
    delete records;
}
} // namespace

void RefreshConnections() {
    if (connEvents.refreshBegin) connEvents.refreshBegin();
    SockGather(ListOwnConnections, NotifyListed);
}

void SockDestroyProc() {
    AcceptReset();
    if (SockLoopIndex() == 0) ImplicitTlsClose();
    int32_t count = ConnSlotCount();
    if (count == 0) return;
    LogPrintf(LOG_INFO, "SockDestroyProc: Closing any connections.");
    for (int32_t i = 0; i < count; i++)
        if (ConnOwner((uint32_t)i) == SockLoopIndex()) ConnClose(ConnAt(i));
    if (SockLoopIndex() != 0) return;
    // The first socket thread ends last, after the others: a client handed
    // to a thread that ended before taking it up is closed here.
    for (int32_t i = 0; i < count; i++) {
        if (ConnOwner((uint32_t)i) <= 0) continue;
        OwnerOf(i).store(1, std::memory_order_release);
        ConnClose(ConnAt(i));
    }
    // The table is freed with it.
    LogPrintf(LOG_INFO, "SockDestroyProc: Freeing connection list.");
    for (std::atomic<int32_t>& n : loopConns)
        n = 0;
    slotCount.store(0, std::memory_order_release);
    for (Block*& block : blocks) {
        delete block;
        block = nullptr;
    }
    tableFailed = false;
    activeCount = 0;
    firstFree = 0;
    AddressLimitClear();
    slotBySocket.clear();
    slotBySocket.shrink_to_fit();
}
