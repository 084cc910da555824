// The operator's side of the load query: a STATS_REPLY from the network turned into the
// load line, whatever count it claims; and placement over a list and DID taken from the
// input, which must pick distinct services of the list and never more than asked.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "p2p/p2pd/service.h"
#include "p2p/placement.h"
#include "p2p/wire.h"

using namespace zevo::p2p;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Message m;
    if (DecodeMessage(data, size, &m) && m.type == MsgType::kStatsReply) {
        if (m.statCount > kMaxStats) std::abort();
        std::string line = FormatLoad(m.stats, m.statCount);
        if (line.find("devices ") != 0) std::abort();
    }
    // [replicas][count][count x 6 endpoint bytes][DID]
    if (size < 2) return 0;
    size_t replicas = data[0] % 8, count = std::min<size_t>(data[1] % 8, (size - 2) / 6);
    std::vector<Endpoint> list;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* e = data + 2 + 6 * i;
        list.push_back(
            Endpoint{uint32_t(e[0]) << 24 | uint32_t(e[1]) << 16 | uint32_t(e[2]) << 8 | e[3],
                     uint16_t(e[4] << 8 | e[5])});
    }
    size_t at = 2 + 6 * count;
    std::string did(reinterpret_cast<const char*>(data + at), std::min<size_t>(size - at, 30));
    did = did.c_str();  // up to the first NUL
    if (!IsValidDid(did.c_str())) return 0;
    std::vector<Endpoint> set = PlaceDid(did.c_str(), list, replicas);
    std::vector<Endpoint> distinct = list;
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    size_t want = replicas == 0 ? DefaultReplicas(distinct.size()) : replicas;
    if (set.size() != std::min(want, distinct.size())) std::abort();
    for (size_t i = 0; i < set.size(); ++i) {
        if (std::find(list.begin(), list.end(), set[i]) == list.end()) std::abort();
        if (std::find(set.begin(), set.begin() + long(i), set[i]) != set.begin() + long(i))
            std::abort();
    }
    return 0;
}
