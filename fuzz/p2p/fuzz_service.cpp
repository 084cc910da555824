// zevo-p2pd's whole state machine fed with a stream of datagrams: each record is
// [source byte][clock step byte][relay? byte][length byte][datagram]. Registrations and
// sessions persist across records, so deep states are reached.
#include <cstdint>
#include <cstring>
#include <memory>

#include "p2p/p2pd/service.h"
#include "p2p/wire.h"

namespace {

class NullIo : public zevo::p2p::ServiceIo {
public:
    void Send(int, const zevo::p2p::Endpoint&, const uint8_t* data, size_t length) override {
        zevo::p2p::Message m;
        // What the service sends must always parse.
        if (!zevo::p2p::DecodeMessage(data, length, &m)) __builtin_trap();
    }
    int OpenRelay(uint16_t* port) override {
        *port = uint16_t(40000 + mNext);
        return mNext++ % 64 + 1000;
    }
    void CloseRelay(int) override {}
    void LogLine(int, const std::string&) override {}
    int mNext = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zevo::p2p::ServiceConfig config;
    config.key = "fuzz";
    config.maxSessions = 8;
    config.maxDevices = 8;
    config.maxPending = 4;
    config.relayRate = 100000;
    NullIo io;
    zevo::p2p::Rendezvous service(config, &io, 1);
    uint64_t now = 1000000;
    size_t at = 0;
    while (at + 4 <= size) {
        zevo::p2p::Endpoint from{0x0A000000u | (data[at] & 7u), uint16_t(1000 + (data[at] >> 3))};
        now += data[at + 1] * 50u;
        bool relay = data[at + 2] & 1;
        int relayFd = 1000 + (data[at + 2] >> 1) % 64;
        size_t length = std::min<size_t>(data[at + 3], size - at - 4);
        const uint8_t* datagram = data + at + 4;
        if (relay) {
            zevo::p2p::Endpoint to;
            service.OnRelayDatagram(relayFd, datagram, length, from, now, &to);
        } else {
            service.OnDatagram(datagram, length, from, now);
        }
        if (data[at + 1] > 200) service.Sweep(now);
        at += 4 + length;
    }
    return 0;
}
