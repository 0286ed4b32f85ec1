// What the socket calls tell the event loop, inside platform/ only.
//
// The notification rules depend on what the program did with a socket: a
// receive re-enables FD_READ, an accept re-enables FD_ACCEPT, a send that
// would block arms FD_WRITE, a connect in progress waits for FD_CONNECT. The
// calls of net.cpp report those facts here; the loop keeps one record per
// descriptor (also for sockets not registered yet, so that a later
// NetAsyncSelect knows whether the socket is connecting, connected or
// listening). Every hook may be called from any thread.
#pragma once

// A new socket took this descriptor number (created non-blocking): forget
// whatever was known.
void EvSockCreated(int fd);
// The socket was accepted (connected from the start).
void EvSockAccepted(int fd);
// A receive was attempted; err is the errno of a failure, else 0.
void EvSockRecvCalled(int fd, int err);
// A send failed; err is its errno (EAGAIN arms FD_WRITE).
void EvSockSendFailed(int fd, int err);
// An accept was attempted on this listening socket.
void EvSockAcceptCalled(int fd);
// A non-blocking connect is under way.
void EvSockConnecting(int fd);
// The socket listens.
void EvSockListening(int fd);
// The sending side was shut down.
void EvSockSendShut(int fd);
// 1 when the sending side was shut down by this program.
int EvSockIsSendShut(int fd);
// The socket is about to be closed: leave the loop and forget it. 1 when a
// loop knew the descriptor as a live socket (created, accepted, listening or
// connecting through net.cpp and not closed since), so that the caller need
// not ask the system; 0 when no loop did.
int EvSockClosing(int fd);

// Sets the calling thread's WSAGetLastError() from errno err; SOCKET_ERROR.
int EvNetFail(int err);
