#include "capture/registry_key.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/platform/test_home.h"

namespace zevo {
namespace {

constexpr const char* kPath = "Software\\Test\\Key";
constexpr uint32_t kAccess = KEY_QUERY_VALUE | KEY_SET_VALUE;

class RegistryKeyTest : public ::testing::Test {
protected:
    // Direct access to the hive, beside the object under test.
    static int RawSet(const char* name, uint32_t type, const void* data, uint32_t size,
                      const char* path = kPath) {
        HKEY key = nullptr;
        int rc = RegCreateKeyEx(HKEY_CURRENT_USER, path, KEY_SET_VALUE, &key, nullptr);
        if (rc != REG_SUCCESS) return rc;
        rc = RegSetValueEx(key, name, type, static_cast<const unsigned char*>(data), size);
        RegCloseKey(key);
        return rc;
    }
    static int RawSetText(const char* name, const std::string& text, const char* path = kPath) {
        return RawSet(name, REG_SZ, text.c_str(), static_cast<uint32_t>(text.size() + 1), path);
    }
    // The stored data of a value, or "<none>".
    static std::string RawGet(const char* name, uint32_t* type = nullptr) {
        HKEY key = nullptr;
        if (RegOpenKeyEx(HKEY_CURRENT_USER, kPath, KEY_QUERY_VALUE, &key) != REG_SUCCESS)
            return "<none>";
        std::vector<unsigned char> data(1 << 16);
        uint32_t size = static_cast<uint32_t>(data.size());
        int rc = RegQueryValueEx(key, name, type, data.data(), &size);
        RegCloseKey(key);
        if (rc != REG_SUCCESS) return "<none>";
        return std::string(reinterpret_cast<char*>(data.data()), size);
    }

    test::TempHome mHome;
};

TEST_F(RegistryKeyTest, OpenCreatesOnlyWithTheCreateFlag) {
    RegistryKey plain;
    EXPECT_FALSE(plain.Open(kPath, HKEY_CURRENT_USER, kAccess));
    EXPECT_EQ(plain.mKey, nullptr);
    ASSERT_TRUE(plain.mPath);
    EXPECT_EQ(*plain.mPath, kPath);  // remembered even though the key is missing

    RegistryKey creating(REGKEY_CREATE);
    ASSERT_TRUE(creating.Open(kPath, HKEY_CURRENT_USER, kAccess));
    EXPECT_NE(creating.mKey, nullptr);
    EXPECT_EQ(creating.mRoot, HKEY_CURRENT_USER);
    creating.Close();
    EXPECT_EQ(creating.mKey, nullptr);

    EXPECT_TRUE(plain.Open(kPath, HKEY_CURRENT_USER, kAccess));
    // A reopen with nothing stored has nothing to open.
    RegistryKey fresh(REGKEY_CREATE);
    EXPECT_FALSE(fresh.Open(nullptr, nullptr, KEY_SET_VALUE, 1));
}

TEST_F(RegistryKeyTest, OpenLoadsEveryTypeAndGetTextRendersIt) {
    const unsigned char binary[] = {'r', 'a', 'w', 0, 'x'};
    const char multi[] = "first\0second\0\0";
    uint32_t dword = 4000000000u;
    ASSERT_EQ(RawSetText("Text", "hello"), REG_SUCCESS);
    ASSERT_EQ(RawSet("Number", REG_DWORD, &dword, 4), REG_SUCCESS);
    ASSERT_EQ(RawSet("Bytes", REG_BINARY, binary, sizeof binary), REG_SUCCESS);
    ASSERT_EQ(RawSet("List", REG_MULTI_SZ, multi, sizeof multi), REG_SUCCESS);
    ASSERT_EQ(RawSet("Odd", 11, "qword!!!", 8), REG_SUCCESS);  // a type the cache skips

    RegistryKey key(REGKEY_CREATE);
    ASSERT_TRUE(key.Open(kPath, HKEY_CURRENT_USER, kAccess));
    ASSERT_EQ(key.mValues.size(), 4u);  // in the order of the hive
    EXPECT_EQ(key.mValues[0]->mName, "Text");
    EXPECT_EQ(key.mValues[3]->mName, "List");

    EXPECT_STREQ(key.Lookup("text")->GetText(), "hello");
    EXPECT_EQ(key.Lookup("Number")->mType, REG_DWORD);
    EXPECT_EQ(key.Lookup("Number")->mDword, dword);
    EXPECT_STREQ(key.Lookup("NUMBER")->GetText(), "4000000000");
    RegistryValue* bytes = key.Lookup("Bytes");
    EXPECT_EQ(bytes->mBinary, std::vector<unsigned char>(binary, binary + sizeof binary));
    EXPECT_EQ(std::string(bytes->GetText(), 4), std::string("raw\0", 4));
    RegistryValue* list = key.Lookup("List");
    EXPECT_EQ(list->mStrings, (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(std::memcmp(list->GetText(), "first\0second\0\0", 14), 0);

    // A value the hive does not have reads as empty text.
    RegistryValue* missing = key.Lookup("Missing");
    EXPECT_EQ(missing->mType, REG_NONE);
    EXPECT_STREQ(missing->GetText(), "");
    EXPECT_EQ(key.mValues.size(), 5u);
}

TEST_F(RegistryKeyTest, LookupSearchesFromTheLastValueWithoutRegardToCase) {
    RegistryKey key;  // never opened: a pure cache
    RegistryValue* first = key.Lookup("Name");
    EXPECT_EQ(key.Lookup("NAME"), first);
    EXPECT_EQ(key.Lookup("name"), first);
    EXPECT_EQ(first->mOwner, &key);
    EXPECT_EQ(key.mValues.size(), 1u);

    // Two cached entries matching one name (as a load of a differently cased hive can
    // leave): the later one wins.
    key.mValues.push_back(std::make_unique<RegistryValue>(&key, "nAmE"));
    EXPECT_EQ(key.Lookup("Name"), key.mValues.back().get());

    // Names are cut to what the cache holds.
    std::string longName(3000, 'n');
    EXPECT_EQ(key.Lookup(longName.c_str())->mName.size(), REGVALUE_TEXT_SIZE - 1);
    EXPECT_NE(key.Lookup(nullptr), nullptr);
}

TEST_F(RegistryKeyTest, CacheOutlivesCloseAndIsDroppedForAnotherPath) {
    ASSERT_EQ(RawSetText("A", "from hive"), REG_SUCCESS);
    RegistryKey key(REGKEY_CREATE);
    ASSERT_TRUE(key.Open(kPath, HKEY_CURRENT_USER, kAccess));
    key.Close();
    EXPECT_STREQ(key.Lookup("A")->GetText(), "from hive");

    // While closed, a set only reaches the cache.
    key.Lookup("A")->SetText("cache only");
    EXPECT_EQ(RawGet("A"), std::string("from hive\0", 10));

    // Reopening the same path (any case) reloads into the same cache.
    ASSERT_TRUE(key.Open("SOFTWARE\\test\\KEY", HKEY_CURRENT_USER, kAccess));
    EXPECT_STREQ(key.Lookup("A")->GetText(), "from hive");
    EXPECT_EQ(*key.mPath, kPath);

    // Another path: the old values are gone.
    ASSERT_TRUE(key.Open("Software\\Test\\Other", HKEY_CURRENT_USER, kAccess));
    EXPECT_TRUE(key.mValues.empty());
    EXPECT_EQ(*key.mPath, "Software\\Test\\Other");
}

TEST_F(RegistryKeyTest, SettersWriteAtOnceUnlessLoading) {
    RegistryKey key(REGKEY_CREATE);
    ASSERT_TRUE(key.Open(kPath, HKEY_CURRENT_USER, kAccess));
    uint32_t type = 0;

    key.Lookup("Text")->SetText("written");
    EXPECT_EQ(RawGet("Text", &type), std::string("written\0", 8));
    EXPECT_EQ(type, REG_SZ);

    key.Lookup("Number")->SetDword(0xDEADBEEF);
    EXPECT_EQ(RawGet("Number", &type), std::string("\xEF\xBE\xAD\xDE", 4));
    EXPECT_EQ(type, REG_DWORD);

    const unsigned char bytes[] = {9, 8, 7};
    key.Lookup("Bytes")->SetBinary(bytes, 3);
    EXPECT_EQ(RawGet("Bytes", &type), "\x09\x08\x07");
    EXPECT_EQ(type, REG_BINARY);
    key.Lookup("Bytes")->SetBinary(bytes, 0);  // an empty block changes nothing
    EXPECT_EQ(key.Lookup("Bytes")->mBinary.size(), 3u);
    EXPECT_EQ(RawGet("Bytes"), "\x09\x08\x07");

    key.Lookup("List")->SetMultiText("a\0bc\0", 6);
    EXPECT_EQ(RawGet("List", &type), std::string("a\0bc\0\0", 6));
    EXPECT_EQ(type, REG_MULTI_SZ);
    EXPECT_EQ(key.Lookup("List")->mStrings, (std::vector<std::string>{"a", "bc"}));

    // A stored name in another case is written under that name, not a new one.
    key.Lookup("TEXT")->SetText("again");
    EXPECT_EQ(RawGet("text"), std::string("again\0", 6));
    EXPECT_EQ(key.mValues.size(), 4u);

    key.mFlags |= REGKEY_LOADING;
    key.Lookup("Text")->SetText("not written");
    key.mFlags &= ~REGKEY_LOADING;
    EXPECT_STREQ(key.Lookup("Text")->GetText(), "not written");
    EXPECT_EQ(RawGet("Text"), std::string("again\0", 6));
}

TEST_F(RegistryKeyTest, TextLimitCutsTheCacheButNotTheHive) {
    RegistryKey key(REGKEY_CREATE);
    ASSERT_TRUE(key.Open(kPath, HKEY_CURRENT_USER, kAccess));
    std::string longText(3000, 'p');
    longText[2046] = 'A';
    longText[2047] = 'B';
    key.Lookup("Long")->SetText(longText.c_str());

    const char* cached = key.Lookup("Long")->GetText();
    EXPECT_EQ(std::strlen(cached), REGVALUE_TEXT_SIZE - 1);
    EXPECT_EQ(cached[2046], 'A');  // 2047 characters and the terminator
    EXPECT_EQ(RawGet("Long"), longText + '\0');

    // Exactly 2047 characters still fit whole.
    std::string fits(2047, 'f');
    key.Lookup("Fits")->SetText(fits.c_str());
    EXPECT_EQ(key.Lookup("Fits")->GetText(), fits);

    // On the next load a value over the data buffer is skipped; so is a name over 259.
    std::string longName(260, 'N');
    ASSERT_EQ(RawSetText(longName.c_str(), "x"), REG_SUCCESS);
    ASSERT_EQ(RawSetText(std::string(259, 'M').c_str(), "kept"), REG_SUCCESS);
    RegistryKey reader;
    ASSERT_TRUE(reader.Open(kPath, HKEY_CURRENT_USER, kAccess));
    EXPECT_EQ(reader.Lookup("Long")->mType, REG_NONE);
    EXPECT_EQ(reader.Lookup("Fits")->GetText(), fits);
    EXPECT_STREQ(reader.Lookup(std::string(259, 'm').c_str())->GetText(), "kept");
    EXPECT_EQ(reader.mValues.size(), 3u);  // Fits and the 259 name, then Long looked up
}

TEST_F(RegistryKeyTest, LoadingDamagedDataStaysInsideItsBuffers) {
    // Text without a terminator, a short number, a list without terminators.
    ASSERT_EQ(RawSet("Bare", REG_SZ, "abc", 3), REG_SUCCESS);
    ASSERT_EQ(RawSet("Short", REG_DWORD, "\x07\x01", 2), REG_SUCCESS);
    ASSERT_EQ(RawSet("List", REG_MULTI_SZ, "one\0two", 7), REG_SUCCESS);
    std::string full(REGKEY_DATA_BUFFER, 'F');  // fills the buffer, no terminator
    ASSERT_EQ(RawSet("Full", REG_SZ, full.data(), static_cast<uint32_t>(full.size())), REG_SUCCESS);

    RegistryKey key;
    ASSERT_TRUE(key.Open(kPath, HKEY_CURRENT_USER, kAccess));
    EXPECT_STREQ(key.Lookup("Bare")->GetText(), "abc");
    EXPECT_EQ(key.Lookup("Short")->mDword, 0x0107u);
    EXPECT_EQ(key.Lookup("List")->mStrings, (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(key.Lookup("Full")->GetText(), full.substr(0, REGVALUE_TEXT_SIZE - 1));

    // A long list renders inside the text buffer with its closing zeros.
    std::string block;
    for (int i = 0; i < 300; ++i) block += "string" + std::to_string(i) + '\0';
    block += '\0';
    RegistryValue* many = key.Lookup("Many");
    many->SetMultiText(block.data(), static_cast<uint32_t>(block.size()));
    EXPECT_EQ(many->mStrings.size(), 300u);
    const char* text = many->GetText();
    EXPECT_EQ(std::memcmp(text, block.data(), 2000), 0);
    EXPECT_EQ(text[REGVALUE_TEXT_SIZE - 1], '\0');
}

TEST_F(RegistryKeyTest, ReloadOnReadSeesOtherWriters) {
    ASSERT_EQ(RawSetText("Shared", "one"), REG_SUCCESS);
    RegistryKey steady;
    RegistryKey reloading(REGKEY_RELOAD_ON_READ);
    ASSERT_TRUE(steady.Open(kPath, HKEY_CURRENT_USER, kAccess));
    ASSERT_TRUE(reloading.Open(kPath, HKEY_CURRENT_USER, kAccess));

    ASSERT_EQ(RawSetText("Shared", "two"), REG_SUCCESS);
    EXPECT_STREQ(steady.Lookup("Shared")->GetText(), "one");
    EXPECT_STREQ(reloading.Lookup("Shared")->GetText(), "two");

    // Once closed there is no key to reload from: the cache answers.
    reloading.Close();
    ASSERT_EQ(RawSetText("Shared", "three"), REG_SUCCESS);
    EXPECT_STREQ(reloading.Lookup("Shared")->GetText(), "two");
}

TEST_F(RegistryKeyTest, PerAccessKeyIsOpenOnlyAroundEachReadAndWrite) {
    ASSERT_EQ(RawSetText("Value", "start"), REG_SUCCESS);
    RegistryKey key(REGKEY_CREATE | REGKEY_OPEN_PER_ACCESS | REGKEY_RELOAD_ON_READ);
    // Asked for query only; writes still work since each reopens for setting.
    ASSERT_TRUE(key.Open(kPath, HKEY_CURRENT_USER, KEY_QUERY_VALUE));
    EXPECT_EQ(key.mKey, nullptr);
    EXPECT_EQ(key.mFlags, REGKEY_CREATE | REGKEY_OPEN_PER_ACCESS | REGKEY_RELOAD_ON_READ);
    EXPECT_STREQ(key.Lookup("Value")->GetText(), "start");

    key.Lookup("Value")->SetText("per access");
    EXPECT_EQ(key.mKey, nullptr);
    EXPECT_EQ(RawGet("Value"), std::string("per access\0", 11));

    ASSERT_EQ(RawSetText("Value", "outside"), REG_SUCCESS);
    EXPECT_STREQ(key.Lookup("Value")->GetText(), "outside");
    EXPECT_EQ(key.mKey, nullptr);

    // Without the create flag a per-access key that vanished from reach cannot be
    // reopened: the write is lost to the cache only, and nothing crashes.
    RegistryKey missing(REGKEY_OPEN_PER_ACCESS);
    EXPECT_FALSE(missing.Open("Software\\Nowhere", HKEY_CURRENT_USER, kAccess));
    missing.Lookup("V")->SetText("cached");
    EXPECT_STREQ(missing.Lookup("V")->GetText(), "cached");
    EXPECT_FALSE(missing.LoadValues());
}

TEST_F(RegistryKeyTest, TextSetRightBeforeAKillIsOnDisk) {
    pid_t child = test::StartChild([] {
        RegistryKey key(REGKEY_CREATE);
        if (!key.Open(kPath, HKEY_CURRENT_USER, kAccess)) return 2;
        key.Lookup("Last")->SetText("survives");
        kill(getpid(), SIGKILL);
        return 3;
    });
    ASSERT_GT(child, 0);
    int status = test::WaitChild(child);
    ASSERT_TRUE(WIFSIGNALED(status));

    RegistryKey key;
    ASSERT_TRUE(key.Open(kPath, HKEY_CURRENT_USER, kAccess));
    EXPECT_STREQ(key.Lookup("Last")->GetText(), "survives");
}

}  // namespace
}  // namespace zevo
