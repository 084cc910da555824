#pragma once
// The P2P transport calls the viewer makes, behind one seam: the player window and the
// session threads reach the library through a Transport, which by default forwards to
// the PPPP_* functions unchanged. Benchmarks feed the media path from memory through it.
#include <cstdint>

#include "p2p/PPPP_API.h"

namespace zevo {

class Transport {
public:
    virtual ~Transport() = default;
    virtual int32_t Initialize(const char* initString) = 0;
    virtual int32_t DeInitialize() = 0;
    virtual int32_t Connect(const char* did, char tryDirect, uint32_t localPort) = 0;
    virtual int32_t Check(int32_t session, SessionInfo* info) = 0;
    virtual int32_t Read(int32_t session, unsigned char channel, char* buffer, int32_t* size,
                         int32_t timeoutMs) = 0;
    virtual int32_t Write(int32_t session, unsigned char channel, const char* buffer,
                          int32_t size) = 0;
    virtual int32_t Close(int32_t session) = 0;
};

// The transport library itself. Linking a program that calls this needs zevo_p2p.
Transport& PpppTransport();

// A transport that refuses everything (no library linked); the default of a SessionCore.
Transport& NullTransport();

}  // namespace zevo
