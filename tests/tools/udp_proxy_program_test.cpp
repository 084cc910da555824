// The zevo-udpproxy program as scripts use it: port file, forwarding with impairment,
// counters printed on SIGTERM, --duration ending it by itself, and refused options.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/tools/udp_test_util.h"

namespace {

using namespace zevo::testing;

struct Program {
    pid_t pid = -1;
    std::string out;  // file with its standard output
};

Program Launch(const std::vector<std::string>& args, const std::string& dir) {
    Program p;
    p.out = dir + "/stdout.txt";
    p.pid = fork();
    if (p.pid == 0) {
        FILE* f = std::freopen(p.out.c_str(), "w", stdout);
        if (!f) _exit(127);
        std::vector<char*> argv;
        std::string exe = ZEVO_UDPPROXY_PATH;
        argv.push_back(exe.data());
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    return p;
}

int WaitExit(pid_t pid, int timeoutMs) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class UdpProxyProgram : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zevo-udpproxy-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        mDir = tmpl;
    }
    void TearDown() override { std::system(("rm -rf " + mDir).c_str()); }
    std::string mDir;
};

TEST_F(UdpProxyProgram, ForwardsWithLossAndPrintsCountersOnSignal) {
    UdpSocket sink;
    std::string portFile = mDir + "/port";
    Program p = Launch({"--upstream", "127.0.0.1:" + std::to_string(sink.Port()), "--up-loss", "50",
                        "--seed", "7", "--port-file", portFile},
                       mDir);
    ASSERT_GT(p.pid, 0);
    int port = 0;
    ASSERT_TRUE(WaitFor(
        [&] {
            std::ifstream in(portFile);
            return static_cast<bool>(in >> port) && port > 0;
        },
        10000));

    UdpSocket client;
    std::vector<uint8_t> d;
    int arrived = 0;
    for (uint32_t seq = 0; seq < 200; ++seq) {
        ASSERT_TRUE(client.SendTo(static_cast<uint16_t>(port), MakeDatagram(1, seq, 64)));
        while (sink.Receive(&d, 0)) arrived += Decode(d).intact ? 1 : 0;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    while (sink.Receive(&d, 200)) arrived += Decode(d).intact ? 1 : 0;
    // Half of 200 with a standard deviation of about 7.
    EXPECT_GT(arrived, 50);
    EXPECT_LT(arrived, 150);

    kill(p.pid, SIGTERM);
    ASSERT_EQ(WaitExit(p.pid, 10000), 0);
    std::string out = ReadAll(p.out);
    EXPECT_NE(out.find("listening on 127.0.0.1:" + std::to_string(port)), std::string::npos);
    EXPECT_NE(out.find("to upstream: received 200 forwarded " + std::to_string(arrived)),
              std::string::npos)
        << out;
}

TEST_F(UdpProxyProgram, DurationEndsItAndBadOptionsAreRefused) {
    UdpSocket sink;
    Program p = Launch(
        {"--upstream", "127.0.0.1:" + std::to_string(sink.Port()), "--duration", "0.3"}, mDir);
    EXPECT_EQ(WaitExit(p.pid, 10000), 0);
    EXPECT_NE(ReadAll(p.out).find("to client: received 0"), std::string::npos);

    for (std::vector<std::string> bad : {std::vector<std::string>{"--delay", "10"},
                                         {"--upstream", "127.0.0.1:9", "--loss", "101"},
                                         {"--upstream", "127.0.0.1:9", "--bogus", "1"},
                                         {"--upstream", "127.0.0.1:9", "--delay"},
                                         {"--upstream", "127.0.0.1:9", "--jitter", "-3"},
                                         {"--upstream", "no-port"}}) {
        Program b = Launch(bad, mDir);
        EXPECT_NE(WaitExit(b.pid, 10000), 0) << bad[0] << " " << bad.back();
    }
    Program help = Launch({"--help"}, mDir);
    EXPECT_EQ(WaitExit(help.pid, 10000), 0);
    EXPECT_NE(ReadAll(help.out).find("--reorder PCT"), std::string::npos);
}

}  // namespace
