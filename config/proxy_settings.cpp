#include "config/proxy_settings.h"

#include <cstring>
#include <mutex>

#include "config/value_rules.h"
#include "log/log.h"

namespace {

uint32_t proxyProtocol = 0;
std::mutex proxyFromLock;
std::vector<ProxySource> proxyFrom;

// The first bits bits of a and b agree.
bool SamePrefix(const uint8_t* a, const uint8_t* b, unsigned bits) {
    unsigned whole = bits / 8, rest = bits % 8;
    if (memcmp(a, b, whole) != 0) return false;
    if (rest == 0) return true;
    uint8_t mask = (uint8_t)(0xFF << (8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}

int ParseEntry(const std::string& entry, ProxySource* source) {
    std::string address = entry;
    size_t slash = entry.find('/');
    int bits = -1;
    if (slash != std::string::npos) {
        std::string digits = entry.substr(slash + 1);
        if (digits.empty() || digits.size() > 3 ||
            digits.find_first_not_of("0123456789") != std::string::npos)
            return 0;
        bits = std::stoi(digits);
        address = entry.substr(0, slash);
    }
    NetAddress parsed = {};
    if (!NetAddressParse(address.c_str(), NET_FAMILY_NONE, &parsed)) return 0;
    int most = parsed.family == NET_FAMILY_IPV4 ? 32 : 128;
    if (bits > most) return 0;
    source->address = parsed;
    source->bits = (uint8_t)(bits < 0 ? most : bits);
    return 1;
}

} // namespace

int ParseProxyFrom(const char* text, std::vector<ProxySource>* out, std::string* bad) {
    std::vector<ProxySource> parsed;
    std::string entry;
    for (const char* p = text;; p++) {
        if (*p == 0 || *p == ',' || *p == ' ' || *p == '\t') {
            ProxySource source;
            if (!entry.empty()) {
                if (!ParseEntry(entry, &source)) {
                    *bad = entry;
                    return 0;
                }
                parsed.push_back(source);
            }
            entry.clear();
            if (*p == 0) break;
        } else {
            entry += *p;
        }
    }
    *out = parsed;
    return 1;
}

const char* ProxyFromProblem(const char* text) {
    std::vector<ProxySource> unused;
    std::string bad;
    if (ParseProxyFrom(text, &unused, &bad)) return nullptr;
    return "is not a list of IPv4 or IPv6 addresses, each with an optional /bits, "
           "separated by commas or blanks";
}

uint32_t ProxyProtocolSetting() {
    return SettingLoad(proxyProtocol);
}

bool ProxyFromAllows(const NetAddress& peer) {
    NetAddress host = NetAddressUnmapped(peer);
    std::lock_guard<std::mutex> guard(proxyFromLock);
    for (const ProxySource& source : proxyFrom) {
        NetAddress listed = NetAddressUnmapped(source.address);
        if (listed.family != host.family) continue;
        unsigned bits = source.bits;
        // A mapped IPv6 entry counts its bits over the IPv6 form.
        if (source.address.family == NET_FAMILY_IPV6 && listed.family == NET_FAMILY_IPV4)
            bits = bits > 96 ? bits - 96 : 0;
        if (SamePrefix(listed.bytes, host.bytes, bits)) return true;
    }
    return false;
}

void SetProxySettings(uint32_t protocol, const std::vector<ProxySource>& from) {
    {
        std::lock_guard<std::mutex> guard(proxyFromLock);
        proxyFrom = from;
    }
    SettingStore(proxyProtocol, protocol);
}

void GetProxySettings(HKEY key) {
    uint32_t protocol = RegGetCheckedDword(key, "GetRegSystem", "System", "ProxyProtocol");
    char text[1024] = "";
    std::vector<ProxySource> sources;
    std::string bad;
    if (RegGetString(key, "ProxyFrom", text, sizeof text) == ERROR_SUCCESS &&
        !ParseProxyFrom(text, &sources, &bad)) {
        LogPrintf(LOG_WARNING,
                  "GetRegSystem: ProxyFrom entry \"%s\" is not an address or address/bits; no "
                  "balancer is accepted",
                  bad.c_str());
        sources.clear();
    }
    if (protocol && sources.empty())
        LogPrintf(LOG_WARNING,
                  "GetRegSystem: ProxyProtocol is 1 but ProxyFrom lists no balancer; every "
                  "connection is refused");
    SetProxySettings(protocol, sources);
}
