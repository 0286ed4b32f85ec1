// Placeholder: these commands answer as unknown until their handlers land.
#include "server/commands.h"

void CmdCwd(Conn* conn) { Reply(conn, "500 Syntax error; command unrecognized."); }
void CmdCdup(Conn* conn) { Reply(conn, "500 Syntax error; command unrecognized."); }
void CmdPwd(Conn* conn) { Reply(conn, "500 Syntax error; command unrecognized."); }
void CmdMkd(Conn* conn) { Reply(conn, "500 Syntax error; command unrecognized."); }
void CmdRmd(Conn* conn) { Reply(conn, "500 Syntax error; command unrecognized."); }
void CmdDele(Conn* conn) { Reply(conn, "500 Syntax error; command unrecognized."); }
void CmdRnfr(Conn* conn) { Reply(conn, "500 Syntax error; command unrecognized."); }
void CmdRnto(Conn* conn) { Reply(conn, "500 Syntax error; command unrecognized."); }
