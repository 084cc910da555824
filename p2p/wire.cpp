#include "p2p/wire.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstring>

namespace zevo::p2p {
namespace {

class Writer {
public:
    Writer(uint8_t* out, size_t capacity) : mOut(out), mCapacity(capacity) {}
    void U8(uint8_t v) { Put(&v, 1); }
    void U16(uint16_t v) {
        uint8_t b[2] = {uint8_t(v), uint8_t(v >> 8)};
        Put(b, 2);
    }
    void U32(uint32_t v) {
        uint8_t b[4];
        for (int i = 0; i < 4; ++i) b[i] = uint8_t(v >> (8 * i));
        Put(b, 4);
    }
    void U64(uint64_t v) {
        uint8_t b[8];
        for (int i = 0; i < 8; ++i) b[i] = uint8_t(v >> (8 * i));
        Put(b, 8);
    }
    // Endpoints travel as on IP: address and port in network byte order.
    void Ep(const Endpoint& e) {
        uint8_t b[6] = {uint8_t(e.ip >> 24), uint8_t(e.ip >> 16),  uint8_t(e.ip >> 8),
                        uint8_t(e.ip),       uint8_t(e.port >> 8), uint8_t(e.port)};
        Put(b, 6);
    }
    void Put(const void* p, size_t n) {
        if (mFailed || mCapacity - mSize < n) {
            mFailed = true;
            return;
        }
        std::memcpy(mOut + mSize, p, n);
        mSize += n;
    }
    size_t Size() const { return mFailed ? 0 : mSize; }

private:
    uint8_t* mOut;
    size_t mCapacity;
    size_t mSize = 0;
    bool mFailed = false;
};

class Reader {
public:
    Reader(const uint8_t* data, size_t length) : mData(data), mLength(length) {}
    bool Get(void* p, size_t n) {
        if (mLength - mPos < n) return false;
        std::memcpy(p, mData + mPos, n);
        mPos += n;
        return true;
    }
    bool U8(uint8_t* v) { return Get(v, 1); }
    bool I8(int8_t* v) { return Get(v, 1); }
    bool U16(uint16_t* v) {
        uint8_t b[2];
        if (!Get(b, 2)) return false;
        *v = uint16_t(b[0] | (b[1] << 8));
        return true;
    }
    bool U32(uint32_t* v) {
        uint8_t b[4];
        if (!Get(b, 4)) return false;
        *v = 0;
        for (int i = 3; i >= 0; --i) *v = (*v << 8) | b[i];
        return true;
    }
    bool U64(uint64_t* v) {
        uint8_t b[8];
        if (!Get(b, 8)) return false;
        *v = 0;
        for (int i = 7; i >= 0; --i) *v = (*v << 8) | b[i];
        return true;
    }
    bool Ep(Endpoint* e) {
        uint8_t b[6];
        if (!Get(b, 6)) return false;
        e->ip = (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
        e->port = uint16_t((b[4] << 8) | b[5]);
        return true;
    }
    bool AtEnd() const { return mPos == mLength; }

private:
    const uint8_t* mData;
    size_t mLength;
    size_t mPos = 0;
};

bool IsDidChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
}

void PutDid(Writer& w, const char* did) {
    uint8_t field[kDidField] = {};
    std::memcpy(field, did, std::strlen(did));
    w.Put(field, kDidField);
}

bool GetDid(Reader& r, char* did) {
    if (!r.Get(did, kDidField)) return false;
    // The field must hold a NUL-terminated valid DID followed by NUL padding only.
    size_t n = 0;
    while (n < kDidField && did[n] != '\0') ++n;
    if (n == kDidField) return false;
    for (size_t i = n; i < kDidField; ++i)
        if (did[i] != '\0') return false;
    return IsValidDid(did);
}

void PutEndpoints(Writer& w, const Message& m) {
    w.U8(m.endpointCount);
    for (size_t i = 0; i < m.endpointCount && i < kMaxEndpoints; ++i) w.Ep(m.endpoints[i]);
}

bool GetEndpoints(Reader& r, Message* m) {
    if (!r.U8(&m->endpointCount) || m->endpointCount > kMaxEndpoints) return false;
    for (size_t i = 0; i < m->endpointCount; ++i)
        if (!r.Ep(&m->endpoints[i])) return false;
    return true;
}

bool HasDid(MsgType t) {
    switch (t) {
        case MsgType::kHello:
        case MsgType::kChallenge:
        case MsgType::kRegister:
        case MsgType::kRegisterResult:
        case MsgType::kKeepalive:
        case MsgType::kKeepaliveAck:
        case MsgType::kUnregister:
        case MsgType::kLookup:
        case MsgType::kConnectRequest:
            return true;
        default:
            return false;
    }
}

}  // namespace

std::string FormatEndpoint(const Endpoint& e) {
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", e.ip >> 24, (e.ip >> 16) & 255,
                  (e.ip >> 8) & 255, e.ip & 255, e.port);
    return text;
}

bool ParseEndpointList(const std::string& text, std::vector<Endpoint>* out, size_t maxCount) {
    out->clear();
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        std::string item = text.substr(start, comma - start);
        size_t colon = item.rfind(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == item.size()) return false;
        std::string host = item.substr(0, colon);
        std::string portText = item.substr(colon + 1);
        if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos)
            return false;
        unsigned long port = std::stoul(portText);
        if (port > 65535) return false;
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_DGRAM;
        addrinfo* found = nullptr;
        if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
            return false;
        Endpoint e;
        e.ip = ntohl(reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
        e.port = uint16_t(port);
        freeaddrinfo(found);
        if (out->size() >= maxCount) return false;
        out->push_back(e);
        start = comma + 1;
    }
    return !out->empty();
}

bool IsValidDid(const char* did) {
    if (did == nullptr) return false;
    size_t n = 0;
    for (; did[n] != '\0'; ++n) {
        if (n >= kDidMax || !IsDidChar(did[n])) return false;
    }
    return n > 0;
}

bool HasMagic(const uint8_t* data, size_t length) {
    return length >= 4 && data[0] == kMagic0 && data[1] == kMagic1 && data[2] == kVersion;
}

size_t EncodeMessage(const Message& m, uint8_t* out, size_t capacity) {
    if (HasDid(m.type) && !IsValidDid(m.did)) return 0;
    if (m.endpointCount > kMaxEndpoints || m.statCount > kMaxStats) return 0;
    Writer w(out, capacity);
    w.U8(kMagic0);
    w.U8(kMagic1);
    w.U8(kVersion);
    w.U8(uint8_t(m.type));
    if (HasDid(m.type)) PutDid(w, m.did);
    switch (m.type) {
        case MsgType::kHello:  // padded to the challenge's size: no amplification
        case MsgType::kChallenge:
            w.Put(m.challenge, kChallengeSize);
            break;
        case MsgType::kRegister:
            w.Put(m.challenge, kChallengeSize);
            w.Put(m.proof, kProofSize);
            PutEndpoints(w, m);
            if (m.hasDeviceKey) w.Put(m.deviceKey, kDeviceKeySize);
            break;
        case MsgType::kRegisterResult:
            w.U8(uint8_t(m.status));
            w.U64(m.token);
            w.U32(m.value);
            w.Ep(m.observed);
            if (m.hasCertificate) w.Put(m.certificate, kCertificateSize);
            break;
        case MsgType::kKeepalive:
        case MsgType::kUnregister:
            w.U64(m.token);
            break;
        case MsgType::kKeepaliveAck:
            w.U8(uint8_t(m.status));
            w.Ep(m.observed);
            break;
        case MsgType::kLookup:
            w.U64(m.nonce);
            w.U8(m.flags);
            PutEndpoints(w, m);
            break;
        case MsgType::kLookupStatus:
            w.U64(m.nonce);
            w.U8(uint8_t(m.status));
            break;
        case MsgType::kConnectRequest:
            w.U64(m.token);
            w.U64(m.session);
            w.U64(m.nonce);
            break;
        case MsgType::kSessionJoin:
            w.U64(m.session);
            w.U64(m.nonce);
            PutEndpoints(w, m);
            break;
        case MsgType::kPeerInfo:
            w.U64(m.session);
            w.U64(m.nonce);
            w.U8(m.role);
            w.U8(m.flags);
            w.U64(m.key);
            w.U16(m.port);
            w.U64(m.token);
            w.U32(m.value);
            w.Ep(m.observed);
            w.Ep(m.peer);
            PutEndpoints(w, m);
            break;
        case MsgType::kPunch:
        case MsgType::kPunchAck:
            w.U64(m.session);
            w.U64(m.key);
            w.U8(m.role);
            break;
        case MsgType::kRelayBind:
        case MsgType::kSessionDirect:
            w.U64(m.session);
            w.U64(m.token);
            break;
        case MsgType::kRelayBindAck:
            w.U64(m.session);
            w.U8(uint8_t(m.status));
            break;
        case MsgType::kStatsRequest:
            w.U64(m.nonce);
            break;
        case MsgType::kStatsReply:
            w.U64(m.nonce);
            w.U8(m.statCount);
            for (size_t i = 0; i < m.statCount; ++i) w.U64(m.stats[i]);
            break;
        default:
            return 0;
    }
    return w.Size();
}

bool DecodeMessage(const uint8_t* data, size_t length, Message* m) {
    if (data == nullptr || !HasMagic(data, length)) return false;
    *m = Message{};
    uint8_t type = data[3];
    if (type < uint8_t(MsgType::kHello) || type > uint8_t(MsgType::kStatsReply)) return false;
    m->type = MsgType(type);
    Reader r(data + 4, length - 4);
    if (HasDid(m->type) && !GetDid(r, m->did)) return false;
    bool ok = true;
    switch (m->type) {
        case MsgType::kHello:
        case MsgType::kChallenge:
            ok = r.Get(m->challenge, kChallengeSize);
            break;
        case MsgType::kRegister:
            ok = r.Get(m->challenge, kChallengeSize) && r.Get(m->proof, kProofSize) &&
                 GetEndpoints(r, m);
            if (ok && !r.AtEnd()) ok = m->hasDeviceKey = r.Get(m->deviceKey, kDeviceKeySize);
            break;
        case MsgType::kRegisterResult:
            ok = r.I8(&m->status) && r.U64(&m->token) && r.U32(&m->value) && r.Ep(&m->observed);
            if (ok && !r.AtEnd()) ok = m->hasCertificate = r.Get(m->certificate, kCertificateSize);
            break;
        case MsgType::kKeepalive:
        case MsgType::kUnregister:
            ok = r.U64(&m->token);
            break;
        case MsgType::kKeepaliveAck:
            ok = r.I8(&m->status) && r.Ep(&m->observed);
            break;
        case MsgType::kLookup:
            ok = r.U64(&m->nonce) && r.U8(&m->flags) && GetEndpoints(r, m);
            break;
        case MsgType::kLookupStatus:
            ok = r.U64(&m->nonce) && r.I8(&m->status);
            break;
        case MsgType::kConnectRequest:
            ok = r.U64(&m->token) && r.U64(&m->session) && r.U64(&m->nonce);
            break;
        case MsgType::kSessionJoin:
            ok = r.U64(&m->session) && r.U64(&m->nonce) && GetEndpoints(r, m);
            break;
        case MsgType::kPeerInfo:
            ok = r.U64(&m->session) && r.U64(&m->nonce) && r.U8(&m->role) && r.U8(&m->flags) &&
                 r.U64(&m->key) && r.U16(&m->port) && r.U64(&m->token) && r.U32(&m->value) &&
                 r.Ep(&m->observed) && r.Ep(&m->peer) && GetEndpoints(r, m) &&
                 m->role <= kRoleDevice;
            break;
        case MsgType::kPunch:
        case MsgType::kPunchAck:
            ok = r.U64(&m->session) && r.U64(&m->key) && r.U8(&m->role) && m->role <= kRoleDevice;
            break;
        case MsgType::kRelayBind:
        case MsgType::kSessionDirect:
            ok = r.U64(&m->session) && r.U64(&m->token);
            break;
        case MsgType::kRelayBindAck:
            ok = r.U64(&m->session) && r.I8(&m->status);
            break;
        case MsgType::kStatsRequest:
            ok = r.U64(&m->nonce);
            break;
        case MsgType::kStatsReply:
            ok = r.U64(&m->nonce) && r.U8(&m->statCount) && m->statCount <= kMaxStats;
            for (size_t i = 0; ok && i < m->statCount; ++i) ok = r.U64(&m->stats[i]);
            break;
    }
    return ok && r.AtEnd();
}

void EncodeCredit(uint8_t channel, uint64_t consumed, uint8_t* out) {
    out[0] = channel;
    for (int i = 0; i < 8; ++i) out[1 + i] = uint8_t(consumed >> (8 * i));
}

bool DecodeCredit(const uint8_t* data, size_t length, uint8_t* channel, uint64_t* consumed) {
    if (data == nullptr || length != kCreditSize) return false;
    *channel = data[0];
    *consumed = 0;
    for (int i = 7; i >= 0; --i) *consumed = (*consumed << 8) | data[1 + i];
    return true;
}

}  // namespace zevo::p2p
