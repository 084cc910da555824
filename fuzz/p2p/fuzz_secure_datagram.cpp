// Sealed datagrams as the receiving end opens them, driven as a sequence: the input is a
// script of genuine datagrams (sealed here), deliveries, replays, altered copies and raw
// bytes, with the clock moving and keys rotating. Whatever the order, a datagram opens
// only if it was sealed by the peer, and then only once.
#include <sodium.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "p2p/secure/channel.h"

namespace secure = zevo::p2p::secure;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Keys drawn from the input itself: the oracle below compares genuine datagrams with
    // what arrives, and with keys fixed across runs the fuzzer would learn genuine bytes
    // from those comparisons and replay them "forged" in a later input.
    secure::SessionKeys a, b;
    uint8_t seed[2 * secure::kKeySize];
    crypto_generichash(seed, sizeof seed, data, size, nullptr, 0);
    std::memcpy(a.send, seed, secure::kKeySize);
    std::memcpy(b.receive, seed, secure::kKeySize);
    std::memcpy(a.receive, seed + secure::kKeySize, secure::kKeySize);
    std::memcpy(b.send, seed + secure::kKeySize, secure::kKeySize);
    a.suite = b.suite = data != nullptr && size > 0 && (data[0] & 1) &&
                                (secure::LocalSuites() & secure::kSuiteAesGcm)
                            ? secure::kSuiteAesGcm
                            : secure::kSuiteChaChaPoly;
    secure::RekeyPolicy policy;
    policy.afterDatagrams = 7;
    policy.afterMs = 50;
    policy.overlapMs = 20;
    secure::SecureChannel sender(a, 0, policy), receiver(b, 0, policy);
    std::vector<std::vector<uint8_t>> sealed;
    std::vector<bool> opened;
    uint64_t now = 0;
    size_t i = size > 0 ? 1 : 0;
    auto open = [&](const std::vector<uint8_t>& datagram) {
        std::vector<uint8_t> out(
            datagram.size() > secure::kOverhead ? datagram.size() - secure::kOverhead : 0);
        size_t n = 0;
        auto r = receiver.Open(datagram.empty() ? nullptr : datagram.data(), datagram.size(),
                               out.data(), out.size(), &n, now);
        if (r != secure::OpenResult::kOk) return;
        for (size_t k = 0; k < sealed.size(); ++k) {
            if (sealed[k] == datagram) {
                if (opened[k]) std::abort();  // opened twice
                opened[k] = true;
                return;
            }
        }
        std::abort();  // opened something the peer never sealed
    };
    while (i + 2 <= size) {
        uint8_t op = data[i], arg = data[i + 1];
        i += 2;
        switch (op % 5) {
            case 0: {  // seal a new one
                std::vector<uint8_t> plain(arg * 7u, uint8_t(arg));
                std::vector<uint8_t> out(plain.size() + secure::kOverhead);
                if (sender.Seal(plain.data(), plain.size(), out.data(), out.size(), now) !=
                    out.size())
                    std::abort();
                sealed.push_back(std::move(out));
                opened.push_back(false);
                break;
            }
            case 1:  // deliver (or replay) one
                if (!sealed.empty()) open(sealed[arg % sealed.size()]);
                break;
            case 2: {  // deliver an altered copy
                if (sealed.empty() || i >= size) break;
                std::vector<uint8_t> copy = sealed[arg % sealed.size()];
                copy[data[i] % copy.size()] ^= uint8_t(1 + (arg >> 4));
                ++i;
                open(copy);
                break;
            }
            case 3: {  // raw bytes from the input
                size_t n = std::min<size_t>(arg, size - i);
                open(std::vector<uint8_t>(data + i, data + i + n));
                i += n;
                break;
            }
            case 4:
                now += arg;
                break;
        }
    }
    return 0;
}
