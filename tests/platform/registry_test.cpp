#include "platform/registry.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/platform/test_home.h"

namespace zevo {
namespace {

using test::TempHome;

class RegistryTest : public ::testing::Test {
protected:
    // Opens (creating) a key with every right; fails the test when it cannot.
    HKEY Create(const char* path,
                uint32_t access = KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, path, access, &key, nullptr), REG_SUCCESS);
        return key;
    }

    static int SetText(HKEY key, const char* name, const std::string& text) {
        return RegSetValueEx(key, name, REG_SZ,
                             reinterpret_cast<const unsigned char*>(text.c_str()),
                             static_cast<uint32_t>(text.size() + 1));
    }

    static std::string QueryText(HKEY key, const char* name) {
        std::vector<unsigned char> data(1 << 16);
        uint32_t size = static_cast<uint32_t>(data.size());
        uint32_t type = 0;
        if (RegQueryValueEx(key, name, &type, data.data(), &size) != REG_SUCCESS) return "<none>";
        if (type != REG_SZ) return "<type>";
        return std::string(reinterpret_cast<const char*>(data.data()));
    }

    struct Entry {
        std::string name;
        uint32_t type;
        std::string data;
    };
    static std::vector<Entry> Enumerate(HKEY key) {
        std::vector<Entry> entries;
        for (uint32_t i = 0;; ++i) {
            char name[512];
            uint32_t nameChars = sizeof name;
            unsigned char data[8192];
            uint32_t size = sizeof data;
            uint32_t type = 0;
            int rc = RegEnumValue(key, i, name, &nameChars, &type, data, &size);
            if (rc != REG_SUCCESS) {
                EXPECT_EQ(rc, REG_ERROR_NO_MORE_ITEMS);
                break;
            }
            EXPECT_EQ(nameChars, std::strlen(name));
            entries.push_back({name, type, std::string(reinterpret_cast<char*>(data), size)});
        }
        return entries;
    }

    TempHome mHome;
};

TEST_F(RegistryTest, KeysAreCreatedWithTheirParentsAndMatchWithoutRegardToCase) {
    uint32_t disposition = 0;
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "Software\\Acme\\Viewer", KEY_SET_VALUE, &key,
                             &disposition),
              REG_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    EXPECT_EQ(SetText(key, "Name", "first"), REG_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), REG_SUCCESS);

    // Same key in another case, through create and open.
    ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "SOFTWARE\\acme\\VIEWER\\", KEY_QUERY_VALUE, &key,
                             &disposition),
              REG_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(QueryText(key, "name"), "first");
    RegCloseKey(key);

    // The parents exist too, and a sub key can be reached from an open parent.
    HKEY parent = nullptr;
    ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "software\\ACME", KEY_CREATE_SUB_KEY, &parent),
              REG_SUCCESS);
    ASSERT_EQ(RegOpenKeyEx(parent, "Viewer", KEY_QUERY_VALUE, &key), REG_SUCCESS);
    EXPECT_EQ(QueryText(key, "NAME"), "first");
    RegCloseKey(key);
    HKEY child = nullptr;
    ASSERT_EQ(RegCreateKeyEx(parent, "Other\\Deeper", KEY_QUERY_VALUE, &child, &disposition),
              REG_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    RegCloseKey(child);
    EXPECT_EQ(
        RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Acme\\Other\\Deeper", KEY_QUERY_VALUE, &child),
        REG_SUCCESS);
    RegCloseKey(child);
    RegCloseKey(parent);

    EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Missing", KEY_QUERY_VALUE, &key),
              REG_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "\\Software", KEY_QUERY_VALUE, &key, nullptr),
              REG_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "Software\\\\Acme", KEY_QUERY_VALUE, &key, nullptr),
              REG_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, std::string(256, 'k').c_str(), KEY_QUERY_VALUE,
                             &key, nullptr),
              REG_ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, ValuesKeepTheirStoredNameAndPlaceInTheOrderOfCreation) {
    HKEY key = Create("Software\\Order");
    ASSERT_NE(key, nullptr);
    uint32_t dword = 0x01020304;
    const unsigned char binary[] = {0, 1, 2, 0xFF};
    const char multi[] = "one\0two\0";
    ASSERT_EQ(SetText(key, "Zeta", "z"), REG_SUCCESS);
    ASSERT_EQ(RegSetValueEx(key, "alpha", REG_DWORD, reinterpret_cast<unsigned char*>(&dword), 4),
              REG_SUCCESS);
    ASSERT_EQ(RegSetValueEx(key, "Mid", REG_BINARY, binary, sizeof binary), REG_SUCCESS);
    ASSERT_EQ(RegSetValueEx(key, "List", REG_MULTI_SZ,
                            reinterpret_cast<const unsigned char*>(multi), sizeof multi),
              REG_SUCCESS);
    // Same name in another case: the value is replaced where it stands, name unchanged.
    ASSERT_EQ(SetText(key, "ZETA", "replaced"), REG_SUCCESS);
    ASSERT_EQ(SetText(key, "", "default value"), REG_SUCCESS);
    RegCloseKey(key);

    ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "software\\order", KEY_QUERY_VALUE, &key),
              REG_SUCCESS);
    std::vector<Entry> entries = Enumerate(key);
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[0].name, "Zeta");
    EXPECT_EQ(entries[0].type, REG_SZ);
    EXPECT_EQ(entries[0].data, std::string("replaced", 9));
    EXPECT_EQ(entries[1].name, "alpha");
    EXPECT_EQ(entries[1].type, REG_DWORD);
    EXPECT_EQ(entries[1].data, std::string("\x04\x03\x02\x01", 4));
    EXPECT_EQ(entries[2].name, "Mid");
    EXPECT_EQ(entries[2].data, std::string(reinterpret_cast<const char*>(binary), 4));
    EXPECT_EQ(entries[3].name, "List");
    EXPECT_EQ(entries[3].type, REG_MULTI_SZ);
    EXPECT_EQ(entries[3].data, std::string(multi, sizeof multi));
    EXPECT_EQ(entries[4].name, "");

    uint32_t count = 0, maxName = 0, maxData = 0;
    ASSERT_EQ(RegQueryInfoKey(key, &count, &maxName, &maxData), REG_SUCCESS);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(maxName, 5u);   // "alpha"
    EXPECT_EQ(maxData, 14u);  // "default value" + NUL
    RegCloseKey(key);
}

TEST_F(RegistryTest, SmallBuffersGiveMoreDataAndTheSizeNeeded) {
    HKEY key = Create("Software\\Buffers");
    ASSERT_EQ(SetText(key, "Exactly8", "0123456789"), REG_SUCCESS);

    char name[16];
    unsigned char data[32];
    uint32_t type = 0;

    // The name buffer counts the terminator: 8 characters need 9.
    uint32_t nameChars = 8;
    uint32_t size = sizeof data;
    EXPECT_EQ(RegEnumValue(key, 0, name, &nameChars, &type, data, &size), REG_ERROR_MORE_DATA);
    nameChars = 9;
    EXPECT_EQ(RegEnumValue(key, 0, name, &nameChars, &type, data, &size), REG_SUCCESS);
    EXPECT_EQ(nameChars, 8u);
    EXPECT_STREQ(name, "Exactly8");
    EXPECT_EQ(size, 11u);

    // Data: too small reports the size needed; exact fits; no buffer just measures.
    nameChars = sizeof name;
    size = 10;
    EXPECT_EQ(RegEnumValue(key, 0, name, &nameChars, &type, data, &size), REG_ERROR_MORE_DATA);
    EXPECT_EQ(size, 11u);
    size = 11;
    nameChars = sizeof name;
    EXPECT_EQ(RegEnumValue(key, 0, name, &nameChars, &type, data, &size), REG_SUCCESS);
    nameChars = sizeof name;
    size = 0;
    EXPECT_EQ(RegEnumValue(key, 0, name, &nameChars, &type, nullptr, &size), REG_SUCCESS);
    EXPECT_EQ(size, 11u);
    size = 3;
    EXPECT_EQ(RegQueryValueEx(key, "exactly8", &type, data, &size), REG_ERROR_MORE_DATA);
    EXPECT_EQ(size, 11u);

    nameChars = sizeof name;
    EXPECT_EQ(RegEnumValue(key, 1, name, &nameChars, &type, data, &size), REG_ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumValue(key, 0, nullptr, &nameChars, &type, data, &size),
              REG_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueEx(key, "absent", &type, data, &size), REG_ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(RegistryTest, HandlesAreCheckedForRightsAndValidity) {
    HKEY key = Create("Software\\Rights", KEY_QUERY_VALUE);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(SetText(key, "v", "x"), REG_ERROR_ACCESS_DENIED);
    HKEY sub = nullptr;
    EXPECT_EQ(RegCreateKeyEx(key, "Sub", KEY_QUERY_VALUE, &sub, nullptr), REG_ERROR_ACCESS_DENIED);
    RegCloseKey(key);

    key = Create("Software\\Rights", KEY_SET_VALUE);
    EXPECT_EQ(SetText(key, "v", "x"), REG_SUCCESS);
    uint32_t count = 0;
    EXPECT_EQ(RegQueryInfoKey(key, &count, nullptr, nullptr), REG_ERROR_ACCESS_DENIED);
    char name[8];
    uint32_t nameChars = sizeof name;
    EXPECT_EQ(RegEnumValue(key, 0, name, &nameChars, nullptr, nullptr, nullptr),
              REG_ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCloseKey(key), REG_SUCCESS);

    // A closed handle is refused rather than used.
    EXPECT_EQ(RegCloseKey(key), REG_ERROR_INVALID_HANDLE);
    EXPECT_EQ(SetText(nullptr, "v", "x"), REG_ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryInfoKey(HKEY_CURRENT_USER, &count, nullptr, nullptr),
              REG_ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegLockKey(nullptr), REG_ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, HiveIsPrivateToTheUserAndPlacedByTheXdgRules) {
    EXPECT_EQ(RegHivePath(), mHome.HivePath());
    HKEY key = Create("Software\\Mode");
    ASSERT_EQ(SetText(key, "Password", "secret"), REG_SUCCESS);

    struct stat st {};
    ASSERT_EQ(stat(mHome.HivePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // The journal holds the same data and must be as private.
    ASSERT_EQ(stat((mHome.HivePath() + "-wal").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat((mHome.ConfigPath() + "/zevo2").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    RegCloseKey(key);

    // A hive left readable by others is made private when next opened.
    ASSERT_EQ(chmod(mHome.HivePath().c_str(), 0644), 0);
    key = Create("Software\\Mode");
    ASSERT_EQ(stat(mHome.HivePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    RegCloseKey(key);

    // Without XDG_CONFIG_HOME (or with a relative one) the hive is under ~/.config.
    setenv("XDG_CONFIG_HOME", "relative/config", 1);
    EXPECT_EQ(RegHivePath(), mHome.Path() + "/.config/zevo2/registry.db");
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(RegHivePath(), mHome.Path() + "/.config/zevo2/registry.db");
    setenv("XDG_CONFIG_HOME", (mHome.Path() + "/elsewhere").c_str(), 1);
    key = Create("Software\\Mode");
    EXPECT_EQ(QueryText(key, "Password"), "<none>");  // a different, new hive
    RegCloseKey(key);
    EXPECT_TRUE(std::filesystem::exists(mHome.Path() + "/elsewhere/zevo2/registry.db"));
}

TEST_F(RegistryTest, ValueSetJustBeforeTheProcessIsKilledIsKept) {
    pid_t child = test::StartChild([] {
        HKEY key = nullptr;
        if (RegCreateKeyEx(HKEY_CURRENT_USER, "Software\\Kill", KEY_SET_VALUE, &key, nullptr) !=
            REG_SUCCESS)
            return 2;
        for (int i = 0; i < 20; ++i) {
            std::string text = "value " + std::to_string(i);
            if (SetText(key, ("V" + std::to_string(i)).c_str(), text) != REG_SUCCESS) return 3;
        }
        kill(getpid(), SIGKILL);  // no close, no exit handlers
        return 4;
    });
    ASSERT_GT(child, 0);
    int status = test::WaitChild(child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "child exited with " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), SIGKILL);

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Kill", KEY_QUERY_VALUE, &key),
              REG_SUCCESS);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(QueryText(key, ("v" + std::to_string(i)).c_str()), "value " + std::to_string(i));
    RegCloseKey(key);
}

TEST_F(RegistryTest, ProcessesWritingAtOnceLeaveAReadableHive) {
    // Both children start on a missing hive together, so they also race to create it.
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    auto writer = [&](int id) {
        return [&, id] {
            close(gate[1]);
            char go;
            if (read(gate[0], &go, 1) != 0) return 9;  // released when the pipe closes
            int failures = 0;
            for (int round = 0; round < 40; ++round) {
                HKEY key = nullptr;
                if (RegCreateKeyEx(HKEY_CURRENT_USER, "Software\\Race", KEY_SET_VALUE, &key,
                                   nullptr) != REG_SUCCESS) {
                    ++failures;
                    continue;
                }
                std::string text = std::to_string(id) + ":" + std::to_string(round);
                if (SetText(key, ("W" + std::to_string(id)).c_str(), text) != REG_SUCCESS)
                    ++failures;
                if (SetText(key, "Shared", text) != REG_SUCCESS) ++failures;
                RegCloseKey(key);
            }
            return failures;
        };
    };
    pid_t a = test::StartChild(writer(1));
    pid_t b = test::StartChild(writer(2));
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    close(gate[0]);
    close(gate[1]);
    int statusA = test::WaitChild(a);
    int statusB = test::WaitChild(b);
    ASSERT_TRUE(WIFEXITED(statusA));
    ASSERT_TRUE(WIFEXITED(statusB));
    EXPECT_EQ(WEXITSTATUS(statusA), 0);
    EXPECT_EQ(WEXITSTATUS(statusB), 0);

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Race", KEY_QUERY_VALUE, &key),
              REG_SUCCESS);
    EXPECT_EQ(QueryText(key, "W1"), "1:39");
    EXPECT_EQ(QueryText(key, "W2"), "2:39");
    std::string shared = QueryText(key, "Shared");
    EXPECT_TRUE(shared == "1:39" || shared == "2:39") << shared;
    RegCloseKey(key);

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(mHome.HivePath().c_str(), &db), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)), "ok");
    sqlite3_finalize(stmt);
    sqlite3_close(db);
}

TEST_F(RegistryTest, LockSerialisesWritersAcrossProcesses) {
    HKEY key = Create("Software\\Lock");
    ASSERT_EQ(RegLockKey(key), REG_SUCCESS);
    EXPECT_EQ(RegLockKey(key), REG_SUCCESS);  // holding it already

    // Another process cannot take it while it is held, and can once it is released.
    pid_t child = test::StartChild([] {
        HKEY other = nullptr;
        if (RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Lock", KEY_SET_VALUE, &other) != REG_SUCCESS)
            return 2;
        return RegLockKey(other, 200) == REG_ERROR_TIMEOUT ? 0 : 1;
    });
    EXPECT_EQ(test::WaitChild(child), 0);
    ASSERT_EQ(RegUnlockKey(key), REG_SUCCESS);
    child = test::StartChild([] {
        HKEY other = nullptr;
        if (RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Lock", KEY_SET_VALUE, &other) != REG_SUCCESS)
            return 2;
        return RegLockKey(other, 5000) == REG_SUCCESS ? 0 : 1;
    });
    EXPECT_EQ(test::WaitChild(child), 0);

    // Closing a handle releases its lock.
    ASSERT_EQ(RegLockKey(key), REG_SUCCESS);
    RegCloseKey(key);
    key = Create("Software\\Lock");
    EXPECT_EQ(RegLockKey(key, 2000), REG_SUCCESS);
    RegCloseKey(key);
}

TEST_F(RegistryTest, GarbageHiveIsReportedAndSetAsideNeverOverwritten) {
    const std::string garbage(5000, '\x5a');
    test::WriteFile(mHome.HivePath(), "this is not a database " + garbage);
    test::WriteFile(mHome.HivePath() + "-wal", "stale journal");

    testing::internal::CaptureStderr();
    HKEY key = Create("Software\\Fresh");
    std::string log = testing::internal::GetCapturedStderr();
    ASSERT_NE(key, nullptr);
    EXPECT_NE(log.find("not a database"), std::string::npos) << log;
    EXPECT_NE(log.find(mHome.HivePath()), std::string::npos) << log;
    EXPECT_EQ(SetText(key, "New", "works"), REG_SUCCESS);
    EXPECT_EQ(QueryText(key, "New"), "works");
    RegCloseKey(key);

    // The same thing twice in one second must keep both set-aside files.
    test::WriteFile(mHome.HivePath(), "second garbage");
    std::remove((mHome.HivePath() + "-wal").c_str());
    std::remove((mHome.HivePath() + "-shm").c_str());
    testing::internal::CaptureStderr();
    key = Create("Software\\Fresh");
    log = testing::internal::GetCapturedStderr();
    ASSERT_NE(key, nullptr);
    EXPECT_NE(log.find("not a database"), std::string::npos) << log;
    EXPECT_EQ(QueryText(key, "New"), "<none>");
    RegCloseKey(key);

    std::vector<std::string> contents;
    std::vector<std::string> journals;
    for (const auto& entry : std::filesystem::directory_iterator(mHome.ConfigPath() + "/zevo2")) {
        std::string name = entry.path().filename().string();
        if (name.rfind("registry.db.corrupt-", 0) != 0) continue;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, "-wal") == 0)
            journals.push_back(test::ReadFile(entry.path().string()));
        else
            contents.push_back(test::ReadFile(entry.path().string()));
    }
    std::sort(contents.begin(), contents.end());
    ASSERT_EQ(contents.size(), 2u);
    EXPECT_EQ(contents[0], "second garbage");
    EXPECT_EQ(contents[1], "this is not a database " + garbage);
    ASSERT_EQ(journals.size(), 1u);
    EXPECT_EQ(journals[0], "stale journal");
}

TEST_F(RegistryTest, UnusableHiveFolderFailsQuietly) {
    // zevo2 is a file, so the hive cannot be made.
    test::WriteFile(mHome.ConfigPath() + "/zevo2", "in the way");
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "Software\\X", KEY_SET_VALUE, &key, nullptr),
              REG_ERROR_HIVE);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(test::ReadFile(mHome.ConfigPath() + "/zevo2"), "in the way");
}

}  // namespace
}  // namespace zevo
