// The transport library: one worker thread per process runs every ENet host and raw
// socket; the PPPP_* calls only touch per-session buffers under the session's lock and
// wake the worker through an eventfd. ENet is not thread-safe, so no other thread ever
// calls into a host.
#include <arpa/inet.h>
#include <enet/enet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "p2p/PPPP_API.h"
#include "p2p/crypto.h"
#include "p2p/init_string.h"
#include "p2p/placement.h"
#include "p2p/wire.h"

static_assert(sizeof(SessionInfo) == 84, "SessionInfo is an 84-byte record");
static_assert(offsetof(SessionInfo, remote) == 4, "peer sockaddr_in at byte 4");
static_assert(offsetof(SessionInfo, mode) == 81, "mode at byte 81");

namespace zevo::p2p {
namespace {

constexpr int kDataChannels = 8;
constexpr int kControlChannel = 8;  // credit updates
constexpr size_t kEnetChannels = 9;
constexpr size_t kChunk = 32 * 1024;  // largest ENet packet a write is cut into
// Per channel and direction: bytes written but not yet consumed by the peer's reader. Bounds
// the memory of both ends and makes PPPP_Write wait for a slow reader.
constexpr uint64_t kWindow = 4 * 1024 * 1024;
constexpr uint64_t kCreditStep = kWindow / 4;
constexpr uint32_t kEnetWindow = 2 * 1024 * 1024;  // bytes in flight per ENet peer
constexpr uint32_t kThrottleFloor = 16;            // of ENET_PEER_PACKET_THROTTLE_SCALE (32)
constexpr uint32_t kLossForThrottle = ENET_PEER_PACKET_LOSS_SCALE / 50;  // 2 %
constexpr int kSocketBuffer = 4 * 1024 * 1024;
constexpr uint32_t kByeData = 0x5A50C105;  // marks a disconnect that PPPP_Close asked for

constexpr uint64_t kLookupRetryMs = 300;
constexpr uint64_t kServiceSilentMs = 3000;
constexpr uint64_t kLookupTotalMs = 6000;
constexpr uint64_t kPunchIntervalMs = 100;
constexpr uint64_t kPunchWindowMs = 1500;
constexpr uint64_t kDirectConnectMs = 1500;
constexpr uint64_t kRelayRetryMs = 200;
constexpr uint64_t kRelayBindMs = 1500;
constexpr uint64_t kRelayConnectMs = 2500;
constexpr uint64_t kJoinRetryMs = 250;
constexpr uint64_t kJoinMs = 3000;
constexpr uint64_t kDeviceOpenMs = 10000;
constexpr uint64_t kHelloRetryMs = 300;
constexpr uint64_t kStartMs = 4000;
constexpr uint64_t kLingerMs = 2000;
constexpr size_t kMaxPendingAccept = 16;
constexpr size_t kMaxTombstones = 4096;
// A SIGKILLed peer is noticed after 3..7 s without acknowledgement (pings go out every
// 500 ms), well inside the 10 s the viewer may wait.
constexpr uint32_t kTimeoutMin = 3000;
constexpr uint32_t kTimeoutMax = 7000;

uint64_t NowMs() {
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

bool gLogEnabled = false;
void Log(const char* format, ...) {
    if (!gLogEnabled) return;
    va_list args;
    va_start(args, format);
    std::fprintf(stderr, "zevo_p2p: ");
    std::vfprintf(stderr, format, args);
    std::fprintf(stderr, "\n");
    va_end(args);
}

sockaddr_in ToSockaddr(const Endpoint& e) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(e.ip);
    a.sin_port = htons(e.port);
    return a;
}

Endpoint FromEnet(const ENetAddress& a) {
    return Endpoint{ntohl(a.host), a.port};
}

ENetAddress ToEnet(const Endpoint& e) {
    ENetAddress a;
    a.host = htonl(e.ip);
    a.port = e.port;
    return a;
}

void SendRaw(int fd, const Endpoint& to, const Message& m) {
    uint8_t buffer[kMaxDatagram];
    size_t n = EncodeMessage(m, buffer, sizeof buffer);
    if (n == 0) return;
    sockaddr_in a = ToSockaddr(to);
    (void)::sendto(fd, buffer, n, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

uint16_t LocalPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

// This host's IPv4 addresses (not loopback) with the socket's port: the candidates a peer
// on the same network can reach directly.
void FillLocalEndpoints(int fd, Message* m) {
    uint16_t port = LocalPort(fd);
    m->endpointCount = 0;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return;
    for (ifaddrs* i = list; i != nullptr && m->endpointCount < kMaxEndpoints; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
        if (!(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK)) continue;
        uint32_t ip = ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
        m->endpoints[m->endpointCount++] = Endpoint{ip, port};
    }
    freeifaddrs(list);
}

struct Inbound {
    // Received packets stay readable after the session ends, so the last owner of the
    // session frees whatever was never read.
    Inbound() = default;
    Inbound(const Inbound&) = delete;
    Inbound& operator=(const Inbound&) = delete;
    ~Inbound() {
        for (ENetPacket* p : packets) enet_packet_destroy(p);
    }

    std::deque<ENetPacket*> packets;
    size_t headOffset = 0;
    uint64_t buffered = 0;
    uint64_t consumed = 0;
    uint64_t reported = 0;  // consumption the peer has been told about
};

struct Outbound {
    uint64_t written = 0;
    uint64_t peerConsumed = 0;
};

struct Outgoing {
    uint8_t channel;
    ENetPacket* packet;
    size_t capacity;  // bytes allocated behind packet->data
};

enum class Phase {
    kLookup,       // viewer: asking the service
    kJoin,         // device: announcing the session socket
    kPunch,        // both: trying a direct path
    kRelayBind,    // viewer: binding to the relay
    kConnecting,   // viewer: ENet connect under way
    kWaitConnect,  // device: waiting for the viewer's ENet connect
    kOpen,
    kLinger,  // closed here, flushing and saying goodbye
    kDone,
};

constexpr int32_t kPending = INT32_MIN;  // no handle or code has this value
constexpr int8_t kNoVerdict = -1;

// A viewer's standing with one service of the DID's set while it looks the DID up.
struct LookupTarget {
    Endpoint service;
    uint64_t firstSent = 0;       // 0: not asked yet
    int8_t verdict = kNoVerdict;  // offline or limit, once the service said so
};

struct Device;

struct Session {
    // Fixed at creation.
    bool isDevice = false;
    char did[kDidField] = {};
    std::weak_ptr<Device> device;

    // Shared with API threads, under mu.
    std::mutex mu;
    std::condition_variable readCv;
    std::condition_variable writeCv;
    std::condition_variable stateCv;
    int32_t handle = -1;
    Inbound in[kDataChannels];
    Outbound out[kDataChannels];
    std::vector<Outgoing> sendQueue;
    size_t chunk = kChunk;  // a whole number of the path's datagrams
    bool creditDue = false;
    int32_t endCode = 0;
    bool closeRequested = false;
    int32_t connectResult = kPending;
    int readersWaiting = 0;
    int writersWaiting = 0;
    Endpoint remote, publicEp;
    uint8_t mode = PPPP_MODE_DIRECT;
    int fd = -1;
    uint64_t openedMs = 0;

    // Worker only.
    ENetHost* host = nullptr;
    ENetPeer* peer = nullptr;
    Phase phase = Phase::kLookup;
    bool tryDirect = true;
    uint64_t phaseStart = 0;
    uint64_t nextSend = 0;
    uint64_t lastServiceHeard = 0;
    uint64_t lookupNonce = 0;
    std::vector<LookupTarget> targets;  // viewer: the services of the DID's set, best first
    Endpoint service;
    bool serviceKnown = false;
    uint64_t sessionId = 0;
    uint64_t joinToken = 0;
    uint64_t punchKey = 0;
    uint64_t relayToken = 0;
    uint8_t peerFlags = 0;
    Endpoint relay;
    bool relayOffered = false;
    bool relayBound = false;
    uint32_t relayRateKiB = 0;  // 0: the relay does not limit
    std::deque<Outgoing> held;  // paced below the relay's rate
    double paceTokens = 0;
    uint64_t paceRefilled = 0;
    Endpoint peerPublic;  // the peer as the service saw it
    std::vector<Endpoint> candidates;
    std::vector<Endpoint> confirmed;  // peer addresses proven by a punch
    bool haveDirectPath = false;
    Endpoint directPath;
    Endpoint target;  // where ENet talks to
    bool targetSet = false;
    uint64_t nextPunch = 0;
    uint64_t punchUntil = 0;
    int32_t failCode = 0;
    bool lingerStarted = false;

    bool Accepts(const Endpoint& from) const {
        if (targetSet && from == target) return true;
        if (!isDevice) return false;
        if (relayBound && from == relay) return true;
        return std::find(confirmed.begin(), confirmed.end(), from) != confirmed.end();
    }
};

enum class DevState { kRunning, kStopped };
enum class RegState { kHello, kRegister, kRegistered };

// The device's standing with one service of its DID's set; each runs on its own, so a dead
// service costs only its own registration.
struct Registration {
    Endpoint service;
    RegState state = RegState::kHello;
    uint64_t nextSend = 0;
    uint64_t lastAck = 0;
    uint32_t keepaliveMs = 2000;
    uint64_t regId = 0;
    uint8_t challenge[kChallengeSize] = {};
    int32_t refusal = 0;  // the last refusal, remembered while the device starts
};

struct Device {
    char did[kDidField] = {};
    uint8_t secret[kSecretSize] = {};

    std::mutex mu;
    std::condition_variable cv;
    int32_t handle = -1;
    std::deque<std::shared_ptr<Session>> ready;
    int32_t startResult = kPending;
    bool stopRequested = false;
    bool stopped = false;

    // Worker only.
    int fd = -1;
    DevState state = DevState::kRunning;
    uint64_t started = 0;
    std::vector<Registration> regs;  // one per service of the DID's set, best first
    std::deque<uint64_t> recentSessions;
};

struct Library {
    std::mutex mu;
    bool initialized = false;
    std::vector<Endpoint> services;
    std::unordered_map<int32_t, std::shared_ptr<Session>> sessions;
    std::unordered_map<int32_t, std::shared_ptr<Device>> devices;
    std::deque<int32_t> tombstoneOrder;
    std::unordered_set<int32_t> tombstones;
    int32_t nextHandle = 0;
    std::vector<std::shared_ptr<Session>> newSessions;
    std::vector<std::shared_ptr<Device>> newDevices;
    std::thread worker;
    int wakeFd = -1;
    std::atomic<bool> stopping{false};
};

Library gLib;
std::mutex gLifecycle;  // serialises Initialize and DeInitialize

void Wake() {
    uint64_t one = 1;
    if (gLib.wakeFd >= 0) (void)!::write(gLib.wakeFd, &one, sizeof one);
}

int32_t AllocateHandleLocked() {
    for (;;) {
        int32_t h = gLib.nextHandle;
        gLib.nextHandle = gLib.nextHandle == INT32_MAX ? 0 : gLib.nextHandle + 1;
        if (!gLib.sessions.count(h) && !gLib.devices.count(h) && !gLib.tombstones.count(h))
            return h;
    }
}

void AddTombstoneLocked(int32_t h) {
    gLib.tombstones.insert(h);
    gLib.tombstoneOrder.push_back(h);
    while (gLib.tombstoneOrder.size() > kMaxTombstones) {
        gLib.tombstones.erase(gLib.tombstoneOrder.front());
        gLib.tombstoneOrder.pop_front();
    }
}

// Ends the session for its API users; the first reason wins.
void EndSession(Session& s, int32_t code) {
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.endCode == 0) s.endCode = code;
    s.readCv.notify_all();
    s.writeCv.notify_all();
    s.stateCv.notify_all();
}

void FinishConnect(Session& s, int32_t result) {
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.connectResult == kPending) s.connectResult = result;
    s.stateCv.notify_all();
}

// ---------------------------------------------------------------------------------------
// Worker

class Worker {
public:
    void Run();

private:
    void Adopt();
    void ServiceDevice(Device& d, uint64_t now);
    void ServiceRegistration(Device& d, Registration& r, uint64_t now);
    void HandleDeviceDatagram(const std::shared_ptr<Device>& d, const Message& m,
                              const Endpoint& from, uint64_t now);
    void StartDeviceSession(const std::shared_ptr<Device>& d, const Message& m,
                            const Endpoint& service);
    void ServiceSession(const std::shared_ptr<Session>& s, uint64_t now);
    void SessionTimers(Session& s, uint64_t now);
    void HandleEvent(Session& s, ENetEvent& ev);
    void PumpSends(Session& s);
    void StartPunch(Session& s, uint64_t now);
    void StartRelay(Session& s, uint64_t now);
    void ConnectTo(Session& s, const Endpoint& to, uint64_t now);
    void Opened(Session& s, uint64_t now);
    void Fail(Session& s, int32_t code);
    bool LookupVerdict(Session& s, uint64_t now);
    void DestroyHost(Session& s);
    void StopDevice(Device& d);

public:
    static int Intercept(ENetHost* host, ENetEvent* event);
    void HandleSessionDatagram(Session& s, const Message& m, const Endpoint& from);

    std::vector<std::shared_ptr<Session>> mSessions;
    std::vector<std::shared_ptr<Device>> mDevices;
    Session* mCurrent = nullptr;  // the session whose host is being serviced
    uint64_t mNow = 0;
};

Worker* gWorker = nullptr;

int Worker::Intercept(ENetHost* host, ENetEvent*) {
    Worker* w = gWorker;
    if (w == nullptr || w->mCurrent == nullptr || w->mCurrent->host != host) return 1;
    Session& s = *w->mCurrent;
    Endpoint from = FromEnet(host->receivedAddress);
    if (HasMagic(host->receivedData, host->receivedDataLength)) {
        Message m;
        if (DecodeMessage(host->receivedData, host->receivedDataLength, &m))
            w->HandleSessionDatagram(s, m, from);
        return 1;
    }
    // ENet traffic only from the path this session chose or proved.
    return s.Accepts(from) ? 0 : 1;
}

void Worker::Adopt() {
    std::lock_guard<std::mutex> lock(gLib.mu);
    for (auto& s : gLib.newSessions) mSessions.push_back(s);
    for (auto& d : gLib.newDevices) mDevices.push_back(d);
    gLib.newSessions.clear();
    gLib.newDevices.clear();
}

void Worker::Run() {
    gWorker = this;
    std::vector<pollfd> fds;
    uint64_t stopAt = 0;
    while (true) {
        Adopt();
        uint64_t now = NowMs();
        mNow = now;
        if (gLib.stopping.load()) {
            if (stopAt == 0) {
                stopAt = now + 1000;
                for (auto& d : mDevices) StopDevice(*d);
                for (auto& s : mSessions) {
                    EndSession(*s, PPPP_ERR_CLOSED_HERE);
                    std::lock_guard<std::mutex> lock(s->mu);
                    s->closeRequested = true;
                    if (s->connectResult == kPending) s->connectResult = PPPP_ERR_CLOSED_HERE;
                    s->stateCv.notify_all();
                }
            }
        }

        for (auto& d : mDevices) ServiceDevice(*d, now);
        for (size_t i = 0; i < mSessions.size(); ++i) ServiceSession(mSessions[i], now);
        if (stopAt != 0) {
            // Wind down once every goodbye is acknowledged or after a second.
            bool busy = false;
            for (auto& s : mSessions) busy = busy || s->phase == Phase::kLinger;
            if (!busy || now >= stopAt) break;
        }

        mSessions.erase(std::remove_if(mSessions.begin(), mSessions.end(),
                                       [](const std::shared_ptr<Session>& s) {
                                           return s->phase == Phase::kDone;
                                       }),
                        mSessions.end());
        mDevices.erase(std::remove_if(mDevices.begin(), mDevices.end(),
                                      [](const std::shared_ptr<Device>& d) {
                                          return d->state == DevState::kStopped;
                                      }),
                       mDevices.end());

        fds.clear();
        fds.push_back(pollfd{gLib.wakeFd, POLLIN, 0});
        bool enetActive = false;
        for (auto& d : mDevices) fds.push_back(pollfd{d->fd, POLLIN, 0});
        for (auto& s : mSessions) {
            if (s->host == nullptr) continue;
            fds.push_back(pollfd{int(s->host->socket), POLLIN, 0});
            enetActive = enetActive || s->peer != nullptr;
        }
        int timeout = enetActive ? 5 : 20;
        if (gLib.stopping.load()) timeout = 5;
        (void)::poll(fds.data(), fds.size(), timeout);
        if (fds[0].revents & POLLIN) {
            uint64_t value;
            (void)!::read(gLib.wakeFd, &value, sizeof value);
        }
    }
    for (auto& s : mSessions) {
        DestroyHost(*s);
        s->phase = Phase::kDone;
    }
    for (auto& d : mDevices) StopDevice(*d);
    mSessions.clear();
    mDevices.clear();
    gWorker = nullptr;
}

// ---------------------------------------------------------------------------------------
// Device registration

void Worker::StopDevice(Device& d) {
    if (d.state == DevState::kStopped) return;
    for (const Registration& r : d.regs) {
        if (r.state != RegState::kRegistered || d.fd < 0) continue;
        Message m;
        m.type = MsgType::kUnregister;
        std::memcpy(m.did, d.did, kDidField);
        m.token = r.regId;
        SendRaw(d.fd, r.service, m);
        SendRaw(d.fd, r.service, m);
    }
    if (d.fd >= 0) ::close(d.fd);
    d.fd = -1;
    d.state = DevState::kStopped;
    std::lock_guard<std::mutex> lock(d.mu);
    d.stopped = true;
    if (d.startResult == kPending) d.startResult = PPPP_ERR_CLOSED_HERE;
    for (auto& s : d.ready) {
        std::lock_guard<std::mutex> sl(s->mu);
        s->closeRequested = true;
        if (s->endCode == 0) s->endCode = PPPP_ERR_CLOSED_HERE;
        s->readCv.notify_all();
    }
    d.ready.clear();
    d.cv.notify_all();
}

void Worker::ServiceDevice(Device& d, uint64_t now) {
    if (d.state == DevState::kStopped) return;
    bool stop;
    {
        std::lock_guard<std::mutex> lock(d.mu);
        stop = d.stopRequested;
    }
    if (stop) {
        StopDevice(d);
        return;
    }
    std::shared_ptr<Device> self;
    for (auto& p : mDevices)
        if (p.get() == &d) self = p;
    uint8_t buffer[2048];
    for (int i = 0; i < 64; ++i) {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        ssize_t n = ::recvfrom(d.fd, buffer, sizeof buffer, MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&a), &len);
        if (n < 0) break;
        Message m;
        if (!DecodeMessage(buffer, size_t(n), &m)) continue;
        HandleDeviceDatagram(self, m, Endpoint{ntohl(a.sin_addr.s_addr), ntohs(a.sin_port)}, now);
        if (d.state == DevState::kStopped) return;
    }

    bool starting;
    {
        std::lock_guard<std::mutex> lock(d.mu);
        starting = d.startResult == kPending;
    }
    if (starting && now - d.started >= kStartMs) {
        int32_t result = PPPP_ERR_SERVICE_UNREACHABLE;
        for (const Registration& r : d.regs)
            if (r.refusal != 0) result = r.refusal;
        std::lock_guard<std::mutex> lock(d.mu);
        d.startResult = result;
        d.cv.notify_all();
        d.stopRequested = true;
        return;
    }
    for (Registration& r : d.regs) ServiceRegistration(d, r, now);
}

void Worker::ServiceRegistration(Device& d, Registration& r, uint64_t now) {
    if (now < r.nextSend) return;
    Message m;
    std::memcpy(m.did, d.did, kDidField);
    switch (r.state) {
        case RegState::kHello:
            m.type = MsgType::kHello;
            SendRaw(d.fd, r.service, m);
            r.nextSend = now + kHelloRetryMs;
            break;
        case RegState::kRegister:
            m.type = MsgType::kRegister;
            std::memcpy(m.challenge, r.challenge, kChallengeSize);
            RegistrationProof(d.secret, r.challenge, d.did, m.proof);
            FillLocalEndpoints(d.fd, &m);
            SendRaw(d.fd, r.service, m);
            r.nextSend = now + kHelloRetryMs;
            // A challenge that is never answered goes stale; start over.
            if (now - r.lastAck > 3000) r.state = RegState::kHello;
            break;
        case RegState::kRegistered:
            if (now - r.lastAck > 4 * uint64_t(r.keepaliveMs)) {
                Log("registration of %s at %s lapsed, registering again", d.did,
                    FormatEndpoint(r.service).c_str());
                r.state = RegState::kHello;
                r.nextSend = now;
                break;
            }
            m.type = MsgType::kKeepalive;
            m.token = r.regId;
            SendRaw(d.fd, r.service, m);
            r.nextSend = now + r.keepaliveMs;
            break;
    }
}

void Worker::HandleDeviceDatagram(const std::shared_ptr<Device>& dp, const Message& m,
                                  const Endpoint& from, uint64_t now) {
    Device& d = *dp;
    if (std::strcmp(m.did, d.did) != 0) return;
    auto found = std::find_if(d.regs.begin(), d.regs.end(),
                              [&](const Registration& r) { return r.service == from; });
    if (found == d.regs.end()) return;  // only the services of the DID's set
    Registration& r = *found;
    switch (m.type) {
        case MsgType::kChallenge:
            if (r.state != RegState::kHello) return;
            std::memcpy(r.challenge, m.challenge, kChallengeSize);
            r.state = RegState::kRegister;
            r.lastAck = now;
            r.nextSend = now;
            break;
        case MsgType::kRegisterResult: {
            if (r.state != RegState::kRegister) return;
            if (m.status == kStatusOk) {
                r.state = RegState::kRegistered;
                r.regId = m.token;
                r.keepaliveMs = std::clamp<uint32_t>(m.value, 500, 30000);
                r.lastAck = now;
                r.nextSend = now + r.keepaliveMs;
                r.refusal = 0;
                Log("registered %s at %s", d.did, FormatEndpoint(from).c_str());
            } else {
                r.refusal = m.status == kStatusDidInUse ? PPPP_ERR_DID_IN_USE
                            : m.status == kStatusLimit  ? PPPP_ERR_TOO_MANY_SESSIONS
                                                        : PPPP_ERR_REGISTRATION_REFUSED;
                r.state = RegState::kHello;
                r.nextSend = now + 2000;
            }
            // The device is up once one service holds it; it fails to start only when every
            // service of its set refused it.
            bool allRefused = std::all_of(d.regs.begin(), d.regs.end(),
                                          [](const Registration& x) { return x.refusal != 0; });
            std::lock_guard<std::mutex> lock(d.mu);
            if (d.startResult == kPending && (m.status == kStatusOk || allRefused)) {
                d.startResult = m.status == kStatusOk ? d.handle : r.refusal;
                if (m.status != kStatusOk) d.stopRequested = true;
                d.cv.notify_all();
            }
            break;
        }
        case MsgType::kKeepaliveAck:
            if (r.state != RegState::kRegistered) return;
            if (m.status == kStatusOk) {
                r.lastAck = now;
            } else {
                // The service forgot us (restart or expiry): register again.
                r.state = RegState::kHello;
                r.nextSend = now;
            }
            break;
        case MsgType::kConnectRequest:
            if (r.state != RegState::kRegistered || m.token != r.regId) return;
            if (std::find(d.recentSessions.begin(), d.recentSessions.end(), m.session) !=
                d.recentSessions.end())
                return;
            d.recentSessions.push_back(m.session);
            if (d.recentSessions.size() > 64) d.recentSessions.pop_front();
            StartDeviceSession(dp, m, from);
            break;
        default:
            break;
    }
}

// A burst of datagrams overflows a small receive buffer and costs a retransmission
// timeout. The system caps a plain request at net.core.rmem_max (wmem_max), often
// 208 KiB; a process allowed to (CAP_NET_ADMIN) gets the full size past the cap.
void SetSocketBuffer(int fd, int forced, int plain) {
    int size = kSocketBuffer;
    if (setsockopt(fd, SOL_SOCKET, forced, &size, sizeof size) != 0)
        (void)setsockopt(fd, SOL_SOCKET, plain, &size, sizeof size);
}

void ConfigureHost(ENetHost* host) {
    enet_host_bandwidth_limit(host, 0, 0);
    SetSocketBuffer(int(host->socket), SO_RCVBUFFORCE, SO_RCVBUF);
    SetSocketBuffer(int(host->socket), SO_SNDBUFFORCE, SO_SNDBUF);
    host->intercept = &Worker::Intercept;
}

void Worker::StartDeviceSession(const std::shared_ptr<Device>& d, const Message& m,
                                const Endpoint& service) {
    size_t pending = 0;
    for (auto& s : mSessions)
        if (s->isDevice && s->phase != Phase::kOpen && s->device.lock() == d) ++pending;
    if (pending >= kMaxPendingAccept) return;
    ENetAddress any{};
    any.host = ENET_HOST_ANY;
    any.port = 0;
    ENetHost* host = enet_host_create(&any, 2, kEnetChannels, 0, 0);
    if (host == nullptr) return;
    ConfigureHost(host);
    auto s = std::make_shared<Session>();
    s->isDevice = true;
    std::memcpy(s->did, d->did, kDidField);
    s->device = d;
    s->host = host;
    s->fd = int(host->socket);
    s->phase = Phase::kJoin;
    s->phaseStart = mNow;
    s->service = service;  // the session and its relay live on the service that asked
    s->serviceKnown = true;
    s->sessionId = m.session;
    s->joinToken = m.nonce;
    mSessions.push_back(s);
    Log("device %s: session request %016llx", d->did, (unsigned long long)m.session);
}

// ---------------------------------------------------------------------------------------
// Sessions

void Worker::DestroyHost(Session& s) {
    if (s.host != nullptr) {
        enet_host_destroy(s.host);
        s.host = nullptr;
        s.peer = nullptr;
    }
    for (auto& o : s.held) enet_packet_destroy(o.packet);
    s.held.clear();
    std::lock_guard<std::mutex> lock(s.mu);
    for (auto& o : s.sendQueue) enet_packet_destroy(o.packet);
    s.sendQueue.clear();
}

void Worker::Fail(Session& s, int32_t code) {
    if (mCurrent == &s) {
        // Inside the host's own service call: destroy it once that call has returned.
        if (s.failCode == 0) s.failCode = code;
        return;
    }
    Log("session %s failed: %d", s.did, code);
    if (!s.isDevice) FinishConnect(s, code);
    EndSession(s, code);
    DestroyHost(s);
    s.phase = Phase::kDone;
}

// Fails the lookup once no service of the set is left to ask: each said no, or stayed
// silent past kServiceSilentMs. Returns true when it failed.
bool Worker::LookupVerdict(Session& s, uint64_t now) {
    if (s.serviceKnown) return false;  // a service is working on it
    bool limit = false, refused = false;
    for (const LookupTarget& t : s.targets) {
        if (t.verdict == kNoVerdict) {
            bool silent = t.firstSent != 0 && now - t.firstSent >= kServiceSilentMs;
            if (!silent) return false;
            continue;
        }
        refused = true;
        limit = limit || t.verdict == kStatusLimit;
    }
    Fail(s, limit     ? PPPP_ERR_TOO_MANY_SESSIONS
            : refused ? PPPP_ERR_DEVICE_OFFLINE
                      : PPPP_ERR_SERVICE_UNREACHABLE);
    return true;
}

void Worker::HandleSessionDatagram(Session& s, const Message& m, const Endpoint& from) {
    uint64_t now = mNow;
    bool fromService = s.serviceKnown && from == s.service;
    LookupTarget* target = nullptr;
    if (!s.isDevice) {
        for (LookupTarget& t : s.targets)
            if (t.service == from) target = &t;
        // Before the first answer, any service of the DID's set may answer.
        if (!s.serviceKnown) fromService = target != nullptr;
    }
    switch (m.type) {
        case MsgType::kLookupStatus:
            if (s.isDevice || s.phase != Phase::kLookup || !fromService || m.nonce != s.lookupNonce)
                return;
            s.lastServiceHeard = now;
            if (m.status == kStatusPending) {
                s.service = from;
                s.serviceKnown = true;
                return;
            }
            // This service cannot help; the others of the set are asked at once, and the
            // lookup fails only when none is left.
            if (target != nullptr)
                target->verdict = m.status == kStatusLimit ? kStatusLimit : kStatusOffline;
            s.serviceKnown = false;
            s.nextSend = now;
            LookupVerdict(s, now);
            return;
        case MsgType::kPeerInfo: {
            if (!s.isDevice && s.serviceKnown && target != nullptr && from != s.service &&
                m.role == kRoleViewer && m.nonce == s.lookupNonce && s.relayToken != m.token) {
                // A second service of the set answered too: let it drop its relay now
                // rather than after its idle time.
                Message direct;
                direct.type = MsgType::kSessionDirect;
                direct.session = m.session;
                direct.token = m.token;
                SendRaw(s.fd, from, direct);
                return;
            }
            if (!fromService) return;
            if (s.isDevice) {
                if (s.phase != Phase::kJoin || m.role != kRoleDevice || m.session != s.sessionId ||
                    m.nonce != s.joinToken)
                    return;
            } else {
                if (s.phase != Phase::kLookup || m.role != kRoleViewer || m.nonce != s.lookupNonce)
                    return;
                s.sessionId = m.session;
            }
            s.service = from;
            s.serviceKnown = true;
            s.punchKey = m.key;
            s.relayToken = m.token;
            s.peerFlags = m.flags;
            s.relayOffered = !(m.flags & kFlagNoRelay) && m.port != 0;
            s.relay = Endpoint{from.ip, m.port};
            s.relayRateKiB = m.value;
            s.peerPublic = m.peer;
            s.candidates.clear();
            if (m.peer.ip != 0 && m.peer.port != 0) s.candidates.push_back(m.peer);
            for (size_t i = 0; i < m.endpointCount; ++i)
                if (std::find(s.candidates.begin(), s.candidates.end(), m.endpoints[i]) ==
                    s.candidates.end())
                    s.candidates.push_back(m.endpoints[i]);
            {
                std::lock_guard<std::mutex> lock(s.mu);
                s.publicEp = m.observed;
            }
            bool direct = s.tryDirect && !(m.flags & kFlagRelayOnly);
            if (s.isDevice) {
                s.phase = Phase::kWaitConnect;
                s.phaseStart = now;
                if (direct) StartPunch(s, now);
                if (s.relayOffered) s.nextSend = now;  // bind the relay at once
            } else if (direct) {
                s.phase = Phase::kPunch;
                s.phaseStart = now;
                StartPunch(s, now);
            } else {
                StartRelay(s, now);
            }
            return;
        }
        case MsgType::kPunch:
        case MsgType::kPunchAck: {
            if (m.session != s.sessionId || m.key != s.punchKey || s.punchKey == 0) return;
            if (m.role == (s.isDevice ? kRoleDevice : kRoleViewer)) return;  // our own echo
            if (s.peerFlags & kFlagRelayOnly) return;
            if (std::find(s.confirmed.begin(), s.confirmed.end(), from) == s.confirmed.end() &&
                s.confirmed.size() < 8)
                s.confirmed.push_back(from);
            if (m.type == MsgType::kPunch) {
                Message ack;
                ack.type = MsgType::kPunchAck;
                ack.session = s.sessionId;
                ack.key = s.punchKey;
                ack.role = s.isDevice ? kRoleDevice : kRoleViewer;
                SendRaw(s.fd, from, ack);
            }
            if (!s.haveDirectPath) {
                s.haveDirectPath = true;
                s.directPath = from;
            }
            return;
        }
        case MsgType::kRelayBindAck:
            // Ok: both ends are bound. Pending: only this one; the viewer waits for Ok so
            // its first ENet connect is not dropped by the relay.
            if (!s.relayOffered || from != s.relay || m.session != s.sessionId) return;
            if (m.status == kStatusOk || (s.isDevice && m.status == kStatusPending))
                s.relayBound = true;
            return;
        default:
            return;
    }
}

void Worker::StartPunch(Session& s, uint64_t now) {
    s.punchUntil = now + (s.isDevice ? kDeviceOpenMs : kPunchWindowMs);
    s.nextPunch = now;
}

void Worker::StartRelay(Session& s, uint64_t now) {
    if (!s.relayOffered) {
        Fail(s, PPPP_ERR_NO_RELAY);
        return;
    }
    s.phase = Phase::kRelayBind;
    s.phaseStart = now;
    s.nextSend = now;
}

void Worker::ConnectTo(Session& s, const Endpoint& to, uint64_t now) {
    Log("session %s: connecting to %s", s.did, FormatEndpoint(to).c_str());
    s.target = to;
    s.targetSet = true;
    ENetAddress a = ToEnet(to);
    s.peer = enet_host_connect(s.host, &a, kEnetChannels, 0);
    if (s.peer == nullptr) {
        Fail(s, PPPP_ERR_NO_MEMORY);
        return;
    }
    s.phase = Phase::kConnecting;
    s.phaseStart = now;
}

// True for 127/8 and this host's own addresses: such a path never leaves the machine.
bool IsThisHost(uint32_t ip) {
    if ((ip >> 24) == 127) return true;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool found = false;
    for (ifaddrs* i = list; i != nullptr && !found; i = i->ifa_next)
        found = i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET &&
                ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr) == ip;
    freeifaddrs(list);
    return found;
}

void ConfigurePeer(ENetPeer* peer, bool insideHost) {
    enet_peer_timeout(peer, ENET_PEER_TIMEOUT_LIMIT, kTimeoutMin, kTimeoutMax);
    enet_peer_ping_interval(peer, 500);
    peer->windowSize = kEnetWindow;
    // The mtu only sizes what this end sends (any peer takes datagrams up to ENet's
    // maximum). On a path inside this host nothing fragments, and the largest datagram
    // cuts the system calls per byte to a third; elsewhere ENet's default stays below a
    // 1500-byte link.
    if (insideHost) peer->mtu = ENET_PROTOCOL_MAXIMUM_MTU;
}

// ENet's throttle scales the window down on every round-trip spike and may reach 0, which
// leaves one datagram in flight; a busy machine's scheduling alone causes such spikes. A
// floor keeps a useful window while the credits bound what is outstanding.
void KeepWindowOpen(ENetPeer* peer) {
    peer->windowSize = kEnetWindow;
    // Real loss (a congested link, a rate-limited relay) is left to ENet's own throttle.
    if (peer->packetLoss < kLossForThrottle && peer->packetThrottle < kThrottleFloor)
        peer->packetThrottle = kThrottleFloor;
}

// ENet cuts a packet into fragments of this payload; a packet of whole fragments leaves no
// small last datagram (32 KiB would take 8 full datagrams and a 224-byte one at 4096).
size_t ChunkFor(uint32_t mtu) {
    size_t fragment = mtu - sizeof(ENetProtocolHeader) - sizeof(ENetProtocolSendFragment);
    return std::max<size_t>(1, kChunk / fragment) * fragment;
}

void Worker::Opened(Session& s, uint64_t now) {
    Endpoint remote = FromEnet(s.peer->address);
    bool relay = s.relayOffered && remote == s.relay;
    // Through a relay the datagrams go on to the peer: both hops must stay inside.
    ConfigurePeer(s.peer, IsThisHost(remote.ip) && (!relay || IsThisHost(s.peerPublic.ip)));
    {
        std::lock_guard<std::mutex> lock(s.mu);
        s.remote = remote;
        s.mode = relay ? PPPP_MODE_RELAY : PPPP_MODE_DIRECT;
        s.openedMs = now;
        s.chunk = ChunkFor(s.peer->mtu);
    }
    s.target = remote;
    s.targetSet = true;
    s.phase = Phase::kOpen;
    Log("session %s open (%s) with %s", s.did, relay ? "relay" : "direct",
        FormatEndpoint(remote).c_str());
    if (!s.isDevice) {
        if (!relay && s.relayOffered) {
            Message m;
            m.type = MsgType::kSessionDirect;
            m.session = s.sessionId;
            m.token = s.relayToken;
            SendRaw(s.fd, s.service, m);
            SendRaw(s.fd, s.service, m);
        }
        int32_t handle;
        {
            std::lock_guard<std::mutex> lock(gLib.mu);
            std::lock_guard<std::mutex> sl(s.mu);
            handle = s.handle;
        }
        FinishConnect(s, handle);
        return;
    }
    // Device: hand the session to PPPP_Accept.
    auto d = s.device.lock();
    std::shared_ptr<Session> self;
    for (auto& p : mSessions)
        if (p.get() == &s) self = p;
    bool queued = false;
    if (d) {
        std::lock_guard<std::mutex> lock(gLib.mu);
        std::lock_guard<std::mutex> dl(d->mu);
        if (!d->stopped && !d->stopRequested && d->ready.size() < kMaxPendingAccept &&
            gLib.initialized) {
            int32_t h = AllocateHandleLocked();
            {
                std::lock_guard<std::mutex> sl(s.mu);
                s.handle = h;
            }
            gLib.sessions[h] = self;
            d->ready.push_back(self);
            d->cv.notify_all();
            queued = true;
        }
    }
    if (!queued) {
        std::lock_guard<std::mutex> lock(s.mu);
        s.closeRequested = true;
        s.endCode = PPPP_ERR_CLOSED_HERE;
    }
}

void Worker::PumpSends(Session& s) {
    std::vector<Outgoing> queue;
    bool credit = false;
    uint8_t credits[kDataChannels][kCreditSize];
    int creditCount = 0;
    {
        std::lock_guard<std::mutex> lock(s.mu);
        queue.swap(s.sendQueue);
        credit = s.creditDue;
        s.creditDue = false;
        if (credit) {
            for (int ch = 0; ch < kDataChannels; ++ch) {
                Inbound& in = s.in[ch];
                if (in.consumed != in.reported) {
                    EncodeCredit(uint8_t(ch), in.consumed, credits[creditCount++]);
                    in.reported = in.consumed;
                }
            }
        }
    }
    bool usable = s.peer != nullptr && s.peer->state == ENET_PEER_STATE_CONNECTED;
    if (s.mode == PPPP_MODE_RELAY && s.relayRateKiB != 0) {
        // Pace at 90 % of the relay's rate with a burst well inside its bucket.
        for (auto& o : queue) s.held.push_back(o);
        queue.clear();
        double rate = double(s.relayRateKiB) * 1024 * 0.9;
        double burst = std::max(rate / 16, 64.0 * 1024);
        uint64_t now = mNow;
        s.paceTokens = std::min(burst, s.paceTokens + rate * double(now - s.paceRefilled) / 1000);
        s.paceRefilled = now;
        while (!s.held.empty() && s.paceTokens >= 0) {
            s.paceTokens -= double(s.held.front().packet->dataLength);
            queue.push_back(s.held.front());
            s.held.pop_front();
        }
    }
    for (auto& o : queue) {
        if (!usable || enet_peer_send(s.peer, o.channel, o.packet) != 0)
            enet_packet_destroy(o.packet);
    }
    for (int i = 0; usable && i < creditCount; ++i) {
        ENetPacket* p = enet_packet_create(credits[i], kCreditSize, ENET_PACKET_FLAG_RELIABLE);
        if (p != nullptr && enet_peer_send(s.peer, kControlChannel, p) != 0) enet_packet_destroy(p);
    }
}

void Worker::HandleEvent(Session& s, ENetEvent& ev) {
    switch (ev.type) {
        case ENET_EVENT_TYPE_CONNECT:
            if (s.phase == Phase::kConnecting && ev.peer == s.peer) {
                Opened(s, mNow);
            } else if (s.isDevice && s.phase == Phase::kWaitConnect && s.peer == nullptr) {
                s.peer = ev.peer;
                Opened(s, mNow);
            } else {
                enet_peer_reset(ev.peer);  // a second connection is not ours to take
            }
            break;
        case ENET_EVENT_TYPE_RECEIVE: {
            ENetPacket* packet = ev.packet;
            if (ev.peer != s.peer || s.phase != Phase::kOpen) {
                enet_packet_destroy(packet);
                break;
            }
            if (ev.channelID < kDataChannels) {
                std::lock_guard<std::mutex> lock(s.mu);
                if (s.endCode == PPPP_ERR_CLOSED_HERE || packet->dataLength == 0) {
                    enet_packet_destroy(packet);
                    break;
                }
                Inbound& in = s.in[ev.channelID];
                in.packets.push_back(packet);
                in.buffered += packet->dataLength;
                if (s.readersWaiting > 0) s.readCv.notify_all();
            } else {
                uint8_t ch;
                uint64_t consumed;
                if (DecodeCredit(packet->data, packet->dataLength, &ch, &consumed) &&
                    ch < kDataChannels) {
                    std::lock_guard<std::mutex> lock(s.mu);
                    Outbound& out = s.out[ch];
                    // A credit may never claim more than was written.
                    if (consumed > out.peerConsumed && consumed <= out.written)
                        out.peerConsumed = consumed;
                    if (s.writersWaiting > 0) s.writeCv.notify_all();
                }
                enet_packet_destroy(packet);
            }
            break;
        }
        case ENET_EVENT_TYPE_DISCONNECT:
            if (ev.peer != s.peer) break;
            Log("session %s: disconnect (%s)", s.did, ev.data == kByeData ? "closed" : "silent");
            s.peer = nullptr;
            if (s.phase == Phase::kConnecting) {
                s.targetSet = false;
                if (s.target == s.relay && s.relayOffered) {
                    Fail(s, PPPP_ERR_NO_PATH);
                } else {
                    StartRelay(s, mNow);
                }
            } else if (s.phase == Phase::kOpen) {
                EndSession(s, ev.data == kByeData ? PPPP_ERR_CLOSED_BY_PEER : PPPP_ERR_PEER_SILENT);
                DestroyHost(s);
                s.phase = Phase::kDone;
            } else if (s.phase == Phase::kLinger) {
                DestroyHost(s);
                s.phase = Phase::kDone;
            }
            break;
        case ENET_EVENT_TYPE_NONE:
            break;
    }
}

void Worker::SessionTimers(Session& s, uint64_t now) {
    switch (s.phase) {
        case Phase::kLookup: {
            if (now - s.phaseStart >= kLookupTotalMs) {
                Fail(s,
                     s.lastServiceHeard ? PPPP_ERR_DEVICE_OFFLINE : PPPP_ERR_SERVICE_UNREACHABLE);
                return;
            }
            if (LookupVerdict(s, now)) return;
            if (now < s.nextSend) return;
            Message m;
            m.type = MsgType::kLookup;
            std::memcpy(m.did, s.did, kDidField);
            m.nonce = s.lookupNonce;
            m.flags = s.tryDirect ? kFlagTryDirect : 0;
            FillLocalEndpoints(s.fd, &m);
            if (s.serviceKnown) {
                SendRaw(s.fd, s.service, m);
            } else {
                // The best service first; the rest of the set once it said no or stayed
                // silent for one retry, so a healthy set opens one session, not two.
                bool widen = now - s.phaseStart >= kLookupRetryMs ||
                             (!s.targets.empty() && s.targets[0].verdict != kNoVerdict);
                for (size_t i = 0; i < s.targets.size(); ++i) {
                    LookupTarget& t = s.targets[i];
                    if (t.verdict != kNoVerdict || (i > 0 && !widen)) continue;
                    if (t.firstSent == 0) t.firstSent = now;
                    SendRaw(s.fd, t.service, m);
                }
            }
            s.nextSend = now + kLookupRetryMs;
            return;
        }
        case Phase::kJoin: {
            if (now - s.phaseStart >= kJoinMs) {
                Fail(s, PPPP_ERR_SERVICE_UNREACHABLE);
                return;
            }
            if (now < s.nextSend) return;
            Message m;
            m.type = MsgType::kSessionJoin;
            m.session = s.sessionId;
            m.nonce = s.joinToken;
            FillLocalEndpoints(s.fd, &m);
            SendRaw(s.fd, s.service, m);
            s.nextSend = now + kJoinRetryMs;
            return;
        }
        default:
            break;
    }

    // Punching runs beside the later phases until the session opens.
    bool punching = s.punchKey != 0 && now < s.punchUntil && s.phase != Phase::kOpen &&
                    s.phase != Phase::kLinger && !(s.peerFlags & kFlagRelayOnly);
    if (punching && now >= s.nextPunch) {
        Message m;
        m.type = MsgType::kPunch;
        m.session = s.sessionId;
        m.key = s.punchKey;
        m.role = s.isDevice ? kRoleDevice : kRoleViewer;
        for (auto& c : s.candidates) SendRaw(s.fd, c, m);
        for (auto& c : s.confirmed)
            if (std::find(s.candidates.begin(), s.candidates.end(), c) == s.candidates.end())
                SendRaw(s.fd, c, m);
        s.nextPunch = now + kPunchIntervalMs;
    }

    switch (s.phase) {
        case Phase::kPunch:
            if (s.haveDirectPath) {
                ConnectTo(s, s.directPath, now);
            } else if (now - s.phaseStart >= kPunchWindowMs) {
                Log("session %s: no direct path, trying the relay", s.did);
                StartRelay(s, now);
            }
            return;
        case Phase::kRelayBind:
            if (s.relayBound) {
                ConnectTo(s, s.relay, now);
                return;
            }
            if (now - s.phaseStart >= kRelayBindMs) {
                Fail(s, PPPP_ERR_NO_PATH);
                return;
            }
            break;
        case Phase::kConnecting: {
            bool relay = s.relayOffered && s.target == s.relay;
            uint64_t limit = relay ? kRelayConnectMs : kDirectConnectMs;
            if (now - s.phaseStart >= limit) {
                enet_peer_reset(s.peer);
                s.peer = nullptr;
                s.targetSet = false;
                if (relay) {
                    Fail(s, PPPP_ERR_NO_PATH);
                } else {
                    StartRelay(s, now);
                }
            }
            return;
        }
        case Phase::kWaitConnect:
            if (now - s.phaseStart >= kDeviceOpenMs) {
                Fail(s, PPPP_ERR_NO_PATH);
                return;
            }
            break;
        case Phase::kLinger:
            if (now - s.phaseStart >= kLingerMs) {
                DestroyHost(s);
                s.phase = Phase::kDone;
            }
            return;
        default:
            return;
    }
    // Relay binding (viewer in kRelayBind, device as soon as it knows the relay).
    if (s.relayOffered && !s.relayBound && now >= s.nextSend &&
        (s.phase == Phase::kRelayBind || s.phase == Phase::kWaitConnect)) {
        Message m;
        m.type = MsgType::kRelayBind;
        m.session = s.sessionId;
        m.token = s.relayToken;
        SendRaw(s.fd, s.relay, m);
        s.nextSend = now + (s.isDevice ? kRelayRetryMs : kRelayRetryMs / 4);
    }
}

void Worker::ServiceSession(const std::shared_ptr<Session>& sp, uint64_t now) {
    Session& s = *sp;
    if (s.phase == Phase::kDone) return;
    if (s.host == nullptr) {
        s.phase = Phase::kDone;
        return;
    }
    bool closing;
    {
        std::lock_guard<std::mutex> lock(s.mu);
        closing = s.closeRequested;
    }
    if (closing && s.phase != Phase::kLinger) {
        if (s.phase == Phase::kOpen && s.peer != nullptr) {
            PumpSends(s);  // what was accepted before the close still goes out
            enet_peer_disconnect_later(s.peer, kByeData);
            Log("session %s: closing", s.did);
            s.phase = Phase::kLinger;
            s.phaseStart = now;
        } else {
            Log("session %s: closed in phase %d", s.did, int(s.phase));
            if (!s.isDevice) FinishConnect(s, PPPP_ERR_CLOSED_HERE);
            EndSession(s, PPPP_ERR_CLOSED_HERE);
            DestroyHost(s);
            s.phase = Phase::kDone;
            return;
        }
    }
    if (s.isDevice && s.phase != Phase::kOpen && s.phase != Phase::kLinger) {
        auto d = s.device.lock();
        if (!d || d->state == DevState::kStopped) {
            Fail(s, PPPP_ERR_CLOSED_HERE);
            return;
        }
    }
    if (s.phase == Phase::kOpen) PumpSends(s);
    if (s.peer != nullptr && s.phase == Phase::kOpen) KeepWindowOpen(s.peer);

    mCurrent = &s;
    ENetEvent ev;
    for (int round = 0; round < 32 && s.host != nullptr; ++round) {
        int r = enet_host_service(s.host, &ev, 0);
        if (r <= 0) break;
        HandleEvent(s, ev);
        while (s.host != nullptr && enet_host_check_events(s.host, &ev) > 0) HandleEvent(s, ev);
        if (s.phase == Phase::kOpen) PumpSends(s);
    }
    mCurrent = nullptr;
    if (s.failCode != 0) {
        Fail(s, s.failCode);
        return;
    }
    if (s.phase == Phase::kDone || s.host == nullptr) return;
    SessionTimers(s, now);
    if (s.host != nullptr) {
        if (s.phase == Phase::kOpen) PumpSends(s);
        enet_host_flush(s.host);
    }
}

void WorkerMain() {
    Worker w;
    w.Run();
}

std::shared_ptr<Session> FindSession(int32_t handle, int32_t* error) {
    std::lock_guard<std::mutex> lock(gLib.mu);
    if (!gLib.initialized) {
        *error = PPPP_ERR_NOT_INITIALIZED;
        return nullptr;
    }
    auto it = gLib.sessions.find(handle);
    if (it == gLib.sessions.end()) {
        *error = gLib.tombstones.count(handle) ? PPPP_ERR_CLOSED_HERE : PPPP_ERR_INVALID_SESSION;
        return nullptr;
    }
    return it->second;
}

std::shared_ptr<Device> FindDevice(int32_t handle, int32_t* error) {
    std::lock_guard<std::mutex> lock(gLib.mu);
    if (!gLib.initialized) {
        *error = PPPP_ERR_NOT_INITIALIZED;
        return nullptr;
    }
    auto it = gLib.devices.find(handle);
    if (it == gLib.devices.end()) {
        *error = PPPP_ERR_INVALID_SESSION;
        return nullptr;
    }
    return it->second;
}

void WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, int32_t timeoutMs,
               std::chrono::steady_clock::time_point deadline) {
    if (timeoutMs < 0)
        cv.wait(lock);
    else
        cv.wait_until(lock, deadline);
}

}  // namespace
}  // namespace zevo::p2p

using namespace zevo::p2p;

extern "C" {

PPPP_EXPORT int32_t PPPP_Initialize(const char* initString) {
    std::lock_guard<std::mutex> life(gLifecycle);
    {
        std::lock_guard<std::mutex> lock(gLib.mu);
        if (gLib.initialized) return PPPP_OK;
    }
    if (initString == nullptr) return PPPP_ERR_BAD_INIT_STRING;
    std::vector<Endpoint> services;
    if (!DecodeInitString(initString, std::strlen(initString), &services))
        return PPPP_ERR_BAD_INIT_STRING;
    const char* over = std::getenv("ZEVO_P2P_SERVER");
    if (over != nullptr && *over != '\0') {
        std::vector<Endpoint> replaced;
        if (!ParseEndpointList(over, &replaced, kInitStringMaxEndpoints))
            return PPPP_ERR_BAD_INIT_STRING;
        services = replaced;
    }
    const char* log = std::getenv("ZEVO_P2P_LOG");
    gLogEnabled = log != nullptr && *log != '\0' && *log != '0';
    if (enet_initialize() != 0) return PPPP_ERR_BIND_FAILED;
    int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) return PPPP_ERR_NO_MEMORY;
    {
        std::lock_guard<std::mutex> lock(gLib.mu);
        gLib.services = services;
        gLib.wakeFd = wake;
        gLib.stopping = false;
        gLib.initialized = true;
    }
    gLib.worker = std::thread(WorkerMain);
    return PPPP_OK;
}

PPPP_EXPORT int32_t PPPP_DeInitialize(void) {
    std::lock_guard<std::mutex> life(gLifecycle);
    std::vector<std::shared_ptr<Session>> sessions;
    std::vector<std::shared_ptr<Device>> devices;
    {
        std::lock_guard<std::mutex> lock(gLib.mu);
        if (!gLib.initialized) return PPPP_OK;
        gLib.initialized = false;
        for (auto& [h, s] : gLib.sessions) sessions.push_back(s);
        for (auto& [h, d] : gLib.devices) devices.push_back(d);
        for (auto& s : gLib.newSessions) sessions.push_back(s);
        gLib.stopping = true;
    }
    // Release everything blocked before the worker winds down.
    for (auto& s : sessions) {
        EndSession(*s, PPPP_ERR_CLOSED_HERE);
        std::lock_guard<std::mutex> lock(s->mu);
        s->closeRequested = true;
    }
    for (auto& d : devices) {
        std::lock_guard<std::mutex> lock(d->mu);
        d->stopRequested = true;
        d->cv.notify_all();
    }
    Wake();
    if (gLib.worker.joinable()) gLib.worker.join();
    {
        std::lock_guard<std::mutex> lock(gLib.mu);
        // Sessions the worker never adopted still own their hosts.
        for (auto& s : gLib.newSessions) {
            if (s->host) enet_host_destroy(s->host);
            s->host = nullptr;
        }
        for (auto& d : gLib.newDevices) {
            if (d->fd >= 0) ::close(d->fd);
            d->fd = -1;
            std::lock_guard<std::mutex> dl(d->mu);
            d->stopped = true;
            if (d->startResult == kPending) d->startResult = PPPP_ERR_CLOSED_HERE;
            d->cv.notify_all();
        }
        gLib.newSessions.clear();
        gLib.newDevices.clear();
        gLib.sessions.clear();
        gLib.devices.clear();
        gLib.tombstones.clear();
        gLib.tombstoneOrder.clear();
        ::close(gLib.wakeFd);
        gLib.wakeFd = -1;
    }
    for (auto& d : devices) {
        std::lock_guard<std::mutex> lock(d->mu);
        d->stopped = true;
        d->cv.notify_all();
    }
    enet_deinitialize();
    return PPPP_OK;
}

PPPP_EXPORT int32_t PPPP_Connect(const char* did, char tryDirect, uint32_t localPort) {
    if (!IsValidDid(did)) {
        std::lock_guard<std::mutex> lock(gLib.mu);
        return gLib.initialized ? PPPP_ERR_INVALID_DID : PPPP_ERR_NOT_INITIALIZED;
    }
    if (localPort > 65535) return PPPP_ERR_INVALID_PARAMETER;
    auto s = std::make_shared<Session>();
    std::strncpy(s->did, did, kDidField - 1);
    s->tryDirect = tryDirect != 0;
    s->lookupNonce = RandomU64();
    {
        std::lock_guard<std::mutex> lock(gLib.mu);
        if (!gLib.initialized) return PPPP_ERR_NOT_INITIALIZED;
        ENetAddress any{};
        any.host = ENET_HOST_ANY;
        any.port = uint16_t(localPort);
        s->host = enet_host_create(&any, 1, kEnetChannels, 0, 0);
        if (s->host == nullptr) return PPPP_ERR_BIND_FAILED;
        ConfigureHost(s->host);
        s->fd = int(s->host->socket);
        s->phase = Phase::kLookup;
        s->phaseStart = NowMs();
        for (const Endpoint& e : PlaceDid(s->did, gLib.services)) {
            LookupTarget t;
            t.service = e;
            s->targets.push_back(t);
        }
        s->handle = AllocateHandleLocked();
        gLib.sessions[s->handle] = s;
        gLib.newSessions.push_back(s);
    }
    Wake();
    int32_t result;
    {
        std::unique_lock<std::mutex> lock(s->mu);
        s->stateCv.wait(lock, [&] { return s->connectResult != kPending; });
        result = s->connectResult;
    }
    if (result < 0) {
        std::lock_guard<std::mutex> lock(gLib.mu);
        gLib.sessions.erase(s->handle);
    }
    return result;
}

PPPP_EXPORT int32_t PPPP_Check(int32_t session, SessionInfo* info) {
    if (info == nullptr) return PPPP_ERR_INVALID_PARAMETER;
    int32_t error = 0;
    auto s = FindSession(session, &error);
    if (!s) return error;
    std::lock_guard<std::mutex> lock(s->mu);
    if (s->endCode != 0) return s->endCode;
    std::memset(info, 0, sizeof *info);
    info->socket = s->fd;
    sockaddr_in remote = ToSockaddr(s->remote);
    std::memcpy(info->remote, &remote, sizeof remote);
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (s->fd >= 0) getsockname(s->fd, reinterpret_cast<sockaddr*>(&local), &len);
    std::memcpy(info->local, &local, sizeof local);
    sockaddr_in pub = ToSockaddr(s->publicEp);
    std::memcpy(info->publicAddr, &pub, sizeof pub);
    info->connectSeconds = uint32_t((NowMs() - s->openedMs) / 1000);
    std::memcpy(info->did, s->did, sizeof info->did);
    info->did[sizeof info->did - 1] = '\0';
    info->isDevice = s->isDevice ? 1 : 0;
    info->mode = s->mode;
    return PPPP_OK;
}

PPPP_EXPORT int32_t PPPP_Read(int32_t session, unsigned char channel, char* buffer, int32_t* size,
                              int32_t timeoutMs) {
    if (size == nullptr) return PPPP_ERR_INVALID_PARAMETER;
    int32_t want = *size;
    if (want < 0 || channel >= kDataChannels || (buffer == nullptr && want > 0)) {
        *size = 0;
        return PPPP_ERR_INVALID_PARAMETER;
    }
    *size = 0;
    int32_t error = 0;
    auto s = FindSession(session, &error);
    if (!s) return error;
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    int32_t got = 0;
    bool poke = false;
    int32_t result;
    {
        std::unique_lock<std::mutex> lock(s->mu);
        Inbound& in = s->in[channel];
        for (;;) {
            if (s->endCode == PPPP_ERR_CLOSED_HERE) {
                result = PPPP_ERR_CLOSED_HERE;
                break;
            }
            while (got < want && !in.packets.empty()) {
                ENetPacket* p = in.packets.front();
                size_t n = std::min<size_t>(size_t(want - got), p->dataLength - in.headOffset);
                std::memcpy(buffer + got, p->data + in.headOffset, n);
                got += int32_t(n);
                in.headOffset += n;
                in.buffered -= n;
                in.consumed += n;
                if (in.headOffset == p->dataLength) {
                    enet_packet_destroy(p);
                    in.packets.pop_front();
                    in.headOffset = 0;
                }
            }
            if (in.consumed - in.reported >= kCreditStep && !s->creditDue) {
                s->creditDue = true;
                poke = true;
            }
            if (got == want) {
                result = PPPP_OK;
                break;
            }
            if (s->endCode != 0) {
                result = s->endCode;
                break;
            }
            if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) {
                result = PPPP_ERR_TIMEOUT;
                break;
            }
            if (poke) {
                // Let the writer go on while we wait for the rest.
                lock.unlock();
                Wake();
                poke = false;
                lock.lock();
                continue;
            }
            ++s->readersWaiting;
            WaitUntil(s->readCv, lock, timeoutMs, deadline);
            --s->readersWaiting;
        }
    }
    if (poke) Wake();
    *size = got;
    return result;
}

PPPP_EXPORT int32_t PPPP_Write(int32_t session, unsigned char channel, const char* buffer,
                               int32_t size) {
    if (channel >= kDataChannels || size < 0 || (buffer == nullptr && size > 0))
        return PPPP_ERR_INVALID_PARAMETER;
    int32_t error = 0;
    auto s = FindSession(session, &error);
    if (!s) return error;
    if (size == 0) return PPPP_ERR_INVALID_PARAMETER;
    int32_t offset = 0;
    std::unique_lock<std::mutex> lock(s->mu);
    Outbound& out = s->out[channel];
    while (offset < size) {
        if (s->endCode != 0) return s->endCode;
        uint64_t inFlight = out.written - out.peerConsumed;
        if (inFlight >= kWindow) {
            ++s->writersWaiting;
            s->writeCv.wait(lock);
            --s->writersWaiting;
            continue;
        }
        size_t want = std::min<size_t>(size_t(size - offset), size_t(kWindow - inFlight));
        // Top up the packet the worker has not taken yet: the stream goes out in whole
        // chunks whatever the sizes of the writes, and small writes share packets.
        Outgoing* tail = s->sendQueue.empty() ? nullptr : &s->sendQueue.back();
        if (tail != nullptr && tail->channel == channel && tail->packet->dataLength < s->chunk) {
            ENetPacket* p = tail->packet;
            size_t n = std::min(want, s->chunk - p->dataLength);
            if (p->dataLength + n > tail->capacity) {
                size_t capacity =
                    std::min(s->chunk, std::max(p->dataLength + n, 2 * tail->capacity));
                ENetPacket* bigger =
                    enet_packet_create(nullptr, capacity, ENET_PACKET_FLAG_RELIABLE);
                if (bigger == nullptr) return PPPP_ERR_NO_MEMORY;
                std::memcpy(bigger->data, p->data, p->dataLength);
                bigger->dataLength = p->dataLength;
                enet_packet_destroy(p);
                tail->packet = p = bigger;
                tail->capacity = capacity;
            }
            std::memcpy(p->data + p->dataLength, buffer + offset, n);
            p->dataLength += n;
            out.written += n;
            offset += int32_t(n);
            continue;
        }
        size_t n = std::min(want, s->chunk);
        ENetPacket* p = enet_packet_create(buffer + offset, n, ENET_PACKET_FLAG_RELIABLE);
        if (p == nullptr) return PPPP_ERR_NO_MEMORY;
        bool wasEmpty = s->sendQueue.empty();
        s->sendQueue.push_back(Outgoing{channel, p, n});
        out.written += n;
        offset += int32_t(n);
        if (wasEmpty) {
            lock.unlock();
            Wake();
            lock.lock();
        }
    }
    return size;
}

PPPP_EXPORT int32_t PPPP_Check_Buffer(int32_t session, unsigned char channel, uint32_t* unsent,
                                      uint32_t* readable) {
    if (channel >= kDataChannels) return PPPP_ERR_INVALID_PARAMETER;
    int32_t error = 0;
    auto s = FindSession(session, &error);
    if (!s) return error;
    std::lock_guard<std::mutex> lock(s->mu);
    if (unsent) *unsent = uint32_t(s->out[channel].written - s->out[channel].peerConsumed);
    if (readable) *readable = uint32_t(std::min<uint64_t>(s->in[channel].buffered, UINT32_MAX));
    return PPPP_OK;
}

PPPP_EXPORT int32_t PPPP_Close(int32_t session) {
    std::shared_ptr<Session> s;
    {
        std::lock_guard<std::mutex> lock(gLib.mu);
        if (!gLib.initialized) return PPPP_ERR_NOT_INITIALIZED;
        auto it = gLib.sessions.find(session);
        if (it == gLib.sessions.end())
            return gLib.tombstones.count(session) ? PPPP_ERR_CLOSED_HERE : PPPP_ERR_INVALID_SESSION;
        s = it->second;
        gLib.sessions.erase(it);
        AddTombstoneLocked(session);
    }
    {
        std::lock_guard<std::mutex> lock(s->mu);
        s->closeRequested = true;
        // Whatever the peer did before, from now on this side reports its own close.
        s->endCode = PPPP_ERR_CLOSED_HERE;
        s->readCv.notify_all();
        s->writeCv.notify_all();
        s->stateCv.notify_all();
    }
    Wake();
    return PPPP_OK;
}

PPPP_EXPORT int32_t PPPP_DeviceStart(const char* did, const char* secret) {
    if (!IsValidDid(did)) {
        std::lock_guard<std::mutex> lock(gLib.mu);
        return gLib.initialized ? PPPP_ERR_INVALID_DID : PPPP_ERR_NOT_INITIALIZED;
    }
    auto d = std::make_shared<Device>();
    if (!ParseSecretHex(secret, d->secret)) return PPPP_ERR_INVALID_PARAMETER;
    std::strncpy(d->did, did, kDidField - 1);
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return PPPP_ERR_BIND_FAILED;
    sockaddr_in any{};
    any.sin_family = AF_INET;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
        ::close(fd);
        return PPPP_ERR_BIND_FAILED;
    }
    d->fd = fd;
    d->started = NowMs();
    {
        std::lock_guard<std::mutex> lock(gLib.mu);
        if (!gLib.initialized) {
            ::close(fd);
            return PPPP_ERR_NOT_INITIALIZED;
        }
        for (const Endpoint& e : PlaceDid(d->did, gLib.services)) {
            Registration r;
            r.service = e;
            d->regs.push_back(r);
        }
        d->handle = AllocateHandleLocked();
        gLib.devices[d->handle] = d;
        gLib.newDevices.push_back(d);
    }
    Wake();
    int32_t result;
    {
        std::unique_lock<std::mutex> lock(d->mu);
        d->cv.wait(lock, [&] { return d->startResult != kPending; });
        result = d->startResult;
    }
    if (result < 0) {
        std::lock_guard<std::mutex> lock(gLib.mu);
        gLib.devices.erase(d->handle);
    }
    return result;
}

PPPP_EXPORT int32_t PPPP_Accept(int32_t device, int32_t timeoutMs) {
    int32_t error = 0;
    auto d = FindDevice(device, &error);
    if (!d) return error;
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    std::unique_lock<std::mutex> lock(d->mu);
    for (;;) {
        if (d->stopped || d->stopRequested) return PPPP_ERR_CLOSED_HERE;
        if (!d->ready.empty()) {
            auto s = d->ready.front();
            d->ready.pop_front();
            std::lock_guard<std::mutex> sl(s->mu);
            return s->handle;
        }
        if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) return PPPP_ERR_TIMEOUT;
        WaitUntil(d->cv, lock, timeoutMs, deadline);
    }
}

PPPP_EXPORT int32_t PPPP_DeviceStop(int32_t device) {
    std::shared_ptr<Device> d;
    std::vector<std::shared_ptr<Session>> owned;
    {
        std::lock_guard<std::mutex> lock(gLib.mu);
        if (!gLib.initialized) return PPPP_ERR_NOT_INITIALIZED;
        auto it = gLib.devices.find(device);
        if (it == gLib.devices.end()) return PPPP_ERR_INVALID_SESSION;
        d = it->second;
        gLib.devices.erase(it);
        for (auto& [h, s] : gLib.sessions)
            if (s->isDevice && s->device.lock() == d) owned.push_back(s);
    }
    {
        std::lock_guard<std::mutex> lock(d->mu);
        d->stopRequested = true;
        d->cv.notify_all();
    }
    for (auto& s : owned) PPPP_Close(s->handle);
    Wake();
    return PPPP_OK;
}

}  // extern "C"
