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

// Closes the passive socket, the data socket and the transfer's file, drops
// what the data queues hold and sets transferKind to XFER_NONE.
void CloseDataSide(Conn* conn);

// Closes the transfer's file if one is open.
void CloseTransferFile(Conn* conn);

// One receive of an upload's data connection (up to a block), written to the
// transfer's file at once, or dropped when the upload has failed. Bytes
// still in data.in are written first. The count received, 0 when nothing
// was there or the client closed, -1 on a socket error.
int ReceiveUpload(Conn* conn);
