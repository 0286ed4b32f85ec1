// Whether the FTP server listens, as the status bar shows it: "Ready" while
// it does (and before anything is known), otherwise why it does not ("Not
// listening on port 21: the port is in use by another program"). The server
// role sets it from its own listener; an admin from the server's message.
// Guarded by a lock: the socket thread sends it to an admin while the main
// thread may change it.
#pragma once

#include <string>

// "" while listening; else the problem. Any thread; the observer then runs
// on the main thread (through its queue). true when the text changed.
bool ListenStatusSet(const std::string& problem);
std::string ListenStatusProblem();
// The status bar's text: "Ready" or the problem.
std::string ListenStatusText();
// Called on the main thread after every change, for a window to redraw.
void ListenStatusSetObserver(void (*observer)());
