// zevo-p2pd's whole state machine fed with a stream of records:
// [source byte][clock step byte][kind byte][length byte][datagram]. Some kinds make the
// harness act as a well-behaved peer (register with the right secret, join the last
// requested session, bind the last relay), so the fuzzer reaches sessions and relays and
// then attacks them with its own datagrams. Registrations persist across records.
#include <cstdint>
#include <cstring>
#include <memory>

#include "p2p/crypto.h"
#include "p2p/p2pd/service.h"
#include "p2p/wire.h"

namespace {

using zevo::p2p::Endpoint;
using zevo::p2p::Message;
using zevo::p2p::MsgType;

class CaptureIo : public zevo::p2p::ServiceIo {
public:
    void Send(int, const Endpoint&, const uint8_t* data, size_t length) override {
        Message m;
        // What the service sends must always parse.
        if (!zevo::p2p::DecodeMessage(data, length, &m)) __builtin_trap();
        if (m.type == MsgType::kChallenge) mChallenge = m;
        if (m.type == MsgType::kConnectRequest) mRequest = m;
        if (m.type == MsgType::kPeerInfo) (m.role == 0 ? mViewerInfo : mDeviceInfo) = m;
    }
    int OpenRelay(uint16_t* port) override {
        *port = uint16_t(40000 + mNext % 64);
        return 1000 + mNext++ % 64;
    }
    void CloseRelay(int) override {}
    void LogLine(int, const std::string&) override {}
    int mNext = 0;
    Message mChallenge, mRequest, mViewerInfo, mDeviceInfo;
};

void Deliver(zevo::p2p::Rendezvous& service, const Message& m, const Endpoint& from, uint64_t now) {
    uint8_t bytes[zevo::p2p::kMaxDatagram];
    size_t n = zevo::p2p::EncodeMessage(m, bytes, sizeof bytes);
    if (n > 0) service.OnDatagram(bytes, n, from, now);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zevo::p2p::ServiceConfig config;
    config.key = "fuzz";
    config.maxSessions = 8;
    config.maxDevices = 8;
    config.maxPending = 4;
    config.relayRate = 100000;
    CaptureIo io;
    zevo::p2p::Rendezvous service(config, &io, 1);
    uint64_t now = 1000000;
    size_t at = 0;
    while (at + 4 <= size) {
        Endpoint from{0x0A000000u | (data[at] & 7u), uint16_t(1000 + (data[at] >> 3))};
        now += data[at + 1] * 50u;
        int kind = data[at + 2] & 7;
        int relayFd = 1000 + (data[at + 2] >> 3) % 64;
        size_t length = std::min<size_t>(data[at + 3], size - at - 4);
        const uint8_t* datagram = data + at + 4;
        Endpoint to;
        switch (kind) {
            case 1:
                service.OnRelayDatagram(relayFd, datagram, length, from, now, &to);
                break;
            case 2: {  // register a device properly
                Message m;
                m.type = MsgType::kHello;
                std::snprintf(m.did, sizeof m.did, "FUZZ-%u", length ? datagram[0] % 4u : 0u);
                Deliver(service, m, from, now);
                m.type = MsgType::kRegister;
                std::memcpy(m.challenge, io.mChallenge.challenge, sizeof m.challenge);
                uint8_t secret[zevo::p2p::kSecretSize];
                zevo::p2p::DeviceSecret(config.key, m.did, secret);
                zevo::p2p::RegistrationProof(secret, m.challenge, m.did, m.proof);
                Deliver(service, m, from, now);
                break;
            }
            case 3: {  // join the last requested session
                Message m;
                m.type = MsgType::kSessionJoin;
                m.session = io.mRequest.session;
                m.nonce = io.mRequest.nonce;
                Deliver(service, m, from, now);
                break;
            }
            case 4:
            case 5: {  // bind the last relay as viewer or device
                const Message& info = kind == 4 ? io.mViewerInfo : io.mDeviceInfo;
                Message m;
                m.type = MsgType::kRelayBind;
                m.session = info.session;
                m.token = info.token;
                uint8_t bytes[64];
                size_t n = zevo::p2p::EncodeMessage(m, bytes, sizeof bytes);
                service.OnRelayDatagram(1000 + (info.port - 40000) % 64, bytes, n, from, now, &to);
                break;
            }
            default:
                // The threaded service routes by this before any shard parses the datagram.
                if (zevo::p2p::DatagramShard(datagram, length, 4) > 4) __builtin_trap();
                service.OnDatagram(datagram, length, from, now);
                break;
        }
        if (data[at + 1] > 200) service.Sweep(now);
        at += 4 + length;
    }
    return 0;
}
