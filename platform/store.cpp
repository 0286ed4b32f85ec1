// The registry calls over the store's database. Keys are rows of "keys"
// (id, parent, name); the predefined root is id 0 and has no row. Values are
// rows of "vals" (key, name, type, data). Every call runs under StoreLock;
// every call that writes more than one row runs in one transaction.
#include "platform/store.h"

#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/store_db.h"

struct RegKey {
    uint32_t magic;
    int64_t id;
};

namespace {

constexpr uint32_t KEY_MAGIC = 0x4B455931; // "KEY1"
constexpr size_t KEY_NAME_MAX = 255;
constexpr size_t VALUE_NAME_MAX = 16383;
constexpr uint32_t VALUE_DATA_MAX = 1u << 20;

RegKey rootKey = {KEY_MAGIC, 0};

bool ValidHandle(HKEY key) {
    return key && key->magic == KEY_MAGIC;
}

HKEY NewHandle(int64_t id) {
    return new RegKey{KEY_MAGIC, id};
}

// Splits "A\B\C" into its names; empty names and names over the limit are
// refused, never cut.
long SplitPath(const char* subKey, std::vector<std::string>* names) {
    names->clear();
    if (!subKey || !*subKey) return ERROR_SUCCESS;
    std::string path = subKey;
    size_t start = 0;
    while (true) {
        size_t end = path.find('\\', start);
        std::string name =
            path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (name.empty()) return ERROR_BAD_PATHNAME;
        if (name.size() > KEY_NAME_MAX) return ERROR_INVALID_PARAMETER;
        names->push_back(name);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

long ValueName(const char* valueName, std::string* name) {
    *name = valueName ? valueName : "";
    return name->size() > VALUE_NAME_MAX ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
}

// Steps a query for one row: ERROR_SUCCESS with a row, whenNone without one,
// else the query's error.
long OneRow(StoreStmt& q, long whenNone) {
    int rc = q.Step();
    if (rc == SQLITE_ROW) return ERROR_SUCCESS;
    if (rc == SQLITE_DONE) return whenNone;
    return q.Status();
}

// ERROR_SUCCESS when the key still exists (another process may have deleted it).
long KeyExists(sqlite3* db, int64_t id) {
    if (id == 0) return ERROR_SUCCESS;
    StoreStmt q(db, "SELECT 1 FROM keys WHERE id=?");
    q.Bind(1, id);
    return OneRow(q, ERROR_KEY_DELETED);
}

// The child of parent called name: its id, 0 when missing, -1 on error.
int64_t FindChild(sqlite3* db, int64_t parent, const std::string& name, long* status) {
    StoreStmt q(db, "SELECT id FROM keys WHERE parent=? AND name=?");
    q.Bind(1, parent);
    q.Bind(2, name);
    int rc = q.Step();
    *status = ERROR_SUCCESS;
    if (rc == SQLITE_ROW) return q.Int(0);
    if (rc == SQLITE_DONE) return 0;
    *status = q.Status();
    return -1;
}

// Follows names from id; *found = the last key reached.
long Resolve(sqlite3* db, int64_t id, const std::vector<std::string>& names, int64_t* found) {
    long status = KeyExists(db, id);
    if (status != ERROR_SUCCESS) return status;
    for (const std::string& name : names) {
        id = FindChild(db, id, name, &status);
        if (id < 0) return status;
        if (id == 0) return ERROR_FILE_NOT_FOUND;
    }
    *found = id;
    return ERROR_SUCCESS;
}

// Runs fn inside its own transaction level; undoes it when fn fails.
template <typename Fn> long InTransaction(sqlite3* db, Fn fn) {
    long status = StoreTxBegin(db);
    if (status != ERROR_SUCCESS) return status;
    status = fn();
    long ended = StoreTxEnd(db, status == ERROR_SUCCESS);
    return status != ERROR_SUCCESS ? status : ended;
}

// Opens the database and checks the handle: the common start of every call.
sqlite3* Begin(HKEY key, long* status) {
    if (!ValidHandle(key)) {
        *status = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    return StoreDb(status);
}

// Begin, then the checked value name in *name: the start of every call on a
// named value.
sqlite3* BeginValue(HKEY key, const char* valueName, std::string* name, long* status) {
    sqlite3* db = Begin(key, status);
    if (db) *status = ValueName(valueName, name);
    return *status == ERROR_SUCCESS ? db : nullptr;
}

// Opens subKey below key into *result. *db is the database whenever the
// arguments were good and it could be opened, so that a caller can create a
// missing key (ERROR_FILE_NOT_FOUND) on the same path.
long OpenPath(HKEY key, const char* subKey, HKEY* result, sqlite3** db,
              std::vector<std::string>* names) {
    *db = nullptr;
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    long status;
    sqlite3* opened = Begin(key, &status);
    if (!opened) return status;
    status = SplitPath(subKey, names);
    if (status != ERROR_SUCCESS) return status;
    *db = opened;
    int64_t id = 0;
    status = Resolve(opened, key->id, *names, &id);
    if (status == ERROR_SUCCESS) *result = NewHandle(id);
    return status;
}

// Copies a found name and its NUL into a buffer of size bytes.
long CopyName(const std::string& found, char* name, uint32_t size) {
    if (found.size() + 1 > size) return ERROR_MORE_DATA;
    memcpy(name, found.c_str(), found.size() + 1);
    return ERROR_SUCCESS;
}

// Copies stored bytes out the way a value query does: data nullptr asks for
// the size; a buffer too small gets ERROR_MORE_DATA, the needed size and no
// bytes.
long CopyOut(const std::string& bytes, uint8_t* data, uint32_t* size) {
    if (data && !size) return ERROR_INVALID_PARAMETER;
    uint32_t needed = (uint32_t)bytes.size();
    long status = ERROR_SUCCESS;
    if (data) {
        if (*size < needed)
            status = ERROR_MORE_DATA;
        else
            memcpy(data, bytes.data(), needed);
    }
    if (size) *size = needed;
    return status;
}

// Deletes the keys with the given ids and everything below them.
const char* const kDeleteTreeValues =
    "WITH RECURSIVE t(id) AS (SELECT id FROM keys WHERE %s UNION ALL"
    " SELECT k.id FROM keys k JOIN t ON k.parent=t.id)"
    " DELETE FROM vals WHERE key IN t %s";
const char* const kDeleteTreeKeys =
    "WITH RECURSIVE t(id) AS (SELECT id FROM keys WHERE %s UNION ALL"
    " SELECT k.id FROM keys k JOIN t ON k.parent=t.id)"
    " DELETE FROM keys WHERE id IN t";

long DeleteBelow(sqlite3* db, const char* where, int64_t id, bool valuesOfId) {
    char sql[512];
    snprintf(sql, sizeof sql, kDeleteTreeValues, where, valuesOfId ? "OR key=?1" : "");
    StoreStmt values(db, sql);
    values.Bind(1, id);
    if (!values.Done()) return values.Status();
    snprintf(sql, sizeof sql, kDeleteTreeKeys, where);
    StoreStmt keys(db, sql);
    keys.Bind(1, id);
    if (!keys.Done()) return keys.Status();
    return ERROR_SUCCESS;
}

// Deletes subKey below key: with tree everything below it too, without tree
// only a key that has no subkeys. A tree call without a subkey name empties
// the key itself, which stays.
// Deletes the key at subKey and everything below it; without subKey, what
// lies below key.
long DeleteTree(HKEY key, const char* subKey) {
    std::lock_guard<std::recursive_mutex> guard(StoreLock());
    std::vector<std::string> names;
    long status;
    sqlite3* db = Begin(key, &status);
    if (!db) return status;
    status = SplitPath(subKey, &names);
    if (status != ERROR_SUCCESS) return status;
    return InTransaction(db, [&]() -> long {
        int64_t id = 0;
        long s = Resolve(db, key->id, names, &id);
        if (s != ERROR_SUCCESS) return s;
        if (names.empty()) return DeleteBelow(db, "parent=?1", id, true);
        if (id == 0) return ERROR_ACCESS_DENIED;
        return DeleteBelow(db, "id=?1", id, false);
    });
}

} // namespace

const HKEY HKEY_LOCAL_MACHINE = &rootKey;

long RegOpenKeyExA(HKEY key, const char* subKey, uint32_t, uint32_t, HKEY* result) {
    std::lock_guard<std::recursive_mutex> guard(StoreLock());
    sqlite3* db;
    std::vector<std::string> names;
    return OpenPath(key, subKey, result, &db, &names);
}

long RegCreateKeyExA(HKEY key, const char* subKey, uint32_t, const char*, uint32_t, uint32_t, void*,
                     HKEY* result, uint32_t* disposition) {
    std::lock_guard<std::recursive_mutex> guard(StoreLock());
    // An existing key needs no write, so opening one never waits for a writer.
    sqlite3* db;
    std::vector<std::string> names;
    long status = OpenPath(key, subKey, result, &db, &names);
    if (status == ERROR_SUCCESS) {
        if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
        return ERROR_SUCCESS;
    }
    if (status != ERROR_FILE_NOT_FOUND || !db) return status;
    int64_t id = key->id;
    bool created = false;
    status = InTransaction(db, [&]() -> long {
        long s = KeyExists(db, id);
        if (s != ERROR_SUCCESS) return s;
        for (const std::string& name : names) {
            int64_t child = FindChild(db, id, name, &s);
            if (child < 0) return s;
            created = child == 0;
            if (created) {
                StoreStmt insert(db, "INSERT INTO keys(parent, name) VALUES(?, ?)");
                insert.Bind(1, id);
                insert.Bind(2, name);
                if (!insert.Done()) return insert.Status();
                child = sqlite3_last_insert_rowid(db);
            }
            id = child;
        }
        return ERROR_SUCCESS;
    });
    if (status != ERROR_SUCCESS) return status;
    *result = NewHandle(id);
    if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

long RegQueryValueExA(HKEY key, const char* valueName, uint32_t*, uint32_t* type, uint8_t* data,
                      uint32_t* size) {
    std::lock_guard<std::recursive_mutex> guard(StoreLock());
    std::string name;
    long status;
    sqlite3* db = BeginValue(key, valueName, &name, &status);
    if (!db) return status;
    status = KeyExists(db, key->id);
    if (status != ERROR_SUCCESS) return status;
    StoreStmt q(db, "SELECT type, data FROM vals WHERE key=? AND name=?");
    q.Bind(1, key->id);
    q.Bind(2, name);
    status = OneRow(q, ERROR_FILE_NOT_FOUND);
    if (status != ERROR_SUCCESS) return status;
    if (type) *type = (uint32_t)q.Int(0);
    return CopyOut(q.Blob(1), data, size);
}

long RegSetValueExA(HKEY key, const char* valueName, uint32_t, uint32_t type, const uint8_t* data,
                    uint32_t size) {
    std::lock_guard<std::recursive_mutex> guard(StoreLock());
    std::string name;
    long status;
    sqlite3* db = BeginValue(key, valueName, &name, &status);
    if (!db) return status;
    if (size > VALUE_DATA_MAX || (size && !data)) return ERROR_INVALID_PARAMETER;
    std::string bytes(data ? (const char*)data : "", data ? size : 0);
    if (type == REG_DWORD) {
        if (bytes.size() != 4) return ERROR_INVALID_PARAMETER;
    } else if (type == REG_SZ) {
        // A string always ends with its NUL, so every reader gets a
        // terminated text.
        if (bytes.empty() || bytes.back() != '\0') bytes.push_back('\0');
    } else {
        return ERROR_INVALID_PARAMETER;
    }
    return InTransaction(db, [&]() -> long {
        long s = KeyExists(db, key->id);
        if (s != ERROR_SUCCESS) return s;
        // An existing value keeps the case of its name.
        StoreStmt update(db, "UPDATE vals SET type=?, data=? WHERE key=? AND name=?");
        update.Bind(1, type);
        update.BindBlob(2, bytes.data(), bytes.size());
        update.Bind(3, key->id);
        update.Bind(4, name);
        if (!update.Done()) return update.Status();
        if (sqlite3_changes(db) > 0) return ERROR_SUCCESS;
        StoreStmt insert(db, "INSERT INTO vals(key, name, type, data) VALUES(?, ?, ?, ?)");
        insert.Bind(1, key->id);
        insert.Bind(2, name);
        insert.Bind(3, type);
        insert.BindBlob(4, bytes.data(), bytes.size());
        return insert.Done() ? ERROR_SUCCESS : insert.Status();
    });
}

long RegDeleteValueA(HKEY key, const char* valueName) {
    std::lock_guard<std::recursive_mutex> guard(StoreLock());
    std::string name;
    long status;
    sqlite3* db = BeginValue(key, valueName, &name, &status);
    if (!db) return status;
    return InTransaction(db, [&]() -> long {
        long s = KeyExists(db, key->id);
        if (s != ERROR_SUCCESS) return s;
        StoreStmt del(db, "DELETE FROM vals WHERE key=? AND name=?");
        del.Bind(1, key->id);
        del.Bind(2, name);
        if (!del.Done()) return del.Status();
        return sqlite3_changes(db) > 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

long RegQueryInfoKeyA(HKEY key, uint32_t* subKeys, uint32_t* values) {
    std::lock_guard<std::recursive_mutex> guard(StoreLock());
    long status;
    sqlite3* db = Begin(key, &status);
    if (!db) return status;
    status = KeyExists(db, key->id);
    if (status != ERROR_SUCCESS) return status;
    StoreStmt q(db, "SELECT (SELECT count(*) FROM keys WHERE parent=?1),"
                    " (SELECT count(*) FROM vals WHERE key=?1)");
    q.Bind(1, key->id);
    if (q.Step() != SQLITE_ROW) return q.Status();
    if (subKeys) *subKeys = (uint32_t)q.Int(0);
    if (values) *values = (uint32_t)q.Int(1);
    return ERROR_SUCCESS;
}

long RegEnumKeyA(HKEY key, uint32_t index, char* name, uint32_t size) {
    std::lock_guard<std::recursive_mutex> guard(StoreLock());
    long status;
    sqlite3* db = Begin(key, &status);
    if (!db) return status;
    if (!name) return ERROR_INVALID_PARAMETER;
    status = KeyExists(db, key->id);
    if (status != ERROR_SUCCESS) return status;
    StoreStmt q(db, "SELECT name FROM keys WHERE parent=? ORDER BY name LIMIT 1 OFFSET ?");
    q.Bind(1, key->id);
    q.Bind(2, index);
    status = OneRow(q, ERROR_NO_MORE_ITEMS);
    if (status != ERROR_SUCCESS) return status;
    return CopyName(q.Text(0), name, size);
}

long RegEnumKeyNames(HKEY key, std::vector<std::string>* names) {
    std::lock_guard<std::recursive_mutex> guard(StoreLock());
    long status;
    sqlite3* db = Begin(key, &status);
    if (!db) return status;
    if (!names) return ERROR_INVALID_PARAMETER;
    names->clear();
    status = KeyExists(db, key->id);
    if (status != ERROR_SUCCESS) return status;
    StoreStmt q(db, "SELECT name FROM keys WHERE parent=? ORDER BY name");
    q.Bind(1, key->id);
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW)
        names->push_back(q.Text(0));
    return rc == SQLITE_DONE ? ERROR_SUCCESS : q.Status();
}

long RegEnumValueA(HKEY key, uint32_t index, char* name, uint32_t* nameSize, uint32_t* type,
                   uint8_t* data, uint32_t* dataSize) {
    std::lock_guard<std::recursive_mutex> guard(StoreLock());
    long status;
    sqlite3* db = Begin(key, &status);
    if (!db) return status;
    if (!name || !nameSize) return ERROR_INVALID_PARAMETER;
    status = KeyExists(db, key->id);
    if (status != ERROR_SUCCESS) return status;
    StoreStmt q(db, "SELECT name, type, data FROM vals WHERE key=? ORDER BY name LIMIT 1 OFFSET ?");
    q.Bind(1, key->id);
    q.Bind(2, index);
    status = OneRow(q, ERROR_NO_MORE_ITEMS);
    if (status != ERROR_SUCCESS) return status;
    std::string found = q.Text(0);
    status = CopyName(found, name, *nameSize);
    if (status != ERROR_SUCCESS) return status;
    *nameSize = (uint32_t)found.size();
    if (type) *type = (uint32_t)q.Int(1);
    return CopyOut(q.Blob(2), data, dataSize);
}

long RegDeleteTreeA(HKEY key, const char* subKey) {
    return DeleteTree(key, subKey);
}

long RegCloseKey(HKEY key) {
    if (!ValidHandle(key)) return ERROR_INVALID_HANDLE;
    if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
    key->magic = 0;
    delete key;
    return ERROR_SUCCESS;
}

const char* StorePath() {
    std::lock_guard<std::recursive_mutex> guard(StoreLock());
    static std::string path;
    path = StoreDbPath();
    return path.c_str();
}

// Brackets opened by RegBeginTransaction and not yet ended; each holds one
// count of StoreLock.
static int bracketDepth = 0;

static long BeginBracket(bool write) {
    StoreLock().lock();
    long status;
    sqlite3* db = StoreDb(&status);
    if (db) status = StoreTxBegin(db, write);
    if (status != ERROR_SUCCESS) {
        StoreLock().unlock();
        return status;
    }
    bracketDepth++;
    return ERROR_SUCCESS;
}

long RegBeginTransaction() {
    return BeginBracket(true);
}
long RegBeginRead() {
    return BeginBracket(false);
}

long RegEndTransaction(int commit) {
    std::lock_guard<std::recursive_mutex> guard(StoreLock());
    if (bracketDepth == 0) return ERROR_INVALID_PARAMETER;
    bracketDepth--;
    long status;
    sqlite3* db = StoreDb(&status);
    if (db) status = StoreTxEnd(db, commit);
    StoreLock().unlock(); // the count taken by the matching begin
    return status;
}

void RegCloseStore() {
    std::lock_guard<std::recursive_mutex> guard(StoreLock());
    StoreDbClose();
}

uint32_t StoreSeed() {
    return (uint32_t)time(nullptr) ^ ((uint32_t)getpid() << 16) ^ (uint32_t)getpid();
}
