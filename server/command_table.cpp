// The command table: one row per command word with all its rules, and what
// is built from it (the word lookup, HELP's words, FEAT's lines).
#include <algorithm>
#include <cstring>
#include <iterator>

#include "log/log.h"
#include "platform/ascii.h"
#include "server/commands.h"
#include "server/dataconn.h"
#include "server/mlst_facts.h"

namespace {

const char* const NO_PERMISSION = "No permission.";
const char* const NOT_PERMITTED = "Not permitted.";

// HELP lists the words in this order, then the X-twins in the same order.
const CommandRow BUILT_IN[] = {
    {.word = "APPE",
     .handler = CmdAppe,
     .flags = CMD_LOGIN | CMD_VIA_TRANSFER | CMD_TAKES_OFFSET,
     .argument = ARG_REQUIRED,
     .permission = PERM_PUT,
     .deniedCode = 550,
     .deniedText = NO_PERMISSION},
    {.word = "CDUP", .twin = "XCUP", .handler = CmdCdup, .flags = CMD_LOGIN, .argument = ARG_NONE},
    {.word = "CWD", .handler = CmdCwd, .flags = CMD_LOGIN, .argument = ARG_OPTIONAL},
    {.word = "DELE",
     .handler = CmdDele,
     .flags = CMD_LOGIN,
     .argument = ARG_REQUIRED,
     .permission = PERM_DELETEFILE,
     .deniedCode = 550,
     .deniedText = NOT_PERMITTED},
    {.word = "HELP", .handler = CmdHelp, .argument = ARG_OPTIONAL},
    {.word = "LIST",
     .handler = CmdList,
     .flags = CMD_LOGIN,
     .argument = ARG_REST,
     .permission = PERM_LIST,
     .deniedCode = 450,
     .deniedText = NO_PERMISSION},
    {.word = "MKD",
     .twin = "XMKD",
     .handler = CmdMkd,
     .flags = CMD_LOGIN,
     .argument = ARG_REQUIRED,
     .permission = PERM_CREATE,
     .deniedCode = 550,
     .deniedText = NOT_PERMITTED},
    {.word = "MODE", .handler = CmdMode, .argument = ARG_REQUIRED},
    {.word = "NLST",
     .handler = CmdNlst,
     .flags = CMD_LOGIN,
     .argument = ARG_REST,
     .permission = PERM_LIST,
     .deniedCode = 450,
     .deniedText = NO_PERMISSION},
    {.word = "NOOP", .handler = CmdNoop, .argument = ARG_OPTIONAL},
    {.word = "QUIT", .handler = CmdQuit, .argument = ARG_OPTIONAL},
    {.word = "PASS", .handler = CmdPass, .argument = ARG_OPTIONAL},
    {.word = "PASV", .handler = CmdPasv, .flags = CMD_LOGIN, .argument = ARG_OPTIONAL},
    {.word = "PORT", .handler = CmdPort, .flags = CMD_LOGIN, .argument = ARG_REST},
    {.word = "PWD", .twin = "XPWD", .handler = CmdPwd, .flags = CMD_LOGIN, .argument = ARG_NONE},
    {.word = "REST",
     .handler = CmdRest,
     .flags = CMD_LOGIN | CMD_VIA_TRANSFER,
     .argument = ARG_REQUIRED,
     .feature = "REST STREAM"},
    {.word = "RETR",
     .handler = CmdRetr,
     .flags = CMD_LOGIN | CMD_VIA_TRANSFER | CMD_TAKES_OFFSET,
     .argument = ARG_REQUIRED,
     .permission = PERM_GET,
     .deniedCode = 450,
     .deniedText = NO_PERMISSION},
    {.word = "RMD",
     .twin = "XRMD",
     .handler = CmdRmd,
     .flags = CMD_LOGIN,
     .argument = ARG_REQUIRED,
     .permission = PERM_DELETEDIR,
     .deniedCode = 550,
     .deniedText = NOT_PERMITTED},
    {.word = "RNFR",
     .handler = CmdRnfr,
     .flags = CMD_LOGIN,
     .argument = ARG_REQUIRED,
     .permission = PERM_PUT,
     .deniedCode = 550,
     .deniedText = NO_PERMISSION},
    {.word = "RNTO", .handler = CmdRnto, .flags = CMD_LOGIN, .argument = ARG_REQUIRED},
    {.word = "STOR",
     .handler = CmdStor,
     .flags = CMD_LOGIN | CMD_VIA_TRANSFER | CMD_TAKES_OFFSET,
     .argument = ARG_REQUIRED,
     .permission = PERM_PUT,
     .deniedCode = 450,
     .deniedText = NO_PERMISSION},
    {.word = "STRU", .handler = CmdStru, .argument = ARG_REQUIRED},
    {.word = "SYST", .handler = CmdSyst, .argument = ARG_NONE},
    {.word = "TYPE", .handler = CmdType, .argument = ARG_REQUIRED},
    {.word = "USER", .handler = CmdUser, .argument = ARG_OPTIONAL},
    {.word = "REIN", .handler = CmdRein, .flags = CMD_UNLISTED, .argument = ARG_OPTIONAL},
    // The extensions.
    {.word = "ABOR",
     .handler = CmdAbor,
     .flags = CMD_EXTENSION | CMD_URGENT,
     .argument = ARG_OPTIONAL},
    {.word = "EPRT",
     .handler = CmdEprt,
     .flags = CMD_EXTENSION | CMD_LOGIN,
     .argument = ARG_OPTIONAL,
     .feature = "EPRT"},
    {.word = "EPSV",
     .handler = CmdEpsv,
     .flags = CMD_EXTENSION | CMD_LOGIN,
     .argument = ARG_OPTIONAL,
     .feature = "EPSV"},
    {.word = "FEAT", .handler = CmdFeat, .flags = CMD_EXTENSION, .argument = ARG_NONE},
    {.word = "MDTM",
     .handler = CmdMdtm,
     .flags = CMD_EXTENSION | CMD_LOGIN,
     .argument = ARG_REQUIRED,
     .permission = PERM_GET | PERM_LIST,
     .deniedCode = 550,
     .deniedText = NO_PERMISSION,
     .feature = "MDTM"},
    {.word = "MLSD",
     .handler = CmdMlsd,
     .flags = CMD_EXTENSION | CMD_LOGIN,
     .argument = ARG_OPTIONAL,
     .permission = PERM_LIST,
     .deniedCode = 550,
     .deniedText = NO_PERMISSION},
    {.word = "MLST",
     .handler = CmdMlst,
     .flags = CMD_EXTENSION | CMD_LOGIN,
     .argument = ARG_OPTIONAL,
     .permission = PERM_LIST,
     .deniedCode = 550,
     .deniedText = NO_PERMISSION,
     .feature = "MLST",
     .featureDetail = [] { return MlstFactList(MLST_FACTS_ALL, true); }},
    {.word = "OPTS",
     .handler = CmdOpts,
     .flags = CMD_EXTENSION,
     .argument = ARG_REQUIRED,
     .feature = "UTF8"},
    {.word = "SIZE",
     .handler = CmdSize,
     .flags = CMD_EXTENSION | CMD_LOGIN,
     .argument = ARG_REQUIRED,
     .permission = PERM_GET | PERM_LIST,
     .deniedCode = 550,
     .deniedText = NO_PERMISSION,
     .feature = "SIZE"},
    // FTP over TLS.
    {.word = "AUTH",
     .handler = CmdAuth,
     .flags = CMD_TLS,
     .argument = ARG_REQUIRED,
     .feature = "AUTH TLS"},
    {.word = "PBSZ",
     .handler = CmdPbsz,
     .flags = CMD_TLS,
     .argument = ARG_REQUIRED,
     .feature = "PBSZ"},
    {.word = "PROT",
     .handler = CmdProt,
     .flags = CMD_TLS,
     .argument = ARG_REQUIRED,
     .feature = "PROT"},
    {.word = "CCC", .handler = CmdCcc, .flags = CMD_TLS, .argument = ARG_NONE},
};

std::vector<CommandRow>& Rows() {
    static std::vector<CommandRow> rows(std::begin(BUILT_IN), std::end(BUILT_IN));
    return rows;
}

bool Names(const CommandRow& row, const char* upperWord) {
    return strcmp(row.word, upperWord) == 0 || (row.twin && strcmp(row.twin, upperWord) == 0);
}

} // namespace

const std::vector<CommandRow>& CommandRows() {
    return Rows();
}

namespace {
// EPSV and EPRT are the only data commands an IPv6 control connection has (PASV and
// PORT carry IPv4 addresses): it is given them whatever Extensions says.
bool Ipv6DataCommand(const Conn* conn, const CommandRow& row) {
    return (row.handler == CmdEpsv || row.handler == CmdEprt) && ControlOnIpv6(conn);
}
} // namespace

const CommandRow* FindCommand(const Conn* conn, const char* word, size_t length) {
    if (length != 3 && length != 4) return nullptr;
    char upper[5] = {0};
    for (size_t i = 0; i < length; i++)
        upper[i] = AsciiUpper(word[i]);
    for (const CommandRow& row : Rows())
        if (Names(row, upper))
            return ((row.flags & CMD_EXTENSION) && !conn->extensions &&
                    !Ipv6DataCommand(conn, row)) ||
                           ((row.flags & CMD_TLS) && !conn->tlsMode)
                       ? nullptr
                       : &row;
    return nullptr;
}

int AddCommand(const CommandRow& row) {
    for (const CommandRow& other : Rows()) {
        if (Names(other, row.word) || (row.twin && Names(other, row.twin))) {
            LogPrintf(LOG_WARNING, "AddCommand: %s is in the command table already.", row.word);
            return 0;
        }
    }
    Rows().push_back(row);
    return 1;
}

void RemoveCommand(const char* word) {
    std::vector<CommandRow>& rows = Rows();
    rows.erase(
        std::remove_if(rows.begin(), rows.end(),
                       [word](const CommandRow& row) { return strcmp(row.word, word) == 0; }),
        rows.end());
}

void QueueCommandList(Queue* out) {
    for (bool twins : {false, true}) {
        for (const CommandRow& row : Rows()) {
            const char* word = twins ? row.twin : row.word;
            if (word && !(row.flags & (CMD_UNLISTED | CMD_EXTENSION | CMD_TLS)))
                QueuePrintf(out, "   %s\r\n", word);
        }
    }
}

void QueueFeatureList(Queue* out, const Conn* conn) {
    std::vector<std::string> lines;
    for (const CommandRow& row : Rows()) {
        if (!row.feature || ((row.flags & CMD_TLS) && !conn->tlsMode)) continue;
        lines.push_back(row.feature);
        if (row.featureDetail) lines.back() += " " + row.featureDetail();
    }
    std::sort(lines.begin(), lines.end());
    for (const std::string& line : lines)
        QueuePrintf(out, " %s\r\n", line.c_str());
}
