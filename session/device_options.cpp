// Camera switch and the device's e-mail alert, sent on the command channel from the
// control's thread.
#include "session/session_core.h"

namespace zevo {

namespace {

struct StreamPayload {
    unsigned char bytes[8] = {};
    explicit StreamPayload(int32_t camera) { wire::Put32(bytes, static_cast<uint32_t>(camera)); }
};

}  // namespace

void SessionCore::ChgSelection(int32_t camera) {
    if (mRunning.load() == 0 || mSession.load() < 0) {
        mCamera = camera;  // takes effect at the next start
        return;
    }
    if (camera == mCamera) return;
    StreamPayload stop(mCamera);
    SendCommand(mSession.load(), CMD_STOP_STREAM, stop.bytes, 8, PACKET_CLASS_COMMAND);
    mTicks->Sleep(50);
    mCamera = camera;
    StreamPayload start(camera);
    SendCommand(mSession.load(), CMD_START_STREAM, start.bytes, 8, PACKET_CLASS_COMMAND);
}

int16_t SessionCore::GetEmailAlert() {
    if (mSession.load() < 0) return -2;
    mEmailAlert.store(-3);
    // A refused send (before the login) simply runs into the time-out.
    SendCommand(mSession.load(), CMD_GET_EMAIL_ALERT, nullptr, 0, PACKET_CLASS_COMMAND);
    mTicks->Sleep(10);
    int sleeps = 1;
    while (mEmailAlert.load() < 0 && sleeps < 250) {
        mTicks->Sleep(10);
        ++sleeps;
    }
    return mEmailAlert.load();
}

int16_t SessionCore::SetEmailAlert(bool enable) {
    if (mSession.load() < 0) return -2;
    unsigned char payload[4] = {static_cast<unsigned char>(enable ? 1 : 0), 0, 0, 0};
    const int32_t result =
        SendCommand(mSession.load(), CMD_SET_EMAIL_ALERT, payload, 4, PACKET_CLASS_COMMAND);
    return result > 0 ? 0 : -3;
}

}  // namespace zevo
