#include "session/packet.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "session/aes.h"

namespace {

using namespace zevo;
using Bytes = std::vector<unsigned char>;

const unsigned char kSessionKey[16] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE,
                                       0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

// OpenSSL as the independent judge of what went on the wire.
Bytes OpenSslBlock(bool decrypt, const unsigned char* key, const unsigned char* in) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key, nullptr, decrypt ? 0 : 1);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    Bytes out(16);
    int n = 0;
    EVP_CipherUpdate(ctx, out.data(), &n, in, 16);
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

Bytes Body(const Bytes& packet) {
    return Bytes(packet.begin() + 4, packet.end());
}

// A media packet as the device sends it, protected with the device's own state.
Bytes DeviceMediaPacket(PacketProtection& device, int packetClass, size_t length, uint32_t seed) {
    Bytes payload(length);
    std::mt19937 rng(seed);
    for (auto& b : payload) b = static_cast<unsigned char>(rng());
    PacketHead head;
    head.SetMediaCode(3);
    head.SetStreamChannel(1);
    head.SetTimestamp(seed);
    Bytes packet = BuildMediaPacket(head, payload.data(), payload.size(), packetClass);
    device.ProtectPacket(packet.data(), int(packet.size()));
    return packet;
}

TEST(PacketFormat, LoginResponseIsPlainAndByteExact) {
    // The challenge encrypted under a six-letter password, sent as class 1.
    const unsigned char challenge[16] = {0xC0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    const char password[] = "admin1";
    unsigned char response[16];
    ASSERT_EQ(AesEncryptBlock(128, challenge, 16, reinterpret_cast<const unsigned char*>(password),
                              6, response),
              16);
    unsigned char paddedPassword[16] = {'a', 'd', 'm', 'i', 'n', '1'};
    EXPECT_EQ(Bytes(response, response + 16), OpenSslBlock(false, paddedPassword, challenge));

    const Bytes packet = BuildPacket(2, response, 16, PACKET_CLASS_LOGIN);
    Bytes expected = {0x20, 0x00, 0x00, 0x01, 0x02, 0x00, 0x10, 0x00};
    expected.resize(20, 0);
    expected.insert(expected.end(), response, response + 16);
    EXPECT_EQ(packet, expected);
    EXPECT_EQ(PacketBodyLength(packet.data()), 32u);
}

TEST(PacketFormat, StartStreamForCameraTwoIsByteExact) {
    PacketProtection viewer(0x6B);
    viewer.SetSessionKey(kSessionKey);
    const unsigned char camera[8] = {2, 0, 0, 0, 0, 0, 0, 0};
    Bytes packet = BuildPacket(1, camera, 8, PACKET_CLASS_COMMAND);
    viewer.ProtectPacket(packet.data(), int(packet.size()));

    ASSERT_EQ(packet.size(), 28u);
    EXPECT_EQ(Bytes(packet.begin(), packet.begin() + 4), (Bytes{0x18, 0x00, 0x00, 0x04}));
    Bytes plainHead = {0x01, 0x00, 0x08, 0x00, 0x6B};
    plainHead.resize(16, 0);
    EXPECT_EQ(OpenSslBlock(true, kSessionKey, packet.data() + 4), plainHead);
    EXPECT_EQ(Bytes(packet.begin() + 20, packet.end()),
              (Bytes{0x02 ^ 0x6B, 0x6B, 0x6B, 0x6B, 0x6B, 0x6B, 0x6B, 0x6B}));
    // The next key byte is the first protected payload byte.
    EXPECT_EQ(viewer.XorKey(), 0x02 ^ 0x6B);

    // And the device reads it back.
    PacketProtection device;
    device.SetSessionKey(kSessionKey);
    Bytes body = Body(packet);
    ASSERT_EQ(device.UnprotectPacket(PACKET_CLASS_COMMAND, body.data(), int(body.size())), 0);
    EXPECT_EQ(Bytes(body.begin() + 16, body.end()), Bytes(camera, camera + 8));
}

TEST(PacketFormat, CommandKeyByteChainsAndEmptyPayloadKeepsIt) {
    PacketProtection viewer(0x21);
    viewer.SetSessionKey(kSessionKey);

    Bytes empty = BuildPacket(17, nullptr, 0, PACKET_CLASS_COMMAND);  // get e-mail alert
    viewer.ProtectPacket(empty.data(), int(empty.size()));
    ASSERT_EQ(empty.size(), 20u);
    Bytes plainEmpty = {17, 0, 0, 0};
    plainEmpty.resize(16, 0);
    EXPECT_EQ(OpenSslBlock(true, kSessionKey, empty.data() + 4), plainEmpty);
    EXPECT_EQ(viewer.XorKey(), 0x21);

    const unsigned char first[4] = {0x40, 1, 2, 3};
    const unsigned char second[8] = {0x99, 0, 0, 0, 0, 0, 0, 0};
    Bytes a = BuildPacket(13, first, 4, PACKET_CLASS_COMMAND);
    Bytes b = BuildPacket(1, second, 8, PACKET_CLASS_COMMAND);
    viewer.ProtectPacket(a.data(), int(a.size()));
    viewer.ProtectPacket(b.data(), int(b.size()));
    EXPECT_EQ(OpenSslBlock(true, kSessionKey, a.data() + 4)[4], 0x21);
    EXPECT_EQ(OpenSslBlock(true, kSessionKey, b.data() + 4)[4], a[20]);
    EXPECT_EQ(a[20], 0x40 ^ 0x21);
    EXPECT_EQ(viewer.XorKey(), b[20]);
}

TEST(PacketFormat, PrefixAndHeadFields) {
    const unsigned char prefix[4] = {0x34, 0x12, 0xFF, 0x07};
    EXPECT_EQ(PacketBodyLength(prefix), 0xFF1234u);
    const PacketPrefix p = PacketPrefix::Read(prefix);
    EXPECT_EQ(p.bodyLength, 0xFF1234u);
    EXPECT_EQ(p.packetClass, 7);
    unsigned char written[4];
    PacketPrefix{0x01020304, 2}.Write(written);  // only 24 bits fit
    EXPECT_EQ(Bytes(written, written + 4), (Bytes{0x04, 0x03, 0x02, 0x02}));

    const unsigned char raw[16] = {0x00, 0x05, 0x03, 0x00, 0xAA, 9,    9,    9,
                                   0x10, 0x20, 0x00, 0x00, 0x78, 0x56, 0x34, 0x12};
    const PacketHead h = PacketHead::Read(raw);
    EXPECT_EQ(h.MediaCode(), 1280);
    EXPECT_EQ(h.StreamChannel(), 3);
    EXPECT_EQ(h.FrameKind(), 0);
    EXPECT_EQ(h.XorKey(), 0xAA);
    EXPECT_EQ(h.PayloadLength(), 0x2010u);
    EXPECT_EQ(h.Timestamp(), 0x12345678u);
    EXPECT_EQ(h.CommandLength(), 0x0003);
    unsigned char back[16];
    h.Write(back);
    EXPECT_EQ(0, std::memcmp(back, raw, 16));

    EXPECT_TRUE(BuildPacket(1, nullptr, 65536, PACKET_CLASS_COMMAND).empty());
    EXPECT_EQ(BuildPacket(1, nullptr, 65535, PACKET_CLASS_COMMAND).size(), 65535u + 20);
}

TEST(PacketUnprotect, MediaBodyLengthMustMatchExactly) {
    PacketProtection device(0x33);
    PacketProtection viewer;
    device.SetSessionKey(kSessionKey);
    viewer.SetSessionKey(kSessionKey);
    for (int packetClass : {PACKET_CLASS_VIDEO, PACKET_CLASS_AUDIO}) {
        SCOPED_TRACE(packetClass);
        const Bytes packet = DeviceMediaPacket(device, packetClass, 1000, 5);
        const Bytes plain = [&] {
            PacketHead head;
            head.SetMediaCode(3);
            head.SetStreamChannel(1);
            head.SetTimestamp(5);
            Bytes payload(1000);
            std::mt19937 rng(5);
            for (auto& b : payload) b = static_cast<unsigned char>(rng());
            return Body(BuildMediaPacket(head, payload.data(), 1000, packetClass));
        }();
        Bytes body = Body(packet);
        ASSERT_EQ(viewer.UnprotectPacket(packetClass, body.data(), int(body.size())), 0);
        EXPECT_EQ(PacketHead::Read(body.data()).PayloadLength(), 1000u);
        EXPECT_EQ(Bytes(body.begin() + 16, body.end()), Bytes(plain.begin() + 16, plain.end()));

        // One byte more or one less than 16 + L.
        Bytes longer = Body(packet);
        longer.push_back(0);
        EXPECT_EQ(viewer.UnprotectPacket(packetClass, longer.data(), int(longer.size())), -2);
        Bytes shorter = Body(packet);
        EXPECT_EQ(viewer.UnprotectPacket(packetClass, shorter.data(), int(shorter.size()) - 1), -2);
        // The head stays decrypted, the payload as it came.
        EXPECT_EQ(PacketHead::Read(shorter.data()).PayloadLength(), 1000u);
        EXPECT_EQ(Bytes(shorter.begin() + 16, shorter.end()),
                  Bytes(packet.begin() + 20, packet.end()));
    }
}

TEST(PacketUnprotect, ClassesAndShortBodies) {
    PacketProtection viewer;
    viewer.SetSessionKey(kSessionKey);
    Bytes body(40);
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<unsigned char>(i * 13);
    const Bytes original = body;
    for (int packetClass : {-1, 0, 1, 5, 255}) {
        EXPECT_EQ(viewer.UnprotectPacket(packetClass, body.data(), int(body.size())), -1);
    }
    EXPECT_EQ(body, original);
    EXPECT_EQ(viewer.UnprotectPacket(PACKET_CLASS_VIDEO, body.data(), 15), -2);
    EXPECT_EQ(viewer.UnprotectPacket(PACKET_CLASS_COMMAND, body.data(), -1), -2);
    EXPECT_EQ(viewer.UnprotectPacket(PACKET_CLASS_AUDIO, nullptr, 16), -2);
    EXPECT_EQ(body, original);

    // A command head with length 0 and a 16-byte body: accepted, nothing XORed.
    unsigned char head[17] = {17, 0, 0, 0, 0xEE};
    head[16] = 0x5C;  // the byte after the body must stay
    const Bytes wire = OpenSslBlock(false, kSessionKey, head);
    std::memcpy(head, wire.data(), 16);
    EXPECT_EQ(viewer.UnprotectPacket(PACKET_CLASS_COMMAND, head, 16), 0);
    EXPECT_EQ(head[0], 17);
    EXPECT_EQ(head[4], 0xEE);
    EXPECT_EQ(head[16], 0x5C);
}

TEST(PacketUnprotect, ZeroKeyBeforeLoginDropsProtectedPackets) {
    PacketProtection device;
    device.SetSessionKey(kSessionKey);
    PacketProtection viewer;  // no login yet: all-zero key
    Bytes body = Body(DeviceMediaPacket(device, PACKET_CLASS_VIDEO, 300, 9));
    EXPECT_EQ(viewer.UnprotectPacket(PACKET_CLASS_VIDEO, body.data(), int(body.size())), -2);

    body = Body(DeviceMediaPacket(device, PACKET_CLASS_VIDEO, 300, 9));
    viewer.SetSessionKey(kSessionKey);
    EXPECT_EQ(viewer.UnprotectPacket(PACKET_CLASS_VIDEO, body.data(), int(body.size())), 0);
    viewer.ClearSessionKey();
    unsigned char key[16];
    viewer.CopySessionKey(key);
    EXPECT_EQ(Bytes(key, key + 16), Bytes(16, 0));
}

TEST(PacketProtect, ShortPacketsAndLyingLengthsStayInBounds) {
    PacketProtection viewer(0x77);
    viewer.SetSessionKey(kSessionKey);
    Bytes small = {0x0F, 0, 0, 4, 1, 0, 9, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    const Bytes smallCopy = small;
    viewer.ProtectPacket(small.data(), int(small.size()));
    EXPECT_EQ(small, smallCopy);
    viewer.ProtectPacket(nullptr, 100);

    // A head that claims 1000 payload bytes on a 4-byte payload: only those 4 change.
    Bytes packet = BuildPacket(13, nullptr, 4, PACKET_CLASS_COMMAND);
    packet[6] = 0xE8;
    packet[7] = 0x03;
    packet.insert(packet.end(), {0xA5, 0xA5});  // guard bytes after the packet
    viewer.ProtectPacket(packet.data(), 24);
    EXPECT_EQ(Bytes(packet.begin() + 20, packet.begin() + 24), Bytes(4, 0x77));
    EXPECT_EQ(packet[24], 0xA5);
    EXPECT_EQ(packet[25], 0xA5);
}

TEST(PacketXor, MatchesBytewiseAtEveryOffsetAndLength) {
    Bytes buffer(300);
    for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<unsigned char>(i * 7 + 1);
    for (size_t offset = 0; offset < 9; ++offset) {
        for (size_t length = 0; length < 200; length += 1 + length / 16) {
            Bytes fast = buffer, slow = buffer;
            XorBytes(fast.data() + offset, length, 0xC3);
            for (size_t i = offset; i < offset + length; ++i) slow[i] ^= 0xC3;
            ASSERT_EQ(fast, slow) << offset << "/" << length;
        }
    }
}

TEST(PacketThreads, KeySetByLoginThreadWhileMediaReaderUnprotects) {
    // The media reader runs from before the login: its packets fail until the command
    // reader stores the key and raises the logged-in flag, and every later one succeeds.
    PacketProtection device;
    device.SetSessionKey(kSessionKey);
    std::vector<Bytes> bodies;
    for (uint32_t i = 0; i < 64; ++i) {
        bodies.push_back(Body(DeviceMediaPacket(device, PACKET_CLASS_VIDEO, 256 + i, i)));
    }
    PacketProtection viewer;
    std::atomic<bool> loggedIn{false};
    std::atomic<int> afterLogin{0}, failuresAfterLogin{0};
    std::thread mediaReader([&] {
        for (int i = 0; afterLogin.load() < 2000; ++i) {
            const bool seen = loggedIn.load(std::memory_order_acquire);
            Bytes body = bodies[size_t(i) % bodies.size()];
            const int result =
                viewer.UnprotectPacket(PACKET_CLASS_VIDEO, body.data(), int(body.size()));
            if (seen) {
                afterLogin.fetch_add(1);
                if (result != 0) failuresAfterLogin.fetch_add(1);
            }
        }
    });
    std::thread commandReader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        viewer.SetSessionKey(kSessionKey);
        loggedIn.store(true, std::memory_order_release);
    });
    // Meanwhile the window thread sends commands.
    for (int i = 0; i < 200; ++i) {
        const unsigned char payload[8] = {static_cast<unsigned char>(i)};
        Bytes packet = BuildPacket(1, payload, 8, PACKET_CLASS_COMMAND);
        viewer.ProtectPacket(packet.data(), int(packet.size()));
    }
    commandReader.join();
    mediaReader.join();
    EXPECT_EQ(failuresAfterLogin.load(), 0);
}

TEST(PacketThreads, DeviceProtectsFromSeveralThreads) {
    PacketProtection device(0x10);
    device.SetSessionKey(kSessionKey);
    PacketProtection viewer;
    viewer.SetSessionKey(kSessionKey);
    std::atomic<int> failures{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < 3; ++t) {
        senders.emplace_back([&, t] {
            for (uint32_t i = 0; i < 300; ++i) {
                const int packetClass = t == 2 ? PACKET_CLASS_COMMAND : PACKET_CLASS_VIDEO;
                Bytes packet;
                Bytes payload(64 + i % 50, static_cast<unsigned char>(i + t));
                if (packetClass == PACKET_CLASS_COMMAND) {
                    packet = BuildPacket(18, payload.data(), payload.size(), packetClass);
                } else {
                    packet =
                        BuildMediaPacket(PacketHead{}, payload.data(), payload.size(), packetClass);
                }
                device.ProtectPacket(packet.data(), int(packet.size()));
                Bytes body = Body(packet);
                if (viewer.UnprotectPacket(packetClass, body.data(), int(body.size())) != 0 ||
                    !std::equal(payload.begin(), payload.end(), body.begin() + 16)) {
                    failures.fetch_add(1);
                }
            }
        });
    }
    for (auto& s : senders) s.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
