// zevo-p2pd as a process: registration rules, limits, the relay's gatekeeping, hostile
// datagrams and its command line.
#include "p2p/p2pd/service.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <thread>

#include "p2p/PPPP_API.h"
#include "p2p/diag_device.h"
#include "p2p/init_string.h"
#include "p2p/wire.h"
#include "tests/p2p/harness.h"

using namespace zevo::p2ptest;
using namespace zevo::p2pdiag;
namespace p2p = zevo::p2p;
using Clock = std::chrono::steady_clock;

namespace {

class ServiceTest : public ::testing::Test {
protected:
    void Start(const std::vector<std::string>& args = {}) {
        // The service's own rules are under test, unsealed (the migration switch).
        std::vector<std::string> unsealed = args;
        unsealed.push_back("--insecure-transport");
        ASSERT_TRUE(mService.Start(unsealed));
        setenv("ZEVO_P2P_INSECURE_TRANSPORT", "1", 1);
        ASSERT_EQ(PPPP_Initialize(mService.InitString().c_str()), PPPP_OK);
    }
    void TearDown() override {
        mStop = true;
        PPPP_DeInitialize();
        unsetenv("ZEVO_P2P_INSECURE_TRANSPORT");
        for (auto& t : mServers) t.join();
        mService.Stop();
    }
    // Registers did in this process and serves it like the test device.
    int32_t StartDevice(const std::string& did, const std::string& secret) {
        int32_t device = PPPP_DeviceStart(did.c_str(), secret.c_str());
        if (device >= 0) mServers.emplace_back([this, device] { ServeDevice(device, mStop); });
        return device;
    }
    uint64_t Stat(size_t index) {
        auto stats = mService.Stats();
        return index < stats.size() ? stats[index] : ~0ull;
    }

    ServiceProcess mService;
    std::atomic<bool> mStop{false};
    std::vector<std::thread> mServers;
};

void SendTo(uint16_t port, const void* data, size_t length) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    sendto(fd, data, length, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    close(fd);
}

bool EchoWorks(int32_t session) {
    const char ping[5] = "ping";
    char back[4] = {};
    if (PPPP_Write(session, 0, ping, 4) != 4) return false;
    int32_t got = 0;
    for (int i = 0; i < 20 && got < 4; ++i) {
        int32_t n = 4 - got;
        PPPP_Read(session, 0, back + got, &n, 250);
        got += n;
    }
    return got == 4 && std::memcmp(back, ping, 4) == 0;
}

TEST_F(ServiceTest, OnlyTheRightSecretRegisters) {
    Start();
    const std::string did = "SECR-000001-TESTS";
    EXPECT_EQ(PPPP_DeviceStart(did.c_str(), SecretFor(did, "another-key").c_str()),
              PPPP_ERR_REGISTRATION_REFUSED);
    // The secret of another DID under the right key does not fit either.
    EXPECT_EQ(PPPP_DeviceStart(did.c_str(), SecretFor("SECR-000002-TESTS").c_str()),
              PPPP_ERR_REGISTRATION_REFUSED);
    EXPECT_EQ(PPPP_DeviceStart(did.c_str(), "not-hex"), PPPP_ERR_INVALID_PARAMETER);
    EXPECT_EQ(PPPP_Connect(did.c_str(), 1, 0), PPPP_ERR_DEVICE_OFFLINE);
    EXPECT_EQ(Stat(p2p::kStatRefused), 2u);
    EXPECT_EQ(Stat(p2p::kStatRegistered), 0u);
    EXPECT_GE(StartDevice(did, SecretFor(did)), 0);
    int32_t s = PPPP_Connect(did.c_str(), 1, 0);
    ASSERT_GE(s, 0);
    EXPECT_TRUE(EchoWorks(s));
}

TEST_F(ServiceTest, ALiveDeviceKeepsItsDid) {
    Start({"--device-expiry-ms", "1500", "--keepalive-ms", "300"});
    const std::string did = "TAKE-000001-OVERS";
    DeviceProcess first;
    ASSERT_EQ(first.Start(mService.InitString(), did, SecretFor(did)), 0);
    // Same DID, right secret, while the first one lives: refused.
    EXPECT_EQ(PPPP_DeviceStart(did.c_str(), SecretFor(did).c_str()), PPPP_ERR_DID_IN_USE);
    EXPECT_EQ(Stat(p2p::kStatDidInUse), 1u);
    // Well past the expiry: keepalives hold it.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(PPPP_DeviceStart(did.c_str(), SecretFor(did).c_str()), PPPP_ERR_DID_IN_USE);
    int32_t s = PPPP_Connect(did.c_str(), 1, 0);
    ASSERT_GE(s, 0);
    EXPECT_TRUE(EchoWorks(s));
    PPPP_Close(s);

    // Once the holder is gone without a word, the DID frees after the expiry.
    first.Kill();
    int32_t second = PPPP_ERR_DID_IN_USE;
    for (int i = 0; i < 40 && second == PPPP_ERR_DID_IN_USE; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        second = StartDevice(did, SecretFor(did));
    }
    EXPECT_GE(second, 0);
    s = PPPP_Connect(did.c_str(), 1, 0);
    ASSERT_GE(s, 0);
    EXPECT_TRUE(EchoWorks(s));

    // A device that stops unregisters: the DID is free at once.
    PPPP_DeviceStop(second);
    DeviceProcess third;
    EXPECT_EQ(third.Start(mService.InitString(), did, SecretFor(did)), 0);
}

TEST_F(ServiceTest, RegistrationsPerAddressAreLimited) {
    Start({"--max-devices-per-address", "2"});
    EXPECT_GE(StartDevice("LIMT-000001-ADDRS", SecretFor("LIMT-000001-ADDRS")), 0);
    EXPECT_GE(StartDevice("LIMT-000002-ADDRS", SecretFor("LIMT-000002-ADDRS")), 0);
    EXPECT_EQ(PPPP_DeviceStart("LIMT-000003-ADDRS", SecretFor("LIMT-000003-ADDRS").c_str()),
              PPPP_ERR_TOO_MANY_SESSIONS);
    EXPECT_EQ(Stat(p2p::kStatLimitHits), 1u);
    EXPECT_EQ(Stat(p2p::kStatDevicesNow), 2u);
}

TEST_F(ServiceTest, SessionsAreLimited) {
    Start({"--max-sessions", "1", "--force-relay"});
    const std::string did = "LIMT-000001-SESSN";
    ASSERT_GE(StartDevice(did, SecretFor(did)), 0);
    int32_t first = PPPP_Connect(did.c_str(), 1, 0);
    ASSERT_GE(first, 0);
    // The first session holds its relay: no room for a second.
    EXPECT_EQ(PPPP_Connect(did.c_str(), 1, 0), PPPP_ERR_TOO_MANY_SESSIONS);
    EXPECT_TRUE(EchoWorks(first));
    EXPECT_EQ(Stat(p2p::kStatSessionsNow), 1u);
}

TEST_F(ServiceTest, HostileDatagramsAreCountedAndIgnored) {
    Start({"--force-relay"});
    const std::string did = "HOST-000001-ILEDG";
    ASSERT_GE(StartDevice(did, SecretFor(did)), 0);
    int32_t s = PPPP_Connect(did.c_str(), 1, 0);
    ASSERT_GE(s, 0);
    SessionInfo info{};
    ASSERT_EQ(PPPP_Check(s, &info), PPPP_OK);
    ASSERT_EQ(info.mode, PPPP_MODE_RELAY);
    sockaddr_in relay;
    std::memcpy(&relay, info.remote, sizeof relay);
    const uint16_t relayPort = ntohs(relay.sin_port);

    uint64_t malformedBefore = Stat(p2p::kStatMalformed);
    std::mt19937 random(42);
    int sent = 0;
    std::vector<uint8_t> junk(70000);
    for (auto& b : junk) b = uint8_t(random());
    // Random bytes, our magic with garbage, every truncation of a valid lookup, a huge one.
    for (int i = 0; i < 50; ++i, ++sent) SendTo(mService.Port(), junk.data(), 1 + random() % 600);
    for (int i = 0; i < 50; ++i, ++sent) {
        junk[0] = 'Z', junk[1] = 'P', junk[2] = 1, junk[3] = uint8_t(random() % 24);
        SendTo(mService.Port(), junk.data(), 4 + random() % 80);
    }
    p2p::Message lookup;
    lookup.type = p2p::MsgType::kLookup;
    std::strcpy(lookup.did, did.c_str());
    uint8_t valid[p2p::kMaxDatagram];
    size_t validLength = p2p::EncodeMessage(lookup, valid, sizeof valid);
    for (size_t n = 0; n < validLength; ++n, ++sent) SendTo(mService.Port(), valid, n);
    SendTo(mService.Port(), junk.data(), 65000);
    ++sent;

    // Strangers at the relay: raw bytes and binds with a guessed token go nowhere.
    uint64_t relayDroppedBefore = Stat(p2p::kStatRelayDropped);
    p2p::Message bind;
    bind.type = p2p::MsgType::kRelayBind;
    bind.token = 12345;
    uint8_t bindBytes[p2p::kMaxDatagram];
    size_t bindLength = p2p::EncodeMessage(bind, bindBytes, sizeof bindBytes);
    for (int i = 0; i < 20; ++i) {
        SendTo(relayPort, junk.data(), 100);
        SendTo(relayPort, bindBytes, bindLength);
    }

    // Counted once each, and everything still works.
    uint64_t malformed = 0;
    for (int i = 0; i < 20 && malformed < malformedBefore + uint64_t(sent); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        malformed = Stat(p2p::kStatMalformed);
    }
    EXPECT_GE(malformed - malformedBefore, uint64_t(sent) - 10);  // a few may be well-formed
    EXPECT_LE(malformed - malformedBefore, uint64_t(sent));
    EXPECT_EQ(Stat(p2p::kStatRelayDropped) - relayDroppedBefore, 40u);
    EXPECT_TRUE(EchoWorks(s));
    EXPECT_EQ(PPPP_Connect("NOBO-000000-DYHOME", 1, 0), PPPP_ERR_DEVICE_OFFLINE);
}

TEST_F(ServiceTest, RelayBandwidthIsLimitedPerSession) {
    // 1 MB/s per session: 3 MB cannot arrive in under 2 s (256 KiB burst), and arrives intact.
    Start({"--force-relay", "--relay-rate", "1000000"});
    const std::string did = "RATE-000001-LIMIT";
    ASSERT_GE(StartDevice(did, SecretFor(did)), 0);
    int32_t s = PPPP_Connect(did.c_str(), 1, 0);
    ASSERT_GE(s, 0);
    constexpr uint64_t kBytes = 3000000;
    unsigned char order[9] = {'S'};
    for (int i = 0; i < 8; ++i) order[1 + i] = uint8_t(kBytes >> (8 * i));
    auto start = Clock::now();
    ASSERT_EQ(PPPP_Write(s, 2, reinterpret_cast<char*>(order), 9), 9);
    std::vector<uint8_t> buffer(65536);
    uint64_t offset = 0;
    while (offset < kBytes) {
        int32_t n = int32_t(std::min<uint64_t>(buffer.size(), kBytes - offset));
        int32_t r = PPPP_Read(s, 1, reinterpret_cast<char*>(buffer.data()), &n, 20000);
        ASSERT_EQ(CheckPattern(offset, buffer.data(), size_t(n)), size_t(n));
        offset += uint64_t(n);
        ASSERT_TRUE(r == PPPP_OK || r == PPPP_ERR_TIMEOUT) << r << " at " << offset;
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // The peers pace themselves below the rate the relay announced, so the limit shows as
    // time, not as a broken session.
    EXPECT_GE(seconds, 2.0);
    std::printf("[ 3 MB at 1 MB/s ] %.2f s, %llu datagrams over the rate\n", seconds,
                static_cast<unsigned long long>(Stat(p2p::kStatRelayRateDrops)));
}

TEST_F(ServiceTest, NoRelayMeansDirectOnly) {
    Start({"--no-relay"});
    const std::string did = "NORL-000001-DIRCT";
    ASSERT_GE(StartDevice(did, SecretFor(did)), 0);
    int32_t s = PPPP_Connect(did.c_str(), 1, 0);
    ASSERT_GE(s, 0);
    SessionInfo info{};
    ASSERT_EQ(PPPP_Check(s, &info), PPPP_OK);
    EXPECT_EQ(info.mode, PPPP_MODE_DIRECT);
    EXPECT_EQ(PPPP_Connect(did.c_str(), 0, 0), PPPP_ERR_NO_RELAY);
    EXPECT_EQ(Stat(p2p::kStatRelaysNow), 0u);
}

// ---- the command line

std::string RunP2pd(const std::string& arguments, int* status) {
    return RunCommand(std::string(ZEVO_P2PD_PATH) + " " + arguments + " 2>&1", status);
}

TEST(ServiceCommandLine, PrintsHelpVersionSecretsAndInitStrings) {
    int status = -1;
    std::string help = RunP2pd("--help", &status);
    EXPECT_EQ(status, 0);
    for (const char* option : {"--listen", "--config", "--force-relay", "--no-relay", "--key-file",
                               "--log-level", "--device-secret", "--init-string"})
        EXPECT_NE(help.find(option), std::string::npos) << option;
    EXPECT_EQ(RunP2pd("--version", &status).rfind("zevo-p2pd ", 0), 0u);
    EXPECT_EQ(status, 0);

    std::string secret = RunP2pd("--key secret-key --device-secret ABCD-123456-EFGHI", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(secret, SecretFor("ABCD-123456-EFGHI", "secret-key") + "\n");
    char keyFile[] = "/tmp/zevo-key-XXXXXX";
    int fd = mkstemp(keyFile);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "secret-key\n", 11), 11);
    close(fd);
    EXPECT_EQ(RunP2pd(std::string("--key-file ") + keyFile + " --device-secret ABCD-123456-EFGHI",
                      &status),
              secret);
    unlink(keyFile);
    RunP2pd("--device-secret ABCD-123456-EFGHI", &status);
    EXPECT_EQ(status, 2);  // no key

    std::string init = RunP2pd("--init-string 10.1.2.3:32100,127.0.0.1:9", &status);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(init.size(), 91u);
    std::vector<p2p::Endpoint> endpoints;
    ASSERT_TRUE(p2p::DecodeInitString(init.c_str(), 90, &endpoints));
    ASSERT_EQ(endpoints.size(), 2u);
    EXPECT_EQ(endpoints[0], (p2p::Endpoint{0x0A010203, 32100}));
    EXPECT_EQ(endpoints[1], (p2p::Endpoint{0x7F000001, 9}));
    EXPECT_EQ(RunP2pd("--init-string 127.0.0.1:32100", &status),
              std::string(p2p::kP2pInitString) + "\n");

    RunP2pd("--no-such-option 1", &status);
    EXPECT_EQ(status, 2);
    RunP2pd("--max-sessions lots", &status);
    EXPECT_EQ(status, 2);
    RunP2pd("--force-relay --no-relay", &status);
    EXPECT_EQ(status, 2);
}

TEST(ServiceCommandLine, ConfigFileSetsOptions) {
    char path[] = "/tmp/zevo-p2pd-conf-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string text =
        "# test service\nforce-relay = true\nmax-devices-per-address = 1\n"
        "insecure-transport = true\n";
    ASSERT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
    close(fd);
    ServiceProcess service;
    ASSERT_TRUE(service.Start({"--config", path}));
    setenv("ZEVO_P2P_INSECURE_TRANSPORT", "1", 1);
    ASSERT_EQ(PPPP_Initialize(service.InitString().c_str()), PPPP_OK);
    std::atomic<bool> stop{false};
    int32_t device = PPPP_DeviceStart("CONF-000001-FILES", SecretFor("CONF-000001-FILES").c_str());
    ASSERT_GE(device, 0);
    std::thread serve([&] { ServeDevice(device, stop); });
    EXPECT_EQ(PPPP_DeviceStart("CONF-000002-FILES", SecretFor("CONF-000002-FILES").c_str()),
              PPPP_ERR_TOO_MANY_SESSIONS);
    int32_t s = PPPP_Connect("CONF-000001-FILES", 1, 0);
    ASSERT_GE(s, 0);
    SessionInfo info{};
    ASSERT_EQ(PPPP_Check(s, &info), PPPP_OK);
    EXPECT_EQ(info.mode, PPPP_MODE_RELAY);
    stop = true;
    PPPP_DeInitialize();
    unsetenv("ZEVO_P2P_INSECURE_TRANSPORT");
    serve.join();
    unlink(path);

    std::ofstream bad(path);
    bad << "listen = 127.0.0.1:0\nthis line has no equals sign\n";
    bad.close();
    int status = -1;
    std::string out = RunP2pd(std::string("--config ") + path, &status);
    EXPECT_EQ(status, 2);
    EXPECT_NE(out.find("line 2"), std::string::npos) << out;
    unlink(path);
}

}  // namespace
