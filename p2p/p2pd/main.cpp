// zevo-p2pd: the rendezvous and relay service of the P2P transport. N worker threads, each
// an epoll loop over its own socket on the service's port (SO_REUSEPORT when N > 1) and the
// relay sockets it opened. The devices and sessions are split into shards by DID (4 per
// worker when N > 1), each a Rendezvous behind its own lock: a worker handles whatever
// datagram it reads under the lock of the datagram's shard, so nothing is passed between
// threads and keepalives of different shards never wait for each other.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "p2p/crypto.h"
#include "p2p/init_string.h"
#include "p2p/p2pd/service.h"
#include "p2p/secure/key_files.h"
#include "p2p/udp_socket.h"
#include "platform/command_line.h"

#ifndef ZEVO_VERSION
#define ZEVO_VERSION "0"
#endif

using namespace zevo::p2p;

namespace {

// Lock-free atomics: safe in a signal handler, and read by every worker.
std::atomic<int> gStop{0};
std::atomic<int> gReport{0};
void OnSignal(int) {
    gStop.store(1);
}
void OnReportSignal(int) {
    gReport.store(1);
}

uint64_t NowMs() {
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

// The service's options (names as in the config file), their value and what they do.
struct OptionText {
    const char* name;
    const char* value;  // nullptr for a flag
    const char* help;
};
const OptionText kServiceOptions[] = {
    {"listen", "HOST:PORT", "UDP address to serve (default 127.0.0.1:32100; port 0 picks one)"},
    {"port-file", "PATH", "Write the bound port there once listening"},
    {"key", "KEY", "Service key that device secrets derive from"},
    {"force-relay", nullptr, "Every session goes through the relay"},
    {"signing-key-file", "PATH",
     "Ed25519 seed (64 hex digits, mode 0600) to vouch for device keys with"},
    {"insecure-transport", nullptr,
     "Also register devices without a key (no session security), while migrating"},
    {"no-relay", nullptr, "Offer no relay (sessions without a direct path fail)"},
    {"max-devices", "N", "Registered devices in all (10000)"},
    {"max-devices-per-address", "N", "Registered devices per source IPv4 address (16)"},
    {"max-sessions", "N", "Pending and relayed sessions in all (1024)"},
    {"max-sessions-per-address", "N", "Sessions per viewer IPv4 address (32)"},
    {"max-pending", "N", "Lookups waiting for their device (256)"},
    {"relay-rate", "BYTES", "Relay bytes per second per session, 0 unlimited (167772160)"},
    {"relay-idle-ms", "MS", "Drop a relay after this long without traffic (30000)"},
    {"relay-max-seconds", "S", "Drop a relay after this long, 0 never (0)"},
    {"relay-ports", "FIRST-LAST", "Relay ports only from this range (default: any free port)"},
    {"keepalive-ms", "MS", "Device keepalive interval asked for (2000)"},
    {"device-expiry-ms", "MS", "Forget a device silent this long (8000)"},
    {"join-timeout-ms", "MS", "Answer 'offline' when a device does not join (2500)"},
    {"log-level", "LEVEL", "error, warn, info or debug (info)"},
    {"threads", "N", "Worker threads serving the port, 0 one per CPU (0)"},
};

int gLogLevel = kLogInfo;

// always: written whatever the log level (the load report the operator asked for).
void LogText(int level, const std::string& text, bool always = false) {
    if (level > gLogLevel && !always) return;
    static const char* kNames[] = {"error", "warn", "info", "debug"};
    char stamp[32];
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
    std::fprintf(stderr, "%s zevo-p2pd %s: %s\n", stamp, kNames[level], text.c_str());
}

int LevelOf(const std::string& name) {
    if (name == "error") return kLogError;
    if (name == "warn") return kLogWarn;
    if (name == "debug") return kLogDebug;
    return kLogInfo;
}

bool ReadFile(const std::string& path, std::string* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    *out = text.str();
    return true;
}

class SocketIo : public ServiceIo {
public:
    int mMainFd = -1;
    int mEpoll = -1;
    uint32_t mIp = 0;

    void Send(int relayFd, const Endpoint& to, const uint8_t* data, size_t length) override {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(to.ip);
        a.sin_port = htons(to.port);
        if (relayFd >= 0 || length > kMaxDatagram) {
            (void)::sendto(relayFd >= 0 ? relayFd : mMainFd, data, length, MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&a), sizeof a);
            return;
        }
        // Answers from the main socket leave together, one system call per batch read.
        if (mOutCount == kOutBatch) Flush();
        std::memcpy(mOut[mOutCount], data, length);
        mOutAddr[mOutCount] = a;
        mOutIov[mOutCount] = iovec{mOut[mOutCount], length};
        mmsghdr& m = mOutMsg[mOutCount];
        std::memset(&m, 0, sizeof m);
        m.msg_hdr.msg_iov = &mOutIov[mOutCount];
        m.msg_hdr.msg_iovlen = 1;
        m.msg_hdr.msg_name = &mOutAddr[mOutCount];
        m.msg_hdr.msg_namelen = sizeof mOutAddr[mOutCount];
        ++mOutCount;
    }
    void Flush() {
        for (int sent = 0; sent < mOutCount;) {
            int r = sendmmsg(mMainFd, mOutMsg + sent, unsigned(mOutCount - sent), MSG_DONTWAIT);
            // A full buffer loses datagrams like a network; an address the kernel refuses
            // costs only its own answer.
            sent += r > 0 ? r : 1;
        }
        mOutCount = 0;
    }
    uint16_t mRelayFirst = 0;
    uint16_t mRelayLast = 0;
    uint32_t mRelayCursor = 0;  // where the next search of the range starts

    int OpenRelay(uint16_t* port) override {
        const uint32_t range = mRelayFirst ? uint32_t(mRelayLast - mRelayFirst) + 1 : 1;
        for (uint32_t tried = 0; tried < range; ++tried) {
            const uint16_t wanted =
                mRelayFirst ? uint16_t(mRelayFirst + mRelayCursor++ % range) : 0;
            int fd = BindRelay(wanted, port);
            if (fd >= 0) return fd;
        }
        return -1;
    }
    int BindRelay(uint16_t wanted, uint16_t* port) {
        int fd = OpenUdpSocket(mIp, wanted, 4 * 1024 * 1024, port);
        if (fd < 0) return -1;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = uint64_t(mShard) << 32 | uint32_t(fd);
        if (epoll_ctl(mEpoll, EPOLL_CTL_ADD, fd, &ev) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }
    // A relay socket is closed by the worker that reads it, between its batches: another
    // thread may drop the relay while this one reads the socket, and a closed descriptor's
    // number is handed out again at once.
    void CloseRelay(int fd) override {
        std::lock_guard<std::mutex> lock(mClosingLock);
        mClosing.push_back(fd);
    }
    void CloseDropped() {
        std::vector<int> fds;
        {
            std::lock_guard<std::mutex> lock(mClosingLock);
            if (mClosing.empty()) return;
            fds.swap(mClosing);
        }
        for (int fd : fds) {
            epoll_ctl(mEpoll, EPOLL_CTL_DEL, fd, nullptr);
            ::close(fd);
        }
    }
    ~SocketIo() override { CloseDropped(); }
    void LogLine(int level, const std::string& text) override { LogText(level, text); }

private:
    std::mutex mClosingLock;
    std::vector<int> mClosing;
    static constexpr int kOutBatch = 64;
    uint8_t mOut[kOutBatch][kMaxDatagram];
    iovec mOutIov[kOutBatch];
    sockaddr_in mOutAddr[kOutBatch];
    mmsghdr mOutMsg[kOutBatch];
    int mOutCount = 0;

public:
    const std::vector<int>* mAllMainFds = nullptr;  // every worker's socket on the port
    uint32_t mShard = 0;  // the shard being served: relay sockets opened now are its

    // The drops column of the main sockets' lines in /proc/net/udp (found by their inodes).
    uint64_t KernelDrops() override {
        std::unordered_set<std::string> inodes;
        for (int fd : *mAllMainFds) {
            struct stat s {};
            if (fstat(fd, &s) == 0) inodes.insert(std::to_string(s.st_ino));
        }
        uint64_t drops = 0;
        std::ifstream in("/proc/self/net/udp");
        std::string line;
        std::getline(in, line);  // header
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string field;
            std::vector<std::string> all;
            while (fields >> field) all.push_back(field);
            // sl local remote st queues tr retrnsmt uid timeout inode ref pointer drops
            if (all.size() >= 13 && inodes.count(all[9]))
                drops += std::strtoull(all.back().c_str(), nullptr, 10);
        }
        return drops;
    }
};

constexpr int kBatch = 64;
constexpr size_t kSlot = 65536 + 16;  // any UDP datagram fits; larger ones cannot exist

// Relayed datagrams of one size to one destination leave as one segmentation-offload
// send (UDP_SEGMENT): one pass through the stack instead of one per datagram.
constexpr size_t kMaxSegmentBytes = 60000;
constexpr size_t kMaxSegments = 64;
std::atomic<bool> gSegmentation{true};  // until the kernel refuses it

struct Batch {
    std::vector<uint8_t> storage = std::vector<uint8_t>(size_t(kBatch) * kSlot);
    mmsghdr in[kBatch];
    iovec inIov[kBatch];
    sockaddr_in inAddr[kBatch];
    mmsghdr out[kBatch];
    iovec outIov[kBatch];
    sockaddr_in outAddr[kBatch];
    alignas(cmsghdr) char outControl[kBatch][CMSG_SPACE(sizeof(uint16_t))];

    void Prepare() {
        for (int i = 0; i < kBatch; ++i) {
            inIov[i].iov_base = storage.data() + size_t(i) * kSlot;
            inIov[i].iov_len = kSlot;
            std::memset(&in[i], 0, sizeof in[i]);
            in[i].msg_hdr.msg_iov = &inIov[i];
            in[i].msg_hdr.msg_iovlen = 1;
            in[i].msg_hdr.msg_name = &inAddr[i];
            in[i].msg_hdr.msg_namelen = sizeof inAddr[i];
        }
    }
};

Endpoint FromSockaddr(const sockaddr_in& a) {
    return Endpoint{ntohl(a.sin_addr.s_addr), ntohs(a.sin_port)};
}

struct Worker {
    size_t index = 0;
    SocketIo io;
};

// A share of the devices and their sessions, served by whichever worker holds its lock.
struct Shard {
    std::mutex lock;
    std::unique_ptr<Rendezvous> service;
};

struct Instance {
    explicit Instance(const ServiceConfig& config) : shared(config) {}
    ServiceShared shared;
    std::vector<int> mainFds;
    std::vector<std::unique_ptr<Worker>> workers;
    std::vector<std::unique_ptr<Shard>> shards;  // last: they close relays through the workers
};

// Shards per worker when there are several: more shards than workers, so that two workers
// rarely want the same lock at once.
constexpr size_t kShardsPerWorker = 4;

// The service's port, once per worker. Several share it (SO_REUSEPORT), but a plain bind
// first proves it free: a second service started on a port in use fails as it always did
// instead of joining the first one's sockets.
bool OpenMainSockets(uint32_t ip, uint16_t wanted, size_t count, std::vector<int>* fds,
                     uint16_t* port) {
    constexpr int kBuffer = 4 * 1024 * 1024;
    if (count == 1) {
        int fd = OpenUdpSocket(ip, wanted, kBuffer, port);
        if (fd < 0) return false;
        fds->push_back(fd);
        return true;
    }
    for (int attempt = 0; attempt < 20; ++attempt) {
        uint16_t free = 0;
        int probe = OpenUdpSocket(ip, wanted, 4096, &free);
        if (probe < 0) return false;
        ::close(probe);
        std::vector<int> opened;
        while (opened.size() < count) {
            int fd = OpenUdpSocket(ip, free, kBuffer, nullptr, true);
            if (fd < 0) break;
            opened.push_back(fd);
        }
        if (opened.size() == count) {
            *fds = opened;
            *port = free;
            return true;
        }
        const int error = errno;
        for (int fd : opened) ::close(fd);
        errno = error;
        if (wanted != 0) return false;  // taken between the probe and the bind
    }
    return false;
}

// Serves shard s from this worker until the lock goes: its answers and the relay sockets
// it opens are this worker's.
Rendezvous& Take(Shard& shard, SocketIo& io, size_t s) {
    shard.service->SetIo(&io);
    io.mShard = uint32_t(s);
    return *shard.service;
}

void RunWorker(Instance& instance, Worker& w) {
    const size_t shards = instance.shards.size();
    SocketIo& io = w.io;
    Batch batch;
    epoll_event events[64];
    uint64_t nextSweep = 0;
    while (!gStop.load()) {
        io.CloseDropped();
        int n = epoll_wait(io.mEpoll, events, 64, 100);
        uint64_t now = NowMs();
        for (int i = 0; i < n; ++i) {
            const int fd = int(uint32_t(events[i].data.u64));
            const bool main = fd == io.mMainFd;
            const size_t relayShard = size_t(events[i].data.u64 >> 32);
            // Drain in batches; a relay socket is served until empty or 16 batches, so one
            // busy session cannot starve the others.
            for (int round = 0; round < 16; ++round) {
                batch.Prepare();
                int got = recvmmsg(fd, batch.in, kBatch, MSG_DONTWAIT, nullptr);
                if (got <= 0) break;
                int outCount = 0, segmentCount = 0;
                // A relay socket's batch is its session's shard's, under one lock.
                std::unique_lock<std::mutex> relayLock;
                Rendezvous* relay = nullptr;
                if (!main && relayShard < shards) {
                    relayLock = std::unique_lock<std::mutex>(instance.shards[relayShard]->lock);
                    relay = &Take(*instance.shards[relayShard], io, relayShard);
                }
                for (int k = 0; k < got; ++k) {
                    const uint8_t* data = static_cast<uint8_t*>(batch.inIov[k].iov_base);
                    size_t length = batch.in[k].msg_len;
                    if (batch.in[k].msg_hdr.msg_flags & MSG_TRUNC) continue;
                    Endpoint from = FromSockaddr(batch.inAddr[k]);
                    if (main) {
                        // Its DID's or session's shard; anything else this worker's first.
                        size_t s = DatagramShard(data, length, shards);
                        if (s >= shards) s = w.index % shards;
                        std::lock_guard<std::mutex> lock(instance.shards[s]->lock);
                        Take(*instance.shards[s], io, s).OnDatagram(data, length, from, now);
                        continue;
                    }
                    Endpoint to;
                    if (relay == nullptr ||
                        !relay->OnRelayDatagram(fd, data, length, from, now, &to))
                        continue;
                    sockaddr_in dst{};
                    dst.sin_family = AF_INET;
                    dst.sin_addr.s_addr = htonl(to.ip);
                    dst.sin_port = htons(to.port);
                    batch.outIov[segmentCount].iov_base = const_cast<uint8_t*>(data);
                    batch.outIov[segmentCount].iov_len = length;
                    // Join the previous send when it goes to the same place in datagrams of
                    // this size (only its last may be shorter).
                    if (outCount > 0 && gSegmentation) {
                        mmsghdr& last = batch.out[outCount - 1];
                        const sockaddr_in& lastDst = batch.outAddr[outCount - 1];
                        const iovec* first = last.msg_hdr.msg_iov;
                        size_t joined = last.msg_hdr.msg_iovlen;
                        if (lastDst.sin_addr.s_addr == dst.sin_addr.s_addr &&
                            lastDst.sin_port == dst.sin_port && length <= first->iov_len &&
                            first[joined - 1].iov_len == first->iov_len && joined < kMaxSegments &&
                            (joined + 1) * first->iov_len <= kMaxSegmentBytes) {
                            ++last.msg_hdr.msg_iovlen;
                            ++segmentCount;
                            continue;
                        }
                    }
                    batch.outAddr[outCount] = dst;
                    mmsghdr& m = batch.out[outCount];
                    std::memset(&m, 0, sizeof m);
                    m.msg_hdr.msg_iov = &batch.outIov[segmentCount];
                    m.msg_hdr.msg_iovlen = 1;
                    m.msg_hdr.msg_name = &batch.outAddr[outCount];
                    m.msg_hdr.msg_namelen = sizeof dst;
                    ++outCount;
                    ++segmentCount;
                }
                if (relayLock.owns_lock()) relayLock.unlock();
                for (int o = 0; o < outCount; ++o) {
                    msghdr& h = batch.out[o].msg_hdr;
                    if (h.msg_iovlen < 2) continue;
                    h.msg_control = batch.outControl[o];
                    h.msg_controllen = sizeof batch.outControl[o];
                    cmsghdr* c = CMSG_FIRSTHDR(&h);
                    c->cmsg_level = SOL_UDP;
                    c->cmsg_type = UDP_SEGMENT;
                    c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
                    uint16_t segment = uint16_t(h.msg_iov->iov_len);
                    std::memcpy(CMSG_DATA(c), &segment, sizeof segment);
                }
                for (int sent = 0; sent < outCount;) {
                    int r = sendmmsg(fd, batch.out + sent, unsigned(outCount - sent), MSG_DONTWAIT);
                    if (r > 0) {
                        sent += r;
                        continue;
                    }
                    msghdr& h = batch.out[sent].msg_hdr;
                    if (h.msg_iovlen < 2)
                        break;  // a full send buffer loses datagrams like a network
                    // Refused as a whole: one by one. Above the route's mtu (EMSGSIZE) the
                    // kernel fragments single datagrams; no offload at all stops trying.
                    if (errno == EIO || errno == ENOPROTOOPT || errno == EOPNOTSUPP) {
                        const int error = errno;
                        if (gSegmentation.exchange(false))
                            LogText(kLogWarn, std::string("relay: no UDP segmentation offload: ") +
                                                  std::strerror(error));
                    }
                    for (size_t k = 0; k < h.msg_iovlen; ++k)
                        (void)::sendto(fd, h.msg_iov[k].iov_base, h.msg_iov[k].iov_len,
                                       MSG_DONTWAIT, static_cast<sockaddr*>(h.msg_name),
                                       h.msg_namelen);
                    ++sent;
                }
                io.Flush();
                if (got < kBatch) break;
            }
        }
        if (now >= nextSweep) {
            // Each worker sweeps its own share of the shards.
            for (size_t k = w.index; k < shards; k += instance.workers.size()) {
                std::lock_guard<std::mutex> lock(instance.shards[k]->lock);
                Take(*instance.shards[k], io, k).Sweep(now);
            }
            io.Flush();
            nextSweep = now + 100;
        }
        if (w.index == 0 && gReport.exchange(0)) {
            uint64_t stats[kStatCount];
            instance.shared.Snapshot(stats, io.KernelDrops());
            LogText(kLogInfo, "load: " + FormatLoad(stats, kStatCount), true);
        }
    }
}

int Serve(const ServiceConfig& config) {
    std::vector<Endpoint> listen;
    if (!ParseEndpointList(config.listen, &listen, 1)) {
        LogText(kLogError, "bad --listen address '" + config.listen + "'");
        return 2;
    }
    size_t threads = config.threads;
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    threads = std::min(threads, kMaxThreads);
    Instance instance(config);
    uint16_t port = 0;
    if (!OpenMainSockets(listen[0].ip, listen[0].port, threads, &instance.mainFds, &port)) {
        LogText(kLogError, "cannot bind " + config.listen + ": " + std::strerror(errno));
        return 1;
    }
    const uint64_t cookieSeed = RandomU64();  // one for all: any shard checks a challenge
    const uint32_t relayRange =
        config.relayPortFirst ? uint32_t(config.relayPortLast - config.relayPortFirst) + 1 : 1;
    for (size_t k = 0; k < threads; ++k) {
        auto w = std::make_unique<Worker>();
        w->index = k;
        w->io.mMainFd = instance.mainFds[k];
        w->io.mAllMainFds = &instance.mainFds;
        w->io.mIp = listen[0].ip;
        w->io.mRelayFirst = config.relayPortFirst;
        w->io.mRelayLast = config.relayPortLast;
        // Workers search the relay range from different places.
        w->io.mRelayCursor = uint32_t(k * relayRange / threads);
        w->io.mEpoll = epoll_create1(EPOLL_CLOEXEC);
        if (w->io.mEpoll < 0) {
            LogText(kLogError, std::string("cannot start a worker: ") + std::strerror(errno));
            return 1;
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = uint32_t(w->io.mMainFd);
        epoll_ctl(w->io.mEpoll, EPOLL_CTL_ADD, w->io.mMainFd, &ev);
        instance.workers.push_back(std::move(w));
    }
    const size_t shards = threads == 1 ? 1 : threads * kShardsPerWorker;
    for (size_t k = 0; k < shards; ++k) {
        auto shard = std::make_unique<Shard>();
        shard->service = std::make_unique<Rendezvous>(
            config, &instance.workers[k % threads]->io, cookieSeed, &instance.shared, k);
        instance.shards.push_back(std::move(shard));
    }
    LogText(kLogInfo, "listening on " + FormatEndpoint(Endpoint{listen[0].ip, port}) +
                          (config.forceRelay ? " (relay forced)" : "") +
                          (config.noRelay ? " (no relay)" : "") + ", " + std::to_string(threads) +
                          (threads == 1 ? " thread" : " threads"));
    if (!config.portFile.empty()) {
        std::string tmp = config.portFile + ".tmp";
        std::ofstream out(tmp);
        out << port << "\n";
        out.close();
        if (!out || std::rename(tmp.c_str(), config.portFile.c_str()) != 0) {
            LogText(kLogError, "cannot write port file " + config.portFile);
            return 1;
        }
    }
    std::printf("%u\n", port);
    std::fflush(stdout);

    std::vector<std::thread> others;
    for (size_t k = 1; k < threads; ++k)
        others.emplace_back(RunWorker, std::ref(instance), std::ref(*instance.workers[k]));
    RunWorker(instance, *instance.workers[0]);
    for (std::thread& t : others) t.join();
    LogText(kLogInfo, "stopping");
    return 0;
}

// The service's signing key from the seed file the configuration names; says why not.
bool LoadSigner(ServiceConfig& config, secure::ServiceSigningKey* signer) {
    std::string why;
    if (!secure::LoadServiceSeedFile(config.signingKeyFile, config.signingSeed, &why)) {
        std::fprintf(stderr, "zevo-p2pd: signing key %s\n", why.c_str());
        return false;
    }
    signer->FromSeed(config.signingSeed);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    ServiceConfig config;
    std::string keyFile, configFile, deviceSecretDid, initList, newSigningKey;
    bool wantSecret = false, wantInit = false, wantServiceKey = false;
    std::vector<std::pair<std::string, std::string>> options;
    CLI::App app{"Rendezvous and relay service of the ZEVO2 P2P transport.", "zevo-p2pd"};
    zevo::StandardFlags(app, "zevo-p2pd", ZEVO_VERSION);
    app.add_option("--config", configFile, "Read 'key = value' lines with the options below")
        ->type_name("PATH");
    app.add_option("--key-file", keyFile,
                   "Read the service key from a file (trailing newline dropped)")
        ->type_name("PATH");
    // Checked by the service's own option reader, the same one the config file goes
    // through; the command line is applied after the file, so it wins.
    for (const OptionText& o : kServiceOptions) {
        const std::string name = o.name;
        if (o.value) {
            app.add_option_function<std::string>(
                   "--" + name,
                   [&options, name](const std::string& v) { options.emplace_back(name, v); },
                   o.help)
                ->type_name(o.value);
        } else {
            app.add_flag_function(
                "--" + name,
                [&options, name](std::int64_t count) {
                    options.emplace_back(name, count > 0 ? "true" : "false");
                },
                o.help);
        }
    }
    app.add_option("--device-secret", deviceSecretDid,
                   "Print the secret of a device under the key and exit")
        ->type_name("DID");
    app.add_option("--init-string", initList, "Print the library's initialisation string")
        ->type_name("HOST:PORT[,HOST:PORT...]");
    app.add_flag("--print-service-key", wantServiceKey,
                 "Print the line viewers pin for --signing-key-file (for their service-keys "
                 "file) and exit");
    app.add_option("--new-signing-key", newSigningKey,
                   "Create a signing seed file (mode 0600, never overwritten), print the line "
                   "viewers pin and exit")
        ->type_name("PATH");
    if (auto code = zevo::ParseCommandLine(app, "zevo-p2pd", argc, argv)) return *code;
    if (!newSigningKey.empty()) {
        secure::ServicePublicKey created;
        std::string why;
        if (!secure::CreateServiceSeedFile(newSigningKey, &created, &why)) {
            std::fprintf(stderr, "zevo-p2pd: signing key %s\n", why.c_str());
            return 1;
        }
        std::printf("%s", secure::FormatPinnedKey(created).c_str());
        return 0;
    }
    wantSecret = app.count("--device-secret") > 0;
    wantInit = app.count("--init-string") > 0;
    std::string error;
    if (!configFile.empty()) {
        std::string text;
        if (!ReadFile(configFile, &text)) {
            std::fprintf(stderr, "zevo-p2pd: cannot read %s\n", configFile.c_str());
            return 1;
        }
        if (!ParseConfigText(text, &config, &error)) {
            std::fprintf(stderr, "zevo-p2pd: %s: %s\n", configFile.c_str(), error.c_str());
            return 2;
        }
    }
    // The command line wins over the file.
    for (auto& [name, value] : options) {
        if (!ApplyOption(name, value, &config, &error)) {
            std::fprintf(stderr, "zevo-p2pd: %s\n", error.c_str());
            return 2;
        }
    }
    if (!keyFile.empty()) {
        if (!ReadFile(keyFile, &config.key)) {
            std::fprintf(stderr, "zevo-p2pd: cannot read key file %s\n", keyFile.c_str());
            return 1;
        }
        while (!config.key.empty() && (config.key.back() == '\n' || config.key.back() == '\r'))
            config.key.pop_back();
    }
    gLogLevel = LevelOf(config.logLevel);

    if (wantServiceKey) {
        if (config.signingKeyFile.empty()) {
            std::fprintf(stderr, "zevo-p2pd: --print-service-key needs --signing-key-file\n");
            return 2;
        }
        secure::ServiceSigningKey signer;
        if (!LoadSigner(config, &signer)) return 1;
        std::printf("%s", secure::FormatPinnedKey(signer.publicKey()).c_str());
        return 0;
    }
    if (wantInit) {
        std::vector<Endpoint> endpoints;
        std::string text;
        // With a signing key the string also carries its public half (version 2), so a
        // viewer given the string trusts the devices this deployment vouches for.
        secure::ServiceSigningKey signer;
        bool vouching = !config.signingKeyFile.empty();
        if (vouching && !LoadSigner(config, &signer)) return 1;
        if (!ParseEndpointList(initList, &endpoints, kInitStringMaxEndpoints) ||
            (text = EncodeInitString(endpoints, vouching ? signer.publicKey().key : nullptr))
                .empty()) {
            std::fprintf(stderr, "zevo-p2pd: --init-string needs 1 to %zu HOST:PORT items\n",
                         kInitStringMaxEndpoints);
            return 2;
        }
        std::printf("%s\n", text.c_str());
        return 0;
    }
    if (config.key.empty()) {
        if (wantSecret) {
            std::fprintf(stderr, "zevo-p2pd: --device-secret needs --key or --key-file\n");
            return 2;
        }
        // Without a key nothing issued earlier stays valid; fine for a throwaway demo only.
        uint64_t a = RandomU64(), b = RandomU64();
        config.key =
            ToHex(reinterpret_cast<uint8_t*>(&a), 8) + ToHex(reinterpret_cast<uint8_t*>(&b), 8);
        LogText(kLogWarn,
                "no --key given: using a random key, device secrets will not survive a restart");
    }
    if (wantSecret) {
        if (!IsValidDid(deviceSecretDid.c_str())) {
            std::fprintf(stderr, "zevo-p2pd: '%s' is not a valid DID\n", deviceSecretDid.c_str());
            return 2;
        }
        std::printf("%s\n", DeviceSecretHex(config.key, deviceSecretDid.c_str()).c_str());
        return 0;
    }
    if (config.forceRelay && config.noRelay) {
        std::fprintf(stderr, "zevo-p2pd: --force-relay and --no-relay exclude each other\n");
        return 2;
    }
    if (!config.signingKeyFile.empty()) {
        secure::ServiceSigningKey signer;
        if (!LoadSigner(config, &signer)) return 1;
        config.hasSigningSeed = true;
        std::string line = secure::FormatPinnedKey(signer.publicKey());
        line.pop_back();
        LogText(kLogInfo, "vouching for device keys; viewers pin " + line);
    } else if (config.insecureTransport) {
        LogText(kLogWarn,
                "no --signing-key-file: devices get no certificate, sessions run unsealed, and "
                "viewers that trust service keys refuse them");
    } else {
        // A service that vouches for nothing leaves every viewer to refuse every device.
        std::fprintf(stderr,
                     "zevo-p2pd: no signing key: give --signing-key-file (make one with "
                     "--new-signing-key PATH), or --insecure-transport to run unsealed\n");
        return 2;
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    struct sigaction report {};
    report.sa_handler = OnReportSignal;
    sigaction(SIGUSR1, &report, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return Serve(config);
}
