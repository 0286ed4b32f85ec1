#include "server/address_limit.h"

#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "config/config.h"

namespace {

std::mutex countLock;
std::unordered_map<std::string, uint32_t> perAddress; // under countLock

std::string KeyOf(const NetAddress& address) {
    NetAddress host = NetAddressUnmapped(address);
    size_t length = host.family == NET_FAMILY_IPV4 ? 4 : 16;
    std::string key(1, (char)host.family);
    key.append((const char*)host.bytes, length);
    return key;
}

uint32_t AddressCountAdd(const NetAddress& address) {
    std::string key = KeyOf(address);
    std::lock_guard<std::mutex> held(countLock);
    return ++perAddress[key];
}

void AddressCountRemove(const NetAddress& address) {
    std::string key = KeyOf(address);
    std::lock_guard<std::mutex> held(countLock);
    auto it = perAddress.find(key);
    if (it == perAddress.end()) return;
    if (--it->second == 0) perAddress.erase(it);
}

uint32_t AddressCountOf(const NetAddress& address) {
    std::string key = KeyOf(address);
    std::lock_guard<std::mutex> held(countLock);
    auto it = perAddress.find(key);
    return it == perAddress.end() ? 0 : it->second;
}

} // namespace

uint32_t AddressLimitAdd(Conn* conn) {
    if (conn->addressCounted) return AddressCountOf(conn->peer);
    conn->addressCounted = 1;
    return AddressCountAdd(conn->peer);
}

void AddressLimitRemove(Conn* conn) {
    if (!conn->addressCounted) return;
    conn->addressCounted = 0;
    AddressCountRemove(conn->peer);
}

bool AddressLimitExceeded(uint32_t count) {
    uint32_t limit = SettingLoad(systemSettings.maxConnPerAddress);
    return limit != 0 && count > limit;
}

void AddressLimitClear() {
    std::lock_guard<std::mutex> held(countLock);
    perAddress.clear();
}
