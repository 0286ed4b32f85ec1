// The control sessions a data connection of another control connection may
// resume: those of logged-in connections whose control connection speaks
// TLS, with the account and the client's host they belong to. Connections of
// every socket thread publish here under one lock, by value (the session's
// origin, never the session), so a data connection on one thread can be
// matched with a control connection on another without reading its record.
#pragma once

#include "platform/net.h"
#include "platform/tls.h"

// The sessions handed out under origin belong to account name at host (its
// control connection is logged in and protected). Replaces what origin had.
void TlsOwnerPublish(const TlsOrigin& origin, const char* name, const NetAddress& host);
// Sessions of origin belong to nobody any more (logout, REIN, close).
void TlsOwnerWithdraw(const TlsOrigin& origin);
// origin is published for account name at host (the same host by address,
// whatever the port).
bool TlsOwnerMatches(const TlsOrigin& origin, const char* name, const NetAddress& host);
