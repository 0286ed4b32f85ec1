// One control connection as the connections views show it: the engine fills
// it (ConnRecordOf), the program carries it to the server's own view or, as
// the update record of the message slot, to an admin's, and only the window
// turns it into text. A column of the view is a field here, its producer in
// the engine and its text in the window.
#pragma once

#include <cstdint>

#include "platform/address.h"

struct ConnRecord {
    uint16_t connId;   // the connection's slot in the engine's table
    NetAddress client; // the client's address and the port of its control connection
};
