#pragma once
// A service key, a device with its static key and certificate, and a viewer that trusts
// the service: the cast of the handshake and channel tests.
#include <cstdint>
#include <vector>

#include "p2p/secure/certificate.h"
#include "p2p/secure/handshake.h"

namespace zevo::p2p::secure::test {

constexpr char kDid[] = "ZEVO-000001-ABCDE";
constexpr uint64_t kSession = 0x1122334455667788ull;
constexpr uint64_t kNow = 1'800'000'000;  // Unix seconds of the tests' clock

struct Cast {
    ServiceSigningKey service;
    KeyPair device;
    uint8_t certificate[kCertificateSize];
    std::vector<ServicePublicKey> trusted;

    Cast() {
        service.Generate();
        device.Generate();
        service.Issue(kDid, device.pub, kNow - 3600, kNow + 86400, certificate);
        trusted.push_back(service.publicKey());
    }
};

// One complete handshake; both results must be kOk for the keys to mean anything.
struct Handshake {
    HandshakeResult device = HandshakeResult::kMalformed;
    HandshakeResult viewer = HandshakeResult::kMalformed;
    SessionKeys viewerKeys, deviceKeys;
};

inline Handshake RunHandshake(const Cast& cast, uint8_t viewerSuites = kSuiteChaChaPoly,
                              uint8_t deviceSuites = kSuiteChaChaPoly) {
    Handshake h;
    Initiator viewer;
    Responder device(cast.device, cast.certificate, deviceSuites);
    uint8_t hello[kHelloSize], reply[kReplySize];
    viewer.Start(kDid, kSession, viewerSuites, hello);
    h.device = device.Respond(hello, sizeof hello, kDid, kSession, reply, &h.deviceKeys);
    if (h.device == HandshakeResult::kOk)
        h.viewer = viewer.ReadReply(reply, sizeof reply, cast.trusted, kNow, &h.viewerKeys);
    return h;
}

}  // namespace zevo::p2p::secure::test
