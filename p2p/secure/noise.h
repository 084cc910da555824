#pragma once
// The symmetric half of the Noise protocol framework (revision 34) for
// 25519_ChaChaPoly_BLAKE2b: the chaining key, the handshake hash and the handshake cipher,
// with MixHash, MixKey, EncryptAndHash, DecryptAndHash and Split exactly as Noise defines
// them, HKDF over HMAC-BLAKE2b. The handshake patterns are built on top of this.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "p2p/secure/aead.h"

namespace zevo::p2p::secure {

constexpr size_t kHashSize = 64;  // BLAKE2b-512
constexpr size_t kDhSize = 32;    // X25519

// HMAC-BLAKE2b-512 (RFC 2104 with a 128-byte block).
void HmacBlake2b(const uint8_t* key, size_t keyLength, const uint8_t* data, size_t length,
                 uint8_t out[kHashSize]);

// Noise HKDF with two outputs.
void Hkdf2(const uint8_t chainingKey[kHashSize], const uint8_t* ikm, size_t ikmLength,
           uint8_t out1[kHashSize], uint8_t out2[kHashSize]);

// X25519 key pair; the secret is wiped on destruction.
struct KeyPair {
    uint8_t secret[kDhSize] = {};
    uint8_t pub[kDhSize] = {};
    ~KeyPair();
    void Generate();
    void FromSecret(const uint8_t secretKey[kDhSize]);
};

// X25519; false when the peer's key is of low order (the result would be all zeros).
bool Dh(const KeyPair& local, const uint8_t remote[kDhSize], uint8_t out[kDhSize]);

class SymmetricState {
public:
    explicit SymmetricState(std::string_view protocolName);
    ~SymmetricState();
    SymmetricState(const SymmetricState&) = default;
    SymmetricState& operator=(const SymmetricState&) = default;

    void MixHash(const uint8_t* data, size_t length);
    void MixKey(const uint8_t* ikm, size_t length);
    // out gets length bytes (plus kTagSize once a key is mixed in); returns bytes written.
    size_t EncryptAndHash(const uint8_t* plain, size_t length, uint8_t* out);
    // in holds length bytes; returns the plaintext length, or -1 when the tag fails.
    long DecryptAndHash(const uint8_t* in, size_t length, uint8_t* out);
    // The two transport keys: initiator-to-responder and responder-to-initiator.
    void Split(uint8_t initiatorToResponder[kKeySize], uint8_t responderToInitiator[kKeySize]);

    bool hasKey() const { return mHasKey; }
    const uint8_t* hash() const { return mH; }
    const uint8_t* chainingKey() const { return mCk; }

private:
    uint8_t mCk[kHashSize];
    uint8_t mH[kHashSize];
    uint8_t mK[kKeySize] = {};
    uint64_t mN = 0;
    bool mHasKey = false;
};

}  // namespace zevo::p2p::secure
