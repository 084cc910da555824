#pragma once
// Configuration of zevo-camd: a config file of `key = value` lines with one
// `[camera N]` section per camera, and command-line options that override it.
#include <cstdint>
#include <string>
#include <vector>

#include "media/nal.h"

namespace zevo::camd {

enum class LogLevel { Error = 0, Warn = 1, Info = 2, Debug = 3 };

// Passthrough: an already compressed file (H.264 or H.265, in a container or as an
// Annex B byte stream) sent as it is, without decoding and encoding again.
enum class VideoSourceKind { TestPattern, File, Webcam, Passthrough };
enum class AudioSourceKind { None, Tone, File };
enum class AudioCodec { Pcm, Adpcm };
enum class StampMode { Stream, Monotonic };

struct CameraConfig {
    VideoSourceKind source = VideoSourceKind::TestPattern;
    std::string pattern;   // videotestsrc pattern name; empty picks one per camera
    std::string location;  // file path or V4L2 device
    VideoCodec codec = VideoCodec::H264;
    int width = 640;
    int height = 360;
    int fps = 25;
    int bitrateKbps = 1000;
    int keyInterval = 50;  // frames between key frames

    AudioSourceKind audio = AudioSourceKind::Tone;
    std::string audioLocation;
    AudioCodec audioCodec = AudioCodec::Adpcm;
    double toneFrequency = 440.0;
    double toneLevel = 0.3;  // peak amplitude, 1.0 = full scale
};

// Faults the daemon can put on the wire on purpose, for the viewer's tests.
struct FaultOptions {
    bool refuseLogin = false;      // answer every login with LOGIN_REFUSED
    bool silentLogin = false;      // send the challenge, never answer the response
    bool oversizeCommand = false;  // after login: a channel-0 prefix announcing 1025 bytes
    bool oversizeMedia = false;    // at stream start: a channel-1 prefix announcing 131073 bytes
    bool unknownClass = false;     // packets of class 5 on both channels
    bool damagedLength = false;    // packets whose head length disagrees with the body
    int dropAfterSeconds = 0;      // close each session this long after it was accepted
    int timestampJumpBackMs = 0;   // after kJumpAfterFrames video frames, stamps go back this far
    bool noVideo = false;          // audio only
    bool shortNotice = false;      // NOTICE_EMAIL_ALERT with a 4-byte payload
    bool shortAccept = false;      // LOGIN_ACCEPTED with 8 of the key's 16 bytes
    bool noticePastBody = false;   // after login: a notice whose state byte never came

    static constexpr int kFaultPeriod = 10;      // every Nth video packet gets a fault companion
    static constexpr int kJumpAfterFrames = 50;  // video frames before the backward jump
};

struct DeviceConfig {
    std::string did;
    std::string secret;
    std::string password;
    std::string server;  // host:port of zevo-p2pd, exported as ZEVO_P2P_SERVER
    // Also serve viewers that do not run the session handshake (unsealed), while a
    // deployment migrates; exported as ZEVO_P2P_INSECURE_TRANSPORT.
    bool insecureTransport = false;
    std::string initString;  // the transport's initialisation string
    std::string stateFile;   // where the e-mail alert state survives restarts
    LogLevel logLevel = LogLevel::Info;
    StampMode stamps = StampMode::Stream;
    int maxSessions = 8;
    int loginTimeoutSeconds = 30;
    std::vector<CameraConfig> cameras;
    FaultOptions faults;
};

// Result of parsing: 0 ok, negative with a message for the user.
struct ParseResult {
    int code = 0;
    std::string message;
    bool ok() const { return code >= 0; }
};

// One `key = value` setting of the device or of a camera. Used by the file parser and
// by command-line options alike so both accept the same spellings.
ParseResult ApplyDeviceSetting(DeviceConfig& config, const std::string& key,
                               const std::string& value);
ParseResult ApplyCameraSetting(CameraConfig& camera, const std::string& key,
                               const std::string& value);
// A fault by name, with an optional value ("drop-after=5").
ParseResult ApplyFault(FaultOptions& faults, const std::string& option);

// Parses config text (the contents of a config file). Lines: `# comment`, `key = value`,
// `[camera N]` (N counts from 0, sections may come in any order, gaps get defaults).
ParseResult ParseConfigText(const std::string& text, DeviceConfig& config);
ParseResult LoadConfigFile(const std::string& path, DeviceConfig& config);

// A camera given on the command line: "N:key=value,key=value".
ParseResult ApplyCameraOption(DeviceConfig& config, const std::string& option);

// What is still missing before the daemon can run.
ParseResult ValidateConfig(const DeviceConfig& config);

const char* VideoCodecName(VideoCodec codec);
const char* LogLevelName(LogLevel level);

}  // namespace zevo::camd
