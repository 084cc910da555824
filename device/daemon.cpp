#include "device/daemon.h"

#include <cstdlib>

#include "device/log.h"
#include "device/session.h"
#include "p2p/PPPP_API.h"
#include "p2p/init_string.h"
#include "platform/tick_clock.h"

namespace zevo::camd {

namespace {
constexpr int32_t kAcceptTimeoutMs = 200;
constexpr uint32_t kRegisterRetryMs = 2000;
}  // namespace

Device::Device(const DeviceConfig& config)
    : mConfig(config), mState(config.stateFile), mStartTick(TickCount()) {
    if (mState.Load() < 0) {
        LOG_WARN("cannot read state file %s; starting with defaults", config.stateFile.c_str());
    }
    for (size_t i = 0; i < mConfig.cameras.size(); ++i) {
        mCameras.push_back(
            std::make_unique<Camera>(int(i), mConfig.cameras[i], mConfig.faults.noVideo));
    }
}

Device::~Device() {
    ReapSessions(true);
    mCameras.clear();
}

Camera* Device::CameraAt(int index) {
    if (index < 0 || index >= int(mCameras.size())) return nullptr;
    return mCameras[size_t(index)].get();
}

int Device::Register(const std::atomic<bool>& stop) {
    while (!stop.load()) {
        int32_t handle = PPPP_DeviceStart(mConfig.did.c_str(), mConfig.secret.c_str());
        if (handle >= 0) {
            mDeviceHandle = handle;
            LOG_INFO("registered %s", mConfig.did.c_str());
            return 0;
        }
        if (handle == PPPP_ERR_REGISTRATION_REFUSED) {
            LOG_ERROR("the service refused the secret of %s", mConfig.did.c_str());
            return -1;
        }
        LOG_WARN("registration of %s failed (%d); retrying", mConfig.did.c_str(), handle);
        for (uint32_t waited = 0; waited < kRegisterRetryMs && !stop.load(); waited += 100) {
            SleepMs(100);
        }
    }
    return 1;
}

void Device::ReapSessions(bool all) {
    for (auto it = mSessions.begin(); it != mSessions.end();) {
        if (all) (*it)->RequestStop();
        if (all || (*it)->Finished()) {
            (*it)->Join();
            it = mSessions.erase(it);
        } else {
            ++it;
        }
    }
}

int Device::Run(const std::atomic<bool>& stop) {
    if (!mConfig.server.empty()) setenv("ZEVO_P2P_SERVER", mConfig.server.c_str(), 1);
    if (mConfig.insecureTransport) {
        setenv("ZEVO_P2P_INSECURE_TRANSPORT", "1", 1);
        LOG_WARN("--insecure-transport: viewers without session security are served too");
    }
    // Without a string of its own the device uses the library's default endpoints, which
    // ZEVO_P2P_SERVER (set from `server` above) replaces.
    const char* init =
        mConfig.initString.empty() ? zevo::p2p::kP2pInitString : mConfig.initString.c_str();
    int32_t rc = PPPP_Initialize(init);
    if (rc < 0) {
        LOG_ERROR("the transport would not start (%d)", rc);
        return 2;
    }
    int result = 0;
    int reg = Register(stop);
    if (reg < 0) result = 3;
    while (result == 0 && !stop.load()) {
        int32_t session = PPPP_Accept(mDeviceHandle, kAcceptTimeoutMs);
        if (session >= 0) {
            ReapSessions(false);
            if (int(mSessions.size()) >= mConfig.maxSessions) {
                LOG_WARN("session limit (%d) reached; turning a viewer away", mConfig.maxSessions);
                PPPP_Close(session);
            } else {
                auto s = std::make_unique<DeviceSession>(*this, session, NextSessionId());
                s->Start();
                mSessions.push_back(std::move(s));
            }
        } else if (session != PPPP_ERR_TIMEOUT) {
            LOG_WARN("accepting viewers failed (%d); registering again", session);
            PPPP_DeviceStop(mDeviceHandle);
            mDeviceHandle = -1;
            if (Register(stop) < 0) result = 3;
        }
        ReapSessions(false);
        for (auto& camera : mCameras) camera->Poll();
    }
    ReapSessions(true);
    if (mDeviceHandle >= 0) PPPP_DeviceStop(mDeviceHandle);
    mDeviceHandle = -1;
    for (auto& camera : mCameras) camera->Poll();
    PPPP_DeInitialize();
    LOG_INFO("stopped");
    return result;
}

}  // namespace zevo::camd
