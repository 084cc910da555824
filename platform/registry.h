#pragma once
// A per-user registry of keys and typed values, kept in an SQLite hive at
// $XDG_CONFIG_HOME/zevo2/registry.db (mode 0600). Key paths use backslashes; key paths
// and value names match without regard to case but keep the case they were created
// with. Every set is committed to disk before the call returns.
//
// Calls return REG_SUCCESS (0) or a negative REG_ERROR_* code.
#include <cstdint>
#include <string>

namespace zevo {

struct RegKeyObject;
using HKEY = RegKeyObject*;

// The per-user root. Room is left for further roots (a classes root) beside it: every
// key row in the hive records the root it belongs to.
extern RegKeyObject* const HKEY_CURRENT_USER;

enum RegResult : int {
    REG_SUCCESS = 0,
    REG_ERROR_FILE_NOT_FOUND = -2,
    REG_ERROR_ACCESS_DENIED = -5,
    REG_ERROR_INVALID_HANDLE = -6,
    REG_ERROR_INVALID_PARAMETER = -87,
    REG_ERROR_MORE_DATA = -234,
    REG_ERROR_NO_MORE_ITEMS = -259,
    REG_ERROR_HIVE = -1009,  // the hive cannot be opened, read or written
    REG_ERROR_TIMEOUT = -1460,
};

// Value types.
constexpr uint32_t REG_NONE = 0;
constexpr uint32_t REG_SZ = 1;
constexpr uint32_t REG_BINARY = 3;
constexpr uint32_t REG_DWORD = 4;
constexpr uint32_t REG_MULTI_SZ = 7;

// Access rights of a key handle.
constexpr uint32_t KEY_QUERY_VALUE = 1;
constexpr uint32_t KEY_SET_VALUE = 2;
constexpr uint32_t KEY_CREATE_SUB_KEY = 4;

// Dispositions reported by RegCreateKeyEx.
constexpr uint32_t REG_CREATED_NEW_KEY = 1;
constexpr uint32_t REG_OPENED_EXISTING_KEY = 2;

// Limits the hive enforces.
constexpr uint32_t REG_MAX_KEY_NAME = 255;      // one path component
constexpr uint32_t REG_MAX_VALUE_NAME = 16383;  // characters
constexpr uint32_t REG_MAX_VALUE_DATA = 1u << 20;

// Opens subKey under parent (a root or an open key), creating it and every missing key
// above it. disposition may be null.
int RegCreateKeyEx(HKEY parent, const char* subKey, uint32_t access, HKEY* result,
                   uint32_t* disposition);

// Opens an existing key; REG_ERROR_FILE_NOT_FOUND when it does not exist.
int RegOpenKeyEx(HKEY parent, const char* subKey, uint32_t access, HKEY* result);

// Closes a handle (and releases a lock it holds). Roots need no closing.
int RegCloseKey(HKEY key);

// Number of values of the key, and the longest value name (characters, without the
// terminator) and data (bytes). Any pointer may be null. Needs KEY_QUERY_VALUE.
int RegQueryInfoKey(HKEY key, uint32_t* valueCount, uint32_t* maxNameChars, uint32_t* maxDataBytes);

// The value at index, in order of creation. *nameChars holds the name buffer's size in
// characters including the terminator and receives the name's length without it;
// *dataBytes holds the data buffer's size and receives the data's size. A name or data
// that does not fit gives REG_ERROR_MORE_DATA (with *dataBytes set to the size needed);
// an index past the last value gives REG_ERROR_NO_MORE_ITEMS. data, dataBytes and type
// may be null. Needs KEY_QUERY_VALUE.
int RegEnumValue(HKEY key, uint32_t index, char* name, uint32_t* nameChars, uint32_t* type,
                 unsigned char* data, uint32_t* dataBytes);

// One value by name, with the same buffer rules as RegEnumValue.
int RegQueryValueEx(HKEY key, const char* name, uint32_t* type, unsigned char* data,
                    uint32_t* dataBytes);

// Writes a value; a value of the same name in another case is overwritten and keeps its
// stored name and its place in the order. Durable when the call returns. Needs
// KEY_SET_VALUE.
int RegSetValueEx(HKEY key, const char* name, uint32_t type, const unsigned char* data,
                  uint32_t size);

// Removes the value; REG_ERROR_FILE_NOT_FOUND when there is none. Needs KEY_SET_VALUE.
int RegDeleteValue(HKEY key, const char* name);

// The name of the sub key at index (direct children only, ordered by name without regard
// to case). *nameChars holds the buffer's size including the terminator and receives
// the name's length; REG_ERROR_MORE_DATA when it does not fit, REG_ERROR_NO_MORE_ITEMS
// past the last one. Needs KEY_QUERY_VALUE.
int RegEnumKeyEx(HKEY key, uint32_t index, char* name, uint32_t* nameChars);

// Removes subKey of parent with every key below it and all their values, in one
// transaction; REG_ERROR_FILE_NOT_FOUND when it does not exist. Handles still open on
// removed keys find nothing afterwards. An empty subKey is refused: a key does not
// delete itself.
int RegDeleteTree(HKEY parent, const char* subKey);

// Serialises writers of the same hive across threads and processes: a caller that sets
// several values as one group holds this lock around the sets. Released by
// RegUnlockKey or RegCloseKey. Gives up with REG_ERROR_TIMEOUT after timeoutMs.
int RegLockKey(HKEY key, uint32_t timeoutMs = 10000);
int RegUnlockKey(HKEY key);

// Where the current user's hive lives, from the environment at the time of the call.
std::string RegHivePath();

// Compares two names as the registry does: ASCII letters without regard to case, every
// other byte (including each byte of a multibyte character) exactly.
bool RegNamesEqual(const char* a, const char* b);

}  // namespace zevo
