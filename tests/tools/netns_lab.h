#pragma once
// Network namespaces for fault and address-translation tests: a few namespaces joined
// by veth pairs, with addresses that exist only inside them. Everything the lab creates
// is named after the process and removed by the destructor.
#include <sys/types.h>

#include <string>
#include <vector>

namespace zevo::testing {

// Why namespaces cannot be used here, or an empty string when they can.
std::string NetnsUnavailableReason();
// Why address translation (nft masquerade) cannot be used here, or "".
std::string NatUnavailableReason();

class NetnsLab {
public:
    NetnsLab();
    ~NetnsLab();
    NetnsLab(const NetnsLab&) = delete;
    NetnsLab& operator=(const NetnsLab&) = delete;

    // Short names are the caller's; the system name carries a per-process prefix.
    bool AddNamespace(const std::string& ns);
    std::string SystemName(const std::string& ns) const;
    // A veth pair between two namespaces, each end given an address with its prefix
    // length ("198.51.100.1/30") and brought up. Returns the two interface names.
    bool Link(const std::string& nsA, const std::string& addrA, const std::string& nsB,
              const std::string& addrB, std::string* ifA = nullptr, std::string* ifB = nullptr);
    // Runs a shell command inside a namespace; true when it exits 0.
    bool Exec(const std::string& ns, const std::string& command);
    // Moves the calling thread into a namespace; sockets and threads it creates later
    // live there.
    bool Enter(const std::string& ns);

    // Starts a program inside a namespace with extra environment ("NAME=value"), its
    // standard output to outFd (or /dev/null when -1). Returns the pid or -1.
    pid_t Spawn(const std::string& ns, const std::vector<std::string>& argv,
                const std::vector<std::string>& env = {}, int outFd = -1);
    // SIGTERM, then SIGKILL after 5 s; reaps it. Only for pids Spawn returned.
    void Stop(pid_t* pid);

private:
    std::string mPrefix;
    std::vector<std::string> mNamespaces;
    std::vector<pid_t> mChildren;
    int mLinks = 0;
};

}  // namespace zevo::testing
