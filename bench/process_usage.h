#pragma once
// What a benchmark reads of another process (a daemon it started) from /proc.
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace zevo::bench {

// Resident memory of pid in kB, or -1.
inline long RssKb(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long value = 0;
    while (in >> key) {
        if (key == "VmRSS:") {
            in >> value;
            return value;
        }
        std::getline(in, key);
    }
    return -1;
}

// CPU time pid has used so far (user and system, all its threads) in seconds, or -1;
// pid 0 is this process.
inline double CpuSeconds(int pid) {
    std::ifstream in("/proc/" + (pid == 0 ? std::string("self") : std::to_string(pid)) + "/stat");
    std::string text;
    std::getline(in, text);
    // Fields after the command's closing parenthesis: state is the 3rd, utime the 14th.
    size_t at = text.rfind(')');
    if (at == std::string::npos) return -1;
    std::string skip;
    unsigned long long user = 0, system = 0;
    std::istringstream fields(text.substr(at + 1));
    for (int i = 3; i < 14; ++i) fields >> skip;
    if (!(fields >> user >> system)) return -1;
    return double(user + system) / double(sysconf(_SC_CLK_TCK));
}

}  // namespace zevo::bench
