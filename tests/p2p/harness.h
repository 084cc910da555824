#pragma once
// Real processes for the transport's integration tests: zevo-p2pd on a free loopback port
// and the test device, both started with fork/exec and stopped by pid.
#include <cstdint>
#include <string>
#include <vector>

namespace zevo::p2ptest {

constexpr char kTestKey[] = "integration-test-key";

class ServiceProcess {
public:
    ~ServiceProcess() { Stop(); }
    // Starts zevo-p2pd with --listen 127.0.0.1:port (0: any) --key kTestKey plus extra;
    // false when it did not come up within 10 s. Its log goes to LogPath().
    bool Start(const std::vector<std::string>& extra = {}, uint16_t port = 0);
    void Stop();
    void Kill();  // SIGKILL, no goodbye
    std::string LogPath() const { return mDir + "/log"; }
    uint16_t Port() const { return mPort; }
    int Pid() const { return mPid; }
    std::string InitString() const;
    // The service counters (STATS_REPLY), empty when it does not answer.
    std::vector<uint64_t> Stats() const;

private:
    int mPid = -1;
    uint16_t mPort = 0;
    std::string mDir;
};

class DeviceProcess {
public:
    ~DeviceProcess() { Stop(); }
    // Starts the test device; returns its PPPP_DeviceStart result (0 when registered), or
    // -1000 when the process did not report.
    int Start(const std::string& initString, const std::string& did, const std::string& secret);
    void Kill();  // SIGKILL, no goodbye
    void Stop();  // SIGTERM and wait
    int Pid() const { return mPid; }

private:
    int mPid = -1;
};

// A deployment's signing seed (for zevo-p2pd --signing-key-file) and the pinned-key file
// its viewers trust (ZEVO_P2P_SERVICE_KEYS), in a folder of their own removed at the end.
class DeploymentKeys {
public:
    DeploymentKeys();
    ~DeploymentKeys();
    const std::string& SeedPath() const { return mSeed; }
    const std::string& PinsPath() const { return mPins; }
    bool Valid() const { return mValid; }

private:
    std::string mDir, mSeed, mPins;
    bool mValid = false;
};

// What a shell command printed on standard output, and its exit status (-1: none).
std::string RunCommand(const std::string& command, int* status);

std::string SecretFor(const std::string& did, const std::string& key = kTestKey);
std::string InitStringFor(uint16_t port);

}  // namespace zevo::p2ptest
