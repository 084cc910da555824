#include "tools/p2pload/load.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <thread>
#include <unordered_map>

#include "p2p/crypto.h"
#include "p2p/placement.h"
#include "p2p/udp_socket.h"

namespace zevo::p2pload {

using p2p::Message;
using p2p::MsgType;

namespace {

constexpr uint64_t kRetryMs = 300;
constexpr uint64_t kLossUs = 500000;
constexpr size_t kIndexDigits = 9;

uint64_t NowUs() {
    return uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

int OpenSocket() {
    return p2p::OpenUdpSocket(INADDR_LOOPBACK, 0);
}

Endpoint LocalEndpoint(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return Endpoint{ntohl(a.sin_addr.s_addr), ntohs(a.sin_port)};
}

void SendBytes(int fd, const Endpoint& to, const void* data, size_t length) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(to.ip);
    a.sin_port = htons(to.port);
    (void)::sendto(fd, data, length, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

void Send(int fd, const Endpoint& to, const Message& m) {
    uint8_t buffer[p2p::kMaxDatagram];
    size_t n = p2p::EncodeMessage(m, buffer, sizeof buffer);
    if (n > 0) SendBytes(fd, to, buffer, n);
}

// Hands every datagram waiting on fd to f(data, length, from).
template <typename F>
void Drain(int fd, F&& f) {
    uint8_t buffer[2048];
    for (;;) {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        ssize_t n = ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&a), &len);
        if (n < 0) return;
        f(buffer, size_t(n), Endpoint{ntohl(a.sin_addr.s_addr), ntohs(a.sin_port)});
    }
}

void Wait(const std::vector<int>& fds, int timeoutMs) {
    std::vector<pollfd> p;
    p.reserve(fds.size());
    for (int fd : fds) p.push_back(pollfd{fd, POLLIN, 0});
    (void)::poll(p.data(), p.size(), timeoutMs);
}

// A closed loop of window requests: each slot holds one request in flight; a request is
// tagged seq * window + slot so its answer finds its slot.
struct Loop {
    explicit Loop(size_t window) : sentAt(window, 0), tag(window, 0) {}
    uint64_t Issue(size_t slot, uint64_t now) {
        sentAt[slot] = now;
        tag[slot] = ++seq * sentAt.size() + slot;
        return tag[slot];
    }
    // Returns the slot the answer belongs to, or -1 for a stale or foreign tag.
    long Answer(uint64_t answered, uint64_t now) {
        size_t slot = answered % sentAt.size();
        if (tag[slot] != answered || sentAt[slot] == 0) return -1;
        samples.push_back(uint32_t(std::min<uint64_t>(now - sentAt[slot], UINT32_MAX)));
        sentAt[slot] = 0;
        ++done;
        return long(slot);
    }
    template <typename F>
    void Expire(uint64_t now, F&& reissue) {
        for (size_t i = 0; i < sentAt.size(); ++i)
            if (sentAt[i] != 0 && now - sentAt[i] > kLossUs) {
                ++lost;
                reissue(i);
            }
    }
    // At most every 100 ms: requests unanswered too long count as lost and go out again.
    template <typename F>
    void ExpireDue(F&& reissue) {
        const uint64_t now = NowUs();
        if (now - lastExpire <= 100000) return;
        lastExpire = now;
        Expire(now, reissue);
    }
    // An answer that carries its tag at tagBytes: its slot goes out again.
    template <typename F>
    void AnswerTagAt(const uint8_t* tagBytes, F&& reissue) {
        uint64_t answered;
        std::memcpy(&answered, tagBytes, sizeof answered);
        const long slot = Answer(answered, NowUs());
        if (slot >= 0) reissue(size_t(slot));
    }
    Figures Result(double seconds) {
        Figures f;
        f.done = done;
        f.lost = lost;
        f.perSecond = double(done) / seconds;
        std::sort(samples.begin(), samples.end());
        if (!samples.empty()) {
            f.p50us = samples[samples.size() / 2];
            f.p99us = samples[samples.size() * 99 / 100];
        }
        return f;
    }
    std::vector<uint64_t> sentAt, tag;
    std::vector<uint32_t> samples;
    uint64_t seq = 0, done = 0, lost = 0;
    uint64_t lastExpire = NowUs();
};

}  // namespace

struct Fleet::Impl {
    std::vector<Endpoint> services;
    std::string key;
    std::string prefix;
    size_t replicas = 1;
    std::vector<int> fds;
    std::vector<uint8_t> sets;      // device * replicas: index into services
    std::vector<uint64_t> regIds;   // device * replicas, 0 until registered
    std::vector<uint8_t> regState;  // 0 asked HELLO, 1 sent REGISTER, 2 registered, 3 refused

    int ServiceIndex(const Endpoint& e) const {
        for (size_t i = 0; i < services.size(); ++i)
            if (services[i] == e) return int(i);
        return -1;
    }
    // The device index a DID of this fleet carries in its last digits, or false.
    bool DeviceIndex(const char* did, size_t devices, size_t* out) const {
        size_t length = std::strlen(did);
        if (length != prefix.size() + 1 + kIndexDigits) return false;
        size_t value = 0;
        for (size_t i = length - kIndexDigits; i < length; ++i) {
            if (did[i] < '0' || did[i] > '9') return false;
            value = value * 10 + size_t(did[i] - '0');
        }
        if (value >= devices) return false;
        *out = value;
        return true;
    }
    // The pair (device, replica) a service's answer about did belongs to.
    bool Pair(const char* did, const Endpoint& from, size_t devices, size_t* pair) const {
        size_t device;
        int service = ServiceIndex(from);
        if (service < 0 || !DeviceIndex(did, devices, &device)) return false;
        for (size_t k = 0; k < replicas; ++k)
            if (sets[device * replicas + k] == service) {
                *pair = device * replicas + k;
                return true;
            }
        return false;
    }
    int SocketOf(size_t device) const { return fds[device % fds.size()]; }
    const Endpoint& ServiceOf(size_t pair) const { return services[sets[pair]]; }
};

Fleet::Fleet(std::vector<Endpoint> services, std::string key, size_t replicas, size_t sockets,
             std::string prefix)
    : mImpl(new Impl) {
    mImpl->services = std::move(services);
    mImpl->key = std::move(key);
    mImpl->prefix = std::move(prefix);
    size_t n = mImpl->services.size();
    mImpl->replicas = std::min(replicas == 0 ? p2p::DefaultReplicas(n) : replicas, n);
    for (size_t i = 0; i < std::max<size_t>(sockets, 1); ++i) {
        int fd = OpenSocket();
        if (fd >= 0) mImpl->fds.push_back(fd);
    }
}

Fleet::~Fleet() {
    for (int fd : mImpl->fds) ::close(fd);
    delete mImpl;
}

std::string Fleet::Did(size_t index) const {
    char digits[kIndexDigits + 1];
    std::snprintf(digits, sizeof digits, "%09zu", index % 1000000000);
    return mImpl->prefix + "-" + digits;
}

size_t Fleet::Register(size_t count, uint64_t keepaliveMs, uint64_t timeoutMs, size_t window) {
    Impl& f = *mImpl;
    if (f.fds.empty() || f.services.empty() || count <= mDevices) return 0;
    const size_t r = f.replicas;
    size_t first = mDevices;
    f.sets.resize(count * r);
    f.regIds.resize(count * r, 0);
    f.regState.resize(count * r, 0);
    for (size_t i = first; i < count; ++i) {
        std::string did = Did(i);
        auto set = p2p::PlaceDid(did.c_str(), f.services, r);
        for (size_t k = 0; k < r; ++k) f.sets[i * r + k] = uint8_t(f.ServiceIndex(set[k]));
    }
    struct Active {
        size_t pair;
        uint64_t sentMs;
        std::array<uint8_t, p2p::kChallengeSize> challenge;
    };
    std::unordered_map<size_t, Active> active;
    size_t next = first * r, end = count * r, made = 0;
    // Registered pairs in the order they registered, each kept alive from then on.
    std::deque<std::pair<uint64_t, size_t>> alive;  // (due ms, pair)
    for (size_t pair = 0; pair < first * r; ++pair)
        if (f.regState[pair] == 2) alive.emplace_back(0, pair);
    auto hello = [&](size_t pair) {
        Message m;
        m.type = MsgType::kHello;
        std::string did = Did(pair / r);
        std::strcpy(m.did, did.c_str());
        Send(f.SocketOf(pair / r), f.ServiceOf(pair), m);
    };
    auto reg = [&](const Active& a) {
        Message m;
        m.type = MsgType::kRegister;
        std::string did = Did(a.pair / r);
        std::strcpy(m.did, did.c_str());
        std::memcpy(m.challenge, a.challenge.data(), p2p::kChallengeSize);
        uint8_t secret[p2p::kSecretSize];
        p2p::DeviceSecret(f.key, m.did, secret);
        p2p::RegistrationProof(secret, m.challenge, m.did, m.proof);
        Send(f.SocketOf(a.pair / r), f.ServiceOf(a.pair), m);
    };
    uint64_t start = NowUs() / 1000, lastRetry = start;
    while (next < end || !active.empty()) {
        uint64_t now = NowUs() / 1000;
        if (now - start > timeoutMs) break;
        while (next < end && active.size() < window) {
            active[next] = Active{next, now, {}};
            hello(next++);
        }
        for (int fd : f.fds) {
            Drain(fd, [&](const uint8_t* data, size_t length, const Endpoint& from) {
                Message m;
                size_t pair;
                if (!p2p::DecodeMessage(data, length, &m) || !f.Pair(m.did, from, count, &pair))
                    return;
                auto it = active.find(pair);
                if (it == active.end()) return;
                if (m.type == MsgType::kChallenge && f.regState[pair] == 0) {
                    std::memcpy(it->second.challenge.data(), m.challenge, p2p::kChallengeSize);
                    f.regState[pair] = 1;
                    it->second.sentMs = now;
                    reg(it->second);
                } else if (m.type == MsgType::kRegisterResult && f.regState[pair] == 1) {
                    f.regState[pair] = m.status == p2p::kStatusOk ? 2 : 3;
                    f.regIds[pair] = m.token;
                    if (m.status == p2p::kStatusOk) {
                        ++made;
                        alive.emplace_back(now + keepaliveMs, pair);
                    }
                    active.erase(it);
                }
            });
        }
        while (!alive.empty() && alive.front().first <= now) {
            size_t pair = alive.front().second;
            alive.pop_front();
            Message m;
            m.type = MsgType::kKeepalive;
            std::string did = Did(pair / r);
            std::strcpy(m.did, did.c_str());
            m.token = f.regIds[pair];
            Send(f.SocketOf(pair / r), f.ServiceOf(pair), m);
            alive.emplace_back(now + keepaliveMs, pair);
        }
        if (now - lastRetry >= kRetryMs) {
            lastRetry = now;
            for (auto& [pair, a] : active) {
                if (now - a.sentMs < kRetryMs) continue;
                a.sentMs = now;
                if (f.regState[pair] == 0)
                    hello(pair);
                else
                    reg(a);
            }
        }
        Wait(f.fds, 1);
    }
    mDevices = count;
    return made;
}

HoldFigures Fleet::Hold(uint64_t intervalMs, uint64_t durationMs) {
    Impl& f = *mImpl;
    HoldFigures h;
    const size_t r = f.replicas, pairs = mDevices * r;
    if (pairs == 0 || intervalMs == 0) return h;
    uint64_t start = NowUs(), end = start + durationMs * 1000;
    uint64_t sent = 0;
    std::vector<std::string> dids;  // formatting a DID per keepalive would cost more than sending
    dids.reserve(mDevices);
    for (size_t i = 0; i < mDevices; ++i) dids.push_back(Did(i));
    // Answers to the keepalives Register sent are not this hold's.
    for (int fd : f.fds) Drain(fd, [](const uint8_t*, size_t, const Endpoint&) {});
    for (;;) {
        uint64_t now = NowUs();
        if (now >= end) break;
        // Keepalives due by now at pairs per interval, evenly spread.
        uint64_t due = (now - start) * pairs / (intervalMs * 1000);
        for (; sent < due; ++sent) {
            size_t pair = size_t(sent % pairs);
            if (f.regState[pair] != 2) continue;
            Message m;
            m.type = MsgType::kKeepalive;
            std::memcpy(m.did, dids[pair / r].c_str(), dids[pair / r].size() + 1);
            m.token = f.regIds[pair];
            Send(f.SocketOf(pair / r), f.ServiceOf(pair), m);
            ++h.sent;
        }
        for (int fd : f.fds) {
            Drain(fd, [&](const uint8_t* data, size_t length, const Endpoint&) {
                Message m;
                if (!p2p::DecodeMessage(data, length, &m) || m.type != MsgType::kKeepaliveAck)
                    return;
                if (m.status == p2p::kStatusOk)
                    ++h.acked;
                else
                    ++h.forgotten;
            });
        }
        Wait(f.fds, 1);
    }
    // Answers still on their way.
    for (int round = 0; round < 20; ++round) {
        for (int fd : f.fds)
            Drain(fd, [&](const uint8_t* data, size_t length, const Endpoint&) {
                Message m;
                if (p2p::DecodeMessage(data, length, &m) && m.type == MsgType::kKeepaliveAck)
                    ++(m.status == p2p::kStatusOk ? h.acked : h.forgotten);
            });
        Wait(f.fds, 5);
    }
    h.seconds = double(durationMs) / 1000;
    return h;
}

Figures Fleet::Keepalives(size_t window, uint64_t durationMs) {
    Impl& f = *mImpl;
    window = std::min(window, mDevices);
    if (window == 0) return {};
    const size_t r = f.replicas;
    // Slot s asks for devices s, s + window, s + 2 window...: an answer's DID names its slot.
    Loop loop(window);
    std::vector<size_t> device(window);
    std::vector<uint64_t> round(window, 0);
    auto issue = [&](size_t slot) {
        size_t span = (mDevices - slot + window - 1) / window;
        device[slot] = slot + window * size_t(round[slot]++ % span);
        loop.Issue(slot, NowUs());
        size_t pair = device[slot] * r;
        Message m;
        m.type = MsgType::kKeepalive;
        std::string did = Did(device[slot]);
        std::strcpy(m.did, did.c_str());
        m.token = f.regIds[pair];
        Send(f.SocketOf(device[slot]), f.ServiceOf(pair), m);
    };
    uint64_t start = NowUs(), end = start + durationMs * 1000;
    for (size_t i = 0; i < window; ++i) issue(i);
    while (NowUs() < end) {
        for (int fd : f.fds)
            Drain(fd, [&](const uint8_t* data, size_t length, const Endpoint&) {
                Message m;
                size_t d;
                if (!p2p::DecodeMessage(data, length, &m) || m.type != MsgType::kKeepaliveAck ||
                    !f.DeviceIndex(m.did, mDevices, &d))
                    return;
                size_t slot = d % window;
                if (device[slot] != d || loop.Answer(loop.tag[slot], NowUs()) < 0) return;
                issue(slot);
            });
        loop.ExpireDue(issue);
        Wait(f.fds, 1);
    }
    return loop.Result(double(NowUs() - start) / 1e6);
}

Figures Fleet::Lookups(size_t window, uint64_t durationMs) {
    Impl& f = *mImpl;
    if (mDevices == 0 || window == 0) return {};
    std::vector<int> viewers;
    for (int i = 0; i < 8; ++i) viewers.push_back(OpenSocket());
    std::vector<int> all = viewers;
    all.insert(all.end(), f.fds.begin(), f.fds.end());
    Loop loop(window);
    uint64_t pick = 0;
    auto issue = [&](size_t slot) {
        Message m;
        m.type = MsgType::kLookup;
        size_t device = size_t(pick++ * 2654435761u % mDevices);
        std::string did = Did(device);
        std::strcpy(m.did, did.c_str());
        m.nonce = loop.Issue(slot, NowUs());
        m.flags = p2p::kFlagTryDirect;
        Send(viewers[slot % viewers.size()], f.ServiceOf(device * f.replicas), m);
    };
    uint64_t start = NowUs(), end = start + durationMs * 1000;
    for (size_t i = 0; i < window; ++i) issue(i);
    while (NowUs() < end) {
        for (int fd : viewers)
            Drain(fd, [&](const uint8_t* data, size_t length, const Endpoint&) {
                Message m;
                if (!p2p::DecodeMessage(data, length, &m) || m.type != MsgType::kLookupStatus)
                    return;
                long slot = loop.Answer(m.nonce, NowUs());
                if (slot >= 0) issue(size_t(slot));
            });
        // The service's CONNECT_REQUESTs to the devices: read and dropped.
        for (int fd : f.fds) Drain(fd, [](const uint8_t*, size_t, const Endpoint&) {});
        loop.ExpireDue(issue);
        Wait(all, 1);
    }
    double seconds = double(NowUs() - start) / 1e6;
    for (int fd : viewers) ::close(fd);
    return loop.Result(seconds);
}

Figures Fleet::Relay(size_t sessions, size_t window, size_t payload, uint64_t durationMs) {
    Impl& f = *mImpl;
    sessions = std::min(sessions, mDevices);
    payload = std::clamp<size_t>(payload, 16, 1400);
    if (sessions == 0 || window == 0) return {};
    struct Path {
        int viewer = -1, device = -1;
        Endpoint service, relay;
        uint64_t session = 0, joinToken = 0, viewerToken = 0, deviceToken = 0;
        bool viewerInfo = false, deviceInfo = false, joined = false, viewerBound = false,
             deviceBound = false;
    };
    std::vector<Path> paths(sessions);
    for (size_t i = 0; i < sessions; ++i) {
        paths[i].viewer = OpenSocket();
        paths[i].device = OpenSocket();
        paths[i].service = f.ServiceOf(i * f.replicas);
    }
    // Set-up: LOOKUP (relay only) -> CONNECT_REQUEST -> SESSION_JOIN -> PEER_INFO to both ->
    // RELAY_BIND from both until the relay says both ends are bound.
    uint64_t setupEnd = NowUs() + 10000000;
    uint64_t lastSend = 0;
    auto ready = [&] {
        return std::all_of(paths.begin(), paths.end(),
                           [](const Path& p) { return p.viewerBound && p.deviceBound; });
    };
    while (!ready() && NowUs() < setupEnd) {
        uint64_t now = NowUs();
        if (now - lastSend > 100000) {
            lastSend = now;
            for (size_t i = 0; i < sessions; ++i) {
                Path& p = paths[i];
                Message m;
                if (!p.viewerInfo) {
                    m.type = MsgType::kLookup;
                    std::string did = Did(i);
                    std::strcpy(m.did, did.c_str());
                    m.nonce = 1000 + i;
                    m.flags = 0;
                    Send(p.viewer, p.service, m);
                } else if (!p.viewerBound) {
                    m.type = MsgType::kRelayBind;
                    m.session = p.session;
                    m.token = p.viewerToken;
                    Send(p.viewer, p.relay, m);
                }
                if (p.joined && !p.deviceInfo) {
                    m = Message();
                    m.type = MsgType::kSessionJoin;
                    m.session = p.session;
                    m.nonce = p.joinToken;
                    Send(p.device, p.service, m);
                } else if (p.deviceInfo && !p.deviceBound) {
                    m = Message();
                    m.type = MsgType::kRelayBind;
                    m.session = p.session;
                    m.token = p.deviceToken;
                    Send(p.device, p.relay, m);
                }
            }
        }
        for (int fd : f.fds)
            Drain(fd, [&](const uint8_t* data, size_t length, const Endpoint&) {
                Message m;
                size_t device;
                if (!p2p::DecodeMessage(data, length, &m) || m.type != MsgType::kConnectRequest ||
                    !f.DeviceIndex(m.did, sessions, &device))
                    return;
                Path& p = paths[device];
                if (p.joined) return;
                p.joined = true;
                p.session = m.session;
                p.joinToken = m.nonce;
                lastSend = 0;
            });
        for (Path& p : paths) {
            // PEER_INFO tells each end its relay token; RELAY_BIND_ACK 0 means both are bound.
            auto answer = [&](const uint8_t* data, size_t length, const Endpoint& from) {
                Message m;
                if (!p2p::DecodeMessage(data, length, &m)) return;
                if (m.type == MsgType::kPeerInfo) {
                    bool isViewer = m.role == p2p::kRoleViewer;
                    p.relay = Endpoint{from.ip, m.port};
                    p.session = m.session;
                    (isViewer ? p.viewerToken : p.deviceToken) = m.token;
                    (isViewer ? p.viewerInfo : p.deviceInfo) = true;
                    lastSend = 0;
                } else if (m.type == MsgType::kRelayBindAck && m.status == p2p::kStatusOk) {
                    p.viewerBound = p.deviceBound = true;
                }
            };
            Drain(p.viewer, answer);
            Drain(p.device, answer);
        }
        std::vector<int> all = f.fds;
        for (Path& p : paths) {
            all.push_back(p.viewer);
            all.push_back(p.device);
        }
        Wait(all, 5);
    }
    Figures result;
    if (ready()) {
        // Datagrams that do not start with the service's magic: the relay passes them on.
        std::vector<int> all;
        for (Path& p : paths) {
            all.push_back(p.viewer);
            all.push_back(p.device);
        }
        Loop loop(window * sessions);
        std::vector<uint8_t> datagram(payload, 0x5A);
        datagram[0] = 0x80;
        auto issue = [&](size_t slot) {
            uint64_t tag = loop.Issue(slot, NowUs());
            std::memcpy(datagram.data() + 1, &tag, sizeof tag);
            const Path& p = paths[slot % sessions];
            SendBytes(p.viewer, p.relay, datagram.data(), datagram.size());
        };
        uint64_t start = NowUs(), end = start + durationMs * 1000;
        for (size_t i = 0; i < window * sessions; ++i) issue(i);
        while (NowUs() < end) {
            for (Path& p : paths) {
                Drain(p.device, [&](const uint8_t* data, size_t length, const Endpoint&) {
                    if (length == payload && data[0] == 0x80)
                        SendBytes(p.device, p.relay, data, length);
                });
                Drain(p.viewer, [&](const uint8_t* data, size_t length, const Endpoint&) {
                    if (length != payload || data[0] != 0x80) return;
                    loop.AnswerTagAt(data + 1, issue);
                });
            }
            loop.ExpireDue(issue);
            Wait(all, 1);
        }
        result = loop.Result(double(NowUs() - start) / 1e6);
    }
    for (Path& p : paths) {
        ::close(p.viewer);
        ::close(p.device);
    }
    return result;
}

Figures EchoBaseline(size_t window, size_t payload, uint64_t durationMs, size_t sockets) {
    payload = std::clamp<size_t>(payload, 16, 1400);
    int server = OpenSocket();
    Endpoint at = LocalEndpoint(server);
    std::atomic<bool> stop{false};
    std::thread echo([&] {
        constexpr int kBatch = 64;
        std::vector<uint8_t> storage(size_t(kBatch) * 2048);
        mmsghdr msgs[kBatch];
        iovec iov[kBatch];
        sockaddr_in from[kBatch];
        while (!stop) {
            pollfd p{server, POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0) continue;
            for (;;) {
                for (int i = 0; i < kBatch; ++i) {
                    iov[i] = iovec{storage.data() + size_t(i) * 2048, 2048};
                    std::memset(&msgs[i], 0, sizeof msgs[i]);
                    msgs[i].msg_hdr.msg_iov = &iov[i];
                    msgs[i].msg_hdr.msg_iovlen = 1;
                    msgs[i].msg_hdr.msg_name = &from[i];
                    msgs[i].msg_hdr.msg_namelen = sizeof from[i];
                }
                int got = recvmmsg(server, msgs, kBatch, MSG_DONTWAIT, nullptr);
                if (got <= 0) break;
                for (int i = 0; i < got; ++i) iov[i].iov_len = msgs[i].msg_len;
                (void)sendmmsg(server, msgs, unsigned(got), MSG_DONTWAIT);
                if (got < kBatch) break;
            }
        }
    });
    std::vector<int> clients;
    for (size_t i = 0; i < std::max<size_t>(sockets, 1); ++i) clients.push_back(OpenSocket());
    Loop loop(window);
    std::vector<uint8_t> datagram(payload, 0x5A);
    auto issue = [&](size_t slot) {
        uint64_t tag = loop.Issue(slot, NowUs());
        std::memcpy(datagram.data(), &tag, sizeof tag);
        SendBytes(clients[slot % clients.size()], at, datagram.data(), datagram.size());
    };
    uint64_t start = NowUs(), end = start + durationMs * 1000;
    for (size_t i = 0; i < window; ++i) issue(i);
    while (NowUs() < end) {
        for (int fd : clients)
            Drain(fd, [&](const uint8_t* data, size_t length, const Endpoint&) {
                if (length != payload) return;
                loop.AnswerTagAt(data, issue);
            });
        loop.ExpireDue(issue);
        Wait(clients, 1);
    }
    Figures result = loop.Result(double(NowUs() - start) / 1e6);
    stop = true;
    echo.join();
    for (int fd : clients) ::close(fd);
    ::close(server);
    return result;
}

}  // namespace zevo::p2pload
