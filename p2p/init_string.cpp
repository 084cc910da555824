#include "p2p/init_string.h"

#include <cstring>

namespace zevo::p2p {
namespace {
constexpr size_t kBytes = kInitStringLetters / 2;
constexpr size_t kBytesV2 = kInitStringLettersV2 / 2;
constexpr size_t kKeyAt = 43;  // version 2: the key follows the endpoints' padded area
constexpr uint8_t kInitVersion = 1;
constexpr uint8_t kInitVersionKey = 2;

bool Letter(char c, uint8_t* nibble) {
    if (c < 'A' || c > 'P') return false;
    *nibble = uint8_t(c - 'A');
    return true;
}
}  // namespace

uint16_t Crc16(const uint8_t* data, size_t length) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc ^= uint16_t(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
    }
    return crc;
}

std::string EncodeInitString(const std::vector<Endpoint>& endpoints, const uint8_t* serviceKey) {
    if (endpoints.empty() || endpoints.size() > kInitStringMaxEndpoints) return "";
    uint8_t bytes[kBytesV2] = {};
    size_t total = serviceKey ? kBytesV2 : kBytes;
    bytes[0] = serviceKey ? kInitVersionKey : kInitVersion;
    bytes[1] = uint8_t(endpoints.size());
    size_t at = 2;
    for (const Endpoint& e : endpoints) {
        bytes[at++] = uint8_t(e.ip >> 24);
        bytes[at++] = uint8_t(e.ip >> 16);
        bytes[at++] = uint8_t(e.ip >> 8);
        bytes[at++] = uint8_t(e.ip);
        bytes[at++] = uint8_t(e.port >> 8);
        bytes[at++] = uint8_t(e.port);
    }
    if (serviceKey) std::memcpy(bytes + kKeyAt, serviceKey, kInitStringKeySize);
    uint16_t crc = Crc16(bytes, total - 2);
    bytes[total - 2] = uint8_t(crc >> 8);
    bytes[total - 1] = uint8_t(crc);
    std::string text;
    for (size_t i = 0; i < total; ++i) {
        text += char('A' + (bytes[i] >> 4));
        text += char('A' + (bytes[i] & 15));
    }
    return text;
}

bool DecodeInitString(const char* text, size_t length, std::vector<Endpoint>* out,
                      uint8_t* serviceKey, bool* hasKey) {
    out->clear();
    if (hasKey) *hasKey = false;
    // The first byte, the version, says how long the string is.
    uint8_t hi, lo;
    if (text == nullptr || length < 2 || !Letter(text[0], &hi) || !Letter(text[1], &lo))
        return false;
    uint8_t version = uint8_t((hi << 4) | lo);
    if (version != kInitVersion && version != kInitVersionKey) return false;
    size_t letters = version == kInitVersion ? kInitStringLetters : kInitStringLettersV2;
    size_t total = letters / 2;
    if (length < letters) return false;
    if (length > letters && text[letters] != '\0') return false;
    uint8_t bytes[kBytesV2];
    for (size_t i = 0; i < total; ++i) {
        if (!Letter(text[2 * i], &hi) || !Letter(text[2 * i + 1], &lo)) return false;
        bytes[i] = uint8_t((hi << 4) | lo);
    }
    uint16_t crc = uint16_t((bytes[total - 2] << 8) | bytes[total - 1]);
    if (crc != Crc16(bytes, total - 2)) return false;
    size_t count = bytes[1];
    if (count == 0 || count > kInitStringMaxEndpoints) return false;
    size_t at = 2;
    for (size_t i = 0; i < count; ++i) {
        Endpoint e;
        e.ip = (uint32_t(bytes[at]) << 24) | (uint32_t(bytes[at + 1]) << 16) |
               (uint32_t(bytes[at + 2]) << 8) | bytes[at + 3];
        e.port = uint16_t((bytes[at + 4] << 8) | bytes[at + 5]);
        at += 6;
        if (e.ip == 0 || e.port == 0) return false;
        out->push_back(e);
    }
    // Version 1 pads to its check; version 2 pads to its key.
    for (; at < (version == kInitVersion ? kBytes - 2 : kKeyAt); ++at)
        if (bytes[at] != 0) return false;
    if (version == kInitVersionKey) {
        if (serviceKey) std::memcpy(serviceKey, bytes + kKeyAt, kInitStringKeySize);
        if (hasKey) *hasKey = true;
    }
    return true;
}

}  // namespace zevo::p2p
