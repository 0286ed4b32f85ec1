// Giving up root at start-up (app/privilege.cpp).
#pragma once

// Before the role is taken: a process started as root becomes the
// System\RunAs user (a server) or the store's owner (an admin); an admin
// that cannot open the store says so. 1 to go on, 0 to end with status 1.
int PrivilegeStartup(int serviceFlag);
// Writes what PrivilegeStartup did to the log, once the log runs.
void PrivilegeLogOutcome();
