// Sockets for the engine, with the names, error codes and notification
// events of Windows Sockets. Everything above platform/ uses these calls and
// never includes a system socket header: errno is turned into the Windows
// Sockets codes here, so that log records name errors the same way on every
// platform.
#pragma once

#include <cstdint>

#include "platform/address.h"

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

// Notification events (low 16 bits of a notification's lParam).
constexpr uint16_t FD_READ = 1;
constexpr uint16_t FD_WRITE = 2;
constexpr uint16_t FD_OOB = 4;
constexpr uint16_t FD_ACCEPT = 8;
constexpr uint16_t FD_CONNECT = 16;
constexpr uint16_t FD_CLOSE = 32;

// Windows Sockets error codes.
enum WsaError {
    WSAEINTR = 10004,
    WSAEBADF = 10009,
    WSAEACCES = 10013,
    WSAEFAULT = 10014,
    WSAEINVAL = 10022,
    WSAEMFILE = 10024,
    WSAEWOULDBLOCK = 10035,
    WSAEINPROGRESS = 10036,
    WSAEALREADY = 10037,
    WSAENOTSOCK = 10038,
    WSAEDESTADDRREQ = 10039,
    WSAEMSGSIZE = 10040,
    WSAEPROTOTYPE = 10041,
    WSAENOPROTOOPT = 10042,
    WSAEPROTONOSUPPORT = 10043,
    WSAESOCKTNOSUPPORT = 10044,
    WSAEOPNOTSUPP = 10045,
    WSAEPFNOSUPPORT = 10046,
    WSAEAFNOSUPPORT = 10047,
    WSAEADDRINUSE = 10048,
    WSAEADDRNOTAVAIL = 10049,
    WSAENETDOWN = 10050,
    WSAENETUNREACH = 10051,
    WSAENETRESET = 10052,
    WSAECONNABORTED = 10053,
    WSAECONNRESET = 10054,
    WSAENOBUFS = 10055,
    WSAEISCONN = 10056,
    WSAENOTCONN = 10057,
    WSAESHUTDOWN = 10058,
    WSAETOOMANYREFS = 10059,
    WSAETIMEDOUT = 10060,
    WSAECONNREFUSED = 10061,
    WSAELOOP = 10062,
    WSAENAMETOOLONG = 10063,
    WSAEHOSTDOWN = 10064,
    WSAEHOSTUNREACH = 10065,
    WSAENOTEMPTY = 10066,
    WSAEPROCLIM = 10067,
    WSAEUSERS = 10068,
    WSAEDQUOT = 10069,
    WSAESTALE = 10070,
    WSAEREMOTE = 10071,
    WSASYSNOTREADY = 10091,
    WSAVERNOTSUPPORTED = 10092,
    WSANOTINITIALISED = 10093,
    WSAEDISCON = 10101,
    WSAHOST_NOT_FOUND = 11001,
    WSATRY_AGAIN = 11002,
    WSANO_RECOVERY = 11003,
    WSANO_DATA = 11004,
};

// The error code of this thread's last failed call below (errno mapped).
int WSAGetLastError();
// Maps an errno value to its Windows Sockets code (unknown values pass through).
int WsaFromErrno(int err);

// Every call returns SOCKET_ERROR (or INVALID_SOCKET) on failure, with the
// code in WSAGetLastError(). Addresses and ports are NetAddress values (the
// port in host order); an IPv4-mapped address the system reports (a client
// of a dual-stack socket) comes back as the IPv4 address it stands for.
// A non-blocking TCP socket of family (NET_FAMILY_IPV4 or NET_FAMILY_IPV6).
SOCKET NetSocketTcp(uint8_t family = NET_FAMILY_IPV4);
// IPV6_V6ONLY on an IPv6 socket: 0 lets it take IPv4 clients as well (as
// IPv4-mapped addresses, which every call below reports as plain IPv4).
int NetSetV6Only(SOCKET s, int only);
int NetSetReuseAddr(SOCKET s);
// TCP_NODELAY: small writes (reply lines) leave at once instead of waiting
// for the peer to acknowledge earlier ones.
int NetSetNoDelay(SOCKET s);
// SO_OOBINLINE: urgent bytes stay in the byte stream (an urgent ABOR line
// arrives whole).
int NetSetOobInline(SOCKET s);
int NetBind(SOCKET s, const NetAddress& address);
// backlog NET_BACKLOG_MAX asks for the system's largest queue (SOMAXCONN).
constexpr int NET_BACKLOG_MAX = 0x7FFFFFFF;
int NetListen(SOCKET s, int backlog);
// Accepted sockets are non-blocking; *peer (when given) is the client's end.
SOCKET NetAccept(SOCKET s, NetAddress* peer);
// Non-blocking: WSAEWOULDBLOCK means the attempt goes on (FD_CONNECT follows).
int NetConnect(SOCKET s, const NetAddress& to);
int NetRecv(SOCKET s, void* buffer, int length);
// A receive of up to length bytes into the write end of an empty pipe
// (platform/splice_pipe.h) instead of a buffer: the count now in the pipe, 0
// when the peer closed; as NetRecv otherwise.
int NetRecvToPipe(SOCKET s, int pipeWriteEnd, int length);
int NetSend(SOCKET s, const void* buffer, int length);
// Sends up to length bytes of the file fileFd from its current position,
// which advances by the count sent (0 at the end of the file), without
// copying them through the program.
int NetSendFile(SOCKET s, int fileFd, int length);
int NetShutdownSend(SOCKET s);
// closesocket: the event loop forgets the socket before it is closed.
int NetCloseSocket(SOCKET s);
int NetGetSockName(SOCKET s, NetAddress* local);

// WSAAsyncSelect: makes the socket non-blocking and asks the socket thread's
// event loop to deliver the events of mask as (message, socket, event|error<<16).
// A mask of 0 cancels every notification of the socket.
int NetAsyncSelect(SOCKET s, unsigned message, long mask);

// The lParam of a notification: event in the low 16 bits, error in the high.
inline intptr_t WSAMAKESELECTREPLY(uint16_t event, uint16_t error) {
    return (intptr_t)(((uint32_t)error << 16) | event);
}
inline uint16_t WSAGETSELECTEVENT(intptr_t lParam) {
    return (uint16_t)(lParam & 0xFFFF);
}
inline uint16_t WSAGETSELECTERROR(intptr_t lParam) {
    return (uint16_t)(((uint32_t)lParam >> 16) & 0xFFFF);
}
