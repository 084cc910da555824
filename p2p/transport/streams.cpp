// The eight byte streams of a session: what PPPP_Write queues is cut into ENet packets of
// whole datagrams, what arrives waits for PPPP_Read, and credits bound what either side
// holds (kWindow per channel beyond the peer's last credit).
#include <algorithm>
#include <cstring>

#include "p2p/transport/internal.h"

namespace zevo::p2p::transport {

void Worker::PumpSends(Session& s) {
    std::vector<Outgoing> queue;
    bool credit = false;
    uint8_t credits[kDataChannels][kCreditSize];
    int creditCount = 0;
    {
        std::lock_guard<std::mutex> lock(s.mu);
        queue.swap(s.sendQueue);
        credit = s.creditDue;
        s.creditDue = false;
        if (credit) {
            for (int ch = 0; ch < kDataChannels; ++ch) {
                Inbound& in = s.in[ch];
                if (in.consumed != in.reported) {
                    EncodeCredit(uint8_t(ch), in.consumed, credits[creditCount++]);
                    in.reported = in.consumed;
                }
            }
        }
    }
    bool usable = s.peer != nullptr && s.peer->state == ENET_PEER_STATE_CONNECTED;
    if (s.mode == PPPP_MODE_RELAY && s.relayRateKiB != 0) {
        // Pace at 90 % of the relay's rate with a burst well inside its bucket.
        for (auto& o : queue) s.held.push_back(o);
        queue.clear();
        double rate = double(s.relayRateKiB) * 1024 * 0.9;
        double burst = std::max(rate / 16, 64.0 * 1024);
        uint64_t now = mNow;
        s.paceTokens = std::min(burst, s.paceTokens + rate * double(now - s.paceRefilled) / 1000);
        s.paceRefilled = now;
        while (!s.held.empty() && s.paceTokens >= 0) {
            s.paceTokens -= double(s.held.front().packet->dataLength);
            queue.push_back(s.held.front());
            s.held.pop_front();
        }
    }
    for (auto& o : queue) {
        if (!usable || enet_peer_send(s.peer, o.channel, o.packet) != 0)
            enet_packet_destroy(o.packet);
    }
    for (int i = 0; usable && i < creditCount; ++i) {
        ENetPacket* p = enet_packet_create(credits[i], kCreditSize, ENET_PACKET_FLAG_RELIABLE);
        if (p != nullptr && enet_peer_send(s.peer, kControlChannel, p) != 0) enet_packet_destroy(p);
    }
}

// A packet ENet delivered: stream bytes go to their channel's reader, credits open the
// writer's window.
void Worker::Deliver(Session& s, ENetEvent& ev) {
    ENetPacket* packet = ev.packet;
    if (ev.peer != s.peer || s.phase != Phase::kOpen) {
        enet_packet_destroy(packet);
        return;
    }
    if (ev.channelID < kDataChannels) {
        std::lock_guard<std::mutex> lock(s.mu);
        if (s.endCode == PPPP_ERR_CLOSED_HERE || packet->dataLength == 0) {
            enet_packet_destroy(packet);
            return;
        }
        Inbound& in = s.in[ev.channelID];
        in.packets.push_back(packet);
        in.buffered += packet->dataLength;
        if (in.readersWaiting > 0) in.readable.notify_all();
    } else {
        uint8_t ch;
        uint64_t consumed;
        if (DecodeCredit(packet->data, packet->dataLength, &ch, &consumed) && ch < kDataChannels) {
            std::lock_guard<std::mutex> lock(s.mu);
            Outbound& out = s.out[ch];
            // A credit may never claim more than was written.
            if (consumed > out.peerConsumed && consumed <= out.written) out.peerConsumed = consumed;
            if (s.writersWaiting > 0) s.writeCv.notify_all();
        }
        enet_packet_destroy(packet);
    }
}

}  // namespace zevo::p2p::transport

using namespace zevo::p2p;
using namespace zevo::p2p::transport;

extern "C" {

PPPP_EXPORT int32_t PPPP_Read(int32_t session, unsigned char channel, char* buffer, int32_t* size,
                              int32_t timeoutMs) {
    if (size == nullptr) return PPPP_ERR_INVALID_PARAMETER;
    int32_t want = *size;
    if (want < 0 || channel >= kDataChannels || (buffer == nullptr && want > 0)) {
        *size = 0;
        return PPPP_ERR_INVALID_PARAMETER;
    }
    *size = 0;
    int32_t error = 0;
    auto s = FindSession(session, &error);
    if (!s) return error;
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    int32_t got = 0;
    bool poke = false;
    int32_t result;
    {
        std::unique_lock<std::mutex> lock(s->mu);
        Inbound& in = s->in[channel];
        for (;;) {
            if (s->endCode == PPPP_ERR_CLOSED_HERE) {
                result = PPPP_ERR_CLOSED_HERE;
                break;
            }
            while (got < want && !in.packets.empty()) {
                ENetPacket* p = in.packets.front();
                size_t n = std::min<size_t>(size_t(want - got), p->dataLength - in.headOffset);
                std::memcpy(buffer + got, p->data + in.headOffset, n);
                got += int32_t(n);
                in.headOffset += n;
                in.buffered -= n;
                in.consumed += n;
                if (in.headOffset == p->dataLength) {
                    enet_packet_destroy(p);
                    in.packets.pop_front();
                    in.headOffset = 0;
                }
            }
            if (in.consumed - in.reported >= kCreditStep && !s->creditDue) {
                s->creditDue = true;
                poke = true;
            }
            if (got == want) {
                result = PPPP_OK;
                break;
            }
            if (s->endCode != 0) {
                result = s->endCode;
                break;
            }
            if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) {
                result = PPPP_ERR_TIMEOUT;
                break;
            }
            if (poke) {
                // Let the writer go on while we wait for the rest.
                lock.unlock();
                Wake();
                poke = false;
                lock.lock();
                continue;
            }
            ++in.readersWaiting;
            WaitUntil(in.readable, lock, timeoutMs, deadline);
            --in.readersWaiting;
        }
    }
    if (poke) Wake();
    *size = got;
    return result;
}

PPPP_EXPORT int32_t PPPP_Write(int32_t session, unsigned char channel, const char* buffer,
                               int32_t size) {
    if (channel >= kDataChannels || size < 0 || (buffer == nullptr && size > 0))
        return PPPP_ERR_INVALID_PARAMETER;
    int32_t error = 0;
    auto s = FindSession(session, &error);
    if (!s) return error;
    if (size == 0) return PPPP_ERR_INVALID_PARAMETER;
    int32_t offset = 0;
    std::unique_lock<std::mutex> lock(s->mu);
    Outbound& out = s->out[channel];
    while (offset < size) {
        if (s->endCode != 0) return s->endCode;
        uint64_t inFlight = out.written - out.peerConsumed;
        if (inFlight >= kWindow) {
            ++s->writersWaiting;
            s->writeCv.wait(lock);
            --s->writersWaiting;
            continue;
        }
        size_t want = std::min<size_t>(size_t(size - offset), size_t(kWindow - inFlight));
        // Top up the packet the worker has not taken yet: the stream goes out in whole
        // chunks whatever the sizes of the writes, and small writes share packets.
        Outgoing* tail = s->sendQueue.empty() ? nullptr : &s->sendQueue.back();
        if (tail != nullptr && tail->channel == channel && tail->packet->dataLength < s->chunk) {
            ENetPacket* p = tail->packet;
            size_t n = std::min(want, s->chunk - p->dataLength);
            if (p->dataLength + n > tail->capacity) {
                size_t capacity =
                    std::min(s->chunk, std::max(p->dataLength + n, 2 * tail->capacity));
                ENetPacket* bigger =
                    enet_packet_create(nullptr, capacity, ENET_PACKET_FLAG_RELIABLE);
                if (bigger == nullptr) return PPPP_ERR_NO_MEMORY;
                std::memcpy(bigger->data, p->data, p->dataLength);
                bigger->dataLength = p->dataLength;
                enet_packet_destroy(p);
                tail->packet = p = bigger;
                tail->capacity = capacity;
            }
            std::memcpy(p->data + p->dataLength, buffer + offset, n);
            p->dataLength += n;
            out.written += n;
            offset += int32_t(n);
            continue;
        }
        size_t n = std::min(want, s->chunk);
        ENetPacket* p = enet_packet_create(buffer + offset, n, ENET_PACKET_FLAG_RELIABLE);
        if (p == nullptr) return PPPP_ERR_NO_MEMORY;
        bool wasEmpty = s->sendQueue.empty();
        s->sendQueue.push_back(Outgoing{channel, p, n});
        out.written += n;
        offset += int32_t(n);
        if (wasEmpty) {
            lock.unlock();
            Wake();
            lock.lock();
        }
    }
    return size;
}

PPPP_EXPORT int32_t PPPP_Check_Buffer(int32_t session, unsigned char channel, uint32_t* unsent,
                                      uint32_t* readable) {
    if (channel >= kDataChannels) return PPPP_ERR_INVALID_PARAMETER;
    int32_t error = 0;
    auto s = FindSession(session, &error);
    if (!s) return error;
    std::lock_guard<std::mutex> lock(s->mu);
    if (unsent) *unsent = uint32_t(s->out[channel].written - s->out[channel].peerConsumed);
    if (readable) *readable = uint32_t(std::min<uint64_t>(s->in[channel].buffered, UINT32_MAX));
    return PPPP_OK;
}

}  // extern "C"
