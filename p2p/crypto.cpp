#include "p2p/crypto.h"

#include <openssl/crypto.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <random>

namespace zevo::p2p {

void HmacSha256(const uint8_t* key, size_t keyLength, const uint8_t* data, size_t length,
                uint8_t out[32]) {
    unsigned int outLength = 32;
    HMAC(EVP_sha256(), key, int(keyLength), data, length, out, &outLength);
}

void DeviceSecret(const std::string& serviceKey, const char* did, uint8_t out[kSecretSize]) {
    HmacSha256(reinterpret_cast<const uint8_t*>(serviceKey.data()), serviceKey.size(),
               reinterpret_cast<const uint8_t*>(did), std::strlen(did), out);
}

std::string DeviceSecretHex(const std::string& serviceKey, const char* did) {
    uint8_t secret[kSecretSize];
    DeviceSecret(serviceKey, did, secret);
    return ToHex(secret, kSecretSize);
}

bool ParseSecretHex(const char* text, uint8_t out[kSecretSize]) {
    if (text == nullptr || std::strlen(text) != 2 * kSecretSize) return false;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (size_t i = 0; i < kSecretSize; ++i) {
        int hi = nibble(text[2 * i]), lo = nibble(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = uint8_t((hi << 4) | lo);
    }
    return true;
}

void RegistrationProof(const uint8_t secret[kSecretSize], const uint8_t challenge[kChallengeSize],
                       const char* did, uint8_t out[kProofSize]) {
    static const char kLabel[] = "zevo-p2p-register";
    uint8_t data[sizeof kLabel - 1 + kChallengeSize + kDidField] = {};
    std::memcpy(data, kLabel, sizeof kLabel - 1);
    std::memcpy(data + sizeof kLabel - 1, challenge, kChallengeSize);
    std::memcpy(data + sizeof kLabel - 1 + kChallengeSize, did,
                std::min(std::strlen(did), kDidField - 1));
    HmacSha256(secret, kSecretSize, data, sizeof data, out);
}

bool SameBytes(const uint8_t* a, const uint8_t* b, size_t length) {
    return CRYPTO_memcmp(a, b, length) == 0;
}

uint64_t RandomU64() {
    uint64_t v = 0;
    while (v == 0) {
        if (RAND_bytes(reinterpret_cast<unsigned char*>(&v), sizeof v) != 1) {
            static thread_local std::mt19937_64 fallback{std::random_device{}()};
            v = fallback();
        }
    }
    return v;
}

void RandomBytes(uint8_t* out, size_t length) {
    if (RAND_bytes(out, int(length)) == 1) return;
    for (size_t i = 0; i < length; i += 8) {
        uint64_t v = RandomU64();
        std::memcpy(out + i, &v, std::min<size_t>(8, length - i));
    }
}

std::string ToHex(const uint8_t* data, size_t length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 15];
    }
    return text;
}

}  // namespace zevo::p2p
