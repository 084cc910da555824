// zevo-camd over the real transport and zevo-p2pd, seen from a viewer.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "device/testclient/decode.h"
#include "device/testclient/device_client.h"
#include "media/adpcm.h"
#include "p2p/PPPP_API.h"
#include "platform/tick_clock.h"
#include "tests/device/tone.h"

using namespace zevo;
using namespace zevo::camd::testing;

namespace {

constexpr uint16_t kNoticeEmailAlert = 18;

// Small pictures keep the encoders light on a shared machine.
const std::vector<std::string> kSmallCameras = {
    "--cameras", "4",
    "--camera",  "0:size=320x240,bitrate=400,keyint=25",
    "--camera",  "1:size=320x240,bitrate=400,keyint=25",
    "--camera",  "2:size=320x240,bitrate=400",
    "--camera",  "3:size=320x240,bitrate=400,keyint=25"};

std::vector<std::string> With(std::vector<std::string> extra) {
    std::vector<std::string> args = kSmallCameras;
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

class DaemonTest : public ::testing::Test {
protected:
    void StartAll(const std::vector<std::string>& args = kSmallCameras) {
        ASSERT_EQ(mHarness.StartService(), 0) << "zevo-p2pd did not start";
        ASSERT_EQ(mHarness.StartDevice(args), 0) << mHarness.Device().ReadLog();
    }
    // A connected, logged-in viewer.
    void LogIn(DeviceClient& client) {
        ASSERT_EQ(client.Connect(mHarness.Did()), 0);
        ASSERT_EQ(client.Login(mHarness.Password()), 1);
    }
    // Reads media until count packets of the class arrived (others are kept too).
    std::vector<Packet> ReadMedia(DeviceClient& client, int packetClass, size_t count,
                                  std::vector<Packet>* others = nullptr, int timeoutMs = 30000) {
        std::vector<Packet> got;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < count && std::chrono::steady_clock::now() < end) {
            Packet p;
            int rc = client.ReadPacket(1, p, 2000);
            if (rc == PPPP_ERR_TIMEOUT) continue;
            mLastRead = rc;
            if (rc < 0) break;
            if (p.packetClass == packetClass) {
                got.push_back(std::move(p));
            } else if (others) {
                others->push_back(std::move(p));
            }
        }
        return got;
    }
    void ExpectDecodableFromStart(const std::vector<Packet>& video, uint8_t camera) {
        ASSERT_FALSE(video.empty());
        EXPECT_EQ(video.front().Head().FrameKind(), 0) << "stream must start at a key frame";
        std::vector<std::vector<uint8_t>> units;
        for (const Packet& p : video) {
            EXPECT_EQ(p.unprotect, 0);
            PacketHead h = p.Head();
            EXPECT_EQ(h.MediaCode(), 3);
            EXPECT_EQ(h.StreamChannel(), camera);
            EXPECT_LE(h.FrameKind(), 1);
            EXPECT_EQ(h.PayloadLength(), p.PayloadSize());
            units.emplace_back(p.Payload(), p.Payload() + p.PayloadSize());
        }
        EXPECT_EQ(DecodeAccessUnits(units, false), int(units.size()));
    }

    // What went wrong, for failure messages: the last read result and the device's log.
    std::string Why() {
        return "last read " + std::to_string(mLastRead) + "\n" + mHarness.Device().ReadLog();
    }

    DeviceHarness mHarness;
    int mLastRead = 0;
};

}  // namespace

TEST_F(DaemonTest, LoginAcceptsTheRightPasswordAndRefusesAWrongOne) {
    StartAll();
    DeviceClient good;
    LogIn(good);
    EXPECT_NE(good.SessionKey(), (std::array<uint8_t, 16>{}));

    DeviceClient wrong;
    ASSERT_EQ(wrong.Connect(mHarness.Did()), 0);
    EXPECT_EQ(wrong.Login("not-the-password"), 0);
    // A refused viewer gets nothing but login packets, even when it asks for a stream.
    wrong.StartStream(0);
    Packet p;
    EXPECT_EQ(wrong.ReadPacket(1, p, 1500), PPPP_ERR_TIMEOUT);

    // Commands sent before answering the challenge are ignored; the login still works.
    DeviceClient early;
    ASSERT_EQ(early.Connect(mHarness.Did()), 0);
    early.StartStream(0);
    EXPECT_EQ(early.Login(mHarness.Password()), 1);
    EXPECT_EQ(early.ReadPacket(1, p, 1500), PPPP_ERR_TIMEOUT);
    EXPECT_TRUE(mHarness.Device().WaitForLog("login refused", 1000));
}

TEST_F(DaemonTest, SessionKeyUnprotectsAStreamThatDecodesFromItsFirstFrame) {
    StartAll();
    DeviceClient client;
    LogIn(client);
    ASSERT_GT(client.StartStream(0), 0);
    std::vector<Packet> audio;
    std::vector<Packet> video = ReadMedia(client, PACKET_CLASS_VIDEO, 60, &audio);
    ASSERT_EQ(video.size(), 60u);
    ExpectDecodableFromStart(video, 0);

    // Timestamps advance by the frame interval (25 fps).
    for (size_t i = 1; i < video.size(); ++i) {
        int32_t step = int32_t(video[i].Head().Timestamp() - video[i - 1].Head().Timestamp());
        EXPECT_GE(step, 39) << i;
        EXPECT_LE(step, 41) << i;
    }
    // The wire form does not unprotect under another key: the key really is the session's.
    PacketProtection zero;
    std::vector<uint8_t> wire = video[5].wire;
    EXPECT_EQ(zero.UnprotectPacket(PACKET_CLASS_VIDEO, wire.data(), int(wire.size())), -2);

    ASSERT_FALSE(audio.empty());
    for (const Packet& a : audio) {
        EXPECT_EQ(a.packetClass, PACKET_CLASS_AUDIO);
        EXPECT_EQ(a.unprotect, 0);
        EXPECT_EQ(a.Head().MediaCode(), 1280);
        EXPECT_EQ(a.Head().PayloadLength(), 160u);
    }
}

TEST_F(DaemonTest, AdpcmAndPcmAudioCarryTheConfiguredTone) {
    StartAll(With({"--camera", "0:tone_freq=700,tone_level=0.25,audio_codec=adpcm", "--camera",
                   "1:tone_freq=300,tone_level=0.5,audio_codec=pcm", "--fault", "no-video"}));
    DeviceClient client;
    LogIn(client);
    client.StartStream(0);
    std::vector<Packet> adpcm = ReadMedia(client, PACKET_CLASS_AUDIO, 50);
    ASSERT_EQ(adpcm.size(), 50u);
    AdpcmState state{0, 0};
    std::vector<int16_t> decoded;
    for (size_t i = 0; i < adpcm.size(); ++i) {
        const Packet& p = adpcm[i];
        ASSERT_EQ(p.unprotect, 0);
        ASSERT_EQ(p.Head().MediaCode(), 1280);
        ASSERT_EQ(p.PayloadSize(), 160u);
        if (i > 0) {
            EXPECT_EQ(p.Head().Timestamp() - adpcm[i - 1].Head().Timestamp(), 40u);
        }
        short out[320];
        DecodeImaAdpcm(p.Payload(), 160, out, state);
        decoded.insert(decoded.end(), out, out + 320);
    }
    // The first block lets the decoder's step size catch up with the signal.
    std::vector<int16_t> settled(decoded.begin() + 320, decoded.end());
    EXPECT_NEAR(EstimateFrequency(settled, 8000), 700.0, 3.0);
    EXPECT_NEAR(EstimateLevel(settled), 0.25, 0.03);
    EXPECT_GT(ToneShare(settled, 700, 8000), 0.9);

    client.StopStream(0);
    client.StartStream(1);
    std::vector<Packet> pcm;
    for (int tries = 0; tries < 200 && pcm.size() < 25; ++tries) {
        std::vector<Packet> some = ReadMedia(client, PACKET_CLASS_AUDIO, 1);
        ASSERT_FALSE(some.empty()) << Why();
        if (some[0].Head().StreamChannel() == 1) pcm.push_back(std::move(some[0]));
    }
    ASSERT_EQ(pcm.size(), 25u);
    std::vector<int16_t> samples;
    for (const Packet& p : pcm) {
        ASSERT_EQ(p.Head().MediaCode(), 1279);
        ASSERT_EQ(p.PayloadSize(), 640u);
        const auto* s = reinterpret_cast<const int16_t*>(p.Payload());
        samples.insert(samples.end(), s, s + 320);
    }
    EXPECT_NEAR(EstimateFrequency(samples, 8000), 300.0, 2.0);
    EXPECT_NEAR(EstimateLevel(samples), 0.5, 0.02);
}

TEST_F(DaemonTest, EmailAlertIsKeptAcrossARestart) {
    StartAll();
    {
        DeviceClient client;
        LogIn(client);
        EXPECT_EQ(client.GetEmailAlert(), 0);
        ASSERT_GT(client.SetEmailAlert(1), 0);
        EXPECT_EQ(client.GetEmailAlert(), 1);
        ASSERT_GT(client.SetEmailAlert(0), 0);
        EXPECT_EQ(client.GetEmailAlert(), 0);
        ASSERT_GT(client.SetEmailAlert(1), 0);
        EXPECT_EQ(client.GetEmailAlert(), 1);
    }
    int status = mHarness.StopDevice();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ASSERT_EQ(mHarness.StartDevice(kSmallCameras), 0);
    DeviceClient again;
    LogIn(again);
    EXPECT_EQ(again.GetEmailAlert(), 1);
}

TEST_F(DaemonTest, TwoViewersGetTheirOwnKeysAndStreams) {
    StartAll();
    DeviceClient a, b;
    LogIn(a);
    LogIn(b);
    EXPECT_NE(a.SessionKey(), b.SessionKey());
    a.StartStream(0);
    b.StartStream(3);
    std::vector<Packet> va = ReadMedia(a, PACKET_CLASS_VIDEO, 30);
    std::vector<Packet> vb = ReadMedia(b, PACKET_CLASS_VIDEO, 30);
    ASSERT_EQ(va.size(), 30u);
    ASSERT_EQ(vb.size(), 30u);
    ExpectDecodableFromStart(va, 0);
    ExpectDecodableFromStart(vb, 3);
    // One viewer's key does not open the other's packets.
    PacketProtection other;
    other.SetSessionKey(a.SessionKey().data());
    std::vector<uint8_t> wire = vb[3].wire;
    EXPECT_EQ(other.UnprotectPacket(PACKET_CLASS_VIDEO, wire.data(), int(wire.size())), -2);

    // Both watch camera 0 now: one shared encoder, each stream starts at a key frame.
    b.StopStream(3);
    b.StartStream(0);
    std::vector<Packet> switched;
    for (int i = 0; i < 400 && switched.size() < 20; ++i) {
        std::vector<Packet> one = ReadMedia(b, PACKET_CLASS_VIDEO, 1);
        ASSERT_FALSE(one.empty()) << Why();
        if (one[0].Head().StreamChannel() == 0) switched.push_back(std::move(one[0]));
    }
    ExpectDecodableFromStart(switched, 0);
    std::string log = mHarness.Device().ReadLog();
    EXPECT_EQ(log.find("camera 0: stopped"), std::string::npos) << "camera 0 restarted";
}

TEST_F(DaemonTest, CommandsAreLoggedWithMillisecondTimes) {
    StartAll();
    DeviceClient client;
    LogIn(client);
    client.StartStream(0);
    ASSERT_EQ(ReadMedia(client, PACKET_CLASS_VIDEO, 5).size(), 5u);
    client.StopStream(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    client.StartStream(3);
    std::vector<Packet> after;
    for (int i = 0; i < 400 && after.empty(); ++i) {
        std::vector<Packet> one = ReadMedia(client, PACKET_CLASS_VIDEO, 1);
        ASSERT_FALSE(one.empty()) << Why();
        if (one[0].Head().StreamChannel() == 3) after.push_back(std::move(one[0]));
    }
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].Head().FrameKind(), 0);

    std::string log = mHarness.Device().ReadLog();
    std::smatch stop, start;
    ASSERT_TRUE(std::regex_search(
        log, stop,
        std::regex(R"(mono=(\d+) info session \d+: command 2 CMD_STOP_STREAM camera 0)")))
        << log;
    ASSERT_TRUE(std::regex_search(
        log, start,
        std::regex(R"(mono=(\d+) info session \d+: command 1 CMD_START_STREAM camera 3)")))
        << log;
    long gap = std::stol(start[1]) - std::stol(stop[1]);
    EXPECT_GE(gap, 45);
    EXPECT_LT(gap, 3000);
}

TEST_F(DaemonTest, StopSessionEndsTheSessionAndMonotonicStampsFollowThisClock) {
    StartAll(With({"--timestamps", "monotonic"}));
    DeviceClient client;
    LogIn(client);
    client.StartStream(0);
    std::vector<Packet> video = ReadMedia(client, PACKET_CLASS_VIDEO, 10);
    uint32_t now = TickCount();
    ASSERT_EQ(video.size(), 10u);
    int32_t age = int32_t(now - video.back().Head().Timestamp());
    EXPECT_GE(age, 0);
    EXPECT_LT(age, 3000);

    ASSERT_GT(client.StopSession(), 0);
    int rc = 0;
    for (int i = 0; i < 200; ++i) {
        Packet p;
        rc = client.ReadPacket(1, p, 500);
        if (rc < 0 && rc != PPPP_ERR_TIMEOUT) break;
    }
    EXPECT_EQ(rc, PPPP_ERR_CLOSED_BY_PEER);
}

// ---- faults ----

TEST_F(DaemonTest, FaultRefuseLogin) {
    StartAll(With({"--fault", "refuse-login"}));
    DeviceClient client;
    ASSERT_EQ(client.Connect(mHarness.Did()), 0);
    EXPECT_EQ(client.Login(mHarness.Password()), 0);
}

TEST_F(DaemonTest, FaultSilentLogin) {
    StartAll(With({"--fault", "silent-login"}));
    DeviceClient client;
    ASSERT_EQ(client.Connect(mHarness.Did()), 0);
    EXPECT_EQ(client.Login(mHarness.Password(), 2500), PPPP_ERR_TIMEOUT);
    EXPECT_TRUE(mHarness.Device().WaitForLog("left unanswered", 1000));
}

TEST_F(DaemonTest, FaultOversizeCommand) {
    StartAll(With({"--fault", "oversize-command"}));
    DeviceClient client;
    LogIn(client);
    Packet p;
    EXPECT_EQ(client.ReadPacket(0, p, 5000), DeviceClient::kOversize);
    EXPECT_EQ(p.bodyLength, 1025u);
    EXPECT_EQ(p.packetClass, PACKET_CLASS_COMMAND);
}

TEST_F(DaemonTest, FaultOversizeMedia) {
    StartAll(With({"--fault", "oversize-media"}));
    DeviceClient client;
    LogIn(client);
    client.StartStream(0);
    Packet p;
    int rc;
    do {
        rc = client.ReadPacket(1, p, 10000);
    } while (rc == 0 && p.packetClass == PACKET_CLASS_AUDIO);
    EXPECT_EQ(rc, DeviceClient::kOversize);
    EXPECT_EQ(p.bodyLength, 131073u);
}

TEST_F(DaemonTest, FaultUnknownClassAndDamagedLengthOnBothChannels) {
    StartAll(With({"--fault", "unknown-class", "--fault", "damaged-length"}));
    DeviceClient client;
    LogIn(client);
    Packet first, second;
    ASSERT_EQ(client.ReadPacket(0, first, 5000), 0);
    ASSERT_EQ(client.ReadPacket(0, second, 5000), 0);
    EXPECT_EQ(first.packetClass, 5);
    EXPECT_EQ(first.unprotect, -1);
    EXPECT_EQ(second.packetClass, PACKET_CLASS_COMMAND);
    EXPECT_EQ(second.unprotect, -2);

    client.StartStream(0);
    std::vector<Packet> others;
    std::vector<Packet> video = ReadMedia(client, PACKET_CLASS_VIDEO, 25, &others);
    int unknown = 0, damaged = 0;
    std::vector<Packet> good;
    for (Packet& p : others) {
        if (p.packetClass == 5) {
            EXPECT_EQ(p.unprotect, -1);
            ++unknown;
        }
    }
    for (Packet& p : video) {
        if (p.unprotect == -2) {
            ++damaged;
        } else {
            good.push_back(std::move(p));
        }
    }
    EXPECT_GE(unknown, 1);
    EXPECT_GE(damaged, 1);
    // The faults come beside the stream, not instead of it.
    ExpectDecodableFromStart(good, 0);
}

TEST_F(DaemonTest, FaultDropAfter) {
    StartAll(With({"--fault", "drop-after=2"}));
    DeviceClient client;
    auto start = std::chrono::steady_clock::now();
    LogIn(client);
    client.StartStream(0);
    int rc = 0;
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(20)) {
        Packet p;
        rc = client.ReadPacket(1, p, 1000);
        if (rc < 0 && rc != PPPP_ERR_TIMEOUT) break;
    }
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - start)
                       .count();
    EXPECT_EQ(rc, PPPP_ERR_CLOSED_BY_PEER);
    EXPECT_GE(elapsed, 1500);
}

TEST_F(DaemonTest, FaultTimestampJumpGoesBackOnce) {
    StartAll(With({"--fault", "timestamp-jump=5000"}));
    DeviceClient client;
    LogIn(client);
    client.StartStream(0);
    std::vector<Packet> video = ReadMedia(client, PACKET_CLASS_VIDEO, 70);
    ASSERT_EQ(video.size(), 70u);
    int jumps = 0;
    for (size_t i = 1; i < video.size(); ++i) {
        int32_t step = int32_t(video[i].Head().Timestamp() - video[i - 1].Head().Timestamp());
        if (step < 0) {
            ++jumps;
            EXPECT_NEAR(step, -5000 + 40, 2);
            EXPECT_EQ(i, 50u);
        } else {
            EXPECT_NEAR(step, 40, 1);
        }
    }
    EXPECT_EQ(jumps, 1);
}

TEST_F(DaemonTest, FaultNoVideoSendsAudioOnly) {
    StartAll(With({"--fault", "no-video"}));
    DeviceClient client;
    LogIn(client);
    client.StartStream(0);
    std::vector<Packet> others;
    std::vector<Packet> audio = ReadMedia(client, PACKET_CLASS_AUDIO, 40, &others);
    EXPECT_EQ(audio.size(), 40u);
    EXPECT_TRUE(others.empty());
}

TEST_F(DaemonTest, FaultShortNotice) {
    StartAll(With({"--fault", "short-notice"}));
    DeviceClient client;
    LogIn(client);
    ASSERT_GT(client.SendCommand(17, nullptr, 0), 0);
    Packet p;
    ASSERT_EQ(client.ReadPacket(0, p, 5000), 0);
    EXPECT_EQ(p.unprotect, 0);
    EXPECT_EQ(p.Head().Code(), kNoticeEmailAlert);
    EXPECT_EQ(p.Head().CommandLength(), 4);
    // So a viewer's wait for an answer of 8 bytes runs out.
    EXPECT_EQ(client.GetEmailAlert(1500), PPPP_ERR_TIMEOUT);
}
