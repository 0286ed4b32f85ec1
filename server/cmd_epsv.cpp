// EPSV and EPRT: the extended forms of PASV and PORT, for IPv4 only. They
// take the same checks and the same passive and active data connections.
#include <cstring>
#include <string>

#include "platform/ascii.h"
#include "server/commands.h"
#include "server/dataconn.h"
#include "server/sockthread.h"

namespace {

// A decimal number of at most digits digits filling the whole text.
bool ParseDecimal(const std::string& text, size_t digits, uint32_t* value) {
    if (text.empty() || text.size() > digits) return false;
    uint32_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (uint32_t)(c - '0');
    }
    *value = v;
    return true;
}

const char* const ONLY_IPV4 = "522 Network protocol not supported, use (1)";

} // namespace

void CmdEpsv(Conn* conn, const char* arg) {
    if (arg && AsciiCompareNoCase(arg, "ALL") == 0) {
        conn->epsvAll = 1;
        Reply(conn, "200 EPSV ALL command successful.");
        return;
    }
    if (arg && strcmp(arg, "1") != 0) {
        Reply(conn, "%s", strcmp(arg, "2") == 0 ? ONLY_IPV4 : "501 Invalid EPSV parameter.");
        return;
    }
    if (!OpenPassive(conn)) return;
    Reply(conn, "229 Entering Extended Passive Mode (|||%u|)", conn->dataAddress.port);
}

// EPRT <d>1<d>address<d>port<d>, where <d> is any printable character that
// the fields do not hold.
void CmdEprt(Conn* conn, const char* arg) {
    if (EpsvAllRefuses(conn)) return;
    std::string fields[3];
    bool wellFormed = arg && arg[0] > ' ' && arg[0] < 127;
    if (wellFormed) {
        char delimiter = arg[0];
        const char* p = arg + 1;
        for (std::string& field : fields) {
            const char* end = strchr(p, delimiter);
            if (!end) {
                wellFormed = false;
                break;
            }
            field.assign(p, (size_t)(end - p));
            p = end + 1;
        }
        wellFormed = wellFormed && *p == 0;
    }
    if (!wellFormed) {
        Reply(conn, "501 Invalid port parameter.");
        return;
    }
    if (fields[0] != "1") {
        Reply(conn, "%s", fields[0] == "2" ? ONLY_IPV4 : "501 Invalid port parameter.");
        return;
    }
    NetAddress address = {};
    if (!NetAddressParse(fields[1].c_str(), NET_FAMILY_IPV4, &address)) {
        Reply(conn, "501 Invalid IP address.");
        return;
    }
    uint32_t port = 0;
    if (!ParseDecimal(fields[2], 5, &port)) {
        Reply(conn, "501 Invalid port parameter.");
        return;
    }
    SetActiveAddress(conn, address, port);
}
