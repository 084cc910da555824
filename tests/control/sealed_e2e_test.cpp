// What the relay sees of a real viewing: zevo-host watches a zevo-camd test pattern through
// the relay of a vouching zevo-p2pd, and reaches the service and its relay ports only
// through proxies on 127.0.0.2 that record every datagram the relay forwards.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "loopback_world.h"
#include "tools/udpproxy/udp_proxy.h"

namespace zevo::e2e {
namespace {

using namespace std::chrono_literals;

constexpr int kRelayPorts = 8;

// The viewer-device protocol XORs media payloads with one key byte, so in the clear every
// frame shows an H.264 start code (0 0 0 1) XORed with that byte. Counts each of the 256
// disguises across the capture; returns the most frequent one's count.
size_t MostFrequentDisguisedStartCode(const std::vector<std::vector<uint8_t>>& datagrams,
                                      size_t skip) {
    std::array<size_t, 256> counts{};
    for (const auto& d : datagrams)
        for (size_t i = skip; i + 4 <= d.size(); ++i)
            if (d[i] == d[i + 1] && d[i] == d[i + 2] && d[i + 3] == (d[i] ^ 1)) ++counts[d[i]];
    size_t most = 0;
    for (size_t c : counts) most = std::max(most, c);
    return most;
}

double EntropyBitsPerByte(const std::vector<std::vector<uint8_t>>& datagrams, size_t skip) {
    std::array<uint64_t, 256> histogram{};
    uint64_t total = 0;
    for (const auto& d : datagrams)
        for (size_t i = skip; i < d.size(); ++i, ++total) ++histogram[d[i]];
    double h = 0;
    for (uint64_t n : histogram)
        if (n != 0) h -= double(n) / double(total) * std::log2(double(n) / double(total));
    return h;
}

TEST(SealedViewing, TheRelayCarriesOnlyCiphertextOfARealViewing) {
    LoopbackWorld world;
    const uint16_t first =
        FreeRelayPorts(static_cast<uint16_t>(24000 + (getpid() % 400) * 16), kRelayPorts);
    const std::string range = std::to_string(first) + "-" + std::to_string(first + kRelayPorts - 1);
    ASSERT_TRUE(world.StartService({"--force-relay", "--relay-ports", range}));
    ASSERT_TRUE(world.StartDevice());

    std::mutex mu;
    std::vector<std::vector<uint8_t>> relayed;
    std::vector<std::unique_ptr<tools::UdpProxy>> proxies;
    auto proxy = [&](uint16_t port, bool record) {
        tools::UdpProxyConfig config;
        config.listen = "127.0.0.2:" + std::to_string(port);
        config.upstream = "127.0.0.1:" + std::to_string(port);
        if (record) {
            config.inspect = [&](bool, uint8_t* data, size_t size) {
                std::lock_guard<std::mutex> lock(mu);
                relayed.emplace_back(data, data + size);
                return 1;
            };
        }
        proxies.push_back(std::make_unique<tools::UdpProxy>(config));
        return proxies.back()->Start() == 0;
    };
    ASSERT_TRUE(proxy(world.ServicePort(), false));
    for (int i = 0; i < kRelayPorts; ++i)
        ASSERT_TRUE(proxy(static_cast<uint16_t>(first + i), true));

    world.SetHostEnvironment({"ZEVO_P2P_SERVER=127.0.0.2:" + std::to_string(world.ServicePort())});
    ASSERT_TRUE(world.StartHost(kScriptHelpers + R"JS(
        player.StartAV();
        host.log(waitRunning(8000) ? "running " + host.paneText(0) : "no-running");
        host.sleep(4000);
        host.log("stats " + host.paneText(3));
        player.StopAV();
        host.quit(0);
    )JS"));
    ASSERT_EQ(world.FinishHost(60s), 0) << ReadFile(world.HostOut());
    for (auto& p : proxies) p->Stop();
    const auto logs = world.Lines("log");
    ASSERT_FALSE(logs.empty());
    ASSERT_EQ(logs.front().rfind("running", 0), 0u) << logs.front();
    EXPECT_NE(logs.front().find("RLY"), std::string::npos) << logs.front();

    // Every datagram the relay forwarded (its own binds aside) is a handshake message or
    // a sealed one.
    std::vector<std::vector<uint8_t>> sealed;
    size_t handshake = 0, other = 0;
    for (const auto& d : relayed) {
        if (d.size() >= 2 && d[0] == 'Z' && d[1] == 'P') continue;
        if (d.size() >= 2 && d[0] == 0x53 && d[1] == 0x13)
            sealed.push_back(d);
        else if (d.size() >= 2 && d[0] == 0x53 && (d[1] == 0x11 || d[1] == 0x12))
            ++handshake;
        else
            ++other;
    }
    EXPECT_EQ(other, 0u) << "datagrams crossed the relay unsealed";
    EXPECT_GE(handshake, 2u);
    ASSERT_GT(sealed.size(), 300u) << "the viewing's media did not cross the relay";

    // Seconds of video at one start code per frame or more: in the clear one disguise
    // would count hundreds; in ciphertext (past the sealed header, whose counter may
    // read 0 0 0 1) each appears by chance, about never.
    EXPECT_LE(MostFrequentDisguisedStartCode(sealed, 12), 3u);
    // The login's password and the DID never show either.
    for (const auto& d : relayed) {
        std::string_view hay(reinterpret_cast<const char*>(d.data()), d.size());
        ASSERT_EQ(hay.find(LoopbackWorld::kPassword), std::string_view::npos);
        ASSERT_EQ(hay.find(LoopbackWorld::kDid), std::string_view::npos);
    }
    EXPECT_GT(EntropyBitsPerByte(sealed, 12), 7.99);
}

}  // namespace
}  // namespace zevo::e2e
