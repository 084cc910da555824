// Datagram and credit parsers, as both the library and zevo-p2pd run them. A datagram that
// parses must encode back to exactly the same bytes: the format has one spelling.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "p2p/wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zevo::p2p::Message m;
    if (zevo::p2p::DecodeMessage(data, size, &m)) {
        uint8_t again[zevo::p2p::kMaxDatagram];
        size_t n = zevo::p2p::EncodeMessage(m, again, sizeof again);
        if (n != size || std::memcmp(again, data, size) != 0) std::abort();
    }
    uint8_t channel;
    uint64_t consumed;
    if (zevo::p2p::DecodeCredit(data, size, &channel, &consumed)) {
        uint8_t again[zevo::p2p::kCreditSize];
        zevo::p2p::EncodeCredit(channel, consumed, again);
        if (std::memcmp(again, data, size) != 0) std::abort();
    }
    (void)zevo::p2p::HasMagic(data, size);
    return 0;
}
