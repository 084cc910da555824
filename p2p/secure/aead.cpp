#include "p2p/secure/aead.h"

#include <cstring>

namespace zevo::p2p::secure {
namespace {

void Nonce(uint64_t counter, uint8_t out[12]) {
    std::memset(out, 0, 4);
    for (int i = 0; i < 8; ++i) out[4 + i] = uint8_t(counter >> (8 * i));
}

}  // namespace

uint8_t LocalSuites() {
    if (sodium_init() < 0) return 0;
    return kSuiteChaChaPoly | (crypto_aead_aes256gcm_is_available() ? kSuiteAesGcm : 0);
}

uint8_t PickSuite(uint8_t offered, uint8_t local) {
    uint8_t common = offered & local;
    if (common & kSuiteAesGcm) return kSuiteAesGcm;
    if (common & kSuiteChaChaPoly) return kSuiteChaChaPoly;
    return 0;
}

Aead::~Aead() {
    Clear();
}

void Aead::Clear() {
    sodium_memzero(mKey, sizeof mKey);
    sodium_memzero(&mAes, sizeof mAes);
    mSuite = 0;
}

bool Aead::SetKey(uint8_t suite, const uint8_t key[kKeySize]) {
    Clear();
    if (suite == kSuiteAesGcm) {
        if (!(LocalSuites() & kSuiteAesGcm)) return false;
        crypto_aead_aes256gcm_beforenm(&mAes, key);
    } else if (suite != kSuiteChaChaPoly) {
        return false;
    }
    std::memcpy(mKey, key, kKeySize);
    mSuite = suite;
    return true;
}

void Aead::Seal(uint64_t counter, const uint8_t* ad, size_t adLength, const uint8_t* plain,
                size_t length, uint8_t* out) const {
    uint8_t nonce[12];
    Nonce(counter, nonce);
    if (mSuite == kSuiteAesGcm) {
        crypto_aead_aes256gcm_encrypt_detached_afternm(out, out + length, nullptr, plain, length,
                                                       ad, adLength, nullptr, nonce, &mAes);
    } else {
        crypto_aead_chacha20poly1305_ietf_encrypt_detached(
            out, out + length, nullptr, plain, length, ad, adLength, nullptr, nonce, mKey);
    }
}

bool Aead::Open(uint64_t counter, const uint8_t* ad, size_t adLength, const uint8_t* in,
                size_t length, uint8_t* out) const {
    uint8_t nonce[12];
    Nonce(counter, nonce);
    if (mSuite == kSuiteAesGcm) {
        return crypto_aead_aes256gcm_decrypt_detached_afternm(out, nullptr, in, length, in + length,
                                                              ad, adLength, nonce, &mAes) == 0;
    }
    if (mSuite != kSuiteChaChaPoly) return false;
    return crypto_aead_chacha20poly1305_ietf_decrypt_detached(out, nullptr, in, length, in + length,
                                                              ad, adLength, nonce, mKey) == 0;
}

}  // namespace zevo::p2p::secure
