// TLS for the engine's sockets (FTP over TLS): the server's certificate and
// key, and one session per TLS connection, over the library the platform
// provides. Nothing above platform/ sees the library's headers.
//
// Sessions read and write through NetRecv and NetSend, so the event loop
// learns of every receive and of every send that would block exactly as for
// a plain socket. Receives and sends follow NetRecv and NetSend: the count,
// 0 when the peer closed, SOCKET_ERROR with WSAGetLastError() (WSAEWOULDBLOCK
// while the session waits for the socket).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/net.h"

struct TlsSession;

// Loads the certificate (PEM, a chain after it is sent too) and its key
// (PEM, readable by its owner and group only) as the context of every new
// control connection; connections already open keep theirs. On failure the
// context is dropped (no TLS is offered until a load succeeds), why holds
// one line naming the file and the reason, and 0 is returned. Any thread.
int TlsLoadContext(const char* certificateFile, const char* keyFile, char* why, size_t whySize);
// Drops the context: no new TLS connection until the next load.
void TlsDropContext();
// 1 while a context is loaded.
int TlsContextReady();

// A server session on an accepted control socket; the sessions it hands out
// carry its origin (TlsResumedFrom). nullptr (logged) when no context is
// loaded or memory runs out.
TlsSession* TlsAcceptControl(SOCKET s);
// A server session on a data socket that may resume the control session's.
TlsSession* TlsAcceptData(SOCKET s, const TlsSession* control);
void TlsFree(TlsSession* session);

enum TlsStep { TLS_FAILED = -1, TLS_AGAIN = 0, TLS_DONE = 1 };
// One step of the handshake, never waiting: TLS_AGAIN until the socket has
// more (its FD_READ or FD_WRITE follows), TLS_DONE, or TLS_FAILED with the
// reason in TlsFailure().
int TlsHandshake(TlsSession* session);
const char* TlsFailure(const TlsSession* session);

// Receives up to length bytes: as many as the session holds and the socket
// gives without waiting.
int TlsRecv(TlsSession* session, void* buffer, int length);
int TlsSend(TlsSession* session, const void* buffer, int length);
// Decrypted bytes the session holds that no receive has taken yet.
uint32_t TlsPending(const TlsSession* session);
// Sends the close alert: 1 sent (or the session cannot send any more), 0
// when the socket is full (again at its FD_WRITE).
int TlsCloseNotify(TlsSession* session);

// 1 once the peer's close alert was received.
int TlsPeerClosed(const TlsSession* session);

// 1 when the handshake resumed an earlier session.
int TlsResumed(const TlsSession* session);
// 1 when the data session resumed a session handed out by that control
// session.
int TlsResumedFrom(const TlsSession* data, const TlsSession* control);
// What tells the sessions of one control session from every other's: random
// bytes drawn for each control session, carried by every session it hands
// out. A plain value, so that it can be compared on any thread without the
// session itself.
constexpr size_t TLS_ORIGIN_SIZE = 16;
struct TlsOrigin {
    unsigned char bytes[TLS_ORIGIN_SIZE];
};
// The origin of the sessions control hands out: 0 for a data session.
int TlsControlOrigin(const TlsSession* control, TlsOrigin* origin);
// The origin of the session data resumed: 0 when it resumed none that
// carries one.
int TlsResumedOrigin(const TlsSession* data, TlsOrigin* origin);
// "TLSv1.3 TLS_AES_256_GCM_SHA384" (protocol and cipher) into text.
const char* TlsDescribe(const TlsSession* session, char* text, size_t size);

// Kernel TLS: 1 when the kernel encrypts what the session sends, so that
// TlsSendFile can hand file bytes over without copying them.
int TlsKernelSend(const TlsSession* session);
// As NetSendFile, through the kernel's TLS (only when TlsKernelSend is 1).
int TlsSendFile(TlsSession* session, int fileFd, uint64_t offset, int length);
