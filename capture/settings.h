#pragma once
// The three settings the player window keeps between runs, in the current user's
// registry. The player window owns one PlayerSettings, loads it while it initialises and
// saves it when it is destroyed.
#include <string>

#include "capture/registry_key.h"

namespace zevo {

// The key and its values.
inline constexpr const char* SETTINGS_KEY = "Software\\ZEVO2\\ZEVO2Player";
inline constexpr const char* SETTINGS_VALUE_DID = "DID";
inline constexpr const char* SETTINGS_VALUE_PASSWORD = "Password";
inline constexpr const char* SETTINGS_VALUE_SAVE_PATH = "SaveFilePath";
// DWORD, read only: non-zero makes a lost session open again by itself.
inline constexpr const char* SETTINGS_VALUE_AUTO_RECONNECT = "AutoReconnect";

// What a first run starts with.
inline constexpr const char* DEFAULT_DID = "ZEVO-000001-DEMOA";
inline constexpr const char* DEFAULT_PASSWORD = "888888";

class PlayerSettings {
public:
    PlayerSettings() : mRegistry(REGKEY_CREATE) {}

    // Reads the three values; an empty or missing one gets its default. When the key
    // cannot be opened nothing changes.
    void LoadSettings();
    // Writes the three values as plain text; nothing is written when the key cannot be
    // opened.
    void SaveSettings();

    std::string mDID = DEFAULT_DID;
    std::string mPassword = DEFAULT_PASSWORD;
    std::string mSavePath;
    uint32_t mAutoReconnect = 0;
    RegistryKey mRegistry;
};

}  // namespace zevo
