#pragma once
// Datagram formats shared by the transport library and zevo-p2pd. Every parser here is a
// pure function over (bytes, length) so it can be fuzzed; nothing here touches a socket.
// The layouts are written down in p2p/PROTOCOL.md.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zevo::p2p {

// An IPv4 endpoint in host byte order.
struct Endpoint {
    uint32_t ip = 0;
    uint16_t port = 0;
    bool operator==(const Endpoint& other) const { return ip == other.ip && port == other.port; }
    bool operator!=(const Endpoint& other) const { return !(*this == other); }
    bool operator<(const Endpoint& other) const {
        return ip != other.ip ? ip < other.ip : port < other.port;
    }
};

std::string FormatEndpoint(const Endpoint& endpoint);

// "host:port[,host:port...]"; names are resolved (IPv4). Returns false on any malformed
// item or when the list would hold more than maxCount endpoints.
bool ParseEndpointList(const std::string& text, std::vector<Endpoint>* out, size_t maxCount);

constexpr size_t kDidMax = 23;  // characters; the wire field is 24 bytes
constexpr size_t kDidField = 24;
constexpr size_t kMaxEndpoints = 4;  // local endpoints carried per message
constexpr size_t kChallengeSize = 16;
constexpr size_t kProofSize = 32;
constexpr size_t kSecretSize = 32;  // raw HMAC-SHA256; shown as 64 hex digits
constexpr size_t kMaxStats = 24;
constexpr size_t kDeviceKeySize = 32;     // the device's static X25519 public key
constexpr size_t kCertificateSize = 146;  // a service-signed device certificate
constexpr size_t kMaxDatagram = 512;      // no service message is longer

// A DID is 1..23 characters of A-Z a-z 0-9 '-' '_'.
bool IsValidDid(const char* did);

constexpr uint8_t kMagic0 = 'Z';
constexpr uint8_t kMagic1 = 'P';
constexpr uint8_t kVersion = 1;

enum class MsgType : uint8_t {
    kHello = 1,            // device -> service: announce a DID, ask for a challenge
    kChallenge = 2,        // service -> device
    kRegister = 3,         // device -> service: proof of the secret
    kRegisterResult = 4,   // service -> device
    kKeepalive = 5,        // device -> service
    kKeepaliveAck = 6,     // service -> device
    kUnregister = 7,       // device -> service
    kLookup = 8,           // viewer session socket -> service
    kLookupStatus = 9,     // service -> viewer: pending, offline or refused
    kConnectRequest = 10,  // service -> device registration socket
    kSessionJoin = 11,     // device session socket -> service
    kPeerInfo = 12,        // service -> both session sockets
    kPunch = 13,           // peer <-> peer
    kPunchAck = 14,        // peer <-> peer
    kRelayBind = 15,       // session socket -> relay port
    kRelayBindAck = 16,    // relay port -> session socket
    kSessionDirect = 17,   // viewer -> service: direct path open, release the relay
    kStatsRequest = 18,    // operator (loopback only) -> service
    kStatsReply = 19,      // service -> operator
};

// Status values carried by results.
constexpr int8_t kStatusOk = 0;
constexpr int8_t kStatusRefused = 1;   // wrong secret, stale challenge
constexpr int8_t kStatusDidInUse = 2;  // another live device holds the DID
constexpr int8_t kStatusOffline = 3;   // no device under this DID
constexpr int8_t kStatusLimit = 4;     // a service limit was reached
constexpr int8_t kStatusUnknown = 5;   // registration or session unknown
constexpr int8_t kStatusPending = 6;   // the device was asked; keep asking

// PEER_INFO flags.
constexpr uint8_t kFlagRelayOnly = 0x01;     // do not try a direct path
constexpr uint8_t kFlagNoRelay = 0x02;       // the service offers no relay
constexpr uint8_t kFlagPeerUnsealed = 0x04;  // the device has no certificate: no handshake
// LOOKUP flags.
constexpr uint8_t kFlagTryDirect = 0x01;

constexpr uint8_t kRoleViewer = 0;
constexpr uint8_t kRoleDevice = 1;

// One decoded datagram; only the fields of its type are meaningful.
struct Message {
    MsgType type = MsgType::kHello;
    char did[kDidField] = {};
    uint8_t challenge[kChallengeSize] = {};
    uint8_t proof[kProofSize] = {};
    int8_t status = 0;
    uint8_t flags = 0;
    uint8_t role = 0;
    uint64_t session = 0;
    uint64_t nonce = 0;
    uint64_t token = 0;
    uint64_t key = 0;
    uint32_t value = 0;
    uint16_t port = 0;
    Endpoint observed;  // the receiver's address as the service saw it
    Endpoint peer;      // the other peer's address as the service saw it
    uint8_t endpointCount = 0;
    Endpoint endpoints[kMaxEndpoints];
    uint8_t statCount = 0;
    uint64_t stats[kMaxStats] = {};
    // REGISTER from devices that run the handshake; REGISTER_RESULT from a service that
    // vouches for it. Both are optional trailing fields, absent in older peers' messages.
    bool hasDeviceKey = false;
    uint8_t deviceKey[kDeviceKeySize] = {};
    bool hasCertificate = false;
    uint8_t certificate[kCertificateSize] = {};
};

// Writes the datagram for message into out; returns its length, or 0 when it does not fit
// or the message is not encodable (bad DID, too many endpoints).
size_t EncodeMessage(const Message& message, uint8_t* out, size_t capacity);

// Parses one datagram. Returns false for anything not exactly a well-formed message of a
// known type (wrong magic, version, length, DID or count).
bool DecodeMessage(const uint8_t* data, size_t length, Message* out);

// True when the datagram starts with our magic: such datagrams are never handed to ENet.
bool HasMagic(const uint8_t* data, size_t length);

// Credit updates on the session's control channel: the receiver tells how many bytes of a
// data channel it has consumed so the sender may write further.
constexpr size_t kCreditSize = 9;
void EncodeCredit(uint8_t channel, uint64_t consumed, uint8_t* out);
bool DecodeCredit(const uint8_t* data, size_t length, uint8_t* channel, uint64_t* consumed);

}  // namespace zevo::p2p
