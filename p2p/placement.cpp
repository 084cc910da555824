#include "p2p/placement.h"

#include <algorithm>
#include <cstring>

namespace zevo::p2p {

namespace {

constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ull;
constexpr uint64_t kFnvPrime = 0x100000001b3ull;

uint64_t Fnv(uint64_t hash, uint8_t byte) {
    return (hash ^ byte) * kFnvPrime;
}

// FNV alone mixes the last bytes (the port) poorly; the finaliser spreads them over all
// 64 bits so neighbouring ports do not rank alike.
uint64_t Finalise(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

}  // namespace

size_t DefaultReplicas(size_t endpointCount) {
    return endpointCount >= 2 ? 2 : endpointCount;
}

uint64_t PlacementScore(const char* did, const Endpoint& service) {
    uint64_t h = kFnvOffset;
    for (const char* c = did; *c != '\0'; ++c) h = Fnv(h, uint8_t(*c));
    h = Fnv(h, 0);
    for (int shift = 24; shift >= 0; shift -= 8) h = Fnv(h, uint8_t(service.ip >> shift));
    h = Fnv(h, uint8_t(service.port >> 8));
    h = Fnv(h, uint8_t(service.port));
    return Finalise(h);
}

std::vector<Endpoint> PlaceDid(const char* did, const std::vector<Endpoint>& services,
                               size_t replicas) {
    std::vector<std::pair<uint64_t, Endpoint>> ranked;
    ranked.reserve(services.size());
    for (const Endpoint& e : services) {
        bool seen =
            std::any_of(ranked.begin(), ranked.end(), [&](const auto& r) { return r.second == e; });
        if (!seen) ranked.emplace_back(PlacementScore(did, e), e);
    }
    if (replicas == 0) replicas = DefaultReplicas(ranked.size());
    replicas = std::min(replicas, ranked.size());
    // Highest score first; equal scores (practically never) by the lower endpoint, so the
    // order of the list never matters.
    std::partial_sort(ranked.begin(), ranked.begin() + ptrdiff_t(replicas), ranked.end(),
                      [](const auto& a, const auto& b) {
                          return a.first != b.first ? a.first > b.first : a.second < b.second;
                      });
    std::vector<Endpoint> set;
    set.reserve(replicas);
    for (size_t i = 0; i < replicas; ++i) set.push_back(ranked[i].second);
    return set;
}

}  // namespace zevo::p2p
