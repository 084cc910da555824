#pragma once
// Output of a shell command (standard output and error together), for tests that ask
// programs we did not write (ffprobe, ffmpeg) about our files.
#include <cstdio>
#include <string>

namespace zevo::testing {

inline std::string ShellOutput(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen((command + " 2>&1").c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

}  // namespace zevo::testing
