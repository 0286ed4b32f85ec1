// POSIX sockets behind the Windows Sockets names and error codes. Every
// descriptor is close-on-exec; sends never raise SIGPIPE.
#include "platform/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/sockstate.h"

namespace {

thread_local int lastError = 0;

int Fail(int err) {
    lastError = WsaFromErrno(err);
    return SOCKET_ERROR;
}

// The system's form of an address; its length in *length.
sockaddr_storage ToSockaddr(const NetAddress& address, socklen_t* length) {
    sockaddr_storage storage;
    std::memset(&storage, 0, sizeof storage);
    if (address.family == NET_FAMILY_IPV6) {
        sockaddr_in6* sa = reinterpret_cast<sockaddr_in6*>(&storage);
        sa->sin6_family = AF_INET6;
        std::memcpy(&sa->sin6_addr, address.bytes, 16);
        sa->sin6_port = htons(address.port);
        *length = sizeof *sa;
    } else {
        sockaddr_in* sa = reinterpret_cast<sockaddr_in*>(&storage);
        sa->sin_family = AF_INET;
        std::memcpy(&sa->sin_addr, address.bytes, 4);
        sa->sin_port = htons(address.port);
        *length = sizeof *sa;
    }
    return storage;
}

// A dual-stack socket reports its IPv4 peers as IPv4-mapped IPv6
// addresses: they come back as the IPv4 address they stand for, so that
// every log, view, limit and comparison sees one form of an IPv4 client.
NetAddress FromSockaddr(const sockaddr_storage& storage) {
    NetAddress address = {};
    if (storage.ss_family == AF_INET6) {
        const sockaddr_in6* sa = reinterpret_cast<const sockaddr_in6*>(&storage);
        address.family = NET_FAMILY_IPV6;
        std::memcpy(address.bytes, &sa->sin6_addr, 16);
        address.port = ntohs(sa->sin6_port);
        address = NetAddressUnmapped(address);
    } else if (storage.ss_family == AF_INET) {
        const sockaddr_in* sa = reinterpret_cast<const sockaddr_in*>(&storage);
        address.family = NET_FAMILY_IPV4;
        std::memcpy(address.bytes, &sa->sin_addr, 4);
        address.port = ntohs(sa->sin_port);
    }
    return address;
}

int SetNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return -1;
    if (flags & O_NONBLOCK) return 0;
    return fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

} // namespace

int WSAGetLastError() {
    return lastError;
}

int EvNetFail(int err) {
    return Fail(err);
}

int WsaFromErrno(int err) {
    switch (err) {
    case 0:
        return 0;
    case EINTR:
        return WSAEINTR;
    case EBADF:
    case ENOTSOCK:
        return WSAENOTSOCK;
    case EACCES:
    case EPERM:
        return WSAEACCES;
    case EFAULT:
        return WSAEFAULT;
    case EINVAL:
        return WSAEINVAL;
    case EMFILE:
    case ENFILE:
        return WSAEMFILE;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    // A non-blocking connect under way: the engine waits for FD_CONNECT.
    case EINPROGRESS:
        return WSAEWOULDBLOCK;
    case EALREADY:
        return WSAEALREADY;
    case EDESTADDRREQ:
        return WSAEDESTADDRREQ;
    case EMSGSIZE:
        return WSAEMSGSIZE;
    case EPROTOTYPE:
        return WSAEPROTOTYPE;
    case ENOPROTOOPT:
        return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
        return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
        return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
        return WSAEOPNOTSUPP;
    case EPFNOSUPPORT:
        return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT:
        return WSAEAFNOSUPPORT;
    case EADDRINUSE:
        return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
        return WSAEADDRNOTAVAIL;
    case ENETDOWN:
        return WSAENETDOWN;
    case ENETUNREACH:
        return WSAENETUNREACH;
    case ENETRESET:
        return WSAENETRESET;
    case ECONNABORTED:
        return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE:
        return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
        return WSAENOBUFS;
    case EISCONN:
        return WSAEISCONN;
    case ENOTCONN:
        return WSAENOTCONN;
    case ESHUTDOWN:
        return WSAESHUTDOWN;
    case ETOOMANYREFS:
        return WSAETOOMANYREFS;
    case ETIMEDOUT:
        return WSAETIMEDOUT;
    case ECONNREFUSED:
        return WSAECONNREFUSED;
    case ELOOP:
        return WSAELOOP;
    case ENAMETOOLONG:
        return WSAENAMETOOLONG;
    case EHOSTDOWN:
        return WSAEHOSTDOWN;
    case EHOSTUNREACH:
        return WSAEHOSTUNREACH;
    case ENOTEMPTY:
        return WSAENOTEMPTY;
    case EUSERS:
        return WSAEUSERS;
    case EDQUOT:
        return WSAEDQUOT;
    case ESTALE:
        return WSAESTALE;
    case EREMOTE:
        return WSAEREMOTE;
    default:
        return err;
    }
}

SOCKET NetSocketTcp(uint8_t family) {
    // Non-blocking from the start: every socket of the engine is selected
    // for notifications, which would otherwise cost two fcntl calls.
    int fd = socket(family == NET_FAMILY_IPV6 ? AF_INET6 : AF_INET,
                    SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return Fail(errno);
    EvSockCreated(fd);
    return fd;
}

int NetSetReuseAddr(SOCKET s) {
    int one = 1;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) return Fail(errno);
    return 0;
}

int NetSetV6Only(SOCKET s, int only) {
    int value = only ? 1 : 0;
    if (setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &value, sizeof value) != 0) return Fail(errno);
    return 0;
}

int NetSetNoDelay(SOCKET s) {
    int one = 1;
    if (setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) return Fail(errno);
    return 0;
}

int NetSetOobInline(SOCKET s) {
    int one = 1;
    if (setsockopt(s, SOL_SOCKET, SO_OOBINLINE, &one, sizeof one) != 0) return Fail(errno);
    return 0;
}

int NetBind(SOCKET s, const NetAddress& address) {
    socklen_t length = 0;
    sockaddr_storage sa = ToSockaddr(address, &length);
    if (bind(s, reinterpret_cast<sockaddr*>(&sa), length) != 0) return Fail(errno);
    return 0;
}

int NetListen(SOCKET s, int backlog) {
    if (backlog == NET_BACKLOG_MAX || backlog > SOMAXCONN) backlog = SOMAXCONN;
    if (listen(s, backlog) != 0) return Fail(errno);
    EvSockListening(s);
    return 0;
}

SOCKET NetAccept(SOCKET s, NetAddress* peer) {
    sockaddr_storage sa;
    socklen_t len = sizeof sa;
    int fd = accept4(s, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    int err = errno;
    // Any accept call re-enables FD_ACCEPT, as with WSAAsyncSelect.
    EvSockAcceptCalled(s);
    if (fd < 0) return Fail(err);
    EvSockAccepted(fd);
    if (peer) *peer = FromSockaddr(sa);
    return fd;
}

int NetConnect(SOCKET s, const NetAddress& to) {
    if (SetNonBlocking(s) != 0) return Fail(errno);
    socklen_t length = 0;
    sockaddr_storage sa = ToSockaddr(to, &length);
    int rc = connect(s, reinterpret_cast<sockaddr*>(&sa), length);
    int err = errno;
    if (rc == 0 || err == EINPROGRESS) {
        // Also after an immediate success: FD_CONNECT reports the outcome.
        EvSockConnecting(s);
        return rc == 0 ? 0 : Fail(EINPROGRESS);
    }
    return Fail(err);
}

int NetRecv(SOCKET s, void* buffer, int length) {
    ssize_t n = recv(s, buffer, length < 0 ? 0 : static_cast<size_t>(length), 0);
    int err = n < 0 ? errno : 0;
    EvSockRecvCalled(s, err);
    if (n < 0) return Fail(err);
    return static_cast<int>(n);
}

int NetRecvToPipe(SOCKET s, int pipeWriteEnd, int length) {
    ssize_t n =
        splice(s, nullptr, pipeWriteEnd, nullptr, length < 0 ? 0 : static_cast<size_t>(length),
               SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    int err = n < 0 ? errno : 0;
    EvSockRecvCalled(s, err);
    if (n < 0) return Fail(err);
    return static_cast<int>(n);
}

int NetSend(SOCKET s, const void* buffer, int length) {
    ssize_t n = send(s, buffer, length < 0 ? 0 : static_cast<size_t>(length), MSG_NOSIGNAL);
    if (n >= 0) return static_cast<int>(n);
    int err = errno;
    EvSockSendFailed(s, err);
    if (err == EPIPE && EvSockIsSendShut(s)) {
        lastError = WSAESHUTDOWN; // our own shutdown, not the peer's doing
        return SOCKET_ERROR;
    }
    return Fail(err);
}

int NetSendFile(SOCKET s, int fileFd, int length) {
    // sendfile has no MSG_NOSIGNAL: SIGPIPE is held back in the sending
    // thread instead, and one raised by a vanished peer is taken back below.
    static thread_local bool sigpipeHeld = false;
    sigset_t pipeSet;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    if (!sigpipeHeld) {
        pthread_sigmask(SIG_BLOCK, &pipeSet, nullptr);
        sigpipeHeld = true;
    }
    ssize_t n = sendfile(s, fileFd, nullptr, length < 0 ? 0 : static_cast<size_t>(length));
    if (n >= 0) return static_cast<int>(n);
    int err = errno;
    if (err == EPIPE) {
        timespec none = {0, 0};
        sigtimedwait(&pipeSet, nullptr, &none);
    }
    EvSockSendFailed(s, err);
    if (err == EPIPE && EvSockIsSendShut(s)) {
        lastError = WSAESHUTDOWN;
        return SOCKET_ERROR;
    }
    return Fail(err);
}

int NetShutdownSend(SOCKET s) {
    if (shutdown(s, SHUT_WR) != 0) return Fail(errno);
    EvSockSendShut(s);
    return 0;
}

int NetCloseSocket(SOCKET s) {
    // Only sockets are closed here: a stale number that now belongs to a
    // file must not be closed behind its owner's back. A number an event
    // loop knows as a live socket needs no look (every socket close passes
    // here and makes the loops forget it); any other is asked about.
    if (s < 0) return Fail(EBADF);
    if (!EvSockClosing(s)) {
        struct stat st;
        if (fstat(s, &st) != 0) return Fail(EBADF);
        if (!S_ISSOCK(st.st_mode)) return Fail(ENOTSOCK);
    }
    if (close(s) != 0 && errno != EINTR) return Fail(errno);
    return 0;
}

// The socket's own or its peer's address, as getName (getsockname or
// getpeername) reports it.
static int GetName(int (*getName)(int, sockaddr*, socklen_t*), SOCKET s, NetAddress* address) {
    sockaddr_storage sa;
    socklen_t len = sizeof sa;
    if (getName(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return Fail(errno);
    if (address) *address = FromSockaddr(sa);
    return 0;
}

int NetGetSockName(SOCKET s, NetAddress* local) {
    return GetName(getsockname, s, local);
}
