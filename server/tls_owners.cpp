// The published control sessions, keyed by their origin (random, so one per
// control session).
#include "server/tls_owners.h"

#include <cstring>

#include <array>
#include <map>
#include <mutex>

#include "config/users.h"
#include "platform/address.h"

namespace {

struct Owner {
    char name[USER_NAME_MAX + 1];
    NetAddress host;
};

std::mutex lock;
using Key = std::array<unsigned char, TLS_ORIGIN_SIZE>;
std::map<Key, Owner> owners;

Key KeyOf(const TlsOrigin& origin) {
    Key key;
    memcpy(key.data(), origin.bytes, TLS_ORIGIN_SIZE);
    return key;
}

} // namespace

void TlsOwnerPublish(const TlsOrigin& origin, const char* name, const NetAddress& host) {
    Owner owner{};
    strncpy(owner.name, name, USER_NAME_MAX);
    owner.host = host;
    Key key = KeyOf(origin);
    std::lock_guard<std::mutex> guard(lock);
    owners[key] = owner;
}

void TlsOwnerWithdraw(const TlsOrigin& origin) {
    Key key = KeyOf(origin);
    std::lock_guard<std::mutex> guard(lock);
    owners.erase(key);
}

bool TlsOwnerMatches(const TlsOrigin& origin, const char* name, const NetAddress& host) {
    Key key = KeyOf(origin);
    std::lock_guard<std::mutex> guard(lock);
    auto found = owners.find(key);
    return found != owners.end() && strcmp(found->second.name, name) == 0 &&
           NetAddressSameHost(found->second.host, host);
}
