// One control connection as the connections views show it: the engine fills
// it (ConnRecordOf), the program carries it to the server's own view or, as
// the update record of the message slot, to an admin's, and only the window
// turns it into text. A column of the view is a field here, its producer in
// the engine and its text in the window.
//
// The plain list needs only connId and client. The details view adds the
// rest: the engine fills it only when the program samples the table for a
// details view (ConnDetailsOf, server/conn_details.cpp), never per command.
#pragma once

#include <cstdint>

#include "platform/address.h"

constexpr int CONN_ACCOUNT_SIZE = 33;  // the account's name, cut to 32 bytes
constexpr int CONN_WORD_SIZE = 8;      // a command word (3 or 4 letters)
constexpr int CONN_ARGUMENT_SIZE = 49; // a command's argument, cut to 48 bytes
constexpr int CONN_FILE_SIZE = 97;     // a transfer's path below the root, cut to 96 bytes
constexpr uint64_t CONN_TOTAL_UNKNOWN = UINT64_MAX;

enum ConnDirection : uint8_t { CONN_XFER_NONE = 0, CONN_XFER_DOWN = 1, CONN_XFER_UP = 2 };

struct ConnRecord {
    uint32_t connId;   // the connection's slot in the engine's table
    NetAddress client; // the client's address and the port of its control connection

    // Details; all zero (empty) in a plain record.
    uint8_t hasDetails = 0;                 // 1 once a sample filled the fields below
    uint8_t tls = 0;                        // the control connection is protected by TLS
    uint8_t direction = 0;                  // ConnDirection of the transfer in progress
    char account[CONN_ACCOUNT_SIZE] = {};   // "" while not logged in
    int64_t connectedSinceMs = 0;           // wall clock (ms since 1970) at accept
    char command[CONN_WORD_SIZE] = {};      // the current or last command word; "" = none yet
    char argument[CONN_ARGUMENT_SIZE] = {}; // its argument ("" for PASS: never shown)
    char file[CONN_FILE_SIZE] = {};         // the transfer's file, "/" + path below the root
    uint64_t bytes = 0;                     // bytes of the transfer so far
    uint64_t total = 0;                     // bytes it will have; CONN_TOTAL_UNKNOWN
    uint32_t rate = 0;                      // bytes a second over the last seconds
    int64_t transferStartMs = 0;            // the engine's clock at the transfer's start; 0 = none
};

// What the details view's status bar sums up.
struct ConnSummary {
    uint32_t connections;
    uint32_t loggedIn;
    uint32_t transfers;
    uint64_t rate; // bytes a second, all transfers together
};
