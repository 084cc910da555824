#include "device/state_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace zevo::camd {

StateStore::StateStore(std::string path) : mPath(std::move(path)) {}

int StateStore::Load() {
    if (mPath.empty()) return 0;
    std::ifstream in(mPath);
    if (!in) return errno == ENOENT ? 0 : -1;
    std::string line;
    std::lock_guard<std::mutex> hold(mLock);
    while (std::getline(in, line)) {
        const std::string key = "email_alert=";
        if (line.rfind(key, 0) == 0) {
            char* end = nullptr;
            long v = std::strtol(line.c_str() + key.size(), &end, 10);
            if (end != line.c_str() + key.size() && v >= 0 && v <= 255) mEmailAlert = uint8_t(v);
        }
    }
    return 0;
}

uint8_t StateStore::EmailAlert() const {
    std::lock_guard<std::mutex> hold(mLock);
    return mEmailAlert;
}

int StateStore::SetEmailAlert(uint8_t state) {
    std::lock_guard<std::mutex> hold(mLock);
    mEmailAlert = state;
    return SaveLocked();
}

int StateStore::SaveLocked() const {
    if (mPath.empty()) return 0;
    // Written beside the file and renamed over it, so a crash leaves the old or the new
    // state, never half of one.
    std::string temp = mPath + ".tmp";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    std::string text = "email_alert=" + std::to_string(mEmailAlert) + "\n";
    bool ok = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temp.c_str(), mPath.c_str()) != 0) {
        ::unlink(temp.c_str());
        return -1;
    }
    return 0;
}

}  // namespace zevo::camd
