#include "p2p/secure/certificate.h"

#include <sodium.h>

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "p2p/crypto.h"
#include "p2p/secure/wire_format.h"
#include "p2p/wire.h"

namespace zevo::p2p::secure {
namespace {

// Offsets in the certificate.
constexpr size_t kOffFlags = 1;
constexpr size_t kOffDid = 2;
constexpr size_t kOffKey = kOffDid + kDidFieldSize;
constexpr size_t kOffNotBefore = kOffKey + kDhSize;
constexpr size_t kOffNotAfter = kOffNotBefore + 8;
constexpr size_t kOffKeyId = kOffNotAfter + 8;
constexpr size_t kSigned = kOffKeyId + kKeyIdSize;  // bytes covered by the signature
static_assert(kSigned + kSignatureSize == kCertificateSize);

// The signature covers this label and then the certificate's first kSigned bytes, so a
// signature made by the service key for any other purpose never passes as a certificate.
constexpr char kLabel[] = "zevo-p2p device certificate";
constexpr size_t kLabelSize = sizeof kLabel - 1;

void SignedMessage(const uint8_t* cert, uint8_t out[kLabelSize + kSigned]) {
    std::memcpy(out, kLabel, kLabelSize);
    std::memcpy(out + kLabelSize, cert, kSigned);
}

}  // namespace

const char* VouchResultText(VouchResult result) {
    switch (result) {
        case VouchResult::kOk:
            return "certificate valid";
        case VouchResult::kMalformed:
            return "malformed certificate";
        case VouchResult::kUnknownServiceKey:
            return "certificate signed by an untrusted key";
        case VouchResult::kBadSignature:
            return "certificate signature invalid";
        case VouchResult::kWrongDid:
            return "certificate names another DID";
        case VouchResult::kWrongDeviceKey:
            return "certificate names another device key";
        case VouchResult::kNotYetValid:
            return "certificate not yet valid";
        case VouchResult::kExpired:
            return "certificate expired";
    }
    return "unknown";
}

ServicePublicKey MakeServicePublicKey(const uint8_t key[kServicePublicKeySize]) {
    ServicePublicKey out;
    std::memcpy(out.key, key, kServicePublicKeySize);
    uint8_t digest[32];
    crypto_generichash(digest, sizeof digest, key, kServicePublicKeySize, nullptr, 0);
    std::memcpy(out.id, digest, kKeyIdSize);
    return out;
}

ServiceSigningKey::~ServiceSigningKey() {
    sodium_memzero(mSecret, sizeof mSecret);
}

void ServiceSigningKey::FromSeed(const uint8_t seed[kServiceSeedSize]) {
    if (sodium_init() < 0) std::abort();
    uint8_t pub[kServicePublicKeySize];
    crypto_sign_seed_keypair(pub, mSecret, seed);
    mPublic = MakeServicePublicKey(pub);
}

void ServiceSigningKey::Generate() {
    uint8_t seed[kServiceSeedSize];
    if (sodium_init() < 0) std::abort();
    randombytes_buf(seed, sizeof seed);
    FromSeed(seed);
    sodium_memzero(seed, sizeof seed);
}

bool ServiceSigningKey::Issue(const char* did, const uint8_t devicePublic[kDhSize],
                              uint64_t notBefore, uint64_t notAfter,
                              uint8_t out[kCertificateSize]) const {
    if (!IsValidDid(did) || notAfter < notBefore) return false;
    std::memset(out, 0, kCertificateSize);
    out[0] = kCertificateVersion;
    std::memcpy(out + kOffDid, did, std::strlen(did));
    std::memcpy(out + kOffKey, devicePublic, kDhSize);
    PutU64(out + kOffNotBefore, notBefore);
    PutU64(out + kOffNotAfter, notAfter);
    std::memcpy(out + kOffKeyId, mPublic.id, kKeyIdSize);
    uint8_t message[kLabelSize + kSigned];
    SignedMessage(out, message);
    crypto_sign_detached(out + kSigned, nullptr, message, sizeof message, mSecret);
    return true;
}

bool ParseCertificate(const uint8_t* data, size_t length, Certificate* out) {
    if (data == nullptr || length != kCertificateSize) return false;
    if (data[0] != kCertificateVersion || data[kOffFlags] != 0) return false;
    // The DID field: 1..23 valid characters, then NUL only.
    size_t didLength = 0;
    while (didLength < kDidFieldSize && data[kOffDid + didLength] != 0) ++didLength;
    if (didLength == 0 || didLength >= kDidFieldSize) return false;
    for (size_t i = didLength; i < kDidFieldSize; ++i)
        if (data[kOffDid + i] != 0) return false;
    Certificate c;
    std::memcpy(c.did, data + kOffDid, didLength);
    if (!IsValidDid(c.did)) return false;
    std::memcpy(c.devicePublic, data + kOffKey, kDhSize);
    c.notBefore = GetU64(data + kOffNotBefore);
    c.notAfter = GetU64(data + kOffNotAfter);
    if (c.notAfter < c.notBefore) return false;
    std::memcpy(c.keyId, data + kOffKeyId, kKeyIdSize);
    *out = c;
    return true;
}

VouchResult VerifyCertificate(const uint8_t* data, size_t length,
                              const std::vector<ServicePublicKey>& trusted, const char* expectedDid,
                              const uint8_t handshakeKey[kDhSize], uint64_t now) {
    Certificate c;
    if (!ParseCertificate(data, length, &c)) return VouchResult::kMalformed;
    const ServicePublicKey* signer = nullptr;
    for (const auto& key : trusted)
        if (std::memcmp(key.id, c.keyId, kKeyIdSize) == 0) signer = &key;
    if (signer == nullptr) return VouchResult::kUnknownServiceKey;
    uint8_t message[kLabelSize + kSigned];
    SignedMessage(data, message);
    if (crypto_sign_verify_detached(data + kSigned, message, sizeof message, signer->key) != 0)
        return VouchResult::kBadSignature;
    // Only signed fields are looked at from here on.
    if (expectedDid == nullptr || std::strcmp(c.did, expectedDid) != 0)
        return VouchResult::kWrongDid;
    if (sodium_memcmp(c.devicePublic, handshakeKey, kDhSize) != 0)
        return VouchResult::kWrongDeviceKey;
    if (now + kClockSlackSeconds < c.notBefore) return VouchResult::kNotYetValid;
    if (now > c.notAfter + kClockSlackSeconds) return VouchResult::kExpired;
    return VouchResult::kOk;
}

bool ParsePinnedKeys(const std::string& text, std::vector<ServicePublicKey>* out,
                     std::string* error) {
    static constexpr char kPrefix[] = "zevo-p2p-service-key";
    std::vector<ServicePublicKey> keys;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    auto fail = [&](const std::string& why) {
        if (error) *error = "line " + std::to_string(number) + ": " + why;
        return false;
    };
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') continue;
        std::istringstream words(line.substr(start));
        std::string tag, hex, extra;
        words >> tag >> hex;
        if (tag != kPrefix) return fail("expected \"zevo-p2p-service-key <64 hex digits>\"");
        if (words >> extra) return fail("unexpected text after the key");
        uint8_t raw[kServicePublicKeySize];
        static_assert(kServicePublicKeySize == kSecretSize);
        if (!ParseSecretHex(hex.c_str(), raw)) return fail("the key is not 64 hex digits");
        // A key that is not a valid curve point can verify nothing; refuse it here rather
        // than failing every connection later.
        if (crypto_core_ed25519_is_valid_point(raw) != 1) return fail("not an Ed25519 key");
        if (keys.size() == kMaxPinnedKeys) return fail("too many keys");
        keys.push_back(MakeServicePublicKey(raw));
    }
    if (keys.empty()) {
        number = 0;
        return fail("no key");
    }
    *out = std::move(keys);
    return true;
}

std::string FormatPinnedKey(const ServicePublicKey& key) {
    return "zevo-p2p-service-key " + ToHex(key.key, kServicePublicKeySize) + "\n";
}

}  // namespace zevo::p2p::secure
