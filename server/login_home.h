// The last step of every successful login: the account's Root must be an
// existing directory, or the session would be logged in to nothing (an empty
// listing, every transfer failing) with no word to the client.
#pragma once

#include "server/conn.h"

// 1 when conn's Root is an existing directory; else logs a warning naming
// the account and the path and returns 0 (the caller refuses the login).
int LoginHomeAvailable(const Conn* conn);
