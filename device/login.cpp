#include "device/login.h"

#include <sys/random.h>

#include <cerrno>

#include "session/aes.h"

namespace zevo::camd {

int FillRandom(uint8_t* buffer, size_t length) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = getrandom(buffer + done, length - done, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -errno;
        }
        done += size_t(n);
    }
    return 0;
}

Block16 PasswordKey(std::string_view password) {
    Block16 key{};
    for (size_t i = 0; i < key.size() && i < password.size(); ++i) key[i] = uint8_t(password[i]);
    return key;
}

namespace {
Block16 EncryptUnderPassword(const Block16& block, std::string_view password) {
    Block16 key = PasswordKey(password);
    Block16 out{};
    AesEncryptBlock(128, block.data(), 16, key.data(), 16, out.data());
    return out;
}
}  // namespace

Block16 ExpectedLoginResponse(const Block16& challenge, std::string_view password) {
    return EncryptUnderPassword(challenge, password);
}

bool CheckLoginResponse(const Block16& challenge, const uint8_t* payload, size_t length,
                        std::string_view password) {
    if (payload == nullptr || length < 16) return false;
    Block16 expected = ExpectedLoginResponse(challenge, password);
    uint8_t diff = 0;
    for (size_t i = 0; i < 16; ++i) diff |= uint8_t(expected[i] ^ payload[i]);
    return diff == 0;
}

Block16 WrapSessionKey(const Block16& sessionKey, std::string_view password) {
    return EncryptUnderPassword(sessionKey, password);
}

}  // namespace zevo::camd
