// EPSV and EPRT: the extended forms of PASV and PORT, for the address family
// of the control connection (1 = IPv4, 2 = IPv6); the other family
// is refused with 522 naming the one that works. They take the same checks
// and the same passive and active data connections.
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

// The RFC 2428 protocol number of the control connection's family, "1" or "2".
const char* ClientProtocol(const Conn* conn) {
    return ControlOnIpv6(conn) ? "2" : "1";
}

const char* OtherFamilyReply(const Conn* conn) {
    return ControlOnIpv6(conn) ? NETWORK_USE_IPV6 : NETWORK_USE_IPV4;
}

} // namespace

void CmdEpsv(Conn* conn, const char* arg) {
    if (arg && AsciiCompareNoCase(arg, "ALL") == 0) {
        conn->epsvAll = 1;
        Reply(conn, "200 EPSV ALL command successful.");
        return;
    }
    if (arg && strcmp(arg, ClientProtocol(conn)) != 0) {
        bool known = strcmp(arg, "1") == 0 || strcmp(arg, "2") == 0;
        Reply(conn, "%s", known ? OtherFamilyReply(conn) : "501 Invalid EPSV parameter.");
        return;
    }
    if (!OpenPassive(conn)) return;
    Reply(conn, "229 Entering Extended Passive Mode (|||%u|)", conn->dataAddress.port);
}

// EPRT <d>family<d>address<d>port<d>, where <d> is any printable character
// that the fields do not hold and family is 1 (IPv4) or 2 (IPv6).
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
    if (fields[0] != ClientProtocol(conn)) {
        bool known = fields[0] == "1" || fields[0] == "2";
        Reply(conn, "%s", known ? OtherFamilyReply(conn) : "501 Invalid port parameter.");
        return;
    }
    // An IPv4-mapped address in an IPv6 EPRT is refused: it names an IPv4
    // host, which the client would give as family 1.
    NetAddress address = {};
    uint8_t family = fields[0] == "1" ? NET_FAMILY_IPV4 : NET_FAMILY_IPV6;
    if (!NetAddressParse(fields[1].c_str(), family, &address) ||
        (family == NET_FAMILY_IPV6 && NetAddressIsIpv4(address))) {
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
