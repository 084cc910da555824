// The handshake between a viewer and a device: agreement on keys and cipher, and refusal
// of every altered message, of devices the service did not vouch for, and of a relay that
// puts itself in the middle.
#include "p2p/secure/handshake.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "tests/p2p/secure/secure_fixture.h"

namespace secure = zevo::p2p::secure;
using namespace secure::test;
using secure::HandshakeResult;
using secure::VouchResult;

namespace {

// Certificate offsets (layout in p2p/PROTOCOL.md).
constexpr size_t kCertNotAfter = 66;
constexpr size_t kCertKeyId = 74;

TEST(Handshake, BothEndsAgreeOnKeysAndCipher) {
    Cast cast;
    const uint8_t both = secure::kSuiteChaChaPoly | secure::kSuiteAesGcm;
    struct {
        uint8_t viewer, device, expected;
    } cases[] = {
        {secure::kSuiteChaChaPoly, secure::kSuiteChaChaPoly, secure::kSuiteChaChaPoly},
        {both, secure::kSuiteChaChaPoly, secure::kSuiteChaChaPoly},
        {secure::kSuiteChaChaPoly, both, secure::kSuiteChaChaPoly},
        {both, both, secure::kSuiteAesGcm},
        {secure::kSuiteAesGcm, secure::kSuiteChaChaPoly, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "viewer " << int(c.viewer) << " device " << int(c.device));
        Handshake h = RunHandshake(cast, c.viewer, c.device);
        if (c.expected == 0) {
            EXPECT_EQ(h.device, HandshakeResult::kNoCommonSuite);
            continue;
        }
        ASSERT_EQ(h.device, HandshakeResult::kOk);
        ASSERT_EQ(h.viewer, HandshakeResult::kOk);
        EXPECT_EQ(h.viewerKeys.suite, c.expected);
        EXPECT_EQ(h.deviceKeys.suite, c.expected);
        EXPECT_EQ(0, std::memcmp(h.viewerKeys.send, h.deviceKeys.receive, secure::kKeySize));
        EXPECT_EQ(0, std::memcmp(h.viewerKeys.receive, h.deviceKeys.send, secure::kKeySize));
        EXPECT_NE(0, std::memcmp(h.viewerKeys.send, h.viewerKeys.receive, secure::kKeySize));
        EXPECT_EQ(0, std::memcmp(h.viewerKeys.handshakeHash, h.deviceKeys.handshakeHash,
                                 secure::kHashSize));
        EXPECT_EQ(0, std::memcmp(h.viewerKeys.peerStatic, cast.device.pub, secure::kDhSize));
    }
    // Fresh ephemeral keys: two sessions never share keys.
    Handshake a = RunHandshake(cast), b = RunHandshake(cast);
    EXPECT_NE(0, std::memcmp(a.viewerKeys.send, b.viewerKeys.send, secure::kKeySize));
}

// A HELLO and the device's REPLY to it, kept so tests can alter and replay them.
struct Exchange {
    secure::Initiator viewer;
    uint8_t hello[secure::kHelloSize];
    uint8_t reply[secure::kReplySize];
    secure::SessionKeys deviceKeys;

    Exchange(const Cast& cast, const char* viewerDid = kDid, uint64_t viewerSession = kSession,
             const char* deviceDid = kDid, uint64_t deviceSession = kSession) {
        secure::Responder device(cast.device, cast.certificate, secure::kSuiteChaChaPoly);
        viewer.Start(viewerDid, viewerSession, secure::kSuiteChaChaPoly, hello);
        EXPECT_EQ(device.Respond(hello, sizeof hello, deviceDid, deviceSession, reply, &deviceKeys),
                  HandshakeResult::kOk);
    }
};

TEST(Handshake, EveryAlteredHelloByteIsRefused) {
    Cast cast;
    secure::Responder device(cast.device, cast.certificate, secure::kSuiteChaChaPoly);
    for (size_t i = 0; i < secure::kHelloSize; ++i) {
        for (uint8_t bit : {uint8_t(0x01), uint8_t(0x80)}) {
            secure::Initiator viewer;
            uint8_t hello[secure::kHelloSize], reply[secure::kReplySize];
            viewer.Start(kDid, kSession, secure::kSuiteChaChaPoly, hello);
            hello[i] ^= bit;
            secure::SessionKeys dk, vk;
            // Either the device refuses it, or the viewer refuses the reply made for it:
            // the ephemeral key and the offered suites are bound into the handshake hash.
            HandshakeResult d = device.Respond(hello, sizeof hello, kDid, kSession, reply, &dk);
            if (d == HandshakeResult::kOk) {
                EXPECT_NE(viewer.ReadReply(reply, sizeof reply, cast.trusted, kNow, &vk),
                          HandshakeResult::kOk)
                    << "byte " << i << " bit " << int(bit);
            }
        }
    }
}

TEST(Handshake, EveryAlteredReplyByteIsRefusedAndTheGenuineReplyStillCompletes) {
    Cast cast;
    Exchange x(cast);
    secure::SessionKeys keys;
    for (size_t i = 0; i < secure::kReplySize; ++i) {
        uint8_t altered[secure::kReplySize];
        std::memcpy(altered, x.reply, sizeof altered);
        altered[i] ^= 0x20;
        HandshakeResult r = x.viewer.ReadReply(altered, sizeof altered, cast.trusted, kNow, &keys);
        EXPECT_TRUE(r == HandshakeResult::kMalformed || r == HandshakeResult::kBadTag ||
                    r == HandshakeResult::kWeakKey)
            << "byte " << i << ": " << secure::HandshakeResultText(r);
    }
    for (size_t cut : {size_t(0), size_t(1), size_t(4), secure::kReplySize - 1})
        EXPECT_EQ(x.viewer.ReadReply(x.reply, cut, cast.trusted, kNow, &keys),
                  HandshakeResult::kMalformed);
    ASSERT_EQ(x.viewer.ReadReply(x.reply, sizeof x.reply, cast.trusted, kNow, &keys),
              HandshakeResult::kOk);
    EXPECT_EQ(0, std::memcmp(keys.send, x.deviceKeys.receive, secure::kKeySize));
    // One HELLO makes one session: the same reply again is not a second one.
    EXPECT_EQ(x.viewer.ReadReply(x.reply, sizeof x.reply, cast.trusted, kNow, &keys),
              HandshakeResult::kMalformed);
}

TEST(Handshake, PrologueBindsDidAndSession) {
    Cast cast;
    secure::SessionKeys keys;
    // The viewer asked for another DID or session than the device answers for.
    Exchange otherDid(cast, "ZEVO-000002-ABCDE");
    EXPECT_EQ(
        otherDid.viewer.ReadReply(otherDid.reply, sizeof otherDid.reply, cast.trusted, kNow, &keys),
        HandshakeResult::kBadTag);
    Exchange otherSession(cast, kDid, kSession + 1);
    EXPECT_EQ(otherSession.viewer.ReadReply(otherSession.reply, sizeof otherSession.reply,
                                            cast.trusted, kNow, &keys),
              HandshakeResult::kBadTag);
}

// Certificates the viewer must refuse, each with its own reason.
TEST(Handshake, DevicesTheServiceDidNotVouchForAreRefused) {
    Cast cast;
    secure::ServiceSigningKey spoofed;
    spoofed.Generate();
    secure::KeyPair other;
    other.Generate();
    struct Case {
        const char* name;
        // Builds the certificate the device presents.
        std::function<void(uint8_t*)> make;
        VouchResult expected;
    };
    const Case cases[] = {
        {"genuine", [&](uint8_t* c) { std::memcpy(c, cast.certificate, secure::kCertificateSize); },
         VouchResult::kOk},
        {"spoofed service",
         [&](uint8_t* c) { spoofed.Issue(kDid, cast.device.pub, kNow - 10, kNow + 10, c); },
         VouchResult::kUnknownServiceKey},
        {"spoofed service claiming the trusted key's id",
         [&](uint8_t* c) {
             spoofed.Issue(kDid, cast.device.pub, kNow - 10, kNow + 10, c);
             std::memcpy(c + kCertKeyId, cast.service.publicKey().id, secure::kKeyIdSize);
         },
         VouchResult::kBadSignature},
        {"validity stretched after signing",
         [&](uint8_t* c) {
             cast.service.Issue(kDid, cast.device.pub, kNow - 10, kNow - 5, c);
             c[kCertNotAfter + 4] = 0x7F;  // not-after far in the future
         },
         VouchResult::kBadSignature},
        {"another DID's certificate",
         [&](uint8_t* c) {
             cast.service.Issue("ZEVO-000002-ABCDE", cast.device.pub, kNow - 10, kNow + 10, c);
         },
         VouchResult::kWrongDid},
        {"another key's certificate",
         [&](uint8_t* c) { cast.service.Issue(kDid, other.pub, kNow - 10, kNow + 10, c); },
         VouchResult::kWrongDeviceKey},
        {"expired beyond the clock slack",
         [&](uint8_t* c) {
             cast.service.Issue(kDid, cast.device.pub, kNow - 9000,
                                kNow - secure::kClockSlackSeconds - 1, c);
         },
         VouchResult::kExpired},
        {"expired within the clock slack",
         [&](uint8_t* c) {
             cast.service.Issue(kDid, cast.device.pub, kNow - 9000,
                                kNow - secure::kClockSlackSeconds, c);
         },
         VouchResult::kOk},
        {"not yet valid",
         [&](uint8_t* c) {
             cast.service.Issue(kDid, cast.device.pub, kNow + secure::kClockSlackSeconds + 1,
                                kNow + 9000, c);
         },
         VouchResult::kNotYetValid},
    };
    for (const auto& c : cases) {
        uint8_t certificate[secure::kCertificateSize];
        c.make(certificate);
        secure::Initiator viewer;
        secure::Responder responder(cast.device, certificate, secure::kSuiteChaChaPoly);
        uint8_t hello[secure::kHelloSize], reply[secure::kReplySize];
        secure::SessionKeys dk, vk;
        viewer.Start(kDid, kSession, secure::kSuiteChaChaPoly, hello);
        ASSERT_EQ(responder.Respond(hello, sizeof hello, kDid, kSession, reply, &dk),
                  HandshakeResult::kOk);
        HandshakeResult r = viewer.ReadReply(reply, sizeof reply, cast.trusted, kNow, &vk);
        EXPECT_EQ(
            r, c.expected == VouchResult::kOk ? HandshakeResult::kOk : HandshakeResult::kNotVouched)
            << c.name;
        if (c.expected != VouchResult::kOk) {
            EXPECT_EQ(viewer.vouch(), c.expected) << c.name;
        }
    }
}

// A rogue device, registered under its own DID with its own key and a genuine certificate,
// answers a viewer that asked for another DID.
TEST(Handshake, RogueDeviceCannotAnswerForAnotherDid) {
    Cast cast;
    secure::KeyPair rogue;
    rogue.Generate();
    uint8_t certificate[secure::kCertificateSize];
    ASSERT_TRUE(
        cast.service.Issue("ZEVO-000009-ROGUE", rogue.pub, kNow - 10, kNow + 10, certificate));
    secure::Responder device(rogue, certificate, secure::kSuiteChaChaPoly);
    secure::Initiator viewer;
    uint8_t hello[secure::kHelloSize], reply[secure::kReplySize];
    secure::SessionKeys dk, vk;
    viewer.Start(kDid, kSession, secure::kSuiteChaChaPoly, hello);
    ASSERT_EQ(device.Respond(hello, sizeof hello, kDid, kSession, reply, &dk),
              HandshakeResult::kOk);
    EXPECT_EQ(viewer.ReadReply(reply, sizeof reply, cast.trusted, kNow, &vk),
              HandshakeResult::kNotVouched);
    EXPECT_EQ(viewer.vouch(), VouchResult::kWrongDid);
}

// The relay sees both messages and may rewrite them. It can run the device's half with a
// key of its own (and the device's genuine certificate, which it may have fetched as a
// viewer), a certificate of its own, or splice its ephemeral key into the device's reply.
TEST(Handshake, RelaySubstitutingKeysIsDetected) {
    Cast cast;
    secure::KeyPair relayStatic;
    relayStatic.Generate();
    secure::ServiceSigningKey relayService;
    relayService.Generate();
    uint8_t relayCertificate[secure::kCertificateSize];
    relayService.Issue(kDid, relayStatic.pub, kNow - 10, kNow + 10, relayCertificate);

    struct Case {
        const char* name;
        const uint8_t* certificate;
        HandshakeResult expected;
        VouchResult vouch;
    } cases[] = {
        {"own key, device's certificate", cast.certificate, HandshakeResult::kNotVouched,
         VouchResult::kWrongDeviceKey},
        {"own key, own certificate", relayCertificate, HandshakeResult::kNotVouched,
         VouchResult::kUnknownServiceKey},
    };
    for (const auto& c : cases) {
        secure::Initiator viewer;
        secure::Responder relay(relayStatic, c.certificate, secure::kSuiteChaChaPoly);
        uint8_t hello[secure::kHelloSize], reply[secure::kReplySize];
        secure::SessionKeys rk, vk;
        viewer.Start(kDid, kSession, secure::kSuiteChaChaPoly, hello);
        ASSERT_EQ(relay.Respond(hello, sizeof hello, kDid, kSession, reply, &rk),
                  HandshakeResult::kOk);
        EXPECT_EQ(viewer.ReadReply(reply, sizeof reply, cast.trusted, kNow, &vk), c.expected)
            << c.name;
        EXPECT_EQ(viewer.vouch(), c.vouch) << c.name;
    }

    // Splicing: the relay forwards the viewer's HELLO with its own ephemeral key, so it
    // shares ee with the device, and hands the genuine reply back.
    Exchange x(cast);
    secure::KeyPair relayEphemeral;
    relayEphemeral.Generate();
    uint8_t spliced[secure::kHelloSize];
    std::memcpy(spliced, x.hello, sizeof spliced);
    std::memcpy(spliced + 4, relayEphemeral.pub, secure::kDhSize);
    secure::Responder device(cast.device, cast.certificate, secure::kSuiteChaChaPoly);
    uint8_t reply[secure::kReplySize];
    secure::SessionKeys dk, vk;
    ASSERT_EQ(device.Respond(spliced, sizeof spliced, kDid, kSession, reply, &dk),
              HandshakeResult::kOk);
    EXPECT_EQ(x.viewer.ReadReply(reply, sizeof reply, cast.trusted, kNow, &vk),
              HandshakeResult::kBadTag);
    // And the genuine reply to the genuine HELLO still completes.
    EXPECT_EQ(x.viewer.ReadReply(x.reply, sizeof x.reply, cast.trusted, kNow, &vk),
              HandshakeResult::kOk);
}

TEST(Handshake, RetransmittedHelloGetsTheSameReply) {
    Cast cast;
    secure::Responder device(cast.device, cast.certificate, secure::kSuiteChaChaPoly);
    secure::Initiator viewer;
    uint8_t hello[secure::kHelloSize], first[secure::kReplySize], again[secure::kReplySize];
    secure::SessionKeys k1, k2, vk;
    viewer.Start(kDid, kSession, secure::kSuiteChaChaPoly, hello);
    ASSERT_EQ(device.Respond(hello, sizeof hello, kDid, kSession, first, &k1),
              HandshakeResult::kOk);
    ASSERT_EQ(device.Respond(hello, sizeof hello, kDid, kSession, again, &k2),
              HandshakeResult::kOk);
    EXPECT_EQ(0, std::memcmp(first, again, sizeof first));
    EXPECT_EQ(0, std::memcmp(k1.send, k2.send, secure::kKeySize));
    // The viewer completes on the second copy with the keys the device holds.
    ASSERT_EQ(viewer.ReadReply(again, sizeof again, cast.trusted, kNow, &vk), HandshakeResult::kOk);
    EXPECT_EQ(0, std::memcmp(vk.receive, k1.send, secure::kKeySize));

    // The same HELLO for another session is not a retransmission; a new HELLO neither.
    uint8_t other[secure::kReplySize];
    EXPECT_EQ(device.Respond(hello, sizeof hello, kDid, kSession + 1, other, &k2),
              HandshakeResult::kOk);
    EXPECT_NE(0, std::memcmp(first, other, sizeof first));
    secure::Initiator second;
    second.Start(kDid, kSession, secure::kSuiteChaChaPoly, hello);
    ASSERT_EQ(device.Respond(hello, sizeof hello, kDid, kSession, other, &k2),
              HandshakeResult::kOk);
    EXPECT_NE(0, std::memcmp(first + 4, other + 4, secure::kDhSize));
    EXPECT_NE(0, std::memcmp(k1.send, k2.send, secure::kKeySize));
}

TEST(Handshake, LowOrderEphemeralKeysAreRefused) {
    Cast cast;
    secure::Responder device(cast.device, cast.certificate, secure::kSuiteChaChaPoly);
    secure::Initiator viewer;
    uint8_t hello[secure::kHelloSize], reply[secure::kReplySize];
    secure::SessionKeys keys;
    viewer.Start(kDid, kSession, secure::kSuiteChaChaPoly, hello);
    std::memset(hello + 4, 0, secure::kDhSize);  // the identity point: every DH result 0
    EXPECT_EQ(device.Respond(hello, sizeof hello, kDid, kSession, reply, &keys),
              HandshakeResult::kWeakKey);
    Exchange x(cast);
    std::memset(x.reply + 4, 0, secure::kDhSize);
    EXPECT_EQ(x.viewer.ReadReply(x.reply, sizeof x.reply, cast.trusted, kNow, &keys),
              HandshakeResult::kWeakKey);
}

}  // namespace
