// Data connections: made actively (ClientConnect) or accepted on a passive
// socket (PassiveProc), driven by the data socket's events (DataProc), and
// ended by the data socket's FD_CLOSE with the transfer's final reply.
#include "server/data.h"

#include <atomic>
#include <cstdarg>

#include "log/log.h"
#include "platform/eventloop.h"
#include "platform/fs.h"
#include "server/audit.h"
#include "server/commands.h"
#include "server/counters.h"
#include "server/dataconn.h"
#include "server/limits.h"
#include "server/sockthread.h"
#include "server/upload_hook.h"
#include "server/tls_conn.h"

namespace {

// Bytes a client may send on a data connection before any transfer command
// claims it. Beyond that they are dropped and the next transfer reports 426,
// so an idle data connection cannot fill the server's memory.
constexpr uint32_t EARLY_DATA_LIMIT = 256 * 1024;

constexpr long DATA_EVENTS = FD_READ | FD_WRITE | FD_CLOSE;

// Binding port 20 was refused for lack of privilege; logged once, by the
// first socket thread to meet it.
std::atomic<bool> port20Refused{false};

// Handles the bytes that one receive added to data.in, by transferKind.
void HandleDataInput(Conn* conn) {
    Channel* data = &conn->data;
    switch (conn->transferKind) {
    case XFER_STOR:
        RecvData(conn);
        break;
    case XFER_NONE:
        // Kept for a transfer command still to come, within a bound.
        if (QueueUnread(&data->in) > EARLY_DATA_LIMIT) {
            LogPrintf(LOG_WARNING,
                      "DataProc(%u) Dropping %u bytes received before a transfer command.",
                      conn->connId, QueueUnread(&data->in));
            QueueFree(&data->in);
            data->failed = 1;
        }
        break;
    default:
        // Listings and downloads expect nothing from the client.
        QueueFree(&data->in);
        break;
    }
}

// A download or listing whose bytes were not all handed over is incomplete,
// whoever closed the connection.
bool SendingIncomplete(const Conn* conn) {
    if (conn->transferKind == XFER_RETR && conn->fileHandle != INVALID_FILE_HANDLE) return true;
    if (conn->transferKind == XFER_RETR || IsListing(conn->transferKind))
        return conn->data.out.block != nullptr && conn->data.out.length > 0;
    return false;
}

// One receive on the data connection, handled by transferKind.
int ReadData(Conn* conn) {
    if (conn->transferKind == XFER_STOR) {
        int n = ReceiveUpload(conn);
        // The client's TLS close alert ends its upload: it waits for ours
        // before it closes the connection.
        if (conn->data.tls && TlsPeerClosed(conn->data.tls) && !conn->data.shutdownWhenDrained) {
            conn->data.shutdownWhenDrained = 1;
            ConnWrite(conn, &conn->data);
        }
        return n;
    }
    int n = ConnRead(conn, &conn->data);
    HandleDataInput(conn);
    return n;
}

void DataClosed(Conn* conn, uint16_t error) {
    Channel* data = &conn->data;
    if (LimitsHoldClose(conn, error)) return;
    if (data->tlsHandshaking) {
        // Closed before its TLS handshake ended: nothing to drain.
        if (conn->transferKind != XFER_NONE) data->failed = 1;
    } else if (error == 0) {
        // Drain what the client sent before closing: an upload's last bytes.
        while (data->socket != INVALID_SOCKET && ReadData(conn) > 0) {
        }
    } else if (conn->transferKind != XFER_NONE && !(data->tls && TlsPeerClosed(data->tls))) {
        // A reset is never a complete transfer, unless the client's TLS
        // close alert came first (it sent everything and closed at once).
        data->failed = 1;
    }
    if (conn->transferKind != XFER_NONE && SendingIncomplete(conn)) {
        LogPrintf(LOG_INFO, "DataProc(%u) Data connection closed before the transfer was complete.",
                  conn->connId);
        data->failed = 1;
    }
    CloseTransferFile(conn);
    CloseDataSocket(conn);
    QueueFree(&data->in);
    QueueFree(&data->out);
    data->shutdownWhenDrained = 0;
    if (conn->transferKind != XFER_NONE) {
        AuditEnd(conn, data->failed ? "426" : "226");
        if (!data->failed && conn->transferKind == XFER_STOR)
            UploadHookAfter(conn, conn->transferPath);
        if (data->failed)
            Reply(conn, "426 Connection closed; transfer aborted.");
        else
            Reply(conn, "226 Transfer complete.");
    }
    conn->transferKind = XFER_NONE;
    conn->dataMode = DATA_DEFAULT;
    ProcessCommands(conn);
}

void DataConnected(Conn* conn, uint16_t error) {
    if (error != 0) {
        char address[NET_ADDRESS_TEXT_SIZE];
        LogPrintf(LOG_WARNING, "DataProc(%u) Could not connect to %s port %u: %s", conn->connId,
                  NetAddressText(conn->dataAddress, address), conn->dataAddress.port,
                  WinsockErrorName(error));
        CloseDataSocket(conn);
        conn->transferKind = XFER_NONE;
        Reply(conn, "425 Can't open data connection.");
        ProcessCommands(conn);
        return;
    }
    if (NetAsyncSelect(conn->data.socket, SOCK_MSG_DATA, DATA_EVENTS) == SOCKET_ERROR) {
        int code = WSAGetLastError();
        LogPrintf(LOG_WARNING, "DataProc(%u) Error %d selecting events: %s", conn->connId, code,
                  WinsockErrorName(code));
        CloseDataSocket(conn);
        conn->transferKind = XFER_NONE;
        Reply(conn, "425 Can't open data connection.");
        ProcessCommands(conn);
        return;
    }
    if (DataTlsStart(conn)) StartTransfer(conn);
}

} // namespace

Conn* FindConnByData(SOCKET s) {
    if (s == INVALID_SOCKET) return nullptr;
    Conn* hinted = ConnIndexedBy(s);
    if (hinted && hinted->control.socket != INVALID_SOCKET && hinted->data.socket == s)
        return hinted;
    for (int32_t i = 0, slots = ConnSlotCount(); i < slots; i++) {
        Conn* conn = ConnAt(i);
        if (ConnOfThisLoop(conn) && conn->data.socket == s) return conn;
    }
    return nullptr;
}

Conn* FindConnByPassive(SOCKET s) {
    if (s == INVALID_SOCKET) return nullptr;
    Conn* hinted = ConnIndexedBy(s);
    if (hinted && hinted->control.socket != INVALID_SOCKET && hinted->passiveSocket == s)
        return hinted;
    for (int32_t i = 0, slots = ConnSlotCount(); i < slots; i++) {
        Conn* conn = ConnAt(i);
        if (ConnOfThisLoop(conn) && conn->passiveSocket == s) return conn;
    }
    return nullptr;
}

int TransferReply(Conn* conn, int code, const char* format, ...) {
    if (IsListing(conn->transferKind) && conn->data.socket != INVALID_SOCKET) {
        // A listing is still being sent: it is cut short and so fails.
        LogPrintf(LOG_INFO, "TransferReply(%u) Aborting the listing in progress.", conn->connId);
        QueueFree(&conn->data.out);
        conn->data.shutdownWhenDrained = 0;
        conn->data.failed = 1;
        NetShutdownSend(conn->data.socket);
        code = 426;
    }
    va_list args;
    va_start(args, format);
    QueuePrintf(&conn->control.out, "%d ", code);
    QueueVPrintf(&conn->control.out, format, args);
    va_end(args);
    AppendQueue(&conn->control.out, "\r\n", 2);
    return ConnWrite(conn, &conn->control);
}

void StartTransfer(Conn* conn) {
    if (conn->data.tlsHandshaking) return; // started when the handshake is done
    AuditBegin(conn);
    conn->limit.waiting = LIMIT_WAIT_NONE; // nothing of an earlier transfer waits on
    conn->limit.closeHeld = 0;
    switch (conn->transferKind) {
    case XFER_LIST:
        SendList(conn, 1);
        break;
    case XFER_NLST:
        SendList(conn, 0);
        break;
    case XFER_MLSD:
        SendMlsd(conn);
        break;
    case XFER_RETR:
        SendFile(conn);
        break;
    case XFER_STOR:
        RecvFile(conn);
        break;
    default:
        break;
    }
}

void CloseDataSocket(Conn* conn) {
    ChannelDropTls(&conn->data);
    SockClose(&conn->data.socket);
}

void CloseTransferFile(Conn* conn) {
    if (conn->fileHandle == INVALID_FILE_HANDLE) return;
    FsClose(conn->fileHandle);
    conn->fileHandle = INVALID_FILE_HANDLE;
}

void CloseDataSide(Conn* conn) {
    SockClose(&conn->passiveSocket);
    EndTransfer(conn);
}

void EndTransfer(Conn* conn) {
    AuditEnd(conn, "aborted");
    CloseDataSocket(conn);
    CloseTransferFile(conn);
    QueueFree(&conn->data.in);
    QueueFree(&conn->data.out);
    conn->data.failed = 0;
    conn->data.shutdownWhenDrained = 0;
    conn->transferKind = XFER_NONE;
}

int ClientConnect(Conn* conn) {
    Channel* data = &conn->data;
    CloseDataSocket(conn);
    QueueFree(&data->in);
    QueueFree(&data->out);

    uint8_t family =
        conn->dataAddress.family == NET_FAMILY_IPV6 ? NET_FAMILY_IPV6 : NET_FAMILY_IPV4;
    data->socket = NetSocketTcp(family);
    if (data->socket == INVALID_SOCKET) {
        LogPrintf(LOG_WARNING, "ClientConnect(%u) Could not create host socket.", conn->connId);
        return 0;
    }
    ConnIndexSocket(data->socket, conn);
    if (!SetReuseAddr(data->socket)) {
        CloseDataSocket(conn);
        return 0;
    }
    if (NetBind(data->socket, NetAddressAny(family, 20)) == SOCKET_ERROR) {
        int code = WSAGetLastError();
        if (code != WSAEACCES) {
            LogPrintf(LOG_WARNING, "ClientConnect(%u) Error %d binding to port 20: %s",
                      conn->connId, code, WinsockErrorName(code));
            CloseDataSocket(conn);
            return 0;
        }
        // Without the privilege for port 20 the system picks the local port.
        if (!port20Refused.exchange(true, std::memory_order_relaxed)) {
            LogPrintf(
                LOG_WARNING,
                "ClientConnect(%u) Binding to port 20 refused (%s); active connections use a port "
                "the system chooses.",
                conn->connId, WinsockErrorName(code));
        }
        if (NetBind(data->socket, NetAddressAny(family)) == SOCKET_ERROR) {
            code = WSAGetLastError();
            LogPrintf(LOG_WARNING, "ClientConnect(%u) Error %d binding: %s", conn->connId, code,
                      WinsockErrorName(code));
            CloseDataSocket(conn);
            return 0;
        }
    }
    if (NetAsyncSelect(data->socket, SOCK_MSG_DATA, FD_CONNECT) == SOCKET_ERROR) {
        int code = WSAGetLastError();
        LogPrintf(LOG_WARNING, "ClientConnect(%u) Error %d selecting events: %s", conn->connId,
                  code, WinsockErrorName(code));
        CloseDataSocket(conn);
        return 0;
    }
    char address[NET_ADDRESS_TEXT_SIZE];
    NetAddressText(conn->dataAddress, address);
    if (NetConnect(data->socket, conn->dataAddress) == SOCKET_ERROR &&
        WSAGetLastError() != WSAEWOULDBLOCK) {
        int code = WSAGetLastError();
        LogPrintf(LOG_WARNING, "ClientConnect(%u) Error %d connecting to %s: %s", conn->connId,
                  code, address, WinsockErrorName(code));
        CloseDataSocket(conn);
        return 0;
    }
    LogPrintf(LOG_INFO, "ClientConnect(%u) Connecting to %s port %u...", conn->connId, address,
              conn->dataAddress.port);
    data->failed = 0;
    data->shutdownWhenDrained = 0;
    return 1;
}

void PassiveProc(SOCKET s) {
    NetAddress client = {};
    SOCKET accepted = NetAccept(s, &client);
    if (accepted == INVALID_SOCKET) {
        int code = WSAGetLastError();
        if (!AcceptFailed(s, SOCK_MSG_PASSIVE, code, "PassiveProc"))
            LogPrintf(LOG_WARNING, "PassiveProc: Error %d accepting connection: %s", code,
                      WinsockErrorName(code));
        return;
    }
    AcceptSucceeded();
    if (LogWanted(LOG_INFO)) {
        NetAddress local = {};
        NetGetSockName(s, &local);
        char endpoint[NET_ENDPOINT_TEXT_SIZE];
        LogPrintf(LOG_INFO, "PassiveProc: Accepted connection from %s on port %u",
                  NetEndpointText(client, endpoint), local.port);
    }
    // The client's address as text, for the refusals only.
    char address[NET_ADDRESS_TEXT_SIZE] = "";

    Conn* conn = FindConnByPassive(s);
    if (!conn) {
        LogPrintf(LOG_WARNING, "PassiveProc: Closing connection");
        SockClose(&accepted);
        return;
    }
    // Anybody who reached the announced port first could otherwise take the
    // user's data: a restricted account accepts only its own client's address.
    if ((conn->user.accountFlags & ACCOUNT_RESTRICT) && !NetAddressSameHost(client, conn->peer)) {
        NetAddressText(client, address);
        char peer[NET_ADDRESS_TEXT_SIZE];
        LogPrintf(LOG_WARNING, "PassiveProc(%u) Closing connection from %s: the client is %s",
                  conn->connId, address, NetAddressText(conn->peer, peer));
        CountAdd(engineCounters.refused[REFUSED_RESTRICT]);
        SockClose(&accepted);
        return;
    }
    // One data connection at a time: the one already open keeps its transfer.
    if (conn->data.socket != INVALID_SOCKET) {
        NetAddressText(client, address);
        LogPrintf(LOG_WARNING,
                  "PassiveProc(%u) Closing connection from %s: a data connection is already open",
                  conn->connId, address);
        SockClose(&accepted);
        return;
    }

    Channel* data = &conn->data;
    data->socket = accepted;
    conn->passiveSinceMs = 0; // the port was used: it stays for the next transfer
    ConnIndexSocket(accepted, conn);
    data->failed = 0;
    data->shutdownWhenDrained = 0;
    QueueFree(&data->in);
    QueueFree(&data->out);
    if (NetAsyncSelect(accepted, SOCK_MSG_DATA, DATA_EVENTS) == SOCKET_ERROR) {
        int code = WSAGetLastError();
        LogPrintf(LOG_WARNING, "PassiveProc(%u) Error %d selecting events: %s", conn->connId, code,
                  WinsockErrorName(code));
        CloseDataSocket(conn);
        if (conn->transferKind != XFER_NONE) {
            conn->transferKind = XFER_NONE;
            Reply(conn, "425 Can't open data connection.");
            ProcessCommands(conn);
        }
        return;
    }
    if (DataTlsStart(conn)) StartTransfer(conn);
}

void DataProc(intptr_t lParam, SOCKET s) {
    uint16_t event = WSAGETSELECTEVENT(lParam);
    uint16_t error = WSAGETSELECTERROR(lParam);
    Conn* conn = FindConnByData(s);
    if (!conn) {
        LogPrintf(LOG_INFO, "DataProc: Handle %d, %s, %s: spurious notification", s,
                  SockEventName(event), WinsockErrorName(error));
        return;
    }
    if (event == FD_READ || event == FD_WRITE) conn->dataProgressMs = EvNowMs(); // DataTimeout
    if ((event == FD_READ || event == FD_WRITE) && conn->data.tlsHandshaking) {
        DataTlsEvent(conn);
        return;
    }
    switch (event) {
    case FD_READ:
        LogPrintf(AuditEventLevel(), "DataProc(%u) FD_READ: %s", conn->connId,
                  WinsockErrorName(error));
        ReadData(conn);
        TlsReadPendingLater(conn, &conn->data, SOCK_MSG_DATA);
        break;
    case FD_WRITE:
        LogPrintf(AuditEventLevel(), "DataProc(%u) FD_WRITE: %s", conn->connId,
                  WinsockErrorName(error));
        if (conn->transferKind == XFER_RETR)
            SendData(conn);
        else
            ConnWrite(conn, &conn->data);
        break;
    case FD_CONNECT:
        LogPrintf(LOG_INFO, "DataProc(%u) FD_CONNECT: %s", conn->connId, WinsockErrorName(error));
        DataConnected(conn, error);
        break;
    case FD_CLOSE:
        LogPrintf(LOG_INFO, "DataProc(%u) FD_CLOSE: %s", conn->connId, WinsockErrorName(error));
        DataClosed(conn, error);
        break;
    default:
        LogPrintf(LOG_WARNING, "DataProc(%u) Unknown event.", conn->connId);
        break;
    }
}

int OpenDataConnection(Conn* conn, uint8_t kind) {
    // Two transfer commands in one segment: the second would take over the
    // first one's data socket and file.
    if (conn->transferKind != XFER_NONE) {
        LogPrintf(LOG_WARNING, "OpenDataConnection(%u) A transfer is already under way.",
                  conn->connId);
        TransferReply(conn, 425, "Can't open data connection.");
        return 0;
    }
    if (TlsDataRefused(conn)) return 0;
    // After a passive transfer the listening socket stays open and the client
    // may connect to it again; connecting actively to it would reach the
    // server itself.
    bool passive = conn->dataMode == DATA_PASSIVE ||
                   (conn->dataMode == DATA_DEFAULT && conn->passiveSocket != INVALID_SOCKET);
    if (passive) {
        conn->transferKind = kind;
        if (conn->data.socket == INVALID_SOCKET) {
            Reply(conn, "150 Opening data connection.");
        } else {
            Reply(conn, "125 Data connection already open; transfer starting.");
            StartTransfer(conn);
        }
        return 1;
    }
    if (conn->dataMode == DATA_DEFAULT || conn->dataMode == DATA_PORT) {
        if (!ClientConnect(conn)) {
            Reply(conn, "425 Can't open data connection.");
            return 0;
        }
        conn->transferKind = kind;
        Reply(conn, "150 Opening data connection.");
        return 1;
    }
    TransferReply(conn, 500, "System error.");
    return 0;
}
