#include "p2p/diag_device.h"

#include <endian.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "p2p/PPPP_API.h"

namespace zevo::p2pdiag {

namespace {
uint64_t PatternWord(uint64_t word) {
    uint64_t z = word + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}
}  // namespace

// One hash per 8 bytes, stored a word at a time: the stream must cost the sender little
// next to the transport it measures.
void FillPattern(uint64_t offset, uint8_t* out, size_t length) {
    size_t i = 0;
    while (i < length && ((offset + i) & 7) != 0) {
        out[i] = PatternByte(offset + i);
        ++i;
    }
    for (; i + 8 <= length; i += 8) {
        uint64_t word = htole64(PatternWord((offset + i) >> 3));
        std::memcpy(out + i, &word, 8);
    }
    for (; i < length; ++i) out[i] = PatternByte(offset + i);
}

size_t CheckPattern(uint64_t offset, const uint8_t* data, size_t length) {
    size_t i = 0;
    while (i < length) {
        if (((offset + i) & 7) == 0 && i + 8 <= length) {
            uint64_t word = htole64(PatternWord((offset + i) >> 3)), got;
            std::memcpy(&got, data + i, 8);
            if (word == got) {
                i += 8;
                continue;
            }
        }
        if (data[i] != PatternByte(offset + i)) return i;
        ++i;
    }
    return length;
}

namespace {

void Echo(int32_t session) {
    std::vector<char> buffer(4096);
    for (;;) {
        // A read waits for all it asks for: ask for what is there, or for one byte.
        uint32_t readable = 0;
        if (PPPP_Check_Buffer(session, 0, nullptr, &readable) < 0) return;
        int32_t size = int32_t(std::clamp<uint32_t>(readable, 1, uint32_t(buffer.size())));
        int32_t r = PPPP_Read(session, 0, buffer.data(), &size, 50);
        if (size > 0 && PPPP_Write(session, 0, buffer.data(), size) < 0) return;
        if (r != PPPP_OK && r != PPPP_ERR_TIMEOUT) return;
    }
}

void Stream(int32_t session, uint64_t count) {
    std::vector<uint8_t> chunk(64 * 1024);
    uint64_t offset = 0;
    while (offset < count) {
        size_t n = size_t(std::min<uint64_t>(chunk.size(), count - offset));
        FillPattern(offset, chunk.data(), n);
        if (PPPP_Write(session, 1, reinterpret_cast<char*>(chunk.data()), int32_t(n)) < 0) return;
        offset += n;
    }
}

void Serve(int32_t session) {
    std::thread echo(Echo, session);
    std::vector<std::thread> streams;
    for (;;) {
        unsigned char order[9];
        int32_t size = sizeof order;
        int32_t r = PPPP_Read(session, 2, reinterpret_cast<char*>(order), &size, -1);
        if (r != PPPP_OK) break;
        uint64_t value = 0;
        for (int i = 8; i >= 1; --i) value = (value << 8) | order[i];
        if (order[0] == 'S') {
            streams.emplace_back(Stream, session, value);
        } else if (order[0] == 'I') {
            SessionInfo info{};
            PPPP_Check(session, &info);
            PPPP_Write(session, 2, reinterpret_cast<char*>(&info), sizeof info);
        } else if (order[0] == 'X') {
            break;
        }
    }
    PPPP_Close(session);
    echo.join();
    for (auto& t : streams) t.join();
}

}  // namespace

void ServeDevice(int32_t device, const std::atomic<bool>& stop) {
    std::vector<std::thread> sessions;
    while (!stop.load()) {
        int32_t s = PPPP_Accept(device, 100);
        if (s >= 0)
            sessions.emplace_back(Serve, s);
        else if (s != PPPP_ERR_TIMEOUT)
            break;
    }
    PPPP_DeviceStop(device);  // closes the sessions, which ends their threads
    for (auto& t : sessions) t.join();
}

}  // namespace zevo::p2pdiag
