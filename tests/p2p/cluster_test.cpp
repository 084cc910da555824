// Three zevo-p2pd processes and one device on loopback: connects keep succeeding while any
// one service is killed and after it comes back, and each service reports its load.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "p2p/PPPP_API.h"
#include "p2p/init_string.h"
#include "p2p/p2pd/service.h"
#include "p2p/placement.h"
#include "tests/p2p/harness.h"

using namespace zevo::p2ptest;
namespace p2p = zevo::p2p;
using Clock = std::chrono::steady_clock;

namespace {

constexpr char kDid[] = "CLUS-000001-ABCDE";
// One viewer host connects a hundred times in a few seconds; every session lingers on
// its service for a while, more than the per-address default allows.
// Placement is under test, unsealed (the migration switch).
const std::vector<std::string> kOptions = {"--max-sessions-per-address", "1000",
                                           "--insecure-transport"};

class Cluster : public ::testing::Test {
protected:
    void SetUp() override {
        for (auto& s : mServices) {
            ASSERT_TRUE(s.Start(kOptions));
            mList.push_back(p2p::Endpoint{0x7F000001, s.Port()});
        }
        std::string init = p2p::EncodeInitString(mList);
        setenv("ZEVO_P2P_INSECURE_TRANSPORT", "1", 1);
        ASSERT_EQ(PPPP_Initialize(init.c_str()), PPPP_OK);
        ASSERT_EQ(mDevice.Start(init, kDid, SecretFor(kDid)), 0);
    }
    void TearDown() override {
        PPPP_DeInitialize();
        unsetenv("ZEVO_P2P_INSECURE_TRANSPORT");
        mDevice.Stop();
        for (auto& s : mServices) s.Stop();
    }
    // Connects and closes count times in a row; returns the successes.
    int Connects(int count) {
        int ok = 0;
        for (int i = 0; i < count; ++i) {
            int32_t s = PPPP_Connect(kDid, 1, 0);
            if (s >= 0) {
                ++ok;
                PPPP_Close(s);
            } else {
                ADD_FAILURE() << "connect " << i << " failed: " << s;
            }
        }
        return ok;
    }
    bool InSet(size_t index) const {
        auto set = p2p::PlaceDid(kDid, mList);
        return std::find(set.begin(), set.end(), mList[index]) != set.end();
    }
    uint64_t DevicesOn(size_t index) const {
        auto stats = mServices[index].Stats();
        return stats.size() > p2p::kStatDevicesNow ? stats[p2p::kStatDevicesNow] : 0;
    }
    // True once the device is registered with service index exactly when it is in the set
    // (the device registers with each service of its set on its own).
    bool Settled(size_t index) const {
        auto until = Clock::now() + std::chrono::seconds(12);
        while (DevicesOn(index) != (InSet(index) ? 1u : 0u)) {
            if (Clock::now() > until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return true;
    }

    ServiceProcess mServices[3];
    std::vector<p2p::Endpoint> mList;
    DeviceProcess mDevice;
};

TEST_F(Cluster, EveryConnectSucceedsWhileAnyOneServiceIsDownAndAfterItReturns) {
    // The device lives on the two services of its set, not on the third.
    for (size_t i = 0; i < 3; ++i) EXPECT_TRUE(Settled(i)) << "service " << i;
    EXPECT_EQ(Connects(100), 100);
    for (size_t down = 0; down < 3; ++down) {
        SCOPED_TRACE("service " + std::to_string(down) + (InSet(down) ? " (in the set)" : ""));
        uint16_t port = mServices[down].Port();
        mServices[down].Kill();
        auto killed = Clock::now();
        int32_t s;
        while ((s = PPPP_Connect(kDid, 1, 0)) < 0 &&
               Clock::now() - killed < std::chrono::seconds(10))
            ;
        EXPECT_GE(s, 0) << "not reachable within 10 s of the kill";
        if (s >= 0) PPPP_Close(s);
        EXPECT_EQ(Connects(100), 100);

        ASSERT_TRUE(mServices[down].Start(kOptions, port));
        EXPECT_EQ(Connects(100), 100);
        // The device registers again with a returning service of its set, so that the next
        // service to die leaves it a replica.
        EXPECT_TRUE(Settled(down));
    }
}

TEST_F(Cluster, EachServiceReportsItsOwnLoadOnSignal) {
    for (size_t i = 0; i < 3; ++i) ASSERT_TRUE(Settled(i)) << "service " << i;
    ASSERT_EQ(Connects(3), 3);
    for (size_t i = 0; i < 3; ++i) {
        ASSERT_EQ(kill(mServices[i].Pid(), SIGUSR1), 0);
        std::string text;
        for (int wait = 0; wait < 50 && text.find("load: ") == std::string::npos; ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::ifstream in(mServices[i].LogPath());
            std::stringstream all;
            all << in.rdbuf();
            text = all.str();
        }
        // Only the first service of the set saw the three sessions.
        bool first = p2p::PlaceDid(kDid, mList)[0] == mList[i];
        std::string expected = std::string("load: devices ") + (InSet(i) ? "1" : "0") +
                               ", sessions " + (first ? "3" : "0") + ",";
        EXPECT_NE(text.find(expected), std::string::npos) << "service " << i << ": " << text;
    }
}

}  // namespace
