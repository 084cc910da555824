// zevo-p2pd with four worker threads (sixteen shards) under thousands of simulated devices
// and viewers (tools/p2pload, real datagrams from many sockets, so the kernel spreads them
// over the workers' sockets and every worker serves every shard): the service must behave
// as one instance. Limits hold for the instance, not per shard; a DID lives in one place
// whichever socket it arrives on; every keepalive is answered; relays forward; the
// counters are the sum of the shards'.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "p2p/p2pd/service.h"
#include "tests/p2p/harness.h"
#include "tools/p2pload/load.h"

using namespace zevo::p2ptest;
namespace p2p = zevo::p2p;
using zevo::p2pload::Fleet;

namespace {

constexpr size_t kMaxDevices = 3000;
constexpr size_t kMaxSessionsPerAddress = 500;  // every viewer here is 127.0.0.1
constexpr size_t kRelays = 16;

class Counters {
public:
    explicit Counters(const ServiceProcess& s) : mStats(s.Stats()) {}
    uint64_t operator[](size_t i) const { return i < mStats.size() ? mStats[i] : ~0ull; }
    bool Empty() const { return mStats.empty(); }

private:
    std::vector<uint64_t> mStats;
};

std::string LoadLine(const ServiceProcess& s) {
    for (int wait = 0; wait < 100; ++wait) {
        std::ifstream in(s.LogPath());
        std::stringstream all;
        all << in.rdbuf();
        std::string text = all.str();
        size_t at = text.rfind("load: ");
        if (at != std::string::npos) return text.substr(at, text.find('\n', at) - at);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return "";
}

TEST(ShardedService, FourWorkersServeAsOneInstance) {
    ServiceProcess service;
    ASSERT_TRUE(
        service.Start({"--threads", "4", "--max-devices", std::to_string(kMaxDevices),
                       "--max-devices-per-address", "1000000", "--max-sessions", "100000",
                       "--max-pending", "100000", "--max-sessions-per-address",
                       std::to_string(kMaxSessionsPerAddress), "--device-expiry-ms", "120000",
                       "--join-timeout-ms", "60000", "--relay-rate", "0", "--insecure-transport"}));
    const std::vector<p2p::Endpoint> list = {p2p::Endpoint{0x7F000001, service.Port()}};

    // The device limit is the instance's: of 16 + 4000 devices on four workers, exactly
    // the limit registers.
    Fleet relayed(list, kTestKey, 1, 8, "RELAY");
    ASSERT_EQ(relayed.Register(kRelays), kRelays);
    Fleet fleet(list, kTestKey, 1, 64, "SHARD");
    EXPECT_EQ(fleet.Register(4000), kMaxDevices - kRelays);
    Counters afterRegister(service);
    ASSERT_FALSE(afterRegister.Empty());
    EXPECT_EQ(afterRegister[p2p::kStatDevicesNow], kMaxDevices);
    EXPECT_EQ(afterRegister[p2p::kStatRegistered], kMaxDevices);
    EXPECT_GE(afterRegister[p2p::kStatLimitHits], 4000 - (kMaxDevices - kRelays));

    // The same DIDs from other sockets (so other workers read them) find their live holders.
    Fleet impostors(list, kTestKey, 1, 16, "SHARD");
    EXPECT_EQ(impostors.Register(200), 0u);
    EXPECT_GE(Counters(service)[p2p::kStatDidInUse], 1u);

    // Every keepalive reaches the worker holding its DID: all answered, none forgotten.
    auto hold = fleet.Hold(1000, 2000);
    EXPECT_GT(hold.sent, 4000u);
    EXPECT_EQ(hold.forgotten, 0u);
    EXPECT_EQ(hold.acked, hold.sent);

    // Relays open on the workers of their DIDs and pass datagrams both ways.
    auto relay = relayed.Relay(kRelays, 4, 200, 1000);
    EXPECT_GT(relay.done, 100u);
    Counters afterRelay(service);
    EXPECT_EQ(afterRelay[p2p::kStatRelaysNow], kRelays);
    EXPECT_EQ(afterRelay[p2p::kStatSessionsNow], kRelays);
    EXPECT_GE(afterRelay[p2p::kStatRelayForwarded], 2 * relay.done);

    // Lookups of all 4000 DIDs: the registered ones open sessions until the one address
    // has its limit, across all workers; the others are offline. Every lookup is counted
    // once, as a session, an offline answer or a limit.
    auto lookups = fleet.Lookups(64, 1500);
    EXPECT_GT(lookups.done, 2 * kMaxSessionsPerAddress);
    Counters after(service);
    EXPECT_EQ(after[p2p::kStatSessionsNow], kMaxSessionsPerAddress);
    const uint64_t asked = after[p2p::kStatLookups] - afterRelay[p2p::kStatLookups];
    const uint64_t opened = after[p2p::kStatSessions] - afterRelay[p2p::kStatSessions];
    const uint64_t offline = after[p2p::kStatOffline] - afterRelay[p2p::kStatOffline];
    const uint64_t limited = after[p2p::kStatLimitHits] - afterRelay[p2p::kStatLimitHits];
    EXPECT_EQ(opened, kMaxSessionsPerAddress - kRelays);
    EXPECT_GT(offline, 0u);
    EXPECT_GT(limited, 0u);
    EXPECT_EQ(asked, opened + offline + limited);
    EXPECT_EQ(after[p2p::kStatMalformed], 0u);

    // The operator's line is the instance's.
    ASSERT_EQ(kill(service.Pid(), SIGUSR1), 0);
    std::string line = LoadLine(service);
    EXPECT_NE(line.find("load: devices " + std::to_string(kMaxDevices) + ", sessions " +
                        std::to_string(kMaxSessionsPerAddress) + ", relays " +
                        std::to_string(kRelays) + ","),
              std::string::npos)
        << line;
}

}  // namespace
