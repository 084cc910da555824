#pragma once
// The device options that survive a restart (the e-mail alert state), kept in a small
// text file of `key=value` lines that is replaced atomically on every change.
#include <cstdint>
#include <mutex>
#include <string>

namespace zevo::camd {

class StateStore {
public:
    // An empty path keeps the state in memory only.
    explicit StateStore(std::string path);

    // Reads the file; a missing file leaves the defaults. 0, or -1 when the file exists
    // but cannot be read (the defaults stay).
    int Load();

    uint8_t EmailAlert() const;
    // Stores and writes the file. 0, or -1 when the file could not be written (the new
    // state is kept in memory all the same).
    int SetEmailAlert(uint8_t state);

private:
    int SaveLocked() const;

    std::string mPath;
    mutable std::mutex mLock;
    uint8_t mEmailAlert = 0;
};

}  // namespace zevo::camd
