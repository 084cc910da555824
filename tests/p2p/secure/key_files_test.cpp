// The service's seed file and the viewer's pinned-key file on disk.
#include "p2p/secure/key_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace secure = zevo::p2p::secure;
namespace fs = std::filesystem;

namespace {

class KeyFiles : public testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/zevo-keyfiles-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        mDir = name;
    }
    void TearDown() override { fs::remove_all(mDir); }
    std::string Write(const std::string& name, const std::string& text, mode_t mode) {
        std::string path = mDir + "/" + name;
        std::ofstream(path) << text;
        chmod(path.c_str(), mode);
        return path;
    }
    std::string mDir;
};

TEST_F(KeyFiles, CreatedSeedLoadsBackToTheSameKeyAndIsNeverOverwritten) {
    const std::string path = mDir + "/signing.key";
    secure::ServicePublicKey created;
    std::string error;
    ASSERT_TRUE(secure::CreateServiceSeedFile(path, &created, &error)) << error;
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    uint8_t seed[secure::kServiceSeedSize];
    ASSERT_TRUE(secure::LoadServiceSeedFile(path, seed, &error)) << error;
    secure::ServiceSigningKey key;
    key.FromSeed(seed);
    EXPECT_EQ(0, std::memcmp(key.publicKey().key, created.key, secure::kServicePublicKeySize));

    secure::ServicePublicKey again;
    EXPECT_FALSE(secure::CreateServiceSeedFile(path, &again, &error));
    uint8_t after[secure::kServiceSeedSize];
    ASSERT_TRUE(secure::LoadServiceSeedFile(path, after, &error));
    EXPECT_EQ(0, std::memcmp(seed, after, sizeof seed));
}

TEST_F(KeyFiles, SeedFilesRefused) {
    const std::string hex(64, 'a');
    struct {
        const char* name;
        std::string text;
        mode_t mode;
    } cases[] = {
        {"group-readable", hex + "\n", 0640},    {"world-readable", hex, 0604},
        {"short", hex.substr(1) + "\n", 0600},   {"two newlines", hex + "\n\n", 0600},
        {"not hex", std::string(64, 'z'), 0600},
    };
    uint8_t seed[secure::kServiceSeedSize];
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(secure::LoadServiceSeedFile(Write(c.name, c.text, c.mode), seed, &error))
            << c.name;
        EXPECT_NE(error.find(c.name), std::string::npos) << c.name << ": " << error;
    }
    std::string error;
    EXPECT_TRUE(secure::LoadServiceSeedFile(Write("good", hex, 0600), seed, &error)) << error;
}

TEST_F(KeyFiles, PinnedKeyFiles) {
    secure::ServiceSigningKey service;
    service.Generate();
    const std::string good = Write("pinned", secure::FormatPinnedKey(service.publicKey()), 0644);
    std::vector<secure::ServicePublicKey> keys;
    std::string error;
    ASSERT_TRUE(secure::LoadPinnedKeyFile(good, &keys, &error)) << error;
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(0, std::memcmp(keys[0].key, service.publicKey().key, 32));

    const std::string link = mDir + "/link";
    ASSERT_EQ(symlink(good.c_str(), link.c_str()), 0);
    std::string big(secure::kMaxKeyFileSize + 1, '#');
    const std::string refused[] = {
        mDir + "/missing",
        mDir,  // a directory
        link,  // followed links would let anyone who can write the folder swap the trust
        Write("big", big, 0644),
        Write("garbage", "hello\n", 0644),
    };
    for (const auto& path : refused) {
        keys.clear();
        error.clear();
        EXPECT_FALSE(secure::LoadPinnedKeyFile(path, &keys, &error)) << path;
        EXPECT_TRUE(keys.empty()) << path;
        EXPECT_NE(error.find(path), std::string::npos) << error;
    }
}

}  // namespace
