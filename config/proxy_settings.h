// The System values "ProxyProtocol" and "ProxyFrom": whether every client
// connection begins with a PROXY protocol header from a load balancer, and
// which peers may send one. The main thread loads them, the socket thread
// reads them at each accept.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/config.h"
#include "platform/address.h"

// One entry of "ProxyFrom": an address, or a network as address/bits.
struct ProxySource {
    NetAddress address;
    uint8_t bits; // leading bits that must match: 32 (IPv4) or 128 (IPv6) for one address
};

// "ProxyFrom": entries separated by commas and/or blanks, each an IPv4 or
// IPv6 address with an optional "/bits" (0 to 32, or 0 to 128), e.g.
// "127.0.0.1, 10.1.0.0/16 fd00::5". 1 and the entries, else 0 and *bad the
// first entry that is not one. An empty text is an empty list.
int ParseProxyFrom(const char* text, std::vector<ProxySource>* out, std::string* bad);
// The problem with a "ProxyFrom" text for brindlex-reg, or nullptr.
const char* ProxyFromProblem(const char* text);

// "ProxyProtocol": 0 = none (clients connect directly), 1 = every
// connection must begin with a header from a ProxyFrom peer.
uint32_t ProxyProtocolSetting();
// Whether peer (the balancer's end of an accepted connection) is listed in
// "ProxyFrom". An empty list allows nobody.
bool ProxyFromAllows(const NetAddress& peer);

// Puts both values in force (the load below; tests).
void SetProxySettings(uint32_t protocol, const std::vector<ProxySource>& from);
// Loads both values from the System key (GetRegSystem); a "ProxyFrom" that
// cannot be parsed is logged and read as an empty list.
void GetProxySettings(HKEY systemKey);
