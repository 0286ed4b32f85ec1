// The per-account connection counts: one entry per name that some
// connection holds, made by the first and dropped with the last. A
// connection points at its entry, so the names of a count are compared only
// when they change, and the entry's name does not change while any
// connection points at it (it may be read without the lock by those).
#include "server/user_conns.h"

#include <cstring>

#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>

struct UserConnEntry {
    char name[USER_NAME_MAX + 1];
    int count;
};

namespace {

std::mutex lock;
// Keyed by a view of the entry's own name.
std::unordered_map<std::string_view, std::unique_ptr<UserConnEntry>> entries;

// Moves conn's count to name ("" = none). The caller holds lock.
void MoveCount(Conn* conn, const char* name) {
    UserConnEntry* from = conn->userCounted;
    if (from && strcmp(from->name, name) == 0) return;
    conn->userCounted = nullptr;
    // By its place: the key is a view of the name the erase frees.
    if (from && --from->count == 0) entries.erase(entries.find(std::string_view(from->name)));
    if (!name[0]) return;
    auto found = entries.find(std::string_view(name));
    UserConnEntry* to;
    if (found != entries.end()) {
        to = found->second.get();
    } else {
        auto made = std::make_unique<UserConnEntry>();
        strncpy(made->name, name, USER_NAME_MAX);
        made->name[USER_NAME_MAX] = 0;
        made->count = 0;
        to = made.get();
        entries.emplace(std::string_view(to->name), std::move(made));
    }
    to->count++;
    conn->userCounted = to;
}

// conn is counted under name already (conn's own thread: no lock needed).
bool CountedUnder(const Conn* conn, const char* name) {
    if (!conn->userCounted) return name[0] == 0;
    return strcmp(conn->userCounted->name, name) == 0;
}

int CountLocked(const Conn* conn, const char* name) {
    auto found = entries.find(std::string_view(name));
    if (found == entries.end()) return 0;
    int count = found->second->count;
    return conn && conn->userCounted == found->second.get() ? count - 1 : count;
}

} // namespace

void UserConnNote(Conn* conn) {
    if (CountedUnder(conn, conn->user.name)) return;
    std::lock_guard<std::mutex> guard(lock);
    MoveCount(conn, conn->user.name);
}

bool UserConnAdmit(Conn* conn, const char* name, uint32_t max) {
    std::lock_guard<std::mutex> guard(lock);
    if (max != 0 && (int64_t)CountLocked(conn, name) >= (int64_t)max) {
        MoveCount(conn, "");
        return false;
    }
    MoveCount(conn, name);
    return true;
}

void UserConnForget(Conn* conn) {
    if (!conn->userCounted) return;
    std::lock_guard<std::mutex> guard(lock);
    MoveCount(conn, "");
}

int UserConnCount(const Conn* conn, const char* name) {
    std::lock_guard<std::mutex> guard(lock);
    return CountLocked(conn, name);
}
