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

struct Rendezvous::Registration {
    std::string did;
    Endpoint endpoint;
    bool vouched = false;  // holds a certificate: its sessions run the handshake
    uint64_t regId = 0;
    uint64_t lastSeen = 0;
};

struct Rendezvous::Relay {
    int fd = -1;
    uint16_t port = 0;
    Endpoint viewer, device;
    bool viewerBound = false, deviceBound = false;
    double tokens = 0;
    uint64_t refilled = 0;
    uint64_t lastActive = 0;
    uint64_t created = 0;
};

struct Rendezvous::SessionRec {
    uint64_t id = 0;
    std::string did;
    Endpoint viewer;
    uint64_t lookupNonce = 0;
    bool tryDirect = true;
    Message viewerLocals;  // endpoints only
    uint64_t joinToken = 0;
    bool joined = false;
    bool failed = false;
    Endpoint device;
    Message deviceLocals;
    bool deviceVouched = false;
    uint64_t punchKey = 0;
    uint64_t relayTokenViewer = 0;
    uint64_t relayTokenDevice = 0;
    std::unique_ptr<Relay> relay;
    uint64_t created = 0;
    uint64_t joinedAt = 0;
    bool pending = true;  // counted in mPending
};

Rendezvous::Rendezvous(const ServiceConfig& config, ServiceIo* io, uint64_t cookieSeed)
    : mConfig(config), mIo(io) {
    uint8_t seed[8];
    for (int i = 0; i < 8; ++i) seed[i] = uint8_t(cookieSeed >> (8 * i));
    HmacSha256(reinterpret_cast<const uint8_t*>(config.key.data()), config.key.size(), seed,
               sizeof seed, mCookieKey);
    if (config.hasSigningSeed) {
        mSigner = std::make_unique<secure::ServiceSigningKey>();
        mSigner->FromSeed(config.signingSeed);
    }
}

Rendezvous::~Rendezvous() {
    for (auto& [id, s] : mSessions)
        if (s->relay) mIo->CloseRelay(s->relay->fd);
}

void Rendezvous::Log(int level, const std::string& text) {
    mIo->LogLine(level, text);
}

void Rendezvous::Reply(const Endpoint& to, const Message& m, int relayFd) {
    uint8_t buffer[kMaxDatagram];
    size_t n = EncodeMessage(m, buffer, sizeof buffer);
    if (n == 0) return;
    ++mStats[kStatDatagramsOut];
    mIo->Send(relayFd, to, buffer, n);
}

void Rendezvous::Snapshot(uint64_t* out) {
    mStats[kStatDevicesNow] = mDevices.size();
    mStats[kStatSessionsNow] = mSessions.size();
    mStats[kStatRelaysNow] = mRelayByFd.size();
    mStats[kStatKernelDrops] = mIo->KernelDrops();
    std::copy(mStats, mStats + kStatCount, out);
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
    ++mStats[kStatDatagrams];
    Message m;
    if (!DecodeMessage(data, length, &m)) {
        ++mStats[kStatMalformed];
        Log(kLogDebug, "malformed datagram from " + FormatEndpoint(from));
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
            ++mStats[kStatUnexpected];  // messages the service sends, never receives
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
        ++mStats[kStatRefused];
        Log(kLogWarn,
            std::string("refused registration of ") + m.did + " from " + FormatEndpoint(from));
        r.status = kStatusRefused;
        Reply(from, r);
        return;
    }
    auto it = mDevices.find(m.did);
    if (it != mDevices.end()) {
        Registration& reg = *it->second;
        bool alive = now - reg.lastSeen < mConfig.deviceExpiryMs;
        if (reg.endpoint == from) {
            // A retransmitted REGISTER: same answer.
            reg.lastSeen = now;
            r.status = kStatusOk;
            r.token = reg.regId;
            Vouch(m, &r);
            reg.vouched = r.hasCertificate;
            Reply(from, r);
            return;
        }
        if (alive) {
            // The live holder keeps its DID; a second device waits for it to stop or expire.
            ++mStats[kStatDidInUse];
            Log(kLogWarn, std::string("DID ") + m.did + " in use; refused " + FormatEndpoint(from));
            r.status = kStatusDidInUse;
            Reply(from, r);
            return;
        }
        if (--mDevicesPerIp[reg.endpoint.ip] == 0) mDevicesPerIp.erase(reg.endpoint.ip);
        mDevices.erase(it);
    }
    if (mDevices.size() >= mConfig.maxDevices ||
        mDevicesPerIp[from.ip] >= mConfig.maxDevicesPerAddress) {
        if (mDevicesPerIp[from.ip] == 0) mDevicesPerIp.erase(from.ip);
        ++mStats[kStatLimitHits];
        Log(kLogWarn, "registration limit reached for " + FormatEndpoint(from));
        r.status = kStatusLimit;
        Reply(from, r);
        return;
    }
    auto reg = std::make_unique<Registration>();
    reg->did = m.did;
    reg->endpoint = from;
    reg->regId = RandomU64();
    reg->lastSeen = now;
    r.status = kStatusOk;
    r.token = reg->regId;
    Vouch(m, &r);
    reg->vouched = r.hasCertificate;
    ++mDevicesPerIp[from.ip];
    mDevices[m.did] = std::move(reg);
    ++mStats[kStatRegistered];
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
    auto it = mDevices.find(m.did);
    if (it == mDevices.end() || it->second->regId != m.token) {
        ++mStats[kStatUnexpected];
        r.status = kStatusUnknown;
        Reply(from, r);
        return;
    }
    Registration& reg = *it->second;
    if (reg.endpoint != from) {
        // The registration id is the device's proof; a new address is a NAT rebinding.
        if (reg.endpoint.ip != from.ip) {
            if (mDevicesPerIp[from.ip] >= mConfig.maxDevicesPerAddress) {
                ++mStats[kStatLimitHits];
                r.status = kStatusLimit;
                Reply(from, r);
                return;
            }
            if (--mDevicesPerIp[reg.endpoint.ip] == 0) mDevicesPerIp.erase(reg.endpoint.ip);
            ++mDevicesPerIp[from.ip];
        }
        reg.endpoint = from;
    }
    reg.lastSeen = now;
    r.status = kStatusOk;
    Reply(from, r);
}

void Rendezvous::OnUnregister(const Message& m, const Endpoint& from) {
    auto it = mDevices.find(m.did);
    if (it == mDevices.end() || it->second->regId != m.token) {
        ++mStats[kStatUnexpected];
        return;
    }
    if (--mDevicesPerIp[it->second->endpoint.ip] == 0) mDevicesPerIp.erase(it->second->endpoint.ip);
    Log(kLogInfo, std::string("unregistered ") + m.did + " from " + FormatEndpoint(from));
    mDevices.erase(it);
}

void Rendezvous::SendConnectRequest(const SessionRec& s) {
    auto it = mDevices.find(s.did);
    if (it == mDevices.end()) return;
    Message r;
    r.type = MsgType::kConnectRequest;
    std::memcpy(r.did, s.did.c_str(), s.did.size());
    r.token = it->second->regId;
    r.session = s.id;
    r.nonce = s.joinToken;
    Reply(it->second->endpoint, r);
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
        r.endpointCount = s.deviceLocals.endpointCount;
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
        r.endpointCount = s.viewerLocals.endpointCount;
        std::copy(std::begin(s.viewerLocals.endpoints), std::end(s.viewerLocals.endpoints),
                  r.endpoints);
        Reply(s.device, r);
    }
}

void Rendezvous::OnLookup(const Message& m, const Endpoint& from, uint64_t now) {
    Message r;
    r.type = MsgType::kLookupStatus;
    r.nonce = m.nonce;
    auto known = mLookupIndex.find({from, m.nonce});
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
    ++mStats[kStatLookups];
    auto dev = mDevices.find(m.did);
    if (dev == mDevices.end() || now - dev->second->lastSeen >= mConfig.deviceExpiryMs) {
        ++mStats[kStatOffline];
        Log(kLogDebug, std::string("lookup of offline ") + m.did + " from " + FormatEndpoint(from));
        r.status = kStatusOffline;
        Reply(from, r);
        return;
    }
    if (mSessions.size() >= mConfig.maxSessions || mPending >= mConfig.maxPending ||
        mSessionsPerIp[from.ip] >= mConfig.maxSessionsPerAddress) {
        if (mSessionsPerIp[from.ip] == 0) mSessionsPerIp.erase(from.ip);
        ++mStats[kStatLimitHits];
        Log(kLogWarn, "session limit reached for " + FormatEndpoint(from));
        r.status = kStatusLimit;
        Reply(from, r);
        return;
    }
    auto s = std::make_unique<SessionRec>();
    do {
        s->id = RandomU64();
    } while (mSessions.count(s->id));
    s->did = m.did;
    s->deviceVouched = dev->second->vouched;
    s->viewer = from;
    s->lookupNonce = m.nonce;
    s->tryDirect = (m.flags & kFlagTryDirect) != 0;
    s->viewerLocals.endpointCount = m.endpointCount;
    std::copy(std::begin(m.endpoints), std::end(m.endpoints), s->viewerLocals.endpoints);
    s->joinToken = RandomU64();
    s->punchKey = RandomU64();
    s->relayTokenViewer = RandomU64();
    s->relayTokenDevice = RandomU64();
    s->created = now;
    if (!mConfig.noRelay) {
        uint16_t port = 0;
        int fd = mIo->OpenRelay(&port);
        if (fd >= 0) {
            s->relay = std::make_unique<Relay>();
            s->relay->fd = fd;
            s->relay->port = port;
            s->relay->created = now;
            s->relay->lastActive = now;
            s->relay->refilled = now;
            s->relay->tokens = RelayBurst(mConfig.relayRate);  // start with a full bucket
            mRelayByFd[fd] = s.get();
        } else {
            Log(kLogWarn, "no relay socket for a session: " + std::string(m.did));
        }
    }
    mLookupIndex[{from, m.nonce}] = s->id;
    ++mSessionsPerIp[from.ip];
    ++mPending;
    ++mStats[kStatSessions];
    Log(kLogDebug, std::string("session for ") + m.did + " from " + FormatEndpoint(from));
    SendConnectRequest(*s);
    mSessions[s->id] = std::move(s);
    r.status = kStatusPending;
    Reply(from, r);
}

void Rendezvous::OnJoin(const Message& m, const Endpoint& from, uint64_t now) {
    auto it = mSessions.find(m.session);
    if (it == mSessions.end() || it->second->joinToken != m.nonce || it->second->failed) {
        ++mStats[kStatUnexpected];
        return;
    }
    SessionRec& s = *it->second;
    if (!s.joined) {
        s.joined = true;
        s.joinedAt = now;
        s.device = from;
        s.deviceLocals.endpointCount = m.endpointCount;
        std::copy(std::begin(m.endpoints), std::end(m.endpoints), s.deviceLocals.endpoints);
        if (s.pending) {
            s.pending = false;
            --mPending;
        }
        SendPeerInfo(s, true, true);
    } else if (from == s.device) {
        SendPeerInfo(s, false, true);
    } else {
        ++mStats[kStatUnexpected];
    }
}

void Rendezvous::OnSessionDirect(const Message& m, const Endpoint& from) {
    auto it = mSessions.find(m.session);
    if (it == mSessions.end() || it->second->relayTokenViewer != m.token ||
        it->second->viewer != from) {
        ++mStats[kStatUnexpected];
        return;
    }
    DropRelay(*it->second);
}

void Rendezvous::OnStats(const Message& m, const Endpoint& from) {
    // Counters are for the operator on this host only.
    if ((from.ip >> 24) != 127) {
        ++mStats[kStatUnexpected];
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
    ++mStats[kStatRelayIn];
    auto found = mRelayByFd.find(relayFd);
    if (found == mRelayByFd.end()) return false;
    SessionRec& s = *found->second;
    Relay& relay = *s.relay;
    if (HasMagic(data, length)) {
        Message m;
        if (!DecodeMessage(data, length, &m) || m.type != MsgType::kRelayBind ||
            m.session != s.id) {
            ++mStats[kStatRelayDropped];
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
            ++mStats[kStatRelayDropped];
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
        ++mStats[kStatRelayDropped];
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
            ++mStats[kStatRelayRateDrops];
            return false;
        }
        relay.tokens -= double(length);
    }
    relay.lastActive = now;
    ++mStats[kStatRelayForwarded];
    mStats[kStatRelayBytes] += length;
    *forwardTo = fromViewer ? relay.device : relay.viewer;
    return true;
}

void Rendezvous::DropRelay(SessionRec& s) {
    if (!s.relay) return;
    mRelayByFd.erase(s.relay->fd);
    mIo->CloseRelay(s.relay->fd);
    s.relay.reset();
}

void Rendezvous::DropSession(uint64_t id) {
    auto it = mSessions.find(id);
    if (it == mSessions.end()) return;
    SessionRec& s = *it->second;
    DropRelay(s);
    if (s.pending) --mPending;
    if (--mSessionsPerIp[s.viewer.ip] == 0) mSessionsPerIp.erase(s.viewer.ip);
    mLookupIndex.erase({s.viewer, s.lookupNonce});
    mSessions.erase(it);
}

void Rendezvous::Sweep(uint64_t now) {
    if (mRateStart == 0 || now < mRateStart) {
        mRateStart = now;
    } else if (now - mRateStart >= 1000) {
        uint64_t in = mStats[kStatDatagrams] + mStats[kStatRelayIn];
        uint64_t out = mStats[kStatDatagramsOut] + mStats[kStatRelayForwarded];
        uint64_t span = now - mRateStart;
        mStats[kStatInPerSecond] = (in - mRateIn) * 1000 / span;
        mStats[kStatOutPerSecond] = (out - mRateOut) * 1000 / span;
        mRateIn = in;
        mRateOut = out;
        mRateStart = now;
    }
    // A large table is checked a tenth per call (each device about once a second), so it
    // never stalls the loop for long; lookups and registrations check expiry themselves.
    size_t budget = mDevices.size() <= kDeviceSweepSlice
                        ? mDevices.size()
                        : std::max(kDeviceSweepSlice, mDevices.size() / 10 + 1);
    auto it = mDevices.lower_bound(mSweepCursor);
    for (size_t checked = 0; checked < budget; ++checked) {
        if (it == mDevices.end()) it = mDevices.begin();
        if (it == mDevices.end()) break;
        if (now - it->second->lastSeen >= mConfig.deviceExpiryMs) {
            Log(kLogInfo, "registration of " + it->first + " expired");
            if (--mDevicesPerIp[it->second->endpoint.ip] == 0)
                mDevicesPerIp.erase(it->second->endpoint.ip);
            it = mDevices.erase(it);
        } else {
            ++it;
        }
    }
    mSweepCursor = it == mDevices.end() ? std::string() : it->first;
    std::vector<uint64_t> drop;
    for (auto& [id, sp] : mSessions) {
        SessionRec& s = *sp;
        if (s.failed) {
            if (now - s.created >= mConfig.joinTimeoutMs + kFailedKeepMs) drop.push_back(id);
            continue;
        }
        if (!s.joined) {
            if (now - s.created >= mConfig.joinTimeoutMs) {
                // The device never answered: tell the viewer now rather than let it wait.
                s.failed = true;
                s.pending = false;
                --mPending;
                DropRelay(s);
                Message r;
                r.type = MsgType::kLookupStatus;
                r.nonce = s.lookupNonce;
                r.status = kStatusOffline;
                Reply(s.viewer, r);
                ++mStats[kStatOffline];
            }
            continue;
        }
        if (s.relay) {
            bool idle = now - s.relay->lastActive >= mConfig.relayIdleMs;
            bool tooLong = mConfig.relayMaxSeconds != 0 &&
                           now - s.relay->created >= uint64_t(mConfig.relayMaxSeconds) * 1000;
            if (idle || tooLong) {
                Log(kLogInfo, "relay for " + s.did + (idle ? " idle" : " at its time limit"));
                drop.push_back(id);
            }
        } else if (now - s.joinedAt >= kJoinedKeepMs) {
            drop.push_back(id);
        }
    }
    for (uint64_t id : drop) DropSession(id);
}

}  // namespace zevo::p2p
