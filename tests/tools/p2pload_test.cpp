// The load generator's fleet against two real zevo-p2pd processes: the services must hold
// exactly the devices placement gives them, and count the keepalives the fleet sends.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "p2p/p2pd/service.h"
#include "p2p/placement.h"
#include "tests/p2p/harness.h"
#include "tools/p2pload/load.h"

using namespace zevo::p2ptest;
namespace p2p = zevo::p2p;

namespace {

uint64_t Counter(const ServiceProcess& s, size_t index) {
    auto stats = s.Stats();
    return index < stats.size() ? stats[index] : ~0ull;
}

TEST(P2pLoad, ServicesHoldThePlacedDevicesAndCountTheirKeepalives) {
    constexpr size_t kDevices = 2000;
    constexpr uint64_t kIntervalMs = 500;
    for (size_t replicas : {0, 1}) {  // the default (both services) and one each
        SCOPED_TRACE("replicas " + std::to_string(replicas));
        ServiceProcess services[2];
        std::vector<p2p::Endpoint> list;
        for (auto& s : services) {
            // The simulated devices bring no key: the service's load alone, unsealed.
            ASSERT_TRUE(s.Start({"--max-devices-per-address", "100000", "--insecure-transport"}));
            list.push_back(p2p::Endpoint{0x7F000001, s.Port()});
        }
        zevo::p2pload::Fleet fleet(list, kTestKey, replicas, 8);
        size_t expected[2] = {0, 0};
        for (size_t i = 0; i < kDevices; ++i)
            for (const p2p::Endpoint& e : p2p::PlaceDid(fleet.Did(i).c_str(), list, replicas))
                ++expected[e == list[0] ? 0 : 1];
        if (replicas == 1) {
            EXPECT_NEAR(double(expected[0]), kDevices / 2.0, kDevices / 10.0);
        }
        ASSERT_EQ(fleet.Register(kDevices), expected[0] + expected[1]);

        // Mid-way through the hold each service takes in its devices' keepalives per second.
        zevo::p2pload::HoldFigures hold;
        std::thread holder([&] { hold = fleet.Hold(kIntervalMs, 3500); });
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        uint64_t rate[2] = {Counter(services[0], p2p::kStatInPerSecond),
                            Counter(services[1], p2p::kStatInPerSecond)};
        holder.join();
        for (size_t k = 0; k < 2; ++k) {
            EXPECT_EQ(Counter(services[k], p2p::kStatDevicesNow), expected[k]) << "service " << k;
            double perSecond = double(expected[k]) * 1000 / kIntervalMs;
            EXPECT_NEAR(double(rate[k]), perSecond, perSecond / 5) << "service " << k;
        }
        EXPECT_EQ(hold.forgotten, 0u);
        EXPECT_GE(double(hold.acked), 0.99 * double(hold.sent));
        EXPECT_NEAR(double(hold.sent), 3.5 * double(expected[0] + expected[1]) * 1000 / kIntervalMs,
                    double(expected[0] + expected[1]));
    }
}

}  // namespace
