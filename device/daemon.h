#pragma once
// The device: registers its DID with the rendezvous service, accepts viewer sessions
// and owns the cameras and the option state that the sessions share.
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "device/camera.h"
#include "device/config.h"
#include "device/state_store.h"

namespace zevo::camd {

class DeviceSession;

class Device {
public:
    explicit Device(const DeviceConfig& config);
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Runs until stop is set. 0 on a clean stop; 2 when the transport would not start,
    // 3 when the service refused the device's secret.
    int Run(const std::atomic<bool>& stop);

    const DeviceConfig& Config() const { return mConfig; }
    int CameraCount() const { return int(mCameras.size()); }
    Camera* CameraAt(int index);
    StateStore& State() { return mState; }
    // Stream timestamps count milliseconds on the capture clock from this tick.
    uint32_t StartTick() const { return mStartTick; }
    int NextSessionId() { return ++mSessionCounter; }

private:
    int Register(const std::atomic<bool>& stop);
    void ReapSessions(bool all);

    const DeviceConfig mConfig;
    StateStore mState;
    std::vector<std::unique_ptr<Camera>> mCameras;
    std::vector<std::unique_ptr<DeviceSession>> mSessions;
    int32_t mDeviceHandle = -1;
    uint32_t mStartTick;
    std::atomic<int> mSessionCounter{0};
};

}  // namespace zevo::camd
