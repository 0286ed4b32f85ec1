// The control channel: socket events of control connections, receiving into
// a channel's input queue, cutting control input into lines, and sending a
// channel's output queue. Socket thread only.
#include <cstring>

#include "log/log.h"
#include "platform/ascii.h"
#include "server/commands.h"
#include "server/control_limits.h"
#include "server/proxy_conn.h"
#include "server/sockthread.h"
#include "server/tls_conn.h"

namespace {

// The receive buffer of each socket thread (it reads only its own
// connections). Sends need none: a queue's bytes are contiguous and go to
// the socket from there.
thread_local uint8_t readBuffer[CONN_BUFFER_SIZE];

// Largest single send: a download's queue holds at most one 256 KiB block,
// replies are far smaller.
constexpr uint32_t SEND_MAX = 1u << 30;

// While an overlong control line is being skipped, received bytes up to and
// including its line feed are dropped as they arrive. Returns the offset of
// the first byte to keep.
int SkipDiscardedLine(Conn* conn, const uint8_t* bytes, int count) {
    const void* lf = memchr(bytes, '\n', (size_t)count);
    if (!lf) {
        LogPrintf(LOG_TRACE0, "ConnRead(%u) Dropped %d bytes of an overlong line.", conn->connId,
                  count);
        return count;
    }
    int keep = (int)((const uint8_t*)lf - bytes) + 1;
    conn->discardingLine = 0;
    LogPrintf(LOG_TRACE0, "ConnRead(%u) End of an overlong line; dropped %d bytes.", conn->connId,
              keep);
    return keep;
}

// The trace of control input never shows a password: the rest of a line
// that begins with "PASS" (in any case, after any blanks) is replaced by one fixed mask, so
// neither the secret nor its length reaches the log. A line may arrive in
// pieces, so how the current line began is kept in conn->traceLine: the
// count of "PASS" letters matched so far, or one of the two states below.
constexpr uint8_t TRACE_LINE_SECRET = 5; // the rest of this line is masked
constexpr uint8_t TRACE_LINE_OTHER = 6;  // some other command: shown as it is
const char kPassWord[] = "PASS";
const char kSecretMask[] = "****";

void TraceControlInput(Conn* conn, const uint8_t* bytes, int count) {
    // A line "PASSx" of five bytes shows as eight, so the copy needs more
    // room than the bytes read (one per socket thread, like readBuffer).
    thread_local uint8_t shown[2 * CONN_BUFFER_SIZE + sizeof kSecretMask];
    int length = 0;
    uint8_t state = conn->traceLine;
    for (int i = 0; i < count; i++) {
        uint8_t b = bytes[i];
        if (b == '\n') {
            shown[length++] = b;
            state = 0;
        } else if (state == TRACE_LINE_SECRET) {
            if (b == '\r') shown[length++] = b;
        } else if (state == TRACE_LINE_OTHER) {
            shown[length++] = b;
        } else if (state == 0 && (b == ' ' || b == '\t')) {
            shown[length++] = b; // blanks before the command word
        } else if (state < 4) {
            uint8_t upper = (uint8_t)AsciiUpper((char)b);
            state = upper == (uint8_t)kPassWord[state] ? (uint8_t)(state + 1) : TRACE_LINE_OTHER;
            shown[length++] = b;
        } else if (b == '\r') { // "PASS" alone
            shown[length++] = b;
            state = TRACE_LINE_OTHER;
        } else {
            if (b == ' ') shown[length++] = b;
            memcpy(shown + length, kSecretMask, sizeof kSecretMask - 1);
            length += (int)sizeof kSecretMask - 1;
            state = TRACE_LINE_SECRET;
        }
    }
    conn->traceLine = state;
    LogData(LOG_TRACE4, shown, length);
}

} // namespace

void ControlProc(intptr_t lParam, SOCKET s) {
    uint16_t event = WSAGETSELECTEVENT(lParam);
    uint16_t error = WSAGETSELECTERROR(lParam);
    Conn* conn = FindConnByControl(s);
    if (!conn) {
        LogPrintf(LOG_INFO, "ControlProc: %s, %s: spurious notification", SockEventName(event),
                  WinsockErrorName(error));
        return;
    }
    // The connection's trace records count against its budget until it has
    // logged in; every record it causes is written from here.
    conn->traceBudget.id = conn->connId;
    conn->traceBudget.exempt = conn->loginState == LOGIN_LOGGED_IN;
    LogChargeTraces(&conn->traceBudget);
    if (ControlTlsEvent(conn, event)) event = 0; // the TLS handshake took it
    switch (event) {
    case 0:
        break;
    case FD_READ:
        LogPrintf(LOG_INFO, "ControlProc(%u) FD_READ: %s", conn->connId, WinsockErrorName(error));
        ConnRead(conn, &conn->control);
        // Behind a balancer nothing is a command before the PROXY header is taken.
        if (conn->proxyWaiting && ProxyTakeHeader(conn) <= 0) break;
        ProcessCommands(conn);
        TlsReadPendingLater(conn, &conn->control, SOCK_MSG_CONTROL);
        break;
    case FD_WRITE:
        LogPrintf(LOG_INFO, "ControlProc(%u) FD_WRITE: %s", conn->connId, WinsockErrorName(error));
        ConnWrite(conn, &conn->control);
        // Lines held back while replies piled up are taken again once the
        // client has read them.
        if (conn->transferKind == XFER_NONE && !ControlOutputBacklogged(conn) &&
            QueueUnread(&conn->control.in) > 0)
            ProcessCommands(conn);
        break;
    case FD_CLOSE:
        LogPrintf(LOG_INFO, "ControlProc(%u) FD_CLOSE: %s", conn->connId, WinsockErrorName(error));
        ConnClose(conn);
        break;
    default:
        LogPrintf(LOG_WARNING, "ControlProc(%u) Unknown event.", conn->connId);
        break;
    }
    LogChargeTraces(nullptr);
}

int ConnRead(Conn* conn, Channel* channel) {
    if (channel->socket == INVALID_SOCKET) {
        LogPrintf(LOG_INFO, "ConnRead(%u) Socket is closed.", conn->connId);
        return -1;
    }
    int want = CONN_BUFFER_SIZE;
    bool isControl = channel == &conn->control;
    if (isControl) {
        uint32_t unread = QueueUnread(&channel->in);
        if (unread >= CONTROL_IN_MAX) {
            LogPrintf(LOG_TRACE0, "ConnRead(%u) Input queue full; reading put off.", conn->connId);
            return 0;
        }
        if (CONTROL_IN_MAX - unread < (uint32_t)want) want = (int)(CONTROL_IN_MAX - unread);
    }
    int received = ChannelRecv(channel, readBuffer, want);
    if (received == SOCKET_ERROR) {
        int error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) return 0;
        LogPrintf(LOG_WARNING, "ConnRead(%u) Error %d reading from socket: %s", conn->connId, error,
                  WinsockErrorName(error));
        return -1;
    }
    if (received == 0) {
        LogPrintf(LOG_INFO, "ConnRead(%u) Read zero bytes.", conn->connId);
        return 0;
    }
    LogPrintf(LOG_TRACE0, "ConnRead(%u) Read %d bytes.", conn->connId, received);
    if (isControl && conn->proxyWaiting)
        LogPrintf(LOG_TRACE4, "ConnRead(%u) %d bytes before the PROXY header is taken.",
                  conn->connId, received);
    else if (isControl)
        TraceControlInput(conn, readBuffer, received);
    else
        LogData(LOG_TRACE4, readBuffer, received);

    int skip =
        isControl && conn->discardingLine ? SkipDiscardedLine(conn, readBuffer, received) : 0;
    if (skip < received) {
        bool first = channel->in.block == nullptr;
        if (!AppendQueue(&channel->in, readBuffer + skip, (uint32_t)(received - skip))) {
            if (first)
                LogPrintf(LOG_WARNING, "ConnRead(%u) Error allocating %d bytes.", conn->connId,
                          received - skip);
            else
                LogPrintf(LOG_WARNING, "ConnRead(%u) Error allocating %d more bytes.", conn->connId,
                          received - skip);
            return -1;
        }
    }
    return received;
}

char* ConnGets(char* buffer, uint32_t size, Conn* conn) {
    Queue* in = &conn->control.in;
    uint32_t available = QueueUnread(in);
    if (available == 0 || size == 0) return nullptr;
    uint32_t limit = size > available ? available : size - 1;
    const uint8_t* start = QueueBytes(in) + in->readPos;
    const void* lf = memchr(start, '\n', limit);
    if (!lf) {
        LogPrintf(LOG_INFO, "ConnGets(%u) Incomplete line.", conn->connId);
        return nullptr;
    }
    uint32_t taken = (uint32_t)((const uint8_t*)lf - start) + 1;
    memcpy(buffer, start, taken);
    buffer[taken] = 0;
    LogPrintf(LOG_INFO, "ConnGets(%u) Read %lu bytes.", conn->connId, (unsigned long)taken);
    in->readPos += taken;
    return buffer;
}

int ConnWrite(Conn* conn, Channel* channel) {
    int result = 0;
    if (ChannelHoldsOutput(channel)) return 0;
    if (channel->socket == INVALID_SOCKET) {
        if (channel->out.block && channel->out.length > 0)
            LogPrintf(LOG_INFO, "ConnWrite(%u) Socket is closed.", conn->connId);
        return channel->out.block && channel->out.length > 0 ? -1 : 0;
    }
    while (channel->out.block && channel->out.length > 0) {
        const uint8_t* bytes = QueueBytes(&channel->out);
        uint32_t n = channel->out.length < SEND_MAX ? channel->out.length : SEND_MAX;
        int sent = ChannelSend(channel, bytes, (int)n);
        if (sent > 0) {
            LogPrintf(LOG_INFO, "ConnWrite(%u) Wrote %d bytes.", conn->connId, sent);
            LogData(LOG_TRACE4, bytes, sent);
            QueueDiscard(&channel->out, (uint32_t)sent);
            result = sent;
            continue;
        }
        if (sent == SOCKET_ERROR) {
            int error = WSAGetLastError();
            if (error == WSAEWOULDBLOCK) {
                LogPrintf(LOG_INFO, "ConnWrite(%u) Operation would block.", conn->connId);
                return 0;
            }
            LogPrintf(LOG_WARNING, "ConnWrite(%u) Error %d while writing: %s", conn->connId, error,
                      WinsockErrorName(error));
            result = -1;
            break;
        }
        LogPrintf(LOG_INFO, "ConnWrite(%u) Wrote zero bytes.", conn->connId);
        break;
    }
    if (channel->shutdownWhenDrained && !(channel->out.block && channel->out.length > 0)) {
        if (!ChannelCloseNotify(channel)) return result; // again at FD_WRITE
        LogPrintf(LOG_INFO, "ConnWrite(%u) Shutting down socket.", conn->connId);
        NetShutdownSend(channel->socket);
        channel->shutdownWhenDrained = 0;
    }
    return result;
}
