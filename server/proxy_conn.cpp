#include "server/proxy_conn.h"

#include "config/proxy_settings.h"
#include "server/proxy_header.h"
#include "server/sockthread.h"

namespace {

void Refuse(Conn* conn, const char* why) {
    char peer[NET_ENDPOINT_TEXT_SIZE];
    LogPrintf(LOG_WARNING, "ProxyHeader(%u) Refused connection from %s: %s; closing.", conn->connId,
              NetEndpointText(conn->peer, peer), why);
    ConnClose(conn);
}

} // namespace

int ProxyAccept(Conn* conn) {
    conn->proxyWaiting = 0;
    if (!ProxyProtocolSetting()) return 0;
    if (!ProxyFromAllows(conn->peer)) {
        Refuse(conn, "not a ProxyFrom address");
        return -1;
    }
    conn->proxyWaiting = 1;
    return 1;
}

int ProxyTakeHeader(Conn* conn) {
    Queue* in = &conn->control.in;
    ProxyHeader header = {};
    const char* why = "";
    ProxyResult result =
        ProxyHeaderParse(QueueBytes(in) + in->readPos, QueueUnread(in), &header, &why);
    if (result == PROXY_MORE) return 0;
    if (result == PROXY_BAD) {
        Refuse(conn, why);
        return -1;
    }
    in->readPos += header.length;
    conn->proxyWaiting = 0;
    char client[NET_ENDPOINT_TEXT_SIZE], balancer[NET_ENDPOINT_TEXT_SIZE];
    NetEndpointText(conn->peer, balancer);
    if (header.local) {
        LogPrintf(LOG_INFO, "ProxyHeader(%u) Version %u header without a client from %s.",
                  conn->connId, header.version, balancer);
    } else {
        conn->peer = header.source;
        conn->dataAddress = header.source;
        LogPrintf(LOG_INFO, "ProxyHeader(%u) Client %s by way of %s.", conn->connId,
                  NetEndpointText(conn->peer, client), balancer);
    }
    ConnWelcome(conn);
    return conn->control.socket == INVALID_SOCKET ? -1 : 1;
}

int64_t ProxyHeaderDue(const Conn* conn) {
    uint32_t seconds = TimeLimitSetting(LIMIT_LOGIN_TIMEOUT);
    return conn->loginSinceMs + (int64_t)(seconds ? seconds : PROXY_WAIT_DEFAULT_S) * 1000;
}

void ProxyTimeOut(Conn* conn) {
    Refuse(conn, "no PROXY header in time");
}
