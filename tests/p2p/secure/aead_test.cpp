// The datagram ciphers against libsodium's, the implementation peers built before ran: a
// datagram sealed by either opens with the other, at every length a datagram can have
// (partial blocks included), in place and out; a changed byte or counter does not open.
#include "p2p/secure/aead.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <vector>

namespace secure = zevo::p2p::secure;

namespace {

using Bytes = std::vector<uint8_t>;

void ReferenceNonce(uint64_t counter, uint8_t nonce[12]) {
    for (int i = 0; i < 4; ++i) nonce[i] = 0;
    for (int i = 0; i < 8; ++i) nonce[4 + i] = uint8_t(counter >> (8 * i));
}

Bytes ReferenceSeal(uint8_t suite, const uint8_t* key, uint64_t counter, const Bytes& ad,
                    const Bytes& plain) {
    Bytes out(plain.size() + secure::kTagSize);
    uint8_t nonce[12];
    ReferenceNonce(counter, nonce);
    if (suite == secure::kSuiteAesGcm) {
        crypto_aead_aes256gcm_encrypt_detached(out.data(), out.data() + plain.size(), nullptr,
                                               plain.data(), plain.size(), ad.data(), ad.size(),
                                               nullptr, nonce, key);
    } else {
        crypto_aead_chacha20poly1305_ietf_encrypt_detached(
            out.data(), out.data() + plain.size(), nullptr, plain.data(), plain.size(), ad.data(),
            ad.size(), nullptr, nonce, key);
    }
    return out;
}

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes d(n);
    for (size_t i = 0; i < n; ++i) d[i] = uint8_t(seed + i * 29);
    return d;
}

TEST(Aead, MatchesLibsodiumBothWaysAtEveryDatagramLength) {
    ASSERT_GE(sodium_init(), 0);
    std::vector<uint8_t> suites{secure::kSuiteChaChaPoly};
    if (secure::LocalSuites() & secure::kSuiteAesGcm) suites.push_back(secure::kSuiteAesGcm);
    const Bytes key = Pattern(secure::kKeySize, 7);
    const Bytes ad = Pattern(12, 99);
    for (uint8_t suite : suites) {
        secure::Aead aead;
        ASSERT_TRUE(aead.SetKey(suite, key.data()));
        uint64_t counter = 1;
        for (size_t length : {0, 1, 15, 16, 17, 100, 1200, 4068, 65000}) {
            SCOPED_TRACE(testing::Message() << "suite " << int(suite) << " length " << length);
            counter = counter * 977 + 0x0102030405ull;  // every nonce byte in use
            const Bytes plain = Pattern(length, uint8_t(length));
            const Bytes reference = ReferenceSeal(suite, key.data(), counter, ad, plain);

            Bytes sealed(length + secure::kTagSize);
            ASSERT_TRUE(
                aead.Seal(counter, ad.data(), ad.size(), plain.data(), length, sealed.data()));
            EXPECT_EQ(sealed, reference);

            // In place, as the channel seals and opens.
            Bytes inPlace = plain;
            inPlace.resize(length + secure::kTagSize);
            ASSERT_TRUE(
                aead.Seal(counter, ad.data(), ad.size(), inPlace.data(), length, inPlace.data()));
            EXPECT_EQ(inPlace, reference);
            ASSERT_TRUE(
                aead.Open(counter, ad.data(), ad.size(), inPlace.data(), length, inPlace.data()));
            EXPECT_TRUE(std::equal(plain.begin(), plain.end(), inPlace.begin()));

            Bytes opened(length);
            EXPECT_TRUE(
                aead.Open(counter, ad.data(), ad.size(), reference.data(), length, opened.data()));
            EXPECT_EQ(opened, plain);
            EXPECT_FALSE(aead.Open(counter + 1, ad.data(), ad.size(), reference.data(), length,
                                   opened.data()));
            Bytes altered = reference;
            altered[length / 2] ^= 0x20;
            EXPECT_FALSE(
                aead.Open(counter, ad.data(), ad.size(), altered.data(), length, opened.data()));
            Bytes otherAd = ad;
            otherAd[0] ^= 1;
            EXPECT_FALSE(aead.Open(counter, otherAd.data(), otherAd.size(), reference.data(),
                                   length, opened.data()));
            // A failure leaves the key usable for the next datagram.
            EXPECT_TRUE(
                aead.Open(counter, ad.data(), ad.size(), reference.data(), length, opened.data()));
        }
    }
}

TEST(Aead, ClearedKeysNeitherSealNorOpenAndKeyAgain) {
    const Bytes key = Pattern(secure::kKeySize, 3), plain = Pattern(64, 1);
    Bytes sealed(plain.size() + secure::kTagSize), opened(plain.size());
    secure::Aead aead;
    EXPECT_FALSE(aead.Seal(1, nullptr, 0, plain.data(), plain.size(), sealed.data()));
    ASSERT_TRUE(aead.SetKey(secure::kSuiteChaChaPoly, key.data()));
    ASSERT_TRUE(aead.Seal(1, nullptr, 0, plain.data(), plain.size(), sealed.data()));
    aead.Clear();
    EXPECT_FALSE(aead.Open(1, nullptr, 0, sealed.data(), plain.size(), opened.data()));
    ASSERT_TRUE(aead.SetKey(secure::kSuiteChaChaPoly, key.data()));
    EXPECT_TRUE(aead.Open(1, nullptr, 0, sealed.data(), plain.size(), opened.data()));
    EXPECT_EQ(opened, plain);
}

}  // namespace
