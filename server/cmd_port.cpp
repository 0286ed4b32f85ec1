// Placeholder: these commands answer as unknown until their handlers land.
#include "server/commands.h"

void CmdPort(Conn* conn) { Reply(conn, "500 Syntax error; command unrecognized."); }
void CmdPasv(Conn* conn) { Reply(conn, "500 Syntax error; command unrecognized."); }
