// How many connections have given each account name with USER, for the
// account's MaxConn. Connections of every socket thread count here, under
// one lock, so a USER on one thread sees the connections of the others
// without reading their records. A connection is counted under the name its
// user.name holds; it remembers the count it is in (Conn::userCounted).
#pragma once

#include <cstdint>

#include "server/conn.h"

// conn is counted under conn->user.name from now on (under none when it is
// ""). Called after every change of conn->user.name. conn's socket thread.
void UserConnNote(Conn* conn);
// Counts conn under name, unless max is not 0 and max other connections are
// counted under it already: then false, and conn is counted under none. The
// check and the count are one step, so two threads cannot both take the
// last place. conn's socket thread.
bool UserConnAdmit(Conn* conn, const char* name, uint32_t max);
// conn is counted no more (it closes). conn's socket thread.
void UserConnForget(Conn* conn);
// Connections other than conn counted under name. Any thread.
int UserConnCount(const Conn* conn, const char* name);
