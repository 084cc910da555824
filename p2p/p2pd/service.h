#pragma once
// The rendezvous and relay logic of zevo-p2pd, apart from its sockets: every datagram goes
// in through OnDatagram or OnRelayDatagram and every answer out through ServiceIo, so
// the whole state machine can be driven by tests and fuzzers without a network.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <queue>
#include <string>
#include <unordered_map>
#include <vector>

#include "p2p/secure/certificate.h"
#include "p2p/wire.h"

namespace zevo::p2p {

struct ServiceConfig {
    std::string listen = "127.0.0.1:32100";
    std::string key;
    bool forceRelay = false;
    bool noRelay = false;
    size_t maxDevices = 10000;
    size_t maxDevicesPerAddress = 16;
    size_t maxSessions = 1024;  // pending and relayed together
    size_t maxSessionsPerAddress = 32;
    size_t maxPending = 256;  // lookups waiting for their device
    // Bytes per second per session, 0 unlimited. The peers pace at 90 % of it, so the
    // default leaves one session a little over 1 Gbit/s.
    uint64_t relayRate = 160 * 1024 * 1024;
    uint32_t keepaliveMs = 2000;
    uint32_t deviceExpiryMs = 8000;
    uint32_t joinTimeoutMs = 2500;
    uint32_t relayIdleMs = 30000;
    uint32_t relayMaxSeconds = 0;  // 0: no limit
    // Relay sockets bind within [relayPortFirst, relayPortLast] (a firewall's opening);
    // both 0: any free port.
    uint16_t relayPortFirst = 0;
    uint16_t relayPortLast = 0;
    std::string portFile;
    std::string logLevel = "info";
    // Worker threads, each with its own socket on the listening port and its own share of
    // the DIDs; 0: one per CPU.
    size_t threads = 0;
    // The Ed25519 seed (from --signing-key-file) the service signs device certificates
    // with. Without it devices get none and viewers that trust service keys refuse them.
    std::string signingKeyFile;
    bool hasSigningSeed = false;
    uint8_t signingSeed[32] = {};
    // Registrations without a device key (devices older than the handshake) are accepted;
    // their viewers learn from PEER_INFO that the device cannot prove its key.
    bool insecureTransport = false;
};

// Worker threads zevo-p2pd runs at most. It keeps four shards per worker, at most 256:
// the low byte of a session id names its shard.
constexpr size_t kMaxThreads = 64;

// Parses "key = value" lines ('#' comments) into config; on failure error names the line.
bool ParseConfigText(const std::string& text, ServiceConfig* config, std::string* error);
// Applies one option by its long name (without dashes) as the config file and the command
// line spell it.
bool ApplyOption(const std::string& name, const std::string& value, ServiceConfig* config,
                 std::string* error);

// Counters, in the order STATS_REPLY carries them.
enum Stat : size_t {
    kStatDatagrams,
    kStatMalformed,   // not a well-formed message
    kStatUnexpected,  // well-formed but unknown session, wrong token or state
    kStatRegistered,
    kStatRefused,  // wrong secret or stale challenge
    kStatDidInUse,
    kStatLimitHits,
    kStatLookups,
    kStatOffline,
    kStatSessions,        // sessions created
    kStatRelayForwarded,  // datagrams
    kStatRelayBytes,
    kStatRelayDropped,  // from strangers or before both ends bound
    kStatRelayRateDrops,
    kStatDevicesNow,
    kStatSessionsNow,
    kStatRelaysNow,
    kStatDatagramsOut,  // sent from the main socket and relay binds; forwards counted apart
    kStatRelayIn,       // datagrams arriving on relay sockets
    kStatInPerSecond,   // main and relay sockets, over the last full second
    kStatOutPerSecond,
    kStatKernelDrops,  // the main socket's receive queue overflowed: the host is too busy
    kStatCount
};
static_assert(kStatCount <= kMaxStats, "STATS_REPLY carries at most kMaxStats counters");

// One line for the operator: devices, sessions, relays, datagrams per second and drops by
// cause. Takes as many counters as a service sent (older services send fewer).
std::string FormatLoad(const uint64_t* stats, size_t count);

class ServiceIo {
public:
    virtual ~ServiceIo() = default;
    // Sends from the main socket (relayFd < 0) or from a relay socket.
    virtual void Send(int relayFd, const Endpoint& to, const uint8_t* data, size_t length) = 0;
    // Opens a relay socket on the service's address; returns its fd and port, or -1.
    virtual int OpenRelay(uint16_t* port) = 0;
    // Called on the ServiceIo that opened fd, from whichever thread drops the relay.
    virtual void CloseRelay(int fd) = 0;
    virtual void LogLine(int level, const std::string& text) = 0;
    // Datagrams the kernel dropped before the main socket's reader saw them.
    virtual uint64_t KernelDrops() { return 0; }
};

enum LogLevel { kLogError = 0, kLogWarn = 1, kLogInfo = 2, kLogDebug = 3 };

// The shard that owns a datagram of the main socket, of shards: devices' and viewers'
// messages by their DID, joins and SESSION_DIRECT by their session id. shards itself for
// anything else (the thread that read it handles it).
size_t DatagramShard(const uint8_t* data, size_t length, size_t shards);

class Rendezvous;

// What the shards of one instance share: the limits that hold for the instance as a whole
// (devices, sessions, pending lookups, and each of them per source address) and the list
// of shards, so that counters are reported for the instance. Only registrations, sessions
// and their ends come here, never a keepalive or a relayed datagram.
class ServiceShared {
public:
    explicit ServiceShared(const ServiceConfig& config) : mConfig(config) {}
    // Counts a device from ip; false (nothing counted) at a limit.
    bool AddDevice(uint32_t ip);
    void RemoveDevice(uint32_t ip);
    // A registered device seen from another address; false at the new address's limit.
    bool MoveDevice(uint32_t from, uint32_t to);
    // Counts a pending session for a viewer at ip; false (nothing counted) at a limit.
    bool AddSession(uint32_t ip);
    void EndPending();
    void RemoveSession(uint32_t ip, bool pending);
    size_t Devices() const { return mDevices.load(std::memory_order_relaxed); }
    size_t Sessions() const { return mSessions.load(std::memory_order_relaxed); }

    // Shards join before any of them runs.
    void Join(Rendezvous* shard) { mShards.push_back(shard); }
    size_t Shards() const { return mShards.size(); }
    // The instance's counters as STATS_REPLY carries them.
    void Snapshot(uint64_t* out, uint64_t kernelDrops) const;

private:
    const ServiceConfig mConfig;
    std::mutex mLock;  // the per-address tables
    std::unordered_map<uint32_t, size_t> mDevicesPerIp;
    std::unordered_map<uint32_t, size_t> mSessionsPerIp;
    std::atomic<size_t> mDevices{0}, mSessions{0}, mPending{0};
    std::vector<Rendezvous*> mShards;
};

class DeviceTable;

// One shard of the service: the devices whose DID falls to it and the sessions opened for
// them. Driven by one thread at a time (zevo-p2pd's workers take turns under a lock per
// shard); other threads only read its counters. Alone (shared null) it is the whole
// service.
class Rendezvous {
public:
    Rendezvous(const ServiceConfig& config, ServiceIo* io, uint64_t cookieSeed,
               ServiceShared* shared = nullptr, size_t shard = 0);
    ~Rendezvous();

    // Answers leave, and relay sockets open, through io from now on.
    void SetIo(ServiceIo* io) { mIo = io; }

    void OnDatagram(const uint8_t* data, size_t length, const Endpoint& from, uint64_t nowMs);
    // A datagram on a relay socket. Returns true and sets forwardTo when it is to be passed
    // on unchanged; binds and strangers are handled here.
    bool OnRelayDatagram(int relayFd, const uint8_t* data, size_t length, const Endpoint& from,
                         uint64_t nowMs, Endpoint* forwardTo);
    // Expires registrations, pending lookups and idle relays; call a few times a second.
    void Sweep(uint64_t nowMs);

    // This shard's counter (gauges excepted: see Snapshot).
    uint64_t Stat(size_t index) const { return mStats[index].load(std::memory_order_relaxed); }
    // The instance's counters as STATS_REPLY carries them, gauges brought up to date.
    void Snapshot(uint64_t* out);
    size_t Devices() const;
    size_t Sessions() const { return mSessions.size(); }
    size_t Relays() const { return mRelayCount.load(std::memory_order_relaxed); }

private:
    struct SessionRec;
    struct Relay;
    struct LookupKey {
        Endpoint viewer;
        uint64_t nonce;
        bool operator==(const LookupKey& o) const { return viewer == o.viewer && nonce == o.nonce; }
    };
    struct LookupHash {
        size_t operator()(const LookupKey& k) const;
    };

    void Reply(const Endpoint& to, const Message& m, int relayFd = -1);
    void OnHello(const Message& m, const Endpoint& from, uint64_t now);
    void OnRegister(const Message& m, const Endpoint& from, uint64_t now);
    void Vouch(const Message& m, Message* result);
    void OnKeepalive(const Message& m, const Endpoint& from, uint64_t now);
    void OnUnregister(const Message& m, const Endpoint& from);
    void OnLookup(const Message& m, const Endpoint& from, uint64_t now);
    void OnJoin(const Message& m, const Endpoint& from, uint64_t now);
    void OnSessionDirect(const Message& m, const Endpoint& from);
    void OnStats(const Message& m, const Endpoint& from);
    void MakeChallenge(const char* did, const Endpoint& from, uint64_t slot, uint8_t* out) const;
    void SendConnectRequest(const SessionRec& s);
    void SendPeerInfo(const SessionRec& s, bool toViewer, bool toDevice);
    void OpenRelayFor(SessionRec& s, uint64_t now);
    void DropSession(uint64_t id);
    void DropRelay(SessionRec& s);
    // When the sweep should look at a session next.
    uint64_t SessionDue(const SessionRec& s) const;
    void Schedule(SessionRec& s, uint64_t due);
    void SweepSessions(uint64_t now);
    uint64_t Random();
    // Threads that take turns at a shard read the clock at different moments: time seen
    // here never goes back, or a keepalive stamped by one would look ancient to the next.
    uint64_t Monotonic(uint64_t now) {
        if (now < mLastNow) return mLastNow;
        return mLastNow = now;
    }
    bool Logging(int level) const { return level <= mLogLevel; }
    void Log(int level, const std::string& text);
    // Counters have one writer, the shard's thread: a plain increment, readable anywhere.
    void Count(size_t index, uint64_t n = 1) {
        mStats[index].store(mStats[index].load(std::memory_order_relaxed) + n,
                            std::memory_order_relaxed);
    }

    ServiceConfig mConfig;
    ServiceIo* mIo;
    std::unique_ptr<ServiceShared> mOwnShared;  // when alone
    ServiceShared* mShared;
    size_t mShard;
    int mLogLevel;
    std::unique_ptr<secure::ServiceSigningKey> mSigner;  // null: vouches for no device
    uint8_t mCookieKey[32];
    std::unique_ptr<DeviceTable> mDevices;
    std::unordered_map<uint64_t, std::unique_ptr<SessionRec>> mSessions;
    std::unordered_map<LookupKey, uint64_t, LookupHash> mLookupIndex;
    std::unordered_map<int, SessionRec*> mRelayByFd;
    std::atomic<size_t> mRelayCount{0};
    // (due, session id): every session has one live entry, its SessionRec::queuedDue.
    std::priority_queue<std::pair<uint64_t, uint64_t>, std::vector<std::pair<uint64_t, uint64_t>>,
                        std::greater<>>
        mTimers;
    std::atomic<uint64_t> mStats[kStatCount] = {};
    uint64_t mRateStart = 0;  // the window the per-second rates are counted over
    uint64_t mRateIn = 0, mRateOut = 0;
    size_t mSweepCursor = 0;  // the device the next sweep starts from
    uint64_t mLastNow = 0;
    uint64_t mRandom[32];     // drawn in blocks: sessions take five numbers each
    size_t mRandomLeft = 0;
};

}  // namespace zevo::p2p
