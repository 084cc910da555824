#include "device/testclient/device_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "p2p/PPPP_API.h"
#include "p2p/init_string.h"
#include "p2p/secure/key_files.h"
#include "session/aes.h"

extern char** environ;

namespace zevo::camd::testing {

namespace {

constexpr uint32_t kCommandLimit = 1024;
constexpr uint32_t kMediaLimit = 131072;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void Sleep(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Where the build put the programs: beside this test's binary tree, given at compile time.
std::string ProgramPath(const char* env, const char* builtIn) {
    const char* over = std::getenv(env);
    return over && *over ? over : builtIn;
}

}  // namespace

// ---- ChildProcess ----

ChildProcess::~ChildProcess() {
    Stop(SIGKILL, 2000);
}

int ChildProcess::Start(const std::vector<std::string>& argv,
                        const std::vector<std::string>& extraEnv, const std::string& logPath) {
    mLogPath = logPath;
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string& x : extraEnv) {
            if (x.substr(0, x.find('=')) == name) replaced = true;
        }
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    int rc = posix_spawn(&mPid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        mPid = -1;
        return -rc;
    }
    return 0;
}

int ChildProcess::Stop(int signal, int timeoutMs) {
    if (mPid <= 0) return -1;
    ::kill(mPid, signal);
    int status = 0;
    int64_t end = NowMs() + timeoutMs;
    while (true) {
        pid_t r = ::waitpid(mPid, &status, WNOHANG);
        if (r == mPid || r < 0) break;
        if (NowMs() >= end) {
            ::kill(mPid, SIGKILL);
            ::waitpid(mPid, &status, 0);
            break;
        }
        Sleep(10);
    }
    mPid = -1;
    return status;
}

bool ChildProcess::Running() {
    if (mPid <= 0) return false;
    int status = 0;
    if (::waitpid(mPid, &status, WNOHANG) == mPid) {
        mPid = -1;
        return false;
    }
    return true;
}

std::string ChildProcess::ReadLog() const {
    return ReadAll(mLogPath);
}

bool ChildProcess::WaitForLog(const std::string& needle, int timeoutMs, size_t from) const {
    int64_t end = NowMs() + timeoutMs;
    do {
        std::string log = ReadLog();
        if (log.size() > from && log.find(needle, from) != std::string::npos) return true;
        Sleep(20);
    } while (NowMs() < end);
    return false;
}

// ---- DeviceHarness ----

DeviceHarness::DeviceHarness() {
    char folder[] = "/tmp/camd-test-XXXXXX";
    if (mkdtemp(folder) != nullptr) mFolder = folder;
}

DeviceHarness::~DeviceHarness() {
    mDevice.Stop(SIGTERM, 5000);
    if (mInitialized) PPPP_DeInitialize();
    mService.Stop(SIGTERM, 3000);
    unsetenv("ZEVO_P2P_SERVICE_KEYS");
    if (!mFolder.empty() && std::getenv("CAMD_KEEP_TEST_FOLDER") == nullptr) {
        std::string cmd = "rm -rf '" + mFolder + "'";
        if (std::system(cmd.c_str()) != 0)
            fprintf(stderr, "could not remove %s\n", mFolder.c_str());
    }
}

std::string DeviceHarness::ServicePath() {
    return ProgramPath("ZEVO_P2PD", ZEVO_P2PD_PATH);
}
std::string DeviceHarness::DevicePath() {
    return ProgramPath("ZEVO_CAMD", ZEVO_CAMD_PATH);
}

int DeviceHarness::StartService(bool initializeTransport, const std::vector<std::string>& extra) {
    std::string portFile = mFolder + "/p2pd.port";
    std::vector<std::string> argv = {ServicePath(), "--listen", "127.0.0.1:0", "--port-file",
                                     portFile,      "--key",    mKey};
    // Sessions run sealed, as deployed: the service vouches for the device with a seed of
    // this harness's own and the viewers of this process pin its key.
    const std::string seed = mFolder + "/service.seed", pins = mFolder + "/pinned-keys";
    zevo::p2p::secure::ServicePublicKey key;
    std::string error;
    if (!zevo::p2p::secure::CreateServiceSeedFile(seed, &key, &error)) return -1;
    std::ofstream(pins) << zevo::p2p::secure::FormatPinnedKey(key) << "\n";
    argv.push_back("--signing-key-file");
    argv.push_back(seed);
    argv.insert(argv.end(), extra.begin(), extra.end());
    int rc = mService.Start(argv, {}, mFolder + "/p2pd.log");
    if (rc < 0) return rc;
    int64_t end = NowMs() + 10000;
    std::string port;
    while (NowMs() < end && port.empty()) {
        std::string text = ReadAll(portFile);
        if (!text.empty() && text.back() == '\n') port = text.substr(0, text.size() - 1);
        if (port.empty()) Sleep(10);
    }
    if (port.empty()) return -1;
    mEndpoint = "127.0.0.1:" + port;
    setenv("ZEVO_P2P_SERVER", mEndpoint.c_str(), 1);
    setenv("ZEVO_P2P_SERVICE_KEYS", pins.c_str(), 1);
    if (!initializeTransport) return 0;
    if (PPPP_Initialize(zevo::p2p::kP2pInitString) < 0) return -1;
    mInitialized = true;
    return 0;
}

std::string DeviceHarness::DeviceSecret() {
    std::string out = mFolder + "/secret";
    std::string cmd = "'" + ServicePath() + "' --key '" + mKey + "' --device-secret '" + mDid +
                      "' > '" + out + "'";
    if (std::system(cmd.c_str()) != 0) return {};
    std::string text = ReadAll(out);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

int DeviceHarness::StartDevice(const std::vector<std::string>& extraArgs) {
    std::string secret = DeviceSecret();
    if (secret.empty()) return -1;
    std::vector<std::string> argv = {DevicePath(),
                                     "--did",
                                     mDid,
                                     "--secret",
                                     secret,
                                     "--password",
                                     mPassword,
                                     "--server",
                                     mDeviceServer.empty() ? mEndpoint : mDeviceServer,
                                     "--state-file",
                                     mFolder + "/camd.state"};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    size_t from = ReadAll(mFolder + "/camd.log").size();
    int rc = mDevice.Start(argv, mDeviceEnv, mFolder + "/camd.log");
    if (rc < 0) return rc;
    return mDevice.WaitForLog(" registered ", 15000, from) ? 0 : -1;
}

int DeviceHarness::StopDevice() {
    return mDevice.Stop(SIGTERM, 10000);
}

// ---- DeviceClient ----

DeviceClient::~DeviceClient() {
    Close();
}

void DeviceClient::Close() {
    if (mHandle >= 0) PPPP_Close(mHandle);
    mHandle = -1;
}

int DeviceClient::Connect(const std::string& did, int timeoutMs) {
    int64_t end = NowMs() + timeoutMs;
    int32_t rc;
    do {
        rc = PPPP_Connect(did.c_str(), 1, 0);
        if (rc >= 0) {
            mHandle = rc;
            return 0;
        }
        if (rc != PPPP_ERR_DEVICE_OFFLINE) return rc;
        Sleep(100);
    } while (NowMs() < end);
    return rc;
}

int DeviceClient::ReadExact(int channel, uint8_t* buffer, int32_t length, int timeoutMs) {
    int64_t end = NowMs() + timeoutMs;
    int32_t got = 0;
    while (got < length) {
        int64_t left = end - NowMs();
        if (left <= 0) return PPPP_ERR_TIMEOUT;
        int32_t size = length - got;
        int32_t rc = PPPP_Read(mHandle, uint8_t(channel), reinterpret_cast<char*>(buffer + got),
                               &size, int32_t(left));
        if (size > 0 && size <= length - got) got += size;
        if (rc == PPPP_ERR_TIMEOUT) continue;
        if (rc < 0) return rc;
    }
    return 0;
}

int DeviceClient::ReadPacket(int channel, Packet& packet, int timeoutMs) {
    uint8_t prefix[kPacketPrefixSize];
    int rc = ReadExact(channel, prefix, 4, timeoutMs);
    if (rc < 0) return rc;
    PacketPrefix p = PacketPrefix::Read(prefix);
    packet.packetClass = p.packetClass;
    packet.bodyLength = p.bodyLength;
    packet.body.clear();
    packet.unprotect = -1;
    if (p.bodyLength > (channel == 0 ? kCommandLimit : kMediaLimit)) return kOversize;
    packet.body.resize(p.bodyLength);
    if (p.bodyLength > 0) {
        // A packet once begun is read whole, as the viewer's readers do.
        rc = ReadExact(channel, packet.body.data(), int32_t(p.bodyLength), timeoutMs + 5000);
        if (rc < 0) return rc;
    }
    packet.wire = packet.body;
    if (p.packetClass != PACKET_CLASS_LOGIN) {
        packet.unprotect =
            mProtection.UnprotectPacket(p.packetClass, packet.body.data(), int(p.bodyLength));
    }
    return 0;
}

int DeviceClient::ReadVideo(Packet& packet, int timeoutMs) {
    int64_t end = NowMs() + timeoutMs;
    while (true) {
        int64_t left = end - NowMs();
        if (left <= 0) return PPPP_ERR_TIMEOUT;
        int rc = ReadPacket(1, packet, int(left));
        if (rc < 0) return rc;
        if (packet.packetClass == PACKET_CLASS_VIDEO && packet.unprotect == 0) return 0;
    }
}

int DeviceClient::SendCommand(uint16_t code, const uint8_t* payload, uint16_t length,
                              int packetClass) {
    std::vector<unsigned char> packet = BuildPacket(code, payload, length, packetClass);
    if (packetClass != PACKET_CLASS_LOGIN) {
        mProtection.ProtectPacket(packet.data(), int(packet.size()));
    }
    return PPPP_Write(mHandle, 0, reinterpret_cast<const char*>(packet.data()),
                      int32_t(packet.size()));
}

int DeviceClient::Login(const std::string& password, int timeoutMs) {
    int64_t end = NowMs() + timeoutMs;
    const auto* key = reinterpret_cast<const unsigned char*>(password.data());
    while (true) {
        int64_t left = end - NowMs();
        if (left <= 0) return PPPP_ERR_TIMEOUT;
        Packet packet;
        int rc = ReadPacket(0, packet, int(left));
        if (rc < 0) return rc;
        if (packet.packetClass != PACKET_CLASS_LOGIN || packet.body.size() < kPacketHeadSize)
            continue;
        uint16_t code = packet.Head().Code();
        if (code == 1 && packet.PayloadSize() >= 16) {
            unsigned char answer[16];
            AesEncryptBlock(128, packet.Payload(), 16, key, int(password.size()), answer);
            rc = SendCommand(2, answer, 16, PACKET_CLASS_LOGIN);
            if (rc <= 0) return rc < 0 ? rc : -1;
        } else if (code == 3 && packet.PayloadSize() >= 16) {
            AesDecryptBlock(128, packet.Payload(), 16, key, int(password.size()),
                            mSessionKey.data());
            mProtection.SetSessionKey(mSessionKey.data());
            return 1;
        } else if (code == 4) {
            return 0;
        }
    }
}

namespace {
std::vector<uint8_t> StreamPayload(int camera) {
    std::vector<uint8_t> p(8, 0);
    wire::Put32(p.data(), uint32_t(camera));
    return p;
}
}  // namespace

int DeviceClient::StartStream(int camera) {
    return SendCommand(1, StreamPayload(camera).data(), 8);
}
int DeviceClient::StopStream(int camera) {
    return SendCommand(2, StreamPayload(camera).data(), 8);
}
int DeviceClient::StopSession() {
    return SendCommand(4, StreamPayload(0).data(), 8);
}

int DeviceClient::SetEmailAlert(uint8_t state) {
    const uint8_t payload[4] = {state, 0, 0, 0};
    return SendCommand(13, payload, 4);
}

int DeviceClient::GetEmailAlert(int timeoutMs) {
    int rc = SendCommand(17, nullptr, 0);
    if (rc <= 0) return rc < 0 ? rc : -1;
    int64_t end = NowMs() + timeoutMs;
    while (true) {
        int64_t left = end - NowMs();
        if (left <= 0) return PPPP_ERR_TIMEOUT;
        Packet packet;
        rc = ReadPacket(0, packet, int(left));
        if (rc < 0) return rc;
        if (packet.unprotect == 0 && packet.Head().Code() == 18 &&
            packet.Head().CommandLength() >= 8) {
            return packet.Payload()[0];
        }
    }
}

namespace {

bool PortsFree(const char* ip, uint16_t first, int count) {
    for (int i = 0; i < count; ++i) {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(first + i));
        inet_pton(AF_INET, ip, &a.sin_addr);
        const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(fd);
        if (!bound) return false;
    }
    return true;
}

}  // namespace

uint16_t FreeRelayPorts(uint16_t base, int count) {
    uint16_t first = base;
    while (!(PortsFree("127.0.0.1", first, count) && PortsFree("127.0.0.2", first, count)))
        first = static_cast<uint16_t>(first + 16);
    return first;
}

}  // namespace zevo::camd::testing
