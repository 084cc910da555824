// A session's receive path as the transport drives it: whatever reaches a session's socket
// goes to its ViewerSession or DeviceSession. The input is a run of datagrams (u16 length,
// bytes), each handed to one end (the length's top bit picks which) of a pair that first
// completed a genuine handshake, so forged, altered and replayed datagrams meet live keys.
// A datagram opens only if it came from the other end's Seal.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "p2p/secure/session.h"

namespace secure = zevo::p2p::secure;

namespace {

constexpr char kDid[] = "ZEVO-000001-ABCDE";
constexpr uint64_t kSession = 7;
constexpr uint64_t kNow = 1'800'000'000;

struct Keys {
    secure::ServiceSigningKey service;
    secure::KeyPair device;
    uint8_t certificate[secure::kCertificateSize];
    std::vector<secure::ServicePublicKey> trusted;
    Keys() {
        uint8_t seed[32];
        for (int i = 0; i < 32; ++i) seed[i] = uint8_t(i + 3);
        service.FromSeed(seed);
        seed[0] = 0x77;
        device.FromSecret(seed);
        service.Issue(kDid, device.pub, kNow - 10, kNow + 10, certificate);
        trusted.push_back(service.publicKey());
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Keys keys;
    secure::ViewerSession viewer(kDid, kSession, keys.trusted, secure::kSuiteChaChaPoly);
    secure::DeviceSession device(kDid, kSession, keys.device, keys.certificate,
                                 secure::kSuiteChaChaPoly);
    uint8_t hello[secure::kHelloSize], out[4096 + secure::kOverhead];
    size_t n = viewer.PollHello(0, hello), got = 0;
    if (device.Receive(hello, n, out, sizeof out, &got, 0) != secure::Received::kSend ||
        viewer.Receive(out, got, out, sizeof out, &got, 0, kNow) !=
            secure::Received::kEstablished)
        std::abort();
    // The viewer's first datagram commits the device, as ENet's connect does.
    const uint8_t first[] = "connect";
    uint8_t sealed[64];
    n = viewer.Seal(first, sizeof first, sealed, sizeof sealed, 1);
    if (device.Receive(sealed, n, out, sizeof out, &got, 1) != secure::Received::kData)
        std::abort();

    size_t pos = 0;
    uint64_t now = 2;
    while (pos + 2 <= size) {
        uint16_t header = uint16_t(data[pos] | (data[pos + 1] << 8));
        pos += 2;
        size_t length = std::min<size_t>(header & 0x7FFF, size - pos);
        // An exactly sized copy, so a read past the datagram's end is caught.
        std::vector<uint8_t> datagram(data + pos, data + pos + length);
        pos += length;
        const uint8_t* p = datagram.empty() ? nullptr : datagram.data();
        secure::Received r =
            (header & 0x8000)
                ? viewer.Receive(p, length, out, sizeof out, &got, now, kNow)
                : device.Receive(p, length, out, sizeof out, &got, now);
        // No key but the ends' own can seal, and the input never saw them.
        if (r == secure::Received::kData || r == secure::Received::kEstablished) std::abort();
        if (r == secure::Received::kSend && got > sizeof out) std::abort();
        now += 3;
    }
    return 0;
}
