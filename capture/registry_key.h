#pragma once
// One registry key with its values cached by name. A value set through the cache is
// written to the registry at once; a value read comes from the cache (reloaded first
// when the key asks for it).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace zevo {

// Flags of RegistryKey::mFlags.
constexpr uint32_t REGKEY_CREATE = 1;           // create the key when opening
constexpr uint32_t REGKEY_OPEN_PER_ACCESS = 2;  // open the key only around each read/write
constexpr uint32_t REGKEY_RELOAD_ON_READ = 4;   // reload every value before each read
constexpr uint32_t REGKEY_LOADING = 8;          // values are being loaded: do not write back

// Bytes of a cached text and of a value name, terminator included.
constexpr size_t REGVALUE_TEXT_SIZE = 2048;
// Characters of the name buffer used while loading, terminator included.
constexpr uint32_t REGKEY_NAME_BUFFER = 260;
// Bytes of the data buffer used while loading.
constexpr uint32_t REGKEY_DATA_BUFFER = 2048;

class RegistryKey;

class RegistryValue {
public:
    RegistryValue(RegistryKey* owner, const char* name);
    virtual ~RegistryValue();
    RegistryValue(const RegistryValue&) = delete;
    RegistryValue& operator=(const RegistryValue&) = delete;

    // The value as text inside mText, valid until the value changes.
    const char* GetText();

    RegistryValue& SetText(const char* text);
    RegistryValue& SetDword(uint32_t value);
    RegistryValue& SetBinary(const unsigned char* data, uint32_t size);
    // block holds NUL-terminated strings one after another, ended by an empty one.
    RegistryValue& SetMultiText(const char* block, uint32_t size);

    std::string mName;
    uint32_t mType = REG_NONE;
    RegistryKey* mOwner;
    uint32_t mDword = 0;
    std::unique_ptr<char[]> mText;  // REGVALUE_TEXT_SIZE bytes once used
    std::vector<unsigned char> mBinary;
    std::vector<std::string> mStrings;

private:
    void AllocateText();
    // Writes the value through the owner's key (reopening it for a per-access key).
    void WriteBack(uint32_t type, const unsigned char* data, uint32_t size);
};

class RegistryKey {
public:
    explicit RegistryKey(uint32_t flags = 0) : mFlags(flags) {}
    virtual ~RegistryKey();
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // Opens (reopen 0: a caller's open) the key at path under root. True when the key is
    // open and, for a caller's open, its values are loaded.
    bool Open(const char* path, HKEY root, uint32_t access, uint8_t reopen = 0);
    // The cached value of that name (any case), created empty when missing; never null.
    RegistryValue* Lookup(const char* name);
    // Closes the key handle if one is open; the cache stays.
    void Close();
    // Reads every value of the key into the cache.
    bool LoadValues();

    HKEY mKey = nullptr;
    uint32_t mFlags;
    HKEY mRoot = nullptr;
    std::optional<std::string> mPath;
    std::vector<std::unique_ptr<RegistryValue>> mValues;
};

}  // namespace zevo
