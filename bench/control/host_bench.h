#pragma once
// What the benchmarks that run the real zevo-host share: a clock, reading its transcript
// and memory, and starting it on a script against a DeviceHarness's device.
#include <sys/types.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/process_usage.h"
#include "device/testclient/device_client.h"

namespace zevo::bench {

inline double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline void SleepUntil(double t) {
    const double d = t - Now();
    if (d > 0) std::this_thread::sleep_for(std::chrono::duration<double>(d));
}

inline std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// VmRSS in MB, or -1.
inline double RssMb(pid_t pid) {
    const long kb = RssKb(pid);
    return kb < 0 ? -1 : static_cast<double>(kb) / 1024.0;
}

// The host under test: $ZEVO_HOST, or the one built beside the benchmark.
inline std::string HostPath() {
    const char* over = std::getenv("ZEVO_HOST");
    return over && *over ? over : ZEVO_HOST_PATH;
}

// Writes `script` to <folder>/<tag>.js and starts zevo-host (headless, offscreen) on it,
// logged in to the world's device, with its transcript in <folder>/<tag>.out. extraEnv
// entries ("NAME=value") are added, or replace the defaults of the same name.
inline bool StartHostOnScript(camd::testing::ChildProcess& host,
                              camd::testing::DeviceHarness& world, const std::string& tag,
                              const std::string& script,
                              const std::vector<std::string>& extraArgs = {},
                              const std::vector<std::string>& extraEnv = {}) {
    const std::string dir = world.Folder();
    const std::string scriptPath = dir + "/" + tag + ".js";
    {
        std::ofstream out(scriptPath);
        out << "player.SavePath = \"" << dir << "\";\n" << script;
    }
    std::vector<std::string> argv = {HostPath(),   "--headless",     "--did",    world.Did(),
                                     "--password", world.Password(), "--script", scriptPath};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    std::vector<std::string> env = {"HOME=" + dir, "QT_QPA_PLATFORM=offscreen",
                                    "ZEVO_P2P_SERVER=" + world.Endpoint()};
    for (const std::string& entry : extraEnv) {
        const std::string name = entry.substr(0, entry.find('=') + 1);
        std::erase_if(env, [&](const std::string& e) { return e.rfind(name, 0) == 0; });
        env.push_back(entry);
    }
    return host.Start(argv, env, dir + "/" + tag + ".out") == 0;
}

// The last "frames N" the host's script logged, or -1.
inline double LastFrames(const std::string& transcript) {
    const size_t at = transcript.rfind("log: frames ");
    if (at == std::string::npos) return -1;
    return std::strtod(transcript.c_str() + at + 12, nullptr);
}

// Prints the host's VmRSS at each whole minute after `streaming` up to `minutes`, with
// the frames its script has logged, then the growth from minute 1 to the last. False
// when the host ended or showed nothing.
inline bool PrintRssGrowth(const camd::testing::ChildProcess& host, double streaming, int minutes) {
    double atOne = -1, atEnd = -1;
    for (int m = 1; m <= minutes; ++m) {
        SleepUntil(streaming + m * 60.0);
        const double rss = RssMb(host.Pid());
        const double frames = LastFrames(Slurp(host.LogPath()));
        if (rss < 0 || frames <= 0) {
            std::fprintf(stderr, "zevo-host ended or showed nothing after %d min (transcript %s)\n",
                         m - 1, host.LogPath().c_str());
            return false;
        }
        std::printf("  %2d min  %.1f MB  (%.0f frames shown)\n", m, rss, frames);
        std::fflush(stdout);
        if (m == 1) atOne = rss;
        atEnd = rss;
    }
    std::printf("  growth %d min vs 1 min: %+.2f MB  (goal < 5 MB)\n", minutes, atEnd - atOne);
    return true;
}

}  // namespace zevo::bench
