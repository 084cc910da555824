// Every program's command line answers alike: --help and --version print text and exit 0
// with no display and no sound device; a usage error exits 2 and its message on stderr
// names what was wrong.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Outcome {
    int code = -1;
    std::string out, err;
};

std::string Drain(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    close(fd);
    return text;
}

// Runs program with args in a bare environment: no display, no sound, a temporary home.
Outcome Start(const std::string& program, const std::vector<std::string>& args) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        char home[] = "HOME=/nonexistent";
        char path[] = "PATH=/usr/bin:/bin";
        char* env[] = {home, path, nullptr};
        execve(program.c_str(), argv.data(), env);
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    Outcome run;
    // Help texts are short: reading one pipe after the other cannot fill the other.
    run.out = Drain(out[0]);
    run.err = Drain(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

struct Case {
    const char* program;
    std::vector<std::string> args;
    int code;
    const char* stream;  // "out" or "err": where the text must be
    const char* names;   // what that text must contain
};

const std::vector<Case>& Cases() {
    static const std::vector<Case> cases = {
        // Help and version: text on stdout, no display or sound needed.
        {ZEVO_HOST_PATH, {"--help"}, 0, "out", "--select-path-answer"},
        {ZEVO_HOST_PATH, {"--version"}, 0, "out", "zevo-host " ZEVO_VERSION "\n"},
        {ZEVO_CAMD_PATH, {"--help"}, 0, "out", "--config"},
        {ZEVO_CAMD_PATH, {"--version"}, 0, "out", "zevo-camd " ZEVO_VERSION "\n"},
        {ZEVO_P2PD_PATH, {"--help"}, 0, "out", "--device-secret"},
        {ZEVO_P2PD_PATH, {"--version"}, 0, "out", "zevo-p2pd " ZEVO_VERSION "\n"},
        {ZEVO_P2PCHECK_PATH, {"--help"}, 0, "out", "--info-only"},
        {ZEVO_P2PCHECK_PATH, {"--version"}, 0, "out", "zevo-p2pcheck " ZEVO_VERSION "\n"},
        {ZEVO_UDPPROXY_PATH, {"--help"}, 0, "out", "--upstream"},
        {ZEVO_UDPPROXY_PATH, {"--version"}, 0, "out", "zevo-udpproxy " ZEVO_VERSION "\n"},
        {ZEVO_P2PLOAD_PATH, {"--help"}, 0, "out", "--relay-sessions"},
        {ZEVO_P2PLOAD_PATH, {"--version"}, 0, "out", "zevo-p2pload " ZEVO_VERSION "\n"},
        {ZEVO_REGSVR_PATH, {"--help"}, 0, "out", "--info"},
        {ZEVO_REGSVR_PATH, {"--version"}, 0, "out", "zevo-regsvr " ZEVO_VERSION "\n"},
        // Usage errors: exit 2, the bad option named on stderr.
        {ZEVO_HOST_PATH, {"--no-such-option"}, 2, "err", "no-such-option"},
        {ZEVO_HOST_PATH, {"--grid", "0"}, 2, "err", "--grid"},
        {ZEVO_HOST_PATH, {"--did"}, 2, "err", "did"},
        {ZEVO_CAMD_PATH, {"--no-such-option"}, 2, "err", "no-such-option"},
        {ZEVO_CAMD_PATH, {"stray"}, 2, "err", "stray"},
        {ZEVO_CAMD_PATH, {"--max-sessions", "x"}, 2, "err", "--max-sessions"},
        {ZEVO_CAMD_PATH, {"--camera", "0:nonsense"}, 2, "err", "--camera"},
        {ZEVO_P2PD_PATH, {"--no-such-option", "1"}, 2, "err", "no-such-option"},
        {ZEVO_P2PD_PATH, {"stray"}, 2, "err", "stray"},
        {ZEVO_P2PD_PATH, {"--max-sessions", "lots"}, 2, "err", "max-sessions"},
        {ZEVO_P2PCHECK_PATH, {"--no-such-option"}, 2, "err", "--no-such-option"},
        {ZEVO_P2PCHECK_PATH, {"--port", "notaport", "DID"}, 2, "err", "--port"},
        {ZEVO_P2PCHECK_PATH, {}, 2, "err", "DID"},
        {ZEVO_P2PLOAD_PATH, {}, 2, "err", "--key"},
        {ZEVO_P2PLOAD_PATH, {"--key", "k", "--server", "nowhere"}, 2, "err", "--server"},
        {ZEVO_UDPPROXY_PATH, {"--no-such-option", "1"}, 2, "err", "--no-such-option"},
        {ZEVO_UDPPROXY_PATH, {"--listen", "127.0.0.1:0"}, 2, "err", "--upstream"},
        {ZEVO_UDPPROXY_PATH, {"--upstream", "127.0.0.1:9", "--jitter", "-3"}, 2, "err", "--jitter"},
        {ZEVO_UDPPROXY_PATH,
         {"--upstream", "127.0.0.1:9", "--up-loss", "101"},
         2,
         "err",
         "--up-loss"},
        // zevo-regsvr keeps 2 for a module it cannot load: its usage errors exit 1.
        {ZEVO_REGSVR_PATH, {"--no-such-option"}, 1, "err", "usage: zevo-regsvr"},
        // A window with no display: one line saying so, exit 1.
        {ZEVO_HOST_PATH, {}, 1, "err", "no display"},
    };
    return cases;
}

class CommandLine : public testing::TestWithParam<size_t> {};

TEST_P(CommandLine, AnswersWithCodeAndText) {
    const Case& c = Cases()[GetParam()];
    const Outcome run = Start(c.program, c.args);
    std::string shown = c.program;
    for (const std::string& a : c.args) shown += " " + a;
    EXPECT_EQ(run.code, c.code) << shown << "\nstdout: " << run.out << "\nstderr: " << run.err;
    const std::string& text = std::string(c.stream) == "out" ? run.out : run.err;
    EXPECT_NE(text.find(c.names), std::string::npos)
        << shown << " should say '" << c.names << "' on std" << c.stream << ", said: " << text;
    if (c.code == 0) {
        // Text only: nothing from Qt, ALSA or the program on stderr.
        EXPECT_EQ(run.err, "") << shown;
    } else if (c.code == 1 && std::string(c.program) == ZEVO_HOST_PATH) {
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << shown << ": " << run.err;
    }
}

INSTANTIATE_TEST_SUITE_P(Programs, CommandLine, testing::Range<size_t>(0, Cases().size()));

}  // namespace
