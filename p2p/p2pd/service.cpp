#include "p2p/p2pd/service.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>

#include "p2p/crypto.h"

namespace zevo::p2p {

namespace {

constexpr uint64_t kChallengeSlotMs = 30000;
constexpr uint64_t kCertificateLifetimeSeconds = 24 * 3600;
constexpr uint64_t kJoinedKeepMs = 10000;  // answer retransmits this long after a join
constexpr uint64_t kFailedKeepMs = 5000;
constexpr size_t kSmallDatagram = 160;
constexpr size_t kDeviceSweepSlice = 4096;

// A quarter second of the rate, at least 256 KiB.
double RelayBurst(uint64_t rate) {
    return std::max(double(rate) / 4, 256.0 * 1024);
}

std::string Trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return "";
    size_t b = s.find_last_not_of(" \t\r\n");
    return s.substr(a, b - a + 1);
}

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* out) {
    if (text.empty() || text.size() > 19 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    uint64_t v = std::stoull(text);
    if (v > max) return false;
    *out = v;
    return true;
}

bool ParseBool(const std::string& text, bool* out) {
    if (text == "1" || text == "true" || text == "yes" || text == "on") {
        *out = true;
        return true;
    }
    if (text == "0" || text == "false" || text == "no" || text == "off") {
        *out = false;
        return true;
    }
    return false;
}

}  // namespace

bool ApplyOption(const std::string& name, const std::string& value, ServiceConfig* c,
                 std::string* error) {
    uint64_t n = 0;
    auto number = [&](uint64_t max) {
        if (ParseUnsigned(value, max, &n)) return true;
        *error = "bad number for " + name + ": '" + value + "'";
        return false;
    };
    auto flag = [&](bool* out) {
        if (ParseBool(value, out)) return true;
        *error = "bad boolean for " + name + ": '" + value + "'";
        return false;
    };
    if (name == "listen") {
        c->listen = value;
    } else if (name == "key") {
        c->key = value;
    } else if (name == "port-file") {
        c->portFile = value;
    } else if (name == "log-level") {
        if (value != "error" && value != "warn" && value != "info" && value != "debug") {
            *error = "log-level must be error, warn, info or debug";
            return false;
        }
        c->logLevel = value;
    } else if (name == "force-relay") {
        return flag(&c->forceRelay);
    } else if (name == "insecure-transport") {
        return flag(&c->insecureTransport);
    } else if (name == "signing-key-file") {
        c->signingKeyFile = value;
    } else if (name == "no-relay") {
        return flag(&c->noRelay);
    } else if (name == "max-devices") {
        if (!number(10000000)) return false;
        c->maxDevices = n;
    } else if (name == "max-devices-per-address") {
        if (!number(10000000)) return false;
        c->maxDevicesPerAddress = n;
    } else if (name == "max-sessions") {
        if (!number(1000000)) return false;
        c->maxSessions = n;
    } else if (name == "max-sessions-per-address") {
        if (!number(1000000)) return false;
        c->maxSessionsPerAddress = n;
    } else if (name == "max-pending") {
        if (!number(1000000)) return false;
        c->maxPending = n;
    } else if (name == "relay-rate") {
        if (!number(UINT64_MAX / 2)) return false;
        c->relayRate = n;
    } else if (name == "keepalive-ms") {
        if (!number(60000) || n < 100) {
            *error = "keepalive-ms must be 100..60000";
            return false;
        }
        c->keepaliveMs = uint32_t(n);
    } else if (name == "device-expiry-ms") {
        if (!number(600000) || n < 500) {
            *error = "device-expiry-ms must be 500..600000";
            return false;
        }
        c->deviceExpiryMs = uint32_t(n);
    } else if (name == "join-timeout-ms") {
        if (!number(60000)) return false;
        c->joinTimeoutMs = uint32_t(n);
    } else if (name == "relay-idle-ms") {
        if (!number(3600000)) return false;
        c->relayIdleMs = uint32_t(n);
    } else if (name == "relay-max-seconds") {
        if (!number(100000000)) return false;
        c->relayMaxSeconds = uint32_t(n);
    } else if (name == "threads") {
        if (!number(kMaxThreads)) {
            *error = "threads must be 0 (one per CPU) to " + std::to_string(kMaxThreads);
            return false;
        }
        c->threads = n;
    } else if (name == "relay-ports") {
        unsigned first = 0, last = 0;
        char rest = 0;
        if (std::sscanf(value.c_str(), "%u-%u%c", &first, &last, &rest) != 2 || first == 0 ||
            last > 65535 || first > last) {
            *error = "relay-ports must be FIRST-LAST within 1..65535";
            return false;
        }
        c->relayPortFirst = uint16_t(first);
        c->relayPortLast = uint16_t(last);
    } else {
        *error = "unknown option '" + name + "'";
        return false;
    }
    return true;
}

bool ParseConfigText(const std::string& text, ServiceConfig* config, std::string* error) {
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        size_t hash = line.find('#');
        if (hash != std::string::npos) line.resize(hash);
        line = Trim(line);
        if (line.empty()) continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos) {
            *error = "line " + std::to_string(number) + ": expected key = value";
            return false;
        }
        std::string key = Trim(line.substr(0, eq));
        std::string value = Trim(line.substr(eq + 1));
        std::string why;
        if (key == "key-file" || key == "config") {
            *error = "line " + std::to_string(number) + ": " + key + " only on the command line";
            return false;
        }
        if (!ApplyOption(key, value, config, &why)) {
            *error = "line " + std::to_string(number) + ": " + why;
            return false;
        }
    }
    return true;
}

namespace {

// A DID as the table keys it: its characters, NUL padded to the wire field's 24 bytes.
struct DidKey {
    uint64_t w[3] = {};
    explicit DidKey(const char* did) { std::memcpy(w, did, strnlen(did, kDidField)); }
    bool operator==(const DidKey& o) const {
        return w[0] == o.w[0] && w[1] == o.w[1] && w[2] == o.w[2];
    }
};

uint64_t Mix(uint64_t z) {
    z ^= z >> 30;
    z *= 0xbf58476d1ce4e5b9ull;
    z ^= z >> 27;
    z *= 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

}  // namespace

size_t DatagramShard(const uint8_t* data, size_t length, size_t shards) {
    if (shards <= 1) return 0;
    if (length < 4 + 8 || !HasMagic(data, length) || data[2] != kVersion) return shards;
    switch (MsgType(data[3])) {
        case MsgType::kHello:
        case MsgType::kRegister:
        case MsgType::kKeepalive:
        case MsgType::kUnregister:
        case MsgType::kLookup: {
            if (length < 4 + kDidField) return shards;
            // Only the characters count: a DID padded with other bytes is still that DID
            // (the shard then finds the datagram malformed), never a second copy elsewhere.
            char did[kDidField + 1] = {};
            std::memcpy(did, data + 4, kDidField);
            DidKey key(did);
            return size_t(Mix(key.w[0] ^ Mix(key.w[1] ^ Mix(key.w[2]))) >> 32) % shards;
        }
        case MsgType::kSessionJoin:
        case MsgType::kSessionDirect: {
            uint64_t session = 0;
            for (int i = 0; i < 8; ++i) session |= uint64_t(data[4 + i]) << (8 * i);
            return size_t(session & 0xFF) % shards;
        }
        default:
            return shards;
    }
}

namespace {

struct Registration {
    DidKey key{""};
    Endpoint endpoint;
    bool vouched = false;  // holds a certificate: its sessions run the handshake
    uint64_t regId = 0;
    uint64_t lastSeen = 0;
};

}  // namespace

// The registered devices of a shard: the records packed in one array (48 bytes each, in no
// order, so the sweep walks them by position) and an open-addressing index over it keyed
// by a seeded hash of the DID (linear probing, at most three quarters full; each slot
// holds the hash's low 32 bits and the record's position plus one).
class DeviceTable {
public:
    explicit DeviceTable(uint64_t seed) : mSeed(Mix(seed) | 1) {}

    size_t Size() const { return mRecords.size(); }
    Registration& At(size_t position) { return mRecords[position]; }

    Registration* Find(const DidKey& key) {
        if (mRecords.empty()) return nullptr;
        const uint32_t h = Hash(key);
        for (size_t i = h & mMask;; i = (i + 1) & mMask) {
            const uint64_t slot = mSlots[i];
            if (slot == 0) return nullptr;
            if (uint32_t(slot >> 32) == h && mRecords[uint32_t(slot) - 1].key == key)
                return &mRecords[uint32_t(slot) - 1];
        }
    }
    // key must not be in the table.
    Registration& Insert(const DidKey& key) {
        if ((mRecords.size() + 1) * 4 > mSlots.size() * 3) Grow();
        mRecords.emplace_back();
        mRecords.back().key = key;
        Place(Hash(key), uint32_t(mRecords.size()));
        return mRecords.back();
    }
    void Erase(const Registration& r) { EraseAt(size_t(&r - mRecords.data())); }
    // The last record moves into position.
    void EraseAt(size_t position) {
        RemoveSlot(SlotOf(mRecords[position].key, uint32_t(position + 1)));
        const size_t last = mRecords.size() - 1;
        if (position != last) {
            mSlots[SlotOf(mRecords[last].key, uint32_t(last + 1))] =
                (uint64_t(Hash(mRecords[last].key)) << 32) | uint32_t(position + 1);
            mRecords[position] = mRecords[last];
        }
        mRecords.pop_back();
    }

private:
    uint32_t Hash(const DidKey& k) const {
        return uint32_t(Mix((k.w[0] ^ mSeed) * 0x9e3779b97f4a7c15ull ^
                            Mix(k.w[1] + mSeed) ^ Mix(k.w[2] ^ (mSeed << 1))));
    }
    void Place(uint32_t h, uint32_t ref) {
        size_t i = h & mMask;
        while (mSlots[i] != 0) i = (i + 1) & mMask;
        mSlots[i] = (uint64_t(h) << 32) | ref;
    }
    size_t SlotOf(const DidKey& key, uint32_t ref) const {
        size_t i = Hash(key) & mMask;
        while (uint32_t(mSlots[i]) != ref) i = (i + 1) & mMask;
        return i;
    }
    // Backward-shift deletion: later members of the probe run move up, no tombstones.
    void RemoveSlot(size_t hole) {
        mSlots[hole] = 0;
        for (size_t j = (hole + 1) & mMask; mSlots[j] != 0; j = (j + 1) & mMask) {
            const size_t home = uint32_t(mSlots[j] >> 32) & mMask;
            const bool stays = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
            if (stays) continue;
            mSlots[hole] = mSlots[j];
            mSlots[j] = 0;
            hole = j;
        }
    }
    void Grow() {
        std::vector<uint64_t> old;
        old.swap(mSlots);
        mSlots.assign(std::max<size_t>(16, old.size() * 2), 0);
        mMask = mSlots.size() - 1;
        for (uint64_t slot : old)
            if (slot != 0) Place(uint32_t(slot >> 32), uint32_t(slot));
    }

    const uint64_t mSeed;
    std::vector<Registration> mRecords;
    std::vector<uint64_t> mSlots;
    size_t mMask = 0;
};

bool ServiceShared::AddDevice(uint32_t ip) {
    std::lock_guard<std::mutex> lock(mLock);
    size_t& here = mDevicesPerIp[ip];
    if (mDevices.load(std::memory_order_relaxed) >= mConfig.maxDevices ||
        here >= mConfig.maxDevicesPerAddress) {
        if (here == 0) mDevicesPerIp.erase(ip);
        return false;
    }
    ++here;
    mDevices.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void ServiceShared::RemoveDevice(uint32_t ip) {
    std::lock_guard<std::mutex> lock(mLock);
    auto it = mDevicesPerIp.find(ip);
    if (it != mDevicesPerIp.end() && --it->second == 0) mDevicesPerIp.erase(it);
    mDevices.fetch_sub(1, std::memory_order_relaxed);
}

bool ServiceShared::MoveDevice(uint32_t from, uint32_t to) {
    std::lock_guard<std::mutex> lock(mLock);
    size_t& there = mDevicesPerIp[to];
    if (there >= mConfig.maxDevicesPerAddress) return false;
    ++there;
    auto it = mDevicesPerIp.find(from);
    if (it != mDevicesPerIp.end() && --it->second == 0) mDevicesPerIp.erase(it);
    return true;
}

bool ServiceShared::AddSession(uint32_t ip) {
    std::lock_guard<std::mutex> lock(mLock);
    size_t& here = mSessionsPerIp[ip];
    if (mSessions.load(std::memory_order_relaxed) >= mConfig.maxSessions ||
        mPending.load(std::memory_order_relaxed) >= mConfig.maxPending ||
        here >= mConfig.maxSessionsPerAddress) {
        if (here == 0) mSessionsPerIp.erase(ip);
        return false;
    }
    ++here;
    mSessions.fetch_add(1, std::memory_order_relaxed);
    mPending.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void ServiceShared::EndPending() {
    mPending.fetch_sub(1, std::memory_order_relaxed);
}

void ServiceShared::RemoveSession(uint32_t ip, bool pending) {
    std::lock_guard<std::mutex> lock(mLock);
    auto it = mSessionsPerIp.find(ip);
    if (it != mSessionsPerIp.end() && --it->second == 0) mSessionsPerIp.erase(it);
    mSessions.fetch_sub(1, std::memory_order_relaxed);
    if (pending) mPending.fetch_sub(1, std::memory_order_relaxed);
}

void ServiceShared::Snapshot(uint64_t* out, uint64_t kernelDrops) const {
    std::fill(out, out + kStatCount, 0);
    for (const Rendezvous* shard : mShards) {
        for (size_t i = 0; i < kStatCount; ++i) out[i] += shard->Stat(i);
        out[kStatRelaysNow] += shard->Relays();
    }
    out[kStatDevicesNow] = Devices();
    out[kStatSessionsNow] = Sessions();
    out[kStatKernelDrops] = kernelDrops;
}

struct Rendezvous::Relay {
    ServiceIo* io = nullptr;  // the one that opened it closes it
    int fd = -1;
    uint16_t port = 0;
    Endpoint viewer, device;
    bool viewerBound = false, deviceBound = false;
    double tokens = 0;
    uint64_t refilled = 0;
    uint64_t lastActive = 0;
    uint64_t created = 0;
};

// A peer's local endpoints as its LOOKUP or SESSION_JOIN carried them.
struct Locals {
    uint8_t count = 0;
    Endpoint endpoints[kMaxEndpoints];
};

struct Rendezvous::SessionRec {
    uint64_t id = 0;
    char did[kDidField] = {};
    Endpoint viewer;
    uint64_t lookupNonce = 0;
    bool tryDirect = true;
    Locals viewerLocals;
    uint64_t joinToken = 0;
    bool joined = false;
    bool failed = false;
    Endpoint device;
    Locals deviceLocals;
    bool deviceVouched = false;
    uint64_t punchKey = 0;
    uint64_t relayTokenViewer = 0;
    uint64_t relayTokenDevice = 0;
    std::unique_ptr<Relay> relay;
    uint64_t created = 0;
    uint64_t joinedAt = 0;
    uint64_t queuedDue = 0;  // its live entry in mTimers
    bool pending = true;     // counted as pending in ServiceShared
};

size_t Rendezvous::LookupHash::operator()(const LookupKey& k) const {
    return size_t(Mix((uint64_t(k.viewer.ip) << 16 | k.viewer.port) ^ Mix(k.nonce)));
}

Rendezvous::Rendezvous(const ServiceConfig& config, ServiceIo* io, uint64_t cookieSeed,
                       ServiceShared* shared, size_t shard)
    : mConfig(config),
      mIo(io),
      mOwnShared(shared ? nullptr : std::make_unique<ServiceShared>(config)),
      mShared(shared ? shared : mOwnShared.get()),
      mShard(shard),
      mLogLevel(config.logLevel == "error"  ? kLogError
                : config.logLevel == "warn" ? kLogWarn
                : config.logLevel == "debug"
                    ? kLogDebug
                    : kLogInfo),
      mDevices(std::make_unique<DeviceTable>(RandomU64())) {
    uint8_t seed[8];
    for (int i = 0; i < 8; ++i) seed[i] = uint8_t(cookieSeed >> (8 * i));
    HmacSha256(reinterpret_cast<const uint8_t*>(config.key.data()), config.key.size(), seed,
               sizeof seed, mCookieKey);
    if (config.hasSigningSeed) {
        mSigner = std::make_unique<secure::ServiceSigningKey>();
        mSigner->FromSeed(config.signingSeed);
    }
    mShared->Join(this);
}

Rendezvous::~Rendezvous() {
    for (auto& [id, s] : mSessions)
        if (s->relay) s->relay->io->CloseRelay(s->relay->fd);
}

size_t Rendezvous::Devices() const {
    return mDevices->Size();
}

uint64_t Rendezvous::Random() {
    // Ids and tokens must stay unguessable, so from the system's generator, but a block at
    // a time.
    for (;;) {
        if (mRandomLeft == 0) {
            RandomBytes(reinterpret_cast<uint8_t*>(mRandom), sizeof mRandom);
            mRandomLeft = sizeof mRandom / sizeof mRandom[0];
        }
        uint64_t v = mRandom[--mRandomLeft];
        if (v != 0) return v;
    }
}

void Rendezvous::Log(int level, const std::string& text) {
    mIo->LogLine(level, text);
}

void Rendezvous::Reply(const Endpoint& to, const Message& m, int relayFd) {
    uint8_t buffer[kMaxDatagram];
    size_t n = EncodeMessage(m, buffer, sizeof buffer);
    if (n == 0) return;
    Count(kStatDatagramsOut);
    mIo->Send(relayFd, to, buffer, n);
}

void Rendezvous::Snapshot(uint64_t* out) {
    mShared->Snapshot(out, mIo->KernelDrops());
}

std::string FormatLoad(const uint64_t* stats, size_t count) {
    auto at = [&](size_t i) { return i < count ? std::to_string(stats[i]) : std::string("?"); };
    return "devices " + at(kStatDevicesNow) + ", sessions " + at(kStatSessionsNow) + ", relays " +
           at(kStatRelaysNow) + ", datagrams in " + at(kStatInPerSecond) + "/s out " +
           at(kStatOutPerSecond) + "/s; drops: malformed " + at(kStatMalformed) + ", unexpected " +
           at(kStatUnexpected) + ", refused " + at(kStatRefused) + ", did-in-use " +
           at(kStatDidInUse) + ", limit " + at(kStatLimitHits) + ", relay-stranger " +
           at(kStatRelayDropped) + ", relay-rate " + at(kStatRelayRateDrops) + ", kernel " +
           at(kStatKernelDrops);
}

void Rendezvous::MakeChallenge(const char* did, const Endpoint& from, uint64_t slot,
                               uint8_t* out) const {
    // Stateless: a challenge is a keyed hash of who asked and when, so HELLO floods
    // cost no memory.
    uint8_t data[kDidField + 14] = {};
    std::memcpy(data, did, std::strlen(did));
    for (int i = 0; i < 4; ++i) data[kDidField + i] = uint8_t(from.ip >> (8 * i));
    data[kDidField + 4] = uint8_t(from.port);
    data[kDidField + 5] = uint8_t(from.port >> 8);
    for (int i = 0; i < 8; ++i) data[kDidField + 6 + i] = uint8_t(slot >> (8 * i));
    uint8_t mac[32];
    HmacSha256(mCookieKey, sizeof mCookieKey, data, sizeof data, mac);
    std::memcpy(out, mac, kChallengeSize);
}

void Rendezvous::OnDatagram(const uint8_t* data, size_t length, const Endpoint& from,
                            uint64_t now) {
    now = Monotonic(now);

    Count(kStatDatagrams);
    Message m;
    if (!DecodeMessage(data, length, &m)) {
        Count(kStatMalformed);
        if (Logging(kLogDebug)) Log(kLogDebug, "malformed datagram from " + FormatEndpoint(from));
        return;
    }
    switch (m.type) {
        case MsgType::kHello:
            OnHello(m, from, now);
            break;
        case MsgType::kRegister:
            OnRegister(m, from, now);
            break;
        case MsgType::kKeepalive:
            OnKeepalive(m, from, now);
            break;
        case MsgType::kUnregister:
            OnUnregister(m, from);
            break;
        case MsgType::kLookup:
            OnLookup(m, from, now);
            break;
        case MsgType::kSessionJoin:
            OnJoin(m, from, now);
            break;
        case MsgType::kSessionDirect:
            OnSessionDirect(m, from);
            break;
        case MsgType::kStatsRequest:
            OnStats(m, from);
            break;
        default:
            Count(kStatUnexpected);  // messages the service sends, never receives
            break;
    }
}

void Rendezvous::OnHello(const Message& m, const Endpoint& from, uint64_t now) {
    Message r;
    r.type = MsgType::kChallenge;
    std::memcpy(r.did, m.did, kDidField);
    MakeChallenge(m.did, from, now / kChallengeSlotMs, r.challenge);
    Reply(from, r);
}

void Rendezvous::OnRegister(const Message& m, const Endpoint& from, uint64_t now) {
    Message r;
    r.type = MsgType::kRegisterResult;
    std::memcpy(r.did, m.did, kDidField);
    r.observed = from;
    r.value = mConfig.keepaliveMs;

    uint8_t expected[kChallengeSize];
    uint64_t slot = now / kChallengeSlotMs;
    // The challenge of this slot or the one before: at least 30 s to answer.
    MakeChallenge(m.did, from, slot, expected);
    bool fresh = SameBytes(expected, m.challenge, kChallengeSize);
    if (!fresh && slot > 0) {
        MakeChallenge(m.did, from, slot - 1, expected);
        fresh = SameBytes(expected, m.challenge, kChallengeSize);
    }
    uint8_t secret[kSecretSize], proof[kProofSize];
    DeviceSecret(mConfig.key, m.did, secret);
    RegistrationProof(secret, m.challenge, m.did, proof);
    // A service that vouches takes devices without a key only while migrating.
    bool keyMissing = mSigner != nullptr && !m.hasDeviceKey && !mConfig.insecureTransport;
    if (!fresh || !SameBytes(proof, m.proof, kProofSize) || keyMissing) {
        Count(kStatRefused);
        Log(kLogWarn,
            std::string("refused registration of ") + m.did + " from " + FormatEndpoint(from));
        r.status = kStatusRefused;
        Reply(from, r);
        return;
    }
    const DidKey key(m.did);
    if (Registration* reg = mDevices->Find(key)) {
        bool alive = now - reg->lastSeen < mConfig.deviceExpiryMs;
        if (reg->endpoint == from) {
            // A retransmitted REGISTER: same answer.
            reg->lastSeen = now;
            r.status = kStatusOk;
            r.token = reg->regId;
            Vouch(m, &r);
            reg->vouched = r.hasCertificate;
            Reply(from, r);
            return;
        }
        if (alive) {
            // The live holder keeps its DID; a second device waits for it to stop or expire.
            Count(kStatDidInUse);
            Log(kLogWarn, std::string("DID ") + m.did + " in use; refused " + FormatEndpoint(from));
            r.status = kStatusDidInUse;
            Reply(from, r);
            return;
        }
        mShared->RemoveDevice(reg->endpoint.ip);
        mDevices->Erase(*reg);
    }
    if (!mShared->AddDevice(from.ip)) {
        Count(kStatLimitHits);
        Log(kLogWarn, "registration limit reached for " + FormatEndpoint(from));
        r.status = kStatusLimit;
        Reply(from, r);
        return;
    }
    Registration& reg = mDevices->Insert(key);
    reg.endpoint = from;
    reg.regId = Random();
    reg.lastSeen = now;
    r.status = kStatusOk;
    r.token = reg.regId;
    Vouch(m, &r);
    reg.vouched = r.hasCertificate;
    Count(kStatRegistered);
    if (Logging(kLogInfo))
        Log(kLogInfo, std::string("registered ") + m.did + " at " + FormatEndpoint(from));
    Reply(from, r);
}

// A certificate for the key the device sent, valid a day from now: every registration
// brings a fresh one, so a rotated service key reaches every device within a day.
void Rendezvous::Vouch(const Message& m, Message* result) {
    if (mSigner == nullptr || !m.hasDeviceKey) return;
    uint64_t now = uint64_t(std::time(nullptr));
    result->hasCertificate = mSigner->Issue(m.did, m.deviceKey, now,
                                            now + kCertificateLifetimeSeconds, result->certificate);
}

void Rendezvous::OnKeepalive(const Message& m, const Endpoint& from, uint64_t now) {
    Message r;
    r.type = MsgType::kKeepaliveAck;
    std::memcpy(r.did, m.did, kDidField);
    r.observed = from;
    Registration* reg = mDevices->Find(DidKey(m.did));
    if (reg == nullptr || reg->regId != m.token) {
        Count(kStatUnexpected);
        r.status = kStatusUnknown;
        Reply(from, r);
        return;
    }
    if (reg->endpoint != from) {
        // The registration id is the device's proof; a new address is a NAT rebinding.
        if (reg->endpoint.ip != from.ip && !mShared->MoveDevice(reg->endpoint.ip, from.ip)) {
            Count(kStatLimitHits);
            r.status = kStatusLimit;
            Reply(from, r);
            return;
        }
        reg->endpoint = from;
    }
    reg->lastSeen = now;
    r.status = kStatusOk;
    Reply(from, r);
}

void Rendezvous::OnUnregister(const Message& m, const Endpoint& from) {
    Registration* reg = mDevices->Find(DidKey(m.did));
    if (reg == nullptr || reg->regId != m.token) {
        Count(kStatUnexpected);
        return;
    }
    mShared->RemoveDevice(reg->endpoint.ip);
    if (Logging(kLogInfo))
        Log(kLogInfo, std::string("unregistered ") + m.did + " from " + FormatEndpoint(from));
    mDevices->Erase(*reg);
}

void Rendezvous::SendConnectRequest(const SessionRec& s) {
    Registration* reg = mDevices->Find(DidKey(s.did));
    if (reg == nullptr) return;
    Message r;
    r.type = MsgType::kConnectRequest;
    std::memcpy(r.did, s.did, kDidField);
    r.token = reg->regId;
    r.session = s.id;
    r.nonce = s.joinToken;
    Reply(reg->endpoint, r);
}

void Rendezvous::SendPeerInfo(const SessionRec& s, bool toViewer, bool toDevice) {
    Message r;
    r.type = MsgType::kPeerInfo;
    r.session = s.id;
    r.key = s.punchKey;
    r.flags = 0;
    if (mConfig.forceRelay || !s.tryDirect) r.flags |= kFlagRelayOnly;
    if (!s.relay) r.flags |= kFlagNoRelay;
    if (!s.deviceVouched) r.flags |= kFlagPeerUnsealed;
    r.port = s.relay ? s.relay->port : 0;
    // The relay's rate in KiB/s, so the peers pace themselves below it instead of
    // losing data to it.
    r.value = uint32_t(std::min<uint64_t>(mConfig.relayRate / 1024, UINT32_MAX));
    if (mConfig.relayRate != 0 && r.value == 0) r.value = 1;
    if (toViewer) {
        r.nonce = s.lookupNonce;
        r.role = kRoleViewer;
        r.token = s.relayTokenViewer;
        r.observed = s.viewer;
        r.peer = s.device;
        r.endpointCount = s.deviceLocals.count;
        std::copy(std::begin(s.deviceLocals.endpoints), std::end(s.deviceLocals.endpoints),
                  r.endpoints);
        Reply(s.viewer, r);
    }
    if (toDevice) {
        r.nonce = s.joinToken;
        r.role = kRoleDevice;
        r.token = s.relayTokenDevice;
        r.observed = s.device;
        r.peer = s.viewer;
        r.endpointCount = s.viewerLocals.count;
        std::copy(std::begin(s.viewerLocals.endpoints), std::end(s.viewerLocals.endpoints),
                  r.endpoints);
        Reply(s.device, r);
    }
}

void Rendezvous::OnLookup(const Message& m, const Endpoint& from, uint64_t now) {
    Message r;
    r.type = MsgType::kLookupStatus;
    r.nonce = m.nonce;
    auto known = mLookupIndex.find(LookupKey{from, m.nonce});
    if (known != mLookupIndex.end()) {
        auto it = mSessions.find(known->second);
        if (it != mSessions.end()) {
            SessionRec& s = *it->second;
            if (s.failed) {
                r.status = kStatusOffline;
                Reply(from, r);
            } else if (s.joined) {
                SendPeerInfo(s, true, false);
            } else {
                SendConnectRequest(s);  // the device may have missed it
                r.status = kStatusPending;
                Reply(from, r);
            }
            return;
        }
    }
    Count(kStatLookups);
    const Registration* dev = mDevices->Find(DidKey(m.did));
    if (dev == nullptr || now - dev->lastSeen >= mConfig.deviceExpiryMs) {
        Count(kStatOffline);
        if (Logging(kLogDebug))
            Log(kLogDebug,
                std::string("lookup of offline ") + m.did + " from " + FormatEndpoint(from));
        r.status = kStatusOffline;
        Reply(from, r);
        return;
    }
    if (!mShared->AddSession(from.ip)) {
        Count(kStatLimitHits);
        Log(kLogWarn, "session limit reached for " + FormatEndpoint(from));
        r.status = kStatusLimit;
        Reply(from, r);
        return;
    }
    auto s = std::make_unique<SessionRec>();
    // With several shards the low byte names this one, so a join finds it.
    const bool alone = mShared->Shards() <= 1;
    do {
        s->id = alone ? Random() : (Random() & ~uint64_t(0xFF)) | mShard;
    } while (mSessions.count(s->id));
    std::memcpy(s->did, m.did, kDidField);
    s->deviceVouched = dev->vouched;
    s->viewer = from;
    s->lookupNonce = m.nonce;
    s->tryDirect = (m.flags & kFlagTryDirect) != 0;
    s->viewerLocals.count = m.endpointCount;
    std::copy(std::begin(m.endpoints), std::end(m.endpoints), s->viewerLocals.endpoints);
    s->joinToken = Random();
    s->punchKey = Random();
    s->relayTokenViewer = Random();
    s->relayTokenDevice = Random();
    s->created = now;
    // The relay socket opens when the device joins: a lookup it never answers costs none.
    mLookupIndex[LookupKey{from, m.nonce}] = s->id;
    Count(kStatSessions);
    if (Logging(kLogDebug))
        Log(kLogDebug, std::string("session for ") + m.did + " from " + FormatEndpoint(from));
    SendConnectRequest(*s);
    SessionRec& rec = *s;
    mSessions[s->id] = std::move(s);
    Schedule(rec, SessionDue(rec));
    r.status = kStatusPending;
    Reply(from, r);
}

void Rendezvous::OpenRelayFor(SessionRec& s, uint64_t now) {
    uint16_t port = 0;
    int fd = mIo->OpenRelay(&port);
    if (fd < 0) {
        Log(kLogWarn, "no relay socket for a session: " + std::string(s.did));
        return;
    }
    s.relay = std::make_unique<Relay>();
    s.relay->io = mIo;
    s.relay->fd = fd;
    s.relay->port = port;
    s.relay->created = now;
    s.relay->lastActive = now;
    s.relay->refilled = now;
    s.relay->tokens = RelayBurst(mConfig.relayRate);  // start with a full bucket
    mRelayByFd[fd] = &s;
    mRelayCount.store(mRelayByFd.size(), std::memory_order_relaxed);
}

void Rendezvous::OnJoin(const Message& m, const Endpoint& from, uint64_t now) {
    auto it = mSessions.find(m.session);
    if (it == mSessions.end() || it->second->joinToken != m.nonce || it->second->failed) {
        Count(kStatUnexpected);
        return;
    }
    SessionRec& s = *it->second;
    if (!s.joined) {
        s.joined = true;
        s.joinedAt = now;
        s.device = from;
        s.deviceLocals.count = m.endpointCount;
        std::copy(std::begin(m.endpoints), std::end(m.endpoints), s.deviceLocals.endpoints);
        if (s.pending) {
            s.pending = false;
            mShared->EndPending();
        }
        if (!mConfig.noRelay) OpenRelayFor(s, now);
        Schedule(s, SessionDue(s));
        SendPeerInfo(s, true, true);
    } else if (from == s.device) {
        SendPeerInfo(s, false, true);
    } else {
        Count(kStatUnexpected);
    }
}

void Rendezvous::OnSessionDirect(const Message& m, const Endpoint& from) {
    auto it = mSessions.find(m.session);
    if (it == mSessions.end() || it->second->relayTokenViewer != m.token ||
        it->second->viewer != from) {
        Count(kStatUnexpected);
        return;
    }
    DropRelay(*it->second);
    Schedule(*it->second, SessionDue(*it->second));
}

void Rendezvous::OnStats(const Message& m, const Endpoint& from) {
    // Counters are for the operator on this host only.
    if ((from.ip >> 24) != 127) {
        Count(kStatUnexpected);
        return;
    }
    Message r;
    r.type = MsgType::kStatsReply;
    r.nonce = m.nonce;
    r.statCount = kStatCount;
    Snapshot(r.stats);
    Reply(from, r);
}

bool Rendezvous::OnRelayDatagram(int relayFd, const uint8_t* data, size_t length,
                                 const Endpoint& from, uint64_t now, Endpoint* forwardTo) {
    now = Monotonic(now);
    Count(kStatRelayIn);
    auto found = mRelayByFd.find(relayFd);
    if (found == mRelayByFd.end()) return false;
    SessionRec& s = *found->second;
    Relay& relay = *s.relay;
    if (HasMagic(data, length)) {
        Message m;
        if (!DecodeMessage(data, length, &m) || m.type != MsgType::kRelayBind ||
            m.session != s.id) {
            Count(kStatRelayDropped);
            return false;
        }
        Message r;
        r.type = MsgType::kRelayBindAck;
        r.session = s.id;
        if (m.token == s.relayTokenViewer) {
            relay.viewer = from;
            relay.viewerBound = true;
        } else if (m.token == s.relayTokenDevice) {
            relay.device = from;
            relay.deviceBound = true;
        } else {
            Count(kStatRelayDropped);
            return false;
        }
        relay.lastActive = now;
        r.status = relay.viewerBound && relay.deviceBound ? kStatusOk : kStatusPending;
        Reply(from, r, relayFd);
        return false;
    }
    bool fromViewer = relay.viewerBound && from == relay.viewer;
    bool fromDevice = relay.deviceBound && from == relay.device;
    if ((!fromViewer && !fromDevice) || !relay.viewerBound || !relay.deviceBound) {
        Count(kStatRelayDropped);
        return false;
    }
    if (mConfig.relayRate != 0) {
        double rate = double(mConfig.relayRate);
        double burst = RelayBurst(mConfig.relayRate);
        relay.tokens = std::min(burst, relay.tokens + rate * double(now - relay.refilled) / 1000);
        relay.refilled = now;
        // Acknowledgements and pings are small: they pass on credit (down to one burst of
        // debt) so the peers see the loss of data, not of the session.
        bool small = length <= kSmallDatagram;
        if (relay.tokens < double(length) && !(small && relay.tokens > -burst)) {
            Count(kStatRelayRateDrops);
            return false;
        }
        relay.tokens -= double(length);
    }
    relay.lastActive = now;
    Count(kStatRelayForwarded);
    Count(kStatRelayBytes, length);
    *forwardTo = fromViewer ? relay.device : relay.viewer;
    return true;
}

void Rendezvous::DropRelay(SessionRec& s) {
    if (!s.relay) return;
    mRelayByFd.erase(s.relay->fd);
    mRelayCount.store(mRelayByFd.size(), std::memory_order_relaxed);
    s.relay->io->CloseRelay(s.relay->fd);
    s.relay.reset();
}

void Rendezvous::DropSession(uint64_t id) {
    auto it = mSessions.find(id);
    if (it == mSessions.end()) return;
    SessionRec& s = *it->second;
    DropRelay(s);
    mShared->RemoveSession(s.viewer.ip, s.pending);
    mLookupIndex.erase(LookupKey{s.viewer, s.lookupNonce});
    mSessions.erase(it);
}

uint64_t Rendezvous::SessionDue(const SessionRec& s) const {
    if (s.failed) return s.created + mConfig.joinTimeoutMs + kFailedKeepMs;
    if (!s.joined) return s.created + mConfig.joinTimeoutMs;
    if (!s.relay) return s.joinedAt + kJoinedKeepMs;
    uint64_t due = s.relay->lastActive + mConfig.relayIdleMs;
    if (mConfig.relayMaxSeconds != 0)
        due = std::min(due, s.relay->created + uint64_t(mConfig.relayMaxSeconds) * 1000);
    return due;
}

void Rendezvous::Schedule(SessionRec& s, uint64_t due) {
    // An entry that is due later than needed is fine (it is looked at and pushed on); one
    // that is due too late is not, so an earlier due gets a new entry.
    if (s.queuedDue != 0 && s.queuedDue <= due) return;
    s.queuedDue = due;
    mTimers.emplace(due, s.id);
}

void Rendezvous::SweepSessions(uint64_t now) {
    // Only the sessions whose time has come: a relay's traffic moves its due on without
    // touching the queue, and the entry is pushed again when it comes up early.
    while (!mTimers.empty() && mTimers.top().first <= now) {
        auto [queued, id] = mTimers.top();
        mTimers.pop();
        auto it = mSessions.find(id);
        if (it == mSessions.end() || it->second->queuedDue != queued) continue;
        SessionRec& s = *it->second;
        s.queuedDue = 0;
        const uint64_t due = SessionDue(s);
        if (due > now) {
            Schedule(s, due);
            continue;
        }
        if (s.failed) {
            DropSession(id);
        } else if (!s.joined) {
            // The device never answered: tell the viewer now rather than let it wait.
            s.failed = true;
            s.pending = false;
            mShared->EndPending();
            DropRelay(s);
            Message r;
            r.type = MsgType::kLookupStatus;
            r.nonce = s.lookupNonce;
            r.status = kStatusOffline;
            Reply(s.viewer, r);
            Count(kStatOffline);
            Schedule(s, SessionDue(s));
        } else {
            if (s.relay && Logging(kLogInfo)) {
                bool idle = now - s.relay->lastActive >= mConfig.relayIdleMs;
                Log(kLogInfo, "relay for " + std::string(s.did) +
                                  (idle ? " idle" : " at its time limit"));
            }
            DropSession(id);
        }
    }
}

void Rendezvous::Sweep(uint64_t now) {
    now = Monotonic(now);
    if (mRateStart == 0 || now < mRateStart) {
        mRateStart = now;
    } else if (now - mRateStart >= 1000) {
        uint64_t in = Stat(kStatDatagrams) + Stat(kStatRelayIn);
        uint64_t out = Stat(kStatDatagramsOut) + Stat(kStatRelayForwarded);
        uint64_t span = now - mRateStart;
        mStats[kStatInPerSecond].store((in - mRateIn) * 1000 / span, std::memory_order_relaxed);
        mStats[kStatOutPerSecond].store((out - mRateOut) * 1000 / span, std::memory_order_relaxed);
        mRateIn = in;
        mRateOut = out;
        mRateStart = now;
    }
    // A large table is checked a tenth per call (each device about once a second), so it
    // never stalls the loop for long; lookups and registrations check expiry themselves.
    const size_t size = mDevices->Size();
    size_t budget =
        size <= kDeviceSweepSlice ? size : std::max(kDeviceSweepSlice, size / 10 + 1);
    for (size_t checked = 0; checked < budget && mDevices->Size() > 0; ++checked) {
        if (mSweepCursor >= mDevices->Size()) mSweepCursor = 0;
        Registration& reg = mDevices->At(mSweepCursor);
        if (now - reg.lastSeen >= mConfig.deviceExpiryMs) {
            if (Logging(kLogInfo)) {
                char did[kDidField + 1] = {};
                std::memcpy(did, reg.key.w, kDidField);
                Log(kLogInfo, "registration of " + std::string(did) + " expired");
            }
            mShared->RemoveDevice(reg.endpoint.ip);
            mDevices->EraseAt(mSweepCursor);  // the last record moves here: look again
        } else {
            ++mSweepCursor;
        }
    }
    SweepSessions(now);
}

}  // namespace zevo::p2p
