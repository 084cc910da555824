#include "p2p/init_string.h"

namespace zevo::p2p {
namespace {
constexpr size_t kBytes = kInitStringLetters / 2;
constexpr uint8_t kInitVersion = 1;
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

std::string EncodeInitString(const std::vector<Endpoint>& endpoints) {
    if (endpoints.empty() || endpoints.size() > kInitStringMaxEndpoints) return "";
    uint8_t bytes[kBytes] = {};
    bytes[0] = kInitVersion;
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
    uint16_t crc = Crc16(bytes, kBytes - 2);
    bytes[kBytes - 2] = uint8_t(crc >> 8);
    bytes[kBytes - 1] = uint8_t(crc);
    std::string text;
    for (uint8_t b : bytes) {
        text += char('A' + (b >> 4));
        text += char('A' + (b & 15));
    }
    return text;
}

bool DecodeInitString(const char* text, size_t length, std::vector<Endpoint>* out) {
    out->clear();
    if (text == nullptr || length < kInitStringLetters) return false;
    if (length > kInitStringLetters && text[kInitStringLetters] != '\0') return false;
    uint8_t bytes[kBytes];
    for (size_t i = 0; i < kBytes; ++i) {
        char hi = text[2 * i], lo = text[2 * i + 1];
        if (hi < 'A' || hi > 'P' || lo < 'A' || lo > 'P') return false;
        bytes[i] = uint8_t(((hi - 'A') << 4) | (lo - 'A'));
    }
    uint16_t crc = uint16_t((bytes[kBytes - 2] << 8) | bytes[kBytes - 1]);
    if (crc != Crc16(bytes, kBytes - 2)) return false;
    if (bytes[0] != kInitVersion) return false;
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
    for (; at < kBytes - 2; ++at)
        if (bytes[at] != 0) return false;
    return true;
}

}  // namespace zevo::p2p
