#include "capture/settings.h"

#include "platform/user_dirs.h"

namespace zevo {
namespace {

constexpr uint32_t kSettingsAccess = KEY_QUERY_VALUE | KEY_SET_VALUE;

}  // namespace

void PlayerSettings::LoadSettings() {
    if (!mRegistry.Open(SETTINGS_KEY, HKEY_CURRENT_USER, kSettingsAccess, 0)) return;
    mDID = mRegistry.Lookup(SETTINGS_VALUE_DID)->GetText();
    mPassword = mRegistry.Lookup(SETTINGS_VALUE_PASSWORD)->GetText();
    mSavePath = mRegistry.Lookup(SETTINGS_VALUE_SAVE_PATH)->GetText();
    const RegistryValue* reconnect = mRegistry.Lookup(SETTINGS_VALUE_AUTO_RECONNECT);
    mAutoReconnect = reconnect->mType == REG_DWORD ? reconnect->mDword : 0;
    mRegistry.Close();

    if (mDID.empty()) mDID = DEFAULT_DID;
    if (mPassword.empty()) mPassword = DEFAULT_PASSWORD;
    if (mSavePath.empty()) {
        std::string documents;
        // Left empty when the documents folder is unknown or cannot be made.
        mSavePath = GetDocumentsFolder(&documents, true) == 0 ? documents : std::string();
    }
}

void PlayerSettings::SaveSettings() {
    // The window has no data exchange to run first, so the members are already current.
    if (!mRegistry.Open(SETTINGS_KEY, HKEY_CURRENT_USER, kSettingsAccess, 0)) return;
    // The three values go in as one group: two viewers closing at once must leave one
    // viewer's whole set, not a mix. Each set is still on disk when it returns; if the
    // lock cannot be had the save goes ahead regardless.
    RegLockKey(mRegistry.mKey);
    mRegistry.Lookup(SETTINGS_VALUE_DID)->SetText(mDID.c_str());
    mRegistry.Lookup(SETTINGS_VALUE_PASSWORD)->SetText(mPassword.c_str());
    mRegistry.Lookup(SETTINGS_VALUE_SAVE_PATH)->SetText(mSavePath.c_str());
    RegUnlockKey(mRegistry.mKey);
    mRegistry.Close();
}

}  // namespace zevo
