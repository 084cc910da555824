// Test device process: p2p_test_device INIT_STRING DID SECRET
// Prints "started <result>" once PPPP_DeviceStart has answered, then serves sessions
// until killed or SIGTERM.
#include <csignal>
#include <cstdio>

#include "p2p/PPPP_API.h"
#include "tests/p2p/echo_device.h"

namespace {
std::atomic<bool> gStop{false};
void OnSignal(int) {
    gStop = true;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: p2p_test_device INIT_STRING DID SECRET\n");
        return 2;
    }
    std::signal(SIGTERM, OnSignal);
    int32_t r = PPPP_Initialize(argv[1]);
    if (r < 0) {
        std::printf("started %d\n", r);
        return 1;
    }
    int32_t device = PPPP_DeviceStart(argv[2], argv[3]);
    std::printf("started %d\n", device < 0 ? device : 0);
    std::fflush(stdout);
    if (device >= 0) zevo::p2ptest::ServeDevice(device, gStop);
    PPPP_DeInitialize();
    return device < 0 ? 1 : 0;
}
