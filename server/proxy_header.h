// The PROXY protocol header a TCP load balancer puts before a client's bytes
// (versions 1 and 2): who the client is, as the balancer saw it. A pure
// function over received bytes, so that a header split over several packets
// is parsed again as more arrive.
#pragma once

#include <cstdint>

#include "platform/address.h"

// Version 1 is one text line of at most 107 bytes; version 2 is 16 bytes and
// an address block, which may carry extensions (TLVs) after the addresses.
constexpr uint32_t PROXY_V1_MAX = 107;
constexpr uint32_t PROXY_V2_BLOCK_MAX = 1024;

enum ProxyResult { PROXY_MORE = 0, PROXY_DONE = 1, PROXY_BAD = -1 };

struct ProxyHeader {
    uint32_t length; // bytes of the header; what follows belongs to the client
    uint8_t version; // 1 or 2
    // 1: the header carries no client address (version 2 LOCAL, as a
    // balancer's own health check sends it; version 2 AF_UNSPEC; version 1
    // UNKNOWN): the connection's own peer stays its address.
    uint8_t local;
    NetAddress source;      // the client (port included)
    NetAddress destination; // the address the client reached at the balancer
};

// Parses the header at the start of bytes[0..count). PROXY_MORE: every byte
// so far fits a header but it is not complete; PROXY_DONE: *header is
// filled; PROXY_BAD: these bytes never begin a valid header, *why says how.
ProxyResult ProxyHeaderParse(const uint8_t* bytes, uint32_t count, ProxyHeader* header,
                             const char** why);
