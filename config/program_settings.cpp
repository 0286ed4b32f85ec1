#include "config/program_settings.h"

#include <cstdlib>
#include <cstring>
#include <string>

const char* UploadHookProblem(const char* text) {
    return text[0] && text[0] != '/' ? "is not an absolute path" : nullptr;
}

const char* MetricsAddressProblem(const char* text) {
    NetAddress address;
    return text[0] && !ParseMetricsAddress(text, &address)
               ? "is not address:port (a.b.c.d:port or [IPv6]:port)"
               : nullptr;
}

int ParseMetricsAddress(const char* text, NetAddress* out) {
    const char* colon = strrchr(text, ':');
    if (!colon || colon == text) return 0;
    std::string host(text, (size_t)(colon - text));
    uint8_t family = NET_FAMILY_IPV4;
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') return 0;
        host = host.substr(1, host.size() - 2);
        family = NET_FAMILY_IPV6;
    }
    const char* digits = colon + 1;
    if (!*digits || strlen(digits) > 5 || strspn(digits, "0123456789") != strlen(digits)) return 0;
    long port = strtol(digits, nullptr, 10);
    NetAddress address;
    if (port < 1 || port > 65535 || !NetAddressParse(host.c_str(), family, &address)) return 0;
    address.port = (uint16_t)port;
    *out = address;
    return 1;
}
