// Placement of DIDs over the service list: every peer must compute the same set, DIDs must
// spread evenly, and a one-service change of the list must leave every DID a service in
// common between the old and the new set.
#include "p2p/placement.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>

namespace p2p = zevo::p2p;
using p2p::Endpoint;

namespace {

std::vector<Endpoint> Services(size_t count) {
    std::vector<Endpoint> list;
    for (size_t i = 0; i < count; ++i) list.push_back(Endpoint{0x0A000001 + uint32_t(i), 32100});
    return list;
}

std::string Did(size_t i) {
    return "PLAC-" + std::to_string(100000 + i) + "-ABCDE";
}

bool Shares(const std::vector<Endpoint>& a, const std::vector<Endpoint>& b) {
    for (const Endpoint& e : a)
        if (std::find(b.begin(), b.end(), e) != b.end()) return true;
    return false;
}

TEST(Placement, ScoreFollowsTheWrittenDefinition) {
    // Worked out by hand from the definition in p2p/PROTOCOL.md: other implementations of
    // the device side must agree bit for bit.
    struct Case {
        uint16_t port;
        uint64_t score;
    } cases[] = {{32100, 0xc53661fd43937184ull},
                 {32101, 0x985fc89756e7f5b7ull},
                 {32102, 0x54bbccbf89a4fc85ull}};
    std::vector<Endpoint> list;
    for (const Case& c : cases) {
        Endpoint e{0x7F000001, c.port};
        EXPECT_EQ(p2p::PlacementScore("ZEVO-000001-ABCDE", e), c.score) << c.port;
        list.push_back(e);
    }
    std::reverse(list.begin(), list.end());
    EXPECT_EQ(p2p::PlaceDid("ZEVO-000001-ABCDE", list),
              (std::vector<Endpoint>{{0x7F000001, 32100}, {0x7F000001, 32101}}));
}

TEST(Placement, ReplicaCountAndDuplicates) {
    struct Case {
        size_t services;
        size_t replicas;  // asked for; 0 = default
        size_t expected;
    } cases[] = {{0, 0, 0}, {1, 0, 1}, {2, 0, 2}, {3, 0, 2}, {6, 0, 2},
                 {6, 1, 1}, {6, 3, 3}, {2, 5, 2}, {1, 2, 1}};
    for (const Case& c : cases) {
        auto list = Services(c.services);
        auto set = p2p::PlaceDid("ABCD-000001-EFGHI", list, c.replicas);
        EXPECT_EQ(set.size(), c.expected) << c.services << " services, " << c.replicas;
        for (const Endpoint& e : set) EXPECT_NE(std::find(list.begin(), list.end(), e), list.end());
        // No service twice in a set, even from a list that repeats itself.
        auto doubled = list;
        doubled.insert(doubled.end(), list.begin(), list.end());
        auto again = p2p::PlaceDid("ABCD-000001-EFGHI", doubled, c.replicas);
        EXPECT_EQ(again, set) << c.services << " services, listed twice";
    }
    // A single service holds every DID.
    for (size_t i = 0; i < 100; ++i)
        EXPECT_EQ(p2p::PlaceDid(Did(i).c_str(), Services(1)), Services(1));
}

TEST(Placement, TheOrderOfTheListDoesNotMatter) {
    std::mt19937 random(7);
    for (size_t n : {2, 3, 6}) {
        auto list = Services(n);
        for (size_t i = 0; i < 200; ++i) {
            auto set = p2p::PlaceDid(Did(i).c_str(), list);
            auto shuffled = list;
            std::shuffle(shuffled.begin(), shuffled.end(), random);
            EXPECT_EQ(p2p::PlaceDid(Did(i).c_str(), shuffled), set) << Did(i);
        }
    }
}

TEST(Placement, DidsSpreadEvenly) {
    // Each service comes first for about 1/n of the DIDs and holds about 2/n of them;
    // also for services that differ only in their port.
    constexpr size_t kDids = 30000;
    for (bool byPort : {false, true}) {
        for (size_t n : {2, 3, 6}) {
            std::vector<Endpoint> list;
            for (size_t i = 0; i < n; ++i)
                list.push_back(byPort ? Endpoint{0x7F000001, uint16_t(32100 + i)}
                                      : Endpoint{0x0A000001 + uint32_t(i), 32100});
            std::map<Endpoint, size_t> first, held;
            for (size_t i = 0; i < kDids; ++i) {
                auto set = p2p::PlaceDid(Did(i).c_str(), list);
                ++first[set[0]];
                for (const Endpoint& e : set) ++held[e];
            }
            for (const Endpoint& e : list) {
                double share = double(first[e]) / kDids;
                EXPECT_NEAR(share, 1.0 / double(n), 0.1 / double(n))
                    << n << " services, " << p2p::FormatEndpoint(e) << " first";
                EXPECT_NEAR(double(held[e]) / kDids, 2.0 / double(n), 0.2 / double(n))
                    << n << " services, " << p2p::FormatEndpoint(e) << " held";
            }
        }
    }
}

TEST(Placement, OneServiceAddedOrRemovedMovesFewAndKeepsACommonService) {
    constexpr size_t kDids = 3000;
    struct Case {
        size_t before, after;  // the first `after` of the same services
    } cases[] = {{1, 2}, {2, 3}, {3, 4}, {5, 6}, {2, 1}, {3, 2}, {6, 5}};
    for (const Case& c : cases) {
        auto all = Services(std::max(c.before, c.after));
        std::vector<Endpoint> before(all.begin(), all.begin() + ptrdiff_t(c.before));
        std::vector<Endpoint> after(all.begin(), all.begin() + ptrdiff_t(c.after));
        size_t moved = 0;
        for (size_t i = 0; i < kDids; ++i) {
            auto a = p2p::PlaceDid(Did(i).c_str(), before);
            auto b = p2p::PlaceDid(Did(i).c_str(), after);
            EXPECT_TRUE(Shares(a, b)) << c.before << "->" << c.after << " " << Did(i);
            std::sort(a.begin(), a.end());
            std::sort(b.begin(), b.end());
            if (a != b) ++moved;
            // Only DIDs whose set gains or loses the changed service move.
            const Endpoint& changed = all.back();
            bool touches = std::binary_search(a.begin(), a.end(), changed) ||
                           std::binary_search(b.begin(), b.end(), changed);
            if (!touches) {
                EXPECT_EQ(a, b) << c.before << "->" << c.after << " " << Did(i);
            }
        }
        // From 2 to 3 services two thirds of the sets include the new one; beyond, fewer.
        size_t n = std::max(c.before, c.after);
        if (n > 2) {
            EXPECT_LT(moved, kDids * 2 / n + kDids / 10) << c.before << "->" << c.after;
        }
    }
}

}  // namespace
