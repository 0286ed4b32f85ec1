// Connection commands with fixed replies: QUIT, REIN, NOOP, SYST, HELP, and
// TYPE, MODE and STRU, which accept only the values the server supports.
#include <cstring>

#include "server/commands.h"
#include "server/control_limits.h"

namespace {

// TYPE, MODE and STRU compare their argument in upper case.
void UpperCaseCommandLine() {
    for (char* c = commandLine; *c; c++)
        if (*c >= 'a' && *c <= 'z') *c = (char)(*c - 'a' + 'A');
}

// One row of a parameter table: the argument (whole) and its reply.
struct ParameterRule {
    const char* argument;
    const char* reply;
};

const char* const NOT_IMPLEMENTED = "504 Command not implemented for that parameter.";

// MODE and STRU: the reply of the first rule whose argument equals the whole
// argument, else otherwise. Returns the matching rule's index, or -1.
int ReplyByTable(Conn* conn, const ParameterRule* rules, int count, const char* otherwise) {
    UpperCaseCommandLine();
    const char* arg = CommandArgument(4);
    if (!arg) {
        Reply(conn, "500 Syntax error; parameter required.");
        return -1;
    }
    for (int i = 0; i < count; i++) {
        if (strcmp(arg, rules[i].argument) == 0) {
            Reply(conn, "%s", rules[i].reply);
            return i;
        }
    }
    Reply(conn, "%s", otherwise);
    return -1;
}

} // namespace

void CmdQuit(Conn* conn) {
    conn->control.shutdownWhenDrained = 1;
    ReplyFile(conn, "logout.txt", "221 Closing control connection.");
    conn->loginState = LOGIN_CLOSING;
}

void CmdRein(Conn* conn) {
    SendGreeting(conn);
    conn->loginState = LOGIN_NONE;
}

void CmdNoop(Conn* conn) {
    Reply(conn, "200 Command okay.");
}

void CmdSyst(Conn* conn) {
    if (CommandArgument(4))
        Reply(conn, "501 Unexpected parameter.");
    else
        Reply(conn, "215 WIN32");
}

void CmdHelp(Conn* conn) {
    if (CommandArgument(4)) {
        Reply(conn, "214 Help is not available for that command.");
        return;
    }
    Queue* out = &conn->control.out;
    QueuePrintf(out, "214-The following commands are recognized:\r\n");
    QueueCommandList(out);
    Reply(conn, "214 Help command successful.");
}

void CmdType(Conn* conn) {
    UpperCaseCommandLine();
    const char* arg = CommandArgument(4);
    if (!arg) {
        Reply(conn, "500 Syntax error; parameter required.");
    } else if (strcmp(arg, "A") == 0 || strcmp(arg, "A N") == 0) {
        Reply(conn, "200 Type set to A.");
        conn->imageType = 0;
    } else if (arg[0] == 'A') {
        Reply(conn, "%s", NOT_IMPLEMENTED);
    } else if (strcmp(arg, "I") == 0) {
        Reply(conn, "200 Type set to I.");
        conn->imageType = 1;
    } else if (arg[0] == 'E' || arg[0] == 'L') {
        Reply(conn, "%s", NOT_IMPLEMENTED);
    } else {
        Reply(conn, "501 Invalid type specified.");
    }
}

void CmdMode(Conn* conn) {
    static const ParameterRule rules[] = {
        {"S", "200 Command okay."}, {"B", NOT_IMPLEMENTED}, {"C", NOT_IMPLEMENTED}};
    ReplyByTable(conn, rules, 3, "501 Invalid mode specified.");
}

void CmdStru(Conn* conn) {
    static const ParameterRule rules[] = {
        {"F", "200 Command okay."}, {"R", NOT_IMPLEMENTED}, {"P", NOT_IMPLEMENTED}};
    ReplyByTable(conn, rules, 3, "501 Invalid structure specified.");
}
