#include "platform/registry.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

#include "platform/user_dirs.h"

namespace zevo {

struct RegKeyObject {
    int root = 0;
    sqlite3* db = nullptr;
    int64_t keyId = 0;
    std::string path;  // as stored, so sub keys keep the stored case
    uint32_t access = 0;
    std::string hivePath;
    std::mutex lockMutex;
    int lockFd = -1;  // the hive folder, held with flock while locked
};

namespace {

constexpr int ROOT_CURRENT_USER = 1;

RegKeyObject gCurrentUserRoot;

std::mutex gHandlesMutex;
std::unordered_set<RegKeyObject*> gHandles;

constexpr int kBusyTimeoutMs = 10000;
constexpr int kHiveVersion = 1;

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS reg_keys("
    " id INTEGER PRIMARY KEY,"
    " root INTEGER NOT NULL,"
    " path TEXT NOT NULL,"
    " folded TEXT NOT NULL,"
    " UNIQUE(root, folded));"
    "CREATE TABLE IF NOT EXISTS reg_values("
    " id INTEGER PRIMARY KEY,"
    " key_id INTEGER NOT NULL REFERENCES reg_keys(id),"
    " name TEXT NOT NULL,"
    " folded TEXT NOT NULL,"
    " type INTEGER NOT NULL,"
    " data BLOB NOT NULL,"
    " UNIQUE(key_id, folded));";

int RootOf(HKEY key) {
    if (key == HKEY_CURRENT_USER) return ROOT_CURRENT_USER;
    return 0;
}

bool IsOpenHandle(HKEY key) {
    if (!key || RootOf(key) != 0) return false;
    std::lock_guard<std::mutex> guard(gHandlesMutex);
    return gHandles.count(key) != 0;
}

std::string Fold(const std::string& text) {
    std::string folded = text;
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return folded;
}

// Statement wrapper: finalised on every path out.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &mStmt, nullptr) != SQLITE_OK) mStmt = nullptr;
    }
    ~Statement() { sqlite3_finalize(mStmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool Ok() const { return mStmt != nullptr; }
    sqlite3_stmt* Get() const { return mStmt; }
    void BindText(int index, const std::string& text) {
        sqlite3_bind_text(mStmt, index, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
    }
    void BindInt(int index, int64_t value) { sqlite3_bind_int64(mStmt, index, value); }
    void BindBlob(int index, const unsigned char* data, uint32_t size) {
        static const unsigned char kEmpty[1] = {0};
        // A null pointer would bind NULL; an empty block is a zero-length blob.
        sqlite3_bind_blob(mStmt, index, size ? data : kEmpty, static_cast<int>(size),
                          SQLITE_TRANSIENT);
    }
    int Step() { return sqlite3_step(mStmt); }
    std::string ColumnText(int column) const {
        const void* bytes = sqlite3_column_blob(mStmt, column);
        int size = sqlite3_column_bytes(mStmt, column);
        if (!bytes || size <= 0) return {};
        return std::string(static_cast<const char*>(bytes), static_cast<size_t>(size));
    }

private:
    sqlite3_stmt* mStmt = nullptr;
};

std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool PathExists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// flock with a deadline: a process that hangs while holding the lock must not hang
// everyone else for good.
bool LockFolder(int fd, uint32_t timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// True when SQLite itself says the file is not a usable database (garbage or damaged
// beyond reading its schema).
bool IsUnreadableDatabaseError(int rc) {
    int primary = rc & 0xff;
    return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT;
}

// Probes the file at path with a fresh connection; the result of reading its schema.
int ProbeHive(const std::string& path) {
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(db, kBusyTimeoutMs);
        rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) rc = sqlite3_extended_errcode(db);
    }
    sqlite3_close(db);
    return rc;
}

enum class HiveHeader { Missing, Database, Garbage };

// Looks at the file's first bytes without SQLite, which would otherwise open (and on
// closing delete) journal files beside a file that is not its own.
HiveHeader ReadHiveHeader(const std::string& path) {
    static const char kMagic[16] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f',
                                    'o', 'r', 'm', 'a', 't', ' ', '3', '\0'};
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return HiveHeader::Missing;
    char header[sizeof kMagic];
    ssize_t got = read(fd, header, sizeof header);
    close(fd);
    if (got == 0) return HiveHeader::Database;  // empty: SQLite starts a new database
    if (got == static_cast<ssize_t>(sizeof header) &&
        std::memcmp(header, kMagic, sizeof kMagic) == 0)
        return HiveHeader::Database;
    return HiveHeader::Garbage;
}

bool HiveIsUnreadable(const std::string& path) {
    switch (ReadHiveHeader(path)) {
        case HiveHeader::Missing:
            return false;
        case HiveHeader::Garbage:
            return true;
        case HiveHeader::Database:
            return IsUnreadableDatabaseError(ProbeHive(path));
    }
    return false;
}

// Moves an unreadable hive out of the way so a fresh one can be made, and says so. Done
// under the hive folder's lock and only after checking again, so that a hive another
// process has just recreated is never moved.
void SetAsideHive(const std::string& path) {
    int folder = open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return;
    bool locked = LockFolder(folder, kBusyTimeoutMs);
    if (locked && HiveIsUnreadable(path)) {
        char stamp[32];
        std::time_t now = std::time(nullptr);
        struct tm local {};
        localtime_r(&now, &local);
        std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
        std::string aside = path + ".corrupt-" + stamp;
        for (int n = 1; PathExists(aside) && n < 1000; ++n)
            aside = path + ".corrupt-" + stamp + "-" + std::to_string(n);

        if (rename(path.c_str(), aside.c_str()) == 0) {
            // A journal left beside the old file belongs to it, never to the new hive.
            if (PathExists(path + "-wal"))
                rename((path + "-wal").c_str(), (aside + "-wal").c_str());
            if (PathExists(path + "-journal"))
                rename((path + "-journal").c_str(), (aside + "-journal").c_str());
            unlink((path + "-shm").c_str());
            std::fprintf(stderr,
                         "zevo2: registry hive %s is not a database; set aside as %s, "
                         "a fresh hive is created\n",
                         path.c_str(), aside.c_str());
        } else {
            std::fprintf(stderr,
                         "zevo2: registry hive %s is not a database and cannot be set aside: %s\n",
                         path.c_str(), std::strerror(errno));
        }
    }
    if (locked) flock(folder, LOCK_UN);
    close(folder);
}

int ExecRetrying(sqlite3* db, const char* sql) {
    // Changing the journal mode can report busy without waiting on the busy handler.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
    for (;;) {
        int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) return SQLITE_OK;
        if ((rc != SQLITE_BUSY && rc != SQLITE_LOCKED) ||
            std::chrono::steady_clock::now() >= deadline)
            return sqlite3_extended_errcode(db);
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
}

int ReadUserVersion(sqlite3* db, int* version) {
    Statement stmt(db, "PRAGMA user_version");
    if (!stmt.Ok()) return sqlite3_extended_errcode(db);
    int rc = stmt.Step();
    if (rc != SQLITE_ROW) return sqlite3_extended_errcode(db);
    *version = sqlite3_column_int(stmt.Get(), 0);
    return SQLITE_OK;
}

int ConfigureHive(sqlite3* db) {
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    int rc = ExecRetrying(db, "PRAGMA journal_mode=WAL");
    if (rc != SQLITE_OK) return rc;
    // Every commit reaches the disk before the set returns.
    rc = ExecRetrying(db, "PRAGMA synchronous=FULL");
    if (rc != SQLITE_OK) return rc;
    int version = 0;
    rc = ReadUserVersion(db, &version);
    if (rc != SQLITE_OK) return rc;
    if (version >= kHiveVersion) return SQLITE_OK;

    std::string sql = std::string("BEGIN IMMEDIATE;") + kSchema +
                      "PRAGMA user_version=" + std::to_string(kHiveVersion) + ";COMMIT;";
    rc = ExecRetrying(db, sql.c_str());
    if (rc != SQLITE_OK) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return rc;
}

// Makes the hive's folder and file (mode 0600: the hive holds a password in plain text).
bool PrepareHiveFile(const std::string& path) {
    if (MakeDirectories(FolderOf(path), 0700) != 0) return false;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    struct stat st {};
    if (fstat(fd, &st) == 0 && (st.st_mode & 077) != 0) fchmod(fd, 0600);
    close(fd);
    return true;
}

int OpenHive(const std::string& path, sqlite3** result) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!PrepareHiveFile(path)) return REG_ERROR_HIVE;
        if (ReadHiveHeader(path) == HiveHeader::Garbage) {
            SetAsideHive(path);
            continue;
        }
        sqlite3* db = nullptr;
        int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX,
                                 nullptr);
        if (rc == SQLITE_OK) rc = ConfigureHive(db);
        if (rc == SQLITE_OK) {
            *result = db;
            return REG_SUCCESS;
        }
        sqlite3_close(db);
        if (!IsUnreadableDatabaseError(rc)) return REG_ERROR_HIVE;
        SetAsideHive(path);
    }
    return REG_ERROR_HIVE;
}

// Splits a sub key path into its components. A leading backslash or an empty
// component is refused; one trailing backslash is allowed.
int SplitKeyPath(const char* subKey, std::vector<std::string>* parts) {
    std::string path = subKey ? subKey : "";
    if (!path.empty() && path.back() == '\\') path.pop_back();
    if (path.empty()) return REG_SUCCESS;
    size_t start = 0;
    for (;;) {
        size_t end = path.find('\\', start);
        std::string part = path.substr(start, end == std::string::npos ? end : end - start);
        if (part.empty() || part.size() > REG_MAX_KEY_NAME) return REG_ERROR_INVALID_PARAMETER;
        parts->push_back(part);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return REG_SUCCESS;
}

int FindKey(sqlite3* db, int root, const std::string& path, int64_t* id, std::string* stored) {
    Statement stmt(db, "SELECT id, path FROM reg_keys WHERE root = ?1 AND folded = ?2");
    if (!stmt.Ok()) return REG_ERROR_HIVE;
    stmt.BindInt(1, root);
    stmt.BindText(2, Fold(path));
    int rc = stmt.Step();
    if (rc == SQLITE_DONE) return REG_ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW) return REG_ERROR_HIVE;
    *id = sqlite3_column_int64(stmt.Get(), 0);
    *stored = stmt.ColumnText(1);
    return REG_SUCCESS;
}

// Creates every missing key along the path in one transaction.
int CreateKeys(sqlite3* db, int root, const std::vector<std::string>& prefixes, bool* created) {
    if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
        return REG_ERROR_HIVE;
    bool ok = true;
    for (const std::string& prefix : prefixes) {
        Statement stmt(db, "INSERT OR IGNORE INTO reg_keys(root, path, folded) VALUES(?1, ?2, ?3)");
        if (!stmt.Ok()) {
            ok = false;
            break;
        }
        stmt.BindInt(1, root);
        stmt.BindText(2, prefix);
        stmt.BindText(3, Fold(prefix));
        if (stmt.Step() != SQLITE_DONE) {
            ok = false;
            break;
        }
        *created = sqlite3_changes(db) > 0;
    }
    if (ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK)
        return REG_SUCCESS;
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return REG_ERROR_HIVE;
}

int OpenKey(HKEY parent, const char* subKey, uint32_t access, HKEY* result, bool create,
            uint32_t* disposition) {
    if (!result) return REG_ERROR_INVALID_PARAMETER;
    *result = nullptr;
    int root = RootOf(parent);
    std::string base;
    if (root == 0) {
        if (!IsOpenHandle(parent)) return REG_ERROR_INVALID_HANDLE;
        if (create && !(parent->access & KEY_CREATE_SUB_KEY)) return REG_ERROR_ACCESS_DENIED;
        root = parent->root;
        base = parent->path;
    }
    std::vector<std::string> parts;
    int rc = SplitKeyPath(subKey, &parts);
    if (rc != REG_SUCCESS) return rc;

    std::vector<std::string> prefixes;
    std::string path = base;
    if (path.empty() && parts.empty()) prefixes.push_back(path);
    for (const std::string& part : parts) {
        if (!path.empty()) path += '\\';
        path += part;
        prefixes.push_back(path);
    }

    std::string hivePath = RegHivePath();
    if (hivePath.empty()) return REG_ERROR_HIVE;
    sqlite3* db = nullptr;
    rc = OpenHive(hivePath, &db);
    if (rc != REG_SUCCESS) return rc;

    int64_t id = 0;
    std::string stored;
    rc = FindKey(db, root, path, &id, &stored);
    if (rc == REG_ERROR_FILE_NOT_FOUND && create) {
        bool created = false;
        rc = CreateKeys(db, root, prefixes, &created);
        if (rc == REG_SUCCESS) rc = FindKey(db, root, path, &id, &stored);
        if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    } else if (rc == REG_SUCCESS && disposition) {
        *disposition = REG_OPENED_EXISTING_KEY;
    }
    if (rc != REG_SUCCESS) {
        sqlite3_close(db);
        return rc;
    }

    auto* key = new RegKeyObject;
    key->root = root;
    key->db = db;
    key->keyId = id;
    key->path = stored;
    key->access = access;
    key->hivePath = hivePath;
    {
        std::lock_guard<std::mutex> guard(gHandlesMutex);
        gHandles.insert(key);
    }
    *result = key;
    return REG_SUCCESS;
}

// Copies a found value out under the buffer rules shared by enumeration and query.
int CopyValueOut(const Statement& stmt, char* name, uint32_t* nameChars, uint32_t* type,
                 unsigned char* data, uint32_t* dataBytes) {
    if (name) {
        std::string stored = stmt.ColumnText(0);
        if (stored.size() + 1 > *nameChars) return REG_ERROR_MORE_DATA;
        std::memcpy(name, stored.data(), stored.size());
        name[stored.size()] = '\0';
        *nameChars = static_cast<uint32_t>(stored.size());
    }
    if (type) *type = static_cast<uint32_t>(sqlite3_column_int64(stmt.Get(), 1));
    const void* bytes = sqlite3_column_blob(stmt.Get(), 2);
    uint32_t size = static_cast<uint32_t>(sqlite3_column_bytes(stmt.Get(), 2));
    if (data) {
        if (size > *dataBytes) {
            *dataBytes = size;
            return REG_ERROR_MORE_DATA;
        }
        if (size) std::memcpy(data, bytes, size);
    }
    if (dataBytes) *dataBytes = size;
    return REG_SUCCESS;
}

}  // namespace

RegKeyObject* const HKEY_CURRENT_USER = &gCurrentUserRoot;

bool RegNamesEqual(const char* a, const char* b) {
    if (!a) a = "";
    if (!b) b = "";
    for (;; ++a, ++b) {
        char ca = *a;
        char cb = *b;
        if (ca >= 'A' && ca <= 'Z') ca = static_cast<char>(ca - 'A' + 'a');
        if (cb >= 'A' && cb <= 'Z') cb = static_cast<char>(cb - 'A' + 'a');
        if (ca != cb) return false;
        if (ca == '\0') return true;
    }
}

std::string RegHivePath() {
    std::string config = ConfigHome();
    if (config.empty()) return {};
    return config + "/zevo2/registry.db";
}

int RegCreateKeyEx(HKEY parent, const char* subKey, uint32_t access, HKEY* result,
                   uint32_t* disposition) {
    return OpenKey(parent, subKey, access, result, true, disposition);
}

int RegOpenKeyEx(HKEY parent, const char* subKey, uint32_t access, HKEY* result) {
    return OpenKey(parent, subKey, access, result, false, nullptr);
}

int RegCloseKey(HKEY key) {
    if (RootOf(key) != 0) return REG_SUCCESS;
    {
        std::lock_guard<std::mutex> guard(gHandlesMutex);
        if (!key || gHandles.erase(key) == 0) return REG_ERROR_INVALID_HANDLE;
    }
    if (key->lockFd >= 0) {
        flock(key->lockFd, LOCK_UN);
        close(key->lockFd);
    }
    sqlite3_close(key->db);
    delete key;
    return REG_SUCCESS;
}

int RegQueryInfoKey(HKEY key, uint32_t* valueCount, uint32_t* maxNameChars,
                    uint32_t* maxDataBytes) {
    if (!IsOpenHandle(key)) return REG_ERROR_INVALID_HANDLE;
    if (!(key->access & KEY_QUERY_VALUE)) return REG_ERROR_ACCESS_DENIED;
    Statement stmt(key->db,
                   "SELECT count(*), ifnull(max(length(CAST(name AS BLOB))), 0),"
                   " ifnull(max(length(data)), 0) FROM reg_values WHERE key_id = ?1");
    if (!stmt.Ok()) return REG_ERROR_HIVE;
    stmt.BindInt(1, key->keyId);
    if (stmt.Step() != SQLITE_ROW) return REG_ERROR_HIVE;
    if (valueCount) *valueCount = static_cast<uint32_t>(sqlite3_column_int64(stmt.Get(), 0));
    if (maxNameChars) *maxNameChars = static_cast<uint32_t>(sqlite3_column_int64(stmt.Get(), 1));
    if (maxDataBytes) *maxDataBytes = static_cast<uint32_t>(sqlite3_column_int64(stmt.Get(), 2));
    return REG_SUCCESS;
}

int RegEnumValue(HKEY key, uint32_t index, char* name, uint32_t* nameChars, uint32_t* type,
                 unsigned char* data, uint32_t* dataBytes) {
    if (!IsOpenHandle(key)) return REG_ERROR_INVALID_HANDLE;
    if (!name || !nameChars || (data && !dataBytes)) return REG_ERROR_INVALID_PARAMETER;
    if (!(key->access & KEY_QUERY_VALUE)) return REG_ERROR_ACCESS_DENIED;
    Statement stmt(key->db,
                   "SELECT name, type, data FROM reg_values WHERE key_id = ?1"
                   " ORDER BY id LIMIT 1 OFFSET ?2");
    if (!stmt.Ok()) return REG_ERROR_HIVE;
    stmt.BindInt(1, key->keyId);
    stmt.BindInt(2, index);
    int rc = stmt.Step();
    if (rc == SQLITE_DONE) return REG_ERROR_NO_MORE_ITEMS;
    if (rc != SQLITE_ROW) return REG_ERROR_HIVE;
    return CopyValueOut(stmt, name, nameChars, type, data, dataBytes);
}

int RegQueryValueEx(HKEY key, const char* name, uint32_t* type, unsigned char* data,
                    uint32_t* dataBytes) {
    if (!IsOpenHandle(key)) return REG_ERROR_INVALID_HANDLE;
    if (data && !dataBytes) return REG_ERROR_INVALID_PARAMETER;
    if (!(key->access & KEY_QUERY_VALUE)) return REG_ERROR_ACCESS_DENIED;
    Statement stmt(key->db,
                   "SELECT name, type, data FROM reg_values WHERE key_id = ?1 AND folded = ?2");
    if (!stmt.Ok()) return REG_ERROR_HIVE;
    stmt.BindInt(1, key->keyId);
    stmt.BindText(2, Fold(name ? name : ""));
    int rc = stmt.Step();
    if (rc == SQLITE_DONE) return REG_ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW) return REG_ERROR_HIVE;
    return CopyValueOut(stmt, nullptr, nullptr, type, data, dataBytes);
}

int RegSetValueEx(HKEY key, const char* name, uint32_t type, const unsigned char* data,
                  uint32_t size) {
    if (!IsOpenHandle(key)) return REG_ERROR_INVALID_HANDLE;
    std::string valueName = name ? name : "";
    if (valueName.size() > REG_MAX_VALUE_NAME || size > REG_MAX_VALUE_DATA || (size && !data))
        return REG_ERROR_INVALID_PARAMETER;
    if (!(key->access & KEY_SET_VALUE)) return REG_ERROR_ACCESS_DENIED;
    // An existing value of the same name in any case keeps its stored name and place.
    Statement stmt(key->db,
                   "INSERT INTO reg_values(key_id, name, folded, type, data)"
                   " VALUES(?1, ?2, ?3, ?4, ?5)"
                   " ON CONFLICT(key_id, folded) DO UPDATE SET type = excluded.type,"
                   " data = excluded.data");
    if (!stmt.Ok()) return REG_ERROR_HIVE;
    stmt.BindInt(1, key->keyId);
    stmt.BindText(2, valueName);
    stmt.BindText(3, Fold(valueName));
    stmt.BindInt(4, type);
    stmt.BindBlob(5, data, size);
    // Outside an explicit transaction the statement commits (and syncs) before returning.
    return stmt.Step() == SQLITE_DONE ? REG_SUCCESS : REG_ERROR_HIVE;
}

int RegDeleteValue(HKEY key, const char* name) {
    if (!IsOpenHandle(key)) return REG_ERROR_INVALID_HANDLE;
    if (!(key->access & KEY_SET_VALUE)) return REG_ERROR_ACCESS_DENIED;
    Statement stmt(key->db, "DELETE FROM reg_values WHERE key_id = ?1 AND folded = ?2");
    if (!stmt.Ok()) return REG_ERROR_HIVE;
    stmt.BindInt(1, key->keyId);
    stmt.BindText(2, Fold(name ? name : ""));
    if (stmt.Step() != SQLITE_DONE) return REG_ERROR_HIVE;
    return sqlite3_changes(key->db) > 0 ? REG_SUCCESS : REG_ERROR_FILE_NOT_FOUND;
}

int RegEnumKeyEx(HKEY key, uint32_t index, char* name, uint32_t* nameChars) {
    if (!IsOpenHandle(key)) return REG_ERROR_INVALID_HANDLE;
    if (!name || !nameChars) return REG_ERROR_INVALID_PARAMETER;
    if (!(key->access & KEY_QUERY_VALUE)) return REG_ERROR_ACCESS_DENIED;
    // Direct children: the parent's path and one more component without a backslash.
    const std::string prefix = key->path.empty() ? std::string() : Fold(key->path) + "\\";
    Statement stmt(key->db,
                   "SELECT path FROM reg_keys WHERE root = ?1 AND length(folded) > ?3"
                   " AND substr(folded, 1, ?3) = ?2"
                   " AND instr(substr(folded, ?3 + 1), '\\') = 0"
                   " ORDER BY folded LIMIT 1 OFFSET ?4");
    if (!stmt.Ok()) return REG_ERROR_HIVE;
    stmt.BindInt(1, key->root);
    stmt.BindText(2, prefix);
    stmt.BindInt(3, static_cast<int64_t>(prefix.size()));
    stmt.BindInt(4, index);
    const int rc = stmt.Step();
    if (rc == SQLITE_DONE) return REG_ERROR_NO_MORE_ITEMS;
    if (rc != SQLITE_ROW) return REG_ERROR_HIVE;
    const std::string child = stmt.ColumnText(0).substr(prefix.size());
    if (child.size() + 1 > *nameChars) {
        *nameChars = static_cast<uint32_t>(child.size() + 1);
        return REG_ERROR_MORE_DATA;
    }
    std::memcpy(name, child.data(), child.size());
    name[child.size()] = '\0';
    *nameChars = static_cast<uint32_t>(child.size());
    return REG_SUCCESS;
}

int RegDeleteTree(HKEY parent, const char* subKey) {
    if (!subKey || !*subKey) return REG_ERROR_INVALID_PARAMETER;
    HKEY key = nullptr;
    int rc = RegOpenKeyEx(parent, subKey, KEY_QUERY_VALUE, &key);
    if (rc != REG_SUCCESS) return rc;
    const std::string folded = Fold(key->path);
    sqlite3* db = key->db;
    rc = REG_ERROR_HIVE;
    if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK) {
        // The key itself and every key whose path continues it after a backslash.
        const char* const kWhere =
            " WHERE root = ?1 AND (folded = ?2 OR substr(folded, 1, ?3) = ?2 || '\\')";
        Statement values(db, (std::string("DELETE FROM reg_values WHERE key_id IN"
                                          " (SELECT id FROM reg_keys") +
                              kWhere + ")")
                                 .c_str());
        Statement keys(db, (std::string("DELETE FROM reg_keys") + kWhere).c_str());
        bool ok = values.Ok() && keys.Ok();
        for (Statement* stmt : {&values, &keys}) {
            if (!ok) break;
            stmt->BindInt(1, key->root);
            stmt->BindText(2, folded);
            stmt->BindInt(3, static_cast<int64_t>(folded.size() + 1));
            ok = stmt->Step() == SQLITE_DONE;
        }
        if (ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) {
            rc = REG_SUCCESS;
        } else {
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    RegCloseKey(key);
    return rc;
}

int RegLockKey(HKEY key, uint32_t timeoutMs) {
    if (!IsOpenHandle(key)) return REG_ERROR_INVALID_HANDLE;
    std::lock_guard<std::mutex> guard(key->lockMutex);
    if (key->lockFd >= 0) return REG_SUCCESS;
    int fd = open(FolderOf(key->hivePath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return REG_ERROR_HIVE;
    if (!LockFolder(fd, timeoutMs)) {
        close(fd);
        return REG_ERROR_TIMEOUT;
    }
    key->lockFd = fd;
    return REG_SUCCESS;
}

int RegUnlockKey(HKEY key) {
    if (!IsOpenHandle(key)) return REG_ERROR_INVALID_HANDLE;
    std::lock_guard<std::mutex> guard(key->lockMutex);
    if (key->lockFd >= 0) {
        flock(key->lockFd, LOCK_UN);
        close(key->lockFd);
        key->lockFd = -1;
    }
    return REG_SUCCESS;
}

}  // namespace zevo
