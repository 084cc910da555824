#pragma once
// How often a thread of this process went to sleep and was woken again (its voluntary
// context switches), for tests that check a thread does not wake for nothing.
#include <sys/types.h>

#include <filesystem>
#include <fstream>
#include <string>

// Of the thread with that id; -1 when it has gone.
inline long VoluntaryContextSwitches(pid_t tid) {
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
    }
    return -1;
}

// Of this process's first thread of that name; -1 when there is none.
inline long VoluntaryContextSwitches(const std::string& threadName) {
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        if (name == threadName) {
            return VoluntaryContextSwitches(static_cast<pid_t>(std::stol(task.path().filename())));
        }
    }
    return -1;
}
