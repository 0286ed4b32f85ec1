// Placeholder: these commands answer as unknown until their handlers land.
#include "server/commands.h"

void CmdRetr(Conn* conn) { Reply(conn, "500 Syntax error; command unrecognized."); }
void CmdStor(Conn* conn) { Reply(conn, "500 Syntax error; command unrecognized."); }
void CmdAppe(Conn* conn) { Reply(conn, "500 Syntax error; command unrecognized."); }
void CmdRest(Conn* conn) { Reply(conn, "500 Syntax error; command unrecognized."); }
