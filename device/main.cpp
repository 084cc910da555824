// zevo-camd: the device daemon. See device/README.md.
#include <getopt.h>
#include <gst/gst.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "device/config.h"
#include "device/daemon.h"
#include "device/log.h"

#ifndef ZEVO_VERSION
#define ZEVO_VERSION "0"
#endif

namespace {

std::atomic<bool> gStop{false};

void OnSignal(int) {
    gStop.store(true);
}

const char kUsage[] =
    "Usage: zevo-camd [options]\n"
    "Serves the cameras of this machine to viewers over the P2P transport.\n"
    "\n"
    "  -c, --config FILE        read settings from FILE (key = value, [camera N] sections)\n"
    "      --did DID            device identifier to register\n"
    "      --secret SECRET      device secret issued by the service (zevo-p2pd --device-secret)\n"
    "      --password TEXT      password viewers log in with\n"
    "      --server HOST:PORT   rendezvous service (sets ZEVO_P2P_SERVER)\n"
    "      --init-string TEXT   transport initialisation string\n"
    "      --state-file PATH    file that keeps the e-mail alert state across restarts\n"
    "      --cameras N          number of cameras (test patterns unless configured)\n"
    "      --camera N:K=V,...   camera N settings, e.g. 0:source=test:ball,size=1280x720,\n"
    "                           fps=25,bitrate=2000,keyint=50,codec=h264,audio=tone,\n"
    "                           audio_codec=adpcm,tone_freq=440,tone_level=0.3\n"
    "      --timestamps MODE    stream (ms since start) or monotonic (CLOCK_MONOTONIC ms)\n"
    "      --max-sessions N     viewers served at once (default 8)\n"
    "      --login-timeout S    seconds a viewer has to log in (default 30)\n"
    "      --fault NAME[=V]     put a fault on the wire for tests; repeatable:\n"
    "                           refuse-login, silent-login, oversize-command, oversize-media,\n"
    "                           unknown-class, damaged-length, drop-after=SECONDS,\n"
    "                           timestamp-jump=MS, no-video, short-notice\n"
    "      --log-level LEVEL    error, warn, info (default) or debug\n"
    "  -h, --help               show this text\n"
    "  -V, --version            show the version\n";

enum Option {
    kDid = 1000,
    kSecret,
    kPassword,
    kServer,
    kInitString,
    kStateFile,
    kCameras,
    kCamera,
    kTimestamps,
    kMaxSessions,
    kLoginTimeout,
    kFault,
    kLogLevel,
};

const option kOptions[] = {
    {"config", required_argument, nullptr, 'c'},
    {"did", required_argument, nullptr, kDid},
    {"secret", required_argument, nullptr, kSecret},
    {"password", required_argument, nullptr, kPassword},
    {"server", required_argument, nullptr, kServer},
    {"init-string", required_argument, nullptr, kInitString},
    {"state-file", required_argument, nullptr, kStateFile},
    {"cameras", required_argument, nullptr, kCameras},
    {"camera", required_argument, nullptr, kCamera},
    {"timestamps", required_argument, nullptr, kTimestamps},
    {"max-sessions", required_argument, nullptr, kMaxSessions},
    {"login-timeout", required_argument, nullptr, kLoginTimeout},
    {"fault", required_argument, nullptr, kFault},
    {"log-level", required_argument, nullptr, kLogLevel},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

const char* SettingFor(int opt) {
    switch (opt) {
        case kDid:
            return "did";
        case kSecret:
            return "secret";
        case kPassword:
            return "password";
        case kServer:
            return "server";
        case kInitString:
            return "init_string";
        case kStateFile:
            return "state_file";
        case kCameras:
            return "cameras";
        case kTimestamps:
            return "timestamps";
        case kMaxSessions:
            return "max_sessions";
        case kLoginTimeout:
            return "login_timeout";
        case kFault:
            return "fault";
        case kLogLevel:
            return "log_level";
        default:
            return nullptr;
    }
}

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

    int opt;
    while ((opt = getopt_long(argc, argv, "c:hV", kOptions, nullptr)) != -1) {
        ParseResult r;
        switch (opt) {
            case 'c':
                break;
            case 'h':
                fputs(kUsage, stdout);
                return 0;
            case 'V':
                printf("zevo-camd %s\n", ZEVO_VERSION);
                return 0;
            case kCamera:
                r = ApplyCameraOption(config, optarg);
                break;
            default:
                if (const char* key = SettingFor(opt)) {
                    r = ApplyDeviceSetting(config, key, optarg);
                } else {
                    // getopt has already named the option on stderr.
                    fputs("Try 'zevo-camd --help'.\n", stderr);
                    return 2;
                }
        }
        if (!r.ok()) {
            fprintf(stderr, "zevo-camd: %s\n", r.message.c_str());
            return 2;
        }
    }
    if (optind < argc) {
        fprintf(stderr, "zevo-camd: unexpected argument '%s'\n", argv[optind]);
        return 2;
    }
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
