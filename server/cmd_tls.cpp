// AUTH, PBSZ, PROT and CCC: FTP over TLS on the control connection
// (RFC 4217), known while the connection's "Tls" switch is on.
#include <cstdlib>
#include <cstring>

#include "log/log.h"
#include "platform/ascii.h"
#include "server/commands.h"
#include "server/tls_conn.h"
#include "server/user_conns.h"

void CmdAuth(Conn* conn, const char* arg) {
    if (conn->control.tls) {
        Reply(conn, "534 Request denied for policy reasons: TLS is on already.");
        return;
    }
    if (conn->loginState == LOGIN_LOGGED_IN) {
        Reply(conn, "534 Request denied for policy reasons: AUTH must come before the login.");
        return;
    }
    const char* kinds[] = {"TLS", "TLS-C", "SSL", "TLS-P"};
    bool known = false;
    for (const char* kind : kinds)
        known = known || AsciiCompareNoCase(arg, kind) == 0;
    if (!known) {
        Reply(conn, "504 Unknown AUTH type.");
        return;
    }
    if (!TlsContextReady()) {
        LogPrintf(LOG_WARNING, "CmdAuth(%u) AUTH refused: no certificate is loaded.", conn->connId);
        Reply(conn, "431 Need some unavailable resource to process security.");
        return;
    }
    // A name given in clear is asked for again inside TLS.
    conn->loginState = LOGIN_NONE;
    memset(&conn->user, 0, sizeof conn->user);
    UserConnNote(conn);
    conn->tlsPbsz = 0;
    conn->tlsProtP = AsciiCompareNoCase(arg, "TLS-P") == 0;
    Reply(conn, "234 AUTH command OK; starting TLS negotiation.");
    if (conn->control.socket == INVALID_SOCKET) return;
    if (conn->control.out.length == 0)
        ControlTlsStart(conn);
    else
        conn->tlsAuthPending = 1; // started once the reply is out (FD_WRITE)
}

void CmdPbsz(Conn* conn, const char* arg) {
    if (!ControlProtected(conn)) {
        Reply(conn, "503 Bad sequence of commands: AUTH first.");
        return;
    }
    char* end = nullptr;
    strtoul(arg, &end, 10);
    if (*arg < '0' || *arg > '9' || *end) {
        Reply(conn, "501 Syntax error in parameters or arguments.");
        return;
    }
    // A stream protected by TLS has no buffer size of its own.
    conn->tlsPbsz = 1;
    Reply(conn, "200 PBSZ=0");
}

void CmdProt(Conn* conn, const char* arg) {
    if (!conn->tlsPbsz) {
        Reply(conn, "503 Bad sequence of commands: PBSZ first.");
        return;
    }
    char level = arg[1] == 0 ? AsciiUpper(arg[0]) : 0;
    switch (level) {
    case 'C':
        conn->tlsProtP = 0;
        Reply(conn, "200 Protection level set to Clear.");
        break;
    case 'P':
        conn->tlsProtP = 1;
        Reply(conn, "200 Protection level set to Private.");
        break;
    case 'S':
    case 'E':
        Reply(conn, "536 Requested PROT level not supported by mechanism.");
        break;
    default:
        Reply(conn, "504 Command not implemented for that parameter.");
        break;
    }
}

void CmdCcc(Conn* conn, const char*) {
    Reply(conn, "534 Request denied for policy reasons: the control connection stays protected.");
}
