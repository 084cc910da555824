// Sealed datagrams between two ends of a session: round trips in place and out, and every
// datagram that must not open (altered, replayed, too old, under a stale key) dropped and
// counted under its cause while the session goes on; key epochs with datagrams in flight.
#include "p2p/secure/channel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "tests/p2p/secure/secure_fixture.h"

namespace secure = zevo::p2p::secure;
using secure::OpenResult;

namespace {

using Datagram = std::vector<uint8_t>;

// Two channels joined by a real handshake.
struct Pair {
    std::unique_ptr<secure::SecureChannel> viewer, device;
    explicit Pair(uint8_t suite = secure::kSuiteChaChaPoly, secure::RekeyPolicy policy = {},
                  uint64_t now = 0) {
        secure::test::Cast cast;
        auto h = secure::test::RunHandshake(cast, suite, suite);
        EXPECT_EQ(h.viewer, secure::HandshakeResult::kOk);
        viewer = std::make_unique<secure::SecureChannel>(h.viewerKeys, now, policy);
        device = std::make_unique<secure::SecureChannel>(h.deviceKeys, now, policy);
    }
};

Datagram Pattern(size_t n, uint8_t seed) {
    Datagram d(n);
    for (size_t i = 0; i < n; ++i) d[i] = uint8_t(seed + i * 31);
    return d;
}

Datagram Seal(secure::SecureChannel& from, const Datagram& plain, uint64_t now = 0) {
    Datagram out(plain.size() + secure::kOverhead);
    EXPECT_EQ(from.Seal(plain.data(), plain.size(), out.data(), out.size(), now), out.size());
    return out;
}

OpenResult Open(secure::SecureChannel& to, const Datagram& sealed, Datagram* plain = nullptr,
                uint64_t now = 0) {
    Datagram out(sealed.size());
    size_t n = 0;
    OpenResult r = to.Open(sealed.data(), sealed.size(), out.data(), out.size(), &n, now);
    if (r == OpenResult::kOk && plain != nullptr)
        *plain = Datagram(out.begin(), out.begin() + long(n));
    return r;
}

uint64_t Total(const secure::DropCounts& d) {
    return d.malformed + d.badTag + d.replay + d.tooOld + d.staleKey;
}

std::vector<uint8_t> Suites() {
    std::vector<uint8_t> out{secure::kSuiteChaChaPoly};
    if (secure::LocalSuites() & secure::kSuiteAesGcm) out.push_back(secure::kSuiteAesGcm);
    return out;
}

TEST(SecureChannel, RoundTripsBothWaysInPlaceAndOut) {
    for (uint8_t suite : Suites()) {
        Pair p(suite);
        for (size_t size : {size_t(0), size_t(1), size_t(1200), size_t(4096)}) {
            SCOPED_TRACE(testing::Message() << "suite " << int(suite) << " size " << size);
            Datagram plain = Pattern(size, uint8_t(size));
            Datagram got;
            Datagram sealed = Seal(*p.viewer, plain);
            // The payload never shows in the clear.
            if (size >= 16) {
                EXPECT_EQ(
                    std::search(sealed.begin(), sealed.end(), plain.begin(), plain.begin() + 16),
                    sealed.end());
            }
            ASSERT_EQ(Open(*p.device, sealed, &got), OpenResult::kOk);
            EXPECT_EQ(got, plain);
            ASSERT_EQ(Open(*p.viewer, Seal(*p.device, plain), &got), OpenResult::kOk);
            EXPECT_EQ(got, plain);

            // In place: the payload already sits behind room for the header.
            Datagram buffer(size + secure::kOverhead);
            std::copy(plain.begin(), plain.end(), buffer.begin() + secure::kDataHeaderSize);
            ASSERT_EQ(p.viewer->Seal(buffer.data() + secure::kDataHeaderSize, size, buffer.data(),
                                     buffer.size(), 0),
                      buffer.size());
            size_t n = 0;
            ASSERT_EQ(p.device->Open(buffer.data(), buffer.size(),
                                     buffer.data() + secure::kDataHeaderSize, size, &n, 0),
                      OpenResult::kOk);
            ASSERT_EQ(n, size);
            EXPECT_TRUE(
                std::equal(plain.begin(), plain.end(), buffer.begin() + secure::kDataHeaderSize));
        }
        EXPECT_EQ(Total(p.viewer->drops()) + Total(p.device->drops()), 0u);
    }
}

TEST(SecureChannel, BuffersThatDoNotFitAreTheCallersAndNotCounted) {
    Pair p;
    Datagram plain = Pattern(100, 1), out(100 + secure::kOverhead - 1);
    EXPECT_EQ(p.viewer->Seal(plain.data(), plain.size(), out.data(), out.size(), 0), 0u);
    EXPECT_EQ(p.viewer->Seal(plain.data(), 0, out.data(), secure::kOverhead - 1, 0), 0u);
    Datagram sealed = Seal(*p.viewer, plain);
    size_t n = 0;
    EXPECT_EQ(p.device->Open(sealed.data(), sealed.size(), out.data(), 99, &n, 0),
              OpenResult::kNoRoom);
    EXPECT_EQ(Total(p.device->drops()), 0u);
    EXPECT_EQ(Open(*p.device, sealed), OpenResult::kOk);
}

// Each byte of a datagram altered in flight: dropped under the cause its position implies,
// counted once, and the genuine datagram still opens afterwards.
TEST(SecureChannel, EveryAlteredByteIsDroppedAndCounted) {
    for (uint8_t suite : Suites()) {
        Pair p(suite);
        Datagram sealed = Seal(*p.viewer, Pattern(64, 9));
        for (size_t i = 0; i < sealed.size(); ++i) {
            for (uint8_t bit : {uint8_t(0x01), uint8_t(0x40), uint8_t(0x80)}) {
                Datagram altered = sealed;
                altered[i] ^= bit;
                secure::DropCounts before = p.device->drops();
                OpenResult r = Open(*p.device, altered);
                secure::DropCounts after = p.device->drops();
                SCOPED_TRACE(testing::Message()
                             << "suite " << int(suite) << " byte " << i << " bit " << int(bit));
                EXPECT_EQ(Total(after), Total(before) + 1);
                if (i == 0 || i == 1 || i == 3) {
                    EXPECT_EQ(r, OpenResult::kMalformed);
                } else if (i == 2) {
                    // Epoch 0 -> 1 is the next key, under which the tag fails; others are
                    // epochs this end holds no key for.
                    EXPECT_EQ(r, bit == 0x01 ? OpenResult::kBadTag : OpenResult::kStaleKey);
                } else if (i == 4 && bit == 0x01) {
                    EXPECT_EQ(r, OpenResult::kReplay);  // counter 1 -> 0, never sent
                } else {
                    EXPECT_EQ(r, OpenResult::kBadTag);
                }
            }
        }
        for (size_t cut = 0; cut < secure::kOverhead; ++cut) {
            Datagram shortened(sealed.begin(), sealed.begin() + long(cut));
            EXPECT_EQ(Open(*p.device, shortened), OpenResult::kMalformed) << cut;
        }
        EXPECT_EQ(Open(*p.device, sealed), OpenResult::kOk);
    }
}

TEST(SecureChannel, ForeignDatagramsFailTheTag) {
    Pair a, b;
    Datagram plain = Pattern(300, 3);
    // Reflected back to its sender, or from another session: both authenticate nothing.
    EXPECT_EQ(Open(*a.viewer, Seal(*a.viewer, plain)), OpenResult::kBadTag);
    EXPECT_EQ(Open(*a.device, Seal(*b.viewer, plain)), OpenResult::kBadTag);
    EXPECT_EQ(a.viewer->drops().badTag, 1u);
    EXPECT_EQ(a.device->drops().badTag, 1u);
    // A datagram that failed does not burn its counter: the genuine one still opens.
    EXPECT_EQ(Open(*a.device, Seal(*a.viewer, plain)), OpenResult::kOk);
}

TEST(SecureChannel, ReplayedTooOldAndReorderedDatagrams) {
    Pair p;
    const size_t n = 3 * secure::kReplayWindow;
    std::vector<Datagram> sent;
    for (size_t i = 0; i < n; ++i) sent.push_back(Seal(*p.viewer, Pattern(40, uint8_t(i))));

    // The first window's worth, shuffled: all open, in any order, each once.
    std::vector<size_t> order(secure::kReplayWindow);
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(5));
    Datagram got;
    for (size_t i : order) {
        ASSERT_EQ(Open(*p.device, sent[i], &got), OpenResult::kOk) << i;
        ASSERT_EQ(got, Pattern(40, uint8_t(i)));
    }
    for (size_t i : {size_t(0), size_t(17), size_t(secure::kReplayWindow - 1)})
        EXPECT_EQ(Open(*p.device, sent[i]), OpenResult::kReplay) << i;

    // Jump ahead: the newest arrives, then ones just inside and just outside the window.
    const size_t last = n - 1;  // counter n
    ASSERT_EQ(Open(*p.device, sent[last]), OpenResult::kOk);
    const size_t oldestInside = last - (secure::kReplayWindow - 1);
    EXPECT_EQ(Open(*p.device, sent[oldestInside]), OpenResult::kOk);
    EXPECT_EQ(Open(*p.device, sent[oldestInside - 1]), OpenResult::kTooOld);
    EXPECT_EQ(Open(*p.device, sent[secure::kReplayWindow]), OpenResult::kTooOld);
    EXPECT_EQ(Open(*p.device, sent[last]), OpenResult::kReplay);

    secure::DropCounts d = p.device->drops();
    EXPECT_EQ(d.replay, 4u);
    EXPECT_EQ(d.tooOld, 2u);
    EXPECT_EQ(d.badTag + d.malformed + d.staleKey, 0u);
}

// Rotation by count: datagrams of an epoch still in flight when the peer moved on open
// for the overlap, and not after.
TEST(SecureChannel, RekeyByCountWithDatagramsInFlight) {
    secure::RekeyPolicy policy;
    policy.afterDatagrams = 10;
    policy.overlapMs = 500;
    Pair p(secure::kSuiteChaChaPoly, policy);
    std::vector<Datagram> sent;
    for (int i = 0; i < 30; ++i) sent.push_back(Seal(*p.viewer, Pattern(100, uint8_t(i)), 0));
    EXPECT_EQ(p.viewer->sendEpoch(), 2u);
    EXPECT_EQ(sent[9][2], 0);  // epoch byte
    EXPECT_EQ(sent[10][2], 1);
    EXPECT_EQ(sent[20][2], 2);
    // Same plaintext position, other epoch: other key, so other ciphertext.
    EXPECT_FALSE(std::equal(sent[0].begin() + 12, sent[0].end(), sent[10].begin() + 12));

    Datagram got;
    for (int i = 0; i < 5; ++i) ASSERT_EQ(Open(*p.device, sent[i], &got, 0), OpenResult::kOk);
    // The first of epoch 1 arrives at t=100 before the rest of epoch 0.
    ASSERT_EQ(Open(*p.device, sent[12], &got, 100), OpenResult::kOk);
    EXPECT_EQ(got, Pattern(100, 12));
    EXPECT_EQ(p.device->receiveEpoch(), 1u);
    for (int i = 5; i < 8; ++i)
        EXPECT_EQ(Open(*p.device, sent[i], &got, 599), OpenResult::kOk) << i;
    // The overlap is over: epoch 0's last ones are dropped as stale.
    EXPECT_EQ(Open(*p.device, sent[8], &got, 600), OpenResult::kStaleKey);
    for (int i = 10; i < 20; ++i) {
        if (i == 12) continue;
        EXPECT_EQ(Open(*p.device, sent[i], &got, 700), OpenResult::kOk) << i;
    }
    ASSERT_EQ(Open(*p.device, sent[20], &got, 800), OpenResult::kOk);
    EXPECT_EQ(p.device->receiveEpoch(), 2u);
    // Two epochs back is never kept, overlap or not.
    EXPECT_EQ(Open(*p.device, sent[9], &got, 800), OpenResult::kStaleKey);
    EXPECT_EQ(p.device->drops().staleKey, 2u);
    EXPECT_EQ(p.device->drops().badTag, 0u);
}

TEST(SecureChannel, RekeyByTimeAndBothDirectionsIndependently) {
    secure::RekeyPolicy policy;
    policy.afterMs = 1000;
    Pair p(secure::kSuiteChaChaPoly, policy, 5000);
    Datagram got;
    uint64_t now = 5000;
    for (int step = 0; step < 10; ++step, now += 400) {
        ASSERT_EQ(Open(*p.device, Seal(*p.viewer, Pattern(50, 1), now), &got, now),
                  OpenResult::kOk);
    }
    // 10 datagrams 400 ms apart: the key changed at 1000, 2000, 3000 ms after the start.
    EXPECT_EQ(p.viewer->sendEpoch(), 3u);
    EXPECT_EQ(p.device->receiveEpoch(), 3u);
    // The device has sent nothing, so its own direction is still on its first key.
    EXPECT_EQ(p.device->sendEpoch(), 0u);
    ASSERT_EQ(Open(*p.viewer, Seal(*p.device, Pattern(50, 2), now), &got, now), OpenResult::kOk);
}

}  // namespace
