// FTP over TLS on the engine's channels. A channel with a session reads and
// writes through it; a handshake is one non-blocking step per socket event
// (its socket calls arm the loop's FD_READ or FD_WRITE as plain ones do),
// bounded by LoginTimeout on a control connection, by the transfer on a data
// connection. Nothing a channel queues goes out while its handshake runs.
#include "server/tls_conn.h"

#include <cstring>

#include "config/config.h"
#include "log/log.h"
#include "server/commands.h"
#include "server/control_limits.h"
#include "server/data.h"
#include "server/dataconn.h"
#include "server/sockthread.h"
#include "server/tls_owners.h"
#include "server/user_conns.h"

namespace {

SOCKET implicitListener = INVALID_SOCKET;
uint16_t implicitPort = 0;
// The ListenAddress implicitListener was opened for (no family = every
// address).
NetAddress implicitAddress = {};

bool SameAddress(const NetAddress& a, const NetAddress& b) {
    return a.family == b.family && (a.family == NET_FAMILY_NONE || NetAddressSameHost(a, b));
}

// The implicit TLS port listens where the plain port does: at ListenAddress,
// or on every address of both families (one dual-stack socket, IPv4 only
// where the system has no IPv6).
SOCKET OpenImplicitListener(uint16_t port, const NetAddress& address) {
    if (address.family != NET_FAMILY_NONE) {
        NetAddress bound = address;
        bound.port = port;
        return SockListen(SOCK_MSG_ACCEPT, bound, "implicit TLS");
    }
    int error = 0;
    SOCKET s = SockListen(SOCK_MSG_ACCEPT, NetAddressAny(NET_FAMILY_IPV6, port), "implicit TLS",
                          &error, false, true);
    if (s != INVALID_SOCKET || error == WSAEADDRINUSE || error == WSAEACCES) return s;
    return SockListen(SOCK_MSG_ACCEPT, NetAddressAny(NET_FAMILY_IPV4, port), "implicit TLS");
}

void ControlTlsStep(Conn* conn) {
    Channel* control = &conn->control;
    int step = TlsHandshake(control->tls);
    if (step == TLS_AGAIN) return;
    if (step == TLS_FAILED) {
        LogPrintf(LOG_WARNING, "ControlProc(%u) TLS handshake failed: %s", conn->connId,
                  TlsFailure(control->tls));
        ConnClose(conn);
        return;
    }
    control->tlsHandshaking = 0;
    char text[96];
    LogPrintf(LOG_INFO, "ControlProc(%u) TLS handshake done: %s", conn->connId,
              TlsDescribe(control->tls, text, sizeof text));
    if (conn->implicitTls) {
        // The implicit port protects data connections from the start.
        conn->tlsPbsz = 1;
        conn->tlsProtP = 1;
    }
    // What was queued meanwhile (the greeting of the implicit port) goes
    // out now; lines that came with the handshake's last bytes are read.
    ConnWrite(conn, control);
    if (control->socket == INVALID_SOCKET) return;
    ConnRead(conn, control);
    ProcessCommands(conn);
    TlsReadPendingLater(conn, control, SOCK_MSG_CONTROL);
}

// The data connection cannot be used: it is closed, and a transfer waiting
// for it ends with reply.
void DataTlsFail(Conn* conn, const char* reply) {
    CloseDataSocket(conn);
    if (conn->transferKind == XFER_NONE) return;
    conn->transferKind = XFER_NONE;
    Reply(conn, "%s", reply);
    ProcessCommands(conn);
}

// The client of the data connection is the one of the control connection:
// it resumed a session that connection handed out, or one of another
// control connection of the same account from the same host (clients that
// keep one session cache for several connections), on whichever socket
// thread that one runs (tls_owners.h).
bool ResumedByOwner(const Conn* conn) {
    const TlsSession* data = conn->data.tls;
    if (TlsResumedFrom(data, conn->control.tls)) return true;
    if (conn->loginState != LOGIN_LOGGED_IN) return false;
    TlsOrigin origin;
    return TlsResumedOrigin(data, &origin) && TlsOwnerMatches(origin, conn->user.name, conn->peer);
}

void DataTlsStep(Conn* conn) {
    Channel* data = &conn->data;
    int step = TlsHandshake(data->tls);
    if (step == TLS_AGAIN) return;
    if (step == TLS_FAILED) {
        LogPrintf(LOG_WARNING, "DataProc(%u) TLS handshake failed: %s", conn->connId,
                  TlsFailure(data->tls));
        DataTlsFail(conn, "425 Can't open data connection.");
        return;
    }
    data->tlsHandshaking = 0;
    bool resumed = ResumedByOwner(conn);
    char text[96];
    LogPrintf(LOG_INFO, "DataProc(%u) TLS data connection: %s, %s", conn->connId,
              TlsDescribe(data->tls, text, sizeof text),
              resumed                 ? "control session resumed"
              : TlsResumed(data->tls) ? "another client's session resumed"
                                      : "new session");
    // Whoever reached the data port first could otherwise take the data:
    // only the holder of the control connection's session can resume it.
    if (!resumed && SettingLoad(systemSettings.tlsDataResume)) {
        LogPrintf(LOG_WARNING,
                  "DataProc(%u) Data connection refused: it did not resume the TLS session of "
                  "the control connection.",
                  conn->connId);
        DataTlsFail(conn,
                    "522 Data connection must resume the TLS session of the control connection.");
        return;
    }
    if (conn->transferKind != XFER_NONE) StartTransfer(conn);
    if (data->socket != INVALID_SOCKET) TlsReadPendingLater(conn, data, SOCK_MSG_DATA);
}

} // namespace

int ChannelRecv(Channel* channel, void* buffer, int length) {
    return channel->tls ? TlsRecv(channel->tls, buffer, length)
                        : NetRecv(channel->socket, buffer, length);
}

int ChannelSend(Channel* channel, const void* bytes, int length) {
    return channel->tls ? TlsSend(channel->tls, bytes, length)
                        : NetSend(channel->socket, bytes, length);
}

int ChannelCloseNotify(Channel* channel) {
    if (!channel->tls || channel->tlsHandshaking) return 1;
    return TlsCloseNotify(channel->tls);
}

void ChannelDropTls(Channel* channel) {
    // A control session's data sessions cannot be resumed by anyone's data
    // connection any more.
    TlsOrigin origin;
    if (TlsControlOrigin(channel->tls, &origin)) TlsOwnerWithdraw(origin);
    TlsFree(channel->tls);
    channel->tls = nullptr;
    channel->tlsHandshaking = 0;
}

void ControlTlsStart(Conn* conn) {
    Channel* control = &conn->control;
    conn->tlsAuthPending = 0;
    // Bytes sent after AUTH but before the handshake would otherwise be
    // taken as if they had come through TLS.
    if (QueueUnread(&control->in) > 0) {
        LogPrintf(LOG_WARNING, "ControlProc(%u) Dropping %u bytes sent before the TLS handshake.",
                  conn->connId, QueueUnread(&control->in));
        QueueFree(&control->in);
    }
    control->tls = TlsAcceptControl(control->socket);
    if (!control->tls) {
        LogPrintf(LOG_WARNING, "ControlProc(%u) No TLS session; closing connection.", conn->connId);
        ConnClose(conn);
        return;
    }
    control->tlsHandshaking = 1;
    ControlTlsStep(conn);
}

bool ControlTlsEvent(Conn* conn, uint16_t event) {
    if (event != FD_READ && event != FD_WRITE) return false;
    if (conn->tlsAuthPending && event == FD_WRITE) {
        ConnWrite(conn, &conn->control);
        if (conn->control.socket != INVALID_SOCKET && conn->control.out.length == 0)
            ControlTlsStart(conn);
        return true;
    }
    if (!conn->control.tls || !conn->control.tlsHandshaking) return false;
    ControlTlsStep(conn);
    return true;
}

void TlsReadPendingLater(Conn* conn, Channel* channel, unsigned message) {
    if (!channel->tls || channel->socket == INVALID_SOCKET || TlsPending(channel->tls) == 0) return;
    if (channel == &conn->control && ControlInputFull(conn)) return; // read when lines are taken
    SockPost(message, (uintptr_t)channel->socket, WSAMAKESELECTREPLY(FD_READ, 0));
}

bool DataTlsStart(Conn* conn) {
    if (!conn->tlsProtP || !conn->control.tls) return true;
    Channel* data = &conn->data;
    data->tls = TlsAcceptData(data->socket, conn->control.tls);
    if (!data->tls) {
        LogPrintf(LOG_WARNING, "DataProc(%u) No TLS session for the data connection.",
                  conn->connId);
        DataTlsFail(conn, "425 Can't open data connection.");
        return false;
    }
    data->tlsHandshaking = 1;
    DataTlsStep(conn);
    return false;
}

void DataTlsEvent(Conn* conn) {
    if (conn->data.tls && conn->data.tlsHandshaking) DataTlsStep(conn);
}

void ImplicitTlsListen(bool serve) {
    uint16_t port = (uint16_t)SettingLoad(systemSettings.implicitTlsPort);
    if (!serve || SettingLoad(systemSettings.tls) == 0) port = 0;
    NetAddress address = ListenAddressSetting();
    if (implicitListener != INVALID_SOCKET && port == implicitPort &&
        SameAddress(address, implicitAddress))
        return;
    ImplicitTlsClose();
    if (port == 0) return;
    implicitListener = OpenImplicitListener(port, address);
    implicitPort = port;
    implicitAddress = address;
    if (implicitListener != INVALID_SOCKET)
        LogPrintf(LOG_INFO, "ImplicitTlsListen: TLS from the first byte on port %u", port);
}

void ImplicitTlsClose() {
    SockClose(&implicitListener);
    implicitPort = 0;
}

bool IsImplicitTlsListener(SOCKET s) {
    return s != INVALID_SOCKET && s == implicitListener;
}

void ControlSessionNote(const Conn* conn) {
    TlsOrigin origin;
    if (!TlsControlOrigin(conn->control.tls, &origin)) return;
    if (conn->loginState == LOGIN_LOGGED_IN && ControlProtected(conn))
        TlsOwnerPublish(origin, conn->user.name, conn->peer);
    else
        TlsOwnerWithdraw(origin);
}

bool TlsLoginRefused(Conn* conn) {
    if (conn->tlsMode != 2 || ControlProtected(conn) ||
        (conn->user.accountFlags & ACCOUNT_ANONYMOUS))
        return false;
    LogPrintf(LOG_WARNING, "CmdUser: user %s refused: not logging in over TLS", conn->user.name);
    memset(&conn->user, 0, sizeof conn->user);
    UserConnNote(conn);
    conn->loginState = LOGIN_NONE;
    Reply(conn, "530 Non-anonymous sessions must use encryption (AUTH TLS).");
    return true;
}

bool TlsDataRefused(Conn* conn) {
    if (conn->tlsMode != 2 || conn->tlsProtP || (conn->user.accountFlags & ACCOUNT_ANONYMOUS))
        return false;
    TransferReply(conn, 521, "Data connection cannot be opened with this PROT setting.");
    return true;
}
