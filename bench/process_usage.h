#pragma once
// What a benchmark reads of another process (a daemon it started) from /proc.
#include <fstream>
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

}  // namespace zevo::bench
