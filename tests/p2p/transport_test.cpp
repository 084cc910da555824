// The transport library against a real zevo-p2pd and a real device process on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "p2p/PPPP_API.h"
#include "p2p/diag_device.h"
#include "p2p/init_string.h"
#include "p2p/p2pd/service.h"
#include "tests/context_switches.h"
#include "tests/p2p/harness.h"

using namespace zevo::p2ptest;
using namespace zevo::p2pdiag;
using Clock = std::chrono::steady_clock;

namespace {

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

uint16_t PortOf(const unsigned char* sockaddrBytes) {
    sockaddr_in a;
    std::memcpy(&a, sockaddrBytes, sizeof a);
    return ntohs(a.sin_port);
}

uint32_t IpOf(const unsigned char* sockaddrBytes) {
    sockaddr_in a;
    std::memcpy(&a, sockaddrBytes, sizeof a);
    return ntohl(a.sin_addr.s_addr);
}

// Addresses of this machine: a direct path on loopback may use any of them.
std::set<uint32_t> LocalAddresses() {
    std::set<uint32_t> out = {0x7F000001};
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs* i = list; i; i = i->ifa_next)
            if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET)
                out.insert(ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr));
        freeifaddrs(list);
    }
    return out;
}

bool SendOrder(int32_t session, char code, uint64_t value) {
    unsigned char order[9] = {static_cast<unsigned char>(code)};
    for (int i = 0; i < 8; ++i) order[1 + i] = uint8_t(value >> (8 * i));
    return PPPP_Write(session, 2, reinterpret_cast<char*>(order), sizeof order) == 9;
}

// Reads exactly size bytes, asking again after timeouts like the media reader does.
int32_t ReadAll(int32_t session, unsigned char channel, char* buffer, int32_t size,
                int32_t timeoutMs = 500, int maxTimeouts = 40) {
    int32_t got = 0;
    while (got < size) {
        int32_t n = size - got;
        int32_t r = PPPP_Read(session, channel, buffer + got, &n, timeoutMs);
        got += n;
        if (r == PPPP_ERR_TIMEOUT && --maxTimeouts > 0) continue;
        if (r != PPPP_OK) return r;
    }
    return PPPP_OK;
}

SessionInfo DeviceInfo(int32_t session) {
    SessionInfo info{};
    EXPECT_TRUE(SendOrder(session, 'I', 0));
    EXPECT_EQ(ReadAll(session, 2, reinterpret_cast<char*>(&info), sizeof info), PPPP_OK);
    return info;
}

class TransportTest : public ::testing::Test {
protected:
    // Every session here runs sealed, as deployed: the service vouches for the device and
    // this viewer pins the service's key.
    void StartAll(std::vector<std::string> serviceArgs = {}) {
        ASSERT_TRUE(mKeys.Valid());
        serviceArgs.push_back("--signing-key-file");
        serviceArgs.push_back(mKeys.SeedPath());
        ASSERT_TRUE(mService.Start(serviceArgs));
        mDid = "ZEVO-" + std::to_string(100000 + std::random_device{}() % 899999) + "-TESTA";
        ASSERT_EQ(mDevice.Start(mService.InitString(), mDid, SecretFor(mDid)), 0);
        setenv("ZEVO_P2P_SERVICE_KEYS", mKeys.PinsPath().c_str(), 1);
        ASSERT_EQ(PPPP_Initialize(mService.InitString().c_str()), PPPP_OK);
        mInitialized = true;
    }
    void TearDown() override {
        unsetenv("ZEVO_P2P_SERVICE_KEYS");
        if (mInitialized) PPPP_DeInitialize();
        mDevice.Stop();
        mService.Stop();
    }

    DeploymentKeys mKeys;
    ServiceProcess mService;
    DeviceProcess mDevice;
    std::string mDid;
    bool mInitialized = false;
};

TEST_F(TransportTest, DirectSessionReportsTheDevicesAddress) {
    StartAll();
    int32_t s = PPPP_Connect(mDid.c_str(), 1, 0);
    ASSERT_GE(s, 0);
    SessionInfo info{};
    ASSERT_EQ(PPPP_Check(s, &info), PPPP_OK);
    EXPECT_EQ(info.mode, PPPP_MODE_DIRECT);
    EXPECT_EQ(info.isDevice, 0);
    EXPECT_STREQ(info.did, mDid.c_str());

    SessionInfo device = DeviceInfo(s);
    EXPECT_EQ(device.isDevice, 1);
    EXPECT_EQ(device.mode, PPPP_MODE_DIRECT);
    // Each side names the other's own session socket.
    EXPECT_EQ(PortOf(info.remote), PortOf(device.local));
    EXPECT_EQ(PortOf(device.remote), PortOf(info.local));
    EXPECT_NE(PortOf(info.remote), mService.Port());
    EXPECT_TRUE(LocalAddresses().count(IpOf(info.remote))) << std::hex << IpOf(info.remote);
    // The address the service saw is loopback, on this session's socket.
    EXPECT_EQ(IpOf(info.publicAddr), 0x7F000001u);
    EXPECT_EQ(PortOf(info.publicAddr), PortOf(info.local));
    PPPP_Close(s);
}

TEST_F(TransportTest, ForcedRelayReportsTheRelay) {
    StartAll({"--force-relay"});
    int32_t s = PPPP_Connect(mDid.c_str(), 1, 0);
    ASSERT_GE(s, 0);
    SessionInfo info{};
    ASSERT_EQ(PPPP_Check(s, &info), PPPP_OK);
    EXPECT_EQ(info.mode, PPPP_MODE_RELAY);
    EXPECT_EQ(IpOf(info.remote), 0x7F000001u);
    SessionInfo device = DeviceInfo(s);
    EXPECT_EQ(device.mode, PPPP_MODE_RELAY);
    // Both talk to the same relay port, which is neither peer nor the service's port.
    EXPECT_EQ(PortOf(info.remote), PortOf(device.remote));
    EXPECT_NE(PortOf(info.remote), PortOf(device.local));
    EXPECT_NE(PortOf(info.remote), mService.Port());
    PPPP_Close(s);
}

TEST_F(TransportTest, ViewerCanAskForTheRelayAndAFixedLocalPort) {
    StartAll();
    const uint32_t port = 20000 + std::random_device{}() % 20000;
    int32_t s = PPPP_Connect(mDid.c_str(), 0, port);
    if (s == PPPP_ERR_BIND_FAILED) GTEST_SKIP() << "port " << port << " taken";
    ASSERT_GE(s, 0);
    SessionInfo info{};
    ASSERT_EQ(PPPP_Check(s, &info), PPPP_OK);
    EXPECT_EQ(info.mode, PPPP_MODE_RELAY);
    EXPECT_EQ(PortOf(info.local), port);
    EXPECT_EQ(PPPP_Connect(mDid.c_str(), 0, port), PPPP_ERR_BIND_FAILED);
    PPPP_Close(s);
}

// 100 MB on channel 1 while 36-byte numbered packets go back and forth on channel 0.
void BulkWithCommands(int32_t s) {
    constexpr uint64_t kTotal = 100ull * 1000 * 1000;
    ASSERT_TRUE(SendOrder(s, 'S', kTotal));
    std::atomic<bool> bulkDone{false};
    std::atomic<uint64_t> commandsEchoed{0};
    std::atomic<bool> commandsOk{true};
    std::thread commands([&] {
        uint32_t sequence = 0;
        char packet[36], echo[36];
        while (!bulkDone.load() || sequence < 200) {
            std::memset(packet, int(sequence & 0x7F), sizeof packet);
            std::memcpy(packet, &sequence, sizeof sequence);
            if (PPPP_Write(s, 0, packet, sizeof packet) != sizeof packet ||
                ReadAll(s, 0, echo, sizeof echo) != PPPP_OK ||
                std::memcmp(packet, echo, sizeof echo) != 0) {
                commandsOk = false;
                return;
            }
            ++sequence;
            commandsEchoed = sequence;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::vector<uint8_t> buffer(200000);
    std::mt19937 random(7);
    uint64_t offset = 0;
    int32_t last = PPPP_OK;
    while (offset < kTotal) {
        // Odd read sizes: a read may take part of a chunk and the rest later.
        int32_t want = int32_t(std::min<uint64_t>(1 + random() % buffer.size(), kTotal - offset));
        int32_t n = want;
        last = PPPP_Read(s, 1, reinterpret_cast<char*>(buffer.data()), &n, 5000);
        ASSERT_EQ(CheckPattern(offset, buffer.data(), size_t(n)), size_t(n))
            << "at offset " << offset;
        offset += uint64_t(n);
        if (last != PPPP_OK && last != PPPP_ERR_TIMEOUT) break;
    }
    bulkDone = true;
    commands.join();
    EXPECT_EQ(offset, kTotal) << "last result " << last;
    EXPECT_TRUE(commandsOk.load());
    EXPECT_GE(commandsEchoed.load(), 200u);
    uint32_t unsent = 1, readable = 1;
    EXPECT_EQ(PPPP_Check_Buffer(s, 1, &unsent, &readable), PPPP_OK);
    EXPECT_EQ(readable, 0u);
}

// Sealed both ways on a clean path: nothing refused.
void ExpectSealedAndClean(int32_t s) {
    SessionSecurity sec{};
    ASSERT_EQ(PPPP_Check_Security(s, &sec), PPPP_OK);
    EXPECT_EQ(sec.sealed, 1u);
    EXPECT_EQ(sec.malformed + sec.badTag + sec.replay + sec.tooOld + sec.staleKey + sec.stranger +
                  sec.unsealed,
              0u);
}

TEST_F(TransportTest, HundredMegabytesAndCommandsArriveInOrderDirect) {
    StartAll();
    int32_t s = PPPP_Connect(mDid.c_str(), 1, 0);
    ASSERT_GE(s, 0);
    SessionInfo info{};
    ASSERT_EQ(PPPP_Check(s, &info), PPPP_OK);
    ASSERT_EQ(info.mode, PPPP_MODE_DIRECT);
    BulkWithCommands(s);
    ExpectSealedAndClean(s);
    PPPP_Close(s);
}

TEST_F(TransportTest, HundredMegabytesAndCommandsArriveInOrderRelay) {
    StartAll({"--force-relay", "--relay-rate", "0"});
    int32_t s = PPPP_Connect(mDid.c_str(), 1, 0);
    ASSERT_GE(s, 0);
    SessionInfo info{};
    ASSERT_EQ(PPPP_Check(s, &info), PPPP_OK);
    ASSERT_EQ(info.mode, PPPP_MODE_RELAY);
    BulkWithCommands(s);
    ExpectSealedAndClean(s);
    PPPP_Close(s);
    // Relay and both peers share this host, so the data went in ENet's largest datagrams
    // (up to 4096 bytes) instead of 1400-byte ones: the mean stays well above 1400 even
    // with the small acknowledgements counted in.
    std::vector<uint64_t> stats = mService.Stats();
    ASSERT_GT(stats.size(), size_t(zevo::p2p::kStatRelayBytes));
    uint64_t datagrams = stats[zevo::p2p::kStatRelayForwarded];
    ASSERT_GT(datagrams, 0u);
    EXPECT_GT(stats[zevo::p2p::kStatRelayBytes] / datagrams, 2000u);
}

// Writes queued faster than the worker sends them share packets: bursts of small writes of
// every size come back through the echo as the same byte stream.
TEST_F(TransportTest, BurstsOfSmallWritesKeepTheirBytesAndOrder) {
    StartAll();
    int32_t s = PPPP_Connect(mDid.c_str(), 1, 0);
    ASSERT_GE(s, 0);
    std::mt19937 random(11);
    std::vector<char> sent;
    for (int burst = 0; burst < 20; ++burst) {
        size_t start = sent.size();
        for (int i = 0; i < 300; ++i) {
            size_t size = 1 + random() % 97;
            size_t at = sent.size();
            for (size_t k = 0; k < size; ++k) sent.push_back(char(random()));
            ASSERT_EQ(PPPP_Write(s, 0, sent.data() + at, int32_t(size)), int32_t(size));
        }
        std::vector<char> echo(sent.size() - start);
        ASSERT_EQ(ReadAll(s, 0, echo.data(), int32_t(echo.size())), PPPP_OK) << "burst " << burst;
        ASSERT_EQ(std::memcmp(echo.data(), sent.data() + start, echo.size()), 0)
            << "burst " << burst;
    }
    PPPP_Close(s);
}

TEST_F(TransportTest, ReadTimeoutReportsThePartialSize) {
    StartAll();
    int32_t s = PPPP_Connect(mDid.c_str(), 1, 0);
    ASSERT_GE(s, 0);
    const char ten[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_EQ(PPPP_Write(s, 0, ten, sizeof ten), 10);
    // Wait until the echo is complete so the partial size is exactly 10.
    uint32_t readable = 0;
    for (int i = 0; i < 500 && readable < 10; ++i) {
        ASSERT_EQ(PPPP_Check_Buffer(s, 0, nullptr, &readable), PPPP_OK);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    char buffer[20] = {};
    int32_t size = sizeof buffer;
    EXPECT_EQ(PPPP_Read(s, 0, buffer, &size, 300), PPPP_ERR_TIMEOUT);
    EXPECT_EQ(size, 10);
    EXPECT_EQ(std::memcmp(buffer, ten, sizeof ten), 0);
    // Nothing at all within the timeout.
    size = 4;
    EXPECT_EQ(PPPP_Read(s, 0, buffer, &size, 100), PPPP_ERR_TIMEOUT);
    EXPECT_EQ(size, 0);
    PPPP_Close(s);
}

// A blocked reader sleeps through another channel's traffic and returns at once on close;
// the worker sleeps while nothing flows.
TEST_F(TransportTest, BlockedReadersWakeForTheirChannelAndAtClose) {
    StartAll();
    int32_t s = PPPP_Connect(mDid.c_str(), 1, 0);
    ASSERT_GE(s, 0);
    std::atomic<int32_t> results[2] = {1, 1};
    std::atomic<double> released[2] = {0, 0};
    std::atomic<pid_t> commandReader{0};
    Clock::time_point closedAt;
    std::vector<std::thread> readers;
    auto read = [&](int ch) {
        if (ch == 0) commandReader = static_cast<pid_t>(syscall(SYS_gettid));
        char buffer[64];
        int32_t size = sizeof buffer;
        results[ch] = PPPP_Read(s, static_cast<unsigned char>(ch), buffer, &size, -1);
        released[ch] = std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
    };
    readers.emplace_back(read, 0);
    while (commandReader.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const long switchesBefore = VoluntaryContextSwitches(commandReader.load());
    ASSERT_GE(switchesBefore, 0);
    constexpr uint64_t kStream = 4u * 1000 * 1000;
    ASSERT_TRUE(SendOrder(s, 'S', kStream));
    std::vector<char> bulk(kStream);
    ASSERT_EQ(ReadAll(s, 1, bulk.data(), int32_t(kStream)), PPPP_OK);
    // Hundreds of deliveries on channel 1; waking the channel 0 reader for each of them
    // would show here.
    EXPECT_LE(VoluntaryContextSwitches(commandReader.load()) - switchesBefore, 3);
    readers.emplace_back(read, 1);
    // Nothing flows now: the worker sleeps until a datagram or a call, not on a short
    // timer (25 wake-ups in this half second with a 20 ms one, a failure).
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const long workerBefore = VoluntaryContextSwitches("zevo-p2p");
    ASSERT_GE(workerBefore, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LE(VoluntaryContextSwitches("zevo-p2p") - workerBefore, 12);
    EXPECT_EQ(results[0].load(), 1) << "a reader returned before the close";
    EXPECT_EQ(results[1].load(), 1) << "a reader returned before the close";
    closedAt = Clock::now();
    ASSERT_EQ(PPPP_Close(s), PPPP_OK);
    for (auto& t : readers) t.join();
    double closed = std::chrono::duration<double>(closedAt.time_since_epoch()).count();
    for (int ch = 0; ch < 2; ++ch) {
        EXPECT_EQ(results[ch].load(), PPPP_ERR_CLOSED_HERE);
        EXPECT_LT(released[ch].load() - closed, 1.0);  // at once; generous for a loaded box
    }
    // The handle stays closed for later calls.
    char buffer[4];
    int32_t size = sizeof buffer;
    EXPECT_EQ(PPPP_Read(s, 0, buffer, &size, 0), PPPP_ERR_CLOSED_HERE);
    EXPECT_EQ(PPPP_Write(s, 0, buffer, 4), PPPP_ERR_CLOSED_HERE);
    SessionInfo info{};
    EXPECT_EQ(PPPP_Check(s, &info), PPPP_ERR_CLOSED_HERE);
}

TEST_F(TransportTest, PeerCloseEndsReadsAfterTheBufferedBytes) {
    StartAll();
    int32_t s = PPPP_Connect(mDid.c_str(), 1, 0);
    ASSERT_GE(s, 0);
    ASSERT_TRUE(SendOrder(s, 'S', 1000));
    ASSERT_TRUE(SendOrder(s, 'X', 0));
    // The stream may or may not have been written before the close; what did arrive
    // is delivered before the session-ended code.
    std::vector<uint8_t> buffer(1000);
    int32_t size = 1000;
    int32_t r = PPPP_Read(s, 1, reinterpret_cast<char*>(buffer.data()), &size, 10000);
    EXPECT_EQ(CheckPattern(0, buffer.data(), size_t(size)), size_t(size));
    if (r == PPPP_OK) {
        size = 1;
        r = PPPP_Read(s, 1, reinterpret_cast<char*>(buffer.data()), &size, 10000);
    }
    EXPECT_EQ(r, PPPP_ERR_CLOSED_BY_PEER);
    PPPP_Close(s);
}

TEST_F(TransportTest, KilledDeviceEndsReadsWithinTenSeconds) {
    for (const char* mode : {"direct", "relay"}) {
        SCOPED_TRACE(mode);
        if (std::string(mode) == "direct") {
            StartAll();
        } else {
            PPPP_DeInitialize();
            mInitialized = false;
            mDevice.Stop();
            mService.Stop();
            StartAll({"--force-relay"});
        }
        int32_t s = PPPP_Connect(mDid.c_str(), 1, 0);
        ASSERT_GE(s, 0);
        std::atomic<int32_t> result{1};
        std::thread reader([&] {
            char buffer[64];
            int32_t size = sizeof buffer;
            result = PPPP_Read(s, 1, buffer, &size, -1);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        auto killed = Clock::now();
        mDevice.Kill();
        reader.join();
        double seconds = SecondsSince(killed);
        EXPECT_TRUE(result == PPPP_ERR_PEER_SILENT || result == PPPP_ERR_CLOSED_BY_PEER) << result;
        EXPECT_LT(seconds, 10.0);
        std::printf("[ %s ] session ended %.2f s after SIGKILL\n", mode, seconds);
        PPPP_Close(s);
    }
}

TEST_F(TransportTest, UnknownDidFailsQuickly) {
    StartAll();
    auto start = Clock::now();
    EXPECT_EQ(PPPP_Connect("NONE-000000-ABSENT", 1, 0), PPPP_ERR_DEVICE_OFFLINE);
    double seconds = SecondsSince(start);
    EXPECT_LT(seconds, 3.0);  // typically a few milliseconds
    std::printf("[ unknown DID ] answered in %.3f s\n", seconds);
    EXPECT_EQ(PPPP_Connect("", 1, 0), PPPP_ERR_INVALID_DID);
    EXPECT_EQ(PPPP_Connect("bad did with spaces", 1, 0), PPPP_ERR_INVALID_DID);
}

TEST(TransportSetup, InitialisationStringAndOverride) {
    EXPECT_EQ(PPPP_Initialize("TOO-SHORT"), PPPP_ERR_BAD_INIT_STRING);
    std::string broken = zevo::p2p::kP2pInitString;
    broken[10] = broken[10] == 'A' ? 'B' : 'A';
    EXPECT_EQ(PPPP_Initialize(broken.c_str()), PPPP_ERR_BAD_INIT_STRING);
    EXPECT_EQ(PPPP_Connect("ABCD-123456-EFGHI", 1, 0), PPPP_ERR_NOT_INITIALIZED);

    // The built-in string names 127.0.0.1:32100; the override points at our service. The
    // override is under test, unsealed (the migration switch).
    ServiceProcess service;
    ASSERT_TRUE(service.Start({"--insecure-transport"}));
    setenv("ZEVO_P2P_INSECURE_TRANSPORT", "1", 1);
    const std::string did = "ABCD-123456-EFGHI";
    DeviceProcess device;
    ASSERT_EQ(device.Start(service.InitString(), did, SecretFor(did)), 0);
    std::string over = "localhost:" + std::to_string(service.Port());
    setenv("ZEVO_P2P_SERVER", over.c_str(), 1);
    ASSERT_EQ(PPPP_Initialize(zevo::p2p::kP2pInitString), PPPP_OK);
    EXPECT_EQ(PPPP_Initialize(zevo::p2p::kP2pInitString), PPPP_OK);  // again: fine
    int32_t s = PPPP_Connect(did.c_str(), 1, 0);
    EXPECT_GE(s, 0);
    PPPP_DeInitialize();
    setenv("ZEVO_P2P_SERVER", "no-port-here", 1);
    EXPECT_EQ(PPPP_Initialize(zevo::p2p::kP2pInitString), PPPP_ERR_BAD_INIT_STRING);
    unsetenv("ZEVO_P2P_SERVER");
    unsetenv("ZEVO_P2P_INSECURE_TRANSPORT");
}

TEST(TransportSetup, DeInitializeReleasesEverything) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start({"--insecure-transport"}));
    setenv("ZEVO_P2P_INSECURE_TRANSPORT", "1", 1);  // the library's life, unsealed
    ASSERT_EQ(PPPP_Initialize(service.InitString().c_str()), PPPP_OK);
    unsetenv("ZEVO_P2P_INSECURE_TRANSPORT");
    // A device and a viewer in one process, as the benchmarks run them.
    const std::string did = "SELF-000001-LOOPS";
    int32_t device = PPPP_DeviceStart(did.c_str(), SecretFor(did).c_str());
    ASSERT_GE(device, 0);
    std::atomic<bool> stop{false};
    std::thread serve([&] { ServeDevice(device, stop); });
    int32_t s = PPPP_Connect(did.c_str(), 1, 0);
    ASSERT_GE(s, 0);
    std::atomic<int32_t> result{1};
    std::thread reader([&] {
        char buffer[8];
        int32_t size = sizeof buffer;
        result = PPPP_Read(s, 1, buffer, &size, -1);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(PPPP_DeInitialize(), PPPP_OK);
    reader.join();
    serve.join();
    EXPECT_EQ(result.load(), PPPP_ERR_CLOSED_HERE);
    char buffer[4];
    int32_t size = 4;
    EXPECT_EQ(PPPP_Read(s, 0, buffer, &size, 0), PPPP_ERR_NOT_INITIALIZED);
    EXPECT_EQ(PPPP_Accept(device, 0), PPPP_ERR_NOT_INITIALIZED);
}

}  // namespace
