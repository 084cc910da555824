#include "device/session.h"

#include <algorithm>
#include <cstring>

#include "device/daemon.h"
#include "device/log.h"
#include "p2p/PPPP_API.h"
#include "platform/frame_trace.h"
#include "platform/tick_clock.h"

namespace zevo::camd {

namespace {

constexpr int32_t kReadTimeoutMs = 300;
// How long a refused viewer may stay before the device hangs up on it.
constexpr uint32_t kRefusedLingerMs = 5000;
constexpr uint8_t kUnknownClass = 5;

uint8_t RandomByte() {
    uint8_t b = 0;
    FillRandom(&b, 1);
    return b;
}

}  // namespace

DeviceSession::DeviceSession(Device& device, int32_t handle, int id)
    : mDevice(device), mHandle(handle), mId(id), mAcceptedAt(TickCount()) {}

DeviceSession::~DeviceSession() {
    RequestStop();
    Join();
}

void DeviceSession::Start() {
    mThread = std::thread([this] { Run(); });
}

void DeviceSession::Join() {
    if (mThread.joinable()) mThread.join();
}

bool DeviceSession::DeadlinePassed() {
    uint32_t now = TickCount();
    const FaultOptions& faults = mDevice.Config().faults;
    if (faults.dropAfterSeconds > 0 &&
        now - mAcceptedAt >= uint32_t(faults.dropAfterSeconds) * 1000u) {
        LOG_INFO("session %d: dropping the session after %d s (fault drop-after)", mId,
                 faults.dropAfterSeconds);
        return true;
    }
    if (!mLoggedIn.load() && int32_t(now - mLoginDeadline) >= 0) {
        LOG_INFO("session %d: no login in time, closing", mId);
        return true;
    }
    return false;
}

int DeviceSession::ReadCommandBytes(uint8_t* buffer, int32_t length) {
    int32_t got = 0;
    while (got < length) {
        if (mStop.load()) return PPPP_ERR_CLOSED_HERE;
        int32_t size = length - got;
        int32_t rc =
            PPPP_Read(mHandle, 0, reinterpret_cast<char*>(buffer + got), &size, kReadTimeoutMs);
        if (size > 0 && size <= length - got) got += size;
        if (rc == PPPP_ERR_TIMEOUT) {
            if (DeadlinePassed()) return PPPP_ERR_CLOSED_HERE;
            continue;
        }
        if (rc < 0) return rc;
    }
    return 0;
}

int DeviceSession::ReadCommandPacket(uint8_t& packetClass, uint32_t& bodyLength) {
    uint8_t prefix[kPacketPrefixSize];
    int rc = ReadCommandBytes(prefix, int32_t(sizeof prefix));
    if (rc < 0) return rc;
    PacketPrefix p = PacketPrefix::Read(prefix);
    packetClass = p.packetClass;
    bodyLength = p.bodyLength;
    if (bodyLength > kMaxCommandBody) {
        LOG_WARN("session %d: command packet of %u bytes is too long, closing", mId, bodyLength);
        return -1;
    }
    if (bodyLength == 0) return 0;
    return ReadCommandBytes(mBody, int32_t(bodyLength));
}

int DeviceSession::WriteLogin(uint16_t code, const uint8_t* payload, uint16_t length) {
    std::vector<uint8_t> packet = BuildCommandPacket(PACKET_CLASS_LOGIN, code, payload, length);
    return PPPP_Write(mHandle, 0, reinterpret_cast<const char*>(packet.data()),
                      int32_t(packet.size()));
}

int DeviceSession::WriteProtectedCommand(std::vector<uint8_t> packet) {
    mCommandProtector.Protect(packet);
    return PPPP_Write(mHandle, 0, reinterpret_cast<const char*>(packet.data()),
                      int32_t(packet.size()));
}

void DeviceSession::Run() {
    LOG_INFO("session %d: viewer connected (handle %d)", mId, mHandle);
    mLoginDeadline = mAcceptedAt + uint32_t(mDevice.Config().loginTimeoutSeconds) * 1000u;
    if (Login() > 0) CommandLoop();
    Finish();
}

int DeviceSession::Login() {
    const FaultOptions& faults = mDevice.Config().faults;
    Block16 challenge{};
    if (FillRandom(challenge.data(), challenge.size()) < 0) {
        LOG_ERROR("session %d: no random bytes for the challenge", mId);
        return -1;
    }
    int rc = WriteLogin(LOGIN_CHALLENGE, challenge.data(), 16);
    if (rc <= 0) return rc < 0 ? rc : -1;
    bool refused = false;
    while (!mStop.load()) {
        uint8_t packetClass = 0;
        uint32_t bodyLength = 0;
        rc = ReadCommandPacket(packetClass, bodyLength);
        if (rc < 0) return rc;
        // Only login packets count before the login; anything else is dropped unread.
        if (packetClass != PACKET_CLASS_LOGIN || bodyLength < kPacketHeadSize) continue;
        PacketHead head = PacketHead::Read(mBody);
        if (head.Code() != LOGIN_RESPONSE || refused) continue;
        size_t payloadLength = std::min<size_t>(head.CommandLength(), bodyLength - kPacketHeadSize);
        if (faults.silentLogin) {
            LOG_INFO("session %d: login response left unanswered (fault silent-login)", mId);
            continue;
        }
        bool good =
            !faults.refuseLogin && CheckLoginResponse(challenge, mBody + kPacketHeadSize,
                                                      payloadLength, mDevice.Config().password);
        if (!good) {
            LOG_INFO("session %d: login refused%s", mId,
                     faults.refuseLogin ? " (fault refuse-login)" : "");
            WriteLogin(LOGIN_REFUSED, nullptr, 0);
            refused = true;
            // Give the viewer time to read the refusal and hang up itself.
            mLoginDeadline = TickCount() + kRefusedLingerMs;
            continue;
        }
        if (faults.shortAccept) {
            // Half a key: the viewer can protect nothing with it, so the device does not
            // count the viewer as logged in either.
            Block16 half{};
            WriteLogin(LOGIN_ACCEPTED, half.data(), 8);
            LOG_INFO("session %d: accepted with 8 key bytes (fault short-accept)", mId);
            refused = true;
            mLoginDeadline = TickCount() + kRefusedLingerMs;
            continue;
        }
        if (FillRandom(mSessionKey.data(), mSessionKey.size()) < 0) return -1;
        mCommandProtector = ChannelProtector(mSessionKey, RandomByte());
        mMediaProtector = ChannelProtector(mSessionKey, RandomByte());
        Block16 wrapped = WrapSessionKey(mSessionKey, mDevice.Config().password);
        rc = WriteLogin(LOGIN_ACCEPTED, wrapped.data(), 16);
        if (rc <= 0) return rc < 0 ? rc : -1;
        mLoggedIn.store(true);
        LOG_INFO("session %d: login accepted", mId);
        return 1;
    }
    return 0;
}

void DeviceSession::SendCommandChannelFaults() {
    const FaultOptions& faults = mDevice.Config().faults;
    // An alert notice that says "on": a viewer that took any of these would show it.
    const uint8_t notice[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    if (faults.unknownClass) {
        std::vector<uint8_t> packet =
            BuildCommandPacket(kUnknownClass, NOTICE_EMAIL_ALERT, notice, sizeof notice);
        WriteProtectedCommand(std::move(packet));
        LOG_INFO("session %d: sent a class-5 packet on channel 0 (fault unknown-class)", mId);
    }
    if (faults.damagedLength) {
        std::vector<uint8_t> packet =
            BuildCommandPacket(PACKET_CLASS_COMMAND, NOTICE_EMAIL_ALERT, notice, sizeof notice);
        wire::Put16(packet.data() + kPacketPrefixSize + 2, sizeof notice + 1);
        WriteProtectedCommand(std::move(packet));
        LOG_INFO(
            "session %d: sent a packet with a damaged length on channel 0 "
            "(fault damaged-length)",
            mId);
    }
    if (faults.noticePastBody) {
        // A packet of no known code leaves "on" at payload byte 0 of the viewer's buffer;
        // then a class-2 notice whose head says 8 payload bytes while its 32-bit length
        // (the one class 2 is checked by) says none came.
        WriteProtectedCommand(BuildCommandPacket(PACKET_CLASS_COMMAND, 99, notice, sizeof notice));
        std::vector<uint8_t> packet =
            BuildCommandPacket(PACKET_CLASS_VIDEO, NOTICE_EMAIL_ALERT, nullptr, 0);
        wire::Put16(packet.data() + kPacketPrefixSize + 2, sizeof notice);
        WriteProtectedCommand(std::move(packet));
        LOG_INFO("session %d: sent a notice without its payload (fault notice-past-body)", mId);
    }
    if (faults.oversizeCommand) {
        // The prefix announces one byte more than the viewer's command buffer holds.
        std::vector<uint8_t> packet(kPacketPrefixSize + kMaxCommandBody + 1, 0);
        PacketPrefix{kMaxCommandBody + 1, uint8_t(PACKET_CLASS_COMMAND)}.Write(packet.data());
        wire::Put16(packet.data() + kPacketPrefixSize, NOTICE_EMAIL_ALERT);
        wire::Put16(packet.data() + kPacketPrefixSize + 2,
                    uint16_t(kMaxCommandBody + 1 - kPacketHeadSize));
        WriteProtectedCommand(std::move(packet));
        LOG_INFO("session %d: sent a %u-byte command body (fault oversize-command)", mId,
                 kMaxCommandBody + 1);
    }
}

void DeviceSession::CommandLoop() {
    mSender = std::thread([this] { SenderLoop(); });
    SendCommandChannelFaults();
    while (!mStop.load()) {
        uint8_t packetClass = 0;
        uint32_t bodyLength = 0;
        if (ReadCommandPacket(packetClass, bodyLength) < 0) break;
        if (packetClass != PACKET_CLASS_COMMAND) {
            LOG_DEBUG("session %d: dropped a class-%u packet on channel 0", mId, packetClass);
            continue;
        }
        Command command;
        if (ParseCommandBody(packetClass, mBody, bodyLength, mSessionKey, command) != 0) {
            LOG_DEBUG("session %d: dropped a command that failed unprotection", mId);
            continue;
        }
        HandleCommand(command);
    }
}

void DeviceSession::HandleCommand(const Command& command) {
    const uint16_t code = command.code;
    const int32_t camera = command.camera;
    if (code == CMD_START_STREAM || code == CMD_STOP_STREAM || code == CMD_STOP_SESSION) {
        LOG_INFO("session %d: command %u %s camera %d", mId, code, CommandName(code), camera);
    } else {
        LOG_INFO("session %d: command %u %s", mId, code, CommandName(code));
    }
    switch (code) {
        case CMD_START_STREAM:
            if (!command.hasCamera || camera < 0 || camera >= mDevice.CameraCount()) {
                LOG_WARN("session %d: no camera %d (the device has %d)", mId, camera,
                         mDevice.CameraCount());
                return;
            }
            StartStream(camera);
            return;
        case CMD_STOP_STREAM:
            // A stop names the camera being watched; one for another camera changes nothing.
            if (!command.hasCamera || camera == mActiveCamera.load()) StopStream();
            return;
        case CMD_STOP_SESSION:
            mStop.store(true);
            return;
        case CMD_SET_EMAIL_ALERT: {
            if (!command.hasState) return;
            uint8_t state = command.state;
            if (mDevice.State().SetEmailAlert(state) < 0) {
                LOG_WARN("session %d: could not write the state file", mId);
            }
            LOG_INFO("session %d: e-mail alert set to %u", mId, state);
            return;
        }
        case CMD_GET_EMAIL_ALERT: {
            uint8_t answer[8] = {};
            answer[0] = mDevice.State().EmailAlert();
            uint16_t answerLength = mDevice.Config().faults.shortNotice ? 4 : 8;
            WriteProtectedCommand(
                BuildCommandPacket(PACKET_CLASS_COMMAND, NOTICE_EMAIL_ALERT, answer, answerLength));
            if (answerLength < 8) {
                LOG_INFO("session %d: answered with a %u-byte notice (fault short-notice)", mId,
                         answerLength);
            }
            return;
        }
        default:
            return;
    }
}

void DeviceSession::StartStream(int camera) {
    if (mActiveCamera.load() == camera) return;
    StopStream();
    Camera* source = mDevice.CameraAt(camera);
    {
        std::lock_guard<std::mutex> hold(mQueueLock);
        mWaitKey = true;
        mOversizePending = mDevice.Config().faults.oversizeMedia;
    }
    mActiveCamera.store(camera);
    mCamera = source;
    if (source->Subscribe(this) < 0) {
        LOG_WARN("session %d: camera %d does not run yet; retrying", mId, camera);
    }
}

void DeviceSession::StopStream() {
    if (mCamera == nullptr) return;
    mCamera->Unsubscribe(this);
    mCamera = nullptr;
    mActiveCamera.store(-1);
    std::lock_guard<std::mutex> hold(mQueueLock);
    mQueue.clear();
    mQueuedBytes = 0;
}

void DeviceSession::OnMedia(const MediaFramePtr& frame) {
    if (frame->camera != mActiveCamera.load()) return;
    std::lock_guard<std::mutex> hold(mQueueLock);
    if (frame->video) {
        if (frame->data.empty()) {
            mWaitKey = true;  // the camera skipped a frame
            return;
        }
        if (mWaitKey && !frame->key) return;
        if (mQueuedBytes + frame->data.size() > kMaxQueuedBytes ||
            mQueue.size() >= kMaxQueuedFrames) {
            // The viewer is too far behind: drop its queued video and resume at a key frame.
            size_t before = mQueue.size();
            std::deque<MediaFramePtr> kept;
            mQueuedBytes = 0;
            for (auto& f : mQueue) {
                if (!f->video) {
                    mQueuedBytes += f->data.size();
                    kept.push_back(f);
                }
            }
            mQueue.swap(kept);
            LOG_WARN("session %d: viewer behind, dropped %zu queued frames", mId,
                     before - mQueue.size());
            mWaitKey = true;
            if (!frame->key) return;
        }
        mWaitKey = false;
    } else {
        while ((mQueuedBytes + frame->data.size() > kMaxQueuedBytes ||
                mQueue.size() >= kMaxQueuedFrames) &&
               !mQueue.empty()) {
            auto oldest = std::find_if(mQueue.begin(), mQueue.end(),
                                       [](const MediaFramePtr& f) { return !f->video; });
            if (oldest == mQueue.end()) return;  // only video queued: skip this block
            mQueuedBytes -= (*oldest)->data.size();
            mQueue.erase(oldest);
        }
    }
    mQueue.push_back(frame);
    mQueuedBytes += frame->data.size();
    mQueueReady.notify_one();
}

uint32_t DeviceSession::Stamp(uint32_t captureTick) {
    uint32_t stamp = mDevice.Config().stamps == StampMode::Monotonic
                         ? captureTick
                         : captureTick - mDevice.StartTick();
    const FaultOptions& faults = mDevice.Config().faults;
    if (faults.timestampJumpBackMs > 0 && mVideoSent >= uint64_t(FaultOptions::kJumpAfterFrames)) {
        stamp -= uint32_t(faults.timestampJumpBackMs);
    }
    return stamp;
}

int DeviceSession::WriteMedia(std::vector<uint8_t> packet) {
    mMediaProtector.Protect(packet);
    return PPPP_Write(mHandle, 1, reinterpret_cast<const char*>(packet.data()),
                      int32_t(packet.size()));
}

void DeviceSession::SendMediaFaults(uint8_t camera, uint32_t stamp) {
    const FaultOptions& faults = mDevice.Config().faults;
    if (mVideoSent % FaultOptions::kFaultPeriod != 0) return;
    const uint8_t filler[32] = {};
    if (faults.unknownClass) {
        WriteMedia(BuildMediaPacket(kUnknownClass, MEDIA_CODE_VIDEO, camera, 0, stamp, filler,
                                    sizeof filler));
        LOG_DEBUG("session %d: sent a class-5 packet on channel 1", mId);
    }
    if (faults.damagedLength) {
        std::vector<uint8_t> packet = BuildMediaPacket(PACKET_CLASS_VIDEO, MEDIA_CODE_VIDEO, camera,
                                                       0, stamp, filler, sizeof filler);
        wire::Put32(packet.data() + kPacketPrefixSize + 8, sizeof filler + 1);
        WriteMedia(std::move(packet));
        LOG_DEBUG("session %d: sent a video packet with a damaged length", mId);
    }
}

void DeviceSession::SenderLoop() {
    const DeviceConfig& config = mDevice.Config();
    std::vector<uint8_t> adpcm(kAudioBlockSamples / 2);
    while (true) {
        MediaFramePtr frame;
        bool oversize = false;
        {
            std::unique_lock<std::mutex> hold(mQueueLock);
            mQueueReady.wait_for(hold, std::chrono::milliseconds(200),
                                 [this] { return mStop.load() || !mQueue.empty(); });
            if (mStop.load()) break;
            if (mQueue.empty()) continue;
            frame = mQueue.front();
            mQueue.pop_front();
            mQueuedBytes -= frame->data.size();
            oversize = mOversizePending && frame->video;
            if (oversize) mOversizePending = false;
        }
        uint32_t stamp = Stamp(frame->captureTick);
        int rc;
        if (frame->video) {
            if (oversize) {
                // A body one byte longer than the viewer's media buffer.
                std::vector<uint8_t> big(kMaxMediaBody + 1 - kPacketHeadSize, 0);
                WriteMedia(BuildMediaPacket(PACKET_CLASS_VIDEO, MEDIA_CODE_VIDEO, frame->camera, 1,
                                            stamp, big.data(), big.size()));
                LOG_INFO("session %d: sent a %u-byte media body (fault oversize-media)", mId,
                         kMaxMediaBody + 1);
            }
            SendMediaFaults(frame->camera, stamp);
            if (FrameTraceOn()) {
                // Keyed by the stamp the packet carries: the viewer's trace knows only that.
                TraceFrameAt("capture", stamp, frame->takenUs);
                TraceFrame("sent", stamp);
            }
            rc = WriteMedia(BuildMediaPacket(PACKET_CLASS_VIDEO, MEDIA_CODE_VIDEO, frame->camera,
                                             frame->key ? 0 : 1, stamp, frame->data.data(),
                                             frame->data.size()));
            ++mVideoSent;
        } else {
            const CameraConfig& camera = config.cameras[frame->camera];
            if (camera.audioCodec == AudioCodec::Adpcm) {
                const auto* samples = reinterpret_cast<const short*>(frame->data.data());
                int bytes =
                    EncodeImaAdpcm(samples, int(frame->data.size() / 2), adpcm.data(), mAdpcm);
                rc =
                    WriteMedia(BuildMediaPacket(PACKET_CLASS_AUDIO, MEDIA_CODE_ADPCM, frame->camera,
                                                0, stamp, adpcm.data(), size_t(bytes)));
            } else {
                rc = WriteMedia(BuildMediaPacket(PACKET_CLASS_AUDIO, MEDIA_CODE_PCM, frame->camera,
                                                 0, stamp, frame->data.data(), frame->data.size()));
            }
        }
        if (rc < 0) {
            LOG_INFO("session %d: media write failed (%d), ending", mId, rc);
            mStop.store(true);
            break;
        }
    }
}

void DeviceSession::Finish() {
    mStop.store(true);
    StopStream();
    mQueueReady.notify_all();
    PPPP_Close(mHandle);
    if (mSender.joinable()) mSender.join();
    LOG_INFO("session %d: closed", mId);
    mFinished.store(true);
}

}  // namespace zevo::camd
