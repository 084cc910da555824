#include "capture/registry_key.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

namespace zevo {
namespace {

uint32_t ClampSize(size_t size) {
    return static_cast<uint32_t>(std::min<size_t>(size, std::numeric_limits<uint32_t>::max()));
}

}  // namespace

// ---- RegistryValue ---------------------------------------------------------------

RegistryValue::RegistryValue(RegistryKey* owner, const char* name)
    : mName(name ? name : "", name ? strnlen(name, REGVALUE_TEXT_SIZE - 1) : 0), mOwner(owner) {}

RegistryValue::~RegistryValue() = default;

void RegistryValue::AllocateText() {
    if (!mText) mText = std::make_unique<char[]>(REGVALUE_TEXT_SIZE);  // zeroed: empty text
}

void RegistryValue::WriteBack(uint32_t type, const unsigned char* data, uint32_t size) {
    RegistryKey* owner = mOwner;
    if (!owner || (owner->mFlags & REGKEY_LOADING)) return;
    bool perAccess = (owner->mFlags & REGKEY_OPEN_PER_ACCESS) != 0;
    if (perAccess) owner->Open(nullptr, nullptr, KEY_SET_VALUE, 1);
    // A failed write is not reported: the cache keeps the value either way.
    if (owner->mKey) RegSetValueEx(owner->mKey, mName.c_str(), type, data, size);
    if (perAccess) owner->Close();
}

const char* RegistryValue::GetText() {
    RegistryKey* owner = mOwner;
    if (owner && (owner->mFlags & REGKEY_RELOAD_ON_READ) && !(owner->mFlags & REGKEY_LOADING) &&
        (owner->mKey || ((owner->mFlags & REGKEY_OPEN_PER_ACCESS) && owner->mPath)))
        owner->LoadValues();

    AllocateText();
    char* text = mText.get();
    switch (mType) {
        case REG_BINARY: {
            size_t n = std::min(mBinary.size(), REGVALUE_TEXT_SIZE - 1);
            if (n) std::memcpy(text, mBinary.data(), n);
            text[n] = '\0';
            break;
        }
        case REG_DWORD:
            std::snprintf(text, REGVALUE_TEXT_SIZE, "%lu", static_cast<unsigned long>(mDword));
            break;
        case REG_MULTI_SZ: {
            // Each string with its terminator, then the closing 0, all inside the buffer.
            const size_t limit = REGVALUE_TEXT_SIZE - 2;
            size_t pos = 0;
            for (const std::string& s : mStrings) {
                if (pos >= limit) break;
                size_t n = std::min(s.size(), limit - pos);
                std::memcpy(text + pos, s.data(), n);
                pos += n;
                text[pos++] = '\0';
            }
            text[pos] = '\0';
            break;
        }
        default:  // REG_SZ and a value never set keep the cached text
            break;
    }
    return text;
}

RegistryValue& RegistryValue::SetText(const char* text) {
    if (!text) text = "";
    AllocateText();
    mType = REG_SZ;
    size_t length = std::strlen(text);
    size_t cached = std::min(length, REGVALUE_TEXT_SIZE - 1);
    std::memcpy(mText.get(), text, cached);
    mText[cached] = '\0';
    // The registry gets the whole text, whatever the cache could hold.
    WriteBack(REG_SZ, reinterpret_cast<const unsigned char*>(text), ClampSize(length + 1));
    return *this;
}

RegistryValue& RegistryValue::SetDword(uint32_t value) {
    mDword = value;
    mType = REG_DWORD;
    unsigned char bytes[4];
    std::memcpy(bytes, &value, sizeof bytes);
    WriteBack(REG_DWORD, bytes, sizeof bytes);
    return *this;
}

RegistryValue& RegistryValue::SetBinary(const unsigned char* data, uint32_t size) {
    if (!data || size == 0) return *this;
    mBinary.assign(data, data + size);
    mType = REG_BINARY;
    WriteBack(REG_BINARY, data, size);
    return *this;
}

RegistryValue& RegistryValue::SetMultiText(const char* block, uint32_t size) {
    if (!block) size = 0;
    mStrings.clear();
    // Never read past size, even when the block lacks its terminators.
    size_t pos = 0;
    while (pos < size) {
        size_t n = strnlen(block + pos, size - pos);
        if (n == 0) break;
        mStrings.emplace_back(block + pos, n);
        pos += n + 1;
    }
    mType = REG_MULTI_SZ;
    WriteBack(REG_MULTI_SZ, reinterpret_cast<const unsigned char*>(block), size);
    return *this;
}

// ---- RegistryKey -----------------------------------------------------------------

RegistryKey::~RegistryKey() {
    Close();
}

bool RegistryKey::Open(const char* path, HKEY root, uint32_t access, uint8_t reopen) {
    if (!reopen) {
        if (!path) return false;
        if (!mPath) {
            mPath = path;
        } else if (!RegNamesEqual(mPath->c_str(), path)) {
            // Another key: the cached values belong to the old one.
            mValues.clear();
            mPath = path;
        }
        mRoot = root;
    }
    if (!mPath) return false;
    if (mKey) Close();

    uint32_t rights = access;
    if ((mFlags & REGKEY_OPEN_PER_ACCESS) && !reopen) {
        rights = KEY_QUERY_VALUE | KEY_CREATE_SUB_KEY;
    } else if (mFlags & REGKEY_CREATE) {
        rights |= KEY_CREATE_SUB_KEY;
    }

    HKEY key = nullptr;
    int rc = (mFlags & REGKEY_CREATE) ? RegCreateKeyEx(mRoot, mPath->c_str(), rights, &key, nullptr)
                                      : RegOpenKeyEx(mRoot, mPath->c_str(), rights, &key);
    if (rc != REG_SUCCESS) return false;
    mKey = key;
    if (reopen) return true;
    return LoadValues();
}

RegistryValue* RegistryKey::Lookup(const char* name) {
    if (!name) name = "";
    for (auto it = mValues.rbegin(); it != mValues.rend(); ++it) {
        if (RegNamesEqual((*it)->mName.c_str(), name)) return it->get();
    }
    mValues.push_back(std::make_unique<RegistryValue>(this, name));
    return mValues.back().get();
}

void RegistryKey::Close() {
    if (mKey) {
        RegCloseKey(mKey);
        mKey = nullptr;
    }
}

bool RegistryKey::LoadValues() {
    if ((mFlags & REGKEY_OPEN_PER_ACCESS) && !mKey) {
        if (!Open(nullptr, nullptr, KEY_QUERY_VALUE, 1)) return false;
    }
    uint32_t count = 0;
    if (!mKey) return false;
    if (RegQueryInfoKey(mKey, &count, nullptr, nullptr) != REG_SUCCESS) {
        if (mFlags & REGKEY_OPEN_PER_ACCESS) Close();  // per-access keys stay closed
        return false;
    }

    // One spare byte so that text data without its terminator still ends inside.
    std::vector<unsigned char> data(REGKEY_DATA_BUFFER + 1);
    const uint32_t saved = mFlags;
    mFlags = (mFlags | REGKEY_LOADING) & ~REGKEY_OPEN_PER_ACCESS;
    mValues.reserve(count);

    for (uint32_t index = 0; index < count; ++index) {
        char name[REGKEY_NAME_BUFFER];
        uint32_t nameChars = REGKEY_NAME_BUFFER;
        uint32_t type = REG_NONE;
        uint32_t size = REGKEY_DATA_BUFFER;
        if (RegEnumValue(mKey, index, name, &nameChars, &type, data.data(), &size) != REG_SUCCESS)
            continue;  // too long a name or value, or the value went away
        switch (type) {
            case REG_SZ:
                data[size] = 0;
                Lookup(name)->SetText(reinterpret_cast<const char*>(data.data()));
                break;
            case REG_BINARY:
                Lookup(name)->SetBinary(data.data(), size);
                break;
            case REG_DWORD: {
                // A short value must not pick up bytes of an earlier one.
                uint32_t value = 0;
                std::memcpy(&value, data.data(), std::min<uint32_t>(size, sizeof value));
                Lookup(name)->SetDword(value);
                break;
            }
            case REG_MULTI_SZ:
                Lookup(name)->SetMultiText(reinterpret_cast<const char*>(data.data()), size);
                break;
            default:
                break;
        }
    }

    mFlags = saved;
    if (saved & REGKEY_OPEN_PER_ACCESS) Close();
    return true;
}

}  // namespace zevo
