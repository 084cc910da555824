#include "loopback_world.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "p2p/secure/key_files.h"

extern char** environ;

namespace zevo::e2e {

namespace {

using namespace std::chrono_literals;

std::string Trim(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

// This process's environment with the entries of extra added; an entry replaces any
// earlier one of the same name (so a test's own entries win over the defaults).
std::vector<std::string> Environment(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    for (const std::string& x : extra) {
        const std::string name = x.substr(0, x.find('=') + 1);
        std::erase_if(env, [&](const std::string& e) { return e.rfind(name, 0) == 0; });
        env.push_back(x);
    }
    return env;
}

}  // namespace

bool Process::Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                    const std::string& outFile, const std::string& errFile) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const std::vector<std::string> fullEnv = Environment(env);
    std::vector<char*> envp;
    for (const std::string& e : fullEnv) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    mPid = pid;
    return true;
}

int Process::Wait(std::chrono::milliseconds wait) {
    if (mPid <= 0) return -1;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(mPid, &status, WNOHANG);
        if (r == mPid) {
            mPid = -1;
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            return -1000 - WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() > deadline) return -1;
        std::this_thread::sleep_for(10ms);
    }
}

void Process::Signal(int sig) {
    if (mPid > 0) ::kill(mPid, sig);
}

void Process::Kill() {
    if (mPid <= 0) return;
    ::kill(mPid, SIGKILL);
    int status = 0;
    waitpid(mPid, &status, 0);
    mPid = -1;
}

long long FirstMs(const std::vector<TranscriptLine>& lines, const std::string& kind,
                  const std::string& prefix) {
    for (const TranscriptLine& line : lines) {
        if (line.kind == kind && line.text.rfind(prefix, 0) == 0) return line.ms;
    }
    return -1;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<TranscriptLine> ReadTranscript(const std::string& path) {
    std::vector<TranscriptLine> lines;
    std::istringstream in(ReadFile(path));
    std::string line;
    static const std::regex pattern(R"(^(\d+) ([^:]+): (.*)$)");
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_match(line, m, pattern)) {
            lines.push_back({std::stoll(m[1]), m[2], Trim(m[3])});
        }
    }
    return lines;
}

std::vector<DeviceCommand> ReadDeviceCommands(const std::string& logPath) {
    std::vector<DeviceCommand> commands;
    std::istringstream in(ReadFile(logPath));
    std::string line;
    static const std::regex pattern(R"(mono=(\d+) .*command \d+ (\w+)(?: camera (-?\d+))?)");
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_search(line, m, pattern)) {
            commands.push_back({std::stoull(m[1]), m[2], m[3].matched ? std::stoi(m[3]) : -1});
        }
    }
    return commands;
}

bool RegisterControl(const std::string& home, bool unregister) {
    std::vector<std::string> argv = {ZEVO_REGSVR_BIN};
    if (unregister) argv.push_back("-u");
    argv.push_back(ZEVO_OCX_MODULE);
    Process tool;
    return tool.Start(argv, {"HOME=" + home, "XDG_CONFIG_HOME=" + home + "/.config"},
                      home + ".regsvr.out", home + ".regsvr.err") &&
           tool.Wait(30000ms) == 0;
}

LoopbackWorld::LoopbackWorld() {
    char pattern[] = "/tmp/zevo-e2e-XXXXXX";
    const char* dir = mkdtemp(pattern);
    mDir = dir ? dir : "/tmp";
    // Sessions run sealed, as deployed: the service vouches for the device's key with its
    // seed, and the viewer pins the service's key.
    zevo::p2p::secure::ServicePublicKey key;
    std::string error;
    if (zevo::p2p::secure::CreateServiceSeedFile(SeedPath(), &key, &error))
        std::ofstream(PinnedKeysPath()) << zevo::p2p::secure::FormatPinnedKey(key) << "\n";
}

LoopbackWorld::~LoopbackWorld() {
    mHost.Kill();
    mDevice.Signal(SIGTERM);
    if (mDevice.Wait(5000ms) == -1) mDevice.Kill();
    mService.Signal(SIGTERM);
    if (mService.Wait(5000ms) == -1) mService.Kill();
    if (!std::getenv("ZEVO_KEEP_E2E")) {
        const std::string command = "rm -rf '" + mDir + "'";
        if (std::system(command.c_str()) != 0) {
        }
    }
}

bool LoopbackWorld::StartService(const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {ZEVO_P2PD_BIN,       "--listen", "127.0.0.1:0", "--port-file",
                                     mDir + "/p2pd.port", "--key",    "e2e-key"};
    if (std::find(extra.begin(), extra.end(), "--signing-key-file") == extra.end()) {
        argv.push_back("--signing-key-file");
        argv.push_back(SeedPath());
    }
    argv.insert(argv.end(), extra.begin(), extra.end());
    if (!mService.Start(argv, {}, mDir + "/p2pd.out", mDir + "/p2pd.log")) return false;
    for (int i = 0; i < 1000; ++i) {
        const std::string port = Trim(ReadFile(mDir + "/p2pd.port"));
        if (!port.empty()) {
            mPort = static_cast<uint16_t>(std::stoi(port));
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

bool LoopbackWorld::StartDevice(const std::vector<std::string>& faults, int cameras,
                                const std::string& password) {
    Process secretTool;
    if (!secretTool.Start({ZEVO_P2PD_BIN, "--key", "e2e-key", "--device-secret", kDid}, {},
                          mDir + "/secret", mDir + "/secret.err") ||
        secretTool.Wait(10000ms) != 0) {
        return false;
    }
    const std::string secret = Trim(ReadFile(mDir + "/secret"));
    Process initTool;
    const std::string server = "127.0.0.1:" + std::to_string(mPort);
    if (!initTool.Start({ZEVO_P2PD_BIN, "--init-string", server}, {}, mDir + "/init",
                        mDir + "/init.err") ||
        initTool.Wait(10000ms) != 0) {
        return false;
    }
    const std::string initString = Trim(ReadFile(mDir + "/init"));
    std::vector<std::string> argv = {ZEVO_CAMD_BIN,
                                     "--did",
                                     kDid,
                                     "--secret",
                                     secret,
                                     "--password",
                                     password,
                                     "--server",
                                     server,
                                     "--init-string",
                                     initString,
                                     "--state-file",
                                     mDir + "/camd.state",
                                     "--cameras",
                                     std::to_string(cameras)};
    for (const std::string& fault : faults) {
        argv.push_back("--fault");
        argv.push_back(fault);
    }
    argv.insert(argv.end(), mDeviceOptions.begin(), mDeviceOptions.end());
    if (!mDevice.Start(argv, mDeviceEnv, mDir + "/camd.out", DeviceLog())) return false;
    for (int i = 0; i < 2000; ++i) {
        if (ReadFile(DeviceLog()).find("registered") != std::string::npos) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

std::string LoopbackWorld::PlayHostSoundIntoFile() {
    const std::string pcm = mDir + "/played.raw";
    const std::string config = mDir + "/asound.conf";
    std::ofstream(config) << "pcm.!default {\n type file\n slave.pcm { type null }\n file \"" << pcm
                          << "\"\n format \"raw\"\n}\n";
    SetHostEnvironment({"ALSA_CONFIG_PATH=" + config});
    return pcm;
}

void LoopbackWorld::KillDevice() {
    mDevice.Kill();
}

bool LoopbackWorld::StartHost(const std::string& script, const std::string& password) {
    const std::string path = mDir + "/script" + std::to_string(++mScripts) + ".js";
    std::ofstream(path) << script;
    const std::string home = mDir + "/home";
    if (!mRegistered && !RegisterControl(home)) return false;
    mRegistered = true;
    std::vector<std::string> env = {"ZEVO_P2P_SERVER=127.0.0.1:" + std::to_string(mPort),
                                    "HOME=" + home, "XDG_CONFIG_HOME=" + home + "/.config",
                                    "QT_QPA_PLATFORM=offscreen",
                                    "ZEVO_P2P_SERVICE_KEYS=" + PinnedKeysPath()};
    env.insert(env.end(), mHostEnv.begin(), mHostEnv.end());
    std::vector<std::string> argv = {ZEVO_HOST_BIN, "--headless", "--did",       kDid,
                                     "--password",  password,     "--save-path", mDir,
                                     "--script",    path};
    argv.insert(argv.end(), mHostArgs.begin(), mHostArgs.end());
    return mHost.Start(argv, env, HostOut(), mDir + "/host.err");
}

int LoopbackWorld::FinishHost(std::chrono::milliseconds wait) {
    const int code = mHost.Wait(wait);
    if (code == -1) mHost.Kill();
    return code;
}

int LoopbackWorld::RunHost(const std::string& script, std::chrono::milliseconds wait,
                           const std::string& password) {
    if (!StartHost(script, password)) return -2;
    return FinishHost(wait);
}

bool LoopbackWorld::WaitForLine(const std::string& kind, const std::string& textPrefix,
                                std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (std::chrono::steady_clock::now() < deadline) {
        for (const TranscriptLine& line : Transcript()) {
            if (line.kind == kind && line.text.rfind(textPrefix, 0) == 0) return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

std::vector<std::string> LoopbackWorld::Lines(const std::string& kind) const {
    std::vector<std::string> texts;
    for (const TranscriptLine& line : Transcript()) {
        if (line.kind == kind) texts.push_back(line.text);
    }
    return texts;
}

}  // namespace zevo::e2e
