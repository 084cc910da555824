#include "p2p/secure/aead.h"

#include <openssl/evp.h>
#include <sodium.h>

#include <climits>
#include <cstring>

namespace zevo::p2p::secure {
namespace {

void Nonce(uint64_t counter, uint8_t out[12]) {
    std::memset(out, 0, 4);
    for (int i = 0; i < 8; ++i) out[4 + i] = uint8_t(counter >> (8 * i));
}

const EVP_CIPHER* CipherOf(uint8_t suite) {
    return suite == kSuiteAesGcm ? EVP_aes_256_gcm() : EVP_chacha20_poly1305();
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
    EVP_CIPHER_CTX_free(mSeal);  // wipes the key schedule
    EVP_CIPHER_CTX_free(mOpen);
}

void Aead::Clear() {
    if (mSeal != nullptr) EVP_CIPHER_CTX_reset(mSeal);
    if (mOpen != nullptr) EVP_CIPHER_CTX_reset(mOpen);
    mSuite = 0;
}

bool Aead::SetKey(uint8_t suite, const uint8_t key[kKeySize]) {
    Clear();
    if (suite == kSuiteAesGcm) {
        if (!(LocalSuites() & kSuiteAesGcm)) return false;
    } else if (suite != kSuiteChaChaPoly) {
        return false;
    }
    if (mSeal == nullptr) mSeal = EVP_CIPHER_CTX_new();
    if (mOpen == nullptr) mOpen = EVP_CIPHER_CTX_new();
    if (mSeal == nullptr || mOpen == nullptr ||
        EVP_EncryptInit_ex(mSeal, CipherOf(suite), nullptr, key, nullptr) != 1 ||
        EVP_DecryptInit_ex(mOpen, CipherOf(suite), nullptr, key, nullptr) != 1) {
        Clear();
        return false;
    }
    mSuite = suite;
    return true;
}

bool Aead::Seal(uint64_t counter, const uint8_t* ad, size_t adLength, const uint8_t* plain,
                size_t length, uint8_t* out) const {
    if (mSuite == 0 || length > INT_MAX || adLength > INT_MAX) return false;
    uint8_t nonce[12];
    Nonce(counter, nonce);
    int n = 0, last = 0;
    return EVP_EncryptInit_ex(mSeal, nullptr, nullptr, nullptr, nonce) == 1 &&
           EVP_EncryptUpdate(mSeal, nullptr, &n, ad, int(adLength)) == 1 &&
           EVP_EncryptUpdate(mSeal, out, &n, plain, int(length)) == 1 &&
           EVP_EncryptFinal_ex(mSeal, out + n, &last) == 1 && size_t(n + last) == length &&
           EVP_CIPHER_CTX_ctrl(mSeal, EVP_CTRL_AEAD_GET_TAG, int(kTagSize), out + length) == 1;
}

bool Aead::Open(uint64_t counter, const uint8_t* ad, size_t adLength, const uint8_t* in,
                size_t length, uint8_t* out) const {
    if (mSuite == 0 || length > INT_MAX || adLength > INT_MAX) return false;
    uint8_t nonce[12];
    Nonce(counter, nonce);
    uint8_t tag[kTagSize];  // read before out (which may be in) is written
    std::memcpy(tag, in + length, kTagSize);
    int n = 0, last = 0;
    return EVP_DecryptInit_ex(mOpen, nullptr, nullptr, nullptr, nonce) == 1 &&
           EVP_DecryptUpdate(mOpen, nullptr, &n, ad, int(adLength)) == 1 &&
           EVP_DecryptUpdate(mOpen, out, &n, in, int(length)) == 1 &&
           EVP_CIPHER_CTX_ctrl(mOpen, EVP_CTRL_AEAD_SET_TAG, int(kTagSize), tag) == 1 &&
           EVP_DecryptFinal_ex(mOpen, out + n, &last) == 1;
}

}  // namespace zevo::p2p::secure
