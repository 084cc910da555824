// The transport over a faulty network, in network namespaces: through the impairment
// proxy in relay mode, and hole punching between two peers each behind address
// translation. Skipped where namespaces (or nft) are not available.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

#include "p2p/PPPP_API.h"
#include "p2p/diag_device.h"
#include "tests/p2p/harness.h"
#include "tests/tools/impaired_relay.h"
#include "tests/tools/netns_lab.h"

namespace {

using zevo::testing::ImpairedRelay;
using zevo::testing::NetnsLab;
using zevo::tools::Impairment;

bool SendOrder(int32_t session, char code, uint64_t value) {
    unsigned char order[9] = {static_cast<unsigned char>(code)};
    for (int i = 0; i < 8; ++i) order[1 + i] = static_cast<uint8_t>(value >> (8 * i));
    return PPPP_Write(session, 2, reinterpret_cast<char*>(order), sizeof order) == 9;
}

sockaddr_in PeerOf(const SessionInfo& info) {
    sockaddr_in a;
    std::memcpy(&a, info.remote, sizeof a);
    return a;
}

// Asks the device for count bytes on channel 1 and checks every one. Returns the bytes
// that arrived in order and intact.
uint64_t ReadStream(int32_t session, uint64_t count) {
    if (!SendOrder(session, 'S', count)) return 0;
    std::vector<uint8_t> buffer(96 * 1024 + 7);
    uint64_t offset = 0;
    while (offset < count) {
        int32_t n = static_cast<int32_t>(std::min<uint64_t>(buffer.size(), count - offset));
        int32_t r = PPPP_Read(session, 1, reinterpret_cast<char*>(buffer.data()), &n, 20000);
        size_t good = zevo::p2pdiag::CheckPattern(offset, buffer.data(), static_cast<size_t>(n));
        offset += good;
        if (good != static_cast<size_t>(n)) {
            ADD_FAILURE() << "byte " << offset << " differs from what the device sent";
            break;
        }
        if (r != PPPP_OK) {
            ADD_FAILURE() << "read ended with " << r << " after " << offset << " bytes";
            break;
        }
    }
    return offset;
}

// Runs body on a thread of its own, which the lab moves into a namespace; the test's
// own thread stays where it was.
template <typename Body>
void OnOwnThread(Body body) {
    std::thread t(body);
    t.join();
}

TEST(NetFaultRelay, TenMegabytesThroughLossAndReorderingArriveIntactAndInOrder) {
    std::string reason = zevo::testing::NetnsUnavailableReason();
    if (!reason.empty()) GTEST_SKIP() << reason;
    OnOwnThread([] {
        Impairment faults;
        faults.delayMs = 10;
        faults.jitterMs = 3;
        faults.lossPercent = 1.0;
        faults.reorderPercent = 2.0;
        faults.reorderGapMs = 5;
        ImpairedRelay relay;
        std::string failed = relay.Start(faults, faults, 1234);
        ASSERT_EQ(failed, "");

        setenv("ZEVO_P2P_SERVER", relay.ViewerServer().c_str(), 1);
        setenv("ZEVO_P2P_INSECURE_TRANSPORT", "1", 1);  // the path's faults, unsealed
        ASSERT_EQ(PPPP_Initialize(relay.InitString().c_str()), PPPP_OK);
        int32_t s = PPPP_Connect(relay.Did().c_str(), 0, 0);
        EXPECT_GE(s, 0);
        if (s >= 0) {
            SessionInfo info{};
            ASSERT_EQ(PPPP_Check(s, &info), PPPP_OK);
            EXPECT_EQ(info.mode, PPPP_MODE_RELAY);
            // The viewer's peer is a proxy's port, so the path does cross it.
            sockaddr_in peer = PeerOf(info);
            EXPECT_EQ(ntohl(peer.sin_addr.s_addr), INADDR_LOOPBACK);
            EXPECT_GE(ntohs(peer.sin_port), ImpairedRelay::kRelayFirstPort);
            EXPECT_LT(ntohs(peer.sin_port),
                      ImpairedRelay::kRelayFirstPort + ImpairedRelay::kRelayPorts);

            const uint64_t kTotal = 10u << 20;
            EXPECT_EQ(ReadStream(s, kTotal), kTotal);
            // A command still gets its echo afterwards.
            const char ping[36] = "still there after the bulk transfer";
            ASSERT_EQ(PPPP_Write(s, 0, ping, sizeof ping), static_cast<int32_t>(sizeof ping));
            char back[sizeof ping] = {};
            int32_t n = sizeof back;
            EXPECT_EQ(PPPP_Read(s, 0, back, &n, 10000), PPPP_OK);
            EXPECT_EQ(std::memcmp(back, ping, sizeof ping), 0);
            PPPP_Close(s);
        }
        PPPP_DeInitialize();
        unsetenv("ZEVO_P2P_SERVER");
        unsetenv("ZEVO_P2P_INSECURE_TRANSPORT");

        // The faults really were applied, both ways.
        auto stats = relay.RelayStats();
        EXPECT_GT(stats.toClient.lost, 10u);
        EXPECT_GT(stats.toClient.reordered, 10u);
        EXPECT_GT(stats.toUpstream.lost, 0u);
        EXPECT_GT(stats.toClient.bytes, 10u << 20);
    });
}

// Two private networks, each behind its own address translator, and the service on the
// "public" side:
//
//   hostA 192.0.2.2 -- 192.0.2.1 natA 198.51.100.2 -- 198.51.100.1 pub
//   hostB 203.0.113.2 -- 203.0.113.1 natB 198.51.100.6 -- 198.51.100.5 pub
//
// Each translator masquerades what leaves it and, like a home router, drops whatever
// arrives unasked from outside. The service offers no relay, so a session can only open
// on a punched direct path.
TEST(NetFaultNat, HolePunchingOpensADirectSessionThroughTwoTranslators) {
    std::string reason = zevo::testing::NatUnavailableReason();
    if (!reason.empty()) GTEST_SKIP() << reason;
    OnOwnThread([] {
        NetnsLab lab;
        for (const char* ns : {"pub", "natA", "natB", "hostA", "hostB"})
            ASSERT_TRUE(lab.AddNamespace(ns)) << ns;
        std::string outA, outB;
        ASSERT_TRUE(lab.Link("pub", "198.51.100.1/30", "natA", "198.51.100.2/30", nullptr, &outA));
        ASSERT_TRUE(lab.Link("pub", "198.51.100.5/30", "natB", "198.51.100.6/30", nullptr, &outB));
        ASSERT_TRUE(lab.Link("natA", "192.0.2.1/24", "hostA", "192.0.2.2/24"));
        ASSERT_TRUE(lab.Link("natB", "203.0.113.1/24", "hostB", "203.0.113.2/24"));
        ASSERT_TRUE(lab.Exec("natA", "ip route add default via 198.51.100.1"));
        ASSERT_TRUE(lab.Exec("natB", "ip route add default via 198.51.100.5"));
        ASSERT_TRUE(lab.Exec("hostA", "ip route add default via 192.0.2.1"));
        ASSERT_TRUE(lab.Exec("hostB", "ip route add default via 203.0.113.1"));
        for (const char* ns : {"pub", "natA", "natB"})
            ASSERT_TRUE(lab.Exec(ns, "sysctl -qw net.ipv4.ip_forward=1"));
        for (auto [ns, out] : {std::pair{"natA", outA}, std::pair{"natB", outB}}) {
            std::string rules =
                "nft 'add table ip nat; "
                "add chain ip nat out { type nat hook postrouting priority srcnat; }; "
                "add rule ip nat out oifname \"" +
                out +
                "\" masquerade; "
                "add table ip filter; "
                "add chain ip filter incoming { type filter hook input priority 0; }; "
                "add rule ip filter incoming iifname \"" +
                out +
                "\" ct state new drop; "
                "add chain ip filter passing { type filter hook forward priority 0; }; "
                "add rule ip filter passing iifname \"" +
                out + "\" ct state new drop'";
            ASSERT_TRUE(lab.Exec(ns, rules)) << ns;
        }

        const std::string service = "198.51.100.1:32100";
        pid_t p2pd = zevo::testing::StartService(lab, "pub", service,
                                                 {"--no-relay", "--insecure-transport"});
        ASSERT_GT(p2pd, 0);
        const std::string did = "ZEVO-000456-NATED";
        int pipeFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        pid_t device = lab.Spawn("hostB",
                                 {P2P_TEST_DEVICE_PATH, zevo::p2ptest::InitStringFor(32100), did,
                                  zevo::p2ptest::SecretFor(did)},
                                 {"ZEVO_P2P_SERVER=" + service}, pipeFds[1]);
        close(pipeFds[1]);
        std::string line = zevo::testing::ReadLine(pipeFds[0], 15000);
        close(pipeFds[0]);
        ASSERT_EQ(line, "started 0\n");

        ASSERT_TRUE(lab.Enter("hostA"));
        setenv("ZEVO_P2P_SERVER", service.c_str(), 1);
        setenv("ZEVO_P2P_INSECURE_TRANSPORT", "1", 1);  // the translators, unsealed
        ASSERT_EQ(PPPP_Initialize(zevo::p2ptest::InitStringFor(32100).c_str()), PPPP_OK);
        int32_t s = PPPP_Connect(did.c_str(), 1, 0);
        EXPECT_GE(s, 0) << "no session through the translators";
        if (s >= 0) {
            SessionInfo info{};
            ASSERT_EQ(PPPP_Check(s, &info), PPPP_OK);
            EXPECT_EQ(info.mode, PPPP_MODE_DIRECT);
            // The device is seen at its translator's public address, not its own.
            sockaddr_in peer = PeerOf(info);
            char text[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
            EXPECT_STREQ(text, "198.51.100.6");
            const uint64_t kTotal = 4u << 20;
            EXPECT_EQ(ReadStream(s, kTotal), kTotal);
            PPPP_Close(s);
        }
        PPPP_DeInitialize();
        unsetenv("ZEVO_P2P_SERVER");
        unsetenv("ZEVO_P2P_INSECURE_TRANSPORT");
        lab.Stop(&device);
        lab.Stop(&p2pd);
    });
}

}  // namespace
