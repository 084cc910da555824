// The handshake, certificate and first datagram for fixed keys, byte for byte against
// values from noise_reference.py: a second rendering of the Noise protocol framework (NX) and
// p2p/PROTOCOL.md in Python, independent of this code.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "p2p/crypto.h"
#include "p2p/secure/channel.h"
#include "p2p/secure/handshake.h"

namespace secure = zevo::p2p::secure;
using zevo::p2p::ToHex;

namespace {

constexpr char kDid[] = "ZEVO-000001-ABCDE";
constexpr uint64_t kSession = 0x1122334455667788ull;
constexpr uint64_t kNotBefore = 1'799'996'400, kNotAfter = 1'800'086'400;

const char kHello[] =
    "531100000faa684ed28867b97f4a6a2dee5df8ce974e76b7018e3f22a1c4cf2678570f2001000000"
    "00000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "00000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "00000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "00000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "00000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "00000000000000000000";
const char kReply[] =
    "531200007b0d47d93427f8311160781c7c733fd89f88970aef490d8aa0ee19a4cb8a1b14bd29a131"
    "119f6f11e87e88dfbf141b95ed2355ad9e780a83852a509a8a10c57987bf9066063a175115592585"
    "0e1f4d96e32df74a3a22aa5c8b3bebe24749a1d2858da2aab033b2f3b05efcceb6477f6b3053ccad"
    "2adaa18ea9839ed2a8d6c12055e623fad127ce7ec45b0123e5f4a5a7ef1b562d4010cec1eb43a505"
    "14a24fda8a1a08d9a3ca568ae78cdbfddff28007b2e17b959065505cb9d4e336f70a006400db9513"
    "ee865c68414d066a6010ab41d4f13e53a884956ca77f6a8dcde207c885fc10dd39e3296b1754a71e"
    "fd2fb3a29889649757ce";
const char kViewerToDevice[] = "d7a54631f8e794661b470d9956c6e742884930cdd781b903f2dacd056a438697";
const char kDeviceToViewer[] = "3fe3579f47c552a774208b9095bf89b4b6dccdc1839553a1cb6e8d91b1f249b3";
const char kHash[] =
    "f4dd0230400a93f42bc1a20f89fa36cb522d7e62c33235acc537bd06ced13323576efd065d34a81b"
    "2317e20488500098ced6a632c683f9c310a63e5c9f5ea29a";
const char kDatagram[] = "531300000100000000000000c3628d5a235fa14e653d31d4962a52406d76b38115";
const char kNextViewerToDevice[] =
    "8f185f3175cccd66e5b7f74261960999294f812a365945bfefb50a053f1dd3e9";

void Fill(secure::KeyPair* key, uint8_t byte) {
    uint8_t secret[secure::kDhSize];
    std::memset(secret, byte, sizeof secret);
    key->FromSecret(secret);
}

TEST(KnownAnswer, HandshakeAndFirstDatagram) {
    secure::ServiceSigningKey service;
    uint8_t seed[secure::kServiceSeedSize];
    for (size_t i = 0; i < sizeof seed; ++i) seed[i] = uint8_t(i + 1);
    service.FromSeed(seed);
    secure::KeyPair deviceStatic, viewerEphemeral, deviceEphemeral;
    Fill(&deviceStatic, 0x11);
    Fill(&viewerEphemeral, 0x22);
    Fill(&deviceEphemeral, 0x33);
    uint8_t certificate[secure::kCertificateSize];
    ASSERT_TRUE(service.Issue(kDid, deviceStatic.pub, kNotBefore, kNotAfter, certificate));

    secure::Initiator viewer;
    secure::Responder device(deviceStatic, certificate, secure::kSuiteChaChaPoly);
    uint8_t hello[secure::kHelloSize], reply[secure::kReplySize];
    viewer.Start(kDid, kSession, secure::kSuiteChaChaPoly, hello, &viewerEphemeral);
    EXPECT_EQ(ToHex(hello, sizeof hello), kHello);
    secure::SessionKeys deviceKeys, viewerKeys;
    ASSERT_EQ(
        device.Respond(hello, sizeof hello, kDid, kSession, reply, &deviceKeys, &deviceEphemeral),
        secure::HandshakeResult::kOk);
    EXPECT_EQ(ToHex(reply, sizeof reply), kReply);
    ASSERT_EQ(
        viewer.ReadReply(reply, sizeof reply, {service.publicKey()}, kNotBefore + 1, &viewerKeys),
        secure::HandshakeResult::kOk);
    EXPECT_EQ(ToHex(viewerKeys.send, secure::kKeySize), kViewerToDevice);
    EXPECT_EQ(ToHex(viewerKeys.receive, secure::kKeySize), kDeviceToViewer);
    EXPECT_EQ(ToHex(deviceKeys.receive, secure::kKeySize), kViewerToDevice);
    EXPECT_EQ(ToHex(viewerKeys.handshakeHash, secure::kHashSize), kHash);

    secure::SecureChannel channel(viewerKeys, 0);
    const char text[] = "hello";
    uint8_t datagram[5 + secure::kOverhead];
    ASSERT_EQ(channel.Seal(reinterpret_cast<const uint8_t*>(text), 5, datagram, sizeof datagram, 0),
              sizeof datagram);
    EXPECT_EQ(ToHex(datagram, sizeof datagram), kDatagram);
    uint8_t next[secure::kKeySize];
    secure::NextEpochKey(viewerKeys.send, next);
    EXPECT_EQ(ToHex(next, sizeof next), kNextViewerToDevice);
}

}  // namespace
