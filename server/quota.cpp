// The quota uses of the accounts: measured once per generation of the user
// list by the measuring thread, then moved by the server's own uploads,
// deletes and renames on every socket thread. The uses are shared under
// useLock, held for a lookup or an update and never while calling out; an
// upload reserves the growth (and the new file) it is granted in the same
// hold that checks the room, so uploads on several threads at once never
// cross a quota together.
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "log/log.h"
#include "platform/fs.h"
#include "server/sockthread.h"
#include "server/audit.h"
#include "server/commands.h"
#include "server/data.h"
#include "server/dataconn.h"
#include "server/limits.h"
#include "server/limits_stats.h"

namespace {

constexpr uint64_t MIB = 1024 * 1024;

enum UseState : uint8_t { USE_MEASURING, USE_KNOWN };

struct QuotaUse {
    std::string root; // the account's Root without a trailing "/"
    uint32_t generation = 0;
    uint8_t state = USE_MEASURING;
    uint64_t maxBytes = 0; // 0 = no limit
    uint64_t maxFiles = 0;
    uint64_t bytes = 0, files = 0;
};
std::mutex useLock;
// By account name; an entry of an older generation counts nothing.
std::unordered_map<std::string, QuotaUse> uses; // under useLock
// Entries of the current generation, known or being measured (written
// under useLock; read without it for the quick "no quota at all").
std::atomic<int> liveUses{0};

std::string TrimmedRoot(const char* root) {
    std::string text = root;
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return text;
}

bool Holds(const std::string& root, const char* path) {
    size_t n = root.size();
    if (strncmp(root.c_str(), path, n) != 0) return false;
    return path[n] == '/' || path[n] == 0 || (n == 1 && root[0] == '/');
}

// The entries of the current generation; the count of live ones anew.
// Under useLock.
template <typename Fn> void ForCurrent(Fn fn) {
    uint32_t generation = UserListGeneration();
    int live = 0;
    for (auto& [name, use] : uses) {
        if (use.generation != generation) continue;
        live++;
        fn(name, use);
    }
    liveUses = live;
}

// bytes and files leave (negative) or join the known uses whose Root holds
// fullPath. Under useLock.
void AdjustHeld(const char* fullPath, int64_t bytes, int64_t files) {
    ForCurrent([&](const std::string&, QuotaUse& use) {
        if (use.state != USE_KNOWN || !Holds(use.root, fullPath)) return;
        use.bytes = bytes < 0 && (uint64_t)-bytes > use.bytes ? 0 : use.bytes + bytes;
        use.files = files < 0 && (uint64_t)-files > use.files ? 0 : use.files + files;
    });
}

bool Current(const char* name, uint32_t generation) {
    std::lock_guard<std::mutex> held(useLock);
    auto found = uses.find(name);
    return found != uses.end() && found->second.generation == generation;
}

// Makes sure the use of account name is known or being measured for the
// user list as it is now; the account's values are read from the list.
// Of several threads asking at once, one queues the measurement.
void EnsureMeasured(const char* name) {
    uint32_t generation = UserListGeneration();
    if (Current(name, generation)) return;
    UserAccount account = {};
    bool exists = false;
    LockUserList();
    for (const UserAccount& a : userList.accounts) {
        if (strcmp(a.name, name) != 0) continue;
        account = a;
        exists = true;
        break;
    }
    UnlockUserList();
    std::string root = TrimmedRoot(account.Root);
    {
        std::lock_guard<std::mutex> held(useLock);
        auto found = uses.find(name);
        if (found != uses.end() && found->second.generation == generation) return;
        if (!exists || (account.QuotaMiB == 0 && account.QuotaFiles == 0)) {
            if (found != uses.end()) uses.erase(found);
            return;
        }
        QuotaUse& use = uses[name];
        use.root = root;
        use.generation = generation;
        use.state = USE_MEASURING;
        use.maxBytes = (uint64_t)account.QuotaMiB * MIB;
        use.maxFiles = account.QuotaFiles;
        use.bytes = use.files = 0;
        liveUses.fetch_add(1, std::memory_order_relaxed);
    }
    LogPrintf(LOG_INFO, "QuotaMeasure: measuring the use of %s below %s", name, root.c_str());
    QuotaMeasureQueue(name, root.c_str(), generation);
}

void ResumeMeasured(Conn* conn) {
    conn->limit.waiting = LIMIT_WAIT_NONE;
    if (conn->control.socket == INVALID_SOCKET || conn->data.socket == INVALID_SOCKET ||
        conn->transferKind != XFER_STOR)
        return;
    RecvFile(conn);
    if (conn->limit.waiting != LIMIT_WAIT_NONE || conn->transferKind != XFER_STOR) return;
    if (conn->limit.closeHeld) {
        conn->limit.closeHeld = 0;
        DataProc(WSAMAKESELECTREPLY(FD_CLOSE, 0), conn->data.socket);
    } else {
        ReceiveUpload(conn); // reads what waits and arms FD_READ again
    }
}

} // namespace

void LimitsLogin(Conn* conn) {
    conn->limit.ratesGen = 0;
    if (conn->user.QuotaMiB != 0 || conn->user.QuotaFiles != 0) EnsureMeasured(conn->user.name);
}

int QuotaUploadBegin(Conn* conn) {
    conn->limit.quotaOn = 0;
    if (conn->user.QuotaMiB != 0 || conn->user.QuotaFiles != 0) EnsureMeasured(conn->user.name);
    if (liveUses.load(std::memory_order_relaxed) == 0) return 1;
    const char* path = conn->transferPath;
    bool holds = false, measuring = false;
    {
        std::lock_guard<std::mutex> held(useLock);
        ForCurrent([&](const std::string&, QuotaUse& use) {
            if (!Holds(use.root, path)) return;
            holds = true;
            measuring |= use.state == USE_MEASURING;
        });
    }
    if (!holds) return 1;
    if (measuring) {
        LogPrintf(LOG_INFO, "RecvFile(%u) waiting for the quota measurement", conn->connId);
        conn->limit.waiting = LIMIT_WAIT_MEASURE;
        return -1;
    }
    std::vector<FsEntry> found;
    bool exists = FsFindFiles(conn->user.Root, path, &found) && !found.empty();
    if (!exists) {
        // The new file is counted (reserved) in the hold that finds room
        // for it; QuotaUploadAbandoned gives it back if it is never made.
        bool full = false;
        {
            std::lock_guard<std::mutex> held(useLock);
            ForCurrent([&](const std::string&, QuotaUse& use) {
                full |= use.state == USE_KNOWN && Holds(use.root, path) && use.maxFiles != 0 &&
                        use.files >= use.maxFiles;
            });
            if (!full) AdjustHeld(path, 0, 1);
        }
        if (full) {
            QuotaRefuse(conn);
            return 0;
        }
    }
    conn->limit.quotaOn = 1;
    conn->limit.reserved = 0;
    conn->limit.newFile = !exists;
    conn->limit.uploadEnd = exists ? found[0].size : 0; // the length before the upload
    return 1;
}

void QuotaUploadAbandoned(Conn* conn) {
    if (!conn->limit.quotaOn) return;
    conn->limit.quotaOn = 0;
    if (conn->limit.newFile) QuotaAdjust(conn->transferPath, 0, -1);
}

void QuotaUploadOpened(Conn* conn, uint64_t position, uint64_t length) {
    if (!conn->limit.quotaOn) return;
    if (!conn->limit.newFile && length < conn->limit.uploadEnd) // emptied by a STOR
        QuotaAdjust(conn->transferPath, -(int64_t)(conn->limit.uploadEnd - length), 0);
    conn->limit.uploadPos = position;
    conn->limit.uploadEnd = length;
}

uint32_t QuotaFit(Conn* conn, uint32_t count) {
    if (!conn->limit.quotaOn) return count;
    uint64_t pos = conn->limit.uploadPos, end = conn->limit.uploadEnd;
    uint64_t growth = pos + count > end ? pos + count - end : 0;
    if (growth == 0) return count;
    uint64_t room = growth;
    {
        // The room is taken (reserved) in the hold that finds it, so that
        // an upload on another thread cannot be granted the same room;
        // QuotaWritten settles the reservation with what was written.
        std::lock_guard<std::mutex> held(useLock);
        ForCurrent([&](const std::string&, QuotaUse& use) {
            if (use.state != USE_KNOWN || use.maxBytes == 0 || !Holds(use.root, conn->transferPath))
                return;
            uint64_t left = use.bytes < use.maxBytes ? use.maxBytes - use.bytes : 0;
            if (left < room) room = left;
        });
        if (room != 0) AdjustHeld(conn->transferPath, (int64_t)room, 0);
    }
    conn->limit.reserved = room;
    if (room == growth) return count;
    uint64_t within = end > pos ? end - pos : 0; // overwrites cost nothing
    return (uint32_t)(within + room);
}

void QuotaWritten(Conn* conn, uint64_t count) {
    if (!conn->limit.quotaOn) return;
    uint64_t after = conn->limit.uploadPos + count;
    uint64_t growth = after > conn->limit.uploadEnd ? after - conn->limit.uploadEnd : 0;
    int64_t unsettled = (int64_t)growth - (int64_t)conn->limit.reserved;
    conn->limit.reserved = 0;
    if (unsettled != 0) QuotaAdjust(conn->transferPath, unsettled, 0);
    if (growth) conn->limit.uploadEnd = after;
    conn->limit.uploadPos = after;
}

void QuotaRefuse(Conn* conn) {
    LogPrintf(LOG_INFO, "RecvData(%u) the upload would cross a quota: %s", conn->connId,
              conn->transferPath);
    limitsQuotaRefusals.fetch_add(1, std::memory_order_relaxed);
    AuditEnd(conn, "552");
    EndTransfer(conn);
    conn->dataMode = DATA_DEFAULT;
    conn->limit.quotaOn = 0;
    Reply(conn, "552 Requested file action aborted. Exceeded storage allocation (for current "
                "directory or dataset).");
    ProcessCommands(conn);
}

int64_t QuotaFileSize(const Conn* conn, const char* fullPath) {
    if (liveUses.load(std::memory_order_relaxed) == 0) return -1;
    std::vector<FsEntry> found;
    if (!FsFindFiles(conn->user.Root, fullPath, &found) || found.empty()) return -1;
    if (found[0].attributes & FILE_ATTRIBUTE_DIRECTORY) return -1;
    return (int64_t)found[0].size;
}

void QuotaAdjust(const char* fullPath, int64_t bytes, int64_t files) {
    std::lock_guard<std::mutex> held(useLock);
    AdjustHeld(fullPath, bytes, files);
}

int LimitsHoldClose(Conn* conn, uint16_t error) {
    if (conn->limit.waiting != LIMIT_WAIT_MEASURE || error != 0) return 0;
    conn->limit.closeHeld = 1;
    return 1;
}

void QuotaMeasureRecord(const QuotaMeasured& m) {
    {
        std::lock_guard<std::mutex> held(useLock);
        auto found = uses.find(m.name);
        if (found == uses.end() || found->second.generation != m.generation) return;
        QuotaUse& use = found->second;
        // Unreadable: the quota counts nothing and refuses nothing until the
        // next measurement (after a reload).
        if (!m.ok) use.maxBytes = use.maxFiles = 0;
        use.state = USE_KNOWN;
        use.bytes = m.bytes;
        use.files = m.files;
    }
    if (!m.ok) LogPrintf(LOG_WARNING, "QuotaMeasure: the use of %s could not be measured", m.name);
    LogPrintf(LOG_INFO, "QuotaMeasure: %s uses %llu bytes in %llu files", m.name,
              (unsigned long long)m.bytes, (unsigned long long)m.files);
}

int QuotaUseOf(const char* name, uint64_t* bytes, uint64_t* files) {
    std::lock_guard<std::mutex> held(useLock);
    auto found = uses.find(name);
    if (found == uses.end() || found->second.generation != UserListGeneration() ||
        found->second.state != USE_KNOWN)
        return 0;
    *bytes = found->second.bytes;
    *files = found->second.files;
    return 1;
}

void QuotaMeasuredProc() {
    int loop = SockLoopIndex();
    for (int32_t i = 0, slots = ConnSlotCount(); i < slots; i++) {
        if (ConnOwner((uint32_t)i) != loop) continue; // another loop's record: never read
        Conn* conn = ConnAt(i);
        if (conn->limit.waiting == LIMIT_WAIT_MEASURE) ResumeMeasured(conn);
    }
}

void QuotaForgetAll() {
    std::lock_guard<std::mutex> held(useLock);
    uses.clear();
    liveUses = 0;
}
