#pragma once
// Test support: a temporary home folder for the duration of a test, and a helper that
// runs a piece of code in a forked child process.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>

namespace zevo::test {

// Points HOME and XDG_CONFIG_HOME into a fresh folder and removes it afterwards; any
// XDG_DOCUMENTS_DIR of the environment is hidden meanwhile.
class TempHome {
public:
    TempHome() {
        std::string base = std::filesystem::temp_directory_path().string() + "/zevo-home-XXXXXX";
        if (!mkdtemp(base.data())) std::abort();
        mPath = base;
        Save("HOME");
        Save("XDG_CONFIG_HOME");
        Save("XDG_DOCUMENTS_DIR");
        setenv("HOME", mPath.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (mPath + "/.config").c_str(), 1);
        unsetenv("XDG_DOCUMENTS_DIR");
    }
    ~TempHome() {
        for (auto& [name, value] : mSaved) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
        std::error_code ignored;
        std::filesystem::remove_all(mPath, ignored);
    }
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const std::string& Path() const { return mPath; }
    std::string ConfigPath() const { return mPath + "/.config"; }
    std::string HivePath() const { return ConfigPath() + "/zevo2/registry.db"; }

private:
    void Save(const std::string& name) {
        const char* value = std::getenv(name.c_str());
        mSaved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }

    std::string mPath;
    std::vector<std::pair<std::string, std::optional<std::string>>> mSaved;
};

// Forks; the child runs body and leaves with its result as exit status (never returning
// into the test framework). Returns the child's pid, or -1.
inline pid_t StartChild(const std::function<int()>& body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    return pid;
}

// Waits for a child; its raw wait status, or -1.
inline int WaitChild(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return status;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

}  // namespace zevo::test
