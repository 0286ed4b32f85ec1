// System\MaxConnPerAddress: the connections in the table counted by client
// address (an IPv4-mapped IPv6 address counts as its IPv4 address), so that
// one address cannot take every slot MaxConn allows. A connection is counted
// under the address on its Conn from the moment that address is final (at
// accept, or once the PROXY header has given it) to its close.
// Socket thread only.
#pragma once

#include "server/conn.h"

// Counts conn under conn->peer (before its greeting or refusal).
void AddressLimitAdd(Conn* conn);
// Stops counting conn, if it was counted (at close).
void AddressLimitRemove(Conn* conn);
// True when conn's address holds more connections than MaxConnPerAddress
// allows (never with the limit 0).
bool AddressLimitExceeded(const Conn* conn);
// Forgets every count (the table is freed).
void AddressLimitClear();
