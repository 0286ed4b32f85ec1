// The texts of the System values "PassivePorts", "PassiveAddress" and
// "ListenAddress".
#include <cstdint>
#include <cstring>

#include "config/config.h"

namespace {

// A decimal number of at most five digits at *p, up to max; advances *p.
int ReadNumber(const char** p, uint32_t max, uint32_t* value) {
    const char* s = *p;
    uint32_t v = 0;
    int digits = 0;
    while (*s >= '0' && *s <= '9') {
        if (++digits > 5) return 0;
        v = v * 10 + (uint32_t)(*s++ - '0');
    }
    if (digits == 0 || v > max) return 0;
    *p = s;
    *value = v;
    return 1;
}

void SkipBlanks(const char** p) {
    while (**p == ' ' || **p == '\t')
        (*p)++;
}

} // namespace

int ParsePortRange(const char* text, uint16_t* low, uint16_t* high) {
    const char* p = text;
    uint32_t a = 0, b = 0;
    SkipBlanks(&p);
    if (!ReadNumber(&p, 65535, &a)) return 0;
    SkipBlanks(&p);
    if (*p++ != '-') return 0;
    SkipBlanks(&p);
    if (!ReadNumber(&p, 65535, &b)) return 0;
    SkipBlanks(&p);
    if (*p != 0 || a == 0 || a > b) return 0;
    *low = (uint16_t)a;
    *high = (uint16_t)b;
    return 1;
}

int ParseDottedAddress(const char* text, NetAddress* address) {
    const char* p = text;
    uint8_t octets[4];
    for (int i = 0; i < 4; i++) {
        if (i > 0 && *p++ != '.') return 0;
        uint32_t octet = 0;
        if (*p < '0' || *p > '9' || (p[0] == '0' && p[1] >= '0' && p[1] <= '9'))
            return 0; // no leading zeros
        if (!ReadNumber(&p, 255, &octet)) return 0;
        octets[i] = (uint8_t)octet;
    }
    NetAddress parsed = NetAddressIpv4(octets[0], octets[1], octets[2], octets[3]);
    if (*p != 0 || NetAddressIsAny(parsed) || NetAddressIsBroadcast(parsed)) return 0;
    *address = parsed;
    return 1;
}

int ParseHostAddress(const char* text, bool anyAllowed, NetAddress* address) {
    NetAddress parsed = {};
    if (!text) return 0;
    if (anyAllowed && std::strcmp(text, "0.0.0.0") == 0) {
        parsed = NetAddressAny(NET_FAMILY_IPV4);
    } else if (!ParseDottedAddress(text, &parsed)) {
        // IPv6 text has a colon; anything else was a refused IPv4 address.
        if (!std::strchr(text, ':') || !NetAddressParse(text, NET_FAMILY_IPV6, &parsed)) return 0;
        parsed = NetAddressUnmapped(parsed);
        if (parsed.family == NET_FAMILY_IPV4) {
            // ::ffff:a.b.c.d follows the rules of a.b.c.d.
            if (NetAddressIsBroadcast(parsed) || NetAddressIsAny(parsed)) return 0;
        } else if (NetAddressIsAny(parsed) && !anyAllowed) {
            return 0;
        }
    }
    *address = parsed;
    return 1;
}
