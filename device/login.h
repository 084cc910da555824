#pragma once
// The device's half of the login: a random challenge, the check of the viewer's answer
// (the challenge encrypted with AES-128 under the password), and the session key handed
// over encrypted under the same password key.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zevo::camd {

using Block16 = std::array<uint8_t, 16>;

// Fills buffer with bytes from the kernel's random source. 0 or a negative errno.
int FillRandom(uint8_t* buffer, size_t length);

// The password as an AES-128 key: its bytes, zero-filled or cut to 16.
Block16 PasswordKey(std::string_view password);

// What a viewer that knows the password answers to the challenge.
Block16 ExpectedLoginResponse(const Block16& challenge, std::string_view password);

// Whether a LOGIN_RESPONSE payload answers the challenge. The payload must be at
// least 16 bytes; the comparison takes the same time whatever the bytes.
bool CheckLoginResponse(const Block16& challenge, const uint8_t* payload, size_t length,
                        std::string_view password);

// The session key as it travels in LOGIN_ACCEPTED.
Block16 WrapSessionKey(const Block16& sessionKey, std::string_view password);

}  // namespace zevo::camd
