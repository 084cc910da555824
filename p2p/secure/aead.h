#pragma once
// The authenticated ciphers a session may run its datagrams under. ChaCha20-Poly1305 (IETF)
// runs everywhere; AES-256-GCM only where the CPU has AES-NI and carry-less multiply, and
// only when both ends have it (the handshake picks). Keys are expanded once per key, so
// sealing a datagram costs the cipher and nothing else. The datagrams run on OpenSSL's
// ciphers: on CPUs with wide vector units they seal several times faster than libsodium's,
// byte for byte the same.
#include <cstddef>
#include <cstdint>

struct evp_cipher_ctx_st;

namespace zevo::p2p::secure {

constexpr size_t kKeySize = 32;
constexpr size_t kTagSize = 16;

// Bits in the handshake's suite fields.
enum Suite : uint8_t {
    kSuiteChaChaPoly = 0x01,
    kSuiteAesGcm = 0x02,
};

// Suites this machine can run.
uint8_t LocalSuites();

// The suite to run given both ends' sets: AES-256-GCM when both have it, else
// ChaCha20-Poly1305; 0 when the sets share nothing.
uint8_t PickSuite(uint8_t offered, uint8_t local);

// One key of one suite. The nonce is 4 zero bytes and the 64-bit counter, little-endian.
// Not copyable: the expanded key is wiped on destruction. One thread at a time.
class Aead {
public:
    Aead() = default;
    ~Aead();
    Aead(const Aead&) = delete;
    Aead& operator=(const Aead&) = delete;

    // False for an unknown suite or one this CPU cannot run.
    bool SetKey(uint8_t suite, const uint8_t key[kKeySize]);
    void Clear();
    bool HasKey() const { return mSuite != 0; }
    uint8_t suite() const { return mSuite; }

    // out receives length bytes of ciphertext then the tag; out may equal plain. False
    // only when the cipher could not run (out is then unspecified).
    bool Seal(uint64_t counter, const uint8_t* ad, size_t adLength, const uint8_t* plain,
              size_t length, uint8_t* out) const;
    // in holds length bytes of ciphertext then the tag; out may equal in. False when the
    // tag does not match (out is then unspecified).
    bool Open(uint64_t counter, const uint8_t* ad, size_t adLength, const uint8_t* in,
              size_t length, uint8_t* out) const;

private:
    uint8_t mSuite = 0;
    // Keyed once; each datagram only sets its nonce. Two, so neither direction re-keys.
    evp_cipher_ctx_st* mSeal = nullptr;
    evp_cipher_ctx_st* mOpen = nullptr;
};

}  // namespace zevo::p2p::secure
