// A session's security from the viewer's first HELLO to datagrams both ways, with HELLOs
// repeated, lost and injected, and replies forged.
#include "p2p/secure/session.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/p2p/secure/secure_fixture.h"

namespace secure = zevo::p2p::secure;
using namespace secure::test;
using secure::Received;

namespace {

using Bytes = std::vector<uint8_t>;

struct Ends {
    Cast cast;
    secure::ViewerSession viewer{kDid, kSession, cast.trusted, secure::kSuiteChaChaPoly};
    secure::DeviceSession device{kDid, kSession, cast.device, cast.certificate,
                                 secure::kSuiteChaChaPoly};
    uint8_t out[8192];
    size_t n = 0;

    Bytes Hello(uint64_t now) {
        uint8_t hello[secure::kHelloSize];
        size_t len = viewer.PollHello(now, hello);
        return Bytes(hello, hello + len);
    }
    Received ToDevice(const Bytes& d, uint64_t now = 0) {
        return device.Receive(d.data(), d.size(), out, sizeof out, &n, now);
    }
    Received ToViewer(const Bytes& d, uint64_t now = 0) {
        return viewer.Receive(d.data(), d.size(), out, sizeof out, &n, now, kNow);
    }
    Bytes Out() const { return Bytes(out, out + n); }
    Bytes SealViewer(const Bytes& plain) {
        Bytes d(plain.size() + secure::kOverhead);
        d.resize(viewer.Seal(plain.data(), plain.size(), d.data(), d.size(), 0));
        return d;
    }
    Bytes SealDevice(const Bytes& plain) {
        Bytes d(plain.size() + secure::kOverhead);
        d.resize(device.Seal(plain.data(), plain.size(), d.data(), d.size(), 0));
        return d;
    }
};

// A HELLO from someone else for the same DID and session (its ids are not secret).
Bytes ForeignHello() {
    secure::Initiator other;
    uint8_t hello[secure::kHelloSize];
    other.Start(kDid, kSession, secure::kSuiteChaChaPoly, hello);
    return Bytes(hello, hello + sizeof hello);
}

TEST(SecureSession, HelloRepeatsUntilTheReplyThenDatagramsFlowBothWays) {
    Ends e;
    Bytes first = e.Hello(1000);
    ASSERT_EQ(first.size(), secure::kHelloSize);
    EXPECT_TRUE(e.Hello(1249).empty());
    Bytes again = e.Hello(1250);
    EXPECT_EQ(again, first);  // the same HELLO, not a new handshake

    // Nothing can be sealed before the handshake.
    EXPECT_TRUE(e.SealViewer({1, 2, 3}).empty());
    EXPECT_TRUE(e.SealDevice({1, 2, 3}).empty());

    // The first REPLY is lost; the retransmitted HELLO gets the same one.
    ASSERT_EQ(e.ToDevice(first), Received::kSend);
    Bytes lostReply = e.Out();
    ASSERT_EQ(e.ToDevice(again), Received::kSend);
    EXPECT_EQ(e.Out(), lostReply);
    EXPECT_EQ(e.device.pending(), 1u);
    ASSERT_EQ(e.ToViewer(lostReply), Received::kEstablished);
    EXPECT_TRUE(e.Hello(5000).empty());

    // The device answers nothing of its own until the viewer's first datagram commits it.
    EXPECT_FALSE(e.device.committed());
    ASSERT_EQ(e.ToDevice(e.SealViewer({1, 2, 3})), Received::kData);
    EXPECT_EQ(e.Out(), (Bytes{1, 2, 3}));
    EXPECT_TRUE(e.device.committed());
    ASSERT_EQ(e.ToViewer(e.SealDevice({4, 5})), Received::kData);
    EXPECT_EQ(e.Out(), (Bytes{4, 5}));

    // A late REPLY or HELLO changes nothing and is counted.
    EXPECT_EQ(e.ToViewer(lostReply), Received::kDropped);
    EXPECT_EQ(e.ToDevice(first), Received::kDropped);
    EXPECT_EQ(e.viewer.drops().handshake, 1u);
    EXPECT_EQ(e.device.drops().handshake, 1u);
    EXPECT_FALSE(e.viewer.authenticityFailed());
}

// HELLOs injected before and after the genuine one (from a forged source address): the
// device commits to the handshake the viewer's datagrams use, and then to nothing else.
TEST(SecureSession, InjectedHellosDoNotTakeTheSessionOver) {
    Ends e;
    ASSERT_EQ(e.ToDevice(ForeignHello()), Received::kSend);
    Bytes hello = e.Hello(0);
    ASSERT_EQ(e.ToDevice(hello), Received::kSend);
    Bytes reply = e.Out();
    for (size_t i = 0; i + 2 < secure::DeviceSession::kMaxPending; ++i)
        ASSERT_EQ(e.ToDevice(ForeignHello()), Received::kSend);
    EXPECT_EQ(e.device.pending(), secure::DeviceSession::kMaxPending);
    ASSERT_EQ(e.ToViewer(reply), Received::kEstablished);

    // A datagram under no pending handshake's keys is dropped once, not per handshake.
    Ends stranger;
    ASSERT_EQ(stranger.ToDevice(stranger.Hello(0)), Received::kSend);
    ASSERT_EQ(stranger.ToViewer(stranger.Out()), Received::kEstablished);
    EXPECT_EQ(e.ToDevice(stranger.SealViewer({9})), Received::kDropped);
    EXPECT_EQ(e.device.drops().badTag, 1u);

    ASSERT_EQ(e.ToDevice(e.SealViewer({7})), Received::kData);
    EXPECT_EQ(e.device.pending(), 0u);
    EXPECT_EQ(e.ToDevice(ForeignHello()), Received::kDropped);
    ASSERT_EQ(e.ToViewer(e.SealDevice({8})), Received::kData);
    EXPECT_EQ(e.Out(), (Bytes{8}));
    EXPECT_EQ(e.device.drops().badTag, 1u);  // nothing counted twice at the commit
}

TEST(SecureSession, ForgedRepliesAreRememberedAndTheGenuineOneStillCompletes) {
    Ends e;
    Bytes hello = e.Hello(0);
    // A relay answering with its own key and the device's genuine certificate.
    secure::KeyPair relayKey;
    relayKey.Generate();
    secure::DeviceSession relay(kDid, kSession, relayKey, e.cast.certificate,
                                secure::kSuiteChaChaPoly);
    uint8_t forged[secure::kReplySize];
    size_t n = 0;
    ASSERT_EQ(relay.Receive(hello.data(), hello.size(), forged, sizeof forged, &n, 0),
              Received::kSend);
    EXPECT_EQ(e.ToViewer(Bytes(forged, forged + n)), Received::kDropped);
    EXPECT_TRUE(e.viewer.authenticityFailed());
    EXPECT_EQ(e.viewer.lastFailure(), secure::HandshakeResult::kNotVouched);
    EXPECT_EQ(e.viewer.vouch(), secure::VouchResult::kWrongDeviceKey);
    EXPECT_FALSE(e.viewer.established());

    // Data before the handshake, and bytes that are no secure datagram at all.
    Bytes early(40, 0);
    early[0] = 0x53;
    early[1] = 0x13;
    EXPECT_EQ(e.ToViewer(early), Received::kDropped);
    EXPECT_EQ(e.ToViewer(Bytes{0x80, 0x01, 0x02}), Received::kDropped);
    EXPECT_EQ(e.ToDevice(Bytes{0x80, 0x01, 0x02}), Received::kDropped);
    EXPECT_EQ(e.viewer.drops().malformed, 1u);
    EXPECT_EQ(e.device.drops().malformed, 1u);

    ASSERT_EQ(e.ToDevice(hello), Received::kSend);
    EXPECT_EQ(e.ToViewer(e.Out()), Received::kEstablished);
    EXPECT_EQ(e.viewer.drops().handshake, 2u);
}

}  // namespace
