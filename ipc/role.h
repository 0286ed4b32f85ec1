// The process role, fixed once at start-up.
#pragma once

enum Role { ROLE_SERVER = 0, ROLE_ADMIN = 1, ROLE_SERVICE = 2 };

extern Role processRole;

// The server and service roles run the FTP engine and read the server slot.
inline bool RoleIsServerOrService() {
    return processRole != ROLE_ADMIN;
}
