// The command and media readers byte by byte. The real device cannot be made to send an
// exactly 1024-byte command body, a body in pieces separated by transport time-outs or a
// session end in the middle of a body, so these cases run on a scripted transport that
// answers each read from a list. The same paths against the real transport and device
// are covered by the end-to-end tests of zevo-host.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "session/aes.h"
#include "session/session_core.h"

namespace zevo {
namespace {

using Bytes = std::vector<unsigned char>;

// Each read takes the next step of its channel: up to the asked size of its bytes, and
// its result. A channel whose script has run out reports the session closed here.
class ScriptedTransport final : public Transport {
public:
    struct Step {
        int32_t result;
        Bytes bytes;
    };
    void Add(unsigned char channel, int32_t result, Bytes bytes) {
        mScript[channel].push_back({result, std::move(bytes)});
    }
    int32_t Initialize(const char*) override { return 0; }
    int32_t DeInitialize() override { return 0; }
    int32_t Connect(const char*, char, uint32_t) override { return 0; }
    int32_t Check(int32_t, SessionInfo*) override { return 0; }
    int32_t Read(int32_t, unsigned char channel, char* buffer, int32_t* size, int32_t) override {
        mAsked[channel].push_back(*size);
        if (mScript[channel].empty()) {
            *size = 0;
            return PPPP_ERR_CLOSED_HERE;
        }
        Step step = std::move(mScript[channel].front());
        mScript[channel].pop_front();
        const size_t n = std::min(step.bytes.size(), static_cast<size_t>(*size));
        if (n > 0) std::memcpy(buffer, step.bytes.data(), n);
        *size = static_cast<int32_t>(step.bytes.size());  // may claim more than asked
        if (mAfterRead) mAfterRead();
        return step.result;
    }
    int32_t Write(int32_t, unsigned char channel, const char* buffer, int32_t size) override {
        std::lock_guard lock(mLock);
        mWrites.push_back({channel, Bytes(buffer, buffer + size)});
        return size;
    }
    int32_t Close(int32_t) override { return 0; }

    std::deque<Step> mScript[2];
    std::vector<int32_t> mAsked[2];
    std::mutex mLock;
    std::vector<std::pair<unsigned char, Bytes>> mWrites;
    std::function<void()> mAfterRead;
};

class RecordingEvents final : public SessionEvents {
public:
    void PostSessionEvent(uint32_t wParam, int32_t lParam, uint32_t serial) override {
        mEvents.push_back({wParam, lParam, serial});
    }
    struct Event {
        uint32_t wParam;
        int32_t lParam;
        uint32_t serial;
    };
    std::vector<Event> mEvents;
};

const unsigned char kSessionKey[16] = {0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87,
                                       0x98, 0xA9, 0xBA, 0xCB, 0xDC, 0xED, 0xFE, 0x0F};

Bytes Prefix(uint32_t bodyLength, uint8_t packetClass) {
    Bytes prefix(4);
    PacketPrefix{bodyLength, packetClass}.Write(prefix.data());
    return prefix;
}

// A body as the device sends it: head encrypted under key, payload XORed with keyByte.
Bytes ProtectedBody(PacketHead head, const Bytes& payload, uint8_t keyByte,
                    const unsigned char* key = kSessionKey) {
    head.SetXorKey(keyByte);
    Bytes body(16 + payload.size());
    head.Write(body.data());
    for (size_t i = 0; i < payload.size(); ++i) body[16 + i] = payload[i] ^ keyByte;
    unsigned char cipher[16];
    AesEncryptBlock(128, body.data(), 16, key, 16, cipher);
    std::memcpy(body.data(), cipher, 16);
    return body;
}

Bytes NoticeBody(uint16_t code, const Bytes& payload) {
    PacketHead head;
    head.SetCode(code);
    head.SetCommandLength(static_cast<uint16_t>(payload.size()));
    return ProtectedBody(head, payload, 0x6B);
}

Bytes MediaBody(uint16_t mediaCode, const Bytes& payload) {
    PacketHead head;
    head.SetMediaCode(mediaCode);
    head.SetPayloadLength(static_cast<uint32_t>(payload.size()));
    head.SetTimestamp(1234);
    return ProtectedBody(head, payload, 0xA5);
}

Bytes LoginBody(uint16_t code, const unsigned char* payload, uint16_t length) {
    Bytes body(16 + length);
    PacketHead head;
    head.SetCode(code);
    head.SetCommandLength(length);
    head.Write(body.data());
    if (length) std::memcpy(body.data() + 16, payload, length);
    return body;
}

class ReaderTest : public ::testing::Test {
protected:
    ReaderTest() {
        mCore = std::make_shared<SessionCore>();
        mCore->SetTransport(&mTransport);
        mCore->SetEvents(&mEvents);
        mCore->mSession = 7;
        mCore->mRunning = 1;
        std::strcpy(mCore->mPasswordText, "123456");
    }
    ~ReaderTest() override { mCore->SetEvents(nullptr); }
    void LogIn() {
        mCore->mProtection.SetSessionKey(kSessionKey);
        mCore->mLoggedIn = 1;
    }
    void Command(uint8_t packetClass, const Bytes& body) {
        mTransport.Add(0, 0, Prefix(static_cast<uint32_t>(body.size()), packetClass));
        mTransport.Add(0, 0, body);
    }
    bool ReadCommand() { return mCore->ReadCommandPacket(mCommandBuffer.data(), 5); }
    bool ReadMedia() { return mCore->ReadMediaPacket(mMediaBuffer.data(), mRate, 5); }

    ScriptedTransport mTransport;
    RecordingEvents mEvents;
    std::shared_ptr<SessionCore> mCore;
    Bytes mCommandBuffer = Bytes(kCommandBufferSize, 0);
    Bytes mMediaBuffer = Bytes(kMediaBufferSize, 0);
    SessionCore::RateWindow mRate{0, SystemTickSource().Now()};
};

TEST_F(ReaderTest, LoginExchange) {
    unsigned char challenge[16];
    for (int i = 0; i < 16; ++i) challenge[i] = static_cast<unsigned char>(i * 7 + 1);
    Command(PACKET_CLASS_LOGIN, LoginBody(LOGIN_CHALLENGE, challenge, 16));
    ASSERT_TRUE(ReadCommand());

    // The response: plain, 36 bytes, the challenge encrypted under the password.
    ASSERT_EQ(mTransport.mWrites.size(), 1u);
    const Bytes& response = mTransport.mWrites[0].second;
    EXPECT_EQ(mTransport.mWrites[0].first, 0);
    ASSERT_EQ(response.size(), 36u);
    const Bytes expectedHead = {0x20, 0, 0, 1, 2, 0, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Bytes(response.begin(), response.begin() + 20), expectedHead);
    unsigned char expected[16];
    AesEncryptBlock(128, challenge, 16, reinterpret_cast<const unsigned char*>("123456"), 6,
                    expected);
    EXPECT_EQ(0, std::memcmp(response.data() + 20, expected, 16));
    EXPECT_EQ(mCore->mLoginAnswered.load(), 0);

    // The acceptance carries the session key encrypted under the password.
    unsigned char sealed[16];
    AesEncryptBlock(128, kSessionKey, 16, reinterpret_cast<const unsigned char*>("123456"), 6,
                    sealed);
    Command(PACKET_CLASS_LOGIN, LoginBody(LOGIN_ACCEPTED, sealed, 16));
    ASSERT_TRUE(ReadCommand());
    EXPECT_EQ(mCore->mLoggedIn.load(), 1);
    EXPECT_EQ(mCore->mLoginAnswered.load(), 1);
    unsigned char key[16];
    mCore->mProtection.CopySessionKey(key);
    EXPECT_EQ(0, std::memcmp(key, kSessionKey, 16));
    EXPECT_TRUE(mEvents.mEvents.empty());
}

TEST_F(ReaderTest, RefusalAndPayloadlessLoginPackets) {
    Command(PACKET_CLASS_LOGIN, LoginBody(LOGIN_CHALLENGE, nullptr, 0));
    ASSERT_TRUE(ReadCommand());
    EXPECT_TRUE(mTransport.mWrites.empty());  // the cipher refuses a missing input

    Command(PACKET_CLASS_LOGIN, LoginBody(LOGIN_REFUSED, nullptr, 0));
    ASSERT_TRUE(ReadCommand());
    EXPECT_EQ(mCore->mLoginAnswered.load(), 1);
    EXPECT_EQ(mCore->mLoggedIn.load(), 0);

    // An acceptance without a whole key is answered but not logged in.
    mCore->mLoginAnswered = 0;
    Command(PACKET_CLASS_LOGIN, LoginBody(LOGIN_ACCEPTED, nullptr, 0));
    ASSERT_TRUE(ReadCommand());
    EXPECT_EQ(mCore->mLoginAnswered.load(), 1);
    EXPECT_EQ(mCore->mLoggedIn.load(), 0);
}

TEST_F(ReaderTest, LongPasswordsUseTheirFirst16Bytes) {
    std::strcpy(mCore->mPasswordText, "0123456789abcdefEXTRA-IGNORED");
    unsigned char challenge[16] = {1, 2, 3};
    Command(PACKET_CLASS_LOGIN, LoginBody(LOGIN_CHALLENGE, challenge, 16));
    ASSERT_TRUE(ReadCommand());
    unsigned char expected[16];
    AesEncryptBlock(128, challenge, 16, reinterpret_cast<const unsigned char*>("0123456789abcdef"),
                    16, expected);
    ASSERT_EQ(mTransport.mWrites.size(), 1u);
    EXPECT_EQ(0, std::memcmp(mTransport.mWrites[0].second.data() + 20, expected, 16));
}

TEST_F(ReaderTest, EmailAlertNotices) {
    LogIn();
    mCore->mEmailAlert = -3;
    Command(PACKET_CLASS_COMMAND, NoticeBody(NOTICE_EMAIL_ALERT, {1, 0, 0, 0}));
    ASSERT_TRUE(ReadCommand());
    EXPECT_EQ(mCore->mEmailAlert.load(), -3);  // 4 bytes: too short
    Command(PACKET_CLASS_COMMAND, NoticeBody(NOTICE_EMAIL_ALERT, {1, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(ReadCommand());
    EXPECT_EQ(mCore->mEmailAlert.load(), 1);
    Command(PACKET_CLASS_COMMAND, NoticeBody(NOTICE_EMAIL_ALERT, {200, 9, 9, 9, 9, 9, 9, 9}));
    ASSERT_TRUE(ReadCommand());
    EXPECT_EQ(mCore->mEmailAlert.load(), 200);  // an unsigned byte
    Command(PACKET_CLASS_COMMAND, NoticeBody(99, {0, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(ReadCommand());
    EXPECT_EQ(mCore->mEmailAlert.load(), 200);

    // A packet under another key fails its length check and is dropped.
    PacketHead head;
    head.SetCode(NOTICE_EMAIL_ALERT);
    head.SetCommandLength(8);
    const unsigned char otherKey[16] = {1};
    Command(PACKET_CLASS_COMMAND, ProtectedBody(head, {5, 0, 0, 0, 0, 0, 0, 0}, 3, otherKey));
    ASSERT_TRUE(ReadCommand());
    EXPECT_EQ(mCore->mEmailAlert.load(), 200);

    // A class-2 packet on the command channel goes by the 32-bit length rule, then to
    // the notice handler like any other.
    PacketHead media;
    media.SetCode(NOTICE_EMAIL_ALERT);
    media.SetCommandLength(8);
    media.SetPayloadLength(8);
    Command(PACKET_CLASS_VIDEO, ProtectedBody(media, {7, 0, 0, 0, 0, 0, 0, 0}, 0x11));
    ASSERT_TRUE(ReadCommand());
    EXPECT_EQ(mCore->mEmailAlert.load(), 7);
    EXPECT_TRUE(mEvents.mEvents.empty());
}

TEST_F(ReaderTest, CommandBodyLimit) {
    LogIn();
    // Exactly 1024 bytes is read and handled.
    Bytes payload(1024 - 16, 0);
    payload[0] = 1;
    Command(PACKET_CLASS_COMMAND, NoticeBody(NOTICE_EMAIL_ALERT, payload));
    ASSERT_TRUE(ReadCommand());
    EXPECT_EQ(mCore->mEmailAlert.load(), 1);
    // 1025 ends the reader before it reads the body.
    mTransport.Add(0, 0, Prefix(1025, PACKET_CLASS_COMMAND));
    mTransport.Add(0, 0, Bytes(1025, 0));
    EXPECT_FALSE(ReadCommand());
    ASSERT_EQ(mEvents.mEvents.size(), 1u);
    EXPECT_EQ(mEvents.mEvents[0].wParam, SESSION_EVENT_OVERSIZE);
    EXPECT_EQ(mEvents.mEvents[0].lParam, 0);
    EXPECT_EQ(mEvents.mEvents[0].serial, 5u);
    EXPECT_EQ(mTransport.mScript[0].size(), 1u);  // the body was not asked for
}

TEST_F(ReaderTest, CommandReaderEndsOnSessionEndCodes) {
    for (int32_t code : {-12, -13, -14}) {
        mEvents.mEvents.clear();
        mTransport.Add(0, code, {});
        EXPECT_FALSE(ReadCommand());
        ASSERT_EQ(mEvents.mEvents.size(), 1u);
        EXPECT_EQ(mEvents.mEvents[0].wParam, SESSION_EVENT_READ_ERROR);
        EXPECT_EQ(mEvents.mEvents[0].lParam, code);
    }
    // During the body too.
    mEvents.mEvents.clear();
    mTransport.Add(0, 0, Prefix(40, PACKET_CLASS_COMMAND));
    mTransport.Add(0, -13, {});
    EXPECT_FALSE(ReadCommand());
    ASSERT_EQ(mEvents.mEvents.size(), 1u);
    EXPECT_EQ(mEvents.mEvents[0].lParam, -13);
    // Other results are not examined; an empty read goes round again.
    mTransport.Add(0, -5, {});
    EXPECT_TRUE(ReadCommand());
    EXPECT_EQ(mEvents.mEvents.size(), 1u);
}

TEST_F(ReaderTest, CommandReaderThreadEndsAndClearsItsId) {
    mTransport.Add(0, 0, Prefix(16, PACKET_CLASS_LOGIN));
    mTransport.Add(0, 0, LoginBody(LOGIN_REFUSED, nullptr, 0));
    // Then the script runs out: the transport reports the session closed here.
    ASSERT_TRUE(mCore->StartWorker(SessionCore::Worker::CommandReader));
    ASSERT_TRUE(mCore->WaitWorkersEnded({SessionCore::Worker::CommandReader}, 10000));
    EXPECT_EQ(mCore->mLoginAnswered.load(), 1);
    ASSERT_EQ(mEvents.mEvents.size(), 1u);
    EXPECT_EQ(mEvents.mEvents[0].lParam, PPPP_ERR_CLOSED_HERE);
    EXPECT_EQ(mEvents.mEvents[0].serial, mCore->SessionSerial());
}

TEST_F(ReaderTest, SendCommandFormatsAndGuards) {
    const unsigned char payload[8] = {2, 0, 0, 0, 0, 0, 0, 0};
    // Protected classes wait for the login.
    EXPECT_EQ(mCore->SendCommand(7, CMD_START_STREAM, payload, 8, PACKET_CLASS_COMMAND), -1);
    EXPECT_TRUE(mTransport.mWrites.empty());
    LogIn();
    EXPECT_EQ(mCore->SendCommand(7, CMD_START_STREAM, payload, 8, PACKET_CLASS_COMMAND), 28);
    ASSERT_EQ(mTransport.mWrites.size(), 1u);
    Bytes packet = mTransport.mWrites[0].second;
    ASSERT_EQ(packet.size(), 28u);
    EXPECT_EQ(Bytes(packet.begin(), packet.begin() + 4), (Bytes{0x18, 0, 0, 4}));
    ASSERT_EQ(mCore->mProtection.UnprotectPacket(4, packet.data() + 4, 24), 0);
    const PacketHead head = PacketHead::Read(packet.data() + 4);
    EXPECT_EQ(head.Code(), CMD_START_STREAM);
    EXPECT_EQ(head.CommandLength(), 8);
    EXPECT_EQ(Bytes(packet.begin() + 20, packet.end()), Bytes(payload, payload + 8));

    // No payload: key byte 0 and the rolling key unchanged.
    const uint8_t rolling = mCore->mProtection.XorKey();
    EXPECT_EQ(mCore->SendCommand(7, CMD_GET_EMAIL_ALERT, nullptr, 0, PACKET_CLASS_COMMAND), 20);
    EXPECT_EQ(mCore->mProtection.XorKey(), rolling);
    // Lengths the head cannot carry are refused.
    EXPECT_EQ(mCore->SendCommand(7, 1, payload, -1, PACKET_CLASS_COMMAND), -1);
    EXPECT_EQ(mCore->SendCommand(7, 1, nullptr, 70000, PACKET_CLASS_COMMAND), -1);
    EXPECT_EQ(mTransport.mWrites.size(), 2u);
}

TEST_F(ReaderTest, MediaPacketsAreUnprotectedAndQueuedByClass) {
    LogIn();
    const Bytes video = {1, 2, 3, 4, 5};
    const Bytes body = MediaBody(MEDIA_CODE_VIDEO, video);
    mTransport.Add(1, 0, Prefix(static_cast<uint32_t>(body.size()), PACKET_CLASS_VIDEO));
    mTransport.Add(1, 0, body);
    const Bytes audio = MediaBody(MEDIA_CODE_PCM, {9, 9});
    mTransport.Add(1, 0, Prefix(static_cast<uint32_t>(audio.size()), PACKET_CLASS_AUDIO));
    mTransport.Add(1, 0, audio);
    // Class 4 on the media channel is counted, never queued.
    const Bytes command = NoticeBody(NOTICE_EMAIL_ALERT, Bytes(8, 0));
    mTransport.Add(1, 0, Prefix(static_cast<uint32_t>(command.size()), PACKET_CLASS_COMMAND));
    mTransport.Add(1, 0, command);
    // A prefix announcing no body: nothing more is read for it.
    mTransport.Add(1, 0, Prefix(0, PACKET_CLASS_VIDEO));
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(ReadMedia());
    EXPECT_EQ(mTransport.mAsked[1], (std::vector<int32_t>{4, 21, 4, 18, 4, 24, 4}));
    EXPECT_EQ(mRate.bytes, 16u + 21 + 18 + 24);

    ASSERT_EQ(FrameCount(mCore->mVideoQueue), 1);
    ASSERT_EQ(FrameCount(mCore->mAudioQueue), 1);
    FrameNode* node = PopFrame(mCore->mVideoQueue);
    ASSERT_EQ(node->length, 21u);
    const PacketHead head = PacketHead::Read(node->data);
    EXPECT_EQ(head.MediaCode(), MEDIA_CODE_VIDEO);
    EXPECT_EQ(head.Timestamp(), 1234u);
    EXPECT_EQ(Bytes(node->data + 16, node->data + 21), video);
    FreeFrameNode(node);
    EXPECT_TRUE(mEvents.mEvents.empty());
}

TEST_F(ReaderTest, BodyInPiecesAcrossTimeoutsIsAssembled) {
    LogIn();
    Bytes payload(3000);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<unsigned char>(i);
    const Bytes body = MediaBody(MEDIA_CODE_VIDEO, payload);
    mTransport.Add(1, PPPP_ERR_TIMEOUT, {});  // nothing yet
    mTransport.Add(1, 0, Prefix(static_cast<uint32_t>(body.size()), PACKET_CLASS_VIDEO));
    mTransport.Add(1, PPPP_ERR_TIMEOUT, Bytes(body.begin(), body.begin() + 1000));
    mTransport.Add(1, PPPP_ERR_TIMEOUT, {});
    mTransport.Add(1, 0, Bytes(body.begin() + 1000, body.end()));
    ASSERT_TRUE(ReadMedia());
    EXPECT_EQ(mTransport.mAsked[1], (std::vector<int32_t>{4, 4, 3016, 2016, 2016}));
    FrameNode* node = PopFrame(mCore->mVideoQueue);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(Bytes(node->data + 16, node->data + node->length), payload);
    FreeFrameNode(node);
}

TEST_F(ReaderTest, MediaBodyLimitAndSessionEnd) {
    LogIn();
    // 131072 bytes is read and processed normally.
    const Bytes big = MediaBody(MEDIA_CODE_VIDEO, Bytes(kMediaBufferSize - 16, 0x42));
    mTransport.Add(1, 0, Prefix(kMediaBufferSize, PACKET_CLASS_VIDEO));
    mTransport.Add(1, 0, big);
    ASSERT_TRUE(ReadMedia());
    EXPECT_EQ(FrameCount(mCore->mVideoQueue), 1);
    // 131073 ends the reader without reading the body.
    mTransport.Add(1, 0, Prefix(kMediaBufferSize + 1, PACKET_CLASS_VIDEO));
    EXPECT_FALSE(ReadMedia());
    ASSERT_EQ(mEvents.mEvents.size(), 1u);
    EXPECT_EQ(mEvents.mEvents[0].wParam, SESSION_EVENT_OVERSIZE);
    EXPECT_EQ(mTransport.mAsked[1].size(), 3u);
    // -12 during a body: reported, nothing queued.
    mEvents.mEvents.clear();
    mTransport.Add(1, 0, Prefix(100, PACKET_CLASS_VIDEO));
    mTransport.Add(1, PPPP_ERR_CLOSED_BY_PEER, Bytes(10, 0));
    EXPECT_FALSE(ReadMedia());
    ASSERT_EQ(mEvents.mEvents.size(), 1u);
    EXPECT_EQ(mEvents.mEvents[0].wParam, SESSION_EVENT_READ_ERROR);
    EXPECT_EQ(mEvents.mEvents[0].lParam, -12);
    EXPECT_EQ(FrameCount(mCore->mVideoQueue), 1);
}

TEST_F(ReaderTest, ReadFullStopsWhenTheRunningFlagDrops) {
    int32_t wanted = 0;
    EXPECT_EQ(mCore->ReadFull(mCore->mRunning, 1, mMediaBuffer.data(), wanted, 500), -1);
    EXPECT_TRUE(mTransport.mAsked[1].empty());
    wanted = 100;
    mTransport.Add(1, PPPP_ERR_TIMEOUT, Bytes(10, 1));
    mTransport.Add(1, PPPP_ERR_TIMEOUT, Bytes(10, 2));
    mTransport.mAfterRead = [this] {
        if (mTransport.mAsked[1].size() == 2) mCore->mRunning = 0;
    };
    EXPECT_EQ(mCore->ReadFull(mCore->mRunning, 1, mMediaBuffer.data(), wanted, 500),
              PPPP_ERR_TIMEOUT);
    EXPECT_EQ(mTransport.mAsked[1], (std::vector<int32_t>{100, 90}));
    EXPECT_EQ(wanted, 100);
    // A transport that claims more than it was asked for cannot push the reader past
    // its buffer: only what was asked counts.
    mCore->mRunning = 1;
    mTransport.mAfterRead = nullptr;
    mTransport.Add(1, PPPP_ERR_TIMEOUT, Bytes(150, 3));
    EXPECT_EQ(mCore->ReadFull(mCore->mRunning, 1, mMediaBuffer.data(), wanted, 500),
              PPPP_ERR_TIMEOUT);
    EXPECT_EQ(mTransport.mAsked[1].back(), 100);
}

TEST_F(ReaderTest, MediaReaderThreadEndsOnTheClosedSession) {
    LogIn();
    const Bytes body = MediaBody(MEDIA_CODE_VIDEO, {1});
    mTransport.Add(1, 0, Prefix(static_cast<uint32_t>(body.size()), PACKET_CLASS_VIDEO));
    mTransport.Add(1, 0, body);
    ASSERT_TRUE(mCore->StartWorker(SessionCore::Worker::MediaReader));
    ASSERT_TRUE(mCore->WaitWorkersEnded({SessionCore::Worker::MediaReader}, 10000));
    EXPECT_EQ(FrameCount(mCore->mVideoQueue), 1);
    ASSERT_EQ(mEvents.mEvents.size(), 1u);
    EXPECT_EQ(mEvents.mEvents[0].lParam, PPPP_ERR_CLOSED_HERE);
}

}  // namespace
}  // namespace zevo
