#include "session/aes.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <array>
#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "session/aes_backend.h"

namespace {

using zevo::aes::Backend;
using Block = std::array<unsigned char, 16>;

std::vector<unsigned char> FromHex(const std::string& hex) {
    std::vector<unsigned char> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// An independent reference for cross-checks: OpenSSL's single-block ECB.
Block OpenSslBlock(bool decrypt, int keyBits, const unsigned char* key, const unsigned char* in) {
    const EVP_CIPHER* cipher = keyBits == 128   ? EVP_aes_128_ecb()
                               : keyBits == 192 ? EVP_aes_192_ecb()
                                                : EVP_aes_256_ecb();
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(ctx, cipher, nullptr, key, nullptr, decrypt ? 0 : 1);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    Block out{};
    int n = 0;
    EVP_CipherUpdate(ctx, out.data(), &n, in, 16);
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

class AesBackendTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        if (GetParam() == Backend::AesNi && !zevo::aes::AesNiAvailable()) {
            GTEST_SKIP() << "processor has no AES instructions";
        }
    }
    int Encrypt(int bits, const unsigned char* in, int inLen, const unsigned char* key, int keyLen,
                unsigned char* out) {
        return zevo::aes::EncryptBlockWith(GetParam(), bits, in, inLen, key, keyLen, out);
    }
    int Decrypt(int bits, const unsigned char* in, int inLen, const unsigned char* key, int keyLen,
                unsigned char* out) {
        return zevo::aes::DecryptBlockWith(GetParam(), bits, in, inLen, key, keyLen, out);
    }
};

struct Vector {
    const char* name;
    int bits;
    const char* key;
    const char* plain;
    const char* cipher;
};

// FIPS-197 Appendix B and C.1 to C.3.
const Vector kFipsVectors[] = {
    {"B", 128, "2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
     "3925841d02dc09fbdc118597196a0b32"},
    {"C.1", 128, "000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
     "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {"C.2", 192, "000102030405060708090a0b0c0d0e0f1011121314151617",
     "00112233445566778899aabbccddeeff", "dda97ca4864cdfe06eaf70a0ec0d7191"},
    {"C.3", 256, "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
};

TEST_P(AesBackendTest, StandardVectorsEncryptAndDecryptBack) {
    for (const Vector& v : kFipsVectors) {
        SCOPED_TRACE(v.name);
        const auto key = FromHex(v.key);
        const auto plain = FromHex(v.plain);
        const auto cipher = FromHex(v.cipher);
        Block out{};
        ASSERT_EQ(Encrypt(v.bits, plain.data(), 16, key.data(), int(key.size()), out.data()), 16);
        EXPECT_EQ(std::vector<unsigned char>(out.begin(), out.end()), cipher);
        ASSERT_EQ(Decrypt(v.bits, cipher.data(), 16, key.data(), int(key.size()), out.data()), 16);
        EXPECT_EQ(std::vector<unsigned char>(out.begin(), out.end()), plain);
    }
}

TEST_P(AesBackendTest, ShortKeysAndInputsAreZeroFilledLongOnesCut) {
    const unsigned char password[] = "secret";  // six characters, as a login passes it
    unsigned char padded[32] = {};
    std::memcpy(padded, password, 6);
    const unsigned char block[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    Block a{}, b{};
    ASSERT_EQ(Encrypt(128, block, 16, password, 6, a.data()), 16);
    ASSERT_EQ(Encrypt(128, block, 16, padded, 16, b.data()), 16);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a, OpenSslBlock(false, 128, padded, block));

    // Same first 16 bytes, lengths 16 and 40: same key. Bytes past the key size never count.
    unsigned char longKey[40];
    for (int i = 0; i < 40; ++i) longKey[i] = static_cast<unsigned char>(0xA0 + i);
    ASSERT_EQ(Encrypt(128, block, 16, longKey, 16, a.data()), 16);
    ASSERT_EQ(Encrypt(128, block, 16, longKey, 40, b.data()), 16);
    EXPECT_EQ(a, b);
    // A 256-bit key of 20 bytes is those 20 followed by 12 zeros.
    unsigned char key256[32] = {};
    std::memcpy(key256, longKey, 20);
    ASSERT_EQ(Decrypt(256, block, 16, longKey, 20, a.data()), 16);
    EXPECT_EQ(a, OpenSslBlock(true, 256, key256, block));

    // An empty key is the all-zero key; an input of 5 bytes is zero-filled; an input
    // longer than a block uses its first 16 bytes.
    const unsigned char zeros[32] = {};
    ASSERT_EQ(Encrypt(128, block, 16, padded, 0, a.data()), 16);
    EXPECT_EQ(a, OpenSslBlock(false, 128, zeros, block));
    unsigned char five[16] = {1, 2, 3, 4, 5};
    ASSERT_EQ(Encrypt(128, block, 5, padded, 6, a.data()), 16);
    EXPECT_EQ(a, OpenSslBlock(false, 128, padded, five));
    unsigned char longInput[64];
    std::memcpy(longInput, block, 16);
    std::memset(longInput + 16, 0xEE, 48);
    ASSERT_EQ(Encrypt(128, longInput, 64, padded, 6, a.data()), 16);
    ASSERT_EQ(Encrypt(128, block, 16, padded, 6, b.data()), 16);
    EXPECT_EQ(a, b);
}

TEST_P(AesBackendTest, RefusalsReturnCodesAndLeaveOutputAlone) {
    const unsigned char block[16] = {0x11};
    const unsigned char key[16] = {0x22};
    Block out;
    out.fill(0xCC);
    const Block untouched = out;
    for (int bits : {0, 64, 127, 129, 512, -128}) {
        EXPECT_EQ(Encrypt(bits, block, 16, key, 16, out.data()), -1) << bits;
        EXPECT_EQ(Decrypt(bits, block, 16, key, 16, out.data()), -1) << bits;
    }
    // The key size is judged first.
    EXPECT_EQ(Encrypt(64, nullptr, 16, key, 16, nullptr), -1);
    EXPECT_EQ(Encrypt(128, block, 16, key, 16, nullptr), -2);
    EXPECT_EQ(Decrypt(128, block, 16, key, 16, nullptr), -2);
    EXPECT_EQ(Encrypt(128, nullptr, 16, key, 16, out.data()), -2);
    EXPECT_EQ(Decrypt(128, block, 16, nullptr, 16, out.data()), -2);
    EXPECT_EQ(Encrypt(128, block, -1, key, 16, out.data()), -2);
    EXPECT_EQ(Decrypt(128, block, 16, key, -5, out.data()), -2);
    EXPECT_EQ(out, untouched);
}

TEST_P(AesBackendTest, InPlaceAndAlternatingKeysGiveFreshResults) {
    // The per-thread schedule cache must notice every change of key bytes, key length
    // (a zero-filled byte) and key size.
    std::mt19937 rng(7);
    unsigned char keyA[32], keyB[32], block[16];
    for (auto& b : keyA) b = static_cast<unsigned char>(rng());
    std::memcpy(keyB, keyA, 32);
    keyB[15] ^= 1;
    for (auto& b : block) b = static_cast<unsigned char>(rng());
    unsigned char keyA15[32] = {};
    std::memcpy(keyA15, keyA, 15);
    unsigned char keyA24[32] = {};
    std::memcpy(keyA24, keyA, 24);

    struct Case {
        int bits;
        const unsigned char* key;
        int keyLength;
        const unsigned char* reference;
    } cases[] = {{128, keyA, 16, keyA},   {128, keyB, 16, keyB}, {128, keyA, 15, keyA15},
                 {192, keyA, 24, keyA24}, {256, keyA, 32, keyA}, {128, keyA, 16, keyA}};
    for (int pass = 0; pass < 2; ++pass) {
        for (const Case& c : cases) {
            SCOPED_TRACE(::testing::Message() << c.bits << "/" << c.keyLength);
            Block buf;
            std::memcpy(buf.data(), block, 16);
            ASSERT_EQ(Encrypt(c.bits, buf.data(), 16, c.key, c.keyLength, buf.data()), 16);
            EXPECT_EQ(buf, OpenSslBlock(false, c.bits, c.reference, block));
            ASSERT_EQ(Decrypt(c.bits, buf.data(), 16, c.key, c.keyLength, buf.data()), 16);
            EXPECT_EQ(0, std::memcmp(buf.data(), block, 16));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, AesBackendTest,
                         ::testing::Values(Backend::Portable, Backend::AesNi),
                         [](const ::testing::TestParamInfo<Backend>& p) {
                             return p.param == Backend::Portable ? "Portable" : "AesNi";
                         });

TEST(AesCipher, BackendsAgreeWithEachOtherAndOpenSsl) {
    std::mt19937 rng(2024);
    for (int i = 0; i < 3000; ++i) {
        const int bits = 128 + 64 * (i % 3);
        unsigned char key[32], block[16];
        for (auto& b : key) b = static_cast<unsigned char>(rng());
        for (auto& b : block) b = static_cast<unsigned char>(rng());
        const bool decrypt = (i / 3) % 2;
        auto run = decrypt ? zevo::aes::DecryptBlockWith : zevo::aes::EncryptBlockWith;
        Block portable{}, ni{}, pub{};
        ASSERT_EQ(run(Backend::Portable, bits, block, 16, key, 32, portable.data()), 16);
        ASSERT_EQ(run(Backend::AesNi, bits, block, 16, key, 32, ni.data()), 16);
        ASSERT_EQ(
            (decrypt ? AesDecryptBlock : AesEncryptBlock)(bits, block, 16, key, 32, pub.data()),
            16);
        const Block reference = OpenSslBlock(decrypt, bits, key, block);
        ASSERT_EQ(portable, reference) << "block " << i;
        ASSERT_EQ(ni, reference) << "block " << i;
        ASSERT_EQ(pub, reference) << "block " << i;
    }
}

TEST(AesCipher, ManyThreadsWhileAWindowDeletesTheLock) {
    // Four "readers" cipher under their own keys while one "window" keeps creating and
    // deleting the lock, as windows coming and going in one process would.
    AesInitLock();
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    std::atomic<bool> go{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &go, &failures] {
            unsigned char key[16], block[16];
            for (int i = 0; i < 16; ++i) {
                key[i] = static_cast<unsigned char>(t * 31 + i);
                block[i] = static_cast<unsigned char>(t + i * 7);
            }
            const Block expected = OpenSslBlock(false, 128, key, block);
            const unsigned char otherKey[16] = {static_cast<unsigned char>(t)};
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < kRounds; ++i) {
                Block c{}, p{};
                // Alternate keys so the threads' schedules keep changing too.
                AesEncryptBlock(128, block, 16, (i & 1) ? otherKey : key, 16, c.data());
                if (i & 1) continue;
                if (c != expected) failures.fetch_add(1);
                if (AesDecryptBlock(128, c.data(), 16, key, 16, p.data()) != 16 ||
                    std::memcmp(p.data(), block, 16) != 0) {
                    failures.fetch_add(1);
                }
            }
        });
    }
    std::thread window([&go] {
        while (!go.load()) std::this_thread::yield();
        for (int i = 0; i < 200; ++i) {
            AesDeleteLock();
            std::this_thread::yield();
            AesInitLock();
        }
        AesDeleteLock();
    });
    go.store(true);
    for (auto& th : threads) th.join();
    window.join();
    EXPECT_EQ(failures.load(), 0);

    // A call after every window has gone still works.
    const auto key = FromHex(kFipsVectors[0].key);
    const auto plain = FromHex(kFipsVectors[0].plain);
    Block out{};
    ASSERT_EQ(AesEncryptBlock(128, plain.data(), 16, key.data(), 16, out.data()), 16);
    EXPECT_EQ(std::vector<unsigned char>(out.begin(), out.end()), FromHex(kFipsVectors[0].cipher));
}

}  // namespace
