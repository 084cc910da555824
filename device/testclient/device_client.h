#pragma once
// The viewer's side of the device protocol, small and explicit, for tests: connect to a
// DID, log in with the viewer's cipher, send commands protected by the viewer's codec,
// and read packets off either channel with the viewer's limits. Also starts and stops
// the real programs (zevo-p2pd, zevo-camd) on loopback for a test.
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "session/packet.h"

namespace zevo::camd::testing {

// A program started for a test; its standard output and error go to a log file.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // argv[0] is the program's path. extraEnv holds "NAME=value" entries added to (or
    // replacing in) this process's environment. 0 or -errno.
    int Start(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
              const std::string& logPath);
    // Sends the signal, waits up to timeoutMs, then kills. The exit status as waitpid
    // gives it, or -1 when nothing ran.
    int Stop(int signal = 15, int timeoutMs = 10000);
    bool Running();
    pid_t Pid() const { return mPid; }
    const std::string& LogPath() const { return mLogPath; }
    std::string ReadLog() const;
    // Waits until the log holds needle (counting from byte `from`). True when found.
    bool WaitForLog(const std::string& needle, int timeoutMs, size_t from = 0) const;

private:
    pid_t mPid = -1;
    std::string mLogPath;
};

// zevo-p2pd on a free loopback port and zevo-camd registered with it, in a temporary
// folder that also holds their logs and the device's state file.
class DeviceHarness {
public:
    DeviceHarness();
    ~DeviceHarness();

    // Starts the service, vouching for devices with a seed of the harness's own; 0 when it
    // listens. Also points this process's transport at it (ZEVO_P2P_SERVER), trusting its
    // key (ZEVO_P2P_SERVICE_KEYS) and, unless told not to (a test whose code under test initialises
    // the library itself), initialises the library for DeviceClient.
    // extra: more zevo-p2pd options.
    int StartService(bool initializeTransport = true, const std::vector<std::string>& extra = {});
    // Starts the daemon with the harness's DID, secret, password and state file plus the
    // given options; 0 when it has registered (it waits for the info-level log line, so
    // the options must not lower the log level below info).
    int StartDevice(const std::vector<std::string>& extraArgs = {});
    int StopDevice();  // exit status of zevo-camd
    // Where later StartDevice points the daemon (default the service itself: a proxy in
    // front of it, say), and "NAME=value" entries added to its environment.
    void SetDeviceServer(std::string endpoint) { mDeviceServer = std::move(endpoint); }
    void SetDeviceEnvironment(std::vector<std::string> env) { mDeviceEnv = std::move(env); }

    const std::string& Did() const { return mDid; }
    const std::string& Password() const { return mPassword; }
    const std::string& Endpoint() const { return mEndpoint; }
    const std::string& Folder() const { return mFolder; }
    ChildProcess& Device() { return mDevice; }
    ChildProcess& Service() { return mService; }
    std::string DeviceSecret();

    static std::string ServicePath();
    static std::string DevicePath();

private:
    std::string mFolder;
    std::string mDid = "ZEVO-000042-TESTD";
    std::string mPassword = "camd-pass";
    std::string mKey = "camd-test-service-key";
    std::string mEndpoint;
    std::string mDeviceServer;
    std::vector<std::string> mDeviceEnv;
    ChildProcess mService;
    ChildProcess mDevice;
    bool mInitialized = false;
};

// The first of `count` consecutive UDP ports, at or after `base`, that bind on both
// 127.0.0.1 and 127.0.0.2: a relay port range that proxies on 127.0.0.2 can mirror.
uint16_t FreeRelayPorts(uint16_t base, int count);

// One packet as read: the class and body length from its prefix, then the body (head and
// payload), unprotected in place when the class is a protected one.
struct Packet {
    uint8_t packetClass = 0;
    uint32_t bodyLength = 0;
    std::vector<uint8_t> body;
    std::vector<uint8_t> wire;  // the body as it arrived, before unprotection
    int unprotect = -1;         // UnprotectPacket's result; -1 also for login packets

    PacketHead Head() const { return PacketHead::Read(body.data()); }
    const uint8_t* Payload() const { return body.data() + kPacketHeadSize; }
    size_t PayloadSize() const { return body.size() - kPacketHeadSize; }
};

class DeviceClient {
public:
    // ReadPacket results besides the transport's codes.
    static constexpr int kOversize = -100;  // the prefix announced more than the channel's limit

    DeviceClient() = default;
    ~DeviceClient();

    // Connects to the DID, retrying while the device is not yet online. 0 or a code.
    int Connect(const std::string& did, int timeoutMs = 10000);
    // Reads the challenge and answers it. 1 accepted, 0 refused, PPPP_ERR_TIMEOUT when no
    // answer came in time, another negative code on transport failure.
    int Login(const std::string& password, int timeoutMs = 5000);

    // Writes one command as the viewer's SendCommand does. The write's result.
    int SendCommand(uint16_t code, const uint8_t* payload, uint16_t length,
                    int packetClass = PACKET_CLASS_COMMAND);
    int StartStream(int camera);
    int StopStream(int camera);
    int StopSession();
    int SetEmailAlert(uint8_t state);
    // Asks and waits for NOTICE_EMAIL_ALERT with 8 or more bytes: the state byte, or
    // PPPP_ERR_TIMEOUT.
    int GetEmailAlert(int timeoutMs = 3000);

    // Reads one packet of a channel, whole, within timeoutMs. 0, PPPP_ERR_TIMEOUT,
    // kOversize (prefix read, body not), or a session-ended code.
    int ReadPacket(int channel, Packet& packet, int timeoutMs);
    // Reads the first video packet (class 2 that unprotects), skipping audio. 0 or as above.
    int ReadVideo(Packet& packet, int timeoutMs);

    const std::array<uint8_t, 16>& SessionKey() const { return mSessionKey; }
    int32_t Handle() const { return mHandle; }
    void Close();

private:
    int ReadExact(int channel, uint8_t* buffer, int32_t length, int timeoutMs);

    int32_t mHandle = -1;
    std::array<uint8_t, 16> mSessionKey{};
    PacketProtection mProtection;
};

}  // namespace zevo::camd::testing
