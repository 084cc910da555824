// The transport's worker: one worker thread per process runs every ENet host and raw
// socket; the PPPP_* calls only touch per-session buffers under the session's lock and
// wake the worker through an eventfd. ENet is not thread-safe, so no other thread ever
// calls into a host.
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>

#include "p2p/secure/wire_format.h"
#include "p2p/transport/internal.h"

namespace zevo::p2p::transport {

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
    bool accepted = s.Accepts(from);
    if (s.sealer != nullptr && s.isDevice && gLib.insecureAllowed && !s.sealer->established() &&
        accepted && host->receivedDataLength > 0 && host->receivedData[0] != secure::kMarker) {
        // A viewer that does not run the handshake, and the operator lets such viewers in.
        Log("session %s: viewer without the handshake, unsealed", s.did);
        s.sealer.reset();
        EndSealingScope();
        SetSealedMtu(host, false);
    }
    if (s.sealer != nullptr) return s.sealer->Receive(host, s.fd, accepted, from, w->mNow);
    // ENet traffic only from the path this session chose or proved.
    return accepted ? 0 : 1;
}

void Worker::Adopt() {
    std::lock_guard<std::mutex> lock(gLib.mu);
    for (auto& s : gLib.newSessions) mSessions.push_back(s);
    for (auto& d : gLib.newDevices) mDevices.push_back(d);
    gLib.newSessions.clear();
    gLib.newDevices.clear();
}

namespace {

// How long the worker sleeps while every session is open and nothing is in flight: ENet's
// pings (every 500 ms) go out at most this much late.
constexpr int kQuietPollMs = 100;

// ENet resends and acknowledges on its timers, which want servicing every few
// milliseconds while anything of the session's is unacknowledged or waiting to go. A session
// that only takes in (a viewer watching) sleeps until a datagram comes, a write or a read
// wakes the worker, or the slower timers (pings, the session's own) are due.
bool EnetTimersDue(const Session& s) {
    if (s.peer == nullptr) return false;
    if (s.phase != Phase::kOpen) return true;
    ENetPeer* p = s.peer;
    return !enet_list_empty(&p->sentReliableCommands) ||
           !enet_list_empty(&p->sentUnreliableCommands) || !enet_list_empty(&p->outgoingCommands) ||
           !enet_list_empty(&p->acknowledgements);
}

}  // namespace

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
        bool enetTimers = false;
        bool allOpen = mDevices.empty();
        for (auto& d : mDevices) fds.push_back(pollfd{d->fd, POLLIN, 0});
        for (auto& s : mSessions) {
            if (s->host == nullptr) continue;
            fds.push_back(pollfd{int(s->host->socket), POLLIN, 0});
            enetTimers = enetTimers || EnetTimersDue(*s);
            allOpen = allOpen && s->phase == Phase::kOpen;
        }
        // Opening phases and registrations keep timers of their own; open sessions with
        // nothing in flight have only ENet's pings, and every call wakes us anyway.
        int timeout = enetTimers ? 5 : allOpen ? kQuietPollMs : 20;
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

void ConfigureHost(ENetHost* host) {
    enet_host_bandwidth_limit(host, 0, 0);
    SetSocketBuffer(int(host->socket), SO_RCVBUFFORCE, SO_RCVBUF);
    SetSocketBuffer(int(host->socket), SO_SNDBUFFORCE, SO_SNDBUF);
    host->intercept = &Worker::Intercept;
}

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
    // A REPLY that failed authentication means something answered for the device and
    // could not prove it owns the DID: that, not the path, is why no session opened.
    if (!s.isDevice && code != PPPP_ERR_CLOSED_HERE && s.sealer != nullptr &&
        !s.sealer->established() && s.sealer->authenticityFailed())
        code = PPPP_ERR_DEVICE_NOT_AUTHENTIC;
    Log("session %s failed: %d", s.did, code);
    if (!s.isDevice) FinishConnect(s, code);
    EndSession(s, code);
    DestroyHost(s);
    s.phase = Phase::kDone;
}

// Sealing adds secure::kOverhead bytes to every datagram; ENet writes that much less, so
// sealed datagrams keep the sizes unsealed ones have.
void SetSealedMtu(ENetHost* host, bool sealed) {
    host->mtu = ENET_HOST_DEFAULT_MTU - (sealed ? uint32_t(secure::kOverhead) : 0);
    for (ENetPeer* p = host->peers; p < host->peers + host->peerCount; ++p) p->mtu = host->mtu;
}

void ConfigurePeer(ENetPeer* peer, bool insideHost, bool sealed) {
    enet_peer_timeout(peer, ENET_PEER_TIMEOUT_LIMIT, kTimeoutMin, kTimeoutMax);
    enet_peer_ping_interval(peer, 500);
    peer->windowSize = kEnetWindow;
    // The mtu only sizes what this end sends (any peer takes datagrams up to ENet's
    // maximum). On a path inside this host nothing fragments, and the largest datagram
    // cuts the system calls per byte to a third; elsewhere ENet's default stays below a
    // 1500-byte link.
    uint32_t overhead = sealed ? uint32_t(secure::kOverhead) : 0;
    peer->mtu = insideHost ? ENET_PROTOCOL_MAXIMUM_MTU - overhead
                           : std::min<uint32_t>(peer->mtu, ENET_HOST_DEFAULT_MTU - overhead);
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
    ConfigurePeer(s.peer, IsThisHost(remote.ip) && (!relay || IsThisHost(s.peerPublic.ip)),
                  s.sealer != nullptr);
    {
        std::lock_guard<std::mutex> lock(s.mu);
        s.sealed = s.sealer != nullptr && s.sealer->established();
        s.remote = remote;
        s.mode = relay ? PPPP_MODE_RELAY : PPPP_MODE_DIRECT;
        s.openedMs = now;
        s.chunk = ChunkFor(s.peer->mtu);
    }
    s.target = remote;
    s.targetSet = true;
    s.phase = Phase::kOpen;
    Log("session %s open (%s, %s) with %s", s.did, relay ? "relay" : "direct",
        s.sealer != nullptr ? "sealed" : "unsealed", FormatEndpoint(remote).c_str());
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
        case ENET_EVENT_TYPE_RECEIVE:
            Deliver(s, ev);
            break;
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

    // Every datagram ENet sends for this session from here on passes its sealer.
    SealingScope sealing(s.sealer.get(), s.fd);
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
    if (s.sealer != nullptr) {
        std::lock_guard<std::mutex> lock(s.mu);
        s.sealDrops = s.sealer->drops();
    }
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
    pthread_setname_np(pthread_self(), "zevo-p2p");
    Worker w;
    w.Run();
}

}  // namespace zevo::p2p::transport
