#pragma once
// Keyed hashes for device registration: a device's secret is HMAC-SHA256(service key,
// DID); a registration proves it with HMAC-SHA256(secret, label | challenge | DID), so the
// secret itself never travels.
#include <cstddef>
#include <cstdint>
#include <string>

#include "p2p/wire.h"

namespace zevo::p2p {

void HmacSha256(const uint8_t* key, size_t keyLength, const uint8_t* data, size_t length,
                uint8_t out[32]);

// The device secret for did under the service key, as raw bytes and as 64 hex digits.
void DeviceSecret(const std::string& serviceKey, const char* did, uint8_t out[kSecretSize]);
std::string DeviceSecretHex(const std::string& serviceKey, const char* did);

// Parses 64 hex digits; false otherwise.
bool ParseSecretHex(const char* text, uint8_t out[kSecretSize]);

void RegistrationProof(const uint8_t secret[kSecretSize], const uint8_t challenge[kChallengeSize],
                       const char* did, uint8_t out[kProofSize]);

// Constant-time comparison.
bool SameBytes(const uint8_t* a, const uint8_t* b, size_t length);

// Cryptographically random 64-bit value (never 0).
uint64_t RandomU64();
// length bytes from the same generator, in one call.
void RandomBytes(uint8_t* out, size_t length);

std::string ToHex(const uint8_t* data, size_t length);

}  // namespace zevo::p2p
