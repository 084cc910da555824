// Session security on the real transport: a real zevo-p2pd that vouches for device keys,
// the real device process, and this process as the viewer. The viewer reaches the service
// and its relay only through impairment proxies on 127.0.0.2, which record every datagram
// the relay forwards and play the attacker in flight.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "p2p/PPPP_API.h"
#include "p2p/diag_device.h"
#include "p2p/init_string.h"
#include "p2p/secure/key_files.h"
#include "tests/p2p/harness.h"
#include "tools/udpproxy/udp_proxy.h"

using namespace zevo::p2ptest;
using namespace zevo::p2pdiag;
namespace secure = zevo::p2p::secure;

namespace {

constexpr int kRelayPorts = 4;
constexpr uint8_t kSealedData[2] = {0x53, 0x13};
constexpr uint8_t kReply[2] = {0x53, 0x12};

bool PortsFree(const char* ip, uint16_t first, int count) {
    for (int i = 0; i < count; ++i) {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(first + i));
        inet_pton(AF_INET, ip, &a.sin_addr);
        bool bound = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(fd);
        if (!bound) return false;
    }
    return true;
}

bool StartsWith(const std::vector<uint8_t>& d, const uint8_t (&prefix)[2]) {
    return d.size() >= 2 && d[0] == prefix[0] && d[1] == prefix[1];
}

// Shannon entropy in bits per byte.
double Entropy(const std::vector<uint64_t>& histogram) {
    uint64_t total = 0;
    for (uint64_t n : histogram) total += n;
    double h = 0;
    for (uint64_t n : histogram) {
        if (n == 0) continue;
        double p = double(n) / double(total);
        h -= p * std::log2(p);
    }
    return h;
}

// What the proxies saw and what they are to do to the datagrams going to the viewer.
struct Wire {
    std::mutex mu;
    std::vector<std::vector<uint8_t>> relayed;  // every datagram on a relay port, both ways
    std::atomic<int> corrupt{0};                // sealed datagrams still to alter in flight
    std::atomic<int> replay{0};                 // sealed datagrams still to send twice
    std::atomic<bool> swapKey{false};           // alter the device's key in every REPLY
    std::atomic<int> toService{0};              // datagrams the viewer sent the service
};

// Standard error of this process (and of the processes it starts) into a file, until Finish.
class StderrCapture {
public:
    explicit StderrCapture(std::string path) : mPath(std::move(path)) {
        std::fflush(stderr);
        mSaved = dup(2);
        int fd = open(mPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrCapture() { Finish(); }
    std::string Finish() {
        if (mSaved >= 0) {
            std::fflush(stderr);
            dup2(mSaved, 2);
            close(mSaved);
            mSaved = -1;
        }
        std::ifstream in(mPath);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    std::string mPath;
    int mSaved = -1;
};

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}


class SealedTransport : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/zevo-sealed-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        mDir = dir;
        std::string error;
        ASSERT_TRUE(secure::CreateServiceSeedFile(mDir + "/pinned.seed", &mPinned, &error))
            << error;
        secure::ServicePublicKey other;
        ASSERT_TRUE(secure::CreateServiceSeedFile(mDir + "/other.seed", &other, &error)) << error;
        std::ofstream(mDir + "/pins") << "# the deployment's service key\n"
                                      << secure::FormatPinnedKey(mPinned) << "\n";
        // The viewer's own config folder, where it looks for pinned keys when no variable
        // names a file: empty, unless a case puts a file there.
        mConfigHome = mDir + "/config";
        ASSERT_EQ(mkdir(mConfigHome.c_str(), 0700), 0);
        ASSERT_EQ(mkdir((mConfigHome + "/zevo").c_str(), 0700), 0);
        setenv("XDG_CONFIG_HOME", mConfigHome.c_str(), 1);
        mFirstRelay = uint16_t(21000 + (getpid() % 400) * 8);
        while (!(PortsFree("127.0.0.1", mFirstRelay, kRelayPorts) &&
                 PortsFree("127.0.0.2", mFirstRelay, kRelayPorts)))
            mFirstRelay = uint16_t(mFirstRelay + 8);
    }

    // Ends one world so a table's next case starts a fresh one.
    void StopAll() {
        if (mInitialized) PPPP_DeInitialize();
        mInitialized = false;
        for (auto& p : mProxies) p->Stop();
        mProxies.clear();
        mDevice.Stop();
        mService.Stop();
    }

    void TearDown() override {
        StopAll();
        unsetenv("ZEVO_P2P_SERVER");
        unsetenv("ZEVO_P2P_SERVICE_KEYS");
        unsetenv("XDG_CONFIG_HOME");
        std::system(("rm -rf " + mDir).c_str());
    }

    // Service (relay forced, relay ports from a known range), device, proxies, viewer.
    // viewerSwitch: the viewer runs with the migration switch; initResult: what its
    // PPPP_Initialize is to return.
    void StartAll(const std::vector<std::string>& signing, bool viewerPins = true,
                  bool deviceTakesUnsealed = false, bool keyInInitString = false,
                  bool viewerSwitch = false, int32_t initResult = PPPP_OK) {
        std::vector<std::string> args = signing;
        std::string range =
            std::to_string(mFirstRelay) + "-" + std::to_string(mFirstRelay + kRelayPorts - 1);
        for (const char* a : {"--force-relay", "--relay-rate", "0", "--relay-ports"})
            args.push_back(a);
        args.push_back(range);
        // The device reaches the service directly, and trusts nothing: it is no viewer.
        unsetenv("ZEVO_P2P_SERVER");
        unsetenv("ZEVO_P2P_SERVICE_KEYS");
        setenv("XDG_CONFIG_HOME", (mDir + "/device-config").c_str(), 1);
        ASSERT_TRUE(mService.Start(args));
        mDid = "ZEVO-" + std::to_string(100000 + std::random_device{}() % 899999) + "-SEALD";
        if (deviceTakesUnsealed) setenv("ZEVO_P2P_INSECURE_TRANSPORT", "1", 1);
        int started = mDevice.Start(mService.InitString(), mDid, SecretFor(mDid));
        unsetenv("ZEVO_P2P_INSECURE_TRANSPORT");
        setenv("XDG_CONFIG_HOME", mConfigHome.c_str(), 1);
        ASSERT_EQ(started, 0);
        ASSERT_TRUE(Proxy(mService.Port(), false));
        for (int i = 0; i < kRelayPorts; ++i) ASSERT_TRUE(Proxy(uint16_t(mFirstRelay + i), true));
        setenv("ZEVO_P2P_SERVER", ("127.0.0.2:" + std::to_string(mService.Port())).c_str(), 1);
        if (viewerPins) setenv("ZEVO_P2P_SERVICE_KEYS", (mDir + "/pins").c_str(), 1);
        // A version-2 string carries the deployment's key: trust without a pinned file.
        std::string init =
            keyInInitString ? zevo::p2p::EncodeInitString(
                                  {zevo::p2p::Endpoint{0x7F000001, mService.Port()}}, mPinned.key)
                            : mService.InitString();
        if (viewerSwitch) setenv("ZEVO_P2P_INSECURE_TRANSPORT", "1", 1);
        const int32_t initialized = PPPP_Initialize(init.c_str());
        unsetenv("ZEVO_P2P_INSECURE_TRANSPORT");
        ASSERT_EQ(initialized, initResult);
        mInitialized = initialized == PPPP_OK;
    }

    bool Proxy(uint16_t port, bool relay) {
        zevo::tools::UdpProxyConfig config;
        config.listen = "127.0.0.2:" + std::to_string(port);
        config.upstream = "127.0.0.1:" + std::to_string(port);
        if (!relay) {
            config.inspect = [this](bool toUpstream, uint8_t*, size_t) {
                if (toUpstream) ++mWire.toService;
                return 1;
            };
        } else {
            config.inspect = [this](bool toUpstream, uint8_t* data, size_t size) {
                std::vector<uint8_t> d(data, data + size);
                int copies = 1;
                if (!toUpstream && StartsWith(d, kSealedData) && size > 200) {
                    // Each fault on a datagram of its own: a replayed copy of an altered
                    // datagram would count as altered twice.
                    if (mWire.corrupt > 0 && mWire.corrupt-- > 0)
                        data[size / 2] ^= 0x20;
                    else if (mWire.replay > 0 && mWire.replay-- > 0)
                        copies = 2;
                }
                // The device's static key travels encrypted in REPLY bytes 36-83.
                if (!toUpstream && StartsWith(d, kReply) && mWire.swapKey) data[40] ^= 0x01;
                std::lock_guard<std::mutex> lock(mWire.mu);
                mWire.relayed.push_back(std::move(d));
                return copies;
            };
        }
        mProxies.push_back(std::make_unique<zevo::tools::UdpProxy>(config));
        return mProxies.back()->Start() == 0;
    }

    SessionSecurity Security(int32_t s) {
        SessionSecurity info{};
        EXPECT_EQ(PPPP_Check_Security(s, &info), PPPP_OK);
        return info;
    }

    std::string mDir, mConfigHome;
    secure::ServicePublicKey mPinned;
    uint16_t mFirstRelay = 0;
    ServiceProcess mService;
    DeviceProcess mDevice;
    std::vector<std::unique_ptr<zevo::tools::UdpProxy>> mProxies;
    Wire mWire;
    std::string mDid;
    bool mInitialized = false;
};

// Writes data on channel 0 and reads the device's echo back; true when it came back whole.
bool Echo(int32_t s, const std::string& data) {
    if (PPPP_Write(s, 0, data.data(), int32_t(data.size())) != int32_t(data.size())) return false;
    std::string back(data.size(), '\0');
    int32_t got = 0;
    for (int tries = 0; got < int32_t(back.size()) && tries < 40; ++tries) {
        int32_t n = int32_t(back.size()) - got;
        int32_t r = PPPP_Read(s, 0, back.data() + got, &n, 500);
        got += n;
        if (r != PPPP_OK && r != PPPP_ERR_TIMEOUT) return false;
    }
    return back == data;
}

// Orders count pattern bytes on channel 1 (each order streams from the pattern's start)
// and checks every byte.
bool Stream(int32_t s, uint64_t count) {
    unsigned char order[9] = {'S'};
    for (int i = 0; i < 8; ++i) order[1 + i] = uint8_t(count >> (8 * i));
    if (PPPP_Write(s, 2, reinterpret_cast<char*>(order), 9) != 9) return false;
    std::vector<uint8_t> buffer(64 * 1024);
    for (uint64_t done = 0; done < count;) {
        int32_t n = int32_t(std::min<uint64_t>(buffer.size(), count - done));
        int32_t r = PPPP_Read(s, 1, reinterpret_cast<char*>(buffer.data()), &n, 5000);
        if (r != PPPP_OK && r != PPPP_ERR_TIMEOUT) return false;
        if (CheckPattern(done, buffer.data(), size_t(n)) != size_t(n)) return false;
        done += uint64_t(n);
        if (r == PPPP_ERR_TIMEOUT && n == 0) return false;
    }
    return true;
}

// One relayed session carries the device's pattern stream and a low-entropy text both
// ways. Everything the relay forwarded is sealed: none of the plaintext shows and the
// bytes look random. A byte altered in flight, a replayed datagram and a datagram from a
// third address are each dropped and counted, and the session carries on intact.
TEST_F(SealedTransport, RelaySeesOnlySealedDatagramsAndFaultsAreDroppedAndCounted) {
    StartAll({"--signing-key-file", mDir + "/pinned.seed"});
    int32_t s = PPPP_Connect(mDid.c_str(), 1, 0);
    ASSERT_GE(s, 0);
    SessionInfo info{};
    ASSERT_EQ(PPPP_Check(s, &info), PPPP_OK);
    EXPECT_EQ(info.mode, PPPP_MODE_RELAY);
    EXPECT_EQ(Security(s).sealed, 1u);

    // A text far from random: in the clear it would be easy to find and to tell apart.
    std::string text;
    while (text.size() < 256 * 1024) text += "LOGIN user=admin password=secret-" + mDid + ";";
    constexpr uint64_t kStream = 2 << 20;
    ASSERT_TRUE(Echo(s, text));
    ASSERT_TRUE(Stream(s, kStream));

    mWire.corrupt = 3;
    mWire.replay = 3;
    ASSERT_TRUE(Stream(s, kStream));
    EXPECT_EQ(mWire.corrupt.load(), 0);
    EXPECT_EQ(mWire.replay.load(), 0);

    // A copy of a genuine sealed datagram, sent to the viewer from an address it never
    // proved: it would even open, so only the address gives it away.
    std::vector<uint8_t> genuine;
    {
        std::lock_guard<std::mutex> lock(mWire.mu);
        for (auto it = mWire.relayed.rbegin(); it != mWire.relayed.rend() && genuine.empty(); ++it)
            if (StartsWith(*it, kSealedData)) genuine = *it;
    }
    ASSERT_FALSE(genuine.empty());
    int third = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in viewer{};
    std::memcpy(&viewer, info.local, sizeof viewer);
    viewer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < 3; ++i)
        sendto(third, genuine.data(), genuine.size(), 0, reinterpret_cast<sockaddr*>(&viewer),
               sizeof viewer);
    close(third);
    ASSERT_TRUE(Echo(s, text));
    ASSERT_TRUE(Stream(s, kStream));

    SessionSecurity sec = Security(s);
    EXPECT_GE(sec.badTag, 3u);
    EXPECT_GE(sec.replay, 3u);
    EXPECT_EQ(sec.stranger, 3u);
    EXPECT_EQ(sec.unsealed, 0u);
    EXPECT_EQ(PPPP_Check(s, &info), PPPP_OK) << "the session must go on";
    PPPP_Close(s);

    // Everything the relay forwarded: sealed datagrams, and the relay's own binds.
    std::lock_guard<std::mutex> lock(mWire.mu);
    std::vector<uint64_t> histogram(256);
    size_t sealed = 0, handshake = 0, other = 0;
    uint64_t bytes = 0;
    for (const auto& d : mWire.relayed) {
        if (d.size() >= 2 && d[0] == 'Z' && d[1] == 'P') continue;  // RELAY_BIND and its answer
        if (StartsWith(d, kSealedData)) {
            ++sealed;
            for (size_t i = 12; i < d.size(); ++i) ++histogram[d[i]];
            bytes += d.size();
        } else if (d.size() >= 2 && d[0] == 0x53 && (d[1] == 0x11 || d[1] == 0x12)) {
            ++handshake;
        } else {
            ++other;
        }
    }
    EXPECT_GT(sealed, 1000u);
    EXPECT_GE(handshake, 2u);
    EXPECT_EQ(other, 0u) << "a datagram crossed the relay unsealed";
    EXPECT_GT(bytes, 6u << 20);
    double entropy = Entropy(histogram);
    EXPECT_GT(entropy, 7.99) << "ciphertext should look random";

    // No piece of any plaintext: the text (with the DID inside), the pattern stream at
    // spread offsets, the DID on its own.
    std::vector<std::string> needles = {text.substr(0, 24), text.substr(1000, 16), mDid};
    for (uint64_t offset = 4096; offset < kStream; offset += kStream / 24) {
        std::string piece(16, '\0');
        FillPattern(offset, reinterpret_cast<uint8_t*>(piece.data()), piece.size());
        needles.push_back(piece);
    }
    for (const auto& d : mWire.relayed) {
        std::string_view hay(reinterpret_cast<const char*>(d.data()), d.size());
        for (const auto& n : needles)
            ASSERT_EQ(hay.find(n), std::string_view::npos) << "plaintext crossed the relay";
    }
}

// A viewer that pins the deployment's service key refuses, with its own code, every
// device that cannot prove its key: a service that signs with another key (a spoofed
// service), a service that vouches for nothing, and a relay that swaps the device's key.
TEST_F(SealedTransport, DevicesThatCannotProveTheirKeyAreRefused) {
    struct Case {
        const char* name;
        std::string seed;  // empty: the service has no signing key
        bool swapKey;
    };
    const Case cases[] = {
        {"service signing with an unpinned key", mDir + "/other.seed", false},
        {"service vouching for no device", "", false},
        {"relay swapping the device's key", mDir + "/pinned.seed", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> signing;
        signing = c.seed.empty() ? std::vector<std::string>{"--insecure-transport"}
                                 : std::vector<std::string>{"--signing-key-file", c.seed};
        mWire.swapKey = c.swapKey;
        StartAll(signing);
        int32_t s = PPPP_Connect(mDid.c_str(), 1, 0);
        EXPECT_EQ(s, PPPP_ERR_DEVICE_NOT_AUTHENTIC);
        if (s >= 0) PPPP_Close(s);
        StopAll();
    }
}

// Migration: a device told to (--insecure-transport) also serves viewers that run no
// handshake (old ones, or new ones told to run unsealed), unsealed; a viewer that trusts keys
// still seals with it. Without the switch the device serves no unsealed viewer at all. A
// viewer trusts keys from a pinned file or from a version-2 initialisation string.
TEST_F(SealedTransport, OnlyADeviceMigratingServesViewersWithoutTheHandshake) {
    struct Case {
        const char* name;
        bool viewerPins;
        bool keyInInitString;
        bool deviceTakesUnsealed;
        bool connects;
        uint32_t sealed;
    };
    const Case cases[] = {
        {"unsealed viewer, migrating device", false, false, true, true, 0},
        {"new viewer, migrating device", true, false, true, true, 1},
        {"unsealed viewer, device past the migration", false, false, false, false, 0},
        {"viewer trusting its initialisation string", false, true, false, true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool trustsNothing = !c.viewerPins && !c.keyInInitString;
        StartAll({"--signing-key-file", mDir + "/pinned.seed"}, c.viewerPins, c.deviceTakesUnsealed,
                 c.keyInInitString, trustsNothing);
        int32_t s = PPPP_Connect(mDid.c_str(), 1, 0);
        EXPECT_EQ(s >= 0, c.connects) << s;
        if (s >= 0) {
            EXPECT_EQ(Security(s).sealed, c.sealed);
            EXPECT_TRUE(Echo(s, "hello through the relay"));
            PPPP_Close(s);
        }
        StopAll();
    }
}

// What runs when nobody said otherwise. A viewer that trusts no service key refuses every
// device at once, before a datagram leaves it, and says why once; told to run unsealed it
// connects unsealed and says so. With no variable naming a file it takes the keys from its
// config folder: there the line zevo-p2pd prints for its signing key makes it seal, and a
// malformed file fails its start. The device takes unsealed viewers throughout, so any
// unsealed session below is the viewer's own doing.
TEST_F(SealedTransport, ViewerDefaultsNeverFallBackSilently) {
    enum class Trust { kNothing, kPrintedLine, kMalformedFile };
    struct Case {
        const char* name;
        Trust trust;
        bool viewerSwitch;
        int32_t init;     // PPPP_Initialize
        int32_t connect;  // PPPP_Connect: 0 for a session
        uint32_t sealed;
        const char* said;  // on standard error, once
    };
    const Case cases[] = {
        {"trusting nothing", Trust::kNothing, false, PPPP_OK, PPPP_ERR_DEVICE_NOT_AUTHENTIC, 0,
         "every device is refused as not authentic"},
        {"trusting nothing, told to run unsealed", Trust::kNothing, true, PPPP_OK, 0, 0,
         "sessions run UNSEALED"},
        {"pinning the printed line in its config folder", Trust::kPrintedLine, false, PPPP_OK, 0, 1,
         nullptr},
        {"malformed file in its config folder", Trust::kMalformedFile, false,
         PPPP_ERR_BAD_INIT_STRING, 0, 0, "zevo/service-keys"},
    };
    const std::string pinned = mConfigHome + "/zevo/service-keys";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(pinned.c_str());
        if (c.trust == Trust::kPrintedLine) {
            int status = -1;
            const std::string line =
                RunCommand(std::string(ZEVO_P2PD_PATH) + " --signing-key-file " + mDir +
                               "/pinned.seed --print-service-key",
                           &status);
            ASSERT_EQ(status, 0);
            std::ofstream(pinned) << line;
        } else if (c.trust == Trust::kMalformedFile) {
            std::ofstream(pinned) << "zevo-p2p-service-key not-a-key\n";
        }
        mWire.toService = 0;
        StderrCapture capture(mDir + "/stderr");
        StartAll({"--signing-key-file", mDir + "/pinned.seed"}, false, true, false, c.viewerSwitch,
                 c.init);
        if (c.init == PPPP_OK) {
            for (int attempt = 0; attempt < 2; ++attempt) {
                int32_t s = PPPP_Connect(mDid.c_str(), 1, 0);
                if (c.connect != 0) {
                    EXPECT_EQ(s, c.connect);
                    continue;
                }
                ASSERT_GE(s, 0);
                EXPECT_EQ(Security(s).sealed, c.sealed);
                EXPECT_TRUE(Echo(s, "through the relay"));
                PPPP_Close(s);
            }
            if (c.connect != 0) {
                EXPECT_EQ(mWire.toService.load(), 0) << "a refused viewer sent its lookup";
                std::lock_guard<std::mutex> lock(mWire.mu);
                EXPECT_TRUE(mWire.relayed.empty());
            }
        }
        const std::string said = capture.Finish();
        if (c.said) {
            EXPECT_EQ(Occurrences(said, c.said), 1u) << said;
        }
        StopAll();
        mWire.relayed.clear();
    }
}

// zevo-p2pd vouches for the devices it registers, or is told in so many words not to: on
// its command line or in its config file.
TEST_F(SealedTransport, ServiceStartsOnlyVouchingOrToldNotTo) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        const char* config;  // nullptr: no --config
        bool starts;
    };
    const std::string seed = mDir + "/pinned.seed";
    const Case cases[] = {
        {"no signing key", {}, nullptr, false},
        {"config without a signing key", {}, "log-level = info\n", false},
        {"told to run unsealed", {"--insecure-transport"}, nullptr, true},
        {"config telling it to run unsealed", {}, "insecure-transport = true\n", true},
        {"signing key in its config", {}, "signing-key-file = PATH\n", true},
        {"signing key", {"--signing-key-file", seed}, nullptr, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.args;
        if (c.config) {
            std::string text = c.config;
            if (size_t at = text.find("PATH"); at != std::string::npos) text.replace(at, 4, seed);
            std::ofstream(mDir + "/p2pd.conf") << text;
            args.insert(args.end(), {"--config", mDir + "/p2pd.conf"});
        }
        ServiceProcess service;
        EXPECT_EQ(service.Start(args), c.starts);
        if (!c.starts) {
            std::ifstream log(service.LogPath());
            std::string first, second;
            std::getline(log, first);
            EXPECT_NE(first.find("--signing-key-file"), std::string::npos) << first;
            EXPECT_NE(first.find("--insecure-transport"), std::string::npos) << first;
            EXPECT_FALSE(std::getline(log, second)) << "one line: " << second;
        }
    }
}

}  // namespace
