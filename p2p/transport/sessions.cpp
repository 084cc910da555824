// The library's table of sessions and devices by handle, and the calls that open, inspect
// and close a viewer's session.
#include <sodium.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "p2p/crypto.h"
#include "p2p/init_string.h"
#include "p2p/placement.h"
#include "p2p/secure/key_files.h"
#include "p2p/transport/internal.h"

static_assert(sizeof(SessionInfo) == 84, "SessionInfo is an 84-byte record");
static_assert(offsetof(SessionInfo, remote) == 4, "peer sockaddr_in at byte 4");
static_assert(offsetof(SessionInfo, mode) == 81, "mode at byte 81");

namespace zevo::p2p::transport {

Library gLib;
std::mutex gLifecycle;  // serialises Initialize and DeInitialize

void Wake() {
    uint64_t one = 1;
    if (gLib.wakeFd >= 0) (void)!::write(gLib.wakeFd, &one, sizeof one);
}

int32_t AllocateHandleLocked() {
    for (;;) {
        int32_t h = gLib.nextHandle;
        gLib.nextHandle = gLib.nextHandle == INT32_MAX ? 0 : gLib.nextHandle + 1;
        if (!gLib.sessions.count(h) && !gLib.devices.count(h) && !gLib.tombstones.count(h))
            return h;
    }
}

void AddTombstoneLocked(int32_t h) {
    gLib.tombstones.insert(h);
    gLib.tombstoneOrder.push_back(h);
    while (gLib.tombstoneOrder.size() > kMaxTombstones) {
        gLib.tombstones.erase(gLib.tombstoneOrder.front());
        gLib.tombstoneOrder.pop_front();
    }
}

// Ends the session for its API users; the first reason wins.
void EndSession(Session& s, int32_t code) {
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.endCode == 0) s.endCode = code;
    WakeReaders(s);
    s.writeCv.notify_all();
    s.stateCv.notify_all();
}

void FinishConnect(Session& s, int32_t result) {
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.connectResult == kPending) s.connectResult = result;
    s.stateCv.notify_all();
}

std::shared_ptr<Session> FindSession(int32_t handle, int32_t* error) {
    std::lock_guard<std::mutex> lock(gLib.mu);
    if (!gLib.initialized) {
        *error = PPPP_ERR_NOT_INITIALIZED;
        return nullptr;
    }
    auto it = gLib.sessions.find(handle);
    if (it == gLib.sessions.end()) {
        *error = gLib.tombstones.count(handle) ? PPPP_ERR_CLOSED_HERE : PPPP_ERR_INVALID_SESSION;
        return nullptr;
    }
    return it->second;
}

std::shared_ptr<Device> FindDevice(int32_t handle, int32_t* error) {
    std::lock_guard<std::mutex> lock(gLib.mu);
    if (!gLib.initialized) {
        *error = PPPP_ERR_NOT_INITIALIZED;
        return nullptr;
    }
    auto it = gLib.devices.find(handle);
    if (it == gLib.devices.end()) {
        *error = PPPP_ERR_INVALID_SESSION;
        return nullptr;
    }
    return it->second;
}

void WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, int32_t timeoutMs,
               std::chrono::steady_clock::time_point deadline) {
    if (timeoutMs < 0)
        cv.wait(lock);
    else
        cv.wait_until(lock, deadline);
}

// A viewer that trusts no service key cannot tell the device from anyone answering for its
// DID, so it sends nothing unless told to run unsealed; either way it says so once.
bool ViewerMaySend() {
    std::lock_guard<std::mutex> lock(gLib.mu);
    if (!gLib.initialized || !gLib.trusted.empty()) return true;
    if (!gLib.toldTrust) {
        gLib.toldTrust = true;
        const char* where = gLib.trustLocations.c_str();
        if (gLib.insecureAllowed)
            std::fprintf(stderr,
                         "zevo_p2p: no trusted service key (%s); "
                         "ZEVO_P2P_INSECURE_TRANSPORT is set: sessions run UNSEALED\n",
                         where);
        else
            std::fprintf(stderr,
                         "zevo_p2p: no trusted service key (looked for ZEVO_P2P_SERVICE_KEYS, "
                         "%s): every device is refused as not authentic; copy the service's "
                         "/etc/zevo/service-keys there, or set ZEVO_P2P_INSECURE_TRANSPORT=1 to "
                         "connect unsealed\n",
                         where);
    }
    return gLib.insecureAllowed;
}

}  // namespace zevo::p2p::transport

using namespace zevo::p2p;
using namespace zevo::p2p::transport;

extern "C" {

PPPP_EXPORT int32_t PPPP_Initialize(const char* initString) {
    std::lock_guard<std::mutex> life(gLifecycle);
    {
        std::lock_guard<std::mutex> lock(gLib.mu);
        if (gLib.initialized) return PPPP_OK;
    }
    if (initString == nullptr) return PPPP_ERR_BAD_INIT_STRING;
    std::vector<Endpoint> services;
    uint8_t stringKey[kInitStringKeySize];
    bool hasStringKey = false;
    if (!DecodeInitString(initString, std::strlen(initString), &services, stringKey, &hasStringKey))
        return PPPP_ERR_BAD_INIT_STRING;
    // A version-2 string names the service key devices are vouched for with.
    if (hasStringKey && crypto_core_ed25519_is_valid_point(stringKey) != 1)
        return PPPP_ERR_BAD_INIT_STRING;
    const char* over = std::getenv("ZEVO_P2P_SERVER");
    if (over != nullptr && *over != '\0') {
        std::vector<Endpoint> replaced;
        if (!ParseEndpointList(over, &replaced, kInitStringMaxEndpoints))
            return PPPP_ERR_BAD_INIT_STRING;
        services = replaced;
    }
    const char* log = std::getenv("ZEVO_P2P_LOG");
    gLogEnabled = log != nullptr && *log != '\0' && *log != '0';
    // Service keys pinned for this viewer: a file that cannot be read or holds a bad line
    // fails here, never quietly leaving the viewer with less trust than it was given.
    std::vector<secure::ServicePublicKey> trusted;
    {
        std::string error;
        if (!secure::LoadTrustedServiceKeys(&trusted, &error)) {
            std::fprintf(stderr, "zevo_p2p: service keys %s\n", error.c_str());
            return PPPP_ERR_BAD_INIT_STRING;
        }
    }
    if (hasStringKey) trusted.push_back(secure::MakeServicePublicKey(stringKey));
    std::string locations;  // for the viewer's word on why it trusts no device
    bool named = false;
    for (const std::string& path : secure::PinnedKeyFileLocations(&named))
        locations += (locations.empty() ? "" : ", ") + path;
    const char* insecure = std::getenv("ZEVO_P2P_INSECURE_TRANSPORT");
    bool insecureAllowed = insecure != nullptr && *insecure != '\0' && *insecure != '0';
    if (enet_initialize() != 0) return PPPP_ERR_BIND_FAILED;
    // Sealing needs ENet's sends to come through this library; a viewer that must seal
    // finds out now whether they do.
    if (!trusted.empty() && !SealingHookLive())
        std::fprintf(stderr,
                     "zevo_p2p: ENet's sends bypass the sealing layer; every "
                     "connect will fail as not authentic\n");
    int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) return PPPP_ERR_NO_MEMORY;
    {
        std::lock_guard<std::mutex> lock(gLib.mu);
        gLib.services = services;
        gLib.trusted = trusted;
        gLib.insecureAllowed = insecureAllowed;
        gLib.toldTrust = false;
        gLib.trustLocations = locations;
        gLib.wakeFd = wake;
        gLib.stopping = false;
        gLib.initialized = true;
    }
    gLib.worker = std::thread(WorkerMain);
    return PPPP_OK;
}

PPPP_EXPORT int32_t PPPP_DeInitialize(void) {
    std::lock_guard<std::mutex> life(gLifecycle);
    std::vector<std::shared_ptr<Session>> sessions;
    std::vector<std::shared_ptr<Device>> devices;
    {
        std::lock_guard<std::mutex> lock(gLib.mu);
        if (!gLib.initialized) return PPPP_OK;
        gLib.initialized = false;
        for (auto& [h, s] : gLib.sessions) sessions.push_back(s);
        for (auto& [h, d] : gLib.devices) devices.push_back(d);
        for (auto& s : gLib.newSessions) sessions.push_back(s);
        gLib.stopping = true;
    }
    // Release everything blocked before the worker winds down.
    for (auto& s : sessions) {
        EndSession(*s, PPPP_ERR_CLOSED_HERE);
        std::lock_guard<std::mutex> lock(s->mu);
        s->closeRequested = true;
    }
    for (auto& d : devices) {
        std::lock_guard<std::mutex> lock(d->mu);
        d->stopRequested = true;
        d->cv.notify_all();
    }
    Wake();
    if (gLib.worker.joinable()) gLib.worker.join();
    {
        std::lock_guard<std::mutex> lock(gLib.mu);
        // Sessions the worker never adopted still own their hosts.
        for (auto& s : gLib.newSessions) {
            if (s->host) enet_host_destroy(s->host);
            s->host = nullptr;
        }
        for (auto& d : gLib.newDevices) {
            if (d->fd >= 0) ::close(d->fd);
            d->fd = -1;
            std::lock_guard<std::mutex> dl(d->mu);
            d->stopped = true;
            if (d->startResult == kPending) d->startResult = PPPP_ERR_CLOSED_HERE;
            d->cv.notify_all();
        }
        gLib.newSessions.clear();
        gLib.newDevices.clear();
        gLib.sessions.clear();
        gLib.devices.clear();
        gLib.tombstones.clear();
        gLib.tombstoneOrder.clear();
        ::close(gLib.wakeFd);
        gLib.wakeFd = -1;
    }
    for (auto& d : devices) {
        std::lock_guard<std::mutex> lock(d->mu);
        d->stopped = true;
        d->cv.notify_all();
    }
    enet_deinitialize();
    return PPPP_OK;
}

PPPP_EXPORT int32_t PPPP_Connect(const char* did, char tryDirect, uint32_t localPort) {
    if (!IsValidDid(did)) {
        std::lock_guard<std::mutex> lock(gLib.mu);
        return gLib.initialized ? PPPP_ERR_INVALID_DID : PPPP_ERR_NOT_INITIALIZED;
    }
    if (localPort > 65535) return PPPP_ERR_INVALID_PARAMETER;
    if (!ViewerMaySend()) return PPPP_ERR_DEVICE_NOT_AUTHENTIC;
    auto s = std::make_shared<Session>();
    std::strncpy(s->did, did, kDidField - 1);
    s->tryDirect = tryDirect != 0;
    s->lookupNonce = RandomU64();
    {
        std::lock_guard<std::mutex> lock(gLib.mu);
        if (!gLib.initialized) return PPPP_ERR_NOT_INITIALIZED;
        ENetAddress any{};
        any.host = ENET_HOST_ANY;
        any.port = uint16_t(localPort);
        s->host = enet_host_create(&any, 1, kEnetChannels, 0, 0);
        if (s->host == nullptr) return PPPP_ERR_BIND_FAILED;
        ConfigureHost(s->host);
        s->fd = int(s->host->socket);
        s->phase = Phase::kLookup;
        s->phaseStart = NowMs();
        for (const Endpoint& e : PlaceDid(s->did, gLib.services)) {
            LookupTarget t;
            t.service = e;
            s->targets.push_back(t);
        }
        s->handle = AllocateHandleLocked();
        gLib.sessions[s->handle] = s;
        gLib.newSessions.push_back(s);
    }
    Wake();
    int32_t result;
    {
        std::unique_lock<std::mutex> lock(s->mu);
        s->stateCv.wait(lock, [&] { return s->connectResult != kPending; });
        result = s->connectResult;
    }
    if (result < 0) {
        std::lock_guard<std::mutex> lock(gLib.mu);
        gLib.sessions.erase(s->handle);
    }
    return result;
}

PPPP_EXPORT int32_t PPPP_Check(int32_t session, SessionInfo* info) {
    if (info == nullptr) return PPPP_ERR_INVALID_PARAMETER;
    int32_t error = 0;
    auto s = FindSession(session, &error);
    if (!s) return error;
    std::lock_guard<std::mutex> lock(s->mu);
    if (s->endCode != 0) return s->endCode;
    std::memset(info, 0, sizeof *info);
    info->socket = s->fd;
    sockaddr_in remote = ToSockaddr(s->remote);
    std::memcpy(info->remote, &remote, sizeof remote);
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (s->fd >= 0) getsockname(s->fd, reinterpret_cast<sockaddr*>(&local), &len);
    std::memcpy(info->local, &local, sizeof local);
    sockaddr_in pub = ToSockaddr(s->publicEp);
    std::memcpy(info->publicAddr, &pub, sizeof pub);
    info->connectSeconds = uint32_t((NowMs() - s->openedMs) / 1000);
    std::memcpy(info->did, s->did, sizeof info->did);
    info->did[sizeof info->did - 1] = '\0';
    info->isDevice = s->isDevice ? 1 : 0;
    info->mode = s->mode;
    return PPPP_OK;
}

PPPP_EXPORT int32_t PPPP_Check_Security(int32_t session, SessionSecurity* info) {
    if (info == nullptr) return PPPP_ERR_INVALID_PARAMETER;
    int32_t error = 0;
    auto s = FindSession(session, &error);
    if (!s) return error;
    std::lock_guard<std::mutex> lock(s->mu);
    std::memset(info, 0, sizeof *info);
    info->sealed = s->sealed ? 1 : 0;
    const SealingDrops& d = s->sealDrops;
    info->malformed = d.secure.malformed;
    info->badTag = d.secure.badTag;
    info->replay = d.secure.replay;
    info->tooOld = d.secure.tooOld;
    info->staleKey = d.secure.staleKey;
    info->handshake = d.secure.handshake;
    info->stranger = d.stranger;
    info->unsealed = d.plain;
    return PPPP_OK;
}

PPPP_EXPORT int32_t PPPP_Close(int32_t session) {
    std::shared_ptr<Session> s;
    {
        std::lock_guard<std::mutex> lock(gLib.mu);
        if (!gLib.initialized) return PPPP_ERR_NOT_INITIALIZED;
        auto it = gLib.sessions.find(session);
        if (it == gLib.sessions.end())
            return gLib.tombstones.count(session) ? PPPP_ERR_CLOSED_HERE : PPPP_ERR_INVALID_SESSION;
        s = it->second;
        gLib.sessions.erase(it);
        AddTombstoneLocked(session);
    }
    {
        std::lock_guard<std::mutex> lock(s->mu);
        s->closeRequested = true;
        // Whatever the peer did before, from now on this side reports its own close.
        s->endCode = PPPP_ERR_CLOSED_HERE;
        WakeReaders(*s);
        s->writeCv.notify_all();
        s->stateCv.notify_all();
    }
    Wake();
    return PPPP_OK;
}

}  // extern "C"
