#include "device/config.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

using namespace zevo::camd;
using zevo::VideoCodec;

TEST(DeviceConfig, ParsesDeviceAndCameraSections) {
    DeviceConfig c;
    ParseResult r = ParseConfigText(R"(
# a comment
did = ZEVO-000123-ABCDE
secret = s3cr3t
password = admin
server = 127.0.0.1:32100
state_file = /tmp/x.state
log_level = debug
timestamps = monotonic
max_sessions = 4
fault = drop-after=5
fault = short-notice

[camera 1]
source = file:/media/clip.mp4
size = 1280x720
fps = 30
bitrate = 2500
keyint = 60
codec = h265
audio = tone
audio_codec = pcm
tone_freq = 1000
tone_level = 0.5

[ Camera 0 ]
source = test:ball
audio = none
)",
                                    c);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(c.did, "ZEVO-000123-ABCDE");
    EXPECT_EQ(c.secret, "s3cr3t");
    EXPECT_EQ(c.password, "admin");
    EXPECT_EQ(c.server, "127.0.0.1:32100");
    EXPECT_EQ(c.stateFile, "/tmp/x.state");
    EXPECT_EQ(c.logLevel, LogLevel::Debug);
    EXPECT_EQ(c.stamps, StampMode::Monotonic);
    EXPECT_EQ(c.maxSessions, 4);
    EXPECT_EQ(c.faults.dropAfterSeconds, 5);
    EXPECT_TRUE(c.faults.shortNotice);
    EXPECT_FALSE(c.faults.refuseLogin);

    ASSERT_EQ(c.cameras.size(), 2u);
    const CameraConfig& c0 = c.cameras[0];
    EXPECT_EQ(c0.source, VideoSourceKind::TestPattern);
    EXPECT_EQ(c0.pattern, "ball");
    EXPECT_EQ(c0.audio, AudioSourceKind::None);
    const CameraConfig& c1 = c.cameras[1];
    EXPECT_EQ(c1.source, VideoSourceKind::File);
    EXPECT_EQ(c1.location, "/media/clip.mp4");
    EXPECT_EQ(c1.width, 1280);
    EXPECT_EQ(c1.height, 720);
    EXPECT_EQ(c1.fps, 30);
    EXPECT_EQ(c1.bitrateKbps, 2500);
    EXPECT_EQ(c1.keyInterval, 60);
    EXPECT_EQ(c1.codec, VideoCodec::H265);
    EXPECT_EQ(c1.audio, AudioSourceKind::Tone);
    EXPECT_EQ(c1.audioCodec, AudioCodec::Pcm);
    EXPECT_DOUBLE_EQ(c1.toneFrequency, 1000.0);
    EXPECT_DOUBLE_EQ(c1.toneLevel, 0.5);
}

TEST(DeviceConfig, ErrorsNameTheLine) {
    struct Case {
        const char* text;
        const char* fragment;
    } cases[] = {
        {"did = x\nbogus = 1\n", "line 2: unknown setting: bogus"},
        {"[camera 0]\nwidth = 641\n", "line 2: bad value for width"},
        {"[camera 0]\nwidth = 12abc\n", "bad value for width"},
        {"[camera 0]\ntone_freq = 4000\n", "bad value for tone_freq"},
        {"[camera 0]\ntone_level = 1.5\n", "bad value for tone_level"},
        {"[camera 0]\nsource = rtsp://x\n", "bad value for source"},
        {"[camera 0]\nsource = file:\n", "needs a path"},
        {"[camera 0]\nsource = passthrough\n", "needs a path"},
        {"[camera 99]\n", "unknown section"},
        {"[camera 0\n", "unclosed section"},
        {"[microphone 0]\n", "unknown section"},
        {"just text\n", "expected key = value"},
        {"fault = explode\n", "unknown fault: explode"},
        {"fault = drop-after=0\n", "bad value for drop-after"},
        {"log_level = chatty\n", "bad value for log_level"},
        {"max_sessions = 1000\n", "bad value for max_sessions"},
    };
    for (const Case& c : cases) {
        DeviceConfig config;
        ParseResult r = ParseConfigText(c.text, config);
        EXPECT_FALSE(r.ok()) << c.text;
        EXPECT_NE(r.message.find(c.fragment), std::string::npos)
            << "for '" << c.text << "' got '" << r.message << "'";
    }
}

TEST(DeviceConfig, CommandLineCameraOptionOverridesFileSettings) {
    DeviceConfig c;
    ASSERT_TRUE(ParseConfigText("[camera 0]\nfps = 30\nbitrate = 800\n", c).ok());
    ParseResult r = ApplyCameraOption(c, "0:fps=25, size=640x480 ,audio_codec=adpcm");
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(c.cameras[0].fps, 25);
    EXPECT_EQ(c.cameras[0].width, 640);
    EXPECT_EQ(c.cameras[0].height, 480);
    EXPECT_EQ(c.cameras[0].bitrateKbps, 800);

    r = ApplyCameraOption(c, "3:source=v4l2");
    ASSERT_TRUE(r.ok()) << r.message;
    ASSERT_EQ(c.cameras.size(), 4u);
    EXPECT_EQ(c.cameras[3].source, VideoSourceKind::Webcam);
    EXPECT_EQ(c.cameras[3].location, "/dev/video0");
    r = ApplyCameraOption(c, "2:source=passthrough:/srv/clips/a,b%.h265,codec=h265");
    ASSERT_FALSE(r.ok());  // a comma ends the setting
    r = ApplyCameraOption(c, "2:source=PassThrough:/srv/clips/a%1.h265,codec=h265");
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(c.cameras[2].source, VideoSourceKind::Passthrough);
    EXPECT_EQ(c.cameras[2].location, "/srv/clips/a%1.h265");
    EXPECT_EQ(c.cameras[2].codec, VideoCodec::H265);
    // Camera 1 was not named and keeps every default.
    EXPECT_EQ(c.cameras[1].source, VideoSourceKind::TestPattern);
    EXPECT_EQ(c.cameras[1].codec, VideoCodec::H264);

    EXPECT_FALSE(ApplyCameraOption(c, "fps=25").ok());
    EXPECT_FALSE(ApplyCameraOption(c, "-1:fps=25").ok());
    EXPECT_FALSE(ApplyCameraOption(c, "0:fps").ok());
    EXPECT_FALSE(ApplyCameraOption(c, "0:fps=0").ok());
}

TEST(DeviceConfig, FaultsParseWithAndWithoutValues) {
    FaultOptions f;
    EXPECT_TRUE(ApplyFault(f, "refuse-login").ok());
    EXPECT_TRUE(ApplyFault(f, "silent-login=yes").ok());
    EXPECT_TRUE(ApplyFault(f, "oversize-media").ok());
    EXPECT_TRUE(ApplyFault(f, "timestamp-jump=3000").ok());
    EXPECT_TRUE(ApplyFault(f, "no-video=off").ok());
    EXPECT_TRUE(f.refuseLogin);
    EXPECT_TRUE(f.silentLogin);
    EXPECT_TRUE(f.oversizeMedia);
    EXPECT_FALSE(f.oversizeCommand);
    EXPECT_EQ(f.timestampJumpBackMs, 3000);
    EXPECT_FALSE(f.noVideo);
    EXPECT_FALSE(ApplyFault(f, "no-video=maybe").ok());
    EXPECT_FALSE(ApplyFault(f, "timestamp-jump").ok());
}

TEST(DeviceConfig, ValidationWantsIdentityPasswordAndCamera) {
    DeviceConfig c;
    EXPECT_NE(ValidateConfig(c).message.find("DID"), std::string::npos);
    c.did = "D";
    EXPECT_NE(ValidateConfig(c).message.find("secret"), std::string::npos);
    c.secret = "S";
    EXPECT_NE(ValidateConfig(c).message.find("password"), std::string::npos);
    c.password = "P";
    EXPECT_NE(ValidateConfig(c).message.find("camera"), std::string::npos);
    c.cameras.resize(1);
    EXPECT_TRUE(ValidateConfig(c).ok());
}

TEST(DeviceConfig, LoadsAFileAndReportsAMissingOne) {
    char path[] = "/tmp/camd-config-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        std::ofstream out(path);
        out << "did = FILE-DID\ncameras = 3\n";
    }
    DeviceConfig c;
    ParseResult r = LoadConfigFile(path, c);
    EXPECT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(c.did, "FILE-DID");
    EXPECT_EQ(c.cameras.size(), 3u);
    std::remove(path);
    r = LoadConfigFile(path, c);
    EXPECT_FALSE(r.ok());
    EXPECT_NE(r.message.find(path), std::string::npos);
}

TEST(DeviceConfig, TheShippedExampleParsesAndValidates) {
    DeviceConfig c;
    ParseResult r = LoadConfigFile(ZEVO_SOURCE_DIR "/device/zevo-camd.conf.example", c);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_TRUE(ValidateConfig(c).ok());
    ASSERT_EQ(c.cameras.size(), 2u);
    EXPECT_EQ(c.cameras[0].source, VideoSourceKind::Webcam);
    EXPECT_EQ(c.cameras[1].audioCodec, AudioCodec::Pcm);
}
