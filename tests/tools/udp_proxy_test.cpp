// The impairment proxy with real UDP sockets on loopback: what it forwards, drops,
// delays and reorders, and that it keeps clients apart.
#include "tools/udpproxy/udp_proxy.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/tools/udp_test_util.h"

namespace {

using zevo::tools::UdpProxy;
using zevo::tools::UdpProxyConfig;
using namespace zevo::testing;

UdpProxyConfig ConfigTo(uint16_t upstreamPort) {
    UdpProxyConfig c;
    c.listen = "127.0.0.1:0";
    c.upstream = "127.0.0.1:" + std::to_string(upstreamPort);
    return c;
}

// Sends count numbered datagrams from client through the proxy to sink in batches small
// enough that no socket buffer overflows, and returns the numbers in arrival order.
// Every arrival must be intact and from sender.
std::vector<uint32_t> SendThrough(UdpProxy& proxy, UdpSocket& client, UdpSocket& sink,
                                  uint32_t sender, uint32_t count, uint32_t batch = 100) {
    std::vector<uint32_t> arrived;
    std::vector<uint8_t> d;
    uint64_t start = proxy.Stats().toUpstream.received;
    for (uint32_t seq = 0; seq < count;) {
        uint32_t end = std::min(count, seq + batch);
        for (; seq < end; ++seq)
            EXPECT_TRUE(client.SendTo(proxy.ListenPort(), MakeDatagram(sender, seq, SizeFor(seq))));
        EXPECT_TRUE(WaitFor([&] { return proxy.Stats().toUpstream.received - start >= seq; }));
        // Drain what the proxy has forwarded so far (and what it still holds, if delayed).
        while (sink.Receive(&d, 0)) {
            Decoded r = Decode(d);
            EXPECT_TRUE(r.intact);
            EXPECT_EQ(r.sender, sender);
            arrived.push_back(r.seq);
        }
    }
    // Whatever is still queued in the proxy: wait until it has all gone out.
    auto settled = [&] {
        auto s = proxy.Stats().toUpstream;
        return s.forwarded + s.lost + s.overflow + s.sendFailed - start >= count;
    };
    EXPECT_TRUE(WaitFor(settled));
    while (sink.Receive(&d, 50)) {
        Decoded r = Decode(d);
        EXPECT_TRUE(r.intact);
        EXPECT_EQ(r.sender, sender);
        arrived.push_back(r.seq);
    }
    return arrived;
}

size_t CountInversions(const std::vector<uint32_t>& seqs) {
    size_t inversions = 0;
    for (size_t i = 1; i < seqs.size(); ++i)
        if (seqs[i] < seqs[i - 1]) ++inversions;
    return inversions;
}

bool NoDuplicates(const std::vector<uint32_t>& seqs) {
    return std::set<uint32_t>(seqs.begin(), seqs.end()).size() == seqs.size();
}

TEST(UdpProxyEndpoint, ParsesAndRejects) {
    sockaddr_storage addr{};
    socklen_t len = 0;
    EXPECT_EQ(zevo::tools::ParseEndpoint("127.0.0.1:5000", &addr, &len), 0);
    EXPECT_EQ(zevo::tools::FormatEndpoint(addr), "127.0.0.1:5000");
    EXPECT_EQ(zevo::tools::ParseEndpoint("[::1]:65535", &addr, &len), 0);
    EXPECT_EQ(zevo::tools::FormatEndpoint(addr), "[::1]:65535");
    for (const char* bad : {"", "127.0.0.1", "127.0.0.1:", ":80", "127.0.0.1:65536", "127.0.0.1:8x",
                            "::1:80", "[::1]80", "localhost:80", "1.2.3.4:123456"})
        EXPECT_EQ(zevo::tools::ParseEndpoint(bad, &addr, &len), -1) << bad;
}

TEST(UdpProxyEndpoint, OpenFailsOnBadConfig) {
    UdpProxyConfig c = ConfigTo(9);
    c.upstream = "nowhere";
    EXPECT_LT(UdpProxy(c).Open(), 0);
    UdpSocket taken;
    c = ConfigTo(9);
    c.listen = "127.0.0.1:" + std::to_string(taken.Port());
    EXPECT_LT(UdpProxy(c).Open(), 0);
}

TEST(UdpProxyForwarding, BothWaysIntactInOrderOnce) {
    EchoServer echo;
    UdpProxy proxy(ConfigTo(echo.Port()));
    ASSERT_EQ(proxy.Start(), 0);
    UdpSocket client;
    std::vector<uint32_t> back;
    std::vector<uint8_t> d;
    const uint32_t kCount = 2000;
    for (uint32_t seq = 0; seq < kCount; ++seq) {
        // A window of 32 in flight keeps every buffer far from full.
        ASSERT_TRUE(client.SendTo(proxy.ListenPort(), MakeDatagram(7, seq, SizeFor(seq))));
        if (seq % 32 == 31 || seq + 1 == kCount) {
            while (back.size() <= seq && client.Receive(&d, 5000)) {
                Decoded r = Decode(d);
                ASSERT_TRUE(r.intact) << "datagram " << r.seq << " corrupted";
                ASSERT_EQ(r.sender, 7u);
                back.push_back(r.seq);
            }
        }
    }
    // The largest datagram UDP carries over IPv4 passes too.
    auto big = MakeDatagram(7, kCount, 65507);
    ASSERT_TRUE(client.SendTo(proxy.ListenPort(), big));
    ASSERT_TRUE(client.Receive(&d, 5000));
    EXPECT_EQ(d, big);

    ASSERT_EQ(back.size(), kCount);
    for (uint32_t i = 0; i < kCount; ++i) ASSERT_EQ(back[i], i);
    EXPECT_FALSE(client.Receive(&d, 100)) << "a datagram was duplicated";
    proxy.Stop();
    auto s = proxy.Stats();
    EXPECT_EQ(s.toUpstream.forwarded, kCount + 1);
    EXPECT_EQ(s.toClient.forwarded, kCount + 1);
    EXPECT_EQ(s.toUpstream.lost + s.toUpstream.overflow + s.toClient.reordered, 0u);
    EXPECT_EQ(s.clients, 1u);
}

TEST(UdpProxyDelay, RoundTripNeverShorterThanBothDelays) {
    EchoServer echo;
    UdpProxyConfig c = ConfigTo(echo.Port());
    c.toUpstream.delayMs = 80;
    c.toClient.delayMs = 40;
    c.toClient.jitterMs = 10;
    UdpProxy proxy(c);
    ASSERT_EQ(proxy.Start(), 0);
    UdpSocket client;
    std::vector<uint8_t> d;
    for (uint32_t i = 0; i < 5; ++i) {
        auto sent = Clock::now();
        ASSERT_TRUE(client.SendTo(proxy.ListenPort(), MakeDatagram(1, i, 100)));
        ASSERT_TRUE(client.Receive(&d, 10000));
        auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent).count();
        EXPECT_GE(ms, 80 + 40 - 10);
        // Upper bound only catches a proxy that forgets the datagram for seconds.
        EXPECT_LT(ms, 5000);
        EXPECT_EQ(Decode(d).seq, i);
    }
    // The proxy counts a datagram just after sending it: stop it so the counts are final.
    proxy.Stop();
    auto s = proxy.Stats();
    EXPECT_EQ(s.toUpstream.delayed, 5u);
    EXPECT_EQ(s.toClient.delayed, 5u);
}

TEST(UdpProxyLoss, PercentWithinStatisticalBoundsAndRepeatable) {
    const uint32_t kCount = 10000;
    auto run = [&](double percent, uint64_t seed, std::set<uint32_t>* lostSeqs) {
        UdpSocket sink;
        UdpProxyConfig c = ConfigTo(sink.Port());
        c.toUpstream.lossPercent = percent;
        c.seed = seed;
        UdpProxy proxy(c);
        EXPECT_EQ(proxy.Start(), 0);
        UdpSocket client;
        std::vector<uint32_t> arrived = SendThrough(proxy, client, sink, 3, kCount);
        proxy.Stop();
        EXPECT_TRUE(NoDuplicates(arrived));
        EXPECT_EQ(CountInversions(arrived), 0u);
        auto s = proxy.Stats().toUpstream;
        EXPECT_EQ(s.received, kCount);
        // Everything the proxy did not drop on purpose arrived.
        EXPECT_EQ(arrived.size() + s.lost, kCount);
        for (uint32_t i = 0; i < kCount; ++i) lostSeqs->insert(i);
        for (uint32_t seq : arrived) lostSeqs->erase(seq);
        return s.lost;
    };

    std::set<uint32_t> first, again, other, none;
    // 5% of 10,000: mean 500, standard deviation about 22; six deviations either side.
    uint64_t lost = run(5.0, 42, &first);
    EXPECT_GT(lost, 370u);
    EXPECT_LT(lost, 630u);
    run(5.0, 42, &again);
    EXPECT_EQ(first, again) << "the same seed must drop the same datagrams";
    run(5.0, 43, &other);
    EXPECT_NE(first, other);
    EXPECT_EQ(run(0.0, 42, &none), 0u);
    EXPECT_TRUE(none.empty());
}

TEST(UdpProxyReorder, HappensWhenAskedAndNeverOtherwise) {
    auto run = [](double reorderPercent, uint32_t jitterMs, uint64_t* reorderedCount) {
        UdpSocket sink;
        UdpProxyConfig c = ConfigTo(sink.Port());
        c.toUpstream.delayMs = 20;
        c.toUpstream.jitterMs = jitterMs;
        c.toUpstream.reorderPercent = reorderPercent;
        c.toUpstream.reorderGapMs = 30;
        UdpProxy proxy(c);
        EXPECT_EQ(proxy.Start(), 0);
        UdpSocket client;
        std::vector<uint32_t> arrived = SendThrough(proxy, client, sink, 5, 2000, 50);
        proxy.Stop();
        EXPECT_EQ(arrived.size(), 2000u);
        EXPECT_TRUE(NoDuplicates(arrived));
        *reorderedCount = proxy.Stats().toUpstream.reordered;
        return CountInversions(arrived);
    };
    uint64_t reordered = 0;
    // Batches of 50 arrive within far less than the 30 ms a reordered one is held back.
    EXPECT_GT(run(10.0, 0, &reordered), 20u);
    EXPECT_GT(reordered, 100u);
    EXPECT_LT(reordered, 320u);
    // Jitter wider than the gaps between datagrams still keeps them in order.
    EXPECT_EQ(run(0.0, 15, &reordered), 0u);
    EXPECT_EQ(reordered, 0u);
}

TEST(UdpProxyClients, KeptApartEachWithItsOwnUpstreamSocket) {
    EchoServer echo;
    UdpProxyConfig c = ConfigTo(echo.Port());
    c.toClient.delayMs = 5;
    UdpProxy proxy(c);
    ASSERT_EQ(proxy.Start(), 0);
    const uint32_t kClients = 4;
    const uint32_t kEach = 300;
    std::vector<std::unique_ptr<UdpSocket>> clients;
    for (uint32_t i = 0; i < kClients; ++i) clients.push_back(std::make_unique<UdpSocket>());
    std::vector<std::vector<uint32_t>> back(kClients);
    std::vector<uint8_t> d;
    for (uint32_t seq = 0; seq < kEach; ++seq) {
        for (uint32_t i = 0; i < kClients; ++i)
            ASSERT_TRUE(
                clients[i]->SendTo(proxy.ListenPort(), MakeDatagram(100 + i, seq, SizeFor(seq))));
        if (seq % 16 == 15 || seq + 1 == kEach) {
            for (uint32_t i = 0; i < kClients; ++i) {
                while (back[i].size() <= seq && clients[i]->Receive(&d, 5000)) {
                    Decoded r = Decode(d);
                    ASSERT_TRUE(r.intact);
                    ASSERT_EQ(r.sender, 100 + i) << "a reply reached the wrong client";
                    back[i].push_back(r.seq);
                }
            }
        }
    }
    for (uint32_t i = 0; i < kClients; ++i) {
        ASSERT_EQ(back[i].size(), kEach);
        EXPECT_EQ(CountInversions(back[i]), 0u);
        EXPECT_FALSE(clients[i]->Receive(&d, 20));
    }
    EXPECT_EQ(echo.Sources().size(), kClients);
    EXPECT_EQ(proxy.Stats().clients, kClients);
}

TEST(UdpProxyClients, SlotsBoundedAndIdleOnesReused) {
    EchoServer echo;
    UdpProxyConfig c = ConfigTo(echo.Port());
    c.maxClients = 2;
    c.clientIdleMs = 300;
    UdpProxy proxy(c);
    ASSERT_EQ(proxy.Start(), 0);
    UdpSocket a, b, late;
    std::vector<uint8_t> d;
    ASSERT_TRUE(a.SendTo(proxy.ListenPort(), MakeDatagram(1, 0, 50)));
    ASSERT_TRUE(a.Receive(&d, 5000));
    ASSERT_TRUE(b.SendTo(proxy.ListenPort(), MakeDatagram(2, 0, 50)));
    ASSERT_TRUE(b.Receive(&d, 5000));
    // Both slots busy and recently used: the third client is refused.
    ASSERT_TRUE(late.SendTo(proxy.ListenPort(), MakeDatagram(3, 0, 50)));
    EXPECT_FALSE(late.Receive(&d, 100));
    EXPECT_TRUE(WaitFor([&] { return proxy.Stats().clientsRejected == 1; }));
    // Once a slot has been idle long enough it goes to the newcomer.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    ASSERT_TRUE(late.SendTo(proxy.ListenPort(), MakeDatagram(3, 1, 50)));
    ASSERT_TRUE(late.Receive(&d, 5000));
    EXPECT_EQ(Decode(d).sender, 3u);
    EXPECT_EQ(proxy.Stats().clients, 3u);
}

TEST(UdpProxyBounds, QueueMemoryBoundDropsAndCounts) {
    UdpSocket sink;
    UdpProxyConfig c = ConfigTo(sink.Port());
    c.toUpstream.delayMs = 300;
    c.maxQueuedBytes = 50 * (1000 + 64);
    UdpProxy proxy(c);
    ASSERT_EQ(proxy.Start(), 0);
    UdpSocket client;
    for (uint32_t seq = 0; seq < 200; ++seq)
        ASSERT_TRUE(client.SendTo(proxy.ListenPort(), MakeDatagram(9, seq, 1000)));
    ASSERT_TRUE(WaitFor([&] { return proxy.Stats().toUpstream.received == 200; }));
    std::vector<uint8_t> d;
    std::vector<uint32_t> arrived;
    while (sink.Receive(&d, 1000)) arrived.push_back(Decode(d).seq);
    auto s = proxy.Stats();
    EXPECT_GE(s.toUpstream.overflow, 150u);
    EXPECT_EQ(arrived.size() + s.toUpstream.overflow, 200u);
    EXPECT_LE(s.queuedBytesPeak, c.maxQueuedBytes);
    EXPECT_TRUE(NoDuplicates(arrived));
}

TEST(UdpProxyRate, LinkRateSpreadsABurst) {
    UdpSocket sink;
    UdpProxyConfig c = ConfigTo(sink.Port());
    c.toUpstream.rateKbit = 800;  // 1000-byte datagrams leave 10 ms apart
    UdpProxy proxy(c);
    ASSERT_EQ(proxy.Start(), 0);
    UdpSocket client;
    auto start = Clock::now();
    for (uint32_t seq = 0; seq < 60; ++seq)
        ASSERT_TRUE(client.SendTo(proxy.ListenPort(), MakeDatagram(4, seq, 1000)));
    std::vector<uint8_t> d;
    std::vector<uint32_t> arrived;
    while (arrived.size() < 60 && sink.Receive(&d, 5000)) arrived.push_back(Decode(d).seq);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    ASSERT_EQ(arrived.size(), 60u);
    EXPECT_EQ(CountInversions(arrived), 0u);
    EXPECT_GE(ms, 600);
    proxy.Stop();  // counts are bumped just after each send: read them final
    EXPECT_EQ(proxy.Stats().toUpstream.delayed, 60u);
}

}  // namespace
