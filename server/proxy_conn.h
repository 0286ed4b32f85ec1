// A connection behind a load balancer ("ProxyProtocol" 1): it is accepted
// only from a "ProxyFrom" peer, greeted only once its PROXY header has come,
// and from then on its client is the header's source address. Socket thread
// only.
#pragma once

#include "server/conn.h"

// At accept, before the greeting: 0 = no header is expected (greet now);
// 1 = the connection waits for its header (conn->proxyWaiting); -1 = the
// peer is not a listed balancer and the connection was closed.
int ProxyAccept(Conn* conn);
// Received control bytes while conn->proxyWaiting: takes a complete header
// out of the input queue, makes its source the connection's client and
// greets it. 1 = greeted (bytes behind the header are commands), 0 = more
// bytes are needed, -1 = the header was refused and the connection closed.
int ProxyTakeHeader(Conn* conn);
// When a connection waiting for its header runs out of time: LoginTimeout,
// or PROXY_WAIT_DEFAULT_S when that is 0 (no limit).
constexpr uint32_t PROXY_WAIT_DEFAULT_S = 10;
int64_t ProxyHeaderDue(const Conn* conn);
// No header in time: logged and closed, nothing sent.
void ProxyTimeOut(Conn* conn);
