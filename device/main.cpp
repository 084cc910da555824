// zevo-camd: the device daemon. See device/README.md.
#include <gst/gst.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "device/config.h"
#include "device/daemon.h"
#include "device/log.h"
#include "platform/command_line.h"

#ifndef ZEVO_VERSION
#define ZEVO_VERSION "0"
#endif

namespace {

std::atomic<bool> gStop{false};

void OnSignal(int) {
    gStop.store(true);
}

// The settings that options set, by the config file's key; applied through the same
// reader as the file's lines. Listed in the order they are applied.
struct SettingOption {
    const char* option;
    const char* key;
    const char* value;
    const char* help;
};
const SettingOption kSettings[] = {
    {"--did", "did", "DID", "Device identifier to register"},
    {"--secret", "secret", "SECRET",
     "Device secret issued by the service (zevo-p2pd --device-secret)"},
    {"--password", "password", "TEXT", "Password viewers log in with"},
    {"--server", "server", "HOST:PORT", "Rendezvous service (sets ZEVO_P2P_SERVER)"},
    {"--init-string", "init_string", "TEXT", "Transport initialisation string"},
    {"--state-file", "state_file", "PATH",
     "File that keeps the e-mail alert state across restarts"},
    {"--cameras", "cameras", "N", "Number of cameras (test patterns unless configured)"},
    {"--timestamps", "timestamps", "MODE",
     "stream (ms since start) or monotonic (CLOCK_MONOTONIC ms)"},
    {"--max-sessions", "max_sessions", "N", "Viewers served at once (default 8)"},
    {"--login-timeout", "login_timeout", "S", "Seconds a viewer has to log in (default 30)"},
    {"--log-level", "log_level", "LEVEL", "error, warn, info (default) or debug"},
};

}  // namespace

int main(int argc, char** argv) {
    using namespace zevo::camd;
    DeviceConfig config;

    // The config file first, so the other options override it wherever they stand.
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string path;
        if ((arg == "-c" || arg == "--config") && i + 1 < argc) {
            path = argv[i + 1];
        } else if (arg.rfind("--config=", 0) == 0) {
            path = arg.substr(9);
        }
        if (!path.empty()) {
            ParseResult r = LoadConfigFile(path, config);
            if (!r.ok()) {
                fprintf(stderr, "zevo-camd: %s\n", r.message.c_str());
                return 1;
            }
        }
    }

    // Each option goes through the config file's reader; its first complaint ends the
    // parse as a usage error.
    auto apply = [](const std::string& option, const ParseResult& r) {
        if (!r.ok()) throw CLI::ValidationError(option, r.message);
    };
    CLI::App app{"Serves the cameras of this machine to viewers over the P2P transport.",
                 "zevo-camd"};
    zevo::StandardFlags(app, "zevo-camd", ZEVO_VERSION, "-V,--version");
    std::string configPath;
    app.add_option("-c,--config", configPath,
                   "Read settings from FILE (key = value, [camera N] sections)")
        ->type_name("FILE");
    for (const SettingOption& s : kSettings) {
        const std::string option = s.option, key = s.key;
        app.add_option_function<std::string>(
               option,
               [&config, &apply, option, key](const std::string& v) {
                   apply(option, ApplyDeviceSetting(config, key, v));
               },
               s.help)
            ->type_name(s.value);
    }
    app.add_option_function<std::vector<std::string>>(
           "--camera",
           [&config, &apply](const std::vector<std::string>& values) {
               for (const std::string& v : values) apply("--camera", ApplyCameraOption(config, v));
           },
           "Camera N settings, e.g. 0:source=test:ball,size=1280x720,fps=25,bitrate=2000,"
           "keyint=50,codec=h264,audio=tone,audio_codec=adpcm,tone_freq=440,tone_level=0.3; "
           "repeatable")
        ->type_name("N:K=V,...")
        ->allow_extra_args(false);
    app.add_option_function<std::vector<std::string>>(
           "--fault",
           [&config, &apply](const std::vector<std::string>& values) {
               for (const std::string& v : values)
                   apply("--fault", ApplyDeviceSetting(config, "fault", v));
           },
           "Put a fault on the wire for tests; repeatable: refuse-login, silent-login, "
           "oversize-command, oversize-media, unknown-class, damaged-length, "
           "drop-after=SECONDS, timestamp-jump=MS, no-video, short-notice")
        ->type_name("NAME[=V]")
        ->allow_extra_args(false);
    app.add_flag_callback(
        "--insecure-transport",
        [&config, &apply] {
            apply("--insecure-transport", ApplyDeviceSetting(config, "insecure_transport", "true"));
        },
        "Also serve viewers that run no session security (while migrating)");
    if (auto code = zevo::ParseCommandLine(app, "zevo-camd", argc, argv)) return *code;
    if (config.cameras.empty()) config.cameras.resize(1);
    ParseResult valid = ValidateConfig(config);
    if (!valid.ok()) {
        fprintf(stderr, "zevo-camd: %s\n", valid.message.c_str());
        return 1;
    }

    SetLogLevel(config.logLevel);
    gst_init(nullptr, nullptr);

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    LOG_INFO("zevo-camd %s: %s with %zu camera(s), %s timestamps", ZEVO_VERSION, config.did.c_str(),
             config.cameras.size(), config.stamps == StampMode::Monotonic ? "monotonic" : "stream");
    int rc;
    {
        Device device(config);
        rc = device.Run(gStop);
    }
    gst_deinit();
    return rc;
}
