// The service's state machine driven directly, with the clock in the test's hands: expiry
// and stale challenges need no waiting.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <vector>

#include "p2p/crypto.h"
#include "p2p/p2pd/service.h"
#include "p2p/secure/certificate.h"
#include "p2p/wire.h"

namespace p2p = zevo::p2p;
namespace secure = zevo::p2p::secure;
using p2p::Endpoint;
using p2p::Message;
using p2p::MsgType;

namespace {

constexpr char kKey[] = "unit-key";

struct Sent {
    int relayFd;
    Endpoint to;
    Message message;
    bool decoded;
};

class FakeIo : public p2p::ServiceIo {
public:
    void Send(int relayFd, const Endpoint& to, const uint8_t* data, size_t length) override {
        Sent s{relayFd, to, {}, false};
        s.decoded = p2p::DecodeMessage(data, length, &s.message);
        mSent.push_back(s);
    }
    int OpenRelay(uint16_t* port) override {
        if (mRelaysLeft == 0) return -1;
        --mRelaysLeft;
        *port = uint16_t(40000 + mNextFd);
        ++mOpen;
        return mNextFd++;
    }
    void CloseRelay(int) override { --mOpen; }
    void LogLine(int, const std::string&) override {}

    // The last message of a type sent to an endpoint.
    bool Last(MsgType type, const Endpoint& to, Message* out) const {
        for (auto it = mSent.rbegin(); it != mSent.rend(); ++it)
            if (it->decoded && it->message.type == type && it->to == to) {
                *out = it->message;
                return true;
            }
        return false;
    }

    std::deque<Sent> mSent;
    int mNextFd = 100;
    int mOpen = 0;
    int mRelaysLeft = 1000;
};

class ServiceLogic : public ::testing::Test {
protected:
    ServiceLogic() {
        mConfig.key = kKey;
        mConfig.deviceExpiryMs = 8000;
    }
    void Make() { mService = std::make_unique<p2p::Rendezvous>(mConfig, &mIo, 99); }
    void Deliver(const Message& m, const Endpoint& from) {
        uint8_t bytes[p2p::kMaxDatagram];
        size_t n = p2p::EncodeMessage(m, bytes, sizeof bytes);
        ASSERT_GT(n, 0u);
        mService->OnDatagram(bytes, n, from, mNow);
    }
    // HELLO, CHALLENGE, REGISTER with the given secret; returns the result status.
    int8_t Register(const char* did, const Endpoint& from, const std::string& key = kKey,
                    uint64_t* regId = nullptr, const uint8_t* deviceKey = nullptr,
                    Message* resultOut = nullptr) {
        Message hello;
        hello.type = MsgType::kHello;
        std::strcpy(hello.did, did);
        Deliver(hello, from);
        Message challenge;
        EXPECT_TRUE(mIo.Last(MsgType::kChallenge, from, &challenge));
        Message reg;
        reg.type = MsgType::kRegister;
        std::strcpy(reg.did, did);
        std::memcpy(reg.challenge, challenge.challenge, sizeof reg.challenge);
        uint8_t secret[p2p::kSecretSize];
        p2p::DeviceSecret(key, did, secret);
        p2p::RegistrationProof(secret, reg.challenge, did, reg.proof);
        if (deviceKey != nullptr) {
            reg.hasDeviceKey = true;
            std::memcpy(reg.deviceKey, deviceKey, p2p::kDeviceKeySize);
        }
        Deliver(reg, from);
        Message result;
        EXPECT_TRUE(mIo.Last(MsgType::kRegisterResult, from, &result));
        if (regId) *regId = result.token;
        if (resultOut) *resultOut = result;
        return result.status;
    }
    int8_t Lookup(const char* did, const Endpoint& from, uint64_t nonce) {
        Message m;
        m.type = MsgType::kLookup;
        std::strcpy(m.did, did);
        m.nonce = nonce;
        m.flags = p2p::kFlagTryDirect;
        Deliver(m, from);
        Message status;
        if (!mIo.Last(MsgType::kLookupStatus, from, &status)) return -100;
        return status.status;
    }

    p2p::ServiceConfig mConfig;
    FakeIo mIo;
    std::unique_ptr<p2p::Rendezvous> mService;
    uint64_t mNow = 1000000;
    const Endpoint mDevice{0x0A000001, 5000};
    const Endpoint mViewer{0x0A000002, 6000};
};

TEST_F(ServiceLogic, ChallengesGoStaleAndReplayedProofsFromElsewhereFail) {
    Make();
    Message hello;
    hello.type = MsgType::kHello;
    std::strcpy(hello.did, "ABCD-000001-EFGHI");
    Deliver(hello, mDevice);
    Message challenge;
    ASSERT_TRUE(mIo.Last(MsgType::kChallenge, mDevice, &challenge));
    Message reg;
    reg.type = MsgType::kRegister;
    std::strcpy(reg.did, hello.did);
    std::memcpy(reg.challenge, challenge.challenge, 16);
    uint8_t secret[32];
    p2p::DeviceSecret(kKey, reg.did, secret);
    p2p::RegistrationProof(secret, reg.challenge, reg.did, reg.proof);

    // The same proof sent from another address: the challenge was not issued there.
    Deliver(reg, Endpoint{0x0A000009, 5000});
    Message result;
    ASSERT_TRUE(mIo.Last(MsgType::kRegisterResult, Endpoint{0x0A000009, 5000}, &result));
    EXPECT_EQ(result.status, p2p::kStatusRefused);
    // Two minutes later the challenge is stale.
    mNow += 120000;
    Deliver(reg, mDevice);
    ASSERT_TRUE(mIo.Last(MsgType::kRegisterResult, mDevice, &result));
    EXPECT_EQ(result.status, p2p::kStatusRefused);
    EXPECT_EQ(mService->Stat(p2p::kStatRefused), 2u);
    EXPECT_EQ(mService->Devices(), 0u);
}

TEST_F(ServiceLogic, RegistrationLivesByKeepalivesAndExpires) {
    Make();
    uint64_t regId = 0;
    ASSERT_EQ(Register("ABCD-000001-EFGHI", mDevice, kKey, &regId), p2p::kStatusOk);
    EXPECT_EQ(Register("ABCD-000001-EFGHI", mDevice), p2p::kStatusOk);  // retransmission
    const Endpoint other{0x0A000003, 5000};
    EXPECT_EQ(Register("ABCD-000001-EFGHI", other), p2p::kStatusDidInUse);

    Message keepalive;
    keepalive.type = MsgType::kKeepalive;
    std::strcpy(keepalive.did, "ABCD-000001-EFGHI");
    keepalive.token = regId;
    for (int i = 0; i < 10; ++i) {
        mNow += 2000;
        Deliver(keepalive, mDevice);
        mService->Sweep(mNow);
    }
    Message ack;
    ASSERT_TRUE(mIo.Last(MsgType::kKeepaliveAck, mDevice, &ack));
    EXPECT_EQ(ack.status, p2p::kStatusOk);
    EXPECT_EQ(Register("ABCD-000001-EFGHI", other), p2p::kStatusDidInUse);

    // A wrong registration id is not a keepalive.
    keepalive.token = regId + 1;
    Deliver(keepalive, other);
    ASSERT_TRUE(mIo.Last(MsgType::kKeepaliveAck, other, &ack));
    EXPECT_EQ(ack.status, p2p::kStatusUnknown);

    // Silent past the expiry: the DID is free for the other device.
    mNow += mConfig.deviceExpiryMs;
    mService->Sweep(mNow);
    EXPECT_EQ(mService->Devices(), 0u);
    EXPECT_EQ(Lookup("ABCD-000001-EFGHI", mViewer, 1), p2p::kStatusOffline);
    EXPECT_EQ(Register("ABCD-000001-EFGHI", other), p2p::kStatusOk);
}

// Thousands of devices registering, expiring, unregistering and coming back: the device
// table (records packed by moving the last into a hole, an index that shifts its probe
// runs back on removal) must keep finding every live DID and none of the gone ones.
TEST_F(ServiceLogic, ThousandsOfDevicesComeAndGoAndEveryLiveOneIsFound) {
    constexpr int kCount = 3000;
    mConfig.maxDevices = 100000;
    mConfig.maxDevicesPerAddress = 100000;
    Make();
    auto did = [](int i) {
        char text[24];
        std::snprintf(text, sizeof text, "TABL-%06d", i);
        return std::string(text);
    };
    auto from = [](int i) { return Endpoint{0x0A010000u + uint32_t(i), 4000}; };
    std::vector<uint64_t> regIds(kCount);
    auto keepalive = [&](int i) {
        Message m;
        m.type = MsgType::kKeepalive;
        std::strcpy(m.did, did(i).c_str());
        m.token = regIds[size_t(i)];
        Deliver(m, from(i));
        Message ack;
        return mIo.Last(MsgType::kKeepaliveAck, from(i), &ack) ? ack.status : int8_t(-100);
    };
    for (int i = 0; i < kCount; ++i)
        ASSERT_EQ(Register(did(i).c_str(), from(i), kKey, &regIds[size_t(i)]), p2p::kStatusOk);
    mIo.mSent.clear();
    EXPECT_EQ(mService->Devices(), size_t(kCount));

    // The odd ones keep alive; the even ones fall silent and expire.
    mNow += mConfig.deviceExpiryMs / 2;
    for (int i = 1; i < kCount; i += 2) ASSERT_EQ(keepalive(i), p2p::kStatusOk) << i;
    mNow += mConfig.deviceExpiryMs / 2 + 1;
    mService->Sweep(mNow);
    EXPECT_EQ(mService->Devices(), size_t(kCount / 2));
    for (int i = 0; i < kCount; ++i)
        ASSERT_EQ(keepalive(i), i % 2 ? p2p::kStatusOk : p2p::kStatusUnknown) << i;
    mIo.mSent.clear();

    // Every third odd one leaves; the even ones come back with new registration ids.
    for (int i = 1; i < kCount; i += 6) {
        Message m;
        m.type = MsgType::kUnregister;
        std::strcpy(m.did, did(i).c_str());
        m.token = regIds[size_t(i)];
        Deliver(m, from(i));
    }
    for (int i = 0; i < kCount; i += 2) {
        uint64_t old = regIds[size_t(i)];
        ASSERT_EQ(Register(did(i).c_str(), from(i), kKey, &regIds[size_t(i)]), p2p::kStatusOk);
        EXPECT_NE(regIds[size_t(i)], old);
    }
    mIo.mSent.clear();
    size_t live = 0;
    for (int i = 0; i < kCount; ++i) {
        const bool gone = i % 6 == 1;
        live += !gone;
        ASSERT_EQ(keepalive(i), gone ? p2p::kStatusUnknown : p2p::kStatusOk) << i;
    }
    EXPECT_EQ(mService->Devices(), live);
    EXPECT_EQ(Lookup(did(1).c_str(), mViewer, 1), p2p::kStatusOffline);
    EXPECT_EQ(Lookup(did(2).c_str(), mViewer, 2), p2p::kStatusPending);
    EXPECT_EQ(Lookup("TABL-999999", mViewer, 3), p2p::kStatusOffline);
}

TEST_F(ServiceLogic, ASilentDeviceMeansOfflineForTheViewer) {
    mConfig.joinTimeoutMs = 2500;
    Make();
    ASSERT_EQ(Register("ABCD-000001-EFGHI", mDevice), p2p::kStatusOk);
    EXPECT_EQ(Lookup("ABCD-000001-EFGHI", mViewer, 7), p2p::kStatusPending);
    Message request;
    ASSERT_TRUE(mIo.Last(MsgType::kConnectRequest, mDevice, &request));
    EXPECT_EQ(mIo.mOpen, 0);  // a relay socket only once the device joins
    mNow += 2500;
    mService->Sweep(mNow);
    Message status;
    ASSERT_TRUE(mIo.Last(MsgType::kLookupStatus, mViewer, &status));
    EXPECT_EQ(status.status, p2p::kStatusOffline);
    EXPECT_EQ(mIo.mOpen, 0);  // the relay went with it
    // A late join changes nothing; a repeated lookup hears "offline" again.
    Message join;
    join.type = MsgType::kSessionJoin;
    join.session = request.session;
    join.nonce = request.nonce;
    Deliver(join, Endpoint{0x0A000001, 5001});
    EXPECT_FALSE(mIo.Last(MsgType::kPeerInfo, mViewer, &status));
    EXPECT_EQ(Lookup("ABCD-000001-EFGHI", mViewer, 7), p2p::kStatusOffline);
    mNow += 10000;
    mService->Sweep(mNow);
    EXPECT_EQ(mService->Sessions(), 0u);
}

TEST_F(ServiceLogic, JoinIntroducesThePeersAndTheRelayJoinsOnlyThem) {
    Make();
    ASSERT_EQ(Register("ABCD-000001-EFGHI", mDevice), p2p::kStatusOk);
    ASSERT_EQ(Lookup("ABCD-000001-EFGHI", mViewer, 7), p2p::kStatusPending);
    Message request;
    ASSERT_TRUE(mIo.Last(MsgType::kConnectRequest, mDevice, &request));
    const Endpoint deviceSession{0x0A000001, 5001};
    Message join;
    join.type = MsgType::kSessionJoin;
    join.session = request.session;
    join.nonce = request.nonce + 1;  // wrong join token
    Deliver(join, deviceSession);
    Message info;
    EXPECT_FALSE(mIo.Last(MsgType::kPeerInfo, mViewer, &info));
    EXPECT_EQ(mIo.mOpen, 0);
    join.nonce = request.nonce;
    join.endpointCount = 1;
    join.endpoints[0] = Endpoint{0xC0A80001, 5001};
    Deliver(join, deviceSession);
    EXPECT_EQ(mIo.mOpen, 1);
    Message toViewer, toDevice;
    ASSERT_TRUE(mIo.Last(MsgType::kPeerInfo, mViewer, &toViewer));
    ASSERT_TRUE(mIo.Last(MsgType::kPeerInfo, deviceSession, &toDevice));
    EXPECT_EQ(toViewer.nonce, 7u);
    EXPECT_EQ(toViewer.peer, deviceSession);
    EXPECT_EQ(toViewer.endpoints[0], join.endpoints[0]);
    EXPECT_EQ(toDevice.peer, mViewer);
    EXPECT_EQ(toViewer.key, toDevice.key);
    EXPECT_NE(toViewer.token, toDevice.token);
    ASSERT_NE(toViewer.port, 0);
    const int relayFd = toViewer.port - 40000;

    auto relayIn = [&](const Endpoint& from, const uint8_t* data, size_t n, Endpoint* to) {
        return mService->OnRelayDatagram(relayFd, data, n, from, mNow, to);
    };
    auto bind = [&](uint64_t token, const Endpoint& from) {
        Message b;
        b.type = MsgType::kRelayBind;
        b.session = toViewer.session;
        b.token = token;
        uint8_t bytes[64];
        size_t n = p2p::EncodeMessage(b, bytes, sizeof bytes);
        Endpoint to;
        EXPECT_FALSE(relayIn(from, bytes, n, &to));
    };
    const uint8_t data[3] = {1, 2, 3};
    Endpoint to;
    bind(toViewer.token, mViewer);
    EXPECT_FALSE(relayIn(mViewer, data, 3, &to));  // the other end is not bound yet
    const Endpoint stranger{0x0B000001, 1};
    bind(12345, stranger);
    bind(toDevice.token, deviceSession);
    EXPECT_TRUE(relayIn(mViewer, data, 3, &to));
    EXPECT_EQ(to, deviceSession);
    EXPECT_TRUE(relayIn(deviceSession, data, 3, &to));
    EXPECT_EQ(to, mViewer);
    EXPECT_FALSE(relayIn(stranger, data, 3, &to));
    EXPECT_EQ(mService->Stat(p2p::kStatRelayForwarded), 2u);
    EXPECT_EQ(mService->Stat(p2p::kStatRelayDropped), 3u);

    // A direct path releases the relay; only the viewer with its token may ask.
    Message direct;
    direct.type = MsgType::kSessionDirect;
    direct.session = toViewer.session;
    direct.token = toDevice.token;
    Deliver(direct, mViewer);
    EXPECT_EQ(mIo.mOpen, 1);
    direct.token = toViewer.token;
    Deliver(direct, mViewer);
    EXPECT_EQ(mIo.mOpen, 0);
    EXPECT_FALSE(relayIn(mViewer, data, 3, &to));
}

TEST_F(ServiceLogic, RelayRateIsEnforcedForPeersThatDoNotPace) {
    mConfig.relayRate = 1000000;
    Make();
    ASSERT_EQ(Register("ABCD-000001-EFGHI", mDevice), p2p::kStatusOk);
    ASSERT_EQ(Lookup("ABCD-000001-EFGHI", mViewer, 7), p2p::kStatusPending);
    Message request, info;
    ASSERT_TRUE(mIo.Last(MsgType::kConnectRequest, mDevice, &request));
    Message join;
    join.type = MsgType::kSessionJoin;
    join.session = request.session;
    join.nonce = request.nonce;
    Deliver(join, mDevice);
    ASSERT_TRUE(mIo.Last(MsgType::kPeerInfo, mViewer, &info));
    EXPECT_EQ(info.value, 1000000u / 1024);  // announced to the peers
    Message deviceInfo;
    ASSERT_TRUE(mIo.Last(MsgType::kPeerInfo, mDevice, &deviceInfo));
    const int relayFd = info.port - 40000;
    for (auto [token, from] : {std::pair{info.token, mViewer}, {deviceInfo.token, mDevice}}) {
        Message b;
        b.type = MsgType::kRelayBind;
        b.session = info.session;
        b.token = token;
        uint8_t bytes[64];
        size_t n = p2p::EncodeMessage(b, bytes, sizeof bytes);
        Endpoint to;
        mService->OnRelayDatagram(relayFd, bytes, n, from, mNow, &to);
    }
    std::vector<uint8_t> big(1400), small(60);
    Endpoint to;
    int passed = 0;
    for (int i = 0; i < 400; ++i)
        passed += mService->OnRelayDatagram(relayFd, big.data(), big.size(), mViewer, mNow, &to);
    EXPECT_EQ(passed, 256 * 1024 / 1400);  // one burst
    // Acknowledgements still pass for a while on credit, then stop too.
    int smallPassed = 0;
    for (int i = 0; i < 10000; ++i)
        smallPassed +=
            mService->OnRelayDatagram(relayFd, small.data(), small.size(), mDevice, mNow, &to);
    EXPECT_GT(smallPassed, 100);
    EXPECT_LT(smallPassed, 10000);
    mNow += 2000;  // two seconds refill the burst (and pay the debt)
    passed = 0;
    for (int i = 0; i < 400; ++i)
        passed += mService->OnRelayDatagram(relayFd, big.data(), big.size(), mViewer, mNow, &to);
    EXPECT_EQ(passed, 256 * 1024 / 1400);
    EXPECT_GT(mService->Stat(p2p::kStatRelayRateDrops), 400u);
}

TEST_F(ServiceLogic, LimitsHold) {
    mConfig.maxDevicesPerAddress = 2;
    mConfig.maxDevices = 3;
    mConfig.maxSessionsPerAddress = 2;
    mConfig.maxPending = 3;
    Make();
    EXPECT_EQ(Register("DEVA-000001-LIMIT", Endpoint{0x0A000001, 1}), p2p::kStatusOk);
    EXPECT_EQ(Register("DEVA-000002-LIMIT", Endpoint{0x0A000001, 2}), p2p::kStatusOk);
    EXPECT_EQ(Register("DEVA-000003-LIMIT", Endpoint{0x0A000001, 3}), p2p::kStatusLimit);
    EXPECT_EQ(Register("DEVA-000003-LIMIT", Endpoint{0x0A000002, 3}), p2p::kStatusOk);
    EXPECT_EQ(Register("DEVA-000004-LIMIT", Endpoint{0x0A000003, 3}), p2p::kStatusLimit);

    EXPECT_EQ(Lookup("DEVA-000001-LIMIT", mViewer, 1), p2p::kStatusPending);
    EXPECT_EQ(Lookup("DEVA-000001-LIMIT", mViewer, 2), p2p::kStatusPending);
    EXPECT_EQ(Lookup("DEVA-000001-LIMIT", mViewer, 3), p2p::kStatusLimit);  // per address
    EXPECT_EQ(Lookup("DEVA-000001-LIMIT", Endpoint{0x0A000005, 1}, 4), p2p::kStatusPending);
    EXPECT_EQ(Lookup("DEVA-000001-LIMIT", Endpoint{0x0A000006, 1}, 5), p2p::kStatusLimit);
    mNow += 60000;
    mService->Sweep(mNow);  // unanswered: offline
    mService->Sweep(mNow);  // and forgotten
    EXPECT_EQ(mService->Sessions(), 0u);
    EXPECT_EQ(mIo.mOpen, 0);

    // Without relay sockets left, a session goes on without a relay.
    mIo.mRelaysLeft = 0;
    ASSERT_EQ(Register("DEVA-000001-LIMIT", Endpoint{0x0A000001, 1}), p2p::kStatusOk);
    EXPECT_EQ(Lookup("DEVA-000001-LIMIT", mViewer, 9), p2p::kStatusPending);
    Message request;
    ASSERT_TRUE(mIo.Last(MsgType::kConnectRequest, Endpoint{0x0A000001, 1}, &request));
    Message join;
    join.type = MsgType::kSessionJoin;
    join.session = request.session;
    join.nonce = request.nonce;
    Deliver(join, Endpoint{0x0A000001, 7});
    Message info;
    ASSERT_TRUE(mIo.Last(MsgType::kPeerInfo, mViewer, &info));
    EXPECT_TRUE(info.flags & p2p::kFlagNoRelay);
    EXPECT_EQ(info.port, 0);
}

TEST_F(ServiceLogic, StatsOnlyForThisHost) {
    Make();
    Message ask;
    ask.type = MsgType::kStatsRequest;
    ask.nonce = 5;
    Deliver(ask, mViewer);
    Message reply;
    EXPECT_FALSE(mIo.Last(MsgType::kStatsReply, mViewer, &reply));
    const Endpoint local{0x7F000001, 999};
    Deliver(ask, local);
    ASSERT_TRUE(mIo.Last(MsgType::kStatsReply, local, &reply));
    EXPECT_EQ(reply.statCount, p2p::kStatCount);
    EXPECT_EQ(reply.stats[p2p::kStatDatagrams], 2u);
    EXPECT_EQ(reply.stats[p2p::kStatUnexpected], 1u);
}

TEST_F(ServiceLogic, LoadIsReportedPerSecondAndDropsByCause) {
    Make();
    mService->Sweep(mNow);                                              // the rate window starts
    ASSERT_EQ(Register("LOAD-000001-ABCDE", mDevice), p2p::kStatusOk);  // 2 in, 2 out
    EXPECT_EQ(Lookup("LOAD-000002-ABCDE", mViewer, 1), p2p::kStatusOffline);  // 1 in, 1 out
    const uint8_t junk[] = {'Z', 'P', 1, 99};
    mService->OnDatagram(junk, sizeof junk, mViewer, mNow);  // 1 in, dropped
    mNow += 1000;
    mService->Sweep(mNow);
    Message ask, reply;
    ask.type = MsgType::kStatsRequest;
    const Endpoint local{0x7F000001, 999};
    Deliver(ask, local);
    ASSERT_TRUE(mIo.Last(MsgType::kStatsReply, local, &reply));
    EXPECT_EQ(reply.stats[p2p::kStatInPerSecond], 4u);
    EXPECT_EQ(reply.stats[p2p::kStatOutPerSecond], 3u);
    EXPECT_EQ(reply.stats[p2p::kStatDatagramsOut], 3u);
    std::string line = p2p::FormatLoad(reply.stats, reply.statCount);
    for (const char* part : {"devices 1,", "sessions 0,", "in 4/s out 3/s", "malformed 1,"})
        EXPECT_NE(line.find(part), std::string::npos) << part << " in " << line;
    // An older service sends fewer counters: the rest shows as unknown, nothing is read
    // past what came.
    line = p2p::FormatLoad(reply.stats, p2p::kStatRelaysNow + 1);
    EXPECT_NE(line.find("devices 1,"), std::string::npos) << line;
    EXPECT_NE(line.find("in ?/s out ?/s"), std::string::npos) << line;
}

TEST(ServiceConfig, FileAndOptions) {
    p2p::ServiceConfig config;
    std::string error;
    ASSERT_TRUE(
        p2p::ParseConfigText("# comment\n\nlisten = 0.0.0.0:1  # trailing\n"
                             "force-relay = yes\nmax-sessions=5\nrelay-rate = 0\n"
                             "relay-ports = 40000-40015\n",
                             &config, &error))
        << error;
    EXPECT_EQ(config.listen, "0.0.0.0:1");
    EXPECT_TRUE(config.forceRelay);
    EXPECT_EQ(config.maxSessions, 5u);
    EXPECT_EQ(config.relayRate, 0u);
    EXPECT_EQ(config.relayPortFirst, 40000);
    EXPECT_EQ(config.relayPortLast, 40015);
    EXPECT_FALSE(p2p::ParseConfigText("bogus = 1\n", &config, &error));
    EXPECT_NE(error.find("line 1"), std::string::npos);
    EXPECT_FALSE(p2p::ParseConfigText("max-sessions = -1\n", &config, &error));
    EXPECT_FALSE(p2p::ParseConfigText("max-sessions = 99999999999999999999999\n", &config, &error));
    EXPECT_FALSE(p2p::ParseConfigText("force-relay = maybe\n", &config, &error));
    EXPECT_FALSE(p2p::ParseConfigText("keepalive-ms = 5\n", &config, &error));
    EXPECT_FALSE(p2p::ParseConfigText("log-level = loud\n", &config, &error));
    EXPECT_FALSE(p2p::ParseConfigText("key-file = /etc/passwd\n", &config, &error));
    for (const char* ports : {"0-10", "10-5", "1-65536", "40000", "40000-40010x", "-"})
        EXPECT_FALSE(
            p2p::ParseConfigText(std::string("relay-ports = ") + ports + "\n", &config, &error))
            << ports;
}

// A service with a signing key vouches for the key each device registers with: the
// certificate verifies under the service's public key for that DID and key, now. A device
// without a key is refused unless the service migrates; a service without a signing key
// vouches for nothing.
TEST_F(ServiceLogic, VouchesForTheKeyEachDeviceRegistersWith) {
    struct Case {
        const char* name;
        bool signs;
        bool insecure;
        bool sendsKey;
        int8_t status;
        bool certified;
    };
    const Case cases[] = {
        {"vouching service, device with a key", true, false, true, p2p::kStatusOk, true},
        {"vouching service, old device", true, false, false, p2p::kStatusRefused, false},
        {"migrating service, old device", true, true, false, p2p::kStatusOk, false},
        {"migrating service, device with a key", true, true, true, p2p::kStatusOk, true},
        {"service without a signing key", false, false, true, p2p::kStatusOk, false},
    };
    uint8_t seed[32];
    for (int i = 0; i < 32; ++i) seed[i] = uint8_t(7 * i + 1);
    secure::ServiceSigningKey signer;
    signer.FromSeed(seed);
    secure::KeyPair device;
    device.Generate();
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mConfig.hasSigningSeed = c.signs;
        std::memcpy(mConfig.signingSeed, seed, sizeof seed);
        mConfig.insecureTransport = c.insecure;
        Make();
        const char* did = "VOUC-000001-ABCDE";
        Endpoint from{0x0A000010, uint16_t(7000 + n++)};
        Message result;
        EXPECT_EQ(Register(did, from, kKey, nullptr, c.sendsKey ? device.pub : nullptr, &result),
                  c.status);
        EXPECT_EQ(result.hasCertificate, c.certified);
        if (!result.hasCertificate) continue;
        uint64_t now = uint64_t(std::time(nullptr));
        EXPECT_EQ(secure::VerifyCertificate(result.certificate, p2p::kCertificateSize,
                                            {signer.publicKey()}, did, device.pub, now),
                  secure::VouchResult::kOk);
        // Valid for a day from now, not for ever.
        EXPECT_EQ(
            secure::VerifyCertificate(result.certificate, p2p::kCertificateSize,
                                      {signer.publicKey()}, did, device.pub, now + 2 * 24 * 3600),
            secure::VouchResult::kExpired);
    }
}

}  // namespace
