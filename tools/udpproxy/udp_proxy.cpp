#include "tools/udpproxy/udp_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <queue>
#include <random>
#include <unordered_map>
#include <vector>

namespace zevo::tools {

namespace {

constexpr size_t kMaxDatagram = 65536;
// Reads per socket per wake-up, so a flood on one side cannot starve due sends, and
// what is passed on leaves in bursts small enough for a receiver's default buffer.
constexpr int kReadBurst = 64;
// epoll tags below this are the proxy's own descriptors; clients are numbered above.
constexpr uint64_t kTagListen = 1;
constexpr uint64_t kTagWake = 2;
constexpr uint64_t kTagTimer = 3;
constexpr uint64_t kFirstClientId = 16;
// Bookkeeping charged against the queue bound besides the payload itself.
constexpr size_t kItemOverhead = 64;

enum Direction : uint8_t { kUp = 0, kDown = 1 };

uint64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

constexpr uint64_t MsToNs(uint64_t ms) {
    return ms * 1000000u;
}

std::string AddressKey(const sockaddr_storage& addr, socklen_t len) {
    return std::string(reinterpret_cast<const char*>(&addr), len);
}

void SetBuffers(int fd, int bytes) {
    if (bytes <= 0) return;
    // The FORCE variants pass the system ceiling when running as root; otherwise the
    // plain ones give what the ceiling allows.
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &bytes, sizeof bytes) != 0)
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

struct AtomicDirectionStats {
    std::atomic<uint64_t> received{0}, forwarded{0}, lost{0}, overflow{0}, sendFailed{0},
        delayed{0}, reordered{0}, bytes{0};

    DirectionStats Load() const {
        DirectionStats s;
        s.received = received.load(std::memory_order_relaxed);
        s.forwarded = forwarded.load(std::memory_order_relaxed);
        s.lost = lost.load(std::memory_order_relaxed);
        s.overflow = overflow.load(std::memory_order_relaxed);
        s.sendFailed = sendFailed.load(std::memory_order_relaxed);
        s.delayed = delayed.load(std::memory_order_relaxed);
        s.reordered = reordered.load(std::memory_order_relaxed);
        s.bytes = bytes.load(std::memory_order_relaxed);
        return s;
    }
};

void Bump(std::atomic<uint64_t>& counter, uint64_t by = 1) {
    counter.fetch_add(by, std::memory_order_relaxed);
}

}  // namespace

int ParseEndpoint(const std::string& text, sockaddr_storage* addr, socklen_t* len) {
    std::string host;
    std::string port;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return -1;
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        size_t colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon) return -1;
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (host.empty() || port.empty() || port.size() > 5) return -1;
    unsigned long value = 0;
    for (char c : port) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    if (value > 65535) return -1;

    std::memset(addr, 0, sizeof *addr);
    auto* v4 = reinterpret_cast<sockaddr_in*>(addr);
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(value));
        *len = sizeof(sockaddr_in);
        return 0;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(addr);
    if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(value));
        *len = sizeof(sockaddr_in6);
        return 0;
    }
    return -1;
}

std::string FormatEndpoint(const sockaddr_storage& addr) {
    char host[INET6_ADDRSTRLEN] = {};
    if (addr.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&addr);
        inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
        return std::string(host) + ":" + std::to_string(ntohs(v4->sin_port));
    }
    if (addr.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&addr);
        inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
        return "[" + std::string(host) + "]:" + std::to_string(ntohs(v6->sin6_port));
    }
    return "?";
}

struct UdpProxy::Impl {
    struct Client {
        sockaddr_storage addr{};
        socklen_t addrLen = 0;
        int fd = -1;  // connected to the upstream
        uint64_t lastActiveNs = 0;
        uint64_t lastDueNs[2] = {0, 0};  // keeps each flow in order unless reordered
    };

    struct Pending {
        uint64_t dueNs;
        uint64_t seq;
        uint64_t clientId;
        Direction dir;
        bool delayed;
        std::vector<uint8_t> data;
    };
    struct Later {
        bool operator()(const Pending& a, const Pending& b) const {
            return a.dueNs != b.dueNs ? a.dueNs > b.dueNs : a.seq > b.seq;
        }
    };

    UdpProxyConfig config;
    sockaddr_storage upstream{};
    socklen_t upstreamLen = 0;
    int listenFd = -1;
    int epollFd = -1;
    int wakeFd = -1;
    int timerFd = -1;
    uint16_t listenPort = 0;
    std::string listenAddress;

    std::atomic<bool> stopRequested{false};
    std::atomic<bool> outage{false};
    std::mt19937_64 rng[2];
    uint64_t linkFreeNs[2] = {0, 0};
    uint64_t nextSeq = 0;
    uint64_t nextClientId = kFirstClientId;
    size_t queuedBytes = 0;
    std::priority_queue<Pending, std::vector<Pending>, Later> queue;
    std::unordered_map<std::string, uint64_t> clientByAddress;
    std::unordered_map<uint64_t, Client> clients;
    std::vector<uint8_t> buffer = std::vector<uint8_t>(kMaxDatagram);

    AtomicDirectionStats stats[2];
    std::atomic<uint64_t> clientsOpened{0}, clientsRejected{0}, queuedBytesPeak{0};

    explicit Impl(UdpProxyConfig c) : config(std::move(c)) {
        // Separate streams per direction: one side's traffic never shifts the other's
        // decisions, so a run repeats given the same arrivals.
        rng[kUp].seed(config.seed);
        rng[kDown].seed(config.seed ^ 0x9e3779b97f4a7c15ull);
    }

    ~Impl() {
        for (auto& [id, client] : clients) close(client.fd);
        for (int fd : {listenFd, epollFd, wakeFd, timerFd})
            if (fd >= 0) close(fd);
    }

    const Impairment& ImpairmentOf(Direction dir) const {
        return dir == kUp ? config.toUpstream : config.toClient;
    }

    double Uniform(Direction dir) { return static_cast<double>(rng[dir]() >> 11) * 0x1.0p-53; }

    int Open() {
        if (listenFd >= 0) return 0;
        sockaddr_storage local{};
        socklen_t localLen = 0;
        if (ParseEndpoint(config.listen, &local, &localLen) != 0) return -EINVAL;
        if (ParseEndpoint(config.upstream, &upstream, &upstreamLen) != 0) return -EINVAL;
        if (config.maxClients == 0) return -EINVAL;

        listenFd = socket(local.ss_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (listenFd < 0) return -errno;
        SetBuffers(listenFd, config.socketBufferBytes);
        if (bind(listenFd, reinterpret_cast<sockaddr*>(&local), localLen) != 0) return -errno;
        socklen_t boundLen = sizeof local;
        getsockname(listenFd, reinterpret_cast<sockaddr*>(&local), &boundLen);
        listenAddress = FormatEndpoint(local);
        listenPort =
            ntohs(local.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&local)->sin_port
                                             : reinterpret_cast<sockaddr_in6*>(&local)->sin6_port);

        epollFd = epoll_create1(EPOLL_CLOEXEC);
        wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
        if (epollFd < 0 || wakeFd < 0 || timerFd < 0) return -errno;
        if (Watch(listenFd, kTagListen) != 0 || Watch(wakeFd, kTagWake) != 0 ||
            Watch(timerFd, kTagTimer) != 0)
            return -errno;
        return 0;
    }

    int Watch(int fd, uint64_t tag) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = tag;
        return epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev);
    }

    void RequestStop() {
        stopRequested.store(true);
        uint64_t one = 1;
        if (wakeFd >= 0) {
            ssize_t ignored = write(wakeFd, &one, sizeof one);
            (void)ignored;
        }
    }

    int Run() {
        if (listenFd < 0) return -EBADF;
        epoll_event events[64];
        while (!stopRequested.load()) {
            int n = epoll_wait(epollFd, events, 64, -1);
            if (n < 0) {
                if (errno == EINTR) continue;
                return -errno;
            }
            for (int i = 0; i < n; ++i) {
                uint64_t tag = events[i].data.u64;
                if (tag == kTagListen) {
                    ReadClients();
                } else if (tag == kTagWake || tag == kTagTimer) {
                    uint64_t count;
                    ssize_t ignored =
                        read(tag == kTagWake ? wakeFd : timerFd, &count, sizeof count);
                    (void)ignored;
                } else {
                    ReadUpstream(tag);
                }
            }
            SendDue(NowNs());
            ArmTimer();
        }
        return 0;
    }

    void ReadClients() {
        for (int i = 0; i < kReadBurst; ++i) {
            sockaddr_storage from{};
            socklen_t fromLen = sizeof from;
            ssize_t got = recvfrom(listenFd, buffer.data(), buffer.size(), 0,
                                   reinterpret_cast<sockaddr*>(&from), &fromLen);
            if (got < 0) {
                if (errno == EINTR) continue;
                return;  // EAGAIN, or an ICMP error left by an earlier send to a client
            }
            uint64_t now = NowNs();
            uint64_t id = FindOrOpenClient(from, fromLen, now);
            if (id == 0) {
                Bump(clientsRejected);
                continue;
            }
            Enqueue(kUp, id, static_cast<size_t>(got), now);
        }
    }

    void ReadUpstream(uint64_t id) {
        auto it = clients.find(id);
        if (it == clients.end()) return;
        for (int i = 0; i < kReadBurst; ++i) {
            ssize_t got = recv(it->second.fd, buffer.data(), buffer.size(), 0);
            if (got < 0) {
                if (errno == EINTR) continue;
                return;  // EAGAIN, or ECONNREFUSED while the upstream is not listening
            }
            uint64_t now = NowNs();
            it->second.lastActiveNs = now;
            Enqueue(kDown, id, static_cast<size_t>(got), now);
        }
    }

    // Returns the client's id, or 0 when every slot is busy.
    uint64_t FindOrOpenClient(const sockaddr_storage& from, socklen_t fromLen, uint64_t now) {
        std::string key = AddressKey(from, fromLen);
        auto found = clientByAddress.find(key);
        if (found != clientByAddress.end()) {
            clients[found->second].lastActiveNs = now;
            return found->second;
        }
        if (clients.size() >= config.maxClients && !EvictIdleClient(now)) return 0;

        int fd = socket(upstream.ss_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) return 0;
        SetBuffers(fd, config.socketBufferBytes);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&upstream), upstreamLen) != 0) {
            close(fd);
            return 0;
        }
        uint64_t id = nextClientId++;
        if (Watch(fd, id) != 0) {
            close(fd);
            return 0;
        }
        Client client;
        client.addr = from;
        client.addrLen = fromLen;
        client.fd = fd;
        client.lastActiveNs = now;
        clients.emplace(id, client);
        clientByAddress.emplace(std::move(key), id);
        Bump(clientsOpened);
        return id;
    }

    bool EvictIdleClient(uint64_t now) {
        auto oldest = clients.end();
        for (auto it = clients.begin(); it != clients.end(); ++it) {
            if (oldest == clients.end() || it->second.lastActiveNs < oldest->second.lastActiveNs)
                oldest = it;
        }
        if (oldest == clients.end() ||
            now - oldest->second.lastActiveNs < MsToNs(config.clientIdleMs))
            return false;
        // Datagrams still queued for it are dropped when due: its id is never reused.
        epoll_ctl(epollFd, EPOLL_CTL_DEL, oldest->second.fd, nullptr);
        close(oldest->second.fd);
        clientByAddress.erase(AddressKey(oldest->second.addr, oldest->second.addrLen));
        clients.erase(oldest);
        return true;
    }

    void Enqueue(Direction dir, uint64_t clientId, size_t size, uint64_t now) {
        Bump(stats[dir].received);
        int copies = 1;
        if (config.inspect) copies = config.inspect(dir == kUp, buffer.data(), size);
        for (int i = 0; i < copies; ++i) EnqueueCopy(dir, clientId, size, now);
    }

    void EnqueueCopy(Direction dir, uint64_t clientId, size_t size, uint64_t now) {
        AtomicDirectionStats& st = stats[dir];
        const Impairment& imp = ImpairmentOf(dir);
        if (outage.load(std::memory_order_relaxed) ||
            (imp.lossPercent > 0.0 && Uniform(dir) * 100.0 < imp.lossPercent)) {
            Bump(st.lost);
            return;
        }
        size_t charge = size + kItemOverhead;
        if (queuedBytes + charge > config.maxQueuedBytes) {
            Bump(st.overflow);
            return;
        }
        bool reorder = imp.reorderPercent > 0.0 && Uniform(dir) * 100.0 < imp.reorderPercent;

        uint64_t due = now;
        if (imp.rateKbit > 0) {
            // Serialise through the link: this datagram leaves once the previous ones
            // have, after its own transmission time.
            uint64_t start = std::max(now, linkFreeNs[dir]);
            uint64_t txNs = static_cast<uint64_t>(size) * 8u * 1000000u / imp.rateKbit;
            linkFreeNs[dir] = start + txNs;
            due = linkFreeNs[dir];
        }
        due += MsToNs(imp.delayMs);
        if (imp.jitterMs > 0) {
            uint64_t span = MsToNs(imp.jitterMs);
            uint64_t offset =
                static_cast<uint64_t>(Uniform(dir) * static_cast<double>(2 * span + 1));
            due = due + offset >= span ? due + offset - span : 0;
            due = std::max(due, now);
        }
        Client& client = clients[clientId];
        due = std::max(due, client.lastDueNs[dir]);
        if (reorder) {
            due += MsToNs(imp.reorderGapMs);
            Bump(st.reordered);
        } else {
            client.lastDueNs[dir] = due;
        }

        Pending item{
            due,
            nextSeq++,
            clientId,
            dir,
            due > now,
            std::vector<uint8_t>(buffer.begin(), buffer.begin() + static_cast<long>(size))};
        queue.push(std::move(item));
        queuedBytes += charge;
        if (queuedBytes > queuedBytesPeak.load(std::memory_order_relaxed))
            queuedBytesPeak.store(queuedBytes, std::memory_order_relaxed);
    }

    void SendDue(uint64_t now) {
        while (!queue.empty() && queue.top().dueNs <= now) {
            const Pending& item = queue.top();
            Send(item);
            queuedBytes -= item.data.size() + kItemOverhead;
            queue.pop();
        }
    }

    void Send(const Pending& item) {
        AtomicDirectionStats& st = stats[item.dir];
        auto it = clients.find(item.clientId);
        if (it == clients.end()) {
            Bump(st.sendFailed);
            return;
        }
        ssize_t sent;
        do {
            if (item.dir == kUp) {
                sent = send(it->second.fd, item.data.data(), item.data.size(), 0);
            } else {
                sent =
                    sendto(listenFd, item.data.data(), item.data.size(), 0,
                           reinterpret_cast<const sockaddr*>(&it->second.addr), it->second.addrLen);
            }
        } while (sent < 0 && errno == EINTR);
        if (sent < 0) {
            Bump(st.sendFailed);
            return;
        }
        Bump(st.forwarded);
        Bump(st.bytes, item.data.size());
        if (item.delayed) Bump(st.delayed);
    }

    void ArmTimer() {
        itimerspec timer{};
        if (!queue.empty()) {
            uint64_t due = queue.top().dueNs;
            timer.it_value.tv_sec = static_cast<time_t>(due / 1000000000u);
            timer.it_value.tv_nsec = static_cast<long>(due % 1000000000u);
            // A zero value would disarm the timer instead of firing it.
            if (timer.it_value.tv_sec == 0 && timer.it_value.tv_nsec == 0)
                timer.it_value.tv_nsec = 1;
        }
        timerfd_settime(timerFd, TFD_TIMER_ABSTIME, &timer, nullptr);
    }
};

UdpProxy::UdpProxy(UdpProxyConfig config) : mImpl(std::make_unique<Impl>(std::move(config))) {}

UdpProxy::~UdpProxy() {
    Stop();
}

int UdpProxy::Open() {
    return mImpl->Open();
}

uint16_t UdpProxy::ListenPort() const {
    return mImpl->listenPort;
}

std::string UdpProxy::ListenAddress() const {
    return mImpl->listenAddress;
}

int UdpProxy::Run() {
    return mImpl->Run();
}

int UdpProxy::Start() {
    if (mThread.joinable()) return 0;
    int rc = mImpl->Open();
    if (rc != 0) return rc;
    mImpl->stopRequested.store(false);
    mThread = std::thread([this] { mImpl->Run(); });
    return 0;
}

void UdpProxy::RequestStop() {
    mImpl->RequestStop();
}

void UdpProxy::SetOutage(bool on) {
    mImpl->outage.store(on, std::memory_order_relaxed);
}

void UdpProxy::Stop() {
    mImpl->RequestStop();
    if (mThread.joinable()) mThread.join();
}

UdpProxyStats UdpProxy::Stats() const {
    UdpProxyStats s;
    s.toUpstream = mImpl->stats[kUp].Load();
    s.toClient = mImpl->stats[kDown].Load();
    s.clients = mImpl->clientsOpened.load(std::memory_order_relaxed);
    s.clientsRejected = mImpl->clientsRejected.load(std::memory_order_relaxed);
    s.queuedBytesPeak = mImpl->queuedBytesPeak.load(std::memory_order_relaxed);
    return s;
}

}  // namespace zevo::tools
