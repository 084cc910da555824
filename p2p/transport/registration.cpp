// The device side: registration with each service of its DID's set (hello, challenge,
// register, keepalives), the sessions services ask it to join, and PPPP_Accept.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "p2p/crypto.h"
#include "p2p/placement.h"
#include "p2p/transport/internal.h"

namespace zevo::p2p::transport {

static_assert(kDeviceKeySize == secure::kDhSize && kCertificateSize == secure::kCertificateSize,
              "the registration messages carry the secure layer's key and certificate");

namespace {

// Keeps a certificate a service issued for this device's key; anything else is not ours
// to present. Every registration brings a fresh one, so the newest wins.
void TakeCertificate(Device& d, const Message& m) {
    if (!m.hasCertificate) return;
    secure::Certificate c;
    if (!secure::ParseCertificate(m.certificate, kCertificateSize, &c) ||
        std::strcmp(c.did, d.did) != 0 ||
        std::memcmp(c.devicePublic, d.staticKey.pub, kDeviceKeySize) != 0) {
        Log("device %s: a certificate for another device or key, ignored", d.did);
        return;
    }
    std::memcpy(d.certificate, m.certificate, kCertificateSize);
    d.hasCertificate = true;
}

}  // namespace

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
        WakeReaders(*s);
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
            m.hasDeviceKey = true;
            std::memcpy(m.deviceKey, d.staticKey.pub, kDeviceKeySize);
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
                TakeCertificate(d, m);
                Log("registered %s at %s%s", d.did, FormatEndpoint(from).c_str(),
                    m.hasCertificate ? " with a certificate" : "");
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
    if (d->hasCertificate) {
        s->sealer = Sealer::ForDevice(s->did, s->sessionId, d->staticKey, d->certificate);
        SetSealedMtu(host, true);
    }
    mSessions.push_back(s);
    Log("device %s: session request %016llx", d->did, (unsigned long long)m.session);
}

}  // namespace zevo::p2p::transport

using namespace zevo::p2p;
using namespace zevo::p2p::transport;

extern "C" {

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
    d->staticKey.Generate();
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
