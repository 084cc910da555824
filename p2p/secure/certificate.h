#pragma once
// Device certificates: the service vouches that a device's static X25519 key belongs to the
// DID it registered, by signing (DID, key, validity) with its Ed25519 key. A viewer trusts
// the service's public key (pinned in a file or carried by its initialisation data) and
// checks the certificate the device presents in the handshake. Layout in p2p/PROTOCOL.md.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "p2p/secure/noise.h"

namespace zevo::p2p::secure {

constexpr size_t kServicePublicKeySize = 32;  // Ed25519
constexpr size_t kServiceSeedSize = 32;
constexpr size_t kKeyIdSize = 8;
constexpr size_t kDidFieldSize = 24;  // as on the service wire: 1..23 characters, NUL padded
constexpr size_t kSignatureSize = 64;
constexpr uint8_t kCertificateVersion = 1;
// version, flags, did, device key, not-before, not-after, key id, signature
constexpr size_t kCertificateSize =
    1 + 1 + kDidFieldSize + kDhSize + 8 + 8 + kKeyIdSize + kSignatureSize;  // 146
// Clocks of device, service and viewer differ; validity is checked with this much slack.
constexpr uint64_t kClockSlackSeconds = 300;

// Why a certificate was refused. Everything but kOk means "not the device of this DID" to
// the viewer.
enum class VouchResult {
    kOk,
    kMalformed,          // wrong length, version, flags or DID field
    kUnknownServiceKey,  // signed by a key the viewer does not trust
    kBadSignature,       // key id trusted, signature wrong (forged or altered)
    kWrongDid,           // vouches for another DID
    kWrongDeviceKey,     // vouches for another key than the one in the handshake
    kNotYetValid,
    kExpired,
};
const char* VouchResultText(VouchResult result);

// A public key the viewer trusts, with its id (the first 8 bytes of BLAKE2b-256 of the
// key) so a certificate names which of several pinned keys signed it.
struct ServicePublicKey {
    uint8_t key[kServicePublicKeySize] = {};
    uint8_t id[kKeyIdSize] = {};
};
ServicePublicKey MakeServicePublicKey(const uint8_t key[kServicePublicKeySize]);

// The service's signing key, derived from a 32-byte seed kept by the operator.
class ServiceSigningKey {
public:
    ~ServiceSigningKey();
    void FromSeed(const uint8_t seed[kServiceSeedSize]);
    void Generate();
    const ServicePublicKey& publicKey() const { return mPublic; }

    // Signs (did, devicePublic, validity) into out; false for a malformed DID or an empty
    // validity (notAfter < notBefore).
    bool Issue(const char* did, const uint8_t devicePublic[kDhSize], uint64_t notBefore,
               uint64_t notAfter, uint8_t out[kCertificateSize]) const;

private:
    uint8_t mSecret[64] = {};  // libsodium's Ed25519 secret key: seed and public half
    ServicePublicKey mPublic;
};

struct Certificate {
    char did[kDidFieldSize + 1] = {};
    uint8_t devicePublic[kDhSize] = {};
    uint64_t notBefore = 0;
    uint64_t notAfter = 0;
    uint8_t keyId[kKeyIdSize] = {};
};

// Parses the layout alone (no signature check).
bool ParseCertificate(const uint8_t* data, size_t length, Certificate* out);

// The whole check a viewer makes: format, signer among trusted, signature, DID, device key
// and validity at now (Unix seconds).
VouchResult VerifyCertificate(const uint8_t* data, size_t length,
                              const std::vector<ServicePublicKey>& trusted, const char* expectedDid,
                              const uint8_t handshakeKey[kDhSize], uint64_t now);

// A pinned-key file: lines "zevo-p2p-service-key <64 hex digits>", blank lines and lines
// starting with '#' ignored, at most kMaxPinnedKeys keys (old and new during a rotation).
// Any other line makes the whole file invalid: a viewer must not run with half its trust.
constexpr size_t kMaxPinnedKeys = 4;
bool ParsePinnedKeys(const std::string& text, std::vector<ServicePublicKey>* out,
                     std::string* error);
std::string FormatPinnedKey(const ServicePublicKey& key);

}  // namespace zevo::p2p::secure
