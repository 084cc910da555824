#include "device/config.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace zevo::camd {

namespace {

// Cameras beyond this make no sense for one box and would let a typo allocate a lot.
constexpr int kMaxCameras = 16;

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::string Lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    }
    return s;
}

ParseResult Fail(const std::string& message) {
    return {-1, message};
}

bool ParseInt(const std::string& text, long min, long max, int& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max) return false;
    out = int(v);
    return true;
}

bool ParseDouble(const std::string& text, double min, double max, double& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !(v >= min && v <= max)) return false;
    out = v;
    return true;
}

bool ParseBool(const std::string& text, bool& out) {
    std::string t = Lower(text);
    if (t == "1" || t == "true" || t == "yes" || t == "on") {
        out = true;
        return true;
    }
    if (t == "0" || t == "false" || t == "no" || t == "off") {
        out = false;
        return true;
    }
    return false;
}

ParseResult BadValue(const std::string& key, const std::string& value) {
    return Fail("bad value for " + key + ": '" + value + "'");
}

// "test", "test:ball", "file:/x.mp4", "v4l2", "v4l2:/dev/video1", "passthrough:/x.h264"
ParseResult ApplySource(CameraConfig& camera, const std::string& value) {
    size_t colon = value.find(':');
    std::string kind = Lower(value.substr(0, colon));
    std::string arg = colon == std::string::npos ? std::string() : value.substr(colon + 1);
    if (kind == "test") {
        camera.source = VideoSourceKind::TestPattern;
        camera.pattern = arg;
    } else if (kind == "file") {
        if (arg.empty()) return Fail("source file: needs a path");
        camera.source = VideoSourceKind::File;
        camera.location = arg;
    } else if (kind == "passthrough") {
        if (arg.empty()) return Fail("source passthrough: needs a path");
        camera.source = VideoSourceKind::Passthrough;
        camera.location = arg;
    } else if (kind == "v4l2") {
        camera.source = VideoSourceKind::Webcam;
        camera.location = arg.empty() ? "/dev/video0" : arg;
    } else {
        return BadValue("source", value);
    }
    return {};
}

ParseResult ApplyAudio(CameraConfig& camera, const std::string& value) {
    size_t colon = value.find(':');
    std::string kind = Lower(value.substr(0, colon));
    std::string arg = colon == std::string::npos ? std::string() : value.substr(colon + 1);
    if (kind == "none") {
        camera.audio = AudioSourceKind::None;
    } else if (kind == "tone") {
        camera.audio = AudioSourceKind::Tone;
    } else if (kind == "file") {
        if (arg.empty()) return Fail("audio file: needs a path");
        camera.audio = AudioSourceKind::File;
        camera.audioLocation = arg;
    } else {
        return BadValue("audio", value);
    }
    return {};
}

}  // namespace

const char* VideoCodecName(VideoCodec codec) {
    return codec == VideoCodec::H265 ? "h265" : "h264";
}

const char* LogLevelName(LogLevel level) {
    switch (level) {
        case LogLevel::Error:
            return "error";
        case LogLevel::Warn:
            return "warn";
        case LogLevel::Info:
            return "info";
        case LogLevel::Debug:
            return "debug";
    }
    return "info";
}

ParseResult ApplyCameraSetting(CameraConfig& camera, const std::string& rawKey,
                               const std::string& value) {
    std::string key = Lower(rawKey);
    if (key == "source") return ApplySource(camera, value);
    if (key == "codec") {
        std::string v = Lower(value);
        if (v == "h264") {
            camera.codec = VideoCodec::H264;
        } else if (v == "h265") {
            camera.codec = VideoCodec::H265;
        } else {
            return BadValue(key, value);
        }
        return {};
    }
    if (key == "width") {
        return ParseInt(value, 16, 4096, camera.width) && camera.width % 2 == 0
                   ? ParseResult{}
                   : BadValue(key, value);
    }
    if (key == "height") {
        return ParseInt(value, 16, 4096, camera.height) && camera.height % 2 == 0
                   ? ParseResult{}
                   : BadValue(key, value);
    }
    if (key == "size") {
        size_t x = Lower(value).find('x');
        if (x == std::string::npos) return BadValue(key, value);
        ParseResult r = ApplyCameraSetting(camera, "width", value.substr(0, x));
        if (!r.ok()) return r;
        return ApplyCameraSetting(camera, "height", value.substr(x + 1));
    }
    if (key == "fps")
        return ParseInt(value, 1, 120, camera.fps) ? ParseResult{} : BadValue(key, value);
    if (key == "bitrate") {
        return ParseInt(value, 16, 100000, camera.bitrateKbps) ? ParseResult{}
                                                               : BadValue(key, value);
    }
    if (key == "keyint") {
        return ParseInt(value, 1, 10000, camera.keyInterval) ? ParseResult{} : BadValue(key, value);
    }
    if (key == "audio") return ApplyAudio(camera, value);
    if (key == "audio_codec") {
        std::string v = Lower(value);
        if (v == "pcm") {
            camera.audioCodec = AudioCodec::Pcm;
        } else if (v == "adpcm") {
            camera.audioCodec = AudioCodec::Adpcm;
        } else {
            return BadValue(key, value);
        }
        return {};
    }
    if (key == "tone_freq") {
        // Above 4000 Hz the tone would alias at the 8000 Hz sample rate.
        return ParseDouble(value, 1.0, 3999.0, camera.toneFrequency) ? ParseResult{}
                                                                     : BadValue(key, value);
    }
    if (key == "tone_level") {
        return ParseDouble(value, 0.0, 1.0, camera.toneLevel) ? ParseResult{}
                                                              : BadValue(key, value);
    }
    return Fail("unknown camera setting: " + rawKey);
}

ParseResult ApplyFault(FaultOptions& faults, const std::string& option) {
    size_t eq = option.find('=');
    std::string name = Lower(Trim(option.substr(0, eq)));
    std::string value = eq == std::string::npos ? std::string() : Trim(option.substr(eq + 1));
    auto flag = [&](bool& field) -> ParseResult {
        if (value.empty()) {
            field = true;
            return {};
        }
        return ParseBool(value, field) ? ParseResult{} : BadValue(name, value);
    };
    if (name == "refuse-login") return flag(faults.refuseLogin);
    if (name == "silent-login") return flag(faults.silentLogin);
    if (name == "oversize-command") return flag(faults.oversizeCommand);
    if (name == "oversize-media") return flag(faults.oversizeMedia);
    if (name == "unknown-class") return flag(faults.unknownClass);
    if (name == "damaged-length") return flag(faults.damagedLength);
    if (name == "no-video") return flag(faults.noVideo);
    if (name == "short-notice") return flag(faults.shortNotice);
    if (name == "short-accept") return flag(faults.shortAccept);
    if (name == "notice-past-body") return flag(faults.noticePastBody);
    if (name == "drop-after") {
        return ParseInt(value, 1, 86400, faults.dropAfterSeconds) ? ParseResult{}
                                                                  : BadValue(name, value);
    }
    if (name == "timestamp-jump") {
        return ParseInt(value, 1, 3600000, faults.timestampJumpBackMs) ? ParseResult{}
                                                                       : BadValue(name, value);
    }
    return Fail("unknown fault: " + name);
}

ParseResult ApplyDeviceSetting(DeviceConfig& config, const std::string& rawKey,
                               const std::string& value) {
    std::string key = Lower(rawKey);
    if (key == "did") {
        config.did = value;
        return {};
    }
    if (key == "secret") {
        config.secret = value;
        return {};
    }
    if (key == "password") {
        config.password = value;
        return {};
    }
    if (key == "server") {
        config.server = value;
        return {};
    }
    if (key == "insecure_transport") {
        return ParseBool(value, config.insecureTransport) ? ParseResult{} : BadValue(key, value);
    }
    if (key == "init_string") {
        config.initString = value;
        return {};
    }
    if (key == "state_file") {
        config.stateFile = value;
        return {};
    }
    if (key == "log_level") {
        std::string v = Lower(value);
        if (v == "error") {
            config.logLevel = LogLevel::Error;
        } else if (v == "warn" || v == "warning") {
            config.logLevel = LogLevel::Warn;
        } else if (v == "info") {
            config.logLevel = LogLevel::Info;
        } else if (v == "debug") {
            config.logLevel = LogLevel::Debug;
        } else {
            return BadValue(key, value);
        }
        return {};
    }
    if (key == "timestamps") {
        std::string v = Lower(value);
        if (v == "stream") {
            config.stamps = StampMode::Stream;
        } else if (v == "monotonic") {
            config.stamps = StampMode::Monotonic;
        } else {
            return BadValue(key, value);
        }
        return {};
    }
    if (key == "max_sessions") {
        return ParseInt(value, 1, 64, config.maxSessions) ? ParseResult{} : BadValue(key, value);
    }
    if (key == "login_timeout") {
        return ParseInt(value, 1, 3600, config.loginTimeoutSeconds) ? ParseResult{}
                                                                    : BadValue(key, value);
    }
    if (key == "cameras") {
        int n = 0;
        if (!ParseInt(value, 1, kMaxCameras, n)) return BadValue(key, value);
        config.cameras.resize(size_t(n));
        return {};
    }
    if (key == "fault") return ApplyFault(config.faults, value);
    return Fail("unknown setting: " + rawKey);
}

ParseResult ParseConfigText(const std::string& text, DeviceConfig& config) {
    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    CameraConfig* camera = nullptr;
    while (std::getline(in, line)) {
        ++lineNo;
        std::string t = Trim(line);
        if (t.empty() || t[0] == '#' || t[0] == ';') continue;
        auto where = [&](const ParseResult& r) {
            return ParseResult{r.code, "line " + std::to_string(lineNo) + ": " + r.message};
        };
        if (t.front() == '[') {
            if (t.back() != ']') return where(Fail("unclosed section"));
            std::string name = Trim(t.substr(1, t.size() - 2));
            std::string lowered = Lower(name);
            int index = -1;
            if (lowered.rfind("camera", 0) != 0 ||
                !ParseInt(Trim(name.substr(6)), 0, kMaxCameras - 1, index)) {
                return where(Fail("unknown section: " + name));
            }
            if (config.cameras.size() <= size_t(index)) config.cameras.resize(size_t(index) + 1);
            camera = &config.cameras[size_t(index)];
            continue;
        }
        size_t eq = t.find('=');
        if (eq == std::string::npos) return where(Fail("expected key = value"));
        std::string key = Trim(t.substr(0, eq));
        std::string value = Trim(t.substr(eq + 1));
        ParseResult r = camera ? ApplyCameraSetting(*camera, key, value)
                               : ApplyDeviceSetting(config, key, value);
        if (!r.ok()) return where(r);
    }
    return {};
}

ParseResult LoadConfigFile(const std::string& path, DeviceConfig& config) {
    std::ifstream in(path);
    if (!in) return Fail("cannot read config file " + path);
    std::stringstream ss;
    ss << in.rdbuf();
    ParseResult r = ParseConfigText(ss.str(), config);
    if (!r.ok()) r.message = path + ": " + r.message;
    return r;
}

ParseResult ApplyCameraOption(DeviceConfig& config, const std::string& option) {
    size_t colon = option.find(':');
    int index = -1;
    if (colon == std::string::npos ||
        !ParseInt(option.substr(0, colon), 0, kMaxCameras - 1, index)) {
        return Fail("--camera wants N:key=value,...; got '" + option + "'");
    }
    if (config.cameras.size() <= size_t(index)) config.cameras.resize(size_t(index) + 1);
    CameraConfig& camera = config.cameras[size_t(index)];
    std::string rest = option.substr(colon + 1);
    size_t pos = 0;
    while (pos <= rest.size()) {
        size_t comma = rest.find(',', pos);
        std::string item =
            rest.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        if (!Trim(item).empty()) {
            size_t eq = item.find('=');
            if (eq == std::string::npos)
                return Fail("--camera: expected key=value, got '" + item + "'");
            ParseResult r =
                ApplyCameraSetting(camera, Trim(item.substr(0, eq)), Trim(item.substr(eq + 1)));
            if (!r.ok()) return r;
        }
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    return {};
}

ParseResult ValidateConfig(const DeviceConfig& config) {
    if (config.did.empty()) return Fail("no DID given (did = ... or --did)");
    if (config.secret.empty()) return Fail("no device secret given (secret = ... or --secret)");
    if (config.password.empty()) return Fail("no password given (password = ... or --password)");
    if (config.cameras.empty()) return Fail("no camera configured");
    return {};
}

}  // namespace zevo::camd
