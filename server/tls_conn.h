// FTP over TLS on the engine's channels: receiving and sending through a
// channel's TLS session, the handshakes of control and data connections
// (one non-blocking step per socket event), and the rules of the "Tls"
// switch. Socket thread only.
#pragma once

#include "server/conn.h"

// NetRecv and NetSend, through the channel's session when it has one.
int ChannelRecv(Channel* channel, void* buffer, int length);
int ChannelSend(Channel* channel, const void* bytes, int length);
// The close alert before the sending side is shut down: 0 when the socket
// is full (again at its FD_WRITE), else 1 (also for a clear channel).
int ChannelCloseNotify(Channel* channel);
// Frees the channel's session; the caller closes the socket.
void ChannelDropTls(Channel* channel);
// While a handshake runs nothing queued may go out.
inline bool ChannelHoldsOutput(const Channel* channel) {
    return channel->tls && channel->tlsHandshaking;
}

// The control connection speaks TLS (its handshake is done).
inline bool ControlProtected(const Conn* conn) {
    return conn->control.tls && !conn->control.tlsHandshaking;
}
// AUTH's reply is out or a handshake runs: no command line is taken.
inline bool ControlTlsBusy(const Conn* conn) {
    return conn->tlsAuthPending || conn->control.tlsHandshaking;
}
// Starts the server's handshake on the control connection (after AUTH's
// reply went out, or at accept on the implicit port).
void ControlTlsStart(Conn* conn);
// FD_READ or FD_WRITE of a control connection: drives its handshake, or
// starts it once AUTH's reply is out. True when the event was taken.
bool ControlTlsEvent(Conn* conn, uint16_t event);

// After a receive: bytes the session has decrypted already raise no socket
// event, so an FD_READ for them is posted to the loop.
void TlsReadPendingLater(Conn* conn, Channel* channel, unsigned message);

// A data connection was made: with PROT P its server handshake starts, and
// the transfer starts when it is done (or the connection is closed, and a
// transfer waiting for it ends with 425). True when the connection is clear
// and the caller starts the transfer.
bool DataTlsStart(Conn* conn);
// FD_READ or FD_WRITE of a data connection whose handshake runs.
void DataTlsEvent(Conn* conn);

// The implicit TLS port ("ImplicitTlsPort", with "Tls" on): opened, kept
// or closed with the listening socket (serve = the listener is wanted).
void ImplicitTlsListen(bool serve);
void ImplicitTlsClose();
// s is the implicit port's listening socket.
bool IsImplicitTlsListener(SOCKET s);

// Publishes conn's control session for the data connections of the
// account's other control connections from the same host while conn is
// logged in over TLS, and withdraws it otherwise. Called after every change
// of the login state; nothing for a clear control connection.
void ControlSessionNote(const Conn* conn);

// "Tls" 2: a non-anonymous account logs in only over TLS and transfers only
// with PROT P. Each answers the refusal and returns true.
bool TlsLoginRefused(Conn* conn);
bool TlsDataRefused(Conn* conn);
