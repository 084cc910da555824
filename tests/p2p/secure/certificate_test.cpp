// Certificate layout checks and the pinned-key file a viewer trusts.
#include "p2p/secure/certificate.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <string>

namespace secure = zevo::p2p::secure;

namespace {

constexpr char kDid[] = "ZEVO-000001-ABCDE";

TEST(Certificate, IssuedCertificateParsesBack) {
    secure::ServiceSigningKey service;
    uint8_t seed[secure::kServiceSeedSize] = {1, 2, 3};
    service.FromSeed(seed);
    secure::KeyPair device;
    device.Generate();
    uint8_t cert[secure::kCertificateSize];
    ASSERT_TRUE(service.Issue(kDid, device.pub, 1000, 2000, cert));
    secure::Certificate c;
    ASSERT_TRUE(secure::ParseCertificate(cert, sizeof cert, &c));
    EXPECT_STREQ(c.did, kDid);
    EXPECT_EQ(0, std::memcmp(c.devicePublic, device.pub, secure::kDhSize));
    EXPECT_EQ(c.notBefore, 1000u);
    EXPECT_EQ(c.notAfter, 2000u);
    EXPECT_EQ(0, std::memcmp(c.keyId, service.publicKey().id, secure::kKeyIdSize));
    // The same seed gives the same key: the service's key survives restarts in its seed.
    secure::ServiceSigningKey again;
    again.FromSeed(seed);
    EXPECT_EQ(0, std::memcmp(again.publicKey().key, service.publicKey().key,
                             secure::kServicePublicKeySize));

    EXPECT_FALSE(service.Issue("", device.pub, 1000, 2000, cert));
    EXPECT_FALSE(service.Issue("bad did!", device.pub, 1000, 2000, cert));
    EXPECT_FALSE(service.Issue(kDid, device.pub, 2000, 1000, cert));
}

TEST(Certificate, MalformedLayoutsAreRefused) {
    secure::ServiceSigningKey service;
    service.Generate();
    secure::KeyPair device;
    device.Generate();
    uint8_t good[secure::kCertificateSize];
    ASSERT_TRUE(service.Issue(kDid, device.pub, 1000, 2000, good));
    struct Case {
        const char* name;
        std::function<void(uint8_t*)> alter;
    } cases[] = {
        {"version", [](uint8_t* c) { c[0] = 2; }},
        {"flags", [](uint8_t* c) { c[1] = 1; }},
        {"empty DID", [](uint8_t* c) { std::memset(c + 2, 0, 24); }},
        {"DID fills its field", [](uint8_t* c) { std::memset(c + 2, 'A', 24); }},
        {"byte after the DID's NUL", [](uint8_t* c) { c[2 + 23] = 'X'; }},
        {"DID character", [](uint8_t* c) { c[2] = '/'; }},
        {"validity ends before it starts", [](uint8_t* c) { c[58 + 7] = 0xFF; }},
    };
    secure::Certificate parsed;
    for (const auto& c : cases) {
        uint8_t cert[secure::kCertificateSize];
        std::memcpy(cert, good, sizeof cert);
        c.alter(cert);
        EXPECT_FALSE(secure::ParseCertificate(cert, sizeof cert, &parsed)) << c.name;
        EXPECT_EQ(secure::VerifyCertificate(cert, sizeof cert, {service.publicKey()}, kDid,
                                            device.pub, 1500),
                  secure::VouchResult::kMalformed)
            << c.name;
    }
    EXPECT_FALSE(secure::ParseCertificate(good, sizeof good - 1, &parsed));
    EXPECT_FALSE(secure::ParseCertificate(nullptr, 0, &parsed));
    EXPECT_TRUE(secure::ParseCertificate(good, sizeof good, &parsed));
}

TEST(Certificate, AnySignedByteAlteredFailsTheSignature) {
    secure::ServiceSigningKey service;
    service.Generate();
    secure::KeyPair device;
    device.Generate();
    uint8_t good[secure::kCertificateSize];
    ASSERT_TRUE(service.Issue(kDid, device.pub, 1000, 2000, good));
    ASSERT_EQ(
        secure::VerifyCertificate(good, sizeof good, {service.publicKey()}, kDid, device.pub, 1500),
        secure::VouchResult::kOk);
    for (size_t i = 0; i < secure::kCertificateSize; ++i) {
        uint8_t cert[secure::kCertificateSize];
        std::memcpy(cert, good, sizeof cert);
        cert[i] ^= 0x01;
        // Any result but acceptance; the DID, key and validity are only read once signed.
        EXPECT_NE(secure::VerifyCertificate(cert, sizeof cert, {service.publicKey()}, kDid,
                                            device.pub, 1500),
                  secure::VouchResult::kOk)
            << "byte " << i;
    }
}

TEST(PinnedKeys, FileFormat) {
    secure::ServiceSigningKey a, b;
    a.Generate();
    b.Generate();
    const std::string keyA = secure::FormatPinnedKey(a.publicKey());
    const std::string keyB = secure::FormatPinnedKey(b.publicKey());
    const std::string hexA = keyA.substr(21, 64);
    std::string upperA = hexA;
    for (auto& ch : upperA) ch = char(std::toupper(static_cast<unsigned char>(ch)));
    struct Case {
        const char* name;
        std::string text;
        size_t keys;  // 0: the file is refused
    } cases[] = {
        {"one key", keyA, 1},
        {"rotation, comments, blank lines, CRLF, indentation",
         "# service keys\n\n" + keyA + "  \t" + keyB.substr(0, keyB.size() - 1) + "\r\n", 2},
        {"upper-case hex, no final newline", "zevo-p2p-service-key " + upperA, 1},
        {"empty", "", 0},
        {"comments only", "# nothing\n", 0},
        {"wrong tag", "service-key " + hexA + "\n", 0},
        {"short key", "zevo-p2p-service-key " + hexA.substr(2) + "\n", 0},
        {"not hex", "zevo-p2p-service-key " + std::string(64, 'g') + "\n", 0},
        {"text after the key", keyA.substr(0, keyA.size() - 1) + " extra\n", 0},
        {"a bad line among good ones", keyA + "garbage\n" + keyB, 0},
        {"five keys", keyA + keyB + keyA + keyB + keyA, 0},
        // Not a point on the curve: no signature could ever verify under it.
        {"not a key", "zevo-p2p-service-key " + std::string(64, '0') + "\n", 0},
    };
    for (const auto& c : cases) {
        std::vector<secure::ServicePublicKey> keys;
        std::string error;
        bool ok = secure::ParsePinnedKeys(c.text, &keys, &error);
        EXPECT_EQ(ok, c.keys != 0) << c.name << ": " << error;
        if (!ok) {
            EXPECT_FALSE(error.empty()) << c.name;
            continue;
        }
        ASSERT_EQ(keys.size(), c.keys) << c.name;
        EXPECT_EQ(0, std::memcmp(keys[0].key, a.publicKey().key, 32)) << c.name;
        EXPECT_EQ(0, std::memcmp(keys[0].id, a.publicKey().id, secure::kKeyIdSize)) << c.name;
        if (c.keys > 1) {
            EXPECT_EQ(0, std::memcmp(keys[1].key, b.publicKey().key, 32)) << c.name;
        }
    }
}

}  // namespace
