#include "platform/address.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr uint8_t MAPPED_PREFIX[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

bool IsMapped(const NetAddress& address) {
    return address.family == NET_FAMILY_IPV6 &&
           std::memcmp(address.bytes, MAPPED_PREFIX, sizeof MAPPED_PREFIX) == 0;
}

size_t ByteCount(uint8_t family) {
    return family == NET_FAMILY_IPV6 ? 16 : family == NET_FAMILY_IPV4 ? 4 : 0;
}

} // namespace

NetAddress NetAddressIpv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port) {
    NetAddress address = {};
    address.family = NET_FAMILY_IPV4;
    address.bytes[0] = a;
    address.bytes[1] = b;
    address.bytes[2] = c;
    address.bytes[3] = d;
    address.port = port;
    return address;
}

NetAddress NetAddressAny(uint8_t family, uint16_t port) {
    NetAddress address = {};
    address.family = family == NET_FAMILY_IPV6 ? NET_FAMILY_IPV6 : NET_FAMILY_IPV4;
    address.port = port;
    return address;
}

NetAddress NetAddressUnmapped(const NetAddress& address) {
    if (!IsMapped(address)) return address;
    const uint8_t* v4 = address.bytes + 12;
    return NetAddressIpv4(v4[0], v4[1], v4[2], v4[3], address.port);
}

bool NetAddressIsIpv4(const NetAddress& address) {
    return address.family == NET_FAMILY_IPV4 || IsMapped(address);
}

bool NetAddressIsAny(const NetAddress& address) {
    NetAddress plain = NetAddressUnmapped(address);
    for (size_t i = 0; i < ByteCount(plain.family); i++)
        if (plain.bytes[i] != 0) return false;
    return plain.family != NET_FAMILY_NONE;
}

bool NetAddressIsBroadcast(const NetAddress& address) {
    NetAddress plain = NetAddressUnmapped(address);
    static const uint8_t ALL_ONES[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    return plain.family == NET_FAMILY_IPV4 && std::memcmp(plain.bytes, ALL_ONES, 4) == 0;
}

bool NetAddressSameHost(const NetAddress& a, const NetAddress& b) {
    NetAddress x = NetAddressUnmapped(a), y = NetAddressUnmapped(b);
    return x.family == y.family && std::memcmp(x.bytes, y.bytes, ByteCount(x.family)) == 0;
}

bool NetAddressEqual(const NetAddress& a, const NetAddress& b) {
    return a.port == b.port && NetAddressSameHost(a, b);
}

const char* NetAddressText(const NetAddress& address, char out[NET_ADDRESS_TEXT_SIZE]) {
    NetAddress plain = NetAddressUnmapped(address);
    int family = plain.family == NET_FAMILY_IPV6 ? AF_INET6 : AF_INET;
    if (plain.family == NET_FAMILY_NONE ||
        !inet_ntop(family, plain.bytes, out, NET_ADDRESS_TEXT_SIZE))
        std::strcpy(out, "0.0.0.0");
    return out;
}

const char* NetEndpointText(const NetAddress& address, char out[NET_ENDPOINT_TEXT_SIZE]) {
    char text[NET_ADDRESS_TEXT_SIZE];
    NetAddressText(address, text);
    bool brackets = !NetAddressIsIpv4(address) && address.family == NET_FAMILY_IPV6;
    std::snprintf(out, NET_ENDPOINT_TEXT_SIZE, brackets ? "[%s]:%u" : "%s:%u", text,
                  (unsigned)address.port);
    return out;
}

int NetAddressParse(const char* text, uint8_t family, NetAddress* out) {
    if (!text) return 0;
    NetAddress parsed = {};
    if (family != NET_FAMILY_IPV6 && inet_pton(AF_INET, text, parsed.bytes) == 1) {
        parsed.family = NET_FAMILY_IPV4;
    } else if (family != NET_FAMILY_IPV4 && inet_pton(AF_INET6, text, parsed.bytes) == 1) {
        parsed.family = NET_FAMILY_IPV6;
    } else {
        return 0;
    }
    *out = parsed;
    return 1;
}
