#pragma once
// What the parts of the transport library share: the session and device records, the
// library's table of handles, the worker that runs every ENet host, and small helpers.
// The worker thread alone touches ENet; API threads only touch a session's buffers under
// its lock and wake the worker.
#include <enet/enet.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "p2p/PPPP_API.h"
#include "p2p/secure/certificate.h"
#include "p2p/secure/noise.h"
#include "p2p/transport/sealing.h"
#include "p2p/wire.h"

namespace zevo::p2p::transport {

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

uint64_t NowMs();
extern bool gLogEnabled;
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
sockaddr_in ToSockaddr(const Endpoint& e);
Endpoint FromEnet(const ENetAddress& a);
ENetAddress ToEnet(const Endpoint& e);
void SendRaw(int fd, const Endpoint& to, const Message& m);
uint16_t LocalPort(int fd);
// This host's IPv4 addresses (not loopback) with the socket's port: the candidates a peer
// on the same network can reach directly.
void FillLocalEndpoints(int fd, Message* m);
// True for 127/8 and this host's own addresses: such a path never leaves the machine.
bool IsThisHost(uint32_t ip);
void SetSocketBuffer(int fd, int forced, int plain);
void ConfigureHost(ENetHost* host);
void SetSealedMtu(ENetHost* host, bool sealed);

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
    // Readers of this channel only: media arriving on one channel does not wake the
    // reader that waits on another.
    std::condition_variable readable;
    int readersWaiting = 0;
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
    int writersWaiting = 0;
    Endpoint remote, publicEp;
    uint8_t mode = PPPP_MODE_DIRECT;
    int fd = -1;
    uint64_t openedMs = 0;
    bool sealed = false;     // the handshake completed: every datagram travels sealed
    SealingDrops sealDrops;  // the worker's copy of the sealer's counts

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
    // Set when the session runs the handshake (the viewer trusts service keys, or the
    // device holds a certificate); lives as long as the session, beyond its host.
    std::unique_ptr<Sealer> sealer;

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
    secure::KeyPair staticKey;  // made at start; the services vouch for its public half

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
    bool hasCertificate = false;  // the latest certificate a service of the set issued
    uint8_t certificate[secure::kCertificateSize] = {};
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
    // Service keys this viewer trusts (pinned-key files, a version-2 string): with any, every
    // session must prove the device's key; with none the viewer connects to nothing.
    std::vector<secure::ServicePublicKey> trusted;
    // The migration switch (ZEVO_P2P_INSECURE_TRANSPORT): a device that holds a certificate
    // also takes unsealed sessions from viewers that do not run the handshake, and a viewer
    // that trusts no key connects unsealed.
    bool insecureAllowed = false;
    bool toldTrust = false;      // the viewer said once why it trusts no device
    std::string trustLocations;  // where its pinned-key files were looked for
};

extern Library gLib;
extern std::mutex gLifecycle;  // serialises Initialize and DeInitialize

void Wake();
int32_t AllocateHandleLocked();
void AddTombstoneLocked(int32_t h);
// Wakes the readers of every channel (the session ended or is closing); under s.mu.
inline void WakeReaders(Session& s) {
    for (Inbound& in : s.in) in.readable.notify_all();
}
// Ends the session for its API users; the first reason wins.
void EndSession(Session& s, int32_t code);
void FinishConnect(Session& s, int32_t result);
// False when this viewer must not connect: it trusts no service key and was not told to
// run unsealed.
bool ViewerMaySend();
std::shared_ptr<Session> FindSession(int32_t handle, int32_t* error);
std::shared_ptr<Device> FindDevice(int32_t handle, int32_t* error);
void WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, int32_t timeoutMs,
               std::chrono::steady_clock::time_point deadline);

// The worker thread's body, one per initialised library.
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
    void Deliver(Session& s, ENetEvent& ev);
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

extern Worker* gWorker;
void WorkerMain();

}  // namespace zevo::p2p::transport
