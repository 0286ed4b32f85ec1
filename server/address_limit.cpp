#include "server/address_limit.h"

#include <cstring>
#include <string>
#include <unordered_map>

#include "config/config.h"

namespace {

std::unordered_map<std::string, uint32_t> perAddress;

std::string KeyOf(const NetAddress& address) {
    NetAddress host = NetAddressUnmapped(address);
    size_t length = host.family == NET_FAMILY_IPV4 ? 4 : 16;
    std::string key(1, (char)host.family);
    key.append((const char*)host.bytes, length);
    return key;
}

} // namespace

void AddressLimitAdd(Conn* conn) {
    if (conn->addressCounted) return;
    perAddress[KeyOf(conn->peer)]++;
    conn->addressCounted = 1;
}

void AddressLimitRemove(Conn* conn) {
    if (!conn->addressCounted) return;
    conn->addressCounted = 0;
    auto it = perAddress.find(KeyOf(conn->peer));
    if (it == perAddress.end()) return;
    if (--it->second == 0) perAddress.erase(it);
}

bool AddressLimitExceeded(const Conn* conn) {
    uint32_t limit = SettingLoad(systemSettings.maxConnPerAddress);
    if (limit == 0) return false;
    auto it = perAddress.find(KeyOf(conn->peer));
    return it != perAddress.end() && it->second > limit;
}

void AddressLimitClear() {
    perAddress.clear();
}
