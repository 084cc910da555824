#pragma once
// Which services hold a DID. Every peer computes the same answer from the endpoint list it
// already has (rendezvous hashing), so the services share no store: a device registers
// with each service of its DID's set and a viewer asks only those. The rules are written
// down in p2p/PROTOCOL.md.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "p2p/wire.h"

namespace zevo::p2p {

// Replicas per DID: one service alone holds every DID; with two or more, each DID lives on
// two so that losing any one service loses no device.
size_t DefaultReplicas(size_t endpointCount);

// The score of one (DID, service) pair: FNV-1a 64 over the DID's characters, a zero byte
// and the endpoint's six bytes (address and port, big-endian), then the SplitMix64
// finaliser. A DID belongs to the services with the highest scores.
uint64_t PlacementScore(const char* did, const Endpoint& service);

// The services of did's set, best first, from a list in any order (duplicates count
// once). replicas 0 means DefaultReplicas; never more than the distinct endpoints.
std::vector<Endpoint> PlaceDid(const char* did, const std::vector<Endpoint>& services,
                               size_t replicas = 0);

}  // namespace zevo::p2p
