// The handshake messages as each end reads them (a HELLO at the device, a REPLY at the
// viewer), the device certificate and the pinned-key file. Keys are fixed so every run
// is reproducible. The first byte picks the parser.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "p2p/secure/certificate.h"
#include "p2p/secure/handshake.h"

namespace secure = zevo::p2p::secure;

namespace {

constexpr char kDid[] = "ZEVO-000001-ABCDE";
constexpr uint64_t kNow = 1'800'000'000;

struct Fixed {
    secure::ServiceSigningKey service;
    secure::KeyPair device, ephemeral;
    uint8_t certificate[secure::kCertificateSize];
    std::vector<secure::ServicePublicKey> trusted;
    Fixed() {
        uint8_t seed[32];
        for (int i = 0; i < 32; ++i) seed[i] = uint8_t(i + 1);
        service.FromSeed(seed);
        seed[0] = 0x55;
        device.FromSecret(seed);
        seed[0] = 0x66;
        ephemeral.FromSecret(seed);
        service.Issue(kDid, device.pub, kNow - 10, kNow + 10, certificate);
        trusted.push_back(service.publicKey());
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Fixed fixed;
    if (size == 0) return 0;
    // Exactly sized copies, so a read past the message's end is caught.
    std::vector<uint8_t> body(data + 1, data + size);
    const uint8_t* p = body.empty() ? nullptr : body.data();
    switch (data[0] % 4) {
        case 0: {
            secure::Responder device(fixed.device, fixed.certificate, secure::kSuiteChaChaPoly);
            uint8_t reply[secure::kReplySize];
            secure::SessionKeys keys;
            (void)device.Respond(p, body.size(), kDid, 1, reply, &keys);
            break;
        }
        case 1: {
            secure::Initiator viewer;
            uint8_t hello[secure::kHelloSize];
            viewer.Start(kDid, 1, secure::kSuiteChaChaPoly, hello, &fixed.ephemeral);
            secure::SessionKeys keys;
            // Without the device's keys no reply can authenticate.
            if (viewer.ReadReply(p, body.size(), fixed.trusted, kNow, &keys) ==
                secure::HandshakeResult::kOk)
                std::abort();
            break;
        }
        case 2: {
            secure::Certificate c;
            bool parsed = secure::ParseCertificate(p, body.size(), &c);
            auto r = secure::VerifyCertificate(p, body.size(), fixed.trusted, kDid,
                                               fixed.device.pub, kNow);
            if (!parsed && r != secure::VouchResult::kMalformed) std::abort();
            // Only the genuine certificate verifies.
            if (r == secure::VouchResult::kOk &&
                std::memcmp(p, fixed.certificate, secure::kCertificateSize) != 0)
                std::abort();
            break;
        }
        case 3: {
            std::vector<secure::ServicePublicKey> keys;
            std::string error;
            std::string text(body.begin(), body.end());
            if (secure::ParsePinnedKeys(text, &keys, &error) &&
                (keys.empty() || keys.size() > secure::kMaxPinnedKeys))
                std::abort();
            break;
        }
    }
    return 0;
}
