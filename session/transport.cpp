#include "session/transport.h"

namespace zevo {

namespace {

class NoTransport final : public Transport {
public:
    int32_t Initialize(const char*) override { return PPPP_ERR_NOT_INITIALIZED; }
    int32_t DeInitialize() override { return 0; }
    int32_t Connect(const char*, char, uint32_t) override { return PPPP_ERR_NOT_INITIALIZED; }
    int32_t Check(int32_t, SessionInfo*) override { return PPPP_ERR_INVALID_SESSION; }
    int32_t Read(int32_t, unsigned char, char*, int32_t* size, int32_t) override {
        if (size) *size = 0;
        return PPPP_ERR_INVALID_SESSION;
    }
    int32_t Write(int32_t, unsigned char, const char*, int32_t) override {
        return PPPP_ERR_INVALID_SESSION;
    }
    int32_t Close(int32_t) override { return PPPP_ERR_INVALID_SESSION; }
};

}  // namespace

Transport& NullTransport() {
    static NoTransport transport;
    return transport;
}

}  // namespace zevo
