#include "p2p/secure/noise.h"

#include <sodium.h>

#include <cstdlib>
#include <cstring>

namespace zevo::p2p::secure {
namespace {

constexpr size_t kBlock = 128;  // BLAKE2b block size

void Nonce(uint64_t n, uint8_t out[12]) {
    std::memset(out, 0, 4);
    for (int i = 0; i < 8; ++i) out[4 + i] = uint8_t(n >> (8 * i));
}

}  // namespace

void HmacBlake2b(const uint8_t* key, size_t keyLength, const uint8_t* data, size_t length,
                 uint8_t out[kHashSize]) {
    uint8_t block[kBlock] = {};
    if (keyLength > kBlock) {
        crypto_generichash(block, kHashSize, key, keyLength, nullptr, 0);
    } else if (keyLength > 0) {
        std::memcpy(block, key, keyLength);
    }
    uint8_t pad[kBlock];
    uint8_t inner[kHashSize];
    crypto_generichash_state st;
    for (size_t i = 0; i < kBlock; ++i) pad[i] = block[i] ^ 0x36;
    crypto_generichash_init(&st, nullptr, 0, kHashSize);
    crypto_generichash_update(&st, pad, kBlock);
    crypto_generichash_update(&st, data, length);
    crypto_generichash_final(&st, inner, kHashSize);
    for (size_t i = 0; i < kBlock; ++i) pad[i] = block[i] ^ 0x5c;
    crypto_generichash_init(&st, nullptr, 0, kHashSize);
    crypto_generichash_update(&st, pad, kBlock);
    crypto_generichash_update(&st, inner, kHashSize);
    crypto_generichash_final(&st, out, kHashSize);
    sodium_memzero(block, sizeof block);
    sodium_memzero(pad, sizeof pad);
    sodium_memzero(inner, sizeof inner);
}

void Hkdf2(const uint8_t chainingKey[kHashSize], const uint8_t* ikm, size_t ikmLength,
           uint8_t out1[kHashSize], uint8_t out2[kHashSize]) {
    uint8_t temp[kHashSize];
    HmacBlake2b(chainingKey, kHashSize, ikm, ikmLength, temp);
    const uint8_t one = 1;
    HmacBlake2b(temp, kHashSize, &one, 1, out1);
    uint8_t second[kHashSize + 1];
    std::memcpy(second, out1, kHashSize);
    second[kHashSize] = 2;
    HmacBlake2b(temp, kHashSize, second, sizeof second, out2);
    sodium_memzero(temp, sizeof temp);
    sodium_memzero(second, sizeof second);
}

KeyPair::~KeyPair() {
    sodium_memzero(secret, sizeof secret);
}

void KeyPair::Generate() {
    randombytes_buf(secret, sizeof secret);
    crypto_scalarmult_base(pub, secret);
}

void KeyPair::FromSecret(const uint8_t secretKey[kDhSize]) {
    std::memcpy(secret, secretKey, kDhSize);
    crypto_scalarmult_base(pub, secret);
}

bool Dh(const KeyPair& local, const uint8_t remote[kDhSize], uint8_t out[kDhSize]) {
    return crypto_scalarmult(out, local.secret, remote) == 0;
}

SymmetricState::SymmetricState(std::string_view protocolName) {
    if (sodium_init() < 0) std::abort();
    std::memset(mH, 0, sizeof mH);
    if (protocolName.size() <= kHashSize) {
        std::memcpy(mH, protocolName.data(), protocolName.size());
    } else {
        crypto_generichash(mH, kHashSize, reinterpret_cast<const uint8_t*>(protocolName.data()),
                           protocolName.size(), nullptr, 0);
    }
    std::memcpy(mCk, mH, kHashSize);
}

SymmetricState::~SymmetricState() {
    sodium_memzero(mCk, sizeof mCk);
    sodium_memzero(mK, sizeof mK);
}

void SymmetricState::MixHash(const uint8_t* data, size_t length) {
    crypto_generichash_state st;
    crypto_generichash_init(&st, nullptr, 0, kHashSize);
    crypto_generichash_update(&st, mH, kHashSize);
    crypto_generichash_update(&st, data, length);
    crypto_generichash_final(&st, mH, kHashSize);
}

void SymmetricState::MixKey(const uint8_t* ikm, size_t length) {
    uint8_t ck[kHashSize], k[kHashSize];
    Hkdf2(mCk, ikm, length, ck, k);
    std::memcpy(mCk, ck, kHashSize);
    std::memcpy(mK, k, kKeySize);  // HASHLEN 64: truncated to the cipher's key
    mN = 0;
    mHasKey = true;
    sodium_memzero(ck, sizeof ck);
    sodium_memzero(k, sizeof k);
}

size_t SymmetricState::EncryptAndHash(const uint8_t* plain, size_t length, uint8_t* out) {
    if (!mHasKey) {
        std::memmove(out, plain, length);
        MixHash(out, length);
        return length;
    }
    uint8_t nonce[12];
    Nonce(mN++, nonce);
    crypto_aead_chacha20poly1305_ietf_encrypt(out, nullptr, plain, length, mH, kHashSize, nullptr,
                                              nonce, mK);
    MixHash(out, length + kTagSize);
    return length + kTagSize;
}

long SymmetricState::DecryptAndHash(const uint8_t* in, size_t length, uint8_t* out) {
    if (!mHasKey) {
        MixHash(in, length);
        std::memmove(out, in, length);
        return long(length);
    }
    if (length < kTagSize) return -1;
    uint8_t nonce[12];
    Nonce(mN, nonce);
    // The hash must take the ciphertext, which out may overwrite.
    uint8_t h[kHashSize];
    crypto_generichash_state st;
    crypto_generichash_init(&st, nullptr, 0, kHashSize);
    crypto_generichash_update(&st, mH, kHashSize);
    crypto_generichash_update(&st, in, length);
    crypto_generichash_final(&st, h, kHashSize);
    if (crypto_aead_chacha20poly1305_ietf_decrypt(out, nullptr, nullptr, in, length, mH, kHashSize,
                                                  nonce, mK) != 0)
        return -1;
    ++mN;
    std::memcpy(mH, h, kHashSize);
    return long(length - kTagSize);
}

void SymmetricState::Split(uint8_t initiatorToResponder[kKeySize],
                           uint8_t responderToInitiator[kKeySize]) {
    uint8_t a[kHashSize], b[kHashSize];
    Hkdf2(mCk, nullptr, 0, a, b);
    std::memcpy(initiatorToResponder, a, kKeySize);
    std::memcpy(responderToInitiator, b, kKeySize);
    sodium_memzero(a, sizeof a);
    sodium_memzero(b, sizeof b);
}

}  // namespace zevo::p2p::secure
