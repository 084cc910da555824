#pragma once
// The real programs on loopback for end-to-end tests: zevo-p2pd on a free port, one
// zevo-camd registered with it, and zevo-host runs with a script. Each test gets its own
// temporary folder (HOME of the host, the programs' logs and the script).
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "device/testclient/device_client.h"

namespace zevo::e2e {

// Script helpers every test's scripts start with: waitFor(test, ms) polls test every
// 20 ms until it holds or ms have passed; paneStarts(prefix) tells whether status pane 0
// starts with prefix; waitRunning(ms) waits for "Running..." there.
inline const std::string kScriptHelpers = R"JS(
function waitFor(test, ms) {
    for (var t = 0; t < ms; t += 20) {
        if (test()) return true;
        host.sleep(20);
    }
    return test();
}
function paneStarts(prefix) { return host.paneText(0).indexOf(prefix) === 0; }
function waitRunning(ms) { return waitFor(function () { return paneStarts("Running..."); }, ms); }
)JS";

// A child process started with its output in files; stopped by pid.
class Process {
public:
    Process() = default;
    ~Process() { Kill(); }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
               const std::string& outFile, const std::string& errFile);
    // Exit code, or -1000 - signal; -1 when it did not end within the wait.
    int Wait(std::chrono::milliseconds wait);
    void Signal(int sig);
    void Kill();
    pid_t Pid() const { return mPid; }
    bool Running() const { return mPid > 0; }

private:
    pid_t mPid = -1;
};

// One line of zevo-host's transcript: "<ms> <kind>: <text>".
struct TranscriptLine {
    long long ms = 0;
    std::string kind;
    std::string text;
};

std::vector<TranscriptLine> ReadTranscript(const std::string& path);
// The time of the first line of that kind starting with prefix, or -1.
long long FirstMs(const std::vector<TranscriptLine>& lines, const std::string& kind,
                  const std::string& prefix);
std::string ReadFile(const std::string& path);

// A command that zevo-camd logged: its monotonic millisecond stamp, code name and camera.
struct DeviceCommand {
    unsigned long long mono = 0;
    std::string name;
    int camera = -1;
};
std::vector<DeviceCommand> ReadDeviceCommands(const std::string& logPath);

// Registers the built control module for the user whose HOME is home (as a user does
// once with zevo-regsvr), or removes the registration. True when the tool succeeded.
bool RegisterControl(const std::string& home, bool unregister = false);

using camd::testing::FreeRelayPorts;

class LoopbackWorld {
public:
    static constexpr const char* kDid = "ZEVO-000123-TESTA";
    static constexpr const char* kPassword = "246810";

    LoopbackWorld();
    ~LoopbackWorld();

    // zevo-p2pd; extra options such as --force-relay.
    bool StartService(const std::vector<std::string>& extra = {});
    // zevo-camd with cameras and faults ("silent-login", "drop-after=3", ...); waits until
    // it has registered.
    bool StartDevice(const std::vector<std::string>& faults = {}, int cameras = 4,
                     const std::string& password = kPassword);
    void KillDevice();
    // Options added to every later StartDevice ("--camera", "0:codec=h265", ...), and
    // environment entries added to every later host or device.
    void SetDeviceOptions(std::vector<std::string> options) { mDeviceOptions = std::move(options); }
    void SetHostEnvironment(std::vector<std::string> env) { mHostEnv = std::move(env); }
    void SetDeviceEnvironment(std::vector<std::string> env) { mDeviceEnv = std::move(env); }
    // Points later hosts' ALSA "default" device at a file of raw samples and returns its
    // path (replaces the host environment).
    std::string PlayHostSoundIntoFile();
    // Arguments added to every later host ("--grid", "4").
    void SetHostArguments(std::vector<std::string> args) { mHostArgs = std::move(args); }

    // Starts zevo-host --headless with the script; Finish waits for it and reads the
    // transcript.
    bool StartHost(const std::string& script, const std::string& password = kPassword);
    int FinishHost(std::chrono::milliseconds wait);
    // Runs the script to its end: StartHost + FinishHost.
    int RunHost(const std::string& script, std::chrono::milliseconds wait,
                const std::string& password = kPassword);
    // Waits until the host's transcript has a line of that kind starting with text.
    bool WaitForLine(const std::string& kind, const std::string& textPrefix,
                     std::chrono::milliseconds wait);

    std::vector<TranscriptLine> Transcript() const { return ReadTranscript(HostOut()); }
    std::vector<DeviceCommand> DeviceCommands() const { return ReadDeviceCommands(DeviceLog()); }
    std::vector<std::string> Lines(const std::string& kind) const;

    std::string Dir() const { return mDir; }
    // The service's signing seed (--signing-key-file) and the viewer's pinned-key file
    // holding its public key; StartService and StartHost use them unless told otherwise.
    std::string SeedPath() const { return mDir + "/service.seed"; }
    std::string PinnedKeysPath() const { return mDir + "/pinned-keys"; }
    std::string HostOut() const { return mDir + "/host.out"; }
    std::string DeviceLog() const { return mDir + "/camd.log"; }
    uint16_t ServicePort() const { return mPort; }
    Process& Host() { return mHost; }

private:
    std::string mDir;
    uint16_t mPort = 0;
    Process mService;
    Process mDevice;
    Process mHost;
    int mScripts = 0;
    bool mRegistered = false;
    std::vector<std::string> mDeviceOptions;
    std::vector<std::string> mHostEnv;
    std::vector<std::string> mDeviceEnv;
    std::vector<std::string> mHostArgs;
};

}  // namespace zevo::e2e
