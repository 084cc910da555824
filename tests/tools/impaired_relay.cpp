#include "tests/tools/impaired_relay.h"

#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "tests/p2p/harness.h"

namespace zevo::testing {

namespace {

constexpr char kServiceIp[] = "198.51.100.1";
constexpr char kPeersIp[] = "198.51.100.2";

void Add(zevo::tools::DirectionStats& sum, const zevo::tools::DirectionStats& s) {
    sum.received += s.received;
    sum.forwarded += s.forwarded;
    sum.lost += s.lost;
    sum.overflow += s.overflow;
    sum.sendFailed += s.sendFailed;
    sum.delayed += s.delayed;
    sum.reordered += s.reordered;
    sum.bytes += s.bytes;
}

}  // namespace

std::string ReadLine(int fd, int timeoutMs) {
    std::string line;
    char c;
    pollfd p{fd, POLLIN, 0};
    while (line.find('\n') == std::string::npos && poll(&p, 1, timeoutMs) > 0 &&
           read(fd, &c, 1) == 1)
        line += c;
    return line;
}

pid_t StartService(NetnsLab& lab, const std::string& ns, const std::string& listen,
                   const std::vector<std::string>& extra) {
    char dir[] = "/tmp/zevo-netfault-XXXXXX";
    if (mkdtemp(dir) == nullptr) return -1;
    std::string portFile = std::string(dir) + "/port";
    std::vector<std::string> args = {ZEVO_P2PD_PATH,          "--listen",    listen,
                                     "--port-file",           portFile,      "--key",
                                     zevo::p2ptest::kTestKey, "--log-level", "error"};
    args.insert(args.end(), extra.begin(), extra.end());
    pid_t pid = lab.Spawn(ns, args);
    bool up = false;
    for (int i = 0; i < 1000 && pid > 0 && !up; ++i) {
        std::ifstream in(portFile);
        unsigned port = 0;
        up = static_cast<bool>(in >> port) && port > 0;
        if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    unlink(portFile.c_str());
    rmdir(dir);
    if (!up) lab.Stop(&pid);
    return pid;
}

ImpairedRelay::~ImpairedRelay() {
    mLab.Stop(&mDevice);
    mLab.Stop(&mService);
    for (auto& proxy : mProxies) proxy->Stop();
}

std::string ImpairedRelay::Start(const zevo::tools::Impairment& toRelay,
                                 const zevo::tools::Impairment& fromRelay, uint64_t seed) {
    std::string reason = NetnsUnavailableReason();
    if (!reason.empty()) return reason;
    if (!mLab.AddNamespace("svc") || !mLab.AddNamespace("peers") ||
        !mLab.Link("svc", std::string(kServiceIp) + "/30", "peers", std::string(kPeersIp) + "/30"))
        return "could not build the namespaces";
    std::string range =
        std::to_string(kRelayFirstPort) + " " + std::to_string(kRelayFirstPort + kRelayPorts - 1);
    if (!mLab.Exec("svc", "sysctl -qw net.ipv4.ip_local_port_range=\"" + range + "\"") ||
        !mLab.Exec("peers", "sysctl -qw net.ipv4.ip_local_port_range=\"50000 60999\""))
        return "could not set the ephemeral port ranges";
    if (!mLab.Enter("peers")) return "could not enter the peers namespace";

    auto addProxy = [&](uint16_t port, bool impaired) {
        zevo::tools::UdpProxyConfig c;
        c.listen = "127.0.0.1:" + std::to_string(port);
        c.upstream = std::string(kServiceIp) + ":" + std::to_string(port);
        if (impaired) {
            c.toUpstream = toRelay;
            c.toClient = fromRelay;
        }
        c.seed = seed + port;
        mProxies.push_back(std::make_unique<zevo::tools::UdpProxy>(c));
        return mProxies.back()->Start() == 0;
    };
    // The rendezvous goes unimpaired: the faults are the media path's.
    if (!addProxy(kServicePort, false)) return "could not start the rendezvous proxy";
    for (uint16_t i = 0; i < kRelayPorts; ++i)
        if (!addProxy(static_cast<uint16_t>(kRelayFirstPort + i), true))
            return "could not start a relay proxy";

    std::string listen = std::string(kServiceIp) + ":" + std::to_string(kServicePort);
    mService = StartService(mLab, "svc", listen,
                            {"--force-relay", "--relay-rate", "0", "--insecure-transport"});
    if (mService < 0) return "could not start zevo-p2pd";

    int pipeFds[2];
    if (pipe(pipeFds) != 0) return "pipe failed";
    // The device reaches the service directly.
    mDevice = mLab.Spawn("peers",
                         {P2P_TEST_DEVICE_PATH, InitString(), mDid, zevo::p2ptest::SecretFor(mDid)},
                         {"ZEVO_P2P_SERVER=" + listen}, pipeFds[1]);
    close(pipeFds[1]);
    // The device retries its registration until the service is up.
    std::string line = ReadLine(pipeFds[0], 15000);
    close(pipeFds[0]);
    int result = -1000;
    if (std::sscanf(line.c_str(), "started %d", &result) != 1 || result != 0)
        return "the device did not register: '" + line + "'";
    return "";
}

std::string ImpairedRelay::ViewerServer() const {
    return "127.0.0.1:" + std::to_string(kServicePort);
}

std::string ImpairedRelay::DirectServer() const {
    return std::string(kServiceIp) + ":" + std::to_string(kServicePort);
}

std::string ImpairedRelay::InitString() const {
    return zevo::p2ptest::InitStringFor(kServicePort);
}

zevo::tools::UdpProxyStats ImpairedRelay::RelayStats() const {
    zevo::tools::UdpProxyStats sum;
    for (size_t i = 1; i < mProxies.size(); ++i) {
        zevo::tools::UdpProxyStats s = mProxies[i]->Stats();
        Add(sum.toUpstream, s.toUpstream);
        Add(sum.toClient, s.toClient);
        sum.clients += s.clients;
    }
    return sum;
}

}  // namespace zevo::testing
