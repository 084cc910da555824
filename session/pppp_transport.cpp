// Kept apart from transport.cpp so that only programs which use the library link it.
#include <mutex>

#include "session/transport.h"

namespace zevo {

namespace {

class PpppLibrary final : public Transport {
public:
    // The library is process-wide while every player window initialises and
    // de-initialises it for itself: counted, so that closing one window leaves the
    // sessions of the others open.
    int32_t Initialize(const char* initString) override {
        std::lock_guard lock(mUsersLock);
        const int32_t result = PPPP_Initialize(initString);
        if (result >= 0) ++mUsers;
        return result;
    }
    int32_t DeInitialize() override {
        std::lock_guard lock(mUsersLock);
        if (mUsers == 0) return PPPP_ERR_NOT_INITIALIZED;
        if (--mUsers > 0) return 0;
        return PPPP_DeInitialize();
    }
    int32_t Connect(const char* did, char tryDirect, uint32_t localPort) override {
        return PPPP_Connect(did, tryDirect, localPort);
    }
    int32_t Check(int32_t session, SessionInfo* info) override { return PPPP_Check(session, info); }
    int32_t Read(int32_t session, unsigned char channel, char* buffer, int32_t* size,
                 int32_t timeoutMs) override {
        return PPPP_Read(session, channel, buffer, size, timeoutMs);
    }
    int32_t Write(int32_t session, unsigned char channel, const char* buffer,
                  int32_t size) override {
        return PPPP_Write(session, channel, buffer, size);
    }
    int32_t Close(int32_t session) override { return PPPP_Close(session); }

private:
    std::mutex mUsersLock;
    int mUsers = 0;
};

}  // namespace

Transport& PpppTransport() {
    static PpppLibrary transport;
    return transport;
}

}  // namespace zevo
