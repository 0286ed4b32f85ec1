// System\MaxConnPerAddress: the connections in the table counted by client
// address (an IPv4-mapped IPv6 address counts as its IPv4 address), so that
// one address cannot take every slot MaxConn allows. A connection is counted
// under the address on its Conn from accept to close; whoever replaces that
// address (a PROXY header, before the greeting) goes through ConnSetPeer.
// Socket thread only.
#pragma once

#include "server/conn.h"

// Counts conn under conn->peer (at accept).
void AddressLimitAdd(const Conn* conn);
// Stops counting conn (at close).
void AddressLimitRemove(const Conn* conn);
// Moves conn's count to peer and makes it conn's address.
void ConnSetPeer(Conn* conn, const NetAddress& peer);
// True when conn's address holds more connections than MaxConnPerAddress
// allows (never with the limit 0).
bool AddressLimitExceeded(const Conn* conn);
// Forgets every count (the table is freed).
void AddressLimitClear();
