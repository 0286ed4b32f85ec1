// What the engine tells the program about its control connections. The
// engine knows nothing of the message slots or the window: the program
// installs these functions at start-up (before the socket thread starts) and
// the engine calls them on the socket thread. An entry left null does
// nothing.
#pragma once

#include <cstdint>
#include <vector>

#include "view/conn_record.h"

struct ConnEvents {
    // For an admin: a connection was accepted, or is listed again after
    // refreshBegin; and a connection closed (its record as it was).
    void (*notify)(const ConnRecord& record);
    void (*notifyClosed)(const ConnRecord& record);
    // An admin asked for the list: called once before the notify of every
    // live connection.
    void (*refreshBegin)();
    // The connections view: an item for a new connection, and its removal
    // when the connection closes. Must not wait for the main thread.
    void (*viewInsert)(const ConnRecord& record);
    void (*viewDelete)(uint32_t connId);
    // The FTP listening socket could not be opened on port (host order);
    // error is the Windows Sockets code of the failed step. The engine runs
    // on without a listener until the next listen command.
    void (*listenFailed)(uint16_t port, int error);
    // The listening socket was opened on port (enabled 1), or closed because
    // the server is switched off (enabled 0).
    void (*listening)(uint16_t port, int enabled);
    // A sample for the details views (SOCK_MSG_DETAILS): every live
    // connection with its details; the callee owns the vector (and must not
    // wait for the main thread).
    void (*details)(std::vector<ConnRecord>* records);
};

extern ConnEvents connEvents;
