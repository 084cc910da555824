#include "tests/tools/netns_lab.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace zevo::testing {

namespace {

bool Shell(const std::string& command) {
    std::string quiet = command + " >/dev/null 2>&1";
    return std::system(quiet.c_str()) == 0;
}

}  // namespace

std::string NetnsUnavailableReason() {
    if (geteuid() != 0) return "network namespaces need root";
    if (!Shell("command -v ip")) return "the ip command (iproute2) is not installed";
    std::string probe = "zvprobe" + std::to_string(getpid());
    if (!Shell("ip netns add " + probe)) return "ip netns add is refused here";
    bool veth = Shell("ip -n " + probe + " link add zva type veth peer name zvb");
    Shell("ip netns del " + probe);
    if (!veth) return "veth pairs cannot be created here";
    return "";
}

std::string NatUnavailableReason() {
    std::string reason = NetnsUnavailableReason();
    if (!reason.empty()) return reason;
    if (!Shell("command -v nft")) return "nft (package nftables) is not installed";
    std::string probe = "zvprobe" + std::to_string(getpid());
    if (!Shell("ip netns add " + probe)) return "ip netns add is refused here";
    bool nat = Shell("ip netns exec " + probe +
                     " nft 'add table ip t; add chain ip t c { type nat hook postrouting priority "
                     "srcnat; }; add rule ip t c masquerade'");
    Shell("ip netns del " + probe);
    if (!nat) return "nft masquerade is not supported by this kernel";
    return "";
}

NetnsLab::NetnsLab() : mPrefix("zvnf" + std::to_string(getpid()) + "-") {}

NetnsLab::~NetnsLab() {
    while (!mChildren.empty()) {
        pid_t p = mChildren.back();
        Stop(&p);
    }
    // Deleting a namespace removes the veth ends inside it, and with them their peers.
    for (const std::string& ns : mNamespaces) Shell("ip netns del " + ns);
}

std::string NetnsLab::SystemName(const std::string& ns) const {
    return mPrefix + ns;
}

bool NetnsLab::AddNamespace(const std::string& ns) {
    std::string name = SystemName(ns);
    if (!Shell("ip netns add " + name)) return false;
    mNamespaces.push_back(name);
    return Shell("ip -n " + name + " link set dev lo up");
}

bool NetnsLab::Link(const std::string& nsA, const std::string& addrA, const std::string& nsB,
                    const std::string& addrB, std::string* ifA, std::string* ifB) {
    // Created inside the first namespace so no name ever appears in the host's.
    int index = mLinks++;
    std::string a = "zv" + std::to_string(index) + "a";
    std::string b = "zv" + std::to_string(index) + "b";
    std::string na = SystemName(nsA);
    std::string nb = SystemName(nsB);
    bool ok =
        Shell("ip -n " + na + " link add " + a + " type veth peer name " + b + " netns " + nb) &&
        Shell("ip -n " + na + " addr add " + addrA + " dev " + a) &&
        Shell("ip -n " + nb + " addr add " + addrB + " dev " + b) &&
        Shell("ip -n " + na + " link set dev " + a + " up") &&
        Shell("ip -n " + nb + " link set dev " + b + " up");
    if (ifA) *ifA = a;
    if (ifB) *ifB = b;
    return ok;
}

bool NetnsLab::Exec(const std::string& ns, const std::string& command) {
    std::string quoted;
    for (char c : command) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return Shell("ip netns exec " + SystemName(ns) + " sh -c '" + quoted + "'");
}

bool NetnsLab::Enter(const std::string& ns) {
    std::string path = "/var/run/netns/" + SystemName(ns);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = setns(fd, CLONE_NEWNET) == 0;
    close(fd);
    return ok;
}

pid_t NetnsLab::Spawn(const std::string& ns, const std::vector<std::string>& argv,
                      const std::vector<std::string>& env, int outFd) {
    std::string path = "/var/run/netns/" + SystemName(ns);
    pid_t pid = fork();
    if (pid != 0) {
        if (pid > 0) mChildren.push_back(pid);
        return pid;
    }
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) _exit(126);
    if (outFd < 0) outFd = open("/dev/null", O_WRONLY);
    dup2(outFd, 1);
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

void NetnsLab::Stop(pid_t* pid) {
    auto it = std::find(mChildren.begin(), mChildren.end(), *pid);
    if (*pid <= 0 || it == mChildren.end()) return;
    mChildren.erase(it);
    kill(*pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 500; ++i) {
        pid_t r = waitpid(*pid, &status, WNOHANG);
        if (r == *pid || r < 0) {
            *pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(*pid, SIGKILL);
    waitpid(*pid, &status, 0);
    *pid = -1;
}

}  // namespace zevo::testing
