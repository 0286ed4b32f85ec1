#include "platform/store_db.h"
#include "platform/win32error.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/report.h"
#include "platform/machine.h"
#include "platform/store.h"

namespace {

// Marks the file as ours ("BRLX"): a valid SQLite file of another program is
// refused like garbage, never changed.
constexpr int STORE_APPLICATION_ID = 0x42524C58;
constexpr int STORE_BUSY_TIMEOUT_MS = 5000;

sqlite3* storeDb = nullptr;
std::string storePath;
int txDepth = 0;

const char* const kSchema =
    "CREATE TABLE keys(id INTEGER PRIMARY KEY, parent INTEGER NOT NULL,"
    " name TEXT NOT NULL COLLATE NOCASE, UNIQUE(parent, name));"
    "CREATE TABLE vals(key INTEGER NOT NULL, name TEXT NOT NULL COLLATE NOCASE,"
    " type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key, name)) WITHOUT ROWID;"
    "INSERT INTO keys(id, parent, name) VALUES(1, 0, 'SOFTWARE');";

// A missing directory on the way is a missing key file; what has no code of
// its own is a failed store access.
long ErrnoStatus(int error) {
    if (error == ENOTDIR) return ERROR_FILE_NOT_FOUND;
    return (long)Win32FromErrno(error, (uint32_t)ERROR_REGISTRY_IO_FAILED);
}

long Refuse(sqlite3* db, const char* why, long status) {
    Report(REPORT_WARNING, "StoreOpen: %s is not a usable store (%s); it is left as it is.",
           storePath.c_str(), why);
    sqlite3_close_v2(db);
    return status;
}

// Single-value pragma or query: its integer, or -1 with *rc set.
int64_t QueryInt(sqlite3* db, const char* sql, int* rc) {
    StoreStmt q(db, sql);
    if (q.Step() != SQLITE_ROW) {
        *rc = q.rc;
        return -1;
    }
    *rc = SQLITE_OK;
    return q.Int(0);
}

// Checks an existing file without writing to it. *fresh = no tables yet (a
// new or empty file). ERROR_SUCCESS when usable.
long Validate(sqlite3* db, bool* fresh) {
    int rc;
    int64_t tables = QueryInt(db, "SELECT count(*) FROM sqlite_master", &rc);
    if (rc != SQLITE_OK) return Refuse(db, sqlite3_errstr(rc), StoreStatus(rc));
    int64_t appId = QueryInt(db, "PRAGMA application_id", &rc);
    if (rc != SQLITE_OK) return Refuse(db, sqlite3_errstr(rc), StoreStatus(rc));
    *fresh = tables == 0 && appId == 0;
    if (*fresh) return ERROR_SUCCESS;
    if (appId != STORE_APPLICATION_ID)
        return Refuse(db, "a database of another program", ERROR_BADDB);
    {
        StoreStmt check(db, "PRAGMA quick_check");
        if (check.Step() != SQLITE_ROW)
            return Refuse(db, sqlite3_errstr(check.rc), StoreStatus(check.rc));
        if (check.Text(0) != "ok") return Refuse(db, "damaged pages", ERROR_BADDB);
    }
    StoreStmt keys(db, "SELECT id, parent, name FROM keys LIMIT 0");
    StoreStmt vals(db, "SELECT key, name, type, data FROM vals LIMIT 0");
    if (keys.rc != SQLITE_OK || vals.rc != SQLITE_OK)
        return Refuse(db, "unknown layout", ERROR_BADDB);
    return ERROR_SUCCESS;
}

long Exec(sqlite3* db, const char* sql) {
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    return StoreStatus(rc);
}

long Initialise(sqlite3* db) {
    long status = Exec(db, "BEGIN IMMEDIATE");
    if (status != ERROR_SUCCESS) return status;
    // Another process may have made the tables while this one waited.
    int rc;
    int64_t tables = QueryInt(db, "SELECT count(*) FROM sqlite_master", &rc);
    if (rc == SQLITE_OK && tables == 0) {
        rc = sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) {
            char pragma[64];
            snprintf(pragma, sizeof pragma, "PRAGMA application_id=%d", STORE_APPLICATION_ID);
            rc = sqlite3_exec(db, pragma, nullptr, nullptr, nullptr);
        }
    }
    if (rc != SQLITE_OK) {
        Exec(db, "ROLLBACK");
        return StoreStatus(rc);
    }
    return Exec(db, "COMMIT");
}

// A store file of ours that others may read or write (made by hand, or
// copied with a wider mode) is narrowed to 0600: it holds password digests.
void NarrowMode(int fd, const char* path) {
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_uid != geteuid() || (st.st_mode & 0077) == 0) return;
    if (fchmod(fd, st.st_mode & 0700) != 0) {
        Report(REPORT_WARNING, "StoreOpen: cannot narrow the mode of %s: %s", path,
               strerror(errno));
        return;
    }
    Report(REPORT_WARNING, "StoreOpen: %s was open to others (mode %03o); narrowed to owner only",
           path, (unsigned)(st.st_mode & 0777));
}

long Open() {
    storePath = MachineStoreDir() + "/store.db";
    std::string dir = MachineStoreDir();
    if (!MachineMakeDir(dir)) {
        long status = ErrnoStatus(errno);
        Report(REPORT_WARNING, "StoreOpen: cannot make the directory %s: %s", dir.c_str(),
               strerror(errno));
        return status;
    }
    // Made here, not by SQLite, so that it is never readable by others: it
    // holds password digests. An existing file is opened as it is.
    int fd = open(storePath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        long status = ErrnoStatus(errno);
        Report(REPORT_WARNING, "StoreOpen: cannot open %s: %s", storePath.c_str(), strerror(errno));
        return status;
    }
    NarrowMode(fd, storePath.c_str());
    close(fd);
    for (const char* suffix : {"-wal", "-shm"}) {
        std::string companion = storePath + suffix;
        int cfd = open(companion.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (cfd >= 0) {
            NarrowMode(cfd, companion.c_str());
            close(cfd);
        }
    }

    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(storePath.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
        Report(REPORT_WARNING, "StoreOpen: cannot open %s: %s", storePath.c_str(),
               sqlite3_errstr(rc));
        sqlite3_close_v2(db);
        return StoreStatus(rc);
    }
    sqlite3_busy_timeout(db, STORE_BUSY_TIMEOUT_MS);
    // Until the file is known to be ours, closing must not write to it.
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    bool fresh = false;
    long status = Validate(db, &fresh);
    if (status != ERROR_SUCCESS) return status;

    // Write-ahead log: readers see the last commit while a writer works, and
    // a crash at any moment leaves the last committed state.
    int walRc;
    {
        StoreStmt wal(db, "PRAGMA journal_mode=WAL");
        walRc = wal.Step() == SQLITE_ROW && wal.Text(0) == "wal" ? SQLITE_OK : wal.rc;
    }
    if (walRc != SQLITE_OK) {
        Report(REPORT_WARNING, "StoreOpen: cannot use %s: %s", storePath.c_str(),
               sqlite3_errstr(walRc));
        status = walRc == SQLITE_ROW ? ERROR_BADDB : StoreStatus(walRc);
    } else {
        status = Exec(db, "PRAGMA synchronous=FULL");
        if (status == ERROR_SUCCESS && fresh) status = Initialise(db);
        if (status != ERROR_SUCCESS)
            Report(REPORT_WARNING, "StoreOpen: cannot set up %s (status %ld)", storePath.c_str(),
                   status);
    }
    if (status != ERROR_SUCCESS) {
        sqlite3_close_v2(db);
        return status;
    }
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 0, nullptr);
    storeDb = db;
    return ERROR_SUCCESS;
}

} // namespace

std::recursive_mutex& StoreLock() {
    static std::recursive_mutex lock;
    return lock;
}

sqlite3* StoreDb(long* status) {
    if (!storeDb) {
        long opened = Open();
        if (opened != ERROR_SUCCESS) {
            *status = opened;
            return nullptr;
        }
    }
    *status = ERROR_SUCCESS;
    return storeDb;
}

void StoreDbClose() {
    if (storeDb) {
        if (txDepth > 0) sqlite3_exec(storeDb, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close_v2(storeDb);
    }
    storeDb = nullptr;
    txDepth = 0;
}

std::string StoreDbPath() {
    if (storeDb) return storePath;
    return MachineStoreDir() + "/store.db";
}

long StoreStatus(int rc) {
    switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
        return ERROR_SUCCESS;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return ERROR_BUSY;
    case SQLITE_NOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_CANTOPEN:
        return ERROR_ACCESS_DENIED;
    case SQLITE_FULL:
        return ERROR_DISK_FULL;
    case SQLITE_IOERR:
        return ERROR_REGISTRY_IO_FAILED;
    case SQLITE_TOOBIG:
    case SQLITE_RANGE:
    case SQLITE_MISMATCH:
        return ERROR_INVALID_PARAMETER;
    default:
        return ERROR_BADDB;
    }
}

long StoreTxBegin(sqlite3* db, bool write) {
    char sql[40];
    if (txDepth == 0)
        snprintf(sql, sizeof sql, write ? "BEGIN IMMEDIATE" : "BEGIN DEFERRED");
    else
        snprintf(sql, sizeof sql, "SAVEPOINT level%d", txDepth);
    long status = Exec(db, sql);
    if (status == ERROR_SUCCESS) txDepth++;
    return status;
}

long StoreTxEnd(sqlite3* db, int commit) {
    // Nothing open: SQLite dropped the transaction after a failed statement.
    if (txDepth <= 0) return commit ? ERROR_REGISTRY_IO_FAILED : ERROR_SUCCESS;
    txDepth--;
    // A failed statement can make SQLite drop the whole transaction (a full
    // disk, an I/O error): nothing is left to commit at any level then.
    if (sqlite3_get_autocommit(db)) {
        txDepth = 0;
        return commit ? ERROR_REGISTRY_IO_FAILED : ERROR_SUCCESS;
    }
    char sql[64];
    long status;
    if (txDepth == 0) {
        status = Exec(db, commit ? "COMMIT" : "ROLLBACK");
        if (status != ERROR_SUCCESS && commit) Exec(db, "ROLLBACK");
    } else if (commit) {
        snprintf(sql, sizeof sql, "RELEASE level%d", txDepth);
        status = Exec(db, sql);
    } else {
        snprintf(sql, sizeof sql, "ROLLBACK TO level%d; RELEASE level%d", txDepth, txDepth);
        status = Exec(db, sql);
    }
    return status;
}
