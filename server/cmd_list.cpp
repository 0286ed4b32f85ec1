// Placeholder: these commands answer as unknown until their handlers land.
#include "server/commands.h"

void CmdList(Conn* conn) { Reply(conn, "500 Syntax error; command unrecognized."); }
void CmdNlst(Conn* conn) { Reply(conn, "500 Syntax error; command unrecognized."); }
