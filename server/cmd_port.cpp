// PORT and PASV: where the next data connection goes, and the steps they
// share with EPRT and EPSV.
#include <algorithm>
#include <cstring>

#include "config/config.h"
#include "log/log.h"
#include "platform/eventloop.h"
#include "server/cmd_common.h"
#include "server/commands.h"
#include "server/counters.h"
#include "server/dataconn.h"
#include "server/passive_range.h"
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
        while (*p == ' ' || *p == '\t')
            p++;
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

// The passive listening socket, of the family of the control connection: on
// the first free port of the configured range, tried from the shared cursor
// on (PassiveCursorClaim);
// without one, on a free port of the default range tried from a random place
// (a port the system chooses when PASSIVE_DEFAULT_TRIES of them are taken).
// An IPv6 one takes IPv6 clients only, so the same port may serve an IPv4
// client at the same time. The port of the connection's previous passive
// socket (0 = none) is tried last: a data connection the client still makes
// to the old port must not be taken for the new one while another is free.
// *bound: the port bound (0 when the system chose it).
SOCKET PassiveListen(Conn* conn, uint8_t family, uint16_t previous, uint16_t* bound) {
    *bound = 0;
    uint16_t low = SettingLoad(systemSettings.passivePortLow);
    uint16_t high = SettingLoad(systemSettings.passivePortHigh);
    bool configured = low != 0 && high >= low;
    if (!configured) {
        PortRange range = DefaultPassiveRange();
        low = range.low;
        high = range.high;
    }
    uint32_t span = (uint32_t)(high - low) + 1;
    uint16_t claimed = configured ? PassiveCursorClaim(low, high) : 0;
    uint32_t start = configured ? (uint32_t)(claimed - low) : PassiveSearchStart(span);
    uint32_t tries = configured ? span : std::min(span, PASSIVE_DEFAULT_TRIES);
    bool skipped = false;
    for (uint32_t i = 0; i <= tries; i++) {
        uint16_t port = (uint16_t)(low + (start + i) % span);
        if (i == tries) {
            if (!skipped) break;
            port = previous; // every other port tried: the previous one after all
        } else if (port == previous) {
            skipped = true;
            continue;
        }
        int error = 0;
        SOCKET s =
            SockListen(SOCK_MSG_PASSIVE, NetAddressAny(family, port), "passive", &error, true);
        if (s != INVALID_SOCKET) {
            if (configured) PassiveCursorHanded(claimed, port, low, high);
            *bound = port;
            return s;
        }
        if (error != WSAEADDRINUSE)
            return INVALID_SOCKET; // logged; another port would fail the same way
    }
    if (!configured) return SockListen(SOCK_MSG_PASSIVE, NetAddressAny(family), "passive");
    LogPrintf(LOG_WARNING, "CmdPasv(%u) Every passive port from %u to %u is in use", conn->connId,
              low, high);
    return INVALID_SOCKET;
}

} // namespace

int ControlLocal(Conn* conn, NetAddress* local) {
    if (!conn->controlLocal.family &&
        NetGetSockName(conn->control.socket, &conn->controlLocal) == SOCKET_ERROR) {
        conn->controlLocal = NetAddress{};
        return 0;
    }
    *local = conn->controlLocal;
    return 1;
}

bool ControlOnIpv6(const Conn* conn) {
    NetAddress local = conn->controlLocal;
    return (local.family || NetGetSockName(conn->control.socket, &local) != SOCKET_ERROR) &&
           local.family == NET_FAMILY_IPV6;
}

int Ipv6Refuses(Conn* conn) {
    if (!ControlOnIpv6(conn)) return 0;
    Reply(conn, "%s", NETWORK_USE_IPV6);
    return 1;
}

int EpsvAllRefuses(Conn* conn) {
    if (!conn->epsvAll) return 0;
    Reply(conn, "503 Only EPSV is accepted after EPSV ALL.");
    return 1;
}

void SetActiveAddress(Conn* conn, const NetAddress& address, uint32_t port) {
    if (NetAddressIsAny(address) || NetAddressIsBroadcast(address)) {
        Reply(conn, "501 Invalid IP address.");
        return;
    }
    if (port == 0 || port > 0xFFFF) {
        Reply(conn, "501 Invalid port parameter.");
        return;
    }
    if (port < 1024) {
        Reply(conn, "501 Port number restricted.");
        return;
    }
    if ((conn->user.accountFlags & ACCOUNT_RESTRICT) && !NetAddressSameHost(address, conn->peer)) {
        CountAdd(engineCounters.refused[REFUSED_RESTRICT]);
        Reply(conn, "501 IP address restricted.");
        return;
    }
    CloseDataSide(conn);
    conn->dataAddress = address;
    conn->dataAddress.port = (uint16_t)port;
    conn->dataMode = DATA_PORT;
    Reply(conn, "200 Command okay.");
}

int OpenPassive(Conn* conn) {
    uint16_t previous = conn->dataMode == DATA_PASSIVE ? conn->dataAddress.port : 0;
    CloseDataSide(conn);
    conn->dataMode = DATA_DEFAULT;
    NetAddress controlEnd = {};
    NetAddress passiveEnd = {};
    // The client reaches the passive port at the address it reached the
    // server at, so the passive socket takes that address's family.
    if (!ControlLocal(conn, &controlEnd)) {
        int code = WSAGetLastError();
        LogPrintf(LOG_WARNING, "OpenPassive(%u) Error %d reading socket addresses: %s",
                  conn->connId, code, WinsockErrorName(code));
        controlEnd.family = 0;
    }
    if (controlEnd.family) {
        conn->passiveSocket = PassiveListen(conn, controlEnd.family, previous, &passiveEnd.port);
        ConnIndexSocket(conn->passiveSocket, conn);
    }
    // Only a port the system chose has to be asked for.
    if (conn->passiveSocket != INVALID_SOCKET && passiveEnd.port == 0 &&
        NetGetSockName(conn->passiveSocket, &passiveEnd) == SOCKET_ERROR) {
        int code = WSAGetLastError();
        LogPrintf(LOG_WARNING, "OpenPassive(%u) Error %d reading socket addresses: %s",
                  conn->connId, code, WinsockErrorName(code));
        SockClose(&conn->passiveSocket);
    }
    if (conn->passiveSocket == INVALID_SOCKET) {
        // No port left in the range, or no descriptor: this transfer cannot
        // be set up, the session goes on.
        Reply(conn, "425 Can't open passive connection.");
        return 0;
    }
    conn->passiveSinceMs = EvNowMs();
    conn->dataAddress = controlEnd;
    conn->dataAddress.port = passiveEnd.port;
    conn->dataMode = DATA_PASSIVE;
    return 1;
}

// rest: the whole rest of the line after the word.
void CmdPort(Conn* conn, const char* rest) {
    if (EpsvAllRefuses(conn) || Ipv6Refuses(conn)) return;
    unsigned v[6];
    if (!ParsePortNumbers(rest, v)) {
        Reply(conn, "501 Invalid port parameter.");
        return;
    }
    SetActiveAddress(conn,
                     NetAddressIpv4((uint8_t)v[0], (uint8_t)v[1], (uint8_t)v[2], (uint8_t)v[3]),
                     v[4] * 256 + v[5]);
}

// PASV and PORT carry IPv4 addresses only: a client on IPv6 is told to use
// EPSV and EPRT, never handed an address it did not reach.
void CmdPasv(Conn* conn, const char*) {
    if (EpsvAllRefuses(conn)) return;
    // One look at the control connection's own address serves the IPv6
    // refusal, the passive socket's family and the next PASV.
    NetAddress local = {};
    if (ControlLocal(conn, &local) && local.family == NET_FAMILY_IPV6) {
        Reply(conn, "%s", NETWORK_USE_IPV6);
        return;
    }
    if (!OpenPassive(conn)) return;
    // Behind NAT the client must be told the outside address; dataAddress
    // keeps the server's own, which a later transfer without PORT or PASV uses.
    // An IPv6 PassiveAddress has nothing to say to an IPv4 client.
    NetAddress configured = PassiveAddressSetting();
    bool useConfigured = configured.family && NetAddressIsIpv4(configured);
    NetAddress announced = NetAddressUnmapped(useConfigured ? configured : conn->dataAddress);
    const uint8_t* a = announced.bytes;
    uint16_t port = conn->dataAddress.port;
    Reply(conn, "227 Entering Passive Mode (%u,%u,%u,%u,%u,%u)", a[0], a[1], a[2], a[3],
          (unsigned)(port >> 8), (unsigned)(port & 0xFF));
}
