// FEAT and OPTS: what the extensions offer, and their options (UTF8, and
// the facts MLST and MLSD show).
#include <cstring>
#include <string>

#include "platform/ascii.h"
#include "server/commands.h"
#include "server/mlst_facts.h"

namespace {

// OPTS MLST fact;fact;...: the known facts named (without regard to case)
// are shown from now on, unknown ones are ignored. The reply lists the
// facts chosen.
void OptsMlst(Conn* conn, const char* facts) {
    uint8_t chosen = 0;
    while (*facts == ' ')
        facts++;
    std::string names = facts;
    size_t start = 0;
    while (start < names.size()) {
        size_t end = names.find(';', start);
        if (end == std::string::npos) end = names.size();
        chosen |= MlstFactBit(names.substr(start, end - start).c_str());
        start = end + 1;
    }
    conn->mlstFacts = chosen;
    std::string list = MlstFactList(chosen, false);
    Reply(conn, "200 MLST OPTS%s%s", list.empty() ? "" : " ", list.c_str());
}

} // namespace

// The feature lines come from the command table. Names travel as the bytes
// they are stored as, so UTF-8 names pass unchanged (the UTF8 line).
void CmdFeat(Conn* conn, const char*) {
    Queue* out = &conn->control.out;
    QueuePrintf(out, "211-Features:\r\n");
    QueueFeatureList(out, conn);
    Reply(conn, "211 End");
}

void CmdOpts(Conn* conn, const char* arg) {
    if (AsciiStartsWithWord(arg, "UTF8")) {
        const char* value = arg + 4;
        while (*value == ' ')
            value++;
        if (AsciiStartsWithWord(value, "ON") || *value == 0)
            Reply(conn, "200 UTF8 is always on: names are sent as they are stored.");
        else
            Reply(conn, "504 Command not implemented for that parameter.");
        return;
    }
    if (AsciiStartsWithWord(arg, "MLST")) {
        OptsMlst(conn, arg + 4);
        return;
    }
    Reply(conn, "501 Option not recognized.");
}
