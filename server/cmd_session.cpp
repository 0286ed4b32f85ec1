// Connection commands with fixed replies: QUIT, REIN, NOOP, SYST, HELP, and
// TYPE, MODE and STRU, which accept only the values the server supports.
#include "platform/ascii.h"
#include "server/commands.h"
#include "server/control_limits.h"
#include "server/tls_conn.h"

namespace {

// One row of a parameter table: the argument (whole) and its reply.
struct ParameterRule {
    const char* argument;
    const char* reply;
};

const char* const NOT_IMPLEMENTED = "504 Command not implemented for that parameter.";

// MODE and STRU: the reply of the first rule whose argument equals the whole
// argument (either case), else otherwise. Returns the matching rule's index,
// or -1.
int ReplyByTable(Conn* conn, const char* arg, const ParameterRule* rules, int count,
                 const char* otherwise) {
    for (int i = 0; i < count; i++) {
        if (AsciiCompareNoCase(arg, rules[i].argument) == 0) {
            Reply(conn, "%s", rules[i].reply);
            return i;
        }
    }
    Reply(conn, "%s", otherwise);
    return -1;
}

} // namespace

void CmdQuit(Conn* conn, const char*) {
    conn->control.shutdownWhenDrained = 1;
    ReplyFile(conn, "logout.txt", "221 Closing control connection.");
    conn->loginState = LOGIN_CLOSING;
    ControlSessionNote(conn);
}

// REIN returns the session to its state before the login. Under TLS the
// control connection stays protected: a client cannot tell where in the
// stream clear text would begin (that needs CCC, which is refused), clients
// go on writing TLS records after REIN, and the next USER and PASS are then
// protected too (so "Tls" 2 still lets that account in). Data protection is
// a parameter and returns to its start like the others: after AUTH, PBSZ is
// needed again and PROT is C; on the implicit port both stay as it set them
// (PBSZ 0, PROT P). A second AUTH still gets 534, TLS being on.
void CmdRein(Conn* conn, const char*) {
    SendGreeting(conn);
    conn->loginState = LOGIN_NONE;
    ControlSessionNote(conn);
    conn->tlsPbsz = conn->implicitTls;
    conn->tlsProtP = conn->implicitTls;
}

void CmdNoop(Conn* conn, const char*) {
    Reply(conn, "200 Command okay.");
}

void CmdSyst(Conn* conn, const char*) {
    Reply(conn, "215 WIN32");
}

void CmdHelp(Conn* conn, const char* arg) {
    if (arg) {
        Reply(conn, "214 Help is not available for that command.");
        return;
    }
    Queue* out = &conn->control.out;
    QueuePrintf(out, "214-The following commands are recognized:\r\n");
    QueueCommandList(out);
    Reply(conn, "214 Help command successful.");
}

// The type letter and its options compare without regard to case.
void CmdType(Conn* conn, const char* arg) {
    char type = AsciiUpper(arg[0]);
    if (AsciiCompareNoCase(arg, "A") == 0 || AsciiCompareNoCase(arg, "A N") == 0) {
        Reply(conn, "200 Type set to A.");
        conn->imageType = 0;
    } else if (type == 'A') {
        Reply(conn, "%s", NOT_IMPLEMENTED);
    } else if (AsciiCompareNoCase(arg, "I") == 0) {
        Reply(conn, "200 Type set to I.");
        conn->imageType = 1;
    } else if (type == 'E' || type == 'L') {
        Reply(conn, "%s", NOT_IMPLEMENTED);
    } else {
        Reply(conn, "501 Invalid type specified.");
    }
}

void CmdMode(Conn* conn, const char* arg) {
    static const ParameterRule rules[] = {
        {"S", "200 Command okay."}, {"B", NOT_IMPLEMENTED}, {"C", NOT_IMPLEMENTED}};
    ReplyByTable(conn, arg, rules, 3, "501 Invalid mode specified.");
}

void CmdStru(Conn* conn, const char* arg) {
    static const ParameterRule rules[] = {
        {"F", "200 Command okay."}, {"R", NOT_IMPLEMENTED}, {"P", NOT_IMPLEMENTED}};
    ReplyByTable(conn, arg, rules, 3, "501 Invalid structure specified.");
}
