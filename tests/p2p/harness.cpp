#include "tests/p2p/harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "p2p/crypto.h"
#include "p2p/init_string.h"
#include "p2p/secure/key_files.h"
#include "p2p/wire.h"

namespace zevo::p2ptest {

using zevo::p2p::Endpoint;

namespace {

int Spawn(const std::vector<std::string>& args, int stdoutFd, int stderrFd = -1) {
    int pid = fork();
    if (pid == 0) {
        if (stdoutFd >= 0) dup2(stdoutFd, 1);
        if (stderrFd >= 0) dup2(stderrFd, 2);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

void Reap(int* pid, int signal) {
    if (*pid <= 0) return;
    kill(*pid, signal);
    int status = 0;
    // A process that ignores SIGTERM for 5 s is killed.
    for (int i = 0; i < 500; ++i) {
        if (waitpid(*pid, &status, WNOHANG) == *pid) {
            *pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(*pid, SIGKILL);
    waitpid(*pid, &status, 0);
    *pid = -1;
}

}  // namespace

bool ServiceProcess::Start(const std::vector<std::string>& extra, uint16_t port) {
    Stop();
    char dir[] = "/tmp/zevo-p2pd-XXXXXX";
    if (mkdtemp(dir) == nullptr) return false;
    mDir = dir;
    std::string portFile = mDir + "/port";
    std::vector<std::string> args = {
        ZEVO_P2PD_PATH, "--listen",    "127.0.0.1:" + std::to_string(port),
        "--port-file",  portFile,      "--key",
        kTestKey,       "--log-level", "warn"};
    args.insert(args.end(), extra.begin(), extra.end());
    int devnull = open("/dev/null", O_WRONLY);
    int log = open(LogPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    mPid = Spawn(args, devnull, log);
    close(devnull);
    close(log);
    for (int i = 0; i < 1000; ++i) {
        std::ifstream in(portFile);
        unsigned bound = 0;
        if (in >> bound && bound > 0) {
            mPort = uint16_t(bound);
            return true;
        }
        int status;
        if (waitpid(mPid, &status, WNOHANG) == mPid) {
            mPid = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void ServiceProcess::Kill() {
    Reap(&mPid, SIGKILL);
}

void ServiceProcess::Stop() {
    Reap(&mPid, SIGTERM);
    if (!mDir.empty()) {
        unlink((mDir + "/port").c_str());
        unlink(LogPath().c_str());
        rmdir(mDir.c_str());
        mDir.clear();
    }
}

std::string ServiceProcess::InitString() const {
    return InitStringFor(mPort);
}

std::vector<uint64_t> ServiceProcess::Stats() const {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(mPort);
    p2p::Message m;
    m.type = p2p::MsgType::kStatsRequest;
    m.nonce = p2p::RandomU64();
    uint8_t buffer[p2p::kMaxDatagram];
    size_t n = p2p::EncodeMessage(m, buffer, sizeof buffer);
    std::vector<uint64_t> stats;
    for (int attempt = 0; attempt < 10 && stats.empty(); ++attempt) {
        sendto(fd, buffer, n, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 300) <= 0) continue;
        uint8_t reply[p2p::kMaxDatagram];
        ssize_t got = recv(fd, reply, sizeof reply, 0);
        p2p::Message r;
        if (got > 0 && p2p::DecodeMessage(reply, size_t(got), &r) &&
            r.type == p2p::MsgType::kStatsReply && r.nonce == m.nonce)
            stats.assign(r.stats, r.stats + r.statCount);
    }
    close(fd);
    return stats;
}

int DeviceProcess::Start(const std::string& initString, const std::string& did,
                         const std::string& secret) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return -1000;
    mPid = Spawn({P2P_TEST_DEVICE_PATH, initString, did, secret}, pipeFds[1]);
    close(pipeFds[1]);
    std::string line;
    char c;
    pollfd p{pipeFds[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos && poll(&p, 1, 15000) > 0 &&
           read(pipeFds[0], &c, 1) == 1)
        line += c;
    close(pipeFds[0]);
    int result = -1000;
    if (std::sscanf(line.c_str(), "started %d", &result) != 1) result = -1000;
    return result;
}

void DeviceProcess::Kill() {
    Reap(&mPid, SIGKILL);
}
void DeviceProcess::Stop() {
    Reap(&mPid, SIGTERM);
}

std::string RunCommand(const std::string& command, int* status) {
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char buffer[512];
    while (pipe && fgets(buffer, sizeof buffer, pipe)) out += buffer;
    int raw = pipe ? pclose(pipe) : -1;
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return out;
}

std::string SecretFor(const std::string& did, const std::string& key) {
    return p2p::DeviceSecretHex(key, did.c_str());
}

std::string InitStringFor(uint16_t port) {
    return p2p::EncodeInitString({Endpoint{0x7F000001, port}});
}

DeploymentKeys::DeploymentKeys() {
    char dir[] = "/tmp/zevo-keys-XXXXXX";
    if (mkdtemp(dir) == nullptr) return;
    mDir = dir;
    mSeed = mDir + "/service.seed";
    mPins = mDir + "/pinned-keys";
    p2p::secure::ServicePublicKey key;
    std::string error;
    if (!p2p::secure::CreateServiceSeedFile(mSeed, &key, &error)) return;
    std::ofstream pins(mPins);
    pins << p2p::secure::FormatPinnedKey(key) << "\n";
    mValid = bool(pins);
}

DeploymentKeys::~DeploymentKeys() {
    if (mDir.empty()) return;
    std::remove(mSeed.c_str());
    std::remove(mPins.c_str());
    rmdir(mDir.c_str());
}

}  // namespace zevo::p2ptest
