// What the details view shows of each connection, and the administrator's
// disconnect. Socket thread only.
//
// The engine keeps only what it has anyway: the command table's word of the
// last command (a pointer, no copy), its argument (one bounded copy, none for
// PASS) and the wall-clock time of the accept. A sample turns the table into
// records (ConnDetailsOf) only when the program asks for one (a details view
// is open), at most a few times a second.
#pragma once

#include <vector>

#include <cstdint>

#include "server/conn.h"

struct CommandRow;

// At accept: the connection has no command yet and is connected from now.
void ConnDetailsStart(Conn* conn);
// The dispatcher found the row of a command line and its argument.
void ConnNoteCommand(Conn* conn, const CommandRow& row, const char* arg);
// The connection with its details (account, command, transfer; the rate is
// left to the sampler of the program).
ConnRecord ConnDetailsOf(const Conn* conn);
// SOCK_MSG_DETAILS: every live connection's details to connEvents.details.
void SampleConnDetails();
// The details of the calling socket thread's connections, appended.
void SampleOwnConnDetails(std::vector<ConnRecord>* records);

// Who asked for a disconnect (the log says it).
enum DisconnectOrigin : uint8_t { DISCONNECT_SERVER_WINDOW = 0, DISCONNECT_ADMIN = 1 };
// SOCK_MSG_DISCONNECT's parameters: wParam carries the connection's number
// (bits 0-31), the client's port (32-47) and the origin (48-55), lParam its
// connected-since time (0 = do not compare), so a request for a connection
// that has gone meanwhile never ends a newer one in the same slot.
uintptr_t DisconnectWParam(uint32_t connId, uint16_t clientPort, DisconnectOrigin origin);
// The connection's number in such a wParam.
uint32_t DisconnectConnId(uintptr_t wParam);
// Ends the connection the request names: a transfer in progress is aborted
// (426, its partial file kept), the client gets "421 ..." and the connection
// closes. 1 when it was found.
int ConnDisconnect(uintptr_t wParam, intptr_t lParam);
