// The one address value of the engine: an Internet address of either family
// with a port. Client addresses, data connection ends, the server's own
// sockets and the configured passive address all travel as a NetAddress, so
// that the code above platform/ never sees a socket address structure or an
// integer standing for an address.
#pragma once

#include <cstdint>

enum NetFamily : uint8_t { NET_FAMILY_NONE = 0, NET_FAMILY_IPV4 = 4, NET_FAMILY_IPV6 = 6 };

// Text of an address alone: the longest IPv6 form with its terminator.
constexpr int NET_ADDRESS_TEXT_SIZE = 46;
// Text of an address and its port: "[", the address, "]:", five digits.
constexpr int NET_ENDPOINT_TEXT_SIZE = NET_ADDRESS_TEXT_SIZE + 8;

struct NetAddress {
    uint8_t family;    // NetFamily
    uint8_t bytes[16]; // network order; an IPv4 address in the first four
    uint16_t port;     // host order; 0 = none (any, when binding)
};

// a.b.c.d with port (host order).
NetAddress NetAddressIpv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port = 0);
// The wildcard address of family (0.0.0.0 or ::) with port.
NetAddress NetAddressAny(uint8_t family, uint16_t port = 0);
// An IPv4-mapped IPv6 address (::ffff:a.b.c.d) as the IPv4 address it
// stands for; any other address unchanged.
NetAddress NetAddressUnmapped(const NetAddress& address);

// IPv4, directly or mapped.
bool NetAddressIsIpv4(const NetAddress& address);
// 0.0.0.0 or ::
bool NetAddressIsAny(const NetAddress& address);
// 255.255.255.255
bool NetAddressIsBroadcast(const NetAddress& address);
// The same host: equal addresses of one family, an IPv4-mapped address
// equal to its IPv4 address; ports are not compared.
bool NetAddressSameHost(const NetAddress& a, const NetAddress& b);
// The same host and the same port.
bool NetAddressEqual(const NetAddress& a, const NetAddress& b);

// "a.b.c.d" or the compact IPv6 text (an IPv4-mapped address as its IPv4
// text); "0.0.0.0" for an address without a family. Returns out.
const char* NetAddressText(const NetAddress& address, char out[NET_ADDRESS_TEXT_SIZE]);
// "a.b.c.d:port" for IPv4, "[text]:port" for IPv6. Returns out.
const char* NetEndpointText(const NetAddress& address, char out[NET_ENDPOINT_TEXT_SIZE]);
// Dotted IPv4 text, or IPv6 text when family allows it (NET_FAMILY_NONE
// takes either), into *out with port 0; 1 on success, 0 (out unchanged)
// otherwise.
int NetAddressParse(const char* text, uint8_t family, NetAddress* out);
