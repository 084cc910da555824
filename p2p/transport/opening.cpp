// Opening a session: the viewer's lookup over the DID's services, the device's join,
// punching for a direct path, binding the relay and the ENet connect.
#include <algorithm>
#include <cstring>

#include "p2p/transport/internal.h"

namespace zevo::p2p::transport {

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
            if (!s.isDevice && !gLib.trusted.empty() && s.sealer == nullptr) {
                // This viewer trusts service keys, so the device must prove its key; one
                // the service holds no key for cannot, and there is no quiet way around.
                if ((m.flags & kFlagPeerUnsealed) || !SealingHookLive()) {
                    Log("session %s: the device cannot run the handshake", s.did);
                    Fail(s, PPPP_ERR_DEVICE_NOT_AUTHENTIC);
                    return;
                }
                s.sealer = Sealer::ForViewer(s.did, s.sessionId, gLib.trusted);
                SetSealedMtu(s.host, true);
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
    if (s.sealer != nullptr) {
        s.sealer->Retarget();
        s.sealer->PollHello(s.fd, to, now);
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
            if (s.sealer != nullptr) s.sealer->PollHello(s.fd, s.target, now);
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

}  // namespace zevo::p2p::transport
