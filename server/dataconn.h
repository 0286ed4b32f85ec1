// How the transfer commands (LIST, NLST, RETR, STOR, APPE) obtain their data
// connection, and how PORT and PASV drop the one a connection holds.
// Socket thread only.
#pragma once

#include <cstdint>

#include "server/conn.h"

// Sets up the data connection for a transfer of the given kind and replies:
// "125 ..." and the transfer starts at once when a passive data connection is
// already open, "150 ..." when it is still to be made (passively by the
// client, or actively by ClientConnect), "425 ..." when it cannot be made.
// A connection whose passive socket is still open after an earlier transfer
// keeps using it, so the client may connect to it again. 1 when the transfer
// is under way, 0 after a refusal.
int OpenDataConnection(Conn* conn, uint8_t kind);

// PORT and EPRT: checks an active data address and port in the order
// invalid address, invalid port, restricted port, restricted address, each
// refused with its 501 reply; takes them with "200 Command okay." otherwise.
void SetActiveAddress(Conn* conn, const NetAddress& address, uint32_t port);

// PASV and EPSV: opens a new passive listening socket on the next free port
// of the PassivePorts range, or on a free port of the default range when no
// range is set (PassiveListen in cmd_port.cpp, server/passive_range.h);
// dataAddress becomes the address the client reached the server at, with
// the passive port.
// 1 when open; 0 after the "425 Can't open passive connection." reply (no
// port or descriptor left); the session goes on. A port nobody connects to
// within PassiveTimeout seconds is closed again (conn_timer.cpp).
int OpenPassive(Conn* conn);

// The control connection's own address (where the client reached the
// server): read from the system the first time, then kept in the record,
// since it cannot change while the connection lives. 0 when it cannot be
// read (WSAGetLastError() tells why).
int ControlLocal(Conn* conn, NetAddress* local);

// The refusals of a data address of the other family (RFC 2428): the
// family the control connection's client uses, in parentheses.
constexpr char NETWORK_USE_IPV4[] = "522 Network protocol not supported, use (1)";
constexpr char NETWORK_USE_IPV6[] = "522 Network protocol not supported, use (2)";

// The control connection runs over IPv6 (a client on an IPv4-mapped address
// of the dual-stack listener is on IPv4). The family of the connection the
// server holds decides, not a PROXY header's client address: data
// connections use the server's own addresses.
bool ControlOnIpv6(const Conn* conn);

// PASV and PORT on an IPv6 control connection, whose addresses they cannot carry:
// refused with NETWORK_USE_IPV6 (EPSV and EPRT serve it); returns 1 then.
int Ipv6Refuses(Conn* conn);

// After EPSV ALL every other way of setting up a data connection is refused
// with a 503 reply: returns 1 then.
int EpsvAllRefuses(Conn* conn);

// Closes the passive socket, the data socket and the transfer's file, drops
// what the data queues hold and sets transferKind to XFER_NONE.
void CloseDataSide(Conn* conn);
// The same without the passive socket, which stays open for the next transfer.
void EndTransfer(Conn* conn);

// Closes the data socket (after freeing its TLS session), if open.
void CloseDataSocket(Conn* conn);

// Closes the transfer's file if one is open.
void CloseTransferFile(Conn* conn);

// One receive of an upload's data connection (up to a block), written to the
// transfer's file at once, or dropped when the upload has failed. Bytes
// still in data.in are written first. The count received, 0 when nothing
// was there or the client closed, -1 on a socket error.
int ReceiveUpload(Conn* conn);
