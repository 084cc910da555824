#pragma once
// One viewer's session on the device: the login, the commands on channel 0, and the
// media of the camera the viewer watches on channel 1. Two threads: the command thread
// (login, commands, notices) and, after the login, the media sender, which drains a
// bounded queue that the cameras fill.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "device/camera.h"
#include "device/login.h"
#include "device/wire.h"
#include "media/adpcm.h"

namespace zevo::camd {

class Device;

class DeviceSession final : public MediaSink {
public:
    DeviceSession(Device& device, int32_t handle, int id);
    ~DeviceSession();
    DeviceSession(const DeviceSession&) = delete;
    DeviceSession& operator=(const DeviceSession&) = delete;

    void Start();
    // Asks the session to end; it closes its transport session within a read timeout.
    void RequestStop() { mStop.store(true); }
    bool Finished() const { return mFinished.load(); }
    void Join();
    int Id() const { return mId; }

    void OnMedia(const MediaFramePtr& frame) override;

    // Queue bounds: past them video is dropped up to the next key frame, audio oldest
    // first, so one slow viewer costs memory only up to here.
    static constexpr size_t kMaxQueuedBytes = 8u << 20;
    static constexpr size_t kMaxQueuedFrames = 300;

private:
    void Run();
    int Login();  // 1 accepted, 0 not (refused or timed out), negative transport end
    void CommandLoop();
    void HandleCommand(const Command& command);
    // Reads exactly length bytes from channel 0, waiting out transport timeouts while
    // the session should go on. 0, or a negative end code.
    int ReadCommandBytes(uint8_t* buffer, int32_t length);
    // Reads one packet into mBody: 0 ok, negative to end the session.
    int ReadCommandPacket(uint8_t& packetClass, uint32_t& bodyLength);
    int WriteLogin(uint16_t code, const uint8_t* payload, uint16_t length);
    int WriteProtectedCommand(std::vector<uint8_t> packet);
    void SendCommandChannelFaults();

    void StartStream(int camera);
    void StopStream();
    void SenderLoop();
    int WriteMedia(std::vector<uint8_t> packet);
    void SendMediaFaults(uint8_t camera, uint32_t stamp);
    uint32_t Stamp(uint32_t captureTick);
    bool DeadlinePassed();
    void Finish();

    Device& mDevice;
    const int32_t mHandle;
    const int mId;
    const uint32_t mAcceptedAt;
    std::thread mThread;
    std::thread mSender;
    std::atomic<bool> mStop{false};
    std::atomic<bool> mFinished{false};
    std::atomic<bool> mLoggedIn{false};
    uint32_t mLoginDeadline = 0;

    uint8_t mBody[kMaxCommandBody];
    Block16 mSessionKey{};
    ChannelProtector mCommandProtector{Block16{}, 0};
    ChannelProtector mMediaProtector{Block16{}, 0};

    Camera* mCamera = nullptr;  // command thread only
    std::atomic<int> mActiveCamera{-1};

    std::mutex mQueueLock;
    std::condition_variable mQueueReady;
    std::deque<MediaFramePtr> mQueue;
    size_t mQueuedBytes = 0;
    bool mWaitKey = true;
    bool mOversizePending = false;

    // Sender thread only.
    AdpcmState mAdpcm{0, 0};
    uint64_t mVideoSent = 0;
};

}  // namespace zevo::camd
