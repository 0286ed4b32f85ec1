#include "server/proxy_header.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

const uint8_t kV2Signature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                  0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
const char kV1Start[] = "PROXY ";

ProxyResult Bad(const char** why, const char* text) {
    *why = text;
    return PROXY_BAD;
}

// Whether the first count bytes agree with prefix (of size bytes).
bool Agrees(const uint8_t* bytes, uint32_t count, const void* prefix, uint32_t size) {
    return memcmp(bytes, prefix, count < size ? count : size) == 0;
}

// A decimal port: 1 to 5 digits, at most 65535.
bool ParsePort(const char* text, uint16_t* port) {
    size_t n = strlen(text);
    if (n == 0 || n > 5 || strspn(text, "0123456789") != n) return false;
    unsigned long value = strtoul(text, nullptr, 10);
    if (value > 65535) return false;
    *port = (uint16_t)value;
    return true;
}

// "PROXY TCP4 src dst sport dport\r\n", "PROXY TCP6 ...", "PROXY UNKNOWN...".
ProxyResult ParseV1(const uint8_t* bytes, uint32_t count, ProxyHeader* header, const char** why) {
    uint32_t limit = count < PROXY_V1_MAX ? count : PROXY_V1_MAX;
    const uint8_t* lf = (const uint8_t*)memchr(bytes, '\n', limit);
    if (!lf) {
        if (count >= PROXY_V1_MAX) return Bad(why, "version 1 line longer than 107 bytes");
        return PROXY_MORE;
    }
    uint32_t length = (uint32_t)(lf - bytes) + 1;
    if (length < 2 || bytes[length - 2] != '\r') return Bad(why, "version 1 line without CR LF");
    char line[PROXY_V1_MAX + 1];
    memcpy(line, bytes, length - 2);
    line[length - 2] = 0;
    header->length = length;
    header->version = 1;
    header->local = 0;
    header->source = {};
    header->destination = {};
    const char* rest = line + sizeof kV1Start - 1;
    if (strncmp(rest, "UNKNOWN", 7) == 0 && (rest[7] == 0 || rest[7] == ' ')) {
        header->local = 1; // the balancer itself, or a protocol it cannot name
        return PROXY_DONE;
    }
    uint8_t family = strncmp(rest, "TCP4 ", 5) == 0   ? NET_FAMILY_IPV4
                     : strncmp(rest, "TCP6 ", 5) == 0 ? NET_FAMILY_IPV6
                                                      : NET_FAMILY_NONE;
    if (family == NET_FAMILY_NONE)
        return Bad(why, "version 1 protocol is not TCP4, TCP6 or UNKNOWN");
    // Exactly four fields, one space between them.
    char fields[PROXY_V1_MAX + 1];
    strcpy(fields, rest + 5);
    char* field[4];
    char* p = fields;
    for (int i = 0; i < 4; i++) {
        field[i] = p;
        char* space = strchr(p, ' ');
        if (i < 3) {
            if (!space || space == p) return Bad(why, "version 1 line does not have four fields");
            *space = 0;
            p = space + 1;
        } else if (space || *p == 0) {
            return Bad(why, "version 1 line does not have four fields");
        }
    }
    if (!NetAddressParse(field[0], family, &header->source) || header->source.family != family ||
        !NetAddressParse(field[1], family, &header->destination) ||
        header->destination.family != family)
        return Bad(why, "version 1 address is not of the protocol's family");
    if (!ParsePort(field[2], &header->source.port) ||
        !ParsePort(field[3], &header->destination.port))
        return Bad(why, "version 1 port is not a number from 0 to 65535");
    return PROXY_DONE;
}

// The 12-byte signature, version and command, family and protocol, the
// length of the address block, then the block.
ProxyResult ParseV2(const uint8_t* bytes, uint32_t count, ProxyHeader* header, const char** why) {
    if (count < 16) return PROXY_MORE;
    uint8_t version = bytes[12] >> 4, command = bytes[12] & 0x0F;
    if (version != 2) return Bad(why, "version 2 signature with another version");
    if (command > 1) return Bad(why, "version 2 command is neither LOCAL nor PROXY");
    uint32_t block = ((uint32_t)bytes[14] << 8) | bytes[15];
    if (block > PROXY_V2_BLOCK_MAX) return Bad(why, "version 2 address block is too long");
    if (count < 16 + block) return PROXY_MORE;
    header->length = 16 + block;
    header->version = 2;
    header->local = 0;
    header->source = {};
    header->destination = {};
    const uint8_t* a = bytes + 16;
    uint8_t family = bytes[13];
    if (command == 0 || family == 0x00) {
        // LOCAL: the balancer speaks for itself; AF_UNSPEC: no address known.
        header->local = 1;
        return PROXY_DONE;
    }
    uint32_t size = family == 0x11 ? 4 : family == 0x21 ? 16 : 0;
    if (size == 0) return Bad(why, "version 2 family is not TCP over IPv4 or IPv6");
    if (block < 2 * size + 4) return Bad(why, "version 2 address block is too short");
    for (NetAddress* end : {&header->source, &header->destination}) {
        end->family = size == 4 ? NET_FAMILY_IPV4 : NET_FAMILY_IPV6;
        memcpy(end->bytes, a, size);
        a += size;
    }
    header->source.port = (uint16_t)((a[0] << 8) | a[1]);
    header->destination.port = (uint16_t)((a[2] << 8) | a[3]);
    return PROXY_DONE;
}

} // namespace

ProxyResult ProxyHeaderParse(const uint8_t* bytes, uint32_t count, ProxyHeader* header,
                             const char** why) {
    static const char kNone[] = "";
    *why = kNone;
    if (count == 0) return PROXY_MORE;
    if (Agrees(bytes, count, kV2Signature, sizeof kV2Signature)) {
        if (count < sizeof kV2Signature) return PROXY_MORE;
        return ParseV2(bytes, count, header, why);
    }
    if (Agrees(bytes, count, kV1Start, sizeof kV1Start - 1)) {
        if (count < sizeof kV1Start - 1) return PROXY_MORE;
        return ParseV1(bytes, count, header, why);
    }
    return Bad(why, "not a PROXY protocol header");
}
