#include "device/login.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "session/aes.h"

using namespace zevo::camd;

namespace {
// What the viewer sends: the challenge encrypted under the password text as the key,
// passed with its own length.
Block16 ViewerResponse(const Block16& challenge, const std::string& password) {
    Block16 out{};
    AesEncryptBlock(128, challenge.data(), 16,
                    reinterpret_cast<const unsigned char*>(password.data()), int(password.size()),
                    out.data());
    return out;
}
}  // namespace

TEST(DeviceLogin, AcceptsTheViewersAnswerForShortExactAndLongPasswords) {
    Block16 challenge{};
    ASSERT_EQ(FillRandom(challenge.data(), challenge.size()), 0);
    for (std::string password : {"admin", "0123456789abcdef", "a-password-longer-than-16"}) {
        Block16 response = ViewerResponse(challenge, password);
        EXPECT_TRUE(CheckLoginResponse(challenge, response.data(), 16, password)) << password;
        // One byte off anywhere is refused.
        for (size_t i = 0; i < 16; ++i) {
            Block16 bad = response;
            bad[i] ^= 0x01;
            EXPECT_FALSE(CheckLoginResponse(challenge, bad.data(), 16, password));
        }
    }
}

TEST(DeviceLogin, PasswordsDifferingPastByte16AreTheSameKey) {
    Block16 challenge{};
    FillRandom(challenge.data(), challenge.size());
    Block16 response = ViewerResponse(challenge, "0123456789abcdefXYZ");
    EXPECT_TRUE(CheckLoginResponse(challenge, response.data(), 16, "0123456789abcdefQQ"));
    EXPECT_FALSE(CheckLoginResponse(challenge, response.data(), 16, "0123456789abcde"));
}

TEST(DeviceLogin, RefusesWrongPasswordShortAndMissingPayload) {
    Block16 challenge{};
    FillRandom(challenge.data(), challenge.size());
    Block16 response = ViewerResponse(challenge, "admin");
    EXPECT_FALSE(CheckLoginResponse(challenge, response.data(), 16, "admin1"));
    EXPECT_FALSE(CheckLoginResponse(challenge, response.data(), 16, "Admin"));
    EXPECT_FALSE(CheckLoginResponse(challenge, response.data(), 15, "admin"));
    EXPECT_FALSE(CheckLoginResponse(challenge, nullptr, 16, "admin"));
    // The answer to another challenge is not an answer to this one.
    Block16 other = challenge;
    other[0] ^= 0x80;
    EXPECT_FALSE(CheckLoginResponse(other, response.data(), 16, "admin"));
}

TEST(DeviceLogin, ViewerRecoversTheSessionKeyFromTheAcceptance) {
    Block16 key{};
    FillRandom(key.data(), key.size());
    const std::string password = "secret";
    Block16 wrapped = WrapSessionKey(key, password);
    EXPECT_NE(wrapped, key);
    Block16 unwrapped{};
    AesDecryptBlock(128, wrapped.data(), 16,
                    reinterpret_cast<const unsigned char*>(password.data()), int(password.size()),
                    unwrapped.data());
    EXPECT_EQ(unwrapped, key);
}

TEST(DeviceLogin, ChallengesAreFresh) {
    Block16 a{}, b{};
    ASSERT_EQ(FillRandom(a.data(), a.size()), 0);
    ASSERT_EQ(FillRandom(b.data(), b.size()), 0);
    EXPECT_NE(a, b);
    EXPECT_EQ(PasswordKey("ab")[1], 'b');
    EXPECT_EQ(PasswordKey("ab")[2], 0);
}
