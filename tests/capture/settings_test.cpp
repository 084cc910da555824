#include "capture/settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "tests/platform/test_home.h"

namespace zevo {
namespace {

class SettingsTest : public ::testing::Test {
protected:
    struct Stored {
        std::string name;
        std::string text;
    };
    // The values of the settings key as the hive has them, in order.
    static std::vector<Stored> StoredValues() {
        std::vector<Stored> values;
        HKEY key = nullptr;
        if (RegOpenKeyEx(HKEY_CURRENT_USER, SETTINGS_KEY, KEY_QUERY_VALUE, &key) != REG_SUCCESS)
            return values;
        for (uint32_t i = 0;; ++i) {
            char name[300];
            uint32_t nameChars = sizeof name;
            std::vector<unsigned char> data(8192);
            uint32_t size = static_cast<uint32_t>(data.size());
            uint32_t type = 0;
            if (RegEnumValue(key, i, name, &nameChars, &type, data.data(), &size) != REG_SUCCESS)
                break;
            EXPECT_EQ(type, REG_SZ) << name;
            EXPECT_TRUE(size > 0 && data[size - 1] == 0) << name << " lacks its terminator";
            values.push_back({name, std::string(reinterpret_cast<char*>(data.data()), size - 1)});
        }
        RegCloseKey(key);
        return values;
    }
    static void Store(const char* name, const std::string& text) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, SETTINGS_KEY, KEY_SET_VALUE, &key, nullptr),
                  REG_SUCCESS);
        ASSERT_EQ(
            RegSetValueEx(key, name, REG_SZ, reinterpret_cast<const unsigned char*>(text.c_str()),
                          static_cast<uint32_t>(text.size() + 1)),
            REG_SUCCESS);
        RegCloseKey(key);
    }
    std::string DocumentsPath() const { return mHome.Path() + "/Documents"; }

    test::TempHome mHome;
};

TEST_F(SettingsTest, FirstRunCreatesTheKeyAndFillsDefaultsThatTheNextRunReads) {
    {
        PlayerSettings settings;
        EXPECT_EQ(settings.mRegistry.mFlags, REGKEY_CREATE);
        EXPECT_TRUE(settings.mSavePath.empty());
        settings.LoadSettings();

        HKEY key = nullptr;
        EXPECT_EQ(
            RegOpenKeyEx(HKEY_CURRENT_USER, "software\\zevo2\\zevo2player", KEY_QUERY_VALUE, &key),
            REG_SUCCESS);
        RegCloseKey(key);
        EXPECT_TRUE(StoredValues().empty());  // nothing is written while running
        EXPECT_EQ(settings.mRegistry.mKey, nullptr);

        EXPECT_EQ(settings.mDID, DEFAULT_DID);
        EXPECT_TRUE(std::regex_match(settings.mDID, std::regex("[A-Z]{4}-[0-9]{6}-[A-Z]{5}")));
        EXPECT_EQ(settings.mPassword, DEFAULT_PASSWORD);
        EXPECT_TRUE(std::regex_match(settings.mPassword, std::regex("[0-9]{6}")));
        EXPECT_EQ(settings.mSavePath, DocumentsPath());
        EXPECT_TRUE(std::filesystem::is_directory(DocumentsPath()));

        settings.mPassword = "host set";  // as the Password property would
        settings.SaveSettings();
    }
    std::vector<Stored> stored = StoredValues();
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(stored[0].name, "DID");
    EXPECT_EQ(stored[0].text, DEFAULT_DID);
    EXPECT_EQ(stored[1].name, "Password");
    EXPECT_EQ(stored[1].text, "host set");  // plain text, as last set
    EXPECT_EQ(stored[2].name, "SaveFilePath");
    EXPECT_EQ(stored[2].text, DocumentsPath());

    PlayerSettings next;
    next.mDID = "changed by host";
    next.LoadSettings();
    EXPECT_EQ(next.mDID, DEFAULT_DID);
    EXPECT_EQ(next.mPassword, "host set");
    EXPECT_EQ(next.mSavePath, DocumentsPath());
}

TEST_F(SettingsTest, EmptyValuesGetDefaultsAndTheFolderIsWrittenBack) {
    Store("DID", "");
    Store("Password", "");
    Store("SaveFilePath", "");
    test::WriteFile(mHome.ConfigPath() + "/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"$HOME/Papers\"\n");

    PlayerSettings settings;
    settings.LoadSettings();
    EXPECT_EQ(settings.mDID, DEFAULT_DID);
    EXPECT_EQ(settings.mPassword, DEFAULT_PASSWORD);
    EXPECT_EQ(settings.mSavePath, mHome.Path() + "/Papers");
    EXPECT_TRUE(std::filesystem::is_directory(mHome.Path() + "/Papers"));

    settings.SaveSettings();
    std::vector<Stored> stored = StoredValues();
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(stored[2].text, mHome.Path() + "/Papers");
}

TEST_F(SettingsTest, StoredNamesInAnotherCaseAreReadAndWrittenUnderThatName) {
    Store("savefilepath", "/media/captures");
    Store("PASSWORD", "654321");
    Store("did", "ABCD-123456-EFGHI");

    PlayerSettings settings;
    settings.LoadSettings();
    EXPECT_EQ(settings.mSavePath, "/media/captures");
    EXPECT_EQ(settings.mPassword, "654321");
    EXPECT_EQ(settings.mDID, "ABCD-123456-EFGHI");
    EXPECT_FALSE(std::filesystem::exists(DocumentsPath()));  // no default needed

    settings.mSavePath = "/media/elsewhere";
    settings.SaveSettings();
    std::vector<Stored> stored = StoredValues();
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(stored[0].name, "savefilepath");
    EXPECT_EQ(stored[0].text, "/media/elsewhere");
    EXPECT_EQ(stored[1].name, "PASSWORD");
    EXPECT_EQ(stored[1].text, "654321");
    EXPECT_EQ(stored[2].name, "did");
}

TEST_F(SettingsTest, UnreachableRegistryLeavesMembersAndSkipsTheSave) {
    test::WriteFile(mHome.ConfigPath() + "/zevo2", "not a folder");
    PlayerSettings settings;
    settings.mDID = "FROM-000000-HOSTS";
    settings.LoadSettings();
    EXPECT_EQ(settings.mDID, "FROM-000000-HOSTS");
    EXPECT_EQ(settings.mPassword, DEFAULT_PASSWORD);
    EXPECT_TRUE(settings.mSavePath.empty());  // no documents folder without a load
    settings.SaveSettings();
    EXPECT_EQ(test::ReadFile(mHome.ConfigPath() + "/zevo2"), "not a folder");
}

TEST_F(SettingsTest, GarbageHiveIsSetAsideAndTheDefaultsAreSaved) {
    test::WriteFile(mHome.HivePath(), std::string(3000, '\x01') + "garbage");
    testing::internal::CaptureStderr();
    PlayerSettings settings;
    settings.LoadSettings();
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("set aside"), std::string::npos) << log;
    EXPECT_EQ(settings.mDID, DEFAULT_DID);
    settings.SaveSettings();
    EXPECT_EQ(StoredValues().size(), 3u);

    int asides = 0;
    for (const auto& entry : std::filesystem::directory_iterator(mHome.ConfigPath() + "/zevo2")) {
        if (entry.path().filename().string().rfind("registry.db.corrupt-", 0) == 0) {
            ++asides;
            EXPECT_EQ(test::ReadFile(entry.path().string()), std::string(3000, '\x01') + "garbage");
        }
    }
    EXPECT_EQ(asides, 1);
}

TEST_F(SettingsTest, TwoViewersSavingAtOnceLeaveOneCompleteSet) {
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    auto viewer = [&](const std::string& id) {
        return [&, id] {
            close(gate[1]);
            char go;
            if (read(gate[0], &go, 1) != 0) return 9;
            for (int round = 0; round < 40; ++round) {
                PlayerSettings settings;
                settings.LoadSettings();
                settings.mDID = "DID-" + id;
                settings.mPassword = "PW-" + id;
                settings.mSavePath = "/path/" + id;
                settings.SaveSettings();
            }
            return 0;
        };
    };
    pid_t a = test::StartChild(viewer("a"));
    pid_t b = test::StartChild(viewer("b"));
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    close(gate[0]);
    close(gate[1]);

    // Watch the hive meanwhile: holding the writers' lock, a reader never sees a set
    // that is half one viewer's and half the other's.
    int mixed = 0;
    int seen = 0;
    for (;;) {
        for (pid_t* child : {&a, &b}) {
            int status = 0;
            if (*child > 0 && waitpid(*child, &status, WNOHANG) == *child) {
                EXPECT_EQ(status, 0);
                *child = -1;
            }
        }
        if (a < 0 && b < 0) break;
        HKEY key = nullptr;
        if (RegOpenKeyEx(HKEY_CURRENT_USER, SETTINGS_KEY, KEY_QUERY_VALUE, &key) != REG_SUCCESS)
            continue;
        if (RegLockKey(key) == REG_SUCCESS) {
            std::string values[3];
            const char* names[3] = {"DID", "Password", "SaveFilePath"};
            for (int i = 0; i < 3; ++i) {
                char text[64] = {};
                uint32_t size = sizeof text - 1;
                if (RegQueryValueEx(key, names[i], nullptr, reinterpret_cast<unsigned char*>(text),
                                    &size) == REG_SUCCESS)
                    values[i] = text;
            }
            if (!values[0].empty() && !values[1].empty() && !values[2].empty()) {
                ++seen;
                char id = values[0].back();
                if (values[1].back() != id || values[2].back() != id) ++mixed;
            }
        }
        RegCloseKey(key);
    }
    EXPECT_EQ(mixed, 0) << "of " << seen << " sets seen";

    PlayerSettings after;
    after.LoadSettings();
    ASSERT_EQ(after.mDID.size(), 5u) << after.mDID;
    std::string id = after.mDID.substr(4);
    EXPECT_TRUE(id == "a" || id == "b") << after.mDID;
    EXPECT_EQ(after.mPassword, "PW-" + id);
    EXPECT_EQ(after.mSavePath, "/path/" + id);
    EXPECT_EQ(StoredValues().size(), 3u);
}

}  // namespace
}  // namespace zevo
