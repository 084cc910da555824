#include "platform/user_dirs.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <vector>

namespace zevo {
namespace {

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// One line of user-dirs.dirs: NAME="value", where value is "$HOME/..." or an absolute
// path, with backslash escapes. Anything else on the line is not a setting.
bool ParseUserDirsLine(const std::string& line, const std::string& name, const std::string& home,
                       std::string* value) {
    size_t pos = line.find_first_not_of(" \t");
    if (pos == std::string::npos || line.compare(pos, name.size(), name) != 0) return false;
    pos = line.find_first_not_of(" \t", pos + name.size());
    if (pos == std::string::npos || line[pos] != '=') return false;
    pos = line.find_first_not_of(" \t", pos + 1);
    if (pos == std::string::npos || line[pos] != '"') return false;
    ++pos;

    std::string result;
    bool relativeToHome = false;
    if (line.compare(pos, 5, "$HOME") == 0) {
        pos += 5;
        if (pos < line.size() && line[pos] != '/' && line[pos] != '"') return false;
        relativeToHome = true;
    } else if (pos >= line.size() || line[pos] != '/') {
        return false;  // relative paths are not allowed
    }
    bool closed = false;
    for (; pos < line.size(); ++pos) {
        char c = line[pos];
        if (c == '"') {
            closed = true;
            break;
        }
        if (c == '\\' && pos + 1 < line.size()) c = line[++pos];
        result.push_back(c);
    }
    if (!closed) return false;
    if (relativeToHome) {
        if (home.empty()) return false;
        result = home + result;
    }
    while (result.size() > 1 && result.back() == '/') result.pop_back();
    *value = result;
    return true;
}

}  // namespace

std::string HomeDirectory() {
    const char* home = std::getenv("HOME");
    if (home && home[0] != '\0') return home;
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir)
        return found->pw_dir;
    return {};
}

std::string ConfigHome() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/') return config;
    std::string home = HomeDirectory();
    if (home.empty()) return {};
    return home + "/.config";
}

int GetDocumentsFolder(std::string* path, bool create) {
    if (!path) return -1;
    std::string home = HomeDirectory();
    std::string folder;

    std::string config = ConfigHome();
    if (!config.empty()) {
        std::ifstream dirs(config + "/user-dirs.dirs");
        std::string line;
        std::string value;
        // The last setting in the file wins, as when the shell sources it.
        while (std::getline(dirs, line)) {
            if (ParseUserDirsLine(line, "XDG_DOCUMENTS_DIR", home, &value)) folder = value;
        }
    }
    if (folder.empty()) {
        const char* env = std::getenv("XDG_DOCUMENTS_DIR");
        if (env && env[0] == '/') folder = env;
    }
    if (folder.empty()) {
        if (home.empty()) return -1;
        folder = home + "/Documents";
    }
    if (create && MakeDirectories(folder, 0777) != 0) return -1;
    *path = folder;
    return 0;
}

int MakeDirectories(const std::string& path, mode_t mode) {
    if (path.empty()) return -1;
    if (IsDirectory(path)) return 0;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        std::string part = path.substr(0, pos);
        if (part.empty()) continue;
        if (mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return -1;
    }
    return IsDirectory(path) ? 0 : -1;
}

}  // namespace zevo
