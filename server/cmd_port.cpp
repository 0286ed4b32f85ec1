// PORT and PASV: where the next data connection goes.
#include <cstring>

#include "log/log.h"
#include "server/cmd_common.h"
#include "server/commands.h"
#include "server/dataconn.h"
#include "server/sockthread.h"

namespace {

// Reads six numbers "h1,h2,h3,h4,p1,p2": blanks may precede each number,
// commas follow the numbers directly, anything after the sixth is ignored.
// Each value must be at most 255. 1 on success.
int ParsePortNumbers(const char* text, unsigned values[6]) {
    const char* p = text;
    for (int i = 0; i < 6; i++) {
        if (i > 0) {
            if (*p != ',') return 0;
            p++;
        }
        while (*p == ' ' || *p == '\t') p++;
        if (*p == '+') p++;
        if (*p < '0' || *p > '9') return 0;
        unsigned value = 0;
        while (*p >= '0' && *p <= '9') {
            value = value * 10 + (unsigned)(*p - '0');
            if (value > 255) return 0;
            p++;
        }
        values[i] = value;
    }
    return 1;
}

}  // namespace

void CmdPort(Conn* conn) {
    if (!LoggedIn(conn)) return;
    unsigned v[6];
    if (!ParsePortNumbers(commandLine + 4, v)) {
        Reply(conn, "501 Invalid port parameter.");
        return;
    }
    uint32_t address = (v[0] << 24) | (v[1] << 16) | (v[2] << 8) | v[3];
    uint16_t port = (uint16_t)(v[4] * 256 + v[5]);
    if (address == 0 || address == 0xFFFFFFFFu) {
        Reply(conn, "501 Invalid IP address.");
        return;
    }
    if (port == 0) {
        Reply(conn, "501 Invalid port parameter.");
        return;
    }
    if (port < 1024) {
        Reply(conn, "501 Port number restricted.");
        return;
    }
    uint32_t addressN = NetHtonl(address);
    if ((conn->user.accountFlags & ACCOUNT_RESTRICT) && addressN != conn->peerAddr) {
        Reply(conn, "501 IP address restricted.");
        return;
    }
    CloseDataSide(conn);
    conn->dataAddr = addressN;
    conn->dataPort = NetHtons(port);
    conn->dataMode = DATA_PORT;
    Reply(conn, "200 Command okay.");
}

void CmdPasv(Conn* conn) {
    if (!LoggedIn(conn)) return;
    CloseDataSide(conn);
    conn->dataMode = DATA_DEFAULT;
    conn->passiveSocket = SockListen(SOCK_MSG_PASSIVE, 0, 0, "passive");
    uint32_t controlAddr = 0;
    uint16_t controlPort = 0;
    uint32_t passiveAddr = 0;
    uint16_t passivePort = 0;
    if (conn->passiveSocket != INVALID_SOCKET &&
        (NetGetSockName(conn->control.socket, &controlAddr, &controlPort) == SOCKET_ERROR ||
         NetGetSockName(conn->passiveSocket, &passiveAddr, &passivePort) == SOCKET_ERROR)) {
        int code = WSAGetLastError();
        LogPrintf(LOG_WARNING, "CmdPasv(%u) Error %d reading socket addresses: %s", conn->connId, code,
                  WinsockErrorName(code));
        SockClose(&conn->passiveSocket);
    }
    if (conn->passiveSocket == INVALID_SOCKET) {
        // The reply goes out first; then the server stops sending and waits
        // for the client to close.
        conn->control.shutdownWhenDrained = 1;
        conn->loginState = LOGIN_CLOSING;
        Reply(conn, "421 System error.");
        return;
    }
    conn->dataAddr = controlAddr;
    conn->dataPort = passivePort;
    conn->dataMode = DATA_PASSIVE;
    const uint8_t* octets = reinterpret_cast<const uint8_t*>(&conn->dataAddr);
    uint16_t port = NetNtohs(passivePort);
    Reply(conn, "227 Entering Passive Mode (%u,%u,%u,%u,%u,%u)", octets[0], octets[1], octets[2], octets[3],
          (unsigned)(port >> 8), (unsigned)(port & 0xFF));
}
