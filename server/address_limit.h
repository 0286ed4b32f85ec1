// System\MaxConnPerAddress: the connections in the table counted by client
// address (an IPv4-mapped IPv6 address counts as its IPv4 address), so that
// one address cannot take every slot MaxConn allows. A connection is counted
// under the address on its Conn from the moment that address is final (at
// accept, or once the PROXY header has given it) to its close. The counts
// are shared by every socket thread, under one lock; a connection's own
// fields are touched only by the thread that owns it.
#pragma once

#include <cstdint>

#include "server/conn.h"

// Counts conn under conn->peer (before its greeting or refusal) and returns
// the count its address reached with it: two connections of one address
// counted at once on two threads get two different counts.
uint32_t AddressLimitAdd(Conn* conn);
// Stops counting conn, if it was counted (at close).
void AddressLimitRemove(Conn* conn);
// True when count (what AddressLimitAdd returned) is more connections than
// MaxConnPerAddress allows (never with the limit 0).
bool AddressLimitExceeded(uint32_t count);
// Forgets every count (the table is freed).
void AddressLimitClear();
