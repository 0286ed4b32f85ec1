// The database under the store calls: one SQLite connection per process,
// opened on first use and validated before anything is written, the mapping
// of SQLite results to the store's status codes, and nested transactions.
// Used by platform/store.cpp only.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <string>

// Serialises this process's threads on the one connection; re-entrant, and
// held from RegBeginTransaction to RegEndTransaction.
std::recursive_mutex& StoreLock();

// The open connection, or nullptr with *status set (the cause is logged).
sqlite3* StoreDb(long* status);
void StoreDbClose();
std::string StoreDbPath();

// Status code for a SQLite result (SQLITE_OK -> ERROR_SUCCESS).
long StoreStatus(int rc);

// A transaction, or a savepoint inside one. An outermost write transaction
// takes the write lock at once (waiting for another writer); a read
// transaction reads one snapshot and takes no lock. StoreTxEnd commits (or undoes,
// when commit is 0) the innermost open level; its result is the status of
// the commit. The caller holds StoreLock.
long StoreTxBegin(sqlite3* db, bool write = true);
long StoreTxEnd(sqlite3* db, int commit);

// One prepared statement, finalised when it goes out of scope.
struct StoreStmt {
    sqlite3_stmt* stmt = nullptr;
    int rc = SQLITE_OK;

    StoreStmt(sqlite3* db, const char* sql) {
        rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
    }
    ~StoreStmt() { sqlite3_finalize(stmt); }
    StoreStmt(const StoreStmt&) = delete;
    StoreStmt& operator=(const StoreStmt&) = delete;

    void Bind(int index, int64_t value) {
        if (rc == SQLITE_OK) rc = sqlite3_bind_int64(stmt, index, value);
    }
    void Bind(int index, const std::string& text) {
        if (rc == SQLITE_OK)
            rc = sqlite3_bind_text(stmt, index, text.data(), (int)text.size(), SQLITE_TRANSIENT);
    }
    void BindBlob(int index, const void* data, size_t size) {
        if (rc == SQLITE_OK)
            rc = sqlite3_bind_blob(stmt, index, size ? data : "", (int)size, SQLITE_TRANSIENT);
    }
    // SQLITE_ROW, SQLITE_DONE or an error (kept in rc).
    int Step() {
        if (rc != SQLITE_OK && rc != SQLITE_ROW && rc != SQLITE_DONE) return rc;
        rc = sqlite3_step(stmt);
        return rc;
    }
    // 1 when the statement ran to its end (writes) without an error.
    bool Done() { return Step() == SQLITE_DONE; }
    int64_t Int(int column) { return sqlite3_column_int64(stmt, column); }
    std::string Text(int column) {
        const unsigned char* text = sqlite3_column_text(stmt, column);
        return std::string(text ? (const char*)text : "",
                           (size_t)sqlite3_column_bytes(stmt, column));
    }
    std::string Blob(int column) {
        const void* data = sqlite3_column_blob(stmt, column);
        return std::string(data ? (const char*)data : "",
                           (size_t)sqlite3_column_bytes(stmt, column));
    }
    // The status to report: ERROR_SUCCESS after a row or the end.
    long Status() const { return (rc == SQLITE_ROW || rc == SQLITE_DONE) ? 0 : StoreStatus(rc); }
};
