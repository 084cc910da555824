// The device's packets against the viewer's codec: whatever the device protects, the
// viewer's UnprotectPacket must restore, and the other way round for commands.
#include "device/wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "session/aes.h"
#include "session/packet.h"

using namespace zevo;
using namespace zevo::camd;

namespace {

Block16 TestKey() {
    Block16 k{};
    for (size_t i = 0; i < k.size(); ++i) k[i] = uint8_t(0xA0 + i);
    return k;
}

// Viewer side: unprotect a whole received packet's body.
int ViewerUnprotect(const Block16& key, std::vector<uint8_t>& packet) {
    PacketProtection viewer;
    viewer.SetSessionKey(key.data());
    return viewer.UnprotectPacket(packet[3], packet.data() + kPacketPrefixSize,
                                  int(packet.size() - kPacketPrefixSize));
}

}  // namespace

TEST(DeviceWire, MediaPacketsRoundTripThroughTheViewersCodec) {
    Block16 key = TestKey();
    ChannelProtector device(key, 0x33);
    std::vector<uint8_t> payload(5000);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = uint8_t(i * 7 + 1);

    std::vector<uint8_t> video = BuildMediaPacket(PACKET_CLASS_VIDEO, MEDIA_CODE_VIDEO, 3, 0,
                                                  123456, payload.data(), payload.size());
    ASSERT_EQ(PacketBodyLength(video.data()), payload.size() + 16);
    device.Protect(video);
    // On the wire neither head nor payload is plain.
    EXPECT_NE(std::memcmp(video.data() + 20, payload.data(), 64), 0);
    EXPECT_NE(wire::Get16(video.data() + 4), MEDIA_CODE_VIDEO);

    ASSERT_EQ(ViewerUnprotect(key, video), 0);
    PacketHead head = PacketHead::Read(video.data() + 4);
    EXPECT_EQ(head.MediaCode(), MEDIA_CODE_VIDEO);
    EXPECT_EQ(head.StreamChannel(), 3);
    EXPECT_EQ(head.FrameKind(), 0);
    EXPECT_EQ(head.PayloadLength(), payload.size());
    EXPECT_EQ(head.Timestamp(), 123456u);
    EXPECT_EQ(head.XorKey(), 0x33);
    EXPECT_EQ(std::memcmp(video.data() + 20, payload.data(), payload.size()), 0);

    std::vector<uint8_t> audio =
        BuildMediaPacket(PACKET_CLASS_AUDIO, MEDIA_CODE_ADPCM, 3, 0, 99, payload.data(), 160);
    device.Protect(audio);
    ASSERT_EQ(ViewerUnprotect(key, audio), 0);
    head = PacketHead::Read(audio.data() + 4);
    EXPECT_EQ(head.MediaCode(), MEDIA_CODE_ADPCM);
    // The key rolled: it is the first protected byte of the video payload.
    EXPECT_EQ(head.XorKey(), uint8_t(payload[0] ^ 0x33));
    EXPECT_EQ(std::memcmp(audio.data() + 20, payload.data(), 160), 0);
}

TEST(DeviceWire, CommandKeyRollsLikeTheViewersAndEmptyPayloadsKeepIt) {
    Block16 key = TestKey();
    ChannelProtector device(key, 0x5A);
    const uint8_t a[8] = {0x10, 1, 2, 3, 4, 5, 6, 7};
    std::vector<uint8_t> first = BuildCommandPacket(PACKET_CLASS_COMMAND, NOTICE_EMAIL_ALERT, a, 8);
    device.Protect(first);
    const uint8_t protectedFirst = first[20];
    EXPECT_EQ(protectedFirst, uint8_t(0x10 ^ 0x5A));

    std::vector<uint8_t> empty = BuildCommandPacket(PACKET_CLASS_COMMAND, 99, nullptr, 0);
    device.Protect(empty);
    EXPECT_EQ(device.XorKey(), protectedFirst);

    std::vector<uint8_t> second =
        BuildCommandPacket(PACKET_CLASS_COMMAND, NOTICE_EMAIL_ALERT, a, 8);
    device.Protect(second);

    ASSERT_EQ(ViewerUnprotect(key, empty), 0);
    EXPECT_EQ(PacketHead::Read(empty.data() + 4).XorKey(), 0);
    ASSERT_EQ(ViewerUnprotect(key, second), 0);
    EXPECT_EQ(PacketHead::Read(second.data() + 4).XorKey(), protectedFirst);
    EXPECT_EQ(std::memcmp(second.data() + 20, a, 8), 0);
}

TEST(DeviceWire, DamagedLengthAndUnknownClassAreRejectedByTheViewer) {
    Block16 key = TestKey();
    ChannelProtector device(key, 1);
    const uint8_t filler[32] = {};
    std::vector<uint8_t> damaged =
        BuildMediaPacket(PACKET_CLASS_VIDEO, MEDIA_CODE_VIDEO, 0, 0, 0, filler, sizeof filler);
    wire::Put32(damaged.data() + 4 + 8, sizeof filler + 1);
    device.Protect(damaged);
    EXPECT_EQ(ViewerUnprotect(key, damaged), -2);

    std::vector<uint8_t> unknown =
        BuildMediaPacket(5, MEDIA_CODE_VIDEO, 0, 0, 0, filler, sizeof filler);
    device.Protect(unknown);
    EXPECT_EQ(ViewerUnprotect(key, unknown), -1);

    // A packet under another key fails the length check.
    std::vector<uint8_t> good =
        BuildMediaPacket(PACKET_CLASS_VIDEO, MEDIA_CODE_VIDEO, 0, 0, 0, filler, sizeof filler);
    device.Protect(good);
    Block16 other = key;
    other[15] ^= 1;
    EXPECT_EQ(ViewerUnprotect(other, good), -2);
}

TEST(DeviceWire, ReadsCommandsTheViewerProtected) {
    Block16 key = TestKey();
    PacketProtection viewer;
    viewer.SetSessionKey(key.data());
    // CMD_START_STREAM for camera 2: 28 bytes, prefix 18 00 00 04.
    const uint8_t payload[8] = {2, 0, 0, 0, 0, 0, 0, 0};
    std::vector<uint8_t> packet = BuildPacket(CMD_START_STREAM, payload, 8, PACKET_CLASS_COMMAND);
    ASSERT_EQ(packet.size(), 28u);
    EXPECT_EQ(packet[0], 0x18);
    EXPECT_EQ(packet[3], 0x04);
    viewer.ProtectPacket(packet.data(), int(packet.size()));

    std::vector<uint8_t> body(packet.begin() + 4, packet.end());
    ASSERT_EQ(UnprotectCommandBody(PACKET_CLASS_COMMAND, body.data(), body.size(), key), 0);
    EXPECT_EQ(wire::Get16(body.data()), CMD_START_STREAM);
    EXPECT_EQ(wire::Get16(body.data() + 2), 8);
    EXPECT_EQ(std::memcmp(body.data() + 16, payload, 8), 0);

    // One byte short or long, a foreign class, a body shorter than a head.
    std::vector<uint8_t> again = BuildPacket(CMD_GET_EMAIL_ALERT, nullptr, 0, PACKET_CLASS_COMMAND);
    viewer.ProtectPacket(again.data(), int(again.size()));
    std::vector<uint8_t> longer(again.begin() + 4, again.end());
    longer.push_back(0);
    EXPECT_EQ(UnprotectCommandBody(PACKET_CLASS_COMMAND, longer.data(), longer.size(), key), -2);
    std::vector<uint8_t> exact(again.begin() + 4, again.end());
    EXPECT_EQ(UnprotectCommandBody(PACKET_CLASS_VIDEO, exact.data(), exact.size(), key), -1);
    EXPECT_EQ(UnprotectCommandBody(PACKET_CLASS_COMMAND, exact.data(), 15, key), -2);
    EXPECT_EQ(UnprotectCommandBody(PACKET_CLASS_COMMAND, exact.data(), exact.size(), key), 0);
    EXPECT_EQ(wire::Get16(exact.data()), CMD_GET_EMAIL_ALERT);
}

TEST(DeviceWire, LoginPacketsStayPlain) {
    const uint8_t challenge[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    std::vector<uint8_t> packet =
        BuildCommandPacket(PACKET_CLASS_LOGIN, LOGIN_CHALLENGE, challenge, 16);
    std::vector<uint8_t> copy = packet;
    ChannelProtector device(TestKey(), 7);
    device.Protect(copy);
    EXPECT_EQ(copy, packet);
    const uint8_t expect[8] = {0x20, 0, 0, 1, 1, 0, 16, 0};
    EXPECT_EQ(std::memcmp(packet.data(), expect, 8), 0);
    EXPECT_EQ(std::memcmp(packet.data() + 20, challenge, 16), 0);
}

TEST(DeviceWire, ParsesTheFieldsOfEachCommand) {
    Block16 key = TestKey();
    PacketProtection viewer;
    viewer.SetSessionKey(key.data());
    auto parse = [&](uint16_t code, std::vector<uint8_t> payload, Command& out) {
        std::vector<uint8_t> packet =
            BuildPacket(code, payload.data(), payload.size(), PACKET_CLASS_COMMAND);
        viewer.ProtectPacket(packet.data(), int(packet.size()));
        return ParseCommandBody(PACKET_CLASS_COMMAND, packet.data() + 4, packet.size() - 4, key,
                                out);
    };
    Command c;
    ASSERT_EQ(parse(CMD_START_STREAM, {3, 0, 0, 0, 0, 0, 0, 0}, c), 0);
    EXPECT_EQ(c.code, CMD_START_STREAM);
    EXPECT_TRUE(c.hasCamera);
    EXPECT_EQ(c.camera, 3);
    ASSERT_EQ(parse(CMD_STOP_STREAM, {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}, c), 0);
    EXPECT_EQ(c.camera, -1);
    ASSERT_EQ(parse(CMD_SET_EMAIL_ALERT, {1, 0, 0, 0}, c), 0);
    EXPECT_TRUE(c.hasState);
    EXPECT_EQ(c.state, 1);
    ASSERT_EQ(parse(CMD_GET_EMAIL_ALERT, {}, c), 0);
    EXPECT_EQ(c.code, CMD_GET_EMAIL_ALERT);
    EXPECT_FALSE(c.hasCamera);
    EXPECT_FALSE(c.hasState);
    // A stream command cut short carries no camera.
    ASSERT_EQ(parse(CMD_START_STREAM, {2, 0}, c), 0);
    EXPECT_FALSE(c.hasCamera);
}
